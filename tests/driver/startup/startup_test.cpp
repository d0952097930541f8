// Volume start-up through whole boots: which volumes become protected, the
// work folder and its generations, the sibling's status codes, the check
// file and the failures that leave a volume (or the whole boot) unprotected.
#include <gtest/gtest.h>

#include <string.h>

#include "frame/driver_globals.h"
#include "frame/sibling_disk.h"
#include "frame/target_list.h"
#include "frame/volume_startup.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "startup_fixture.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/store_lock.h"
#include "support/quilt_driver_fixture.h"

namespace startup_test {
namespace {

using plat::native::File;
using quilt_test::OpenPath;

constexpr const char16_t* kWorkFolder = u"C:\\$~@&%.~~~";
constexpr ULONG kStartUpBits = 0x3F8;  // system and install drive mounted ... system drive's start-up finished

size_t Count(const std::string& Text, const std::string& Part) {
    size_t count = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++count;
    return count;
}

std::string Numbers(ULONG Generation, ULONG Backup) {
    ULONG numbers[2] = {Generation, Backup};
    return std::string(reinterpret_cast<const char*>(numbers), sizeof(numbers));
}

// The flags of a name at the volume root in name table 1; -1 when untracked.
int RootNameFlags(DeviceContext* Volume, PCWSTR Name) {
    StoreLockScope lock;
    BLOCK_ADDRESS record = FileStateLookup(Volume, FileStateGetTable(Volume, STORE_TABLE_VOLUME_PATHS), Name);
    auto* state = StoreRecord<FileStateRecord>(Volume, record, STORE_MAGIC_FILE_STATE);
    return state != nullptr ? state->Flags : -1;
}

// Writes E:\big.bin so that about a twentieth of the volume stays free.
void FillUntilFivePercentFree(const std::u16string& Root) {
    File root;
    FILE_FS_SIZE_INFORMATION size = {};
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(Root.c_str(), &root, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    IO_STATUS_BLOCK ioStatus = {};
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryVolumeInformationFile(root.Handle(), &ioStatus, &size, sizeof(size), FileFsSizeInformation));
    LONGLONG unit = size.SectorsPerAllocationUnit * size.BytesPerSector;
    LONGLONG units = size.AvailableAllocationUnits.QuadPart - size.TotalAllocationUnits.QuadPart / 20;
    ASSERT_GT(units, 0);
    ASSERT_EQ(STATUS_SUCCESS, plat::native::WriteFile(Root + u"big.bin", std::string(units * unit, 'x')));
}

bool ControlLinkExists() {
    UNICODE_STRING name = quilt_test::MakeUnicode(L"\\??\\quilt");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device))) return false;
    ObDereferenceObject(file);
    return device == g_Quilt.ControlDevice;
}

TEST_F(StartupTest, FirstBootProtectsTheSystemDriveAndRecordsEveryMilestone) {
    Boot();
    ASSERT_TRUE(Protected(kDriveC));
    EXPECT_TRUE(Protected(kDriveD));
    EXPECT_EQ(kStartUpBits, g_Quilt.StatusWord & kStartUpBits);
    EXPECT_EQ((std::vector<UCHAR>{0x80, 0x90, 0xA0, 0xB0, 0xC0}), Sectors.StatusCodeHistory());
    EXPECT_EQ((1u << kDriveC) | (1u << kDriveD), g_Drives.ConfiguredMask);
    EXPECT_TRUE(g_Drives.SystemDriveDone && g_Drives.InstallDriveDone);
    EXPECT_TRUE(ControlLinkExists());

    const ULONG hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    EXPECT_EQ(hiddenSystem, Attributes(kWorkFolder) & hiddenSystem);
    EXPECT_EQ(1u, Volume(kDriveC)->Generation);
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\1"));
    EXPECT_EQ(Numbers(1, 0), Read(u"C:\\$~@&%.~~~\\current"));
    EXPECT_EQ(FILE_STATE_HIDDEN, RootNameFlags(Volume(kDriveC), L"$~@&%.~~~"));
    EXPECT_EQ(1, Volume(kDriveC)->CheckFileTargetCount);

    // The check-file change test compares against the loaded file's time.
    File checkFile;
    FILE_BASIC_INFORMATION basic = {};
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(u"C:\\Quilt\\INI\\check.txt", &checkFile));
    ASSERT_EQ(STATUS_SUCCESS, checkFile.Query(FileBasicInformation, &basic));
    EXPECT_EQ(basic.LastWriteTime.QuadPart, g_Drives.CheckFileLastWriteTime.QuadPart);
}

