// IRP_MJ_CREATE: the create parameters turned into an engine request, the
// access checks and security inheritance through the security reference
// monitor, reparse answers, and the FCB and CCB of a new file object.
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

constexpr CSHORT kFcbNodeType = 0x0702;
constexpr size_t kFileReferenceLength = 8;
constexpr size_t kObjectIdLength = 16;

// The caller's security context, turned into the engine's hooks.
class CreateSecurity {
public:
    CreateSecurity(PIO_SECURITY_CONTEXT context) : m_Context(context) {
        m_Hooks.Check = [this](const std::vector<uint8_t>& sd, uint32_t desired, uint32_t* granted) {
            return Check(sd, desired, granted);
        };
        m_Hooks.Assign = [this](const std::vector<uint8_t>& parent, const std::vector<uint8_t>*, bool directory,
                                std::vector<uint8_t>* result) { return Assign(parent, directory, result); };
    }
    const SecurityHooks* Hooks() const { return &m_Hooks; }

private:
    PACCESS_STATE State() const { return m_Context->AccessState; }

    // A checked open is checked as a user-mode one, also when a kernel-mode
    // caller forces the check.
    NTSTATUS Check(const std::vector<uint8_t>& sd, uint32_t desired, uint32_t* granted) {
        ACCESS_MASK grantedAccess = 0;
        NTSTATUS accessStatus = STATUS_ACCESS_DENIED;
        PACCESS_STATE state = State();
        BOOLEAN ok = SeAccessCheck(const_cast<uint8_t*>(sd.data()), &state->SubjectSecurityContext, FALSE, desired,
                                   state->PreviouslyGrantedAccess, nullptr, IoGetFileObjectGenericMapping(), UserMode,
                                   &grantedAccess, &accessStatus);
        if (!ok) return accessStatus;
        *granted = grantedAccess;
        return STATUS_SUCCESS;
    }

    NTSTATUS Assign(const std::vector<uint8_t>& parent, bool directory, std::vector<uint8_t>* result) {
        PACCESS_STATE state = State();
        PSECURITY_DESCRIPTOR assigned = nullptr;
        NTSTATUS status = SeAssignSecurity(parent.empty() ? nullptr : const_cast<uint8_t*>(parent.data()),
                                           state->SecurityDescriptor, &assigned, directory,
                                           &state->SubjectSecurityContext, IoGetFileObjectGenericMapping(),
                                           PagedPool);
        if (!NT_SUCCESS(status)) return status;
        auto* bytes = static_cast<uint8_t*>(assigned);
        result->assign(bytes, bytes + RtlLengthSecurityDescriptor(assigned));
        SeDeassignSecurity(&assigned);
        return STATUS_SUCCESS;
    }

    PIO_SECURITY_CONTEXT m_Context;
    SecurityHooks m_Hooks;
};

// Open by ID: the name holds an 8-byte file reference or a 16-byte object ID
// (after one backslash when the name was given from the volume's root).
NTSTATUS ReadIdName(PFILE_OBJECT file, CreateRequest* r) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file->FileName.Buffer);
    size_t length = file->FileName.Length;
    if ((length == kFileReferenceLength + sizeof(WCHAR) || length == kObjectIdLength + sizeof(WCHAR)) &&
        file->FileName.Buffer[0] == L'\\') {
        bytes += sizeof(WCHAR);
        length -= sizeof(WCHAR);
    }
    if (length == kFileReferenceLength) {
        r->By = OpenBy::FileId;
        RtlCopyMemory(&r->Id, bytes, kFileReferenceLength);
        return STATUS_SUCCESS;
    }
    if (length == kObjectIdLength) {
        r->By = OpenBy::ObjectId;
        RtlCopyMemory(r->ObjectId.data(), bytes, kObjectIdLength);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// STATUS_REPARSE: the reparse data for the I/O manager, whose Reserved field
// says how much of the file object's name is left after the reparse point.
NTSTATUS AnswerReparse(PIRP irp, const CreateResult& result) {
    auto* buffer = static_cast<PREPARSE_DATA_BUFFER>(
        ExAllocatePoolWithTag(NonPagedPool, result.ReparseData.size(), kTagReparse));
    if (buffer == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlCopyMemory(buffer, result.ReparseData.data(), result.ReparseData.size());
    buffer->Reserved = static_cast<USHORT>(result.RemainingChars * sizeof(WCHAR));
    irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(buffer);
    return CompleteRequest(irp, STATUS_REPARSE, result.ReparseTag);
}

// SL_OPEN_TARGET_DIRECTORY: the file object keeps only the final component.
NTSTATUS KeepFinalComponent(PFILE_OBJECT file, const Name& finalComponent) {
    USHORT bytes = static_cast<USHORT>(finalComponent.size() * sizeof(WCHAR));
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kTagName));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, finalComponent.data(), bytes);
    buffer[bytes / sizeof(WCHAR)] = 0;
    if (file->FileName.Buffer != nullptr) ExFreePool(file->FileName.Buffer);
    file->FileName.Buffer = buffer;
    file->FileName.Length = bytes;
    file->FileName.MaximumLength = bytes + sizeof(WCHAR);
    return STATUS_SUCCESS;
}

