// Volume start-up: the mount completion that attaches a volume filter, the
// start-up thread of every attached volume, the set-up that makes a volume
// protected, and its tear-down.
#pragma once

#include <ntifs.h>

// Completion routine of a mount request; Context is the volume filter device
// created for the mount. Always returns STATUS_SUCCESS.
NTSTATUS NTAPI MountCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// System thread of one attached volume; Context is its volume filter device.
VOID NTAPI VolumeStartupThread(PVOID Context);

// Sets the volume of FilterDevice up for protection; TRUE when it is protected.
BOOLEAN SetUpVolume(PDEVICE_OBJECT FilterDevice);

// Closes the work folder, frees the change store and the target lists,
// uninitialises the notify synchronisation and, for a volume filter, deletes
// the drive's volume device and its link. Neither detaches nor deletes Device
// itself. Safe on a half-set-up volume and when called twice.
VOID TearDownVolume(PDEVICE_OBJECT Device);
