// The volume engine: formatting, mounting an image, flushing into it, and the
// volume-level operations.
#include "fs/engine/volume_impl.h"

#include "fs/engine/record_codec.h"

#include <string.h>

#include <algorithm>

namespace plat::fs {
namespace {

using Guard = std::lock_guard<std::mutex>;

struct MetadataFile {
    FileId Id;
    FileId Parent;
    const char16_t* Name;
    bool Directory;
};

// The NTFS metadata files a fresh volume has. They can be opened by name, are
// never listed and cannot be changed.
constexpr MetadataFile kNtfsMetadata[] = {
    {kMftId, kRootId, u"$MFT", false},         {kMftMirrId, kRootId, u"$MFTMirr", false},
    {kLogFileId, kRootId, u"$LogFile", false}, {kVolumeFileId, kRootId, u"$Volume", false},
    {kAttrDefId, kRootId, u"$AttrDef", false}, {kBitmapId, kRootId, u"$Bitmap", false},
    {kBootId, kRootId, u"$Boot", false},       {kBadClusId, kRootId, u"$BadClus", false},
    {kSecureId, kRootId, u"$Secure", false},   {kUpCaseId, kRootId, u"$UpCase", false},
    {kExtendId, kRootId, u"$Extend", true},    {kQuotaId, kExtendId, u"$Quota", false},
    {kObjIdId, kExtendId, u"$ObjId", false},   {kReparseId, kExtendId, u"$Reparse", false},
};

// Space the file system keeps for itself: the log file and the MFT on NTFS,
// the two allocation tables on FAT32.
uint64_t ReservedBytes(FsKind kind, uint64_t size, uint32_t clusterSize) {
    if (kind == FsKind::Ntfs) {
        uint64_t log = std::clamp<uint64_t>(size / 100, 1ull << 20, 64ull << 20);
        return log + (1ull << 20);
    }
    uint64_t clusters = size / clusterSize;
    return 2 * clusters * 4 + (32 * kSectorSize);
}

bool Corrupt(std::string* reason, const std::string& what) {
    if (reason) *reason = what;
    return false;
}

}  // namespace

// --- Node helpers ------------------------------------------------------------

Link* Node::FindLink(uint64_t linkId) {
    for (Link& l : Links) {
        if (l.LinkId == linkId) return &l;
    }
    return nullptr;
}

const Link* Node::FindLink(uint64_t linkId) const {
    return const_cast<Node*>(this)->FindLink(linkId);
}

Stream* Node::FindStream(NameView streamName) {
    for (Stream& s : Streams) {
        if (EqualNoCase(s.StreamName, streamName)) return &s;
    }
    return nullptr;
}

const Stream* Node::FindStream(NameView streamName) const {
    return const_cast<Node*>(this)->FindStream(streamName);
}

StreamRuntime* NodeRuntime::FindStream(NameView key) {
    for (auto& s : Streams) {
        if (s->Key == key) return s.get();
    }
    return nullptr;
}

StreamRuntime* NodeRuntime::GetStream(NameView key) {
    StreamRuntime* found = FindStream(key);
    if (found) return found;
    Streams.push_back(std::make_unique<StreamRuntime>());
    Streams.back()->Key = Name(key);
    return Streams.back().get();
}

// --- Records ----------------------------------------------------------------

Node* Volume::Impl::Find(FileId id) {
    auto it = Nodes.find(id);
    return it == Nodes.end() ? nullptr : it->second.get();
}

Node* Volume::Impl::NewNode(FileId id, bool directory) {
    auto node = std::make_unique<Node>();
    node->Id = id;
    node->IsDirectory = directory;
    int64_t now = Now();
    node->Times = FileTimes{StoredTime(now, kTimeCreation), StoredTime(now, kTimeLastAccess),
                            StoredTime(now, kTimeLastWrite), StoredTime(now, kTimeChange)};
    if (directory) {
        node->Children = std::make_unique<Directory>(Kind);
    } else {
        node->Streams.push_back(Stream());
    }
    Node* raw = node.get();
    Nodes[id] = std::move(node);
    MarkDirty(raw);
    return raw;
}

uint64_t Volume::Impl::FreeClusters() const {
    uint64_t used = ReservedClusters + UsedClusters;
    return used >= TotalClusters ? 0 : TotalClusters - used;
}

NTSTATUS Volume::Impl::Reallocate(Stream* stream, uint64_t bytes) {
    uint64_t oldClusters = ClustersFor(stream->Allocation);
    uint64_t newClusters = ClustersFor(bytes);
    if (newClusters > oldClusters && newClusters - oldClusters > FreeClusters()) return STATUS_DISK_FULL;
    UsedClusters = UsedClusters - oldClusters + newClusters;
    stream->Allocation = newClusters * ClusterSize;
    return STATUS_SUCCESS;
}

void Volume::Impl::Destroy(Node* node) {
    for (Stream& s : node->Streams) {
        UsedClusters -= ClustersFor(s.Allocation);
        s.Allocation = 0;
        s.Data.clear();
        s.Data.shrink_to_fit();
    }
    if (node->HasObjectId) ObjectIds.erase(node->ObjectId.Id);
    if (node->ReparseTag != 0) ReparsePoints.erase({node->ReparseTag, node->Id});
    node->Deleted = true;
    MarkDirty(node);
    ReleaseIfUnused(node);
}

void Volume::Impl::ReleaseIfUnused(Node* node) {
    if (!node->Deleted) return;
    if (node->Runtime && node->Runtime->References != 0) return;
    Nodes.erase(node->Id);
}

// --- Format and mount ---------------------------------------------------------

Volume::Volume(FsKind kind, Clock clock) : m_Kind(kind), m_Impl(std::make_unique<Impl>(kind, std::move(clock))) {}

Volume::~Volume() = default;

std::unique_ptr<Volume> Volume::Format(const FormatParams& params, Clock clock) {
    std::unique_ptr<Volume> volume(new Volume(params.Kind, std::move(clock)));
    Impl& v = *volume->m_Impl;
    v.Label = params.Label.substr(0, params.Kind == FsKind::Fat ? 11 : 32);
    v.SerialNumber = params.SerialNumber;
    v.CreationTime = params.CreationTime != 0 ? params.CreationTime : v.Now();
    v.ClusterSize = params.ClusterSize;
    v.TotalClusters = params.SizeBytes / params.ClusterSize;
    v.ReservedClusters = std::min(v.TotalClusters, v.ClustersFor(ReservedBytes(params.Kind, params.SizeBytes,
                                                                                params.ClusterSize)));
    Node* root = v.NewNode(kRootId, true);
    if (params.Kind == FsKind::Ntfs) {
        root->Attributes = kAttrHidden | kAttrSystem;
        root->Security = params.RootSecurity;
        for (const MetadataFile& m : kNtfsMetadata) {
            Node* node = v.NewNode(m.Id, m.Directory);
            node->IsMetadata = true;
            node->Attributes = kAttrHidden | kAttrSystem;
            node->Security = params.RootSecurity;
            uint64_t linkId = 0;
            v.AddLink(v.Find(m.Parent), node, m.Name, false, &linkId);
        }
    }
    v.HeaderDirty = true;
    return volume;
}

NTSTATUS Volume::Mount(const VolumeImage& image, Clock clock, std::unique_ptr<Volume>* result,
                       std::string* reason) {
    VolumeHeader header;
    if (!DecodeHeader(image.Header, &header, reason)) {
        bool foreign = image.Header.size() < 4 || memcmp(image.Header.data(), &kImageMagic, 4) != 0;
        return foreign ? STATUS_UNRECOGNIZED_VOLUME : STATUS_DISK_CORRUPT_ERROR;
    }
    std::unique_ptr<Volume> volume(new Volume(header.Kind, std::move(clock)));
    Impl& v = *volume->m_Impl;
    v.Label = header.Label;
    v.SerialNumber = header.SerialNumber;
    v.CreationTime = header.CreationTime;
    v.ClusterSize = header.ClusterSize;
    v.TotalClusters = header.TotalClusters;
    v.ReservedClusters = header.ReservedClusters;
    v.NextId = header.NextId;
    v.NextObjectIdSequence = header.NextObjectIdSequence;
    if (!v.LoadRecords(image, reason)) return STATUS_DISK_CORRUPT_ERROR;
    v.Dirty.clear();
    v.HeaderDirty = false;
    *result = std::move(volume);
    return STATUS_SUCCESS;
}

bool Volume::Impl::LoadRecords(const VolumeImage& image, std::string* reason) {
    for (const auto& [id, bytes] : image.Records) {
        auto node = std::make_unique<Node>();
        std::string why;
        if (!DecodeNode(bytes, node.get(), &why)) return Corrupt(reason, "record " + std::to_string(id) + ": " + why);
        if (node->Id != id) return Corrupt(reason, "record " + std::to_string(id) + " holds another file ID");
        if (id >= NextId && !node->IsMetadata) return Corrupt(reason, "file ID beyond the volume's next ID");
        if (!IsNtfs() && (node->Streams.size() > (node->IsDirectory ? 0u : 1u) || !node->Eas.empty() ||
                          !node->Security.empty() || node->HasObjectId || node->ReparseTag != 0)) {
            return Corrupt(reason, "record " + std::to_string(id) + " uses NTFS features on FAT");
        }
        if (node->IsDirectory) node->Children = std::make_unique<Directory>(Kind);
        Nodes[id] = std::move(node);
    }
    return IndexRecords(reason);
}

namespace {

std::string RecordName(FileId id) {
    return "record " + std::to_string(id);
}

}  // namespace

// A node's names go into their directories' indexes.
bool Volume::Impl::IndexLinks(Node* node, std::string* reason) {
    FileId id = node->Id;
    if (id != kRootId && node->Links.empty()) return Corrupt(reason, RecordName(id) + " has no name");
    if (node->IsDirectory && node->Links.size() > 1) return Corrupt(reason, "directory with several names");
    for (Link& l : node->Links) {
        Node* parent = Find(l.Parent);
        if (!parent || !parent->IsDirectory) return Corrupt(reason, RecordName(id) + " names a missing directory");
        if (CheckComponent(Kind, l.LongName) != STATUS_SUCCESS) {
            return Corrupt(reason, "invalid file name in " + RecordName(id));
        }
        l.LinkId = NextLinkId++;
        DirectoryEntry entry{id, l.LinkId, l.LongName, l.ShortName, l.Slot};
        if (!parent->Children->Insert(entry)) {
            return Corrupt(reason, "duplicate name in directory " + RecordName(l.Parent));
        }
    }
    return true;
}

// A node's allocation, object ID and reparse point go into the volume's
// accounting and indexes.
bool Volume::Impl::IndexAttributes(const Node* node, std::string* reason) {
    for (const Stream& s : node->Streams) {
        if (s.Allocation % ClusterSize != 0 || s.Allocation / ClusterSize > TotalClusters) {
            return Corrupt(reason, "invalid allocation in " + RecordName(node->Id));
        }
        UsedClusters += ClustersFor(s.Allocation);
    }
    if (node->HasObjectId && !ObjectIds.emplace(node->ObjectId.Id, node->Id).second) {
        return Corrupt(reason, "object ID used twice");
    }
    if (node->ReparseTag != 0) ReparsePoints.insert({node->ReparseTag, node->Id});
    return true;
}

// Every directory must reach the root: no cycles, no detached subtrees.
bool Volume::Impl::CheckTree(std::string* reason) {
    for (auto& [id, node] : Nodes) {
        if (!node->IsDirectory) continue;
        const Node* walk = node.get();
        size_t steps = 0;
        while (walk->Id != kRootId) {
            if (++steps > Nodes.size()) return Corrupt(reason, "directory cycle at " + RecordName(id));
            walk = Find(walk->Links[0].Parent);
        }
    }
    return true;
}

// Rebuilds what is not stored: directory indexes, the object-ID and reparse
// indexes, the space in use; and checks that the names form one tree.
bool Volume::Impl::IndexRecords(std::string* reason) {
    Node* root = Root();
    if (!root || !root->IsDirectory || !root->Links.empty()) return Corrupt(reason, "no valid root directory");
    for (auto& [id, node] : Nodes) {
        if (!IndexLinks(node.get(), reason) || !IndexAttributes(node.get(), reason)) return false;
    }
    if (UsedClusters + ReservedClusters > TotalClusters) {
        return Corrupt(reason, "more space in use than the volume has");
    }
    return CheckTree(reason);
}

// --- Flush ------------------------------------------------------------------

std::vector<uint8_t> Volume::Impl::EncodedHeader() const {
    VolumeHeader h;
    h.Kind = Kind;
    h.Label = Label;
    h.SerialNumber = SerialNumber;
    h.CreationTime = CreationTime;
    h.ClusterSize = ClusterSize;
    h.TotalClusters = TotalClusters;
    h.ReservedClusters = ReservedClusters;
    h.NextId = NextId;
    h.NextObjectIdSequence = NextObjectIdSequence;
    return EncodeHeader(h);
}

// Only what changed since the last flush is written: records of changed
// nodes are replaced, those of deleted nodes removed.
void Volume::Flush(VolumeImage* image) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    if (v.HeaderDirty || image->Header.empty()) {
        image->Header = v.EncodedHeader();
        v.HeaderDirty = false;
    }
    for (FileId id : v.Dirty) {
        Node* node = v.Find(id);
        if (node && !node->Deleted) {
            image->Records[id] = EncodeNode(*node);
        } else {
            image->Records.erase(id);
        }
    }
    v.Dirty.clear();
}

