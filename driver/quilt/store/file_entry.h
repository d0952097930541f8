// The file-entry table: what all names (hard links) of one file share - its
// file index, the index of its redirected copy and the number of names still
// referring to it ("FlEn" records, store_records.h). The file-index table of
// the store header maps a 64-bit file index to the record, so that opening any
// link of a redirected file finds the shared record. On volumes that are not
// NTFS no indices are tracked: records are made without table entries and
// with a link count of 1.
//
// Every operation takes the store lock and returns NULL / does nothing when
// the volume has no store or a required argument is missing.
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"
#include "store/store_records.h"

// The record the file-index table holds for FileIndex, or NULL. *EntryAddress
// receives the record address the pointer item holds (unchanged when the index
// has no item).
FileEntryRecord* FileEntryGet(VolumeContext* Volume, ULONGLONG FileIndex, BLOCK_ADDRESS* EntryAddress);

// Find or add the pointer item of FileIndex (its key filled in); the caller
// fills its record address. *ItemAddress receives the item's address (0 on
// failure).
FileIndexPointer* FileEntryPtrAdd(VolumeContext* Volume, ULONGLONG FileIndex, BLOCK_ADDRESS* ItemAddress);

// Removes the pointer item of FileIndex.
VOID FileEntryPtrRemove(VolumeContext* Volume, ULONGLONG FileIndex);

// The record of the file behind LowerFile (opened below the protection), for
// the file state at StateAddress. An address already in *EntryAddress is
// simply resolved. On NTFS a missing index and link count are queried from the
// file system, and an existing record for the index is shared. The new or
// found record's address is left in *EntryAddress. NULL on failure.
FileEntryRecord* FileEntryCreate(VolumeContext* Volume, PFILE_OBJECT LowerFile, ULONGLONG FileIndex,
                                 ULONG LinkCount, BLOCK_ADDRESS StateAddress, BLOCK_ADDRESS* EntryAddress);

// Removes the pointer items of both indices of a record (those that lead to
// it) and frees it.
VOID FileEntryRemove(VolumeContext* Volume, PFILE_OBJECT LowerFile, BLOCK_ADDRESS EntryAddress);
