// The simulated machine: boots, clean restarts and crashes, the sibling's
// clean-end mark, a machine without its sibling, many cycles in one process,
// a machine kept in a folder, and a crash in the middle of activity.
#include <gtest/gtest.h>

#include <dirent.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "core/kernel.h"
#include "ex/pool.h"
#include "machine/host_files.h"
#include "machine/layout.h"
#include "machine/machine.h"
#include "machine/system_files.h"

namespace {

using machine::Machine;
using machine::MachineConfig;

const char kDriverStarted[] = "quilt.sys: Driver started";

std::unique_ptr<Machine> NewMachine(const MachineConfig& config = machine::DefaultConfig()) {
    std::string error;
    std::unique_ptr<Machine> m = Machine::CreateTemporary(config, &error);
    EXPECT_NE(nullptr, m) << error;
    return m;
}

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

size_t LinesContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&text](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

std::string Read(Machine& m, const std::string& path, NTSTATUS* status = nullptr) {
    std::string content;
    NTSTATUS result = m.Shell().ReadFile(path, &content);
    if (status != nullptr) *status = result;
    return content;
}

TEST(MachineBoot, BootLoadsTheDriverOnceAndRunsTheBootPrograms) {
    std::unique_ptr<Machine> m = NewMachine();
    ASSERT_EQ("", m->Boot());
    EXPECT_TRUE(m->Running());
    EXPECT_EQ(STATUS_SUCCESS, m->DriverEntryStatus());
    EXPECT_EQ(1u, LinesContaining(m->DebuggerLines(), kDriverStarted));
    const std::vector<std::string>& journal = m->Journal();
    EXPECT_EQ(1u, LinesContaining(journal, "software hive readable: STATUS_SUCCESS"));
    EXPECT_EQ(1u, LinesContaining(journal, "services.exe started QSVAGENT.EXE"));
    EXPECT_EQ(1u, LinesContaining(journal, "explorer.exe started QSTARTER.EXE"));
    EXPECT_EQ(0u, LinesContaining(journal, "STATUS_OBJECT_NAME_NOT_FOUND"));
    EXPECT_EQ("The data folder of the default machine.", Read(*m, "C:\\data\\readme.txt"));
    // The system keeps the hive files and the paging file open for the run.
    EXPECT_EQ(STATUS_SHARING_VIOLATION, m->Shell().DeleteFile("C:\\pagefile.sys"));
    EXPECT_EQ(STATUS_SHARING_VIOLATION, m->Shell().DeleteFile("C:\\WINDOWS\\system32\\config\\software"));
    EXPECT_EQ("", m->Shutdown());
    EXPECT_TRUE(m->LastRunFindings().empty());
}

TEST(MachineBoot, TheRegistryAndTheInstallFolderHoldWhatTheConfigurationSays) {
    MachineConfig config = machine::DefaultConfig();
    config.MajorVersion = 6;
    config.MinorVersion = 1;
    config.Parameters.push_back({"DeleteStartDelay", false, 30, ""});
    config.Parameters.push_back({"Label", true, 0, "from the configuration"});
    config.CheckLines = {"1C:\\", "0C:\\data\\scratch"};
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(6u, SharedUserData->NtMajorVersion);
    EXPECT_EQ(1u, SharedUserData->NtMinorVersion);
    machine::Program& shell = m->Shell();
    const std::string parameters = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\quilt\\Parameters";
    machine::RegistryValue value;
    ASSERT_EQ(STATUS_SUCCESS, shell.QueryValue(parameters, "CheckFilePath", &value));
    EXPECT_EQ(REG_SZ, value.Type);
    std::u16string expected = u"C:\\Program Files\\Quilt\\INI\\quilt.chk";
    expected.push_back(u'\0');
    EXPECT_EQ(0, memcmp(expected.data(), value.Data.data(), std::min(value.Data.size(), expected.size() * 2)));
    EXPECT_EQ(expected.size() * 2, value.Data.size());
    ASSERT_EQ(STATUS_SUCCESS, shell.QueryValue(parameters, "DeleteStartDelay", &value));
    EXPECT_EQ(REG_DWORD, value.Type);
    EXPECT_EQ((std::vector<uint8_t>{30, 0, 0, 0}), value.Data);
    ASSERT_EQ(STATUS_SUCCESS, shell.QueryValue(parameters, "Label", &value));
    EXPECT_EQ(REG_SZ, value.Type);
    EXPECT_EQ(STATUS_SUCCESS, shell.QueryValue("HKLM\\SYSTEM\\CurrentControlSet\\Services\\PLEAT\\Parameters",
                                               "VBSFilePath", &value));
    EXPECT_EQ(STATUS_SUCCESS,
              shell.QueryValue("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", &value));
    EXPECT_EQ((std::string("C:\\Program Files").size() + 1) * 2, value.Data.size());

    std::string checkFile = Read(*m, "C:\\Program Files\\Quilt\\INI\\quilt.chk");
    std::vector<uint8_t> expectedText = machine::Utf16Text(config.CheckLines);
    EXPECT_EQ(std::string(expectedText.begin(), expectedText.end()), checkFile);
    EXPECT_EQ("", m->Shutdown());
}

TEST(MachineBoot, AWriteSurvivesACleanRestart) {
    std::unique_ptr<Machine> m = NewMachine();
    ASSERT_EQ("", m->Boot());
    ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\kept.txt", "kept across the restart"));
    ASSERT_EQ("", m->Shutdown());
    EXPECT_EQ(machine::LastEnd::Clean, m->LastEndKind());
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ("kept across the restart", Read(*m, "C:\\data\\kept.txt"));
    // The driver module was loaded again: its start-up ran once in this boot.
    EXPECT_EQ(1u, LinesContaining(m->DebuggerLines(), kDriverStarted));
    EXPECT_EQ("", m->Shutdown());
}

TEST(MachineBoot, ACrashLosesWhatWasNotFlushedAndTheNextBootRuns) {
    std::unique_ptr<Machine> m = NewMachine();
    ASSERT_EQ("", m->Boot());
    ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\flushed.txt", "on the disk"));
    ASSERT_EQ(STATUS_SUCCESS, machine::SystemFlushVolume('C'));
    ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\lost.txt", "only in memory"));
    ASSERT_EQ("", m->Crash());
    EXPECT_FALSE(m->Running());
    EXPECT_EQ(machine::LastEnd::Crash, m->LastEndKind());

    ASSERT_EQ("", m->Boot());
    EXPECT_EQ("on the disk", Read(*m, "C:\\data\\flushed.txt"));
    NTSTATUS status = STATUS_SUCCESS;
    Read(*m, "C:\\data\\lost.txt", &status);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    EXPECT_EQ("", m->Shutdown());
}

TEST(MachineBoot, TheSiblingMarksACleanEndAtShutdownButNotAtACrash) {
    std::unique_ptr<Machine> m = NewMachine();
    pleat::SectorStore& store = m->SiblingStore();
    ASSERT_EQ("", m->Boot());
    // What the started driver leaves in the status sector while it runs.
    EXPECT_EQ(0xC0, store.StatusCode());
    ASSERT_EQ("", m->Crash());
    EXPECT_EQ(0xC0, store.StatusCode());

    ASSERT_EQ("", m->Boot());
    ASSERT_EQ("", m->Shutdown());
    EXPECT_EQ(pleat::kStatusCleanEnd, store.StatusCode());
}

TEST(MachineBoot, AMachineWithoutItsSiblingStillComesUp) {
    MachineConfig config = machine::DefaultConfig();
    config.SiblingPresent = false;
    std::unique_ptr<Machine> m = NewMachine(config);
    m->SiblingStore().Poke(*m->SiblingStore().StatusSector(), pleat::kStatusCodeOffset, 0x80);
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(STATUS_SUCCESS, m->DriverEntryStatus());
    EXPECT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\x.txt", "still works"));
    EXPECT_EQ("still works", Read(*m, "C:\\data\\x.txt"));
    ASSERT_EQ("", m->Shutdown());
    EXPECT_EQ(0x80, m->SiblingStore().StatusCode());  // nobody wrote the clean end
}

TEST(MachineBoot, AMachineWhoseSiblingLostItsSectorsStillComesUp) {
    std::unique_ptr<Machine> m = NewMachine();
    m->SiblingStore().Remove();
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(1u, LinesContaining(m->Journal(), "its sector store is gone"));
    EXPECT_EQ("", m->Shutdown());
    EXPECT_FALSE(m->SiblingStore().Present());
}

TEST(MachineBoot, FiftyCyclesInOneProcessLeaveNothingBehind) {
    std::unique_ptr<Machine> m = NewMachine();
    size_t threadsBefore = HostThreadCount();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ("", m->Boot()) << "cycle " << cycle;
        ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\cycle.txt", std::to_string(cycle)));
        ASSERT_EQ(1u, LinesContaining(m->DebuggerLines(), kDriverStarted)) << "cycle " << cycle;
        ASSERT_EQ("", m->Shutdown()) << "cycle " << cycle;
        ASSERT_TRUE(m->LastRunFindings().empty()) << "cycle " << cycle << ": " << m->LastRunFindings()[0];
        ASSERT_FALSE(plat::KernelExists());
        ASSERT_EQ(0u, plat::PoolLiveAllocations()) << "cycle " << cycle;
        ASSERT_EQ(threadsBefore, HostThreadCount()) << "cycle " << cycle;
    }
    EXPECT_EQ(50u, m->BootCount());
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ("49", Read(*m, "C:\\data\\cycle.txt"));
    ASSERT_EQ("", m->Shutdown());
    // A kernel after all of them ends clean.
    plat::KernelCreate();
    std::vector<std::string> findings = plat::KernelDestroy();
    EXPECT_TRUE(findings.empty()) << findings[0];
}

