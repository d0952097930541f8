// Processes: EPROCESS objects with their image name, token and handle table;
// the System process; the current process of a thread; UserModeScope.
#include <string.h>

#include <algorithm>
#include <mutex>

#include "core/kernel.h"
#include "ke/dispatcher.h"
#include "ob/object_internal.h"
#include "ps/process.h"
#include "ps/ps_internal.h"
#include "se/token.h"

namespace plat {
namespace {

VOID DeleteProcess(PVOID Body);

struct ProcessRegistry {
    std::mutex Lock;                       // guards All
    std::vector<ProcessState*> All;
    PEPROCESS System = nullptr;
};

ProcessRegistry& Processes() {
    static ProcessRegistry* registry = new ProcessRegistry;  // reset per kernel
    return *registry;
}

struct ProcessSetup {
    const char* ImageName;
    ProcessState* State;
};

VOID InitializeProcessBody(PVOID Body, PVOID Context) {
    auto* process = static_cast<PEPROCESS>(Body);
    auto* setup = static_cast<ProcessSetup*>(Context);
    DispatcherInitializeHeader(&process->Pcb.Header, ProcessObject, 0);
    process->Pcb.State = setup->State;
    strncpy(process->ImageFileName, setup->ImageName, kProcessImageNameLength - 1);
    process->ImageFileName[kProcessImageNameLength - 1] = 0;
}

void CloseProcessHandles(PEPROCESS process) {
    for (const HandleTable::Entry& entry : ProcessHandleTable(process)->RemoveAll()) {
        ObObjectHandleClosed(entry.Object, process);
    }
}

void DestroyProcessState(ProcessState* state) {
    if (state->Token != nullptr) TokenRelease(state->Token);
    delete state->Handles;
    delete state;
}

VOID DeleteProcess(PVOID Body) {
    auto* process = static_cast<PEPROCESS>(Body);
    ProcessState* state = ProcessStateOf(process);
    CloseProcessHandles(process);
    {
        ProcessRegistry& registry = Processes();
        std::lock_guard<std::mutex> guard(registry.Lock);
        registry.All.erase(std::remove(registry.All.begin(), registry.All.end(), state), registry.All.end());
    }
    DestroyProcessState(state);
}

}  // namespace

ObjectType PsProcessObjectType = {
    L"Process", nullptr, nullptr, DeleteProcess,
    {STANDARD_RIGHTS_READ | PROCESS_QUERY_INFORMATION, STANDARD_RIGHTS_WRITE | 0x0BEA,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, PROCESS_ALL_ACCESS},
    TRUE};

HANDLE PsAllocateClientId();

PEPROCESS ProcessCreate(const char* ImageName, Token* ProcessToken) {
    auto* state = new ProcessState;
    state->Id = PsAllocateClientId();
    state->ImageName = std::string(ImageName != nullptr ? ImageName : "").substr(0, kProcessImageNameLength - 1);
    state->Token = ProcessToken;
    state->Handles = new HandleTable;
    ProcessSetup setup{state->ImageName.c_str(), state};
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObjectEx(&PsProcessObjectType, sizeof(EPROCESS), nullptr, nullptr, 0, nullptr, &body,
                                       InitializeProcessBody, &setup);
    if (!NT_SUCCESS(status)) {
        delete state->Handles;
        delete state;
        return nullptr;
    }
    if (ProcessToken != nullptr) TokenReference(ProcessToken);
    state->Object = static_cast<PEPROCESS>(body);
    ProcessRegistry& registry = Processes();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.All.push_back(state);
    return state->Object;
}

void ProcessTerminate(PEPROCESS Process) {
    CloseProcessHandles(Process);
    {
        DispatcherGuard guard(DispatcherLock());
        ProcessStateOf(Process)->Terminated = true;
    }
    DispatcherSignal(&Process->Pcb.Header, 1);
}

PEPROCESS SystemProcess() {
    return Processes().System;
}

Token* ProcessToken(PEPROCESS Process) {
    return ProcessStateOf(Process)->Token;
}

const char* ProcessImageName(PEPROCESS Process) {
    return ProcessStateOf(Process)->ImageName.c_str();
}

const char* CurrentProcessImageName() {
    return ProcessImageName(CurrentProcessOf(CurrentThread()));
}

Token* CurrentProcessToken() {
    return ProcessToken(CurrentProcessOf(CurrentThread()));
}

HandleTable* ProcessHandleTable(PEPROCESS Process) {
    return ProcessStateOf(Process)->Handles;
}

std::vector<PEPROCESS> ProcessSnapshot() {
    ProcessRegistry& registry = Processes();
    std::lock_guard<std::mutex> guard(registry.Lock);
    std::vector<PEPROCESS> processes;
    for (ProcessState* state : registry.All) {
        if (ObReferenceIfAlive(state->Object)) processes.push_back(state->Object);
    }
    return processes;
}

PEPROCESS CurrentProcessOf(ThreadState* Thread) {
    if (Thread->AttachedProcess != nullptr) return Thread->AttachedProcess;
    if (Thread->ApparentProcess != nullptr) return Thread->ApparentProcess;
    return Thread->OwnerProcess;
}

void PsCreateSystemProcess() {
    Token* token = TokenCreateSystem();
    PEPROCESS system = ProcessCreate("System", token);
    if (token != nullptr) TokenRelease(token);  // the process holds its own reference
    if (system == nullptr) KeBugCheckEx(0x6B /* PROCESS1_INITIALIZATION_FAILED */, 0, 0, 0, 0);
    Processes().System = system;
    PsInitialSystemProcess = system;
}

void PsShutdown() {
    ProcessRegistry& registry = Processes();
    PEPROCESS system = registry.System;
    registry.System = nullptr;
    PsInitialSystemProcess = nullptr;
    if (system != nullptr) ObDereferenceBody(system);
}

void PsForgetProcesses() {
    ProcessRegistry& registry = Processes();
    std::vector<ProcessState*> states;
    {
        std::lock_guard<std::mutex> guard(registry.Lock);
        states.swap(registry.All);
        registry.System = nullptr;
    }
    PsInitialSystemProcess = nullptr;
    for (ProcessState* state : states) {
        state->Handles->RemoveAll();  // the objects go with the pool
        DestroyProcessState(state);
    }
}

UserModeScope::UserModeScope(PEPROCESS Process) {
    ThreadState* thread = CurrentThread();
    m_SavedProcess = thread->ApparentProcess;
    m_SavedMode = thread->PreviousMode;
    thread->ApparentProcess = Process;
    thread->PreviousMode = UserMode;
}

UserModeScope::~UserModeScope() {
    ThreadState* thread = CurrentThread();
    thread->ApparentProcess = m_SavedProcess;
    thread->PreviousMode = m_SavedMode;
}

}  // namespace plat

