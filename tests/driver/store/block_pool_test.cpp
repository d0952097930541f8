// Block pool: the layout of a new store, the first-fit allocator with its hint,
// zero-filled free memory, growth and its limits, and Data chains.
#include <vector>

#include "core/verifier.h"
#include "ex/pool.h"
#include "store/hash_table.h"
#include "store_fixture.h"

namespace store_test {
namespace {

using BlockPoolTest = StoreTest;

TEST_F(BlockPoolTest, NewStoreHoldsTheHeaderTablesAndRootInBlockZero) {
    StoreHeader* header = Header();
    ASSERT_EQ(FileBlockGetPtr(Volume(), STORE_HEADER_ADDRESS, STORE_MAGIC_HEADER), header);
    EXPECT_EQ(header->LastBlockIndex, 0u);
    // Header 5 units, two 26-bucket tables 15 units each, root 9, 241-bucket table 122.
    EXPECT_EQ(header->NameTable1, 0x800u + 5 * 8);
    EXPECT_EQ(header->NameTable2, 0x800u + 20 * 8);
    EXPECT_EQ(header->RootState, 0x800u + 35 * 8);
    EXPECT_EQ(header->FileIndexTable, 0x800u + 44 * 8);
    EXPECT_EQ(UsedUnits(0), 166u);
    EXPECT_EQ(FreeUnits(0), 15962u);
    EXPECT_EQ(Hint(0), 256u + 166u);
    EXPECT_FALSE(UnitUsed(0, 255));
    EXPECT_TRUE(UnitUsed(0, 256));
    EXPECT_TRUE(UnitUsed(0, 421));
    EXPECT_FALSE(UnitUsed(0, 422));

    HashTableRecord* table1 = At<HashTableRecord>(header->NameTable1, STORE_MAGIC_HASH);
    HashTableRecord* index = At<HashTableRecord>(header->FileIndexTable, STORE_MAGIC_HASH);
    ASSERT_NE(table1, nullptr);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(table1->BucketCount, 26u);
    EXPECT_EQ(index->BucketCount, 241u);
    FileStateRecord* root = At<FileStateRecord>(header->RootState, STORE_MAGIC_FILE_STATE);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->LongName[0], 0);
    EXPECT_EQ(root->Parent, 0u);
}

TEST_F(BlockPoolTest, StoreIsBuiltOncePerVolume) {
    EXPECT_FALSE(FileBlockInit(Volume()));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK), 1u);
}

TEST_F(BlockPoolTest, LargestAllocationTakesAWholeNewBlock) {
    BLOCK_ADDRESS address = FileBlockAlloc(Volume(), 0, STORE_MAX_ALLOCATION);
    EXPECT_EQ(address, MakeBlockAddress(1, 0x800));
    EXPECT_EQ(Header()->LastBlockIndex, 1u);
    EXPECT_EQ(FreeUnits(1), 0u);
    EXPECT_EQ(Hint(1), STORE_BLOCK_UNITS);

    EXPECT_EQ(FileBlockAlloc(Volume(), 0, STORE_MAX_ALLOCATION + 1), 0u);
    EXPECT_EQ(Header()->LastBlockIndex, 1u);
}

TEST_F(BlockPoolTest, ZeroBytesAndHintsBeyondTheLastBlockFail) {
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 0), 0u);
    EXPECT_EQ(FileBlockAlloc(Volume(), 1, 8), 0u);
    EXPECT_EQ(FreeUnits(0), 15962u);
}

TEST_F(BlockPoolTest, OneByteTakesOneUnitAndItsFreeZeroFillsAndLowersTheHint) {
    BLOCK_ADDRESS first = FileBlockAlloc(Volume(), 0, 1);
    BLOCK_ADDRESS second = FileBlockAlloc(Volume(), 0, 1);
    EXPECT_EQ(second - first, 8u);
    EXPECT_EQ(FreeUnits(0), 15960u);
    EXPECT_EQ(Hint(0), 424u);

    PUCHAR bytes = At<UCHAR>(first);
    for (int i = 0; i < 8; i++) bytes[i] = 0xA5;
    FileBlockFree(Volume(), first, 1);
    for (int i = 0; i < 8; i++) EXPECT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(FreeUnits(0), 15961u);
    EXPECT_EQ(Hint(0), 422u);
    EXPECT_FALSE(UnitUsed(0, 422));
    EXPECT_TRUE(UnitUsed(0, 423));
    // The freed unit is found again first.
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 8), first);
}

