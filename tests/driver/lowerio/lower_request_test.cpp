// The driver's own synchronous requests and the pass-down routine, sent
// through the I/O manager to a recording device below.
#include <gtest/gtest.h>

#include <cstring>

#include "core/verifier.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "io/io.h"
#include "lowerio/lower_request.h"
#include "recording_device.h"
#include "support/kernel_fixture.h"

namespace {

using quilt_test::RecordingDevice;

constexpr ULONG kTagIrp = 0x20707249;  // the I/O manager's "Irp "
constexpr ULONG kTagMdl = 0x206C644D;  // "Mdl "

class LowerRequestTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
        recorder_ = new RecordingDevice();
        file_ = recorder_->Open(&handle_);
        ASSERT_NE(file_, nullptr);
        irpsBefore_ = plat::IoLiveIrpCount();
    }

    void TearDown() override {
        EXPECT_EQ(plat::IoLiveIrpCount(), irpsBefore_) << "an IRP of the driver's own was not freed";
        if (file_ != nullptr) {
            ObDereferenceObject(file_);
            ZwClose(handle_);
        }
        delete recorder_;
        KernelTest::TearDown();
    }

    PDEVICE_OBJECT Lower() const { return recorder_->Device(); }
    const quilt_test::SeenRequest& Seen() const { return recorder_->Seen(); }

    RecordingDevice* recorder_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
    HANDLE handle_ = nullptr;
    SIZE_T irpsBefore_ = 0;
};

// ---- Build, send, wait ----------------------------------------------------------

TEST_F(LowerRequestTest, ASynchronousAnswerIsReturnedWithoutPending) {
    recorder_->Next().Status = STATUS_SUCCESS;
    recorder_->Next().Information = sizeof(FILE_STANDARD_INFORMATION);
    recorder_->Next().Fill = [](PIRP irp, PIO_STACK_LOCATION) {
        static_cast<PFILE_STANDARD_INFORMATION>(irp->AssociatedIrp.SystemBuffer)->EndOfFile.QuadPart = 1234;
    };
    FILE_STANDARD_INFORMATION standard = {};
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = LowerQueryInformation(Lower(), file_, &standard, sizeof(standard), FileStandardInformation,
                                            NULL, &ioStatus);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Seen().DispatchReturned, STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 1234);
    EXPECT_EQ(ioStatus.Information, sizeof(FILE_STANDARD_INFORMATION));

    // The request as the lower driver saw it.
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(Seen().Stack.FileObject, file_);
    EXPECT_EQ(Seen().Stack.Parameters.QueryFile.Length, sizeof(standard));
    EXPECT_EQ(Seen().Stack.Parameters.QueryFile.FileInformationClass, FileStandardInformation);
    EXPECT_EQ(Seen().SystemBuffer, &standard);
    EXPECT_EQ(Seen().OriginalFileObject, file_);
    EXPECT_EQ(Seen().RequestorMode, KernelMode);
    EXPECT_EQ(Seen().Thread, PsGetCurrentThread());
    EXPECT_EQ(Seen().StackCount, Lower()->StackSize);
}

TEST_F(LowerRequestTest, APendedRequestIsWaitedForItsFinalStatus) {
    recorder_->Next().Pend = true;
    recorder_->Next().Status = STATUS_OBJECT_NAME_COLLISION;
    FILE_BASIC_INFORMATION basic = {};
    NTSTATUS status = LowerQueryBasic(Lower(), file_, &basic);
    EXPECT_EQ(Seen().DispatchReturned, STATUS_PENDING);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION) << "the status of the completion, not STATUS_PENDING";
    recorder_->WaitForWorker();
}

TEST_F(LowerRequestTest, AFailedRequestIsFreedAndItsStatusReturned) {
    recorder_->Next().Status = STATUS_ACCESS_DENIED;
    EXPECT_EQ(LowerMarkDelete(Lower(), file_), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_SET_INFORMATION);
    EXPECT_EQ(Seen().Stack.Parameters.SetFile.FileInformationClass, FileDispositionInformation);
    EXPECT_EQ(Seen().Stack.Parameters.SetFile.Length, 1u);
    // TearDown checks that no IRP is left.
}

