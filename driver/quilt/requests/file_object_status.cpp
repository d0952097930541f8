// FileObjectStatus records and the open-file and string tables (see
// file_object_status.h for the locking rules).
#include "requests/file_object_status.h"

#include "common/growable_buffer.h"
#include "common/name_table.h"
#include "common/path_buffer.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/path_mapping.h"
#include "store/store_lock.h"

// The name buffer of a query for a file object's name.
#define FILE_NAME_QUERY_BYTES 0x1000A

// ---- Records ------------------------------------------------------------------------------

static PWSTR CopyString(PCWSTR Text, ULONG Characters, ULONG Tag) {
    SIZE_T bytes = ((SIZE_T)Characters + 1) * sizeof(WCHAR);
    PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, Tag));
    if (copy != NULL) {
        RtlCopyMemory(copy, Text, Characters * sizeof(WCHAR));
        copy[Characters] = L'\0';
    }
    return copy;
}

// Points the counted string at the volume path; a path too long for a
// counted string is cut there (it is used for change reports only).
static VOID SetVolumePathString(FileObjectStatus* Status, ULONG Characters) {
    const ULONG maxCharacters = (MAXUSHORT / sizeof(WCHAR)) - 1;
    ULONG counted = Characters <= maxCharacters ? Characters : maxCharacters;
    Status->VolumePathString.Buffer = Status->VolumePath;
    Status->VolumePathString.Length = (USHORT)(counted * sizeof(WCHAR));
    Status->VolumePathString.MaximumLength = (USHORT)((counted + 1) * sizeof(WCHAR));
}

static FileObjectStatus* NewStatus(DeviceContext* Volume, PFILE_OBJECT FileObject, PCWSTR Path) {
    FileObjectStatus* status = static_cast<FileObjectStatus*>(
        ExAllocateFromNPagedLookasideList(&g_Quilt.FileObjectStatusList));
    if (status == NULL) {
        return NULL;
    }
    RtlZeroMemory(status, FILE_OBJECT_STATUS_BYTES);
    status->Volume = Volume;
    status->SavedRelatedFileObject = FileObject->RelatedFileObject;
    ULONG characters = (ULONG)wcslen(Path);
    status->VolumePath = CopyString(Path, characters, QUILT_TAG_VOLUME_PATH);
    if (status->VolumePath == NULL) {
        ExFreeToNPagedLookasideList(&g_Quilt.FileObjectStatusList, status);
        return NULL;
    }
    SetVolumePathString(status, characters);
    return status;
}

VOID FileObjectStatusFree(FileObjectStatus* Status) {
    if (Status == NULL) {
        return;
    }
    if (Status->PhysicalPath != NULL) {
        ExFreePoolWithTag(Status->PhysicalPath, QUILT_TAG_PHYSICAL_PATH);
    }
    if (Status->VolumePath != NULL) {
        ExFreePoolWithTag(Status->VolumePath, QUILT_TAG_VOLUME_PATH);
    }
    ExFreeToNPagedLookasideList(&g_Quilt.FileObjectStatusList, Status);
}

BOOLEAN FileObjectStatusSetPhysicalPath(FileObjectStatus* Status, PCWSTR Path, ULONG Characters) {
    if (Status == NULL || Path == NULL) {
        return FALSE;
    }
    PWSTR copy = CopyString(Path, Characters, QUILT_TAG_PHYSICAL_PATH);
    if (copy == NULL) {
        return FALSE;
    }
    if (Status->PhysicalPath != NULL) {
        ExFreePoolWithTag(Status->PhysicalPath, QUILT_TAG_PHYSICAL_PATH);
    }
    Status->PhysicalPath = copy;
    return TRUE;
}

// Asks the lower file system for the file object's name into Buffer and
// returns it NUL-terminated, or NULL.
static PCWSTR QueryFileName(DeviceContext* Volume, PFILE_OBJECT FileObject, GrowableBuffer& Buffer) {
    if (!Buffer.Reserve(FILE_NAME_QUERY_BYTES)) {
        return NULL;
    }
    PFILE_NAME_INFORMATION information = reinterpret_cast<PFILE_NAME_INFORMATION>(Buffer.Data());
    RtlZeroMemory(information, FILE_NAME_QUERY_BYTES);
    NTSTATUS status = LowerQueryInformation(Volume->LowerDevice, FileObject, information, FILE_NAME_QUERY_BYTES,
                                            FileNameInformation);
    if (!NT_SUCCESS(status)) {
        return NULL;
    }
    // Room for the terminator is kept behind the longest name the buffer holds.
    const ULONG maxNameBytes = FILE_NAME_QUERY_BYTES - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) - sizeof(WCHAR);
    ULONG nameBytes = information->FileNameLength <= maxNameBytes ? information->FileNameLength : maxNameBytes;
    information->FileName[nameBytes / sizeof(WCHAR)] = L'\0';
    DbgPrint("FileName=%S\n", information->FileName);
    return information->FileName;
}

