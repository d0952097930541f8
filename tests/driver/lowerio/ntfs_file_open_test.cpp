// The file-open helpers on the platform's real file systems: a junction on a
// protected NTFS drive leading to another drive, directory emptiness, and a
// rename that replaces a file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/path_buffer.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/path_mapping.h"
#include "support/volume_fixture.h"

namespace {

using plat::native::File;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kDriveC = 2;
constexpr ULONG kDriveD = 3;

// Mount-point reparse data for a junction to `target` ("D:\t").
std::vector<uint8_t> JunctionData(const std::u16string& target) {
    return quilt_test::MountPointData(u"\\??\\" + target, target);
}

class NtfsFileOpenTest : public quilt_test::VolumeTest {
protected:
    void SetUp() override {
        VolumeTest::SetUp();
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
        DriveStateInitialize();
        PathBufferListInitialize();
    }

    void TearDown() override {
        PathBufferListDelete();
        VolumeTest::TearDown();
    }

    // Makes C: count as protected: a volume filter whose lower device is C:'s
    // file-system volume device, so that the driver's opens go there directly.
    void ProtectDriveC() {
        PDEVICE_OBJECT fileSystem = FileSystemDeviceOfDrive(kDriveC);
        ASSERT_NE(fileSystem, nullptr);
        filterContext_.LowerDevice = fileSystem;
        filter_.DeviceExtension = &filterContext_;
        g_Drives.VolumeFilters[kDriveC] = &filter_;
        g_Drives.ProtectedMask |= 1u << kDriveC;
    }

    PFILE_OBJECT Open(ULONG drive, const WCHAR* path, ULONG options, PBOOLEAN junction = nullptr) {
        status_ = {};
        return OpenLowerFileResolved(&handle_, FILE_READ_DATA | FILE_LIST_DIRECTORY | SYNCHRONIZE, drive, path,
                                     &status_, NULL, 0, kShareAll, FILE_OPEN, options | FILE_SYNCHRONOUS_IO_NONALERT,
                                     NULL, 0, NULL, 0, junction);
    }

    std::string ReadAll(PFILE_OBJECT file) {
        char buffer[64] = {};
        LARGE_INTEGER offset = {};
        IO_STATUS_BLOCK ioStatus = {};
        NTSTATUS status = LowerReadWithBuffer(IoGetRelatedDeviceObject(file), file, buffer, sizeof(buffer), &offset,
                                              NULL, &ioStatus);
        return NT_SUCCESS(status) ? std::string(buffer, ioStatus.Information) : std::string();
    }

    DEVICE_OBJECT filter_ = {};
    DeviceContext filterContext_ = {};
    HANDLE handle_ = nullptr;
    IO_STATUS_BLOCK status_ = {};
};

TEST_F(NtfsFileOpenTest, AJunctionToAnotherDriveIsFollowedBelowTheProtection) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\a"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"D:\\t"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"D:\\t\\b"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"D:\\t\\b\\c", "on drive D"), STATUS_SUCCESS);
    {
        File junction;
        ASSERT_EQ(quilt_test::OpenPath(u"C:\\a", &junction, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT),
                  STATUS_SUCCESS);
        std::vector<uint8_t> data = JunctionData(u"D:\\t");
        ASSERT_EQ(junction.FsControl(FSCTL_SET_REPARSE_POINT, data.data(), static_cast<ULONG>(data.size()), nullptr, 0),
                  STATUS_SUCCESS);
    }
    ProtectDriveC();

    BOOLEAN junction = FALSE;
    PFILE_OBJECT file = Open(kDriveC, L"\\a\\b\\c", FILE_NON_DIRECTORY_FILE, &junction);
    ASSERT_NE(file, nullptr) << std::hex << status_.Status;
    EXPECT_TRUE(junction);
    EXPECT_EQ(ReadAll(file), "on drive D");
    EXPECT_EQ(IoGetRelatedDeviceObject(file), FileSystemDeviceOfDrive(kDriveD));
    CloseLowerFile(file, handle_);
}

