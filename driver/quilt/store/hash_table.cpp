// Block hash tables. Locking: see store_lock.h.
#include "store/hash_table.h"

#include "frame/log.h"
#include "store/block_pool.h"
#include "store/store_lock.h"

HashTableRecord* StoreHashTable(const VolumeContext* Volume, BLOCK_ADDRESS Table) {
    HashTableRecord* table = StoreRecord<HashTableRecord>(Volume, Table, STORE_MAGIC_HASH);
    if (table == NULL) {
        return NULL;
    }
    // A record or bucket array running past the block end is no table either.
    ULONG room = STORE_BLOCK_BYTES - BlockOffsetOf(Table);
    if (room < HASH_TABLE_BYTES(0) || table->BucketCount == 0 ||
        table->BucketCount > (room - HASH_TABLE_BYTES(0)) / 4) {
        return NULL;
    }
    return table;
}

BOOLEAN StoreHashTableEmpty(const HashTableRecord* Table) {
    for (ULONG bucket = 0; bucket < Table->BucketCount; bucket++) {
        if (Table->Buckets[bucket] != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

BLOCK_ADDRESS FileBlockHashInit(VolumeContext* Volume, ULONG BlockHint, ULONG BucketCount) {
    if (BucketCount > (STORE_MAX_ALLOCATION - HASH_TABLE_BYTES(0)) / 4) {
        return 0;
    }
    BLOCK_ADDRESS address = FileBlockAlloc(Volume, BlockHint, HASH_TABLE_BYTES(BucketCount));
    if (address == 0) {
        return 0;
    }
    HashTableRecord* table = StoreRecord<HashTableRecord>(Volume, address, 0);
    if (table == NULL) {
        LogPrint("FileBlockHashInit() Create hash table to block %x failed!", BlockHint);
        return 0;
    }
    table->Magic = STORE_MAGIC_HASH;
    table->BucketCount = BucketCount;
    return address;
}

BLOCK_ADDRESS FileBlockHashGetOrg(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash,
                                  STORE_MATCH_ROUTINE Match, const VOID* Key) {
    if (!StoreIsActive(Volume) || Match == NULL) {
        return 0;
    }
    HashTableRecord* table = StoreHashTable(Volume, Table);
    if (table == NULL) {
        LogPrint("FileBlockHashGetOrg() Invalid hash table at %x\n", Table);
        return STORE_INVALID_TABLE;
    }
    BLOCK_ADDRESS item = table->Buckets[Hash % table->BucketCount];
    while (item != 0) {
        HashItem* record = StoreRecord<HashItem>(Volume, item, 0);
        if (record == NULL) {
            return 0;
        }
        if (Match(record->Payload, Key)) {
            return item + HASH_ITEM_HEADER_BYTES;
        }
        item = record->Next;
    }
    return 0;
}

BLOCK_ADDRESS FileBlockHashLookup(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash,
                                  STORE_MATCH_ROUTINE Match, const VOID* Key) {
    if (!StoreIsActive(Volume) || Match == NULL) {
        return 0;
    }
    StoreLockScope storeLock;
    TableLockScope tableLock(Table);
    return FileBlockHashGetOrg(Volume, Table, Hash, Match, Key);
}

// Pushes a new zero-filled item at the head of its chain; both locks held.
static BLOCK_ADDRESS InsertItem(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, ULONG PayloadSize) {
    HashTableRecord* table = StoreHashTable(Volume, Table);
    if (table == NULL) {
        LogPrint("FileBlockHashAdd() Invalid hash table at %x\n", Table);
        return STORE_INVALID_TABLE;
    }
    if (PayloadSize > STORE_MAX_ALLOCATION - HASH_ITEM_HEADER_BYTES) {
        return 0;
    }
    BLOCK_ADDRESS item = FileBlockAlloc(Volume, BlockIndexOf(Table), HASH_ITEM_HEADER_BYTES + PayloadSize);
    if (item == 0) {
        return 0;
    }
    HashItem* record = StoreRecord<HashItem>(Volume, item, 0);
    if (record == NULL) {
        LogPrint("FileBlockHashAdd() Get allocated item failed! address=%x", item);
        return 0;
    }
    // Blocks never move: the table pointer survives the allocation.
    BLOCK_ADDRESS* head = &table->Buckets[Hash % table->BucketCount];
    record->Next = *head;
    *head = item;
    return item + HASH_ITEM_HEADER_BYTES;
}

BLOCK_ADDRESS FileBlockHashAdd(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, ULONG PayloadSize,
                               STORE_MATCH_ROUTINE Match, const VOID* Key) {
    if (!StoreIsActive(Volume) || Match == NULL) {
        return 0;
    }
    StoreLockScope storeLock;
    TableLockScope tableLock(Table);
    BLOCK_ADDRESS found = FileBlockHashGetOrg(Volume, Table, Hash, Match, Key);
    if (found != 0) {
        return found;
    }
    return InsertItem(Volume, Table, Hash, PayloadSize);
}

BLOCK_ADDRESS FileBlockHashInsert(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, ULONG PayloadSize) {
    if (!StoreIsActive(Volume)) {
        return 0;
    }
    StoreLockScope storeLock;
    TableLockScope tableLock(Table);
    return InsertItem(Volume, Table, Hash, PayloadSize);
}

VOID FileBlockHashRemove(VolumeContext* Volume, BLOCK_ADDRESS Table, ULONG Hash, STORE_MATCH_ROUTINE Match,
                         const VOID* Key, ULONG PayloadSize) {
    if (!StoreIsActive(Volume) || Match == NULL) {
        return;
    }
    StoreLockScope storeLock;
    TableLockScope tableLock(Table);
    HashTableRecord* table = StoreHashTable(Volume, Table);
    if (table == NULL) {
        LogPrint("FileBlockHashRemove() Invalid hash table at %x\n", Table);
        return;
    }
    BLOCK_ADDRESS* link = &table->Buckets[Hash % table->BucketCount];
    while (*link != 0) {
        BLOCK_ADDRESS item = *link;
        HashItem* record = StoreRecord<HashItem>(Volume, item, 0);
        if (record == NULL) {
            return;
        }
        if (Match(record->Payload, Key)) {
            *link = record->Next;
            FileBlockFree(Volume, item, HASH_ITEM_HEADER_BYTES + PayloadSize);
            return;
        }
        link = &record->Next;
    }
}

VOID TableWalkerHold::Hold(const VolumeContext* Volume, BLOCK_ADDRESS Table) {
    Release();
    m_Table = StoreHashTable(Volume, Table);
    if (m_Table != NULL) {
        InterlockedIncrement(&m_Table->WalkerCount);
    }
}

VOID TableWalkerHold::Release() {
    if (m_Table != NULL) {
        InterlockedDecrement(&m_Table->WalkerCount);
        m_Table = NULL;
    }
}
