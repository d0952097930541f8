// The sibling filter driver in a kernel: its started event, its device and the
// two sector requests, the refusal of user-mode requests, and the clean-end
// mark of its last-chance shutdown.
#include <gtest/gtest.h>

#include <string.h>

#include "machine/program.h"
#include "mm/user_memory.h"
#include "ps/process.h"
#include "sibling/pleat/pleat.h"
#include "support/kernel_fixture.h"

namespace {

using pleat::kSectorSize;

class PleatDriverTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Store.Format();
        ASSERT_EQ(STATUS_SUCCESS, pleat::LoadSibling(&Store, &Driver));
    }

    void TearDown() override {
        if (Driver != nullptr) Driver->DriverUnload(Driver);
        KernelTest::TearDown();
    }

    // A kernel-mode request as quilt.sys sends it.
    NTSTATUS Transfer(ULONG Code, ULONG Sector, USHORT Count, PVOID Buffer, ULONG InputLength = 0) {
        UNICODE_STRING name = quilt_test::MakeUnicode(L"\\??\\pleat");
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
        if (!NT_SUCCESS(status)) return status;
        PLEAT_SECTOR_REQUEST request = {0x12345678, Sector, Count, 0, Buffer};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        PIRP irp = IoBuildDeviceIoControlRequest(Code, device, &request,
                                                 InputLength != 0 ? InputLength : sizeof(request), nullptr, 0, FALSE,
                                                 &done, &iosb);
        if (irp == nullptr) {
            ObDereferenceObject(file);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        ObDereferenceObject(file);
        return status;
    }

    pleat::SectorStore Store;
    PDRIVER_OBJECT Driver = nullptr;
};

TEST_F(PleatDriverTest, StartedEventIsSetOnceTheDriverIsLoaded) {
    UNICODE_STRING name = quilt_test::MakeUnicode(L"\\Device\\PleatStarted");
    HANDLE handle = nullptr;
    PKEVENT event = IoCreateNotificationEvent(&name, &handle);
    ASSERT_NE(nullptr, event);
    EXPECT_NE(0, KeReadStateEvent(event));
    ZwClose(handle);
}

TEST_F(PleatDriverTest, ReadsAndWritesSectorsAtTheRecordsAddress) {
    std::vector<UCHAR> buffer(16 * 1024, 0xEE);
    ASSERT_EQ(STATUS_SUCCESS, Transfer(IOCTL_PLEAT_READ_SECTORS, 0, 1, buffer.data()));
    EXPECT_EQ(0, memcmp(buffer.data() + 3, "BRIMEL", 6));
    EXPECT_EQ(0xEE, buffer[kSectorSize]);  // one sector moved, not more

    std::vector<UCHAR> two(2 * kSectorSize);
    for (size_t i = 0; i < two.size(); ++i) two[i] = static_cast<UCHAR>(i);
    ASSERT_EQ(STATUS_SUCCESS, Transfer(IOCTL_PLEAT_WRITE_SECTORS, 50, 2, two.data()));
    std::vector<UCHAR> back(2 * kSectorSize);
    ASSERT_EQ(STATUS_SUCCESS, Store.Read(50, 2, back.data()));
    EXPECT_EQ(two, back);
}

TEST_F(PleatDriverTest, RefusesRequestsItCannotServe) {
    std::vector<UCHAR> buffer(kSectorSize);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Transfer(IOCTL_PLEAT_READ_SECTORS, Store.SectorCount(), 1, buffer.data()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Transfer(IOCTL_PLEAT_READ_SECTORS, 0, 1, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Transfer(IOCTL_PLEAT_READ_SECTORS, 0, 1, buffer.data(), 8));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Transfer(0x81C533F8, 0, 1, buffer.data()));
    Store.Remove();
    EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Transfer(IOCTL_PLEAT_READ_SECTORS, 0, 1, buffer.data()));
}

// The record carries a raw address: from user mode it would reach any memory.
TEST_F(PleatDriverTest, RefusesUserModeRequests) {
    machine::Program program("probe.exe", machine::Account::System);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, program.OpenFile("\\??\\pleat", FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_OPEN,
                                               FILE_SYNCHRONOUS_IO_NONALERT, &handle));
    plat::UserBuffer record(sizeof(PLEAT_SECTOR_REQUEST));
    plat::UserBuffer target(kSectorSize);
    *record.As<PLEAT_SECTOR_REQUEST>() = {0, 0, 1, 0, target.Get()};
    NTSTATUS status;
    {
        plat::UserModeScope scope(program.Process());
        IO_STATUS_BLOCK iosb = {};
        status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, IOCTL_PLEAT_WRITE_SECTORS,
                                       record.Get(), record.Size(), nullptr, 0);
    }
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
    EXPECT_EQ(STATUS_SUCCESS, program.Close(handle));
    EXPECT_EQ(pleat::kStatusCleanEnd, Store.StatusCode());
}

TEST_F(PleatDriverTest, LastChanceShutdownWritesTheCleanEndIntoTheStatusSector) {
    Store.Poke(pleat::kDefaultStatusSector, pleat::kStatusCodeOffset, 0xFF);
    EXPECT_EQ(STATUS_SUCCESS, pleat::SendLastChanceShutdown());
    EXPECT_EQ(pleat::kStatusCleanEnd, Store.StatusCode());
}

TEST_F(PleatDriverTest, LastChanceShutdownLeavesADamagedHeaderAlone) {
    std::vector<UCHAR> before(Store.SectorCount() * kSectorSize);
    ASSERT_TRUE(Store.Poke(21, 0xE0, 0));
    ASSERT_EQ(STATUS_SUCCESS, Store.Read(0, Store.SectorCount(), before.data()));
    EXPECT_EQ(STATUS_SUCCESS, pleat::SendLastChanceShutdown());
    std::vector<UCHAR> after(before.size());
    ASSERT_EQ(STATUS_SUCCESS, Store.Read(0, Store.SectorCount(), after.data()));
    EXPECT_EQ(before, after);
}

TEST_F(PleatDriverTest, UnloadRemovesTheDeviceTheLinkAndTheEvent) {
    Driver->DriverUnload(Driver);
    Driver = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, pleat::SendLastChanceShutdown());
}

}  // namespace
