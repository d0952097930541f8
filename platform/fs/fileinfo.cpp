// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION. Buffers are the
// request's SystemBuffer. Fixed-size classes need their whole structure
// (STATUS_INFO_LENGTH_MISMATCH otherwise); classes ending in a name return
// what fits with STATUS_BUFFER_OVERFLOW.
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

struct QueryContext {
    Vcb* Volume;
    PFILE_OBJECT File;
    FileContext Ctx;
    void* Buffer;
    ULONG Length;
};

void FillBasic(PFILE_BASIC_INFORMATION b, const FileSnapshot& s) {
    RtlZeroMemory(b, sizeof(*b));
    b->CreationTime.QuadPart = s.Times.Creation;
    b->LastAccessTime.QuadPart = s.Times.LastAccess;
    b->LastWriteTime.QuadPart = s.Times.LastWrite;
    b->ChangeTime.QuadPart = s.Times.Change;
    b->FileAttributes = s.Attributes;
}

void FillStandard(PFILE_STANDARD_INFORMATION b, const FileSnapshot& s) {
    RtlZeroMemory(b, sizeof(*b));
    b->AllocationSize.QuadPart = static_cast<LONGLONG>(s.Allocation);
    b->EndOfFile.QuadPart = static_cast<LONGLONG>(s.EndOfFile);
    b->NumberOfLinks = s.NumberOfLinks;
    b->DeletePending = s.DeletePending;
    b->Directory = s.IsDirectory;
}

ULONG ModeOf(PFILE_OBJECT file) {
    ULONG mode = 0;
    if (file->Flags & FO_SYNCHRONOUS_IO) {
        mode |= (file->Flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
    }
    if (file->Flags & FO_WRITE_THROUGH) mode |= FILE_WRITE_THROUGH;
    if (file->Flags & FO_SEQUENTIAL_ONLY) mode |= FILE_SEQUENTIAL_ONLY;
    if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) mode |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (file->Flags & FO_DELETE_ON_CLOSE) mode |= FILE_DELETE_ON_CLOSE;
    return mode;
}

// A FILE_NAME_INFORMATION at `info` in a buffer of `room` bytes from there:
// the full length is reported, as much of the name as fits is copied.
NTSTATUS FillName(PFILE_NAME_INFORMATION info, ULONG room, const Name& name, ULONG* used) {
    ULONG fixed = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    info->FileNameLength = bytes;
    ULONG copied = room - fixed < bytes ? room - fixed : bytes;
    RtlCopyMemory(info->FileName, name.data(), copied);
    *used = fixed + copied;
    return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS Snapshot(QueryContext& q, FileSnapshot* s) {
    return q.Volume->Engine->Query(q.Ctx.Open, s);
}

template <typename T>
NTSTATUS QueryFixed(QueryContext& q, ULONG* used, void (*fill)(T*, const FileSnapshot&, QueryContext&)) {
    if (q.Length < sizeof(T)) return STATUS_INFO_LENGTH_MISMATCH;
    FileSnapshot s;
    NTSTATUS status = Snapshot(q, &s);
    if (!NT_SUCCESS(status)) return status;
    fill(static_cast<T*>(q.Buffer), s, q);
    *used = sizeof(T);
    return STATUS_SUCCESS;
}

NTSTATUS QueryName(QueryContext& q, ULONG* used) {
    if (q.Length < FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)) return STATUS_INFO_LENGTH_MISMATCH;
    Name path;
    NTSTATUS status = q.Volume->Engine->PathOf(q.Ctx.Open, &path);
    if (!NT_SUCCESS(status)) return status;
    return FillName(static_cast<PFILE_NAME_INFORMATION>(q.Buffer), q.Length, path, used);
}

NTSTATUS QueryAlternateName(QueryContext& q, ULONG* used) {
    if (q.Length < FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)) return STATUS_INFO_LENGTH_MISMATCH;
    FileSnapshot s;
    NTSTATUS status = Snapshot(q, &s);
    if (!NT_SUCCESS(status)) return status;
    if (s.ShortName.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillName(static_cast<PFILE_NAME_INFORMATION>(q.Buffer), q.Length, s.ShortName, used);
}

