#include "frame/device_context.h"

DriveState g_Drives;

VOID DriveStateInitialize() {
    RtlZeroMemory(&g_Drives, sizeof(g_Drives));
    g_Drives.DeletionState = DELETION_STATE_PENDING;
    g_Drives.ProtectionEnabled = 1;
    g_Drives.LastShutdownCheck = LAST_SHUTDOWN_NOT_CHECKED;
}

PDEVICE_OBJECT VolumeFilterOfDrive(ULONG DriveIndex) {
    if (DriveIndex >= QUILT_DRIVE_COUNT) {
        return NULL;
    }
    return g_Drives.VolumeFilters[DriveIndex];
}

VolumeContext* VolumeContextOfDrive(ULONG DriveIndex) {
    return DeviceContextOf(VolumeFilterOfDrive(DriveIndex));
}

BOOLEAN IsDriveProtected(ULONG DriveIndex) {
    if (DriveIndex >= QUILT_DRIVE_COUNT) {
        return FALSE;
    }
    if ((g_Drives.ProtectedMask & (1UL << DriveIndex)) == 0) {
        return FALSE;
    }
    return (BOOLEAN)(g_Drives.VolumeFilters[DriveIndex] != NULL);
}

PDEVICE_OBJECT ProtectedLowerDevice(ULONG DriveIndex) {
    if (!IsDriveProtected(DriveIndex)) {
        return NULL;
    }
    VolumeContext* context = VolumeContextOfDrive(DriveIndex);
    return context != NULL ? context->LowerDevice : NULL;
}
