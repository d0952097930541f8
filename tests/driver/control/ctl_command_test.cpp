// The shell's `ctl` command against the loaded driver: each request as the
// service sends it, what it prints, and how it fails.
//
// The command lives in the quilt tool's library, which this test program does
// not link; its one source file is compiled in here.
#include "../../../tools/quilt/ctl_command.cpp"

#include <gtest/gtest.h>

#include <sstream>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "support/quilt_driver_fixture.h"

namespace {

using namespace quilt_test;

class CtlCommandTest : public QuiltVolumeTest {
protected:
    void SetUp() override {
        QuiltVolumeTest::SetUp();
        RtlInitUnicodeString(&link_, L"\\??\\quilt");
        UNICODE_STRING target;
        RtlInitUnicodeString(&target, L"\\Device\\quilt");
        ASSERT_EQ(IoCreateSymbolicLink(&link_, &target), STATUS_SUCCESS);
    }
    void TearDown() override {
        IoDeleteSymbolicLink(&link_);
        QuiltVolumeTest::TearDown();
    }

    // Runs `ctl WORDS`; answers what it printed, *parsed whether the words
    // formed a request.
    std::string Ctl(const std::vector<std::string>& words, bool* parsed = nullptr) {
        std::ostringstream out;
        bool result = quilt_tool::RunCtlCommand(UserProcess, words, out);
        if (parsed != nullptr) *parsed = result;
        return out.str();
    }

    bool Exists(const char16_t* path) {
        plat::native::File file;
        return NT_SUCCESS(OpenPath(path, &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE));
    }

    UNICODE_STRING link_;
};

TEST_F(CtlCommandTest, DeletionStatePrintsTheNumber) {
    EXPECT_EQ(Ctl({"deletion-state"}), "2\n");
    g_Drives.DeletionState = DELETION_STATE_DONE;
    EXPECT_EQ(Ctl({"deletion-state"}), "0\n");
}

TEST_F(CtlCommandTest, MarkerCreatesTheMarkerFileSilently) {
    EXPECT_EQ(Ctl({"marker"}), "");
    EXPECT_TRUE(Exists(u"C:\\Quilt\\INI\\$-MkFile.flg"));
}

TEST_F(CtlCommandTest, ProcessTargetsCreateTheMarkerFirst) {
    EXPECT_EQ(Ctl({"process-target", "add", "editor.exe", "C:\\docs"}), "");
    EXPECT_TRUE(Exists(u"C:\\Quilt\\INI\\$-MkFile.flg"));
}

TEST_F(CtlCommandTest, RequestsWithoutVisibleResultPrintNothing) {
    EXPECT_EQ(Ctl({"add-target", "E:\\temp"}), "");
    EXPECT_EQ(Ctl({"save-registry"}), "");
    EXPECT_EQ(Ctl({"dump"}), "");
}

TEST_F(CtlCommandTest, RefusedRequestsPrintTheStatus) {
    EXPECT_EQ(Ctl({"remove-target", "C:\\Quilt\\INI\\check.txt"}),
              "error: STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n")
        << "the check file's change test cannot open it";
    ASSERT_EQ(plat::native::DeletePath(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
    EXPECT_EQ(Ctl({"marker"}), "error: STATUS_OBJECT_PATH_NOT_FOUND (0xC000003A)\n");
}

TEST_F(CtlCommandTest, WithoutTheControlDeviceTheOpenFails) {
    IoDeleteSymbolicLink(&link_);
    EXPECT_EQ(Ctl({"deletion-state"}), "error: STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n");
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, L"\\Device\\quilt");
    ASSERT_EQ(IoCreateSymbolicLink(&link_, &target), STATUS_SUCCESS);
}

TEST_F(CtlCommandTest, WordsThatFormNoRequestPrintTheUsage) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {}, {"bogus"}, {"marker", "extra"}, {"add-target"}, {"process-target", "toggle", "p", "C:\\x"},
             {"process-target", "add", "C:\\x"}}) {
        bool parsed = true;
        std::string out = Ctl(words, &parsed);
        EXPECT_FALSE(parsed);
        EXPECT_EQ(out.rfind("error: usage: ctl marker", 0), 0u) << out;
    }
}

}  // namespace
