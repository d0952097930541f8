// IRP_MJ_LOCK_CONTROL: byte-range locks. A lock that cannot be granted at
// once waits (unless SL_FAIL_IMMEDIATELY): the IRP pends on its FCB, is
// retried after every unlock and cleanup of the stream, and can be cancelled.
// The lock is owned by the file object, the requesting process and the key.
//
// Waiters are guarded by Vcb::Lock; a waiter is tried and queued under it, so
// that an unlock (followed by a retry under the same lock) cannot slip
// between the two. IRPs are completed after the lock is released.
#include "fs/fs_internal.h"

#include <algorithm>

namespace plat::fs {
namespace {

struct LockRequest {
    LockOwner Owner;
    ByteRange Range;
    bool Exclusive;
};

LockRequest RequestOf(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    LockRequest r;
    r.Owner = LockOwner{sp->FileObject, RequestorProcessId(irp), sp->Parameters.LockControl.Key};
    r.Range.Offset = static_cast<uint64_t>(sp->Parameters.LockControl.ByteOffset.QuadPart);
    r.Range.Length = sp->Parameters.LockControl.Length != nullptr
                         ? static_cast<uint64_t>(sp->Parameters.LockControl.Length->QuadPart)
                         : 0;
    r.Exclusive = (sp->Flags & SL_EXCLUSIVE_LOCK) != 0;
    return r;
}

NTSTATUS TryLock(Vcb* vcb, PIRP irp) {
    FileContext ctx;
    if (!GetFileContext(vcb, IoGetCurrentIrpStackLocation(irp)->FileObject, &ctx)) return STATUS_INVALID_PARAMETER;
    LockRequest r = RequestOf(irp);
    return vcb->Engine->LockRange(ctx.Open, r.Owner, r.Range, r.Exclusive);
}

VOID NTAPI CancelWaiter(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* fcb = static_cast<Fcb*>(IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext);
    Vcb* vcb = fcb->State->Volume;
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        std::erase(fcb->State->LockWaiters, irp);
    }
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Takes a waiter off the queue for completion; false when its cancellation
// has already begun (the cancel routine completes it).
bool Claim(PIRP irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

NTSTATUS Lock(Vcb* vcb, Fcb* fcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->FileObject->LockOperation = TRUE;
    std::unique_lock<std::mutex> guard(vcb->Lock);
    NTSTATUS status = TryLock(vcb, irp);
    if (status != STATUS_LOCK_NOT_GRANTED || (sp->Flags & SL_FAIL_IMMEDIATELY)) {
        guard.unlock();
        return CompleteRequest(irp, status, 0);
    }
    IoMarkIrpPending(irp);
    fcb->State->LockWaiters.push_back(irp);
    IoSetCancelRoutine(irp, CancelWaiter);
    if (irp->Cancel && Claim(irp)) {
        std::erase(fcb->State->LockWaiters, irp);
        guard.unlock();
        CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

}  // namespace

void RetryLockWaiters(Vcb* vcb, Fcb* fcb) {
    std::vector<std::pair<PIRP, NTSTATUS>> done;
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        auto& waiters = fcb->State->LockWaiters;
        for (auto it = waiters.begin(); it != waiters.end();) {
            NTSTATUS status = TryLock(vcb, *it);
            if (status == STATUS_LOCK_NOT_GRANTED || !Claim(*it)) {
                ++it;
                continue;
            }
            done.push_back({*it, status});
            it = waiters.erase(it);
        }
    }
    for (auto& [irp, status] : done) CompleteRequest(irp, status, 0);
}

void CancelLockWaiters(Vcb* vcb, Fcb* fcb, PFILE_OBJECT file) {
    std::vector<PIRP> cancelled;
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        auto& waiters = fcb->State->LockWaiters;
        for (auto it = waiters.begin(); it != waiters.end();) {
            if (IoGetCurrentIrpStackLocation(*it)->FileObject != file || !Claim(*it)) {
                ++it;
                continue;
            }
            cancelled.push_back(*it);
            it = waiters.erase(it);
        }
    }
    for (PIRP irp : cancelled) CompleteRequest(irp, STATUS_CANCELLED, 0);
}

NTSTATUS DispatchLockControl(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (ctx.Open->Kind != OpenKind::File && ctx.Open->Kind != OpenKind::Stream) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (sp->MinorFunction == IRP_MN_LOCK) return Lock(vcb, ctx.FcbBlock, irp);
    LockRequest r = RequestOf(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (sp->MinorFunction) {
        case IRP_MN_UNLOCK_SINGLE:
            status = vcb->Engine->UnlockRange(ctx.Open, r.Owner, r.Range);
            break;
        case IRP_MN_UNLOCK_ALL:
            vcb->Engine->UnlockAll(ctx.Open, sp->FileObject, r.Owner.ProcessId);
            break;
        case IRP_MN_UNLOCK_ALL_BY_KEY:
            vcb->Engine->UnlockAllByKey(ctx.Open, sp->FileObject, r.Owner.ProcessId, r.Owner.Key);
            break;
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    CompleteRequest(irp, status, 0);
    RetryLockWaiters(vcb, ctx.FcbBlock);
    return status;
}

}  // namespace plat::fs
