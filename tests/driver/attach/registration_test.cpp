// Attachment devices above the file systems' control devices: which file
// systems get one, how they go at unregistration, when the device below is
// deleted, and when a recogniser hands over to its file system.
#include <gtest/gtest.h>

#include "attach_rig.h"
#include "core/verifier.h"
#include "frame/driver_globals.h"
#include "io/io_internal.h"
#include "support/quilt_driver_fixture.h"

namespace attach_test {
namespace {

using quilt_test::QuiltDriverTest;

class RegistrationTest : public QuiltDriverTest {};

PDEVICE_OBJECT AttachedAbove(PDEVICE_OBJECT Device) {
    return Device->AttachedDevice;
}

TEST_F(RegistrationTest, OnlyDiskFileSystemsGetAnAttachmentDevice) {
    PDEVICE_OBJECT cd = CreateTestDevice(FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    PDEVICE_OBJECT network = CreateTestDevice(FILE_DEVICE_NETWORK_FILE_SYSTEM);
    IoRegisterFileSystem(cd);
    IoRegisterFileSystem(network);
    EXPECT_EQ(AttachedAbove(cd), nullptr);
    EXPECT_EQ(AttachedAbove(network), nullptr);
    EXPECT_TRUE(QuiltDevices().empty());
    EXPECT_EQ(g_Quilt.StatusWord & STATUS_BIT_FS_ATTACHED, 0);

    PDEVICE_OBJECT disk = CreateTestDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    IoRegisterFileSystem(disk);
    PDEVICE_OBJECT attachment = AttachedAbove(disk);
    ASSERT_TRUE(IsQuiltDevice(attachment));
    DeviceContext* context = DeviceContextOf(attachment);
    EXPECT_EQ(context->Kind, DEVICE_KIND_CONTROL);
    EXPECT_EQ(context->LowerDevice, disk);
    EXPECT_EQ(context->DriverObject, g_Quilt.DriverObject);
    EXPECT_EQ(context->Attached, 1);
    EXPECT_EQ(context->Serving, 0);
    EXPECT_EQ(attachment->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK_FILE_SYSTEM));
    EXPECT_FALSE(attachment->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_NE(g_Quilt.StatusWord & STATUS_BIT_FS_ATTACHED, 0);

    for (PDEVICE_OBJECT fs : {cd, network, disk}) IoUnregisterFileSystem(fs);
}

TEST_F(RegistrationTest, UnregistrationDetachesTheAttachmentAndDeletesItWhenNothingIsAbove) {
    PDEVICE_OBJECT disk = CreateTestDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    IoRegisterFileSystem(disk);
    ASSERT_TRUE(IsQuiltDevice(AttachedAbove(disk)));
    IoUnregisterFileSystem(disk);
    EXPECT_EQ(AttachedAbove(disk), nullptr);
    EXPECT_TRUE(QuiltDevices().empty()) << "the attachment device was deleted";

    // Another filter above the attachment device keeps it alive, detached.
    IoRegisterFileSystem(disk);
    PDEVICE_OBJECT attachment = AttachedAbove(disk);
    PDEVICE_OBJECT other = CreateTestDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(other, disk), attachment);
    IoUnregisterFileSystem(disk);
    EXPECT_EQ(AttachedAbove(disk), nullptr);
    EXPECT_EQ(QuiltDevices(), std::vector<PDEVICE_OBJECT>{attachment});
    EXPECT_EQ(DeviceContextOf(attachment)->Attached, 0);
    EXPECT_EQ(AttachedAbove(attachment), other);
    IoDetachDevice(attachment);
    IoDeleteDevice(attachment);
}

class FileSystemGoneTest : public quilt_test::QuiltVolumeTest {};

TEST_F(FileSystemGoneTest, AControlDeviceDeletedUnderTheAttachmentTakesItAlong) {
    PDEVICE_OBJECT disk = CreateTestDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    IoRegisterFileSystem(disk);
    PDEVICE_OBJECT attachment = AttachedAbove(disk);
    ASSERT_TRUE(IsQuiltDevice(attachment));
    IoDeleteDevice(disk);  // the I/O manager calls the fast-I/O detach entry
    for (PDEVICE_OBJECT device : QuiltDevices()) EXPECT_NE(device, attachment);
    EXPECT_EQ(AttachedAbove(disk), nullptr);
    EXPECT_NE(LogText().find("QLTFastIoDetachDevice() Detach device from not-drive device"), std::string::npos);
    IoUnregisterFileSystem(disk);
}

// quilt.sys is loaded before any file system; FAT comes through its
// recogniser, and E: is a FAT disk.
class RecognizerTest : public QuiltDriverTest {
protected:
    void SetUp() override {
        QuiltDriverTest::SetUp();
        ASSERT_EQ(plat::fs::LoadFileSystems(plat::fs::FatLoading::ThroughRecognizer), STATUS_SUCCESS);
        plat::storage::DiskConfig config;
        config.FileSystem = plat::fs::FsKind::Fat;
        config.SizeBytes = 32ull << 20;
        disk_ = plat::storage::Disk::Create(config);
        ASSERT_EQ(plat::storage::Attach(disk_, L'E'), STATUS_SUCCESS);
        recognizer_ = DeviceNamed(L"\\FatDiskRecognizer");
        ASSERT_NE(recognizer_, nullptr);
    }

