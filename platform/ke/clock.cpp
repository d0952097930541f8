// The kernel clock and the time routines built on it.
//
// Under real time the clock reads Base + (host steady time - HostBase); an
// advance adds to Base. Under virtual time it reads Frozen, which only an
// advance moves. Every change wakes the threads waiting with a deadline, which
// then re-check it against the new reading.
#include "ke/clock.h"

#include <mutex>

#include "core/kernel.h"
#include "ke/dispatcher.h"

namespace plat {
namespace {

using HostClock = std::chrono::steady_clock;

// Guards the clock's fields; a leaf lock (taken under the dispatcher lock).
struct ClockState {
    std::mutex Lock;
    bool Virtual = false;
    LONGLONG Base = kDefaultStartSystemTime;
    HostClock::time_point HostBase;
    LONGLONG Frozen = kDefaultStartSystemTime;
    LONGLONG BootTime = kDefaultStartSystemTime;
    LONG BiasMinutes = 0;
};

ClockState& Clock() {
    static ClockState* state = new ClockState;  // used by threads until process exit
    return *state;
}

LONGLONG HostTicksSince(HostClock::time_point since) {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now() - since);
    return elapsed.count() / 100;
}

LONGLONG NowLocked(ClockState& c) {
    return c.Virtual ? c.Frozen : c.Base + HostTicksSince(c.HostBase);
}

}  // namespace

void ClockStart(LONGLONG StartSystemTime, bool Virtual, LONG TimeZoneBiasMinutes) {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    LONGLONG start = StartSystemTime != 0 ? StartSystemTime : kDefaultStartSystemTime;
    c.Virtual = Virtual;
    c.Base = start;
    c.HostBase = HostClock::now();
    c.Frozen = start;
    c.BootTime = start;
    c.BiasMinutes = TimeZoneBiasMinutes;
}

LONGLONG ClockBootTime() {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    return c.BootTime;
}

LONG ClockTimeZoneBiasMinutes() {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    return c.BiasMinutes;
}

std::chrono::steady_clock::time_point ClockHostInstantOf(LONGLONG Deadline) {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    if (c.Virtual) return HostClock::time_point::max();
    LONGLONG remaining = Deadline - NowLocked(c);
    if (remaining <= 0) return HostClock::now();
    // Cap far deadlines so that the conversion cannot overflow.
    constexpr LONGLONG kYear = 365LL * 24 * 3600 * 10000000LL;
    if (remaining > kYear) remaining = kYear;
    return HostClock::now() + std::chrono::nanoseconds(remaining * 100);
}

LONGLONG ClockNow() {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    return NowLocked(c);
}

void ClockAdvance(LONGLONG Delta100ns) {
    if (Delta100ns <= 0) return;  // the clock never runs backwards
    {
        ClockState& c = Clock();
        std::lock_guard<std::mutex> guard(c.Lock);
        if (c.Virtual) {
            c.Frozen += Delta100ns;
        } else {
            c.Base += Delta100ns;
        }
    }
    DispatcherClockChanged();
}

void ClockSetVirtual(bool Virtual) {
    {
        ClockState& c = Clock();
        std::lock_guard<std::mutex> guard(c.Lock);
        if (c.Virtual == Virtual) return;
        LONGLONG now = NowLocked(c);
        c.Virtual = Virtual;
        c.Frozen = now;
        c.Base = now;
        c.HostBase = HostClock::now();
    }
    DispatcherClockChanged();
}

bool ClockIsVirtual() {
    ClockState& c = Clock();
    std::lock_guard<std::mutex> guard(c.Lock);
    return c.Virtual;
}

}  // namespace plat

namespace {

// One clock tick, as on a uniprocessor x86: 15.625 ms.
constexpr ULONG kTimeIncrement = 156250;

LONGLONG TimeSinceBoot() {
    return plat::ClockNow() - plat::ClockBootTime();
}

LONGLONG BiasIn100ns() {
    return static_cast<LONGLONG>(plat::ClockTimeZoneBiasMinutes()) * 60 * 10000000LL;
}

}  // namespace

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = plat::ClockNow();
}

extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = TimeSinceBoot() / kTimeIncrement;
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(TimeSinceBoot());
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return kTimeIncrement;
}

extern "C" VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    LocalTime->QuadPart = SystemTime->QuadPart - BiasIn100ns();
}

extern "C" VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
    SystemTime->QuadPart = LocalTime->QuadPart + BiasIn100ns();
}
