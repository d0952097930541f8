// Threads: system threads on host pthreads, adopted host threads, thread
// objects, and the end of threads at exit, destruction and power-off.
//
// A running thread holds one reference on its own thread object, dropped when
// it ends; the object is signalled then. A system thread's pthread is joined
// by the kernel (reaped at the next thread creation, or at the kernel's end),
// so that no host thread outlives the kernel that made it.
//
// Locking: the thread registry's lock guards the lists below; it is taken
// before the dispatcher lock, never inside it.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/kernel.h"
#include "core/verifier.h"
#include "ke/dispatcher.h"
#include "ob/object_internal.h"
#include "ps/process.h"
#include "ps/ps_internal.h"

namespace plat {

struct HostThread {
    pthread_t Handle;
    bool Finished = false;
};

namespace {

VOID DeleteThread(PVOID Body);

struct ThreadRegistry {
    std::mutex Lock;
    std::vector<ThreadState*> All;
    std::vector<HostThread*> Hosts;
};

ThreadRegistry& Threads() {
    static ThreadRegistry* registry = new ThreadRegistry;  // reset per kernel
    return *registry;
}

std::atomic<ULONG_PTR> g_NextClientId{4};

// The calling host thread's kernel thread, valid for the kernel whose serial
// it records. An adopted thread that leaves its host thread ends here.
struct CurrentRecord {
    ThreadState* State = nullptr;
    ULONG Serial = 0;
    ~CurrentRecord();
};

thread_local CurrentRecord t_Current;

void Register(ThreadState* state) {
    ThreadRegistry& registry = Threads();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.All.push_back(state);
}

void Unregister(ThreadState* state) {
    ThreadRegistry& registry = Threads();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.All.erase(std::remove(registry.All.begin(), registry.All.end(), state), registry.All.end());
}

VOID InitializeThreadBody(PVOID Body, PVOID Context) {
    auto* thread = static_cast<PETHREAD>(Body);
    DispatcherInitializeHeader(&thread->Tcb.Header, ThreadObject, 0);
    thread->Tcb.State = static_cast<ThreadState*>(Context);
}

VOID DeleteThread(PVOID Body) {
    ThreadState* state = ThreadStateOf(&static_cast<PETHREAD>(Body)->Tcb);
    Unregister(state);
    ObDereferenceBody(state->OwnerProcess);
    delete state;
}

// A thread object with its creation reference and the running thread's own.
NTSTATUS CreateThreadObject(PEPROCESS process, ThreadKind kind, ThreadState** result) {
    auto* state = new ThreadState;
    state->Kind = kind;
    state->Id = PsAllocateClientId();
    state->OwnerProcess = process;
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObjectEx(&PsThreadObjectType, sizeof(ETHREAD), nullptr, nullptr, 0, nullptr, &body,
                                       InitializeThreadBody, state);
    if (!NT_SUCCESS(status)) {
        delete state;
        return status;
    }
    ObReferenceBody(process);
    state->Object = static_cast<PETHREAD>(body);
    ObReferenceBody(body);
    Register(state);
    *result = state;
    return STATUS_SUCCESS;
}

void ReportHeldState(ThreadState* state) {
    if (state->ResourcesHeld != 0) {
        VerifierReport("thread " + std::to_string(reinterpret_cast<ULONG_PTR>(state->Id)) + " ended holding " +
                       std::to_string(state->ResourcesHeld) + " executive resource acquisition(s)");
    }
    if (state->CriticalRegionDepth != 0) {
        VerifierReport("thread " + std::to_string(reinterpret_cast<ULONG_PTR>(state->Id)) +
                       " ended inside a critical region");
    }
    if (state->AttachedProcess != nullptr) {
        VerifierReport("thread " + std::to_string(reinterpret_cast<ULONG_PTR>(state->Id)) +
                       " ended attached to another process");
    }
}

// Marks the thread ended, signals its object and drops its own reference.
// Does nothing for a thread that has already ended.
void FinishThread(ThreadState* state, NTSTATUS exitStatus) {
    PETHREAD object = state->Object;
    {
        DispatcherGuard guard(DispatcherLock());
        if (state->Terminated) return;
        state->Terminated = true;
        state->ExitStatus = exitStatus;
        DispatcherThreadEndedLocked();
    }
    DispatcherSignal(&object->Tcb.Header, 1);
    ObDereferenceBody(object);
}

void MarkHostFinished(HostThread* host) {
    ThreadRegistry& registry = Threads();
    std::lock_guard<std::mutex> guard(registry.Lock);
    host->Finished = true;
}

[[noreturn]] void EndCurrentSystemThread(NTSTATUS exitStatus) {
    ThreadState* state = t_Current.State;
    HostThread* host = state->Host;
    ReportHeldState(state);
    t_Current.State = nullptr;
    FinishThread(state, exitStatus);  // may free the state
    MarkHostFinished(host);
    pthread_exit(nullptr);
}

extern "C" void* SystemThreadMain(void* argument) {
    auto* state = static_cast<ThreadState*>(argument);
    t_Current.State = state;
    t_Current.Serial = KernelSerial();
    state->StartRoutine(state->StartContext);
    EndCurrentSystemThread(STATUS_SUCCESS);
}

ThreadState* AdoptCurrentHostThread() {
    ULONG serial = KernelSerial();
    if (serial == 0) {
        fprintf(stderr, "kernel routine called while no kernel exists\n");
        abort();
    }
    ThreadState* state = nullptr;
    NTSTATUS status = CreateThreadObject(SystemProcess(), ThreadKind::Adopted, &state);
    if (!NT_SUCCESS(status)) KeBugCheckEx(0x7E /* cannot create a thread */, status, 0, 0, 0);
    ObDereferenceBody(state->Object);  // the running thread's reference remains
    t_Current.State = state;
    t_Current.Serial = serial;
    return state;
}

CurrentRecord::~CurrentRecord() {
    if (State == nullptr || Serial != KernelSerial() || DispatcherPoweringOff()) return;
    if (State->Kind == ThreadKind::Adopted) FinishThread(State, STATUS_SUCCESS);
    State = nullptr;
}

std::vector<HostThread*> TakeHosts(bool finishedOnly) {
    ThreadRegistry& registry = Threads();
    std::lock_guard<std::mutex> guard(registry.Lock);
    std::vector<HostThread*> taken;
    auto keep = std::stable_partition(registry.Hosts.begin(), registry.Hosts.end(),
                                      [finishedOnly](HostThread* host) { return finishedOnly && !host->Finished; });
    taken.assign(keep, registry.Hosts.end());
    registry.Hosts.erase(keep, registry.Hosts.end());
    return taken;
}

void JoinHosts(const std::vector<HostThread*>& hosts) {
    for (HostThread* host : hosts) {
        pthread_join(host->Handle, nullptr);
        delete host;
    }
}

std::vector<ThreadState*> ThreadsOfKind(bool (*wanted)(const ThreadState*)) {
    ThreadRegistry& registry = Threads();
    std::lock_guard<std::mutex> guard(registry.Lock);
    std::vector<ThreadState*> result;
    for (ThreadState* state : registry.All) {
        if (wanted(state)) result.push_back(state);
    }
    return result;
}

bool IsRunningSystemThread(const ThreadState* state) {
    return state->Kind == ThreadKind::System && !state->Terminated;
}

bool IsRunningKernelThread(const ThreadState* state) {
    return state->Kind != ThreadKind::Adopted && !state->Terminated;
}

bool IsRunningAdoptedThread(const ThreadState* state) {
    return state->Kind == ThreadKind::Adopted && !state->Terminated;
}

std::string Hex(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

}  // namespace

ObjectType PsThreadObjectType = {
    L"Thread", nullptr, nullptr, DeleteThread,
    {STANDARD_RIGHTS_READ | THREAD_QUERY_INFORMATION, STANDARD_RIGHTS_WRITE | THREAD_SET_INFORMATION,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, THREAD_ALL_ACCESS},
    TRUE};

HANDLE PsAllocateClientId() {
    return reinterpret_cast<HANDLE>(g_NextClientId.fetch_add(4));
}

ThreadState* CurrentThread() {
    if (t_Current.State != nullptr && t_Current.Serial == KernelSerial()) return t_Current.State;
    return AdoptCurrentHostThread();
}

ThreadState* CurrentThreadIfKnown() {
    if (t_Current.State != nullptr && t_Current.Serial == KernelSerial()) return t_Current.State;
    return nullptr;
}

void ThreadLeaveHostForPowerOff(ThreadState* Thread) {
    HostThread* host = Thread->Host;
    t_Current.State = nullptr;
    if (host != nullptr) MarkHostFinished(host);
    pthread_exit(nullptr);
}

NTSTATUS PsCreateThread(PEPROCESS Process, ThreadKind Kind, PKSTART_ROUTINE Routine, PVOID Context,
                        ACCESS_MASK DesiredAccess, ULONG HandleAttributes, PHANDLE Handle, PCLIENT_ID ClientId) {
    PsReapFinishedThreads();
    ThreadState* state = nullptr;
    NTSTATUS status = CreateThreadObject(Process, Kind, &state);
    if (!NT_SUCCESS(status)) return status;
    state->StartRoutine = Routine;
    state->StartContext = Context;
    PVOID object = state->Object;
    if (Handle != nullptr) {
        status = ObInsertHandle(object, ObMapDesiredAccess(&PsThreadObjectType, DesiredAccess), HandleAttributes,
                                KernelMode, Handle);
    }
    auto* host = new HostThread;
    state->Host = host;
    if (NT_SUCCESS(status) && pthread_create(&host->Handle, nullptr, SystemThreadMain, state) != 0) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (Handle != nullptr) ZwClose(*Handle);
    }
    if (!NT_SUCCESS(status)) {
        delete host;
        state->Host = nullptr;
        FinishThread(state, status);
        ObDereferenceBody(object);
        return status;
    }
    {
        ThreadRegistry& registry = Threads();
        std::lock_guard<std::mutex> guard(registry.Lock);
        registry.Hosts.push_back(host);
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = ProcessStateOf(Process)->Id;
        ClientId->UniqueThread = state->Id;
    }
    ObDereferenceBody(object);
    return STATUS_SUCCESS;
}

void PsInitialize() {
    PsCreateSystemProcess();
    AdoptCurrentHostThread();
}

void PsJoinSystemThreads() {
    JoinHosts(TakeHosts(false));
}

void PsReapFinishedThreads() {
    JoinHosts(TakeHosts(true));
}

std::vector<std::string> PsReportRunningThreads() {
    std::vector<std::string> findings;
    for (ThreadState* state : ThreadsOfKind(IsRunningSystemThread)) {
        findings.push_back("thread leak: system thread " + std::to_string(reinterpret_cast<ULONG_PTR>(state->Id)) +
                           " (start routine " + Hex(reinterpret_cast<void*>(state->StartRoutine)) +
                           ") of process " + ProcessImageName(state->OwnerProcess) + " still running");
    }
    return findings;
}

void PsEndSystemThreads(ThreadState* Survivor) {
    std::vector<ThreadState*> running = ThreadsOfKind(IsRunningKernelThread);
    if (running.empty()) {
        // Threads that have ended may still be on their way out of the host.
        PsJoinSystemThreads();
        return;
    }
    DispatcherBeginPowerOff(Survivor);
    JoinHosts(TakeHosts(false));
    DispatcherWaitUntilNoneBlocked();
    DispatcherEndPowerOff();
    // The threads left from inside a wait: end their objects for them.
    for (ThreadState* state : running) FinishThread(state, STATUS_THREAD_IS_TERMINATING);
}

void PsReleaseAdoptedThreads() {
    for (ThreadState* state : ThreadsOfKind(IsRunningAdoptedThread)) FinishThread(state, STATUS_SUCCESS);
}

void PsForgetThreads() {
    JoinHosts(TakeHosts(false));
    ThreadRegistry& registry = Threads();
    std::vector<ThreadState*> states;
    {
        std::lock_guard<std::mutex> guard(registry.Lock);
        states.swap(registry.All);
    }
    for (ThreadState* state : states) delete state;
}

void PsForgetEverything() {
    PsForgetThreads();
    PsForgetProcesses();
}

}  // namespace plat

