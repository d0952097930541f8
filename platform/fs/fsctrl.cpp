// IRP_MJ_FILE_SYSTEM_CONTROL on a volume: the FSCTLs of user and kernel
// callers. METHOD_BUFFERED controls carry their input and output in the
// SystemBuffer; METHOD_NEITHER ones in Type3InputBuffer and UserBuffer.
// FAT answers what it cannot do with STATUS_INVALID_DEVICE_REQUEST, and so
// do both personalities for the encryption controls (no encryption support).
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

constexpr ULONG kObjectIdBufferSize = sizeof(FILE_OBJECTID_BUFFER);

struct Control {
    Vcb* Volume;
    PIRP Irp;
    PIO_STACK_LOCATION Sp;
    FileContext Ctx;
    ULONG InputLength;
    ULONG OutputLength;
    void* System;  // METHOD_BUFFERED in/out
};

bool IsNtfs(const Control& c) {
    return c.Volume->Kind == FsKind::Ntfs;
}

// User-mode callers that change a file's reparse point or object ID need
// write access to it, as NTFS asks.
bool MayChange(const Control& c) {
    if (c.Irp->RequestorMode != UserMode) return true;
    return (c.Ctx.Open->Granted & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)) != 0;
}

void CopyRecord(PFILE_OBJECTID_BUFFER out, const ObjectIdRecord& record) {
    RtlCopyMemory(out->ObjectId, record.Id.data(), record.Id.size());
    RtlCopyMemory(out->ExtendedInfo, record.Extended.data(), record.Extended.size());
}

NTSTATUS GetObjectId(Control& c, bool create, ULONG_PTR* information) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.OutputLength < kObjectIdBufferSize || c.System == nullptr) return STATUS_BUFFER_TOO_SMALL;
    ObjectIdRecord record;
    NTSTATUS status = create ? c.Volume->Engine->CreateOrGetObjectId(c.Ctx.Open, &record)
                             : c.Volume->Engine->GetObjectId(c.Ctx.Open, &record);
    if (!NT_SUCCESS(status)) return status;
    CopyRecord(static_cast<PFILE_OBJECTID_BUFFER>(c.System), record);
    *information = kObjectIdBufferSize;
    return STATUS_SUCCESS;
}

NTSTATUS SetObjectId(Control& c) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.InputLength < kObjectIdBufferSize || c.System == nullptr) return STATUS_INVALID_PARAMETER;
    if (!MayChange(c)) return STATUS_ACCESS_DENIED;
    auto* in = static_cast<PFILE_OBJECTID_BUFFER>(c.System);
    ObjectIdRecord record;
    RtlCopyMemory(record.Id.data(), in->ObjectId, record.Id.size());
    RtlCopyMemory(record.Extended.data(), in->ExtendedInfo, record.Extended.size());
    return c.Volume->Engine->SetObjectId(c.Ctx.Open, record);
}

NTSTATUS SetObjectIdExtended(Control& c) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    std::array<uint8_t, 48> extended{};
    if (c.InputLength < extended.size() || c.System == nullptr) return STATUS_INVALID_PARAMETER;
    if (!MayChange(c)) return STATUS_ACCESS_DENIED;
    RtlCopyMemory(extended.data(), c.System, extended.size());
    return c.Volume->Engine->SetObjectIdExtended(c.Ctx.Open, extended);
}

NTSTATUS DeleteObjectId(Control& c) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (!MayChange(c)) return STATUS_ACCESS_DENIED;
    return c.Volume->Engine->DeleteObjectId(c.Ctx.Open);
}

NTSTATUS SetReparsePoint(Control& c, ChangeEvents* events) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.System == nullptr || c.InputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) return STATUS_IO_REPARSE_DATA_INVALID;
    if (!MayChange(c)) return STATUS_ACCESS_DENIED;
    auto* bytes = static_cast<const uint8_t*>(c.System);
    std::vector<uint8_t> data(bytes, bytes + c.InputLength);
    return c.Volume->Engine->SetReparsePoint(c.Ctx.Open, data, events);
}

// A short buffer gets what fits with STATUS_BUFFER_OVERFLOW; one shorter
// than the header gets nothing.
NTSTATUS GetReparsePoint(Control& c, ULONG_PTR* information) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<uint8_t> data;
    NTSTATUS status = c.Volume->Engine->GetReparsePoint(c.Ctx.Open, &data);
    if (!NT_SUCCESS(status)) return status;
    if (c.System == nullptr || c.OutputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) return STATUS_BUFFER_TOO_SMALL;
    ULONG copied = std::min<ULONG>(c.OutputLength, static_cast<ULONG>(data.size()));
    RtlCopyMemory(c.System, data.data(), copied);
    *information = copied;
    return copied < data.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS DeleteReparsePoint(Control& c, ChangeEvents* events) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.System == nullptr || c.InputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) return STATUS_IO_REPARSE_DATA_INVALID;
    if (!MayChange(c)) return STATUS_ACCESS_DENIED;
    auto* header = static_cast<PREPARSE_DATA_BUFFER>(c.System);
    if (header->ReparseDataLength != 0) return STATUS_IO_REPARSE_DATA_INVALID;
    return c.Volume->Engine->DeleteReparsePoint(c.Ctx.Open, header->ReparseTag, events);
}

NTSTATUS SetCompression(Control& c, ChangeEvents* events) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.System == nullptr || c.InputLength < sizeof(USHORT)) return STATUS_INVALID_PARAMETER;
    return c.Volume->Engine->SetCompression(c.Ctx.Open, *static_cast<PUSHORT>(c.System), events);
}

