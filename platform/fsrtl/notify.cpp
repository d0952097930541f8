// The directory change-notification package (FsRtlNotify*).
//
// A notify synchronisation object is a recursive mutex; it guards the notify
// list it serves and every watch on it (fields marked "sync" below). IRPs are
// completed after the mutex is released, so that completion routines above the
// file system never run under it.
//
// A waiting IRP sits on its watch's IRP list (Tail.Overlay.ListEntry) with a
// cancel routine; DriverContext[0] holds the watch and DriverContext[1] the
// synchronisation object. Whoever takes an IRP off the list first clears the
// cancel routine: when that finds the routine already gone, a cancellation is
// running and the IRP is left to it (unlinked, its watch pointer cleared).
#include <ntifs.h>

#include "core/verifier.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr ULONG kTagSync = 0x734E5346;    // "FSNs"
constexpr ULONG kTagWatch = 0x774E5346;   // "FSNw"
constexpr ULONG kTagRecords = 0x724E5346; // "FSNr"
constexpr ULONG kRecordAlignment = sizeof(ULONG);

struct SyncObject {
    std::recursive_mutex Mutex;
};

struct Watch {
    LIST_ENTRY Links;               // in the notify list (sync)
    PVOID FsContext;
    PSTRING DirectoryName;          // the file system's string
    bool WatchTree;
    bool IgnoreBuffer;
    ULONG CompletionFilter;
    PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback;
    PSECURITY_SUBJECT_CONTEXT SubjectContext;  // owned
    LIST_ENTRY Irps;                // waiting IRPs (sync)
    PUCHAR Buffer;                  // kept records while no IRP waits (sync)
    ULONG BufferLength;             // capacity: the first IRP's buffer length
    ULONG DataLength;               // (sync)
    ULONG LastEntry;                // offset of the last kept record (sync)
    bool Overflow;                  // records were lost: the next IRP says so (sync)
    bool DirectoryDeleted;          // (sync)
};

// IRPs to complete once the synchronisation object is released.
struct Completion {
    PIRP Irp;
    NTSTATUS Status;
};
using CompletionList = std::vector<Completion>;

SyncObject* SyncOf(PNOTIFY_SYNC Sync) {
    return static_cast<SyncObject*>(Sync);
}

void CompleteAll(const CompletionList& Completions) {
    for (const Completion& completion : Completions) {
        completion.Irp->IoStatus.Status = completion.Status;
        if (completion.Status != STATUS_SUCCESS) completion.Irp->IoStatus.Information = 0;
        IoCompleteRequest(completion.Irp, IO_NO_INCREMENT);
    }
}

// ---- Names ------------------------------------------------------------------------

// A name as counted characters, UTF-16 when its second byte is zero (a path
// starting with a character below 256 in UTF-16), else 8-bit.
struct NameView {
    const UCHAR* Bytes;
    ULONG Count;     // characters
    bool Wide;

    WCHAR At(ULONG Index) const {
        if (Wide) return reinterpret_cast<const WCHAR*>(Bytes)[Index];
        return static_cast<WCHAR>(Bytes[Index]);
    }
    NameView Sub(ULONG Start, ULONG Count) const {
        ULONG unit = Wide ? sizeof(WCHAR) : 1;
        return {Bytes + Start * unit, Count, Wide};
    }
};

bool IsWide(PSTRING Name) {
    return Name->Length >= 2 && reinterpret_cast<const UCHAR*>(Name->Buffer)[1] == 0;
}

NameView ViewOf(PSTRING Name, bool Wide) {
    ULONG count = Wide ? Name->Length / sizeof(WCHAR) : Name->Length;
    return {reinterpret_cast<const UCHAR*>(Name->Buffer), count, Wide};
}

WCHAR Upcase(WCHAR C) {
    return RtlUpcaseUnicodeChar(C);
}

