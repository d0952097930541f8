// The depth-first directory walker (see dir_walker.h).
#include "workarea/dir_walker.h"

#include "common/path_buffer.h"
#include "frame/device_context.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"

// One directory level of a walk.
struct WalkFrame {
    WalkFrame* Parent;
    LowerFileHolder Directory;  // the open directory being listed
    PDEVICE_OBJECT Device;      // where its listing requests go
    UCHAR FirstVisit;           // the enter visitor has not run yet
    ULONG Length;               // path length at which this level's names are appended
};

static_assert(sizeof(void*) != 4 || sizeof(WalkFrame) == 32, "walk frames are 32 bytes on 32-bit Windows");

static WalkFrame* NewFrame(WalkFrame* Parent, ULONG Length) {
    WalkFrame* frame = static_cast<WalkFrame*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WalkFrame),
                                                                     QUILT_TAG_WALK_FRAME));
    if (frame == NULL) {
        return NULL;
    }
    // Pool memory: the holder is brought to its empty state by hand.
    frame->Directory.Clear();
    frame->Device = NULL;
    frame->Parent = Parent;
    frame->FirstVisit = 1;
    frame->Length = Length;
    return frame;
}

// Closes the frame's directory and frees it; returns its parent.
static WalkFrame* FreeFrame(WalkFrame* Frame) {
    WalkFrame* parent = Frame->Parent;
    Frame->Directory.Close();
    ExFreePoolWithTag(Frame, QUILT_TAG_WALK_FRAME);
    return parent;
}

static BOOLEAN IsDotName(PCWSTR Name, ULONG Length) {
    return (BOOLEAN)((Length == 1 && Name[0] == L'.') || (Length == 2 && Name[0] == L'.' && Name[1] == L'.'));
}

// Writes Name (and a backslash when asked) at Path[At]; FALSE when it does not
// fit a path buffer.
static BOOLEAN PutName(PWSTR Path, ULONG At, PCWSTR Name, ULONG Length, BOOLEAN Backslash, ULONG* End) {
    ULONG end = At + Length + (Backslash ? 1 : 0);
    if (end > PATH_BUFFER_CHARS) {
        return FALSE;
    }
    RtlCopyMemory(Path + At, Name, Length * sizeof(WCHAR));
    if (Backslash) {
        Path[At + Length] = L'\\';
    }
    Path[end] = L'\0';
    *End = end;
    return TRUE;
}

// ---- The walker -------------------------------------------------------------------------------

CQuiltDirWalker::CQuiltDirWalker(ULONG Drive, PCWSTR Root) : DriveIndex(Drive), RootPath(Root), PathLength(0) {}

// Tells a root folder from a root file. Failures other than "not a
// directory" are the walk's result.
NTSTATUS CQuiltDirWalker::ProbeRoot(PBOOLEAN IsDirectory) {
    LowerFileHolder root;
    NTSTATUS status = root.Open(FILE_READ_ATTRIBUTES, DriveIndex, RootPath, FILE_ATTRIBUTE_NORMAL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                FILE_DIRECTORY_FILE);
    *IsDirectory = (BOOLEAN)NT_SUCCESS(status);
    return status == STATUS_NOT_A_DIRECTORY ? STATUS_SUCCESS : status;
}

