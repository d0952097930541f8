// Opens: names through symbolic links to volumes, mounting on first open,
// direct device opens, the device an open reaches with and without a hint,
// relative opens, reparse restarts, and when cleanup and close are sent.
#include "io_world.h"

#include "io/io.h"

namespace iotest {
namespace {

using Journal = std::vector<std::string>;

class OpenTest : public IoWorldTest {
protected:
    PDEVICE_OBJECT Disk = nullptr;
    PDEVICE_OBJECT FileSystem = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        Disk = CreateDisk(L"Disk0", L"\\??\\T:");
        FileSystem = LoadFileSystem(L"TestFs");
        JournalClear();
    }

    // Opens (creating) a file on T: and returns its handle.
    HANDLE OpenOnT(PCWSTR Name, ULONG Disposition = FILE_OPEN_IF) {
        HANDLE handle = nullptr;
        EXPECT_EQ(OpenKernel(Name, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                             &handle, nullptr, Disposition),
                  STATUS_SUCCESS);
        return handle;
    }
};

TEST_F(OpenTest, FirstOpenThroughDriveLetterMountsTheVolumeAndReachesItsFileSystem) {
    EXPECT_EQ(MountedVolume(Disk), nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb = {};
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\file.txt", GENERIC_WRITE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &handle,
                         &iosb, FILE_OPEN_IF),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, static_cast<ULONG_PTR>(FILE_CREATED));
    PDEVICE_OBJECT volume = MountedVolume(Disk);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\file.txt"}));

    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(file->DeviceObject, Disk);
    EXPECT_EQ(file->Vpb, Disk->Vpb);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), volume);
    EXPECT_EQ(Narrow(&file->FileName), "\\file.txt");
    EXPECT_TRUE(file->Flags & FO_SYNCHRONOUS_IO);
    EXPECT_EQ(Disk->Vpb->ReferenceCount, 1u);
    EXPECT_EQ(LastCreate().Options >> 24, static_cast<ULONG>(FILE_OPEN_IF));
    EXPECT_EQ(LastCreate().RequestorMode, KernelMode);
    ObDereferenceObject(file);
    ZwClose(handle);
    EXPECT_EQ(Disk->Vpb->ReferenceCount, 0u);

    // The second open finds the volume mounted.
    handle = OpenOnT(L"\\??\\T:\\file.txt", FILE_OPEN);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:cleanup:\\file.txt", "TestFs:close:\\file.txt",
                                           "TestFs:create:\\file.txt", "TestFs:cleanup:\\file.txt",
                                           "TestFs:close:\\file.txt"}));
}

TEST_F(OpenTest, VolumeOpenForAttributesGoesToTheDiskWithoutMounting) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(L"\\??\\T:", SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(MountedVolume(Disk), nullptr);
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_TRUE(file->Flags & FO_DIRECT_DEVICE_OPEN);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), Disk);
    ObDereferenceObject(file);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"disk:create", "disk:cleanup", "disk:close"}));

    // Asking for data rights opens the volume through its file system.
    ASSERT_EQ(OpenKernel(L"\\??\\T:", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &handle),
              STATUS_SUCCESS);
    EXPECT_NE(MountedVolume(Disk), nullptr);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:", "TestFs:cleanup:\\", "TestFs:close:\\"}));
}

