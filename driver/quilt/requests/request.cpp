// Request objects (see request.h).
#include "requests/request.h"

#include "lowerio/lower_request.h"
#include "requests/file_object_status.h"

CQuiltRequest::CQuiltRequest(PDEVICE_OBJECT Device, PIRP Request)
    : DeviceObject(Device),
      Irp(Request),
      Status(STATUS_SUCCESS),
      IrpSp(Request != NULL ? IoGetCurrentIrpStackLocation(Request) : NULL),
      VolumeContext(DeviceContextOf(Device)),
      LowerDevice(NULL),
      FileObject(NULL),
      StatusRecord(NULL) {
    if (VolumeContext != NULL) {
        LowerDevice = VolumeContext->LowerDevice;
    }
    if (IrpSp != NULL) {
        FileObject = IrpSp->FileObject;
    }
}

NTSTATUS CQuiltRequest::PassDown() {
    if (LowerDevice == NULL || Irp == NULL) {
        return CompleteWithInformation(STATUS_SUCCESS, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS CQuiltRequest::SendDownAndWait() {
    if (Irp == NULL || LowerDevice == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    // Everything up to and including FileObject; completion routine and
    // context stay those of the next location, and Control is cleared.
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->Control = 0;
    return SendLowerRequestAndWait(LowerDevice, Irp);
}

NTSTATUS CQuiltRequest::CompleteWithInformation(NTSTATUS Result, ULONG_PTR Information) {
    if (Irp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    Irp->IoStatus.Status = Result;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Result;
}

NTSTATUS CQuiltRequest::CompleteWithStatus(NTSTATUS Result) {
    if (Irp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    Irp->IoStatus.Status = Result;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Result;
}

NTSTATUS CQuiltRequest::CompleteAsIs() {
    if (Irp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// ---- Information requests -------------------------------------------------------------------

CQuiltInfoRequest::CQuiltInfoRequest(PDEVICE_OBJECT Device, PIRP Request)
    : CQuiltRequest(Device, Request), CompleteHere(0), Information(0) {}

NTSTATUS CQuiltInfoRequest::ProcessInformation() {
    if (DeviceObject == NULL || VolumeContext == NULL || Irp == NULL) {
        return CompleteWithStatus(STATUS_INVALID_PARAMETER);
    }
    if (!VolumeContext->Serving) {
        return PassDown();
    }
    StatusRecord = FileObjectStatusLookup(FileObject);
    if (StatusRecord == NULL) {
        return PassDown();
    }
    PreProcess();
    if (CompleteHere) {
        return CompleteWithInformation(Status, Information);
    }
    Status = PassDown();
    PostProcess();
    return Status;
}