NTSTATUS CQuiltDirWalker::WalkFromRoot() {
    if (DriveIndex >= QUILT_DRIVE_COUNT || RootPath == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PathLength = (ULONG)wcslen(RootPath);
    BOOLEAN isDirectory = FALSE;
    NTSTATUS status = ProbeRoot(&isDirectory);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!isDirectory) {
        return VisitEntry(RootPath);
    }
    if (FileSystemDeviceOfDrive(DriveIndex) == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PathBuffer path;
    if (path.Allocate() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID entryBuffer = ExAllocatePoolWithTag(NonPagedPool, WALK_ENTRY_BUFFER_BYTES, QUILT_TAG_WALK_ENTRY);
    if (entryBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BOOLEAN backslash = (BOOLEAN)(PathLength == 0 || RootPath[PathLength - 1] != L'\\');
    ULONG rootEnd = 0;
    if (PutName(path.Get(), 0, RootPath, PathLength, backslash, &rootEnd)) {
        status = WalkTree(path.Get(), entryBuffer);
    } else {
        status = STATUS_NAME_TOO_LONG;
    }
    ExFreePoolWithTag(entryBuffer, QUILT_TAG_WALK_ENTRY);
    return status;
}

// The enter visitor of a level, then its directory opened for listing.
NTSTATUS CQuiltDirWalker::EnterFrame(WalkFrame* Frame, PCWSTR Path) {
    NTSTATUS status = EnterDirectory(Path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = Frame->Directory.Open(FILE_LIST_DIRECTORY, DriveIndex, Path, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Frame->Device = LowerDeviceOfFileObject(Frame->Directory.FileObject);
    return STATUS_SUCCESS;
}

// Lists the level one entry at a time from where it stopped: files (and
// reparse points) get the entry visitor; the first directory found becomes
// *Child and the listing pauses there. The end of the listing, or a failed
// query, ends the level quietly. Returns a failure of the entry visitor, or
// of a name that does not fit the path, or of a frame that cannot be had.
NTSTATUS CQuiltDirWalker::ListFrame(WalkFrame* Frame, PWSTR Path, PVOID EntryBuffer, WalkFrame** Child) {
    PFILE_BOTH_DIR_INFORMATION entry = static_cast<PFILE_BOTH_DIR_INFORMATION>(EntryBuffer);
    const ULONG maxNameLength =
        (WALK_ENTRY_BUFFER_BYTES - FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName)) / sizeof(WCHAR);
    for (;;) {
        NTSTATUS status = LowerQueryDirectory(Frame->Device, Frame->Directory.FileObject, EntryBuffer,
                                              WALK_ENTRY_BUFFER_BYTES, FileBothDirectoryInformation, NULL, FALSE,
                                              TRUE);
        if (!NT_SUCCESS(status)) {
            return STATUS_SUCCESS;
        }
        ULONG length = entry->FileNameLength / sizeof(WCHAR);
        if (length > maxNameLength) {
            length = maxNameLength;
        }
        if (length == 0 || IsDotName(entry->FileName, length)) {
            continue;
        }
        BOOLEAN descend = (BOOLEAN)((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                    (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
        ULONG end = 0;
        if (!PutName(Path, Frame->Length, entry->FileName, length, descend, &end)) {
            return STATUS_NAME_TOO_LONG;
        }
        if (descend) {
            *Child = NewFrame(Frame, end);
            return *Child != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
        status = VisitEntry(Path);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
}

NTSTATUS CQuiltDirWalker::WalkTree(PWSTR Path, PVOID EntryBuffer) {
    WalkFrame* top = NewFrame(NULL, (ULONG)wcslen(Path));
    if (top == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS walkStatus = STATUS_SUCCESS;
    while (top != NULL) {
        if (top->FirstVisit) {
            top->FirstVisit = 0;
            NTSTATUS status = EnterFrame(top, Path);
            if (!NT_SUCCESS(status)) {
                walkStatus = status;
            }
        }
        WalkFrame* child = NULL;
        if (walkStatus == STATUS_SUCCESS) {
            NTSTATUS status = ListFrame(top, Path, EntryBuffer, &child);
            if (!NT_SUCCESS(status)) {
                walkStatus = status;
            }
        }
        if (child != NULL) {
            top = child;
            continue;
        }
        // The level is done: back to its own path, leave it, resume the parent.
        Path[top->Length] = L'\0';
        NTSTATUS status = LeaveDirectory(Path);
        if (!NT_SUCCESS(status)) {
            walkStatus = status;
        }
        top = FreeFrame(top);
    }
    return walkStatus;
}
