// Requests to the sibling filter's disk, the last-shutdown check and the
// status codes (see sibling_disk.h).
#include "frame/sibling_disk.h"

#include "common/pool_tags.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "lowerio/lower_request.h"

#define QUILT_TAG_SIBLING_BUFFER QUILT_TAG('Q', 'u', 'S', 'B')  // sector buffers

static const UCHAR g_MarkerText[SIBLING_MARKER_TEXT_BYTES] = {'B', 'R', 'I', 'M', 'E', 'L'};

// ---- SiblingDiskRequest ---------------------------------------------------------

// Waits until the sibling has said it is ready. When the sibling is not
// loaded, the event is created here, and a newly created notification event
// is signalled: the wait then ends at once and the device look-up fails.
static VOID WaitForSiblingStarted() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SIBLING_STARTED_EVENT_NAME);
    HANDLE handle = NULL;
    PKEVENT started = IoCreateNotificationEvent(&name, &handle);
    if (started == NULL) {
        return;
    }
    KeWaitForSingleObject(started, Executive, KernelMode, FALSE, NULL);
    ZwClose(handle);
}

// The sibling's device is looked up for every request and released after it
// (the sibling may go away between two requests; a held reference would keep
// a dead device alive).
NTSTATUS SiblingDiskRequest(ULONG Operation, ULONG Sector, USHORT Count, PVOID Buffer) {
    if (Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    WaitForSiblingStarted();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SIBLING_DEVICE_NAME);
    PFILE_OBJECT fileObject = NULL;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &fileObject, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SIBLING_SECTOR_REQUEST record;
    RtlZeroMemory(&record, sizeof(record));
    record.Sector = Sector;
    record.Count = Count;
    record.Buffer = Buffer;
    ULONG code = Operation == SIBLING_OPERATION_READ ? IOCTL_SIBLING_READ_SECTORS : IOCTL_SIBLING_WRITE_SECTORS;
    status = LowerDeviceControl(device, code, &record, sizeof(record), NULL, 0);
    ObDereferenceObject(fileObject);
    return status;
}

// ---- CheckLastShutdown ------------------------------------------------------------

static NTSTATUS ReadSector(ULONG Sector, PUCHAR Buffer) {
    return SiblingDiskRequest(SIBLING_OPERATION_READ, Sector, 1, Buffer);
}

static NTSTATUS WriteSector(ULONG Sector, PUCHAR Buffer) {
    return SiblingDiskRequest(SIBLING_OPERATION_WRITE, Sector, 1, Buffer);
}

static ULONG ReadUlong(const UCHAR* Bytes) {
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) | ((ULONG)Bytes[3] << 24);
}

static VOID WriteUshort(PUCHAR Bytes, USHORT Value) {
    Bytes[0] = (UCHAR)(Value & 0xFF);
    Bytes[1] = (UCHAR)(Value >> 8);
}

VOID SiblingWriteTimeField(PUCHAR Sector, ULONG Offset, const LARGE_INTEGER* LocalTime) {
    if (Sector == NULL || LocalTime == NULL || Offset + SIBLING_TIME_FIELD_BYTES > SIBLING_SECTOR_BYTES) {
        return;
    }
    TIME_FIELDS fields;
    LARGE_INTEGER time = *LocalTime;
    RtlTimeToTimeFields(&time, &fields);
    PUCHAR field = Sector + Offset;
    WriteUshort(field, (USHORT)fields.Year);
    field[2] = (UCHAR)fields.Month;
    field[3] = (UCHAR)fields.Day;
    field[4] = (UCHAR)fields.Hour;
    field[5] = (UCHAR)fields.Minute;
    field[6] = (UCHAR)fields.Second;
    field[7] = 0;
    WriteUshort(field + 8, (USHORT)fields.Milliseconds);
}