// The junction leads onto a protected drive: the rest of the path is walked
// through that drive's change store, and the open goes below its filter.
TEST_F(NtfsFileOpenTest, AJunctionOntoAProtectedDriveIsMappedThroughItsStore) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\a"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"D:\\t"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"D:\\t\\c", "original on D"), STATUS_SUCCESS);
    {
        File junction;
        ASSERT_EQ(quilt_test::OpenPath(u"C:\\a", &junction, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT),
                  STATUS_SUCCESS);
        std::vector<uint8_t> data = JunctionData(u"D:\\t");
        ASSERT_EQ(junction.FsControl(FSCTL_SET_REPARSE_POINT, data.data(), static_cast<ULONG>(data.size()), nullptr, 0),
                  STATUS_SUCCESS);
    }
    ProtectDriveC();
    // D: gets a volume filter with an empty change store.
    ExInitializeResourceLite(&g_Quilt.StoreLock);
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExInitializeResourceLite(&lock);
    DeviceContext volumeD = {};
    volumeD.DriveIndex = kDriveD;
    volumeD.LowerDevice = FileSystemDeviceOfDrive(kDriveD);
    ASSERT_TRUE(FileBlockInit(&volumeD));
    DEVICE_OBJECT filterD = {};
    filterD.DeviceExtension = &volumeD;
    g_Drives.VolumeFilters[kDriveD] = &filterD;
    g_Drives.ProtectedMask |= 1u << kDriveD;

    BOOLEAN junction = FALSE;
    PFILE_OBJECT file = Open(kDriveC, L"\\a\\c", FILE_NON_DIRECTORY_FILE, &junction);
    ASSERT_NE(file, nullptr) << std::hex << status_.Status;
    EXPECT_TRUE(junction);
    EXPECT_EQ(ReadAll(file), "original on D") << "an untracked name maps to itself";
    CloseLowerFile(file, handle_);

    FileBlockTearDown(&volumeD);
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExDeleteResourceLite(&lock);
    ExDeleteResourceLite(&g_Quilt.StoreLock);
}

TEST_F(NtfsFileOpenTest, WithoutJunctionNothingIsResolved) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\plain"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\plain\\x", "on drive C"), STATUS_SUCCESS);
    ProtectDriveC();
    BOOLEAN junction = TRUE;
    PFILE_OBJECT file = Open(kDriveC, L"\\plain\\x", FILE_NON_DIRECTORY_FILE, &junction);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(junction);
    EXPECT_EQ(ReadAll(file), "on drive C");
    CloseLowerFile(file, handle_);
    EXPECT_EQ(Open(kDriveC, L"\\plain\\missing\\y", FILE_NON_DIRECTORY_FILE, &junction), nullptr);
    EXPECT_EQ(status_.Status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(junction);
}

TEST_F(NtfsFileOpenTest, ADirectoryIsEmptyUntilItHoldsAName) {
    for (const char16_t* drive : {u"C:", u"D:"}) {
        std::u16string directory = std::u16string(drive) + u"\\e";
        ASSERT_EQ(plat::native::CreateDirectory(directory), STATUS_SUCCESS);
        ULONG driveIndex = drive[0] == u'C' ? kDriveC : kDriveD;
        PDEVICE_OBJECT device = FileSystemDeviceOfDrive(driveIndex);
        PFILE_OBJECT opened = Open(driveIndex, L"\\e", FILE_DIRECTORY_FILE);
        ASSERT_NE(opened, nullptr);
        EXPECT_TRUE(IsDirectoryEmpty(device, opened)) << "drive " << static_cast<char>(drive[0]);
        CloseLowerFile(opened, handle_);

        ASSERT_EQ(plat::native::WriteFile(directory + u"\\x", "x"), STATUS_SUCCESS);
        opened = Open(driveIndex, L"\\e", FILE_DIRECTORY_FILE);
        ASSERT_NE(opened, nullptr);
        EXPECT_FALSE(IsDirectoryEmpty(device, opened)) << "drive " << static_cast<char>(drive[0]);
        CloseLowerFile(opened, handle_);
    }
}

TEST_F(NtfsFileOpenTest, ARenameThroughTheVolumeReplacesTheTarget) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\dir"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\dir\\old", "the new content"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\dir\\new", "the replaced content"), STATUS_SUCCESS);
    PDEVICE_OBJECT device = FileSystemDeviceOfDrive(kDriveC);
    ASSERT_EQ(RenameThroughVolume(device, NULL, L"\\dir\\old", L"\\dir\\new", kDriveC), STATUS_SUCCESS);
    EXPECT_EQ(quilt_test::ReadText(u"C:\\dir\\new"), "the new content");
    File gone;
    EXPECT_EQ(quilt_test::OpenPath(u"C:\\dir\\old", &gone), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
