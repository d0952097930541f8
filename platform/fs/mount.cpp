// Mounting and dismounting volumes, and flushing them into their disks.
#include "fs/fs_internal.h"

#include "core/kernel.h"

#include <algorithm>

namespace plat::fs {
namespace {

constexpr ULONG kTagVpb = MakeTag('V', 'p', 'b', ' ');

// The disk behind a mount request, when it carries this file system.
NTSTATUS RecogniseDisk(FsKind kind, PVPB vpb, std::shared_ptr<storage::Disk>* disk) {
    *disk = storage::DiskOfDevice(vpb->RealDevice);
    if (!*disk || (*disk)->Config().FileSystem != kind) return STATUS_UNRECOGNIZED_VOLUME;
    return (*disk)->MountFailure();
}

NTSTATUS CreateVolumeDevice(PDEVICE_OBJECT control, PDEVICE_OBJECT target, Vcb* vcb, PDEVICE_OBJECT* device) {
    NTSTATUS status = IoCreateDevice(control->DriverObject, sizeof(VolumeExtension), nullptr,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<VolumeExtension*>((*device)->DeviceExtension);
    ext->Magic = kVolumeMagic;
    ext->Volume = vcb;
    (*device)->StackSize = static_cast<CCHAR>(target->StackSize + 1);
    (*device)->SectorSize = kSectorSize;
    (*device)->AlignmentRequirement = target->AlignmentRequirement;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Names the new volume device in the VPB, with the volume's serial number and
// label; the I/O manager marks it mounted when the mount IRP completes.
void FillVpb(PVPB vpb, PDEVICE_OBJECT volumeDevice, const VolumeInfo& info) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    vpb->DeviceObject = volumeDevice;
    vpb->SerialNumber = info.SerialNumber;
    size_t chars = std::min<size_t>(info.Label.size(), MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR));
    RtlCopyMemory(vpb->VolumeLabel, info.Label.data(), chars * sizeof(WCHAR));
    vpb->VolumeLabelLength = static_cast<USHORT>(chars * sizeof(WCHAR));
    IoReleaseVpbSpinLock(irql);
}

// A dismounted volume leaves its VPB to the file objects opened through it
// and gives the storage device a fresh one, so that the next open mounts
// again.
NTSTATUS SwapVpb(Vcb* vcb) {
    auto* fresh = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), kTagVpb));
    if (fresh == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(fresh, sizeof(VPB));
    fresh->Type = IO_TYPE_VPB;
    fresh->Size = sizeof(VPB);
    fresh->RealDevice = vcb->RealDevice;
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    vcb->Vpb->Flags &= ~VPB_MOUNTED;
    vcb->RealDevice->Vpb = fresh;
    IoReleaseVpbSpinLock(irql);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS MountVolume(PDEVICE_OBJECT control, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FsKind kind = static_cast<ControlExtension*>(control->DeviceExtension)->Kind;
    PVPB vpb = sp->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT target = sp->Parameters.MountVolume.DeviceObject;
    if (vpb == nullptr || vpb->RealDevice == nullptr) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (target == nullptr) target = vpb->RealDevice;

    std::shared_ptr<storage::Disk> disk;
    NTSTATUS status = RecogniseDisk(kind, vpb, &disk);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    std::unique_ptr<Volume> engine;
    std::string reason;
    status = Volume::Mount(disk->Image(), [] { return ClockNow(); }, &engine, &reason);
    if (!NT_SUCCESS(status)) {
        DbgPrint("fs: volume not mounted: %s\n", reason.c_str());
        return CompleteRequest(irp, status, 0);
    }
    if (disk->WriteProtected()) engine->SetReadOnly(true);

    auto vcb = std::make_unique<Vcb>();
    vcb->Kind = kind;
    vcb->RealDevice = vpb->RealDevice;
    vcb->TargetDevice = target;
    vcb->Vpb = vpb;
    vcb->Disk = disk;
    vcb->Engine = std::move(engine);
    InitializeListHead(&vcb->NotifyList);
    status = CreateVolumeDevice(control, target, vcb.get(), &vcb->VolumeDevice);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    FsRtlNotifyInitializeSync(&vcb->NotifySync);
    FillVpb(vpb, vcb->VolumeDevice, vcb->Engine->Info());
    RegisterVolume(vcb.release());
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

void FlushVolume(Vcb* vcb) {
    if (vcb->Dismounted || !vcb->Engine->HasUnflushedChanges()) return;
    vcb->Disk->UpdateImage([vcb](VolumeImage& image) { vcb->Engine->Flush(&image); });
}

void FlushVolumesOf(FsKind kind) {
    for (Vcb* vcb : VolumesOf(kind)) FlushVolume(vcb);
}

// Everything reaches the disk, then the volume stops answering: its file
// objects get STATUS_VOLUME_DISMOUNTED for everything but cleanup and close,
// and the next open of the storage device mounts the volume again.
NTSTATUS DismountVolume(Vcb* vcb) {
    if (vcb->Dismounted) return STATUS_SUCCESS;
    NTSTATUS status = SwapVpb(vcb);
    if (!NT_SUCCESS(status)) return status;
    FlushVolume(vcb);
    vcb->Engine->Dismount();
    std::lock_guard<std::mutex> guard(vcb->Lock);
    vcb->Dismounted = true;
    return STATUS_SUCCESS;
}

void ReleaseVolumeIfUnused(Vcb* vcb) {
    {
        std::lock_guard<std::mutex> guard(vcb->Lock);
        if (!vcb->Dismounted || vcb->FileObjects != 0 || vcb->Released) return;
        vcb->Released = true;
    }
    UnregisterVolume(vcb);
    if (vcb->VolumeFcb) FreeFcb(vcb->VolumeFcb, true);
    FsRtlNotifyUninitializeSync(&vcb->NotifySync);
    RetireVpb(vcb->Vpb);
    IoDeleteDevice(vcb->VolumeDevice);
    delete vcb;
}

}  // namespace plat::fs