bool SameName(const NameView& A, const NameView& B) {
    if (A.Count != B.Count) return false;
    for (ULONG i = 0; i < A.Count; ++i) {
        if (Upcase(A.At(i)) != Upcase(B.At(i))) return false;
    }
    return true;
}

bool IsRoot(const NameView& Directory) {
    return Directory.Count == 1 && Directory.At(0) == L'\\';
}

// True when Directory is Parent or an ancestor of it.
bool IsAncestorOrSelf(const NameView& Directory, const NameView& Parent) {
    if (IsRoot(Directory)) return Parent.Count >= 1 && Parent.At(0) == L'\\';
    if (Parent.Count < Directory.Count) return false;
    if (!SameName(Directory, Parent.Sub(0, Directory.Count))) return false;
    return Parent.Count == Directory.Count || Parent.At(Directory.Count) == L'\\';
}

// The changed object's parent directory and last component.
struct Target {
    NameView Full;
    NameView Parent;
    NameView Component;
};

bool SplitTarget(PSTRING FullTargetName, USHORT TargetNameOffset, PSTRING NormalizedParentName, Target* Result) {
    bool wide = IsWide(FullTargetName);
    ULONG unit = wide ? sizeof(WCHAR) : 1;
    if (TargetNameOffset > FullTargetName->Length || TargetNameOffset % unit != 0) return false;
    NameView full = ViewOf(FullTargetName, wide);
    ULONG start = TargetNameOffset / unit;
    if (start == 0) return false;  // the root itself has no parent to watch
    NameView component = full.Sub(start, full.Count - start);
    if (component.Count != 0 && component.At(component.Count - 1) == L'\\') component.Count--;
    if (component.Count == 0) return false;
    ULONG parentCount = start > 1 && full.At(start - 1) == L'\\' ? start - 1 : start;
    NameView parent = full.Sub(0, parentCount);
    if (NormalizedParentName != nullptr && IsWide(NormalizedParentName) == wide) {
        parent = ViewOf(NormalizedParentName, wide);
    }
    *Result = {full, parent, component};
    return true;
}

enum class Relation { None, Child, Descendant };

// The name a watch reports: the component for a direct child, the path below
// the watched directory for a deeper one.
Relation RelativeName(const Watch* W, const Target& T, NameView* Name) {
    bool wide = IsWide(W->DirectoryName);
    if (wide != T.Full.Wide) return Relation::None;
    NameView directory = ViewOf(W->DirectoryName, wide);
    if (SameName(directory, T.Parent)) {
        *Name = T.Component;
        return Relation::Child;
    }
    if (!W->WatchTree || !IsAncestorOrSelf(directory, T.Parent)) return Relation::None;
    ULONG skip = IsRoot(directory) ? 1 : directory.Count + 1;
    NameView below = T.Full.Sub(skip, T.Full.Count - skip);
    ULONG end = T.Component.Bytes - T.Full.Bytes;
    below.Count = end / (wide ? sizeof(WCHAR) : 1) + T.Component.Count - skip;
    *Name = below;
    return Relation::Descendant;
}

// ---- Records ------------------------------------------------------------------------

ULONG RecordSize(ULONG NameCount, ULONG StreamCount) {
    ULONG nameBytes = (NameCount + (StreamCount != 0 ? 1 + StreamCount : 0)) * sizeof(WCHAR);
    return FIELD_OFFSET(FILE_NOTIFY_INFORMATION, FileName) + nameBytes;
}

ULONG AlignRecord(ULONG Offset) {
    return (Offset + kRecordAlignment - 1) & ~(kRecordAlignment - 1);
}

void WriteRecord(PUCHAR At, const NameView& Name, const NameView* Stream, ULONG Action) {
    auto* record = reinterpret_cast<PFILE_NOTIFY_INFORMATION>(At);
    ULONG count = 0;
    PWCH out = record->FileName;
    for (ULONG i = 0; i < Name.Count; ++i) out[count++] = Name.At(i);
    if (Stream != nullptr && Stream->Count != 0) {
        out[count++] = L':';
        for (ULONG i = 0; i < Stream->Count; ++i) out[count++] = Stream->At(i);
    }
    record->NextEntryOffset = 0;
    record->Action = Action;
    record->FileNameLength = count * sizeof(WCHAR);
}

