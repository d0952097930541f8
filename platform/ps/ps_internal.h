// The process manager's interface to the rest of the kernel core: handle
// tables, the process list, and the life cycle of processes and threads.
#pragma once

#include <string>
#include <vector>

#include "ke/thread.h"
#include "ob/handle_table.h"
#include "ob/object.h"

namespace plat {

extern ObjectType PsProcessObjectType;
extern ObjectType PsThreadObjectType;

// Process and thread ids: one counter, multiples of 4 (System is 4).
HANDLE PsAllocateClientId();
void PsCreateSystemProcess();
void PsForgetProcesses();
void PsForgetThreads();

// The handle table of the process (never NULL for a live process).
HandleTable* ProcessHandleTable(PEPROCESS Process);

// Every process of the kernel, each referenced (release with ObDereferenceObject).
std::vector<PEPROCESS> ProcessSnapshot();

// Life cycle, called by the kernel core.
void PsInitialize();                       // System process, the creating thread
std::vector<std::string> PsReportRunningThreads();
// Ends every system thread that is still running (they leave at their next
// wait) and waits for the host threads of all system threads.
void PsEndSystemThreads(ThreadState* Survivor);
// Waits for the host thread of every system and worker thread (power-off:
// they leave at their next wait).
void PsJoinSystemThreads();
// Joins the host threads of system threads that have finished.
void PsReapFinishedThreads();
void PsReleaseAdoptedThreads();            // the kernel's end for adopted host threads
void PsShutdown();                         // releases the System process
void PsForgetEverything();                 // power-off: drop host state wholesale

// Creates a thread of Process running Routine(Context); Handle (optional)
// receives a handle with the given access. Worker threads pass Kind Worker.
NTSTATUS PsCreateThread(PEPROCESS Process, ThreadKind Kind, PKSTART_ROUTINE Routine, PVOID Context,
                        ACCESS_MASK DesiredAccess, ULONG HandleAttributes, PHANDLE Handle, PCLIENT_ID ClientId);

}  // namespace plat
