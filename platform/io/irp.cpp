// IRPs: allocation, the registry of live IRPs, sending, completion,
// cancellation and the I/O manager's end of the IRPs it finishes.
//
// Every IRP from IoAllocateIrp has a record in the registry. The record lets
// the verifier tell a second completion (or a completion after the IRP was
// freed) from a legal re-completion after STATUS_MORE_PROCESSING_REQUIRED, and
// find at the kernel's end the IRPs that were never completed. Recently freed
// addresses are remembered, so that a completion of a freed IRP is reported
// without touching its memory.
#include "io/io_internal.h"

#include "core/verifier.h"
#include "ke/verifier_hooks.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

namespace plat {
namespace {

constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr size_t kFreedIrpMemory = 4096;

std::atomic<ULONGLONG> g_NextSerial{1};

// Serials tell one life of a record from the next at the same address.
struct RecordWithSerial {
    IrpRecord* Record = nullptr;
    ULONGLONG Serial = 0;
};

// Addresses of IRPs freed lately (under IrpLock).
void RememberFreedLocked(PIRP Irp) {
    IoState& state = Io();
    ULONGLONG sequence = ++state.FreedSequence;
    state.FreedIrps[Irp] = sequence;
    state.FreedIrpOrder.emplace_back(Irp, sequence);
    if (state.FreedIrpOrder.size() <= kFreedIrpMemory) return;
    auto [oldest, oldestSequence] = state.FreedIrpOrder.front();
    state.FreedIrpOrder.pop_front();
    auto it = state.FreedIrps.find(oldest);
    if (it != state.FreedIrps.end() && it->second == oldestSequence) state.FreedIrps.erase(it);
}

void ForgetFreedLocked(PIRP Irp) {
    Io().FreedIrps.erase(Irp);
}

std::string Narrow(PCUNICODE_STRING Text) {
    std::string narrow;
    if (Text == nullptr || Text->Buffer == nullptr) return narrow;
    for (USHORT i = 0; i < Text->Length / sizeof(WCHAR); ++i) {
        WCHAR c = Text->Buffer[i];
        narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::string DriverNameOf(PDEVICE_OBJECT Device) {
    if (Device == nullptr || Device->DriverObject == nullptr) return "?";
    std::string name = Narrow(&Device->DriverObject->DriverName);
    return name.empty() ? "(unnamed driver)" : name;
}

std::string IrpText(PIRP Irp) {
    char text[32];
    snprintf(text, sizeof(text), "IRP %p", static_cast<void*>(Irp));
    return text;
}

std::string MajorText(UCHAR Major) {
    char text[32];
    snprintf(text, sizeof(text), "major function 0x%02x", Major);
    return text;
}

void RegisterIrp(PIRP Irp, bool FromPool) {
    auto record = std::make_unique<IrpRecord>();
    record->FromPool = FromPool;
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.IrpLock);
    ForgetFreedLocked(Irp);
    record->Serial = g_NextSerial++;
    state.Irps[Irp] = std::move(record);
}

RecordWithSerial FindWithSerialLocked(PIRP Irp) {
    IoState& state = Io();
    auto it = state.Irps.find(Irp);
    if (it == state.Irps.end()) return {};
    return {it->second.get(), it->second->Serial};
}

// Takes the IRP into completion. False when the completion must not go on
// (reported to the verifier).
bool BeginCompletion(PIRP Irp, RecordWithSerial* Found) {
    IoState& state = Io();
    PKTHREAD self = KeGetCurrentThread();
    for (;;) {
        std::unique_lock<std::mutex> guard(state.IrpLock);
        RecordWithSerial found = FindWithSerialLocked(Irp);
        if (found.Record == nullptr) {
            if (state.FreedIrps.count(Irp) != 0) {
                VerifierReport("io: " + IrpText(Irp) + " completed after it was freed (completed twice?)");
                return false;
            }
            *Found = found;
            return true;  // an IRP the I/O manager did not allocate
        }
        IrpRecord* record = found.Record;
        if (record->State == IrpState::Finished) {
            VerifierReport("io: " + IrpText(Irp) + " completed twice");
            return false;
        }
        if (record->State == IrpState::Completing) {
            if (record->CompletingThread == self) {
                VerifierReport("io: " + IrpText(Irp) + " completed again from inside its own completion");
                return false;
            }
            // Another thread is just leaving a completion routine that handed
            // the IRP over (event and STATUS_MORE_PROCESSING_REQUIRED).
            guard.unlock();
            std::this_thread::yield();
            continue;
        }
        record->State = IrpState::Completing;
        record->CompletingThread = self;
        *Found = found;
        return true;
    }
}

void EndCompletion(PIRP Irp, const RecordWithSerial& Found, IrpState NewState) {
    if (Found.Record == nullptr) return;
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.IrpLock);
    RecordWithSerial now = FindWithSerialLocked(Irp);
    if (now.Record != Found.Record || now.Serial != Found.Serial) return;  // freed meanwhile
    now.Record->State = NewState;
    now.Record->CompletingThread = nullptr;
}

void MarkMounted(PVPB Vpb) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    if (Vpb->DeviceObject != nullptr) Vpb->Flags |= VPB_MOUNTED;
    IoReleaseVpbSpinLock(irql);
}

bool ShouldInvoke(UCHAR Control, NTSTATUS Status, BOOLEAN Cancel) {
    if (NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_ERROR)) return true;
    return Cancel && (Control & SL_INVOKE_ON_CANCEL);
}

