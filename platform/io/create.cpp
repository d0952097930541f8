// Opening files: the open packet, the parse procedures of device and file
// objects, the create IRP, reparse handling, and the create services
// (IoCreateFile, IoCreateFileSpecifyDeviceObjectHint, Nt/ZwCreateFile,
// Nt/ZwOpenFile, IoGetDeviceObjectPointer).
//
// The object manager walks the name; when it reaches a device object (or
// starts at a file object for a relative open) it calls the parse procedure
// with the rest of the name and the open packet. The parse procedure builds
// the file object, sends IRP_MJ_CREATE and hands back the opened file object,
// or STATUS_REPARSE with a new complete name for the object manager to walk.
#include "io/io_internal.h"
#include "io/service.h"

#include "core/verifier.h"
#include "mm/user_memory.h"

namespace plat {
namespace {

constexpr ULONG kOpenPacketMagic = 0x6B61506F;  // "oPak"
constexpr ULONG kTagEaBuffer = 0x61456F49;      // "IoEa"
constexpr ULONG kTagReparseName = 0x70526F49;   // "IoRp"

// Accesses that do not need the file system: an open of a volume asking for
// no more is a direct device open.
constexpr ACCESS_MASK kDirectOpenAccess =
    SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL | ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;

struct OpenPacket {
    ULONG Magic = kOpenPacketMagic;
    ACCESS_MASK DesiredAccess = 0;
    PLARGE_INTEGER AllocationSize = nullptr;
    ULONG FileAttributes = 0;
    ULONG ShareAccess = 0;
    ULONG Disposition = 0;
    ULONG CreateOptions = 0;
    ULONG Options = 0;                  // IO_*
    PVOID EaBuffer = nullptr;           // pool copy
    ULONG EaLength = 0;
    PSECURITY_DESCRIPTOR SecurityDescriptor = nullptr;
    PSECURITY_QUALITY_OF_SERVICE Qos = nullptr;
    KPROCESSOR_MODE RequestorMode = KernelMode;
    PDEVICE_OBJECT DeviceHint = nullptr;
    ULONG ParseCount = 0;
    PFILE_OBJECT RelatedFileObject = nullptr;  // from the file parse to the device parse