extern "C" {
PEPROCESS PsInitialSystemProcess = nullptr;
}

namespace {

POBJECT_TYPE g_ProcessType = plat::ObExportType(&plat::PsProcessObjectType);

ULONG BuildNumberOf(ULONG major, ULONG minor) {
    if (major == 5 && minor == 0) return 2195;
    if (major == 5 && minor == 1) return 2600;
    if (major == 5 && minor == 2) return 3790;
    if (major == 6 && minor == 0) return 6002;
    if (major == 6 && minor == 1) return 7601;
    return 0;
}

}  // namespace

extern "C" {
POBJECT_TYPE* PsProcessType = &g_ProcessType;
}

extern "C" PEPROCESS NTAPI PsGetCurrentProcess(VOID) {
    return plat::CurrentProcessOf(plat::CurrentThread());
}

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
    return plat::CurrentProcessOf(plat::CurrentThread());
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) {
    return plat::ProcessStateOf(PsGetCurrentProcess())->Id;
}

extern "C" HANDLE NTAPI PsGetProcessId(PEPROCESS Process) {
    return plat::ProcessStateOf(Process)->Id;
}

extern "C" BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                      PUNICODE_STRING CSDVersion) {
    const plat::KernelOptions& options = plat::KernelCurrentOptions();
    if (MajorVersion != nullptr) *MajorVersion = options.MajorVersion;
    if (MinorVersion != nullptr) *MinorVersion = options.MinorVersion;
    if (BuildNumber != nullptr) *BuildNumber = BuildNumberOf(options.MajorVersion, options.MinorVersion);
    if (CSDVersion != nullptr) CSDVersion->Length = 0;
    return FALSE;  // a free build
}
