// File and volume information and extended attributes through file handles.
//
// Each information class has a minimum buffer length and the handle access it
// needs, per operation; the classes the I/O manager answers itself (position
// on synchronous files, mode, alignment, access, device) never reach a driver.
// Information buffers travel in a system buffer, as on NT.
#include "io/service.h"

namespace plat {
namespace {

struct ClassRule {
    ULONG Length;        // minimum buffer length; 0: not valid for the operation
    ACCESS_MASK Access;  // handle rights the caller needs (any of them)
};

ClassRule QueryRule(FILE_INFORMATION_CLASS Class) {
    switch (Class) {
    case FileBasicInformation: return {sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES};
    case FileStandardInformation: return {sizeof(FILE_STANDARD_INFORMATION), 0};
    case FileInternalInformation: return {sizeof(FILE_INTERNAL_INFORMATION), 0};
    case FileEaInformation: return {sizeof(FILE_EA_INFORMATION), 0};
    case FileAccessInformation: return {sizeof(FILE_ACCESS_INFORMATION), 0};
    case FileNameInformation: return {sizeof(FILE_NAME_INFORMATION), 0};
    case FilePositionInformation: return {sizeof(FILE_POSITION_INFORMATION), 0};
    case FileModeInformation: return {sizeof(FILE_MODE_INFORMATION), 0};
    case FileAlignmentInformation: return {sizeof(FILE_ALIGNMENT_INFORMATION), 0};
    case FileAllInformation: return {sizeof(FILE_ALL_INFORMATION), FILE_READ_ATTRIBUTES};
    case FileAlternateNameInformation: return {sizeof(FILE_NAME_INFORMATION), 0};
    case FileStreamInformation: return {sizeof(FILE_STREAM_INFORMATION), 0};
    case FileCompressionInformation: return {sizeof(FILE_COMPRESSION_INFORMATION), 0};
    case FileNetworkOpenInformation: return {sizeof(FILE_NETWORK_OPEN_INFORMATION), FILE_READ_ATTRIBUTES};
    case FileAttributeTagInformation: return {sizeof(FILE_ATTRIBUTE_TAG_INFORMATION), FILE_READ_ATTRIBUTES};
    default: return {0, 0};
    }
}

ClassRule SetRule(FILE_INFORMATION_CLASS Class) {
    switch (Class) {
    case FileBasicInformation: return {sizeof(FILE_BASIC_INFORMATION), FILE_WRITE_ATTRIBUTES};
    case FileRenameInformation: return {sizeof(FILE_RENAME_INFORMATION), DELETE};
    case FileLinkInformation: return {sizeof(FILE_LINK_INFORMATION), 0};
    case FileDispositionInformation: return {sizeof(FILE_DISPOSITION_INFORMATION), DELETE};
    case FilePositionInformation: return {sizeof(FILE_POSITION_INFORMATION), 0};
    case FileModeInformation: return {sizeof(FILE_MODE_INFORMATION), 0};
    case FileAllocationInformation: return {sizeof(FILE_ALLOCATION_INFORMATION), FILE_WRITE_DATA};
    case FileEndOfFileInformation: return {sizeof(FILE_END_OF_FILE_INFORMATION), FILE_WRITE_DATA};
    case FileValidDataLengthInformation: return {sizeof(FILE_VALID_DATA_LENGTH_INFORMATION), FILE_WRITE_DATA};
    case FileShortNameInformation: return {sizeof(FILE_NAME_INFORMATION), DELETE};
    default: return {0, 0};
    }
}

ClassRule VolumeQueryRule(FS_INFORMATION_CLASS Class) {
    switch (Class) {
    case FileFsVolumeInformation: return {sizeof(FILE_FS_VOLUME_INFORMATION), 0};
    case FileFsSizeInformation: return {sizeof(FILE_FS_SIZE_INFORMATION), 0};
    case FileFsDeviceInformation: return {sizeof(FILE_FS_DEVICE_INFORMATION), 0};
    case FileFsAttributeInformation: return {sizeof(FILE_FS_ATTRIBUTE_INFORMATION), 0};
    case FileFsFullSizeInformation: return {sizeof(FILE_FS_FULL_SIZE_INFORMATION), 0};
    case FileFsObjectIdInformation: return {sizeof(FILE_FS_OBJECTID_INFORMATION), 0};
    default: return {0, 0};
    }
}

ClassRule VolumeSetRule(FS_INFORMATION_CLASS Class) {
    switch (Class) {
    case FileFsLabelInformation: return {sizeof(FILE_FS_LABEL_INFORMATION), FILE_WRITE_DATA};
    case FileFsObjectIdInformation: return {sizeof(FILE_FS_OBJECTID_INFORMATION), FILE_WRITE_DATA};
    default: return {0, 0};
    }
}

// Checks a class against its rule: the class must be valid for the operation,
// the buffer long enough and the handle allowed.
NTSTATUS CheckClass(const FileService& Service, const ClassRule& Rule, PVOID Buffer, ULONG Length) {
    if (Rule.Length == 0) return STATUS_INVALID_INFO_CLASS;
    if (Length < Rule.Length) return STATUS_INFO_LENGTH_MISMATCH;
    NTSTATUS status = Service.CheckAnyAccess(Rule.Access);
    if (!NT_SUCCESS(status)) return status;
    return Service.CheckUserBuffer(Buffer, Length);
}

ULONG ModeOf(PFILE_OBJECT File) {
    ULONG mode = 0;
    if (File->Flags & FO_WRITE_THROUGH) mode |= FILE_WRITE_THROUGH;
    if (File->Flags & FO_SEQUENTIAL_ONLY) mode |= FILE_SEQUENTIAL_ONLY;
    if (File->Flags & FO_NO_INTERMEDIATE_BUFFERING) mode |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (File->Flags & FO_SYNCHRONOUS_IO) {
        mode |= (File->Flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
    }
    return mode;
}

// The classes the I/O manager answers itself; false when the driver must.
bool AnswerQueryLocally(FileService& Service, FILE_INFORMATION_CLASS Class, PVOID Buffer,
                        PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS* Status) {
    PFILE_OBJECT file = Service.File();
    switch (Class) {
    case FileAccessInformation:
        static_cast<PFILE_ACCESS_INFORMATION>(Buffer)->AccessFlags = Service.Granted();
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_ACCESS_INFORMATION));
        return true;
    case FileModeInformation:
        static_cast<PFILE_MODE_INFORMATION>(Buffer)->Mode = ModeOf(file);
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_MODE_INFORMATION));
        return true;
    case FileAlignmentInformation:
        static_cast<PFILE_ALIGNMENT_INFORMATION>(Buffer)->AlignmentRequirement =
            Service.Target()->AlignmentRequirement;
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_ALIGNMENT_INFORMATION));
        return true;
    case FilePositionInformation:
        if (!(file->Flags & FO_SYNCHRONOUS_IO)) return false;
        IoAcquireFileLock(file);
        static_cast<PFILE_POSITION_INFORMATION>(Buffer)->CurrentByteOffset = file->CurrentByteOffset;
        IoReleaseFileLock(file);
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
        return true;
    default:
        return false;
    }
}