    bool ReachedDriver = false;
    NTSTATUS FinalStatus = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    PFILE_OBJECT FileObject = nullptr;
};

OpenPacket* PacketOf(PVOID ParseContext) {
    auto* packet = static_cast<OpenPacket*>(ParseContext);
    return packet != nullptr && packet->Magic == kOpenPacketMagic ? packet : nullptr;
}

// Where the create IRP goes, and what the file object records.
struct OpenTarget {
    PDEVICE_OBJECT Device = nullptr;    // referenced
    PDEVICE_OBJECT FileDevice = nullptr;
    PVPB Vpb = nullptr;
    bool Direct = false;
    bool Hinted = false;
};

NTSTATUS HintedTarget(PDEVICE_OBJECT Base, OpenPacket* Packet, OpenTarget* Target) {
    if (!IoDeviceInStack(Base, Packet->DeviceHint)) {
        // After a reparse the name may lead to another volume, which the hint
        // cannot reach.
        return Packet->ParseCount > 1 ? STATUS_MOUNT_POINT_NOT_RESOLVED : STATUS_INVALID_DEVICE_OBJECT_PARAMETER;
    }
    ObReferenceObject(Packet->DeviceHint);
    Target->Device = Packet->DeviceHint;
    Target->Hinted = true;
    return STATUS_SUCCESS;
}

NTSTATUS RelativeTarget(PFILE_OBJECT Related, OpenPacket* Packet, OpenTarget* Target) {
    Target->FileDevice = Related->DeviceObject;
    Target->Vpb = Related->Vpb;
    if (Packet->DeviceHint != nullptr) return HintedTarget(IoGetBaseFileSystemDeviceObject(Related), Packet, Target);
    Target->Device = IoGetRelatedDeviceObject(Related);
    ObReferenceObject(Target->Device);
    return STATUS_SUCCESS;
}

bool IsDirectDeviceOpen(PDEVICE_OBJECT Device, PCUNICODE_STRING Remaining, OpenPacket* Packet) {
    if (Device->Vpb == nullptr || Remaining->Length != 0 || Packet->EaBuffer != nullptr) return false;
    ACCESS_MASK access = Packet->DesiredAccess;
    RtlMapGenericMask(&access, IoGetFileObjectGenericMapping());
    return (access & ~kDirectOpenAccess) == 0;
}

NTSTATUS ChooseTarget(PDEVICE_OBJECT Device, PFILE_OBJECT Related, PCUNICODE_STRING Remaining, OpenPacket* Packet,
                      OpenTarget* Target) {
    if (Related != nullptr) return RelativeTarget(Related, Packet, Target);
    Target->FileDevice = Device;
    Target->Direct = IsDirectDeviceOpen(Device, Remaining, Packet);
    PDEVICE_OBJECT base = Device;
    if (Device->Vpb != nullptr && !Target->Direct) {
        NTSTATUS status = IoMountVolume(Device);
        if (!NT_SUCCESS(status)) return status;
        Target->Vpb = Device->Vpb;
        base = Device->Vpb->DeviceObject;
    }
    if (Packet->DeviceHint != nullptr) return HintedTarget(base, Packet, Target);
    Target->Device = IoGetAttachedDeviceReference(base);
    return STATUS_SUCCESS;
}

ULONG FileFlagsFor(const OpenPacket* Packet, ULONG ObjectAttributes, const OpenTarget& Target) {
    ULONG options = Packet->CreateOptions;
    ULONG flags = 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
    if (options & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (options & FILE_WRITE_THROUGH) flags |= FO_WRITE_THROUGH;
    if (options & FILE_SEQUENTIAL_ONLY) flags |= FO_SEQUENTIAL_ONLY;
    if (options & FILE_RANDOM_ACCESS) flags |= FO_RANDOM_ACCESS;
    if (!(ObjectAttributes & OBJ_CASE_INSENSITIVE)) flags |= FO_OPENED_CASE_SENSITIVE;
    if (Target.Direct) flags |= FO_DIRECT_DEVICE_OPEN;
    if (Target.Hinted) flags |= FO_FILE_OBJECT_HAS_EXTENSION;
    return flags;
}

NTSTATUS CopyName(PCUNICODE_STRING Name, PUNICODE_STRING Copy, ULONG Tag) {
    *Copy = {0, 0, nullptr};
    if (Name->Length == 0) return STATUS_SUCCESS;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, Name->Length, Tag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, Name->Buffer, Name->Length);
    Copy->Buffer = buffer;
    Copy->Length = Name->Length;
    Copy->MaximumLength = Name->Length;
    return STATUS_SUCCESS;
}

// A file object for the open, holding a reference on the related file object
// and on the hint. Its FileName is a pool copy of the remaining name.
NTSTATUS CreateFileObject(PCUNICODE_STRING Remaining, PFILE_OBJECT Related, OpenPacket* Packet,
                          ULONG ObjectAttributes, const OpenTarget& Target, PFILE_OBJECT* File) {
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(&IoFileType, sizeof(FILE_OBJECT) + sizeof(FileExtra), nullptr, nullptr, &body);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(body);
    FileExtra* extra = FileExtraOf(file);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = Target.FileDevice;
    file->Vpb = Target.Vpb;
    file->Flags = FileFlagsFor(Packet, ObjectAttributes, Target);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&file->IrpListLock);
    InitializeListHead(&file->IrpList);
    file->FileObjectExtension = extra;
    if (Related != nullptr) {
        ObReferenceObject(Related);
        file->RelatedFileObject = Related;
    }
    if (Target.Hinted) {
        ObReferenceObject(Target.Device);
        extra->Hint = Target.Device;
    }
    status = CopyName(Remaining, &file->FileName, kTagFileName);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(file);
        return status;
    }
    *File = file;
    return STATUS_SUCCESS;
}

struct CreateResult {
    NTSTATUS Status;
    ULONG_PTR Information;
    PVOID AuxiliaryBuffer;
};