// ---- IRPs -------------------------------------------------------------------------------

ULONG IrpBufferLength(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.NotifyDirectory.Length;
}

// Puts the records into the IRP's buffer; the status the IRP completes with.
NTSTATUS FillIrp(PIRP Irp, const Watch* W, const UCHAR* Data, ULONG Length) {
    Irp->IoStatus.Information = 0;
    if (W->IgnoreBuffer || Length == 0 || Length > IrpBufferLength(Irp)) return STATUS_NOTIFY_ENUM_DIR;
    if (Irp->MdlAddress != nullptr) {
        PVOID target = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
        if (target == nullptr) return STATUS_NOTIFY_ENUM_DIR;
        RtlCopyMemory(target, Data, Length);
    } else if ((Irp->Flags & IRP_BUFFERED_IO) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Data, Length);
    } else {
        // The records go to a system buffer that the I/O manager copies to the
        // caller's buffer at completion, in the caller's context.
        PVOID system = ExAllocatePoolWithTag(NonPagedPool, Length, kTagRecords);
        if (system == nullptr) return STATUS_NOTIFY_ENUM_DIR;
        RtlCopyMemory(system, Data, Length);
        Irp->AssociatedIrp.SystemBuffer = system;
        Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    }
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

void ResetBuffer(Watch* W) {
    W->DataLength = 0;
    W->LastEntry = 0;
}

// Takes the first waiting IRP whose cancellation is not running, or NULL.
PIRP TakeWaitingIrp(Watch* W) {
    for (PLIST_ENTRY entry = W->Irps.Flink; entry != &W->Irps; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;  // being cancelled
        RemoveEntryList(entry);
        InitializeListHead(entry);
        return irp;
    }
    return nullptr;
}

// Every waiting IRP of the watch, to complete with Status.
void TakeAllIrps(Watch* W, NTSTATUS Status, CompletionList* Completions) {
    while (!IsListEmpty(&W->Irps)) {
        PLIST_ENTRY entry = RemoveHeadList(&W->Irps);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;  // its cancellation completes it
        Completions->push_back({irp, Status});
    }
}

VOID NTAPI CancelWaitingIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* sync = static_cast<SyncObject*>(Irp->Tail.Overlay.DriverContext[1]);
    {
        std::lock_guard<std::recursive_mutex> guard(sync->Mutex);
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);  // self-linked once its watch let go
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
        Irp->Tail.Overlay.DriverContext[0] = nullptr;
    }
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Answers a new IRP at once from what the watch holds, or queues it.
void OfferIrp(Watch* W, SyncObject* Sync, PIRP Irp, CompletionList* Completions) {
    if (W->DirectoryDeleted) {
        Completions->push_back({Irp, STATUS_DELETE_PENDING});
        return;
    }
    if (W->Overflow) {
        W->Overflow = false;
        ResetBuffer(W);
        Completions->push_back({Irp, STATUS_NOTIFY_ENUM_DIR});
        return;
    }
    if (W->DataLength != 0) {
        NTSTATUS status = FillIrp(Irp, W, W->Buffer, W->DataLength);
        ResetBuffer(W);
        Completions->push_back({Irp, status});
        return;
    }
    Irp->Tail.Overlay.DriverContext[0] = W;
    Irp->Tail.Overlay.DriverContext[1] = Sync;
    IoSetCancelRoutine(Irp, CancelWaitingIrp);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        Completions->push_back({Irp, STATUS_CANCELLED});
        return;
    }
    InsertTailList(&W->Irps, &Irp->Tail.Overlay.ListEntry);
}