bool AnswerSetLocally(FileService& Service, FILE_INFORMATION_CLASS Class, PVOID Buffer,
                      PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS* Status) {
    PFILE_OBJECT file = Service.File();
    if (Class == FilePositionInformation && (file->Flags & FO_SYNCHRONOUS_IO)) {
        LARGE_INTEGER position = static_cast<PFILE_POSITION_INFORMATION>(Buffer)->CurrentByteOffset;
        ULONG sector = Service.Target()->SectorSize;
        bool misaligned = (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && sector != 0 &&
                          (position.QuadPart & (sector - 1)) != 0;
        if (position.QuadPart < 0 || misaligned) {
            *Status = STATUS_INVALID_PARAMETER;
            return true;
        }
        IoAcquireFileLock(file);
        file->CurrentByteOffset = position;
        IoReleaseFileLock(file);
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, 0);
        return true;
    }
    if (Class == FileModeInformation) {
        ULONG mode = static_cast<PFILE_MODE_INFORMATION>(Buffer)->Mode;
        if (mode & ~(FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY)) {
            *Status = STATUS_INVALID_PARAMETER;
            return true;
        }
        file->Flags &= ~(FO_WRITE_THROUGH | FO_SEQUENTIAL_ONLY);
        if (mode & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
        if (mode & FILE_SEQUENTIAL_ONLY) file->Flags |= FO_SEQUENTIAL_ONLY;
        *Status = Service.Answer(IoStatusBlock, STATUS_SUCCESS, 0);
        return true;
    }
    return false;
}

NTSTATUS QueryInformation(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                          FILE_INFORMATION_CLASS Class, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = CheckClass(service, QueryRule(Class), FileInformation, Length);
    if (!NT_SUCCESS(status)) return status;
    if (AnswerQueryLocally(service, Class, FileInformation, IoStatusBlock, &status)) return status;
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_QUERY_INFORMATION, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = service.AttachSystemBuffer(FileInformation, Length, TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    service.Next()->Parameters.QueryFile.Length = Length;
    service.Next()->Parameters.QueryFile.FileInformationClass = Class;
    return service.Send(IoStatusBlock);
}

// Rename and link name a target: a full path or one relative to
// RootDirectory opens the target's directory (through the source's device
// hint), which must be on the same device as the source.
NTSTATUS OpenTargetDirectory(FileService& Service, PFILE_RENAME_INFORMATION Rename, ULONG Length,
                             HANDLE* TargetHandle, PFILE_OBJECT* TargetFile) {
    *TargetHandle = nullptr;
    *TargetFile = nullptr;
    if (ULONG(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName)) + Rename->FileNameLength > Length ||
        Rename->FileNameLength == 0 || Rename->FileNameLength > MAXUSHORT - 1 || (Rename->FileNameLength & 1)) {
        return STATUS_INVALID_PARAMETER;
    }
    bool named = Rename->FileName[0] == L'\\' || Rename->RootDirectory != nullptr;
    if (!named) return STATUS_SUCCESS;
    UNICODE_STRING name = {static_cast<USHORT>(Rename->FileNameLength),
                           static_cast<USHORT>(Rename->FileNameLength), Rename->FileName};
    PFILE_OBJECT source = Service.File();
    ULONG attributes = OBJ_KERNEL_HANDLE | ((source->Flags & FO_OPENED_CASE_SENSITIVE) ? 0 : OBJ_CASE_INSENSITIVE);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name, attributes, Rename->RootDirectory, nullptr);
    PDEVICE_OBJECT hint = (source->Flags & FO_FILE_OBJECT_HAS_EXTENSION) ? FileExtraOf(source)->Hint : nullptr;
    IO_STATUS_BLOCK iosb;
    HANDLE handle = nullptr;
    NTSTATUS status = IoCreateFileSpecifyDeviceObjectHint(
        &handle, FILE_WRITE_DATA | SYNCHRONIZE, &objectAttributes, &iosb, nullptr, 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, nullptr, 0, CreateFileTypeNone,
        nullptr, IO_NO_PARAMETER_CHECKING | IO_OPEN_TARGET_DIRECTORY | IO_FORCE_ACCESS_CHECK, hint);
    if (!NT_SUCCESS(status)) return status;
    PVOID target = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &target, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    *TargetHandle = handle;
    *TargetFile = static_cast<PFILE_OBJECT>(target);
    if (IoGetRelatedDeviceObject(*TargetFile) != IoGetRelatedDeviceObject(source)) return STATUS_NOT_SAME_DEVICE;
    return STATUS_SUCCESS;
}

