// The sibling filter driver: DriverEntry, the sector requests and the clean
// end written at shutdown. Everything the driver keeps lives in its device's
// extension, so each kernel that loads it starts from nothing.
#include "pleat.h"

#include <ntifs.h>

#include <mutex>

#include "io/io.h"

namespace pleat {
namespace {

constexpr ULONG kDeviceType = 0x81C5;

struct PleatExtension {
    SectorStore* Store;
    HANDLE StartedHandle;   // keeps the named event alive for the system's life
};

// The store handed to the next DriverEntry (LoadSibling sets it under the lock).
std::mutex g_LoadLock;
SectorStore* g_StoreForEntry = nullptr;

PleatExtension* ExtensionOf(PDEVICE_OBJECT Device) {
    return static_cast<PleatExtension*>(Device->DeviceExtension);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP Irp) {
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchUnsupported(PDEVICE_OBJECT, PIRP Irp) {
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

// The record carries a raw kernel address, so only kernel-mode callers may
// use it: from a user program it would read or write any kernel memory.
NTSTATUS TransferSectors(PleatExtension* Extension, PIRP Irp, bool Write) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (Irp->RequestorMode != KernelMode) return STATUS_ACCESS_DENIED;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(PLEAT_SECTOR_REQUEST) ||
        Irp->AssociatedIrp.SystemBuffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const PLEAT_SECTOR_REQUEST* request = static_cast<const PLEAT_SECTOR_REQUEST*>(Irp->AssociatedIrp.SystemBuffer);
    if (request->Buffer == NULL && request->Count != 0) return STATUS_INVALID_PARAMETER;
    if (Write) return Extension->Store->Write(request->Sector, request->Count, request->Buffer);
    return Extension->Store->Read(request->Sector, request->Count, request->Buffer);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PLEAT_READ_SECTORS:
        return Complete(Irp, TransferSectors(ExtensionOf(Device), Irp, false));
    case IOCTL_PLEAT_WRITE_SECTORS:
        return Complete(Irp, TransferSectors(ExtensionOf(Device), Irp, true));
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The clean end: status code 8 in the status sector that sector 21 names. A
// store that is gone or damaged gets nothing.
VOID WriteCleanEnd(SectorStore* Store) {
    UCHAR header[kSectorSize];
    if (!NT_SUCCESS(Store->Read(kHeaderSector, 1, header))) return;
    ULONG statusSector = static_cast<ULONG>(header[kHeaderStatusSectorOffset]) |
                         static_cast<ULONG>(header[kHeaderStatusSectorOffset + 1]) << 8 |
                         static_cast<ULONG>(header[kHeaderStatusSectorOffset + 2]) << 16 |
                         static_cast<ULONG>(header[kHeaderStatusSectorOffset + 3]) << 24;
    if (statusSector == 0) return;
    UCHAR status[kSectorSize];
    if (!NT_SUCCESS(Store->Read(statusSector, 1, status))) return;
    status[kStatusCodeOffset] = kStatusCleanEnd;
    Store->Write(statusSector, 1, status);
}

// The last-chance shutdown request: the system sends it once every driver
// registered for shutdown has finished and the volumes are flushed.
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT Device, PIRP Irp) {
    WriteCleanEnd(ExtensionOf(Device)->Store);
    return Complete(Irp, STATUS_SUCCESS);
}

VOID InstallDispatchTable(PDRIVER_OBJECT Driver) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        Driver->MajorFunction[major] = DispatchUnsupported;
    }
    Driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    Driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    Driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
}

// Opens (or creates) the started event and clears it: the event is created
// signalled, and nobody may see the driver as ready before it is.
NTSTATUS CreateStartedEvent(PKEVENT* Event, PHANDLE Handle) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kStartedEventName);
    *Event = IoCreateNotificationEvent(&name, Handle);
    if (*Event == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KeClearEvent(*Event);
    return STATUS_SUCCESS;
}

NTSTATUS CreateDeviceAndLink(PDRIVER_OBJECT Driver, PDEVICE_OBJECT* Device) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, kDeviceName);
    NTSTATUS status = IoCreateDevice(Driver, sizeof(PleatExtension), &deviceName, kDeviceType, 0, FALSE, Device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*Device);
        *Device = NULL;
    }
    return status;
}

VOID NTAPI PleatUnload(PDRIVER_OBJECT Driver) {
    PDEVICE_OBJECT device = Driver->DeviceObject;
    if (device == NULL) return;
    HANDLE startedHandle = ExtensionOf(device)->StartedHandle;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
    if (startedHandle != NULL) ZwClose(startedHandle);
}

NTSTATUS NTAPI PleatDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    SectorStore* store = g_StoreForEntry;
    if (store == NULL) return STATUS_INVALID_PARAMETER;

    PKEVENT started = NULL;
    HANDLE startedHandle = NULL;
    NTSTATUS status = CreateStartedEvent(&started, &startedHandle);
    if (!NT_SUCCESS(status)) return status;

    PDEVICE_OBJECT device = NULL;
    status = CreateDeviceAndLink(Driver, &device);
    if (!NT_SUCCESS(status)) {
        ZwClose(startedHandle);
        return status;
    }
    PleatExtension* extension = ExtensionOf(device);
    extension->Store = store;
    extension->StartedHandle = startedHandle;
    device->Flags |= DO_BUFFERED_IO;
    InstallDispatchTable(Driver);
    Driver->DriverUnload = PleatUnload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    KeSetEvent(started, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SendLastChanceShutdown() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kLinkName);
    PFILE_OBJECT file = NULL;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    if (!NT_SUCCESS(status)) return status;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, device, NULL, 0, NULL, &done, &iosb);
    if (irp == NULL) {
        ObDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    ObDereferenceObject(file);
    return status;
}

NTSTATUS LoadSibling(SectorStore* Store, PDRIVER_OBJECT* Driver) {
    std::lock_guard<std::mutex> guard(g_LoadLock);
    g_StoreForEntry = Store;
    NTSTATUS status = plat::IoLoadDriver(kDriverName, PleatDriverEntry, kServiceKey, Driver);
    g_StoreForEntry = nullptr;
    return status;
}

}  // namespace pleat