// Sends IRP_MJ_CREATE for the file object and waits for it.
NTSTATUS SendCreate(PFILE_OBJECT File, const OpenTarget& Target, OpenPacket* Packet, CreateResult* Result) {
    ACCESS_STATE accessState;
    NTSTATUS status = SeCreateAccessState(&accessState, nullptr, Packet->DesiredAccess,
                                          IoGetFileObjectGenericMapping());
    if (!NT_SUCCESS(status)) return status;
    accessState.SecurityDescriptor = Packet->SecurityDescriptor;
    IO_SECURITY_CONTEXT security = {Packet->Qos, &accessState, accessState.OriginalDesiredAccess,
                                    Packet->CreateOptions};

    PIRP irp = IoBuildFileIrp(Target.Device, File, IRP_MJ_CREATE, 0, Packet->RequestorMode, false);
    if (irp == nullptr) {
        SeDeleteAccessState(&accessState);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoFindIrp(irp)->Deferred = true;
    irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
    irp->Overlay.AllocationSize.QuadPart = Packet->AllocationSize != nullptr ? Packet->AllocationSize->QuadPart : 0;
    irp->AssociatedIrp.SystemBuffer = Packet->EaBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (File->Flags & FO_OPENED_CASE_SENSITIVE) next->Flags |= SL_CASE_SENSITIVE;
    if (Packet->Options & IO_OPEN_TARGET_DIRECTORY) next->Flags |= SL_OPEN_TARGET_DIRECTORY;
    if (Packet->Options & IO_FORCE_ACCESS_CHECK) next->Flags |= SL_FORCE_ACCESS_CHECK;
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.Options = (Packet->Disposition << 24) | (Packet->CreateOptions & FILE_VALID_OPTION_FLAGS);
    next->Parameters.Create.FileAttributes = static_cast<USHORT>(Packet->FileAttributes);
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(Packet->ShareAccess);
    next->Parameters.Create.EaLength = Packet->EaLength;

    IO_STATUS_BLOCK iosb;
    IoCallDriverAndWait(Target.Device, irp, &iosb);
    Result->Status = iosb.Status;
    Result->Information = iosb.Information;
    Result->AuxiliaryBuffer = irp->Tail.Overlay.AuxiliaryBuffer;
    IoFreeIrp(irp);
    SeDeleteAccessState(&accessState);
    return STATUS_SUCCESS;
}

// Replaces the lookup's complete name with a new pool string.
NTSTATUS ReplaceCompleteName(ObjectParseRequest* Request, PCWCH First, ULONG FirstBytes, PCWCH Second,
                             ULONG SecondBytes) {
    ULONG total = FirstBytes + SecondBytes;
    if (total == 0) return STATUS_OBJECT_NAME_INVALID;
    if (total > MAXUSHORT - 1) return STATUS_NAME_TOO_LONG;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, total, kTagReparseName));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, First, FirstBytes);
    if (SecondBytes != 0) RtlCopyMemory(reinterpret_cast<PUCHAR>(buffer) + FirstBytes, Second, SecondBytes);
    if (Request->CompleteName->Buffer != nullptr) ExFreePool(Request->CompleteName->Buffer);
    Request->CompleteName->Buffer = buffer;
    Request->CompleteName->Length = static_cast<USHORT>(total);
    Request->CompleteName->MaximumLength = static_cast<USHORT>(total);
    return STATUS_REPARSE;
}

// A junction: its substitute name followed by the part of the name after it.
NTSTATUS MountPointName(PFILE_OBJECT File, PREPARSE_DATA_BUFFER Data, ObjectParseRequest* Request) {
    if (Data == nullptr || Data->ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) return STATUS_IO_REPARSE_DATA_INVALID;
    const auto& mount = Data->MountPointReparseBuffer;
    ULONG pathBytes = Data->ReparseDataLength > 8 ? Data->ReparseDataLength - 8u : 0;
    if (mount.SubstituteNameLength == 0 || (mount.SubstituteNameOffset & 1) || (mount.SubstituteNameLength & 1) ||
        ULONG(mount.SubstituteNameOffset) + mount.SubstituteNameLength > pathBytes ||
        Data->Reserved > File->FileName.Length || (Data->Reserved & 1)) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    PCWCH substitute = mount.PathBuffer + mount.SubstituteNameOffset / sizeof(WCHAR);
    PCWCH rest = File->FileName.Buffer + (File->FileName.Length - Data->Reserved) / sizeof(WCHAR);
    ULONG substituteBytes = mount.SubstituteNameLength;
    // A junction to a volume root ends in a backslash ("\??\D:\") and the rest
    // of the name begins with one: keep a single separator.
    if (Data->Reserved != 0 && rest[0] == L'\\' && substituteBytes > sizeof(WCHAR) &&
        substitute[substituteBytes / sizeof(WCHAR) - 1] == L'\\') {
        substituteBytes -= sizeof(WCHAR);
    }
    return ReplaceCompleteName(Request, substitute, substituteBytes, rest, Data->Reserved);
}

