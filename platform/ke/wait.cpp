// Events, semaphores and the waits on dispatcher objects.
//
// A waiting thread links one wait block per object into the object's
// WaitListHead. Whoever makes an object signalled walks that list in order and
// satisfies each waiting thread whose whole wait can now complete (one object
// for WaitAny, all of them for WaitAll), consuming what the wait consumes (a
// synchronization event resets, a semaphore count drops). The satisfied thread
// finds its status ready when it wakes. All of it under the dispatcher lock.
#include <sched.h>
#include <stdio.h>

#include <string>

#include "core/kernel.h"
#include "core/verifier.h"
#include "ke/dispatcher.h"

namespace plat {
namespace {

bool IsWaitableType(UCHAR type) {
    switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case ProcessObject:
    case SemaphoreObject:
    case ThreadObject:
        return true;
    default:
        return false;
    }
}

DISPATCHER_HEADER* HeaderOf(PVOID object) {
    return static_cast<DISPATCHER_HEADER*>(object);
}

bool IsSignalled(const DISPATCHER_HEADER* header) {
    return header->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* header) {
    if (header->Type == EventSynchronizationObject) {
        header->SignalState = 0;
    } else if (header->Type == SemaphoreObject) {
        header->SignalState -= 1;
    }
}

PVOID WaitObject(ThreadState* thread, ULONG index) {
    return thread->WaitBlocks[index].Object;
}

bool TrySatisfyAny(ThreadState* thread) {
    for (ULONG i = 0; i < thread->WaitCount; ++i) {
        DISPATCHER_HEADER* header = HeaderOf(WaitObject(thread, i));
        if (!IsSignalled(header)) continue;
        Consume(header);
        thread->WaitStatus = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        return true;
    }
    return false;
}

bool TrySatisfyAll(ThreadState* thread) {
    for (ULONG i = 0; i < thread->WaitCount; ++i) {
        if (!IsSignalled(HeaderOf(WaitObject(thread, i)))) return false;
    }
    for (ULONG i = 0; i < thread->WaitCount; ++i) Consume(HeaderOf(WaitObject(thread, i)));
    thread->WaitStatus = STATUS_WAIT_0;
    return true;
}

// Completes the thread's wait when its objects allow it now.
bool TrySatisfy(ThreadState* thread) {
    return thread->WaitType == WaitAny ? TrySatisfyAny(thread) : TrySatisfyAll(thread);
}

void LinkWaitBlocks(ThreadState* thread) {
    for (ULONG i = 0; i < thread->WaitCount; ++i) {
        PKWAIT_BLOCK block = &thread->WaitBlocks[i];
        InsertTailList(&HeaderOf(block->Object)->WaitListHead, &block->WaitListEntry);
    }
}

void UnlinkWaitBlocks(ThreadState* thread) {
    for (ULONG i = 0; i < thread->WaitCount; ++i) RemoveEntryList(&thread->WaitBlocks[i].WaitListEntry);
}

// Satisfies, in order, the waiters of a signalled object that can proceed.
void SatisfyWaiters(DISPATCHER_HEADER* header) {
    bool progressed = true;
    while (progressed && IsSignalled(header)) {
        progressed = false;
        for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead;
             entry = entry->Flink) {
            PKWAIT_BLOCK block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
            ThreadState* waiter = ThreadStateOf(block->Thread);
            if (!TrySatisfy(waiter)) continue;
            UnlinkWaitBlocks(waiter);  // the list changed: start over
            waiter->WaitSatisfied = true;
            waiter->Wake.notify_one();
            progressed = true;
            break;
        }
    }
}

std::string Hex(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

bool CheckWaitArguments(ThreadState* thread, ULONG count, PVOID objects[], WAIT_TYPE waitType,
                        PKWAIT_BLOCK waitBlocks, PLARGE_INTEGER timeout) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS ||
        (count > THREAD_WAIT_OBJECTS && waitBlocks == nullptr)) {
        VerifierReport("KeWaitForMultipleObjects: " + std::to_string(count) +
                       " objects without a wait block array that can hold them");
        return false;
    }
    if (waitType != WaitAny && waitType != WaitAll) {
        VerifierReport("KeWaitForMultipleObjects: wait type " + std::to_string(waitType));
        return false;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (objects[i] == nullptr || !IsWaitableType(HeaderOf(objects[i])->Type)) {
            VerifierReport("wait on " + Hex(objects[i]) + ", which is not an initialised dispatcher object");
            return false;
        }
        for (ULONG j = 0; waitType == WaitAll && j < i; ++j) {
            if (objects[j] == objects[i]) {
                VerifierReport("KeWaitForMultipleObjects(WaitAll) names " + Hex(objects[i]) + " twice");
                return false;
            }
        }
    }
    bool blocking = timeout == nullptr || timeout->QuadPart != 0;
    if (blocking && thread->Irql > APC_LEVEL) {
        VerifierReport("blocking wait at IRQL " + std::to_string(thread->Irql));
    }
    return true;
}

