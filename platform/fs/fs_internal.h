// The IRP front end of the disk file systems: its control blocks and the
// helpers its request files share (create.cpp, cleanup_close.cpp,
// read_write.cpp, fileinfo.cpp, dirctrl.cpp, fsctrl.cpp, volinfo.cpp,
// security.cpp, ea.cpp, lockctrl.cpp, flush.cpp, fastio.cpp, mount.cpp).
//
// Control blocks:
// - Vcb (host object), one per mounted volume, behind the volume device's
//   extension: the engine volume, the disk, the FCB table, the notify list.
// - Fcb (pool, FileObject->FsContext), one per open stream of a file (or one
//   for the volume itself): it starts with FSRTL_COMMON_FCB_HEADER whose
//   Resource is the FCB's main ERESOURCE. Filters take that resource; the file
//   system itself never does (its own state is guarded by the locks below),
//   so a filter may hold it across requests it sends down.
// - Ccb (host object, FileObject->FsContext2), one per file object: the
//   engine's open and the state of directory and EA enumerations.
//
// Locking, in the order they may be taken:
// - FsState::Lock (per kernel): the list of mounted volumes.
// - Vcb::Lock: the FCB table, each FCB's file-object count and lock waiters.
// - the engine volume's own mutex (inside every engine call).
// - the notify package's synchronisation object.
// None is held while an IRP is completed or sent, nor across a call into the
// notify package.
#pragma once

#include <ntifs.h>

#include "fs/engine/volume.h"
#include "storage/storage.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

namespace plat::fs {

constexpr ULONG MakeTag(char a, char b, char c, char d) {
    return ULONG(uint8_t(a)) | ULONG(uint8_t(b)) << 8 | ULONG(uint8_t(c)) << 16 | ULONG(uint8_t(d)) << 24;
}
constexpr ULONG kTagFcb = MakeTag('F', 's', 'F', 'c');
constexpr ULONG kTagName = MakeTag('F', 's', 'N', 'm');
constexpr ULONG kTagReparse = MakeTag('F', 's', 'R', 'p');
constexpr ULONG kTagSecurity = MakeTag('F', 's', 'S', 'd');

constexpr ULONG kControlMagic = MakeTag('F', 's', 'C', 'd');
constexpr ULONG kVolumeMagic = MakeTag('F', 's', 'V', 'd');
constexpr ULONG kFcbMagic = MakeTag('F', 'c', 'b', ' ');

struct Vcb;
struct FcbState;

// Extension of a file system's control device.
struct ControlExtension {
    ULONG Magic;
    FsKind Kind;
};

// Extension of a mounted volume's device.
struct VolumeExtension {
    ULONG Magic;
    Vcb* Volume;
};

struct Fcb {
    FSRTL_COMMON_FCB_HEADER Header;
    SECTION_OBJECT_POINTERS SectionObjects;
    ERESOURCE MainResource;
    ERESOURCE PagingIoResource;
    ULONG Magic;
    FcbState* State;
};

struct FcbState {
    Vcb* Volume = nullptr;
    bool IsVolume = false;        // the FCB of volume (DASD) opens
    FileId Node = kInvalidFileId;
    Name StreamKey;
    ULONG FileObjects = 0;        // file objects not yet closed
    ULONG ImageMaps = 0;          // SetImageSection marks
    std::vector<PIRP> LockWaiters;
};

struct Ccb {
    OpenFile* Open = nullptr;
    Fcb* Owner = nullptr;
    // Serialises the enumerations of one file object (asynchronous handles
    // may query concurrently).
    std::mutex EnumerationLock;
    // Directory enumeration: the pattern is taken by the first query (or a
    // restart); the cursor moves past every entry returned.
    bool QueryStarted = false;
    bool ReturnedAny = false;
    Name Pattern;                 // upcased; "*" matches everything
    bool MatchAll = true;
    bool Exact = false;           // no wildcards: one name looked up
    int DotsReturned = 0;         // "." and ".." of non-root directories
    DirectoryCursor Cursor;
    bool AtStart = true;
    std::optional<ReparseIndexEntry> IndexCursor;
    // EA enumeration.
    ULONG NextEa = 0;
    // Change notification: the watched directory's name (UTF-16 bytes).
    std::u16string NotifyName;
    STRING NotifyString{};
    bool Watching = false;
};

struct Vcb {
    FsKind Kind = FsKind::Ntfs;
    PDEVICE_OBJECT VolumeDevice = nullptr;
    PDEVICE_OBJECT RealDevice = nullptr;
    PDEVICE_OBJECT TargetDevice = nullptr;  // the top of the storage stack at mount
    PVPB Vpb = nullptr;
    std::shared_ptr<storage::Disk> Disk;
    std::unique_ptr<Volume> Engine;

    std::mutex Lock;
    std::map<std::pair<FileId, Name>, Fcb*> Fcbs;
    Fcb* VolumeFcb = nullptr;
    std::unordered_set<Ccb*> Ccbs;
    ULONG FileObjects = 0;        // file objects of the volume not yet closed
    bool Dismounted = false;
    bool Released = false;        // its teardown has begun
    bool Locked = false;          // FSCTL_LOCK_VOLUME

