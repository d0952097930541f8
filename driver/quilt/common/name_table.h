// NameTable: a chained hash table of pointer-sized keys and values with its
// nodes on a lookaside list. Its two instances are the open-file table (file
// object -> FileObjectStatus) and the string table (path -> open-name record).
//
// The table takes no lock; its owner guards it (both instances are guarded by
// the open-file lock).
#pragma once

#include <ntifs.h>

#define NAME_TABLE_BUCKETS 768

// Destroy flags: free every key, every value (with ExFreePool).
#define NAME_TABLE_FREE_KEYS   0x1
#define NAME_TABLE_FREE_VALUES 0x2

typedef ULONG (*NAME_TABLE_HASH)(PVOID Key);
typedef BOOLEAN (*NAME_TABLE_EQUAL)(PVOID Key1, PVOID Key2);

struct NameTableNode {
    NameTableNode* Next;
    PVOID Key;
    PVOID Value;
};

struct NameTable {
    ULONG BucketCount;
    NameTableNode** Buckets;
    NAME_TABLE_HASH Hash;    // NULL: the key's value shifted right by 5
    NAME_TABLE_EQUAL Equal;  // NULL: keys equal when their values are
    NPAGED_LOOKASIDE_LIST NodeList;
};

// Allocates a zeroed bucket array of BucketCount chains; NULL on failure.
NameTableNode** NameTableAllocateBuckets(ULONG BucketCount, ULONG Tag);

// Takes ownership of Buckets (from NameTableAllocateBuckets) and prepares the
// node list. FALSE for a null table or bucket array or a zero bucket count.
BOOLEAN NameTableInitialize(NameTable* Table, NameTableNode** Buckets, ULONG BucketCount,
                            NAME_TABLE_HASH Hash, NAME_TABLE_EQUAL Equal);

// Pushes {Key, Value} at the front of its chain without looking for an existing
// key. FALSE for a null key or value or when no node can be had.
BOOLEAN NameTableInsert(NameTable* Table, PVOID Key, PVOID Value);

// The value of the first node whose key equals Key, or NULL.
PVOID NameTableLookup(NameTable* Table, PVOID Key);

// Unlinks the first node whose key equals Key and returns its value, or NULL.
PVOID NameTableRemove(NameTable* Table, PVOID Key);

// Frees every node (and keys and values as Flags ask), the bucket array and
// the node list.
VOID NameTableDestroy(NameTable* Table, ULONG Flags);

// The string table's callbacks: keys are NUL-terminated UTF-16 paths.
ULONG NameTableHashString(PVOID Key);
BOOLEAN NameTableEqualString(PVOID Key1, PVOID Key2);

// 12-byte nodes on 32-bit Windows.
static_assert(sizeof(void*) != 4 || sizeof(NameTableNode) == 12, "NameTable node layout");
