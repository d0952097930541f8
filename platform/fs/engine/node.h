// The records of a volume: one Node per file or directory, as an NTFS file
// record holds it (names, streams, extended attributes, security, object ID,
// reparse point), plus the directory index of its children.
#pragma once

#include "fs/engine/byte_range_locks.h"
#include "fs/engine/directory.h"
#include "fs/engine/names.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace plat::fs {

using FileId = uint64_t;
constexpr FileId kInvalidFileId = ~0ull;

// NTFS record numbers: 0-15 are the metadata files, the root is 5; the
// metadata under \$Extend and every user file come after. Numbers are never
// handed out twice on a volume (the next number is part of the volume header).
constexpr FileId kMftId = 0;
constexpr FileId kMftMirrId = 1;
constexpr FileId kLogFileId = 2;
constexpr FileId kVolumeFileId = 3;
constexpr FileId kAttrDefId = 4;
constexpr FileId kRootId = 5;
constexpr FileId kBitmapId = 6;
constexpr FileId kBootId = 7;
constexpr FileId kBadClusId = 8;
constexpr FileId kSecureId = 9;
constexpr FileId kUpCaseId = 10;
constexpr FileId kExtendId = 11;
constexpr FileId kQuotaId = 24;
constexpr FileId kObjIdId = 25;
constexpr FileId kReparseId = 26;
constexpr FileId kFirstUserId = 32;

struct FileTimes {
    int64_t Creation = 0;
    int64_t LastAccess = 0;
    int64_t LastWrite = 0;
    int64_t Change = 0;
};

struct Stream {
    Name StreamName;             // empty for the unnamed data stream; spelling kept
    std::vector<uint8_t> Data;   // EndOfFile = Data.size()
    uint64_t Allocation = 0;     // bytes, a multiple of the cluster size
};

struct ExtendedAttribute {
    std::string Name;            // as given; compared without case
    uint8_t Flags = 0;
    std::vector<uint8_t> Value;
};

struct Link {
    uint64_t LinkId = 0;         // identity for the life of the mounted volume
    FileId Parent = kInvalidFileId;
    Name LongName;
    Name ShortName;              // empty when the long name is a legal 8.3 name
    uint64_t Slot = 0;           // FAT: position in the directory (creation order)
};

struct ObjectIdRecord {
    std::array<uint8_t, 16> Id{};
    std::array<uint8_t, 48> Extended{};  // birth volume, birth object, domain
};

struct StreamRuntime;
struct NodeRuntime;

struct Node {
    FileId Id = kInvalidFileId;
    bool IsDirectory = false;
    bool IsMetadata = false;     // not listed in directories
    uint32_t Attributes = 0;     // stored attributes; DIRECTORY and REPARSE_POINT are derived
    FileTimes Times;
    std::vector<Link> Links;
    std::vector<Stream> Streams; // files: Streams[0] is the unnamed stream
    std::vector<ExtendedAttribute> Eas;
    std::vector<uint8_t> Security;  // self-relative security descriptor, or empty
    bool HasObjectId = false;
    ObjectIdRecord ObjectId;
    uint32_t ReparseTag = 0;     // 0: no reparse point
    std::vector<uint8_t> ReparseData;  // the whole REPARSE_DATA_BUFFER
    std::unique_ptr<Directory> Children;  // directories only
    std::unique_ptr<NodeRuntime> Runtime; // open state; null while nothing is open
    bool Deleted = false;        // unlinked, kept until its last close

    Link* FindLink(uint64_t linkId);
    const Link* FindLink(uint64_t linkId) const;
    Stream* FindStream(NameView streamName);
    const Stream* FindStream(NameView streamName) const;
};

// Share-access counts, kept per stream as IoCheckShareAccess keeps them.
struct ShareCounts {
    uint32_t OpenCount = 0;
    uint32_t Readers = 0;
    uint32_t Writers = 0;
    uint32_t Deleters = 0;
    uint32_t SharedRead = 0;
    uint32_t SharedWrite = 0;
    uint32_t SharedDelete = 0;
};

struct StreamRuntime {
    Name Key;                    // upcased stream name ("" = unnamed / directory)
    uint32_t Handles = 0;        // opens not yet cleaned up
    ShareCounts Share;
    bool DeletePending = false;  // named streams: removed at their last cleanup
    uint32_t ImageSections = 0;  // > 0 while mapped as an image
    ByteRangeLocks Locks;
};

struct NodeRuntime {
    uint32_t Handles = 0;        // opens not yet cleaned up
    uint32_t References = 0;     // opens not yet closed
    bool DeletePending = false;
    uint64_t DeleteLinkId = 0;   // the link removed when the deletion happens
    std::vector<std::unique_ptr<StreamRuntime>> Streams;

    StreamRuntime* FindStream(NameView key);
    StreamRuntime* GetStream(NameView key);  // creates it
};

}  // namespace plat::fs
