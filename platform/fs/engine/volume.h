// The volume engine: a mounted volume's files and directories, independent of
// IRPs. The IRP front end (platform/fs/*.cpp) translates requests into calls
// of this class; tests drive it directly.
//
// Locking: every public member takes the volume's mutex for its whole run and
// releases it before returning. Callbacks passed in (access checks, security
// assignment, enumeration visitors) run with the mutex held and must not call
// back into the volume. Results are returned by value, so that no pointer into
// the volume's records escapes the lock; OpenFile objects are owned by the
// volume and stay valid from a successful Create to their Close.
//
// Opens follow the NT life cycle: Create (one per file object), Cleanup when
// the last handle of the file object goes (share access released, locks
// released, delete-on-close and delete-pending carried out), Close when its
// last reference goes (the open is freed, a deleted node with it).
#pragma once

#include "fs/engine/fs_constants.h"
#include "fs/engine/node.h"
#include "fs/engine/volume_image.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <set>
#include <map>

namespace plat::fs {

struct FormatParams {
    FsKind Kind = FsKind::Ntfs;
    uint64_t SizeBytes = 256ull << 20;
    uint32_t ClusterSize = 4096;
    Name Label;
    uint32_t SerialNumber = 0;
    int64_t CreationTime = 0;
    std::vector<uint8_t> RootSecurity;  // NTFS: the root directory's descriptor
};

// One change, reported to the notification package after the call returns.
struct ChangeEvent {
    Name FullPath;               // volume-relative, "\dir\name" (":stream" for stream events)
    size_t NameOffset = 0;       // characters before the last component
    uint32_t Filter = 0;         // FILE_NOTIFY_CHANGE_*
    uint32_t Action = 0;         // FILE_ACTION_*
};
using ChangeEvents = std::vector<ChangeEvent>;

// Access checking and descriptor assignment, supplied by the front end
// (SeAccessCheck, SeAssignSecurity). Descriptors are self-relative bytes.
struct SecurityHooks {
    // STATUS_SUCCESS with the granted rights, or the denial status.
    std::function<NTSTATUS(const std::vector<uint8_t>& descriptor, uint32_t desired, uint32_t* granted)> Check;
    // The descriptor of a new object under `parent`, from the creator's
    // descriptor (`given`, may be null).
    std::function<NTSTATUS(const std::vector<uint8_t>& parent, const std::vector<uint8_t>* given, bool directory,
                           std::vector<uint8_t>* result)> Assign;
};

enum class OpenKind : uint8_t {
    File,          // a file's unnamed data stream
    Directory,     // a directory
    Stream,        // a named data stream of a file or directory
    Volume,        // the volume itself (empty name)
    ReparseIndex,  // \$Extend\$Reparse:$R:$INDEX_ALLOCATION
};

// Engine state of one file object.
struct OpenFile {
    OpenKind Kind = OpenKind::File;
    Node* Target = nullptr;      // null for volume opens
    Name StreamKey;              // upcased stream name, "" for the unnamed stream
    uint64_t LinkId = 0;         // the name the file was opened by (0: root or by ID)
    uint32_t Granted = 0;
    uint32_t Share = 0;
    bool ShareCounted = false;
    bool DeleteOnClose = false;
    bool CleanedUp = false;
    bool WriteThrough = false;
    bool NoIntermediateBuffering = false;
    uint32_t TimesSetByCaller = 0;  // bits of kTime* below: not updated at cleanup
    Name OpenedName;             // the path as it resolved, with the on-disk spelling
};

constexpr uint32_t kTimeCreation = 1;
constexpr uint32_t kTimeLastAccess = 2;
constexpr uint32_t kTimeLastWrite = 4;
constexpr uint32_t kTimeChange = 8;

enum class OpenBy : uint8_t { Path, FileId, ObjectId };

struct CreateRequest {
    OpenBy By = OpenBy::Path;
    Name Path;                   // "\a\b:s" or relative to Related; empty: volume (or Related itself)
    const OpenFile* Related = nullptr;
    FileId Id = 0;               // OpenBy::FileId
    std::array<uint8_t, 16> ObjectId{};  // OpenBy::ObjectId
    uint32_t Disposition = kOpen;
    uint32_t Options = 0;
    uint32_t DesiredAccess = 0;
    uint32_t ShareAccess = 0;
    uint32_t Attributes = 0;
    uint64_t AllocationSize = 0;
    bool OpenTargetDirectory = false;
    bool CheckAccess = false;    // user-mode request or forced access check
    const std::vector<uint8_t>* Security = nullptr;   // descriptor given by the creator
    const std::vector<ExtendedAttribute>* Eas = nullptr;
    const SecurityHooks* Hooks = nullptr;
};

struct CreateResult {
    NTSTATUS Status = STATUS_SUCCESS;
    uint32_t Information = 0;    // FILE_OPENED, FILE_CREATED, ...
    OpenFile* Open = nullptr;
    // STATUS_REPARSE: the reparse point met and how many characters of the
    // request's path were left unparsed after it.
    std::vector<uint8_t> ReparseData;
    uint32_t ReparseTag = 0;
    size_t RemainingChars = 0;
    // SL_OPEN_TARGET_DIRECTORY: the final component as requested.
    Name FinalComponent;
    ChangeEvents Events;
};

// A snapshot of a file's information, taken under the lock.
struct FileSnapshot {
    FileId Id = 0;
    uint64_t IndexNumber = 0;    // FileInternalInformation (FAT: position of the entry)
    bool IsDirectory = false;
    uint32_t Attributes = 0;     // as reported (NORMAL when nothing else is set)
    FileTimes Times;
    uint64_t EndOfFile = 0;      // of the opened stream
    uint64_t Allocation = 0;
    uint32_t NumberOfLinks = 0;
    bool DeletePending = false;
    uint32_t EaSize = 0;         // FileEaInformation: the size of the full EA list
    uint32_t ReparseTag = 0;
    Name LongName;               // of the link the file was opened by
    Name ShortName;
};

struct DirectoryListing {
    const DirectoryEntry* Entry;
    FileSnapshot Info;
};

struct StreamInfo {
    Name StreamName;             // "" for the unnamed stream
    uint64_t Size = 0;
    uint64_t Allocation = 0;
};

struct VolumeInfo {
    FsKind Kind = FsKind::Ntfs;
    Name Label;
    uint32_t SerialNumber = 0;
    int64_t CreationTime = 0;
    uint32_t ClusterSize = 0;
    uint64_t TotalClusters = 0;
    uint64_t FreeClusters = 0;
    bool ReadOnly = false;
};

struct ReparseIndexEntry {
    FileId Id = 0;
    uint32_t Tag = 0;
};

class Volume {
public:
    using Clock = std::function<int64_t()>;

