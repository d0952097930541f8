// The dispatcher lock, the blocking primitive, and the power-off switch.
//
// A blocked thread sleeps on its own condition variable. Wakers (a signalled
// object, a released resource, a queued work item, a clock change, power-off)
// notify exactly the threads concerned; the thread then re-evaluates its
// condition under the dispatcher lock. Nothing polls.
#include "ke/dispatcher.h"

#include <algorithm>
#include <condition_variable>
#include <unordered_set>

#include "core/kernel.h"
#include "ke/clock.h"

namespace plat {
namespace {

struct DispatcherState {
    std::mutex Lock;
    std::unordered_set<ThreadState*> Blocked;
    bool PoweringOff = false;
    ThreadState* Survivor = nullptr;
    std::condition_variable BlockedChanged;  // host waiters of the two calls below
};

DispatcherState& State() {
    static DispatcherState* state = new DispatcherState;  // outlives every host thread
    return *state;
}

}  // namespace

std::mutex& DispatcherLock() {
    return State().Lock;
}

void DispatcherWaitList::Add(ThreadState* Thread) {
    m_Waiters.push_back(Thread);
}

void DispatcherWaitList::Remove(ThreadState* Thread) {
    auto it = std::find(m_Waiters.begin(), m_Waiters.end(), Thread);
    if (it != m_Waiters.end()) m_Waiters.erase(it);
}

void DispatcherWaitList::WakeAll() {
    for (ThreadState* thread : m_Waiters) thread->Wake.notify_one();
}

namespace detail {

void EnterBlocked(ThreadState* Thread) {
    DispatcherState& s = State();
    Thread->Blocked = true;
    s.Blocked.insert(Thread);
    s.BlockedChanged.notify_all();
}

void LeaveBlocked(ThreadState* Thread) {
    DispatcherState& s = State();
    Thread->Blocked = false;
    s.Blocked.erase(Thread);
    s.BlockedChanged.notify_all();
}

bool ShouldLeave(ThreadState* Thread) {
    DispatcherState& s = State();
    return s.PoweringOff && Thread != s.Survivor;
}

bool SleepOnce(DispatcherGuard& Guard, ThreadState* Thread, const LONGLONG* Deadline) {
    if (Deadline == nullptr) {
        Thread->Wake.wait(Guard);
        return true;
    }
    if (ClockNow() >= *Deadline) return false;
    auto instant = ClockHostInstantOf(*Deadline);
    if (instant == std::chrono::steady_clock::time_point::max()) {
        Thread->Wake.wait(Guard);
    } else {
        Thread->Wake.wait_until(Guard, instant);
    }
    return ClockNow() < *Deadline;
}

}  // namespace detail

void ExitThreadForPowerOff(DispatcherGuard& Guard, ThreadState* Thread) {
    Guard.unlock();
    ThreadLeaveHostForPowerOff(Thread);
}

void DispatcherBeginPowerOff(ThreadState* Survivor) {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    s.PoweringOff = true;
    s.Survivor = Survivor;
    for (ThreadState* thread : s.Blocked) thread->Wake.notify_one();
}

void DispatcherEndPowerOff() {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    s.PoweringOff = false;
    s.Survivor = nullptr;
}

bool DispatcherPoweringOff() {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    return s.PoweringOff;
}

size_t DispatcherThreadsBlocked() {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    return s.Blocked.size();
}

void DispatcherWaitUntilNoneBlocked() {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    s.BlockedChanged.wait(guard, [&s] { return s.Blocked.empty(); });
}

void DispatcherWaitUntilThreadBlocked(ThreadState* Thread) {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    s.BlockedChanged.wait(guard, [Thread] { return Thread->Blocked || Thread->Terminated; });
}

void DispatcherThreadEndedLocked() {
    State().BlockedChanged.notify_all();
}

void DispatcherClockChanged() {
    DispatcherState& s = State();
    DispatcherGuard guard(s.Lock);
    for (ThreadState* thread : s.Blocked) thread->Wake.notify_one();
}

}  // namespace plat
