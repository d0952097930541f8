// Path mapping: the two walks between a path as programs see a protected
// volume (volume-relative, beginning with a backslash) and the file-state
// trees of the store.
//
// FileStatePathAdd (write side) creates every missing record on the way and
// resolves 8.3 short names against the real directory, so that a name reached
// by its long and by its short name has one record. FileStatePathLookup (read
// side) tells which record a path ends in, where its content is served from,
// and in which state the name is.
//
// Both take the store lock themselves (FileStatePathAdd only when the thread
// does not own it yet) and release it completely around every call to the
// file system below (store_lock.h); the walker count of the table being walked
// keeps it alive meanwhile. Paths are limited to PATH_BUFFER_CHARS characters.
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"
#include "store/store_records.h"

// Walk statuses of FileStatePathLookup.
#define PATH_WALK_TRACKED         0x01  // tracked with flags (present, or without the hidden bit), or the root
#define PATH_WALK_DELETED         0x00  // the name itself is deleted, or the walk failed
#define PATH_WALK_PARENT_DELETED  0xFE  // a directory on the way is deleted: the path does not exist
#define PATH_WALK_UNTRACKED       0xFF  // not tracked: serve it from the original volume

// Short-name candidates tried for a new long name before it is recorded
// without a short name (each costs an open on the volume below).
#define PATH_SHORT_NAME_CANDIDATES 1000

// The record of the last component, creating the missing ones; 0 on failure
// and for the root path itself. Type: STORE_TABLE_VOLUME_PATHS or
// STORE_TABLE_PHYSICAL_PATHS.
BLOCK_ADDRESS FileStatePathAdd(VolumeContext* Volume, PCWSTR Path, ULONG Type);
BLOCK_ADDRESS FileStatePathAddCounted(VolumeContext* Volume, PCWSTR Path, ULONG Length, ULONG Type);

// The record of the last component when the whole path is tracked, else 0.
// Output (a path buffer, or NULL) receives the mapped path: the path with short
// names replaced by long ones and stored paths of directories on the way
// substituted; empty on failure. *Status receives the walk status. Follow: also
// substitute the stored path of the last component (table 1). *Junction
// (optional) is set when a record on the way is a junction.
BLOCK_ADDRESS FileStatePathLookup(VolumeContext* Volume, PCWSTR Path, PWSTR Output, PUCHAR Status, ULONG Type,
                                  BOOLEAN Follow, PBOOLEAN Junction);
