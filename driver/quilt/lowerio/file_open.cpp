// Opening files below the protection, and the small file helpers built on it.
#include "lowerio/file_open.h"

#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/lower_request.h"
#include "lowerio/name_builder.h"
#include "store/path_mapping.h"

#define QUILT_TAG_REPARSE_DATA  QUILT_TAG('Q', 'u', 'O', 'r')  // junction data read during resolution
#define QUILT_TAG_RENAME        QUILT_TAG('Q', 'u', 'O', 'n')  // rename target name and information
#define QUILT_TAG_NAME_LIST     QUILT_TAG('Q', 'u', 'O', 'd')  // directory listing of IsDirectoryEmpty

#define REPARSE_DATA_BYTES      16384
#define RENAME_NAME_BYTES       65566
#define RENAME_INFORMATION_BYTES 65552
#define EMPTY_LISTING_BYTES     2048

// Marks the end of a by-ID name; the volume device's create path strips it.
#define FILE_ID_NAME_MARKER     0xFFFF

// ---- OpenLowerFile ------------------------------------------------------------

static WCHAR DriveLetter(ULONG DriveIndex) {
    return (WCHAR)(L'A' + DriveIndex);
}

// "\Device\quilt<L>\" followed by the ID bytes and the marker.
static VOID FormatFileIdName(NameBuilder& Name, ULONG DriveIndex, const LowerFileId* FileId) {
    Name.Append(L"\\Device\\quilt");
    Name.AppendChar(DriveLetter(DriveIndex));
    Name.AppendChar(L'\\');
    Name.AppendBytes(FileId->Id, FileId->Length);
    Name.AppendChar((WCHAR)FILE_ID_NAME_MARKER);
}

// "\??\<L>:<path>"; the volume itself for a NULL path.
static VOID FormatDosName(NameBuilder& Name, ULONG DriveIndex, PCWSTR Path) {
    Name.Append(L"\\??\\");
    Name.AppendChar(DriveLetter(DriveIndex));
    Name.AppendChar(L':');
    Name.Append(Path);
}

// A counted string over the builder's text; FALSE when the text was refused or
// does not fit a UNICODE_STRING.
static BOOLEAN CountedName(const NameBuilder& Name, PUNICODE_STRING Counted) {
    if (Name.Overflowed() || Name.Length() > (MAXUSHORT / sizeof(WCHAR)) - 1) {
        return FALSE;
    }
    Counted->Buffer = Name.Text();
    Counted->Length = (USHORT)(Name.Length() * sizeof(WCHAR));
    Counted->MaximumLength = (USHORT)(Counted->Length + sizeof(WCHAR));
    return TRUE;
}

static BOOLEAN IsValidFileId(const LowerFileId* FileId) {
    return (BOOLEAN)(FileId != NULL && (FileId->Length == 8 || FileId->Length == 16));
}

// References the opened file and makes its I/O synchronous; on failure closes
// the handle (unless it is not one) and reports why.
static PFILE_OBJECT ReferenceOpenedFile(PHANDLE Handle, PIO_STATUS_BLOCK IoStatus) {
    PFILE_OBJECT fileObject = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(*Handle, FILE_READ_DATA, NULL, KernelMode,
                                                reinterpret_cast<PVOID*>(&fileObject), NULL);
    if (!NT_SUCCESS(status)) {
        IoStatus->Status = status;
        if (status != STATUS_INVALID_HANDLE) {
            ZwClose(*Handle);
        }
        *Handle = NULL;
        return NULL;
    }
    fileObject->Flags |= FO_SYNCHRONOUS_IO;
    return fileObject;
}

