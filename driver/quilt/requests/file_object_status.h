// FileObjectStatus: the driver's context of one file object on a protected
// volume, and the two global tables that find it.
//
// Open-file lock (g_Quilt.OpenFileLock, driver_globals.h): one executive
// resource over the open-file table (file object -> FileObjectStatus) and the
// string table (physical path -> OpenNameRecord), always taken exclusively
// inside a critical region, recursively where an operation needs it twice.
// It is held only around table operations and the zero tests of the counts,
// never across a call to a lower driver. The counts of an open-name record
// change with interlocked operations.
//
// Life of a record: made by the create path (FileObjectStatusCreate), visible
// to other requests once registered (FileObjectStatusRegister), found by
// cleanup (FileObjectStatusCountCleanup), taken out by close
// (FileObjectStatusCountClose) and freed (FileObjectStatusFree). An open-name
// record lives from the first registered file object on its path until the
// last of them is closed.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"
#include "frame/device_context.h"
#include "store/store_records.h"

#define QUILT_TAG_VOLUME_PATH   QUILT_TAG('Q', 'u', 'J', 'B')  // FileObjectStatus::VolumePath
#define QUILT_TAG_PHYSICAL_PATH QUILT_TAG('Q', 'u', 'J', 'P')  // FileObjectStatus::PhysicalPath

// The record every file object open on the same physical path shares.
struct OpenNameRecord {
    PWSTR Path;                  // a path buffer holding the key string
    volatile LONG ReferenceCount;  // file objects not yet closed
    volatile LONG HandleCount;     // file objects not yet cleaned up
    volatile LONG DeleteMark;      // last non-zero delete-on-close byte, or what set information set
};

struct FileObjectStatus {
    BLOCK_ADDRESS FileState;         // "FlSt" record in the store; 0 = not known yet
    BLOCK_ADDRESS NameTable;         // store name table directory enumeration holds a reference on
    USHORT Flags;                    // the FileState's flags as last read
    UCHAR Discard;                   // changes must be redirected into the work folder
    DeviceContext* Volume;
    PWSTR VolumePath;                // the path as the program opened it (pool, QUILT_TAG_VOLUME_PATH)
    PFILE_OBJECT SavedRelatedFileObject;  // put back on failure and at close
    PFILE_OBJECT OriginalFileObject; // referenced file object on the original, or NULL
    HANDLE OriginalHandle;           // the kernel handle of that file object
    PEPROCESS OriginalHandleProcess; // the process whose table holds that handle
    UCHAR OpenedBelow;               // the create reached the lower file system and succeeded
    UCHAR DeleteOnClose;             // FILE_DELETE_ON_CLOSE without a stream name
    PVOID EnumerationState;          // directory enumeration (freed at close by its owner)
    PWSTR PhysicalPath;              // path opened below (pool, QUILT_TAG_PHYSICAL_PATH); string-table key
    UNICODE_STRING VolumePathString; // counted string over VolumePath
    UCHAR NotifyRegistered;          // a change notification was registered on the file object
    UCHAR IsDirectory;
    UCHAR HasStream;                 // the name carried a stream part
    UCHAR Target;                    // matched a marked check-file entry at open time (stays)
    UCHAR HardLink;                  // the original has more than one link
    ULONGLONG FileIndex;             // of the original; 0 = none
    UCHAR TargetDirectory;           // SL_OPEN_TARGET_DIRECTORY
    UCHAR NameTableReferenced;       // NameTable carries a reference of this file object
    OpenNameRecord* OpenName;
};

static_assert(sizeof(FileObjectStatus) <= 152 * sizeof(PVOID) / 4, "FileObjectStatus fits its lookaside entries");

// The record of a file object, looked up under the open-file lock; NULL for a
// NULL file object or one without record.
FileObjectStatus* FileObjectStatusLookup(PFILE_OBJECT FileObject);

// A new zero-filled record for FileObject on Volume with a copy of Path, or
// NULL (missing volume or file object, no memory). With a NULL Path the name
// is asked of the lower file system, and only then is the record also entered
// in the open-file table here.
FileObjectStatus* FileObjectStatusCreate(DeviceContext* Volume, PFILE_OBJECT FileObject, PCWSTR Path);

// The record's FileState in the store; with Create the path is entered in
// the store when it has no record yet. Copies the state's flags into the
// record. The caller holds the store lock: the result is valid only while it
// is held. NULL when there is none.
FileStateRecord* FileObjectStatusGetState(FileObjectStatus* Status, BOOLEAN Create);

// The FileState's attribute record ("FlAb"); with Create it is made when
// missing (and its magic written). The caller holds the store lock. NULL when
// there is none.
FileAttributeRecord* FileObjectStatusGetFileAttribute(FileObjectStatus* Status, BOOLEAN Create);

// Marks the file's FileState deleted (Keep: hidden, the record stays; else
// removed when nothing is left of it).
VOID FileObjectStatusUpdateFlag(FileObjectStatus* Status, BOOLEAN Keep);

// Replaces the record's physical path with a pool copy of the first
// Characters characters of Path. FALSE, with the old path kept, when memory
// cannot be had.
BOOLEAN FileObjectStatusSetPhysicalPath(FileObjectStatus* Status, PCWSTR Path, ULONG Characters);

// Makes the record visible to later requests (create path, at its end):
// enters FileObject -> Status in the open-file table and counts the file
// object in the open-name record of Status->PhysicalPath (made on the first
// open of that path; a set delete-on-close byte becomes its delete mark).
// STATUS_INSUFFICIENT_RESOURCES, with both tables as they were, when a node,
// path buffer or open-name record cannot be had.
NTSTATUS FileObjectStatusRegister(FileObjectStatus* Status, PFILE_OBJECT FileObject);

// Cleanup's count: looks the file object's record up and takes one handle off
// its open-name record. *DeleteMark receives the record's delete mark when the
// handle count reached 0, else 0. Returns the record or NULL.
FileObjectStatus* FileObjectStatusCountCleanup(PFILE_OBJECT FileObject, PLONG DeleteMark);

// Close's count: removes the file object's record from the open-file table and
// takes one reference off its open-name record; the last reference takes the
// delete mark (into *DeleteMark, else 0) and removes and frees the open-name
// record. Returns the record (now the caller's) or NULL.
FileObjectStatus* FileObjectStatusCountClose(PFILE_OBJECT FileObject, PLONG DeleteMark);

// Frees the record's strings (volume path, physical path) and returns it to
// its lookaside list. The caller has released what the record holds beyond
// that: the original's file object and handle, the enumeration state.
VOID FileObjectStatusFree(FileObjectStatus* Status);
