// Dispatcher objects and waits, through the NT API.
#include <atomic>

#include "core/kernel.h"
#include "core/verifier.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

class EventTest : public KernelTest {};
class TimedWaitTest : public VirtualTimeKernelTest {};
class RealTimeWaitTest : public KernelTest {};

TEST_F(EventTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    HANDLE first = StartSystemThread([&] {
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
        released++;
    });
    HANDLE second = StartSystemThread([&] {
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
        released++;
    });
    WaitUntilBlocked(first);
    WaitUntilBlocked(second);
    EXPECT_EQ(0, released.load());
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    JoinSystemThread(first);
    JoinSystemThread(second);
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(1, KeReadStateEvent(&event));
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    auto waiter = [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); };
    HANDLE threads[2] = {StartSystemThread(waiter), StartSystemThread(waiter)};
    WaitUntilBlocked(threads[0]);
    WaitUntilBlocked(threads[1]);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    PVOID objects[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(threads[i], SYNCHRONIZE, *PsThreadType, KernelMode,
                                                            &objects[i], nullptr));
    }
    NTSTATUS first = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    ASSERT_TRUE(first == STATUS_WAIT_0 || first == STATUS_WAIT_1);
    int other = first == STATUS_WAIT_0 ? 1 : 0;
    // The set was consumed by the released waiter: the other one stays blocked.
    EXPECT_EQ(0, KeReadStateEvent(&event));
    EXPECT_FALSE(ThreadHasEnded(threads[other]));

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (int i = 0; i < 2; ++i) {
        ObDereferenceObject(objects[i]);
        JoinSystemThread(threads[i]);
    }
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST_F(EventTest, SetResetAndClearReportThePreviousState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(0, KeResetEvent(&event));
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    KeClearEvent(&event);
    EXPECT_EQ(0, KeReadStateEvent(&event));
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST_F(EventTest, WaitAnyReturnsTheIndexOfTheSignalledObject) {
    KEVENT events[3];
    for (KEVENT& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_WAIT_0 + 2,
              KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr));
    EXPECT_EQ(0, KeReadStateEvent(&events[2]));

    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HANDLE thread = StartSystemThread([&] {
        status = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    WaitUntilBlocked(thread);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_WAIT_1, status.load());
}

TEST_F(EventTest, WaitAllCompletesOnlyWhenEveryObjectIsSignalledAndConsumesThem) {
    KEVENT events[2];
    KeInitializeEvent(&events[0], SynchronizationEvent, FALSE);
    KeInitializeEvent(&events[1], NotificationEvent, FALSE);
    PVOID objects[2] = {&events[0], &events[1]};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HANDLE thread = StartSystemThread([&] {
        status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    WaitUntilBlocked(thread);
    KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
    // One of two is not enough; the synchronization event must stay set for later.
    EXPECT_FALSE(ThreadHasEnded(thread));
    EXPECT_EQ(1, KeReadStateEvent(&events[0]));
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_WAIT_0, status.load());
    EXPECT_EQ(0, KeReadStateEvent(&events[0]));
    EXPECT_EQ(1, KeReadStateEvent(&events[1]));
}

TEST_F(EventTest, ManyObjectsNeedTheCallersWaitBlocks) {
    KEVENT events[5];
    PVOID objects[5];
    for (int i = 0; i < 5; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, i == 4);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[5];
    EXPECT_EQ(STATUS_WAIT_0 + 4,
              KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr));
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "wait block array")) << JoinFindings(findings);
}

TEST_F(EventTest, SemaphoreCountsReleasesAndReportsTheLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(0, KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(1, KeReadStateSemaphore(&semaphore));
    // 1 + 2 is over the limit of 2: reported, count unchanged.
    EXPECT_EQ(1, KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE));
    EXPECT_EQ(1, KeReadStateSemaphore(&semaphore));
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "STATUS_SEMAPHORE_LIMIT_EXCEEDED")) << JoinFindings(findings);
}

TEST_F(EventTest, ThreadObjectIsSignalledWhenTheThreadEnds) {
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE thread = StartSystemThread([&] { KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr); });
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr));
    LARGE_INTEGER zero = Timeout(0);
    WaitUntilBlocked(thread);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    EXPECT_TRUE(PsIsThreadTerminating(static_cast<PETHREAD>(object)));
    ObDereferenceObject(object);
    JoinSystemThread(thread);
}

