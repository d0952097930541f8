// File-system attachment: an attachment device above the control device of
// every disk file system (so that the driver sees every mount), the
// retired-device list of attachment devices left behind when a recogniser
// hands over to the real file system, and the ways a volume filter goes away.
//
// Attachment lock (g_Quilt.AttachLock, driver_globals.h): serialises
// registration changes, mount completion, the retired-device list and the
// removal of the driver's devices from their stacks (fast-I/O detach,
// dismount). It is never held while a request is sent down.
//
// Retired-device list (g_Quilt.RetiredDevices): attachment devices already
// detached, linked through DEVICE_OBJECT::Queue.ListEntry, waiting to be
// deleted once nothing refers to them; guarded by the attachment lock.
//
// FsRegistrationChange and QLTFastIoDetachDevice are declared in
// frame/dispatch.h.
#pragma once

#include <ntifs.h>

// Completion routine of IRP_MN_LOAD_FILE_SYSTEM sent through an attachment
// device (Context) that was detached from the recogniser first: a failed
// load attaches it again, a successful one retires it. Returns
// STATUS_SUCCESS.
NTSTATUS NTAPI LoadFsCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Deletes the first device of the retired-device list when its reference
// count has dropped to 0. Looks at that one device only; nothing to do for an
// empty list.
VOID DeleteFirstRetiredDevice();

// The volume filter Filter goes away (dismount or detach): it stops serving,
// its start-up thread is woken (removal flag and event, deletion semaphore)
// and waited for, and its drive is no longer protected. Safe to call twice.
VOID WithdrawVolumeFilter(PDEVICE_OBJECT Filter);

// Takes Device, one of the driver's attached devices, out of its stack:
// detaches it from Lower (the device it is attached to), tears its volume
// down and deletes it. Nothing happens when Device is not attached to Lower
// (it was removed already). TRUE when Device was removed. Takes the
// attachment lock.
BOOLEAN RemoveAttachedDevice(PDEVICE_OBJECT Device, PDEVICE_OBJECT Lower);