NTSTATUS QueryAll(QueryContext& q, ULONG* used) {
    ULONG fixed = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName);
    if (q.Length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    FileSnapshot s;
    NTSTATUS status = Snapshot(q, &s);
    if (!NT_SUCCESS(status)) return status;
    Name path;
    status = q.Volume->Engine->PathOf(q.Ctx.Open, &path);
    if (!NT_SUCCESS(status)) return status;
    auto* all = static_cast<PFILE_ALL_INFORMATION>(q.Buffer);
    RtlZeroMemory(all, fixed);
    FillBasic(&all->BasicInformation, s);
    FillStandard(&all->StandardInformation, s);
    all->InternalInformation.IndexNumber.QuadPart = static_cast<LONGLONG>(s.IndexNumber);
    all->EaInformation.EaSize = s.EaSize;
    all->AccessInformation.AccessFlags = q.Ctx.Open->Granted;
    all->PositionInformation.CurrentByteOffset = q.File->CurrentByteOffset;
    all->ModeInformation.Mode = ModeOf(q.File);
    all->AlignmentInformation.AlignmentRequirement = q.Volume->VolumeDevice->AlignmentRequirement;
    ULONG nameUsed = 0;
    status = FillName(&all->NameInformation, q.Length - FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation), path,
                      &nameUsed);
    *used = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation) + nameUsed;
    return status;
}

// "::$DATA" for the unnamed stream, ":name:$DATA" for the others, chained
// on 8-byte boundaries; whole entries only.
NTSTATUS QueryStreams(QueryContext& q, ULONG* used) {
    if (q.Volume->Kind != FsKind::Ntfs) return STATUS_INVALID_PARAMETER;
    std::vector<StreamInfo> streams = q.Volume->Engine->Streams(q.Ctx.Open);
    auto* base = static_cast<uint8_t*>(q.Buffer);
    ULONG offset = 0;
    PFILE_STREAM_INFORMATION previous = nullptr;
    *used = 0;
    for (const StreamInfo& s : streams) {
        Name name = u":" + s.StreamName + u":$DATA";
        ULONG size = FIELD_OFFSET(FILE_STREAM_INFORMATION, StreamName) + static_cast<ULONG>(name.size() * 2);
        if (q.Length < offset || q.Length - offset < size) return STATUS_BUFFER_OVERFLOW;
        auto* entry = reinterpret_cast<PFILE_STREAM_INFORMATION>(base + offset);
        entry->NextEntryOffset = 0;
        entry->StreamNameLength = static_cast<ULONG>(name.size() * 2);
        entry->StreamSize.QuadPart = static_cast<LONGLONG>(s.Size);
        entry->StreamAllocationSize.QuadPart = static_cast<LONGLONG>(s.Allocation);
        RtlCopyMemory(entry->StreamName, name.data(), name.size() * 2);
        if (previous) previous->NextEntryOffset = static_cast<ULONG>(reinterpret_cast<uint8_t*>(entry) -
                                                                     reinterpret_cast<uint8_t*>(previous));
        previous = entry;
        *used = offset + size;
        offset = static_cast<ULONG>(ALIGN_UP_BY(offset + size, 8));
    }
    return STATUS_SUCCESS;
}

