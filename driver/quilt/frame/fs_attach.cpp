// File-system attachment and the ways the driver's devices leave their
// stacks (see fs_attach.h for the attachment lock and the retired-device
// list).
#include "frame/fs_attach.h"

#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "frame/volume_startup.h"
#include "store/store_lock.h"

static BOOLEAN IsOwnDevice(PDEVICE_OBJECT Device) {
    return (BOOLEAN)(Device->DriverObject == g_Quilt.DriverObject);
}

// ---- Registration changes ---------------------------------------------------------------

// The context of an attachment device, all but its lower device.
static VOID FillAttachmentContext(DeviceContext* Context) {
    RtlZeroMemory(Context, sizeof(*Context));
    Context->Kind = DEVICE_KIND_CONTROL;
    Context->Size = sizeof(DeviceContext);
    Context->DriverObject = g_Quilt.DriverObject;
    Context->Attached = 1;
    Context->Serving = 0;
}

// A new attachment device above FileSystem. A device that cannot be made or
// attached leaves the file system unfiltered, without a message.
static VOID AttachToFileSystem(PDEVICE_OBJECT FileSystem) {
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(g_Quilt.DriverObject, sizeof(DeviceContext), NULL,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return;
    }
    DeviceContext* context = DeviceContextOf(device);
    FillAttachmentContext(context);
    // The safe form records the lower device before the first request can
    // reach the new device.
    status = IoAttachDeviceToDeviceStackSafe(device, FileSystem, &context->LowerDevice);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return;
    }
    SetStatusBits(STATUS_BIT_FS_ATTACHED);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
}

// Removes the lowest of the driver's devices above FileSystem. A device that
// still has another driver's device attached above it is only detached: the
// device above keeps referring to it.
static VOID DetachFromFileSystem(PDEVICE_OBJECT FileSystem) {
    PDEVICE_OBJECT below = FileSystem;
    for (PDEVICE_OBJECT device = FileSystem->AttachedDevice; device != NULL; device = device->AttachedDevice) {
        if (IsOwnDevice(device)) {
            IoDetachDevice(below);
            DeviceContextOf(device)->Attached = 0;
            if (device->AttachedDevice == NULL) {
                IoDeleteDevice(device);
            }
            return;
        }
        below = device;
    }
}

VOID NTAPI FsRegistrationChange(PDEVICE_OBJECT FileSystemControlDevice, BOOLEAN Active) {
    if (FileSystemControlDevice == NULL || FileSystemControlDevice->DeviceType != FILE_DEVICE_DISK_FILE_SYSTEM) {
        return;
    }
    ExclusiveScope lock(&g_Quilt.AttachLock);
    if (Active) {
        AttachToFileSystem(FileSystemControlDevice);
    } else {
        DetachFromFileSystem(FileSystemControlDevice);
    }
}

// ---- Recogniser replaced by its file system -----------------------------------------------

// Caller holds the attachment lock.
static VOID RetireDevice(PDEVICE_OBJECT Device) {
    InsertTailList(&g_Quilt.RetiredDevices, &Device->Queue.ListEntry);
}

