// File-entry records and the file-index table. Locking: see store_lock.h.
#include "store/file_entry.h"

#include "frame/log.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/hash_table.h"
#include "store/store_lock.h"

namespace {

// The hash of a file index: its low 32 bits.
ULONG FileIndexHash(ULONGLONG FileIndex) {
    return (ULONG)FileIndex;
}

BOOLEAN MatchFileIndex(const VOID* Payload, const VOID* Key) {
    return static_cast<const FileIndexPointer*>(Payload)->FileIndex == *static_cast<const ULONGLONG*>(Key);
}

// A pointer item of an index that leads to one record (or to none yet).
struct IndexAndEntry {
    ULONGLONG FileIndex;
    BLOCK_ADDRESS Entry;
};

BOOLEAN MatchFileIndexOfEntry(const VOID* Payload, const VOID* Key) {
    const FileIndexPointer* pointer = static_cast<const FileIndexPointer*>(Payload);
    const IndexAndEntry* key = static_cast<const IndexAndEntry*>(Key);
    return pointer->FileIndex == key->FileIndex && (pointer->Entry == key->Entry || pointer->Entry == 0);
}

BLOCK_ADDRESS FileIndexTableOf(const VolumeContext* Volume) {
    StoreHeader* header = StoreHeaderOf(Volume);
    return header != NULL ? header->FileIndexTable : 0;
}

// Removes the pointer item of an index only where it leads to Entry: an item
// another record has taken over stays.
VOID RemovePointerOfEntry(VolumeContext* Volume, ULONGLONG FileIndex, BLOCK_ADDRESS Entry) {
    IndexAndEntry key = {FileIndex, Entry};
    FileBlockHashRemove(Volume, FileIndexTableOf(Volume), FileIndexHash(FileIndex), MatchFileIndexOfEntry, &key,
                        sizeof(FileIndexPointer));
}

// The index and link count of a new record on a volume that tracks indices.
// FALSE when the file system cannot tell them.
BOOLEAN QueryFileIdentity(VolumeContext* Volume, PFILE_OBJECT LowerFile, ULONGLONG* FileIndex, ULONG* LinkCount,
                          BLOCK_ADDRESS* EntryAddress, FileEntryRecord** Shared) {
    *Shared = NULL;
    if (*FileIndex == 0) {
        StoreUnlockScope unlock;
        *FileIndex = (ULONGLONG)LowerQueryFileIndex(Volume->LowerDevice, LowerFile);
    }
    if (*FileIndex == 0) {
        return FALSE;
    }
    *Shared = FileEntryGet(Volume, *FileIndex, EntryAddress);
    if (*Shared != NULL || *LinkCount != 0) {
        return TRUE;
    }
    FILE_STANDARD_INFORMATION standard;
    NTSTATUS status;
    {
        StoreUnlockScope unlock;
        status = LowerQueryStandard(Volume->LowerDevice, LowerFile, &standard);
    }
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    *LinkCount = standard.NumberOfLinks;
    // Another link of the file may have been given its record meanwhile: the
    // links share that one.
    *Shared = FileEntryGet(Volume, *FileIndex, EntryAddress);
    return TRUE;
}

}  // namespace

FileEntryRecord* FileEntryGet(VolumeContext* Volume, ULONGLONG FileIndex, BLOCK_ADDRESS* EntryAddress) {
    StoreLockScope lock;
    BLOCK_ADDRESS table = FileIndexTableOf(Volume);
    if (table == 0) {
        return NULL;
    }
    BLOCK_ADDRESS item = FileBlockHashLookup(Volume, table, FileIndexHash(FileIndex), MatchFileIndex, &FileIndex);
    if (item == STORE_INVALID_TABLE) {
        LogPrint("FileEntryGet() Invalid hash table! address=%x llFileIndex=%I64x", table, FileIndex);
        return NULL;
    }
    if (item == 0) {
        return NULL;
    }
    FileIndexPointer* pointer = StoreRecord<FileIndexPointer>(Volume, item, 0);
    if (pointer == NULL) {
        LogPrint("FileEntryGet() Get file entry ptr failed! llFileIndex=%I64x address=%x", FileIndex, item);
        return NULL;
    }
    if (EntryAddress != NULL) {
        *EntryAddress = pointer->Entry;
    }
    if (pointer->Entry == 0) {
        return NULL;
    }
    FileEntryRecord* entry = StoreRecord<FileEntryRecord>(Volume, pointer->Entry, STORE_MAGIC_FILE_ENTRY);
    if (entry == NULL) {
        LogPrint("FileEntryGet() Get file entry failed! llFileIndex=%I64x address=%x", FileIndex, pointer->Entry);
    }
    return entry;
}

