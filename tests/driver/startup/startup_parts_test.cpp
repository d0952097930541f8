// The pieces of volume start-up on their own: the drive part of the check
// file, the markers the volume device strips, and the sibling's sectors.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "frame/check_file.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "frame/sibling_disk.h"
#include "lowerio/file_open.h"
#include "sibling/pleat/pleat.h"
#include "support/kernel_fixture.h"

namespace {

// ---- Check file ------------------------------------------------------------------------

TEST(CheckFileDrives, ProtectedDrivesAreTheLinesOfOneAndALetterInEitherCase) {
    std::u16string text = u"\xFEFF" u"1c:\\data\r\n0D:\\\r\n1\r\n1e\n11:\\\r\n1Z";
    ULONG mask = ReadCheckFileDrives(reinterpret_cast<PWSTR>(text.data()), static_cast<ULONG>(text.size()));
    EXPECT_EQ((1u << 2) | (1u << 4) | (1u << 25), mask);
    EXPECT_EQ(u"\xFEFF" u"1C:\\data\r\n0D:\\\r\n1\r\n1E\n11:\\\r\n1Z", text);  // letters of "1" lines upper-cased
}

TEST(CheckFileDrives, TheByteOrderMarkIsNoLine) {
    std::u16string text = u"1C\n";  // the first character is taken as the mark
    EXPECT_EQ(0u, ReadCheckFileDrives(reinterpret_cast<PWSTR>(text.data()), static_cast<ULONG>(text.size())));
    EXPECT_EQ(0u, ReadCheckFileDrives(nullptr, 4));
}

// ---- Markers of the volume device ----------------------------------------------------------

class VolumeDeviceMarkerTest : public quilt_test::KernelTest {
protected:
    // Strips Name as a create with Options would; returns the name left.
    std::u16string Strip(std::u16string Name, ULONG Options, KPROCESSOR_MODE* Mode) {
        buffer = Name;
        FILE_OBJECT file = {};
        file.FileName.Buffer = reinterpret_cast<PWSTR>(buffer.data());
        file.FileName.Length = static_cast<USHORT>(buffer.size() * 2);
        file.FileName.MaximumLength = file.FileName.Length;
        PIRP irp = IoAllocateIrp(1, FALSE);
        EXPECT_NE(nullptr, irp);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->FileObject = &file;
        stack->Parameters.Create.Options = Options;
        irp->RequestorMode = *Mode;
        StripLowerOpenMarkers(irp);
        *Mode = irp->RequestorMode;
        IoFreeIrp(irp);
        return buffer.substr(0, file.FileName.Length / 2);
    }

    std::u16string buffer;
};

TEST_F(VolumeDeviceMarkerTest, ByIdNamesLoseTheirMarker) {
    KPROCESSOR_MODE mode = KernelMode;
    const std::u16string id = u"\x0101\x0202\x0303\x0404";  // 8 bytes
    const std::u16string objectId = id + id;                 // 16 bytes
    EXPECT_EQ(u"\\" + id, Strip(u"\\" + id + u"\xFFFF", FILE_OPEN_BY_FILE_ID, &mode));
    EXPECT_EQ(u"\\" + objectId, Strip(u"\\" + objectId + u"\xFFFF", FILE_OPEN_BY_FILE_ID, &mode));
    EXPECT_EQ(id, Strip(u"\\" + id, FILE_OPEN_BY_FILE_ID, &mode));  // given with its backslash alone
    EXPECT_EQ(id + u"\xFFFF\x0505", Strip(id + u"\xFFFF\x0505", FILE_OPEN_BY_FILE_ID, &mode));  // no ID name
}

TEST_F(VolumeDeviceMarkerTest, AccessCheckMarkerMakesAUserModeOpen) {
    KPROCESSOR_MODE mode = KernelMode;
    EXPECT_EQ(u"\\dir\\file", Strip(u"\\dir\\file\xFFFE", 0, &mode));
    EXPECT_EQ(UserMode, mode);
    mode = UserMode;
    EXPECT_EQ(u"\\dir\\file", Strip(u"\\dir\\file", 0, &mode));
    EXPECT_EQ(KernelMode, mode);
    mode = UserMode;
    EXPECT_EQ(u"\xFFFE", Strip(u"\xFFFE", 0, &mode));  // too short to carry a name and the marker
    EXPECT_EQ(KernelMode, mode);
}

// ---- The sibling's sectors -----------------------------------------------------------------

class SiblingDiskTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        DriveStateInitialize();
        g_Quilt.InstallDrive = 0;  // nothing is logged
        g_Quilt.LoadLocalTime.QuadPart = 134117029623450000LL;  // 2026-01-01 01:02:42.345
        Store.Format();
    }

    void TearDown() override {
        if (Driver != nullptr) Driver->DriverUnload(Driver);
        KernelTest::TearDown();
    }

    void Load() { ASSERT_EQ(STATUS_SUCCESS, pleat::LoadSibling(&Store, &Driver)); }

    std::string Sector(ULONG Number) {
        std::string bytes(pleat::kSectorSize, '\0');
        EXPECT_EQ(STATUS_SUCCESS, Store.Read(Number, 1, bytes.data()));
        return bytes;
    }

    void SetStatusSectorNumber(ULONG Number) {
        for (ULONG i = 0; i < 4; ++i) {
            Store.Poke(pleat::kHeaderSector, pleat::kHeaderStatusSectorOffset + i, static_cast<UCHAR>(Number >> (8 * i)));
        }
    }

    pleat::SectorStore Store;
    PDRIVER_OBJECT Driver = nullptr;
};

