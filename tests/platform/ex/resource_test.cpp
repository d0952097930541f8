// Executive resources across threads.
#include <atomic>

#include "ke/verifier_hooks.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

class ResourceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ExInitializeResourceLite(&Resource);
    }
    void TearDown() override {
        if (plat::KernelExists()) ExDeleteResourceLite(&Resource);
        KernelTest::TearDown();
    }

    // Runs Attempt on another system thread and returns its result.
    BOOLEAN OnOtherThread(std::function<BOOLEAN()> attempt) {
        std::atomic<BOOLEAN> result{FALSE};
        JoinSystemThread(StartSystemThread([&] {
            result = attempt();
            if (result) ExReleaseResourceLite(&Resource);
        }));
        return result.load();
    }
    BOOLEAN OtherThreadGetsExclusive() {
        return OnOtherThread([this] { return ExAcquireResourceExclusiveLite(&Resource, FALSE); });
    }
    BOOLEAN OtherThreadGetsShared() {
        return OnOtherThread([this] { return ExAcquireResourceSharedLite(&Resource, FALSE); });
    }

    ERESOURCE Resource;
};

TEST_F(ResourceTest, OwnerAcquiresExclusiveRecursivelyAndReleasesEachAcquisition) {
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));  // counts as exclusive recursion
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(3u, ExIsResourceAcquiredSharedLite(&Resource));
    EXPECT_EQ(3u, plat::ResourcesHeldByCurrentThread());
    EXPECT_EQ(1u, plat::CriticalRegionDepthOfCurrentThread());

    ExReleaseResourceLite(&Resource);
    ExReleaseResourceLite(&Resource);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_FALSE(OtherThreadGetsShared());
    ExReleaseResourceLite(&Resource);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(0u, plat::ResourcesHeldByCurrentThread());
    EXPECT_TRUE(OtherThreadGetsExclusive());
    KeLeaveCriticalRegion();
}

TEST_F(ResourceTest, SharedOwnersCoexistAndKeepExclusiveOut) {
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));
    EXPECT_TRUE(OtherThreadGetsShared());
    EXPECT_FALSE(OtherThreadGetsExclusive());
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Resource));
    EXPECT_EQ(1u, ExIsResourceAcquiredSharedLite(&Resource));
    ExReleaseResourceLite(&Resource);
    EXPECT_TRUE(OtherThreadGetsExclusive());
}

TEST_F(ResourceTest, ExclusiveWaiterGetsTheResourceWhenTheOwnerReleasesIt) {
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    std::atomic<bool> acquired{false};
    HANDLE waiter = StartSystemThread([&] {
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
        acquired = true;
        ExReleaseResourceLite(&Resource);
    });
    WaitUntilBlocked(waiter);
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(1u, ExGetExclusiveWaiterCount(&Resource));
    ExReleaseResourceLite(&Resource);
    JoinSystemThread(waiter);
    EXPECT_TRUE(acquired.load());
}

TEST_F(ResourceTest, WaitingWriterHoldsBackNewReadersButNotRecursiveOnes) {
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));
    HANDLE writer = StartSystemThread([&] {
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
        ExReleaseResourceLite(&Resource);
    });
    WaitUntilBlocked(writer);
    EXPECT_FALSE(OtherThreadGetsShared());
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, FALSE));  // already a reader
    ExReleaseResourceLite(&Resource);
    EXPECT_FALSE(ThreadHasEnded(writer));
    ExReleaseResourceLite(&Resource);
    JoinSystemThread(writer);
    EXPECT_TRUE(OtherThreadGetsShared());
}

TEST_F(ResourceTest, ReleaseForThreadReleasesTheOwnersAcquisition) {
    std::atomic<ERESOURCE_THREAD> owner{0};
    JoinSystemThread(StartSystemThread([&] {
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
        owner = ExGetCurrentResourceThread();
    }));
    EXPECT_FALSE(OtherThreadGetsShared());
    ExReleaseResourceForThreadLite(&Resource, owner.load());
    EXPECT_TRUE(OtherThreadGetsExclusive());
    std::vector<std::string> findings = DestroyKernel();
    // The owner ended while holding it: the verifier says so.
    EXPECT_TRUE(HasFinding(findings, "ended holding 1 executive resource")) << JoinFindings(findings);
}

TEST_F(ResourceTest, ReleaseByANonOwnerIsAVerifierFinding) {
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    JoinSystemThread(StartSystemThread([&] { ExReleaseResourceLite(&Resource); }));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource));
    ExReleaseResourceLite(&Resource);
    ExDeleteResourceLite(&Resource);
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "does not own it")) << JoinFindings(findings);
}

TEST_F(ResourceTest, ResourceNeverDeletedIsReported) {
    ERESOURCE forgotten;
    ExInitializeResourceLite(&forgotten);
    ExDeleteResourceLite(&Resource);
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "1 ERESOURCE(s) initialised and never deleted")) << JoinFindings(findings);
}

TEST_F(ResourceTest, StarveExclusiveJoinsReadersDespiteAWaitingWriter) {
    EXPECT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));
    HANDLE writer = StartSystemThread([&] {
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
        ExReleaseResourceLite(&Resource);
    });
    WaitUntilBlocked(writer);
    EXPECT_TRUE(OnOtherThread([this] { return ExAcquireSharedStarveExclusive(&Resource, FALSE); }));
    ExReleaseResourceLite(&Resource);
    JoinSystemThread(writer);
}

class FastMutexTest : public KernelTest {};

TEST_F(FastMutexTest, ExcludesOtherThreadsAndRaisesToApcLevel) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    std::atomic<bool> entered{false};
    HANDLE other = StartSystemThread([&] {
        ExAcquireFastMutex(&mutex);
        entered = true;
        ExReleaseFastMutex(&mutex);
    });
    WaitUntilBlocked(other);
    EXPECT_FALSE(entered.load());
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    JoinSystemThread(other);
    EXPECT_TRUE(entered.load());
}

}  // namespace
}  // namespace quilt_test