NTSTATUS HandleReparse(PFILE_OBJECT File, const CreateResult& Result, ObjectParseRequest* Request) {
    if (Result.Information == IO_REPARSE) {
        return ReplaceCompleteName(Request, File->FileName.Buffer, File->FileName.Length, nullptr, 0);
    }
    if (Result.Information == IO_REPARSE_TAG_MOUNT_POINT) {
        return MountPointName(File, static_cast<PREPARSE_DATA_BUFFER>(Result.AuxiliaryBuffer), Request);
    }
    return STATUS_IO_REPARSE_TAG_NOT_HANDLED;
}

// The open succeeded: the file object now counts against its device and VPB.
void CommitOpen(PFILE_OBJECT File) {
    FileExtra* extra = FileExtraOf(File);
    extra->Opened = TRUE;
    ObReferenceObject(File->DeviceObject);
    IoDeviceAddOpen(File->DeviceObject);
    extra->OpenedDevice = File->DeviceObject;
    if (File->Vpb != nullptr) {
        KIRQL irql;
        IoAcquireVpbSpinLock(&irql);
        File->Vpb->ReferenceCount++;
        IoReleaseVpbSpinLock(irql);
        extra->CountedVpb = File->Vpb;
    }
}

// A name that ends at a device object, looked up without an open packet
// (ObReferenceObjectByName): the device itself.
NTSTATUS ReferenceDeviceItself(PDEVICE_OBJECT Device, ObjectParseRequest* Request, PVOID* Object) {
    if (Request->RemainingName.Length != 0) return STATUS_OBJECT_TYPE_MISMATCH;
    if (Request->RequestedType != nullptr && Request->RequestedType != &IoDeviceType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ObReferenceObject(Device);
    *Object = Device;
    return STATUS_SUCCESS;
}

NTSTATUS OpenThroughDevice(PDEVICE_OBJECT Device, PFILE_OBJECT Related, ObjectParseRequest* Request,
                           OpenPacket* Packet, PVOID* Object) {
    if (IoDeviceIsDeletePending(Device) || (Device->Flags & DO_DEVICE_INITIALIZING)) return STATUS_NO_SUCH_DEVICE;
    if ((Device->Flags & DO_EXCLUSIVE) && Related == nullptr && Device->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    OpenTarget target;
    NTSTATUS status = ChooseTarget(Device, Related, &Request->RemainingName, Packet, &target);
    if (!NT_SUCCESS(status)) return status;

    PFILE_OBJECT file = nullptr;
    status = CreateFileObject(&Request->RemainingName, Related, Packet, Request->Attributes, target, &file);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(target.Device);
        return status;
    }
    CreateResult result{};
    status = SendCreate(file, target, Packet, &result);
    ObDereferenceObject(target.Device);
    if (NT_SUCCESS(status)) {
        Packet->ReachedDriver = true;
        Packet->FinalStatus = result.Status;
        Packet->Information = result.Information;
        status = result.Status;
        if (status == STATUS_REPARSE) status = HandleReparse(file, result, Request);
    }
    if (result.AuxiliaryBuffer != nullptr) ExFreePool(result.AuxiliaryBuffer);
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
        ObDereferenceObject(file);  // never opened: no cleanup or close
        return status;
    }
    CommitOpen(file);
    Packet->FileObject = file;
    *Object = file;
    return STATUS_SUCCESS;
}

// ---- Parameter checks ------------------------------------------------------------------

bool ValidDirectoryOpen(ULONG Disposition, ULONG Options) {
    constexpr ULONG kDirectoryOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT |
                                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH |
                                        FILE_COMPLETE_IF_OPLOCKED | FILE_OPEN_FOR_BACKUP_INTENT |
                                        FILE_DELETE_ON_CLOSE | FILE_OPEN_FOR_FREE_SPACE_QUERY |
                                        FILE_OPEN_BY_FILE_ID | FILE_NO_COMPRESSION | FILE_OPEN_REPARSE_POINT;
    if (Options & ~kDirectoryOptions) return false;
    return Disposition == FILE_CREATE || Disposition == FILE_OPEN || Disposition == FILE_OPEN_IF;
}


