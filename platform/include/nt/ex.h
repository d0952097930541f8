// Executive: resources (ERESOURCE), fast mutexes, interlocked lists, system
// worker threads, local time.
#pragma once

#include "ntdef.h"
#include "ke.h"

// ---- Executive resources ---------------------------------------------------------

typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

// A reader/writer lock owned by threads: exclusive ownership is recursive for
// its owner (who may also acquire it shared), shared ownership is counted per
// thread. The layout is the stand-in's own; the owner bookkeeping lives in the
// kernel from ExInitializeResourceLite to ExDeleteResourceLite.
typedef struct _ERESOURCE {
    LIST_ENTRY SystemResourcesList;
    PVOID OwnerState;              // the kernel's bookkeeping for this resource
    ERESOURCE_THREAD ExclusiveOwner;
    LONG OwnerCount;               // recursion of the exclusive owner
    LONG ActiveCount;              // shared + exclusive acquisitions held
    USHORT Flag;
    USHORT Initialized;
    ULONG ContentionCount;
} ERESOURCE, *PERESOURCE;

#define ResourceOwnedExclusive 0x0080

// ---- Fast mutexes ------------------------------------------------------------------

typedef struct _FAST_MUTEX {
    LONG Count;                    // 1 free, 0 owned
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, *PKGUARDED_MUTEX;

// ---- Work items ---------------------------------------------------------------------

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
    MaximumWorkQueue = 3
} WORK_QUEUE_TYPE;

typedef VOID(NTAPI WORKER_THREAD_ROUTINE)(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

#define ExInitializeWorkItem(Item, Routine, Context) \
    do {                                             \
        (Item)->WorkerRoutine = (Routine);           \
        (Item)->Parameter = (Context);               \
        (Item)->List.Flink = NULL;                   \
    } while (0)

#define ExGetCurrentResourceThread() ((ERESOURCE_THREAD)PsGetCurrentThread())
#define ExIsResourceAcquiredLite ExIsResourceAcquiredSharedLite

// Interlocked lists take their spin lock; the x86 names are the Exf forms.
#define ExInterlockedInsertHeadList ExfInterlockedInsertHeadList
#define ExInterlockedInsertTailList ExfInterlockedInsertTailList
#define ExInterlockedRemoveHeadList ExfInterlockedRemoveHeadList
#define ExInterlockedPushEntryList ExfInterlockedPushEntryList
#define ExInterlockedPopEntryList ExfInterlockedPopEntryList

NT_BEGIN_C

NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
// Wait = FALSE returns FALSE instead of blocking.
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExTryToAcquireResourceExclusiveLite(PERESOURCE Resource);
NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId);
NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
// Number of acquisitions the current thread holds (shared or exclusive).
NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource);
#define ExReleaseResource(R) ExReleaseResourceLite(R)
#define ExReleaseResourceForThread ExReleaseResourceForThreadLite

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// Each returns the previous first entry (insert) or the removed entry, NULL
// when the list was empty.
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExfInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                    PSINGLE_LIST_ENTRY ListEntry,
                                                                    PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExfInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                   PKSPIN_LOCK Lock);

// Runs WorkItem->WorkerRoutine(WorkItem->Parameter) on a system worker thread
// of the System process, at PASSIVE_LEVEL.
NTKERNELAPI VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// Local time = system time - the configured time-zone bias.
NTKERNELAPI VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
NTKERNELAPI VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID);

NT_END_C
