// The name tree of a volume: links between directories and nodes, paths,
// rename and hard links.
#include "fs/engine/volume_impl.h"

#include <algorithm>

namespace plat::fs {
namespace {

using Guard = std::lock_guard<std::mutex>;
constexpr size_t kMaxLinks = 1024;

}  // namespace

Node* Volume::Impl::ParentOf(const Node* node) {
    const Link* link = PrimaryLink(node);
    return link ? Find(link->Parent) : nullptr;
}

const Link* Volume::Impl::PrimaryLink(const Node* node) const {
    return node->Links.empty() ? nullptr : &node->Links.front();
}

Name Volume::Impl::PathOf(const Node* node, uint64_t linkId) {
    if (node->Id == kRootId) return u"\\";
    std::vector<const Name*> parts;
    const Node* walk = node;
    const Link* link = linkId != 0 ? node->FindLink(linkId) : nullptr;
    if (!link) link = PrimaryLink(node);
    while (link) {
        parts.push_back(&link->LongName);
        walk = Find(link->Parent);
        if (!walk || walk->Id == kRootId) break;
        link = PrimaryLink(walk);
    }
    Name path;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        path.push_back(u'\\');
        path += **it;
    }
    return path;
}

bool Volume::Impl::IsAncestor(const Node* ancestor, const Node* node) {
    const Node* walk = node;
    while (walk) {
        if (walk == ancestor) return true;
        if (walk->Id == kRootId) return false;
        walk = ParentOf(walk);
    }
    return false;
}

NTSTATUS Volume::Impl::AddLink(Node* dir, Node* child, NameView longName, bool shortName, uint64_t* linkId) {
    Directory& index = *dir->Children;
    if (index.Contains(longName)) return STATUS_OBJECT_NAME_COLLISION;
    Link link;
    link.LinkId = *linkId != 0 ? *linkId : NextLinkId++;
    link.Parent = dir->Id;
    link.LongName = Name(longName);
    if (shortName && !IsLegalShortName(longName)) {
        link.ShortName = GenerateShortName(longName, [&](NameView candidate) { return index.Contains(candidate); });
    }
    if (Kind == FsKind::Fat) link.Slot = index.TakeSlot();
    DirectoryEntry entry{child->Id, link.LinkId, link.LongName, link.ShortName, link.Slot};
    if (!index.Insert(entry)) return STATUS_OBJECT_NAME_COLLISION;
    *linkId = link.LinkId;
    child->Links.push_back(std::move(link));
    MarkDirty(child);
    return STATUS_SUCCESS;
}

void Volume::Impl::RemoveLink(Node* child, uint64_t linkId) {
    auto it = std::find_if(child->Links.begin(), child->Links.end(),
                           [&](const Link& l) { return l.LinkId == linkId; });
    if (it == child->Links.end()) return;
    Node* dir = Find(it->Parent);
    if (dir) dir->Children->Remove(it->LongName);
    child->Links.erase(it);
    MarkDirty(child);
    if (child->Links.empty()) Destroy(child);
}