TEST_F(StartupTest, VolumeDeviceOpensReachTheFileSystemBelowTheProtection) {
    Boot();
    PDEVICE_OBJECT device = g_Drives.VolumeDevices[kDriveC];
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(DEVICE_KIND_VOLUME_DEVICE, DeviceContextOf(device)->Kind);
    EXPECT_EQ(nullptr, device->Vpb);
    EXPECT_EQ(Volume(kDriveC)->LowerDevice, DeviceContextOf(device)->LowerDevice);

    std::string text;
    ASSERT_EQ(STATUS_SUCCESS, plat::native::ReadFile(u"\\Device\\quiltC\\Quilt\\INI\\check.txt", &text));
    EXPECT_EQ(CheckFileText({"1C:\\", "1D:\\"}), text);

    // An open by file ID goes through the volume device with its marker.
    File checkFile;
    FILE_INTERNAL_INFORMATION internal = {};
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(u"C:\\Quilt\\INI\\check.txt", &checkFile));
    ASSERT_EQ(STATUS_SUCCESS, checkFile.Query(FileInternalInformation, &internal));
    LowerFileId id = {8, {}};
    memcpy(id.Id, &internal.IndexNumber, 8);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT byId = OpenLowerFile(&handle, FILE_GENERIC_READ, kDriveC, reinterpret_cast<PCWSTR>(&id), &ioStatus,
                                      nullptr, 0, FILE_SHARE_READ, FILE_OPEN, FILE_OPEN_BY_FILE_ID, nullptr, 0,
                                      nullptr, 0);
    ASSERT_NE(nullptr, byId) << std::hex << ioStatus.Status;
    std::vector<UCHAR> name(1024);
    ASSERT_EQ(STATUS_SUCCESS, LowerQueryInformation(Volume(kDriveC)->LowerDevice, byId, name.data(),
                                                    static_cast<ULONG>(name.size()), FileNameInformation));
    auto* information = reinterpret_cast<PFILE_NAME_INFORMATION>(name.data());
    EXPECT_EQ(u"\\Quilt\\INI\\check.txt",
              std::u16string(reinterpret_cast<const char16_t*>(information->FileName), information->FileNameLength / 2));
    CloseLowerFile(byId, handle);
}

TEST_F(StartupTest, EveryBootStartsAGenerationAndDeletesThePreviousOnesAfterTheDelay) {
    Boot();
    WriteRaw(u"C:\\$~@&%.~~~\\1\\copy.txt", "changed");
    Boot();
    EXPECT_EQ(2u, Volume(kDriveC)->Generation);
    EXPECT_EQ(Numbers(2, 0), Read(u"C:\\$~@&%.~~~\\current"));
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\1\\copy.txt"));  // kept until DeleteStartDelay has passed
    EXPECT_EQ(DELETION_STATE_PENDING, g_Drives.DeletionState);

    RunDeletions();
    EXPECT_FALSE(Exists(u"C:\\$~@&%.~~~\\1"));
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\2"));
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\current"));
    EXPECT_EQ(0u, g_Drives.DeletionPendingMask);
    EXPECT_EQ(DELETION_STATE_DONE, g_Drives.DeletionState);
    std::string debugger = quilt_test::DebuggerLines();
    EXPECT_NE(std::string::npos, debugger.find("Deleting work folder for C: started.\n"));
    EXPECT_NE(std::string::npos, debugger.find("Deleting work folder for D: finished.\n"));
}

TEST_F(StartupTest, GenerationNumbersAreHexadecimal) {
    MakeDirectory(kWorkFolder);
    for (const char16_t* number : {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"a"}) {
        MakeDirectory(std::u16string(kWorkFolder) + u"\\" + number);
    }
    Boot();
    EXPECT_EQ(0xBu, Volume(kDriveC)->Generation);
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\b"));
    EXPECT_EQ(Numbers(0xB, 0), Read(u"C:\\$~@&%.~~~\\current"));
}

