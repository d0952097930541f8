// The sibling filter driver (PLEAT) and the sectors it keeps for both drivers:
// through it the driver checks that the previous run ended cleanly and
// records how far its own start and shutdown have come.
//
// What is fixed between the two drivers: the started event, the device, the
// two sector control codes, the request record, and these fields of its disk
// (read and written in 512-byte sectors):
//   sector 0       "BRIMEL" at byte 3, 1 at byte 9;
//   sector 21      version (at least 5) at byte 0, non-zero bytes at 0xDB and
//                  0xDD, the status sector's number (32-bit) at 0xE0;
//   status sector  start time at 0x84, shutdown time at 0x8E (ten bytes each,
//                  local time), status code at 0xCC.
#pragma once

#include <ntifs.h>

#define SIBLING_STARTED_EVENT_NAME L"\\Device\\PleatStarted"
#define SIBLING_DEVICE_NAME        L"\\??\\pleat"

// Device type 0x81C5, functions 0xCFC and 0xCFD, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_SIBLING_READ_SECTORS  CTL_CODE(0x81C5u, 0xCFC, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SIBLING_WRITE_SECTORS CTL_CODE(0x81C5u, 0xCFD, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_SIBLING_READ_SECTORS == 0x81C533F0, "sibling read code");
static_assert(IOCTL_SIBLING_WRITE_SECTORS == 0x81C533F4, "sibling write code");

// SiblingDiskRequest operations: 3 reads, anything else writes.
#define SIBLING_OPERATION_READ  3
#define SIBLING_OPERATION_WRITE 4

#define SIBLING_SECTOR_BYTES 512

// The input record of both control codes; the sibling moves Count x 512
// bytes between its disk and Buffer.
struct SIBLING_SECTOR_REQUEST {
    ULONG Reserved;   // no defined value
    ULONG Sector;
    USHORT Count;
    USHORT Padding;
    PVOID Buffer;
};
static_assert(sizeof(void*) != 4 || sizeof(SIBLING_SECTOR_REQUEST) == 16, "sibling request record");

// Sector layout.
#define SIBLING_MARKER_SECTOR          0
#define SIBLING_MARKER_TEXT_OFFSET     3      // "BRIMEL"
#define SIBLING_MARKER_TEXT_BYTES      6
#define SIBLING_MARKER_FLAG_OFFSET     9      // must be 1
#define SIBLING_HEADER_SECTOR          21
#define SIBLING_HEADER_VERSION_OFFSET  0      // at least SIBLING_MINIMUM_VERSION
#define SIBLING_HEADER_FLAG_OFFSET_1   0xDB   // non-zero
#define SIBLING_HEADER_FLAG_OFFSET_2   0xDD   // non-zero
#define SIBLING_HEADER_STATUS_SECTOR_OFFSET 0xE0
#define SIBLING_MINIMUM_VERSION        5
#define SIBLING_START_TIME_OFFSET      0x84
#define SIBLING_SHUTDOWN_TIME_OFFSET   0x8E
#define SIBLING_STATUS_CODE_OFFSET     0xCC
#define SIBLING_TIME_FIELD_BYTES       10

// Status codes in the status sector.
#define SIBLING_STATUS_CLEAN_END         0x08  // written by the sibling at a clean shutdown
#define SIBLING_STATUS_SHUTDOWN_CHECKED  0x80  // the install drive made the last-shutdown check
#define SIBLING_STATUS_VOLUME_DEVICE     0x90  // the system drive's volume device exists
#define SIBLING_STATUS_BOOKKEEPING       0xA0  // the system drive's current file written or read
#define SIBLING_STATUS_PROTECTED         0xB0  // the system drive is protected
#define SIBLING_STATUS_STARTUP_ENDED     0xC0  // the system drive's start-up has ended
#define SIBLING_STATUS_FIRST_OPEN        0xF0  // first open on the system drive after its start-up
#define SIBLING_STATUS_SHUTDOWN_ENDED    0xFF  // the shutdown has ended

// The sibling's scratch buffer for the last-shutdown check.
#define SIBLING_CHECK_BUFFER_BYTES 0x4000

// Moves Count sectors from Sector on between the sibling's disk and Buffer
// (non-paged, Count x 512 bytes): Operation SIBLING_OPERATION_READ reads,
// any other value writes. Waits until the sibling has started. Returns the
// request's status; STATUS_INVALID_PARAMETER for a NULL buffer, the status of
// the device look-up when the sibling is not there,
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
NTSTATUS SiblingDiskRequest(ULONG Operation, ULONG Sector, USHORT Count, PVOID Buffer);

// Checks the sibling's marker and header sectors, records the driver's start
// in the status sector and reports an unclean previous end in the log.
// Remembers the status sector for WriteStatusCode. Returns
// LAST_SHUTDOWN_CLEAN (1) when the sibling's disk is usable, else
// LAST_SHUTDOWN_CHECK_FAILED (0xFF).
UCHAR CheckLastShutdown();

// Sets the status code in the status sector (read, change, write). Does
// nothing while the status sector is unknown or when it cannot be read.
VOID WriteStatusCode(UCHAR Code);

// Writes LocalTime as the ten-byte time field {year (16-bit), month, day,
// hour, minute, second, reserved 0, milliseconds (16-bit)} at Offset of a
// 512-byte sector.
VOID SiblingWriteTimeField(PUCHAR Sector, ULONG Offset, const LARGE_INTEGER* LocalTime);