TEST_F(BlockPoolTest, FirstFitSkipsHolesThatAreTooShort) {
    std::vector<BLOCK_ADDRESS> blocks;
    for (int i = 0; i < 40; i++) blocks.push_back(FileBlockAlloc(Volume(), 0, 8));
    FileBlockFree(Volume(), blocks[3], 8);                        // a hole of one unit
    FileBlockFree(Volume(), blocks[10], 8);                       // a hole of three units
    FileBlockFree(Volume(), blocks[11], 8);
    FileBlockFree(Volume(), blocks[12], 8);
    EXPECT_EQ(Hint(0), BlockOffsetOf(blocks[3]) / 8);
    // Three units do not fit in the first hole; the hint stays where it was.
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 24), blocks[10]);
    EXPECT_EQ(Hint(0), BlockOffsetOf(blocks[3]) / 8);
    // One unit takes the first hole and moves the hint past it.
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 1), blocks[3]);
    EXPECT_EQ(Hint(0), BlockOffsetOf(blocks[3]) / 8 + 1);
}

TEST_F(BlockPoolTest, RunsAcrossWholeFreeBytesAndFullBytesAreFound) {
    // Fill 64 units, free a run that starts mid-byte and spans two whole bytes.
    std::vector<BLOCK_ADDRESS> units;
    for (int i = 0; i < 64; i++) units.push_back(FileBlockAlloc(Volume(), 0, 8));
    for (int i = 5; i < 26; i++) FileBlockFree(Volume(), units[i], 8);
    ULONG before = FreeUnits(0);
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 21 * 8), units[5]);
    EXPECT_EQ(FreeUnits(0), before - 21);
    for (int i = 5; i < 26; i++) EXPECT_TRUE(UnitUsed(0, BlockOffsetOf(units[i]) / 8)) << i;
}

TEST_F(BlockPoolTest, AFullBlockSendsAllocationsToTheNextBlockWithRoom) {
    ULONG free0 = FreeUnits(0);
    BLOCK_ADDRESS fill = FileBlockAlloc(Volume(), 0, free0 * 8);
    ASSERT_NE(fill, 0u);
    EXPECT_EQ(FreeUnits(0), 0u);
    BLOCK_ADDRESS next = FileBlockAlloc(Volume(), 0, 16);
    EXPECT_EQ(BlockIndexOf(next), 1u);
    // With room again, block 0 is searched first even for a hint of 1.
    FileBlockFree(Volume(), fill, 64);
    EXPECT_EQ(BlockIndexOf(FileBlockAlloc(Volume(), 1, STORE_MAX_ALLOCATION - 8)), 2u);
    EXPECT_EQ(BlockIndexOf(FileBlockAlloc(Volume(), 2, 64)), 0u);
}

TEST_F(BlockPoolTest, FullPoolAtTheLastBlockIndexFailsWithoutGrowing) {
    ASSERT_NE(FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8), 0u);
    // Blocks 1 ... 0x7FFE "exist" with no free unit; the pool is at its limit.
    Header()->LastBlockIndex = STORE_LAST_BLOCK_INDEX;
    SIZE_T blocks = plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK);
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 8), 0u);
    EXPECT_EQ(FileBlockAddBlock(Volume()), 0u);
    EXPECT_EQ(Header()->LastBlockIndex, STORE_LAST_BLOCK_INDEX);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK), blocks);
    Header()->LastBlockIndex = 0;
}

TEST_F(BlockPoolTest, ExhaustedPoolLeavesTheStoreAsItWas) {
    ASSERT_NE(FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8), 0u);
    plat::VerifierFailAllocationsWithTag(QUILT_TAG_BLOCK);
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 8), 0u);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(Header()->LastBlockIndex, 0u);
    EXPECT_NE(FileBlockAlloc(Volume(), 0, 8), 0u);
    EXPECT_EQ(Header()->LastBlockIndex, 1u);
}