    // A new, empty volume (root directory and, on NTFS, the metadata files).
    static std::unique_ptr<Volume> Format(const FormatParams& params, Clock clock);
    // Mounts an image. A damaged image gives STATUS_DISK_CORRUPT_ERROR (or
    // STATUS_UNRECOGNIZED_VOLUME when it is not an image at all) and a reason.
    static NTSTATUS Mount(const VolumeImage& image, Clock clock, std::unique_ptr<Volume>* volume,
                          std::string* reason);

    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    FsKind Kind() const { return m_Kind; }
    bool IsNtfs() const { return m_Kind == FsKind::Ntfs; }

    // --- Flush: the volume's changes made so far go into the image.
    void Flush(VolumeImage* image);
    bool HasUnflushedChanges();
    // The whole volume as an image, flushed or not (comparisons, diagnostics).
    VolumeImage FullImage();

    // --- Opens.
    CreateResult Create(const CreateRequest& request);
    ChangeEvents Cleanup(OpenFile* open, bool modified, const void* fileObject, uint64_t processId);
    void Close(OpenFile* open);
    size_t OpenCount();

    // --- Information.
    NTSTATUS Query(const OpenFile* open, FileSnapshot* info);
    // The volume-relative path of the open ("\dir\file", "\file:stream").
    NTSTATUS PathOf(const OpenFile* open, Name* path);
    std::vector<StreamInfo> Streams(const OpenFile* open);

    // Times of 0 are left unchanged; -1 stops this open's automatic updates of
    // that time. Attributes of 0 are left unchanged.
    NTSTATUS SetBasic(OpenFile* open, const FileTimes& times, uint32_t attributes, ChangeEvents* events);
    NTSTATUS SetEndOfFile(OpenFile* open, uint64_t size, ChangeEvents* events);
    NTSTATUS SetAllocation(OpenFile* open, uint64_t size, ChangeEvents* events);
    NTSTATUS SetDisposition(OpenFile* open, bool deleteFile);
    // Rename or link `open` to `newName` in directory `targetDir` (null: the
    // file's current directory).
    NTSTATUS Rename(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace,
                    ChangeEvents* events);
    NTSTATUS HardLink(OpenFile* open, const OpenFile* targetDir, NameView newName, bool replace,
                      ChangeEvents* events);