TEST(MachineClock, TheClockGoesOnAcrossBootsAndAdvancesOnRequest) {
    std::string error;
    machine::MachineOptions options;
    options.VirtualClock = true;
    std::unique_ptr<Machine> m = Machine::CreateTemporary(machine::DefaultConfig(), &error, options);
    ASSERT_NE(nullptr, m) << error;
    ASSERT_EQ("", m->Boot());
    LONGLONG first = plat::ClockNow();
    m->AdvanceClock(600);
    EXPECT_EQ(first + 600LL * 10000000LL, plat::ClockNow());  // virtual: moved exactly as asked
    LONGLONG end = plat::ClockNow();
    ASSERT_EQ("", m->Shutdown());
    ASSERT_EQ("", m->Boot());
    EXPECT_GT(plat::ClockNow(), end);  // the next boot starts after the last one ended
    EXPECT_EQ("", m->Shutdown());
}

// Programs keep writing in system threads until the power goes; the crash
// ends each of them wherever it is and the next boot finds a sound volume.
TEST(MachineCrash, ACrashInTheMiddleOfActivityEndsEveryThread) {
    std::unique_ptr<Machine> m = NewMachine();
    size_t threadsBefore = HostThreadCount();
    ASSERT_EQ("", m->Boot());
    ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\before.txt", "flushed before the activity"));
    ASSERT_EQ(STATUS_SUCCESS, machine::SystemFlushVolume('C'));

    struct Worker {
        machine::Program* Program;
        std::string Path;
        std::atomic<int> Rounds{0};
    };
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < 3; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->Program = &m->Shell();
        worker->Path = "C:\\data\\busy" + std::to_string(i) + ".txt";
        HANDLE thread = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                       [](PVOID context) {
                                                           auto* w = static_cast<Worker*>(context);
                                                           LARGE_INTEGER pause;
                                                           pause.QuadPart = -10000;  // 1 ms
                                                           for (;;) {
                                                               std::string text(1000 + w->Rounds * 10, 'x');
                                                               w->Program->AppendFile(w->Path, text);
                                                               std::string back;
                                                               w->Program->ReadFile(w->Path, &back);
                                                               w->Rounds++;
                                                               KeDelayExecutionThread(KernelMode, FALSE, &pause);
                                                           }
                                                       },
                                                       worker.get()));
        ZwClose(thread);
        workers.push_back(std::move(worker));
    }
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;  // 1 ms
    for (auto& worker : workers) {
        while (worker->Rounds < 5) KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    ASSERT_EQ("", m->Crash());
    EXPECT_EQ(threadsBefore, HostThreadCount());

    ASSERT_EQ("", m->Boot());
    EXPECT_EQ("flushed before the activity", Read(*m, "C:\\data\\before.txt"));
    std::vector<machine::DirectoryEntry> entries;
    EXPECT_EQ(STATUS_SUCCESS, m->Shell().ListDirectory("C:\\data", &entries));
    EXPECT_EQ(STATUS_SUCCESS, m->Shell().WriteFile("C:\\data\\after.txt", "the volume takes writes again"));
    EXPECT_EQ("", m->Shutdown());
    EXPECT_TRUE(m->LastRunFindings().empty());
}

class MachineFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ("", machine::HostMakeTemporaryFolder(&Folder)); }
    void TearDown() override { machine::HostRemoveTree(Folder); }

    std::unique_ptr<Machine> OpenFolder(std::string* error) {
        return Machine::Open(Folder, nullptr, error);
    }

    std::string Folder;
};

TEST_F(MachineFolderTest, AnotherMachineObjectResumesTheMachineKeptInTheFolder) {
    std::string error;
    {
        std::unique_ptr<Machine> first = OpenFolder(&error);
        ASSERT_NE(nullptr, first) << error;
        ASSERT_EQ("", first->Boot());
        ASSERT_EQ(STATUS_SUCCESS, first->Shell().WriteFile("D:\\archive\\new.txt", "on D:"));
        ASSERT_EQ(STATUS_SUCCESS,
                  first->Shell().SetValue("HKLM\\SOFTWARE\\Quilt\\Kept", "Counter", REG_DWORD, {9, 0, 0, 0}));
        ASSERT_EQ("", first->Shutdown());
    }
    std::unique_ptr<Machine> second = OpenFolder(&error);
    ASSERT_NE(nullptr, second) << error;
    EXPECT_EQ(1u, second->BootCount());
    EXPECT_EQ(machine::LastEnd::Clean, second->LastEndKind());
    ASSERT_EQ("", second->Boot());
    EXPECT_EQ("on D:", Read(*second, "D:\\archive\\new.txt"));
    machine::RegistryValue value;
    ASSERT_EQ(STATUS_SUCCESS, second->Shell().QueryValue("HKLM\\SOFTWARE\\Quilt\\Kept", "Counter", &value));
    EXPECT_EQ((std::vector<uint8_t>{9, 0, 0, 0}), value.Data);
    EXPECT_EQ("", second->Shutdown());
}

