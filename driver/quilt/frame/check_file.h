// The install drive's start-up files: the marker file, whose presence asks
// the start-up to begin the backup numbering anew, and the check file, which
// names the protected drives and their target paths.
//
// Check file: UTF-16LE text beginning with the byte-order mark 0xFEFF; lines
// end in a line feed (a carriage return before it is allowed). A line whose
// first character is "1" and whose second is a letter names that drive as
// protected; the target-path lines are read by the target lists.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"

#define QUILT_TAG_CHECK_FILE_TEXT QUILT_TAG('Q', 'u', 'I', 'I')

#define CHECK_FILE_BYTE_ORDER_MARK 0xFEFF

// The drive mask (bit n = drive index n) of the lines of Text (Characters
// UTF-16 units, the byte-order mark included) that name a protected drive.
// The drive letter of each such line is upper-cased in place, so that the
// target lists, which compare upper-case letters, read "1" lines of either
// case.
ULONG ReadCheckFileDrives(PWSTR Text, ULONG Characters);

// Deletes the marker file of the install folder if it exists. TRUE when it
// was there.
BOOLEAN ConsumeMarkerFile();

// Reads the check file named by CheckFilePath, records its last-write time,
// keeps its text for the target lists and sets the configured and
// deletion-pending drive masks from it. FALSE, with the masks unchanged, for a
// file that cannot be opened or read, of at most one byte, or without the
// byte-order mark.
BOOLEAN LoadCheckFile();

// Frees the kept check-file text (host rundown of the driver; the system
// keeps it for the driver's lifetime).
VOID CheckFileTextFree();