    PNOTIFY_SYNC NotifySync = nullptr;
    LIST_ENTRY NotifyList;
};

// ---- Mounted volumes (mount.cpp) ---------------------------------------------------

NTSTATUS MountVolume(PDEVICE_OBJECT controlDevice, PIRP irp);
NTSTATUS DismountVolume(Vcb* vcb);
// Writes what changed since the last flush into the disk (nothing on a
// write-protected or dismounted volume).
void FlushVolume(Vcb* vcb);
void FlushVolumesOf(FsKind kind);
// Frees a dismounted volume once its last file object is closed.
void ReleaseVolumeIfUnused(Vcb* vcb);
// The volume of a volume device, or null.
Vcb* VolumeOfDevice(PDEVICE_OBJECT device);
// Per-kernel state of the file systems (fs_driver.cpp). A VPB given up at a
// dismount stays with the file objects opened through it and is freed at the
// end of the kernel.
void RegisterVolume(Vcb* vcb);
void UnregisterVolume(Vcb* vcb);
void RetireVpb(PVPB vpb);
std::vector<Vcb*> VolumesOf(FsKind kind);

// ---- FCBs (create.cpp) ---------------------------------------------------------------

// The FCB for an open of the engine, created on first use; the caller adds
// one file object to it. NULL when pool is short.
Fcb* ReferenceFcb(Vcb* vcb, const OpenFile* open);
// Drops one file object; the FCB is freed with its last.
void ReleaseFcb(Vcb* vcb, Fcb* fcb);
// Refreshes the header's sizes from the engine.
void RefreshFcbSizes(Vcb* vcb, Fcb* fcb, const OpenFile* open);
void FreeFcb(Fcb* fcb, bool kernelAlive);

// ---- Request helpers (fs_support.cpp) ---------------------------------------------------

// Completes the IRP with the status and information and returns the status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
// The data buffer of a request: the MDL's system address when there is one,
// else UserBuffer.
PVOID RequestBuffer(PIRP irp);
// The file object's context when it is one of this volume's opens.
struct FileContext {
    Fcb* FcbBlock = nullptr;
    Ccb* CcbBlock = nullptr;
    OpenFile* Open = nullptr;
};
bool GetFileContext(Vcb* vcb, PFILE_OBJECT file, FileContext* context);
// Reports engine changes to the volume's notify list.
void ReportChanges(Vcb* vcb, const ChangeEvents& events);
// The requestor's process as a lock-owner identity.
uint64_t RequestorProcessId(PIRP irp);
// A FILE_FULL_EA_INFORMATION chain (create, set EA).
NTSTATUS ParseEaBuffer(const void* buffer, ULONG length, std::vector<ExtendedAttribute>* eas);
// UTF-16 counted text of a name (no copy).
UNICODE_STRING CountedName(const Name& name);

// ---- Dispatch routines -------------------------------------------------------------------

NTSTATUS DispatchCreate(Vcb* vcb, PIRP irp);
NTSTATUS DispatchCleanup(Vcb* vcb, PIRP irp);
NTSTATUS DispatchClose(Vcb* vcb, PIRP irp);
NTSTATUS DispatchRead(Vcb* vcb, PIRP irp);
NTSTATUS DispatchWrite(Vcb* vcb, PIRP irp);
NTSTATUS DispatchQueryInformation(Vcb* vcb, PIRP irp);
NTSTATUS DispatchSetInformation(Vcb* vcb, PIRP irp);
NTSTATUS DispatchDirectoryControl(Vcb* vcb, PIRP irp);
NTSTATUS DispatchFileSystemControl(Vcb* vcb, PIRP irp);
NTSTATUS DispatchQueryVolumeInformation(Vcb* vcb, PIRP irp);
NTSTATUS DispatchSetVolumeInformation(Vcb* vcb, PIRP irp);
NTSTATUS DispatchQuerySecurity(Vcb* vcb, PIRP irp);
NTSTATUS DispatchSetSecurity(Vcb* vcb, PIRP irp);
NTSTATUS DispatchQueryEa(Vcb* vcb, PIRP irp);
NTSTATUS DispatchSetEa(Vcb* vcb, PIRP irp);
NTSTATUS DispatchLockControl(Vcb* vcb, PIRP irp);
NTSTATUS DispatchFlushBuffers(Vcb* vcb, PIRP irp);

// Lock waiters (lockctrl.cpp): retried after every unlock; completed with
// STATUS_CANCELLED when their file object is cleaned up.
void RetryLockWaiters(Vcb* vcb, Fcb* fcb);
void CancelLockWaiters(Vcb* vcb, Fcb* fcb, PFILE_OBJECT file);

// Loading (fs_driver.cpp, recognizer.cpp). LoadFatFileSystem loads and
// registers FAT in the current kernel, STATUS_SUCCESS when it is there
// already; LoadRecognizer loads and registers the FAT recogniser.
NTSTATUS LoadFatFileSystem();
NTSTATUS LoadRecognizer();

// The fast-I/O table of both file systems (fastio.cpp).
extern FAST_IO_DISPATCH FastIoTable;

}  // namespace plat::fs
