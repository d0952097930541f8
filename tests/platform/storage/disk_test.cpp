// Disks and their storage devices: bus types and removable media as a
// driver queries them, write protection, failing mounts, the disk-file format.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <string.h>

namespace quilt_test {
namespace {

using plat::native::File;
using plat::storage::Disk;
using plat::storage::DiskConfig;

class DiskTest : public VolumeTest {
protected:
    // IOCTL_STORAGE_QUERY_PROPERTY for the adapter, as the driver sends it.
    NTSTATUS BusTypeOf(const char16_t* volume, ACCESS_MASK access, UCHAR* busType) {
        File f;
        NTSTATUS status = OpenPath(volume, &f, access, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        if (!NT_SUCCESS(status)) return status;
        plat::UserBuffer query(sizeof(STORAGE_PROPERTY_QUERY));
        query.As<STORAGE_PROPERTY_QUERY>()->PropertyId = StorageAdapterProperty;
        query.As<STORAGE_PROPERTY_QUERY>()->QueryType = PropertyStandardQuery;
        plat::UserBuffer out(sizeof(STORAGE_ADAPTER_DESCRIPTOR));
        IO_STATUS_BLOCK iosb{};
        status = NtDeviceIoControlFile(f.Handle(), nullptr, nullptr, nullptr, &iosb, IOCTL_STORAGE_QUERY_PROPERTY,
                                       query.Get(), 12, out.Get(), out.Size());
        if (!NT_SUCCESS(status)) return status;
        EXPECT_EQ(iosb.Information, 32u);
        *busType = out.As<uint8_t>()[24];
        return status;
    }

    std::shared_ptr<Disk> AttachDisk(WCHAR letter, STORAGE_BUS_TYPE bus, bool removable) {
        DiskConfig config;
        config.BusType = bus;
        config.Removable = removable;
        config.SizeBytes = 16ull << 20;
        std::shared_ptr<Disk> disk = Disk::Create(config);
        EXPECT_EQ(plat::storage::Attach(disk, letter), STATUS_SUCCESS);
        return disk;
    }
};

TEST_F(DiskTest, BusTypesAnswerTheStoragePropertyQuery) {
    AttachDisk(L'F', BusType1394, false);
    UCHAR bus = 0;
    ASSERT_EQ(BusTypeOf(u"C:", SYNCHRONIZE, &bus), STATUS_SUCCESS) << "a direct device open";
    EXPECT_EQ(bus, BusTypeAta);
    ASSERT_EQ(BusTypeOf(u"D:", SYNCHRONIZE, &bus), STATUS_SUCCESS);
    EXPECT_EQ(bus, BusTypeUsb);
    ASSERT_EQ(BusTypeOf(u"F:", GENERIC_READ | SYNCHRONIZE, &bus), STATUS_SUCCESS)
        << "through the mounted file system";
    EXPECT_EQ(bus, BusType1394);

    // The storage device says whether its media is removable.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\D:");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
    EXPECT_TRUE(file->DeviceObject->Characteristics & FILE_REMOVABLE_MEDIA);
    EXPECT_EQ(file->DeviceObject->DeviceType, ULONG(FILE_DEVICE_DISK));
    ObDereferenceObject(file);
    RtlInitUnicodeString(&name, L"\\??\\C:");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
    EXPECT_FALSE(file->DeviceObject->Characteristics & FILE_REMOVABLE_MEDIA);
    ObDereferenceObject(file);
}

TEST_F(DiskTest, UnknownPropertiesAndShortQueriesAreRefused) {
    File f;
    ASSERT_EQ(OpenPath(u"C:", &f, SYNCHRONIZE), STATUS_SUCCESS);
    plat::UserBuffer query(sizeof(STORAGE_PROPERTY_QUERY));
    plat::UserBuffer out(64);
    IO_STATUS_BLOCK iosb{};
    query.As<STORAGE_PROPERTY_QUERY>()->PropertyId = StorageDeviceUniqueIdProperty;
    EXPECT_EQ(NtDeviceIoControlFile(f.Handle(), nullptr, nullptr, nullptr, &iosb, IOCTL_STORAGE_QUERY_PROPERTY,
                                    query.Get(), 12, out.Get(), 64), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(NtDeviceIoControlFile(f.Handle(), nullptr, nullptr, nullptr, &iosb, IOCTL_STORAGE_QUERY_PROPERTY,
                                    query.Get(), 4, out.Get(), 64), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtDeviceIoControlFile(f.Handle(), nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_LENGTH_INFO,
                                    nullptr, 0, out.Get(), 64), STATUS_SUCCESS);
    EXPECT_EQ(out.As<GET_LENGTH_INFORMATION>()->Length.QuadPart, 64ll << 20);
}

TEST_F(DiskTest, AWriteProtectedDiskMountsReadOnly) {
    std::shared_ptr<Disk> disk = AttachDisk(L'W', BusTypeUsb, true);
    disk->SetWriteProtected(true);
    File f;
    ASSERT_EQ(OpenPath(u"W:", &f, SYNCHRONIZE), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtDeviceIoControlFile(f.Handle(), nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_IS_WRITABLE, nullptr, 0,
                                    nullptr, 0), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(plat::native::WriteFile(u"W:\\new.txt", "x"), STATUS_MEDIA_WRITE_PROTECTED);
    File root;
    EXPECT_EQ(OpenPath(u"W:\\", &root, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS) << "reading still works";
}

TEST_F(DiskTest, AFailingMountFailsTheOpen) {
    std::shared_ptr<Disk> disk = AttachDisk(L'X', BusTypeAta, false);
    disk->SetMountFailure(STATUS_UNRECOGNIZED_VOLUME);
    File f;
    EXPECT_EQ(OpenPath(u"X:\\", &f, SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_UNRECOGNIZED_VOLUME);
    disk->SetMountFailure(STATUS_SUCCESS);
    EXPECT_EQ(OpenPath(u"X:\\", &f, SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
}

TEST_F(DiskTest, AttachRefusesTakenLettersAndBadConfigurations) {
    DiskConfig config;
    std::shared_ptr<Disk> disk = Disk::Create(config);
    EXPECT_EQ(plat::storage::Attach(disk, L'C'), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(plat::storage::Attach(SystemDisk, L'Q'), STATUS_OBJECT_NAME_COLLISION) << "attached once per kernel";
    EXPECT_EQ(plat::storage::Attach(disk, L'1'), STATUS_INVALID_PARAMETER);
    config.SizeBytes = 1024;
    EXPECT_EQ(Disk::Create(config), nullptr);
    config.SizeBytes = 8ull << 20;
    config.ClusterSize = 3000;
    EXPECT_EQ(Disk::Create(config), nullptr);
}

TEST_F(DiskTest, ADetachedDiskCanComeBackUnderAnotherLetter) {
    std::shared_ptr<Disk> disk = AttachDisk(L'G', BusTypeUsb, true);
    ASSERT_EQ(plat::native::WriteFile(u"G:\\moved.txt", "still here"), STATUS_SUCCESS);
    {
        File volume;
        ASSERT_EQ(OpenPath(u"G:", &volume, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
        ASSERT_EQ(volume.FsControl(FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    }
    ASSERT_EQ(plat::storage::Detach(disk), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"G:\\moved.txt"), "<" + std::to_string(uint32_t(STATUS_OBJECT_PATH_NOT_FOUND)) + ">");
    ASSERT_EQ(plat::storage::Attach(disk, L'H'), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"H:\\moved.txt"), "still here");
}

TEST_F(DiskTest, ADiskFileWhoseVolumeIsDamagedIsRefused) {
    std::vector<uint8_t> bytes = SystemDisk->Serialize();
    // Damage the volume header but keep the file's checksum right.
    size_t headerStart = 8 + 4 + 4 + 1 + 8 + 4 + 1 + 1 + 8;
    bytes[headerStart] ^= 0xFF;
    uint64_t hash = 0xCBF29CE484222325ull;
    for (size_t i = 0; i + 8 < bytes.size(); ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001B3ull;
    }
    memcpy(bytes.data() + bytes.size() - 8, &hash, 8);
    std::shared_ptr<Disk> disk;
    std::string error;
    EXPECT_FALSE(Disk::Deserialize(bytes, &disk, &error));
    EXPECT_NE(error.find("no valid volume"), std::string::npos) << error;
}

}  // namespace
}  // namespace quilt_test
