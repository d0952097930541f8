// Kernels one after another in one process: strict destruction, power-off,
// and no growth of host threads or memory over many cycles.
#include <dirent.h>
#include <malloc.h>

#include <atomic>
#include <thread>

#include "core/kernel.h"
#include "ex/pool.h"
#include "ps/process.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

size_t HostThreadCount() {
    size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(tasks);
    return count;
}

size_t HostHeapInUse() {
    return mallinfo2().uordblks;
}

// A little of everything a driver does, cleaned up as a driver should.
void UseTheKernel() {
    HANDLE event = nullptr;
    UNICODE_STRING name = MakeUnicode(L"\\Device\\CycleEvent");
    PKEVENT named = IoCreateNotificationEvent(&name, &event);
    ASSERT_NE(nullptr, named);
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    HANDLE thread = StartSystemThread([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
        KeSetEvent(named, IO_NO_INCREMENT, FALSE);
    });
    JoinSystemThread(thread);
    ExDeleteResourceLite(&resource);
    ZwClose(event);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4096, 'lcyC'));
}

// A system thread blocked for good in each kind of blocking call.
void LeaveThreadsBlocked(PKEVENT never, PERESOURCE held, std::atomic<int>* resumed) {
    HANDLE threads[3] = {
        StartSystemThread([=] {
            KeWaitForSingleObject(never, Executive, KernelMode, FALSE, nullptr);
            (*resumed)++;
        }),
        StartSystemThread([=] {
            ExAcquireResourceSharedLite(held, TRUE);
            (*resumed)++;
        }),
        StartSystemThread([=] {
            LARGE_INTEGER forever = Timeout(RelativeSeconds(3600 * 24 * 365));
            KeDelayExecutionThread(KernelMode, FALSE, &forever);
            (*resumed)++;
        }),
    };
    for (HANDLE thread : threads) {
        WaitUntilBlocked(thread);
        ZwClose(thread);
    }
}

TEST(KernelLifecycleTest, FiftyCreateDestroyCyclesLeaveNoThreadsOrMemoryBehind) {
    plat::KernelCreate();
    UseTheKernel();
    ASSERT_TRUE(plat::KernelDestroy().empty());
    const size_t threads = HostThreadCount();
    const size_t heap = HostHeapInUse();
    for (int cycle = 0; cycle < 50; ++cycle) {
        plat::KernelCreate();
        UseTheKernel();
        std::vector<std::string> findings = plat::KernelDestroy();
        ASSERT_TRUE(findings.empty()) << "cycle " << cycle << ": " << JoinFindings(findings);
        ASSERT_FALSE(plat::KernelExists());
    }
    EXPECT_EQ(threads, HostThreadCount());
    EXPECT_LT(HostHeapInUse(), heap + 64 * 1024) << "host heap grew from " << heap;
    EXPECT_EQ(0u, plat::PoolLiveAllocations());
}

TEST(KernelLifecycleTest, PowerOffEndsBlockedThreadsWithoutRunningTheirCode) {
    const size_t threadsBefore = HostThreadCount();
    std::atomic<int> resumed{0};
    plat::KernelCreate();
    const SIZE_T poolBefore = plat::PoolLiveAllocations();
    auto* never = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), 'reve'));
    auto* held = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ERESOURCE), 'dleH'));
    KeInitializeEvent(never, NotificationEvent, FALSE);
    ExInitializeResourceLite(held);
    ExAcquireResourceExclusiveLite(held, TRUE);
    LeaveThreadsBlocked(never, held, &resumed);
    EXPECT_GT(plat::PoolLiveAllocations(), poolBefore);

    EXPECT_TRUE(plat::KernelPowerOff().empty());
    EXPECT_FALSE(plat::KernelExists());
    EXPECT_EQ(0, resumed.load());
    EXPECT_EQ(threadsBefore, HostThreadCount());
    EXPECT_EQ(0u, plat::PoolLiveAllocations());

    // The next kernel starts clean, with no memory of the lost one.
    plat::KernelCreate();
    UseTheKernel();
    std::vector<std::string> findings = plat::KernelDestroy();
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
    EXPECT_EQ(0, resumed.load());
}

TEST(KernelLifecycleTest, PowerOffFromAnotherHostThreadAndRepeatedCycles) {
    const size_t threads = HostThreadCount();
    for (int cycle = 0; cycle < 50; ++cycle) {
        std::atomic<int> resumed{0};
        KEVENT never;
        ERESOURCE held;
        plat::KernelCreate(plat::KernelOptions{.VirtualTime = (cycle % 2) == 0});
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        ExInitializeResourceLite(&held);
        ExAcquireResourceExclusiveLite(&held, TRUE);
        LeaveThreadsBlocked(&never, &held, &resumed);
        std::thread powerSwitch([] { EXPECT_TRUE(plat::KernelPowerOff().empty()); });
        powerSwitch.join();
        ASSERT_EQ(0, resumed.load()) << "cycle " << cycle;
    }
    EXPECT_EQ(threads, HostThreadCount());
    EXPECT_EQ(0u, plat::PoolLiveAllocations());
}

TEST(KernelLifecycleTest, HostThreadsThatEnterTheKernelAreAdoptedAndReleased) {
    plat::KernelCreate();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread host([&] {
        EXPECT_EQ(plat::SystemProcess(), PsGetCurrentProcess());
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    host.join();
    EXPECT_EQ(1, KeReadStateEvent(&event));
    std::vector<std::string> findings = plat::KernelDestroy();
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
}

}  // namespace
}  // namespace quilt_test
