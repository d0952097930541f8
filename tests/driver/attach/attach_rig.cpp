#include "attach_rig.h"

#include <gtest/gtest.h>

#include "frame/driver_globals.h"
#include "io/io.h"
#include "store/block_pool.h"

namespace attach_test {
namespace {

NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT, PIRP Irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    bool opens = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    NTSTATUS status = opens ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : Driver->MajorFunction) routine = TestDispatch;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT TestDriver() {
    static ULONG serial = 0;
    static PDRIVER_OBJECT driver = nullptr;
    if (serial != plat::KernelSerial()) {
        EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\attachtest", TestEntry, nullptr, &driver), STATUS_SUCCESS);
        serial = plat::KernelSerial();
    }
    return driver;
}

}  // namespace

PDEVICE_OBJECT CreateTestDevice(DEVICE_TYPE Type, PCWSTR Name) {
    UNICODE_STRING name = quilt_test::MakeUnicode(Name != nullptr ? Name : L"");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(TestDriver(), 0, Name != nullptr ? &name : nullptr, Type, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

std::vector<PDEVICE_OBJECT> QuiltDevices() {
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT device = g_Quilt.DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        if (device != g_Quilt.ControlDevice) devices.push_back(device);
    }
    return devices;
}

bool IsQuiltDevice(PDEVICE_OBJECT Device) {
    return Device != nullptr && Device->DriverObject == g_Quilt.DriverObject;
}

PDEVICE_OBJECT FileSystemVolumeOf(const char16_t* Path) {
    plat::native::File file;
    EXPECT_EQ(quilt_test::OpenPath(Path, &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS);
    PFILE_OBJECT object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(file.Handle(), 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&object), nullptr),
              STATUS_SUCCESS);
    PDEVICE_OBJECT volume = object->Vpb->DeviceObject;
    ObDereferenceObject(object);
    return volume;
}

NTSTATUS FsControl(const char16_t* Path, ULONG Code, const void* Input, ULONG InputLength,
                   std::vector<uint8_t>* Output, ULONG OutputLength, ACCESS_MASK Access) {
    plat::native::File file;
    NTSTATUS status = quilt_test::OpenPath(Path, &file, Access);
    if (!NT_SUCCESS(status)) return status;
    return file.FsControl(Code, Input, InputLength, Output, OutputLength);
}

bool StartupGateOpen() {
    return KeReadStateEvent(&g_Quilt.StartupGate) != 0;
}

void AttachVolumeTest::SetUp() {
    QuiltVolumeTest::SetUp();
    plat::storage::DiskConfig config;
    config.FileSystem = plat::fs::FsKind::Fat;
    config.SizeBytes = 32ull << 20;
    FixedDisk = plat::storage::Disk::Create(config);
    ASSERT_EQ(plat::storage::Attach(FixedDisk, L'E'), STATUS_SUCCESS);
}

DeviceContext* AttachVolumeTest::ServeC() {
    PDEVICE_OBJECT filter = nullptr;
    EXPECT_EQ(IoCreateDevice(g_Quilt.DriverObject, sizeof(DeviceContext), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                             FALSE, &filter),
              STATUS_SUCCESS);
    if (filter == nullptr) return nullptr;
    DeviceContext* volume = DeviceContextOf(filter);
    RtlZeroMemory(volume, sizeof(*volume));
    volume->Kind = DEVICE_KIND_VOLUME_FILTER;
    volume->Size = sizeof(DeviceContext);
    volume->DriverObject = g_Quilt.DriverObject;
    volume->DriveIndex = kDriveC;
    KeInitializeEvent(&volume->StartupDone, NotificationEvent, TRUE);
    KeInitializeEvent(&volume->RemovalEvent, NotificationEvent, FALSE);
    KeInitializeSemaphore(&volume->DeletionSemaphore, 0, 0x7FFFFFFF);
    volume->LowerDevice = IoAttachDeviceToDeviceStack(filter, FileSystemVolumeOf(u"C:\\"));
    volume->Attached = 1;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_TRUE(FileBlockInit(volume));
    g_Drives.VolumeFilters[kDriveC] = filter;
    g_Drives.ProtectedMask |= 1u << kDriveC;
    volume->Serving = 1;
    return volume;
}

}  // namespace attach_test
