// Work items on the system worker threads, and interlocked lists.
#include <atomic>

#include "ex/worker.h"
#include "ps/process.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

class WorkItemTest : public KernelTest {};

struct ItemContext {
    WORK_QUEUE_ITEM Item;
    KEVENT Done;
    PEPROCESS Process = nullptr;
    PETHREAD Thread = nullptr;
    KIRQL Irql = HIGH_LEVEL;
};

VOID NTAPI RecordWhereItRuns(PVOID Parameter) {
    auto* context = static_cast<ItemContext*>(Parameter);
    context->Process = PsGetCurrentProcess();
    context->Thread = PsGetCurrentThread();
    context->Irql = KeGetCurrentIrql();
    KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, ItemRunsOnAWorkerThreadOfTheSystemProcessAtPassiveLevel) {
    for (WORK_QUEUE_TYPE queue : {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue}) {
        ItemContext context;
        KeInitializeEvent(&context.Done, NotificationEvent, FALSE);
        ExInitializeWorkItem(&context.Item, RecordWhereItRuns, &context);
        ExQueueWorkItem(&context.Item, queue);
        KeWaitForSingleObject(&context.Done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(plat::SystemProcess(), context.Process);
        EXPECT_NE(PsGetCurrentThread(), context.Thread);
        EXPECT_TRUE(PsIsSystemThread(context.Thread));
        EXPECT_EQ(PASSIVE_LEVEL, context.Irql);
    }
}

TEST_F(WorkItemTest, DelayedQueueRunsItemsConcurrentlyUpToItsWorkerCount) {
    // Every worker of the queue blocks until all of them have started: this
    // completes only if the queue really has that many threads.
    KSEMAPHORE started;
    KEVENT release;
    KeInitializeSemaphore(&started, 0, MAXLONG);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<int> finished{0};
    for (ULONG i = 0; i < plat::kDelayedWorkerThreads; ++i) {
        plat::QueueWorkerRoutine(DelayedWorkQueue, [&] {
            KeReleaseSemaphore(&started, SEMAPHORE_INCREMENT, 1, FALSE);
            KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            finished++;
        });
    }
    for (ULONG i = 0; i < plat::kDelayedWorkerThreads; ++i) {
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(0, finished.load());
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    std::vector<std::string> findings = DestroyKernel();  // waits for the queued items
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
    EXPECT_EQ(static_cast<int>(plat::kDelayedWorkerThreads), finished.load());
}

TEST_F(WorkItemTest, ItemLeftHoldingAResourceIsReported) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    plat::QueueWorkerRoutine(CriticalWorkQueue, [&] {
        ExAcquireResourceSharedLite(&resource, TRUE);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "work item returned holding 1")) << JoinFindings(findings);
}

class InterlockedListTest : public KernelTest {};

TEST_F(InterlockedListTest, InsertionsReturnThePreviousEndAndRemovalEmptiesTheList) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    LIST_ENTRY a, b, c;
    EXPECT_EQ(nullptr, ExInterlockedInsertTailList(&head, &a, &lock));
    EXPECT_EQ(&a, ExInterlockedInsertTailList(&head, &b, &lock));
    EXPECT_EQ(&a, ExInterlockedInsertHeadList(&head, &c, &lock));
    EXPECT_EQ(&c, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(&a, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(&b, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(nullptr, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(0u, lock);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(InterlockedListTest, ConcurrentProducersLoseNoEntry) {
    constexpr int kPerThread = 2000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    std::vector<LIST_ENTRY> entries(2 * kPerThread);
    HANDLE producers[2];
    for (int t = 0; t < 2; ++t) {
        producers[t] = StartSystemThread([&, t] {
            for (int i = 0; i < kPerThread; ++i) ExInterlockedInsertTailList(&head, &entries[t * kPerThread + i], &lock);
        });
    }
    for (HANDLE producer : producers) JoinSystemThread(producer);
    int count = 0;
    while (ExInterlockedRemoveHeadList(&head, &lock) != nullptr) ++count;
    EXPECT_EQ(2 * kPerThread, count);
}

TEST_F(InterlockedListTest, SpinLockHolderRunsAtDispatchLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    // A blocking wait above APC_LEVEL is a fault the verifier reports.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeAcquireSpinLock(&lock, &old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KeReleaseSpinLock(&lock, old);
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "blocking wait at IRQL 2")) << JoinFindings(findings);
}

}  // namespace
}  // namespace quilt_test