ULONG_PTR FailureInformation(NTSTATUS status) {
    if (status == STATUS_OBJECT_NAME_COLLISION) return FILE_EXISTS;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return FILE_DOES_NOT_EXIST;
    return 0;
}

NTSTATUS BuildRequest(Vcb* vcb, PIRP irp, CreateRequest* r, std::vector<ExtendedAttribute>* eas) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    PIO_SECURITY_CONTEXT security = sp->Parameters.Create.SecurityContext;
    if (security == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG options = sp->Parameters.Create.Options;
    r->Disposition = options >> 24;
    r->Options = options & FILE_VALID_OPTION_FLAGS;
    r->DesiredAccess = security->DesiredAccess;
    r->ShareAccess = sp->Parameters.Create.ShareAccess;
    r->Attributes = sp->Parameters.Create.FileAttributes;
    r->AllocationSize = static_cast<uint64_t>(std::max<LONGLONG>(0, irp->Overlay.AllocationSize.QuadPart));
    r->OpenTargetDirectory = (sp->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
    PACCESS_STATE state = security->AccessState;
    bool backup = (r->Options & FILE_OPEN_FOR_BACKUP_INTENT) && state != nullptr &&
                  (state->Flags & (TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE));
    r->CheckAccess = state != nullptr && !backup &&
                     (irp->RequestorMode == UserMode || (sp->Flags & SL_FORCE_ACCESS_CHECK));
    if (sp->Parameters.Create.EaLength != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
        NTSTATUS status = ParseEaBuffer(irp->AssociatedIrp.SystemBuffer, sp->Parameters.Create.EaLength, eas);
        if (!NT_SUCCESS(status)) return status;
        r->Eas = eas;
    }
    if (r->Options & FILE_OPEN_BY_FILE_ID) return ReadIdName(file, r);
    r->Path = NameFromWide(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
    if (file->RelatedFileObject != nullptr) {
        FileContext related;
        if (!GetFileContext(vcb, file->RelatedFileObject, &related)) return STATUS_INVALID_PARAMETER;
        r->Related = related.Open;
    }
    return STATUS_SUCCESS;
}

// A new file object of the volume: its FCB and CCB.
NTSTATUS AttachOpen(Vcb* vcb, PIRP irp, const CreateResult& result) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    Fcb* fcb = ReferenceFcb(vcb, result.Open);
    if (fcb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (sp->Flags & SL_OPEN_TARGET_DIRECTORY) {
        NTSTATUS status = KeepFinalComponent(file, result.FinalComponent);
        if (!NT_SUCCESS(status)) {
            ReleaseFcb(vcb, fcb);
            return status;
        }
    }
    auto* ccb = new Ccb;
    ccb->Open = result.Open;
    ccb->Owner = fcb;
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        vcb->Ccbs.insert(ccb);
    }
    file->FsContext = fcb;
    file->FsContext2 = ccb;
    file->SectionObjectPointer = &fcb->SectionObjects;
    if (sp->Parameters.Create.Options & FILE_DELETE_ON_CLOSE) file->Flags |= FO_DELETE_ON_CLOSE;
    PACCESS_STATE state = sp->Parameters.Create.SecurityContext->AccessState;
    if (state != nullptr) {
        state->PreviouslyGrantedAccess |= result.Open->Granted;
        state->RemainingDesiredAccess = 0;
    }
    RefreshFcbSizes(vcb, fcb, result.Open);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DispatchCreate(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    CreateRequest request;
    std::vector<ExtendedAttribute> eas;
    NTSTATUS status = BuildRequest(vcb, irp, &request, &eas);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    CreateSecurity security(sp->Parameters.Create.SecurityContext);
    if (vcb->Kind == FsKind::Ntfs && sp->Parameters.Create.SecurityContext->AccessState != nullptr) {
        request.Hooks = security.Hooks();
    }
    CreateResult result = vcb->Engine->Create(request);
    if (result.Status == STATUS_REPARSE) return AnswerReparse(irp, result);
    if (!NT_SUCCESS(result.Status)) return CompleteRequest(irp, result.Status, FailureInformation(result.Status));
    status = AttachOpen(vcb, irp, result);
    if (!NT_SUCCESS(status)) {
        vcb->Engine->Cleanup(result.Open, false, sp->FileObject, RequestorProcessId(irp));
        vcb->Engine->Close(result.Open);
        return CompleteRequest(irp, status, 0);
    }
    ReportChanges(vcb, result.Events);
    if ((request.Options & FILE_WRITE_THROUGH) && result.Information != FILE_OPENED) FlushVolume(vcb);
    return CompleteRequest(irp, STATUS_SUCCESS, result.Information);
}

// ---- FCBs ------------------------------------------------------------------------------

Fcb* ReferenceFcb(Vcb* vcb, const OpenFile* open) {
    bool isVolume = open->Kind == OpenKind::Volume;
    std::pair<FileId, Name> key(isVolume ? kInvalidFileId : open->Target->Id, open->StreamKey);
    std::lock_guard<std::mutex> guard(vcb->Lock);
    Fcb* fcb = nullptr;
    if (isVolume) {
        fcb = vcb->VolumeFcb;
    } else {
        auto it = vcb->Fcbs.find(key);
        if (it != vcb->Fcbs.end()) fcb = it->second;
    }
    if (fcb == nullptr) {
        fcb = static_cast<Fcb*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Fcb), kTagFcb));
        if (fcb == nullptr) return nullptr;
        RtlZeroMemory(fcb, sizeof(Fcb));
        fcb->Header.NodeTypeCode = kFcbNodeType;
        fcb->Header.NodeByteSize = sizeof(Fcb);
        fcb->Header.IsFastIoPossible = FastIoIsNotPossible;
        fcb->Header.Resource = &fcb->MainResource;
        fcb->Header.PagingIoResource = &fcb->PagingIoResource;
        ExInitializeResourceLite(&fcb->MainResource);
        ExInitializeResourceLite(&fcb->PagingIoResource);
        fcb->Magic = kFcbMagic;
        fcb->State = new FcbState;
        fcb->State->Volume = vcb;
        fcb->State->IsVolume = isVolume;
        fcb->State->Node = key.first;
        fcb->State->StreamKey = key.second;
        if (isVolume) vcb->VolumeFcb = fcb;
        else vcb->Fcbs.emplace(key, fcb);
    }
    ++fcb->State->FileObjects;
    ++vcb->FileObjects;
    return fcb;
}

