// A GoogleTest fixture that runs each test inside a fresh kernel.
//
// SetUp creates the kernel (with virtual time when the test asks for it);
// TearDown destroys it and expects the verifier to have found nothing. A test
// that provokes findings on purpose takes them with DestroyKernel() and
// checks them itself; TearDown then has nothing left to do.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/kernel.h"

namespace quilt_test {

class KernelTest : public ::testing::Test {
protected:
    // Subclasses (or a test's constructor) adjust these before SetUp runs.
    plat::KernelOptions Options;

    void SetUp() override;
    void TearDown() override;

    // Destroys the kernel now and returns the verifier's findings.
    std::vector<std::string> DestroyKernel();

    // Advances the kernel clock by whole seconds / milliseconds.
    static void AdvanceSeconds(LONGLONG seconds);
    static void AdvanceMilliseconds(LONGLONG milliseconds);

private:
    bool m_Destroyed = false;
};

// The same with the clock stopped: time moves only when the test advances it.
class VirtualTimeKernelTest : public KernelTest {
protected:
    VirtualTimeKernelTest() { Options.VirtualTime = true; }
};

// Starts a system thread running Body; returns a handle to it (in the
// current process's table).
HANDLE StartSystemThread(std::function<void()> Body);
// Waits for the thread to end and closes the handle.
void JoinSystemThread(HANDLE Thread);
// Returns once the thread sits in a blocking kernel call (a wait, a resource,
// a delay): lets a test act at the moment a thread is known to wait.
void WaitUntilBlocked(HANDLE Thread);
// True when the thread has ended (its object is signalled).
bool ThreadHasEnded(HANDLE Thread);

// A counted-string view of a literal (no copy).
inline UNICODE_STRING MakeUnicode(PCWSTR Text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(Text);
    s.Length = static_cast<USHORT>(wcslen(Text) * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    return s;
}

// Relative time-out values in 100-ns units.
constexpr LONGLONG RelativeSeconds(LONGLONG seconds) { return -seconds * 10000000LL; }
constexpr LONGLONG RelativeMilliseconds(LONGLONG ms) { return -ms * 10000LL; }
inline LARGE_INTEGER Timeout(LONGLONG value) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = value;
    return timeout;
}

// True when Findings holds an entry containing Text.
bool HasFinding(const std::vector<std::string>& Findings, const std::string& Text);

// Joins findings for a readable assertion message.
std::string JoinFindings(const std::vector<std::string>& Findings);

}  // namespace quilt_test
