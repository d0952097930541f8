// Directory queries, change notification, file-system and device controls,
// and object security through handles (files ask their file system, keys the
// registry, other objects answer from the object manager's descriptor).
#include "io/service.h"

#include "cm/registry.h"

namespace plat {
namespace {

constexpr ULONG kTagCapturedName = 0x6E436F49;  // "IoCn"

ULONG DirectoryEntryMinimum(FILE_INFORMATION_CLASS Class) {
    switch (Class) {
    case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation: return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation: return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileObjectIdInformation: return sizeof(FILE_OBJECTID_INFORMATION);
    case FileReparsePointInformation: return sizeof(FILE_REPARSE_POINT_INFORMATION);
    default: return 0;
    }
}

// A pool copy of the pattern: the counted string and its characters in one block.
NTSTATUS CapturePattern(PUNICODE_STRING FileName, PUNICODE_STRING* Captured) {
    *Captured = nullptr;
    if (FileName == nullptr) return STATUS_SUCCESS;
    if (FileName->Length > FileName->MaximumLength || (FileName->Length & 1)) return STATUS_INVALID_PARAMETER;
    SIZE_T size = sizeof(UNICODE_STRING) + FileName->Length;
    auto* copy = static_cast<PUNICODE_STRING>(ExAllocatePoolWithTag(NonPagedPool, size, kTagCapturedName));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    copy->Length = FileName->Length;
    copy->MaximumLength = FileName->Length;
    copy->Buffer = reinterpret_cast<PWCH>(copy + 1);
    if (FileName->Length != 0) RtlCopyMemory(copy->Buffer, FileName->Buffer, FileName->Length);
    *Captured = copy;
    return STATUS_SUCCESS;
}

NTSTATUS QueryDirectory(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock,
                        PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS Class,
                        BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName, BOOLEAN RestartScan,
                        KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    ULONG minimum = DirectoryEntryMinimum(Class);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    status = service.CheckAnyAccess(FILE_LIST_DIRECTORY);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(FileInformation, Length);
    if (!NT_SUCCESS(status)) return status;
    PUNICODE_STRING pattern = nullptr;
    status = CapturePattern(FileName, &pattern);
    if (!NT_SUCCESS(status)) return status;
    if (service.BuildIrp(IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY) == nullptr) {
        if (pattern != nullptr) ExFreePool(pattern);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pattern != nullptr) service.GiveToIrp(pattern);
    status = service.AttachBuffer(FileInformation, Length, TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.QueryDirectory.Length = Length;
    next->Parameters.QueryDirectory.FileName = pattern;
    next->Parameters.QueryDirectory.FileInformationClass = Class;
    next->Parameters.QueryDirectory.FileIndex = 0;
    if (RestartScan) next->Flags |= SL_RESTART_SCAN;
    if (ReturnSingleEntry) next->Flags |= SL_RETURN_SINGLE_ENTRY;
    return service.Send(IoStatusBlock);
}

NTSTATUS NotifyChangeDirectory(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, ULONG CompletionFilter,
                               BOOLEAN WatchTree, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    if (CompletionFilter == 0 || (CompletionFilter & ~FILE_NOTIFY_VALID_MASK)) return STATUS_INVALID_PARAMETER;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckAnyAccess(FILE_LIST_DIRECTORY);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(Buffer, Length);
    if (!NT_SUCCESS(status)) return status;
    if (service.BuildIrp(IRP_MJ_DIRECTORY_CONTROL, IRP_MN_NOTIFY_CHANGE_DIRECTORY) == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = service.AttachBuffer(Buffer, Length, TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.NotifyDirectory.Length = Length;
    next->Parameters.NotifyDirectory.CompletionFilter = CompletionFilter;
    if (WatchTree) next->Flags |= SL_WATCH_TREE;
    return service.Send(IoStatusBlock);
}

ACCESS_MASK ControlAccess(ULONG Code) {
    ULONG access = (Code >> 14) & 3;
    ACCESS_MASK rights = 0;
    if (access & FILE_READ_ACCESS) rights |= FILE_READ_DATA;
    if (access & FILE_WRITE_ACCESS) rights |= FILE_WRITE_DATA;
    return rights;
}

// The buffers of a control request, as its transfer method says.
NTSTATUS AttachControlBuffers(FileService& Service, ULONG Code, PVOID InputBuffer, ULONG InputLength,
                              PVOID OutputBuffer, ULONG OutputLength) {
    PIRP irp = Service.Irp();
    ULONG method = METHOD_FROM_CTL_CODE(Code);
    if (method == METHOD_NEITHER) {
        Service.Next()->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        return STATUS_SUCCESS;
    }
    if (method == METHOD_BUFFERED) {
        ULONG length = InputLength > OutputLength ? InputLength : OutputLength;
        if (length == 0) return STATUS_SUCCESS;
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, length, kTagSystemBuffer);
        if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(system, length);
        if (InputLength != 0) RtlCopyMemory(system, InputBuffer, InputLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        irp->UserBuffer = OutputBuffer;
        if (OutputLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            IrpRecord* record = IoFindIrp(irp);
            record->LimitCopyBack = true;
            record->UserBufferLength = OutputLength;
        }
        return STATUS_SUCCESS;
    }
    if (InputLength != 0) {
        NTSTATUS status = Service.AttachSystemBuffer(InputBuffer, InputLength, TransferDirection::ToDriver);
        if (!NT_SUCCESS(status)) return status;
    }
    if (OutputLength == 0) return STATUS_SUCCESS;
    PMDL mdl = IoAllocateMdl(OutputBuffer, OutputLength, FALSE, FALSE, irp);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(mdl, Service.Mode(), method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    return STATUS_SUCCESS;
}

NTSTATUS Control(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock,
                 ULONG Code, PVOID InputBuffer, ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength,
                 bool FileSystem, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, Event, ApcRoutine);
    if (!NT_SUCCESS(status)) return status;
    if (Mode != KernelMode && (service.Granted() & ControlAccess(Code)) != ControlAccess(Code)) {
        return STATUS_ACCESS_DENIED;
    }
    status = service.CheckUserBuffer(InputBuffer, InputLength);
    if (NT_SUCCESS(status)) status = service.CheckUserBuffer(OutputBuffer, OutputLength);
    if (!NT_SUCCESS(status)) return status;
    UCHAR major = FileSystem ? IRP_MJ_FILE_SYSTEM_CONTROL : IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = FileSystem ? IRP_MN_USER_FS_REQUEST : 0;
    if (service.BuildIrp(major, minor) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.DeviceIoControl.IoControlCode = Code;
    next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    status = AttachControlBuffers(service, Code, InputBuffer, InputLength, OutputBuffer, OutputLength);
    if (!NT_SUCCESS(status)) return status;
    return service.Send(IoStatusBlock);
}

// ---- Security ------------------------------------------------------------------------------

ACCESS_MASK QuerySecurityAccess(SECURITY_INFORMATION Information) {
    ACCESS_MASK access = 0;
    if (Information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                       LABEL_SECURITY_INFORMATION)) {
        access |= READ_CONTROL;
    }
    if (Information & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

ACCESS_MASK SetSecurityAccess(SECURITY_INFORMATION Information) {
    ACCESS_MASK access = 0;
    if (Information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) {
        access |= WRITE_OWNER;
    }
    if (Information & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
    if (Information & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

NTSTATUS QueryFileSecurity(HANDLE Handle, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor,
                           ULONG Length, PULONG LengthNeeded, KPROCESSOR_MODE Mode) {
    FileService service(Mode);
    NTSTATUS status = service.Begin(Handle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(Descriptor, Length);
    if (!NT_SUCCESS(status)) return status;
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_QUERY_SECURITY, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = service.AttachBuffer(Descriptor, Length, TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    service.Next()->Parameters.QuerySecurity.SecurityInformation = Information;
    service.Next()->Parameters.QuerySecurity.Length = Length;
    IO_STATUS_BLOCK iosb;
    status = service.Send(&iosb);
    *LengthNeeded = static_cast<ULONG>(iosb.Information);
    return status == STATUS_BUFFER_OVERFLOW ? STATUS_BUFFER_TOO_SMALL : status;
}

NTSTATUS SetFileSecurity(HANDLE Handle, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor,
                         KPROCESSOR_MODE Mode) {
    FileService service(Mode);
    NTSTATUS status = service.Begin(Handle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_SET_SECURITY, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    service.Next()->Parameters.SetSecurity.SecurityInformation = Information;
    service.Next()->Parameters.SetSecurity.SecurityDescriptor = Descriptor;
    IO_STATUS_BLOCK iosb;
    return service.Send(&iosb);
}

// Objects other than files keep their descriptor in the object manager.
NTSTATUS QueryObjectSecurity(PVOID Object, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor,
                             ULONG Length, PULONG LengthNeeded) {
    PSECURITY_DESCRIPTOR stored = nullptr;
    BOOLEAN allocated = FALSE;
    NTSTATUS status = ObGetObjectSecurity(Object, &stored, &allocated);
    if (!NT_SUCCESS(status)) return status;
    ULONG length = Length;
    status = SeQuerySecurityDescriptorInfo(&Information, Descriptor, &length, &stored);
    ObReleaseObjectSecurity(stored, allocated);
    *LengthNeeded = length;
    return status;
}

NTSTATUS SetObjectSecurity(PVOID Object, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor) {
    PSECURITY_DESCRIPTOR stored = nullptr;
    BOOLEAN allocated = FALSE;
    NTSTATUS status = ObGetObjectSecurity(Object, &stored, &allocated);
    if (!NT_SUCCESS(status)) return status;
    PSECURITY_DESCRIPTOR merged = stored;
    status = SeSetSecurityDescriptorInfo(Object, &Information, Descriptor, &merged, NonPagedPool,
                                         &ObGetObjectType(Object)->GenericMapping);
    ObReleaseObjectSecurity(stored, allocated);
    if (!NT_SUCCESS(status)) return status;
    status = ObSetSecurityDescriptor(Object, merged);
    ExFreePool(merged);
    return status;
}

NTSTATUS QuerySecurity(HANDLE Handle, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor,
                       ULONG Length, PULONG LengthNeeded, KPROCESSOR_MODE Mode) {
    if (LengthNeeded == nullptr) return STATUS_ACCESS_VIOLATION;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, QuerySecurityAccess(Information), nullptr, Mode, &object,
                                                nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (ObGetObjectType(object) == &IoFileType) {
        status = QueryFileSecurity(Handle, Information, Descriptor, Length, LengthNeeded, Mode);
    } else if (RegistryIsKeyObject(object)) {
        status = RegistryQueryKeySecurity(object, Information, Descriptor, Length, LengthNeeded);
    } else {
        status = QueryObjectSecurity(object, Information, Descriptor, Length, LengthNeeded);
    }
    ObDereferenceObject(object);
    return status;
}

NTSTATUS SetSecurity(HANDLE Handle, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Descriptor,
                     KPROCESSOR_MODE Mode) {
    if (Descriptor == nullptr) return STATUS_ACCESS_VIOLATION;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, SetSecurityAccess(Information), nullptr, Mode, &object,
                                                nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (ObGetObjectType(object) == &IoFileType) {
        status = SetFileSecurity(Handle, Information, Descriptor, Mode);
    } else if (RegistryIsKeyObject(object)) {
        status = RegistrySetKeySecurity(object, Information, Descriptor);
    } else {
        status = SetObjectSecurity(object, Information, Descriptor);
    }
    ObDereferenceObject(object);
    return status;
}

}  // namespace
}  // namespace plat

using namespace plat;

extern "C" NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass,
                                               BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                               BOOLEAN RestartScan) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return QueryDirectory(FileHandle, Event, ApcRoutine, IoStatusBlock, FileInformation, Length,
                          FileInformationClass, ReturnSingleEntry, FileName, RestartScan, KernelMode);
}

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass,
                                               BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                               BOOLEAN RestartScan) {
    UNREFERENCED_PARAMETER(ApcContext);
    return QueryDirectory(FileHandle, Event, ApcRoutine, IoStatusBlock, FileInformation, Length,
                          FileInformationClass, ReturnSingleEntry, FileName, RestartScan, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                      PVOID Buffer, ULONG Length, ULONG CompletionFilter,
                                                      BOOLEAN WatchTree) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return NotifyChangeDirectory(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, CompletionFilter,
                                 WatchTree, KernelMode);
}

extern "C" NTSTATUS NTAPI NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                      PVOID Buffer, ULONG Length, ULONG CompletionFilter,
                                                      BOOLEAN WatchTree) {
    UNREFERENCED_PARAMETER(ApcContext);
    return NotifyChangeDirectory(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, CompletionFilter,
                                 WatchTree, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                          PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                          ULONG OutputBufferLength) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return Control(FileHandle, Event, ApcRoutine, IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength,
                   OutputBuffer, OutputBufferLength, true, KernelMode);
}

extern "C" NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                          PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                          ULONG OutputBufferLength) {
    UNREFERENCED_PARAMETER(ApcContext);
    return Control(FileHandle, Event, ApcRoutine, IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength,
                   OutputBuffer, OutputBufferLength, true, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                PVOID OutputBuffer, ULONG OutputBufferLength) {
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return Control(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength,
                   OutputBuffer, OutputBufferLength, false, KernelMode);
}

extern "C" NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                PVOID OutputBuffer, ULONG OutputBufferLength) {
    UNREFERENCED_PARAMETER(ApcContext);
    return Control(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength,
                   OutputBuffer, OutputBufferLength, false, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                                PULONG LengthNeeded) {
    PreviousModeScope kernel(KernelMode);
    return QuerySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded, KernelMode);
}

extern "C" NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                                PULONG LengthNeeded) {
    return QuerySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded,
                         ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
    PreviousModeScope kernel(KernelMode);
    return SetSecurity(Handle, SecurityInformation, SecurityDescriptor, KernelMode);
}

extern "C" NTSTATUS NTAPI NtSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor) {
    return SetSecurity(Handle, SecurityInformation, SecurityDescriptor, ExGetPreviousMode());
}
