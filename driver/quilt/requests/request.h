// Request objects: every IRP the driver handles on a protected volume is
// wrapped in a short-lived object on the dispatch routine's stack. It gathers
// the pieces of the IRP a handler needs and offers the few ways a handler may
// end: pass the IRP down, complete it (with a status, with a status and
// information, or as it stands), or send it down, wait, and then complete it.
//
// Dispatch entry pattern (DispatchRequest below): construct the object from
// (DEVICE_OBJECT, IRP), call Process, let the object go, return Process's
// status. No request object outlives its dispatch call.
//
// The virtual operations of the base classes here are defined in the class,
// so that no base has a key function: host tests (built with RTTI) may derive
// from them while the driver itself is built without.
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"

struct FileObjectStatus;

class CQuiltRequest {
public:
    CQuiltRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    // Completes the IRP with STATUS_SUCCESS; every handler overrides it.
    virtual NTSTATUS Process() { return CompleteWithStatus(STATUS_SUCCESS); }

    // Skips the own stack location and calls the lower device; without a
    // lower device or IRP, completes with STATUS_SUCCESS and Information 0.
    NTSTATUS PassDown();

    // Copies the current stack location to the next one (without completion
    // routine; Control cleared), sends the IRP to the lower device and waits.
    // Returns the IRP's final status; the IRP is not completed (the caller
    // completes it). STATUS_UNSUCCESSFUL without IRP or lower device.
    NTSTATUS SendDownAndWait();

    // Complete the IRP; STATUS_UNSUCCESSFUL when there is none.
    NTSTATUS CompleteWithInformation(NTSTATUS Status, ULONG_PTR Information);
    NTSTATUS CompleteWithStatus(NTSTATUS Status);  // IoStatus.Information untouched
    NTSTATUS CompleteAsIs();                        // IoStatus untouched; returns this->Status

    // The request's pieces, set by the constructor. Within a request class the
    // member VolumeContext hides the type of that name: write DeviceContext
    // for the type.
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    NTSTATUS Status;                   // the handler's running result
    PIO_STACK_LOCATION IrpSp;          // NULL without IRP
    DeviceContext* VolumeContext;      // the device's extension; NULL without device
    PDEVICE_OBJECT LowerDevice;        // NULL without volume context
    PFILE_OBJECT FileObject;           // NULL without IRP
    FileObjectStatus* StatusRecord;    // found or made by the handler
};

// Set-information handlers and the query-information base. Process finds the
// file object's status record and lets PreProcess decide whether the IRP is
// completed here (CompleteHere, with Status and Information) or passed down,
// after which PostProcess runs. A file object without status record, or a
// volume that is not served, gets its IRP passed down untouched.
class CQuiltInfoRequest : public CQuiltRequest {
public:
    CQuiltInfoRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    NTSTATUS Process() override { return ProcessInformation(); }
    virtual VOID PreProcess() {}
    virtual VOID PostProcess() {}

    UCHAR CompleteHere;
    ULONG Information;

private:
    NTSTATUS ProcessInformation();
};

// The dispatch entry pattern for a request class.
template <class Request>
inline NTSTATUS DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Request request(DeviceObject, Irp);
    return request.Process();
}
