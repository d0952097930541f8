// Memory manager: memory descriptor lists, the user/system address split,
// section object pointers and image-section flushing.
//
// The stand-in has one flat host address space. "User space" is below
// 0x80000000 as on 32-bit Windows: buffers of emulated user processes come
// from a MAP_32BIT arena (plat::UserBufferAllocate in platform/mm/user_memory.h);
// pool lies above. A locked MDL maps its pages at their own address, so
// MmGetSystemAddressForMdlSafe returns the described buffer itself.
#pragma once

#include "ntdef.h"

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef ULONG PFN_NUMBER, *PPFN_NUMBER;

#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) ((ULONG)(((ULONG_PTR)(Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Size)) >> PAGE_SHIFT) + \
             ((BYTE_OFFSET(Va) + ((ULONG_PTR)(Size) & (PAGE_SIZE - 1)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)))

// ---- Memory descriptor lists ------------------------------------------------------

// An MDL is followed by its page-frame array (one PFN_NUMBER per page spanned).
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;          // bytes, header and page array
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;        // page-aligned start of the buffer
    ULONG ByteCount;
    ULONG ByteOffset;     // offset of the buffer in its first page
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA     0x0001
#define MDL_PAGES_LOCKED            0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE    0x0008
#define MDL_PARTIAL                 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ            0x0040
#define MDL_WRITE_OPERATION         0x0080
#define MDL_PARENT_MAPPED_SYSTEM_VA 0x0100
#define MDL_FREE_EXTRA_PTES         0x0200
#define MDL_IO_SPACE                0x0800
#define MDL_NETWORK_HEADER          0x1000
#define MDL_MAPPING_CAN_FAIL        0x2000
#define MDL_ALLOCATED_MUST_SUCCEED  0x4000

#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)

#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                              \
    do {                                                                                                   \
        (MemoryDescriptorList)->Next = NULL;                                                               \
        (MemoryDescriptorList)->Size =                                                                     \
            (CSHORT)(sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((BaseVa), (Length))); \
        (MemoryDescriptorList)->MdlFlags = 0;                                                              \
        (MemoryDescriptorList)->Process = NULL;                                                            \
        (MemoryDescriptorList)->MappedSystemVa = NULL;                                                     \
        (MemoryDescriptorList)->StartVa = PAGE_ALIGN(BaseVa);                                              \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET(BaseVa);                                          \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                               \
    } while (0)

typedef enum _LOCK_OPERATION {
    IoReadAccess = 0,
    IoWriteAccess = 1,
    IoModifyAccess = 2,
} LOCK_OPERATION;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6,
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32,
} MM_PAGE_PRIORITY;

// ---- Sections -----------------------------------------------------------------------

// FileObject->SectionObjectPointer. ImageSectionObject is non-NULL while the
// file is mapped as an image (the file system sets it for files marked so).
typedef struct _SECTION_OBJECT_POINTERS {
    PVOID DataSectionObject;
    PVOID SharedCacheMap;
    PVOID ImageSectionObject;
} SECTION_OBJECT_POINTERS, *PSECTION_OBJECT_POINTERS;

typedef enum _MMFLUSH_TYPE {
    MmFlushForDelete = 0,
    MmFlushForWrite = 1,
} MMFLUSH_TYPE;

NT_BEGIN_C

// The address-space split: everything below MmSystemRangeStart is user space.
extern NTKERNELAPI PVOID MmHighestUserAddress;
extern NTKERNELAPI PVOID MmSystemRangeStart;
extern NTKERNELAPI ULONG_PTR MmUserProbeAddress;
#define MM_HIGHEST_USER_ADDRESS MmHighestUserAddress
#define MM_SYSTEM_RANGE_START MmSystemRangeStart
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress

NTKERNELAPI SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);

// Locks the pages of the buffer for the access. For AccessMode UserMode the
// buffer must lie in user space; otherwise the verifier reports the call (NT
// raises STATUS_ACCESS_VIOLATION) and the pages are not locked.
NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                                     ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);
NTKERNELAPI BOOLEAN NTAPI MmIsNonPagedSystemAddressValid(PVOID VirtualAddress);

// FALSE while the file is mapped as an image (ImageSectionObject non-NULL);
// TRUE otherwise, including for a NULL SectionPointer.
NTKERNELAPI BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionPointer, MMFLUSH_TYPE FlushType);

NT_END_C

static inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, 0 /* KernelMode */, MmCached, NULL, FALSE,
                                        (MM_PAGE_PRIORITY)Priority);
}

#define MmGetSystemAddressForMdl(Mdl) MmGetSystemAddressForMdlSafe((Mdl), HighPagePriority)

#define MmPrepareMdlForReuse(Mdl)                                             \
    do {                                                                      \
        if (((Mdl)->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0) {           \
            MmUnmapLockedPages((Mdl)->MappedSystemVa, (Mdl));                 \
        } else if (((Mdl)->MdlFlags & MDL_PARTIAL) == 0) {                    \
            (Mdl)->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;                      \
        }                                                                     \
    } while (0)