// Keeps a record until an IRP comes; when it does not fit, the records are
// dropped and the next IRP is told to enumerate the directory again.
void KeepRecord(Watch* W, const NameView& Name, const NameView* Stream, ULONG Action) {
    if (W->Overflow) return;
    if (W->IgnoreBuffer || W->BufferLength == 0) {
        W->Overflow = true;
        return;
    }
    ULONG offset = W->DataLength == 0 ? 0 : AlignRecord(W->DataLength);
    ULONG size = RecordSize(Name.Count, Stream != nullptr ? Stream->Count : 0);
    if (offset + size > W->BufferLength) {
        W->Overflow = true;
        ResetBuffer(W);
        return;
    }
    if (W->Buffer == nullptr) {
        W->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, W->BufferLength, kTagRecords));
        if (W->Buffer == nullptr) {
            W->Overflow = true;
            return;
        }
    }
    if (W->DataLength != 0) {
        reinterpret_cast<PFILE_NOTIFY_INFORMATION>(W->Buffer + W->LastEntry)->NextEntryOffset = offset - W->LastEntry;
    }
    WriteRecord(W->Buffer + offset, Name, Stream, Action);
    W->LastEntry = offset;
    W->DataLength = offset + size;
}

void Report(Watch* W, const NameView& Name, const NameView* Stream, ULONG Action, CompletionList* Completions) {
    PIRP irp = TakeWaitingIrp(W);
    if (irp == nullptr) {
        KeepRecord(W, Name, Stream, Action);
        return;
    }
    ULONG size = RecordSize(Name.Count, Stream != nullptr ? Stream->Count : 0);
    std::vector<UCHAR> record(size);
    WriteRecord(record.data(), Name, Stream, Action);
    Completions->push_back({irp, FillIrp(irp, W, record.data(), size)});
}

Watch* FindWatch(PLIST_ENTRY NotifyList, PVOID FsContext) {
    for (PLIST_ENTRY entry = NotifyList->Flink; entry != NotifyList; entry = entry->Flink) {
        Watch* watch = CONTAINING_RECORD(entry, Watch, Links);
        if (watch->FsContext == FsContext) return watch;
    }
    return nullptr;
}

void ReleaseSubject(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (SubjectContext == nullptr) return;
    SeReleaseSubjectContext(SubjectContext);
    ExFreePool(SubjectContext);
}

void FreeWatch(Watch* W) {
    if (W->Buffer != nullptr) ExFreePool(W->Buffer);
    ReleaseSubject(W->SubjectContext);
    ExFreePool(W);
}

Watch* NewWatch(PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree, BOOLEAN IgnoreBuffer,
                ULONG CompletionFilter, PIRP Irp, PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    auto* watch = static_cast<Watch*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Watch), kTagWatch));
    if (watch == nullptr) return nullptr;
    RtlZeroMemory(watch, sizeof(Watch));
    watch->FsContext = FsContext;
    watch->DirectoryName = FullDirectoryName;
    watch->WatchTree = WatchTree != FALSE;
    watch->IgnoreBuffer = IgnoreBuffer != FALSE;
    watch->CompletionFilter = CompletionFilter;
    watch->TraverseCallback = TraverseCallback;
    watch->SubjectContext = SubjectContext;
    watch->BufferLength = IrpBufferLength(Irp);
    InitializeListHead(&watch->Irps);
    return watch;
}

}  // namespace

extern "C" VOID NTAPI FsRtlNotifyInitializeSync(PNOTIFY_SYNC* NotifySync) {
    *NotifySync = nullptr;
    PVOID memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(SyncObject), kTagSync);
    if (memory == nullptr) return;  // NT raises; callers here see no notification support
    *NotifySync = new (memory) SyncObject;
}

extern "C" VOID NTAPI FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* NotifySync) {
    if (*NotifySync == nullptr) return;
    SyncObject* sync = SyncOf(*NotifySync);
    sync->~SyncObject();
    ExFreePool(sync);
    *NotifySync = nullptr;
}

