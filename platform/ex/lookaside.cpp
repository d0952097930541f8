// Non-paged lookaside lists. The host keeps no cache of freed entries (see
// nt/expool.h); the list is a typed front for pool with its own tag and size.
#include <wdm.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr USHORT kLookasideInitialized = 0x4C41;  // "AL"

void CheckInitialized(PNPAGED_LOOKASIDE_LIST lookaside, const char* who) {
    if (lookaside == NULL || lookaside->Initialized != kLookasideInitialized) {
        fprintf(stderr, "%s: lookaside list %p is not initialised\n", who, (void*)lookaside);
        abort();
    }
}

}  // namespace

extern "C" VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
    PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
    USHORT Depth) {
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
    Lookaside->Type = NonPagedPool;
    Lookaside->Tag = Tag;
    Lookaside->Size = static_cast<ULONG>(Size);
    Lookaside->Flags = Flags;
    Lookaside->Depth = Depth;
    Lookaside->Initialized = kLookasideInitialized;
    Lookaside->TotalAllocates = 0;
    Lookaside->TotalFrees = 0;
    Lookaside->AllocateMisses = 0;
}

extern "C" VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckInitialized(Lookaside, "ExDeleteNPagedLookasideList");
    Lookaside->Initialized = 0;
}

extern "C" PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckInitialized(Lookaside, "ExAllocateFromNPagedLookasideList");
    Lookaside->TotalAllocates += 1;
    Lookaside->AllocateMisses += 1;
    if (Lookaside->Allocate != NULL) {
        return Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
    }
    return ExAllocatePoolWithTag(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
}

extern "C" VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    CheckInitialized(Lookaside, "ExFreeToNPagedLookasideList");
    Lookaside->TotalFrees += 1;
    if (Lookaside->Free != NULL) {
        Lookaside->Free(Entry);
        return;
    }
    ExFreePool(Entry);
}