TEST_F(LowerRequestTest, FileIndexIsZeroWhenTheFileSystemCannotTellIt) {
    recorder_->Next().Fill = [](PIRP irp, PIO_STACK_LOCATION) {
        static_cast<PFILE_INTERNAL_INFORMATION>(irp->AssociatedIrp.SystemBuffer)->IndexNumber.QuadPart =
            0x123456789LL;
    };
    EXPECT_EQ(LowerQueryFileIndex(Lower(), file_), 0x123456789LL);
    recorder_->Next().Status = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(LowerQueryFileIndex(Lower(), file_), 0);
    EXPECT_EQ(Seen().Stack.Parameters.QueryFile.FileInformationClass, FileInternalInformation);
}

TEST_F(LowerRequestTest, MissingArgumentsAreRefusedWithoutARequest) {
    UCHAR buffer[64];
    ULONG length = sizeof(buffer);
    LARGE_INTEGER offset = {};
    EXPECT_EQ(LowerQueryInformation(NULL, file_, buffer, 8, FileBasicInformation), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerQueryInformation(Lower(), NULL, buffer, 8, FileBasicInformation), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerQueryInformation(Lower(), file_, NULL, 8, FileBasicInformation), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerReadWithMdl(Lower(), file_, NULL, 8, &offset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerWriteWithBuffer(Lower(), file_, buffer, 8, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerQuerySecurity(Lower(), file_, DACL_SECURITY_INFORMATION, NULL, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerSetSecurity(Lower(), file_, DACL_SECURITY_INFORMATION, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerQueryDirectory(Lower(), file_, NULL, 8, FileNamesInformation, NULL, TRUE, FALSE),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerInformationFromRecord(IRP_MJ_READ, Lower(), file_, buffer, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LowerQueryBasic(NULL, file_, reinterpret_cast<PFILE_BASIC_INFORMATION>(buffer)),
              STATUS_INVALID_PARAMETER)
        << "the query wrappers need a device";
    EXPECT_EQ(Seen().Count, 0u);
}

TEST_F(LowerRequestTest, NoRequestOrMdlIsReportedAsInsufficientResources) {
    UCHAR buffer[512];
    LARGE_INTEGER offset = {};
    plat::VerifierFailAllocationsWithTag(kTagIrp);
    EXPECT_EQ(LowerReadWithBuffer(Lower(), file_, buffer, sizeof(buffer), &offset), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(LowerSetEndOfFile(Lower(), file_, 10), STATUS_INSUFFICIENT_RESOURCES);
    plat::VerifierFailAllocationsWithTag(kTagMdl);
    EXPECT_EQ(LowerWriteWithMdl(Lower(), file_, buffer, sizeof(buffer), &offset), STATUS_INSUFFICIENT_RESOURCES);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(Seen().Count, 0u);
}

// ---- Reads and writes -----------------------------------------------------------

TEST_F(LowerRequestTest, TheMdlFormDescribesTheBufferWithNoCacheInputFlags) {
    UCHAR* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 1024, 'tseT'));
    ASSERT_NE(buffer, nullptr);
    recorder_->Next().Information = 1024;
    recorder_->Next().Fill = [](PIRP irp, PIO_STACK_LOCATION) {
        PVOID data = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        memset(data, 0x5A, MmGetMdlByteCount(irp->MdlAddress));
    };
    LARGE_INTEGER offset;
    offset.QuadPart = 0x20000;
    IO_STATUS_BLOCK ioStatus = {};
    EXPECT_EQ(LowerReadWithMdl(Lower(), file_, buffer, 1024, &offset, NULL, &ioStatus), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 1024u);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[1023], 0x5A);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_READ);
    EXPECT_NE(Seen().Mdl, nullptr);
    EXPECT_EQ(Seen().IrpFlags, 0x41u) << "IRP_NOCACHE | IRP_INPUT_OPERATION";
    EXPECT_EQ(Seen().Stack.Parameters.Read.Length, 1024u);
    EXPECT_EQ(Seen().Stack.Parameters.Read.ByteOffset.QuadPart, 0x20000);
    ExFreePoolWithTag(buffer, 'tseT');
}

TEST_F(LowerRequestTest, TheBufferFormPassesTheBufferAndIsSynchronous) {
    UCHAR buffer[100];
    memset(buffer, 0x33, sizeof(buffer));
    LARGE_INTEGER offset;
    offset.QuadPart = 7;
    EXPECT_EQ(LowerWriteWithBuffer(Lower(), file_, buffer, sizeof(buffer), &offset), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_WRITE);
    EXPECT_EQ(Seen().UserBuffer, buffer);
    EXPECT_EQ(Seen().Mdl, nullptr);
    EXPECT_EQ(Seen().IrpFlags, 0x45u) << "IRP_NOCACHE | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API";
    EXPECT_EQ(Seen().Stack.Parameters.Write.ByteOffset.QuadPart, 7);
}

TEST_F(LowerRequestTest, AUserRequestLendsItsFlagsStatusBlockAndKey) {
    PIRP user = IoAllocateIrp(2, FALSE);
    ASSERT_NE(user, nullptr);
    PIO_STACK_LOCATION userStack = IoGetNextIrpStackLocation(user);
    userStack->MajorFunction = IRP_MJ_WRITE;
    userStack->Parameters.Write.Key = 77;
    IoSetNextIrpStackLocation(user);
    user->Flags = IRP_WRITE_OPERATION | IRP_NOCACHE;
    UCHAR buffer[16] = {};
    LARGE_INTEGER offset = {};
    EXPECT_EQ(LowerWriteWithBuffer(Lower(), file_, buffer, sizeof(buffer), &offset, user), STATUS_SUCCESS);
    EXPECT_EQ(Seen().IrpFlags, (ULONG)(IRP_WRITE_OPERATION | IRP_NOCACHE));
    EXPECT_EQ(Seen().UserIosb, &user->IoStatus);
    EXPECT_EQ(Seen().Stack.Parameters.Write.Key, 77u);
    IoFreeIrp(user);
}

// ---- Directories, information, volumes, security, controls ----------------------

TEST_F(LowerRequestTest, DirectoryQueriesCarryTheCallersChoices) {
    UCHAR buffer[256];
    UNICODE_STRING pattern;
    RtlInitUnicodeString(&pattern, L"*.txt");
    recorder_->Next().Status = STATUS_NO_MORE_FILES;
    EXPECT_EQ(LowerQueryDirectory(Lower(), file_, buffer, sizeof(buffer), FileBothDirectoryInformation, &pattern,
                                  TRUE, TRUE),
              STATUS_NO_MORE_FILES);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_DIRECTORY_CONTROL);
    EXPECT_EQ(Seen().Stack.MinorFunction, IRP_MN_QUERY_DIRECTORY);
    EXPECT_EQ(Seen().Stack.Flags, SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileName, &pattern);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileInformationClass, FileBothDirectoryInformation);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.Length, sizeof(buffer));
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileIndex, 0u);
    EXPECT_EQ(Seen().UserBuffer, buffer);
    EXPECT_EQ(Seen().IrpFlags, 0u);

    EXPECT_EQ(LowerQueryDirectory(Lower(), file_, buffer, sizeof(buffer), FileNamesInformation, NULL, FALSE, FALSE),
              STATUS_NO_MORE_FILES);
    EXPECT_EQ(Seen().Stack.Flags, 0);
}