// A failed load leaves the recogniser in place: the device goes back above
// it. If it cannot (the recogniser's device is being deleted), it is retired
// like after a successful load.
NTSTATUS NTAPI LoadFsCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Context);
    DeviceContext* context = DeviceContextOf(device);
    {
        ExclusiveScope lock(&g_Quilt.AttachLock);
        PDEVICE_OBJECT lower = NULL;
        if (!NT_SUCCESS(Irp->IoStatus.Status)) {
            lower = IoAttachDeviceToDeviceStack(device, context->LowerDevice);
        }
        if (lower != NULL) {
            context->LowerDevice = lower;
            context->Attached = 1;
        } else {
            RetireDevice(device);
        }
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

VOID DeleteFirstRetiredDevice() {
    if (IsListEmpty(&g_Quilt.RetiredDevices)) {
        return;
    }
    ExclusiveScope lock(&g_Quilt.AttachLock);
    if (IsListEmpty(&g_Quilt.RetiredDevices)) {
        return;
    }
    PDEVICE_OBJECT device = CONTAINING_RECORD(g_Quilt.RetiredDevices.Flink, DEVICE_OBJECT, Queue.ListEntry);
    if (device->ReferenceCount != 0) {
        return;
    }
    RemoveEntryList(&device->Queue.ListEntry);
    IoDeleteDevice(device);
}

// ---- Volume filters going away ---------------------------------------------------------------

// The drive's bit leaves the protected-drive mask (under the store lock, as
// every change of the mask), and its volume filter table entry goes with the
// filter, so that nothing finds the deleted device there.
static VOID ForgetProtectedDrive(ULONG DriveIndex, PDEVICE_OBJECT Filter) {
    if (DriveIndex >= QUILT_DRIVE_COUNT) {
        return;
    }
    StoreLockScope lock;
    g_Drives.ProtectedMask &= ~(1UL << DriveIndex);
    if (g_Drives.VolumeFilters[DriveIndex] == Filter) {
        g_Drives.VolumeFilters[DriveIndex] = NULL;
    }
}

// The start-up thread ends once it sees the removal: the removal event ends
// its wait for the install drive, the semaphore its wait before deleting
// the previous generations. A filter whose thread was never started has
// nothing to wait for.
VOID WithdrawVolumeFilter(PDEVICE_OBJECT Filter) {
    DeviceContext* volume = DeviceContextOf(Filter);
    volume->Removal = 1;
    volume->Serving = 0;
    KeReleaseSemaphore(&volume->DeletionSemaphore, IO_NO_INCREMENT, 1, FALSE);
    KeSetEvent(&volume->RemovalEvent, IO_NO_INCREMENT, FALSE);
    if (volume->StartupThread != NULL) {
        KeWaitForSingleObject(&volume->StartupDone, Executive, KernelMode, FALSE, NULL);
    }
    ForgetProtectedDrive(volume->DriveIndex, Filter);
}

// The thread has ended (WithdrawVolumeFilter waited for it); its reference
// goes with the device.
static VOID ReleaseStartupThread(DeviceContext* Context) {
    if (Context->StartupThread != NULL) {
        ObDereferenceObject(Context->StartupThread);
        Context->StartupThread = NULL;
    }
}

BOOLEAN RemoveAttachedDevice(PDEVICE_OBJECT Device, PDEVICE_OBJECT Lower) {
    ExclusiveScope lock(&g_Quilt.AttachLock);
    DeviceContext* context = DeviceContextOf(Device);
    if (!context->Attached || context->LowerDevice != Lower || Lower == NULL) {
        return FALSE;
    }
    IoDetachDevice(Lower);
    context->Attached = 0;
    TearDownVolume(Device);
    ReleaseStartupThread(context);
    IoDeleteDevice(Device);
    return TRUE;
}

// Called by the I/O manager when TargetDevice, the device below SourceDevice,
// is deleted, and by the pass-down routine before a surprise removal goes
// down. Only an attached device of this driver is removed: the control
// device and the volume devices are attached to nothing.
//
// The wait for a volume filter's start-up thread happens before the
// attachment lock is taken: the thread may open a file on a volume that is
// not mounted yet, and that mount's completion needs the lock. The removal
// itself runs under the lock and happens once.
VOID NTAPI QLTFastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    DeviceContext* context = DeviceContextOf(SourceDevice);
    if (context == NULL || TargetDevice == NULL || !context->Attached || context->LowerDevice != TargetDevice) {
        return;
    }
    if (context->Kind == DEVICE_KIND_VOLUME_FILTER) {
        WithdrawVolumeFilter(SourceDevice);
    } else {
        LogPrint("QLTFastIoDetachDevice() Detach device from not-drive device");
    }
    RemoveAttachedDevice(SourceDevice, TargetDevice);
}
