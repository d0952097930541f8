// The marker file and the check file (see check_file.h).
#include "frame/check_file.h"

#include "frame/configuration.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "workarea/folder_deleter.h"

// ---- The drive part of the check file -------------------------------------------

// The drive a line names as protected ("1" followed by a letter, whose letter
// is upper-cased in place); QUILT_DRIVE_COUNT for any other line.
static ULONG ProtectedDriveOfLine(PWSTR Line, ULONG Characters) {
    if (Characters < 2 || Line[0] != L'1') {
        return QUILT_DRIVE_COUNT;
    }
    ULONG drive = DriveIndexOfLetter(Line[1]);
    if (drive < QUILT_DRIVE_COUNT) {
        Line[1] = (WCHAR)(L'A' + drive);
    }
    return drive;
}

ULONG ReadCheckFileDrives(PWSTR Text, ULONG Characters) {
    if (Text == NULL || Characters == 0) {
        return 0;
    }
    ULONG mask = 0;
    ULONG lineStart = 1;  // after the byte-order mark
    for (ULONG i = 1; i <= Characters; ++i) {
        if (i < Characters && Text[i] != L'\n') {
            continue;
        }
        ULONG drive = ProtectedDriveOfLine(Text + lineStart, i - lineStart);
        if (drive < QUILT_DRIVE_COUNT) {
            mask |= 1UL << drive;
        }
        lineStart = i + 1;
    }
    return mask;
}

// ---- Marker file ------------------------------------------------------------------

// Opens and closes the drive itself for reading and writing once, so that
// the deletion is seen at the volume level before the start-up goes on.
static VOID TouchDrive(ULONG DriveIndex) {
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT volume = OpenLowerFile(&handle, GENERIC_READ | GENERIC_WRITE, DriveIndex, NULL, &ioStatus, NULL, 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                        NULL, 0, NULL, 0);
    CloseLowerFile(volume, handle);
}

BOOLEAN ConsumeMarkerFile() {
    PCWSTR marker = g_Quilt.MarkerFilePath;
    ULONG drive = DriveIndexOfLetter(marker[0]);
    if (drive >= QUILT_DRIVE_COUNT || marker[1] != L':') {
        return FALSE;
    }
    HANDLE handle = NULL;
    PFILE_OBJECT file = OpenFolder(marker + 2, drive, FILE_NON_DIRECTORY_FILE, &handle);
    if (file == NULL) {
        return FALSE;
    }
    LowerMarkDelete(NULL, file);
    TouchDrive(drive);
    CloseLowerFile(file, handle);
    return TRUE;
}

// ---- Check file -----------------------------------------------------------------------

// Reads the whole file into a new buffer; *Bytes receives what was read. NULL
// when memory is short or the read fails.
static PWSTR ReadWholeFile(HANDLE Handle, ULONG Size, PULONG Bytes) {
    PWSTR text = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, Size, QUILT_TAG_CHECK_FILE_TEXT));
    if (text == NULL) {
        return NULL;
    }
    IO_STATUS_BLOCK ioStatus = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    NTSTATUS status = ZwReadFile(Handle, NULL, NULL, NULL, &ioStatus, text, Size, &offset, NULL);
    if (!NT_SUCCESS(status) || ioStatus.Information < sizeof(WCHAR) || ioStatus.Information > Size) {
        ExFreePoolWithTag(text, QUILT_TAG_CHECK_FILE_TEXT);
        return NULL;
    }
    *Bytes = (ULONG)ioStatus.Information;
    return text;
}

// Takes Text (Bytes long, beginning with the byte-order mark) as the check
// file of this boot.
static VOID AdoptCheckFileText(PWSTR Text, ULONG Bytes) {
    ULONG mask = ReadCheckFileDrives(Text, Bytes / sizeof(WCHAR));
    g_Drives.ConfiguredMask = mask;
    g_Drives.DeletionPendingMask = mask;
    if (mask == 0 || g_Drives.LastShutdownCheck != LAST_SHUTDOWN_CLEAN) {
        InterlockedExchange(&g_Drives.DeletionState, DELETION_STATE_DONE);
    }
    CheckFileTextFree();
    g_Drives.CheckFileText = reinterpret_cast<PUCHAR>(Text);
    g_Drives.CheckFileLength = Bytes;
}

// The last-write time is recorded here as well as by the control interface's
// check-file change test, which compares against it: a check file changed
// after this load is then noticed by that test.
BOOLEAN LoadCheckFile() {
    HANDLE handle = NULL;
    ULONG size = 0;
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = 0;
    if (!NT_SUCCESS(OpenDosDeviceFile(g_Quilt.Config.CheckFilePath, &handle, &size, &lastWrite))) {
        return FALSE;
    }
    g_Drives.CheckFileLastWriteTime = lastWrite;
    if (size <= 1) {
        ZwClose(handle);
        return FALSE;
    }
    ULONG bytes = 0;
    PWSTR text = ReadWholeFile(handle, size, &bytes);
    ZwClose(handle);
    if (text == NULL) {
        return FALSE;
    }
    if (text[0] != CHECK_FILE_BYTE_ORDER_MARK) {
        ExFreePoolWithTag(text, QUILT_TAG_CHECK_FILE_TEXT);
        return FALSE;
    }
    AdoptCheckFileText(text, bytes);
    return TRUE;
}

VOID CheckFileTextFree() {
    if (g_Drives.CheckFileText != NULL) {
        ExFreePoolWithTag(g_Drives.CheckFileText, QUILT_TAG_CHECK_FILE_TEXT);
    }
    g_Drives.CheckFileText = NULL;
    g_Drives.CheckFileLength = 0;
}
