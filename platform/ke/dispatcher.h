// The dispatcher: the one lock under which every dispatcher object, every
// wait and every blocking primitive of the kernel (resources, worker queues)
// changes state, and the one place where a host thread blocks.
//
// Lock order: the kernel's registries (threads, processes) before the
// dispatcher lock; nothing else is taken while the dispatcher lock is held,
// except the clock's own small lock.
#pragma once

#include <wdm.h>

#include <mutex>
#include <vector>

#include "ke/thread.h"

namespace plat {

std::mutex& DispatcherLock();
using DispatcherGuard = std::unique_lock<std::mutex>;

// Threads waiting for a condition that is not a dispatcher object (a resource
// becoming free, a queue becoming non-empty). Guarded by the dispatcher lock.
class DispatcherWaitList {
public:
    void Add(ThreadState* Thread);
    void Remove(ThreadState* Thread);
    void WakeAll();
    bool Empty() const { return m_Waiters.empty(); }
    size_t Size() const { return m_Waiters.size(); }

private:
    std::vector<ThreadState*> m_Waiters;
};

// Blocks the calling thread (dispatcher lock held in Guard) until Done()
// holds, the absolute system-time Deadline passes (NULL: no deadline) or the
// kernel powers off. Done is evaluated under the lock after every wake-up. The
// caller registers the thread where a waker finds it (a wait list, wait
// blocks) before calling, and removes it afterwards.
template <typename Predicate>
WaitOutcome BlockCurrentThread(DispatcherGuard& Guard, ThreadState* Thread, const LONGLONG* Deadline,
                               Predicate Done);

// Leaves the calling host thread because the kernel is powering off (or
// ending threads it still finds running at destruction). Releases Guard.
[[noreturn]] void ExitThreadForPowerOff(DispatcherGuard& Guard, ThreadState* Thread);

// Signal state changes of dispatcher objects made by other components (thread
// and process objects), under the dispatcher lock: sets SignalState and
// satisfies the waiters that can now proceed.
void DispatcherSignal(DISPATCHER_HEADER* Header, LONG SignalState);
void DispatcherInitializeHeader(DISPATCHER_HEADER* Header, UCHAR Type, LONG SignalState);

// Power-off: from now on every blocked or blocking thread other than the
// caller leaves its host thread. ThreadsBlocked() counts those still inside a
// blocking call.
void DispatcherBeginPowerOff(ThreadState* Survivor);
void DispatcherEndPowerOff();
bool DispatcherPoweringOff();
size_t DispatcherThreadsBlocked();
// Waits (on the host) until no thread is blocked in the kernel any more.
void DispatcherWaitUntilNoneBlocked();
// Waits (on the host) until the thread is blocked in the kernel, or has ended
// (for tests that must know a thread sits in its wait before they act).
void DispatcherWaitUntilThreadBlocked(ThreadState* Thread);
// A thread ended (dispatcher lock held): wakes the host waiters above.
void DispatcherThreadEndedLocked();

// The clock moved or changed mode: every thread with a deadline re-checks it.
void DispatcherClockChanged();

// Details of BlockCurrentThread.
namespace detail {
void EnterBlocked(ThreadState* Thread);
void LeaveBlocked(ThreadState* Thread);
bool ShouldLeave(ThreadState* Thread);
// Sleeps once: until woken or until the deadline as the clock now sees it.
// Returns false when the deadline has passed.
bool SleepOnce(DispatcherGuard& Guard, ThreadState* Thread, const LONGLONG* Deadline);
}  // namespace detail

template <typename Predicate>
WaitOutcome BlockCurrentThread(DispatcherGuard& Guard, ThreadState* Thread, const LONGLONG* Deadline,
                               Predicate Done) {
    detail::EnterBlocked(Thread);
    WaitOutcome outcome = WaitOutcome::Satisfied;
    while (!Done()) {
        if (detail::ShouldLeave(Thread)) {
            outcome = WaitOutcome::PowerOff;
            break;
        }
        if (!detail::SleepOnce(Guard, Thread, Deadline)) {
            outcome = Done() ? WaitOutcome::Satisfied : WaitOutcome::TimedOut;
            break;
        }
    }
    detail::LeaveBlocked(Thread);
    return outcome;
}

}  // namespace plat