void ReleaseFcb(Vcb* vcb, Fcb* fcb) {
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        --vcb->FileObjects;
        if (--fcb->State->FileObjects != 0) return;
        if (fcb->State->IsVolume) {
            vcb->VolumeFcb = nullptr;
        } else {
            vcb->Fcbs.erase({fcb->State->Node, fcb->State->StreamKey});
        }
    }
    FreeFcb(fcb, true);
}

void FreeFcb(Fcb* fcb, bool kernelAlive) {
    delete fcb->State;
    fcb->State = nullptr;
    if (!kernelAlive) return;
    ExDeleteResourceLite(&fcb->MainResource);
    ExDeleteResourceLite(&fcb->PagingIoResource);
    ExFreePoolWithTag(fcb, kTagFcb);
}

void RefreshFcbSizes(Vcb* vcb, Fcb* fcb, const OpenFile* open) {
    FileSnapshot info;
    if (open->Kind == OpenKind::Volume || !NT_SUCCESS(vcb->Engine->Query(open, &info))) return;
    fcb->Header.AllocationSize.QuadPart = static_cast<LONGLONG>(info.Allocation);
    fcb->Header.FileSize.QuadPart = static_cast<LONGLONG>(info.EndOfFile);
    fcb->Header.ValidDataLength.QuadPart = static_cast<LONGLONG>(info.EndOfFile);
}

}  // namespace plat::fs
