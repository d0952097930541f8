// The configuration's bounds and the paths derived from it: pure logic over
// the driver's globals, run inside a kernel for the run-time library.
#include <gtest/gtest.h>

#include <string>

#include "frame/configuration.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "rtl/convert.h"
#include "support/kernel_fixture.h"

namespace {

std::string Narrow(PCWSTR text) { return plat::Utf16ToUtf8(text); }
std::string Narrow(const UNICODE_STRING& text) { return plat::Utf16ToUtf8(text); }

class ConfigurationTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
    }

    // The install folder as driver entry derives it from CheckFilePath.
    void UseCheckFile(PCWSTR checkFilePath) {
        wcscpy(g_Quilt.Config.CheckFilePath, checkFilePath);
        ASSERT_TRUE(IsUsableCheckFilePath(checkFilePath));
        DeriveInstallPaths();
    }
};

TEST_F(ConfigurationTest, CopyBufferSizeIsBoundedAndRoundedToSectors) {
    EXPECT_EQ(BoundFileCopyBufferSize(0), 512u);
    EXPECT_EQ(BoundFileCopyBufferSize(511), 512u);
    EXPECT_EQ(BoundFileCopyBufferSize(512), 512u);
    EXPECT_EQ(BoundFileCopyBufferSize(1000), 1024u);
    EXPECT_EQ(BoundFileCopyBufferSize(0x8000000), 0x8000000u);
    EXPECT_EQ(BoundFileCopyBufferSize(0x8000001), 0x8000000u);
    EXPECT_EQ(BoundFileCopyBufferSize(0xFFFFFFFF), 0x8000000u) << "the largest value must not wrap when rounded";
    EXPECT_EQ(BoundFileCopyBufferSize(QUILT_DEFAULT_COPY_BUFFER), 0x100000u);
}

TEST_F(ConfigurationTest, WatchTimeNeverExceedsStartTime) {
    EXPECT_EQ(BoundPrecreateWatchTime(600, 480), 480u);
    EXPECT_EQ(BoundPrecreateWatchTime(100, 480), 100u);
    EXPECT_EQ(BoundPrecreateWatchTime(480, 480), 480u);
    EXPECT_EQ(BoundPrecreateWatchTime(0xFFFFFFFF, 1), 1u) << "the comparison is unsigned";
}

TEST_F(ConfigurationTest, CheckFilePathNeedsADriveLetterAndADeepEnoughFolder) {
    EXPECT_FALSE(IsUsableCheckFilePath(L"C:\\AB\\x")) << "last backslash at index 5";
    EXPECT_TRUE(IsUsableCheckFilePath(L"C:\\ABC\\x")) << "last backslash at index 6";
    EXPECT_TRUE(IsUsableCheckFilePath(L"c:\\abc\\x.txt"));
    EXPECT_FALSE(IsUsableCheckFilePath(L"1:\\abcdef\\x")) << "no drive letter";
    EXPECT_FALSE(IsUsableCheckFilePath(L"C:abcdefgh")) << "no backslash at all";
    EXPECT_FALSE(IsUsableCheckFilePath(L""));
    EXPECT_FALSE(IsUsableCheckFilePath(NULL));
}

TEST_F(ConfigurationTest, InstallFolderMarkerAndSnapshotComeFromTheCheckFilePath) {
    UseCheckFile(L"c:\\abc\\x.txt");
    EXPECT_EQ(Narrow(g_Quilt.InstallFolder), "C:\\abc\\");
    EXPECT_EQ(g_Quilt.InstallDrive, 2u);
    EXPECT_EQ(Narrow(g_Quilt.MarkerFilePath), "C:\\abc\\$-MkFile.flg");
    EXPECT_EQ(Narrow(g_Quilt.RegistrySnapshotPath), "C:\\abc\\registry.dat");
}

TEST_F(ConfigurationTest, LogReportAndProgramsFollowTheInstallFolderWhateverItsLastComponent) {
    UseCheckFile(L"c:\\abc\\x.txt");
    WCHAR path[300];
    ASSERT_TRUE(LogDefaultPath(path, ARRAYSIZE(path)));
    EXPECT_EQ(Narrow(path), "\\INI\\quilt.log");
    ASSERT_TRUE(TimingReportPath(path, ARRAYSIZE(path)));
    EXPECT_EQ(Narrow(path), "C:\\ini\\quilt-timeinfo.txt");

    wcscpy(g_Quilt.SystemRoot, L"C:\\WINDOWS");
    BuildWatchedBootFiles(TRUE);
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedQsvAgent]), "\\PRG\\QSVAGENT.EXE");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedQStarter]), "\\PRG\\QSTARTER.EXE");
}

