// The configuration read at driver entry (the service key's \Parameters
// values) and the paths derived from it. Everything here writes g_Quilt and is
// called by driver entry alone; after it, the values are fixed.
#pragma once

#include <ntifs.h>

#include "frame/driver_globals.h"

// The sibling filter's service key, under whose \Parameters VBSFilePath lives.
#define QUILT_SIBLING_SERVICE_KEY L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PLEAT"

#define QUILT_MIN_COPY_BUFFER  512
#define QUILT_MAX_COPY_BUFFER  0x8000000
#define QUILT_DEFAULT_COPY_BUFFER 0x100000

// The drive index (0 = A) of a drive letter of either case; QUILT_DRIVE_COUNT
// or more for anything that is not a letter.
ULONG DriveIndexOfLetter(WCHAR Letter);

// FileCopyBufferSize raised to 512, lowered to 128 MiB, rounded up to 512.
ULONG BoundFileCopyBufferSize(ULONG Requested);

// PrecreateWatchTime never exceeds PrecreateStartTime.
ULONG BoundPrecreateWatchTime(ULONG WatchTime, ULONG StartTime);

// A usable CheckFilePath: its first character is a drive letter and its last
// backslash stands at index 6 or later.
BOOLEAN IsUsableCheckFilePath(PCWSTR CheckFilePath);

// Reads the values of step 4 of driver entry (DeleteStartDelay to
// PrecreateStartTime), bounding PrecreateWatchTime.
VOID ReadStartupConfiguration(PCUNICODE_STRING RegistryPath);

// Install folder (first character upper-cased, cut after the last backslash),
// install drive, marker file and registry snapshot paths, from
// Config.CheckFilePath, which must be usable.
VOID DeriveInstallPaths();

// System root (from the system, first character upper-cased) and system
// drive; QUILT_DRIVE_COUNT as system drive when the root has no drive letter.
VOID DeriveSystemRoot();

// The six watched boot files, and with WithTimingNames the twelve more that
// only the boot timing marks use (system root and install folder without
// their drive letters).
VOID BuildWatchedBootFiles(BOOLEAN WithTimingNames);

// The byte offset of the image name inside the current process object, found
// by looking for "System" below 0x3000; 0 when not found.
ULONG FindProcessNameOffset();
