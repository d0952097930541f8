// The control interface: the device-control requests of the product's
// user-mode service (see control.h).
//
// Decisions where the request set leaves room:
// - IOCTL_QUILT_GET_DELETION_STATE with an output buffer shorter than 4 bytes
//   fails with STATUS_BUFFER_TOO_SMALL and writes nothing.
// - IOCTL_QUILT_DUMP_STORE copies each block under the store lock into a
//   buffer of its own and writes that copy with the lock released: the store
//   lock is never held across a call to the file system, and no block is
//   written while another thread changes it.
// - Target changes read their path only inside the input buffer: a path (or a
//   process name) that is not terminated within InputBufferLength, or a path
//   shorter than its drive letter and colon, fails with
//   STATUS_INVALID_PARAMETER. The path is copied out of the buffer first, so
//   that the unaligned path of a process target record is read safely.
#include "frame/control.h"

#include "common/path_buffer.h"
#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_globals.h"
#include "frame/target_list.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/store_lock.h"

#define QUILT_TAG_STORE_DUMP QUILT_TAG('Q', 'u', 'E', 'F')  // the block copy of the store dump

// ---- Completion ---------------------------------------------------------------------------

static NTSTATUS CompleteControl(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// ---- Paths with drive letter ------------------------------------------------------------------

// The drive index of a path's first character (taken upper-case), or
// QUILT_DRIVE_COUNT for anything but a letter.
static ULONG DriveOfPath(PCWSTR Path) {
    WCHAR letter = RtlUpcaseUnicodeChar(Path[0]);
    if (letter < L'A' || letter > L'Z') {
        return QUILT_DRIVE_COUNT;
    }
    return (ULONG)(letter - L'A');
}

// A full path is a letter, a colon and at least a character more.
static BOOLEAN HasDrivePrefix(PCWSTR Path) {
    return (BOOLEAN)(Path != NULL && Path[0] != L'\0' && Path[1] == L':' && Path[2] != L'\0' &&
                     DriveOfPath(Path) < QUILT_DRIVE_COUNT);
}

NTSTATUS CreateMarkerFile(PCWSTR MarkerPath) {
    if (!HasDrivePrefix(MarkerPath)) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFileResolved(
        &handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, DriveOfPath(MarkerPath), MarkerPath + 2, &ioStatus, NULL,
        FILE_ATTRIBUTE_HIDDEN, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH, NULL, 0, NULL, 0, NULL);
    if (file == NULL) {
        return ioStatus.Status;
    }
    CloseLowerFile(file, handle);
    return STATUS_SUCCESS;
}

// ---- The deletion state ---------------------------------------------------------------------

static NTSTATUS GetDeletionState(PIRP Irp, PIO_STACK_LOCATION Stack) {
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    if (buffer == NULL || Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return CompleteControl(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    ULONG state = (ULONG)g_Drives.DeletionState;  // a 32-bit read; no lock
    RtlCopyMemory(buffer, &state, sizeof(state));
    return CompleteControl(Irp, STATUS_SUCCESS, sizeof(state));
}

// ---- The store dump -------------------------------------------------------------------------

// Copies block Index of the volume's store into Copy under the store lock; a
// block that does not exist (or a store that went away) reads as zeros.
// FALSE once the index lies past the store's last block.
static BOOLEAN CopyStoreBlock(VolumeContext* Volume, ULONG Index, PUCHAR Copy) {
    StoreLockScope lock;
    StoreHeader* header = StoreHeaderOf(Volume);
    if (header == NULL || Index > header->LastBlockIndex) {
        return FALSE;
    }
    PUCHAR block = Volume->BlockDescriptors[Index].Block;
    if (block != NULL) {
        RtlCopyMemory(Copy, block, STORE_BLOCK_BYTES);
    } else {
        RtlZeroMemory(Copy, STORE_BLOCK_BYTES);
    }
    return TRUE;
}

// Writes every block of one volume's store to internalinfo.dat in its work
// folder, replacing the file. Failures end the volume's dump silently.
static VOID DumpVolumeStore(ULONG DriveIndex, PUCHAR Copy) {
    VolumeContext* volume = VolumeContextOfDrive(DriveIndex);
    if (volume == NULL) {
        return;
    }
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFileResolved(&handle, FILE_APPEND_DATA | SYNCHRONIZE, DriveIndex,
                                              QUILT_STORE_DUMP_PATH, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                              FILE_SHARE_READ, FILE_SUPERSEDE,
                                              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0,
                                              NULL, 0, NULL);
    if (file == NULL) {
        return;
    }
    for (ULONG index = 0; CopyStoreBlock(volume, index, Copy); ++index) {
        NTSTATUS status = ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, Copy, STORE_BLOCK_BYTES, NULL, NULL);
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    CloseLowerFile(file, handle);
}

static NTSTATUS DumpStores(PIRP Irp) {
    PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, STORE_BLOCK_BYTES, QUILT_TAG_STORE_DUMP));
    if (copy != NULL) {
        for (ULONG drive = 0; drive < QUILT_DRIVE_COUNT; ++drive) {
            if ((g_Drives.ProtectedMask & (1UL << drive)) != 0) {
                DumpVolumeStore(drive, copy);
            }
        }
        ExFreePoolWithTag(copy, QUILT_TAG_STORE_DUMP);
    }
    return CompleteControl(Irp, STATUS_SUCCESS, 0);
}

// ---- Target changes -------------------------------------------------------------------------

// A target change as read from the request: the path (copied, drive letter
// upper-cased) and the process name (inside the system buffer, NULL for
// none).
struct TargetChange {
    ULONG Code;
    BOOLEAN Add;
    PCSTR ProcessName;
    PathBuffer Path;
};

// Length of a zero-terminated narrow string inside Size bytes, or -1 when it
// is not terminated there.
static LONG BoundedNarrowLength(PCSTR Text, ULONG Size) {
    for (ULONG i = 0; i < Size; ++i) {
        if (Text[i] == '\0') {
            return (LONG)i;
        }
    }
    return -1;
}

// Copies a zero-terminated wide string of at most Size bytes (at any
// alignment) into Destination (a path buffer). FALSE when it is not
// terminated within Size bytes or does not fit.
static BOOLEAN CopyBoundedPath(const UCHAR* Source, ULONG Size, PWSTR Destination) {
    ULONG characters = Size / sizeof(WCHAR);
    for (ULONG i = 0; i < characters && i <= PATH_BUFFER_CHARS; ++i) {
        WCHAR character;
        RtlCopyMemory(&character, Source + i * sizeof(WCHAR), sizeof(WCHAR));
        Destination[i] = character;
        if (character == L'\0') {
            return TRUE;
        }
    }
    return FALSE;
}

// Reads the path (and for a process target the operation and process name)
// out of the system buffer. STATUS_INVALID_PARAMETER for a missing buffer or
// a malformed record.
static NTSTATUS ReadTargetChange(PIRP Irp, PIO_STACK_LOCATION Stack, TargetChange* Change) {
    const UCHAR* buffer = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    ULONG size = Stack->Parameters.DeviceIoControl.InputBufferLength;
    if (buffer == NULL || Change->Path.Allocate() == NULL) {
        return buffer == NULL ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
    }
    Change->Add = (BOOLEAN)(Change->Code == IOCTL_QUILT_ADD_TARGET);
    Change->ProcessName = NULL;
    ULONG pathOffset = 0;
    if (Change->Code == IOCTL_QUILT_PROCESS_TARGET) {
        if (size < QUILT_PROCESS_TARGET_NAME_OFFSET) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG operation;
        RtlCopyMemory(&operation, buffer, sizeof(operation));
        PCSTR name = reinterpret_cast<PCSTR>(buffer + QUILT_PROCESS_TARGET_NAME_OFFSET);
        LONG nameLength = BoundedNarrowLength(name, size - QUILT_PROCESS_TARGET_NAME_OFFSET);
        if (nameLength < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        Change->Add = (BOOLEAN)(operation == QUILT_PROCESS_TARGET_ADD);
        Change->ProcessName = nameLength > 0 ? name : NULL;
        pathOffset = QUILT_PROCESS_TARGET_NAME_OFFSET + (ULONG)nameLength + 1;
    }
    PWSTR path = Change->Path.Get();
    if (!CopyBoundedPath(buffer + pathOffset, size - pathOffset, path) || path[0] == L'\0' || path[1] == L'\0') {
        return STATUS_INVALID_PARAMETER;
    }
    if (path[0] >= 0x61) {
        path[0] = (WCHAR)(path[0] - 0x20);  // the drive letter upper-case
    }
    return STATUS_SUCCESS;
}

// When the check file was written since it was loaded (or since the last
// such test), the service asks for a restart: the marker file is created.
static NTSTATUS TestCheckFileChange() {
    PCWSTR checkFile = g_Quilt.Config.CheckFilePath;
    if (!HasDrivePrefix(checkFile)) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFileResolved(&handle, FILE_READ_DATA, DriveOfPath(checkFile), checkFile + 2,
                                              &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                              NULL, 0, NULL, 0, NULL);
    if (file == NULL) {
        return ioStatus.Status;
    }
    FILE_BASIC_INFORMATION basic = {};
    NTSTATUS status = LowerQueryBasic(LowerDeviceOfFileObject(file), file, &basic);
    CloseLowerFile(file, handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (basic.LastWriteTime.QuadPart == g_Drives.CheckFileLastWriteTime.QuadPart) {
        return STATUS_SUCCESS;
    }
    g_Drives.CheckFileLastWriteTime = basic.LastWriteTime;
    return CreateMarkerFile(g_Quilt.MarkerFilePath);
}

// Adds or removes the path (from its third character, without drive letter
// and colon) in the request target list of its drive's volume. The list
// operation's result is not reported.
static VOID ChangeRequestTargets(const TargetChange& Change) {
    PCWSTR path = Change.Path.Get();
    PDEVICE_OBJECT filter = VolumeFilterOfDrive(DriveOfPath(path));
    if (filter == NULL) {
        return;  // no protected volume there: nothing to change
    }
    VolumeContext* volume = DeviceContextOf(filter);
    AcquireExclusive(&g_Quilt.TargetListLock);
    if (Change.Add) {
        IsTarget_AddList(path + 2, &volume->RequestTargets, Change.ProcessName);
    } else {
        IsTarget_RemoveList(path + 2, &volume->RequestTargets, Change.ProcessName);
    }
    ReleaseExclusive(&g_Quilt.TargetListLock);
}

static NTSTATUS ChangeTarget(PIRP Irp, PIO_STACK_LOCATION Stack) {
    TargetChange change;
    change.Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = ReadTargetChange(Irp, Stack, &change);
    if (!NT_SUCCESS(status)) {
        return CompleteControl(Irp, status, 0);
    }
    if (change.Code == IOCTL_QUILT_REMOVE_TARGET && _wcsicmp(change.Path.Get(), g_Quilt.Config.CheckFilePath) == 0) {
        status = TestCheckFileChange();
        if (!NT_SUCCESS(status)) {
            return CompleteControl(Irp, status, 0);
        }
    }
    if (change.Code == IOCTL_QUILT_PROCESS_TARGET) {
        status = CreateMarkerFile(g_Quilt.MarkerFilePath);
        if (!NT_SUCCESS(status)) {
            return CompleteControl(Irp, status, 0);
        }
    }
    ChangeRequestTargets(change);
    return CompleteControl(Irp, STATUS_SUCCESS, 0);
}

// ---- Dispatch -------------------------------------------------------------------------------

static NTSTATUS SaveRegistry(PIRP Irp) {
    if (g_Drives.ProtectionEnabled) {
        RegistryChangerSave();
    }
    return CompleteControl(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI QLTDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceContext* context = DeviceContextOf(DeviceObject);
    if (context == NULL) {
        return CompleteControl(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (!context->Serving) {
        return PassThrough(DeviceObject, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_QUILT_CREATE_MARKER:
        return CompleteControl(Irp, CreateMarkerFile(g_Quilt.MarkerFilePath), 0);
    case IOCTL_QUILT_ADD_TARGET:
    case IOCTL_QUILT_REMOVE_TARGET:
    case IOCTL_QUILT_PROCESS_TARGET:
        return ChangeTarget(Irp, stack);
    case IOCTL_QUILT_SAVE_REGISTRY:
        return SaveRegistry(Irp);
    case IOCTL_QUILT_GET_DELETION_STATE:
        return GetDeletionState(Irp, stack);
    case IOCTL_QUILT_DUMP_STORE:
        return DumpStores(Irp);
    default:
        return PassThrough(DeviceObject, Irp);
    }
}
