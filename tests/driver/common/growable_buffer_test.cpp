// GrowableBuffer: creation, growth that keeps content and zero-fills, appends.
#include <gtest/gtest.h>

#include <vector>

#include "common/growable_buffer.h"
#include "ex/pool.h"

namespace {

TEST(GrowableBuffer, CreateAllocatesUnzeroedCapacityWithTheDefaultTag) {
    SIZE_T before = plat::PoolLiveAllocationsWithTag(QUILT_TAG_DEFAULT);
    {
        GrowableBuffer buffer(64);
        EXPECT_EQ(buffer.Capacity(), 64u);
        EXPECT_EQ(buffer.Used(), 0u);
        EXPECT_NE(buffer.Data(), nullptr);
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_DEFAULT), before + 1);
    }
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_DEFAULT), before) << "destructor must free";
}

TEST(GrowableBuffer, CreateWithoutCapacityAllocatesNothing) {
    GrowableBuffer buffer;
    EXPECT_EQ(buffer.Capacity(), 0u);
    EXPECT_EQ(buffer.Data(), nullptr);
}

TEST(GrowableBuffer, FailedCreateLeavesCapacityZeroAndAppendRetries) {
    const ULONG tag = QUILT_TAG('T', 'g', 'r', 'w');
    plat::PoolSetFailurePredicate([tag](ULONG t, SIZE_T) { return t == tag; });
    GrowableBuffer buffer(128, tag);
    EXPECT_EQ(buffer.Capacity(), 0u);
    EXPECT_FALSE(buffer.Append("abc", 3)) << "append must fail while pool fails";
    EXPECT_EQ(buffer.Used(), 0u);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_TRUE(buffer.Append("abc", 3));
    EXPECT_EQ(buffer.Capacity(), 3u);
    EXPECT_EQ(memcmp(buffer.Data(), "abc", 3), 0);
}

TEST(GrowableBuffer, ReserveGrowsToExactlyTheRequestKeepingUsedBytesAndZeroFilling) {
    GrowableBuffer buffer(4);
    ASSERT_TRUE(buffer.Append("wxyz", 4));
    ASSERT_TRUE(buffer.Reserve(4));  // fits: nothing happens
    EXPECT_EQ(buffer.Capacity(), 4u);
    PUCHAR before = buffer.Data();
    ASSERT_TRUE(buffer.Reserve(100));
    EXPECT_EQ(buffer.Capacity(), 100u);
    EXPECT_NE(buffer.Data(), before);
    EXPECT_EQ(memcmp(buffer.Data(), "wxyz", 4), 0);
    for (ULONG i = 4; i < 100; ++i) ASSERT_EQ(buffer.Data()[i], 0) << "byte " << i;
    EXPECT_EQ(buffer.Used(), 4u);
}

TEST(GrowableBuffer, FailedReserveLeavesTheBufferUnchanged) {
    const ULONG tag = QUILT_TAG('T', 'g', 'r', 'x');
    GrowableBuffer buffer(8, tag);
    ASSERT_TRUE(buffer.Append("12345678", 8));
    plat::PoolSetFailurePredicate([tag](ULONG t, SIZE_T) { return t == tag; });
    EXPECT_FALSE(buffer.Reserve(16));
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_EQ(buffer.Used(), 8u);
    EXPECT_EQ(memcmp(buffer.Data(), "12345678", 8), 0);
}

TEST(GrowableBuffer, AppendWithoutSourceExtendsWithZeroesAfterGrowth) {
    GrowableBuffer buffer;
    ASSERT_TRUE(buffer.Append("ab", 2));
    ASSERT_TRUE(buffer.Append(NULL, 6));
    EXPECT_EQ(buffer.Used(), 8u);
    const UCHAR expected[8] = {'a', 'b', 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(buffer.Data(), expected, 8), 0);
}

TEST(GrowableBuffer, ManyAppendsConcatenate) {
    GrowableBuffer buffer(1);
    std::vector<UCHAR> model;
    for (int i = 0; i < 500; ++i) {
        UCHAR chunk[7];
        for (int j = 0; j < 7; ++j) chunk[j] = static_cast<UCHAR>(i * 7 + j);
        ULONG n = static_cast<ULONG>(i % 7 + 1);
        ASSERT_TRUE(buffer.Append(chunk, n));
        model.insert(model.end(), chunk, chunk + n);
    }
    ASSERT_EQ(buffer.Used(), model.size());
    EXPECT_EQ(memcmp(buffer.Data(), model.data(), model.size()), 0);
}

TEST(GrowableBuffer, AppendThatWouldWrapAroundIsRefused) {
    GrowableBuffer buffer;
    ASSERT_TRUE(buffer.Append("x", 1));
    EXPECT_FALSE(buffer.Append(NULL, 0xFFFFFFFFu));
    EXPECT_EQ(buffer.Used(), 1u);
}

TEST(GrowableBuffer, FreeReleasesAndResets) {
    GrowableBuffer buffer(16);
    ASSERT_TRUE(buffer.Append("abc", 3));
    buffer.Free();
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_EQ(buffer.Capacity(), 0u);
    EXPECT_EQ(buffer.Used(), 0u);
    buffer.Free();  // twice is harmless
}

}  // namespace