TEST_F(MachineFolderTest, AProcessThatEndedWhileTheMachineRanCountsAsACrash) {
    std::string error;
    { ASSERT_NE(nullptr, OpenFolder(&error)) << error; }
    // What the state file holds while a machine runs.
    ASSERT_EQ("", machine::HostWriteFileAtomically(Folder + "/machine.state",
                                                   machine::BytesOf("boots 1\nlast-end never\nrunning yes\n")));
    std::unique_ptr<Machine> m = OpenFolder(&error);
    ASSERT_NE(nullptr, m) << error;
    EXPECT_EQ(machine::LastEnd::Crash, m->LastEndKind());
    EXPECT_FALSE(m->Running());
    EXPECT_EQ(1u, LinesContaining(m->Journal(), "taken as a crash"));
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ("", m->Shutdown());
}

TEST_F(MachineFolderTest, DamagedHardwareFilesAreRefusedWithTheirName) {
    std::string error;
    { ASSERT_NE(nullptr, OpenFolder(&error)) << error; }
    std::vector<uint8_t> bytes;
    ASSERT_EQ("", machine::HostReadFile(Folder + "/pleat.sectors", &bytes));
    bytes[bytes.size() / 2] ^= 0x40;
    ASSERT_EQ("", machine::HostWriteFileAtomically(Folder + "/pleat.sectors", bytes));
    EXPECT_EQ(nullptr, OpenFolder(&error));
    EXPECT_NE(std::string::npos, error.find("pleat.sectors")) << error;

    ASSERT_EQ("", machine::HostWriteFileAtomically(Folder + "/disk-C.img", machine::BytesOf("not a disk")));
    EXPECT_EQ(nullptr, OpenFolder(&error));
    EXPECT_NE(std::string::npos, error.find("disk-C.img")) << error;
}

TEST_F(MachineFolderTest, AFolderWithABadConfigurationIsRefused) {
    ASSERT_EQ("", machine::HostWriteFileAtomically(Folder + "/machine.conf", machine::BytesOf("os-version 3.1\n")));
    std::string error;
    EXPECT_EQ(nullptr, OpenFolder(&error));
    EXPECT_NE(std::string::npos, error.find("machine.conf: line 1")) << error;
}

}  // namespace