// Calls the completion routines from the current location upwards; false when
// one of them took the IRP back (STATUS_MORE_PROCESSING_REQUIRED). Its driver
// may complete it again later: from the top (CurrentLocation past the last
// location) that finishes it, as NT does for IRPs whose builder's routine
// stopped completion.
bool WalkCompletionRoutines(PIRP Irp) {
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        bool invoke = routine != nullptr && ShouldInvoke(location->Control, Irp->IoStatus.Status, Irp->Cancel);
        location->Control = 0;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return false;
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
    }
    return true;
}

void CopyBack(PIRP Irp, IrpRecord* Record) {
    if (!(Irp->Flags & IRP_BUFFERED_IO)) return;
    PVOID system = Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR length = Irp->IoStatus.Information;
    if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(Irp->IoStatus.Status) && length != 0 &&
        Irp->UserBuffer != nullptr && system != nullptr) {
        if (Record != nullptr && Record->LimitCopyBack && length > Record->UserBufferLength) {
            VerifierReport("io: " + IrpText(Irp) + " completed with more output bytes than the caller's buffer holds");
            length = Record->UserBufferLength;
        }
        RtlCopyMemory(Irp->UserBuffer, system, length);
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && system != nullptr) {
        ExFreePool(system);
        Irp->AssociatedIrp.SystemBuffer = nullptr;
    }
}

void FreeMdls(PIRP Irp) {
    PMDL mdl = Irp->MdlAddress;
    Irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
}

// The top of a deferred IRP (create): the issuer frees it.
void SignalDeferred(PIRP Irp) {
    if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
    if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
}

// An IRP whose memory is not the I/O manager's: status block and event only.
void SignalForeign(PIRP Irp) {
    CopyBack(Irp, nullptr);
    SignalDeferred(Irp);
}

}  // namespace

IrpRecord* IoFindIrp(PIRP Irp) {
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.IrpLock);
    return FindWithSerialLocked(Irp).Record;
}

PIRP IoAllocateIrpMustSucceed(CCHAR StackSize) {
    USHORT size = IoSizeOfIrp(StackSize);
    bool fromPool = true;
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kTagIrpMustSucceed));
    if (irp == nullptr) {
        irp = static_cast<PIRP>(calloc(1, size));
        fromPool = false;
        if (irp == nullptr) {
            fprintf(stderr, "io: out of host memory for a must-succeed IRP\n");
            abort();
        }
    }
    IoInitializeIrp(irp, size, StackSize);
    RegisterIrp(irp, fromPool);
    return irp;
}

