// Memory descriptor lists on the host's flat address space: locking records
// the access and "maps" each buffer at its own address. Page-frame numbers are
// the virtual page numbers, which is all a driver can do with them here.
#include "mm/user_memory.h"

#include "core/verifier.h"

#include <stdio.h>

#include <string>

namespace {

void FillPageFrames(PMDL Mdl) {
    PPFN_NUMBER frames = MmGetMdlPfnArray(Mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
    ULONG_PTR page = reinterpret_cast<ULONG_PTR>(Mdl->StartVa) >> PAGE_SHIFT;
    for (ULONG i = 0; i < pages; ++i) frames[i] = static_cast<PFN_NUMBER>(page + i);
}

std::string Hex(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

}  // namespace

PVOID MmHighestUserAddress = reinterpret_cast<PVOID>(plat::kUserProbeAddress - 0x10001);
PVOID MmSystemRangeStart = reinterpret_cast<PVOID>(plat::kSystemRangeStart);
ULONG_PTR MmUserProbeAddress = plat::kUserProbeAddress;

extern "C" SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
    return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    FillPageFrames(MemoryDescriptorList);
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation) {
    PVOID address = MmGetMdlVirtualAddress(MemoryDescriptorList);
    if (AccessMode == UserMode && !plat::IsUserRange(address, MemoryDescriptorList->ByteCount)) {
        plat::VerifierReport("mm: MmProbeAndLockPages of " + Hex(address) +
                             " for user mode outside user space (NT raises STATUS_ACCESS_VIOLATION)");
        return;
    }
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
        plat::VerifierReport("mm: MmProbeAndLockPages of an MDL whose pages are already locked");
        return;
    }
    FillPageFrames(MemoryDescriptorList);
    MemoryDescriptorList->Process = AccessMode == UserMode ? PsGetCurrentProcess() : nullptr;
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        plat::VerifierReport("mm: MmUnlockPages of an MDL whose pages are not locked");
        return;
    }
    MemoryDescriptorList->MdlFlags &=
        ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                                    ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BaseAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
        plat::VerifierReport("mm: mapping an MDL whose pages are not locked");
    }
    PVOID address = MmGetMdlVirtualAddress(MemoryDescriptorList);
    if (AccessMode == KernelMode) {
        MemoryDescriptorList->MappedSystemVa = address;
        MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        if (MemoryDescriptorList->MdlFlags & MDL_PARTIAL) {
            MemoryDescriptorList->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
        }
    }
    return address;
}

extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                        HighPagePriority);
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    UNREFERENCED_PARAMETER(BaseAddress);
    MemoryDescriptorList->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

extern "C" BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress) {
    return VirtualAddress != nullptr;
}

extern "C" BOOLEAN NTAPI MmIsNonPagedSystemAddressValid(PVOID VirtualAddress) {
    return VirtualAddress != nullptr && !plat::IsUserRange(VirtualAddress, 1);
}

// Files mapped as images cannot be truncated or deleted: the file system's
// check before a delete, a rename over the file or an overwrite.
extern "C" BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionPointer, MMFLUSH_TYPE FlushType) {
    UNREFERENCED_PARAMETER(FlushType);
    if (SectionPointer == nullptr) return TRUE;
    return SectionPointer->ImageSectionObject == nullptr;
}
