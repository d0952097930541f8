// PathBuffer: lookaside-backed 0x10002-byte buffers owned by scope.
#include <gtest/gtest.h>

#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "ex/pool.h"

namespace {

class PathBufferTest : public ::testing::Test {
protected:
    void SetUp() override { PathBufferListInitialize(); }
    void TearDown() override {
        PathBufferListDelete();
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), 0u);
    }
};

TEST_F(PathBufferTest, HoldsThirtyTwoThousandCharactersAndATerminator) {
    EXPECT_EQ(PATH_BUFFER_BYTES, 0x10002u);
    PathBuffer path;
    PWSTR buffer = path.Allocate();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(path.Get(), buffer);
    EXPECT_EQ(buffer[0], L'\0');
    for (ULONG i = 0; i < PATH_BUFFER_CHARS; ++i) buffer[i] = L'x';
    buffer[PATH_BUFFER_CHARS] = 0;
    EXPECT_EQ(wcslen(buffer), static_cast<SIZE_T>(PATH_BUFFER_CHARS));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), 1u);
}

TEST_F(PathBufferTest, ScopeEndReleasesTheBuffer) {
    {
        PathBuffer path;
        ASSERT_NE(path.Allocate(), nullptr);
        ASSERT_NE(path.Allocate(), nullptr);  // a second allocate releases the first
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), 1u);
    }
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), 0u);
}

TEST_F(PathBufferTest, ClearHandsOwnershipAway) {
    PWSTR kept;
    {
        PathBuffer path;
        kept = path.Allocate();
        ASSERT_NE(kept, nullptr);
        path.Clear();
        EXPECT_EQ(path.Get(), nullptr);
    }
    EXPECT_TRUE(plat::PoolIsLiveAllocation(kept));
    ExFreePool(kept);
}

TEST_F(PathBufferTest, AllocationFailureGivesNull) {
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_PATH_BUFFER; });
    PathBuffer path;
    EXPECT_EQ(path.Allocate(), nullptr);
    EXPECT_EQ(path.Get(), nullptr);
    plat::PoolSetFailurePredicate(nullptr);
}

}  // namespace