void IoFinishIrp(PIRP Irp) {
    IrpRecord* record = IoFindIrp(Irp);
    if (record == nullptr) {
        SignalForeign(Irp);
        return;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    CopyBack(Irp, record);
    FreeMdls(Irp);
    for (PVOID& block : record->OwnedPool) {
        if (block != nullptr) ExFreePool(block);
        block = nullptr;
    }
    if (record->SyncFile != nullptr) record->SyncFile->FinalStatus = status;
    if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    PKEVENT referencedEvent = record->ReferencedEvent;
    PFILE_OBJECT referencedFile = record->ReferencedFile;
    IoFreeIrp(Irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (referencedEvent != nullptr) ObDereferenceObject(referencedEvent);
    if (referencedFile != nullptr) ObDereferenceObject(referencedFile);
}

PIRP IoBuildFileIrp(PDEVICE_OBJECT Target, PFILE_OBJECT FileObject, UCHAR MajorFunction, UCHAR MinorFunction,
                    KPROCESSOR_MODE Mode, bool MustSucceed) {
    PIRP irp = MustSucceed ? IoAllocateIrpMustSucceed(Target->StackSize) : IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->RequestorMode = Mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    next->MinorFunction = MinorFunction;
    next->FileObject = FileObject;
    return irp;
}

NTSTATUS IoCallDriverAndWait(PDEVICE_OBJECT Target, PIRP Irp, PIO_STATUS_BLOCK IoStatus) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK local = {};
    Irp->UserIosb = &local;
    Irp->UserEvent = &event;
    NTSTATUS status = IofCallDriver(Target, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = local.Status;
    } else if (KeReadStateEvent(&event) == 0) {
        // The IRP is still out although the driver did not say STATUS_PENDING:
        // its status block and event are on this stack, so wait for them.
        VerifierReport("io: " + DriverNameOf(Target) + " returned " + std::to_string(status) +
                       " for an IRP it neither completed nor marked pending");
        fprintf(stderr, "io: %s returned without completing an IRP or returning STATUS_PENDING; waiting\n",
                DriverNameOf(Target).c_str());
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    if (IoStatus != nullptr) *IoStatus = local;
    return status;
}

}  // namespace plat

using namespace plat;

namespace {

thread_local PIRP t_TopLevelIrp = nullptr;

// The request's buffer handling for a device: buffered, direct (MDL) or neither.
NTSTATUS AttachTransferBuffer(PIRP Irp, PDEVICE_OBJECT Device, PVOID Buffer, ULONG Length, bool Read,
                              IrpRecord* Record) {
    if (Length == 0 || Buffer == nullptr) return STATUS_SUCCESS;
    if (Device->Flags & DO_BUFFERED_IO) {
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, Length, kTagSystemBuffer);
        if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        if (!Read) RtlCopyMemory(system, Buffer, Length);
        Irp->AssociatedIrp.SystemBuffer = system;
        Irp->UserBuffer = Buffer;
        Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (Read ? IRP_INPUT_OPERATION : 0);
        Record->LimitCopyBack = true;
        Record->UserBufferLength = Length;
        return STATUS_SUCCESS;
    }
    if (Device->Flags & DO_DIRECT_IO) {
        PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
        if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        MmProbeAndLockPages(mdl, KernelMode, Read ? IoWriteAccess : IoReadAccess);
        return STATUS_SUCCESS;
    }
    Irp->UserBuffer = Buffer;
    return STATUS_SUCCESS;
}

void DiscardBuiltIrp(PIRP Irp) {
    if (Irp->MdlAddress != nullptr) {
        PMDL mdl = Irp->MdlAddress;
        Irp->MdlAddress = nullptr;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePool(Irp->AssociatedIrp.SystemBuffer);
    }
    IoFreeIrp(Irp);
}

}  // namespace

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (StackSize < 1) {
        VerifierReport("io: IoAllocateIrp with a stack size below 1");
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kTagIrp));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    RegisterIrp(irp, true);
    return irp;
}

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    RtlZeroMemory(Irp, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.IrpLock);
    RecordWithSerial found = FindWithSerialLocked(Irp);
    if (found.Record == nullptr) return;
    IrpRecord fresh;
    fresh.FromPool = found.Record->FromPool;
    fresh.Serial = g_NextSerial++;
    *found.Record = fresh;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    std::unique_ptr<IrpRecord> record;
    {
        IoState& state = Io();
        std::lock_guard<std::mutex> guard(state.IrpLock);
        auto it = state.Irps.find(Irp);
        if (it == state.Irps.end()) {
            VerifierReport("io: IoFreeIrp of " + IrpText(Irp) + ", which is not a live IRP");
            return;
        }
        record = std::move(it->second);
        state.Irps.erase(it);
        RememberFreedLocked(Irp);
    }
    if (record->Dispatched && record->State == IrpState::Idle && Irp->CurrentLocation <= Irp->StackCount) {
        VerifierReport("io: " + IrpText(Irp) + " freed while a driver still owned it");
    }
    if (record->FromPool) {
        ExFreePool(Irp);
    } else {
        free(Irp);
    }
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    {
        IoState& state = Io();
        std::lock_guard<std::mutex> guard(state.IrpLock);
        RecordWithSerial found = FindWithSerialLocked(Irp);
        if (found.Record != nullptr) {
            if (found.Record->State == IrpState::Finished) {
                VerifierReport("io: " + IrpText(Irp) + " sent to a driver after it was completed");
            }
            found.Record->Dispatched = true;
        }
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        VerifierReport("io: " + IrpText(Irp) + " sent to " + DriverNameOf(DeviceObject) +
                       " with no stack location left");
        KeBugCheckEx(kNoMoreIrpStackLocations, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
    }
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    UCHAR major = location->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        VerifierReport("io: " + IrpText(Irp) + " with an invalid " + MajorText(major));
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];

    ULONG resources = ResourcesHeldByCurrentThread();
    ULONG regions = CriticalRegionDepthOfCurrentThread();
    ULONG spinLocks = SpinLocksHeldByCurrentThread();
    ObReferenceObject(DeviceObject);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (ResourcesHeldByCurrentThread() > resources) {
        VerifierReport("io: the dispatch routine of " + DriverNameOf(DeviceObject) + " for " + MajorText(major) +
                       " returned holding an executive resource it did not hold on entry");
    }
    if (CriticalRegionDepthOfCurrentThread() != regions) {
        VerifierReport("io: the dispatch routine of " + DriverNameOf(DeviceObject) + " for " + MajorText(major) +
                       " returned with its critical regions unbalanced");
    }
    if (SpinLocksHeldByCurrentThread() != spinLocks) {
        VerifierReport("io: the dispatch routine of " + DriverNameOf(DeviceObject) + " for " + MajorText(major) +
                       " returned with its spin locks unbalanced");
    }
    ObDereferenceObject(DeviceObject);
    return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    RecordWithSerial found;
    if (!BeginCompletion(Irp, &found)) return;
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        VerifierReport("io: " + IrpText(Irp) + " completed with no stack location left (completed twice?)");
        EndCompletion(Irp, found, IrpState::Finished);
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        VerifierReport("io: " + IrpText(Irp) + " completed with STATUS_PENDING");
    }
    if (found.Record != nullptr && found.Record->MountVpb != nullptr && NT_SUCCESS(Irp->IoStatus.Status)) {
        MarkMounted(found.Record->MountVpb);
    }
    if (!WalkCompletionRoutines(Irp)) {
        EndCompletion(Irp, found, IrpState::Idle);
        return;
    }
    EndCompletion(Irp, found, IrpState::Finished);
    if (found.Record == nullptr) {
        SignalForeign(Irp);
    } else if (found.Record->Deferred) {
        SignalDeferred(Irp);
    } else {
        IoFinishIrp(Irp);
    }
}

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&Io().CancelLock, Irql);
}

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&Io().CancelLock, Irql);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);  // releases the cancel spin lock
    return TRUE;
}

