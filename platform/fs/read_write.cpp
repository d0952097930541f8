// IRP_MJ_READ and IRP_MJ_WRITE.
//
// Offsets: the request's ByteOffset, or the file object's position for
// FILE_USE_FILE_POINTER_POSITION; FILE_WRITE_TO_END_OF_FILE appends. For
// synchronous file objects the position moves past what was transferred.
// Files opened with FILE_NO_INTERMEDIATE_BUFFERING take sector-aligned
// offsets and lengths (512), except for a last piece that reaches the end of
// the file. Writes set FO_FILE_MODIFIED (and FO_FILE_SIZE_CHANGED when the
// file grows); writes on write-through handles reach the disk at once.
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

bool IsSectorAligned(uint64_t value) {
    return (value % kSectorSize) == 0;
}

// The starting offset of a transfer; false when it cannot be used.
bool TransferOffset(PFILE_OBJECT file, const LARGE_INTEGER& requested, bool write, uint64_t* offset, bool* append) {
    *append = false;
    if (requested.HighPart == -1 && requested.LowPart == FILE_WRITE_TO_END_OF_FILE) {
        if (!write) return false;
        *append = true;
        *offset = 0;
        return true;
    }
    if (requested.HighPart == -1 && requested.LowPart == FILE_USE_FILE_POINTER_POSITION) {
        *offset = static_cast<uint64_t>(file->CurrentByteOffset.QuadPart);
        return true;
    }
    if (requested.QuadPart < 0) return false;
    *offset = static_cast<uint64_t>(requested.QuadPart);
    return true;
}

// FILE_NO_INTERMEDIATE_BUFFERING: aligned, or a last piece reaching the end.
bool AlignmentAllowed(PFILE_OBJECT file, uint64_t offset, ULONG length, uint64_t endOfFile) {
    if (!(file->Flags & FO_NO_INTERMEDIATE_BUFFERING)) return true;
    if (!IsSectorAligned(offset)) return false;
    return IsSectorAligned(length) || offset + length >= endOfFile;
}

// The stream's size before a transfer; directories and volume opens have no
// data to transfer.
NTSTATUS StreamSize(Vcb* vcb, const OpenFile* open, FileSnapshot* info) {
    NTSTATUS status = vcb->Engine->Query(open, info);
    return status == STATUS_INVALID_PARAMETER ? STATUS_INVALID_DEVICE_REQUEST : status;
}

void AdvancePosition(PFILE_OBJECT file, uint64_t offset, size_t transferred) {
    if (file->Flags & FO_SYNCHRONOUS_IO) file->CurrentByteOffset.QuadPart = static_cast<LONGLONG>(offset + transferred);
}

}  // namespace

NTSTATUS DispatchRead(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    FileContext ctx;
    if (!GetFileContext(vcb, file, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG length = sp->Parameters.Read.Length;
    uint64_t offset = 0;
    bool append = false;
    if (!TransferOffset(file, sp->Parameters.Read.ByteOffset, false, &offset, &append)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (length == 0) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    PVOID buffer = RequestBuffer(irp);
    if (buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_USER_BUFFER, 0);
    FileSnapshot info;
    NTSTATUS status = StreamSize(vcb, ctx.Open, &info);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    if (!AlignmentAllowed(file, offset, length, info.EndOfFile)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    LockOwner owner{file, RequestorProcessId(irp), sp->Parameters.Read.Key};
    size_t transferred = 0;
    status = vcb->Engine->Read(ctx.Open, offset, buffer, length, owner, &transferred);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    AdvancePosition(file, offset, transferred);
    return CompleteRequest(irp, STATUS_SUCCESS, transferred);
}

NTSTATUS DispatchWrite(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    FileContext ctx;
    if (!GetFileContext(vcb, file, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG length = sp->Parameters.Write.Length;
    uint64_t offset = 0;
    bool append = false;
    if (!TransferOffset(file, sp->Parameters.Write.ByteOffset, true, &offset, &append)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (length == 0) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    PVOID buffer = RequestBuffer(irp);
    if (buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_USER_BUFFER, 0);
    FileSnapshot before;
    NTSTATUS status = StreamSize(vcb, ctx.Open, &before);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    if (append) offset = before.EndOfFile;
    if (!AlignmentAllowed(file, offset, length, before.EndOfFile)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    LockOwner owner{file, RequestorProcessId(irp), sp->Parameters.Write.Key};
    size_t transferred = 0;
    ChangeEvents events;
    status = vcb->Engine->Write(ctx.Open, offset, buffer, length, append, owner, &transferred, &events);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    file->Flags |= FO_FILE_MODIFIED;
    RefreshFcbSizes(vcb, ctx.FcbBlock, ctx.Open);
    uint64_t endOfFile = static_cast<uint64_t>(ctx.FcbBlock->Header.FileSize.QuadPart);
    if (endOfFile > before.EndOfFile) file->Flags |= FO_FILE_SIZE_CHANGED;
    // An append ends at the new end of the file, wherever it began.
    AdvancePosition(file, append ? endOfFile - transferred : offset, transferred);
    ReportChanges(vcb, events);
    if ((file->Flags & FO_WRITE_THROUGH) || (sp->Flags & SL_WRITE_THROUGH)) FlushVolume(vcb);
    return CompleteRequest(irp, STATUS_SUCCESS, transferred);
}

}  // namespace plat::fs
