// The FAT recogniser: it stands in for FAT until the first FAT volume mounts,
// then loads FAT, leaves the list of file systems and goes away.
#include "support/kernel_fixture.h"

#include "fs/fs.h"
#include "fs/win32_paths.h"
#include "io/io_internal.h"
#include "storage/storage.h"

namespace quilt_test {
namespace {

class RecognizerTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(plat::fs::LoadFileSystems(plat::fs::FatLoading::ThroughRecognizer), STATUS_SUCCESS);
        recognizer_ = DeviceNamed(L"\\FatDiskRecognizer");
        ASSERT_NE(recognizer_, nullptr);
        EXPECT_EQ(recognizer_->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK_FILE_SYSTEM));
        EXPECT_TRUE(recognizer_->Flags & DO_LOW_PRIORITY_FILESYSTEM);
        EXPECT_FALSE(Loaded(L"\\Fat")) << "FAT waits for its first volume";
    }

    void TearDown() override {
        ObDereferenceObject(recognizer_);
        KernelTest::TearDown();
    }

    // The device of that name, referenced, or null.
    static PDEVICE_OBJECT DeviceNamed(PCWSTR name) {
        UNICODE_STRING text = MakeUnicode(name);
        PVOID object = nullptr;
        NTSTATUS status = plat::ObReferenceObjectByNameEx(&text, nullptr, OBJ_CASE_INSENSITIVE, &plat::IoDeviceType,
                                                          KernelMode, 0, nullptr, &object);
        return NT_SUCCESS(status) ? static_cast<PDEVICE_OBJECT>(object) : nullptr;
    }

    static bool Loaded(PCWSTR name) {
        PDEVICE_OBJECT device = DeviceNamed(name);
        if (device != nullptr) ObDereferenceObject(device);
        return device != nullptr;
    }

    static std::shared_ptr<plat::storage::Disk> AttachDisk(plat::fs::FsKind kind, WCHAR letter) {
        plat::storage::DiskConfig config;
        config.FileSystem = kind;
        config.SizeBytes = 32ull << 20;
        std::shared_ptr<plat::storage::Disk> disk = plat::storage::Disk::Create(config);
        EXPECT_EQ(plat::storage::Attach(disk, letter), STATUS_SUCCESS);
        return disk;
    }

    PDEVICE_OBJECT recognizer_ = nullptr;  // the test's reference
};

TEST_F(RecognizerTest, AFatDiskMountsThroughTheRecognizerWhichThenGoesAway) {
    std::shared_ptr<plat::storage::Disk> disk = AttachDisk(plat::fs::FsKind::Fat, L'E');
    ASSERT_EQ(plat::native::WriteFile(u"E:\\note.txt", "on fat"), STATUS_SUCCESS);
    EXPECT_TRUE(Loaded(L"\\Fat"));
    EXPECT_FALSE(Loaded(L"\\FatDiskRecognizer")) << "its name went with the deletion";
    EXPECT_EQ(recognizer_->DriverObject->DeviceObject, nullptr);
    EXPECT_EQ(plat::ObGetReferenceCount(recognizer_), 1) << "unregistered: only the test's reference is left";
}

TEST_F(RecognizerTest, OtherVolumesAreLeftToTheOtherFileSystems) {
    std::shared_ptr<plat::storage::Disk> ntfs = AttachDisk(plat::fs::FsKind::Ntfs, L'E');
    ntfs->SetMountFailure(STATUS_UNRECOGNIZED_VOLUME);
    plat::native::File root;
    EXPECT_EQ(plat::native::File::Open(u"E:\\", plat::native::OpenOptions(), &root), STATUS_UNRECOGNIZED_VOLUME)
        << "NTFS does not take it and the recogniser does not want it";
    ntfs->SetMountFailure(STATUS_SUCCESS);
    EXPECT_EQ(plat::native::CreateDirectory(u"E:\\dir"), STATUS_SUCCESS);
    EXPECT_FALSE(Loaded(L"\\Fat"));
    EXPECT_EQ(recognizer_->DriverObject->DeviceObject, recognizer_) << "the recogniser stays";
}

}  // namespace
}  // namespace quilt_test