NTSTATUS GetCompression(Control& c, ULONG_PTR* information) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.System == nullptr || c.OutputLength < sizeof(USHORT)) return STATUS_BUFFER_TOO_SMALL;
    uint16_t format = 0;
    NTSTATUS status = c.Volume->Engine->GetCompression(c.Ctx.Open, &format);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PUSHORT>(c.System) = format;
    *information = sizeof(USHORT);
    return STATUS_SUCCESS;
}

// Volume size in sectors (LONGLONG). The volume may grow up to its disk.
NTSTATUS ExtendVolume(Control& c) {
    if (!IsNtfs(c)) return STATUS_INVALID_DEVICE_REQUEST;
    if (c.System == nullptr || c.InputLength < sizeof(LONGLONG)) return STATUS_INVALID_PARAMETER;
    LONGLONG sectors = *static_cast<PLONGLONG>(c.System);
    if (sectors <= 0) return STATUS_INVALID_PARAMETER;
    uint64_t bytes = static_cast<uint64_t>(sectors) * kSectorSize;
    if (bytes > c.Volume->Disk->Config().SizeBytes) return STATUS_INVALID_PARAMETER;
    return c.Volume->Engine->Extend(bytes);
}

// The allocation of a file as one run of clusters (nothing reads the result
// closely); directories and volume opens have none.
NTSTATUS QueryRetrievalPointers(Control& c, ULONG_PTR* information) {
    if (c.Ctx.Open->Kind != OpenKind::File && c.Ctx.Open->Kind != OpenKind::Stream) return STATUS_INVALID_PARAMETER;
    FileSnapshot info;
    NTSTATUS status = c.Volume->Engine->Query(c.Ctx.Open, &info);
    if (!NT_SUCCESS(status)) return status;
    auto* out = static_cast<PLONGLONG>(c.Irp->UserBuffer);
    if (out == nullptr || c.OutputLength < 2 * sizeof(LONGLONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG cluster = c.Volume->Engine->Info().ClusterSize;
    out[0] = static_cast<LONGLONG>(info.Allocation / cluster);
    out[1] = static_cast<LONGLONG>(info.Id) * 16;
    *information = 2 * sizeof(LONGLONG);
    return STATUS_SUCCESS;
}

NTSTATUS LockVolume(Control& c) {
    std::lock_guard<std::mutex> guard(c.Volume->Lock);
    if (c.Volume->FileObjects > 1) return STATUS_ACCESS_DENIED;
    c.Volume->Locked = true;
    return STATUS_SUCCESS;
}

NTSTATUS UnlockVolume(Control& c) {
    std::lock_guard<std::mutex> guard(c.Volume->Lock);
    if (!c.Volume->Locked) return STATUS_NOT_LOCKED;
    c.Volume->Locked = false;
    return STATUS_SUCCESS;
}

NTSTATUS UserRequest(Control& c, ULONG code, ULONG_PTR* information, ChangeEvents* events) {
    switch (code) {
        case FSCTL_DISMOUNT_VOLUME: return DismountVolume(c.Volume);
        case FSCTL_LOCK_VOLUME: return LockVolume(c);
        case FSCTL_UNLOCK_VOLUME: return UnlockVolume(c);
        case FSCTL_IS_VOLUME_MOUNTED: return STATUS_SUCCESS;
        case FSCTL_QUERY_RETRIEVAL_POINTERS: return QueryRetrievalPointers(c, information);
        case FSCTL_EXTEND_VOLUME: return ExtendVolume(c);
        case FSCTL_SET_COMPRESSION: return SetCompression(c, events);
        case FSCTL_GET_COMPRESSION: return GetCompression(c, information);
        case FSCTL_SET_OBJECT_ID: return SetObjectId(c);
        case FSCTL_SET_OBJECT_ID_EXTENDED: return SetObjectIdExtended(c);
        case FSCTL_GET_OBJECT_ID: return GetObjectId(c, false, information);
        case FSCTL_CREATE_OR_GET_OBJECT_ID: return GetObjectId(c, true, information);
        case FSCTL_DELETE_OBJECT_ID: return DeleteObjectId(c);
        case FSCTL_SET_REPARSE_POINT: return SetReparsePoint(c, events);
        case FSCTL_GET_REPARSE_POINT: return GetReparsePoint(c, information);
        case FSCTL_DELETE_REPARSE_POINT: return DeleteReparsePoint(c, events);
        case FSCTL_SET_ENCRYPTION:
        case FSCTL_ENCRYPTION_FSCTL_IO:
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace

NTSTATUS DispatchFileSystemControl(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_USER_FS_REQUEST:
        case IRP_MN_KERNEL_CALL:
            break;
        case IRP_MN_VERIFY_VOLUME:
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    Control c{vcb, irp, sp, {}, sp->Parameters.FileSystemControl.InputBufferLength,
              sp->Parameters.FileSystemControl.OutputBufferLength, irp->AssociatedIrp.SystemBuffer};
    if (!GetFileContext(vcb, sp->FileObject, &c.Ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG_PTR information = 0;
    ChangeEvents events;
    NTSTATUS status = UserRequest(c, sp->Parameters.FileSystemControl.FsControlCode, &information, &events);
    ReportChanges(vcb, events);
    return CompleteRequest(irp, status, NT_ERROR(status) ? 0 : information);
}

}  // namespace plat::fs
