// IRP_MJ_CLEANUP (the last handle of a file object is gone) and IRP_MJ_CLOSE
// (its last reference is gone).
#include "fs/fs_internal.h"

namespace plat::fs {

// Ends the file object's change watch and lock waits, releases its share
// access and byte-range locks, and carries out delete-on-close and pending
// deletions (the engine does both at the last cleanup of the file).
NTSTATUS DispatchCleanup(Vcb* vcb, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FileContext ctx;
    if (!GetFileContext(vcb, file, &ctx)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    if (ctx.CcbBlock->Watching) FsRtlNotifyCleanup(vcb->NotifySync, &vcb->NotifyList, ctx.CcbBlock);
    CancelLockWaiters(vcb, ctx.FcbBlock, file);
    bool modified = (file->Flags & FO_FILE_MODIFIED) != 0;
    ChangeEvents events = vcb->Engine->Cleanup(ctx.Open, modified, file, RequestorProcessId(irp));
    RetryLockWaiters(vcb, ctx.FcbBlock);
    RefreshFcbSizes(vcb, ctx.FcbBlock, ctx.Open);
    ReportChanges(vcb, events);
    file->Flags |= FO_CLEANUP_COMPLETE;
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(Vcb* vcb, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FileContext ctx;
    if (!GetFileContext(vcb, file, &ctx)) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    vcb->Engine->Close(ctx.Open);
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        vcb->Ccbs.erase(ctx.CcbBlock);
    }
    delete ctx.CcbBlock;
    file->FsContext2 = nullptr;
    file->FsContext = nullptr;
    file->SectionObjectPointer = nullptr;
    ReleaseFcb(vcb, ctx.FcbBlock);
    NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS, 0);
    ReleaseVolumeIfUnused(vcb);
    return status;
}

}  // namespace plat::fs
