// The log writer and the boot timing report, written by the loaded driver onto
// a capturing drive C: (or A:) whose files the tests read back byte by byte.
#include <gtest/gtest.h>

#include <string>

#include "capture_volume.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "quilt_loader.h"
#include "support/kernel_fixture.h"
#include "support/volume_fixture.h"

namespace {

using namespace quilt_test;

const std::string kBom = "\xEF\xBB\xBF";  // U+FEFF in UTF-8
const std::string kLog = "\\Quilt\\INI\\quilt.log";
const std::string kReport = "\\Quilt\\ini\\quilt-timeinfo.txt";
// The kernel clock starts at 2026-01-01 00:00:00 UTC; local time is one hour on.
const std::string kStamp = "2026/01/01 01:00:00|";

class LogTest : public VirtualTimeKernelTest {
protected:
    LogTest() { Options.TimeZoneBiasMinutes = -60; }

    void LoadWithCheckFile(const WCHAR* checkFile, WCHAR drive) {
        volume_ = new CaptureVolume(drive);
        CreateServiceKey(checkFile);
        SetDwordParameter(L"GetTimeInfo", 1);
        ASSERT_EQ(LoadQuilt(), STATUS_SUCCESS);
    }

    void SetUp() override {
        VirtualTimeKernelTest::SetUp();
        LoadWithCheckFile(L"C:\\Quilt\\INI\\check.dat", L'C');
    }

    void TearDown() override {
        UnloadQuilt();
        delete volume_;
        VirtualTimeKernelTest::TearDown();
    }

    std::string LogText() const { return Utf16FileText(volume_->Bytes(kLog)); }

    CaptureVolume* volume_ = nullptr;
};

TEST_F(LogTest, ANewLogStartsWithTheByteOrderMarkAndLaterRecordsAreAppended) {
    LogPrint("Create work folder failed! Drive:%c status:%x\n", 'C', 0xC000007F);
    LogPrint("Computer terminated abnormally last time. status=%x", 0x80);
    std::string bytes = volume_->Bytes(kLog);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE) << "UTF-16LE byte-order mark";
    EXPECT_EQ(LogText(), kBom + kStamp + "Create work folder failed! Drive:C status:c000007f\n\r\n" + kStamp +
                             "Computer terminated abnormally last time. status=80\r\n");

    ASSERT_EQ(volume_->Opens().size(), 2u);
    const CaptureOpen& open = volume_->Opens()[1];
    EXPECT_EQ(open.Path, kLog);
    EXPECT_EQ(open.Disposition, (ULONG)FILE_OPEN_IF);
    EXPECT_EQ(open.DesiredAccess & (FILE_APPEND_DATA | FILE_WRITE_DATA), (ACCESS_MASK)FILE_APPEND_DATA)
        << "append access only";
    EXPECT_EQ(open.ShareAccess, FILE_SHARE_READ);
    EXPECT_EQ(volume_->Writes(), 3u) << "the mark, then each record in one write";
}

TEST_F(LogTest, AnExistingLogGetsNoSecondByteOrderMark) {
    volume_->Put(kLog, std::string("\xFF\xFE", 2));
    LogPrint("x");
    EXPECT_EQ(LogText(), kBom + kStamp + "x\r\n");
}

TEST_F(LogTest, WideArgumentsAreLoggedAsText) {
    LogPrint("Create %c:%S failed! \n", 'D', L"\\dir\\sub");
    LogPrint("FileStateLookup() Invalid hash table! address=%x name=%S", 0x20010, L"\\a.txt");
    EXPECT_EQ(LogText(), kBom + kStamp + "Create D:\\dir\\sub failed! \n\r\n" + kStamp +
                             "FileStateLookup() Invalid hash table! address=20010 name=\\a.txt\r\n");
}

TEST_F(LogTest, TheStampIsLocalTimeWhenTheRecordIsWritten) {
    plat::ClockAdvance((3LL * 3600 + 25 * 60 + 7) * 10000000LL);
    LogPrint("later");
    EXPECT_EQ(LogText(), kBom + "2026/01/01 04:25:07|later\r\n");
}

TEST_F(LogTest, AMessageLongerThanTheNarrowBufferIsCut) {
    std::string longText(70000, 'q');
    LogPrint("%s", longText.c_str());
    std::string text = LogText();
    std::string expected = kBom + kStamp + std::string(65536, 'q') + "\r\n";
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_EQ(text, expected);
}