PFILE_OBJECT OpenLowerFile(PHANDLE Handle, ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path,
                           PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                           ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
                           ULONG EaLength, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Options) {
    if (IoStatus == NULL) {
        return NULL;
    }
    BOOLEAN byFileId = (BOOLEAN)((CreateOptions & FILE_OPEN_BY_FILE_ID) != 0);
    const LowerFileId* fileId = reinterpret_cast<const LowerFileId*>(Path);
    if (Handle == NULL || DriveIndex >= QUILT_DRIVE_COUNT || (byFileId && !IsValidFileId(fileId))) {
        IoStatus->Status = STATUS_INVALID_PARAMETER;
        return NULL;
    }
    *Handle = NULL;
    PathBuffer nameBuffer;
    if (nameBuffer.Allocate() == NULL) {
        IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    NameBuilder name(nameBuffer.Get(), PATH_BUFFER_CHARS + 1);
    if (byFileId) {
        FormatFileIdName(name, DriveIndex, fileId);
    } else {
        FormatDosName(name, DriveIndex, Path);
    }
    UNICODE_STRING objectName;
    if (!CountedName(name, &objectName)) {
        IoStatus->Status = STATUS_OBJECT_NAME_INVALID;
        return NULL;
    }
    ULONG attributes = OBJ_KERNEL_HANDLE | (byFileId ? 0 : OBJ_CASE_INSENSITIVE);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &objectName, attributes, NULL, SecurityDescriptor);

    NTSTATUS status;
    if (byFileId) {
        status = ZwCreateFile(Handle, DesiredAccess, &objectAttributes, IoStatus, AllocationSize, FileAttributes,
                              ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength);
    } else {
        status = IoCreateFileSpecifyDeviceObjectHint(Handle, DesiredAccess, &objectAttributes, IoStatus,
                                                     AllocationSize, FileAttributes, ShareAccess, Disposition,
                                                     CreateOptions, EaBuffer, EaLength, CreateFileTypeNone, NULL,
                                                     Options, ProtectedLowerDevice(DriveIndex));
    }
    if (!NT_SUCCESS(status)) {
        IoStatus->Status = status;
        *Handle = NULL;
        return NULL;
    }
    return ReferenceOpenedFile(Handle, IoStatus);
}

// ---- Markers on the volume device --------------------------------------------

// Asks the volume device's create path for an access-checked open.
#define ACCESS_CHECK_NAME_MARKER 0xFFFE

// Bytes of a by-ID name "\" + ID, and of the same with the marker after it.
#define FILE_REFERENCE_NAME_BYTES (sizeof(WCHAR) + 8)
#define OBJECT_ID_NAME_BYTES      (sizeof(WCHAR) + 16)

static BOOLEAN EndsWith(PCUNICODE_STRING Name, WCHAR Character) {
    return (BOOLEAN)(Name->Buffer != NULL && Name->Length >= sizeof(WCHAR) &&
                     Name->Buffer[Name->Length / sizeof(WCHAR) - 1] == Character);
}

static VOID StripFileIdMarker(PUNICODE_STRING Name) {
    USHORT original = Name->Length;
    if ((original == FILE_REFERENCE_NAME_BYTES + sizeof(WCHAR) || original == OBJECT_ID_NAME_BYTES + sizeof(WCHAR)) &&
        EndsWith(Name, (WCHAR)FILE_ID_NAME_MARKER)) {
        Name->Length -= sizeof(WCHAR);
    }
    if (original == FILE_REFERENCE_NAME_BYTES || original == OBJECT_ID_NAME_BYTES) {
        Name->Length -= sizeof(WCHAR);
        RtlMoveMemory(Name->Buffer, Name->Buffer + 1, Name->Length);
    }
}