bool ValidCreateParameters(ACCESS_MASK Access, ULONG Attributes, ULONG Share, ULONG Disposition, ULONG Options) {
    constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
    if (Attributes & ~FILE_ATTRIBUTE_VALID_FLAGS) return false;
    if (Share & ~FILE_SHARE_VALID_FLAGS) return false;
    if (Disposition > FILE_MAXIMUM_DISPOSITION) return false;
    if (Options & ~FILE_VALID_OPTION_FLAGS) return false;
    if ((Options & kSynchronous) == kSynchronous) return false;
    if ((Options & kSynchronous) && !(Access & SYNCHRONIZE)) return false;
    if ((Options & FILE_DELETE_ON_CLOSE) && !(Access & DELETE)) return false;
    if ((Options & FILE_DIRECTORY_FILE) && (Options & FILE_NON_DIRECTORY_FILE)) return false;
    if ((Options & FILE_DIRECTORY_FILE) && !ValidDirectoryOpen(Disposition, Options)) return false;
    if ((Options & FILE_COMPLETE_IF_OPLOCKED) && (Options & FILE_RESERVE_OPFILTER)) return false;
    if ((Options & FILE_NO_INTERMEDIATE_BUFFERING) && (Access & FILE_APPEND_DATA)) return false;
    return true;
}

NTSTATUS CaptureEaBuffer(PVOID EaBuffer, ULONG EaLength, bool Check, OpenPacket* Packet) {
    if (EaBuffer == nullptr || EaLength == 0) return STATUS_SUCCESS;
    if (Check && !IoValidEaBuffer(EaBuffer, EaLength)) return STATUS_EA_CORRUPT_ERROR;
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, EaLength, kTagEaBuffer);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, EaBuffer, EaLength);
    Packet->EaBuffer = copy;
    Packet->EaLength = EaLength;
    return STATUS_SUCCESS;
}

struct CreateRequest {
    PHANDLE FileHandle;
    ACCESS_MASK DesiredAccess;
    POBJECT_ATTRIBUTES ObjectAttributes;
    PIO_STATUS_BLOCK IoStatusBlock;
    PLARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG ShareAccess;
    ULONG Disposition;
    ULONG CreateOptions;
    PVOID EaBuffer;
    ULONG EaLength;
    ULONG Options;
    PDEVICE_OBJECT DeviceHint;
    KPROCESSOR_MODE Mode;
};

NTSTATUS CreateFile(const CreateRequest& Request) {
    if (Request.FileHandle == nullptr || Request.ObjectAttributes == nullptr || Request.IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request.FileHandle = nullptr;
    bool check = Request.Mode != KernelMode ||
                 ((Request.Options & IO_CHECK_CREATE_PARAMETERS) && !(Request.Options & IO_NO_PARAMETER_CHECKING));
    if (check && !ValidCreateParameters(Request.DesiredAccess, Request.FileAttributes, Request.ShareAccess,
                                        Request.Disposition, Request.CreateOptions)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request.Mode == UserMode && Request.EaLength != 0 && !IsUserRange(Request.EaBuffer, Request.EaLength)) {
        return STATUS_ACCESS_VIOLATION;
    }
    OpenPacket packet;
    packet.DesiredAccess = Request.DesiredAccess;
    packet.AllocationSize = Request.AllocationSize;
    packet.FileAttributes = Request.FileAttributes;
    packet.ShareAccess = Request.ShareAccess;
    packet.Disposition = Request.Disposition;
    packet.CreateOptions = Request.CreateOptions;
    packet.Options = Request.Options;
    packet.SecurityDescriptor = Request.ObjectAttributes->SecurityDescriptor;
    packet.Qos = static_cast<PSECURITY_QUALITY_OF_SERVICE>(Request.ObjectAttributes->SecurityQualityOfService);
    packet.RequestorMode = Request.Mode;
    packet.DeviceHint = Request.DeviceHint;
    NTSTATUS status = CaptureEaBuffer(Request.EaBuffer, Request.EaLength, check, &packet);
    if (!NT_SUCCESS(status)) return status;

    HANDLE handle = nullptr;
    status = ObOpenObjectByNameEx(Request.ObjectAttributes, &IoFileType, Request.Mode, Request.DesiredAccess,
                                  &packet, &handle);
    if (packet.EaBuffer != nullptr) ExFreePool(packet.EaBuffer);
    if (!NT_SUCCESS(status)) {
        Request.IoStatusBlock->Status = status;
        Request.IoStatusBlock->Information = packet.ReachedDriver ? packet.Information : 0;
        return status;
    }
    packet.FileObject->Flags |= FO_HANDLE_CREATED;
    Request.IoStatusBlock->Status = packet.FinalStatus;
    Request.IoStatusBlock->Information = packet.Information;
    *Request.FileHandle = handle;
    return packet.FinalStatus;
}

CreateRequest OpenRequest(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                          PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions,
                          KPROCESSOR_MODE Mode) {
    return {FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
            OpenOptions, nullptr, 0, 0, nullptr, Mode};
}

}  // namespace

