// Chained hash tables inside the block pool: the two name tables, a child table
// per tracked directory, and the file-index table. A table knows nothing of its
// payloads: callers give the hash value of the key and a match function, and
// get the payload address of an item (item + 4) to fill or read.
//
// Results: a payload address; 0 for "not found" (or an allocation failure of
// FileBlockHashAdd); STORE_INVALID_TABLE (-1) when the table address does not
// resolve to a "Hash" record with buckets. Callers log the two differently.
//
// Locking (store_lock.h): Lookup, Add and Remove take the store lock and then
// the table's lock; GetOrg takes none (its callers hold the store lock).
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"
#include "store/store_records.h"

// TRUE when the item whose payload is at Payload is the one sought by Key.
typedef BOOLEAN (*STORE_MATCH_ROUTINE)(const VOID* Payload, const VOID* Key);

// An empty table of BucketCount buckets in block BlockHint; 0 on failure.
BLOCK_ADDRESS FileBlockHashInit(VolumeContext* Volume, ULONG BlockHint, ULONG BucketCount);

BLOCK_ADDRESS FileBlockHashGetOrg(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash,
                                  STORE_MATCH_ROUTINE Match, const VOID* Key);

BLOCK_ADDRESS FileBlockHashLookup(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash,
                                  STORE_MATCH_ROUTINE Match, const VOID* Key);

// Find or insert: the payload of the matching item, or of a new zero-filled
// item of PayloadSize bytes pushed at the head of its chain.
BLOCK_ADDRESS FileBlockHashAdd(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, ULONG PayloadSize,
                               STORE_MATCH_ROUTINE Match, const VOID* Key);

// FileBlockHashAdd for a key the caller has just looked for without finding
// it, holding the store lock since: the chain is not searched again.
BLOCK_ADDRESS FileBlockHashInsert(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, ULONG PayloadSize);

// Unlinks and frees the first matching item (PayloadSize as added).
VOID FileBlockHashRemove(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, STORE_MATCH_ROUTINE Match,
                         const VOID* Key, ULONG PayloadSize);

// The table record, resolved with its magic and a non-zero bucket count; NULL
// otherwise. Callers hold the store lock.
HashTableRecord* StoreHashTable(const VolumeContext* Volume, BLOCK_ADDRESS Table);

// TRUE when every bucket of the table is empty.
BOOLEAN StoreHashTableEmpty(const HashTableRecord* Table);

// Keeps a table from being freed while a path walk works inside it (the walk
// may release the store lock meanwhile). Taken and dropped with the store lock
// held; the count itself is interlocked.
class TableWalkerHold {
public:
    TableWalkerHold() : m_Table(NULL) {}
    ~TableWalkerHold() { Release(); }

    TableWalkerHold(const TableWalkerHold&) = delete;
    TableWalkerHold& operator=(const TableWalkerHold&) = delete;

    // Releases a table already held, then holds Table (if it resolves).
    VOID Hold(const VolumeContext* Volume, BLOCK_ADDRESS Table);
    VOID Release();

private:
    HashTableRecord* m_Table;
};
