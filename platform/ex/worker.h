// The system worker threads' queues, for components that queue host work (the
// I/O manager's IoQueueWorkItem). Each queue has its own threads of the System
// process, which run the items in order at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <functional>

namespace plat {

// Runs Routine on a worker thread of the queue. Never fails; the kernel's
// destruction waits for every queued item to finish.
void QueueWorkerRoutine(WORK_QUEUE_TYPE QueueType, std::function<void()> Routine);

// Number of worker threads of each queue.
constexpr ULONG kCriticalWorkerThreads = 5;
constexpr ULONG kDelayedWorkerThreads = 3;
constexpr ULONG kHyperCriticalWorkerThreads = 1;

}  // namespace plat