FileObjectStatus* FileObjectStatusCreate(DeviceContext* Volume, PFILE_OBJECT FileObject, PCWSTR Path) {
    if (Volume == NULL || FileObject == NULL) {
        return NULL;
    }
    if (Path != NULL) {
        return NewStatus(Volume, FileObject, Path);
    }
    GrowableBuffer nameBuffer;
    PCWSTR name = QueryFileName(Volume, FileObject, nameBuffer);
    if (name == NULL) {
        return NULL;
    }
    FileObjectStatus* status = NewStatus(Volume, FileObject, name);
    if (status == NULL) {
        return NULL;
    }
    // Registered here, as no create path will do it. A record that cannot be
    // entered is freed: nobody would find (or free) it later.
    BOOLEAN inserted;
    {
        ExclusiveScope lock(&g_Quilt.OpenFileLock);
        inserted = NameTableInsert(&g_Quilt.OpenFileTable, FileObject, status);
    }
    if (!inserted) {
        FileObjectStatusFree(status);
        return NULL;
    }
    return status;
}

FileObjectStatus* FileObjectStatusLookup(PFILE_OBJECT FileObject) {
    if (FileObject == NULL) {
        return NULL;
    }
    ExclusiveScope lock(&g_Quilt.OpenFileLock);
    return static_cast<FileObjectStatus*>(NameTableLookup(&g_Quilt.OpenFileTable, FileObject));
}

// ---- Store records of a file object ---------------------------------------------------------

FileStateRecord* FileObjectStatusGetState(FileObjectStatus* Status, BOOLEAN Create) {
    if (Status == NULL || Status->Volume == NULL) {
        return NULL;
    }
    if (Status->FileState == 0 && Create && Status->VolumePath != NULL) {
        Status->FileState = FileStatePathAdd(Status->Volume, Status->VolumePath, STORE_TABLE_VOLUME_PATHS);
    }
    if (Status->FileState == 0) {
        return NULL;
    }
    FileStateRecord* state = StoreRecord<FileStateRecord>(Status->Volume, Status->FileState, STORE_MAGIC_FILE_STATE);
    if (state != NULL) {
        Status->Flags = state->Flags;
    }
    return state;
}

// Gives the FileState an attribute record in its own block.
static BOOLEAN AddAttributeRecord(DeviceContext* Volume, BLOCK_ADDRESS StateAddress, FileStateRecord* State) {
    StoreLockScope lock;
    BLOCK_ADDRESS address = FileBlockAlloc(Volume, BlockIndexOf(StateAddress), sizeof(FileAttributeRecord));
    if (address == 0) {
        return FALSE;
    }
    State->Attributes = address;
    State->Flags |= FILE_STATE_HAS_ATTRIBUTES;
    return TRUE;
}

FileAttributeRecord* FileObjectStatusGetFileAttribute(FileObjectStatus* Status, BOOLEAN Create) {
    FileStateRecord* state = FileObjectStatusGetState(Status, Create);
    if (state == NULL) {
        return NULL;
    }
    if ((state->Flags & FILE_STATE_HAS_ATTRIBUTES) == 0) {
        if (!Create || !AddAttributeRecord(Status->Volume, Status->FileState, state)) {
            return NULL;
        }
        Status->Flags = state->Flags;
    }
    FileAttributeRecord* attributes = static_cast<FileAttributeRecord*>(
        FileBlockGetRecord(Status->Volume, state->Attributes, 0, sizeof(FileAttributeRecord)));
    if (attributes == NULL) {
        LogPrint("FileObjectStatusGetFileAttribute() Get file attribute data failed! address=%x", state->Attributes);
        return NULL;
    }
    if (Create) {
        attributes->Magic = STORE_MAGIC_ATTRIBUTES;
    }
    return attributes;
}

VOID FileObjectStatusUpdateFlag(FileObjectStatus* Status, BOOLEAN Keep) {
    if (Status == NULL) {
        return;
    }
    StoreLockScope lock;
    FileStateRecord* state = FileObjectStatusGetState(Status, (BOOLEAN)(Status->Discard != 0));
    if (state == NULL) {
        return;
    }
    FileStateUpdateFlag(Status->Volume, Keep ? FILE_STATE_UPDATE_HIDDEN : FILE_STATE_UPDATE_DELETED, state, NULL,
                        (BOOLEAN)(Status->Target != 0), Status->VolumePath, Status->PhysicalPath);
}

// ---- Registration and counting ----------------------------------------------------------------

