// The open life cycle: create (path walk, dispositions, access, share access,
// new files), cleanup (share access, locks, delete on close) and close.
#include "fs/engine/volume_impl.h"

#include <algorithm>

namespace plat::fs {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kShareRelevantRead = kFileReadData | kFileExecute;
constexpr uint32_t kShareRelevantWrite = kFileWriteData | kFileAppendData;
// Rights that change a file: refused on read-only files, metadata files and
// write-protected volumes.
constexpr uint32_t kModifyingAccess = kFileWriteData | kFileAppendData | kFileWriteEa | kFileWriteAttributes |
                                      kDelete | kWriteDac | kWriteOwner | kFileDeleteChild;

uint32_t MapGeneric(uint32_t access) {
    if (access & kGenericRead) access |= kFileGenericRead;
    if (access & kGenericWrite) access |= kFileGenericWrite;
    if (access & kGenericExecute) access |= kFileGenericExecute;
    if (access & kGenericAll) access |= kFileAllAccess;
    return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

bool Overwrites(uint32_t disposition) {
    return disposition == kSupersede || disposition == kOverwrite || disposition == kOverwriteIf;
}

// IoCheckShareAccess: opens asking for none of read, write or delete access
// neither conflict nor count.
bool ShareRelevant(uint32_t access) {
    return (access & (kShareRelevantRead | kShareRelevantWrite | kDelete)) != 0;
}

bool ShareConflicts(const ShareCounts& c, uint32_t access, uint32_t share) {
    bool read = (access & kShareRelevantRead) != 0;
    bool write = (access & kShareRelevantWrite) != 0;
    bool del = (access & kDelete) != 0;
    if (read && c.SharedRead < c.OpenCount) return true;
    if (write && c.SharedWrite < c.OpenCount) return true;
    if (del && c.SharedDelete < c.OpenCount) return true;
    if (c.Readers != 0 && !(share & kShareRead)) return true;
    if (c.Writers != 0 && !(share & kShareWrite)) return true;
    if (c.Deleters != 0 && !(share & kShareDelete)) return true;
    return false;
}

void ShareUpdate(ShareCounts& c, uint32_t access, uint32_t share, int delta) {
    c.OpenCount += delta;
    if (access & kShareRelevantRead) c.Readers += delta;
    if (access & kShareRelevantWrite) c.Writers += delta;
    if (access & kDelete) c.Deleters += delta;
    if (share & kShareRead) c.SharedRead += delta;
    if (share & kShareWrite) c.SharedWrite += delta;
    if (share & kShareDelete) c.SharedDelete += delta;
}

constexpr NameView kReparseIndexName = u"$R";
constexpr NameView kDirectoryIndexName = u"$I30";

}  // namespace

// What a path names, found without changing anything.
struct PathWalk {
    Node* Parent = nullptr;      // directory holding the final component
    Node* Final = nullptr;       // the existing node it names, if any
    const DirectoryEntry* Entry = nullptr;
    ComponentParts Parts;
    bool TrailingSlash = false;
    bool RelativeStream = false; // ":stream" relative to an open file
    size_t FinalEnd = ~size_t(0); // where the final file name ends in the request's path
};

class CreateOperation {
public:
    CreateOperation(Volume::Impl& v, const CreateRequest& r, CreateResult& res)
        : V(v), R(r), Res(res), Desired(MapGeneric(r.DesiredAccess)) {}

    void Run();

private:
    NTSTATUS Validate();
    NTSTATUS OpenVolume();
    NTSTATUS OpenById();
    NTSTATUS Walk(PathWalk* w);
    NTSTATUS WalkRelated(PathWalk* w, NameView* rest);
    NTSTATUS OpenTargetDirectory(const PathWalk& w);
    NTSTATUS OpenExisting(const PathWalk& w);
    NTSTATUS CreateNew(const PathWalk& w);
    NTSTATUS Reparse(const Node* node, size_t remaining);
    NTSTATUS CheckObjectAccess(Node* node, Node* parent, uint32_t access, uint32_t* granted);
    NTSTATUS CheckParentAccess(Node* parent, uint32_t access);
    NTSTATUS Overwrite(Node* node, Stream* stream, const PathWalk& w);
    NTSTATUS Finish(Node* node, OpenKind kind, NameView streamKey, uint64_t linkId, uint32_t granted);
    uint32_t GrantedFor(uint32_t desired) const;

