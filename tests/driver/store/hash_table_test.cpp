// Block hash tables: find-or-insert, chains, invalid tables, removal, walker
// counts.
#include "store/hash_table.h"
#include "store_fixture.h"

namespace store_test {
namespace {

struct Payload {
    ULONG Key;
    ULONG Value;
};

BOOLEAN MatchKey(const VOID* Item, const VOID* Key) {
    return static_cast<const Payload*>(Item)->Key == *static_cast<const ULONG*>(Key);
}

class HashTableTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        Table = FileBlockHashInit(Volume(), 0, 7);
        ASSERT_NE(Table, 0u);
    }

    // Adds Key (hash = Key) and stores it in the new payload.
    BLOCK_ADDRESS Add(ULONG Key, ULONG Hash) {
        BLOCK_ADDRESS payload = FileBlockHashAdd(Volume(), Table, Hash, sizeof(Payload), MatchKey, &Key);
        if (payload != 0 && payload != STORE_INVALID_TABLE) At<Payload>(payload)->Key = Key;
        return payload;
    }
    BLOCK_ADDRESS Find(ULONG Key, ULONG Hash) {
        return FileBlockHashLookup(Volume(), Table, Hash, MatchKey, &Key);
    }

    BLOCK_ADDRESS Table = 0;
};

TEST_F(HashTableTest, NewTableIsEmptyWithItsBucketCount) {
    HashTableRecord* table = At<HashTableRecord>(Table, STORE_MAGIC_HASH);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->BucketCount, 7u);
    EXPECT_EQ(table->WalkerCount, 0);
    EXPECT_TRUE(StoreHashTableEmpty(table));
    EXPECT_EQ(Find(3, 3), 0u);
}

TEST_F(HashTableTest, AddingAPresentKeyReturnsItsPayloadAndAllocatesNothing) {
    BLOCK_ADDRESS first = Add(5, 5);
    ASSERT_NE(first, 0u);
    At<Payload>(first)->Value = 77;
    ULONG freeUnits = FreeUnits(0);
    ULONG key = 5;
    EXPECT_EQ(FileBlockHashAdd(Volume(), Table, 5, sizeof(Payload), MatchKey, &key), first);
    EXPECT_EQ(FreeUnits(0), freeUnits);
    EXPECT_EQ(At<Payload>(first)->Value, 77u);
    EXPECT_EQ(Find(5, 5), first);
}

TEST_F(HashTableTest, NewItemsAreZeroedLinkedAtTheHeadAndInTheTablesBlock) {
    // Push block 0 full so that a table in block 1 can show where its items go.
    FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8);
    BLOCK_ADDRESS table = FileBlockHashInit(Volume(), 0, 3);
    ASSERT_EQ(BlockIndexOf(table), 1u);
    ULONG key = 1;
    BLOCK_ADDRESS older = FileBlockHashAdd(Volume(), table, 4, sizeof(Payload), MatchKey, &key);
    key = 2;
    BLOCK_ADDRESS newer = FileBlockHashAdd(Volume(), table, 7, sizeof(Payload), MatchKey, &key);
    EXPECT_EQ(BlockIndexOf(older), 1u);
    EXPECT_EQ(BlockIndexOf(newer), 1u);
    EXPECT_EQ(At<Payload>(newer)->Key, 0u);  // the caller fills the payload
    HashTableRecord* record = At<HashTableRecord>(table, STORE_MAGIC_HASH);
    EXPECT_EQ(record->Buckets[1], newer - HASH_ITEM_HEADER_BYTES);  // 4 and 7 mod 3 = 1
    EXPECT_EQ(At<HashItem>(newer - HASH_ITEM_HEADER_BYTES)->Next, older - HASH_ITEM_HEADER_BYTES);
}

