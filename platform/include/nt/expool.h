// Executive pool and lookaside lists.
#pragma once

#include "ntdef.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

typedef PVOID (NTAPI* PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (NTAPI* PFREE_FUNCTION)(PVOID Buffer);

// The host's lookaside lists keep no cache of freed entries: every allocation is
// a pool allocation under the list's tag, so leaks and use-after-free are seen by
// the verifier and the sanitizers exactly as for plain pool.
typedef struct _NPAGED_LOOKASIDE_LIST {
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    ULONG Flags;
    USHORT Depth;
    USHORT Initialized;
    ULONG TotalAllocates;
    ULONG TotalFrees;
    ULONG AllocateMisses;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

NT_BEGIN_C

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
    PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
    USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

NT_END_C