NTSTATUS SetNamed(FileService& Service, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                  FILE_INFORMATION_CLASS Class) {
    auto* rename = static_cast<PFILE_RENAME_INFORMATION>(FileInformation);
    HANDLE targetHandle = nullptr;
    PFILE_OBJECT target = nullptr;
    NTSTATUS status = OpenTargetDirectory(Service, rename, Length, &targetHandle, &target);
    if (NT_SUCCESS(status)) {
        // Renames wait even on asynchronous files: the target directory stays
        // open until the file system is done with it.
        Service.MakeSynchronous();
        if (Service.BuildIrp(IRP_MJ_SET_INFORMATION, 0) == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            status = Service.AttachSystemBuffer(FileInformation, Length, TransferDirection::ToDriver);
        }
    }
    if (NT_SUCCESS(status)) {
        PIO_STACK_LOCATION next = Service.Next();
        next->Parameters.SetFile.Length = Length;
        next->Parameters.SetFile.FileInformationClass = Class;
        next->Parameters.SetFile.FileObject = target;
        next->Parameters.SetFile.ReplaceIfExists = rename->ReplaceIfExists;
        status = Service.Send(IoStatusBlock);
    }
    if (target != nullptr) ObDereferenceObject(target);
    if (targetHandle != nullptr) ZwClose(targetHandle);
    return status;
}

