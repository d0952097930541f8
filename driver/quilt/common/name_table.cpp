#include "common/name_table.h"

#include "common/pool_tags.h"

static ULONG BucketOf(NameTable* Table, PVOID Key) {
    ULONG hash = Table->Hash != NULL ? Table->Hash(Key) : (ULONG)((ULONG_PTR)Key >> 5);
    return hash % Table->BucketCount;
}

static BOOLEAN KeysEqual(NameTable* Table, PVOID Key1, PVOID Key2) {
    return Table->Equal != NULL ? Table->Equal(Key1, Key2) : (BOOLEAN)(Key1 == Key2);
}

NameTableNode** NameTableAllocateBuckets(ULONG BucketCount, ULONG Tag) {
    SIZE_T bytes = (SIZE_T)BucketCount * sizeof(NameTableNode*);
    NameTableNode** buckets = static_cast<NameTableNode**>(ExAllocatePoolWithTag(NonPagedPool, bytes, Tag));
    if (buckets != NULL) {
        RtlZeroMemory(buckets, bytes);
    }
    return buckets;
}

BOOLEAN NameTableInitialize(NameTable* Table, NameTableNode** Buckets, ULONG BucketCount,
                            NAME_TABLE_HASH Hash, NAME_TABLE_EQUAL Equal) {
    if (Table == NULL || Buckets == NULL || BucketCount == 0) {
        return FALSE;
    }
    Table->BucketCount = BucketCount;
    Table->Buckets = Buckets;
    Table->Hash = Hash;
    Table->Equal = Equal;
    ExInitializeNPagedLookasideList(&Table->NodeList, NULL, NULL, 0, sizeof(NameTableNode),
                                    QUILT_TAG_NAME_NODE, 0);
    return TRUE;
}

BOOLEAN NameTableInsert(NameTable* Table, PVOID Key, PVOID Value) {
    if (Key == NULL || Value == NULL) {
        return FALSE;
    }
    NameTableNode* node = static_cast<NameTableNode*>(ExAllocateFromNPagedLookasideList(&Table->NodeList));
    if (node == NULL) {
        return FALSE;
    }
    ULONG bucket = BucketOf(Table, Key);
    node->Key = Key;
    node->Value = Value;
    node->Next = Table->Buckets[bucket];
    Table->Buckets[bucket] = node;
    return TRUE;
}

PVOID NameTableLookup(NameTable* Table, PVOID Key) {
    for (NameTableNode* node = Table->Buckets[BucketOf(Table, Key)]; node != NULL; node = node->Next) {
        if (KeysEqual(Table, node->Key, Key)) {
            return node->Value;
        }
    }
    return NULL;
}

PVOID NameTableRemove(NameTable* Table, PVOID Key) {
    NameTableNode** link = &Table->Buckets[BucketOf(Table, Key)];
    for (NameTableNode* node = *link; node != NULL; link = &node->Next, node = node->Next) {
        if (!KeysEqual(Table, node->Key, Key)) {
            continue;
        }
        PVOID value = node->Value;
        *link = node->Next;
        ExFreeToNPagedLookasideList(&Table->NodeList, node);
        return value;
    }
    return NULL;
}

VOID NameTableDestroy(NameTable* Table, ULONG Flags) {
    if (Table->Buckets == NULL) {
        return;
    }
    for (ULONG i = 0; i < Table->BucketCount; ++i) {
        NameTableNode* node = Table->Buckets[i];
        while (node != NULL) {
            NameTableNode* next = node->Next;
            if ((Flags & NAME_TABLE_FREE_KEYS) != 0) {
                ExFreePool(node->Key);
            }
            if ((Flags & NAME_TABLE_FREE_VALUES) != 0) {
                ExFreePool(node->Value);
            }
            ExFreeToNPagedLookasideList(&Table->NodeList, node);
            node = next;
        }
    }
    ExFreePool(Table->Buckets);
    Table->Buckets = NULL;
    Table->BucketCount = 0;
    ExDeleteNPagedLookasideList(&Table->NodeList);
}

ULONG NameTableHashString(PVOID Key) {
    ULONG hash = 0;
    for (PCWSTR p = static_cast<PCWSTR>(Key); p != NULL && *p != L'\0'; ++p) {
        hash = hash * 31 + (ULONG)towupper(*p);
    }
    return hash;
}

BOOLEAN NameTableEqualString(PVOID Key1, PVOID Key2) {
    if (Key1 == NULL || Key2 == NULL) {
        return FALSE;
    }
    return _wcsicmp(static_cast<PCWSTR>(Key1), static_cast<PCWSTR>(Key2)) == 0;
}