FileIndexPointer* FileEntryPtrAdd(VolumeContext* Volume, ULONGLONG FileIndex, BLOCK_ADDRESS* ItemAddress) {
    StoreLockScope lock;
    BLOCK_ADDRESS table = FileIndexTableOf(Volume);
    if (table == 0 || ItemAddress == NULL) {
        return NULL;
    }
    BLOCK_ADDRESS item = FileBlockHashAdd(Volume, table, FileIndexHash(FileIndex), sizeof(FileIndexPointer),
                                          MatchFileIndex, &FileIndex);
    if (item == STORE_INVALID_TABLE) {
        LogPrint("FileEntryPtrAdd() Invalid hash table! address=%x llFileIndex=%I64x", table, FileIndex);
        *ItemAddress = 0;
        return NULL;
    }
    *ItemAddress = item;
    if (item == 0) {
        return NULL;
    }
    FileIndexPointer* pointer = StoreRecord<FileIndexPointer>(Volume, item, 0);
    if (pointer == NULL) {
        LogPrint("FileEntryPtrAdd() Get file entry ptr failed! llFileIndex=%I64x address=%x", FileIndex, item);
        return NULL;
    }
    // A new item carries its key at once, so that it never sits in its chain
    // under index 0.
    pointer->FileIndex = FileIndex;
    return pointer;
}

VOID FileEntryPtrRemove(VolumeContext* Volume, ULONGLONG FileIndex) {
    StoreLockScope lock;
    BLOCK_ADDRESS table = FileIndexTableOf(Volume);
    if (table == 0) {
        return;
    }
    FileBlockHashRemove(Volume, table, FileIndexHash(FileIndex), MatchFileIndex, &FileIndex,
                        sizeof(FileIndexPointer));
}

FileEntryRecord* FileEntryCreate(VolumeContext* Volume, PFILE_OBJECT LowerFile, ULONGLONG FileIndex,
                                 ULONG LinkCount, BLOCK_ADDRESS StateAddress, BLOCK_ADDRESS* EntryAddress) {
    if (!StoreIsActive(Volume) || Volume->LowerDevice == NULL || EntryAddress == NULL) {
        return NULL;
    }
    StoreLockScope lock;
    if (*EntryAddress != 0) {
        return StoreRecord<FileEntryRecord>(Volume, *EntryAddress, STORE_MAGIC_FILE_ENTRY);
    }
    FileIndexPointer* pointer = NULL;
    BLOCK_ADDRESS pointerAddress = 0;
    if (Volume->Ntfs) {
        FileEntryRecord* shared = NULL;
        if (!QueryFileIdentity(Volume, LowerFile, &FileIndex, &LinkCount, EntryAddress, &shared)) {
            return NULL;
        }
        if (shared != NULL) {
            return shared;
        }
        pointer = FileEntryPtrAdd(Volume, FileIndex, &pointerAddress);
        if (pointer == NULL) {
            return NULL;
        }
    } else {
        FileIndex = 0;
        LinkCount = 1;
    }
    BLOCK_ADDRESS address = FileBlockAlloc(Volume, BlockIndexOf(StateAddress), sizeof(FileEntryRecord));
    FileEntryRecord* entry = StoreRecord<FileEntryRecord>(Volume, address, 0);
    if (entry == NULL) {
        if (address != 0) {
            LogPrint("FileEntryCreate() Get file entry failed! llFileIndex=%I64x address=%x", FileIndex, address);
        }
        if (pointer != NULL) {
            RemovePointerOfEntry(Volume, FileIndex, 0);  // only an item still leading nowhere
        }
        return NULL;
    }
    if (pointer != NULL) {
        pointer->FileIndex = FileIndex;
        pointer->Entry = address;
    }
    entry->Magic = STORE_MAGIC_FILE_ENTRY;
    entry->State = StateAddress;
    entry->FileIndex = FileIndex;
    entry->CopyFileIndex = 0;
    entry->LinkCount = LinkCount;
    entry->Reserved = 0;
    *EntryAddress = address;
    return entry;
}

VOID FileEntryRemove(VolumeContext* Volume, PFILE_OBJECT LowerFile, BLOCK_ADDRESS EntryAddress) {
    UNREFERENCED_PARAMETER(LowerFile);
    if (!StoreIsActive(Volume) || Volume->LowerDevice == NULL) {
        return;
    }
    StoreLockScope lock;
    FileEntryRecord* entry = StoreRecord<FileEntryRecord>(Volume, EntryAddress, STORE_MAGIC_FILE_ENTRY);
    if (entry == NULL) {
        LogPrint("FileEntryRemove() Invalid file entry address=%x", EntryAddress);
        return;
    }
    if (Volume->Ntfs) {
        if (entry->CopyFileIndex != 0) {
            RemovePointerOfEntry(Volume, entry->CopyFileIndex, EntryAddress);
        }
        if (entry->FileIndex != 0) {
            RemovePointerOfEntry(Volume, entry->FileIndex, EntryAddress);
        }
    }
    FileBlockFree(Volume, EntryAddress, sizeof(FileEntryRecord));
}