extern "C" BOOLEAN NTAPI IoIsOperationSynchronous(PIRP Irp) {
    bool paging = (Irp->Flags & IRP_PAGING_IO) != 0;
    bool synchronousPaging = (Irp->Flags & IRP_SYNCHRONOUS_PAGING_IO) != 0;
    if (paging) return synchronousPaging;
    if (Irp->Flags & IRP_SYNCHRONOUS_API) return TRUE;
    PFILE_OBJECT file =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->FileObject : nullptr;
    return file != nullptr && (file->Flags & FO_SYNCHRONOUS_IO) != 0;
}

extern "C" PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp) {
    return Irp->Tail.Overlay.Thread != nullptr ? PsGetThreadProcess(Irp->Tail.Overlay.Thread) : nullptr;
}

extern "C" PIRP NTAPI IoGetTopLevelIrp(VOID) {
    return t_TopLevelIrp;
}

extern "C" VOID NTAPI IoSetTopLevelIrp(PIRP Irp) {
    t_TopLevelIrp = Irp;
}

extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoBuildFileIrp(DeviceObject, nullptr, static_cast<UCHAR>(MajorFunction), 0, KernelMode, false);
    if (irp == nullptr) return nullptr;
    irp->UserIosb = IoStatusBlock;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        bool read = MajorFunction == IRP_MJ_READ;
        NTSTATUS status = AttachTransferBuffer(irp, DeviceObject, Buffer, Length, read, IoFindIrp(irp));
        if (!NT_SUCCESS(status)) {
            DiscardBuiltIrp(irp);
            return nullptr;
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) next->Parameters.Read.ByteOffset = *StartingOffset;
        irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    }
    return irp;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoBuildAsynchronousFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                                             IoStatusBlock);
    if (irp == nullptr) return nullptr;
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    return irp;
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    UCHAR major = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    PIRP irp = IoBuildFileIrp(DeviceObject, nullptr, major, 0, KernelMode, false);
    if (irp == nullptr) return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    IrpRecord* record = IoFindIrp(irp);
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        return irp;
    }
    ULONG systemLength = method == METHOD_BUFFERED && OutputBufferLength > InputBufferLength ? OutputBufferLength
                                                                                           : InputBufferLength;
    if (systemLength != 0) {
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, systemLength, kTagSystemBuffer);
        if (system == nullptr) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (InputBuffer != nullptr && InputBufferLength != 0) RtlCopyMemory(system, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (method == METHOD_BUFFERED) {
        irp->UserBuffer = OutputBuffer;
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            record->LimitCopyBack = true;
            record->UserBufferLength = OutputBufferLength;
        }
        return irp;
    }
    if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        if (mdl == nullptr) {
            DiscardBuiltIrp(irp);
            return nullptr;
        }
        MmProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
    return irp;
}