LONGLONG DeadlineOf(const LARGE_INTEGER* timeout) {
    if (timeout->QuadPart < 0) return ClockNow() - timeout->QuadPart;
    return timeout->QuadPart;
}

void PrepareWait(ThreadState* thread, ULONG count, PVOID objects[], WAIT_TYPE waitType,
                 PKWAIT_BLOCK blocks) {
    for (ULONG i = 0; i < count; ++i) {
        blocks[i].Thread = &thread->Object->Tcb;
        blocks[i].Object = objects[i];
        blocks[i].NextWaitBlock = (i + 1 < count) ? &blocks[i + 1] : &blocks[0];
        blocks[i].WaitKey = static_cast<USHORT>(i);
        blocks[i].WaitType = static_cast<USHORT>(waitType);
    }
    thread->WaitBlocks = blocks;
    thread->WaitCount = count;
    thread->WaitType = waitType;
    thread->WaitSatisfied = false;
}

NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, PLARGE_INTEGER timeout,
                        PKWAIT_BLOCK waitBlocks) {
    ThreadState* thread = CurrentThread();
    if (!CheckWaitArguments(thread, count, objects, waitType, waitBlocks, timeout)) {
        return STATUS_INVALID_PARAMETER;
    }
    PKWAIT_BLOCK blocks = waitBlocks != nullptr ? waitBlocks : thread->OwnWaitBlocks;

    DispatcherGuard guard(DispatcherLock());
    PrepareWait(thread, count, objects, waitType, blocks);
    if (TrySatisfy(thread)) return thread->WaitStatus;
    if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;

    LONGLONG deadline = timeout != nullptr ? DeadlineOf(timeout) : 0;
    LinkWaitBlocks(thread);
    WaitOutcome outcome = BlockCurrentThread(guard, thread, timeout != nullptr ? &deadline : nullptr,
                                             [thread] { return thread->WaitSatisfied; });
    if (!thread->WaitSatisfied) UnlinkWaitBlocks(thread);
    thread->WaitCount = 0;
    if (outcome == WaitOutcome::PowerOff) ExitThreadForPowerOff(guard, thread);
    return outcome == WaitOutcome::Satisfied ? thread->WaitStatus : STATUS_TIMEOUT;
}

}  // namespace

void DispatcherInitializeHeader(DISPATCHER_HEADER* Header, UCHAR Type, LONG SignalState) {
    Header->Type = Type;
    Header->Absolute = 0;
    Header->Size = 0;
    Header->Inserted = 0;
    Header->SignalState = SignalState;
    InitializeListHead(&Header->WaitListHead);
}

void DispatcherSignal(DISPATCHER_HEADER* Header, LONG SignalState) {
    DispatcherGuard guard(DispatcherLock());
    Header->SignalState = SignalState;
    SatisfyWaiters(Header);
}

}  // namespace plat

using plat::DispatcherGuard;
using plat::DispatcherLock;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    UCHAR type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    plat::DispatcherInitializeHeader(&Event->Header, type, State ? 1 : 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    DispatcherGuard guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    plat::SatisfyWaiters(&Event->Header);
    return previous;
}

extern "C" LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    DispatcherGuard guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    plat::SatisfyWaiters(&Event->Header);
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    DispatcherGuard guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
    DispatcherGuard guard(DispatcherLock());
    Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    DispatcherGuard guard(DispatcherLock());
    return Event->Header.SignalState;
}

extern "C" VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    plat::DispatcherInitializeHeader(&Semaphore->Header, SemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
    DispatcherGuard guard(DispatcherLock());
    LONG previous = Semaphore->Header.SignalState;
    // NT raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here, which stops the machine
    // in a driver; the stand-in reports it and leaves the count unchanged.
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        guard.unlock();
        plat::VerifierReport("KeReleaseSemaphore: STATUS_SEMAPHORE_LIMIT_EXCEEDED (count " +
                             std::to_string(previous) + " + " + std::to_string(Adjustment) + " > limit " +
                             std::to_string(Semaphore->Limit) + ")");
        return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    plat::SatisfyWaiters(&Semaphore->Header);
    return previous;
}

extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    DispatcherGuard guard(DispatcherLock());
    return Semaphore->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return plat::WaitForObjects(1, objects, WaitAny, Timeout, nullptr);
}

extern "C" NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                   KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                   PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    return plat::WaitForObjects(Count, Object, WaitType, Timeout, WaitBlockArray);
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    plat::ThreadState* thread = plat::CurrentThread();
    if (thread->Irql > APC_LEVEL) {
        plat::VerifierReport("KeDelayExecutionThread at IRQL " + std::to_string(thread->Irql));
    }
    if (Interval->QuadPart == 0) {
        sched_yield();
        return STATUS_SUCCESS;
    }
    LONGLONG deadline = plat::DeadlineOf(Interval);
    DispatcherGuard guard(DispatcherLock());
    plat::WaitOutcome outcome = plat::BlockCurrentThread(guard, thread, &deadline, [] { return false; });
    if (outcome == plat::WaitOutcome::PowerOff) plat::ExitThreadForPowerOff(guard, thread);
    return STATUS_SUCCESS;
}