TEST_F(StartupTest, VolumeShortOfSpaceDeletesItsPreviousGenerationsDuringSetUp) {
    AddDisk('E', plat::fs::FsKind::Ntfs, BusTypeAta, 8ull << 20);
    FillUntilFivePercentFree(u"E:\\");
    MakeDirectory(u"E:\\$~@&%.~~~");
    MakeDirectory(u"E:\\$~@&%.~~~\\1");
    WriteRaw(u"E:\\$~@&%.~~~\\1\\old.txt", "old");
    WriteCheckFile({"1C:\\", "1E:\\"});
    Boot();
    ASSERT_TRUE(Protected(kDriveE));
    EXPECT_FALSE(Exists(u"E:\\$~@&%.~~~\\1\\old.txt"));
    EXPECT_EQ(1u, Volume(kDriveE)->Generation);  // the numbering begins anew
    EXPECT_EQ(3u, g_Quilt.Config.DeleteStartDelay);
}

TEST_F(StartupTest, NtfsWorkFolderGetsAnInheritableDaclAndItsJunctionsAreMarked) {
    MakeDirectory(u"C:\\target");
    MakeJunction(u"C:\\link", u"C:\\target");
    Boot();
    EXPECT_EQ(FILE_STATE_JUNCTION, RootNameFlags(Volume(kDriveC), L"link") & FILE_STATE_JUNCTION);
    EXPECT_EQ(-1, RootNameFlags(Volume(kDriveC), L"target"));
    EXPECT_TRUE(Volume(kDriveC)->Ntfs);
    EXPECT_FALSE(Volume(kDriveD)->Ntfs);  // FAT: no DACL, no reparse points
    EXPECT_TRUE(Protected(kDriveD));

    File folder;
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(kWorkFolder, &folder, READ_CONTROL | SYNCHRONIZE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    std::vector<UCHAR> descriptor(1024);
    ULONG needed = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQuerySecurityObject(folder.Handle(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                                    static_cast<ULONG>(descriptor.size()), &needed));
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(descriptor.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    ULONG world[4] = {};
    RtlInitializeSid(world, &worldAuthority, 1);
    bool inheritedByAll = false;
    for (ULONG index = 0; index < dacl->AceCount; ++index) {
        PACCESS_ALLOWED_ACE ace = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, RtlGetAce(dacl, index, reinterpret_cast<PVOID*>(&ace)));
        EXPECT_TRUE(RtlEqualSid(&ace->SidStart, world)) << "only Everyone is named";
        const UCHAR both = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        if ((ace->Header.AceFlags & both) == both) inheritedByAll = true;
    }
    EXPECT_TRUE(inheritedByAll);
}

TEST_F(StartupTest, UsbDiskIsAttachedOnlyWithUsbDiskSupport) {
    AddDisk('E', plat::fs::FsKind::Ntfs, BusTypeUsb);
    WriteCheckFile({"1C:\\", "1E:\\"});
    Boot();
    EXPECT_EQ(nullptr, Volume(kDriveE));
    EXPECT_FALSE(Protected(kDriveE));

    Parameters[u"USBDiskSupport"] = 1;
    Boot();
    EXPECT_TRUE(Protected(kDriveE));
}

TEST_F(StartupTest, DriveAIsNeverProtected) {
    AddDisk('A', plat::fs::FsKind::Fat);
    WriteCheckFile({"1A:\\", "1C:\\"});
    Boot();
    EXPECT_EQ(nullptr, Volume(kDriveA));
    EXPECT_FALSE(Protected(kDriveA));
    EXPECT_TRUE(Protected(kDriveC));
}

TEST_F(StartupTest, LowerCaseDriveLinesProtectTheirDriveWithItsTargets) {
    WriteCheckFile({"1c:\\data", "1d:\\"});
    Boot();
    EXPECT_TRUE(Protected(kDriveC));
    EXPECT_TRUE(Protected(kDriveD));
    EXPECT_EQ(1, Volume(kDriveC)->CheckFileTargetCount);
    ASSERT_NE(nullptr, Volume(kDriveC)->CheckFileTargets);
    EXPECT_NE(nullptr, IsTargetLocked(Volume(kDriveC)->CheckFileTargets, L"\\data\\x.txt"));
}

class UnusableCheckFileTest : public StartupTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(UnusableCheckFileTest, LeavesTheInstallDriveUnprotectedAndEndsEveryStartUp) {
    WriteRaw(u"C:\\Quilt\\INI\\check.txt", GetParam());
    MakeDirectory(kWorkFolder);
    MakeDirectory(u"C:\\$~@&%.~~~\\1");
    Boot();
    EXPECT_FALSE(Protected(kDriveC));
    EXPECT_FALSE(Protected(kDriveD));
    EXPECT_FALSE(Exists(kWorkFolder));
    EXPECT_FALSE(ControlLinkExists());
    for (ULONG drive : {kDriveC, kDriveD}) {
        ASSERT_NE(nullptr, Volume(drive));
        EXPECT_NE(0, KeReadStateEvent(&Volume(drive)->StartupDone)) << "drive " << drive;
        EXPECT_EQ(0, Volume(drive)->Serving);
    }
    EXPECT_EQ((std::vector<UCHAR>{0x80, 0xC0}), Sectors.StatusCodeHistory());
}

INSTANTIATE_TEST_SUITE_P(CheckFiles, UnusableCheckFileTest,
                         ::testing::Values(std::string("1\0C\0:\0\\\0\r\0\n\0", 12), std::string("\xFF", 1)));

TEST_F(StartupTest, MissingSiblingDisablesProtectionForTheBoot) {
    SiblingMissing = true;
    Boot();
    EXPECT_EQ(LAST_SHUTDOWN_CHECK_FAILED, g_Drives.LastShutdownCheck);
    EXPECT_EQ(0, g_Drives.ProtectionEnabled);
    EXPECT_EQ(0u, g_Drives.ConfiguredMask);
    EXPECT_FALSE(Protected(kDriveC));
    EXPECT_FALSE(Protected(kDriveD));
    EXPECT_NE(0, KeReadStateEvent(&Volume(kDriveD)->StartupDone));
}

TEST_F(StartupTest, DamagedSiblingDiskDisablesProtectionWithoutWritingIt) {
    Sectors.Poke(pleat::kMarkerSector, pleat::kMarkerTextOffset, 'X');
    Boot();
    EXPECT_EQ(0, g_Drives.ProtectionEnabled);
    EXPECT_FALSE(Protected(kDriveC));
    EXPECT_TRUE(Sectors.StatusCodeHistory().empty());
}

TEST_F(StartupTest, MarkerFileIsConsumedAndAnUncleanEndIsLoggedAtTheNextStart) {
    WriteRaw(u"C:\\Quilt\\INI\\$-MkFile.flg", "");
    Boot();
    EXPECT_EQ(1, g_Drives.MarkerFound);
    EXPECT_FALSE(Exists(u"C:\\Quilt\\INI\\$-MkFile.flg"));
    EXPECT_EQ(0u, Count(Log(), "Computer terminated abnormally"));
    TIME_FIELDS start;
    RtlTimeToTimeFields(&g_Quilt.LoadLocalTime, &start);
    ULONG year = *Sectors.Peek(pleat::kDefaultStatusSector, pleat::kStatusStartTimeOffset) |
                 *Sectors.Peek(pleat::kDefaultStatusSector, pleat::kStatusStartTimeOffset + 1) << 8;
    EXPECT_EQ(static_cast<ULONG>(start.Year), year);

    Crash();  // the status sector keeps 0xC0, the last code of the start-up
    Boot();
    EXPECT_EQ(1u, Count(Log(), "Computer terminated abnormally last time. status=c0"));
    Boot();  // after a clean shutdown
    EXPECT_EQ(1u, Count(Log(), "Computer terminated abnormally"));
}

TEST_F(StartupTest, WriteProtectedVolumeEndsItsStartUpAtOnce) {
    Disks['D']->SetWriteProtected(true);
    Boot();
    EXPECT_TRUE(Protected(kDriveC));
    EXPECT_FALSE(Protected(kDriveD));
    EXPECT_NE(0, KeReadStateEvent(&Volume(kDriveD)->StartupDone));
    EXPECT_EQ(1u, Count(Log(), "Create work folder failed! Drive:D status:c00000a2"));
}

// Holds the drive's work folder open without sharing, as another program
// might while the start-up wants it.
File HoldWorkFolder(const std::u16string& Folder) {
    File folder;
    EXPECT_EQ(STATUS_SUCCESS, OpenPath(Folder.c_str(), &folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, 0));
    return folder;
}

TEST_F(StartupTest, WorkFolderHeldByAnotherOpenIsRetriedUntilItIsFree) {
    MakeDirectory(kWorkFolder);
    WantGate = false;
    Boot();
    File held = HoldWorkFolder(kWorkFolder);
    OpenGate();
    const std::string failure = "Create work folder failed! Drive:C status:c0000043";
    ASSERT_TRUE(StepUntil(kDriveC, [&] { return Count(Log(), failure) != 0; }));
    for (int step = 0; step < 10; ++step) StepUntil(kDriveC, [] { return false; }, 1);  // more attempts fail
    EXPECT_FALSE(Protected(kDriveC));
    held.Close();
    ASSERT_TRUE(StepUntil(kDriveC, [&] { return Protected(kDriveC); }));
    WaitForSetUps();
    EXPECT_EQ(1u, Count(Log(), failure));  // the first failure only
}

TEST_F(StartupTest, WorkFolderThatStaysUnavailableEndsTheStartUpAfterAThousandAttempts) {
    MakeDirectory(u"D:\\$~@&%.~~~");
    WantGate = false;
    Boot();
    File held = HoldWorkFolder(u"D:\\$~@&%.~~~");
    OpenGate();
    ASSERT_TRUE(StepUntil(kDriveD, [&] { return KeReadStateEvent(&Volume(kDriveD)->StartupDone) != 0; }));
    EXPECT_FALSE(Protected(kDriveD));
    WaitForSetUps();
    EXPECT_TRUE(Protected(kDriveC));
    EXPECT_EQ(2u, Count(Log(), "Create work folder failed! Drive:D status:c0000043"));  // the first and the last
}

TEST_F(StartupTest, VolumesOutsideTheCheckFileAreAttachedOnlyBeforeItIsLoaded) {
    WriteCheckFile({"1C:\\"});
    Boot();
    ASSERT_NE(nullptr, Volume(kDriveD));  // mounted before the check file was read: attached, not protected
    EXPECT_FALSE(Protected(kDriveD));
    EXPECT_NE(0, KeReadStateEvent(&Volume(kDriveD)->StartupDone));

    AddDisk('E', plat::fs::FsKind::Ntfs);
    Mount('E');
    EXPECT_EQ(nullptr, Volume(kDriveE));
}

TEST_F(StartupTest, TearDownReleasesTheVolumeAndMayRunTwice) {
    Boot();
    PDEVICE_OBJECT filter = g_Drives.VolumeFilters[kDriveD];
    ASSERT_NE(nullptr, filter);
    DeviceContext* volume = DeviceContextOf(filter);
    TearDownVolume(filter);
    EXPECT_FALSE(Protected(kDriveD));
    EXPECT_EQ(nullptr, g_Drives.VolumeFilters[kDriveD]);
    EXPECT_EQ(nullptr, g_Drives.VolumeDevices[kDriveD]);
    EXPECT_EQ(nullptr, volume->BlockDescriptors);
    EXPECT_EQ(nullptr, volume->WorkFolderFile);
    EXPECT_EQ(nullptr, volume->CheckFileTargets);
    EXPECT_FALSE(Exists(u"\\Device\\quiltD\\"));
    TearDownVolume(filter);
    EXPECT_TRUE(Protected(kDriveC));  // the other volume is untouched
}

TEST_F(StartupTest, ThreadsWaitingForTheGateEndWithTheDriver) {
    WantGate = false;
    Boot();
    ASSERT_NE(nullptr, Volume(kDriveC));
    EXPECT_EQ(0, KeReadStateEvent(&Volume(kDriveC)->StartupDone));
    EXPECT_FALSE(Protected(kDriveC));
    // TearDown unloads the driver; the kernel then ends without a thread left.
}

}  // namespace
}  // namespace startup_test
