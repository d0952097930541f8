// File-system controls through the driver's devices, sent as programs send
// them: mounts, dismounts, surprise removal, the start-up gate, and the
// controls a protected volume answers itself.
#include <gtest/gtest.h>

#include <string.h>

#include "attach_rig.h"
#include "frame/driver_globals.h"
#include "requests/file_object_status.h"
#include "support/quilt_driver_fixture.h"

namespace attach_test {
namespace {

using quilt_test::DebuggerLines;

PDEVICE_OBJECT FilterOf(PDEVICE_OBJECT Volume) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(Volume);
    return IsQuiltDevice(top) ? top : nullptr;
}

bool IsGone(PDEVICE_OBJECT Device) {
    for (PDEVICE_OBJECT device : QuiltDevices()) {
        if (device == Device) return false;
    }
    return true;
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendSurpriseRemoval(PDEVICE_OBJECT Device) {
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_SURPRISE_REMOVAL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

const ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

TEST_F(AttachVolumeTest, AMountGetsAVolumeFilterAboveTheFileSystemVolume) {
    PDEVICE_OBJECT volume = FileSystemVolumeOf(u"E:\\");
    PDEVICE_OBJECT filter = FilterOf(volume);
    ASSERT_NE(filter, nullptr);
    DeviceContext* context = DeviceContextOf(filter);
    EXPECT_EQ(context->Kind, DEVICE_KIND_VOLUME_FILTER);
    EXPECT_EQ(context->LowerDevice, volume);
    EXPECT_EQ(context->RealDevice, plat::storage::DeviceOfDisk(FixedDisk.get()));
    EXPECT_EQ(context->DriveIndex, kDriveE);
    EXPECT_EQ(FilterOf(FileSystemVolumeOf(u"C:\\")), nullptr) << "C: mounted before the driver loaded";
}

// The start-up gate is open once the system drive's start-up has ended.
TEST_F(AttachVolumeTest, DismountFollowsTheSystemDrivesStartUpAndTheProtection) {
    PDEVICE_OBJECT volume = FileSystemVolumeOf(u"E:\\");
    PDEVICE_OBJECT filter = FilterOf(volume);
    EXPECT_EQ(FsControl(u"E:", FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, kReadWrite), STATUS_ACCESS_DENIED)
        << "before the system drive's start-up has ended";
    EXPECT_EQ(FilterOf(volume), filter);

    KeSetEvent(&g_Quilt.StartupGate, IO_NO_INCREMENT, FALSE);
    g_Drives.SystemDriveDone = 1;
    ServeC();
    EXPECT_EQ(FsControl(u"C:", FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, kReadWrite), STATUS_ACCESS_DENIED);
    LONGLONG sectors = (64ll << 20) / 512;
    EXPECT_EQ(FsControl(u"C:", FSCTL_EXTEND_VOLUME, &sectors, sizeof(sectors), nullptr, 0, kReadWrite),
              STATUS_ACCESS_DENIED);
    EXPECT_NE(FilterOf(FileSystemVolumeOf(u"C:\\")), nullptr);

    plat::native::File handle;  // keeps the dismounted volume device until the checks are done
    ASSERT_EQ(quilt_test::OpenPath(u"E:", &handle, kReadWrite), STATUS_SUCCESS);
    EXPECT_EQ(handle.FsControl(FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_NE(DebuggerLines().find("dismount executed status=0\n"), std::string::npos);
    EXPECT_EQ(IoGetAttachedDevice(volume), volume);
    EXPECT_TRUE(IsGone(filter));
    handle.Close();
    EXPECT_NE(FilterOf(FileSystemVolumeOf(u"E:\\")), nullptr) << "the next mount is filtered again";
}

// The gate stays closed: the removal itself ends the start-up thread's wait,
// which the detach waits for.
TEST_F(AttachVolumeTest, SurpriseRemovalDetachesTheFilterBeforeTheFileSystemSeesIt) {
    ASSERT_FALSE(StartupGateOpen());
    ASSERT_EQ(plat::native::WriteFile(u"E:\\open.txt", "x"), STATUS_SUCCESS);
    plat::native::File open;  // keeps the file-system volume device alive
    ASSERT_EQ(quilt_test::OpenPath(u"E:\\open.txt", &open), STATUS_SUCCESS);
    PDEVICE_OBJECT volume = FileSystemVolumeOf(u"E:\\");
    PDEVICE_OBJECT filter = FilterOf(volume);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(SendSurpriseRemoval(filter), STATUS_SUCCESS);
    EXPECT_TRUE(IsGone(filter));
    EXPECT_EQ(IoGetAttachedDevice(volume), volume);
    FILE_STANDARD_INFORMATION standard;
    EXPECT_EQ(open.Query(FileStandardInformation, &standard), STATUS_VOLUME_DISMOUNTED);
    open.Close();

    // Without open files the volume goes at once, after its filter.
    filter = FilterOf(FileSystemVolumeOf(u"E:\\"));
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(SendSurpriseRemoval(filter), STATUS_SUCCESS);
    EXPECT_TRUE(IsGone(filter));
    EXPECT_EQ(plat::storage::DeviceOfDisk(FixedDisk.get())->Vpb->Flags & VPB_MOUNTED, 0u);
}

TEST_F(AttachVolumeTest, RetrievalPointersOpenTheStartupGateOnlyThroughAVolumeFilter) {
    UNICODE_STRING link = quilt_test::MakeUnicode(L"\\??\\NtfsControl");
    UNICODE_STRING target = quilt_test::MakeUnicode(L"\\Ntfs");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    std::vector<uint8_t> out;
    LONGLONG vcn = 0;
    EXPECT_EQ(FsControl(u"\\??\\NtfsControl", FSCTL_QUERY_RETRIEVAL_POINTERS, &vcn, sizeof(vcn), &out, 16),
              STATUS_INVALID_DEVICE_REQUEST)
        << "the attachment device passes it to NTFS's control device";
    EXPECT_FALSE(StartupGateOpen());
    IoDeleteSymbolicLink(&link);
    EXPECT_EQ(FsControl(u"\\Device\\quilt", FSCTL_QUERY_RETRIEVAL_POINTERS, &vcn, sizeof(vcn), &out, 16),
              STATUS_INVALID_DEVICE_REQUEST)
        << "the control device takes no file-system controls";
    EXPECT_FALSE(StartupGateOpen());

    ASSERT_EQ(plat::native::WriteFile(u"E:\\data.bin", std::string(5000, 'x')), STATUS_SUCCESS);
    EXPECT_EQ(FsControl(u"E:\\data.bin", FSCTL_QUERY_RETRIEVAL_POINTERS, &vcn, sizeof(vcn), &out, 16),
              STATUS_SUCCESS);
    EXPECT_EQ(out.size(), 16u) << "the file system's answer comes back";
    EXPECT_TRUE(StartupGateOpen());
}

TEST_F(AttachVolumeTest, SetCompressionOpensTheStartupGateOnAnUnprotectedVolume) {
    ASSERT_EQ(plat::native::WriteFile(u"E:\\data.bin", "x"), STATUS_SUCCESS);
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    EXPECT_EQ(FsControl(u"E:\\data.bin", FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0, kReadWrite),
              STATUS_INVALID_DEVICE_REQUEST)
        << "FAT answers";
    EXPECT_TRUE(StartupGateOpen());
}

// A file of a protected volume whose changes are discarded: the controls
// that would change the original end in the driver.
class DiscardedFileTest : public AttachVolumeTest {
protected:
    void SetUp() override {
        AttachVolumeTest::SetUp();
        ASSERT_EQ(plat::native::WriteFile(u"C:\\doc.txt", "original"), STATUS_SUCCESS);
        memset(originalId_.ObjectId, 0x11, sizeof(originalId_.ObjectId));
        ASSERT_EQ(FsControl(u"C:\\doc.txt", FSCTL_SET_OBJECT_ID, &originalId_, sizeof(originalId_), nullptr, 0,
                            kReadWrite),
                  STATUS_SUCCESS);
        volume_ = ServeC();
        ASSERT_EQ(quilt_test::OpenPath(u"C:\\doc.txt", &doc_, kReadWrite), STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(doc_.Handle(), 0, *IoFileObjectType, KernelMode,
                                            reinterpret_cast<PVOID*>(&file_), nullptr),
                  STATUS_SUCCESS);
        FileObjectStatus* status = FileObjectStatusCreate(volume_, file_, L"\\doc.txt");
        ASSERT_NE(status, nullptr);
        status->Discard = 1;
        ASSERT_EQ(FileObjectStatusRegister(status, file_), STATUS_SUCCESS);
    }

    void TearDown() override {
        LONG deleteMark = 0;
        FileObjectStatus* status = FileObjectStatusCountClose(file_, &deleteMark);
        if (status != nullptr) FileObjectStatusFree(status);
        if (file_ != nullptr) ObDereferenceObject(file_);
        doc_.Close();
        AttachVolumeTest::TearDown();
    }

    NTSTATUS GetObjectId(FILE_OBJECTID_BUFFER* id) {
        std::vector<uint8_t> out;
        NTSTATUS status = doc_.FsControl(FSCTL_GET_OBJECT_ID, nullptr, 0, &out, sizeof(*id));
        if (NT_SUCCESS(status) && out.size() == sizeof(*id)) memcpy(id, out.data(), sizeof(*id));
        return status;
    }

    FILE_OBJECTID_BUFFER originalId_ = {};
    DeviceContext* volume_ = nullptr;
    plat::native::File doc_;
    PFILE_OBJECT file_ = nullptr;
};

TEST_F(DiscardedFileTest, ADeletedObjectIdIsNotFoundWithoutAskingTheFileSystem) {
    EXPECT_EQ(doc_.FsControl(FSCTL_DELETE_OBJECT_ID, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    FILE_OBJECTID_BUFFER id = {};
    EXPECT_EQ(GetObjectId(&id), STATUS_OBJECTID_NOT_FOUND);

    volume_->Serving = 0;
    ASSERT_EQ(GetObjectId(&id), STATUS_SUCCESS) << "below the protection the original keeps its ID";
    EXPECT_EQ(memcmp(id.ObjectId, originalId_.ObjectId, sizeof(id.ObjectId)), 0);
    volume_->Serving = 1;

    FILE_OBJECTID_BUFFER other = {};
    memset(other.ObjectId, 0x22, sizeof(other.ObjectId));
    EXPECT_EQ(doc_.FsControl(FSCTL_SET_OBJECT_ID, &other, sizeof(other), nullptr, 0), STATUS_SUCCESS);
    id = {};
    ASSERT_EQ(GetObjectId(&id), STATUS_SUCCESS) << "a new ID ends the deletion; the file system answers again";
    EXPECT_EQ(memcmp(id.ObjectId, originalId_.ObjectId, sizeof(id.ObjectId)), 0) << "the new ID stayed above";
}

TEST_F(DiscardedFileTest, ChangesOfCompressionEncryptionAndReparsePointsStayAwayFromTheOriginal) {
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    EXPECT_EQ(doc_.FsControl(FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(StartupGateOpen());
    std::vector<uint8_t> out;
    volume_->Serving = 0;
    ASSERT_EQ(doc_.FsControl(FSCTL_GET_COMPRESSION, nullptr, 0, &out, sizeof(USHORT)), STATUS_SUCCESS);
    EXPECT_EQ(out, std::vector<uint8_t>(2, 0)) << "the original is not compressed";
    volume_->Serving = 1;

    EXPECT_EQ(doc_.FsControl(FSCTL_SET_ENCRYPTION, nullptr, 0, nullptr, 0), STATUS_ACCESS_DENIED);
    REPARSE_DATA_BUFFER reparse = {};
    reparse.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    EXPECT_EQ(doc_.FsControl(FSCTL_SET_REPARSE_POINT, &reparse, REPARSE_DATA_BUFFER_HEADER_SIZE, nullptr, 0),
              STATUS_ACCESS_DENIED);
}

}  // namespace
}  // namespace attach_test
