// The control interface: device-control requests of the product's user-mode
// service, accepted on the control device \Device\quilt (link \??\quilt) and
// on every protected volume filter. QLTDeviceControl itself is declared with
// the other dispatch routines (frame/dispatch.h).
#pragma once

#include <ntifs.h>

// Device type 0x81C5, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define QUILT_DEVICE_TYPE 0x81C5u
#define QUILT_CONTROL_CODE(Function) CTL_CODE(QUILT_DEVICE_TYPE, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_QUILT_CREATE_MARKER      QUILT_CONTROL_CODE(0xCFF)  // no input, no output
#define IOCTL_QUILT_ADD_TARGET         QUILT_CONTROL_CODE(0xD00)  // wide path with drive letter
#define IOCTL_QUILT_REMOVE_TARGET      QUILT_CONTROL_CODE(0xD01)  // wide path with drive letter
#define IOCTL_QUILT_SAVE_REGISTRY      QUILT_CONTROL_CODE(0xD03)  // no input, no output
#define IOCTL_QUILT_GET_DELETION_STATE QUILT_CONTROL_CODE(0xD04)  // output: ULONG
#define IOCTL_QUILT_PROCESS_TARGET     QUILT_CONTROL_CODE(0xD07)  // QUILT_PROCESS_TARGET record
#define IOCTL_QUILT_DUMP_STORE         QUILT_CONTROL_CODE(0xD08)  // no input, no output

static_assert(IOCTL_QUILT_CREATE_MARKER == 0x81C533FC, "control code");
static_assert(IOCTL_QUILT_ADD_TARGET == 0x81C53400, "control code");
static_assert(IOCTL_QUILT_REMOVE_TARGET == 0x81C53404, "control code");
static_assert(IOCTL_QUILT_SAVE_REGISTRY == 0x81C5340C, "control code");
static_assert(IOCTL_QUILT_GET_DELETION_STATE == 0x81C53410, "control code");
static_assert(IOCTL_QUILT_PROCESS_TARGET == 0x81C5341C, "control code");
static_assert(IOCTL_QUILT_DUMP_STORE == 0x81C53420, "control code");

// The input of IOCTL_QUILT_PROCESS_TARGET: the operation, then a
// zero-terminated narrow process name (empty for none), then, right after its
// terminator and without alignment, the zero-terminated wide path with its
// drive letter.
#define QUILT_PROCESS_TARGET_ADD 1  // any other operation removes
#define QUILT_PROCESS_TARGET_NAME_OFFSET sizeof(ULONG)

// Work-folder file the store dump writes (one 128 KiB block after the other).
#define QUILT_STORE_DUMP_PATH L"\\$~@&%.~~~\\internalinfo.dat"

// Opens or creates the marker file (a full path with drive letter) on the
// real volume, empty and hidden, and closes it again. Returns the open's
// status; STATUS_INVALID_PARAMETER for a path without drive letter.
NTSTATUS CreateMarkerFile(PCWSTR MarkerPath);
