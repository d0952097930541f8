// File entries: one record shared by the links of a file, the file-index
// table, volumes without index tracking, removal.
#include "store/file_entry.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"
#include "store_fixture.h"

namespace store_test {
namespace {

class FileEntryTest : public StoreTest {
protected:
    HashTableRecord* IndexTable() { return At<HashTableRecord>(Header()->FileIndexTable, STORE_MAGIC_HASH); }
    BLOCK_ADDRESS State(PCWSTR Path) { return FileStatePathAdd(Volume(), Path, STORE_TABLE_VOLUME_PATHS); }
};

TEST_F(FileEntryTest, WithoutIndexTrackingEveryRecordHasLinkCountOneAndNoTableEntry) {
    BLOCK_ADDRESS state = State(L"\\a.txt");
    BLOCK_ADDRESS address = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), nullptr, 0x55, 7, state, &address);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(At<FileEntryRecord>(address, STORE_MAGIC_FILE_ENTRY), entry);
    EXPECT_EQ(entry->State, state);
    EXPECT_EQ(ULONGLONG{entry->FileIndex}, 0u);
    EXPECT_EQ(ULONGLONG{entry->CopyFileIndex}, 0u);
    EXPECT_EQ(entry->LinkCount, 1u);
    EXPECT_TRUE(StoreHashTableEmpty(IndexTable()));
    EXPECT_EQ(BlockIndexOf(address), BlockIndexOf(state));
}

TEST_F(FileEntryTest, TwoLinksOfOneFileShareOneRecord) {
    MakeNtfs(true);
    BLOCK_ADDRESS first = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), nullptr, 0x70000000123ull, 2, State(L"\\one"), &first);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->LinkCount, 2u);
    EXPECT_EQ(ULONGLONG{entry->FileIndex}, 0x70000000123ull);

    ULONG freeUnits = TotalFreeUnits();
    BLOCK_ADDRESS second = 0;
    EXPECT_EQ(FileEntryCreate(Volume(), nullptr, 0x70000000123ull, 2, State(L"\\two"), &second), entry);
    EXPECT_EQ(second, first);
    EXPECT_EQ(TotalFreeUnits(), freeUnits - StoreUnitsFor(4 + 72 + 2 * 3));  // only the name "two"

    BLOCK_ADDRESS found = 0;
    EXPECT_EQ(FileEntryGet(Volume(), 0x70000000123ull, &found), entry);
    EXPECT_EQ(found, first);
    // An address already known is only resolved.
    EXPECT_EQ(FileEntryCreate(Volume(), nullptr, 0, 0, 0, &found), entry);
}

TEST_F(FileEntryTest, IndicesWithEqualLowBitsShareAChainAndStayApart) {
    MakeNtfs(true);
    BLOCK_ADDRESS a = 0;
    BLOCK_ADDRESS b = 0;
    FileEntryRecord* first = FileEntryCreate(Volume(), nullptr, 0x100000005ull, 1, 0, &a);
    FileEntryRecord* second = FileEntryCreate(Volume(), nullptr, 0x200000005ull, 1, 0, &b);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(FileEntryGet(Volume(), 0x100000005ull, nullptr), first);
    EXPECT_EQ(FileEntryGet(Volume(), 0x200000005ull, nullptr), second);
    BLOCK_ADDRESS untouched = 0xDEAD;
    EXPECT_EQ(FileEntryGet(Volume(), 0x300000005ull, &untouched), nullptr);
    EXPECT_EQ(untouched, 0xDEADu);
    // Both items hang in bucket 5 mod 241.
    HashTableRecord* table = IndexTable();
    BLOCK_ADDRESS head = table->Buckets[5];
    ASSERT_NE(head, 0u);
    EXPECT_NE(At<HashItem>(head)->Next, 0u);
}

