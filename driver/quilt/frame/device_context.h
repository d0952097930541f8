// The record in the extension of every device the driver creates, and the
// driver-wide per-drive tables, masks and flags through which every handler
// finds a protected volume and learns how far start-up has come.
#pragma once

#include <ntifs.h>

#define QUILT_DRIVE_COUNT 26

// DeviceContext::Kind
#define DEVICE_KIND_CONTROL        0x0000  // control device, or attachment above a file-system control device
#define DEVICE_KIND_VOLUME_FILTER  0x1234
#define DEVICE_KIND_VOLUME_DEVICE  0xFFFF

// Deletion state (reported through the control interface).
#define DELETION_STATE_DONE        0  // every configured drive finished its deletion
#define DELETION_STATE_LEFT_OVER   1  // a deletion left entries behind (never cleared)
#define DELETION_STATE_PENDING     2

// Last-shutdown check result.
#define LAST_SHUTDOWN_NOT_CHECKED  0x00
#define LAST_SHUTDOWN_CLEAN        0x01
#define LAST_SHUTDOWN_CHECK_FAILED 0xFF

struct TargetEntry;
struct FileBlockDescriptor;
struct StoreHeader;

struct DeviceContext {
    USHORT Kind;
    USHORT Size;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT LowerDevice;   // attached-to device; for a volume device, the file-system volume device
    PDEVICE_OBJECT RealDevice;    // the storage device of the volume (VPB RealDevice)
    UCHAR Attached;
    ULONG DriveIndex;             // 0 = A
    TargetEntry* CheckFileTargets;
    LONG CheckFileTargetCount;    // entries built, or -1
    TargetEntry* RequestTargets;
    UCHAR Serving;                // 1: handled by the driver's own handlers; 0: passed down unchanged
    UCHAR Removal;                // dismounted or detached
    UCHAR Ntfs;                   // the file system's name begins with "NTFS"
    KEVENT StartupDone;           // notification
    KEVENT RemovalEvent;          // notification, set with Removal
    KSEMAPHORE DeletionSemaphore; // count 0, limit 0x7FFFFFFF
    PETHREAD StartupThread;       // referenced
    ULONG BackupNumber;
    TargetEntry* PrecreateTargets;
    PFILE_OBJECT WorkFolderFile;  // open for the volume's lifetime
    HANDLE WorkFolderHandle;
    FileBlockDescriptor* BlockDescriptors;  // the change store; NULL while the volume has none
    StoreHeader* Store;
    ULONG Generation;
    LIST_ENTRY NotifyList;        // directory change notification
    PNOTIFY_SYNC NotifySync;
};

// A volume filter's DeviceContext.
typedef DeviceContext VolumeContext;

inline DeviceContext* DeviceContextOf(PDEVICE_OBJECT Device) {
    return Device != NULL ? static_cast<DeviceContext*>(Device->DeviceExtension) : NULL;
}

// Driver-wide per-drive state. Writers are named per field; the protected-drive
// mask and the volume device counter change only under the store lock.
struct DriveState {
    PDEVICE_OBJECT VolumeFilters[QUILT_DRIVE_COUNT];
    PDEVICE_OBJECT VolumeDevices[QUILT_DRIVE_COUNT];
    ULONG ConfiguredMask;         // drives named by the check file
    ULONG ProtectedMask;          // drives whose set-up succeeded
    ULONG DeletionPendingMask;
    volatile LONG DeletionState;  // DELETION_STATE_*
    UCHAR ProtectionEnabled;      // cleared when the last-shutdown check cannot be made
    UCHAR LastShutdownCheck;      // LAST_SHUTDOWN_*
    UCHAR MarkerFound;
    ULONG SiblingStatusSector;    // the sibling's status sector (0 = unknown), found by the last-shutdown check
    ULONG VolumeDeviceCounter;
    UCHAR SystemDriveDone;
    UCHAR InstallDriveDone;
    PUCHAR CheckFileText;
    ULONG CheckFileLength;        // bytes
    LARGE_INTEGER CheckFileLastWriteTime;  // when loaded, or at the last change test (control interface)
    ULONG HighestGenerationCount; // most generation folders a work folder held since load (work area)
    volatile LONG DeletionRenameCount;  // moves of too-deep folders since load (work area)
};

extern DriveState g_Drives;

// Resets the per-drive state to its initial values (deletions pending,
// protection enabled, nothing checked, no drive); driver entry calls it first.
VOID DriveStateInitialize();

// The volume filter of a drive, or NULL (also for an index of 26 or more).
PDEVICE_OBJECT VolumeFilterOfDrive(ULONG DriveIndex);
VolumeContext* VolumeContextOfDrive(ULONG DriveIndex);
// The drive's bit is set in the protected-drive mask and it has a volume filter.
BOOLEAN IsDriveProtected(ULONG DriveIndex);
// For a protected drive, the file-system volume device below its volume
// filter; otherwise NULL.
PDEVICE_OBJECT ProtectedLowerDevice(ULONG DriveIndex);