TEST_F(SiblingDiskTest, CheckRecordsTheStartAndTheStatusCodesFollow) {
    Load();
    Store.Poke(pleat::kDefaultStatusSector, pleat::kStatusCodeOffset, pleat::kStatusCleanEnd);
    ASSERT_EQ(LAST_SHUTDOWN_CLEAN, CheckLastShutdown());
    EXPECT_EQ(pleat::kDefaultStatusSector, g_Drives.SiblingStatusSector);
    std::string status = Sector(pleat::kDefaultStatusSector);
    const unsigned char start[10] = {0xEA, 0x07, 1, 1, 1, 2, 42, 0, 0x59, 0x01};
    EXPECT_EQ(0, memcmp(status.data() + pleat::kStatusStartTimeOffset, start, sizeof(start)));
    EXPECT_EQ(SIBLING_STATUS_SHUTDOWN_CHECKED, static_cast<UCHAR>(status[pleat::kStatusCodeOffset]));

    WriteStatusCode(SIBLING_STATUS_PROTECTED);
    EXPECT_EQ(SIBLING_STATUS_PROTECTED, *Store.StatusCode());
    status[pleat::kStatusCodeOffset] = static_cast<char>(SIBLING_STATUS_PROTECTED);
    EXPECT_EQ(status, Sector(pleat::kDefaultStatusSector));  // nothing else changed
}

TEST_F(SiblingDiskTest, UnusableSectorsFailTheCheck) {
    Load();
    struct Damage {
        ULONG Sector;
        ULONG Offset;
        UCHAR Value;
    };
    for (Damage damage : {Damage{pleat::kMarkerSector, pleat::kMarkerTextOffset + 5, 'X'},
                          Damage{pleat::kMarkerSector, pleat::kMarkerFlagOffset, 2},
                          Damage{pleat::kHeaderSector, pleat::kHeaderVersionOffset, 4},
                          Damage{pleat::kHeaderSector, pleat::kHeaderFlagOffset1, 0},
                          Damage{pleat::kHeaderSector, pleat::kHeaderFlagOffset2, 0}}) {
        Store.Format();
        Store.Poke(damage.Sector, damage.Offset, damage.Value);
        EXPECT_EQ(LAST_SHUTDOWN_CHECK_FAILED, CheckLastShutdown()) << damage.Sector << "/" << damage.Offset;
        EXPECT_TRUE(Store.StatusCodeHistory(true).empty());
    }
    Store.Remove();
    EXPECT_EQ(LAST_SHUTDOWN_CHECK_FAILED, CheckLastShutdown());
}

TEST_F(SiblingDiskTest, WithoutTheSiblingTheCheckFailsAtOnce) {
    EXPECT_EQ(LAST_SHUTDOWN_CHECK_FAILED, CheckLastShutdown());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SiblingDiskRequest(SIBLING_OPERATION_READ, 0, 1, nullptr));
}

TEST_F(SiblingDiskTest, StatusSectorZeroOrOutsideTheDiskIsNeverWritten) {
    Load();
    std::string marker = Sector(pleat::kMarkerSector);
    SetStatusSectorNumber(0);
    EXPECT_EQ(LAST_SHUTDOWN_CLEAN, CheckLastShutdown());
    WriteStatusCode(SIBLING_STATUS_STARTUP_ENDED);
    EXPECT_EQ(marker, Sector(pleat::kMarkerSector));

    SetStatusSectorNumber(pleat::kDefaultSectorCount + 5);  // cannot be read: the check still holds
    EXPECT_EQ(LAST_SHUTDOWN_CLEAN, CheckLastShutdown());
    WriteStatusCode(SIBLING_STATUS_STARTUP_ENDED);
    EXPECT_TRUE(Store.StatusCodeHistory().empty());
}

}  // namespace
