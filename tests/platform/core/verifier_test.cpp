// The verifier: leak reports at the kernel's end, registered checks and
// allocation-failure injection.
#include <vector>

#include "core/verifier.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

constexpr ULONG kLeakTag = 'kaeL';  // "Leak" in memory
constexpr ULONG kTestTag = 'tseT';
constexpr ULONG kOtherTag = 'rhtO';

class VerifierTest : public KernelTest {};

TEST_F(VerifierTest, PoolLeftAllocatedIsReportedByTagWithCountAndBytes) {
    PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 100, kLeakTag);
    ExAllocatePoolWithTag(NonPagedPool, 28, kLeakTag);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, kTestTag));
    ASSERT_NE(nullptr, kept);
    std::vector<std::string> findings = DestroyKernel();
    ASSERT_EQ(1u, findings.size()) << JoinFindings(findings);
    EXPECT_EQ("pool leak: tag 'Leak': 2 allocation(s), 128 bytes", findings[0]);
}

TEST_F(VerifierTest, HandleLeftOpenIsReportedByProcessAndType) {
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateEvent(&handle, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE kernel = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateEvent(&kernel, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE));
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(HasFinding(findings, "handle leak: 1 handle(s) open in process System (1 Event)"))
        << JoinFindings(findings);
    EXPECT_TRUE(HasFinding(findings, "handle leak: 1 kernel handle(s) open (1 Event)")) << JoinFindings(findings);
    // Closing them at the end released the events: nothing else leaked.
    EXPECT_EQ(2u, findings.size()) << JoinFindings(findings);
}

TEST_F(VerifierTest, ThreadLeftRunningIsReportedAndTheKernelStillEnds) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    bool afterWait = false;
    HANDLE thread = StartSystemThread([&] {
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        afterWait = true;
    });
    WaitUntilBlocked(thread);
    ZwClose(thread);
    std::vector<std::string> findings = DestroyKernel();
    ASSERT_EQ(1u, findings.size()) << JoinFindings(findings);
    EXPECT_NE(std::string::npos, findings[0].find("thread leak: system thread"));
    EXPECT_NE(std::string::npos, findings[0].find("of process System still running"));
    EXPECT_FALSE(afterWait);
}

TEST_F(VerifierTest, RegisteredChecksAndImmediateReportsAreReturned) {
    plat::VerifierAddCheck("test-check", [] { return std::vector<std::string>{"first", "second"}; });
    plat::VerifierReport("reported at once");
    EXPECT_EQ(std::vector<std::string>{"reported at once"}, plat::VerifierFindings());
    std::vector<std::string> findings = DestroyKernel();
    plat::VerifierRemoveCheck("test-check");
    EXPECT_EQ((std::vector<std::string>{"reported at once", "test-check: first", "test-check: second"}), findings);
}

class FailureInjectionTest : public KernelTest {
protected:
    // One character per allocation: 'x' failed, '.' succeeded.
    static std::string Pattern(int count, ULONG tag) {
        std::string pattern;
        for (int i = 0; i < count; ++i) {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
            pattern += p == nullptr ? 'x' : '.';
            if (p != nullptr) ExFreePool(p);
        }
        return pattern;
    }
};

TEST_F(FailureInjectionTest, ByTagFailsOnlyThatTagUntilStopped) {
    plat::VerifierFailAllocationsWithTag(kTestTag);
    EXPECT_EQ("xxx", Pattern(3, kTestTag));
    EXPECT_EQ("...", Pattern(3, kOtherTag));
    EXPECT_EQ(3u, plat::VerifierInjectedFailures());
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ("...", Pattern(3, kTestTag));
}

TEST_F(FailureInjectionTest, NthAllocationFailsOnce) {
    plat::VerifierFailNthAllocation(3);
    EXPECT_EQ("..x...", Pattern(6, kTestTag));
    plat::VerifierFailNthAllocation(2, kTestTag);
    EXPECT_EQ("...", Pattern(3, kOtherTag));
    EXPECT_EQ(".x..", Pattern(4, kTestTag));
}

TEST_F(FailureInjectionTest, RandomFailuresRepeatForTheSameSeed) {
    plat::VerifierFailRandomAllocations(7, 0.3, kTestTag);
    std::string first = Pattern(200, kTestTag);
    plat::VerifierFailRandomAllocations(7, 0.3, kTestTag);
    std::string again = Pattern(200, kTestTag);
    plat::VerifierFailRandomAllocations(8, 0.3, kTestTag);
    std::string otherSeed = Pattern(200, kTestTag);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, otherSeed);
    size_t failures = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(failures, 20u);
    EXPECT_LT(failures, 120u);
}

TEST_F(FailureInjectionTest, KernelObjectCreationReportsInsufficientResources) {
    plat::VerifierFailAllocationsWithTag('nevE');  // event objects: "Even"
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              ZwCreateEvent(&handle, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE));
    UNICODE_STRING name = MakeUnicode(L"\\Device\\Refused");
    EXPECT_EQ(nullptr, IoCreateNotificationEvent(&name, &handle));
    plat::VerifierFailAllocationsWithTag('erhT');  // thread objects
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {}, nullptr));
    plat::VerifierStopFailingAllocations();
    EXPECT_NE(nullptr, IoCreateNotificationEvent(&name, &handle));
    ZwClose(handle);
}

}  // namespace
}  // namespace quilt_test
