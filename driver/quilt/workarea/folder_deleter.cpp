// Folder deletion below the protection and the discarding of previous
// generations (see folder_deleter.h).
//
// Decision beyond the stated steps: when a too-deep folder cannot be moved,
// the walk is not repeated (it would meet the same folder again, for ever);
// the folder is left behind like an undeletable file: error flag and one
// "Error at deleting" line with the move's status.
#include "workarea/folder_deleter.h"

#include <ntstrsafe.h>

#include "common/path_buffer.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "lowerio/name_builder.h"

#define QUILT_TAG_NAME_LISTING QUILT_TAG('Q', 'u', 'W', 'N')  // Next name's entry buffer

// ---- Small helpers ------------------------------------------------------------------------

VOID SleepMilliseconds(ULONG Milliseconds) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

static PFILE_OBJECT OpenBelow(PCWSTR Path, ULONG DriveIndex, ACCESS_MASK Access, ULONG ShareAccess,
                              ULONG Disposition, ULONG Options, PHANDLE Handle) {
    if (DriveIndex >= QUILT_DRIVE_COUNT || Path == NULL || Handle == NULL) {
        return NULL;
    }
    IO_STATUS_BLOCK ioStatus = {};
    return OpenLowerFileResolved(Handle, Access, DriveIndex, Path, &ioStatus, NULL, 0, ShareAccess, Disposition,
                                 Options | FILE_OPEN_REPARSE_POINT, NULL, 0, NULL, 0, NULL);
}

PFILE_OBJECT OpenFolder(PCWSTR Path, ULONG DriveIndex, ULONG Options, PHANDLE Handle) {
    return OpenBelow(Path, DriveIndex, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, Options, Handle);
}

PFILE_OBJECT CreateFolder(PCWSTR Path, ULONG DriveIndex, ULONG Options, PHANDLE Handle) {
    return OpenBelow(Path, DriveIndex, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     FILE_OPEN_IF, Options, Handle);
}

static BOOLEAN IsDotName(PCWSTR Name, ULONG Length) {
    return (BOOLEAN)((Length == 1 && Name[0] == L'.') || (Length == 2 && Name[0] == L'.' && Name[1] == L'.'));
}

// ---- Next name ------------------------------------------------------------------------------

// The entry at *Cursor of the batch, the cursor moved to the next one (0 after
// the last, so that the next call queries again). NULL when the entry does not
// lie inside the batch.
static PFILE_NAMES_INFORMATION TakeEntry(PVOID EntryBuffer, PULONG Cursor) {
    const ULONG header = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    ULONG offset = *Cursor;
    if (offset > NEXT_NAME_ENTRY_BYTES - header) {
        *Cursor = 0;
        return NULL;
    }
    PFILE_NAMES_INFORMATION entry =
        reinterpret_cast<PFILE_NAMES_INFORMATION>(static_cast<PUCHAR>(EntryBuffer) + offset);
    if (entry->FileNameLength > NEXT_NAME_ENTRY_BYTES - offset - header) {
        *Cursor = 0;
        return NULL;
    }
    ULONG next = entry->NextEntryOffset;
    *Cursor = (next == 0 || next > NEXT_NAME_ENTRY_BYTES - offset) ? 0 : offset + next;
    return entry;
}