TEST_F(ConfigurationTest, ANormalInstallFolderKeepsItsParent) {
    UseCheckFile(L"D:\\Program Files\\Quilt\\INI\\check.dat");
    EXPECT_EQ(g_Quilt.InstallDrive, 3u);
    WCHAR path[300];
    ASSERT_TRUE(LogDefaultPath(path, ARRAYSIZE(path)));
    EXPECT_EQ(Narrow(path), "\\Program Files\\Quilt\\INI\\quilt.log");
    ASSERT_TRUE(TimingReportPath(path, ARRAYSIZE(path)));
    EXPECT_EQ(Narrow(path), "D:\\Program Files\\Quilt\\ini\\quilt-timeinfo.txt");
    ASSERT_FALSE(TimingReportPath(path, 20)) << "a buffer too small is refused, not overrun";
}

TEST_F(ConfigurationTest, WatchedBootFilesAreRootRelative) {
    UseCheckFile(L"C:\\Program Files\\Quilt\\INI\\check.dat");
    wcscpy(g_Quilt.SystemRoot, L"C:\\WINNT");
    BuildWatchedBootFiles(FALSE);
    ASSERT_EQ(g_Quilt.WatchedBootFileCount, 6u);
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedSoftware]), "\\WINNT\\system32\\config\\software");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedSam]), "\\WINNT\\system32\\config\\sam");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedSecurity]), "\\WINNT\\system32\\config\\security");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedSystem]), "\\WINNT\\system32\\config\\system");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedDefault]), "\\WINNT\\system32\\config\\default");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedServices]), "\\WINNT\\system32\\services.exe");
    EXPECT_EQ(g_Quilt.WatchedBootFiles[WatchedSmss].Buffer, nullptr) << "timing names only with GetTimeInfo";

    BuildWatchedBootFiles(TRUE);
    ASSERT_EQ(g_Quilt.WatchedBootFileCount, 18u);
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedSmss]), "\\WINNT\\system32\\smss.exe");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedExplorer]), "\\WINNT\\explorer.exe");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedFsRec]), "\\WINNT\\system32\\drivers\\fs_rec.sys");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedUser32]), "\\WINNT\\system32\\user32.dll");
    EXPECT_EQ(Narrow(g_Quilt.WatchedBootFiles[WatchedQsvAgent]), "\\Program Files\\Quilt\\PRG\\QSVAGENT.EXE");
    EXPECT_EQ(g_Quilt.WatchedBootFiles[WatchedUser32].Length, wcslen(L"\\WINNT\\system32\\user32.dll") * 2);
}

TEST_F(ConfigurationTest, DriveLettersOfEitherCase) {
    EXPECT_EQ(DriveIndexOfLetter(L'A'), 0u);
    EXPECT_EQ(DriveIndexOfLetter(L'c'), 2u);
    EXPECT_EQ(DriveIndexOfLetter(L'Z'), 25u);
    EXPECT_GE(DriveIndexOfLetter(L'1'), 26u);
    EXPECT_GE(DriveIndexOfLetter(L'\\'), 26u);
}

// ---- Timing report number format ----------------------------------------------

std::string TimingValue(LONGLONG elapsed) {
    char text[64];
    ULONG length = FormatTimingValue(elapsed, text, sizeof(text));
    return std::string(text, length);
}

TEST_F(ConfigurationTest, TimingValuesHaveFourSecondDigitsAndMilliseconds) {
    EXPECT_EQ(TimingValue(0), "0000.000\r\n") << "a mark never taken";
    EXPECT_EQ(TimingValue(123456000), "0012.345\r\n") << "12.3456 s";
    EXPECT_EQ(TimingValue(123456000000LL), "12345.600\r\n") << "12,345.6 s";
    EXPECT_EQ(TimingValue(9999), "0000.000\r\n") << "below one millisecond";
    EXPECT_EQ(TimingValue(10000), "0000.001\r\n");
    char small[4];
    EXPECT_EQ(FormatTimingValue(0, small, sizeof(small)), 0u) << "a value that does not fit is refused";
}

}  // namespace