VolumeImage Volume::FullImage() {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    VolumeImage image;
    image.Header = v.EncodedHeader();
    for (auto& [id, node] : v.Nodes) {
        if (!node->Deleted) image.Records[id] = EncodeNode(*node);
    }
    return image;
}

bool Volume::HasUnflushedChanges() {
    Guard g(m_Impl->Mutex);
    return m_Impl->HeaderDirty || !m_Impl->Dirty.empty();
}

// --- Volume level -------------------------------------------------------------

VolumeInfo Volume::Info() {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    VolumeInfo info;
    info.Kind = v.Kind;
    info.Label = v.Label;
    info.SerialNumber = v.SerialNumber;
    info.CreationTime = v.CreationTime;
    info.ClusterSize = v.ClusterSize;
    info.TotalClusters = v.TotalClusters;
    info.FreeClusters = v.FreeClusters();
    info.ReadOnly = v.ReadOnly;
    return info;
}

NTSTATUS Volume::SetLabel(NameView label) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    if (v.Dismounted) return STATUS_VOLUME_DISMOUNTED;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    size_t limit = v.IsNtfs() ? 32 : 11;
    if (label.size() > limit) return STATUS_INVALID_VOLUME_LABEL;
    for (char16_t c : label) {
        bool bad = c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
                   c == u'<' || c == u'>' || c == u'|';
        if (!v.IsNtfs() && (c == u'.' || c == u'+' || c == u',' || c == u';' || c == u'=' || c == u'[' ||
                            c == u']')) {
            bad = true;
        }
        if (bad) return STATUS_INVALID_VOLUME_LABEL;
    }
    // FAT keeps labels in upper case, as its directory entry does.
    v.Label = v.IsNtfs() ? Name(label) : Upcase(label);
    v.HeaderDirty = true;
    return STATUS_SUCCESS;
}

