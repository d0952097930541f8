// System worker threads: a few threads of the System process per queue, each
// taking items in order and running them at PASSIVE_LEVEL.
//
// Queues, counts and the stop flag are guarded by the dispatcher lock; idle
// workers and threads draining the queues block on it like any kernel wait.
#include <deque>
#include <functional>
#include <string>

#include "core/verifier.h"
#include "ex/ex_internal.h"
#include "ex/worker.h"
#include "ke/dispatcher.h"
#include "ps/process.h"
#include "ps/ps_internal.h"

namespace plat {
namespace {

struct WorkQueue {
    std::deque<std::function<void()>> Items;
    DispatcherWaitList Idle;
};

struct WorkerState {
    WorkQueue Queues[MaximumWorkQueue];
    ULONG Outstanding = 0;            // queued or running
    bool Stopping = false;
    DispatcherWaitList Drainers;
    std::vector<HANDLE> Threads;      // kernel handles of the workers
};

WorkerState& Workers() {
    static WorkerState* state = new WorkerState;  // reset per kernel
    return *state;
}

void CheckAfterItem(ThreadState* thread, ULONG resourcesBefore) {
    if (thread->Irql != PASSIVE_LEVEL) {
        VerifierReport("work item returned at IRQL " + std::to_string(thread->Irql));
        thread->Irql = PASSIVE_LEVEL;
    }
    if (thread->ResourcesHeld != resourcesBefore) {
        VerifierReport("work item returned holding " + std::to_string(thread->ResourcesHeld - resourcesBefore) +
                       " executive resource acquisition(s)");
    }
    if (thread->CriticalRegionDepth != 0) {
        VerifierReport("work item returned inside a critical region");
        thread->CriticalRegionDepth = 0;
    }
}

// Takes the next item; false when the queue is empty and the workers stop.
bool NextItem(WorkQueue* queue, ThreadState* thread, std::function<void()>* item) {
    WorkerState& s = Workers();
    DispatcherGuard guard(DispatcherLock());
    queue->Idle.Add(thread);
    WaitOutcome outcome =
        BlockCurrentThread(guard, thread, nullptr, [queue, &s] { return !queue->Items.empty() || s.Stopping; });
    queue->Idle.Remove(thread);
    if (outcome == WaitOutcome::PowerOff) ExitThreadForPowerOff(guard, thread);
    if (queue->Items.empty()) return false;
    *item = std::move(queue->Items.front());
    queue->Items.pop_front();
    return true;
}

void ItemDone() {
    WorkerState& s = Workers();
    DispatcherGuard guard(DispatcherLock());
    s.Outstanding -= 1;
    if (s.Outstanding == 0) s.Drainers.WakeAll();
}

VOID NTAPI WorkerMain(PVOID Context) {
    auto* queue = static_cast<WorkQueue*>(Context);
    ThreadState* thread = CurrentThread();
    std::function<void()> item;
    while (NextItem(queue, thread, &item)) {
        ULONG resourcesBefore = thread->ResourcesHeld;
        item();
        item = nullptr;
        CheckAfterItem(thread, resourcesBefore);
        ItemDone();
    }
}

ULONG WorkerCount(int queue) {
    switch (queue) {
    case CriticalWorkQueue:
        return kCriticalWorkerThreads;
    case DelayedWorkQueue:
        return kDelayedWorkerThreads;
    default:
        return kHyperCriticalWorkerThreads;
    }
}

}  // namespace

void QueueWorkerRoutine(WORK_QUEUE_TYPE QueueType, std::function<void()> Routine) {
    WorkerState& s = Workers();
    int index = (QueueType >= CriticalWorkQueue && QueueType < MaximumWorkQueue) ? QueueType : DelayedWorkQueue;
    DispatcherGuard guard(DispatcherLock());
    if (s.Stopping) {
        guard.unlock();
        VerifierReport("work item queued after the worker threads stopped; it does not run");
        return;
    }
    WorkQueue& queue = s.Queues[index];
    queue.Items.push_back(std::move(Routine));
    s.Outstanding += 1;
    queue.Idle.WakeAll();
}

void ExStartWorkers() {
    WorkerState& s = Workers();
    s.Stopping = false;
    for (int queue = 0; queue < MaximumWorkQueue; ++queue) {
        for (ULONG i = 0; i < WorkerCount(queue); ++i) {
            HANDLE handle = nullptr;
            NTSTATUS status = PsCreateThread(SystemProcess(), ThreadKind::Worker, WorkerMain, &s.Queues[queue],
                                             THREAD_ALL_ACCESS, OBJ_KERNEL_HANDLE, &handle, nullptr);
            if (!NT_SUCCESS(status)) KeBugCheckEx(0x7E, status, 1, 0, 0);
            s.Threads.push_back(handle);
        }
    }
}

void ExDrainWorkers() {
    WorkerState& s = Workers();
    ThreadState* thread = CurrentThread();
    DispatcherGuard guard(DispatcherLock());
    s.Drainers.Add(thread);
    BlockCurrentThread(guard, thread, nullptr, [&s] { return s.Outstanding == 0; });
    s.Drainers.Remove(thread);
}

void ExStopWorkers() {
    WorkerState& s = Workers();
    {
        DispatcherGuard guard(DispatcherLock());
        s.Stopping = true;
        for (WorkQueue& queue : s.Queues) queue.Idle.WakeAll();
    }
    for (HANDLE handle : s.Threads) {
        ZwWaitForSingleObject(handle, FALSE, nullptr);
        ZwClose(handle);
    }
    s.Threads.clear();
    PsReapFinishedThreads();
}

void ExForgetEverything() {
    WorkerState& s = Workers();
    {
        DispatcherGuard guard(DispatcherLock());
        for (WorkQueue& queue : s.Queues) queue.Items.clear();
        s.Outstanding = 0;
        s.Stopping = false;
    }
    s.Threads.clear();
    ExForgetResources();
}

}  // namespace plat

extern "C" VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    if (QueueType < CriticalWorkQueue || QueueType >= MaximumWorkQueue) {
        plat::VerifierReport("ExQueueWorkItem: queue type " + std::to_string(QueueType));
    }
    PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
    PVOID parameter = WorkItem->Parameter;
    plat::QueueWorkerRoutine(QueueType, [routine, parameter] { routine(parameter); });
}