    // --- Data. `owner` identifies the caller for byte-range lock checks.
    NTSTATUS Read(OpenFile* open, uint64_t offset, void* buffer, size_t length, const LockOwner& owner,
                  size_t* transferred);
    NTSTATUS Write(OpenFile* open, uint64_t offset, const void* buffer, size_t length, bool toEndOfFile,
                   const LockOwner& owner, size_t* transferred, ChangeEvents* events);
    NTSTATUS LockRange(OpenFile* open, const LockOwner& owner, ByteRange range, bool exclusive);
    NTSTATUS UnlockRange(OpenFile* open, const LockOwner& owner, ByteRange range);
    void UnlockAll(OpenFile* open, const void* fileObject, uint64_t processId);
    void UnlockAllByKey(OpenFile* open, const void* fileObject, uint64_t processId, uint32_t key);
    // Image sections: a mapped image cannot be deleted or written.
    NTSTATUS SetImageSection(OpenFile* open, bool mapped);

    // --- Directories. Visits the entries after `cursor` (from the start when
    // `start`); the visitor returns false to stop. Metadata files are skipped.
    NTSTATUS Enumerate(const OpenFile* dir, const DirectoryCursor& cursor, bool start,
                       const std::function<bool(const DirectoryListing&, const DirectoryCursor&)>& visit);
    // The entry named `name` (long or short name, any case), metadata files
    // included; STATUS_NO_SUCH_FILE when there is none.
    NTSTATUS FindEntry(const OpenFile* dir, NameView name,
                       const std::function<void(const DirectoryListing&, const DirectoryCursor&)>& visit);
    // A listing resumed at a name continues after the cursor
    // {0, Upcase(name)} on NTFS; on FAT after {FileIndex, ""}.
    // Entries of the reparse index after (tag, id).
    std::vector<ReparseIndexEntry> ReparseIndex(std::optional<ReparseIndexEntry> after, size_t max);
    // Snapshot of the directory itself and of its parent (for "." and "..").
    NTSTATUS QueryParent(const OpenFile* dir, FileSnapshot* parent);

    // --- Extended attributes, security.
    NTSTATUS GetEas(const OpenFile* open, std::vector<ExtendedAttribute>* eas);
    NTSTATUS SetEas(OpenFile* open, const std::vector<ExtendedAttribute>& eas, ChangeEvents* events);
    NTSTATUS GetSecurity(const OpenFile* open, std::vector<uint8_t>* descriptor);
    NTSTATUS SetSecurity(OpenFile* open, const std::vector<uint8_t>& descriptor, ChangeEvents* events);

    // --- Object IDs (64-byte FILE_OBJECTID_BUFFER: 16-byte ID, 48 extended).
    NTSTATUS SetObjectId(OpenFile* open, const ObjectIdRecord& record);
    NTSTATUS SetObjectIdExtended(OpenFile* open, const std::array<uint8_t, 48>& extended);
    NTSTATUS GetObjectId(const OpenFile* open, ObjectIdRecord* record);
    NTSTATUS CreateOrGetObjectId(OpenFile* open, ObjectIdRecord* record);
    NTSTATUS DeleteObjectId(OpenFile* open);

    // --- Reparse points (`data` is a whole REPARSE_DATA_BUFFER).
    NTSTATUS SetReparsePoint(OpenFile* open, const std::vector<uint8_t>& data, ChangeEvents* events);
    NTSTATUS GetReparsePoint(const OpenFile* open, std::vector<uint8_t>* data);
    NTSTATUS DeleteReparsePoint(OpenFile* open, uint32_t tag, ChangeEvents* events);

    // --- Compression (format 0 clears, 1 or 2 sets).
    NTSTATUS SetCompression(OpenFile* open, uint16_t format, ChangeEvents* events);
    NTSTATUS GetCompression(const OpenFile* open, uint16_t* format);

    // --- The volume.
    VolumeInfo Info();
    NTSTATUS SetLabel(NameView label);
    NTSTATUS Extend(uint64_t newSizeBytes);
    void SetReadOnly(bool readOnly);
    // After a dismount every call on an existing open fails with STATUS_VOLUME_DISMOUNTED.
    void Dismount();
    bool IsDismounted();

    // --- Tests and diagnostics.
    size_t NodeCount();
    // Consistency of the indexes with the records; empty when consistent.
    std::string CheckConsistency();

    // The engine's private state (volume_impl.h).
    class Impl;

private:
    explicit Volume(FsKind kind, Clock clock);

    FsKind m_Kind;
    std::unique_ptr<Impl> m_Impl;
};

}  // namespace plat::fs