TEST_F(LowerRequestTest, AReissuedDirectoryQueryKeepsTheUsersNameIndexAndFlags) {
    UNICODE_STRING pattern;
    RtlInitUnicodeString(&pattern, L"a*");
    PIRP user = IoAllocateIrp(2, FALSE);
    ASSERT_NE(user, nullptr);
    PIO_STACK_LOCATION userStack = IoGetNextIrpStackLocation(user);
    userStack->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    userStack->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    userStack->Flags = SL_INDEX_SPECIFIED;
    userStack->FileObject = file_;
    userStack->Parameters.QueryDirectory.FileName = &pattern;
    userStack->Parameters.QueryDirectory.FileIndex = 9;
    userStack->Parameters.QueryDirectory.FileInformationClass = FileDirectoryInformation;
    IoSetNextIrpStackLocation(user);
    user->Flags = IRP_SYNCHRONOUS_API;

    UCHAR buffer[128];
    recorder_->Next().Information = 60;
    EXPECT_EQ(LowerReissueQueryDirectory(Lower(), user, buffer, sizeof(buffer), FileIdBothDirectoryInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.FileObject, file_);
    EXPECT_EQ(Seen().Stack.Flags, SL_INDEX_SPECIFIED);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileName, &pattern);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileIndex, 9u);
    EXPECT_EQ(Seen().Stack.Parameters.QueryDirectory.FileInformationClass, FileIdBothDirectoryInformation);
    EXPECT_EQ(Seen().IrpFlags, (ULONG)IRP_SYNCHRONOUS_API);
    EXPECT_EQ(user->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(user->IoStatus.Information, 60u) << "the user's status block gets the result";
    IoFreeIrp(user);
}

