// The I/O manager's internals shared by its files: object types, the private
// state behind device and file objects, the IRP registry, the per-kernel state
// and the helpers that build and send the I/O manager's own IRPs.
//
// Locking (in the order a thread may take them):
// - IoState::RegistrationLock (recursive) guards the file-system list, the
//   registration-change routines and the loaded drivers. It is held while the
//   registration-change routines run, as NT holds its database resource.
// - DeviceExtra::MountLock (recursive, per storage device) serialises mounts of
//   one volume.
// - IoState::DatabaseLock guards the device stacks (AttachedDevice and
//   AttachedTo), the drivers' device lists, DeletePending/DeletionDone and
//   DEVICE_OBJECT.ReferenceCount. Never held across a call into a driver.
// - IoState::ShutdownLock guards the shutdown list.
// - IoState::IrpLock guards the IRP registry and every IrpRecord's State.
// - The VPB spin lock (IoAcquireVpbSpinLock) guards VPB Flags, DeviceObject
//   and ReferenceCount.
#pragma once

#include <wdm.h>

#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ob/object.h"

namespace plat {

// ---- Object types --------------------------------------------------------------------

extern ObjectType IoDeviceType;
extern ObjectType IoDriverType;
extern ObjectType IoFileType;

// ---- Devices ---------------------------------------------------------------------------

// Lives in the device object's body after the device extension;
// DEVICE_OBJECT.DeviceObjectExtension points at Public.
struct DeviceExtra {
    DEVOBJ_EXTENSION Public;
    PDEVICE_OBJECT AttachedTo = nullptr;   // the device this one is attached to
    bool DeletePending = false;            // IoDeleteDevice was called
    bool DeletionDone = false;             // the creation reference is gone
    std::recursive_mutex MountLock;
    PKTHREAD MountingThread = nullptr;     // under MountLock
};

inline DeviceExtra* DeviceExtraOf(PDEVICE_OBJECT Device) {
    return CONTAINING_RECORD(Device->DeviceObjectExtension, DeviceExtra, Public);
}

// The device at the top of Device's stack (not referenced).
PDEVICE_OBJECT IoTopOfStack(PDEVICE_OBJECT Device);
// True when Device is Base or attached somewhere above it.
bool IoDeviceInStack(PDEVICE_OBJECT Base, PDEVICE_OBJECT Device);
// Counts an open of a file object through Device (ReferenceCount) / releases
// it; the release completes a pending deletion when it was the last.
void IoDeviceAddOpen(PDEVICE_OBJECT Device);
void IoDeviceReleaseOpen(PDEVICE_OBJECT Device);
bool IoDeviceIsDeletePending(PDEVICE_OBJECT Device);

// The object manager's parse procedures: opens that reach a device, and opens
// relative to a file object.
NTSTATUS IoParseDevice(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object);
NTSTATUS IoParseFile(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object);

// Mounts the volume of a storage device when it is not mounted yet.
NTSTATUS IoMountVolume(PDEVICE_OBJECT RealDevice);

// ---- Files -------------------------------------------------------------------------------

// Lives in the file object's body right after the FILE_OBJECT.
struct FileExtra {
    PDEVICE_OBJECT Hint;          // the hinted device (referenced), or NULL
    PDEVICE_OBJECT OpenedDevice;  // FileObject->DeviceObject as counted (referenced)
    PVPB CountedVpb;              // the VPB whose ReferenceCount this file holds
    BOOLEAN Opened;               // the create succeeded: cleanup and close are owed
    BOOLEAN CleanupSent;
};

inline FileExtra* FileExtraOf(PFILE_OBJECT File) {
    return reinterpret_cast<FileExtra*>(File + 1);
}

// True when FileObject is a file object of the I/O manager.
bool IoIsFileObject(PFILE_OBJECT FileObject);

// Synchronous file objects: one request at a time.
void IoAcquireFileLock(PFILE_OBJECT FileObject);
void IoReleaseFileLock(PFILE_OBJECT FileObject);

// ---- IRPs --------------------------------------------------------------------------------

enum class IrpState {
    Idle,        // owned by a driver (or not sent yet)
    Completing,  // IofCompleteRequest is walking the stack
    Finished,    // completed to the top
};

struct IrpRecord {
    ULONGLONG Serial = 0;             // tells one life of an address from the next
    bool FromPool = true;             // IRP memory from pool (else host memory)
    bool Dispatched = false;          // IofCallDriver has seen it
    IrpState State = IrpState::Idle;
    PKTHREAD CompletingThread = nullptr;
    bool Deferred = false;            // completion stops at the top, the issuer finishes
    PVPB MountVpb = nullptr;          // a mount IRP: the VPB to mark mounted
    bool LimitCopyBack = false;       // copy back at most UserBufferLength bytes
    ULONG UserBufferLength = 0;
    PFILE_OBJECT ReferencedFile = nullptr;  // dereferenced when finished
    PKEVENT ReferencedEvent = nullptr;      // event object dereferenced after it is set
    PVOID OwnedPool[2] = {};                // pool blocks freed when finished
    PFILE_OBJECT SyncFile = nullptr;        // FO_SYNCHRONOUS_IO file: FinalStatus is set
};

// The record of a live IRP, NULL for an IRP the I/O manager did not allocate.
// The record lives as long as the IRP; only the IRP's owner touches its fields
// (State only under IrpLock).
IrpRecord* IoFindIrp(PIRP Irp);
// Allocates an IRP that cannot fail for want of pool (cleanup, close).
PIRP IoAllocateIrpMustSucceed(CCHAR StackSize);
// Runs the I/O manager's end of an IRP: copy-back, MDLs, status block, event,
// references, release of the IRP.
void IoFinishIrp(PIRP Irp);

// Builds an IRP for a request the I/O manager issues on a file object (or on a
// device when FileObject is NULL): one location per device of the target stack,
// the next location's major function and file object set, the thread and mode
// filled in. NULL when pool is short, unless MustSucceed.
PIRP IoBuildFileIrp(PDEVICE_OBJECT Target, PFILE_OBJECT FileObject, UCHAR MajorFunction, UCHAR MinorFunction,
                    KPROCESSOR_MODE Mode, bool MustSucceed);

// Sends an IRP the I/O manager built and waits for it: the IRP's status block
// and event are pointed at locals, the IRP is finished (and freed) by its
// completion. Returns the final status; *IoStatus (optional) receives the block.
NTSTATUS IoCallDriverAndWait(PDEVICE_OBJECT Target, PIRP Irp, PIO_STATUS_BLOCK IoStatus);

// ---- Per-kernel state --------------------------------------------------------------------

// A registration for file-system changes. As on NT, each registration owns a
// packet from non-paged pool, so the registration itself can fail for lack of
// memory.
struct FsNotification {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_FS_NOTIFICATION Routine;
    PVOID Packet;
};

struct IoState {
    std::recursive_mutex RegistrationLock;
    std::vector<PDEVICE_OBJECT> FileSystems;       // referenced, registration order
    std::vector<FsNotification> FsNotifications;   // registration order
    std::vector<PDRIVER_OBJECT> Drivers;           // referenced, load order