TEST_F(FileEntryTest, PointerItemsCarryTheirKeyAndAreRemovedByIndex) {
    MakeNtfs(true);
    BLOCK_ADDRESS item = 0;
    FileIndexPointer* pointer = FileEntryPtrAdd(Volume(), 42, &item);
    ASSERT_NE(pointer, nullptr);
    EXPECT_EQ(ULONGLONG{pointer->FileIndex}, 42u);
    EXPECT_EQ(pointer->Entry, 0u);
    BLOCK_ADDRESS again = 0;
    EXPECT_EQ(FileEntryPtrAdd(Volume(), 42, &again), pointer);
    EXPECT_EQ(again, item);
    BLOCK_ADDRESS entry = 0x777;
    EXPECT_EQ(FileEntryGet(Volume(), 42, &entry), nullptr);  // an item leading nowhere
    EXPECT_EQ(entry, 0u);
    FileEntryPtrRemove(Volume(), 42);
    EXPECT_TRUE(StoreHashTableEmpty(IndexTable()));
}

TEST_F(FileEntryTest, RemovalTakesBothIndicesAndTheRecord) {
    MakeNtfs(true);
    ULONG baseline = TotalFreeUnits();
    BLOCK_ADDRESS address = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), nullptr, 900, 1, 0, &address);
    ASSERT_NE(entry, nullptr);
    entry->CopyFileIndex = 901;
    BLOCK_ADDRESS item = 0;
    FileEntryPtrAdd(Volume(), 901, &item)->Entry = address;
    FileEntryRemove(Volume(), nullptr, address);
    EXPECT_EQ(FileEntryGet(Volume(), 900, nullptr), nullptr);
    EXPECT_EQ(FileEntryGet(Volume(), 901, nullptr), nullptr);
    EXPECT_TRUE(StoreHashTableEmpty(IndexTable()));
    EXPECT_EQ(TotalFreeUnits(), baseline);
}

TEST_F(FileEntryTest, RemovalLeavesAnIndexThatLeadsToAnotherRecord) {
    MakeNtfs(true);
    BLOCK_ADDRESS other = 0;
    FileEntryRecord* owner = FileEntryCreate(Volume(), nullptr, 902, 1, 0, &other);
    BLOCK_ADDRESS address = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), nullptr, 903, 1, 0, &address);
    ASSERT_NE(entry, nullptr);
    entry->CopyFileIndex = 902;  // the item of 902 belongs to the other record
    FileEntryRemove(Volume(), nullptr, address);
    EXPECT_EQ(FileEntryGet(Volume(), 903, nullptr), nullptr);
    EXPECT_EQ(FileEntryGet(Volume(), 902, nullptr), owner);
}

TEST_F(FileEntryTest, RemovingSomethingElseFreesNothing) {
    MakeNtfs(true);
    ULONG baseline = TotalFreeUnits();
    FileEntryRemove(Volume(), nullptr, Header()->RootState);
    FileEntryRemove(Volume(), nullptr, 0);
    EXPECT_EQ(TotalFreeUnits(), baseline);
    EXPECT_NE(At<FileStateRecord>(Header()->RootState, STORE_MAGIC_FILE_STATE), nullptr);
}

TEST_F(FileEntryTest, NothingWithoutALowerDeviceOrAStore) {
    BLOCK_ADDRESS address = 0;
    Volume()->LowerDevice = nullptr;
    EXPECT_EQ(FileEntryCreate(Volume(), nullptr, 5, 1, 0, &address), nullptr);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(FileEntryCreate(nullptr, nullptr, 5, 1, 0, &address), nullptr);
    EXPECT_EQ(FileEntryGet(nullptr, 5, &address), nullptr);
}

TEST_F(FileEntryTest, AFullStoreCreatesNoRecordAndLeavesNoItemBehind) {
    MakeNtfs(true);
    FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8 - 24);  // room for the item (20 bytes), not the record
    Header()->LastBlockIndex = STORE_LAST_BLOCK_INDEX;
    BLOCK_ADDRESS address = 0;
    EXPECT_EQ(FileEntryCreate(Volume(), nullptr, 77, 1, 0, &address), nullptr);
    EXPECT_EQ(address, 0u);
    EXPECT_TRUE(StoreHashTableEmpty(IndexTable()));
    Header()->LastBlockIndex = 0;
}

}  // namespace
}  // namespace store_test