TEST_F(LowerRequestTest, ASetForAUserRequestTakesItsTargetAndReplaceFlag) {
    PFILE_OBJECT target = reinterpret_cast<PFILE_OBJECT>(0x1000);  // only carried, never used
    PIRP user = IoAllocateIrp(2, FALSE);
    ASSERT_NE(user, nullptr);
    PIO_STACK_LOCATION userStack = IoGetNextIrpStackLocation(user);
    userStack->MajorFunction = IRP_MJ_SET_INFORMATION;
    userStack->Parameters.SetFile.FileObject = target;
    userStack->Parameters.SetFile.ReplaceIfExists = TRUE;
    IoSetNextIrpStackLocation(user);
    UCHAR rename[64] = {};
    recorder_->Next().Status = STATUS_OBJECT_NAME_COLLISION;
    EXPECT_EQ(LowerSetInformation(Lower(), file_, rename, sizeof(rename), FileRenameInformation, user),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Seen().Stack.Parameters.SetFile.FileObject, target);
    EXPECT_TRUE(Seen().Stack.Parameters.SetFile.ReplaceIfExists);
    EXPECT_EQ(user->IoStatus.Status, STATUS_OBJECT_NAME_COLLISION);
    IoFreeIrp(user);

    LowerInformationRecord record = {sizeof(rename), FileLinkInformation, target, FALSE};
    recorder_->Next().Status = STATUS_SUCCESS;
    EXPECT_EQ(LowerInformationFromRecord(IRP_MJ_SET_INFORMATION, Lower(), file_, rename, &record), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.Parameters.SetFile.FileInformationClass, FileLinkInformation);
    EXPECT_EQ(Seen().Stack.Parameters.SetFile.FileObject, target);
    EXPECT_FALSE(Seen().Stack.Parameters.SetFile.ReplaceIfExists);
}

