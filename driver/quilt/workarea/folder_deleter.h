// Deleting folder trees below the protection, and the pass that throws away
// the previous generations of a protected volume's work folder.
//
// The deleter copes with what a work folder may hold: read-only files (their
// attributes are reset), files other programs hold open (tried 11 times, a
// second apart, then logged and left), junctions (deleted themselves, never
// entered), and nestings too deep to open (moved up under the root and the
// walk repeated).
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"
#include "workarea/dir_walker.h"

// Directory paths of this many characters or more are moved before they are
// entered: the entries in them would not fit a path buffer.
#define DELETER_LONG_PATH_CHARS 32489

// Attempts to delete one path, with a pause of DELETER_RETRY_PAUSE_MS after
// each failed one.
#define DELETER_ATTEMPTS       11
#define DELETER_RETRY_PAUSE_MS 1000

// The work folder at the root of every protected volume.
#define WORK_FOLDER_PATH L"\\$~@&%.~~~"

class CQuiltFolderDeleter : public CQuiltDirWalker {
public:
    CQuiltFolderDeleter(ULONG DriveIndex, PCWSTR RootPath);

    // The long-path guard.
    NTSTATUS EnterDirectory(PCWSTR Path) override;
    // Both delete the path (see DeletePath); a failed deletion never stops
    // the walk.
    NTSTATUS LeaveDirectory(PCWSTR Path) override;
    NTSTATUS VisitEntry(PCWSTR Path) override;

    UCHAR ErrorFlag;   // a path could not be deleted
    UCHAR RepeatFlag;  // the tree changed under the walk: walk again
    ULONG RootLength;  // characters of the root path

private:
    NTSTATUS DeletePath(PCWSTR Path);
    NTSTATUS MoveTooDeepFolder(PCWSTR Path);
};

// Deletes the folder tree (or the file) Path on the drive, walking again while
// the walk asks for it. Entries left behind set the deletion state to "left
// over" when the SubFolderLimit setting is 0 or below the most generation
// folders seen. FALSE only for a drive index above 25 or a missing path.
BOOLEAN DeleteFolder(ULONG DriveIndex, PCWSTR Path);

// Deletes everything in the volume's work folder but "Backup", "current" and
// the current generation's folder.
VOID DiscardPreviousGenerations(VolumeContext* Volume);

// Opens a folder (or, with other Options, a file) below the protection for
// DELETE and attribute access, never following a reparse point at its end.
// Returns the referenced file object and its handle in *Handle, or NULL.
PFILE_OBJECT OpenFolder(PCWSTR Path, ULONG DriveIndex, ULONG Options, PHANDLE Handle);

// The same open for reading and writing, creating the folder when missing.
PFILE_OBJECT CreateFolder(PCWSTR Path, ULONG DriveIndex, ULONG Options, PHANDLE Handle);

// The buffers Next name works in.
#define NEXT_NAME_BUFFER_BYTES  65538
#define NEXT_NAME_ENTRY_BYTES   1024
#define NEXT_NAME_MAX_BYTES     65536

// The next name of an open directory's listing (FileNamesInformation, a batch
// at a time in EntryBuffer, *Cursor the offset of the next entry there; start
// with 0), copied zero-terminated into NameBuffer; "." and ".." are skipped.
// STATUS_NO_MORE_FILES (or the query's failure) at the end.
NTSTATUS NextName(PDEVICE_OBJECT Device, PFILE_OBJECT Directory, PWSTR NameBuffer, PVOID EntryBuffer,
                  PULONG Cursor);

// Waits Milliseconds on the kernel clock.
VOID SleepMilliseconds(ULONG Milliseconds);
