// The debugger's output: DbgPrint entries, filtering, truncation, echo.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

#include "core/kernel.h"
#include "dbg/dbg.h"

namespace {

class DebugOutputTest : public ::testing::Test {
protected:
    void SetUp() override { plat::DebugOutputClear(); }
    void TearDown() override {
        plat::DebugOutputSetFilterMask(1u << DPFLTR_ERROR_LEVEL);
        plat::DebugOutputSetEcho(false);
        plat::DebugOutputClear();
    }
};

ULONG PrintWithPrefix(PCSTR prefix, PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    ULONG status = vDbgPrintExWithPrefix(prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, args);
    va_end(args);
    return status;
}

TEST_F(DebugOutputTest, KeepsOneEntryPerCallAsFormatted) {
    EXPECT_EQ(DbgPrint("quilt.sys: Driver started\n"), (ULONG)STATUS_SUCCESS);
    DbgPrint("VirtualMBR filename = %S\n", L"\\??\\C:\\quilt\\boot.vbs");
    DbgPrint("Deleting work folder for %c: started.\n", 'D');
    DbgPrint("dismount executed status=%x\n", (NTSTATUS)STATUS_ACCESS_DENIED);
    DbgPrint("two\nlines");
    std::vector<std::string> expected = {
        "quilt.sys: Driver started\n",
        "VirtualMBR filename = \\??\\C:\\quilt\\boot.vbs\n",
        "Deleting work folder for D: started.\n",
        "dismount executed status=c0000022\n",
        "two\nlines",
    };
    EXPECT_EQ(plat::DebugOutput(), expected);
    plat::DebugOutputClear();
    EXPECT_TRUE(plat::DebugOutput().empty());
}

TEST_F(DebugOutputTest, DbgPrintExFiltersByLevel) {
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "error %d\n", 1);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 2);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x8, "mask %d\n", 3);
    EXPECT_EQ(plat::DebugOutput(), std::vector<std::string>({"error 1\n"}));

    EXPECT_EQ(plat::DebugOutputSetFilterMask(0xF), 1u);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 4);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x8, "mask %d\n", 5);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 20, "level twenty\n");
    EXPECT_EQ(plat::DebugOutput(), std::vector<std::string>({"error 1\n", "info 4\n", "mask 5\n"}));
}

TEST_F(DebugOutputTest, PrefixAndLengthLimit) {
    PrintWithPrefix("quilt: ", "value=%I64x\n", 0xABCDEF0123ULL);
    DbgPrint("%s", std::string(600, 'x').c_str());
    std::vector<std::string> output = plat::DebugOutput();
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(output[0], "quilt: value=abcdef0123\n");
    EXPECT_EQ(output[1], std::string(511, 'x'));
}

TEST_F(DebugOutputTest, KdPrintIsSilentOutsideCheckedBuilds) {
    KdPrint(("checked builds only %d\n", 1));
    EXPECT_TRUE(plat::DebugOutput().empty());
}

TEST_F(DebugOutputTest, EchoWritesToStderr) {
    plat::DebugOutputSetEcho(true);
    testing::internal::CaptureStderr();
    DbgPrint("echoed %d\n", 7);
    std::string echoed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(echoed, "echoed 7\n");
    plat::DebugOutputSetEcho(false);
    testing::internal::CaptureStderr();
    DbgPrint("quiet\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(plat::DebugOutput().size(), 2u);
}

TEST_F(DebugOutputTest, ConcurrentCallersKeepWholeEntries) {
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) DbgPrint("thread %d line %03d\n", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> output = plat::DebugOutput();
    ASSERT_EQ(output.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : output) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d\n", &t, &i), 2) << line;
        ASSERT_EQ(i, next[t]++);  // each thread's lines whole and in its order
    }
}

}  // namespace
