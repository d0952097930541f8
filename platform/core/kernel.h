// Kernel instances: the host-side lifecycle of the stand-in.
//
// One kernel exists at a time in a process. A test (or the simulated machine)
// creates it, uses it and destroys it; several kernels may follow one another
// in one process with no state leaking from one to the next. Destroying a
// kernel runs the verifier's end-of-life checks (see Verifier below).
//
// Threads: every host thread that enters the kernel is a kernel thread of some
// process. The thread that creates the kernel becomes a thread of the System
// process; threads created with PsCreateSystemThread belong to System;
// a UserModeScope (platform/ps/process.h) makes the calling host thread act as a
// thread of an emulated user process with previous mode UserMode.
//
// The clock: the kernel's system time runs with real time from a configurable
// start (default 2026-01-01 00:00:00 UTC), and can be moved forward at any
// moment (every wait whose deadline has passed then wakes). A test can stop it
// (virtual time): it then moves only when told, and a thread that waits with
// a time-out sleeps until the clock is advanced past its deadline.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace plat {

struct KernelOptions {
    bool VirtualTime = false;            // start with the clock stopped
    LONGLONG StartSystemTime = 0;        // 100-ns units since 1601; 0 = default
    LONG TimeZoneBiasMinutes = 0;        // local time = UTC - bias
    ULONG MajorVersion = 5;              // operating-system version
    ULONG MinorVersion = 1;
    const WCHAR* SystemRoot = L"C:\\WINDOWS";
    bool EchoDebugOutput = false;        // also write DbgPrint lines to stderr
};

// Creates the kernel: executive, object namespace (\, \Device, \??, \DosDevices,
// \REGISTRY), the System process, worker threads, the clock.
void KernelCreate(const KernelOptions& options = KernelOptions());

// Stops the worker threads, runs the verifier's checks and releases everything.
// Returns the verifier's findings (empty when clean).
std::vector<std::string> KernelDestroy();

bool KernelExists();

// Clock control.
LONGLONG ClockNow();                     // system time, 100-ns units since 1601
void ClockAdvance(LONGLONG Delta100ns);  // wakes every wait whose deadline passed
void ClockSetVirtual(bool Virtual);      // stop (true) or resume (false) real time
bool ClockIsVirtual();

// Debugger output of this kernel, one entry per DbgPrint call, in order.
std::vector<std::string> DebugOutput();
void DebugOutputClear();

// Power is lost: every system thread ends without running more driver code
// (threads blocked in a kernel wait, resource acquisition or delay leave their
// host thread from inside the wait; threads running elsewhere leave at their
// next wait), then every object and all pool of the kernel are released
// wholesale, without type procedures or leak reports. Returns nothing to
// report today (empty); kept as a list for diagnostics.
std::vector<std::string> KernelPowerOff();

// The options the current kernel was created with.
const KernelOptions& KernelCurrentOptions();

// Serial number of the current kernel (1 for the first in the process, then 2,
// ...; 0 while none exists). Host state cached per kernel compares it.
ULONG KernelSerial();

// Components that keep per-kernel host state register once per process (from a
// static initializer, for example). At KernelCreate, Create hooks run in
// ascending Order after the object namespace, the System process and the worker
// threads exist. At KernelDestroy, Destroy hooks run in descending Order after
// the worker threads have stopped and before the verifier's leak checks. At
// KernelPowerOff, PowerOff hooks run in descending Order after every system
// thread has ended: they must release host state without calling driver code.
// Registering again under the same name replaces the hooks.
struct KernelComponent {
    const char* Name = nullptr;
    int Order = 0;
    std::function<void()> Create;
    std::function<void()> Destroy;
    std::function<void()> PowerOff;
};
void KernelRegisterComponent(KernelComponent Component);

}  // namespace plat