void FillBasicQ(FILE_BASIC_INFORMATION* b, const FileSnapshot& s, QueryContext&) { FillBasic(b, s); }
void FillStandardQ(FILE_STANDARD_INFORMATION* b, const FileSnapshot& s, QueryContext&) { FillStandard(b, s); }
void FillInternal(FILE_INTERNAL_INFORMATION* b, const FileSnapshot& s, QueryContext&) {
    b->IndexNumber.QuadPart = static_cast<LONGLONG>(s.IndexNumber);
}
void FillEa(FILE_EA_INFORMATION* b, const FileSnapshot& s, QueryContext&) { b->EaSize = s.EaSize; }
void FillAccess(FILE_ACCESS_INFORMATION* b, const FileSnapshot&, QueryContext& q) {
    b->AccessFlags = q.Ctx.Open->Granted;
}
void FillPosition(FILE_POSITION_INFORMATION* b, const FileSnapshot&, QueryContext& q) {
    b->CurrentByteOffset = q.File->CurrentByteOffset;
}
void FillMode(FILE_MODE_INFORMATION* b, const FileSnapshot&, QueryContext& q) { b->Mode = ModeOf(q.File); }
void FillAlignment(FILE_ALIGNMENT_INFORMATION* b, const FileSnapshot&, QueryContext& q) {
    b->AlignmentRequirement = q.Volume->VolumeDevice->AlignmentRequirement;
}
void FillNetworkOpen(FILE_NETWORK_OPEN_INFORMATION* b, const FileSnapshot& s, QueryContext&) {
    RtlZeroMemory(b, sizeof(*b));
    b->CreationTime.QuadPart = s.Times.Creation;
    b->LastAccessTime.QuadPart = s.Times.LastAccess;
    b->LastWriteTime.QuadPart = s.Times.LastWrite;
    b->ChangeTime.QuadPart = s.Times.Change;
    b->AllocationSize.QuadPart = static_cast<LONGLONG>(s.Allocation);
    b->EndOfFile.QuadPart = static_cast<LONGLONG>(s.EndOfFile);
    b->FileAttributes = s.Attributes;
}
void FillAttributeTag(FILE_ATTRIBUTE_TAG_INFORMATION* b, const FileSnapshot& s, QueryContext&) {
    b->FileAttributes = s.Attributes;
    b->ReparseTag = (s.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? s.ReparseTag : 0;
}
void FillCompression(FILE_COMPRESSION_INFORMATION* b, const FileSnapshot& s, QueryContext&) {
    RtlZeroMemory(b, sizeof(*b));
    b->CompressedFileSize.QuadPart = static_cast<LONGLONG>(s.Allocation);
    if (s.Attributes & FILE_ATTRIBUTE_COMPRESSED) {
        b->CompressionFormat = COMPRESSION_FORMAT_LZNT1;
        b->CompressionUnitShift = 16;
        b->ChunkShift = 12;
        b->ClusterShift = 12;
    }
}

NTSTATUS Query(QueryContext& q, FILE_INFORMATION_CLASS infoClass, ULONG* used) {
    switch (infoClass) {
        case FileBasicInformation: return QueryFixed<FILE_BASIC_INFORMATION>(q, used, FillBasicQ);
        case FileStandardInformation: return QueryFixed<FILE_STANDARD_INFORMATION>(q, used, FillStandardQ);
        case FileInternalInformation: return QueryFixed<FILE_INTERNAL_INFORMATION>(q, used, FillInternal);
        case FileEaInformation: return QueryFixed<FILE_EA_INFORMATION>(q, used, FillEa);
        case FileAccessInformation: return QueryFixed<FILE_ACCESS_INFORMATION>(q, used, FillAccess);
        case FilePositionInformation: return QueryFixed<FILE_POSITION_INFORMATION>(q, used, FillPosition);
        case FileModeInformation: return QueryFixed<FILE_MODE_INFORMATION>(q, used, FillMode);
        case FileAlignmentInformation: return QueryFixed<FILE_ALIGNMENT_INFORMATION>(q, used, FillAlignment);
        case FileNetworkOpenInformation: return QueryFixed<FILE_NETWORK_OPEN_INFORMATION>(q, used, FillNetworkOpen);
        case FileAttributeTagInformation:
            return QueryFixed<FILE_ATTRIBUTE_TAG_INFORMATION>(q, used, FillAttributeTag);
        case FileCompressionInformation:
            if (q.Volume->Kind != FsKind::Ntfs) return STATUS_INVALID_PARAMETER;
            return QueryFixed<FILE_COMPRESSION_INFORMATION>(q, used, FillCompression);
        case FileNameInformation: return QueryName(q, used);
        case FileAlternateNameInformation: return QueryAlternateName(q, used);
        case FileAllInformation: return QueryAll(q, used);
        case FileStreamInformation: return QueryStreams(q, used);
        default: return STATUS_INVALID_PARAMETER;
    }
}

// ---- Set ------------------------------------------------------------------------------------

NTSTATUS SetBasic(QueryContext& q, ChangeEvents* events) {
    if (q.Length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto* b = static_cast<PFILE_BASIC_INFORMATION>(q.Buffer);
    FileTimes times{b->CreationTime.QuadPart, b->LastAccessTime.QuadPart, b->LastWriteTime.QuadPart,
                    b->ChangeTime.QuadPart};
    return q.Volume->Engine->SetBasic(q.Ctx.Open, times, b->FileAttributes, events);
}

// Rename and link: the target directory is the file object the I/O manager
// opened for it (SL_OPEN_TARGET_DIRECTORY), the new name the last component
// of the given name; without one, a plain name in the file's own directory.
NTSTATUS SetName(QueryContext& q, PIO_STACK_LOCATION sp, bool link, ChangeEvents* events) {
    auto* info = static_cast<PFILE_RENAME_INFORMATION>(q.Buffer);
    ULONG fixed = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    if (q.Length < fixed || info->FileNameLength > q.Length - fixed || info->FileNameLength == 0 ||
        (info->FileNameLength & 1)) {
        return STATUS_INVALID_PARAMETER;
    }
    Name given = NameFromWide(info->FileName, info->FileNameLength / sizeof(WCHAR));
    size_t slash = given.rfind(u'\\');
    Name newName = slash == Name::npos ? given : given.substr(slash + 1);
    const OpenFile* targetDir = nullptr;
    if (PFILE_OBJECT target = sp->Parameters.SetFile.FileObject) {
        FileContext targetCtx;
        if (!GetFileContext(q.Volume, target, &targetCtx)) return STATUS_NOT_SAME_DEVICE;
        targetDir = targetCtx.Open;
    } else if (slash != Name::npos) {
        return STATUS_INVALID_PARAMETER;
    }
    bool replace = sp->Parameters.SetFile.ReplaceIfExists || info->ReplaceIfExists;
    Volume& engine = *q.Volume->Engine;
    return link ? engine.HardLink(q.Ctx.Open, targetDir, newName, replace, events)
                : engine.Rename(q.Ctx.Open, targetDir, newName, replace, events);
}

NTSTATUS SetDisposition(QueryContext& q) {
    if (q.Length < sizeof(FILE_DISPOSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    BOOLEAN deleteFile = static_cast<PFILE_DISPOSITION_INFORMATION>(q.Buffer)->DeleteFile;
    NTSTATUS status = q.Volume->Engine->SetDisposition(q.Ctx.Open, deleteFile != FALSE);
    if (NT_SUCCESS(status)) q.File->DeletePending = deleteFile;
    return status;
}

NTSTATUS SetPosition(QueryContext& q) {
    if (q.Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    LARGE_INTEGER position = static_cast<PFILE_POSITION_INFORMATION>(q.Buffer)->CurrentByteOffset;
    if (position.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    if ((q.File->Flags & FO_NO_INTERMEDIATE_BUFFERING) && (position.QuadPart % kSectorSize) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    q.File->CurrentByteOffset = position;
    return STATUS_SUCCESS;
}

NTSTATUS SetEndOfFile(QueryContext& q, PIO_STACK_LOCATION sp, ChangeEvents* events) {
    if (q.Length < sizeof(FILE_END_OF_FILE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    LONGLONG size = static_cast<PFILE_END_OF_FILE_INFORMATION>(q.Buffer)->EndOfFile.QuadPart;
    if (size < 0) return STATUS_INVALID_PARAMETER;
    if (sp->Parameters.SetFile.AdvanceOnly) {
        FileSnapshot s;
        NTSTATUS status = q.Volume->Engine->Query(q.Ctx.Open, &s);
        if (!NT_SUCCESS(status)) return status;
        if (static_cast<uint64_t>(size) <= s.EndOfFile) return STATUS_SUCCESS;
    }
    NTSTATUS status = q.Volume->Engine->SetEndOfFile(q.Ctx.Open, static_cast<uint64_t>(size), events);
    if (NT_SUCCESS(status)) q.File->Flags |= FO_FILE_SIZE_CHANGED;
    return status;
}

NTSTATUS SetAllocation(QueryContext& q, ChangeEvents* events) {
    if (q.Length < sizeof(FILE_ALLOCATION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    LONGLONG size = static_cast<PFILE_ALLOCATION_INFORMATION>(q.Buffer)->AllocationSize.QuadPart;
    if (size < 0) return STATUS_INVALID_PARAMETER;
    return q.Volume->Engine->SetAllocation(q.Ctx.Open, static_cast<uint64_t>(size), events);
}

NTSTATUS Set(QueryContext& q, PIO_STACK_LOCATION sp, ChangeEvents* events) {
    switch (sp->Parameters.SetFile.FileInformationClass) {
        case FileBasicInformation: return SetBasic(q, events);
        case FileRenameInformation: return SetName(q, sp, false, events);
        case FileLinkInformation: return SetName(q, sp, true, events);
        case FileDispositionInformation: return SetDisposition(q);
        case FilePositionInformation: return SetPosition(q);
        case FileEndOfFileInformation: return SetEndOfFile(q, sp, events);
        case FileAllocationInformation: return SetAllocation(q, events);
        case FileValidDataLengthInformation: return STATUS_SUCCESS;
        default: return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS DispatchQueryInformation(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    QueryContext q{vcb, sp->FileObject, {}, irp->AssociatedIrp.SystemBuffer, sp->Parameters.QueryFile.Length};
    if (!GetFileContext(vcb, q.File, &q.Ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (q.Buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_USER_BUFFER, 0);
    if (q.Ctx.Open->Kind == OpenKind::Volume) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG used = 0;
    NTSTATUS status = Query(q, sp->Parameters.QueryFile.FileInformationClass, &used);
    if (NT_ERROR(status)) used = 0;
    return CompleteRequest(irp, status, used);
}

NTSTATUS DispatchSetInformation(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    QueryContext q{vcb, sp->FileObject, {}, irp->AssociatedIrp.SystemBuffer, sp->Parameters.SetFile.Length};
    if (!GetFileContext(vcb, q.File, &q.Ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (q.Buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_USER_BUFFER, 0);
    if (q.Ctx.Open->Kind == OpenKind::Volume) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ChangeEvents events;
    NTSTATUS status = Set(q, sp, &events);
    RefreshFcbSizes(vcb, q.Ctx.FcbBlock, q.Ctx.Open);
    ReportChanges(vcb, events);
    return CompleteRequest(irp, status, 0);
}

}  // namespace plat::fs
