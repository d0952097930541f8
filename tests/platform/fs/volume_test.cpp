// Volume information, labels, dismount, and what FAT refuses.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <string.h>

namespace quilt_test {
namespace {

using plat::native::File;

class VolumeInfoTest : public VolumeTest {
protected:
    NTSTATUS QueryVolume(const char16_t* path, FS_INFORMATION_CLASS cls, ULONG length, std::vector<uint8_t>* out,
                         ULONG_PTR* information = nullptr) {
        File f;
        NTSTATUS status = OpenPath(path, &f, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
        if (!NT_SUCCESS(status)) return status;
        plat::UserBuffer buffer(length);
        IO_STATUS_BLOCK iosb{};
        status = NtQueryVolumeInformationFile(f.Handle(), &iosb, buffer.Get(), length, cls);
        out->assign(buffer.As<uint8_t>(), buffer.As<uint8_t>() + length);
        if (information) *information = iosb.Information;
        return status;
    }

    NTSTATUS SetLabel(const char16_t* volume, const std::u16string& label) {
        File f;
        NTSTATUS status = OpenPath(volume, &f, GENERIC_WRITE | SYNCHRONIZE);
        if (!NT_SUCCESS(status)) return status;
        ULONG length = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel) + ULONG(label.size() * 2);
        plat::UserBuffer buffer(length);
        auto* info = buffer.As<FILE_FS_LABEL_INFORMATION>();
        info->VolumeLabelLength = ULONG(label.size() * 2);
        memcpy(info->VolumeLabel, label.data(), label.size() * 2);
        IO_STATUS_BLOCK iosb{};
        return NtSetVolumeInformationFile(f.Handle(), &iosb, buffer.Get(), length, FileFsLabelInformation);
    }

    std::u16string Label(const char16_t* path) {
        std::vector<uint8_t> out;
        EXPECT_EQ(QueryVolume(path, FileFsVolumeInformation, 200, &out), STATUS_SUCCESS);
        auto* info = reinterpret_cast<const FILE_FS_VOLUME_INFORMATION*>(out.data());
        return std::u16string(reinterpret_cast<const char16_t*>(info->VolumeLabel), info->VolumeLabelLength / 2);
    }
};

TEST_F(VolumeInfoTest, AttributesNameTheFileSystems) {
    std::vector<uint8_t> out;
    ASSERT_EQ(QueryVolume(u"C:\\", FileFsAttributeInformation, 34, &out), STATUS_SUCCESS)
        << "a 34-byte query fits NTFS";
    auto* ntfs = reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(out.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ntfs->FileSystemName), ntfs->FileSystemNameLength / 2),
              u"NTFS");
    EXPECT_TRUE(ntfs->FileSystemAttributes & FILE_SUPPORTS_REPARSE_POINTS);
    EXPECT_TRUE(ntfs->FileSystemAttributes & FILE_NAMED_STREAMS);
    EXPECT_EQ(ntfs->MaximumComponentNameLength, 255);
    ASSERT_EQ(QueryVolume(u"D:\\", FileFsAttributeInformation, 64, &out), STATUS_SUCCESS);
    auto* fat = reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(out.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(fat->FileSystemName), fat->FileSystemNameLength / 2),
              u"FAT32");
    EXPECT_FALSE(fat->FileSystemAttributes & FILE_PERSISTENT_ACLS);
    ULONG_PTR information = 0;
    const ULONG small = sizeof(FILE_FS_ATTRIBUTE_INFORMATION);
    EXPECT_EQ(QueryVolume(u"D:\\", FileFsAttributeInformation, small, &out, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, small);
}

