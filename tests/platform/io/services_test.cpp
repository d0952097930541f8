// The Zw file services that pass parameters to the file system: directory
// queries, security queries, byte-range locks, renames with a target
// directory, volume information, and what the I/O manager answers itself.
#include "io_world.h"

namespace iotest {
namespace {

using Journal = std::vector<std::string>;

class ServicesTest : public IoWorldTest {
protected:
    PDEVICE_OBJECT Disk = nullptr;
    HANDLE File = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        Disk = CreateDisk(L"Disk0", L"\\??\\T:");
        LoadFileSystem(L"TestFs");
        ASSERT_EQ(OpenKernel(L"\\??\\T:\\dir", GENERIC_ALL | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &File, nullptr,
                             FILE_OPEN_IF),
                  STATUS_SUCCESS);
        JournalClear();
    }

    void TearDown() override {
        if (File != nullptr) ZwClose(File);
        IoWorldTest::TearDown();
    }
};

TEST_F(ServicesTest, ADirectoryQueryCarriesACopyOfThePatternAndTheScanFlags) {
    alignas(8) UCHAR buffer[128] = {};
    UNICODE_STRING pattern;
    RtlInitUnicodeString(&pattern, L"*.txt");
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwQueryDirectoryFile(File, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                                   FileNamesInformation, TRUE, &pattern, TRUE),
              STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"query:*.txt:" + std::to_string(SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY)}));
    EXPECT_EQ(reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer)->FileName[0], L'x');
    EXPECT_EQ(iosb.Information, FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + sizeof(WCHAR));

    ASSERT_EQ(ZwQueryDirectoryFile(File, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                                   FileNamesInformation, FALSE, nullptr, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"query:(none):0"}));
    EXPECT_EQ(ZwQueryDirectoryFile(File, nullptr, nullptr, nullptr, &iosb, buffer, 8, FileNamesInformation, FALSE,
                                   nullptr, FALSE),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryDirectoryFile(File, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                                   FileBasicInformation, FALSE, nullptr, FALSE),
              STATUS_INVALID_INFO_CLASS);
}

TEST_F(ServicesTest, ASecurityQueryTooShortForTheDescriptorTellsTheLengthNeeded) {
    UCHAR buffer[64];
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySecurityObject(File, DACL_SECURITY_INFORMATION, buffer, 4, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    ASSERT_EQ(ZwQuerySecurityObject(File, DACL_SECURITY_INFORMATION, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(buffer)->Control, SE_SELF_RELATIVE);
}

TEST_F(ServicesTest, TheSecurityOfAKeyComesFromTheRegistry) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\REGISTRY\\MACHINE");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySecurityObject(key, DACL_SECURITY_INFORMATION, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(needed, sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    std::vector<UCHAR> descriptor(needed);
    EXPECT_EQ(ZwQuerySecurityObject(key, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed),
              STATUS_SUCCESS);
    EXPECT_TRUE(reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(descriptor.data())->Control & SE_DACL_PRESENT);
    ZwClose(key);
}

TEST_F(ServicesTest, LocksReachTheFileSystemAndAreReleasedBeforeCleanup) {
    LARGE_INTEGER offset, length;
    offset.QuadPart = 10;
    length.QuadPart = 5;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwLockFile(File, nullptr, nullptr, nullptr, &iosb, &offset, &length, 1, TRUE, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(ZwUnlockFile(File, &iosb, &offset, &length, 1), STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"lock:1:10:5:" + std::to_string(SL_FAIL_IMMEDIATELY | SL_EXCLUSIVE_LOCK),
                                      "lock:2:10:5:0"}));
    ZwClose(File);
    File = nullptr;
    EXPECT_EQ(JournalTake(), (Journal{"lock:3", "TestFs:cleanup:\\dir", "TestFs:close:\\dir"}));
}

TEST_F(ServicesTest, ARenameToAFullNameOpensItsTargetDirectoryAndHandsItOver) {
    HANDLE source = nullptr;
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\old", DELETE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &source, nullptr,
                         FILE_OPEN_IF),
              STATUS_SUCCESS);
    JournalClear();
    const WCHAR target[] = L"\\??\\T:\\dir\\new";
    alignas(8) UCHAR buffer[sizeof(FILE_RENAME_INFORMATION) + sizeof(target)] = {};
    auto* rename = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer);
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = sizeof(target) - sizeof(WCHAR);
    memcpy(rename->FileName, target, rename->FileNameLength);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwSetInformationFile(source, &iosb, buffer, sizeof(buffer), FileRenameInformation), STATUS_SUCCESS);
    EXPECT_TRUE(LastCreate().Flags & SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:create:\\dir\\new", "set:10:\\dir:1", "TestFs:cleanup:\\dir",
                                      "TestFs:close:\\dir"}));

    // A bare name renames within the directory: no target to open.
    const WCHAR bare[] = L"newer";
    rename->FileNameLength = sizeof(bare) - sizeof(WCHAR);
    rename->ReplaceIfExists = FALSE;
    memcpy(rename->FileName, bare, rename->FileNameLength);
    ASSERT_EQ(ZwSetInformationFile(source, &iosb, buffer, sizeof(buffer), FileRenameInformation), STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"set:10:none:0"}));
    ZwClose(source);
}

TEST_F(ServicesTest, VolumeInformationComesFromTheFileSystemExceptTheDevice) {
    FILE_FS_SIZE_INFORMATION size = {};
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwQueryVolumeInformationFile(File, &iosb, &size, sizeof(size), FileFsSizeInformation), STATUS_SUCCESS);
    EXPECT_EQ(size.AvailableAllocationUnits.QuadPart, 400);
    EXPECT_EQ(iosb.Information, sizeof(size));

    FILE_FS_DEVICE_INFORMATION device = {};
    ASSERT_EQ(ZwQueryVolumeInformationFile(File, &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(device.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
    EXPECT_TRUE(device.Characteristics & FILE_DEVICE_IS_MOUNTED);
    EXPECT_TRUE(JournalTake().empty());
    EXPECT_EQ(ZwSetVolumeInformationFile(File, &iosb, &size, sizeof(size), FileFsSizeInformation),
              STATUS_INVALID_INFO_CLASS);
}

}  // namespace
}  // namespace iotest