TEST_F(OpenTest, OpenEntersAtTheTopOfTheVolumeStackUnlessAHintNamesALowerDevice) {
    ZwClose(OpenOnT(L"\\??\\T:\\a"));
    PDEVICE_OBJECT volume = MountedVolume(Disk);
    PDEVICE_OBJECT filter = AttachFilter(volume, "flt");
    EXPECT_EQ(filter->StackSize, volume->StackSize + 1);
    JournalClear();

    ZwClose(OpenOnT(L"\\??\\T:\\a"));
    EXPECT_EQ(JournalTake(), (Journal{"flt:create", "TestFs:create:\\a", "flt:cleanup", "TestFs:cleanup:\\a",
                                           "flt:close", "TestFs:close:\\a"}));

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\T:\\a");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(IoCreateFileSpecifyDeviceObjectHint(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr,
                                                  0, FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                                  nullptr, 0, CreateFileTypeNone, nullptr, 0, volume),
              STATUS_SUCCESS);
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), volume);
    EXPECT_EQ(LastCreate().Device, volume);
    ObDereferenceObject(file);
    ZwClose(handle);
    // Create, cleanup and close bypass the filter.
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:create:\\a", "TestFs:cleanup:\\a", "TestFs:close:\\a"}));

    // A hint outside the volume's stack is refused.
    PDEVICE_OBJECT other = CreateDisk(L"Disk1", L"\\??\\U:");
    EXPECT_EQ(IoCreateFileSpecifyDeviceObjectHint(&handle, GENERIC_READ, &attributes, &iosb, nullptr, 0,
                                                  FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0, CreateFileTypeNone,
                                                  nullptr, 0, other),
              STATUS_INVALID_DEVICE_OBJECT_PARAMETER);
}

TEST_F(OpenTest, CleanupFollowsTheLastHandleAndCloseTheLastReference) {
    HANDLE first = OpenOnT(L"\\??\\T:\\f");
    PFILE_OBJECT file = FileOf(first);
    HANDLE second = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(file, OBJ_KERNEL_HANDLE, nullptr, 0, *IoFileObjectType, KernelMode, &second),
              STATUS_SUCCESS);
    JournalClear();

    ZwClose(first);
    EXPECT_TRUE(JournalTake().empty());
    EXPECT_EQ(plat::IoFileHandleCount(file), 1u);
    ZwClose(second);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:cleanup:\\f"}));
    EXPECT_TRUE(file->Flags & FO_CLEANUP_COMPLETE);
    ObDereferenceObject(file);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:close:\\f"}));
}

TEST_F(OpenTest, ARelativeOpenNamesItsParentAndHoldsItUntilTheFileGoes) {
    HANDLE directory = OpenOnT(L"\\??\\T:\\dir");
    PFILE_OBJECT parent = FileOf(directory);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"child");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, directory, nullptr);
    HANDLE child = nullptr;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwCreateFile(&child, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN_IF,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(LastCreate().RelatedFileObject, parent);
    PFILE_OBJECT file = FileOf(child);
    EXPECT_EQ(file->RelatedFileObject, parent);
    EXPECT_EQ(Narrow(&file->FileName), "child");
    ObDereferenceObject(parent);
    ZwClose(directory);
    JournalClear();
    // The parent's close waits for the child's.
    ZwClose(child);
    ObDereferenceObject(file);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:cleanup:\\dir\\child", "TestFs:close:\\dir\\child",
                                           "TestFs:close:\\dir"}));
}

TEST_F(OpenTest, AFailedCreateOwesNeitherCleanupNorClose) {
    Behaviour().CreateStatus = STATUS_SHARING_VIOLATION;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb = {};
    EXPECT_EQ(OpenKernel(L"\\??\\T:\\busy", GENERIC_READ, 0, &handle, &iosb), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\busy"}));
    EXPECT_EQ(Disk->Vpb->ReferenceCount, 0u);
}

TEST_F(OpenTest, ACreateTheFileSystemCompletesLaterIsWaitedFor) {
    Behaviour().PendCreates = true;
    HANDLE handle = OpenOnT(L"\\??\\T:\\slow");
    ASSERT_NE(handle, nullptr);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\slow", "TestFs:cleanup:\\slow",
                                           "TestFs:close:\\slow"}));
}