NTSTATUS SetInformation(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                        FILE_INFORMATION_CLASS Class, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = CheckClass(service, SetRule(Class), FileInformation, Length);
    if (!NT_SUCCESS(status)) return status;
    if (AnswerSetLocally(service, Class, FileInformation, IoStatusBlock, &status)) return status;
    if (Class == FileRenameInformation || Class == FileLinkInformation) {
        return SetNamed(service, IoStatusBlock, FileInformation, Length, Class);
    }
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_SET_INFORMATION, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = service.AttachSystemBuffer(FileInformation, Length, TransferDirection::ToDriver);
    if (!NT_SUCCESS(status)) return status;
    service.Next()->Parameters.SetFile.Length = Length;
    service.Next()->Parameters.SetFile.FileInformationClass = Class;
    return service.Send(IoStatusBlock);
}

NTSTATUS AnswerDeviceInformation(FileService& Service, PVOID Buffer, PIO_STATUS_BLOCK IoStatusBlock) {
    PDEVICE_OBJECT device = Service.File()->DeviceObject;
    auto* information = static_cast<PFILE_FS_DEVICE_INFORMATION>(Buffer);
    information->DeviceType = device->DeviceType;
    information->Characteristics = device->Characteristics;
    if (device->Vpb != nullptr && (device->Vpb->Flags & VPB_MOUNTED)) {
        information->Characteristics |= FILE_DEVICE_IS_MOUNTED;
    }
    return Service.Answer(IoStatusBlock, STATUS_SUCCESS, sizeof(FILE_FS_DEVICE_INFORMATION));
}

