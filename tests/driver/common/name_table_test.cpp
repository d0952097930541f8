// NameTable: chains, ordering, removal, destruction and the string callbacks.
#include <gtest/gtest.h>

#include "common/name_table.h"
#include "common/pool_tags.h"
#include "ex/pool.h"

namespace {

constexpr ULONG kBucketTag = QUILT_TAG('Q', 'u', 'I', 'A');

class NameTableTest : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = plat::PoolLiveAllocations(); }
    void TearDown() override { EXPECT_EQ(plat::PoolLiveAllocations(), baseline_) << "pool leaked"; }

    void Init(NameTable* table, NAME_TABLE_HASH hash = NULL, NAME_TABLE_EQUAL equal = NULL) {
        NameTableNode** buckets = NameTableAllocateBuckets(NAME_TABLE_BUCKETS, kBucketTag);
        ASSERT_NE(buckets, nullptr);
        ASSERT_TRUE(NameTableInitialize(table, buckets, NAME_TABLE_BUCKETS, hash, equal));
    }

    SIZE_T baseline_ = 0;
};

PVOID Ptr(ULONG_PTR value) { return reinterpret_cast<PVOID>(value); }

// Two file-object keys 768 * 32 bytes apart land in the same bucket.
constexpr ULONG_PTR kKeyA = 0x10000;
constexpr ULONG_PTR kKeyB = kKeyA + NAME_TABLE_BUCKETS * 32;
constexpr ULONG_PTR kKeyC = kKeyB + NAME_TABLE_BUCKETS * 32;

TEST_F(NameTableTest, KeysOfOneBucketChainNewestFirst) {
    NameTable table;
    Init(&table);
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyA), Ptr(1)));
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyB), Ptr(2)));
    ULONG bucket = (ULONG)((kKeyA >> 5) % NAME_TABLE_BUCKETS);
    ASSERT_NE(table.Buckets[bucket], nullptr);
    EXPECT_EQ(table.Buckets[bucket]->Key, Ptr(kKeyB)) << "newest node must be at the front";
    EXPECT_EQ(table.Buckets[bucket]->Next->Key, Ptr(kKeyA));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyA)), Ptr(1));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyB)), Ptr(2));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyC)), nullptr);
    NameTableDestroy(&table, 0);
}

TEST_F(NameTableTest, DuplicateKeyShadowsOlderUntilRemoved) {
    NameTable table;
    Init(&table);
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyA), Ptr(1)));
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyA), Ptr(2)));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyA)), Ptr(2));
    EXPECT_EQ(NameTableRemove(&table, Ptr(kKeyA)), Ptr(2));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyA)), Ptr(1));
    EXPECT_EQ(NameTableRemove(&table, Ptr(kKeyA)), Ptr(1));
    EXPECT_EQ(NameTableRemove(&table, Ptr(kKeyA)), nullptr);
    NameTableDestroy(&table, 0);
}

TEST_F(NameTableTest, RemovingTheMiddleNodeKeepsTheChain) {
    NameTable table;
    Init(&table);
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyA), Ptr(1)));
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyB), Ptr(2)));
    ASSERT_TRUE(NameTableInsert(&table, Ptr(kKeyC), Ptr(3)));  // chain: C, B, A
    EXPECT_EQ(NameTableRemove(&table, Ptr(kKeyB)), Ptr(2));
    ULONG bucket = (ULONG)((kKeyA >> 5) % NAME_TABLE_BUCKETS);
    EXPECT_EQ(table.Buckets[bucket]->Key, Ptr(kKeyC));
    EXPECT_EQ(table.Buckets[bucket]->Next->Key, Ptr(kKeyA));
    EXPECT_EQ(table.Buckets[bucket]->Next->Next, nullptr);
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyA)), Ptr(1));
    EXPECT_EQ(NameTableLookup(&table, Ptr(kKeyC)), Ptr(3));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_NAME_NODE), 2u) << "removed node not released";
    NameTableDestroy(&table, 0);
}

TEST_F(NameTableTest, NullKeyOrValueIsRefused) {
    NameTable table;
    Init(&table);
    EXPECT_FALSE(NameTableInsert(&table, NULL, Ptr(1)));
    EXPECT_FALSE(NameTableInsert(&table, Ptr(kKeyA), NULL));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_NAME_NODE), 0u);
    NameTableDestroy(&table, 0);
}

TEST_F(NameTableTest, InitializeRefusesMissingBuckets) {
    NameTable table;
    EXPECT_FALSE(NameTableInitialize(&table, NULL, NAME_TABLE_BUCKETS, NULL, NULL));
    NameTableNode** buckets = NameTableAllocateBuckets(NAME_TABLE_BUCKETS, kBucketTag);
    EXPECT_FALSE(NameTableInitialize(&table, buckets, 0, NULL, NULL));
    ExFreePool(buckets);
}

