// Reading, writing, flushing and byte-range locks through file handles.
#include "io/service.h"

namespace plat {
namespace {

constexpr LONGLONG kWriteToEndOfFile = -1;        // { FILE_WRITE_TO_END_OF_FILE, -1 }
constexpr LONGLONG kUseFilePointer = -2;          // { FILE_USE_FILE_POINTER_POSITION, -1 }

enum class TransferKind { Read, Write };

// The offset a read or write uses, or an error for an offset the file cannot take.
NTSTATUS ResolveOffset(const FileService& Service, PLARGE_INTEGER ByteOffset, TransferKind Kind, LONGLONG* Offset) {
    PFILE_OBJECT file = Service.File();
    bool appendOnly = Kind == TransferKind::Write && (Service.Granted() & FILE_APPEND_DATA) &&
                      !(Service.Granted() & FILE_WRITE_DATA);
    if (appendOnly) {
        *Offset = kWriteToEndOfFile;
        return STATUS_SUCCESS;
    }
    bool useFilePointer = ByteOffset == nullptr || ByteOffset->QuadPart == kUseFilePointer;
    if (useFilePointer) {
        if (!(file->Flags & FO_SYNCHRONOUS_IO)) return STATUS_INVALID_PARAMETER;
        *Offset = file->CurrentByteOffset.QuadPart;
        return STATUS_SUCCESS;
    }
    LONGLONG offset = ByteOffset->QuadPart;
    if (offset < 0 && !(Kind == TransferKind::Write && offset == kWriteToEndOfFile)) return STATUS_INVALID_PARAMETER;
    *Offset = offset;
    return STATUS_SUCCESS;
}

// User requests on files opened without intermediate buffering move whole sectors.
NTSTATUS CheckAlignment(const FileService& Service, LONGLONG Offset, ULONG Length) {
    if (Service.Mode() == KernelMode || !(Service.File()->Flags & FO_NO_INTERMEDIATE_BUFFERING)) {
        return STATUS_SUCCESS;
    }
    ULONG sector = Service.Target()->SectorSize;
    if (sector == 0) return STATUS_SUCCESS;
    if ((Length & (sector - 1)) != 0) return STATUS_INVALID_PARAMETER;
    if (Offset >= 0 && (Offset & (sector - 1)) != 0) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock,
                  PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key, TransferKind Kind,
                  KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    bool read = Kind == TransferKind::Read;
    status = service.CheckAnyAccess(read ? FILE_READ_DATA : FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(Buffer, Length);
    if (!NT_SUCCESS(status)) return status;

    if (service.BuildIrp(read ? IRP_MJ_READ : IRP_MJ_WRITE, IRP_MN_NORMAL) == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LONGLONG offset = 0;
    status = ResolveOffset(service, ByteOffset, Kind, &offset);
    if (!NT_SUCCESS(status)) return status;
    status = CheckAlignment(service, offset, Length);
    if (!NT_SUCCESS(status)) return status;
    status = service.AttachBuffer(Buffer, Length, read ? TransferDirection::FromDriver : TransferDirection::ToDriver);
    if (!NT_SUCCESS(status)) return status;

    PIRP irp = service.Irp();
    irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    if (service.File()->Flags & FO_NO_INTERMEDIATE_BUFFERING) irp->Flags |= IRP_NOCACHE;
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.Read.Length = Length;
    next->Parameters.Read.Key = Key != nullptr ? *Key : 0;
    next->Parameters.Read.ByteOffset.QuadPart = offset;
    if (Key != nullptr) next->Flags |= SL_KEY_SPECIFIED;
    if (service.File()->Flags & FO_WRITE_THROUGH) next->Flags |= SL_WRITE_THROUGH;

    bool synchronous = service.Synchronous();
    status = service.Send(IoStatusBlock);
    if (synchronous && offset >= 0 && !NT_ERROR(status)) {
        service.File()->CurrentByteOffset.QuadPart = offset + service.Result().Information;
    }
    return status;
}

NTSTATUS Flush(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckAnyAccess(FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (!NT_SUCCESS(status)) return status;
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_FLUSH_BUFFERS, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return service.Send(IoStatusBlock);
}

NTSTATUS Lock(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock,
              PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
              BOOLEAN ExclusiveLock, UCHAR Minor, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr || ByteOffset == nullptr || Length == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckAnyAccess(FILE_READ_DATA | FILE_WRITE_DATA);
    if (!NT_SUCCESS(status)) return status;
    if (Minor == IRP_MN_UNLOCK_SINGLE) service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_LOCK_CONTROL, Minor) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // The file system reads the length through a pointer, which must outlive
    // the caller's variable for an asynchronous request.
    auto* length = static_cast<PLARGE_INTEGER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(LARGE_INTEGER),
                                                                     kTagSystemBuffer));
    if (length == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *length = *Length;
    service.GiveToIrp(length);
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.LockControl.Length = length;
    next->Parameters.LockControl.Key = Key;
    next->Parameters.LockControl.ByteOffset = *ByteOffset;
    if (FailImmediately) next->Flags |= SL_FAIL_IMMEDIATELY;
    if (ExclusiveLock) next->Flags |= SL_EXCLUSIVE_LOCK;
    if (Minor == IRP_MN_LOCK) service.File()->LockOperation = TRUE;
    return service.Send(IoStatusBlock);
}

}  // namespace
}  // namespace plat

using namespace plat;

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return Transfer(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                    plat::TransferKind::Read, KernelMode);
}

extern "C" NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    return Transfer(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                    plat::TransferKind::Read, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return Transfer(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                    plat::TransferKind::Write, KernelMode);
}

extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(ApcContext);
    return Transfer(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                    plat::TransferKind::Write, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    PreviousModeScope kernel(KernelMode);
    return Flush(FileHandle, IoStatusBlock, KernelMode);
}

extern "C" NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    return Flush(FileHandle, IoStatusBlock, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                     PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
                                     BOOLEAN ExclusiveLock) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return Lock(FileHandle, Event, ApcRoutine, IoStatusBlock, ByteOffset, Length, Key, FailImmediately,
                ExclusiveLock, IRP_MN_LOCK, KernelMode);
}

extern "C" NTSTATUS NTAPI NtLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                     PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
                                     BOOLEAN ExclusiveLock) {
    UNREFERENCED_PARAMETER(ApcContext);
    return Lock(FileHandle, Event, ApcRoutine, IoStatusBlock, ByteOffset, Length, Key, FailImmediately,
                ExclusiveLock, IRP_MN_LOCK, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key) {
    PreviousModeScope kernel(KernelMode);
    return Lock(FileHandle, nullptr, nullptr, IoStatusBlock, ByteOffset, Length, Key, FALSE, FALSE,
                IRP_MN_UNLOCK_SINGLE, KernelMode);
}

extern "C" NTSTATUS NTAPI NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key) {
    return Lock(FileHandle, nullptr, nullptr, IoStatusBlock, ByteOffset, Length, Key, FALSE, FALSE,
                IRP_MN_UNLOCK_SINGLE, ExGetPreviousMode());
}
