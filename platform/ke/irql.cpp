// IRQL, spin locks, critical regions, priorities, previous mode, process
// attachment and bug checks: the per-thread state of the kernel.
//
// IRQL is bookkeeping (there are no interrupts): a spin lock's holder runs at
// DISPATCH_LEVEL, and the verifier reports blocking calls made above
// APC_LEVEL. A spin lock holds the address of its owner's state while owned.
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "core/verifier.h"
#include "ke/dispatcher.h"
#include "ke/verifier_hooks.h"

namespace {

// Spins this many times before yielding the processor to the owner.
constexpr int kSpinsBeforeYield = 64;

ULONG_PTR OwnerTag(plat::ThreadState* thread) {
    return reinterpret_cast<ULONG_PTR>(thread);
}

void AcquireSpinLock(PKSPIN_LOCK SpinLock, plat::ThreadState* thread) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == OwnerTag(thread)) {
        KeBugCheckEx(0x0F /* SPIN_LOCK_ALREADY_OWNED */, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0, 0);
    }
    for (int spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, OwnerTag(thread), false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        if (spins >= kSpinsBeforeYield) sched_yield();
    }
    thread->SpinLocksHeld += 1;
}

void ReleaseSpinLock(PKSPIN_LOCK SpinLock, plat::ThreadState* thread) {
    ULONG_PTR expected = OwnerTag(thread);
    if (!__atomic_compare_exchange_n(SpinLock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
        KeBugCheckEx(0x10 /* SPIN_LOCK_NOT_OWNED */, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0, 0);
    }
    thread->SpinLocksHeld -= 1;
}

}  // namespace

namespace plat {

ULONG ResourcesHeldByCurrentThread() {
    ThreadState* thread = CurrentThreadIfKnown();
    return thread != nullptr ? thread->ResourcesHeld : 0;
}

ULONG CriticalRegionDepthOfCurrentThread() {
    ThreadState* thread = CurrentThreadIfKnown();
    return thread != nullptr ? thread->CriticalRegionDepth : 0;
}

ULONG SpinLocksHeldByCurrentThread() {
    ThreadState* thread = CurrentThreadIfKnown();
    return thread != nullptr ? thread->SpinLocksHeld : 0;
}

}  // namespace plat

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return plat::CurrentThread()->Irql;
}

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    plat::ThreadState* thread = plat::CurrentThread();
    KIRQL old = thread->Irql;
    if (NewIrql < old) {
        KeBugCheckEx(0x09 /* IRQL_NOT_GREATER_OR_EQUAL */, old, NewIrql, 0, 0);
    }
    thread->Irql = NewIrql;
    return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    plat::ThreadState* thread = plat::CurrentThread();
    if (NewIrql > thread->Irql) {
        KeBugCheckEx(0x0A /* IRQL_NOT_LESS_OR_EQUAL */, thread->Irql, NewIrql, 0, 0);
    }
    thread->Irql = NewIrql;
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireSpinLock(SpinLock, plat::CurrentThread());
    return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseSpinLock(SpinLock, plat::CurrentThread());
    KfLowerIrql(NewIrql);
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    plat::ThreadState* thread = plat::CurrentThread();
    if (thread->Irql < DISPATCH_LEVEL) {
        plat::VerifierReport("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    AcquireSpinLock(SpinLock, thread);
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ReleaseSpinLock(SpinLock, plat::CurrentThread());
}

extern "C" VOID NTAPI KeEnterCriticalRegion(VOID) {
    plat::CurrentThread()->CriticalRegionDepth += 1;
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID) {
    plat::ThreadState* thread = plat::CurrentThread();
    if (thread->CriticalRegionDepth == 0) {
        plat::VerifierReport("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    thread->CriticalRegionDepth -= 1;
}

extern "C" BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
    plat::ThreadState* thread = plat::CurrentThread();
    return thread->CriticalRegionDepth != 0 || thread->Irql >= APC_LEVEL;
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    return &plat::CurrentThread()->Object->Tcb;
}

extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    plat::DispatcherGuard guard(plat::DispatcherLock());
    plat::ThreadState* state = plat::ThreadStateOf(Thread);
    KPRIORITY old = state->Priority;
    state->Priority = Priority;
    return old;
}

extern "C" KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    plat::DispatcherGuard guard(plat::DispatcherLock());
    return plat::ThreadStateOf(Thread)->Priority;
}

extern "C" KPROCESSOR_MODE NTAPI KeGetPreviousMode(VOID) {
    return plat::CurrentThread()->PreviousMode;
}

extern "C" KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID) {
    return plat::CurrentThread()->PreviousMode;
}

extern "C" VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
    plat::ThreadState* thread = plat::CurrentThread();
    ApcState->Process = Process;
    ApcState->SavedProcess = reinterpret_cast<PKPROCESS>(thread->AttachedProcess);
    ApcState->Attached = TRUE;
    thread->AttachedProcess = reinterpret_cast<PEPROCESS>(Process);
}

extern "C" VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
    plat::ThreadState* thread = plat::CurrentThread();
    if (!ApcState->Attached || thread->AttachedProcess != reinterpret_cast<PEPROCESS>(ApcState->Process)) {
        KeBugCheckEx(0x05 /* INVALID_PROCESS_ATTACH_ATTEMPT */, reinterpret_cast<ULONG_PTR>(ApcState->Process),
                     0, 0, 0);
    }
    thread->AttachedProcess = reinterpret_cast<PEPROCESS>(ApcState->SavedProcess);
    ApcState->Attached = FALSE;
}

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
    char text[160];
    snprintf(text, sizeof(text), "bug check 0x%08X (0x%lx, 0x%lx, 0x%lx, 0x%lx)", BugCheckCode,
             static_cast<unsigned long>(P1), static_cast<unsigned long>(P2), static_cast<unsigned long>(P3),
             static_cast<unsigned long>(P4));
    fprintf(stderr, "*** STOP: %s\n", text);
    fflush(stderr);
    abort();
}

extern "C" VOID NTAPI KeBugCheck(ULONG BugCheckCode) {
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}
