// Streams, their sizes and data, byte-range locks, image sections, and the
// read side of files and directories (snapshots, listings).
#include "fs/engine/volume_impl.h"

#include <string.h>

#include <algorithm>

namespace plat::fs {
namespace {

using Guard = std::lock_guard<std::mutex>;

// NTFS refreshes the last-access time at most once an hour.
constexpr int64_t kAccessTimeGranularity = 3600ll * 10000000;

bool IsDataOpen(const OpenFile* open) {
    return open->Kind == OpenKind::File || open->Kind == OpenKind::Stream;
}

// The checks a change of a stream's data begins with: a live open of a data
// stream (NotAStream otherwise) on a writable volume, of a file not deleted.
NTSTATUS CheckStreamChange(Volume::Impl& v, const OpenFile* open, NTSTATUS NotAStream, Stream** stream) {
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    *stream = v.StreamOf(open);
    if (*stream == nullptr) return NotAStream;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    if (open->Target->Deleted) return STATUS_FILE_DELETED;
    return STATUS_SUCCESS;
}

}  // namespace

Stream* Volume::Impl::StreamOf(const OpenFile* open) {
    if (!IsDataOpen(open)) return nullptr;
    Node* node = open->Target;
    if (open->Kind == OpenKind::File) return &node->Streams.front();
    for (Stream& s : node->Streams) {
        if (!s.StreamName.empty() && Upcase(s.StreamName) == open->StreamKey) return &s;
    }
    return nullptr;
}

uint32_t Volume::Impl::EaSize(const Node* node) const {
    uint32_t size = 0;
    for (const ExtendedAttribute& ea : node->Eas) {
        // FILE_FULL_EA_INFORMATION: 8 bytes, the name and its NUL, the value.
        uint32_t entry = 8 + static_cast<uint32_t>(ea.Name.size()) + 1 + static_cast<uint32_t>(ea.Value.size());
        size += (entry + 3) & ~3u;
    }
    return size;
}

FileSnapshot Volume::Impl::Snapshot(const Node* node, const OpenFile* open, uint64_t linkId) {
    FileSnapshot info;
    info.Id = node->Id;
    info.IsDirectory = node->IsDirectory;
    info.Attributes = ReportedAttributes(node);
    info.Times = node->Times;
    const Stream* stream = nullptr;
    if (open) {
        stream = StreamOf(open);
    } else if (!node->IsDirectory) {
        stream = &node->Streams.front();
    }
    if (stream) {
        info.EndOfFile = stream->Data.size();
        info.Allocation = stream->Allocation;
    }
    info.NumberOfLinks = node->Id == kRootId ? 1 : static_cast<uint32_t>(node->Links.size());
    if (node->Runtime) {
        info.DeletePending = node->Runtime->DeletePending;
        if (open && open->Kind == OpenKind::Stream) {
            StreamRuntime* srt = node->Runtime->FindStream(open->StreamKey);
            info.DeletePending = info.DeletePending || (srt && srt->DeletePending);
        }
    }
    info.EaSize = EaSize(node);
    info.ReparseTag = node->ReparseTag;
    const Link* link = linkId != 0 ? node->FindLink(linkId) : nullptr;
    if (!link) link = PrimaryLink(node);
    if (link) {
        info.LongName = link->LongName;
        info.ShortName = link->ShortName;
    }
    if (IsNtfs()) {
        info.IndexNumber = node->Id;
    } else if (link) {
        // FAT has no file numbers: the index is the place of the directory
        // entry, which a rename changes.
        info.IndexNumber = (link->Parent << 32) | (link->Slot & 0xFFFFFFFF);
    }
    return info;
}

NTSTATUS Volume::Query(const OpenFile* open, FileSnapshot* info) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (open->Kind == OpenKind::Volume) return STATUS_INVALID_PARAMETER;
    *info = m_Impl->Snapshot(open->Target, open, open->LinkId);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::QueryParent(const OpenFile* dir, FileSnapshot* parent) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(dir);
    if (!NT_SUCCESS(status)) return status;
    if (dir->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    Node* node = dir->Target;
    Node* up = node->Id == kRootId ? node : m_Impl->ParentOf(node);
    if (!up) return STATUS_FILE_DELETED;
    *parent = m_Impl->Snapshot(up, nullptr, 0);
    return STATUS_SUCCESS;
}

std::vector<StreamInfo> Volume::Streams(const OpenFile* open) {
    Guard g(m_Impl->Mutex);
    std::vector<StreamInfo> result;
    if (!NT_SUCCESS(m_Impl->CheckOpen(open)) || !open->Target) return result;
    for (const Stream& s : open->Target->Streams) {
        result.push_back(StreamInfo{s.StreamName, s.Data.size(), s.Allocation});
    }
    return result;
}

// --- Data ---------------------------------------------------------------------

NTSTATUS Volume::Read(OpenFile* open, uint64_t offset, void* buffer, size_t length, const LockOwner& owner,
                      size_t* transferred) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    *transferred = 0;
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    Stream* stream = v.StreamOf(open);
    if (!stream) return STATUS_INVALID_DEVICE_REQUEST;
    if (length == 0) return STATUS_SUCCESS;
    uint64_t size = stream->Data.size();
    if (offset >= size) return STATUS_END_OF_FILE;
    StreamRuntime* srt = open->Target->Runtime->FindStream(open->StreamKey);
    if (!srt->Locks.ReadAllowed(owner, ByteRange{offset, length})) return STATUS_FILE_LOCK_CONFLICT;
    size_t count = static_cast<size_t>(std::min<uint64_t>(length, size - offset));
    memcpy(buffer, stream->Data.data() + offset, count);
    *transferred = count;
    Node* node = open->Target;
    int64_t now = v.Now();
    if (!(open->TimesSetByCaller & kTimeLastAccess) && now - node->Times.LastAccess > kAccessTimeGranularity) {
        node->Times.LastAccess = v.StoredTime(now, kTimeLastAccess);
        v.MarkDirty(node);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Volume::Write(OpenFile* open, uint64_t offset, const void* buffer, size_t length, bool toEndOfFile,
                       const LockOwner& owner, size_t* transferred, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    *transferred = 0;
    Stream* stream = nullptr;
    NTSTATUS status = CheckStreamChange(v, open, STATUS_INVALID_DEVICE_REQUEST, &stream);
    if (!NT_SUCCESS(status)) return status;
    Node* node = open->Target;
    if (toEndOfFile) offset = stream->Data.size();
    if (length == 0) return STATUS_SUCCESS;
    uint64_t end = offset + length;
    if (end < offset) return STATUS_INVALID_PARAMETER;
    StreamRuntime* srt = node->Runtime->FindStream(open->StreamKey);
    if (!srt->Locks.WriteAllowed(owner, ByteRange{offset, length})) return STATUS_FILE_LOCK_CONFLICT;
    bool grows = end > stream->Data.size();
    if (grows) {
        if (end > stream->Allocation) {
            status = v.Reallocate(stream, end);
            if (!NT_SUCCESS(status)) return status;
        }
        stream->Data.resize(end);
    }
    memcpy(stream->Data.data() + offset, buffer, length);
    *transferred = length;
    v.MarkDirty(node);
    v.TouchWrite(node, open);
    if (grows) v.NotifyNode(events, node, open->LinkId, kNotifySize, kActionModified);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::SetEndOfFile(OpenFile* open, uint64_t size, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    Stream* stream = nullptr;
    NTSTATUS status = CheckStreamChange(v, open, STATUS_INVALID_PARAMETER, &stream);
    if (!NT_SUCCESS(status)) return status;
    Node* node = open->Target;
    if (size == stream->Data.size()) return STATUS_SUCCESS;
    StreamRuntime* srt = node->Runtime->FindStream(open->StreamKey);
    if (size < stream->Data.size() && srt->ImageSections != 0) return STATUS_USER_MAPPED_FILE;
    if (size > stream->Allocation || v.ClustersFor(size) < v.ClustersFor(stream->Allocation)) {
        status = v.Reallocate(stream, size);
        if (!NT_SUCCESS(status)) return status;
    }
    stream->Data.resize(size);
    v.MarkDirty(node);
    v.TouchWrite(node, open);
    v.NotifyNode(events, node, open->LinkId, kNotifySize, kActionModified);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::SetAllocation(OpenFile* open, uint64_t size, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    Stream* stream = nullptr;
    NTSTATUS status = CheckStreamChange(v, open, STATUS_INVALID_PARAMETER, &stream);
    if (!NT_SUCCESS(status)) return status;
    Node* node = open->Target;
    StreamRuntime* srt = node->Runtime->FindStream(open->StreamKey);
    if (size < stream->Data.size() && srt->ImageSections != 0) return STATUS_USER_MAPPED_FILE;
    status = v.Reallocate(stream, size);
    if (!NT_SUCCESS(status)) return status;
    bool truncated = size < stream->Data.size();
    if (truncated) stream->Data.resize(size);
    v.MarkDirty(node);
    if (truncated) {
        v.TouchWrite(node, open);
        v.NotifyNode(events, node, open->LinkId, kNotifySize, kActionModified);
    }
    return STATUS_SUCCESS;
}

// --- Locks and image sections ---------------------------------------------------

NTSTATUS Volume::LockRange(OpenFile* open, const LockOwner& owner, ByteRange range, bool exclusive) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!IsDataOpen(open)) return STATUS_INVALID_PARAMETER;
    StreamRuntime* srt = open->Target->Runtime->FindStream(open->StreamKey);
    return srt->Locks.Lock(owner, range, exclusive) ? STATUS_SUCCESS : STATUS_LOCK_NOT_GRANTED;
}

NTSTATUS Volume::UnlockRange(OpenFile* open, const LockOwner& owner, ByteRange range) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!IsDataOpen(open)) return STATUS_INVALID_PARAMETER;
    StreamRuntime* srt = open->Target->Runtime->FindStream(open->StreamKey);
    return srt->Locks.UnlockSingle(owner, range) ? STATUS_SUCCESS : STATUS_RANGE_NOT_LOCKED;
}