TEST_F(LogTest, PathRecordsCarryCaptionDrivePathLengthAndStatus) {
    LogPrintPath("Error at deleting", 3, L"\\$~@&%.~~~\\1", (NTSTATUS)0xC0000022);
    EXPECT_EQ(LogText(), kBom + kStamp + "Error at deleting D:\\$~@&%.~~~\\1 (len=14) status=c0000022\r\n");
}

TEST_F(LogTest, ANullFormatLogsNothing) {
    LogPrint(NULL);
    EXPECT_TRUE(volume_->Opens().empty());
}

TEST_F(LogTest, AWriterOnANamedFileSupersedesIt) {
    const std::string backup = "\\Quilt\\INI\\backup.log";
    volume_->Put(backup, "old content");
    LogWriter writer;
    ASSERT_TRUE(LogOpen(&writer, L"c:\\Quilt\\INI\\backup.log", TRUE));
    LogPrintLine(&writer, "QuiltPrecreateTemporaryFile() started");
    LogPrintLine(&writer, "Backup %s.\t%c:%S\tstatus=%x", "success", 'C', L"\\data\\a.txt", 0);
    LogClose(&writer);
    EXPECT_EQ(volume_->Opens().back().Disposition, (ULONG)FILE_SUPERSEDE);
    EXPECT_EQ(Utf16FileText(volume_->Bytes(backup)), kBom + kStamp + "QuiltPrecreateTemporaryFile() started\r\n" +
                                                         kStamp + "Backup success.\tC:\\data\\a.txt\tstatus=0\r\n");
    EXPECT_EQ(writer.FileObject, nullptr);
    EXPECT_EQ(writer.WideBuffer, nullptr) << "the buffers went back";
}

TEST_F(LogTest, AWriterThatCannotOpenHoldsNothing) {
    LogWriter writer;
    EXPECT_FALSE(LogOpen(&writer, L"?", FALSE)) << "a path without drive and folder";
    EXPECT_EQ(writer.FileObject, nullptr);
    EXPECT_EQ(writer.WideBuffer, nullptr);
    EXPECT_EQ(writer.NarrowBuffer, nullptr);
}

// ---- No install drive, no log ------------------------------------------------------------

class LogOnDriveATest : public LogTest {
protected:
    void SetUp() override {
        VirtualTimeKernelTest::SetUp();
        LoadWithCheckFile(L"A:\\Quilt\\INI\\check.dat", L'A');
    }
};

TEST_F(LogOnDriveATest, NothingIsLoggedWhileTheInstallDriveIsA) {
    ASSERT_EQ(g_Quilt.InstallDrive, 0u);
    LogPrint("anything");
    LogPrintPath("Error at deleting", 0, L"\\x", 0);
    LogWriter writer;
    EXPECT_FALSE(LogOpen(&writer, L"A:\\Quilt\\INI\\backup.log", TRUE));
    EXPECT_TRUE(volume_->Opens().empty());
}

class LogBeforeConfigurationTest : public VirtualTimeKernelTest {};

TEST_F(LogBeforeConfigurationTest, NothingIsLoggedWithoutACheckFilePath) {
    CaptureVolume volume(L'C');
    CreateServiceKey(L"C:\\AB\\x");  // inert
    ASSERT_EQ(LoadQuilt(), STATUS_SUCCESS);
    LogPrint("anything");
    EXPECT_TRUE(volume.Opens().empty());
}

// ---- The boot timing report --------------------------------------------------------------

const TimingMarkId kReportTriggers[] = {TimingSmss,     TimingCsrss,    TimingWinlogon, TimingServices,
                                        TimingExplorer, TimingQsvAgent, TimingQStarter};

TEST_F(LogTest, TheReportIsWrittenOnlyAfterTheSeventhTrigger) {
    for (int i = 0; i < 6; ++i) {
        TimingMark(kReportTriggers[i]);
        WriteTimingReport();
    }
    EXPECT_FALSE(volume_->Exists(kReport)) << "six triggers write nothing";
    TimingMark(kReportTriggers[6]);
    WriteTimingReport();
    ASSERT_TRUE(volume_->Exists(kReport));
    const CaptureOpen& open = volume_->Opens().back();
    EXPECT_EQ(open.Path, kReport);
    EXPECT_EQ(open.Disposition, (ULONG)FILE_SUPERSEDE);
    EXPECT_EQ(open.ShareAccess, FILE_SHARE_READ);
    EXPECT_EQ(open.DesiredAccess & FILE_GENERIC_WRITE, (ACCESS_MASK)FILE_GENERIC_WRITE);
}

