// Opening files below the protection: names, device hints, the junction
// recovery of OpenLowerFileResolved, closing, and renames through the volume,
// against scripted drives reached through the I/O manager's namespace.
#include <gtest/gtest.h>

#include <string>

#include "common/path_buffer.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "io/io.h"
#include "lowerio/file_open.h"
#include "rtl/convert.h"
#include "scripted_volume.h"
#include "support/kernel_fixture.h"

namespace {

using quilt_test::ScriptedVolume;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kDriveC = 2;
constexpr ULONG kDriveD = 3;

class FileOpenTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
        DriveStateInitialize();
        PathBufferListInitialize();
    }

    void TearDown() override {
        PathBufferListDelete();
        KernelTest::TearDown();
    }

    // Opens Path on Drive with read access, FILE_OPEN and the given options.
    PFILE_OBJECT Open(ULONG drive, const WCHAR* path, ULONG options = FILE_NON_DIRECTORY_FILE,
                      PBOOLEAN junction = nullptr) {
        status_ = {};
        return OpenLowerFileResolved(&handle_, FILE_READ_DATA | SYNCHRONIZE, drive, path, &status_, NULL,
                                     FILE_ATTRIBUTE_NORMAL, kShareAll, FILE_OPEN,
                                     options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0, junction);
    }

    HANDLE handle_ = nullptr;
    IO_STATUS_BLOCK status_ = {};
};

// ---- OpenLowerFile ----------------------------------------------------------------------