TEST_F(TimedWaitTest, LongRelativeWaitEndsOnlyWhenTheClockPassesItsDeadline) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    const LONGLONG start = plat::ClockNow();
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<LONGLONG> wokeAt{0};
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER timeout = Timeout(RelativeSeconds(600));
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        wokeAt = now.QuadPart;
    });
    WaitUntilBlocked(thread);
    AdvanceSeconds(599);
    AdvanceSeconds(1);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_TIMEOUT, status.load());
    // Woken by the second advance, not the first.
    EXPECT_EQ(start + 600 * 10000000LL, wokeAt.load());
}

TEST_F(TimedWaitTest, AbsoluteDeadlineIsASystemTime) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 1);
    const LONGLONG deadline = plat::ClockNow() + 480 * 10000000LL;
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<LONGLONG> wokeAt{0};
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER timeout = Timeout(deadline);
        status = KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout);
        wokeAt = plat::ClockNow();
    });
    WaitUntilBlocked(thread);
    AdvanceSeconds(479);
    AdvanceSeconds(2);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_TIMEOUT, status.load());
    EXPECT_GE(wokeAt.load(), deadline);
}

TEST_F(TimedWaitTest, SignalBeforeTheDeadlineWins) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, MAXLONG);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER timeout = Timeout(RelativeSeconds(600));
        status = KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout);
    });
    WaitUntilBlocked(thread);
    KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_SUCCESS, status.load());
    EXPECT_EQ(0, KeReadStateSemaphore(&semaphore));
}

TEST_F(TimedWaitTest, DelayExecutionSleepsInKernelTime) {
    std::atomic<LONGLONG> wokeAt{0};
    const LONGLONG start = plat::ClockNow();
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER interval = Timeout(RelativeMilliseconds(1000));
        EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
        wokeAt = plat::ClockNow();
    });
    WaitUntilBlocked(thread);
    AdvanceMilliseconds(999);
    AdvanceMilliseconds(1);
    JoinSystemThread(thread);
    EXPECT_EQ(start + 10000000LL, wokeAt.load());
}

TEST_F(TimedWaitTest, SystemAndLocalTimeFollowTheClockAndTheBias) {
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(134116992000000000LL, system.QuadPart);  // 2026-01-01 00:00 UTC
    AdvanceSeconds(90);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_EQ(system.QuadPart + 900000000LL, later.QuadPart);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(90 * 10000000LL / KeQueryTimeIncrement(), ticks.QuadPart);
}

class LocalTimeTest : public VirtualTimeKernelTest {
protected:
    LocalTimeTest() { Options.TimeZoneBiasMinutes = -120; }  // UTC+2
};

TEST_F(LocalTimeTest, LocalTimeSubtractsTheBias) {
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER local;
    ExSystemTimeToLocalTime(&system, &local);
    EXPECT_EQ(system.QuadPart + 2 * 3600 * 10000000LL, local.QuadPart);
    LARGE_INTEGER back;
    ExLocalTimeToSystemTime(&local, &back);
    EXPECT_EQ(system.QuadPart, back.QuadPart);
}

TEST_F(RealTimeWaitTest, ShortTimeoutExpiresInRealTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Timeout(RelativeMilliseconds(20));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout));
}

TEST_F(RealTimeWaitTest, AdvancingTheClockShortensARealTimeWait) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER timeout = Timeout(RelativeSeconds(3600));
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    WaitUntilBlocked(thread);
    AdvanceSeconds(3600);
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_TIMEOUT, status.load());
}

TEST_F(RealTimeWaitTest, StoppingTheClockKeepsAWaitFromExpiring) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    plat::ClockSetVirtual(true);
    const LONGLONG frozen = plat::ClockNow();
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HANDLE thread = StartSystemThread([&] {
        LARGE_INTEGER timeout = Timeout(RelativeMilliseconds(1));
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    WaitUntilBlocked(thread);
    EXPECT_EQ(frozen, plat::ClockNow());
    EXPECT_FALSE(ThreadHasEnded(thread));
    plat::ClockSetVirtual(false);  // time runs again: the millisecond passes
    JoinSystemThread(thread);
    EXPECT_EQ(STATUS_TIMEOUT, status.load());
}

}  // namespace
}  // namespace quilt_test