bool IoValidEaBuffer(PVOID EaBuffer, ULONG EaLength) {
    ULONG offset = 0;
    for (;;) {
        if (EaLength - offset < FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName)) return false;
        auto* ea = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(static_cast<PUCHAR>(EaBuffer) + offset);
        ULONG size = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + ea->EaNameLength + 1u + ea->EaValueLength;
        if (size > EaLength - offset) return false;
        if (ea->NextEntryOffset == 0) return true;
        if (ea->NextEntryOffset < size || (ea->NextEntryOffset & 3)) return false;
        if (ea->NextEntryOffset > EaLength - offset) return false;
        offset += ea->NextEntryOffset;
    }
}

NTSTATUS IoParseDevice(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object) {
    *Object = nullptr;
    auto* device = static_cast<PDEVICE_OBJECT>(ParseObject);
    OpenPacket* packet = PacketOf(Request->ParseContext);
    if (packet == nullptr) return ReferenceDeviceItself(device, Request, Object);
    PFILE_OBJECT related = packet->RelatedFileObject;
    packet->RelatedFileObject = nullptr;
    packet->ParseCount++;
    return OpenThroughDevice(device, related, Request, packet, Object);
}

NTSTATUS IoParseFile(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object) {
    *Object = nullptr;
    auto* related = static_cast<PFILE_OBJECT>(ParseObject);
    OpenPacket* packet = PacketOf(Request->ParseContext);
    if (packet == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    packet->RelatedFileObject = related;
    return IoParseDevice(related->DeviceObject, Request, Object);
}

}  // namespace plat

using namespace plat;

extern "C" NTSTATUS NTAPI IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                       CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options) {
    return IoCreateFileSpecifyDeviceObjectHint(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                                               AllocationSize, FileAttributes, ShareAccess, Disposition,
                                               CreateOptions, EaBuffer, EaLength, CreateFileType,
                                               InternalParameters, Options, nullptr);
}

// The Io create routines serve kernel-mode callers: the create runs with
// RequestorMode KernelMode; IO_FORCE_ACCESS_CHECK asks the file system for
// user-mode access checks (SL_FORCE_ACCESS_CHECK).
extern "C" NTSTATUS NTAPI IoCreateFileSpecifyDeviceObjectHint(
    PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
    PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
    ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, CREATE_FILE_TYPE CreateFileType,
    PVOID InternalParameters, ULONG Options, PVOID DeviceObject) {
    if (CreateFileType != CreateFileTypeNone || InternalParameters != nullptr) return STATUS_NOT_SUPPORTED;
    PreviousModeScope kernel(KernelMode);
    return CreateFile({FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                       ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength, Options,
                       static_cast<PDEVICE_OBJECT>(DeviceObject), KernelMode});
}

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                       ULONG EaLength) {
    PreviousModeScope kernel(KernelMode);
    return CreateFile({FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                       ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, 0, nullptr, KernelMode});
}

extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                       ULONG EaLength) {
    return CreateFile({FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                       ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, 0, nullptr,
                       ExGetPreviousMode()});
}

extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG ShareAccess, ULONG OpenOptions) {
    PreviousModeScope kernel(KernelMode);
    return CreateFile(OpenRequest(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess,
                                  OpenOptions, KernelMode));
}

extern "C" NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG ShareAccess, ULONG OpenOptions) {
    return CreateFile(OpenRequest(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess,
                                  OpenOptions, ExGetPreviousMode()));
}

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = ZwOpenFile(&handle, DesiredAccess, &attributes, &iosb, 0, FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status)) return status;
    PVOID file = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr);
    if (NT_SUCCESS(status)) {
        *FileObject = static_cast<PFILE_OBJECT>(file);
        *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    }
    ZwClose(handle);
    return status;
}
