// Private state of a mounted volume, shared by the engine's source files
// (volume.cpp: mount, flush, volume level; volume_tree.cpp: names, links,
// paths; volume_create.cpp: the open life cycle; volume_data.cpp: streams and
// locks; volume_attributes.cpp: times, EAs, security, object IDs, reparse
// points). Every member is used with Mutex held.
#pragma once

#include "fs/engine/volume.h"

#include <set>
#include <unordered_set>

namespace plat::fs {

using ObjectIdKey = std::array<uint8_t, 16>;

class Volume::Impl {
public:
    Impl(FsKind kind, Clock clock) : Kind(kind), Now(std::move(clock)) {}

    FsKind Kind;
    Clock Now;
    std::mutex Mutex;

    // Volume header (persisted).
    Name Label;
    uint32_t SerialNumber = 0;
    int64_t CreationTime = 0;
    uint32_t ClusterSize = 4096;
    uint64_t TotalClusters = 0;
    uint64_t ReservedClusters = 0;   // metadata: log file, MFT zone, FAT tables
    FileId NextId = kFirstUserId;
    uint64_t NextObjectIdSequence = 1;

    // Derived at mount and kept up to date.
    uint64_t UsedClusters = 0;       // data allocations
    uint64_t NextLinkId = 1;
    std::unordered_map<FileId, std::unique_ptr<Node>> Nodes;
    std::map<ObjectIdKey, FileId> ObjectIds;             // \$Extend\$ObjId
    std::set<std::pair<uint32_t, FileId>> ReparsePoints;  // \$Extend\$Reparse, by tag then file

    // Flush bookkeeping.
    std::unordered_set<FileId> Dirty;
    bool HeaderDirty = true;

    // Opens.
    std::unordered_map<const OpenFile*, std::unique_ptr<OpenFile>> Opens;
    ShareCounts VolumeShare;
    bool ReadOnly = false;
    bool Dismounted = false;

    bool IsNtfs() const { return Kind == FsKind::Ntfs; }

    // --- Records (volume.cpp).
    bool LoadRecords(const VolumeImage& image, std::string* reason);
    bool IndexRecords(std::string* reason);
    bool IndexLinks(Node* node, std::string* reason);
    bool IndexAttributes(const Node* node, std::string* reason);
    bool CheckTree(std::string* reason);
    std::vector<uint8_t> EncodedHeader() const;
    Node* Find(FileId id);
    Node* Root() { return Find(kRootId); }
    Node* NewNode(FileId id, bool directory);
    void MarkDirty(const Node* node) { Dirty.insert(node->Id); }
    uint64_t ClustersFor(uint64_t bytes) const { return (bytes + ClusterSize - 1) / ClusterSize; }
    uint64_t FreeClusters() const;
    // Moves a stream's allocation to `bytes` rounded up to clusters;
    // STATUS_DISK_FULL when the volume has no room.
    NTSTATUS Reallocate(Stream* stream, uint64_t bytes);
    // Drops a node's records once it has no links: allocation, indexes.
    void Destroy(Node* node);
    // Frees a destroyed node when nothing refers to it any more.
    void ReleaseIfUnused(Node* node);

    // --- Names and paths (volume_tree.cpp).
    Node* ParentOf(const Node* node);
    const Link* PrimaryLink(const Node* node) const;
    Name PathOf(const Node* node, uint64_t linkId);
    bool IsAncestor(const Node* ancestor, const Node* node);
    // Adds a name for `child` in `dir`. Short names are made when the long
    // name is no legal 8.3 name and `shortName` is set.
    NTSTATUS AddLink(Node* dir, Node* child, NameView longName, bool shortName, uint64_t* linkId);
    // Removes one of the node's names; the node is destroyed with its last.
    void RemoveLink(Node* child, uint64_t linkId);
    NTSTATUS CheckReplaceable(Node* target);
    NTSTATUS MoveOrLink(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace, bool link,
                        ChangeEvents* events);
    bool HasOpenDescendants(const Node* dir);

    // --- Times and notifications (volume_attributes.cpp).
    uint32_t ReportedAttributes(const Node* node) const;
    void TouchChange(Node* node);
    void TouchWrite(Node* node, const OpenFile* open);
    void TouchDirectory(Node* dir);
    void Notify(ChangeEvents* events, Node* dir, NameView name, uint32_t filter, uint32_t action);
    void NotifyNode(ChangeEvents* events, Node* node, uint64_t linkId, uint32_t filter, uint32_t action);
    int64_t StoredTime(int64_t time, int kind) const;  // FAT granularity

    // --- Snapshots (volume_data.cpp).
    FileSnapshot Snapshot(const Node* node, const OpenFile* open, uint64_t linkId);
    Stream* StreamOf(const OpenFile* open);
    uint32_t EaSize(const Node* node) const;

    // --- Opens (volume_create.cpp).
    NTSTATUS CheckOpen(const OpenFile* open) const;
    void RemoveShare(OpenFile* open);
    void CompleteDeletion(Node* node, OpenFile* last, ChangeEvents* events);
};

// Throws no exceptions: the engine reports every failure as an NTSTATUS.
inline bool IsWriteAccess(uint32_t access) {
    return (access & (kFileWriteData | kFileAppendData)) != 0;
}

}  // namespace plat::fs
