// Entry points whose subsystems are not built yet. Each one behaves as the
// driver must while its subsystem is missing: a dispatch routine passes the
// request down through the pass-down routine, the registry restore thread
// only reports that the restore has ended, and the pre-creation thread ends at
// once.
//
// When a subsystem is built, its routine is defined in the subsystem's own
// file and its placeholder below is deleted; the declarations stay in
// frame/dispatch.h.
#include "frame/dispatch.h"

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"

// The product's service opens the control device: its creates, cleanups and
// closes succeed there (Information FILE_OPENED for a create).
static NTSTATUS CompleteOnControlDevice(PIRP Irp, ULONG_PTR Information) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QLTCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != NULL && DeviceObject == g_Quilt.ControlDevice && Irp != NULL) {
        return CompleteOnControlDevice(Irp, FILE_OPENED);
    }
    // The volume device passes the driver's own opens down without their markers.
    DeviceContext* context = DeviceContextOf(DeviceObject);
    if (context != NULL && context->Kind == DEVICE_KIND_VOLUME_DEVICE) {
        StripLowerOpenMarkers(Irp);
    }
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject != NULL && DeviceObject == g_Quilt.ControlDevice && Irp != NULL) {
        return CompleteOnControlDevice(Irp, 0);
    }
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTDirectoryControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTQueryVolumeInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTSetVolumeInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTQuerySecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTSetSecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

NTSTATUS NTAPI QLTShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassThrough(DeviceObject, Irp);
}

VOID NTAPI RegistryChanger(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    g_Quilt.RegistryRestoredFlag = 1;
    KeSetEvent(&g_Quilt.RegistryRestored, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI QuiltPrecreateTemporaryFile(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
}

// Without the registry subsystem there is no snapshot to take.
NTSTATUS RegistryChangerSave() {
    return STATUS_SUCCESS;
}
