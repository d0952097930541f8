// Fast mutexes: a count and a synchronization event. The owner runs at
// APC_LEVEL (ExAcquireFastMutex) or leaves the IRQL alone (the Unsafe forms,
// for callers already in a critical region).
#include "core/verifier.h"
#include "ke/thread.h"

namespace {

void WaitForOwnership(PFAST_MUTEX FastMutex) {
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        FastMutex->Contention += 1;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    FastMutex->Owner = KeGetCurrentThread();
}

void GiveUpOwnership(PFAST_MUTEX FastMutex, const char* routine) {
    if (FastMutex->Owner != KeGetCurrentThread()) {
        plat::VerifierReport(std::string(routine) + ": fast mutex released by a thread that does not own it");
        return;
    }
    FastMutex->Owner = nullptr;
    if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
}

}  // namespace

extern "C" VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

extern "C" VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    WaitForOwnership(FastMutex);
    FastMutex->OldIrql = old;
}

extern "C" VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    GiveUpOwnership(FastMutex, "ExReleaseFastMutex");
    KfLowerIrql(old);
}

extern "C" BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KfLowerIrql(old);
        return FALSE;
    }
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = old;
    return TRUE;
}

extern "C" VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    WaitForOwnership(FastMutex);
}

extern "C" VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    GiveUpOwnership(FastMutex, "ExReleaseFastMutexUnsafe");
}