    Volume::Impl& V;
    const CreateRequest& R;
    CreateResult& Res;
    uint32_t Desired;
};

void CreateOperation::Run() {
    NTSTATUS status = Validate();
    if (NT_SUCCESS(status)) {
        if (R.By != OpenBy::Path) {
            status = OpenById();
        } else if (R.Path.empty() && !R.Related) {
            status = OpenVolume();
        } else {
            PathWalk w;
            status = Walk(&w);
            if (status == STATUS_SUCCESS) {
                if (R.OpenTargetDirectory) status = OpenTargetDirectory(w);
                else if (w.Final) status = OpenExisting(w);
                else status = CreateNew(w);
            }
        }
    }
    Res.Status = status;
    if (!NT_SUCCESS(status)) Res.Open = nullptr;
}

NTSTATUS CreateOperation::Validate() {
    if (V.Dismounted) return STATUS_VOLUME_DISMOUNTED;
    if (R.Disposition > kOverwriteIf) return STATUS_INVALID_PARAMETER;
    if ((R.Options & kOptDirectoryFile) && (R.Options & kOptNonDirectoryFile)) return STATUS_INVALID_PARAMETER;
    if ((R.Options & kOptDirectoryFile) && R.Disposition != kCreate && R.Disposition != kOpen &&
        R.Disposition != kOpenIf) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((R.Options & kOptDeleteOnClose) && !(Desired & kDelete)) return STATUS_INVALID_PARAMETER;
    if (R.Related && R.Related->Kind != OpenKind::Volume && !R.Related->Target) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

uint32_t CreateOperation::GrantedFor(uint32_t desired) const {
    if (desired & kMaximumAllowed) desired = (desired & ~kMaximumAllowed) | kFileAllAccess;
    return desired;
}

NTSTATUS CreateOperation::OpenVolume() {
    uint32_t granted = GrantedFor(Desired);
    if (V.ReadOnly && (granted & (kFileWriteData | kFileAppendData))) {
        if (!(Desired & kMaximumAllowed)) return STATUS_MEDIA_WRITE_PROTECTED;
        granted &= ~kModifyingAccess;
    }
    if (ShareRelevant(granted) && ShareConflicts(V.VolumeShare, granted, R.ShareAccess)) {
        return STATUS_SHARING_VIOLATION;
    }
    return Finish(nullptr, OpenKind::Volume, u"", 0, granted);
}

NTSTATUS CreateOperation::OpenById() {
    if (!V.IsNtfs()) return STATUS_INVALID_PARAMETER;
    if (R.Disposition == kCreate || R.OpenTargetDirectory) return STATUS_INVALID_PARAMETER;
    Node* node = nullptr;
    if (R.By == OpenBy::FileId) {
        node = V.Find(R.Id);
        if (!node || node->Deleted) return STATUS_INVALID_PARAMETER;
    } else {
        auto it = V.ObjectIds.find(R.ObjectId);
        if (it == V.ObjectIds.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        node = V.Find(it->second);
    }
    PathWalk w;
    w.Final = node;
    w.Parent = node->Id == kRootId ? nullptr : V.ParentOf(node);
    const Link* link = V.PrimaryLink(node);
    if (link && w.Parent) w.Entry = w.Parent->Children->Find(link->LongName);
    return OpenExisting(w);
}

// The starting point of a relative open: a directory, or an open file whose
// stream is named by a name that begins with ':'.
NTSTATUS CreateOperation::WalkRelated(PathWalk* w, NameView* rest) {
    const OpenFile* rel = R.Related;
    if (rel->Kind == OpenKind::Volume) {
        w->Parent = V.Root();
        return STATUS_SUCCESS;
    }
    NTSTATUS status = V.CheckOpen(rel);
    if (!NT_SUCCESS(status)) return status;
    Node* node = rel->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    if (rest->empty() || rest->front() == u':') {
        // The related file itself, or one of its streams.
        w->Final = node;
        w->Parent = node->Id == kRootId ? nullptr : V.ParentOf(node);
        const Link* link = node->FindLink(rel->LinkId);
        if (!link) link = V.PrimaryLink(node);
        if (link && w->Parent) w->Entry = w->Parent->Children->Find(link->LongName);
        w->RelativeStream = true;
        if (rest->empty()) {
            if (rel->Kind == OpenKind::Stream) {
                w->Parts.StreamName = rel->StreamKey;
                w->Parts.HasStreamSyntax = true;
            }
            return STATUS_SUCCESS;
        }
        status = SplitStreamSyntax(V.Kind, *rest, &w->Parts);
        if (!NT_SUCCESS(status)) return status;
        w->FinalEnd = 0;
        *rest = NameView();
        return STATUS_SUCCESS;
    }
    if (rest->front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (!node->IsDirectory) return STATUS_INVALID_PARAMETER;
    w->Parent = node;
    return STATUS_SUCCESS;
}

NTSTATUS CreateOperation::Walk(PathWalk* w) {
    NameView path = R.Path;
    NameView rest = path;
    if (R.Related) {
        NTSTATUS status = WalkRelated(w, &rest);
        if (!NT_SUCCESS(status) || w->RelativeStream) return status;
    } else {
        if (path.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
        rest = path.substr(1);
        w->Parent = V.Root();
        if (rest.empty()) {
            // The root directory itself.
            w->Final = V.Root();
            w->Parent = nullptr;
            return STATUS_SUCCESS;
        }
    }
    if (rest.back() == u'\\') {
        w->TrailingSlash = true;
        rest.remove_suffix(1);
        if (rest.empty() || rest.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    }
    Node* dir = w->Parent;
    size_t consumed = path.size() - rest.size() - (w->TrailingSlash ? 1 : 0);
    while (true) {
        size_t sep = rest.find(u'\\');
        NameView component = rest.substr(0, sep);
        consumed += component.size();
        if (sep == NameView::npos) {
            NTSTATUS status = SplitStreamSyntax(V.Kind, component, &w->Parts);
            if (!NT_SUCCESS(status)) return status;
            w->FinalEnd = consumed - component.size() + w->Parts.FileName.size();
            status = CheckComponent(V.Kind, w->Parts.FileName);
            if (!NT_SUCCESS(status)) return status;
            w->Parent = dir;
            w->Entry = dir->Children->Find(w->Parts.FileName);
            w->Final = w->Entry ? V.Find(w->Entry->Child) : nullptr;
            return STATUS_SUCCESS;
        }
        if (CheckComponent(V.Kind, component) != STATUS_SUCCESS) return STATUS_OBJECT_NAME_INVALID;
        const DirectoryEntry* entry = dir->Children->Find(component);
        if (!entry) return STATUS_OBJECT_PATH_NOT_FOUND;
        Node* next = V.Find(entry->Child);
        if (!next->IsDirectory) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (next->ReparseTag != 0) return Reparse(next, path.size() - consumed);
        dir = next;
        rest = rest.substr(sep + 1);
        consumed += 1;
    }
}

NTSTATUS CreateOperation::Reparse(const Node* node, size_t remaining) {
    Res.ReparseData = node->ReparseData;
    Res.ReparseTag = node->ReparseTag;
    Res.RemainingChars = remaining;
    return STATUS_REPARSE;
}

NTSTATUS CreateOperation::CheckParentAccess(Node* parent, uint32_t access) {
    if (!R.CheckAccess || !V.IsNtfs() || !R.Hooks || !R.Hooks->Check || parent->Security.empty()) {
        return STATUS_SUCCESS;
    }
    uint32_t granted = 0;
    return R.Hooks->Check(parent->Security, access, &granted);
}

// The access check of an existing object. DELETE may also come from the
// parent's FILE_DELETE_CHILD, as NTFS allows.
NTSTATUS CreateOperation::CheckObjectAccess(Node* node, Node* parent, uint32_t access, uint32_t* granted) {
    if (!R.CheckAccess || !V.IsNtfs() || !R.Hooks || !R.Hooks->Check || node->Security.empty()) {
        *granted = GrantedFor(access);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = R.Hooks->Check(node->Security, access, granted);
    if (NT_SUCCESS(status) || !(access & kDelete) || !parent) return status;
    NTSTATUS withoutDelete = R.Hooks->Check(node->Security, access & ~kDelete, granted);
    if (!NT_SUCCESS(withoutDelete)) return status;
    if (!NT_SUCCESS(CheckParentAccess(parent, kFileDeleteChild))) return status;
    *granted |= kDelete;
    return STATUS_SUCCESS;
}

NTSTATUS CreateOperation::OpenTargetDirectory(const PathWalk& w) {
    if (!w.Parent || w.RelativeStream || w.Parts.HasStreamSyntax) return STATUS_OBJECT_NAME_INVALID;
    Node* dir = w.Parent;
    if (dir->Runtime && dir->Runtime->DeletePending) return STATUS_DELETE_PENDING;
    uint32_t granted = 0;
    NTSTATUS status = CheckObjectAccess(dir, V.ParentOf(dir), Desired, &granted);
    if (!NT_SUCCESS(status)) return status;
    StreamRuntime* srt = dir->Runtime ? dir->Runtime->FindStream(u"") : nullptr;
    if (srt && ShareRelevant(granted) && ShareConflicts(srt->Share, granted, R.ShareAccess)) {
        return STATUS_SHARING_VIOLATION;
    }
    const Link* link = V.PrimaryLink(dir);
    status = Finish(dir, OpenKind::Directory, u"", link ? link->LinkId : 0, granted);
    if (!NT_SUCCESS(status)) return status;
    Res.Information = w.Final ? kResultExists : kResultDoesNotExist;
    Res.FinalComponent = w.Parts.FileName;
    return STATUS_SUCCESS;
}

NTSTATUS CreateOperation::OpenExisting(const PathWalk& w) {
    Node* node = w.Final;
    const ComponentParts& parts = w.Parts;
    OpenKind kind = node->IsDirectory ? OpenKind::Directory : OpenKind::File;
    Name streamKey;
    if (parts.IsIndex) {
        if (node->Id == kReparseId && EqualNoCase(parts.StreamName, kReparseIndexName)) kind = OpenKind::ReparseIndex;
        else if (node->IsDirectory && EqualNoCase(parts.StreamName, kDirectoryIndexName)) kind = OpenKind::Directory;
        else return STATUS_OBJECT_NAME_INVALID;
    } else if (!parts.StreamName.empty()) {
        kind = OpenKind::Stream;
        streamKey = Upcase(parts.StreamName);
    }
    Stream* stream = kind == OpenKind::File ? &node->Streams.front()
                     : kind == OpenKind::Stream ? node->FindStream(streamKey) : nullptr;
    bool creatingStream = kind == OpenKind::Stream && !stream;

    if (R.Disposition == kCreate && !creatingStream) return STATUS_OBJECT_NAME_COLLISION;
    if (node->ReparseTag != 0 && !(R.Options & kOptOpenReparsePoint)) {
        return Reparse(node, R.Path.size() - std::min(w.FinalEnd, R.Path.size()));
    }
    NodeRuntime* rt = node->Runtime.get();
    StreamRuntime* srt = rt ? rt->FindStream(streamKey) : nullptr;
    if (rt && rt->DeletePending) return STATUS_DELETE_PENDING;
    if (srt && srt->DeletePending) return STATUS_DELETE_PENDING;
    if (w.TrailingSlash && !node->IsDirectory) return STATUS_OBJECT_NAME_INVALID;
    if (kind == OpenKind::Directory && (R.Options & kOptNonDirectoryFile)) return STATUS_FILE_IS_A_DIRECTORY;
    if (kind != OpenKind::Directory && kind != OpenKind::ReparseIndex && (R.Options & kOptDirectoryFile)) {
        return STATUS_NOT_A_DIRECTORY;
    }
    if (kind == OpenKind::Directory && Overwrites(R.Disposition)) return STATUS_FILE_IS_A_DIRECTORY;
    if (creatingStream && (R.Disposition == kOpen || R.Disposition == kOverwrite)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool changes = Overwrites(R.Disposition) || creatingStream || (R.Options & kOptDeleteOnClose);
    if (node->IsMetadata && ((Desired & kModifyingAccess) || changes)) return STATUS_ACCESS_DENIED;
    if (V.ReadOnly && ((Desired & kModifyingAccess) || changes)) return STATUS_MEDIA_WRITE_PROTECTED;

    uint32_t checked = Desired;
    if (Overwrites(R.Disposition)) checked |= kFileWriteData;
    uint32_t granted = 0;
    NTSTATUS status = CheckObjectAccess(node, w.Parent, checked, &granted);
    if (!NT_SUCCESS(status)) return status;
    if (!(Desired & kMaximumAllowed)) granted = GrantedFor(Desired) | (granted & Desired);

    bool readOnly = (node->Attributes & kAttrReadOnly) != 0;
    if (readOnly && (R.Options & kOptDeleteOnClose)) return STATUS_CANNOT_DELETE;
    if (readOnly && kind != OpenKind::Directory) {
        if (Overwrites(R.Disposition)) return STATUS_ACCESS_DENIED;
        if (granted & (kFileWriteData | kFileAppendData)) {
            if (!(Desired & kMaximumAllowed)) return STATUS_ACCESS_DENIED;
            granted &= ~(kFileWriteData | kFileAppendData);
        }
    }
    if (srt && srt->ImageSections != 0) {
        if (R.Options & kOptDeleteOnClose) return STATUS_CANNOT_DELETE;
        if ((granted & (kFileWriteData | kFileAppendData)) || Overwrites(R.Disposition)) {
            return STATUS_SHARING_VIOLATION;
        }
    }
    if ((R.Options & kOptDeleteOnClose) && (node->Id == kRootId || node->IsMetadata)) return STATUS_CANNOT_DELETE;
    if (kind == OpenKind::File && Overwrites(R.Disposition)) {
        uint32_t guarded = node->Attributes & (kAttrHidden | kAttrSystem);
        if ((R.Attributes & guarded) != guarded) return STATUS_ACCESS_DENIED;
    }
    if (srt && ShareRelevant(granted) && ShareConflicts(srt->Share, granted, R.ShareAccess)) {
        return STATUS_SHARING_VIOLATION;
    }

    uint32_t information = kResultOpened;
    if (creatingStream) {
        if (!V.IsNtfs()) return STATUS_OBJECT_NAME_INVALID;
        Stream s;
        s.StreamName = parts.StreamName;
        status = V.Reallocate(&s, R.AllocationSize);
        if (!NT_SUCCESS(status)) return status;
        node->Streams.push_back(std::move(s));
        stream = &node->Streams.back();
        V.MarkDirty(node);
        V.TouchChange(node);
        V.NotifyNode(&Res.Events, node, w.Entry ? w.Entry->LinkId : 0, kNotifyStreamName, kActionAddedStream);
        information = kResultCreated;
    } else if (Overwrites(R.Disposition)) {
        status = Overwrite(node, stream, w);
        if (!NT_SUCCESS(status)) return status;
        information = R.Disposition == kSupersede ? kResultSuperseded : kResultOverwritten;
    }
    uint64_t linkId = w.Entry ? w.Entry->LinkId : 0;
    status = Finish(node, kind, streamKey, linkId, granted);
    if (NT_SUCCESS(status)) Res.Information = information;
    return status;
}

// FILE_SUPERSEDE / FILE_OVERWRITE(_IF): the stream is emptied; for the
// unnamed stream the named streams go too, the attributes are replaced (with
// ARCHIVE) and the EAs are replaced by the caller's.
NTSTATUS CreateOperation::Overwrite(Node* node, Stream* stream, const PathWalk& w) {
    bool whole = stream == &node->Streams.front() && !node->IsDirectory;
    if (whole && node->Runtime) {
        for (auto& srt : node->Runtime->Streams) {
            if (!srt->Key.empty() && srt->Handles != 0) return STATUS_SHARING_VIOLATION;
        }
    }
    if (R.Eas && !V.IsNtfs()) return STATUS_EAS_NOT_SUPPORTED;
    NTSTATUS status = V.Reallocate(stream, R.AllocationSize);
    if (!NT_SUCCESS(status)) return status;
    stream->Data.clear();
    if (whole) {
        while (node->Streams.size() > 1) {
            V.Reallocate(&node->Streams.back(), 0);
            node->Streams.pop_back();
        }
        uint32_t settable = V.IsNtfs() ? kAttrSettableNtfs : kAttrSettableFat;
        node->Attributes = (node->Attributes & kAttrCompressed) | (R.Attributes & settable) | kAttrArchive;
        node->Eas = R.Eas ? *R.Eas : std::vector<ExtendedAttribute>();
    }
    V.MarkDirty(node);
    V.TouchWrite(node, nullptr);
    uint64_t linkId = w.Entry ? w.Entry->LinkId : 0;
    V.NotifyNode(&Res.Events, node, linkId, kNotifySize | kNotifyLastWrite | kNotifyAttributes, kActionModified);
    return STATUS_SUCCESS;
}

NTSTATUS CreateOperation::CreateNew(const PathWalk& w) {
    if (R.Disposition == kOpen || R.Disposition == kOverwrite) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ComponentParts& parts = w.Parts;
    Node* parent = w.Parent;
    bool directory = (R.Options & kOptDirectoryFile) != 0;
    if (parts.IsIndex) return STATUS_OBJECT_NAME_INVALID;
    if (directory && !parts.StreamName.empty()) return STATUS_NOT_A_DIRECTORY;
    if (w.TrailingSlash && !directory) return STATUS_OBJECT_NAME_INVALID;
    if (parent->Runtime && parent->Runtime->DeletePending) return STATUS_DELETE_PENDING;
    if (parent->IsMetadata) return STATUS_ACCESS_DENIED;
    if (V.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    if (R.Eas && !R.Eas->empty() && !V.IsNtfs()) return STATUS_EAS_NOT_SUPPORTED;
    uint32_t settable = V.IsNtfs() ? kAttrSettableNtfs : kAttrSettableFat;
    uint32_t attributes = R.Attributes & settable;
    if ((attributes & kAttrReadOnly) && (R.Options & kOptDeleteOnClose)) return STATUS_CANNOT_DELETE;
    NTSTATUS status = CheckParentAccess(parent, directory ? kFileAppendData : kFileWriteData);
    if (!NT_SUCCESS(status)) return status;

    std::vector<uint8_t> security;
    if (V.IsNtfs()) {
        if (R.Hooks && R.Hooks->Assign) {
            status = R.Hooks->Assign(parent->Security, R.Security, directory, &security);
            if (!NT_SUCCESS(status)) return status;
        } else if (R.Security) {
            security = *R.Security;
        }
    }
    Stream data;
    data.StreamName = parts.StreamName;
    if (!directory) {
        status = V.Reallocate(&data, R.AllocationSize);
        if (!NT_SUCCESS(status)) return status;
    }
    // Nothing fails from here on, except a name collision that Walk ruled out.
    FileId id = V.NextId++;
    V.HeaderDirty = true;
    Node* node = V.NewNode(id, directory);
    if (!directory) attributes |= kAttrArchive;
    if (V.IsNtfs() && (parent->Attributes & kAttrCompressed)) attributes |= kAttrCompressed;
    node->Attributes = attributes;
    node->Security = std::move(security);
    if (R.Eas) node->Eas = *R.Eas;
    if (!directory) {
        if (parts.StreamName.empty()) {
            node->Streams.front() = std::move(data);
        } else {
            node->Streams.push_back(std::move(data));
        }
    }
    uint64_t linkId = 0;
    status = V.AddLink(parent, node, parts.FileName, true, &linkId);
    if (!NT_SUCCESS(status)) {
        V.Destroy(node);
        return status;
    }
    V.TouchDirectory(parent);
    V.Notify(&Res.Events, parent, parts.FileName, directory ? kNotifyDirName : kNotifyFileName, kActionAdded);
    OpenKind kind = directory ? OpenKind::Directory : parts.StreamName.empty() ? OpenKind::File : OpenKind::Stream;
    status = Finish(node, kind, Upcase(parts.StreamName), linkId, GrantedFor(Desired));
    if (NT_SUCCESS(status)) Res.Information = kResultCreated;
    return status;
}

NTSTATUS CreateOperation::Finish(Node* node, OpenKind kind, NameView streamKey, uint64_t linkId, uint32_t granted) {
    auto open = std::make_unique<OpenFile>();
    open->Kind = kind;
    open->Target = node;
    open->StreamKey = Name(streamKey);
    open->LinkId = linkId;
    open->Granted = granted;
    open->Share = R.ShareAccess;
    open->ShareCounted = ShareRelevant(granted);
    open->DeleteOnClose = (R.Options & kOptDeleteOnClose) != 0;
    open->WriteThrough = (R.Options & kOptWriteThrough) != 0;
    open->NoIntermediateBuffering = (R.Options & kOptNoIntermediateBuffering) != 0;
    if (kind == OpenKind::Volume) {
        if (open->ShareCounted) ShareUpdate(V.VolumeShare, granted, R.ShareAccess, 1);
    } else {
        if (!node->Runtime) node->Runtime = std::make_unique<NodeRuntime>();
        NodeRuntime& rt = *node->Runtime;
        StreamRuntime* srt = rt.GetStream(streamKey);
        if (open->ShareCounted) ShareUpdate(srt->Share, granted, R.ShareAccess, 1);
        ++srt->Handles;
        ++rt.Handles;
        ++rt.References;
    }
    Res.Open = open.get();
    V.Opens.emplace(open.get(), std::move(open));
    return STATUS_SUCCESS;
}

CreateResult Volume::Create(const CreateRequest& request) {
    Guard g(m_Impl->Mutex);
    CreateResult result;
    CreateOperation(*m_Impl, request, result).Run();
    return result;
}

// --- Cleanup and close ----------------------------------------------------------

NTSTATUS Volume::Impl::CheckOpen(const OpenFile* open) const {
    if (!open) return STATUS_INVALID_PARAMETER;
    if (Dismounted) return STATUS_VOLUME_DISMOUNTED;
    return STATUS_SUCCESS;
}

void Volume::Impl::RemoveShare(OpenFile* open) {
    if (!open->ShareCounted) return;
    open->ShareCounted = false;
    if (open->Kind == OpenKind::Volume) {
        ShareUpdate(VolumeShare, open->Granted, open->Share, -1);
        return;
    }
    StreamRuntime* srt = open->Target->Runtime->FindStream(open->StreamKey);
    ShareUpdate(srt->Share, open->Granted, open->Share, -1);
}

// The last handle of a node whose deletion is pending is gone: the name the
// deletion was asked through disappears; the node goes with its last name.
void Volume::Impl::CompleteDeletion(Node* node, OpenFile* last, ChangeEvents* events) {
    NodeRuntime& rt = *node->Runtime;
    rt.DeletePending = false;
    if (node->IsDirectory && !node->Children->Empty()) return;
    uint64_t linkId = rt.DeleteLinkId != 0 ? rt.DeleteLinkId : last->LinkId;
    const Link* link = node->FindLink(linkId);
    if (!link) link = PrimaryLink(node);
    if (!link) return;
    Node* parent = Find(link->Parent);
    Notify(events, parent, link->LongName, node->IsDirectory ? kNotifyDirName : kNotifyFileName, kActionRemoved);
    TouchDirectory(parent);
    RemoveLink(node, link->LinkId);
    if (!node->Deleted) TouchChange(node);
}

ChangeEvents Volume::Cleanup(OpenFile* open, bool modified, const void* fileObject, uint64_t processId) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    ChangeEvents events;
    if (!open || open->CleanedUp) return events;
    open->CleanedUp = true;
    v.RemoveShare(open);
    if (open->Kind == OpenKind::Volume) return events;
    Node* node = open->Target;
    NodeRuntime& rt = *node->Runtime;
    StreamRuntime* srt = rt.FindStream(open->StreamKey);
    --srt->Handles;
    --rt.Handles;
    srt->Locks.UnlockAll(fileObject, processId);
    if (node->Deleted || v.Dismounted) return events;

    if (modified && (open->Kind == OpenKind::File || open->Kind == OpenKind::Stream)) {
        v.TouchWrite(node, open);
        v.NotifyNode(&events, node, open->LinkId, kNotifyLastWrite, kActionModified);
    }
    if (open->DeleteOnClose) {
        bool deletable = !(node->Attributes & kAttrReadOnly) && !(node->IsDirectory && !node->Children->Empty());
        if (deletable && open->Kind == OpenKind::Stream) {
            srt->DeletePending = true;
        } else if (deletable) {
            rt.DeletePending = true;
            if (rt.DeleteLinkId == 0) rt.DeleteLinkId = open->LinkId;
        }
    }
    if (open->Kind == OpenKind::Stream && srt->DeletePending && srt->Handles == 0) {
        srt->DeletePending = false;
        for (auto it = node->Streams.begin(); it != node->Streams.end(); ++it) {
            if (!it->StreamName.empty() && Upcase(it->StreamName) == open->StreamKey) {
                v.Reallocate(&*it, 0);
                node->Streams.erase(it);
                break;
            }
        }
        v.MarkDirty(node);
        v.NotifyNode(&events, node, open->LinkId, kNotifyStreamName, kActionRemovedStream);
    }
    if (rt.Handles == 0 && rt.DeletePending) v.CompleteDeletion(node, open, &events);
    return events;
}

void Volume::Close(OpenFile* open) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    auto it = v.Opens.find(open);
    if (it == v.Opens.end()) return;
    std::unique_ptr<OpenFile> owned = std::move(it->second);
    v.Opens.erase(it);
    if (!owned->CleanedUp) {
        // A close without cleanup (a file object that never got a handle):
        // release what the open held, without delete-on-close.
        owned->CleanedUp = true;
        v.RemoveShare(owned.get());
        if (owned->Kind != OpenKind::Volume) {
            NodeRuntime& rt = *owned->Target->Runtime;
            --rt.FindStream(owned->StreamKey)->Handles;
            --rt.Handles;
        }
    }
    if (owned->Kind == OpenKind::Volume) return;
    Node* node = owned->Target;
    NodeRuntime& rt = *node->Runtime;
    if (--rt.References == 0) node->Runtime.reset();
    v.ReleaseIfUnused(node);
}

}  // namespace plat::fs