TEST_F(NameTableTest, DestroyFreesKeysAndValuesOnRequest) {
    NameTable table;
    Init(&table, NameTableHashString, NameTableEqualString);
    const ULONG keyTag = QUILT_TAG('T', 'k', 'e', 'y');
    const ULONG valueTag = QUILT_TAG('T', 'v', 'a', 'l');
    for (int i = 0; i < 5; ++i) {
        auto* key = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, 8 * sizeof(WCHAR), keyTag));
        key[0] = L'\\';
        key[1] = static_cast<WCHAR>(L'a' + i);
        key[2] = 0;
        PVOID value = ExAllocatePoolWithTag(NonPagedPool, 16, valueTag);
        ASSERT_TRUE(NameTableInsert(&table, key, value));
    }
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(keyTag), 5u);
    NameTableDestroy(&table, NAME_TABLE_FREE_KEYS | NAME_TABLE_FREE_VALUES);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(keyTag), 0u);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(valueTag), 0u);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(kBucketTag), 0u);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_NAME_NODE), 0u);
}

TEST_F(NameTableTest, DestroyWithoutFlagsLeavesKeysAndValuesToTheOwner) {
    NameTable table;
    Init(&table);
    PVOID key = ExAllocatePoolWithTag(NonPagedPool, 4, QUILT_TAG('T', 'k', 'e', 'y'));
    PVOID value = ExAllocatePoolWithTag(NonPagedPool, 4, QUILT_TAG('T', 'v', 'a', 'l'));
    ASSERT_TRUE(NameTableInsert(&table, key, value));
    NameTableDestroy(&table, NAME_TABLE_FREE_KEYS);
    EXPECT_TRUE(plat::PoolIsLiveAllocation(value));
    EXPECT_FALSE(plat::PoolIsLiveAllocation(key));
    ExFreePool(value);
}

TEST(NameTableStringHash, MatchesTheDefinedPolynomial) {
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"")), 0u);
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"A")), 65u);
    // ('A' * 31 + 'B') * 31 + 'C' = 64578
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"abc")), 64578u);
    // \WINDOWS: computed by hand in 32-bit arithmetic.
    ULONG h = 0;
    for (const char* p = "\\WINDOWS"; *p; ++p) h = h * 31 + (ULONG)(unsigned char)*p;
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"\\windows")), h);
    // A long name wraps around 2^32.
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"\\Documents and Settings\\All Users")), 0x7229C9FDu);
}

TEST(NameTableStringHash, IgnoresCaseIncludingLatinLetters) {
    EXPECT_EQ(NameTableHashString(const_cast<PWSTR>(L"\\Data\\\u00e9t\u00e9.TXT")),
              NameTableHashString(const_cast<PWSTR>(L"\\DATA\\\u00c9T\u00c9.txt")));
}

TEST(NameTableStringEquality, CaseInsensitiveWholeNames) {
    EXPECT_TRUE(NameTableEqualString(const_cast<PWSTR>(L"\\Data\\A.txt"), const_cast<PWSTR>(L"\\DATA\\a.TXT")));
    EXPECT_FALSE(NameTableEqualString(const_cast<PWSTR>(L"\\Data\\A.txt"), const_cast<PWSTR>(L"\\Data\\A.txt2")));
    EXPECT_FALSE(NameTableEqualString(const_cast<PWSTR>(L"\\Data"), const_cast<PWSTR>(L"\\Dat")));
}

TEST(NameTableStringEquality, NullNameEqualsNothing) {
    EXPECT_FALSE(NameTableEqualString(NULL, const_cast<PWSTR>(L"")));
    EXPECT_FALSE(NameTableEqualString(const_cast<PWSTR>(L"x"), NULL));
    EXPECT_FALSE(NameTableEqualString(NULL, NULL));
}

TEST_F(NameTableTest, StringTableFindsPathsWhateverTheirCase) {
    NameTable table;
    Init(&table, NameTableHashString, NameTableEqualString);
    WCHAR stored[] = L"\\WINDOWS\\system32\\config\\SOFTWARE";
    WCHAR probe[] = L"\\windows\\SYSTEM32\\CONFIG\\software";
    ASSERT_TRUE(NameTableInsert(&table, stored, Ptr(7)));
    EXPECT_EQ(NameTableLookup(&table, probe), Ptr(7));
    EXPECT_EQ(NameTableRemove(&table, probe), Ptr(7));
    EXPECT_EQ(NameTableLookup(&table, stored), nullptr);
    NameTableDestroy(&table, 0);
}

}  // namespace