VOID StripLowerOpenMarkers(PIRP Irp) {
    if (Irp == NULL) {
        return;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    if (fileObject == NULL) {
        return;
    }
    PUNICODE_STRING name = &fileObject->FileName;
    if ((stack->Parameters.Create.Options & FILE_OPEN_BY_FILE_ID) != 0) {
        StripFileIdMarker(name);
        return;
    }
    if (name->Length >= 2 * sizeof(WCHAR) && EndsWith(name, (WCHAR)ACCESS_CHECK_NAME_MARKER)) {
        name->Length -= sizeof(WCHAR);
        Irp->RequestorMode = UserMode;
        return;
    }
    Irp->RequestorMode = KernelMode;
}

// ---- OpenLowerFileResolved ----------------------------------------------------

// The statuses with which an open fails when its path runs through a junction
// that the file system did not follow.
static BOOLEAN IsUnresolvedPathStatus(NTSTATUS Status) {
    return (BOOLEAN)(Status == STATUS_OBJECT_PATH_NOT_FOUND || Status == STATUS_MOUNT_POINT_NOT_RESOLVED ||
                     Status == STATUS_OBJECT_NAME_NOT_FOUND);
}

// Cuts Prefix back to the backslash before its last component. FALSE when
// nothing is left.
static BOOLEAN CutLastComponent(PWSTR Prefix) {
    LONG last = -1;
    for (LONG i = 0; Prefix[i] != L'\0'; ++i) {
        if (Prefix[i] == L'\\') {
            last = i;
        }
    }
    if (last <= 0) {
        Prefix[0] = L'\0';
        return FALSE;
    }
    Prefix[last] = L'\0';
    return TRUE;
}

// Opens the deepest existing prefix of Prefix (cut in place) as itself, not
// following a junction at its end. NULL when no prefix opens or a probe fails
// for another reason than an unresolved path.
static PFILE_OBJECT OpenDeepestPrefix(ULONG DriveIndex, PWSTR Prefix, PHANDLE Handle) {
    for (;;) {
        IO_STATUS_BLOCK ioStatus = {};
        PFILE_OBJECT fileObject =
            OpenLowerFile(Handle, FILE_READ_ATTRIBUTES | FILE_READ_EA, DriveIndex, Prefix, &ioStatus, NULL, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                          FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
        if (fileObject != NULL) {
            return fileObject;
        }
        if (!IsUnresolvedPathStatus(ioStatus.Status) || !CutLastComponent(Prefix)) {
            return NULL;
        }
    }
}

// The junction's print name (a path with drive letter, as the user sees the
// target), or FALSE when the prefix is no junction or its data is malformed.
static BOOLEAN ReadJunctionPrintName(HANDLE Junction, PREPARSE_DATA_BUFFER Data, PCWSTR* PrintName,
                                     ULONG* PrintNameChars) {
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = ZwFsControlFile(Junction, NULL, NULL, NULL, &ioStatus, FSCTL_GET_REPARSE_POINT, NULL, 0,
                                      Data, REPARSE_DATA_BYTES);
    if (!NT_SUCCESS(status) || Data->ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) {
        return FALSE;
    }
    // The print name must lie inside the data the file system returned.
    const ULONG pathBufferOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
    ULONG end = (ULONG)Data->MountPointReparseBuffer.PrintNameOffset + Data->MountPointReparseBuffer.PrintNameLength;
    if (pathBufferOffset + end > REPARSE_DATA_BYTES || pathBufferOffset + end > ioStatus.Information) {
        return FALSE;
    }
    *PrintName = reinterpret_cast<PCWSTR>(reinterpret_cast<PUCHAR>(Data->MountPointReparseBuffer.PathBuffer) +
                                          Data->MountPointReparseBuffer.PrintNameOffset);
    *PrintNameChars = Data->MountPointReparseBuffer.PrintNameLength / sizeof(WCHAR);
    return TRUE;
}

// Maps a volume path of a drive that has a volume filter to where its current
// content lives, as that drive's change store records it (name table 1,
// following stored paths). A walk that yields no path (a volume without a
// store, or a failed walk) leaves the path unchanged, so that the open meets
// the original on the volume.
static BOOLEAN MapPathThroughStore(ULONG DriveIndex, PCWSTR Path, NameBuilder& Mapped) {
    UCHAR walkStatus = PATH_WALK_DELETED;
    FileStatePathLookup(VolumeContextOfDrive(DriveIndex), Path, Mapped.Text(), &walkStatus, STORE_TABLE_VOLUME_PATHS,
                        TRUE, NULL);
    if (Mapped.Text()[0] != L'\0') {
        return TRUE;
    }
    Mapped.Append(Path);
    return (BOOLEAN)!Mapped.Overflowed();
}

// The junction target (print name + the rest of the original path) split into
// its drive and a volume path, mapped through the target drive's store when
// that drive has a volume filter. FALSE when the combination is too long.
static BOOLEAN BuildJunctionTarget(PCWSTR PrintName, ULONG PrintNameChars, PCWSTR Rest, PWSTR Target,
                                   PWSTR Mapped, ULONG* TargetDrive) {
    NameBuilder target(Target, PATH_BUFFER_CHARS + 1);
    target.AppendCount(PrintName, PrintNameChars);
    target.Append(Rest);
    if (target.Overflowed()) {
        return FALSE;
    }
    // Drive letters are upper-cased wherever a path with a letter enters.
    Target[0] = RtlUpcaseUnicodeChar(Target[0]);
    *TargetDrive = (ULONG)(Target[0] - L'A');  // no drive at all for anything but a letter
    PCWSTR volumePath = target.Length() >= 2 ? Target + 2 : L"";
    NameBuilder mapped(Mapped, PATH_BUFFER_CHARS + 1);
    if (VolumeFilterOfDrive(*TargetDrive) != NULL) {
        return MapPathThroughStore(*TargetDrive, volumePath, mapped);
    }
    mapped.Append(volumePath);
    return (BOOLEAN)!mapped.Overflowed();
}

// Finds the junction on Path and builds the path to open instead. FALSE (the
// caller keeps its original status) when there is none to follow.
static BOOLEAN ResolveThroughJunction(ULONG DriveIndex, PCWSTR Path, PWSTR Mapped, ULONG* TargetDrive,
                                      PBOOLEAN Junction) {
    PathBuffer prefix;
    PathBuffer target;
    if (prefix.Allocate() == NULL || target.Allocate() == NULL) {
        return FALSE;
    }
    NameBuilder prefixText(prefix.Get(), PATH_BUFFER_CHARS + 1);
    prefixText.Append(Path);
    if (prefixText.Overflowed()) {
        return FALSE;
    }
    HANDLE handle = NULL;
    PFILE_OBJECT junctionFile = OpenDeepestPrefix(DriveIndex, prefix.Get(), &handle);
    if (junctionFile == NULL) {
        return FALSE;
    }
    PREPARSE_DATA_BUFFER data = static_cast<PREPARSE_DATA_BUFFER>(
        ExAllocatePoolWithTag(NonPagedPool, REPARSE_DATA_BYTES, QUILT_TAG_REPARSE_DATA));
    PCWSTR printName = NULL;
    ULONG printNameChars = 0;
    BOOLEAN found = (BOOLEAN)(data != NULL && ReadJunctionPrintName(handle, data, &printName, &printNameChars));
    CloseLowerFile(junctionFile, handle);
    BOOLEAN built = FALSE;
    if (found) {
        if (Junction != NULL) {
            *Junction = TRUE;
        }
        PCWSTR rest = Path + wcslen(prefix.Get());
        built = BuildJunctionTarget(printName, printNameChars, rest, target.Get(), Mapped, TargetDrive);
    }
    if (data != NULL) {
        ExFreePoolWithTag(data, QUILT_TAG_REPARSE_DATA);
    }
    return built;
}

PFILE_OBJECT OpenLowerFileResolved(PHANDLE Handle, ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path,
                                   PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                   ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
                                   ULONG EaLength, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Options,
                                   PBOOLEAN Junction) {
    if (Junction != NULL) {
        *Junction = FALSE;
    }
    PFILE_OBJECT fileObject = OpenLowerFile(Handle, DesiredAccess, DriveIndex, Path, IoStatus, AllocationSize,
                                            FileAttributes, ShareAccess, Disposition, CreateOptions, EaBuffer,
                                            EaLength, SecurityDescriptor, Options);
    if (fileObject != NULL || IoStatus == NULL || Path == NULL || (CreateOptions & FILE_OPEN_BY_FILE_ID) != 0 ||
        !IsUnresolvedPathStatus(IoStatus->Status)) {
        return fileObject;
    }
    PathBuffer mapped;
    if (mapped.Allocate() == NULL) {
        IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    ULONG targetDrive = QUILT_DRIVE_COUNT;
    if (Path[0] != L'\\' || !ResolveThroughJunction(DriveIndex, Path, mapped.Get(), &targetDrive, Junction)) {
        return NULL;
    }
    return OpenLowerFile(Handle, DesiredAccess, targetDrive, mapped.Get(), IoStatus, AllocationSize,
                         FileAttributes, ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength,
                         SecurityDescriptor, Options);
}

// ---- CloseLowerFile and the holder ------------------------------------------

// TRUE while Handle is still an open handle to FileObject (it was not closed
// behind the opener's back), so that closing it cannot close someone else's.
static BOOLEAN HandleStillOpens(HANDLE Handle, PFILE_OBJECT FileObject) {
    PVOID object = NULL;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(Handle, 0, NULL, KernelMode, &object, NULL))) {
        return FALSE;
    }
    ObDereferenceObject(object);
    return (BOOLEAN)(object == FileObject);
}

VOID CloseLowerFile(PFILE_OBJECT FileObject, HANDLE Handle) {
    if (FileObject == NULL || Handle == NULL) {
        return;
    }
    BOOLEAN stillOpen = HandleStillOpens(Handle, FileObject);
    ObDereferenceObject(FileObject);
    KeEnterCriticalRegion();
    if (stillOpen) {
        ZwClose(Handle);
    }
    KeLeaveCriticalRegion();
}

VOID LowerFileHolder::Clear() {
    FileObject = NULL;
    Handle = NULL;
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;
}

NTSTATUS LowerFileHolder::Open(ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path, ULONG FileAttributes,
                               ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PBOOLEAN Junction) {
    Close();
    FileObject = OpenLowerFileResolved(&Handle, DesiredAccess, DriveIndex, Path, &IoStatus, NULL, FileAttributes,
                                       ShareAccess, Disposition, CreateOptions, NULL, 0, NULL, 0, Junction);
    if (FileObject == NULL) {
        Handle = NULL;
    }
    return IoStatus.Status;
}

VOID LowerFileHolder::Close() {
    if (FileObject != NULL) {
        CloseLowerFile(FileObject, Handle);
    }
    FileObject = NULL;
    Handle = NULL;
}

// The walker's frames hold a holder in 16 bytes on 32-bit Windows.
static_assert(sizeof(void*) != 4 || sizeof(LowerFileHolder) == 16, "LowerFileHolder layout");

// ---- OpenDosDeviceFile --------------------------------------------------------

static NTSTATUS QueryDosFileInformation(HANDLE Handle, PULONG Size, PLARGE_INTEGER LastWriteTime) {
    IO_STATUS_BLOCK ioStatus = {};
    FILE_STANDARD_INFORMATION standard;
    NTSTATUS status = ZwQueryInformationFile(Handle, &ioStatus, &standard, sizeof(standard), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_BASIC_INFORMATION basic;
    status = ZwQueryInformationFile(Handle, &ioStatus, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Size = standard.EndOfFile.LowPart;
    *LastWriteTime = basic.LastWriteTime;
    return STATUS_SUCCESS;
}

NTSTATUS OpenDosDeviceFile(PCWSTR Name, PHANDLE Handle, PULONG Size, PLARGE_INTEGER LastWriteTime) {
    if (Name == NULL || Handle == NULL || Size == NULL || LastWriteTime == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handle = NULL;
    PathBuffer nameBuffer;
    if (nameBuffer.Allocate() == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NameBuilder name(nameBuffer.Get(), PATH_BUFFER_CHARS + 1);
    name.Append(L"\\DosDevices\\");
    name.Append(Name);
    UNICODE_STRING objectName;
    if (!CountedName(name, &objectName)) {
        return STATUS_NO_SUCH_FILE;
    }
    // A kernel handle: the caller may run in a user process, which must not
    // get the handle into its own table.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = ZwCreateFile(Handle, FILE_READ_DATA | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        *Handle = NULL;
        return STATUS_NO_SUCH_FILE;
    }
    status = QueryDosFileInformation(*Handle, Size, LastWriteTime);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Error querying info on file %x\n", status);
        ZwClose(*Handle);
        *Handle = NULL;
    }
    return status;
}

// ---- RenameThroughVolume ------------------------------------------------------

// "\Device\quilt<L><path>" on a protected drive, so that the target directory
// is opened through the driver's volume device straight at the file system;
// "\??\<L>:<path>" otherwise.
static VOID FormatRenameTarget(NameBuilder& Name, ULONG DriveIndex, PCWSTR TargetPath) {
    if (IsDriveProtected(DriveIndex)) {
        Name.Append(L"\\Device\\quilt");
        Name.AppendChar(DriveLetter(DriveIndex));
        Name.Append(TargetPath);
        return;
    }
    FormatDosName(Name, DriveIndex, TargetPath);
}

// Opens the target's parent directory for the rename.
static NTSTATUS OpenRenameTargetDirectory(PUNICODE_STRING TargetName, PHANDLE Handle, PFILE_OBJECT* Directory) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, TargetName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = IoCreateFile(Handle, SYNCHRONIZE | FILE_WRITE_DATA, &attributes, &ioStatus, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, NULL, 0,
                                   CreateFileTypeNone, NULL, IO_FORCE_ACCESS_CHECK | IO_OPEN_TARGET_DIRECTORY);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Error IoCreateFile %x\n", status);
        *Handle = NULL;
        return status;
    }
    status = ObReferenceObjectByHandle(*Handle, 0, NULL, KernelMode, reinterpret_cast<PVOID*>(Directory), NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Error ObReferenceObjectByHandle %x\n", status);
        ZwClose(*Handle);
        *Handle = NULL;
        return status;
    }
    return STATUS_SUCCESS;
}

// Sends FileRenameInformation (replacing an existing target) for Source, with
// the target directory's file object.
static NTSTATUS SendRename(PDEVICE_OBJECT LowerDevice, PFILE_OBJECT Source, PFILE_OBJECT TargetDirectory,
                           const UNICODE_STRING& TargetName) {
    PFILE_RENAME_INFORMATION rename = static_cast<PFILE_RENAME_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, RENAME_INFORMATION_BYTES, QUILT_TAG_RENAME));
    if (rename == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(rename, sizeof(FILE_RENAME_INFORMATION));
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = NULL;
    rename->FileNameLength = TargetName.Length;
    RtlCopyMemory(rename->FileName, TargetName.Buffer, TargetName.Length);
    Source->Flags |= FO_SYNCHRONOUS_IO;
    TargetDirectory->Flags |= FO_SYNCHRONOUS_IO;
    LowerInformationRecord record;
    record.Length = sizeof(FILE_RENAME_INFORMATION) + TargetName.Length;
    record.InformationClass = FileRenameInformation;
    record.TargetFileObject = TargetDirectory;
    record.ReplaceIfExists = TRUE;
    NTSTATUS status = LowerInformationFromRecord(IRP_MJ_SET_INFORMATION, LowerDevice, Source, rename, &record);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Error QLTSetQueryInfoSelf %x\n", status);
    }
    ExFreePoolWithTag(rename, QUILT_TAG_RENAME);
    return status;
}

