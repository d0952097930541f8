// The frame every Nt/Zw file service shares: the file object behind the handle
// and the access its handle grants, the caller's event, the per-file lock of
// synchronous file objects, the IRP and how the caller gets its result.
//
// A service on a synchronous file object (FO_SYNCHRONOUS_IO) holds the file
// lock, waits for the IRP and copies the status block to the caller. On an
// asynchronous file object the IRP takes over the file and event references,
// completes into the caller's status block and signals the caller's event (or
// the file object's) on its own; the service returns what the driver returned.
#pragma once

#include "io/io_internal.h"

namespace plat {

// How a data buffer reaches the driver.
enum class TransferDirection { ToDriver, FromDriver };

class FileService {
public:
    explicit FileService(KPROCESSOR_MODE Mode) : m_Mode(Mode) {}
    ~FileService();
    FileService(const FileService&) = delete;
    FileService& operator=(const FileService&) = delete;

    // References the handle's file object and, when given, the caller's event
    // (which is cleared). ApcRoutine must be NULL.
    NTSTATUS Begin(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine);

    // UserMode callers: the handle must grant at least one of the rights.
    NTSTATUS CheckAnyAccess(ACCESS_MASK Rights) const;
    // UserMode callers: data buffers must lie in user space.
    NTSTATUS CheckUserBuffer(const void* Buffer, SIZE_T Length) const;

    // Forces the synchronous path (the call waits) on any file object.
    void MakeSynchronous() { m_ForceSynchronous = true; }
    bool Synchronous() const;

    // Builds the IRP for the file's device (NULL when pool is short).
    PIRP BuildIrp(UCHAR MajorFunction, UCHAR MinorFunction);
    // Buffered (DO_BUFFERED_IO), direct (DO_DIRECT_IO) or neither.
    NTSTATUS AttachBuffer(PVOID Buffer, ULONG Length, TransferDirection Direction);
    // Always a system buffer, as for information classes.
    NTSTATUS AttachSystemBuffer(PVOID Buffer, ULONG Length, TransferDirection Direction);
    // A pool block freed with the IRP.
    void GiveToIrp(PVOID PoolBlock);

    // Sends the IRP. Synchronous: waits and stores the status block in
    // *IoStatusBlock. Asynchronous: the completion does.
    NTSTATUS Send(PIO_STATUS_BLOCK IoStatusBlock);
    // Answers the caller without an IRP.
    NTSTATUS Answer(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS Status, ULONG_PTR Information);

    PFILE_OBJECT File() const { return m_File; }
    ACCESS_MASK Granted() const { return m_Granted; }
    KPROCESSOR_MODE Mode() const { return m_Mode; }
    PDEVICE_OBJECT Target() const { return m_Target; }
    PIRP Irp() const { return m_Irp; }
    PIO_STACK_LOCATION Next() const { return IoGetNextIrpStackLocation(m_Irp); }
    // The status block of the last synchronous send.
    const IO_STATUS_BLOCK& Result() const { return m_Result; }

private:
    KPROCESSOR_MODE m_Mode;
    PFILE_OBJECT m_File = nullptr;
    ACCESS_MASK m_Granted = 0;
    PKEVENT m_Event = nullptr;
    PDEVICE_OBJECT m_Target = nullptr;
    PIRP m_Irp = nullptr;
    bool m_Locked = false;
    bool m_ForceSynchronous = false;
    IO_STATUS_BLOCK m_Result = {};
};

// The EA list of a create or set: entries chained inside the length.
bool IoValidEaBuffer(PVOID EaBuffer, ULONG EaLength);

}  // namespace plat
