// Device stacks: attaching and detaching, deletion and the fast-I/O detach
// offered to the device above, work items and shutdown notification.
#include "io_world.h"

#include "io/io.h"
#include "ob/object.h"

namespace iotest {
namespace {

using Journal = std::vector<std::string>;

class DeviceTest : public IoWorldTest {
protected:
    PDEVICE_OBJECT Disk = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        Disk = CreateDisk(L"Disk0", L"\\??\\T:");
        JournalClear();
    }
};

TEST_F(DeviceTest, AttachingStacksDevicesAndDetachingTakesTheTopOneOff) {
    PDEVICE_OBJECT first = AttachFilter(Disk, "one");
    PDEVICE_OBJECT second = AttachFilter(Disk, "two");  // goes on top of "one"
    EXPECT_EQ(Disk->AttachedDevice, first);
    EXPECT_EQ(first->AttachedDevice, second);
    EXPECT_EQ(IoGetAttachedDevice(Disk), second);
    EXPECT_EQ(second->StackSize, Disk->StackSize + 2);
    EXPECT_EQ(static_cast<FilterExtension*>(second->DeviceExtension)->Lower, first);

    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(second);
    EXPECT_EQ(lower, first);
    ObDereferenceObject(lower);
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(second);
    EXPECT_EQ(base, Disk);
    ObDereferenceObject(base);

    IoDetachDevice(first);
    EXPECT_EQ(first->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(Disk), first);
    PDEVICE_OBJECT none = IoGetLowerDeviceObject(second);
    EXPECT_EQ(none, nullptr);
    IoDeleteDevice(second);
}

TEST_F(DeviceTest, DeletingADeviceOffersTheDeviceAboveToItsDriver) {
    AttachFilter(Disk, "flt");
    ObReferenceObject(Disk);
    IoDeleteDevice(Disk);
    EXPECT_EQ(JournalTake(), (Journal{"flt:detach"}));
    EXPECT_EQ(Disk->AttachedDevice, nullptr);
    ObDereferenceObject(Disk);
    // The name went with the deletion.
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenKernel(L"\\Device\\Disk0", FILE_READ_ATTRIBUTES, 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceTest, ADeletionWaitsForTheFilesOpenedThroughTheDevice) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenKernel(L"\\Device\\Disk0", FILE_READ_ATTRIBUTES, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Disk->ReferenceCount, 1);
    AttachFilter(Disk, "flt");
    JournalClear();
    IoDeleteDevice(Disk);
    EXPECT_TRUE(JournalTake().empty());
    ZwClose(handle);
    EXPECT_EQ(JournalTake(), (Journal{"flt:cleanup", "disk:cleanup", "flt:close", "disk:close", "flt:detach"}));
}

struct WorkRecord {
    KEVENT Done;
    PDEVICE_OBJECT Device;
    LONG ReferencesDuringRun;
    PETHREAD Thread;
};

VOID NTAPI WorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    auto* record = static_cast<WorkRecord*>(Context);
    record->Device = DeviceObject;
    record->ReferencesDuringRun = plat::ObGetReferenceCount(DeviceObject);
    record->Thread = PsGetCurrentThread();
    KeSetEvent(&record->Done, IO_NO_INCREMENT, FALSE);
}

TEST_F(DeviceTest, AWorkItemRunsOnAWorkerThreadWithItsDeviceReferenced) {
    LONG before = plat::ObGetReferenceCount(Disk);
    PIO_WORKITEM item = IoAllocateWorkItem(Disk);
    ASSERT_NE(item, nullptr);
    WorkRecord record = {};
    KeInitializeEvent(&record.Done, NotificationEvent, FALSE);
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &record);
    KeWaitForSingleObject(&record.Done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(record.Device, Disk);
    EXPECT_EQ(record.ReferencesDuringRun, before + 1);
    EXPECT_NE(record.Thread, PsGetCurrentThread());
    IoFreeWorkItem(item);
}

TEST_F(DeviceTest, ShutdownReachesTheTopOfEachRegisteredStackMostRecentFirst) {
    PDEVICE_OBJECT other = CreateDisk(L"Disk1", L"\\??\\U:");
    AttachFilter(Disk, "flt");
    ASSERT_EQ(IoRegisterShutdownNotification(Disk), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterShutdownNotification(other), STATUS_SUCCESS);
    JournalClear();
    EXPECT_EQ(plat::IoShutdownSystem().size(), 2u);
    EXPECT_EQ(JournalTake(), (Journal{"disk:shutdown", "flt:shutdown", "disk:shutdown"}));
    IoUnregisterShutdownNotification(other);
    plat::IoShutdownSystem();
    EXPECT_EQ(JournalTake(), (Journal{"flt:shutdown", "disk:shutdown"}));
}

}  // namespace
}  // namespace iotest