// The rename buffer is the name's bytes + 16 on 32-bit Windows.
static_assert(sizeof(void*) != 4 || sizeof(FILE_RENAME_INFORMATION) == 16, "rename information header");

// The source opened as the directory walker opens folders: for deletion and
// attribute changes, every sharing allowed, a junction opened as itself.
static PFILE_OBJECT OpenRenameSource(ULONG DriveIndex, PCWSTR SourcePath, PHANDLE Handle, PNTSTATUS Status) {
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT source = OpenLowerFileResolved(Handle, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                                DriveIndex, SourcePath, &ioStatus, NULL, 0,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                                FILE_OPEN_REPARSE_POINT, NULL, 0, NULL, 0, NULL);
    *Status = ioStatus.Status;
    return source;
}

NTSTATUS RenameThroughVolume(PDEVICE_OBJECT LowerDevice, PFILE_OBJECT SourceFileObject, PCWSTR SourcePath,
                             PCWSTR TargetPath, ULONG DriveIndex) {
    if (LowerDevice == NULL || TargetPath == NULL || DriveIndex >= QUILT_DRIVE_COUNT ||
        (SourceFileObject == NULL && SourcePath == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    PWSTR nameText = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, RENAME_NAME_BYTES, QUILT_TAG_RENAME));
    if (nameText == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The name must also fit the rename information behind its header.
    ULONG nameCapacity = (RENAME_INFORMATION_BYTES - sizeof(FILE_RENAME_INFORMATION)) / sizeof(WCHAR);
    NameBuilder name(nameText, nameCapacity);
    FormatRenameTarget(name, DriveIndex, TargetPath);
    UNICODE_STRING targetName;
    NTSTATUS status = CountedName(name, &targetName) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;

    HANDLE directoryHandle = NULL;
    PFILE_OBJECT directory = NULL;
    if (NT_SUCCESS(status)) {
        status = OpenRenameTargetDirectory(&targetName, &directoryHandle, &directory);
    }
    HANDLE sourceHandle = NULL;
    PFILE_OBJECT openedSource = NULL;
    if (NT_SUCCESS(status) && SourceFileObject == NULL) {
        openedSource = OpenRenameSource(DriveIndex, SourcePath, &sourceHandle, &status);
    }
    if (NT_SUCCESS(status)) {
        PFILE_OBJECT source = SourceFileObject != NULL ? SourceFileObject : openedSource;
        status = SendRename(LowerDevice, source, directory, targetName);
    }
    CloseLowerFile(openedSource, sourceHandle);
    CloseLowerFile(directory, directoryHandle);
    ExFreePoolWithTag(nameText, QUILT_TAG_RENAME);
    return status;
}

// ---- IsDirectoryEmpty ---------------------------------------------------------

static BOOLEAN IsDotName(const FILE_NAMES_INFORMATION* Entry) {
    ULONG length = Entry->FileNameLength;
    if (length == sizeof(WCHAR)) {
        return (BOOLEAN)(Entry->FileName[0] == L'.');
    }
    return (BOOLEAN)(length == 2 * sizeof(WCHAR) && Entry->FileName[0] == L'.' && Entry->FileName[1] == L'.');
}

// TRUE when the listing of Bytes bytes holds nothing but "." and "..".
static BOOLEAN ListingHoldsOnlyDots(const UCHAR* Listing, ULONG Bytes) {
    const ULONG header = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    ULONG offset = 0;
    for (;;) {
        if (offset + header > Bytes) {
            return TRUE;  // a listing cut short ends here
        }
        const FILE_NAMES_INFORMATION* entry = reinterpret_cast<const FILE_NAMES_INFORMATION*>(Listing + offset);
        if (entry->FileNameLength > Bytes - offset - header || !IsDotName(entry)) {
            return FALSE;
        }
        if (entry->NextEntryOffset == 0) {
            return TRUE;
        }
        offset += entry->NextEntryOffset;
    }
}

BOOLEAN IsDirectoryEmpty(PDEVICE_OBJECT Device, PFILE_OBJECT Directory) {
    if (Device == NULL || Directory == NULL) {
        return FALSE;
    }
    PUCHAR listing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, EMPTY_LISTING_BYTES, QUILT_TAG_NAME_LIST));
    if (listing == NULL) {
        return FALSE;
    }
    RtlZeroMemory(listing, EMPTY_LISTING_BYTES);
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = LowerQueryDirectory(Device, Directory, listing, EMPTY_LISTING_BYTES, FileNamesInformation,
                                          NULL, TRUE, FALSE, &ioStatus);
    BOOLEAN empty;
    if (!NT_SUCCESS(status)) {
        empty = (BOOLEAN)(status == STATUS_NO_MORE_FILES);
    } else {
        ULONG returned = (ULONG)ioStatus.Information;
        if (returned == 0 || returned > EMPTY_LISTING_BYTES) {
            returned = EMPTY_LISTING_BYTES;
        }
        empty = ListingHoldsOnlyDots(listing, returned);
    }
    ExFreePoolWithTag(listing, QUILT_TAG_NAME_LIST);
    return empty;
}

// ---- File-system device of a drive ------------------------------------------

PDEVICE_OBJECT FileSystemDeviceOfDrive(ULONG DriveIndex) {
    if (DriveIndex >= QUILT_DRIVE_COUNT) {
        return NULL;
    }
    PDEVICE_OBJECT protectedLower = ProtectedLowerDevice(DriveIndex);
    if (protectedLower != NULL) {
        return protectedLower;
    }
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT root = OpenLowerFileResolved(&handle, SYNCHRONIZE, DriveIndex, L"\\", &ioStatus, NULL, 0,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                              FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0,
                                              NULL);
    if (root == NULL) {
        return NULL;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(root);
    CloseLowerFile(root, handle);
    return device;
}
