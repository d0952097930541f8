// The drive letter and the bus of a mounted volume (see volume_lookup.h).
#include "frame/volume_lookup.h"

#include <ntddstor.h>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"

// The adapter descriptor is answered into 32 bytes.
#define ADAPTER_DESCRIPTOR_BYTES 32
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) <= ADAPTER_DESCRIPTOR_BYTES, "adapter descriptor");

PDEVICE_OBJECT DriveOfVolume(ULONG DriveIndex) {
    if (DriveIndex >= QUILT_DRIVE_COUNT) {
        return NULL;
    }
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT drive = OpenLowerFile(&handle, SYNCHRONIZE, DriveIndex, NULL, &ioStatus, NULL, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
    if (drive == NULL) {
        return NULL;
    }
    PDEVICE_OBJECT storage = drive->DeviceObject;
    PDEVICE_OBJECT mounted = NULL;
    if (storage != NULL && (storage->Characteristics & FILE_REMOVABLE_MEDIA) == 0 && storage->Vpb != NULL) {
        mounted = storage->Vpb->DeviceObject;
    }
    CloseLowerFile(drive, handle);
    return mounted;
}

// The adapter's bus type (STORAGE_BUS_TYPE), or FALSE when the storage device
// does not answer.
static BOOLEAN QueryBusType(PDEVICE_OBJECT StorageDevice, PUCHAR BusType) {
    STORAGE_PROPERTY_QUERY query;
    RtlZeroMemory(&query, sizeof(query));
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    union {
        STORAGE_ADAPTER_DESCRIPTOR Descriptor;
        UCHAR Bytes[ADAPTER_DESCRIPTOR_BYTES];
    } answer;
    RtlZeroMemory(&answer, sizeof(answer));

    ULONG_PTR returned = 0;
    NTSTATUS status = LowerDeviceControl(StorageDevice, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &answer,
                                         sizeof(answer), &returned);
    if (!NT_SUCCESS(status) || returned < FIELD_OFFSET(STORAGE_ADAPTER_DESCRIPTOR, BusType) + sizeof(UCHAR)) {
        return FALSE;
    }
    *BusType = answer.Descriptor.BusType;
    return TRUE;
}

BOOLEAN IsExternalBusDisk(PDEVICE_OBJECT StorageDevice) {
    if (StorageDevice == NULL) {
        return TRUE;
    }
    if (g_Quilt.Config.USBDiskSupport == 1) {
        return FALSE;
    }
    UCHAR busType = 0;
    if (!QueryBusType(StorageDevice, &busType)) {
        return TRUE;
    }
    return (BOOLEAN)(busType == BusType1394 || busType == BusTypeUsb);
}
