// Processes, system threads, UserModeScope.
#include <string.h>

#include <atomic>

#include "ps/process.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

class ProcessTest : public KernelTest {};

// What the driver does at DriverEntry: find "System" in the current process
// object, then read names from that offset.
LONG FindSystemName(PEPROCESS process) {
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(process);
    for (LONG offset = 0; offset < 0x3000; ++offset) {
        if (memcmp(bytes + offset, "System", 6) == 0) return offset;
    }
    return -1;
}

TEST_F(ProcessTest, SystemImageNameIsFoundBelow0x3000AndOtherNamesLieAtTheSameOffset) {
    LONG offset = FindSystemName(PsGetCurrentProcess());
    ASSERT_GE(offset, 0);
    ASSERT_LT(offset, 0x3000);
    char name[16];
    memcpy(name, reinterpret_cast<const char*>(PsGetCurrentProcess()) + offset, 16);
    EXPECT_STREQ("System", name);

    PEPROCESS process = plat::ProcessCreate("averyveryverylongname.exe", nullptr);
    memcpy(name, reinterpret_cast<const char*>(process) + offset, 16);
    EXPECT_STREQ("averyveryverylo", name);  // 15 characters and a NUL
    EXPECT_STREQ("averyveryverylo", plat::ProcessImageName(process));
    plat::ProcessTerminate(process);
    ObDereferenceObject(process);
}

TEST_F(ProcessTest, UserModeScopeSwitchesProcessPreviousModeAndHandleTable) {
    PEPROCESS process = plat::ProcessCreate("explorer.exe", nullptr);
    HANDLE inside = nullptr;
    {
        plat::UserModeScope scope(process);
        EXPECT_EQ(process, PsGetCurrentProcess());
        EXPECT_EQ(process, IoGetCurrentProcess());
        EXPECT_EQ(UserMode, ExGetPreviousMode());
        EXPECT_STREQ("explorer.exe", plat::CurrentProcessImageName());
        EXPECT_EQ(PsGetProcessId(process), PsGetCurrentProcessId());
        ASSERT_EQ(STATUS_SUCCESS, NtCreateEvent(&inside, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE));
    }
    EXPECT_EQ(plat::SystemProcess(), PsGetCurrentProcess());
    EXPECT_EQ(KernelMode, ExGetPreviousMode());
    PVOID object = nullptr;
    EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(inside, 0, nullptr, KernelMode, &object, nullptr));
    // Ending the process closes its handles and signals it.
    plat::ProcessTerminate(process);
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(process, Executive, KernelMode, FALSE, &zero));
    ObDereferenceObject(process);
}

TEST_F(ProcessTest, SystemThreadRunsInTheSystemProcessWithItsClientId) {
    CLIENT_ID clientId{};
    std::atomic<HANDLE> seenId{nullptr};
    std::atomic<PEPROCESS> seenProcess{nullptr};
    std::atomic<KPRIORITY> oldPriority{-1};
    struct Context {
        std::atomic<HANDLE>* Id;
        std::atomic<PEPROCESS>* Process;
        std::atomic<KPRIORITY>* Priority;
    } context{&seenId, &seenProcess, &oldPriority};
    auto routine = [](PVOID parameter) {
        auto* c = static_cast<Context*>(parameter);
        *c->Id = PsGetCurrentThreadId();
        *c->Process = PsGetCurrentProcess();
        *c->Priority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    };
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &clientId, routine, &context));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                                        &thread, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(clientId.UniqueThread, seenId.load());
    EXPECT_EQ(PsGetProcessId(plat::SystemProcess()), clientId.UniqueProcess);
    EXPECT_EQ(plat::SystemProcess(), seenProcess.load());
    EXPECT_EQ(8, oldPriority.load());
    EXPECT_EQ(LOW_REALTIME_PRIORITY, KeQueryPriorityThread(static_cast<PKTHREAD>(thread)));
    ObDereferenceObject(thread);
}

TEST_F(ProcessTest, TerminateSystemThreadEndsItAtOnce) {
    std::atomic<bool> afterTerminate{false};
    HANDLE thread = StartSystemThread([&] {
        PsTerminateSystemThread(STATUS_SUCCESS);
        afterTerminate = true;
    });
    JoinSystemThread(thread);
    EXPECT_FALSE(afterTerminate.load());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PsTerminateSystemThread(STATUS_SUCCESS));  // not a system thread
}

TEST_F(ProcessTest, ThreadOfAnotherProcessAndAKernelThreadHandle) {
    PEPROCESS process = plat::ProcessCreate("service.exe", nullptr);
    HANDLE processHandle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, PROCESS_ALL_ACCESS,
                                                    *PsProcessType, KernelMode, &processHandle));
    std::atomic<PEPROCESS> seen{nullptr};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    auto routine = [](PVOID parameter) { *static_cast<std::atomic<PEPROCESS>*>(parameter) = PsGetCurrentProcess(); };
    HANDLE thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &oa, processHandle, nullptr, routine, &seen));
    EXPECT_NE(0u, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(thread)) & 0x80000000u);
    JoinSystemThread(thread);
    EXPECT_EQ(process, seen.load());
    ZwClose(processHandle);
    plat::ProcessTerminate(process);
    ObDereferenceObject(process);
}

TEST_F(ProcessTest, VersionComesFromTheKernelOptions) {
    ULONG major = 0, minor = 0, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(5u, major);
    EXPECT_EQ(1u, minor);
    EXPECT_EQ(2600u, build);
}

}  // namespace
}  // namespace quilt_test