void Volume::UnlockAll(OpenFile* open, const void* fileObject, uint64_t processId) {
    Guard g(m_Impl->Mutex);
    if (!open || !IsDataOpen(open)) return;
    open->Target->Runtime->FindStream(open->StreamKey)->Locks.UnlockAll(fileObject, processId);
}

void Volume::UnlockAllByKey(OpenFile* open, const void* fileObject, uint64_t processId, uint32_t key) {
    Guard g(m_Impl->Mutex);
    if (!open || !IsDataOpen(open)) return;
    open->Target->Runtime->FindStream(open->StreamKey)->Locks.UnlockAllByKey(fileObject, processId, key);
}

NTSTATUS Volume::SetImageSection(OpenFile* open, bool mapped) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = m_Impl->CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!IsDataOpen(open)) return STATUS_INVALID_PARAMETER;
    StreamRuntime* srt = open->Target->Runtime->FindStream(open->StreamKey);
    if (mapped) {
        ++srt->ImageSections;
    } else if (srt->ImageSections != 0) {
        --srt->ImageSections;
    }
    return STATUS_SUCCESS;
}

// --- Listings -------------------------------------------------------------------

NTSTATUS Volume::Enumerate(const OpenFile* dir, const DirectoryCursor& cursor, bool start,
                           const std::function<bool(const DirectoryListing&, const DirectoryCursor&)>& visit) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = v.CheckOpen(dir);
    if (!NT_SUCCESS(status)) return status;
    if (dir->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    const Directory& index = *dir->Target->Children;
    DirectoryCursor at = cursor;
    bool first = start;
    while (const DirectoryEntry* entry = index.Next(at, first)) {
        first = false;
        at = index.CursorOf(*entry);
        const Node* child = v.Find(entry->Child);
        if (child->IsMetadata) continue;
        DirectoryListing listing{entry, v.Snapshot(child, nullptr, entry->LinkId)};
        if (!visit(listing, at)) break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Volume::FindEntry(const OpenFile* dir, NameView name,
                           const std::function<void(const DirectoryListing&, const DirectoryCursor&)>& visit) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = v.CheckOpen(dir);
    if (!NT_SUCCESS(status)) return status;
    if (dir->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    const Directory& index = *dir->Target->Children;
    const DirectoryEntry* entry = index.Find(name);
    if (entry == nullptr) return STATUS_NO_SUCH_FILE;
    DirectoryListing listing{entry, v.Snapshot(v.Find(entry->Child), nullptr, entry->LinkId)};
    visit(listing, index.CursorOf(*entry));
    return STATUS_SUCCESS;
}

std::vector<ReparseIndexEntry> Volume::ReparseIndex(std::optional<ReparseIndexEntry> after, size_t max) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    std::vector<ReparseIndexEntry> result;
    auto it = after ? v.ReparsePoints.upper_bound({after->Tag, after->Id}) : v.ReparsePoints.begin();
    for (; it != v.ReparsePoints.end() && result.size() < max; ++it) {
        result.push_back(ReparseIndexEntry{it->second, it->first});
    }
    return result;
}

}  // namespace plat::fs
