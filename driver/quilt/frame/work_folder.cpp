// The work folder of a protected volume (see work_folder.h).
#include "frame/work_folder.h"

#include <ntstrsafe.h>

#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "lowerio/name_builder.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/path_mapping.h"
#include "store/store_lock.h"
#include "workarea/folder_deleter.h"

#define QUILT_TAG_FILE_NAME_QUERY QUILT_TAG('Q', 'u', 'S', 'N')  // FileNameInformation of a reparse point

#define WORK_FOLDER_ACL_BYTES   256
#define FILE_NAME_QUERY_BYTES   0x10008
#define CURRENT_FILE_BYTES      (2 * sizeof(ULONG))
#define WORK_FOLDER_RETRY_PAUSE 10000LL  // 1 ms in 100-ns units

static CHAR DriveLetterOf(const VolumeContext* Volume) {
    return (CHAR)('A' + Volume->DriveIndex);
}

// ---- Opening the work folder --------------------------------------------------

// Failures that no retry can cure: the volume is full, cannot be written,
// refuses the driver, holds a file under the work folder's name, or is gone.
static BOOLEAN IsLastingFailure(NTSTATUS Status) {
    switch (Status) {
    case STATUS_DISK_FULL:
    case STATUS_MEDIA_WRITE_PROTECTED:
    case STATUS_ACCESS_DENIED:
    case STATUS_OBJECT_NAME_COLLISION:
    case STATUS_NOT_A_DIRECTORY:
    case STATUS_VOLUME_DISMOUNTED:
    case STATUS_NO_SUCH_DEVICE:
        return TRUE;
    default:
        return FALSE;
    }
}

static PFILE_OBJECT OpenWorkFolderOnce(VolumeContext* Volume, PHANDLE Handle, PIO_STATUS_BLOCK IoStatus) {
    return OpenLowerFile(Handle, GENERIC_WRITE | SYNCHRONIZE, Volume->DriveIndex, WORK_FOLDER_PATH, IoStatus, NULL,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
}

// A millisecond's pause, cut short by the volume's removal.
static VOID WaitForRetry(VolumeContext* Volume) {
    LARGE_INTEGER pause;
    pause.QuadPart = -WORK_FOLDER_RETRY_PAUSE;
    KeWaitForSingleObject(&Volume->RemovalEvent, Executive, KernelMode, FALSE, &pause);
}

// A failure that may pass (a sharing conflict, memory) is retried every
// millisecond. One that cannot pass ends the open at once, and so do the
// volume's removal (which also cuts the pause short) and the last of
// WORK_FOLDER_OPEN_ATTEMPTS attempts, so that a volume that can never hold
// the work folder does not keep its start-up thread for ever. Only the first
// failure and the one that ends the attempts are logged, not one line per
// millisecond.
NTSTATUS OpenWorkFolder(VolumeContext* Volume, PBOOLEAN Created) {
    *Created = FALSE;
    CHAR letter = DriveLetterOf(Volume);
    for (ULONG attempt = 1;; ++attempt) {
        HANDLE handle = NULL;
        IO_STATUS_BLOCK ioStatus = {};
        PFILE_OBJECT folder = OpenWorkFolderOnce(Volume, &handle, &ioStatus);
        if (folder != NULL) {
            Volume->WorkFolderFile = folder;
            Volume->WorkFolderHandle = handle;
            *Created = (BOOLEAN)(ioStatus.Information == FILE_CREATED);
            return STATUS_SUCCESS;
        }
        NTSTATUS status = ioStatus.Status;
        BOOLEAN last = (BOOLEAN)(IsLastingFailure(status) || Volume->Removal || attempt >= WORK_FOLDER_OPEN_ATTEMPTS);
        if (attempt == 1 || last) {
            LogPrint("Create work folder failed! Drive:%c status:%x\n", letter, status);
        }
        if (last) {
            return status;
        }
        WaitForRetry(Volume);
    }
}

// ---- Work-folder security -------------------------------------------------------

// An absolute descriptor with one DACL: Everyone, GENERIC_ALL |
// MAXIMUM_ALLOWED, inherited by files and folders; the DACL asks for
// automatic inheritance.
struct WorkFolderSecurity {
    SECURITY_DESCRIPTOR Descriptor;
    ULONG Acl[WORK_FOLDER_ACL_BYTES / sizeof(ULONG)];
    ULONG WorldSid[4];  // a SID with one sub-authority: 12 bytes
};

static BOOLEAN BuildWorkFolderSecurity(WorkFolderSecurity* Security) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID world = Security->WorldSid;
    if (!NT_SUCCESS(RtlInitializeSid(world, &worldAuthority, 1))) {
        return FALSE;
    }
    *RtlSubAuthoritySid(world, 0) = SECURITY_WORLD_RID;
    PACL acl = reinterpret_cast<PACL>(Security->Acl);
    if (!NT_SUCCESS(RtlCreateAcl(acl, WORK_FOLDER_ACL_BYTES, ACL_REVISION)) ||
        !NT_SUCCESS(RtlAddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                             GENERIC_ALL | MAXIMUM_ALLOWED, world))) {
        return FALSE;
    }
    if (!NT_SUCCESS(RtlCreateSecurityDescriptor(&Security->Descriptor, SECURITY_DESCRIPTOR_REVISION)) ||
        !NT_SUCCESS(RtlSetDaclSecurityDescriptor(&Security->Descriptor, TRUE, acl, FALSE))) {
        return FALSE;
    }
    Security->Descriptor.Control |= SE_DACL_AUTO_INHERIT_REQ;
    return TRUE;
}

