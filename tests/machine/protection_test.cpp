// Protected volumes coming up at boot, seen from outside the driver: the
// machine boots with its configuration, programs look at the volumes through
// the native API, and the driver's state is read through its symbols as a
// kernel debugger reads it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "machine/machine.h"
#include "sibling/pleat/sector_store.h"

namespace {

using machine::Machine;
using machine::MachineConfig;

const char kWorkFolder[] = "C:\\$~@&%.~~~";
const char kLog[] = "C:\\Program Files\\Quilt\\INI\\quilt.log";
constexpr ULONG kDriveA = 0;
constexpr ULONG kDriveC = 2;
constexpr ULONG kDriveD = 3;
constexpr ULONG kDriveE = 4;

std::unique_ptr<Machine> NewMachine(const MachineConfig& config = machine::DefaultConfig(),
                                    bool virtualClock = true) {
    std::string error;
    machine::MachineOptions options;
    options.VirtualClock = virtualClock;
    std::unique_ptr<Machine> m = Machine::CreateTemporary(config, &error, options);
    EXPECT_NE(nullptr, m) << error;
    return m;
}

MachineConfig WithParameter(MachineConfig config, const std::string& name, uint32_t value) {
    config.Parameters.push_back({name, false, value, ""});
    return config;
}

bool Exists(Machine& m, const std::string& path) {
    uint32_t attributes = 0;
    return NT_SUCCESS(m.Shell().QueryAttributes(path, &attributes));
}

uint32_t AttributesOf(Machine& m, const std::string& path) {
    uint32_t attributes = 0;
    EXPECT_EQ(STATUS_SUCCESS, m.Shell().QueryAttributes(path, &attributes)) << path;
    return attributes;
}

// The log's UTF-16 text, narrowed (it holds ASCII only).
std::string LogText(Machine& m) {
    std::string bytes;
    if (!NT_SUCCESS(m.Shell().ReadFile(kLog, &bytes))) return "";
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
    return text;
}

// Background work of the driver (the deletion of previous generations) runs
// on in its own threads: wait for it in host time, a bounded while.
template <typename Predicate>
bool Eventually(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool IsProtected(const Machine& m, ULONG drive) {
    const DriveState* drives = m.DriverDrives();
    if (drives == nullptr || (drives->ProtectedMask & (1u << drive)) == 0) return false;
    const DeviceContext* volume = DeviceContextOf(drives->VolumeFilters[drive]);
    return volume != nullptr && volume->Serving == 1;
}

ULONG GenerationOf(const Machine& m, ULONG drive) {
    const DeviceContext* volume = DeviceContextOf(m.DriverDrives()->VolumeFilters[drive]);
    return volume != nullptr ? volume->Generation : 0;
}

std::string CurrentFile(Machine& m) {
    std::string bytes;
    EXPECT_EQ(STATUS_SUCCESS, m.Shell().ReadFile(std::string(kWorkFolder) + "\\current", &bytes));
    return bytes;
}

std::string CurrentBytes(uint32_t generation, uint32_t backup) {
    std::string bytes;
    for (uint32_t value : {generation, backup}) {
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

bool ControlLinkExists(Machine& m) {
    return NT_SUCCESS(m.Shell().Touch("\\??\\quilt"));
}

// ---- The default machine ---------------------------------------------------------------

TEST(Protection, TheDefaultMachineComesUpWithItsSystemDriveProtected) {
    std::unique_ptr<Machine> m = NewMachine();
    m->SiblingStore().StatusCodeHistory(true);
    ASSERT_EQ("", m->Boot());

    EXPECT_TRUE(IsProtected(*m, kDriveC));
    EXPECT_FALSE(IsProtected(*m, kDriveD));  // attached before the check file was read, then refused
    EXPECT_EQ(1u << kDriveC, m->DriverDrives()->ProtectedMask);
    EXPECT_EQ(LAST_SHUTDOWN_CLEAN, m->DriverDrives()->LastShutdownCheck);
    const LONG milestones = STATUS_BIT_FS_ATTACHED | STATUS_BIT_SYSTEM_MOUNTED | STATUS_BIT_INSTALL_MOUNTED |
                            STATUS_BIT_SHUTDOWN_CHECKED | STATUS_BIT_SYSTEM_VOLUME_DEVICE |
                            STATUS_BIT_SYSTEM_BOOKKEEPING | STATUS_BIT_SYSTEM_PROTECTED |
                            STATUS_BIT_SYSTEM_STARTUP_DONE;
    EXPECT_EQ(milestones, m->DriverGlobals()->StatusWord & milestones);
    EXPECT_EQ((std::vector<UCHAR>{0x80, 0x90, 0xA0, 0xB0, 0xC0}), m->SiblingStore().StatusCodeHistory());

    uint32_t hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    EXPECT_EQ(hiddenSystem, AttributesOf(*m, kWorkFolder) & hiddenSystem);
    EXPECT_TRUE(AttributesOf(*m, std::string(kWorkFolder) + "\\1") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(CurrentBytes(1, 0), CurrentFile(*m));
    EXPECT_EQ(1u, GenerationOf(*m, kDriveC));
    EXPECT_FALSE(Exists(*m, "D:\\$~@&%.~~~"));  // a refused volume keeps no work folder
    EXPECT_TRUE(ControlLinkExists(*m));

    const std::vector<std::string>& journal = m->Journal();
    EXPECT_NE(journal.end(), std::find(journal.begin(), journal.end(), "quilt: C: protected, generation 1"));
    EXPECT_NE(journal.end(), std::find(journal.begin(), journal.end(), "quilt: D: not protected"));
    EXPECT_EQ("", m->Shutdown());
    EXPECT_TRUE(m->LastRunFindings().empty()) << m->LastRunFindings()[0];
}

TEST(Protection, EachBootStartsANewGenerationAndDeletesTheOldOnesAfterTheDelay) {
    std::unique_ptr<Machine> m = NewMachine(WithParameter(machine::DefaultConfig(), "DeleteStartDelay", 30));
    ASSERT_EQ("", m->Boot());
    ASSERT_EQ(1u, GenerationOf(*m, kDriveC));
    ASSERT_EQ("", m->Shutdown());

    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(2u, GenerationOf(*m, kDriveC));
    EXPECT_EQ(CurrentBytes(2, 0), CurrentFile(*m));
    std::string first = std::string(kWorkFolder) + "\\1";
    std::string second = std::string(kWorkFolder) + "\\2";
    EXPECT_TRUE(Exists(*m, first));  // the clock has not moved: the deletion waits
    m->AdvanceClock(29);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Exists(*m, first));
    m->AdvanceClock(2);
    EXPECT_TRUE(Eventually([&] { return !Exists(*m, first); }));
    EXPECT_TRUE(Exists(*m, second));
    EXPECT_TRUE(Exists(*m, std::string(kWorkFolder) + "\\current"));
    EXPECT_TRUE(Eventually([&] { return m->DriverDrives()->DeletionState == DELETION_STATE_DONE; }));
    EXPECT_EQ("", m->Shutdown());
}

TEST(Protection, GenerationsAreNumberedInHexadecimal) {
    MachineConfig config = machine::DefaultConfig();
    for (const char* name : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "a"}) {
        config.Seeds.push_back({std::string(kWorkFolder) + "\\" + name, true, "", 0});
    }
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(0xBu, GenerationOf(*m, kDriveC));
    EXPECT_TRUE(Exists(*m, std::string(kWorkFolder) + "\\b"));
    EXPECT_EQ(CurrentBytes(0xB, 0), CurrentFile(*m));
    EXPECT_EQ("", m->Shutdown());
}

TEST(Protection, LowFreeSpaceDeletesThePreviousGenerationsDuringStartUp) {
    MachineConfig config = machine::DefaultConfig();
    config.Volumes[0].SizeBytes = 48ull << 20;
    config.Seeds.push_back({"C:\\filler.bin", false, "", 44ull << 20});
    std::unique_ptr<Machine> m = NewMachine(WithParameter(config, "DeleteStartDelay", 600));
    ASSERT_EQ("", m->Boot());
    std::string leftOver = std::string(kWorkFolder) + "\\1\\left-over.txt";
    ASSERT_EQ(STATUS_SUCCESS, m->Shell().WriteFile(leftOver, "work of the first boot"));
    ASSERT_EQ("", m->Shutdown());

    ASSERT_EQ("", m->Boot());
    // The clock has not moved, yet the first boot's work is gone already: the
    // deletion ran before the numbering, which starts at 1 again.
    EXPECT_FALSE(Exists(*m, leftOver));
    EXPECT_EQ(1u, GenerationOf(*m, kDriveC));
    EXPECT_EQ(CurrentBytes(1, 0), CurrentFile(*m));
    EXPECT_EQ(3u, m->DriverGlobals()->Config.DeleteStartDelay);
    EXPECT_EQ("", m->Shutdown());
}

// ---- Which volumes are protected -------------------------------------------------------------

TEST(Protection, AUsbDiskIsProtectedOnlyWithUsbDiskSupport) {
    MachineConfig config = machine::DefaultConfig();
    config.Volumes.push_back({'E', machine::FileSystemKind::Ntfs, machine::BusKind::Usb, false, 16ull << 20, "STICK"});
    config.CheckLines.push_back("1E:\\");
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    EXPECT_TRUE(IsProtected(*m, kDriveC));
    EXPECT_FALSE(IsProtected(*m, kDriveE));
    EXPECT_FALSE(Exists(*m, "E:\\$~@&%.~~~"));
    ASSERT_EQ("", m->Shutdown());

    std::unique_ptr<Machine> supported = NewMachine(WithParameter(config, "USBDiskSupport", 1));
    ASSERT_EQ("", supported->Boot());
    EXPECT_TRUE(IsProtected(*supported, kDriveE));
    EXPECT_TRUE(Exists(*supported, "E:\\$~@&%.~~~\\1"));
    EXPECT_EQ("", supported->Shutdown());
}

TEST(Protection, DriveAIsNeverProtected) {
    MachineConfig config = machine::DefaultConfig();
    config.Volumes.push_back({'A', machine::FileSystemKind::Fat, machine::BusKind::Ata, false, 4ull << 20, "FLOPPY"});
    config.CheckLines.push_back("1A:\\");
    config.CheckLines.push_back("1D:\\");
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    EXPECT_FALSE(IsProtected(*m, kDriveA));
    EXPECT_FALSE(Exists(*m, "A:\\$~@&%.~~~"));
    EXPECT_TRUE(IsProtected(*m, kDriveC));
    EXPECT_TRUE(IsProtected(*m, kDriveD));  // a FAT volume named by the check file
    EXPECT_TRUE(Exists(*m, "D:\\$~@&%.~~~\\1"));
    EXPECT_EQ("", m->Shutdown());
}

TEST(Protection, ADamagedCheckFileLeavesEveryDriveUnprotected) {
    for (machine::CheckFileForm form : {machine::CheckFileForm::NoByteOrderMark, machine::CheckFileForm::OneByte}) {
        MachineConfig config = machine::DefaultConfig();
        config.CheckForm = form;
        config.CheckLines.push_back("1D:\\");
        std::unique_ptr<Machine> m = NewMachine(config);
        ASSERT_EQ("", m->Boot());
        EXPECT_FALSE(IsProtected(*m, kDriveC));
        EXPECT_FALSE(IsProtected(*m, kDriveD));
        EXPECT_FALSE(Exists(*m, kWorkFolder));
        EXPECT_FALSE(ControlLinkExists(*m));
        EXPECT_TRUE(m->DriverDrives()->InstallDriveDone);
        EXPECT_EQ("", m->Shutdown());
    }
}

// ---- The last shutdown ------------------------------------------------------------------

TEST(Protection, AMissingOrDamagedSiblingDisablesProtectionForTheBoot) {
    MachineConfig absent = machine::DefaultConfig();
    absent.SiblingPresent = false;
    std::unique_ptr<Machine> m = NewMachine(absent);
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(LAST_SHUTDOWN_CHECK_FAILED, m->DriverDrives()->LastShutdownCheck);
    EXPECT_EQ(0, m->DriverDrives()->ProtectionEnabled);
    EXPECT_EQ(0u, m->DriverDrives()->ProtectedMask);
    EXPECT_FALSE(Exists(*m, kWorkFolder));
    ASSERT_EQ("", m->Shutdown());

    std::unique_ptr<Machine> damaged = NewMachine();
    damaged->SiblingStore().Poke(pleat::kMarkerSector, pleat::kMarkerTextOffset, 'X');
    ASSERT_EQ("", damaged->Boot());
    EXPECT_EQ(0u, damaged->DriverDrives()->ProtectedMask);
    EXPECT_TRUE(damaged->SiblingStore().StatusCodeHistory().empty());  // nothing written to a foreign disk
    EXPECT_EQ("", damaged->Shutdown());
}

TEST(Protection, AnUncleanEndIsLoggedAtTheNextStart) {
    std::unique_ptr<Machine> m = NewMachine();
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(0xC0, m->SiblingStore().StatusCode());
    ASSERT_EQ("", m->Crash());

    ASSERT_EQ("", m->Boot());
    EXPECT_NE(std::string::npos, LogText(*m).find("Computer terminated abnormally last time. status=c0"));
    EXPECT_TRUE(IsProtected(*m, kDriveC));  // the check itself succeeded
    ASSERT_EQ("", m->Shutdown());
    EXPECT_EQ(pleat::kStatusCleanEnd, m->SiblingStore().StatusCode());

    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(1u, [&] {
        std::string log = LogText(*m);
        size_t count = 0;
        for (size_t at = log.find("terminated abnormally"); at != std::string::npos;
             at = log.find("terminated abnormally", at + 1)) {
            ++count;
        }
        return count;
    }());  // the clean end in between logged nothing new
    EXPECT_EQ("", m->Shutdown());
}

TEST(Protection, TheMarkerFileIsConsumedAtStartUp) {
    MachineConfig config = machine::DefaultConfig();
    config.Seeds.push_back({config.InstallFolder + "$-MkFile.flg", false, "mark", 0});
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(1, m->DriverDrives()->MarkerFound);
    EXPECT_FALSE(Exists(*m, config.InstallFolder + "$-MkFile.flg"));
    ASSERT_EQ("", m->Shutdown());
    ASSERT_EQ("", m->Boot());
    EXPECT_EQ(0, m->DriverDrives()->MarkerFound);
    EXPECT_EQ("", m->Shutdown());
}

// ---- Attachment ---------------------------------------------------------------------

// FAT arrives through its recogniser when D: first mounts: the attachment
// above the recogniser is retired, the new FAT driver gets one of its own,
// and a later file-system control request (the paging file's) deletes the
// retired device.
TEST(Protection, TheFatRecogniserIsReplacedAndItsAttachmentDeleted) {
    MachineConfig config = machine::DefaultConfig();
    config.CheckLines.push_back("1D:\\");
    std::unique_ptr<Machine> m = NewMachine(config);
    ASSERT_EQ("", m->Boot());
    const QuiltGlobals* globals = m->DriverGlobals();
    ULONG attached = 0;
    ULONG detached = 0;
    for (PDEVICE_OBJECT device = globals->DriverObject->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        const DeviceContext* context = DeviceContextOf(device);
        if (device == globals->ControlDevice || context->Kind != DEVICE_KIND_CONTROL) continue;
        (context->Attached ? attached : detached) += 1;
    }
    EXPECT_EQ(2u, attached);  // above NTFS and above the FAT driver
    EXPECT_EQ(0u, detached);
    EXPECT_TRUE(IsListEmpty(&globals->RetiredDevices));
    EXPECT_TRUE(IsProtected(*m, kDriveD));
    EXPECT_EQ("", m->Shutdown());
}

// ---- File-system control on the volumes ----------------------------------------------------

TEST(Protection, AProtectedVolumeCannotBeDismountedButAnUnprotectedOneCan) {
    std::unique_ptr<Machine> m = NewMachine();
    ASSERT_EQ("", m->Boot());
    machine::Program admin("admin.exe", machine::Account::System);
    EXPECT_EQ(STATUS_ACCESS_DENIED, admin.FsControl("\\??\\C:", FSCTL_DISMOUNT_VOLUME));
    EXPECT_TRUE(IsProtected(*m, kDriveC));

    EXPECT_EQ(STATUS_SUCCESS, admin.FsControl("\\??\\D:", FSCTL_DISMOUNT_VOLUME));
    std::vector<std::string> debugger = m->DebuggerLines();
    EXPECT_NE(debugger.end(), std::find_if(debugger.begin(), debugger.end(), [](const std::string& line) {
                  return line.find("dismount executed status=0") != std::string::npos;
              }));
    // The next open mounts D: again.
    std::string notes;
    EXPECT_EQ(STATUS_SUCCESS, m->Shell().ReadFile("D:\\archive\\notes.txt", &notes));
    EXPECT_EQ("Notes kept on the second volume.", notes);
    EXPECT_EQ("", m->Shutdown());
}

}  // namespace
