// The store lock: unlock scopes release every level and restore them, the
// conditional acquisition of the path walks, and walks from several threads.
#include <atomic>
#include <random>
#include <string>

#include "frame/driver_globals.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"
#include "store/store_lock.h"
#include "store_fixture.h"

namespace store_test {
namespace {

struct Attempt {
    std::atomic<bool> Acquired{false};
};

VOID NTAPI TakeStoreLock(PVOID Context) {
    AcquireExclusive(&g_Quilt.StoreLock);
    static_cast<Attempt*>(Context)->Acquired = true;
    ReleaseExclusive(&g_Quilt.StoreLock);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Runs Routine on a system thread and waits until it has ended.
void RunOnSystemThread(PKSTART_ROUTINE Routine, PVOID Context) {
    HANDLE thread = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                                   Routine, Context));
    EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(thread, FALSE, nullptr));
    ZwClose(thread);
}

using StoreLockTest = StoreTest;

TEST_F(StoreLockTest, UnlockScopeReleasesEveryLevelAndRestoresThem) {
    StoreLockScope outer;
    StoreLockScope middle;
    StoreLockScope inner;
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&g_Quilt.StoreLock), 3u);
    Attempt attempt;
    {
        StoreUnlockScope unlock;
        EXPECT_FALSE(StoreLockOwned());
        // Another thread gets the store while this one calls down.
        RunOnSystemThread(TakeStoreLock, &attempt);
    }
    EXPECT_TRUE(attempt.Acquired);
    EXPECT_TRUE(StoreLockOwned());
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&g_Quilt.StoreLock), 3u);
}

TEST_F(StoreLockTest, UnlockScopeWithoutTheLockChangesNothing) {
    {
        StoreUnlockScope unlock;
        EXPECT_FALSE(StoreLockOwned());
    }
    EXPECT_FALSE(StoreLockOwned());
}

TEST_F(StoreLockTest, ConditionalLockTakesTheLockOnlyWhenNotOwned) {
    {
        StoreConditionalLock first;
        EXPECT_TRUE(StoreLockOwned());
        EXPECT_EQ(ExIsResourceAcquiredSharedLite(&g_Quilt.StoreLock), 1u);
        StoreConditionalLock second;
        EXPECT_EQ(ExIsResourceAcquiredSharedLite(&g_Quilt.StoreLock), 1u);
    }
    EXPECT_FALSE(StoreLockOwned());
}

TEST_F(StoreLockTest, TableLocksFollowTheBlockIndex) {
    EXPECT_EQ(TableLockScope::TableLockOf(MakeBlockAddress(0, 0x800)), &g_Quilt.TableLocks[0]);
    EXPECT_EQ(TableLockScope::TableLockOf(MakeBlockAddress(17, 0x800)), &g_Quilt.TableLocks[1]);
    EXPECT_EQ(TableLockScope::TableLockOf(MakeBlockAddress(0x7FFF, 0x1F000)), &g_Quilt.TableLocks[15]);
}

// Several threads add, look up and remove names in their own subtree and in
// one they share; in the end every name is removed and the store is as empty
// as it began.
struct Walker {
    VolumeContext* Volume;
    int Id;
    std::atomic<int> Unexpected{0};
};

std::u16string Digits(unsigned Value) { return std::u16string(1, u'0' + Value % 10); }

VOID NTAPI Walk(PVOID Context) {
    Walker* walker = static_cast<Walker*>(Context);
    std::mt19937 random(walker->Id + 1);
    for (int step = 0; step < 3000; step++) {
        bool shared = random() % 2 == 0;
        std::u16string path = shared ? u"\\SHARED" : u"\\T" + Digits(walker->Id);
        path += u"\\D" + Digits(random()) + u"\\F" + Digits(random()) + Digits(random()) + u".TXT";
        PCWSTR text = reinterpret_cast<PCWSTR>(path.c_str());
        switch (random() % 3) {
        case 0:
            if (FileStatePathAdd(walker->Volume, text, STORE_TABLE_VOLUME_PATHS) == 0) walker->Unexpected++;
            break;
        case 1:
            FileStateRemovePath(walker->Volume, text, STORE_TABLE_VOLUME_PATHS);
            break;
        default: {
            UCHAR status = 0;
            BLOCK_ADDRESS record =
                FileStatePathLookup(walker->Volume, text, nullptr, &status, STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
            // A name of its own subtree is only changed by this thread.
            if (!shared && record != 0 && status != PATH_WALK_UNTRACKED) walker->Unexpected++;
            break;
        }
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(StoreLockTest, WalksFromSeveralThreadsLeaveAConsistentStore) {
    ULONG baseline = TotalFreeUnits();
    Walker walkers[4] = {{Volume(), 0}, {Volume(), 1}, {Volume(), 2}, {Volume(), 3}};
    HANDLE threads[4];
    for (int i = 0; i < 4; i++) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&threads[i], THREAD_ALL_ACCESS, &attributes, nullptr,
                                                       nullptr, Walk, &walkers[i]));
    }
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(threads[i], FALSE, nullptr));
        ZwClose(threads[i]);
        EXPECT_EQ(walkers[i].Unexpected.load(), 0) << "thread " << i;
    }
    EXPECT_FALSE(StoreLockOwned());
    // Remove whatever is left; pruning must take every directory with it.
    for (const char16_t* top : {u"\\SHARED", u"\\T0", u"\\T1", u"\\T2", u"\\T3"}) {
        for (unsigned d = 0; d < 10; d++) {
            for (unsigned f = 0; f < 100; f++) {
                std::u16string path = std::u16string(top) + u"\\D" + Digits(d) + u"\\F" + Digits(f / 10) +
                                      Digits(f) + u".TXT";
                FileStateRemovePath(Volume(), W(path), STORE_TABLE_VOLUME_PATHS);
            }
        }
    }
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Header()->NameTable1, STORE_MAGIC_HASH)));
    // Blocks added meanwhile stay, empty.
    EXPECT_EQ(TotalFreeUnits(), baseline + Header()->LastBlockIndex * STORE_FREE_UNITS_NEW);
}

}  // namespace
}  // namespace store_test
