// The kernel clock (see core/kernel.h): system time running with the host's
// steady clock from a start value, moved forward by ClockAdvance, or stopped
// (virtual time) so that it moves only when advanced.
#pragma once

#include <wdm.h>

#include <chrono>

namespace plat {

// Starts the clock of a new kernel.
void ClockStart(LONGLONG StartSystemTime, bool Virtual, LONG TimeZoneBiasMinutes);

// System time at the kernel's creation.
LONGLONG ClockBootTime();
LONG ClockTimeZoneBiasMinutes();

// The host instant at which the clock will read Deadline if nobody advances
// it; time_point::max() under virtual time.
std::chrono::steady_clock::time_point ClockHostInstantOf(LONGLONG Deadline);

// Default start: 2026-01-01 00:00:00 UTC.
constexpr LONGLONG kDefaultStartSystemTime = 134116992000000000LL;

}  // namespace plat