NTSTATUS Volume::Extend(uint64_t newSizeBytes) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    if (v.Dismounted) return STATUS_VOLUME_DISMOUNTED;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    if (!v.IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
    uint64_t clusters = newSizeBytes / v.ClusterSize;
    if (clusters <= v.TotalClusters) return STATUS_INVALID_PARAMETER;
    v.TotalClusters = clusters;
    v.HeaderDirty = true;
    return STATUS_SUCCESS;
}

void Volume::SetReadOnly(bool readOnly) {
    Guard g(m_Impl->Mutex);
    m_Impl->ReadOnly = readOnly;
}

void Volume::Dismount() {
    Guard g(m_Impl->Mutex);
    m_Impl->Dismounted = true;
}

bool Volume::IsDismounted() {
    Guard g(m_Impl->Mutex);
    return m_Impl->Dismounted;
}

size_t Volume::NodeCount() {
    Guard g(m_Impl->Mutex);
    return m_Impl->Nodes.size();
}

size_t Volume::OpenCount() {
    Guard g(m_Impl->Mutex);
    return m_Impl->Opens.size();
}

std::string Volume::CheckConsistency() {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    uint64_t used = 0;
    size_t entries = 0;
    size_t links = 0;
    for (auto& [id, node] : v.Nodes) {
        if (node->Deleted) continue;
        for (const Stream& s : node->Streams) {
            if (s.Allocation < s.Data.size()) return "allocation below size in " + std::to_string(id);
            if (s.Allocation % v.ClusterSize != 0) return "allocation not in clusters in " + std::to_string(id);
            used += v.ClustersFor(s.Allocation);
        }
        if (node->IsDirectory) entries += node->Children->Size();
        for (const Link& l : node->Links) {
            ++links;
            Node* parent = v.Find(l.Parent);
            if (!parent || parent->Deleted || !parent->IsDirectory) return "dangling link in " + std::to_string(id);
            const DirectoryEntry* e = parent->Children->Find(l.LongName);
            if (!e || e->Child != id || e->LinkId != l.LinkId) {
                return "link missing from its directory: " + RecordName(id);
            }
            if (!l.ShortName.empty()) {
                const DirectoryEntry* s = parent->Children->Find(l.ShortName);
                if (s != e) return "short name not indexed: " + std::to_string(id);
            }
        }
        if (node->HasObjectId) {
            auto it = v.ObjectIds.find(node->ObjectId.Id);
            if (it == v.ObjectIds.end() || it->second != id) return "object ID not indexed: " + std::to_string(id);
        }
        if (node->ReparseTag != 0 && v.ReparsePoints.count({node->ReparseTag, id}) == 0) {
            return "reparse point not indexed: " + std::to_string(id);
        }
    }
    if (used != v.UsedClusters) return "space accounting differs";
    if (entries != links) return "directory entries and links differ";
    for (auto& [key, id] : v.ObjectIds) {
        Node* node = v.Find(id);
        if (!node || node->Deleted || !node->HasObjectId || node->ObjectId.Id != key) return "stale object ID";
    }
    for (auto& [tag, id] : v.ReparsePoints) {
        Node* node = v.Find(id);
        if (!node || node->Deleted || node->ReparseTag != tag) return "stale reparse index entry";
    }
    return std::string();
}

}  // namespace plat::fs