NTSTATUS NextName(PDEVICE_OBJECT Device, PFILE_OBJECT Directory, PWSTR NameBuffer, PVOID EntryBuffer,
                  PULONG Cursor) {
    if (NameBuffer == NULL || EntryBuffer == NULL || Cursor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG dots = 0;
    for (;;) {
        if (*Cursor == 0) {
            RtlZeroMemory(EntryBuffer, NEXT_NAME_ENTRY_BYTES);
            NTSTATUS status = LowerQueryDirectory(Device, Directory, EntryBuffer, NEXT_NAME_ENTRY_BYTES,
                                                  FileNamesInformation, NULL, FALSE, FALSE);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        PFILE_NAMES_INFORMATION entry = TakeEntry(EntryBuffer, Cursor);
        if (entry == NULL || entry->FileNameLength > NEXT_NAME_MAX_BYTES) {
            return STATUS_NO_MORE_FILES;
        }
        ULONG length = entry->FileNameLength / sizeof(WCHAR);
        if (IsDotName(entry->FileName, length)) {
            if (++dots == 3) {
                return STATUS_NO_MORE_FILES;  // a listing that repeats itself
            }
            continue;
        }
        RtlZeroMemory(NameBuffer, NEXT_NAME_BUFFER_BYTES);
        RtlCopyMemory(NameBuffer, entry->FileName, entry->FileNameLength);
        return STATUS_SUCCESS;
    }
}

// ---- The deleter ----------------------------------------------------------------------------

CQuiltFolderDeleter::CQuiltFolderDeleter(ULONG Drive, PCWSTR Root)
    : CQuiltDirWalker(Drive, Root), ErrorFlag(0), RepeatFlag(1), RootLength(Root != NULL ? (ULONG)wcslen(Root) : 0) {}

// One attempt: open the path itself (a reparse point is not followed) and
// mark it for deletion; a read-only entry has its attributes reset and is
// marked once more. The deletion happens when the open is closed.
static NTSTATUS DeleteOnce(ULONG DriveIndex, PCWSTR Path) {
    LowerFileHolder file;
    NTSTATUS status = file.Open(DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, DriveIndex, Path,
                                FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT device = LowerDeviceOfFileObject(file.FileObject);
    status = LowerMarkDelete(device, file.FileObject);
    if (status == STATUS_CANNOT_DELETE) {
        FILE_BASIC_INFORMATION basic;
        RtlZeroMemory(&basic, sizeof(basic));
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        LowerSetBasic(device, file.FileObject, &basic);
        status = LowerMarkDelete(device, file.FileObject);
    }
    return status;
}

static BOOLEAN IsGone(NTSTATUS Status) {
    return (BOOLEAN)(NT_SUCCESS(Status) || Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_DELETE_PENDING);
}

// Tries DELETER_ATTEMPTS times, pausing after each failure. A folder that is
// not empty because something in it was left behind (or moved away for a
// repeated walk) is given up at once. Always STATUS_SUCCESS.
NTSTATUS CQuiltFolderDeleter::DeletePath(PCWSTR Path) {
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG attempt = 0; attempt < DELETER_ATTEMPTS; ++attempt) {
        status = DeleteOnce(DriveIndex, Path);
        if (IsGone(status)) {
            return STATUS_SUCCESS;
        }
        if (status == STATUS_DIRECTORY_NOT_EMPTY && (ErrorFlag || RepeatFlag)) {
            return STATUS_SUCCESS;
        }
        SleepMilliseconds(DELETER_RETRY_PAUSE_MS);
    }
    ErrorFlag = 1;
    LogPrintPath("Error at deleting", DriveIndex, Path, status);
    return STATUS_SUCCESS;
}

NTSTATUS CQuiltFolderDeleter::LeaveDirectory(PCWSTR Path) {
    return DeletePath(Path);
}

NTSTATUS CQuiltFolderDeleter::VisitEntry(PCWSTR Path) {
    return DeletePath(Path);
}

// root (without its trailing backslash) + "\-<counter><U+FFFF>"; the counter
// starts at the local time of driver load and never repeats.
static BOOLEAN FormatShortName(PCWSTR Root, ULONG RootLength, PWSTR Name) {
    if (RootLength > 0 && Root[RootLength - 1] == L'\\') {
        --RootLength;
    }
    LONGLONG counter = g_Quilt.LoadLocalTime.QuadPart + (LONGLONG)InterlockedIncrement(&g_Drives.DeletionRenameCount);
    WCHAR number[32];
    if (!NT_SUCCESS(RtlStringCchPrintfW(number, ARRAYSIZE(number), L"\\-%I64d", counter))) {
        return FALSE;
    }
    NameBuilder name(Name, PATH_BUFFER_CHARS + 1);
    name.AppendCount(Root, RootLength);
    name.Append(number);
    name.AppendChar((WCHAR)0xFFFF);
    return (BOOLEAN)!name.Overflowed();
}

// Moves the directory Path (with its trailing backslash) directly under the
// root, where the repeated walk reaches it with a short path.
NTSTATUS CQuiltFolderDeleter::MoveTooDeepFolder(PCWSTR Path) {
    PathBuffer source;
    PathBuffer target;
    if (source.Allocate() == NULL || target.Allocate() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG length = (ULONG)wcslen(Path);
    if (length > 1 && Path[length - 1] == L'\\') {
        --length;
    }
    RtlCopyMemory(source.Get(), Path, length * sizeof(WCHAR));
    source.Get()[length] = L'\0';
    if (!FormatShortName(RootPath, RootLength, target.Get())) {
        return STATUS_NAME_TOO_LONG;
    }
    return RenameThroughVolume(FileSystemDeviceOfDrive(DriveIndex), NULL, source.Get(), target.Get(), DriveIndex);
}

NTSTATUS CQuiltFolderDeleter::EnterDirectory(PCWSTR Path) {
    if (wcslen(Path) < DELETER_LONG_PATH_CHARS) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = MoveTooDeepFolder(Path);
    if (NT_SUCCESS(status)) {
        RepeatFlag = 1;
    } else {
        ErrorFlag = 1;
        LogPrintPath("Error at deleting", DriveIndex, Path, status);
    }
    return STATUS_UNSUCCESSFUL;
}

// ---- Delete folder ------------------------------------------------------------------------------

// Entries left behind count as a failed deletion unless the settings allow the
// work folder to keep that many generation folders.
static VOID NoteLeftOver() {
    ULONG limit = g_Quilt.Config.SubFolderLimit;
    if (limit == 0 || limit < g_Drives.HighestGenerationCount) {
        InterlockedExchange(&g_Drives.DeletionState, DELETION_STATE_LEFT_OVER);
    }
}

BOOLEAN DeleteFolder(ULONG DriveIndex, PCWSTR Path) {
    if (DriveIndex >= QUILT_DRIVE_COUNT || Path == NULL) {
        return FALSE;
    }
    CQuiltFolderDeleter deleter(DriveIndex, Path);
    while (deleter.RepeatFlag) {
        deleter.RepeatFlag = 0;
        deleter.Walk();
    }
    if (deleter.ErrorFlag) {
        NoteLeftOver();
    }
    return TRUE;
}

// ---- Discard previous generations ---------------------------------------------------------------

// The buffers of a work-folder listing.
struct WorkFolderListing {
    PathBuffer Name;
    PVOID Entries;
    HANDLE Handle;
    PFILE_OBJECT Folder;
};

static BOOLEAN OpenListing(VolumeContext* Volume, WorkFolderListing* Listing) {
    Listing->Folder = OpenFolder(WORK_FOLDER_PATH, Volume->DriveIndex, FILE_DIRECTORY_FILE, &Listing->Handle);
    return (BOOLEAN)(Listing->Folder != NULL);
}

static VOID CloseListing(WorkFolderListing* Listing) {
    CloseLowerFile(Listing->Folder, Listing->Handle);
    Listing->Folder = NULL;
    Listing->Handle = NULL;
}

static BOOLEAN IsDigits(PCWSTR Name) {
    if (Name[0] == L'\0') {
        return FALSE;
    }
    for (; *Name != L'\0'; ++Name) {
        if (*Name < L'0' || *Name > L'9') {
            return FALSE;
        }
    }
    return TRUE;
}

// Counts the generation folders (names of digits only) and keeps the highest
// count seen since load.
static VOID CountGenerations(VolumeContext* Volume, WorkFolderListing* Listing) {
    if (!OpenListing(Volume, Listing)) {
        return;
    }
    ULONG count = 0;
    ULONG cursor = 0;
    while (NT_SUCCESS(NextName(Volume->LowerDevice, Listing->Folder, Listing->Name.Get(), Listing->Entries, &cursor))) {
        if (IsDigits(Listing->Name.Get())) {
            ++count;
        }
    }
    CloseListing(Listing);
    if (count > g_Drives.HighestGenerationCount) {
        g_Drives.HighestGenerationCount = count;
    }
}

static BOOLEAN IsKept(PCWSTR Name, PCWSTR CurrentGeneration) {
    return (BOOLEAN)(_wcsicmp(Name, CurrentGeneration) == 0 || _wcsicmp(Name, L"Backup") == 0 ||
                     _wcsicmp(Name, L"current") == 0);
}

// Deletes every entry of the work folder that is not kept, in listing order.
static VOID DeleteStrays(VolumeContext* Volume, WorkFolderListing* Listing, PCWSTR CurrentGeneration) {
    PathBuffer path;
    if (path.Allocate() == NULL || !OpenListing(Volume, Listing)) {
        return;
    }
    ULONG cursor = 0;
    while (NT_SUCCESS(NextName(Volume->LowerDevice, Listing->Folder, Listing->Name.Get(), Listing->Entries, &cursor))) {
        PCWSTR name = Listing->Name.Get();
        if (IsKept(name, CurrentGeneration)) {
            continue;
        }
        NameBuilder joined(path.Get(), PATH_BUFFER_CHARS + 1);
        joined.Append(WORK_FOLDER_PATH);
        joined.AppendChar(L'\\');
        joined.Append(name);
        if (!joined.Overflowed()) {
            DeleteFolder(Volume->DriveIndex, path.Get());
        }
    }
    CloseListing(Listing);
}

VOID DiscardPreviousGenerations(VolumeContext* Volume) {
    if (Volume == NULL || Volume->DriveIndex >= QUILT_DRIVE_COUNT) {
        return;
    }
    WCHAR currentGeneration[16];
    if (!NT_SUCCESS(RtlStringCchPrintfW(currentGeneration, ARRAYSIZE(currentGeneration), L"%x", Volume->Generation))) {
        return;
    }
    WorkFolderListing listing;
    listing.Handle = NULL;
    listing.Folder = NULL;
    listing.Entries = ExAllocatePoolWithTag(NonPagedPool, NEXT_NAME_ENTRY_BYTES, QUILT_TAG_NAME_LISTING);
    if (listing.Entries == NULL || listing.Name.Allocate() == NULL) {
        if (listing.Entries != NULL) {
            ExFreePoolWithTag(listing.Entries, QUILT_TAG_NAME_LISTING);
        }
        return;
    }
    CountGenerations(Volume, &listing);
    DeleteStrays(Volume, &listing, currentGeneration);
    ExFreePoolWithTag(listing.Entries, QUILT_TAG_NAME_LISTING);
}