VOID SetWorkFolderSecurity(VolumeContext* Volume) {
    if (Volume->WorkFolderFile == NULL) {
        return;
    }
    WorkFolderSecurity security;
    RtlZeroMemory(&security, sizeof(security));
    if (BuildWorkFolderSecurity(&security)) {
        LowerSetSecurity(Volume->LowerDevice, Volume->WorkFolderFile, DACL_SECURITY_INFORMATION,
                         &security.Descriptor);
    }
}

// ---- Generation sub-folders -------------------------------------------------------

// Path = Folder + "\" + Number in lower-case hexadecimal.
static BOOLEAN FormatNumberedFolder(PWSTR Path, PCWSTR Folder, ULONG Number) {
    return (BOOLEAN)NT_SUCCESS(RtlStringCchPrintfW(Path, PATH_BUFFER_CHARS + 1, L"%s\\%x", Folder, Number));
}

static BOOLEAN FolderExists(ULONG DriveIndex, PCWSTR Path) {
    HANDLE handle = NULL;
    PFILE_OBJECT folder = OpenFolder(Path, DriveIndex, FILE_DIRECTORY_FILE, &handle);
    if (folder == NULL) {
        return FALSE;
    }
    CloseLowerFile(folder, handle);
    return TRUE;
}

BOOLEAN CreateGenerationFolder(VolumeContext* Volume, PWSTR Path) {
    ULONG drive = Volume->DriveIndex;
    for (ULONG number = 1; number != 0; ++number) {
        if (!FormatNumberedFolder(Path, WORK_FOLDER_PATH, number)) {
            break;
        }
        if (FolderExists(drive, Path)) {
            continue;
        }
        HANDLE handle = NULL;
        PFILE_OBJECT folder = CreateFolder(Path, drive, FILE_DIRECTORY_FILE, &handle);
        if (folder == NULL) {
            LogPrint("Create %c:%S failed! \n", DriveLetterOf(Volume), Path);
            return FALSE;
        }
        CloseLowerFile(folder, handle);
        Volume->Generation = number;
        return TRUE;
    }
    LogPrint("Create work sub folder failed! Drive:%c\n", DriveLetterOf(Volume));
    return FALSE;
}

// ---- The current file ---------------------------------------------------------------

// The current file is read and written through its handle: cached I/O of a
// few bytes, which the file system takes at any offset and length.
static NTSTATUS ReadCurrentFile(HANDLE File, PVOID Buffer, ULONG Bytes) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = ZwReadFile(File, NULL, NULL, NULL, &ioStatus, Buffer, Bytes, &offset, NULL);
    // A file shorter than asked for holds no usable numbers.
    if (NT_SUCCESS(status) && ioStatus.Information < Bytes) {
        status = STATUS_END_OF_FILE;
    }
    return status;
}