static BOOLEAN MarkerSectorIsValid(PUCHAR Buffer) {
    if (!NT_SUCCESS(ReadSector(SIBLING_MARKER_SECTOR, Buffer))) {
        return FALSE;
    }
    return (BOOLEAN)(RtlCompareMemory(Buffer + SIBLING_MARKER_TEXT_OFFSET, g_MarkerText, SIBLING_MARKER_TEXT_BYTES) ==
                         SIBLING_MARKER_TEXT_BYTES &&
                     Buffer[SIBLING_MARKER_FLAG_OFFSET] == 1);
}

// The status sector's number from a valid header sector; FALSE when the
// header cannot be read or is not valid.
static BOOLEAN ReadStatusSectorNumber(PUCHAR Buffer, PULONG StatusSector) {
    if (!NT_SUCCESS(ReadSector(SIBLING_HEADER_SECTOR, Buffer))) {
        return FALSE;
    }
    if (Buffer[SIBLING_HEADER_VERSION_OFFSET] < SIBLING_MINIMUM_VERSION || Buffer[SIBLING_HEADER_FLAG_OFFSET_1] == 0 ||
        Buffer[SIBLING_HEADER_FLAG_OFFSET_2] == 0) {
        return FALSE;
    }
    *StatusSector = ReadUlong(Buffer + SIBLING_HEADER_STATUS_SECTOR_OFFSET);
    return TRUE;
}

// Records the driver's start and the check itself in the status sector, and
// reports a previous run that did not end cleanly. A status sector that
// cannot be read leaves everything as it is.
static VOID RecordStart(PUCHAR Buffer, ULONG StatusSector) {
    if (!NT_SUCCESS(ReadSector(StatusSector, Buffer))) {
        return;
    }
    SiblingWriteTimeField(Buffer, SIBLING_START_TIME_OFFSET, &g_Quilt.LoadLocalTime);
    UCHAR previous = Buffer[SIBLING_STATUS_CODE_OFFSET];
    if (previous != SIBLING_STATUS_CLEAN_END) {
        LogPrint("Computer terminated abnormally last time. status=%x", previous);
    }
    Buffer[SIBLING_STATUS_CODE_OFFSET] = SIBLING_STATUS_SHUTDOWN_CHECKED;
    WriteSector(StatusSector, Buffer);
}

UCHAR CheckLastShutdown() {
    PUCHAR buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, SIBLING_CHECK_BUFFER_BYTES, QUILT_TAG_SIBLING_BUFFER));
    if (buffer == NULL) {
        return LAST_SHUTDOWN_CHECK_FAILED;
    }
    UCHAR result = LAST_SHUTDOWN_CHECK_FAILED;
    ULONG statusSector = 0;
    if (MarkerSectorIsValid(buffer) && ReadStatusSectorNumber(buffer, &statusSector)) {
        // Status sector 0 means the sibling keeps none: sector 0 is its marker
        // sector, which must never receive the start time and status code.
        if (statusSector != 0) {
            g_Drives.SiblingStatusSector = statusSector;
            RecordStart(buffer, statusSector);
        }
        result = LAST_SHUTDOWN_CLEAN;
    }
    ExFreePoolWithTag(buffer, QUILT_TAG_SIBLING_BUFFER);
    return result;
}

// ---- WriteStatusCode ----------------------------------------------------------------

VOID WriteStatusCode(UCHAR Code) {
    ULONG statusSector = g_Drives.SiblingStatusSector;
    if (statusSector == 0) {
        return;
    }
    PUCHAR sector =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, SIBLING_SECTOR_BYTES, QUILT_TAG_SIBLING_BUFFER));
    if (sector == NULL) {
        return;
    }
    if (NT_SUCCESS(ReadSector(statusSector, sector))) {
        sector[SIBLING_STATUS_CODE_OFFSET] = Code;
        WriteSector(statusSector, sector);
    }
    ExFreePoolWithTag(sector, QUILT_TAG_SIBLING_BUFFER);
}
