// File-system registration, registration-change notification, and mounting.
//
// Registered file systems are kept in registration order; a mount offers the
// volume to each file system of the storage device's kind (disk, CD-ROM,
// tape), low-priority ones (recognisers) last. The registration-change
// routines run under the registration lock, so that a driver sees every file
// system exactly once as active and once as gone, in order.
#include "io/io_internal.h"

#include "core/verifier.h"

#include <algorithm>

namespace plat {
namespace {

constexpr ULONG kMaximumMountRestarts = 8;

DEVICE_TYPE FileSystemTypeFor(DEVICE_TYPE StorageType) {
    switch (StorageType) {
    case FILE_DEVICE_CD_ROM:
        return FILE_DEVICE_CD_ROM_FILE_SYSTEM;
    case FILE_DEVICE_TAPE:
        return FILE_DEVICE_TAPE_FILE_SYSTEM;
    default:
        return FILE_DEVICE_DISK_FILE_SYSTEM;
    }
}

// The control devices that may mount a volume of this kind, referenced.
std::vector<PDEVICE_OBJECT> MountCandidates(DEVICE_TYPE StorageType) {
    DEVICE_TYPE wanted = FileSystemTypeFor(StorageType);
    IoState& state = Io();
    std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
    std::vector<PDEVICE_OBJECT> normal;
    std::vector<PDEVICE_OBJECT> lowPriority;
    for (PDEVICE_OBJECT fs : state.FileSystems) {
        if (fs->DeviceType != wanted) continue;
        ObReferenceObject(fs);
        ((fs->Flags & DO_LOW_PRIORITY_FILESYSTEM) ? lowPriority : normal).push_back(fs);
    }
    normal.insert(normal.end(), lowPriority.begin(), lowPriority.end());
    return normal;
}

NTSTATUS SendFileSystemControl(PDEVICE_OBJECT FileSystem, UCHAR Minor, PVPB Vpb, PDEVICE_OBJECT Volume) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(FileSystem);
    PIRP irp = IoBuildFileIrp(top, nullptr, IRP_MJ_FILE_SYSTEM_CONTROL, Minor, KernelMode, false);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags |= IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (Minor == IRP_MN_MOUNT_VOLUME) {
        next->Parameters.MountVolume.Vpb = Vpb;
        next->Parameters.MountVolume.DeviceObject = Volume;
        IoFindIrp(irp)->MountVpb = Vpb;
    }
    NTSTATUS status = IoCallDriverAndWait(top, irp, nullptr);
    ObDereferenceObject(top);
    return status;
}

bool IsMounted(PVPB Vpb) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    bool mounted = (Vpb->Flags & VPB_MOUNTED) != 0 && Vpb->DeviceObject != nullptr;
    IoReleaseVpbSpinLock(irql);
    return mounted;
}

enum class MountRound { Mounted, Failed, Restart };

// Offers the volume to each candidate once. *Status: the mount's result.
MountRound OfferVolume(PDEVICE_OBJECT RealDevice, const std::vector<PDEVICE_OBJECT>& Candidates, NTSTATUS* Status) {
    PVPB vpb = RealDevice->Vpb;
    PDEVICE_OBJECT volume = IoGetAttachedDeviceReference(RealDevice);
    *Status = STATUS_UNRECOGNIZED_VOLUME;
    MountRound round = MountRound::Failed;
    for (PDEVICE_OBJECT fs : Candidates) {
        NTSTATUS status = SendFileSystemControl(fs, IRP_MN_MOUNT_VOLUME, vpb, volume);
        if (NT_SUCCESS(status)) {
            *Status = status;
            round = MountRound::Mounted;
            break;
        }
        if (status == STATUS_FS_DRIVER_REQUIRED) {
            // A recogniser knows the volume: it loads the real file system,
            // which registers itself, and the scan starts again.
            SendFileSystemControl(fs, IRP_MN_LOAD_FILE_SYSTEM, nullptr, nullptr);
            round = MountRound::Restart;
            break;
        }
        if (status != STATUS_UNRECOGNIZED_VOLUME) {
            *Status = status;
            break;
        }
    }
    ObDereferenceObject(volume);
    return round;
}