NTSTATUS VolumeInformation(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation, ULONG Length,
                           FS_INFORMATION_CLASS Class, bool Set, KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = CheckClass(service, Set ? VolumeSetRule(Class) : VolumeQueryRule(Class), FsInformation, Length);
    if (!NT_SUCCESS(status)) return status;
    if (!Set && Class == FileFsDeviceInformation) return AnswerDeviceInformation(service, FsInformation, IoStatusBlock);
    service.MakeSynchronous();
    UCHAR major = Set ? IRP_MJ_SET_VOLUME_INFORMATION : IRP_MJ_QUERY_VOLUME_INFORMATION;
    if (service.BuildIrp(major, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = service.AttachSystemBuffer(FsInformation, Length,
                                        Set ? TransferDirection::ToDriver : TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    service.Next()->Parameters.QueryVolume.Length = Length;
    service.Next()->Parameters.QueryVolume.FsInformationClass = Class;
    return service.Send(IoStatusBlock);
}

NTSTATUS QueryEa(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                 BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex, BOOLEAN RestartScan,
                 KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckAnyAccess(FILE_READ_EA);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(Buffer, Length);
    if (!NT_SUCCESS(status)) return status;
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_QUERY_EA, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID list = nullptr;
    if (EaList != nullptr && EaListLength != 0) {
        list = ExAllocatePoolWithTag(NonPagedPool, EaListLength, kTagSystemBuffer);
        if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(list, EaList, EaListLength);
        service.GiveToIrp(list);
    }
    status = service.AttachBuffer(Buffer, Length, TransferDirection::FromDriver);
    if (!NT_SUCCESS(status)) return status;
    PIO_STACK_LOCATION next = service.Next();
    next->Parameters.QueryEa.Length = Length;
    next->Parameters.QueryEa.EaList = list;
    next->Parameters.QueryEa.EaListLength = list != nullptr ? EaListLength : 0;
    next->Parameters.QueryEa.EaIndex = EaIndex != nullptr ? *EaIndex : 0;
    if (RestartScan) next->Flags |= SL_RESTART_SCAN;
    if (ReturnSingleEntry) next->Flags |= SL_RETURN_SINGLE_ENTRY;
    if (EaIndex != nullptr) next->Flags |= SL_INDEX_SPECIFIED;
    return service.Send(IoStatusBlock);
}

NTSTATUS SetEa(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
               KPROCESSOR_MODE Mode) {
    if (IoStatusBlock == nullptr) return STATUS_ACCESS_VIOLATION;
    FileService service(Mode);
    NTSTATUS status = service.Begin(FileHandle, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckAnyAccess(FILE_WRITE_EA);
    if (!NT_SUCCESS(status)) return status;
    status = service.CheckUserBuffer(Buffer, Length);
    if (!NT_SUCCESS(status)) return status;
    if (Buffer == nullptr || Length == 0 || (Mode != KernelMode && !IoValidEaBuffer(Buffer, Length))) {
        return STATUS_EA_CORRUPT_ERROR;
    }
    service.MakeSynchronous();
    if (service.BuildIrp(IRP_MJ_SET_EA, 0) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = service.AttachBuffer(Buffer, Length, TransferDirection::ToDriver);
    if (!NT_SUCCESS(status)) return status;
    service.Next()->Parameters.SetEa.Length = Length;
    return service.Send(IoStatusBlock);
}

}  // namespace
}  // namespace plat

using namespace plat;

extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
    PreviousModeScope kernel(KernelMode);
    return QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, KernelMode);
}

extern "C" NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
    return QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                            ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
    PreviousModeScope kernel(KernelMode);
    return SetInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, KernelMode);
}

extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
    return SetInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                          ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                       PVOID FsInformation, ULONG Length,
                                                       FS_INFORMATION_CLASS FsInformationClass) {
    PreviousModeScope kernel(KernelMode);
    return VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, false,
                             KernelMode);
}

extern "C" NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                       PVOID FsInformation, ULONG Length,
                                                       FS_INFORMATION_CLASS FsInformationClass) {
    return VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, false,
                             ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                     PVOID FsInformation, ULONG Length,
                                                     FS_INFORMATION_CLASS FsInformationClass) {
    PreviousModeScope kernel(KernelMode);
    return VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, true,
                             KernelMode);
}

extern "C" NTSTATUS NTAPI NtSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                     PVOID FsInformation, ULONG Length,
                                                     FS_INFORMATION_CLASS FsInformationClass) {
    return VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, true,
                             ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                        ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
                                        PULONG EaIndex, BOOLEAN RestartScan) {
    PreviousModeScope kernel(KernelMode);
    return QueryEa(FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList, EaListLength, EaIndex,
                   RestartScan, KernelMode);
}

extern "C" NTSTATUS NTAPI NtQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                        ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
                                        PULONG EaIndex, BOOLEAN RestartScan) {
    return QueryEa(FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList, EaListLength, EaIndex,
                   RestartScan, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                      ULONG Length) {
    PreviousModeScope kernel(KernelMode);
    return SetEa(FileHandle, IoStatusBlock, Buffer, Length, KernelMode);
}

extern "C" NTSTATUS NTAPI NtSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                      ULONG Length) {
    return SetEa(FileHandle, IoStatusBlock, Buffer, Length, ExGetPreviousMode());
}