TEST_F(LogTest, TheReportListsEveryMarkSinceLoadWithItsLabel) {
    plat::ClockAdvance(123456000);  // 12.3456 s after load
    TimingMark(TimingSystemDriveFound);
    TimingMark(TimingSystemDriveFound);  // a mark is taken once
    plat::ClockAdvance(123456000000LL - 123456000);  // 12,345.6 s after load
    TimingMark(TimingQStarter);
    EXPECT_TRUE(TimingMarkTaken(TimingQStarter));
    EXPECT_FALSE(TimingMarkTaken(TimingNtdll));
    for (int i = 0; i < 7; ++i) WriteTimingReport();

    std::string zero = "0000.000\r\n";
    std::string expected = "System drive found time       \t0012.345\r\n"
                           "System drive initialized time \t" + zero +
                           "System registry access time   \t" + zero +
                           "Software registry access time \t" + zero +
                           "Sam registry access time      \t" + zero +
                           "Security registry access time \t" + zero +
                           "Default registry access time  \t" + zero +
                           "System registry access time2  \t" + zero +
                           "Software registry access time2\t" + zero +
                           "Sam registry access time2     \t" + zero +
                           "Security registry access time2\t" + zero +
                           "Default registry access time2 \t" + zero +
                           "ntdll.dll access time         \t" + zero +
                           "cdrom.sys access time         \t" + zero +
                           "fs_rec.sys access time        \t" + zero +
                           "smss.exe access time          \t" + zero +
                           "gdi32.dll access time         \t" + zero +
                           "kernel32.dll access time      \t" + zero +
                           "user32.dll access time        \t" + zero +
                           "csrss.exe access time         \t" + zero +
                           "winlogon.exe access time      \t" + zero +
                           "services.exe access time      \t" + zero +
                           "explorer.exe access time      \t" + zero +
                           "qsvagent.exe access time      \t" + zero +
                           "qstarter.exe access time      \t12345.600\r\n";
    EXPECT_EQ(volume_->Bytes(kReport), expected) << "narrow text without byte-order mark";
}



// ---- On the platform's NTFS ---------------------------------------------------------------

namespace ntfs {

class NtfsLogTest : public VolumeTest {
protected:
    NtfsLogTest() { Options.VirtualTime = true; }

    void SetUp() override {
        VolumeTest::SetUp();
        ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Quilt"), STATUS_SUCCESS);
        ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
        CreateServiceKey(L"C:\\Quilt\\INI\\check.dat");
        ASSERT_EQ(LoadQuilt(), STATUS_SUCCESS);
    }

    void TearDown() override {
        UnloadQuilt();
        VolumeTest::TearDown();
    }
};

TEST_F(NtfsLogTest, RecordsReachTheLogFileOnTheInstallDrive) {
    LogPrint("Create %c:%S failed! \n", 'C', L"\\$~@&%.~~~\\1");
    LogPrint("FileBlockInit() error! Drive=%c", 'C');
    const std::string stamp = "2026/01/01 00:00:00|";
    EXPECT_EQ(Utf16FileText(ReadText(u"C:\\Quilt\\INI\\quilt.log")),
              kBom + stamp + "Create C:\\$~@&%.~~~\\1 failed! \n\r\n" + stamp + "FileBlockInit() error! Drive=C\r\n");
}

TEST_F(NtfsLogTest, TheTimingReportReplacesAnOlderOne) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\Quilt\\ini\\quilt-timeinfo.txt", std::string(5000, 'o')), STATUS_SUCCESS);
    for (int i = 0; i < 7; ++i) WriteTimingReport();
    std::string report = ReadText(u"C:\\Quilt\\INI\\quilt-timeinfo.txt");
    EXPECT_EQ(report.size(), 25u * (31 + 10)) << "25 lines of label, tab and 0000.000 CR LF; nothing of the old file";
    EXPECT_EQ(report.substr(0, 41), "System drive found time       \t0000.000\r\n");
}

}  // namespace ntfs

}  // namespace