namespace {

POBJECT_TYPE g_ThreadType = plat::ObExportType(&plat::PsThreadObjectType);

}  // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &g_ThreadType;
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                               PVOID StartContext) {
    *ThreadHandle = nullptr;
    if (StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    PEPROCESS process = plat::SystemProcess();
    if (ProcessHandle != nullptr) {
        NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_ALL_ACCESS, PsProcessType[0],
                                                    KernelMode, reinterpret_cast<PVOID*>(&process), nullptr);
        if (!NT_SUCCESS(status)) return status;
    } else {
        ObReferenceObject(process);
    }
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    NTSTATUS status = plat::PsCreateThread(process, plat::ThreadKind::System, StartRoutine, StartContext,
                                           DesiredAccess, attributes, ThreadHandle, ClientId);
    ObDereferenceObject(process);
    return status;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    plat::ThreadState* state = plat::CurrentThread();
    if (state->Kind == plat::ThreadKind::Adopted) return STATUS_INVALID_PARAMETER;
    plat::EndCurrentSystemThread(ExitStatus);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID) {
    return plat::CurrentThread()->Object;
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    return plat::CurrentThread()->Id;
}

extern "C" HANDLE NTAPI PsGetThreadId(PETHREAD Thread) {
    return plat::ThreadStateOf(&Thread->Tcb)->Id;
}

extern "C" PEPROCESS NTAPI PsGetThreadProcess(PETHREAD Thread) {
    return plat::ThreadStateOf(&Thread->Tcb)->OwnerProcess;
}

extern "C" BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) {
    return plat::ThreadStateOf(&Thread->Tcb)->OwnerProcess == plat::SystemProcess();
}

extern "C" BOOLEAN NTAPI PsIsThreadTerminating(PETHREAD Thread) {
    plat::DispatcherGuard guard(plat::DispatcherLock());
    return plat::ThreadStateOf(&Thread->Tcb)->Terminated;
}
