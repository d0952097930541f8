// Finding out what a newly mounted volume is: which drive letter it has, and
// whether it lies on a disk attached by USB or IEEE 1394.
#pragma once

#include <ntifs.h>

// The file-system volume device mounted for the drive letter of DriveIndex
// (0 = A): the device the VPB of the drive's storage device names. NULL for
// an index of 26 or more, a drive that cannot be opened, and removable media.
PDEVICE_OBJECT DriveOfVolume(ULONG DriveIndex);

// TRUE when the volume on StorageDevice must not be attached because its disk
// is attached by USB or IEEE 1394 (unless USBDiskSupport is 1), and also for
// no device or when the bus cannot be asked.
BOOLEAN IsExternalBusDisk(PDEVICE_OBJECT StorageDevice);