static NTSTATUS WriteCurrentFile(HANDLE File, PVOID Buffer, ULONG Bytes) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    IO_STATUS_BLOCK ioStatus = {};
    return ZwWriteFile(File, NULL, NULL, NULL, &ioStatus, Buffer, Bytes, &offset, NULL);
}

// The first backup number whose folder does not exist, from 1.
static ULONG FirstFreeBackupNumber(ULONG DriveIndex, PWSTR Path) {
    ULONG number = 1;
    while (FormatNumberedFolder(Path, WORK_FOLDER_BACKUP, number) && FolderExists(DriveIndex, Path)) {
        if (++number == 0) {
            break;
        }
    }
    return number;
}

static VOID CreateBackupFolder(ULONG DriveIndex) {
    HANDLE handle = NULL;
    PFILE_OBJECT folder = CreateFolder(WORK_FOLDER_BACKUP, DriveIndex, FILE_DIRECTORY_FILE, &handle);
    CloseLowerFile(folder, handle);
}

// The backup numbering of the pre-creation: the number kept in the current
// file (1 for a new file or one that cannot be read), or, after the marker
// was found, the first number free in the Backup folder.
static VOID TakeBackupNumber(VolumeContext* Volume, HANDLE File, BOOLEAN Existed, BOOLEAN MarkerFound,
                             PWSTR Path) {
    ULONG numbers[2] = {0, 0};
    ULONG backup = 1;
    if (Existed && NT_SUCCESS(ReadCurrentFile(File, numbers, CURRENT_FILE_BYTES))) {
        backup = numbers[1];
    }
    CreateBackupFolder(Volume->DriveIndex);
    if (MarkerFound) {
        backup = FirstFreeBackupNumber(Volume->DriveIndex, Path);
    }
    Volume->BackupNumber = backup;
}

NTSTATUS PrepareCurrentFile(VolumeContext* Volume, BOOLEAN MarkerFound, PWSTR Path, BOOLEAN FreshStart) {
    if (Volume == NULL || Path == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    CHAR letter = DriveLetterOf(Volume);
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFile(&handle, GENERIC_WRITE | FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                      Volume->DriveIndex, WORK_FOLDER_CURRENT, &ioStatus, NULL, 0, 0, FILE_OPEN_IF,
                                      FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
    if (file == NULL) {
        LogPrint("Create or open %c:%S failed! status=%x\n", letter, WORK_FOLDER_CURRENT, ioStatus.Status);
        return ioStatus.Status;
    }
    BOOLEAN existed = (BOOLEAN)(ioStatus.Information != FILE_CREATED);
    if (g_Quilt.Config.PrecreateEnable != 0) {
        TakeBackupNumber(Volume, handle, existed, MarkerFound, Path);
    }
    NTSTATUS status;
    if (FreshStart) {
        ULONG numbers[2] = {Volume->Generation, Volume->BackupNumber};
        status = WriteCurrentFile(handle, numbers, CURRENT_FILE_BYTES);
    } else {
        ULONG generation = 0;
        status = ReadCurrentFile(handle, &generation, sizeof(generation));
        if (NT_SUCCESS(status)) {
            Volume->Generation = generation;
        }
    }
    CloseLowerFile(file, handle);
    if (!NT_SUCCESS(status)) {
        LogPrint("Read/write to %c:%S failed! status=%x\n", letter, WORK_FOLDER_CURRENT, status);
    }
    return status;
}

// ---- Store entries ------------------------------------------------------------------

// Sets Flag on the record at Address (store lock taken here).
static BOOLEAN SetStoreFlag(VolumeContext* Volume, BLOCK_ADDRESS Address, USHORT Flag) {
    StoreLockScope lock;
    FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, Address, STORE_MAGIC_FILE_STATE);
    if (state == NULL) {
        return FALSE;
    }
    state->Flags |= Flag;
    return TRUE;
}

BOOLEAN HideWorkFolderInStore(VolumeContext* Volume) {
    StoreLockScope lock;
    BLOCK_ADDRESS table = FileStateGetTable(Volume, STORE_TABLE_VOLUME_PATHS);
    BLOCK_ADDRESS record = FileStateAddEntry(Volume, table, WORK_FOLDER_NAME, NULL, 0);
    return (BOOLEAN)(record != 0 && SetStoreFlag(Volume, record, FILE_STATE_HIDDEN));
}

// ---- Reparse points -------------------------------------------------------------------

// The volume path of the file with ID FileReference, read into Path. FALSE
// when the file cannot be opened or named.
static BOOLEAN NameOfFileId(VolumeContext* Volume, LONGLONG FileReference, PFILE_NAME_INFORMATION NameInfo,
                            PWSTR Path) {
    LowerFileId id;
    RtlZeroMemory(&id, sizeof(id));
    id.Length = sizeof(FileReference);
    RtlCopyMemory(id.Id, &FileReference, sizeof(FileReference));
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFile(&handle, FILE_GENERIC_READ, Volume->DriveIndex, reinterpret_cast<PCWSTR>(&id),
                                      &ioStatus, NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_OPEN, FILE_OPEN_BY_FILE_ID | FILE_OPEN_REPARSE_POINT, NULL, 0, NULL, 0);
    if (file == NULL) {
        return FALSE;
    }
    RtlZeroMemory(NameInfo, FILE_NAME_QUERY_BYTES);
    NTSTATUS status =
        LowerQueryInformation(Volume->LowerDevice, file, NameInfo, FILE_NAME_QUERY_BYTES, FileNameInformation);
    CloseLowerFile(file, handle);
    ULONG characters = NameInfo->FileNameLength / sizeof(WCHAR);
    if (!NT_SUCCESS(status) || characters == 0 || characters > PATH_BUFFER_CHARS ||
        NameInfo->FileNameLength > FILE_NAME_QUERY_BYTES - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)) {
        return FALSE;
    }
    RtlCopyMemory(Path, NameInfo->FileName, characters * sizeof(WCHAR));
    Path[characters] = L'\0';
    return (BOOLEAN)(Path[0] == L'\\');
}