    std::mutex DatabaseLock;

    std::mutex ShutdownLock;
    std::vector<PDEVICE_OBJECT> ShutdownDevices;   // referenced, registration order

    std::mutex IrpLock;
    std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> Irps;
    // Addresses freed lately: address -> sequence of its last free, and the
    // frees in order (entries whose sequence is stale are skipped).
    std::unordered_map<PIRP, ULONGLONG> FreedIrps;
    std::deque<std::pair<PIRP, ULONGLONG>> FreedIrpOrder;
    ULONGLONG FreedSequence = 0;

    std::mutex WorkItemLock;
    SIZE_T LiveWorkItems = 0;

    KSPIN_LOCK CancelLock = 0;
    KSPIN_LOCK VpbLock = 0;

    bool Ended = false;  // the kernel is being destroyed: no more requests to drivers
};

// The state of the current kernel; aborts when no kernel exists.
IoState& Io();

// ---- Helpers --------------------------------------------------------------------------------

// Makes the calling thread's previous mode Mode for its lifetime (Zw services).
class PreviousModeScope {
public:
    explicit PreviousModeScope(KPROCESSOR_MODE Mode);
    ~PreviousModeScope();
    PreviousModeScope(const PreviousModeScope&) = delete;
    PreviousModeScope& operator=(const PreviousModeScope&) = delete;

private:
    KPROCESSOR_MODE m_Saved;
};

// Pool tags of the I/O manager's blocks.
constexpr ULONG kTagIrp = 0x20707249;        // "Irp "
constexpr ULONG kTagIrpMustSucceed = 0x4D707249;  // "IrpM"
constexpr ULONG kTagMdl = 0x206C644D;        // "Mdl "
constexpr ULONG kTagVpb = 0x20627056;        // "Vpb "
constexpr ULONG kTagFileName = 0x6D4E6F49;   // "IoNm"
constexpr ULONG kTagSystemBuffer = 0x66426F49;  // "IoBf"
constexpr ULONG kTagWorkItem = 0x74496F49;   // "IoIt"
constexpr ULONG kTagDriver = 0x76446F49;     // "IoDv"

}  // namespace plat
