// The driver's fast-I/O table above a lower driver whose table counts the
// calls that reach it.
#include <gtest/gtest.h>

#include "attach_rig.h"
#include "frame/dispatch.h"
#include "frame/driver_globals.h"
#include "support/quilt_driver_fixture.h"

namespace attach_test {
namespace {

struct LowerCalls {
    int Reads = 0;
    int MdlWriteCompletes = 0;
    int BasicQueries = 0;
    PDEVICE_OBJECT Device = nullptr;
    ULONG Length = 0;
};

LowerCalls g_Calls;

BOOLEAN NTAPI LowerRead(PFILE_OBJECT, PLARGE_INTEGER, ULONG Length, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK,
                        PDEVICE_OBJECT Device) {
    ++g_Calls.Reads;
    g_Calls.Device = Device;
    g_Calls.Length = Length;
    return TRUE;
}

BOOLEAN NTAPI LowerMdlWriteCompleteCompressed(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT Device) {
    ++g_Calls.MdlWriteCompletes;
    g_Calls.Device = Device;
    return TRUE;
}

BOOLEAN NTAPI LowerQueryBasic(PFILE_OBJECT, BOOLEAN, PFILE_BASIC_INFORMATION, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    ++g_Calls.BasicQueries;
    return TRUE;
}

// FastIoWrite is missing on purpose.
FAST_IO_DISPATCH g_LowerTable;

class FastIoTest : public quilt_test::QuiltDriverTest {
protected:
    void SetUp() override {
        QuiltDriverTest::SetUp();
        g_Calls = LowerCalls();
        g_LowerTable = FAST_IO_DISPATCH{};
        g_LowerTable.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
        g_LowerTable.FastIoRead = LowerRead;
        g_LowerTable.FastIoQueryBasicInfo = LowerQueryBasic;
        g_LowerTable.MdlWriteCompleteCompressed = LowerMdlWriteCompleteCompressed;
        lower_ = CreateTestDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
        lower_->DriverObject->FastIoDispatch = &g_LowerTable;
        IoRegisterFileSystem(lower_);  // quilt.sys attaches above it
        ours_ = lower_->AttachedDevice;
        ASSERT_TRUE(IsQuiltDevice(ours_));
        table_ = g_Quilt.DriverObject->FastIoDispatch;
    }

    void TearDown() override {
        IoUnregisterFileSystem(lower_);
        QuiltDriverTest::TearDown();
    }

    BOOLEAN Read(PDEVICE_OBJECT Device, ULONG Length = 512) {
        LARGE_INTEGER offset = {};
        IO_STATUS_BLOCK ioStatus = {};
        return table_->FastIoRead(nullptr, &offset, Length, TRUE, 0, nullptr, &ioStatus, Device);
    }

    BOOLEAN MdlWriteCompleteCompressed() {
        LARGE_INTEGER offset = {};
        return table_->MdlWriteCompleteCompressed(nullptr, &offset, nullptr, ours_);
    }

    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT ours_ = nullptr;
    PFAST_IO_DISPATCH table_ = nullptr;
};

TEST_F(FastIoTest, TheTableHandsDataToTheFileSystemAndRefusesInformationQueries) {
    ASSERT_NE(table_, nullptr);
    EXPECT_EQ(table_->SizeOfFastIoDispatch, sizeof(FAST_IO_DISPATCH));
    EXPECT_EQ(table_->FastIoDetachDevice, QLTFastIoDetachDevice);
    EXPECT_EQ(table_->AcquireFileForNtCreateSection, nullptr);
    EXPECT_EQ(table_->ReleaseForCcFlush, nullptr);

    EXPECT_TRUE(Read(ours_, 4096));
    EXPECT_EQ(g_Calls.Reads, 1);
    EXPECT_EQ(g_Calls.Device, lower_) << "the lower driver sees its own device";
    EXPECT_EQ(g_Calls.Length, 4096u) << "the other arguments pass unchanged";

    IO_STATUS_BLOCK ioStatus = {};
    FILE_BASIC_INFORMATION basic = {};
    EXPECT_FALSE(table_->FastIoQueryBasicInfo(nullptr, TRUE, &basic, &ioStatus, ours_));
    EXPECT_EQ(g_Calls.BasicQueries, 0);
    FILE_NETWORK_OPEN_INFORMATION network = {};
    EXPECT_FALSE(table_->FastIoQueryNetworkOpenInfo(nullptr, TRUE, &network, &ioStatus, ours_));
    EXPECT_FALSE(table_->FastIoQueryOpen(nullptr, &network, ours_));
}

TEST_F(FastIoTest, AMissingEntryAShortTableOrNoLowerDeviceAnswerFalse) {
    LARGE_INTEGER offset = {};
    IO_STATUS_BLOCK ioStatus = {};
    EXPECT_FALSE(table_->FastIoWrite(nullptr, &offset, 1, TRUE, 0, nullptr, &ioStatus, ours_));

    const ULONG last = FIELD_OFFSET(FAST_IO_DISPATCH, MdlWriteCompleteCompressed);
    g_LowerTable.SizeOfFastIoDispatch = last + sizeof(PVOID) - 1;
    EXPECT_FALSE(MdlWriteCompleteCompressed()) << "the entry does not fit the lower table";
    EXPECT_EQ(g_Calls.MdlWriteCompletes, 0);
    g_LowerTable.SizeOfFastIoDispatch = last + sizeof(PVOID);
    EXPECT_TRUE(MdlWriteCompleteCompressed());
    EXPECT_EQ(g_Calls.MdlWriteCompletes, 1);

    EXPECT_FALSE(Read(g_Quilt.ControlDevice)) << "the control device has nothing below it";
    lower_->DriverObject->FastIoDispatch = nullptr;
    EXPECT_FALSE(Read(ours_));
    EXPECT_EQ(g_Calls.Reads, 0);
}

}  // namespace
}  // namespace attach_test
