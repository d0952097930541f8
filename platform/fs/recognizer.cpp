// The file-system recogniser \FileSystem\Fs_Rec: a small driver that stands
// in for FAT until a FAT volume is first seen.
//
// Its control device \FatDiskRecognizer (FILE_DEVICE_DISK_FILE_SYSTEM, low
// priority, so that it is offered a volume after every real file system)
// answers a mount of a FAT disk with STATUS_FS_DRIVER_REQUIRED and any other
// with STATUS_UNRECOGNIZED_VOLUME. The I/O manager then sends it
// IRP_MN_LOAD_FILE_SYSTEM: it loads and registers the real FAT driver, gives
// up its own registration, deletes its device and completes the request with
// the load's status; the mount scan then starts again and FAT mounts the
// volume. The device object goes once the last reference to it is dropped.
//
// A load that fails leaves the recogniser registered but silent (every later
// mount gets STATUS_UNRECOGNIZED_VOLUME), so that a volume it cannot serve
// does not restart the mount scan again and again.
#include "fs/fs_internal.h"

#include "io/io.h"

namespace plat::fs {
namespace {

constexpr ULONG kRecognizerMagic = MakeTag('F', 's', 'R', 'c');

struct RecognizerExtension {
    ULONG Magic;
    // Set by the first IRP_MN_LOAD_FILE_SYSTEM: later ones (mounts of FAT
    // disks that raced with it) only report the outcome.
    volatile LONG LoadStarted;
    volatile LONG LoadFailed;
    NTSTATUS LoadStatus;
};

RecognizerExtension* RecognizerOf(PDEVICE_OBJECT device) {
    auto* ext = static_cast<RecognizerExtension*>(device->DeviceExtension);
    return ext != nullptr && ext->Magic == kRecognizerMagic ? ext : nullptr;
}

bool IsFatDisk(PIO_STACK_LOCATION sp) {
    PVPB vpb = sp->Parameters.MountVolume.Vpb;
    if (vpb == nullptr || vpb->RealDevice == nullptr) return false;
    std::shared_ptr<storage::Disk> disk = storage::DiskOfDevice(vpb->RealDevice);
    return disk && disk->Config().FileSystem == FsKind::Fat;
}

NTSTATUS Recognise(RecognizerExtension* ext, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool wanted = ext->LoadFailed == 0 && IsFatDisk(sp);
    return CompleteRequest(irp, wanted ? STATUS_FS_DRIVER_REQUIRED : STATUS_UNRECOGNIZED_VOLUME, 0);
}

// The real driver takes over: the recogniser leaves the list of file systems
// (drivers watching registrations see it go) and deletes its device.
NTSTATUS LoadRealFileSystem(RecognizerExtension* ext, PDEVICE_OBJECT device, PIRP irp) {
    if (InterlockedExchange(&ext->LoadStarted, 1) != 0) {
        return CompleteRequest(irp, ext->LoadFailed ? ext->LoadStatus : STATUS_SUCCESS, 0);
    }
    NTSTATUS status = LoadFatFileSystem();
    if (!NT_SUCCESS(status)) {
        ext->LoadStatus = status;
        InterlockedExchange(&ext->LoadFailed, 1);
        DbgPrint("fs: the recogniser could not load FAT: %x\n", status);
        return CompleteRequest(irp, status, 0);
    }
    IoUnregisterFileSystem(device);
    IoDeleteDevice(device);
    return CompleteRequest(irp, status, 0);
}

NTSTATUS DispatchFileSystemControl(RecognizerExtension* ext, PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_MOUNT_VOLUME: return Recognise(ext, irp);
        case IRP_MN_LOAD_FILE_SYSTEM: return LoadRealFileSystem(ext, device, irp);
        default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS NTAPI RecognizerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    RecognizerExtension* ext = RecognizerOf(device);
    if (ext == nullptr) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE: return CompleteRequest(irp, STATUS_SUCCESS, FILE_OPENED);
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE: return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_FILE_SYSTEM_CONTROL: return DispatchFileSystemControl(ext, device, irp);
        default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS NTAPI RecognizerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = RecognizerDispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\FatDiskRecognizer");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(RecognizerExtension), &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<RecognizerExtension*>(device->DeviceExtension);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Magic = kRecognizerMagic;
    device->Flags |= DO_LOW_PRIORITY_FILESYSTEM;
    return STATUS_SUCCESS;
}

}  // namespace

// Registered once DriverEntry is done and the device is initialised.
NTSTATUS LoadRecognizer() {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = IoLoadDriver(L"\\FileSystem\\Fs_Rec", RecognizerEntry, nullptr, &driver);
    if (!NT_SUCCESS(status)) return status;
    IoRegisterFileSystem(driver->DeviceObject);
    return STATUS_SUCCESS;
}

}  // namespace plat::fs