TEST_F(FileOpenTest, OpensTheVolumePathOnTheDriveWithAKernelHandle) {
    ScriptedVolume c(L'C');
    c.AddDirectory("\\dir");
    c.AddFile("\\dir\\a.txt");
    PFILE_OBJECT file = Open(kDriveC, L"\\dir\\a.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status_.Status, STATUS_SUCCESS);
    EXPECT_EQ(status_.Information, (ULONG_PTR)FILE_OPENED);
    EXPECT_NE(file->Flags & FO_SYNCHRONOUS_IO, 0u);
    ASSERT_EQ(c.Opens().size(), 1u);
    EXPECT_EQ(c.Opens()[0].Path, "\\dir\\a.txt");
    EXPECT_EQ(c.Opens()[0].Mode, KernelMode);
    // A kernel handle is valid in any process; the verifier would report a
    // handle in the System process's own table left open otherwise.
    CloseLowerFile(file, handle_);
}

TEST_F(FileOpenTest, AFailedOpenReportsWhyAndLeavesNoHandle) {
    ScriptedVolume c(L'C');
    c.FailOpen("\\locked", STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(kDriveC, L"\\locked"), nullptr);
    EXPECT_EQ(status_.Status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(Open(26, L"\\x"), nullptr) << "no drive beyond Z:";
    EXPECT_EQ(status_.Status, STATUS_INVALID_PARAMETER);
}

TEST_F(FileOpenTest, ANameTooLongForTheObjectManagerIsRefused) {
    ScriptedVolume c(L'C');
    std::u16string path = u"\\" + std::u16string(32760, u'x');
    EXPECT_EQ(Open(kDriveC, plat::WidePtr(path)), nullptr);
    EXPECT_EQ(status_.Status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_TRUE(c.Opens().empty());
}

TEST_F(FileOpenTest, AProtectedDriveIsOpenedBelowItsVolumeFilter) {
    ScriptedVolume c(L'C');
    c.AddFile("\\a");
    // A device of the driver's own above the drive, failing every open.
    static PDEVICE_OBJECT filter;
    struct Filter {
        static NTSTATUS NTAPI Deny(PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = STATUS_ACCESS_DENIED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_ACCESS_DENIED;
        }
        static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
            for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Deny;
            return IoCreateDevice(driver, sizeof(DeviceContext), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
        }
    };
    ASSERT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltFilterStandIn", Filter::Entry, NULL, NULL), STATUS_SUCCESS);
    RtlZeroMemory(filter->DeviceExtension, sizeof(DeviceContext));
    DeviceContextOf(filter)->LowerDevice = IoAttachDeviceToDeviceStack(filter, c.Device());

    EXPECT_EQ(Open(kDriveC, L"\\a"), nullptr) << "not protected: the open meets the filter";
    EXPECT_EQ(status_.Status, STATUS_ACCESS_DENIED);

    g_Drives.VolumeFilters[kDriveC] = filter;
    g_Drives.ProtectedMask = 1u << kDriveC;
    PFILE_OBJECT file = Open(kDriveC, L"\\a");
    ASSERT_NE(file, nullptr) << "protected: the open goes to the device below the filter";
    EXPECT_EQ(IoGetRelatedDeviceObject(file), c.Device());
    EXPECT_EQ(FileSystemDeviceOfDrive(kDriveC), c.Device());
    CloseLowerFile(file, handle_);

    IoDetachDevice(c.Device());
    IoDeleteDevice(filter);
}

TEST_F(FileOpenTest, AnOpenByFileIdGoesThroughTheVolumeDeviceWithAMarker) {
    ScriptedVolume volumeDevice(L'C', L"\\Device\\quiltC");
    LowerFileId id = {8, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08}};
    PFILE_OBJECT file = Open(kDriveC, reinterpret_cast<PCWSTR>(&id), FILE_OPEN_BY_FILE_ID);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(volumeDevice.Opens().size(), 1u);
    // "\" + the eight ID bytes + U+FFFF, after the device name.
    EXPECT_EQ(volumeDevice.Opens()[0].PathBytes, 12u);
    EXPECT_EQ(volumeDevice.Opens()[0].Path, "5c00112233445566770" "8ffff");
    CloseLowerFile(file, handle_);

    LowerFileId bad = {5, {}};
    EXPECT_EQ(Open(kDriveC, reinterpret_cast<PCWSTR>(&bad), FILE_OPEN_BY_FILE_ID), nullptr);
    EXPECT_EQ(status_.Status, STATUS_INVALID_PARAMETER);
}

// ---- Junctions ---------------------------------------------------------------------------

TEST_F(FileOpenTest, APathThroughAJunctionToAnotherDriveOpensTheTarget) {
    ScriptedVolume c(L'C');
    ScriptedVolume d(L'D');
    c.AddJunction("\\a", "D:\\t");
    d.AddDirectory("\\t");
    d.AddDirectory("\\t\\b");
    d.AddFile("\\t\\b\\c");
    BOOLEAN junction = FALSE;
    PFILE_OBJECT file = Open(kDriveC, L"\\a\\b\\c", FILE_NON_DIRECTORY_FILE, &junction);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(junction);
    EXPECT_EQ(status_.Status, STATUS_SUCCESS);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), d.Device());

    // The first open, then the probes from the whole path up to the junction.
    ASSERT_EQ(c.Opens().size(), 4u);
    EXPECT_EQ(c.Opens()[0].Result, STATUS_MOUNT_POINT_NOT_RESOLVED);
    EXPECT_EQ(c.Opens()[1].Path, "\\a\\b\\c");
    EXPECT_EQ(c.Opens()[2].Path, "\\a\\b");
    EXPECT_EQ(c.Opens()[3].Path, "\\a");
    EXPECT_NE(c.Opens()[3].Options & FILE_OPEN_REPARSE_POINT, 0u) << "the junction is opened itself";
    EXPECT_EQ(c.Opens()[3].DesiredAccess & (FILE_READ_ATTRIBUTES | FILE_READ_EA),
              (ACCESS_MASK)(FILE_READ_ATTRIBUTES | FILE_READ_EA));

    // The open of the target carries the caller's parameters.
    ASSERT_EQ(d.Opens().size(), 1u);
    EXPECT_EQ(d.Opens()[0].Path, "\\t\\b\\c");
    EXPECT_EQ(d.Opens()[0].Disposition, (ULONG)FILE_OPEN);
    EXPECT_NE(d.Opens()[0].Options & FILE_NON_DIRECTORY_FILE, 0u);
    EXPECT_NE(d.Opens()[0].DesiredAccess & FILE_READ_DATA, 0u);
    CloseLowerFile(file, handle_);
}

TEST_F(FileOpenTest, AJunctionTargetWithALowerCaseLetterIsOnThatDrive) {
    ScriptedVolume c(L'C');
    ScriptedVolume d(L'D');
    c.AddJunction("\\a", "d:\\t");
    d.AddDirectory("\\t");
    d.AddFile("\\t\\x");
    PFILE_OBJECT file = Open(kDriveC, L"\\a\\x");
    ASSERT_NE(file, nullptr);
    CloseLowerFile(file, handle_);
}

TEST_F(FileOpenTest, AJunctionTargetWithoutDriveLetterFailsWithTheOpensStatus) {
    ScriptedVolume c(L'C');
    c.AddJunction("\\a", "\\\\server\\share");
    BOOLEAN junction = FALSE;
    EXPECT_EQ(Open(kDriveC, L"\\a\\x", FILE_NON_DIRECTORY_FILE, &junction), nullptr);
    EXPECT_TRUE(junction);
    EXPECT_FALSE(NT_SUCCESS(status_.Status));
    EXPECT_NE(status_.Status, STATUS_MOUNT_POINT_NOT_RESOLVED) << "the status of the second open";
}