    void TearDown() override {
        ObDereferenceObject(recognizer_);
        QuiltDriverTest::TearDown();
    }

    static PDEVICE_OBJECT DeviceNamed(PCWSTR Name) {
        UNICODE_STRING text = quilt_test::MakeUnicode(Name);
        PVOID object = nullptr;
        NTSTATUS status = plat::ObReferenceObjectByNameEx(&text, nullptr, OBJ_CASE_INSENSITIVE, &plat::IoDeviceType,
                                                          KernelMode, 0, nullptr, &object);
        return NT_SUCCESS(status) ? static_cast<PDEVICE_OBJECT>(object) : nullptr;
    }

    static std::vector<PDEVICE_OBJECT> Retired() {
        std::vector<PDEVICE_OBJECT> devices;
        for (PLIST_ENTRY entry = g_Quilt.RetiredDevices.Flink; entry != &g_Quilt.RetiredDevices; entry = entry->Flink) {
            devices.push_back(CONTAINING_RECORD(entry, DEVICE_OBJECT, Queue.ListEntry));
        }
        return devices;
    }

    std::shared_ptr<plat::storage::Disk> disk_;
    PDEVICE_OBJECT recognizer_ = nullptr;
};

TEST_F(RecognizerTest, TheReplacedRecognizersAttachmentIsDeletedOncePerLaterRequestWhenUnreferenced) {
    PDEVICE_OBJECT old = AttachedAbove(recognizer_);
    ASSERT_TRUE(IsQuiltDevice(old));
    old->ReferenceCount = 1;  // as if something still referred to it
    ASSERT_EQ(plat::native::CreateDirectory(u"E:\\dir"), STATUS_SUCCESS) << "FAT mounts E: after the load";
    EXPECT_EQ(Retired(), std::vector<PDEVICE_OBJECT>{old});
    EXPECT_EQ(DeviceContextOf(old)->Attached, 0);
    PDEVICE_OBJECT fat = DeviceNamed(L"\\Fat");
    ASSERT_NE(fat, nullptr);
    EXPECT_TRUE(IsQuiltDevice(AttachedAbove(fat))) << "FAT got an attachment device of its own";
    ObDereferenceObject(fat);

    // A second retired device behind it.
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(g_Quilt.DriverObject, sizeof(DeviceContext), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                             FALSE, &second),
              STATUS_SUCCESS);
    RtlZeroMemory(second->DeviceExtension, sizeof(DeviceContext));
    InsertTailList(&g_Quilt.RetiredDevices, &second->Queue.ListEntry);

    EXPECT_EQ(FsControl(u"E:", FSCTL_IS_VOLUME_MOUNTED), STATUS_SUCCESS);
    EXPECT_EQ(Retired(), (std::vector<PDEVICE_OBJECT>{old, second})) << "a referenced first device stops the list";
    old->ReferenceCount = 0;
    EXPECT_EQ(FsControl(u"E:", FSCTL_IS_VOLUME_MOUNTED), STATUS_SUCCESS);
    EXPECT_EQ(Retired(), std::vector<PDEVICE_OBJECT>{second}) << "one device per request";
    EXPECT_EQ(FsControl(u"E:", FSCTL_IS_VOLUME_MOUNTED), STATUS_SUCCESS);
    EXPECT_TRUE(Retired().empty());
    for (PDEVICE_OBJECT device : QuiltDevices()) {
        EXPECT_NE(device, old);
        EXPECT_NE(device, second);
    }
}

TEST_F(RecognizerTest, AFailedLoadPutsTheAttachmentBackAboveTheRecognizer) {
    PDEVICE_OBJECT attachment = AttachedAbove(recognizer_);
    ASSERT_TRUE(IsQuiltDevice(attachment));
    plat::VerifierFailAllocationsWithTag(plat::kTagDriver);  // FAT's driver object cannot be made
    plat::native::File root;
    EXPECT_EQ(quilt_test::OpenPath(u"E:\\", &root), STATUS_UNRECOGNIZED_VOLUME);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(AttachedAbove(recognizer_), attachment);
    EXPECT_EQ(DeviceContextOf(attachment)->LowerDevice, recognizer_);
    EXPECT_EQ(DeviceContextOf(attachment)->Attached, 1);
    EXPECT_TRUE(Retired().empty());
}

}  // namespace
}  // namespace attach_test