TEST_F(LowerRequestTest, ASecurityQueryReportsTheLengthTheFileSystemNeeds) {
    UCHAR buffer[20];
    ULONG length = sizeof(buffer);
    recorder_->Next().Status = STATUS_BUFFER_OVERFLOW;
    recorder_->Next().Information = 180;
    EXPECT_EQ(LowerQuerySecurity(Lower(), file_, 0x1F, buffer, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 180u);
    EXPECT_EQ(Seen().Stack.Parameters.QuerySecurity.SecurityInformation, 0x1Fu);
    EXPECT_EQ(Seen().Stack.Parameters.QuerySecurity.Length, sizeof(buffer));
    EXPECT_EQ(Seen().UserBuffer, buffer);
}

TEST_F(LowerRequestTest, ControlsLocksAndVolumeRequestsCarryTheirParameters) {
    UCHAR buffer[64];
    EXPECT_EQ(LowerFsControl(Lower(), file_, FSCTL_GET_OBJECT_ID, buffer, 0, NULL, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.MinorFunction, IRP_MN_USER_FS_REQUEST);
    EXPECT_EQ(Seen().Stack.Parameters.FileSystemControl.FsControlCode, (ULONG)FSCTL_GET_OBJECT_ID);
    EXPECT_EQ(Seen().Stack.Parameters.FileSystemControl.OutputBufferLength, sizeof(buffer));
    EXPECT_EQ(Seen().SystemBuffer, buffer);

    LARGE_INTEGER offset = {};
    LARGE_INTEGER length;
    length.QuadPart = -1;
    EXPECT_EQ(LowerLockControl(Lower(), file_, IRP_MN_LOCK, &offset, &length, 1), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_LOCK_CONTROL);
    EXPECT_EQ(Seen().Stack.MinorFunction, IRP_MN_LOCK);
    EXPECT_EQ(Seen().Stack.Parameters.LockControl.Length, &length);
    EXPECT_EQ(Seen().Stack.Parameters.LockControl.Key, 1u);
    EXPECT_EQ(Seen().Stack.Flags, 0) << "shared and waiting";

    EXPECT_EQ(LowerQueryVolumeInformation(Lower(), file_, buffer, 34, FileFsAttributeInformation), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_QUERY_VOLUME_INFORMATION);
    EXPECT_EQ(Seen().Stack.Parameters.QueryVolume.Length, 34u);
    EXPECT_EQ(Seen().Stack.Parameters.QueryVolume.FsInformationClass, FileFsAttributeInformation);

    SECURITY_DESCRIPTOR descriptor = {};
    EXPECT_EQ(LowerSetSecurity(Lower(), file_, DACL_SECURITY_INFORMATION, &descriptor), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Stack.Parameters.SetSecurity.SecurityDescriptor, &descriptor);
}

// ---- Devices of the driver's own and the pass-down routine --------------------------

// A driver standing in for quilt.sys's own device object: a device with a
// DeviceContext attached above the recorder, whose dispatch is PassThrough.
class OwnDeviceTest : public LowerRequestTest {
protected:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
        for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
            Driver->MajorFunction[major] = PassThrough;
        }
        return IoCreateDevice(Driver, sizeof(DeviceContext), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &s_Upper);
    }

    void SetUp() override {
        LowerRequestTest::SetUp();
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltOwn", Entry, NULL, &driver), STATUS_SUCCESS);
        g_Quilt.DriverObject = driver;
        upper_ = s_Upper;
        context_ = DeviceContextOf(upper_);
        RtlZeroMemory(context_, sizeof(*context_));
        context_->LowerDevice = IoAttachDeviceToDeviceStack(upper_, Lower());
        ASSERT_EQ(context_->LowerDevice, Lower());
        // A file opened now reaches the recorder through the own device.
        ownFile_ = recorder_->Open(&ownHandle_);
        ASSERT_NE(ownFile_, nullptr);
    }

    void TearDown() override {
        ObDereferenceObject(ownFile_);
        ZwClose(ownHandle_);
        IoDetachDevice(Lower());
        IoDeleteDevice(upper_);
        LowerRequestTest::TearDown();
    }

    NTSTATUS QueryThroughStack() {
        IO_STATUS_BLOCK ioStatus = {};
        FILE_BASIC_INFORMATION basic;
        return ZwQueryInformationFile(ownHandle_, &ioStatus, &basic, sizeof(basic), FileBasicInformation);
    }

    static PDEVICE_OBJECT s_Upper;
    PDEVICE_OBJECT upper_ = nullptr;
    DeviceContext* context_ = nullptr;
    PFILE_OBJECT ownFile_ = nullptr;
    HANDLE ownHandle_ = nullptr;
};

PDEVICE_OBJECT OwnDeviceTest::s_Upper = nullptr;

TEST_F(OwnDeviceTest, SetWrappersSkipTheDriversOwnDevice) {
    ASSERT_EQ(IoGetRelatedDeviceObject(ownFile_), upper_);
    EXPECT_EQ(LowerDeviceOfFileObject(ownFile_), Lower());
    EXPECT_EQ(LowerMarkDelete(NULL, ownFile_), STATUS_SUCCESS);
    EXPECT_EQ(Seen().Device, Lower());
    EXPECT_EQ(Seen().StackCount, Lower()->StackSize) << "sent straight to the lower device, not through ours";
    EXPECT_EQ(LowerDeviceOfFileObject(NULL), nullptr);
}

TEST_F(OwnDeviceTest, PassThroughHandsTheRequestToTheLowerDevice) {
    recorder_->Next().Status = STATUS_END_OF_FILE;
    EXPECT_EQ(QueryThroughStack(), STATUS_END_OF_FILE);
    EXPECT_EQ(Seen().Stack.MajorFunction, IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(Seen().StackCount, upper_->StackSize) << "the request came through the own device";
}

TEST_F(OwnDeviceTest, PassThroughEndsRequestsItCannotPassOn) {
    ULONG before = Seen().Count;
    g_Quilt.ControlDevice = upper_;
    EXPECT_EQ(QueryThroughStack(), STATUS_INVALID_DEVICE_REQUEST) << "the control device serves nothing else";
    g_Quilt.ControlDevice = NULL;
    PDEVICE_OBJECT saved = context_->LowerDevice;
    context_->LowerDevice = NULL;
    EXPECT_EQ(QueryThroughStack(), STATUS_SUCCESS) << "without a lower device the request is completed";
    context_->LowerDevice = saved;
    EXPECT_EQ(Seen().Count, before) << "nothing reached the lower device";
}

}  // namespace
