// Work items: a file operation that must run in a system worker thread (work
// folders and work files are created from a system thread, with the system's
// handle table and identity) while the requesting thread waits for it.
#pragma once

#include <ntifs.h>

class CQuiltWorkItem {
public:
    CQuiltWorkItem() : Result(STATUS_SUCCESS) {}

    // Runs in the worker thread; sets Result. The base does nothing.
    virtual VOID Run() {}

    NTSTATUS Result;
    KEVENT Done;  // notification; set by the runner after Run
};

// Opens a file below the protection with OpenLowerFileResolved and closes it
// again at once: creates a folder or an empty file. Result is the open's
// status (IoStatus->Status).
class CQuiltCreateFileWork : public CQuiltWorkItem {
public:
    // IoStatus may be NULL; Options are IoCreateFile's IO_* options.
    CQuiltCreateFileWork(ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path, PIO_STATUS_BLOCK IoStatus,
                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition,
                         ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, PSECURITY_DESCRIPTOR SecurityDescriptor,
                         ULONG Options);

    VOID Run() override;

private:
    ACCESS_MASK m_DesiredAccess;
    ULONG m_DriveIndex;
    PCWSTR m_Path;
    PIO_STATUS_BLOCK m_IoStatus;
    PLARGE_INTEGER m_AllocationSize;
    ULONG m_FileAttributes;
    ULONG m_ShareAccess;
    ULONG m_Disposition;
    ULONG m_CreateOptions;
    PVOID m_EaBuffer;
    ULONG m_EaLength;
    PSECURITY_DESCRIPTOR m_SecurityDescriptor;
    ULONG m_Options;
    IO_STATUS_BLOCK m_OwnIoStatus;  // used when the caller gives none
};

// Queues Item on the delayed work queue (a work item of the control device),
// waits for it without time-out and returns Item->Result;
// STATUS_INSUFFICIENT_RESOURCES, without running it, when no work item can be
// had. Runs at PASSIVE_LEVEL.
NTSTATUS RunInSystemWorker(CQuiltWorkItem* Item);
