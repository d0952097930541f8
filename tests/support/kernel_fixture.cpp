#include "support/kernel_fixture.h"

#include <memory>

#include "ke/dispatcher.h"

namespace quilt_test {
namespace {

VOID NTAPI RunBody(PVOID Context) {
    // Owned by the frame, so that it goes also when the thread is ended from
    // inside a wait (PsTerminateSystemThread, power-off unwind the stack).
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(Context));
    (*body)();
}

}  // namespace

HANDLE StartSystemThread(std::function<void()> Body) {
    auto* context = new std::function<void()>(std::move(Body));
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunBody, context);
    if (!NT_SUCCESS(status)) {
        delete context;
        ADD_FAILURE() << "PsCreateSystemThread failed: " << std::hex << status;
        return nullptr;
    }
    return handle;
}

void JoinSystemThread(HANDLE Thread) {
    EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(Thread, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(Thread));
}

void WaitUntilBlocked(HANDLE Thread) {
    PETHREAD thread = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Thread, 0, *PsThreadType, KernelMode,
                                                reinterpret_cast<PVOID*>(&thread), nullptr);
    ASSERT_EQ(STATUS_SUCCESS, status);
    plat::DispatcherWaitUntilThreadBlocked(thread->Tcb.State);
    ObDereferenceObject(thread);
}

bool ThreadHasEnded(HANDLE Thread) {
    LARGE_INTEGER zero = Timeout(0);
    return ZwWaitForSingleObject(Thread, FALSE, &zero) == STATUS_SUCCESS;
}

void KernelTest::SetUp() {
    plat::KernelCreate(Options);
}

void KernelTest::TearDown() {
    if (m_Destroyed) return;
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
}

std::vector<std::string> KernelTest::DestroyKernel() {
    m_Destroyed = true;
    return plat::KernelDestroy();
}

void KernelTest::AdvanceSeconds(LONGLONG seconds) {
    plat::ClockAdvance(seconds * 10000000LL);
}

void KernelTest::AdvanceMilliseconds(LONGLONG milliseconds) {
    plat::ClockAdvance(milliseconds * 10000LL);
}

bool HasFinding(const std::vector<std::string>& Findings, const std::string& Text) {
    for (const std::string& finding : Findings) {
        if (finding.find(Text) != std::string::npos) return true;
    }
    return false;
}

std::string JoinFindings(const std::vector<std::string>& Findings) {
    std::string text = "verifier findings:";
    for (const std::string& finding : Findings) text += "\n  " + finding;
    return text;
}

}  // namespace quilt_test
