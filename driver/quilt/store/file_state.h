// The file-state table: what the store knows about each name of a protected
// volume ("FlSt" records, store_records.h), one tree per name table. Name
// table 1 mirrors the volume as the system presents it; name table 2 is keyed
// by the physical path opened below and leads from there to the name-table-1
// record (FileStateSetLink). Each tracked directory has a child table of 26
// buckets; a record points back to its parent.
//
// Names are one path component, matched against a record's long and short
// names without regard to case. Every operation returns 0 / does nothing when
// the volume has no store or a required argument is missing, and runs under the
// store lock (and the table lock for table access; see store_lock.h). Record
// pointers are valid only while the store lock is held.
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"
#include "store/store_records.h"

// The name-table hash: the first character of the 8.3 name that
// RtlGenerate8dot3Name makes of the name (so a long name and its generated
// short name share a bucket); 0 for a name that yields none.
USHORT FileStateHashName(PCWSTR Name);
USHORT FileStateHashNameCounted(PCWSTR Name, ULONG Length);

// STORE_TABLE_VOLUME_PATHS -> name table 1, STORE_TABLE_PHYSICAL_PATHS -> name
// table 2, anything else 0.
BLOCK_ADDRESS FileStateGetTable(VolumeContext* Volume, ULONG Type);

// The record whose long or short name is Name, 0 if none.
BLOCK_ADDRESS FileStateLookup(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name);
BLOCK_ADDRESS FileStateLookupCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name, ULONG Length);

// Find or add the record of LongName (ShortName may be NULL or empty; at most
// 12 characters are kept), and (re)write its magic, parent and names.
BLOCK_ADDRESS FileStateAddEntry(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName, PCWSTR ShortName,
                                BLOCK_ADDRESS Parent);
BLOCK_ADDRESS FileStateAddEntryCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName,
                                       ULONG LongLength, PCWSTR ShortName, BLOCK_ADDRESS Parent);

// FileStateAddEntryCounted for a name just looked up in Table without a
// match, by a caller that has held the store lock since (no second search).
BLOCK_ADDRESS FileStateAddNewEntryCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName,
                                          ULONG LongLength, PCWSTR ShortName, BLOCK_ADDRESS Parent);

// Removes the first record matching Name (pass the stored long name: the
// record's size is computed from it).
VOID FileStateRemove(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name);

// Writes the full path of a record (\dir\sub\name) into Buffer, which holds
// PATH_BUFFER_CHARS + 1 characters. FALSE for a record that does not resolve or
// a path that does not fit.
BOOLEAN FileStateGetPath(VolumeContext* Volume, BLOCK_ADDRESS Record, PWSTR Buffer);

// Removes the record the path leads to and prunes the directories that become
// empty up to the first one with other flags or other children. A path whose
// leaf is not tracked changes nothing.
VOID FileStateRemovePath(VolumeContext* Volume, PCWSTR Path, ULONG Type);

// FileStateRemovePath on name table 2 for a counted path.
VOID FileStateRemovePathCounted(VolumeContext* Volume, PCUNICODE_STRING Path);

// Finds or creates Path in name table 2 and points its record at Target (a
// name-table-1 record). The name-table-2 record, 0 on failure.
BLOCK_ADDRESS FileStateSetLink(VolumeContext* Volume, PCWSTR Path, BLOCK_ADDRESS Target);

// The stored path of a record (its current-content path, else its alternate
// path) read into Buffer (a path buffer). Returns Buffer when a path beginning
// with a backslash was produced, else NULL; *Produced (optional) says which.
// Without a result Buffer is left as it was.
PWSTR FileStateGetRedirectPath(VolumeContext* Volume, const FileStateRecord* Record, PWSTR Buffer,
                               PBOOLEAN Produced);

// Brings the stored long name in line with the spelling of the last component
// of Path (unless that component is the record's short name). A name is only
// rewritten in place when it needs the same allocation as the stored one, so
// that the record's size stays computable from its name.
VOID FileStateRefreshName(FileStateRecord* Record, PCWSTR Path);

// State transitions (FileStateUpdateFlag types).
#define FILE_STATE_UPDATE_TAKE_OVER 0
#define FILE_STATE_UPDATE_CREATED   1
#define FILE_STATE_UPDATE_DELETED   2
#define FILE_STATE_UPDATE_HIDDEN    3   // deleted, record kept

// Type 0: present (with Flag) and, from Source, its flags and links. Type 1:
// created (with Flag, unless present). Types 2 and 3: deleted; the flags
// collapse to hidden or nothing (Flag: the name is under protection); type 2
// with nothing left and a Path removes the record (Path in name table 1,
// SecondPath in name table 2), otherwise the links are cleared.
VOID FileStateUpdateFlag(VolumeContext* Volume, ULONG Type, FileStateRecord* Record, const FileStateRecord* Source,
                         BOOLEAN Flag, PCWSTR Path, PCWSTR SecondPath);

// Visits the records of a child table: buckets 0 to 25 in order, each chain
// from its head (most recently added first); items that are not "FlSt" are
// skipped. The visitor returns FALSE to stop. The caller holds the store lock;
// the visitor may change the visited record but not the table.
typedef BOOLEAN (*FILE_STATE_VISITOR)(VolumeContext* Volume, BLOCK_ADDRESS Record, FileStateRecord* State,
                                      PVOID Context);
VOID FileStateEnumerateChildren(VolumeContext* Volume, BLOCK_ADDRESS ChildTable, FILE_STATE_VISITOR Visitor,
                                PVOID Context);
