// Target path lists: the per-volume lists of paths that decide which opens are
// protected (the check-file list), which are written straight to the volume
// (the request list, changed by the control interface), and which files the
// pre-creation copies ahead of time. Entries are singly linked heap records;
// a list is the address of its first entry.
//
// Locking: every change of a list and every look-up through IsTargetLocked
// happens under g_Quilt.TargetListLock (driver_globals.h). The functions below
// take no lock themselves except IsTargetLocked. The check-file list and the
// pre-creation lists are built once and never changed afterwards, so entries
// returned from them stay valid; an entry of a request list is valid only
// while the lock is held.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"

#define QUILT_TAG_TARGET_TEXT_ENTRY    QUILT_TAG('Q', 'u', 'E', 'B')  // entries built from text
#define QUILT_TAG_TARGET_TEXT_PATH     QUILT_TAG('Q', 'u', 'E', 'A')
#define QUILT_TAG_TARGET_REQUEST_ENTRY QUILT_TAG('Q', 'u', 'E', 'C')  // entries added by request
#define QUILT_TAG_TARGET_REQUEST_PATH  QUILT_TAG('Q', 'u', 'E', 'D')
#define QUILT_TAG_TARGET_PROCESS_NAME  QUILT_TAG('Q', 'u', 'E', 'E')

// Characters of a process name that count (the image name the process object
// keeps).
#define TARGET_PROCESS_NAME_CHARS 15

// TargetEntry::Origin: which pool tags the entry's memory carries.
#define TARGET_ORIGIN_TEXT    0
#define TARGET_ORIGIN_REQUEST 1

struct TargetEntry {
    TargetEntry* Next;
    UCHAR Marked;        // 1: from a text line beginning with "1"
    PWSTR pPath;         // volume path without drive letter, as given (a trailing backslash kept)
    LONG Length;         // characters of pPath, not counting one trailing backslash
    UCHAR Wildcard;      // the text line contained "*"
    PCHAR ProcessName;   // at most TARGET_PROCESS_NAME_CHARS characters, or NULL
    UCHAR Origin;        // TARGET_ORIGIN_*
};

// The first entry of List that matches Path (volume-relative), or NULL.
// ProcessName (optional) limits the search to entries without a process name
// and entries of that process. A work-folder path (\$~@&%.~~~\<g>\<name>)
// matches a static marked entry exactly when <name> begins with "!".
TargetEntry* IsTarget(TargetEntry* First, PCWSTR Path, PCSTR ProcessName);

// IsTarget without process name, under the target-list lock.
TargetEntry* IsTargetLocked(TargetEntry* First, PCWSTR Path);

// Component-wise wildcard match of Path against Pattern. A path that ends
// inside the pattern (a folder above it) gives Ancestor.
BOOLEAN MatchPattern(BOOLEAN Ancestor, PCWSTR Pattern, PCWSTR Path);

// A new unmarked entry for Path (a request entry), or NULL for a missing or
// empty path or when memory cannot be had.
TargetEntry* IsTarget_Allocate(PCWSTR Path, PCSTR ProcessName);

// Adds Path (with ProcessName, optional) to the list unless an unmarked entry
// covers it. FALSE only when a needed entry cannot be allocated.
BOOLEAN IsTarget_AddList(PCWSTR Path, TargetEntry** List, PCSTR ProcessName);

// Removes the first entry for exactly Path with the same process name (both
// none, or equal). TRUE when one was removed.
BOOLEAN IsTarget_RemoveList(PCWSTR Path, TargetEntry** List, PCSTR ProcessName);

// Builds *List from a target text of Length UTF-16 characters (the first one,
// the byte-order mark, is skipped) for drive DriveIndex. Entries already in
// *List are freed first. Returns the number of entries, or -1 for a missing
// text or list, or when memory runs out (the list is then empty).
LONG BuildTargetList(PCWSTR Text, ULONG Length, ULONG DriveIndex, TargetEntry** List);

// Frees every entry of *List and leaves it empty.
VOID TargetListFree(TargetEntry** List);