NTSTATUS MountLocked(PDEVICE_OBJECT RealDevice) {
    for (ULONG round = 0; round < kMaximumMountRestarts; ++round) {
        std::vector<PDEVICE_OBJECT> candidates = MountCandidates(RealDevice->DeviceType);
        NTSTATUS status;
        MountRound outcome = OfferVolume(RealDevice, candidates, &status);
        for (PDEVICE_OBJECT fs : candidates) ObDereferenceObject(fs);
        if (outcome == MountRound::Restart) continue;
        if (outcome == MountRound::Failed) return status;
        if (!IsMounted(RealDevice->Vpb)) {
            VerifierReport("io: a file system answered a mount with success without naming its volume device");
            return STATUS_UNRECOGNIZED_VOLUME;
        }
        return status;
    }
    return STATUS_UNRECOGNIZED_VOLUME;
}

void NotifyOne(const FsNotification& Notification, PDEVICE_OBJECT FileSystem, BOOLEAN Active) {
    Notification.Routine(FileSystem, Active);
}

void NotifyAll(PDEVICE_OBJECT FileSystem, BOOLEAN Active) {
    IoState& state = Io();
    // Copied: a routine may unregister itself.
    std::vector<FsNotification> routines = state.FsNotifications;
    for (const FsNotification& notification : routines) NotifyOne(notification, FileSystem, Active);
}

}  // namespace

NTSTATUS IoMountVolume(PDEVICE_OBJECT RealDevice) {
    PVPB vpb = RealDevice->Vpb;
    if (IsMounted(vpb)) return STATUS_SUCCESS;
    DeviceExtra* extra = DeviceExtraOf(RealDevice);
    std::lock_guard<std::recursive_mutex> guard(extra->MountLock);
    if (IsMounted(vpb)) return STATUS_SUCCESS;
    PKTHREAD self = KeGetCurrentThread();
    if (extra->MountingThread == self) {
        // The mount itself opened the volume it is mounting, before the file
        // system named its volume device.
        return STATUS_UNRECOGNIZED_VOLUME;
    }
    extra->MountingThread = self;
    NTSTATUS status = MountLocked(RealDevice);
    extra->MountingThread = nullptr;
    return status;
}

}  // namespace plat

using namespace plat;

extern "C" VOID NTAPI IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject) {
    IoState& state = Io();
    std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
    if (std::find(state.FileSystems.begin(), state.FileSystems.end(), DeviceObject) != state.FileSystems.end()) {
        VerifierReport("io: IoRegisterFileSystem of a file system already registered");
        return;
    }
    ObReferenceObject(DeviceObject);
    state.FileSystems.push_back(DeviceObject);
    NotifyAll(DeviceObject, TRUE);
}

extern "C" VOID NTAPI IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject) {
    IoState& state = Io();
    std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
    auto it = std::find(state.FileSystems.begin(), state.FileSystems.end(), DeviceObject);
    if (it == state.FileSystems.end()) {
        VerifierReport("io: IoUnregisterFileSystem of a file system not registered");
        return;
    }
    state.FileSystems.erase(it);
    NotifyAll(DeviceObject, FALSE);
    ObDereferenceObject(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoRegisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                         PDRIVER_FS_NOTIFICATION DriverNotificationRoutine) {
    if (DriverObject == nullptr || DriverNotificationRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    IoState& state = Io();
    PVOID packet = ExAllocatePoolWithTag(NonPagedPool, sizeof(FsNotification), 'sFoI');
    if (packet == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
    FsNotification notification{DriverObject, DriverNotificationRoutine, packet};
    state.FsNotifications.push_back(notification);
    std::vector<PDEVICE_OBJECT> registered = state.FileSystems;
    for (PDEVICE_OBJECT fs : registered) NotifyOne(notification, fs, TRUE);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoUnregisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                       PDRIVER_FS_NOTIFICATION DriverNotificationRoutine) {
    IoState& state = Io();
    std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
    auto& routines = state.FsNotifications;
    for (auto it = routines.begin(); it != routines.end(); ++it) {
        if (it->DriverObject == DriverObject && it->Routine == DriverNotificationRoutine) {
            ExFreePool(it->Packet);
            routines.erase(it);
            return;
        }
    }
}
