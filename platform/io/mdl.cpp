// IoAllocateMdl / IoFreeMdl: an MDL and its page-frame array in one pool block.
#include "io/io_internal.h"

namespace {

// The largest buffer one MDL describes, as on 32-bit Windows XP: 64 MiB less a
// page. (MDL.Size, a CSHORT, is informational only here.)
constexpr ULONG kMaximumMdlLength = 64 * 1024 * 1024 - PAGE_SIZE;

void AppendToChain(PIRP Irp, PMDL Mdl) {
    PMDL* link = &Irp->MdlAddress;
    while (*link != nullptr) link = &(*link)->Next;
    *link = Mdl;
}

}  // namespace

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (Length == 0 || Length > kMaximumMdlLength) return nullptr;
    SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, plat::kTagMdl));
    if (mdl == nullptr) return nullptr;
    MmInitializeMdl(mdl, VirtualAddress, Length);
    if (Irp != nullptr) {
        if (SecondaryBuffer) {
            AppendToChain(Irp, mdl);
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    ExFreePool(Mdl);
}