TEST_F(OpenTest, ReparseWithANewNameStartsTheLookupAgain) {
    Behaviour().Reparse.push_back({u"\\old", u"", u"\\??\\T:\\new"});
    HANDLE handle = OpenOnT(L"\\??\\T:\\old");
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(Narrow(&file->FileName), "\\new");
    ObDereferenceObject(file);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\old", "TestFs:create:\\new",
                                           "TestFs:cleanup:\\new", "TestFs:close:\\new"}));
}

TEST_F(OpenTest, AJunctionLeadsToItsSubstituteNameFollowedByTheRestOfThePath) {
    CreateDisk(L"Disk1", L"\\??\\U:");
    Behaviour().Reparse.push_back({u"\\junction", u"\\??\\U:\\target", u""});
    HANDLE handle = OpenOnT(L"\\??\\T:\\junction\\a\\b");
    PFILE_OBJECT file = FileOf(handle);
    EXPECT_EQ(Narrow(&file->FileName), "\\target\\a\\b");
    ObDereferenceObject(file);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\junction\\a\\b", "TestFs:mount",
                                           "TestFs:create:\\target\\a\\b", "TestFs:cleanup:\\target\\a\\b",
                                           "TestFs:close:\\target\\a\\b"}));
}

TEST_F(OpenTest, AHintedOpenThatAJunctionSendsToAnotherVolumeIsNotResolved) {
    CreateDisk(L"Disk1", L"\\??\\U:");
    ZwClose(OpenOnT(L"\\??\\T:\\x"));
    ZwClose(OpenOnT(L"\\??\\U:\\x"));
    Behaviour().Reparse.push_back({u"\\junction", u"\\??\\U:\\target", u""});
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\T:\\junction\\a");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoCreateFileSpecifyDeviceObjectHint(&handle, GENERIC_READ, &attributes, &iosb, nullptr, 0, 0,
                                                  FILE_OPEN, 0, nullptr, 0, CreateFileTypeNone, nullptr, 0,
                                                  MountedVolume(Disk)),
              STATUS_MOUNT_POINT_NOT_RESOLVED);
}

TEST_F(OpenTest, AVolumeNoFileSystemRecognisesCannotBeOpened) {
    CreateDisk(L"Blank", L"\\??\\B:", false);
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenKernel(L"\\??\\B:\\x", GENERIC_READ, 0, &handle), STATUS_UNRECOGNIZED_VOLUME);
}

TEST_F(OpenTest, IoCreateFileOptionsBecomeCreateFlags) {
    ZwClose(OpenOnT(L"\\??\\T:\\dir"));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\T:\\dir\\new");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(IoCreateFile(&handle, SYNCHRONIZE | FILE_ADD_FILE, &attributes, &iosb, nullptr, 0, 7, FILE_OPEN_IF, 0,
                           nullptr, 0, CreateFileTypeNone, nullptr, IO_FORCE_ACCESS_CHECK | IO_OPEN_TARGET_DIRECTORY),
              STATUS_SUCCESS);
    CreateSeen seen = LastCreate();
    EXPECT_EQ(seen.Flags & (SL_FORCE_ACCESS_CHECK | SL_OPEN_TARGET_DIRECTORY | SL_CASE_SENSITIVE),
              SL_FORCE_ACCESS_CHECK | SL_OPEN_TARGET_DIRECTORY | SL_CASE_SENSITIVE);
    EXPECT_EQ(seen.RequestorMode, KernelMode);
    EXPECT_EQ(seen.ShareAccess, 7);
    EXPECT_EQ(seen.DesiredAccess, static_cast<ACCESS_MASK>(SYNCHRONIZE | FILE_ADD_FILE));
    ZwClose(handle);
}

TEST_F(OpenTest, DeviceObjectPointerOpensTheDeviceAndReturnsTheTopOfItsStack) {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Disk0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, Disk);
    EXPECT_EQ(JournalTake(), (Journal{"disk:create", "disk:cleanup"}));
    ObDereferenceObject(file);
    EXPECT_EQ(JournalTake(), (Journal{"disk:close"}));
}

}  // namespace
}  // namespace iotest