static VOID MarkJunction(VolumeContext* Volume, PCWSTR Path) {
    BLOCK_ADDRESS record = FileStatePathAdd(Volume, Path, STORE_TABLE_VOLUME_PATHS);
    if (record != 0) {
        SetStoreFlag(Volume, record, FILE_STATE_JUNCTION);
    }
}

// Lists the open index one entry at a time until a query fails.
static VOID MarkIndexEntries(VolumeContext* Volume, PFILE_OBJECT Index, PFILE_NAME_INFORMATION NameInfo,
                             PWSTR Path) {
    for (;;) {
        FILE_REPARSE_POINT_INFORMATION entry;
        RtlZeroMemory(&entry, sizeof(entry));
        NTSTATUS status = LowerQueryDirectory(Volume->LowerDevice, Index, &entry, sizeof(entry),
                                              FileReparsePointInformation, NULL, FALSE, TRUE);
        if (!NT_SUCCESS(status)) {
            return;
        }
        if (NameOfFileId(Volume, entry.FileReference, NameInfo, Path)) {
            MarkJunction(Volume, Path);
        }
    }
}

VOID MarkReparsePoints(VolumeContext* Volume) {
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT index = OpenLowerFile(&handle, FILE_GENERIC_READ, Volume->DriveIndex, REPARSE_INDEX_PATH, &ioStatus,
                                       NULL, 0, FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0,
                                       NULL, 0);
    if (index == NULL) {
        return;
    }
    PathBuffer path;
    PFILE_NAME_INFORMATION nameInfo = static_cast<PFILE_NAME_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, FILE_NAME_QUERY_BYTES, QUILT_TAG_FILE_NAME_QUERY));
    if (nameInfo != NULL && path.Allocate() != NULL) {
        MarkIndexEntries(Volume, index, nameInfo, path.Get());
    }
    if (nameInfo != NULL) {
        ExFreePoolWithTag(nameInfo, QUILT_TAG_FILE_NAME_QUERY);
    }
    CloseLowerFile(index, handle);
}
