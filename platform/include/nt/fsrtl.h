// File-system run-time library: the common FCB header, top-level IRP flags,
// and the directory change-notification package. Name matching
// (FsRtlIsNameInExpression and friends) is in fsrtlname.h.
#pragma once

#include "ntdef.h"
#include "ex.h"
#include "se.h"
#include "io.h"
#include "fsrtlname.h"

// ---- FCB header ------------------------------------------------------------------------

typedef enum _FAST_IO_POSSIBLE {
    FastIoIsNotPossible = 0,
    FastIoIsPossible,
    FastIoIsQuestionable
} FAST_IO_POSSIBLE;

#define FSRTL_FLAG_FILE_MODIFIED        0x01
#define FSRTL_FLAG_FILE_LENGTH_CHANGED  0x02
#define FSRTL_FLAG_LIMIT_MODIFIED_PAGES 0x04
#define FSRTL_FLAG_ACQUIRE_MAIN_RSRC_EX 0x08
#define FSRTL_FLAG_ACQUIRE_MAIN_RSRC_SH 0x10
#define FSRTL_FLAG_USER_MAPPED_FILE     0x20
#define FSRTL_FLAG_ADVANCED_HEADER      0x40
#define FSRTL_FLAG_EOF_ADVANCE_ACTIVE   0x80

// FileObject->FsContext of a file system's stream starts with this header;
// Resource is the FCB's main resource.
typedef struct _FSRTL_COMMON_FCB_HEADER {
    CSHORT NodeTypeCode;
    CSHORT NodeByteSize;
    UCHAR Flags;
    UCHAR IsFastIoPossible;
    UCHAR Flags2;
    UCHAR Reserved : 4;
    UCHAR Version : 4;
    PERESOURCE Resource;
    PERESOURCE PagingIoResource;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER FileSize;
    LARGE_INTEGER ValidDataLength;
} FSRTL_COMMON_FCB_HEADER, *PFSRTL_COMMON_FCB_HEADER;

// Values for IoSetTopLevelIrp besides a real IRP.
#define FSRTL_FSP_TOP_LEVEL_IRP       ((PIRP)0x01)
#define FSRTL_CACHE_TOP_LEVEL_IRP     ((PIRP)0x02)
#define FSRTL_MOD_WRITE_TOP_LEVEL_IRP ((PIRP)0x03)
#define FSRTL_FAST_IO_TOP_LEVEL_IRP   ((PIRP)0x04)
#define FSRTL_MAX_TOP_LEVEL_IRP_FLAG  ((PIRP)0x04)

// ---- Change notification ---------------------------------------------------------------
//
// A notify list (a LIST_ENTRY head the file system keeps, usually per volume)
// holds one watch per FsContext (per handle: file systems pass the CCB). Its
// notify synchronisation object (recursive for its owning thread) serialises
// the list. Names are counted strings of UTF-16 (a name whose second byte is 0)
// or of 8-bit characters; they are compared without regard to case. The watched
// directory's full name and the reported name must be spelled from the same
// root (for example both volume-relative, "\" for the root).
//
// A report matches a watch whose filter shares a bit with FilterMatch and whose
// directory is the changed object's parent (or, with WatchTree, any ancestor).
// The first waiting IRP of a matching watch is completed at once with one
// FILE_NOTIFY_INFORMATION record (the name relative to the watched directory);
// while no IRP waits, records are kept in a buffer as long as the IRP that
// started the watch; when they do not fit (or the watch ignores buffers), the
// next IRP completes with STATUS_NOTIFY_ENUM_DIR and no data. Records go to
// the IRP's MDL when it has one, else to a system buffer that the I/O manager
// copies to Irp->UserBuffer at completion (IRP_BUFFERED_IO). Waiting IRPs can
// be cancelled (STATUS_CANCELLED).

typedef PVOID PNOTIFY_SYNC;

typedef BOOLEAN(NTAPI* PCHECK_FOR_TRAVERSE_ACCESS)(PVOID NotifyContext, PVOID TargetContext,
                                                   PSECURITY_SUBJECT_CONTEXT SubjectContext);

NT_BEGIN_C

NTKERNELAPI VOID NTAPI FsRtlNotifyInitializeSync(PNOTIFY_SYNC* NotifySync);
// Frees the synchronisation object and sets *NotifySync to NULL.
NTKERNELAPI VOID NTAPI FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* NotifySync);

// Queues NotifyIrp (marked pending; the caller returns STATUS_PENDING) on the
// watch of FsContext, creating the watch on the first call with the given
// directory name (the caller keeps FullDirectoryName valid until
// FsRtlNotifyCleanup), WatchTree, IgnoreBuffer and CompletionFilter. When
// changes are already buffered, the IRP completes at once. A NULL NotifyIrp
// means the watched directory is being deleted: the watch's IRPs complete with
// STATUS_DELETE_PENDING. The package owns SubjectContext (allocated from pool)
// and releases and frees it with the watch.
NTKERNELAPI VOID NTAPI FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
    PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree, BOOLEAN IgnoreBuffer,
    ULONG CompletionFilter, PIRP NotifyIrp, PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
    PSECURITY_SUBJECT_CONTEXT SubjectContext);
// Reports a change of FullTargetName (whose last component starts at byte
// TargetNameOffset). StreamName, when given, is appended as ":stream".
// NormalizedParentName, when given, replaces the parent part for matching.
NTKERNELAPI VOID NTAPI FsRtlNotifyFullReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
    PSTRING FullTargetName, USHORT TargetNameOffset, PSTRING StreamName, PSTRING NormalizedParentName,
    ULONG FilterMatch, ULONG Action, PVOID TargetContext);
// Removes the watch of FsContext; its waiting IRPs complete with
// STATUS_NOTIFY_CLEANUP.
NTKERNELAPI VOID NTAPI FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext);

NT_END_C
