// Byte-range locks: what conflicts with what.
#include "fs/engine/byte_range_locks.h"

#include <gtest/gtest.h>

namespace plat::fs {
namespace {

int fileA, fileB;  // two file objects
const LockOwner kA{&fileA, 1, 0};
const LockOwner kAKey1{&fileA, 1, 1};
const LockOwner kB{&fileB, 1, 0};
const LockOwner kAOtherProcess{&fileA, 2, 0};

TEST(ByteRangeLocks, ExclusiveLocksExcludeEveryOverlap) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {100, 10}, true));
    EXPECT_FALSE(locks.Lock(kA, {105, 1}, true)) << "not even the owner may overlap an exclusive lock";
    EXPECT_FALSE(locks.Lock(kB, {109, 5}, false));
    EXPECT_TRUE(locks.Lock(kB, {110, 5}, true)) << "adjacent ranges do not overlap";
    EXPECT_TRUE(locks.Lock(kB, {90, 10}, false));
}

TEST(ByteRangeLocks, SharedLocksOverlapEachOtherButBlockAllWrites) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {0, 100}, false));
    EXPECT_TRUE(locks.Lock(kB, {50, 100}, false));
    EXPECT_FALSE(locks.Lock(kB, {10, 1}, true));
    EXPECT_TRUE(locks.ReadAllowed(kB, {0, 200}));
    EXPECT_FALSE(locks.WriteAllowed(kA, {0, 1})) << "a shared lock denies writes to its own owner";
    EXPECT_TRUE(locks.WriteAllowed(kA, {150, 10}));
}

TEST(ByteRangeLocks, ExclusiveLockAdmitsOnlyItsOwnerAndKey) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {0, 10}, true));
    EXPECT_TRUE(locks.ReadAllowed(kA, {0, 10}));
    EXPECT_TRUE(locks.WriteAllowed(kA, {5, 10}));
    EXPECT_FALSE(locks.ReadAllowed(kB, {9, 1}));
    EXPECT_FALSE(locks.WriteAllowed(kAKey1, {0, 1}));
    EXPECT_FALSE(locks.ReadAllowed(kAOtherProcess, {0, 1}));
    EXPECT_TRUE(locks.ReadAllowed(kB, {10, 100}));
}

TEST(ByteRangeLocks, ZeroLengthNeverConflicts) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {5, 0}, true));
    EXPECT_TRUE(locks.Lock(kB, {0, 10}, true));
    EXPECT_TRUE(locks.WriteAllowed(kA, {5, 0}));
    EXPECT_TRUE(locks.ReadAllowed(kA, {0, 0}));
}

TEST(ByteRangeLocks, WholeFileRangeReachesTheLastByte) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {0, ~0ull}, false));
    EXPECT_FALSE(locks.WriteAllowed(kB, {~0ull - 1, 1}));
    // A range running past 2^64 is taken to end at the last byte.
    ByteRangeLocks other;
    ASSERT_TRUE(other.Lock(kA, {10, ~0ull}, true));
    EXPECT_FALSE(other.ReadAllowed(kB, {~0ull - 1, 1}));
    EXPECT_TRUE(other.ReadAllowed(kB, {0, 10}));
}

TEST(ByteRangeLocks, UnlockMatchesOwnerAndRangeExactly) {
    ByteRangeLocks locks;
    ASSERT_TRUE(locks.Lock(kA, {0, 10}, true));
    ASSERT_TRUE(locks.Lock(kA, {20, 10}, true));
    ASSERT_TRUE(locks.Lock(kAKey1, {40, 10}, true));
    ASSERT_TRUE(locks.Lock(kB, {60, 10}, true));
    EXPECT_FALSE(locks.UnlockSingle(kA, {0, 5}));
    EXPECT_FALSE(locks.UnlockSingle(kB, {0, 10}));
    EXPECT_TRUE(locks.UnlockSingle(kA, {0, 10}));
    EXPECT_EQ(locks.UnlockAllByKey(&fileA, 1, 1), 1u);
    EXPECT_EQ(locks.UnlockAll(&fileA, 1), 1u);
    EXPECT_EQ(locks.Count(), 1u);
    EXPECT_FALSE(locks.ReadAllowed(kA, {60, 1}));
}

}  // namespace
}  // namespace plat::fs