TEST_F(BlockPoolTest, AddressesOutsideAllocationsDoNotResolveOrFree) {
    EXPECT_EQ(FileBlockGetPtr(Volume(), 0, 0), nullptr);
    EXPECT_EQ(FileBlockGetPtr(Volume(), MakeBlockAddress(1, 0x800), 0), nullptr);  // no block 1
    EXPECT_EQ(FileBlockGetPtr(Volume(), 0x10, 0), nullptr);                        // the bitmap
    EXPECT_EQ(FileBlockGetPtr(Volume(), 0x802, 0), nullptr);                       // misaligned
    EXPECT_EQ(FileBlockGetPtr(Volume(), STORE_HEADER_ADDRESS, STORE_MAGIC_HASH), nullptr);
    ULONG hint = Hint(0);
    FileBlockFree(Volume(), 0x10, 8);
    FileBlockFree(Volume(), MakeBlockAddress(0, STORE_BLOCK_BYTES - 8), 16);
    EXPECT_EQ(Hint(0), hint);
    EXPECT_EQ(FreeUnits(0), 15962u);
}

TEST_F(BlockPoolTest, ARangeFreedTwiceIsCountedOnce) {
    BLOCK_ADDRESS address = FileBlockAlloc(Volume(), 0, 40);
    FileBlockFree(Volume(), address, 40);
    FileBlockFree(Volume(), address, 40);
    EXPECT_EQ(FreeUnits(0), 15962u);
}

TEST_F(BlockPoolTest, BlocksAreDumpedAsTheyStand) {
    FileBlockAlloc(Volume(), 0, STORE_MAX_ALLOCATION);
    const UCHAR* block0 = FileBlockMemory(Volume(), 0);
    ASSERT_NE(block0, nullptr);
    EXPECT_EQ(0, memcmp(block0 + STORE_HEADER_ADDRESS, "Head", 4));
    EXPECT_EQ(block0[256 / 8], 0xFF);  // units 256-263 in use
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(block0), Hint(0));
    EXPECT_NE(FileBlockMemory(Volume(), 1), nullptr);
    EXPECT_EQ(FileBlockMemory(Volume(), 2), nullptr);
}

TEST_F(BlockPoolTest, TearDownFreesEveryBlockAndTheDescriptors) {
    FileBlockAlloc(Volume(), 0, STORE_MAX_ALLOCATION);
    FileBlockAlloc(Volume(), 0, STORE_MAX_ALLOCATION);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK), 3u);
    FileBlockTearDown(Volume());
    EXPECT_FALSE(StoreIsActive(Volume()));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK), 0u);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK_DESCRIPTORS), 0u);
    // A volume without a store answers nothing.
    EXPECT_EQ(FileBlockAlloc(Volume(), 0, 8), 0u);
    EXPECT_EQ(FileBlockSetString(Volume(), 0, L"\\x"), 0u);
    EXPECT_EQ(FileBlockHashInit(Volume(), 0, 26), 0u);
}

class BlockPoolInitTest : public quilt_test::KernelTest {};

TEST_F(BlockPoolInitTest, InitWithoutPoolLeavesNoStoreAndNoMemory) {
    StoreGlobals globals;
    for (ULONG tag : {QUILT_TAG_BLOCK_DESCRIPTORS, QUILT_TAG_BLOCK}) {
        DeviceContext volume{};
        plat::VerifierFailAllocationsWithTag(tag);
        EXPECT_FALSE(FileBlockInit(&volume));
        plat::VerifierStopFailingAllocations();
        EXPECT_EQ(volume.BlockDescriptors, nullptr);
        EXPECT_EQ(volume.Store, nullptr);
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK_DESCRIPTORS), 0u);
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_BLOCK), 0u);
    }
    EXPECT_FALSE(FileBlockInit(nullptr));
}

// ---- Data chains ----------------------------------------------------------------------

using DataChainTest = StoreTest;

