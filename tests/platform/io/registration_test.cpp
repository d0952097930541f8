// File-system registration and mounting: registration-change routines, the
// order in which file systems are asked to mount, recognisers, and a filter
// that opens the volume from the completion of its mount.
#include "io_world.h"

#include "io/io.h"

namespace iotest {
namespace {

using Journal = std::vector<std::string>;

struct Notification {
    PDEVICE_OBJECT Device;
    BOOLEAN Active;
};
std::vector<Notification> g_Notifications;

VOID NTAPI RecordRegistration(PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive) {
    g_Notifications.push_back({DeviceObject, FsActive});
}

NTSTATUS NTAPI NothingToDo(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

// ---- A filter on a file system's control device that watches mounts ----------------

struct MountWatch {
    PDEVICE_OBJECT Lower;
    bool SawMounted;
    NTSTATUS OpenStatus;
};

NTSTATUS NTAPI MountCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* watch = static_cast<MountWatch*>(Context);
    PVPB vpb = IoGetCurrentIrpStackLocation(Irp)->Parameters.MountVolume.Vpb;
    watch->SawMounted = NT_SUCCESS(Irp->IoStatus.Status) && (vpb->Flags & VPB_MOUNTED) && vpb->DeviceObject != nullptr;
    HANDLE handle = nullptr;
    watch->OpenStatus = OpenKernel(L"\\??\\T:\\seen", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                                   &handle, nullptr, FILE_OPEN_IF);
    if (NT_SUCCESS(watch->OpenStatus)) ZwClose(handle);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MountWatchDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* watch = static_cast<MountWatch*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL && location->MinorFunction == IRP_MN_MOUNT_VOLUME) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, MountCompletion, watch, TRUE, TRUE, TRUE);
        return IoCallDriver(watch->Lower, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(watch->Lower, Irp);
}

NTSTATUS NTAPI MountWatchEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) dispatch = MountWatchDispatch;
    return STATUS_SUCCESS;
}

class RegistrationTest : public IoWorldTest {
protected:
    void SetUp() override {
        IoWorldTest::SetUp();
        g_Notifications.clear();
    }
};

TEST_F(RegistrationTest, ARegistrationRoutineHearsOfRegisteredFileSystemsAtOnceAndOfLaterChanges) {
    PDEVICE_OBJECT first = LoadFileSystem(L"First");
    PDEVICE_OBJECT cdrom = LoadFileSystem(L"Cdfs", MountAnswer::Mount, FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    PDRIVER_OBJECT listener = nullptr;
    ASSERT_EQ(plat::IoLoadDriver(L"Listener", NothingToDo, nullptr, &listener), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterFsRegistrationChange(listener, RecordRegistration), STATUS_SUCCESS);
    ASSERT_EQ(g_Notifications.size(), 2u);
    EXPECT_EQ(g_Notifications[0].Device, first);
    EXPECT_EQ(g_Notifications[1].Device, cdrom);
    EXPECT_TRUE(g_Notifications[0].Active && g_Notifications[1].Active);

    PDEVICE_OBJECT second = LoadFileSystem(L"Second");
    IoUnregisterFileSystem(first);
    ASSERT_EQ(g_Notifications.size(), 4u);
    EXPECT_EQ(g_Notifications[2].Device, second);
    EXPECT_TRUE(g_Notifications[2].Active);
    EXPECT_EQ(g_Notifications[3].Device, first);
    EXPECT_FALSE(g_Notifications[3].Active);

    IoUnregisterFsRegistrationChange(listener, RecordRegistration);
    LoadFileSystem(L"Third");
    EXPECT_EQ(g_Notifications.size(), 4u);
}

TEST_F(RegistrationTest, AMountAsksEachFileSystemInTurnUntilOneMounts) {
    CreateDisk(L"Disk0", L"\\??\\T:");
    LoadFileSystem(L"Picky", MountAnswer::Unrecognised);
    LoadFileSystem(L"Willing");
    LoadFileSystem(L"Later");
    JournalClear();
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\f", GENERIC_READ, 0, &handle, nullptr, FILE_OPEN_IF), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"Picky:mount", "Willing:mount", "Willing:create:\\f", "Willing:cleanup:\\f",
                                      "Willing:close:\\f"}));
}

TEST_F(RegistrationTest, AMountFailureOtherThanAnUnknownVolumeEndsTheScan) {
    CreateDisk(L"Disk0", L"\\??\\T:");
    LoadFileSystem(L"Broken", MountAnswer::Fail);
    LoadFileSystem(L"Willing");
    JournalClear();
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenKernel(L"\\??\\T:\\f", GENERIC_READ, 0, &handle), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_EQ(JournalTake(), (Journal{"Broken:mount"}));
}

TEST_F(RegistrationTest, ARecogniserLoadsTheRealFileSystemAndTheMountStartsAgain) {
    PDEVICE_OBJECT disk = CreateDisk(L"Disk0", L"\\??\\T:");
    LoadFileSystem(L"Recogniser", MountAnswer::NeedsDriver);
    JournalClear();
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\f", GENERIC_READ, 0, &handle, nullptr, FILE_OPEN_IF), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"Recogniser:mount", "Recogniser:load", "RealFs:mount", "RealFs:create:\\f",
                                      "RealFs:cleanup:\\f", "RealFs:close:\\f"}));
    EXPECT_NE(MountedVolume(disk), nullptr);
}

TEST_F(RegistrationTest, TheCompletionOfAMountAlreadySeesTheVolumeMountedAndCanOpenIt) {
    CreateDisk(L"Disk0", L"\\??\\T:");
    PDEVICE_OBJECT fs = LoadFileSystem(L"TestFs");
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(plat::IoLoadDriver(L"MountWatch", MountWatchEntry, nullptr, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT watcher = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(MountWatch), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &watcher),
              STATUS_SUCCESS);
    auto* watch = static_cast<MountWatch*>(watcher->DeviceExtension);
    watch->Lower = IoAttachDeviceToDeviceStack(watcher, fs);
    watcher->Flags &= ~DO_DEVICE_INITIALIZING;
    JournalClear();

    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\f", GENERIC_READ, 0, &handle, nullptr, FILE_OPEN_IF), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_TRUE(watch->SawMounted);
    EXPECT_EQ(watch->OpenStatus, STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"TestFs:mount", "TestFs:create:\\seen", "TestFs:cleanup:\\seen",
                                      "TestFs:close:\\seen", "TestFs:create:\\f", "TestFs:cleanup:\\f",
                                      "TestFs:close:\\f"}));
}

}  // namespace
}  // namespace iotest