// A new open-name record keyed by a path buffer copy of Path, counting one
// file object; NULL when memory cannot be had or the path does not fit.
static OpenNameRecord* NewOpenName(PCWSTR Path, LONG DeleteMark) {
    SIZE_T characters = wcslen(Path);
    if (characters > PATH_BUFFER_CHARS) {
        return NULL;
    }
    PathBuffer key;
    if (key.Allocate() == NULL) {
        return NULL;
    }
    OpenNameRecord* record = static_cast<OpenNameRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(OpenNameRecord), QUILT_TAG_DEFAULT));
    if (record == NULL) {
        return NULL;
    }
    RtlCopyMemory(key.Get(), Path, (characters + 1) * sizeof(WCHAR));
    record->Path = key.Get();
    record->ReferenceCount = 1;
    record->HandleCount = 1;
    record->DeleteMark = DeleteMark;
    key.Clear();  // the record owns the buffer now
    return record;
}

static VOID FreeOpenName(OpenNameRecord* Record) {
    PathBuffer key;
    key.Attach(Record->Path);
    ExFreePoolWithTag(Record, QUILT_TAG_DEFAULT);
}

// Counts the status's file object in the open-name record of its physical
// path. The caller holds the open-file lock.
static BOOLEAN CountOpenName(FileObjectStatus* Status) {
    OpenNameRecord* record = static_cast<OpenNameRecord*>(NameTableLookup(&g_Quilt.StringTable, Status->PhysicalPath));
    if (record != NULL) {
        InterlockedIncrement(&record->ReferenceCount);
        InterlockedIncrement(&record->HandleCount);
        if (Status->DeleteOnClose) {
            InterlockedExchange(&record->DeleteMark, Status->DeleteOnClose);
        }
        Status->OpenName = record;
        return TRUE;
    }
    record = NewOpenName(Status->PhysicalPath, Status->DeleteOnClose);
    if (record == NULL) {
        return FALSE;
    }
    if (!NameTableInsert(&g_Quilt.StringTable, record->Path, record)) {
        FreeOpenName(record);
        return FALSE;
    }
    Status->OpenName = record;
    return TRUE;
}

NTSTATUS FileObjectStatusRegister(FileObjectStatus* Status, PFILE_OBJECT FileObject) {
    if (Status == NULL || FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExclusiveScope lock(&g_Quilt.OpenFileLock);
    if (!NameTableInsert(&g_Quilt.OpenFileTable, FileObject, Status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A record without physical path (nothing was opened below in its name)
    // is not counted.
    if (Status->PhysicalPath == NULL || CountOpenName(Status)) {
        return STATUS_SUCCESS;
    }
    NameTableRemove(&g_Quilt.OpenFileTable, FileObject);
    return STATUS_INSUFFICIENT_RESOURCES;
}

FileObjectStatus* FileObjectStatusCountCleanup(PFILE_OBJECT FileObject, PLONG DeleteMark) {
    LONG mark = 0;
    FileObjectStatus* status = NULL;
    if (FileObject != NULL) {
        ExclusiveScope lock(&g_Quilt.OpenFileLock);
        status = static_cast<FileObjectStatus*>(NameTableLookup(&g_Quilt.OpenFileTable, FileObject));
        OpenNameRecord* record = status != NULL ? status->OpenName : NULL;
        if (record != NULL && InterlockedDecrement(&record->HandleCount) == 0) {
            mark = record->DeleteMark;
        }
    }
    if (DeleteMark != NULL) {
        *DeleteMark = mark;
    }
    return status;
}

// The last file object on a path is gone: the record leaves the string table
// and is freed. It is removed by its own key, so that it goes even when the
// status's physical path has changed since it was counted; a key has one
// record, as registration looks it up and inserts it under one hold of the
// open-file lock. The caller holds that lock.
static VOID RetireOpenName(OpenNameRecord* Record) {
    NameTableRemove(&g_Quilt.StringTable, Record->Path);
    FreeOpenName(Record);
}

FileObjectStatus* FileObjectStatusCountClose(PFILE_OBJECT FileObject, PLONG DeleteMark) {
    LONG mark = 0;
    FileObjectStatus* status = NULL;
    if (FileObject != NULL) {
        ExclusiveScope lock(&g_Quilt.OpenFileLock);
        status = static_cast<FileObjectStatus*>(NameTableRemove(&g_Quilt.OpenFileTable, FileObject));
        OpenNameRecord* record = status != NULL ? status->OpenName : NULL;
        if (record != NULL) {
            status->OpenName = NULL;
            if (InterlockedDecrement(&record->ReferenceCount) == 0) {
                mark = record->DeleteMark;
                RetireOpenName(record);
            }
        }
    }
    if (DeleteMark != NULL) {
        *DeleteMark = mark;
    }
    return status;
}