TEST_F(VolumeInfoTest, LabelsFollowEachFileSystemsLimit) {
    EXPECT_EQ(Label(u"C:\\"), u"SYSTEM");
    EXPECT_EQ(SetLabel(u"C:", u"A label of exactly thirty-two ch"), STATUS_SUCCESS);
    EXPECT_EQ(Label(u"C:\\"), u"A label of exactly thirty-two ch");
    EXPECT_EQ(SetLabel(u"C:", u"A label of thirty-three character"), STATUS_INVALID_VOLUME_LABEL);
    EXPECT_EQ(SetLabel(u"D:", u"twelve chars"), STATUS_INVALID_VOLUME_LABEL);
    EXPECT_EQ(SetLabel(u"D:", u"usb stick"), STATUS_SUCCESS);
    EXPECT_EQ(Label(u"D:\\"), u"USB STICK") << "FAT keeps labels in upper case";
    // A label that does not fit comes back cut, with the length needed.
    std::vector<uint8_t> out;
    ULONG_PTR information = 0;
    const ULONG small = sizeof(FILE_FS_VOLUME_INFORMATION);
    EXPECT_EQ(QueryVolume(u"D:\\", FileFsVolumeInformation, small, &out, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<const FILE_FS_VOLUME_INFORMATION*>(out.data())->VolumeLabelLength, 18u);
    EXPECT_EQ(information, small);
}

TEST_F(VolumeInfoTest, SizesAndDevices) {
    std::vector<uint8_t> out;
    ASSERT_EQ(QueryVolume(u"C:\\", FileFsSizeInformation, sizeof(FILE_FS_SIZE_INFORMATION), &out), STATUS_SUCCESS);
    auto before = *reinterpret_cast<const FILE_FS_SIZE_INFORMATION*>(out.data());
    EXPECT_EQ(before.TotalAllocationUnits.QuadPart, (64ll << 20) / 4096);
    EXPECT_EQ(before.SectorsPerAllocationUnit * before.BytesPerSector, 4096u);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\grow", std::string(10000, 'g')), STATUS_SUCCESS);
    ASSERT_EQ(QueryVolume(u"C:\\", FileFsSizeInformation, sizeof(FILE_FS_SIZE_INFORMATION), &out), STATUS_SUCCESS);
    auto after = *reinterpret_cast<const FILE_FS_SIZE_INFORMATION*>(out.data());
    EXPECT_EQ(before.AvailableAllocationUnits.QuadPart - after.AvailableAllocationUnits.QuadPart, 3);
    ASSERT_EQ(QueryVolume(u"D:\\", FileFsDeviceInformation, sizeof(FILE_FS_DEVICE_INFORMATION), &out), STATUS_SUCCESS);
    auto* device = reinterpret_cast<const FILE_FS_DEVICE_INFORMATION*>(out.data());
    EXPECT_TRUE(device->Characteristics & FILE_REMOVABLE_MEDIA);
}

TEST_F(VolumeInfoTest, ADiskFullStopsWrites) {
    File f;
    ASSERT_EQ(OpenPath(u"D:\\huge", &f, GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION eof;
    eof.EndOfFile.QuadPart = 1ll << 30;
    EXPECT_EQ(f.Set(FileEndOfFileInformation, &eof, sizeof(eof)), STATUS_DISK_FULL);
    plat::native::OpenOptions big;
    big.Access = GENERIC_WRITE | SYNCHRONIZE;
    big.Disposition = FILE_CREATE;
    big.AllocationSize = 1ll << 30;
    File g;
    EXPECT_EQ(File::Open(u"C:\\huge", big, &g), STATUS_DISK_FULL);
}

TEST_F(VolumeInfoTest, DismountEndsTheVolumesOpensAndTheNextOpenMountsAgain) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\kept.txt", "kept"), STATUS_SUCCESS);
    File file;
    ASSERT_EQ(OpenPath(u"C:\\kept.txt", &file), STATUS_SUCCESS);
    File volume;
    ASSERT_EQ(OpenPath(u"C:", &volume, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(volume.FsControl(FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    std::string text;
    EXPECT_EQ(file.ReadAll(&text), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(ReadText(u"C:\\kept.txt"), "kept") << "mounted again, with what was flushed";
    file.Close();
    volume.Close();
    EXPECT_EQ(ReadText(u"C:\\kept.txt"), "kept");
}

TEST_F(VolumeInfoTest, FatRefusesWhatFatCannotDo) {
    ASSERT_EQ(plat::native::WriteFile(u"D:\\file.txt", "f"), STATUS_SUCCESS);
    EXPECT_EQ(plat::native::WriteFile(u"D:\\file.txt:stream", "s"), STATUS_OBJECT_NAME_INVALID);
    File f;
    ASSERT_EQ(OpenPath(u"D:\\file.txt", &f, GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC | SYNCHRONIZE),
              STATUS_SUCCESS);
    EXPECT_EQ(f.Link(u"D:\\link.txt", false), STATUS_INVALID_DEVICE_REQUEST);
    std::vector<uint8_t> out;
    EXPECT_EQ(f.FsControl(FSCTL_CREATE_OR_GET_OBJECT_ID, nullptr, 0, &out, sizeof(FILE_OBJECTID_BUFFER)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(f.FsControl(FSCTL_GET_REPARSE_POINT, nullptr, 0, &out, 1024), STATUS_INVALID_DEVICE_REQUEST);
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    EXPECT_EQ(f.FsControl(FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(f.Query(FileStreamInformation, 256, &out), STATUS_INVALID_PARAMETER);
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySecurityObject(f.Handle(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed),
              STATUS_INVALID_DEVICE_REQUEST);
    // File indexes follow the directory entry, so a rename changes them.
    FILE_INTERNAL_INFORMATION before, after;
    ASSERT_EQ(f.Query(FileInternalInformation, &before), STATUS_SUCCESS);
    f.Close();
    File mover;
    ASSERT_EQ(OpenPath(u"D:\\file.txt", &mover, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(mover.Rename(u"renamed.txt", false), STATUS_SUCCESS);
    ASSERT_EQ(mover.Query(FileInternalInformation, &after), STATUS_SUCCESS);
    EXPECT_NE(before.IndexNumber.QuadPart, after.IndexNumber.QuadPart);
    // EAs at create and opens by ID are NTFS's.
    UCHAR ea[16] = {};
    auto* entry = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea);
    entry->EaNameLength = 1;
    entry->EaValueLength = 1;
    memcpy(entry->EaName, "A\0x", 3);
    plat::native::OpenOptions withEa;
    withEa.Access = GENERIC_WRITE | SYNCHRONIZE;
    withEa.Disposition = FILE_CREATE;
    withEa.Ea = ea;
    withEa.EaLength = 11;
    File g;
    EXPECT_EQ(File::Open(u"D:\\with-ea", withEa, &g), STATUS_EAS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace quilt_test