TEST_F(DataChainTest, LongStringIsStoredAsChunksOfAtMostABlock) {
    std::vector<UCHAR> text(300000);
    for (size_t i = 0; i < text.size(); i++) text[i] = (UCHAR)(i * 7 + i / 256);
    BLOCK_ADDRESS first = FileBlockSetData(Volume(), 0, (ULONG)text.size(), text.data());
    ASSERT_NE(first, 0u);

    const ULONG payloads[] = {129008, 129008, 41984};
    const ULONG remaining[] = {300000, 170992, 41984};
    BLOCK_ADDRESS address = first;
    for (int i = 0; i < 3; i++) {
        DataChunk* chunk = At<DataChunk>(address, STORE_MAGIC_DATA);
        ASSERT_NE(chunk, nullptr) << i;
        EXPECT_EQ(chunk->PayloadLength, payloads[i]) << i;
        EXPECT_EQ(chunk->Remaining, remaining[i]) << i;
        address = chunk->Next;
    }
    EXPECT_EQ(address, 0u);

    EXPECT_EQ(FileBlockGetData(Volume(), first, nullptr, 0), 300000u);
    std::vector<UCHAR> copy(300000);
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), (ULONG)copy.size()), 300000u);
    EXPECT_EQ(copy, text);

    ULONG freeBefore = TotalFreeUnits();
    FileBlockFreeData(Volume(), first);
    EXPECT_EQ(TotalFreeUnits(), freeBefore + 2 * 0x3F00 + StoreUnitsFor(41984 + 16));
}

TEST_F(DataChainTest, TooSmallADestinationGetsNothing) {
    BLOCK_ADDRESS first = FileBlockSetString(Volume(), 0, L"\\dir\\file.txt");
    std::vector<UCHAR> copy(26, 0xEE);
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), 25), 0u);
    EXPECT_EQ(copy[0], 0xEE);
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), 26), 26u);
    EXPECT_EQ(0, memcmp(copy.data(), L"\\dir\\file.txt", 26));
}

TEST_F(DataChainTest, NullSourceStoresZeros) {
    BLOCK_ADDRESS first = FileBlockSetData(Volume(), 0, 100, nullptr);
    std::vector<UCHAR> copy(100, 0xEE);
    ASSERT_EQ(FileBlockGetData(Volume(), first, copy.data(), 100), 100u);
    EXPECT_EQ(copy, std::vector<UCHAR>(100, 0));
}

TEST_F(DataChainTest, EmptyStringIsOneEmptyChunk) {
    BLOCK_ADDRESS first = FileBlockSetString(Volume(), 0, L"");
    DataChunk* chunk = At<DataChunk>(first, STORE_MAGIC_DATA);
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->PayloadLength, 0u);
    UCHAR byte = 0;
    EXPECT_EQ(FileBlockGetData(Volume(), first, &byte, 1), 0u);
}

TEST_F(DataChainTest, ChainFailingHalfWayLeavesNothingAllocated) {
    ULONG freeBefore = TotalFreeUnits();
    // The first chunk gets block 1; the second would need block 2.
    plat::VerifierFailNthAllocation(2, QUILT_TAG_BLOCK);
    EXPECT_EQ(FileBlockSetData(Volume(), 0, 2 * DATA_CHUNK_MAX_PAYLOAD, nullptr), 0u);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(Header()->LastBlockIndex, 1u);
    EXPECT_EQ(TotalFreeUnits(), freeBefore + 0x3F00);
}

TEST_F(DataChainTest, DamagedChainsAreRefused) {
    BLOCK_ADDRESS first = FileBlockSetData(Volume(), 0, 2 * DATA_CHUNK_MAX_PAYLOAD, nullptr);
    DataChunk* head = At<DataChunk>(first, STORE_MAGIC_DATA);
    std::vector<UCHAR> copy(2 * DATA_CHUNK_MAX_PAYLOAD);
    BLOCK_ADDRESS second = head->Next;
    head->Next = first;  // a loop
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), (ULONG)copy.size()), 0u);
    head->Next = STORE_HEADER_ADDRESS;  // not a chunk
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), (ULONG)copy.size()), 0u);
    head->Next = second;
    EXPECT_EQ(FileBlockGetData(Volume(), first, copy.data(), (ULONG)copy.size()), copy.size());
    EXPECT_EQ(FileBlockGetData(Volume(), STORE_HEADER_ADDRESS, copy.data(), (ULONG)copy.size()), 0u);
}

}  // namespace
}  // namespace store_test