TEST_F(FileOpenTest, OtherFailuresAreNotRetried) {
    ScriptedVolume c(L'C');
    c.AddJunction("\\a", "D:\\t");
    c.FailOpen("\\a\\x", STATUS_ACCESS_DENIED);
    BOOLEAN junction = TRUE;
    EXPECT_EQ(Open(kDriveC, L"\\a\\x", FILE_NON_DIRECTORY_FILE, &junction), nullptr);
    EXPECT_EQ(status_.Status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(junction) << "cleared at the start";
    EXPECT_EQ(c.Opens().size(), 1u);
}

TEST_F(FileOpenTest, AMissingNameWithoutJunctionKeepsItsStatus) {
    ScriptedVolume c(L'C');
    c.AddDirectory("\\dir");
    EXPECT_EQ(Open(kDriveC, L"\\dir\\missing"), nullptr);
    EXPECT_EQ(status_.Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(kDriveC, L"\\nodir\\missing"), nullptr);
    EXPECT_EQ(status_.Status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(kDriveC, L"relative"), nullptr) << "a path without leading backslash is given up";
}

TEST_F(FileOpenTest, ACombinationLongerThanAPathBufferIsRefused) {
    ScriptedVolume c(L'C');
    ScriptedVolume d(L'D');
    c.AddJunction("\\a", "D:\\" + std::string(4000, 't'));
    std::u16string path = u"\\a\\" + std::u16string(29000, u'x');
    EXPECT_EQ(Open(kDriveC, plat::WidePtr(path)), nullptr);
    EXPECT_EQ(status_.Status, STATUS_MOUNT_POINT_NOT_RESOLVED) << "the original status";
    EXPECT_TRUE(d.Opens().empty());
}

TEST_F(FileOpenTest, OpensByIdAndOfTheVolumeAreNotResolved) {
    ScriptedVolume c(L'C');
    c.FailOpen("", STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(kDriveC, NULL, 0), nullptr);
    EXPECT_EQ(c.Opens().size(), 1u);
}

// ---- Closing and holding ----------------------------------------------------------------

TEST_F(FileOpenTest, CloseLowerFileNeedsBothHalves) {
    ScriptedVolume c(L'C');
    c.AddFile("\\a");
    PFILE_OBJECT file = Open(kDriveC, L"\\a");
    ASSERT_NE(file, nullptr);
    CloseLowerFile(NULL, handle_);
    CloseLowerFile(file, NULL);
    // Both still open: the verifier would report neither leak otherwise.
    EXPECT_EQ(plat::IoFileHandleCount(file), 1u);
    CloseLowerFile(file, handle_);
}

TEST_F(FileOpenTest, AHolderClosesWhatItHeldBeforeOpeningAgain) {
    ScriptedVolume c(L'C');
    c.AddFile("\\a");
    c.AddFile("\\b");
    {
        LowerFileHolder holder;
        EXPECT_EQ(holder.FileObject, nullptr);
        EXPECT_EQ(holder.Open(FILE_READ_ATTRIBUTES, kDriveC, L"\\a", 0, kShareAll, FILE_OPEN, 0), STATUS_SUCCESS);
        PFILE_OBJECT first = holder.FileObject;
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(holder.Open(FILE_READ_ATTRIBUTES, kDriveC, L"\\missing", 0, kShareAll, FILE_OPEN, 0),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(holder.FileObject, nullptr);
        EXPECT_EQ(holder.Handle, nullptr);
        EXPECT_EQ(holder.Open(FILE_READ_ATTRIBUTES, kDriveC, L"\\b", 0, kShareAll, FILE_OPEN, 0), STATUS_SUCCESS);
    }
    // The holder went out of scope with \b open: TearDown's verifier finds no handle left.
}

// ---- Renames through the volume ---------------------------------------------------------

TEST_F(FileOpenTest, ARenameReplacesTheTargetFile) {
    ScriptedVolume c(L'C');
    c.AddDirectory("\\dir");
    c.AddFile("\\dir\\old", "new content");
    c.AddFile("\\dir\\new", "replaced content");
    EXPECT_EQ(RenameThroughVolume(c.Device(), NULL, L"\\dir\\old", L"\\dir\\new", kDriveC), STATUS_SUCCESS);
    EXPECT_FALSE(c.Exists("\\dir\\old"));
    EXPECT_EQ(c.Content("\\dir\\new"), "new content");
    ASSERT_EQ(c.Renames().size(), 1u);
    const quilt_test::ScriptedRename& rename = c.Renames()[0];
    EXPECT_TRUE(rename.Replaced);
    EXPECT_TRUE(rename.ReplaceIfExists);
    EXPECT_EQ(rename.NewName, "\\??\\C:\\dir\\new");
    EXPECT_EQ(rename.Length, sizeof(FILE_RENAME_INFORMATION) + rename.NewName.size() * 2);
    // The target directory was opened as such, with access checks.
    const quilt_test::ScriptedOpen& target = c.Opens()[0];
    EXPECT_EQ(target.Path, "\\dir\\new");
    EXPECT_NE(target.Flags & SL_OPEN_TARGET_DIRECTORY, 0);
}

TEST_F(FileOpenTest, ARenameOnAProtectedDriveNamesTheTargetThroughTheVolumeDevice) {
    ScriptedVolume c(L'C', L"\\Device\\quiltC");
    c.AddFile("\\a", "data");
    // The drive counts as protected: a volume filter whose lower device is the drive.
    DEVICE_OBJECT filter = {};
    DeviceContext context = {};
    context.LowerDevice = c.Device();
    filter.DeviceExtension = &context;
    g_Drives.VolumeFilters[kDriveC] = &filter;
    g_Drives.ProtectedMask = 1u << kDriveC;

    HANDLE handle = nullptr;
    IO_STATUS_BLOCK status = {};
    PFILE_OBJECT source = OpenLowerFileResolved(&handle, DELETE | SYNCHRONIZE, kDriveC, L"\\a", &status, NULL, 0,
                                                kShareAll, FILE_OPEN, 0, NULL, 0, NULL, 0, NULL);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(RenameThroughVolume(c.Device(), source, NULL, L"\\b", kDriveC), STATUS_SUCCESS);
    EXPECT_EQ(c.Renames().back().NewName, "\\Device\\quiltC\\b");
    EXPECT_FALSE(c.Renames().back().Replaced);
    EXPECT_EQ(c.Content("\\b"), "data");
    CloseLowerFile(source, handle);
}

TEST_F(FileOpenTest, ARenameWhoseTargetDirectoryCannotBeOpenedFails) {
    ScriptedVolume c(L'C');
    c.AddFile("\\a");
    EXPECT_EQ(RenameThroughVolume(c.Device(), NULL, L"\\a", L"\\nodir\\b", kDriveC), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(c.Renames().empty());
    EXPECT_EQ(RenameThroughVolume(NULL, NULL, L"\\a", L"\\b", kDriveC), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RenameThroughVolume(c.Device(), NULL, NULL, L"\\b", kDriveC), STATUS_INVALID_PARAMETER);
}

// ---- Files through the whole stack ------------------------------------------------------

TEST_F(FileOpenTest, ADosDeviceFileIsOpenedWithItsSizeAndWriteTime) {
    ScriptedVolume c(L'C');
    c.AddDirectory("\\Quilt");
    c.AddFile("\\Quilt\\check.dat", "0123456789");
    HANDLE handle = nullptr;
    ULONG size = 0;
    LARGE_INTEGER written = {};
    ASSERT_EQ(OpenDosDeviceFile(L"C:\\Quilt\\check.dat", &handle, &size, &written), STATUS_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(written.QuadPart, ScriptedVolume::kLastWriteTime);
    EXPECT_EQ(c.Opens().back().Path, "\\Quilt\\check.dat");
    EXPECT_EQ(c.Opens().back().Disposition, (ULONG)FILE_OPEN);
    ZwClose(handle);
}

TEST_F(FileOpenTest, ADosDeviceFileIsMissingAsNoSuchFile) {
    ScriptedVolume c(L'C');
    HANDLE handle = nullptr;
    ULONG size = 0;
    LARGE_INTEGER written = {};
    EXPECT_EQ(OpenDosDeviceFile(L"C:\\missing.txt", &handle, &size, &written), STATUS_NO_SUCH_FILE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(OpenDosDeviceFile(NULL, &handle, &size, &written), STATUS_INVALID_PARAMETER);
}

TEST_F(FileOpenTest, TheFileSystemDeviceOfADriveComesFromItsRoot) {
    ScriptedVolume c(L'C');
    EXPECT_EQ(FileSystemDeviceOfDrive(kDriveC), c.Device());
    EXPECT_EQ(FileSystemDeviceOfDrive(kDriveD), nullptr) << "no drive D:";
    EXPECT_EQ(FileSystemDeviceOfDrive(26), nullptr);
}

}  // namespace
