// Process structure: system threads, the current thread and process, version.
#pragma once

#include "ntdef.h"
#include "ke.h"

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

// Thread and process rights (the standard rights they use are in se.h); the
// values of the Windows versions before 6.0.
#define THREAD_TERMINATE 0x0001
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3FF)
#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF)

// The current process handle and current thread handle pseudo-handles.
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

NT_BEGIN_C

// Creates a thread of the System process (ProcessHandle NULL) or of the process
// the handle names, running StartRoutine(StartContext) at PASSIVE_LEVEL. The
// thread ends when StartRoutine returns or calls PsTerminateSystemThread; its
// thread object is signalled then. *ThreadHandle is a handle in the current
// process's table (OBJ_KERNEL_HANDLE in ObjectAttributes: a kernel handle).
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext);
// Ends the calling system thread; does not return. STATUS_INVALID_PARAMETER
// when the caller is not a system thread.
NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);

NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID);
NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
NTKERNELAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread);
NTKERNELAPI PEPROCESS NTAPI PsGetThreadProcess(PETHREAD Thread);
NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI BOOLEAN NTAPI PsIsThreadTerminating(PETHREAD Thread);
// The process at initial system start (System).
extern NTKERNELAPI PEPROCESS PsInitialSystemProcess;

// The operating-system version of the kernel's options. CSDVersion may be NULL.
NTKERNELAPI BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                       PUNICODE_STRING CSDVersion);

NT_END_C