TEST_F(HashTableTest, SameHashKeysShareAChainAndTheNewerMatchIsFoundFirst) {
    BLOCK_ADDRESS a = Add(1, 9);
    BLOCK_ADDRESS b = Add(2, 9);
    EXPECT_EQ(Find(1, 9), a);
    EXPECT_EQ(Find(2, 9), b);
    // Two items both matching: the head of the chain wins.
    At<Payload>(a)->Key = 2;
    EXPECT_EQ(Find(2, 9), b);
    FileBlockHashRemove(Volume(), Table, 9, MatchKey, &At<Payload>(b)->Key, sizeof(Payload));
    EXPECT_EQ(Find(2, 9), a);
}

TEST_F(HashTableTest, RemovalUnlinksFreesAndZeroesOnlyTheMatch) {
    BLOCK_ADDRESS a = Add(1, 2);   // alone in bucket 2
    BLOCK_ADDRESS b = Add(8, 1);   // b and c share bucket 1, c at the head
    BLOCK_ADDRESS c = Add(15, 1);
    ULONG freeUnits = FreeUnits(0);
    ULONG missing = 22;
    FileBlockHashRemove(Volume(), Table, 1, MatchKey, &missing, sizeof(Payload));
    EXPECT_EQ(FreeUnits(0), freeUnits);
    ULONG key = 8;
    FileBlockHashRemove(Volume(), Table, 1, MatchKey, &key, sizeof(Payload));
    EXPECT_EQ(FreeUnits(0), freeUnits + 2);
    EXPECT_EQ(At<Payload>(b)->Key, 0u);  // zero-filled again
    EXPECT_EQ(Find(8, 1), 0u);
    EXPECT_EQ(Find(15, 1), c);
    EXPECT_EQ(Find(1, 2), a);
}

TEST_F(HashTableTest, InvalidTablesAnswerMinusOneAndChangeNothing) {
    ULONG key = 1;
    EXPECT_EQ(FileBlockHashLookup(Volume(), Header()->RootState, 1, MatchKey, &key), STORE_INVALID_TABLE);
    EXPECT_EQ(FileBlockHashAdd(Volume(), Header()->RootState, 1, 8, MatchKey, &key), STORE_INVALID_TABLE);
    HashTableRecord* table = At<HashTableRecord>(Table, STORE_MAGIC_HASH);
    table->BucketCount = 0;
    ULONG freeUnits = FreeUnits(0);
    EXPECT_EQ(FileBlockHashGetOrg(Volume(), Table, 1, MatchKey, &key), STORE_INVALID_TABLE);
    EXPECT_EQ(FileBlockHashAdd(Volume(), Table, 1, 8, MatchKey, &key), STORE_INVALID_TABLE);
    FileBlockHashRemove(Volume(), Table, 1, MatchKey, &key, 8);
    EXPECT_EQ(FreeUnits(0), freeUnits);
    EXPECT_EQ(FileBlockHashLookup(Volume(), 0, 1, MatchKey, &key), STORE_INVALID_TABLE);
    // Without a match routine there is nothing to find.
    EXPECT_EQ(FileBlockHashLookup(Volume(), Table, 1, nullptr, &key), 0u);
}

TEST_F(HashTableTest, AllocationFailureIsNotFound) {
    FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8);
    Header()->LastBlockIndex = STORE_LAST_BLOCK_INDEX;
    ULONG key = 3;
    EXPECT_EQ(FileBlockHashAdd(Volume(), Table, 3, 8, MatchKey, &key), 0u);
    Header()->LastBlockIndex = 0;
}

TEST_F(HashTableTest, WalkerHoldCountsWhileHeld) {
    HashTableRecord* table = At<HashTableRecord>(Table, STORE_MAGIC_HASH);
    {
        TableWalkerHold first;
        TableWalkerHold second;
        first.Hold(Volume(), Table);
        second.Hold(Volume(), Table);
        EXPECT_EQ(table->WalkerCount, 2);
        second.Hold(Volume(), Header()->RootState);  // not a table: holds nothing
        EXPECT_EQ(table->WalkerCount, 1);
    }
    EXPECT_EQ(table->WalkerCount, 0);
}

}  // namespace
}  // namespace store_test
