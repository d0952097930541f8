// A depth-first walk over a folder tree below the protection, with visitors
// that derived classes override: one when a directory is entered (a negative
// result keeps the walk out of it), one when it is left (after everything in
// it was visited), and one for every other entry (files, and directories that
// are reparse points, which are never entered). Paths passed to the visitors
// are volume-relative; directory paths end in a backslash.
//
// The walk keeps one open directory per level, each in a frame of its own
// allocated from pool. Once a visitor (or opening a directory) fails, no level
// lists further: every open level gets its leave call while the walk unwinds.
//
// The virtual operations are defined in the class, so that the walker has no
// key function: host tests (built with RTTI) may derive from it while the
// driver is built without.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"

#define QUILT_TAG_WALK_FRAME QUILT_TAG('Q', 'u', 'W', 'F')  // one per directory level
#define QUILT_TAG_WALK_ENTRY QUILT_TAG('Q', 'u', 'W', 'E')  // the directory entry buffer

// FileBothDirectoryInformation entries are read one at a time into this many
// bytes: room for the longest name a file system gives.
#define WALK_ENTRY_BUFFER_BYTES 616

struct WalkFrame;

class CQuiltDirWalker {
public:
    // RootPath is borrowed: it must outlive the walker.
    CQuiltDirWalker(ULONG DriveIndex, PCWSTR RootPath);

    virtual NTSTATUS EnterDirectory(PCWSTR Path) {
        UNREFERENCED_PARAMETER(Path);
        return STATUS_SUCCESS;
    }
    virtual NTSTATUS LeaveDirectory(PCWSTR Path) {
        UNREFERENCED_PARAMETER(Path);
        return STATUS_SUCCESS;
    }
    virtual NTSTATUS VisitEntry(PCWSTR Path) {
        UNREFERENCED_PARAMETER(Path);
        return STATUS_SUCCESS;
    }

    // Walks the tree under the root; a root that is a file gets VisitEntry
    // alone. Returns the last negative status met, else STATUS_SUCCESS;
    // STATUS_INVALID_PARAMETER for a drive index above 25, a missing root or a
    // drive without file-system device.
    virtual NTSTATUS Walk() { return WalkFromRoot(); }

protected:
    ULONG DriveIndex;
    PCWSTR RootPath;
    ULONG PathLength;  // characters of the root path, set when a walk starts

private:
    NTSTATUS WalkFromRoot();
    NTSTATUS ProbeRoot(PBOOLEAN IsDirectory);
    NTSTATUS WalkTree(PWSTR Path, PVOID EntryBuffer);
    NTSTATUS EnterFrame(WalkFrame* Frame, PCWSTR Path);
    NTSTATUS ListFrame(WalkFrame* Frame, PWSTR Path, PVOID EntryBuffer, WalkFrame** Child);
};