extern "C" VOID NTAPI FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                     PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree,
                                                     BOOLEAN IgnoreBuffer, ULONG CompletionFilter, PIRP NotifyIrp,
                                                     PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                                     PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (NotifySync == nullptr || NotifyList == nullptr) {
        plat::VerifierReport("fsrtl: FsRtlNotifyFullChangeDirectory without a notify list");
        ReleaseSubject(SubjectContext);
        if (NotifyIrp != nullptr) CompleteAll({{NotifyIrp, STATUS_INVALID_PARAMETER}});
        return;
    }
    SyncObject* sync = SyncOf(NotifySync);
    CompletionList completions;
    {
        std::lock_guard<std::recursive_mutex> guard(sync->Mutex);
        Watch* watch = FindWatch(NotifyList, FsContext);
        if (NotifyIrp == nullptr) {
            // The watched directory is going away.
            if (watch != nullptr) {
                watch->DirectoryDeleted = true;
                TakeAllIrps(watch, STATUS_DELETE_PENDING, &completions);
            }
            ReleaseSubject(SubjectContext);
        } else {
            IoMarkIrpPending(NotifyIrp);
            if (watch == nullptr) {
                watch = NewWatch(FsContext, FullDirectoryName, WatchTree, IgnoreBuffer, CompletionFilter,
                                 NotifyIrp, TraverseCallback, SubjectContext);
                if (watch != nullptr) InsertTailList(NotifyList, &watch->Links);
            } else {
                ReleaseSubject(SubjectContext);
            }
            if (watch == nullptr) {
                ReleaseSubject(SubjectContext);
                completions.push_back({NotifyIrp, STATUS_INSUFFICIENT_RESOURCES});
            } else {
                OfferIrp(watch, sync, NotifyIrp, &completions);
            }
        }
    }
    CompleteAll(completions);
}

extern "C" VOID NTAPI FsRtlNotifyFullReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                  PSTRING FullTargetName, USHORT TargetNameOffset,
                                                  PSTRING StreamName, PSTRING NormalizedParentName,
                                                  ULONG FilterMatch, ULONG Action, PVOID TargetContext) {
    if (NotifySync == nullptr || NotifyList == nullptr || FullTargetName == nullptr) return;
    Target target;
    if (!SplitTarget(FullTargetName, TargetNameOffset, NormalizedParentName, &target)) return;
    NameView stream{};
    const NameView* streamView = nullptr;
    if (StreamName != nullptr && StreamName->Length != 0) {
        stream = ViewOf(StreamName, IsWide(StreamName));
        streamView = &stream;
    }
    SyncObject* sync = SyncOf(NotifySync);
    CompletionList completions;
    {
        std::lock_guard<std::recursive_mutex> guard(sync->Mutex);
        for (PLIST_ENTRY entry = NotifyList->Flink; entry != NotifyList; entry = entry->Flink) {
            Watch* watch = CONTAINING_RECORD(entry, Watch, Links);
            if (!(watch->CompletionFilter & FilterMatch) || watch->DirectoryDeleted) continue;
            NameView name;
            Relation relation = RelativeName(watch, target, &name);
            if (relation == Relation::None) continue;
            if (relation == Relation::Descendant && watch->TraverseCallback != nullptr &&
                !watch->TraverseCallback(watch->FsContext, TargetContext, watch->SubjectContext)) {
                continue;
            }
            Report(watch, name, streamView, Action, &completions);
        }
    }
    CompleteAll(completions);
}

extern "C" VOID NTAPI FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext) {
    if (NotifySync == nullptr || NotifyList == nullptr) return;
    SyncObject* sync = SyncOf(NotifySync);
    CompletionList completions;
    Watch* watch = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(sync->Mutex);
        watch = FindWatch(NotifyList, FsContext);
        if (watch == nullptr) return;
        RemoveEntryList(&watch->Links);
        TakeAllIrps(watch, STATUS_NOTIFY_CLEANUP, &completions);
    }
    FreeWatch(watch);
    CompleteAll(completions);
}