// A file that a rename or link may replace: a file nobody has open, not
// read-only, not mapped as an image.
NTSTATUS Volume::Impl::CheckReplaceable(Node* target) {
    if (target->IsDirectory || target->IsMetadata) return STATUS_ACCESS_DENIED;
    if (target->Runtime) {
        if (target->Runtime->DeletePending) return STATUS_DELETE_PENDING;
        if (target->Runtime->Handles != 0) return STATUS_ACCESS_DENIED;
    }
    if (target->Attributes & kAttrReadOnly) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

bool Volume::Impl::HasOpenDescendants(const Node* dir) {
    for (auto& [key, open] : Opens) {
        if (open->CleanedUp || !open->Target || open->Target == dir) continue;
        if (IsAncestor(dir, open->Target)) return true;
    }
    return false;
}

NTSTATUS Volume::Impl::MoveOrLink(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace,
                                  bool link, ChangeEvents* events) {
    NTSTATUS status = CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (open->Kind != OpenKind::File && open->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    if (node->Id == kRootId || node->IsMetadata) return STATUS_ACCESS_DENIED;
    if (node->Runtime && node->Runtime->DeletePending) return STATUS_DELETE_PENDING;
    if (link) {
        if (!IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
        if (node->IsDirectory) return STATUS_FILE_IS_A_DIRECTORY;
        if (node->Links.size() >= kMaxLinks) return STATUS_TOO_MANY_LINKS;
    }
    Link* current = node->FindLink(open->LinkId);
    if (!current) current = node->Links.empty() ? nullptr : &node->Links.front();
    if (!current) return STATUS_FILE_DELETED;

    Node* dest = nullptr;
    if (targetDir) {
        NTSTATUS targetStatus = CheckOpen(targetDir);
        if (!NT_SUCCESS(targetStatus)) return targetStatus;
        if (targetDir->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
        dest = targetDir->Target;
    } else {
        dest = Find(current->Parent);
    }
    if (!dest || dest->Deleted) return STATUS_FILE_DELETED;
    if (dest->Runtime && dest->Runtime->DeletePending) return STATUS_DELETE_PENDING;
    if (dest->IsMetadata && dest->Id != kRootId) return STATUS_ACCESS_DENIED;
    status = CheckComponent(Kind, newName);
    if (!NT_SUCCESS(status)) return status;
    if (node->IsDirectory && IsAncestor(node, dest)) return STATUS_INVALID_PARAMETER;

    const DirectoryEntry* existing = dest->Children->Find(newName);
    bool sameEntry = existing && existing->Child == node->Id && existing->LinkId == current->LinkId;
    if (existing && !sameEntry) {
        if (!replace) return STATUS_OBJECT_NAME_COLLISION;
        Node* victim = Find(existing->Child);
        // Replacing works between files only, whichever side is a directory.
        if (node->IsDirectory) return STATUS_ACCESS_DENIED;
        if (victim != node) {
            status = CheckReplaceable(victim);
            if (!NT_SUCCESS(status)) return status;
        }
    }
    if (sameEntry && link) return STATUS_OBJECT_NAME_COLLISION;
    if (sameEntry && existing->LongName == newName) return STATUS_SUCCESS;  // nothing changes
    if (!link && node->IsDirectory && HasOpenDescendants(node)) return STATUS_ACCESS_DENIED;

    // Checks are done; from here on nothing fails. Removing a replaced name
    // may move the node's links, so the current one is kept by identity.
    uint64_t currentLinkId = current->LinkId;
    Name oldName = current->LongName;
    Node* source = Find(current->Parent);
    uint32_t nameFilter = node->IsDirectory ? kNotifyDirName : kNotifyFileName;
    if (existing && !sameEntry) {
        Node* victim = Find(existing->Child);
        uint64_t victimLink = existing->LinkId;
        Notify(events, dest, existing->LongName, kNotifyFileName, kActionRemoved);
        RemoveLink(victim, victimLink);
    }
    uint64_t linkId = 0;
    if (link) {
        AddLink(dest, node, newName, false, &linkId);
        Notify(events, dest, newName, kNotifyFileName, kActionAdded);
    } else {
        bool sameDir = source == dest;
        if (sameDir) Notify(events, source, oldName, nameFilter, kActionRenamedOldName);
        else Notify(events, source, oldName, nameFilter, kActionRemoved);
        linkId = currentLinkId;
        auto it = std::find_if(node->Links.begin(), node->Links.end(),
                               [&](const Link& l) { return l.LinkId == linkId; });
        source->Children->Remove(oldName);
        node->Links.erase(it);
        AddLink(dest, node, newName, true, &linkId);
        Notify(events, dest, newName, nameFilter, sameDir ? kActionRenamedNewName : kActionAdded);
        TouchDirectory(source);
    }
    TouchDirectory(dest);
    TouchChange(node);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::Rename(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace,
                        ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    return m_Impl->MoveOrLink(open, targetDir, newName, replace, false, events);
}

NTSTATUS Volume::HardLink(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace,
                          ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    return m_Impl->MoveOrLink(open, targetDir, newName, replace, true, events);
}

NTSTATUS Volume::PathOf(const OpenFile* open, Name* path) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (open->Kind == OpenKind::Volume) {
        path->clear();
        return STATUS_SUCCESS;
    }
    const Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    *path = m_Impl->PathOf(node, open->LinkId);
    if (open->Kind == OpenKind::ReparseIndex) {
        *path += u":$R:$INDEX_ALLOCATION";
    } else if (open->Kind == OpenKind::Stream) {
        const Stream* s = node->FindStream(open->StreamKey);
        path->push_back(u':');
        *path += s ? s->StreamName : open->StreamKey;
    }
    return STATUS_SUCCESS;
}

}  // namespace plat::fs
