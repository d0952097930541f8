// Kernel threads and processes as the kernel components see them.
//
// A thread object (KTHREAD/ETHREAD body) and a process object (KPROCESS/
// EPROCESS body) start with a DISPATCHER_HEADER, so that they can be waited
// on; each points at host-side state. Every host thread that calls into the
// kernel has a ThreadState: threads made by PsCreateSystemThread get theirs at
// creation; any other host thread is adopted as a thread of the System process
// on its first call (the one that creates the kernel is adopted at creation).
//
// Locking: the fields marked "dispatcher" are guarded by the dispatcher lock
// (ke/dispatcher.h). The fields marked "own" are touched only by the thread
// itself. The rest are fixed once the thread runs.
#pragma once

#include <wdm.h>

#include <pthread.h>

#include <condition_variable>
#include <string>

namespace plat {

struct ThreadState;
struct ProcessState;

}  // namespace plat

struct _KTHREAD {
    DISPATCHER_HEADER Header;        // signalled when the thread has ended
    plat::ThreadState* State;
};

struct _ETHREAD {
    KTHREAD Tcb;
};

struct _KPROCESS {
    DISPATCHER_HEADER Header;        // signalled when the process has ended
    plat::ProcessState* State;
};

// The image name lies at a fixed offset, as in the process objects of the
// Windows versions the driver targets; the body is large enough for a scan of
// every offset below 0x3000.
constexpr ULONG kProcessImageNameOffset = 0x174;
constexpr ULONG kProcessImageNameLength = 16;
constexpr ULONG kProcessBodySize = 0x3000 + 0x10;

struct _EPROCESS {
    KPROCESS Pcb;
    UCHAR Reserved[kProcessImageNameOffset - sizeof(KPROCESS)];
    CHAR ImageFileName[kProcessImageNameLength];
    UCHAR Tail[kProcessBodySize - kProcessImageNameOffset - kProcessImageNameLength];
};

static_assert(offsetof(EPROCESS, ImageFileName) == kProcessImageNameOffset, "image name offset");
static_assert(sizeof(EPROCESS) == kProcessBodySize, "process body size");

namespace plat {

enum class ThreadKind {
    Adopted,       // a host thread that entered the kernel on its own
    System,        // made by PsCreateSystemThread
    Worker,        // a system worker thread of the executive's queues
};

enum class WaitOutcome {
    Satisfied,
    TimedOut,
    PowerOff,      // the kernel is going away: the thread must leave
};

struct ThreadState {
    PETHREAD Object = nullptr;
    HANDLE Id = nullptr;
    ThreadKind Kind = ThreadKind::Adopted;
    PEPROCESS OwnerProcess = nullptr;      // referenced while the state exists
    PKSTART_ROUTINE StartRoutine = nullptr;
    PVOID StartContext = nullptr;

    // own
    PEPROCESS ApparentProcess = nullptr;   // UserModeScope's process, or NULL
    PEPROCESS AttachedProcess = nullptr;   // KeStackAttachProcess, or NULL
    KPROCESSOR_MODE PreviousMode = KernelMode;
    KIRQL Irql = PASSIVE_LEVEL;
    ULONG CriticalRegionDepth = 0;
    ULONG ResourcesHeld = 0;
    ULONG SpinLocksHeld = 0;

    // dispatcher
    KPRIORITY Priority = 8;
    bool Terminated = false;
    NTSTATUS ExitStatus = STATUS_SUCCESS;
    bool Blocked = false;                  // inside BlockCurrentThread
    bool WaitSatisfied = false;
    NTSTATUS WaitStatus = STATUS_SUCCESS;
    PKWAIT_BLOCK WaitBlocks = nullptr;
    ULONG WaitCount = 0;
    WAIT_TYPE WaitType = WaitAny;
    KWAIT_BLOCK OwnWaitBlocks[THREAD_WAIT_OBJECTS];
    std::condition_variable Wake;

    struct HostThread* Host = nullptr;     // system and worker threads: the pthread
};

struct ProcessState {
    PEPROCESS Object = nullptr;
    HANDLE Id = nullptr;
    std::string ImageName;
    struct Token* Token = nullptr;
    class HandleTable* Handles = nullptr;
    bool Terminated = false;               // dispatcher
};

// The calling host thread's state, adopting the thread when it has none in
// the current kernel. Aborts with a message when no kernel exists.
ThreadState* CurrentThread();
// The same without adopting: NULL for a thread that never entered the kernel.
ThreadState* CurrentThreadIfKnown();

// The process whose address space and handle table the thread uses now.
PEPROCESS CurrentProcessOf(ThreadState* Thread);

// Leaves the calling host thread at power-off (from inside a blocking call):
// the thread's host bookkeeping is closed and the host thread exits.
[[noreturn]] void ThreadLeaveHostForPowerOff(ThreadState* Thread);

inline ThreadState* ThreadStateOf(PKTHREAD Thread) { return Thread->State; }
inline ProcessState* ProcessStateOf(PEPROCESS Process) { return Process->Pcb.State; }

}  // namespace plat
