// The two file-system drivers: loading and registration, the dispatch entry
// shared by every major function, and the per-kernel list of mounted volumes.
#include "fs/fs.h"
#include "fs/fs_internal.h"

#include "core/kernel.h"
#include "io/io.h"

#include <algorithm>

namespace plat::fs {
namespace {

// Per-kernel state; Lock guards Volumes.
struct FsState {
    std::mutex Lock;
    ULONG Serial = 0;
    PDEVICE_OBJECT NtfsControl = nullptr;
    PDEVICE_OBJECT FatControl = nullptr;
    std::vector<Vcb*> Volumes;
    std::vector<PVPB> RetiredVpbs;
};

FsState& State() {
    static FsState* state = new FsState;
    return *state;
}

// The kernel ends: the volumes' host state goes. After a clean end the pool
// blocks are released too; after a power loss the kernel drops all pool at
// once and no kernel routine may run.
void DropVolumes(bool kernelAlive) {
    FsState& s = State();
    std::vector<Vcb*> volumes;
    std::vector<PVPB> vpbs;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        volumes.swap(s.Volumes);
        vpbs.swap(s.RetiredVpbs);
        s.Serial = 0;
        s.NtfsControl = nullptr;
        s.FatControl = nullptr;
    }
    for (Vcb* vcb : volumes) {
        for (auto& [key, fcb] : vcb->Fcbs) FreeFcb(fcb, kernelAlive);
        if (vcb->VolumeFcb) FreeFcb(vcb->VolumeFcb, kernelAlive);
        for (Ccb* ccb : vcb->Ccbs) delete ccb;
        if (kernelAlive && vcb->NotifySync) FsRtlNotifyUninitializeSync(&vcb->NotifySync);
        delete vcb;
    }
    if (!kernelAlive) return;
    for (PVPB vpb : vpbs) {
        if (vpb->ReferenceCount == 0) ExFreePool(vpb);
    }
}

[[maybe_unused]] const bool kRegistered = [] {
    KernelComponent component;
    component.Name = "fs";
    component.Order = 600;
    component.Destroy = [] { DropVolumes(true); };
    component.PowerOff = [] { DropVolumes(false); };
    KernelRegisterComponent(component);
    return true;
}();

ControlExtension* ControlOf(PDEVICE_OBJECT device) {
    auto* ext = static_cast<ControlExtension*>(device->DeviceExtension);
    return ext != nullptr && ext->Magic == kControlMagic ? ext : nullptr;
}

NTSTATUS DispatchControlDevice(ControlExtension* control, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
            return CompleteRequest(irp, STATUS_SUCCESS, FILE_OPENED);
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_SHUTDOWN:
            FlushVolumesOf(control->Kind);
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_FILE_SYSTEM_CONTROL:
            if (sp->MinorFunction == IRP_MN_MOUNT_VOLUME) return MountVolume(device, irp);
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Device controls on any open of the volume are the storage stack's.
NTSTATUS PassDownToStorage(Vcb* vcb, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(vcb->TargetDevice, irp);
}

// A disk that goes away takes its volume with it (what was flushed stays on
// the disk); other PnP requests are the storage stack's. A volume without
// open files is released at once: no close will come to release it.
NTSTATUS DispatchPnp(Vcb* vcb, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        NTSTATUS status = CompleteRequest(irp, DismountVolume(vcb), 0);
        ReleaseVolumeIfUnused(vcb);
        return status;
    }
    return PassDownToStorage(vcb, irp);
}

NTSTATUS DispatchVolumeDevice(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = sp->MajorFunction;
    if (major == IRP_MJ_CLEANUP) return DispatchCleanup(vcb, irp);
    if (major == IRP_MJ_CLOSE) return DispatchClose(vcb, irp);
    if (vcb->Dismounted) return CompleteRequest(irp, STATUS_VOLUME_DISMOUNTED, 0);
    switch (major) {
        case IRP_MJ_CREATE: return DispatchCreate(vcb, irp);
        case IRP_MJ_READ: return DispatchRead(vcb, irp);
        case IRP_MJ_WRITE: return DispatchWrite(vcb, irp);
        case IRP_MJ_QUERY_INFORMATION: return DispatchQueryInformation(vcb, irp);
        case IRP_MJ_SET_INFORMATION: return DispatchSetInformation(vcb, irp);
        case IRP_MJ_QUERY_EA: return DispatchQueryEa(vcb, irp);
        case IRP_MJ_SET_EA: return DispatchSetEa(vcb, irp);
        case IRP_MJ_FLUSH_BUFFERS: return DispatchFlushBuffers(vcb, irp);
        case IRP_MJ_QUERY_VOLUME_INFORMATION: return DispatchQueryVolumeInformation(vcb, irp);
        case IRP_MJ_SET_VOLUME_INFORMATION: return DispatchSetVolumeInformation(vcb, irp);
        case IRP_MJ_DIRECTORY_CONTROL: return DispatchDirectoryControl(vcb, irp);
        case IRP_MJ_FILE_SYSTEM_CONTROL: return DispatchFileSystemControl(vcb, irp);
        case IRP_MJ_LOCK_CONTROL: return DispatchLockControl(vcb, irp);
        case IRP_MJ_QUERY_SECURITY: return DispatchQuerySecurity(vcb, irp);
        case IRP_MJ_SET_SECURITY: return DispatchSetSecurity(vcb, irp);
        case IRP_MJ_DEVICE_CONTROL: return PassDownToStorage(vcb, irp);
        case IRP_MJ_PNP: return DispatchPnp(vcb, irp);
        case IRP_MJ_SHUTDOWN:
            FlushVolume(vcb);
            return CompleteRequest(irp, STATUS_SUCCESS, 0);
        default:
            return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Every major function enters here: the device says which file system and,
// for a volume device, which volume the request is for.
NTSTATUS NTAPI FsdDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (ControlExtension* control = ControlOf(device)) return DispatchControlDevice(control, device, irp);
    if (Vcb* vcb = VolumeOfDevice(device)) return DispatchVolumeDevice(vcb, irp);
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver, PCWSTR name, FsKind kind, PDEVICE_OBJECT* device) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    NTSTATUS status = IoCreateDevice(driver, sizeof(ControlExtension), &deviceName, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                     FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<ControlExtension*>((*device)->DeviceExtension);
    ext->Magic = kControlMagic;
    ext->Kind = kind;
    status = IoRegisterShutdownNotification(*device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS InitializeDriver(PDRIVER_OBJECT driver, PCWSTR controlName, FsKind kind) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = FsdDispatch;
    driver->FastIoDispatch = &FastIoTable;
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = CreateControlDevice(driver, controlName, kind, &control);
    if (!NT_SUCCESS(status)) return status;
    // Registered once DriverEntry is done and the device is initialised.
    FsState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    (kind == FsKind::Ntfs ? s.NtfsControl : s.FatControl) = control;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtfsEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    return InitializeDriver(driver, L"\\Ntfs", FsKind::Ntfs);
}

NTSTATUS NTAPI FatEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    return InitializeDriver(driver, L"\\Fat", FsKind::Fat);
}

NTSTATUS LoadOne(PCWSTR driverName, PDRIVER_INITIALIZE entry, FsKind kind) {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = IoLoadDriver(driverName, entry, nullptr, &driver);
    if (!NT_SUCCESS(status)) return status;
    FsState& s = State();
    PDEVICE_OBJECT control = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        control = kind == FsKind::Ntfs ? s.NtfsControl : s.FatControl;
    }
    IoRegisterFileSystem(control);
    return STATUS_SUCCESS;
}

}  // namespace

Vcb* VolumeOfDevice(PDEVICE_OBJECT device) {
    if (device == nullptr) return nullptr;
    auto* ext = static_cast<VolumeExtension*>(device->DeviceExtension);
    return ext != nullptr && ext->Magic == kVolumeMagic ? ext->Volume : nullptr;
}

void RegisterVolume(Vcb* vcb) {
    FsState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Volumes.push_back(vcb);
}

void UnregisterVolume(Vcb* vcb) {
    FsState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::erase(s.Volumes, vcb);
}

void RetireVpb(PVPB vpb) {
    FsState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.RetiredVpbs.push_back(vpb);
}

std::vector<Vcb*> VolumesOf(FsKind kind) {
    FsState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::vector<Vcb*> result;
    for (Vcb* vcb : s.Volumes) {
        if (vcb->Kind == kind) result.push_back(vcb);
    }
    return result;
}

NTSTATUS LoadFileSystems(FatLoading How) {
    FsState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        if (s.Serial == KernelSerial()) return STATUS_SUCCESS;
        s.Serial = KernelSerial();
        s.Volumes.clear();
    }
    NTSTATUS status = LoadOne(L"\\FileSystem\\Ntfs", NtfsEntry, FsKind::Ntfs);
    if (!NT_SUCCESS(status)) return status;
    return How == FatLoading::ThroughRecognizer ? LoadRecognizer() : LoadFatFileSystem();
}

NTSTATUS LoadFatFileSystem() {
    FsState& s = State();
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        if (s.FatControl != nullptr) return STATUS_SUCCESS;
    }
    return LoadOne(L"\\FileSystem\\Fastfat", FatEntry, FsKind::Fat);
}

void FlushAllVolumes() {
    FlushVolumesOf(FsKind::Ntfs);
    FlushVolumesOf(FsKind::Fat);
}

NTSTATUS SetImageSection(PFILE_OBJECT FileObject, bool Mapped) {
    auto* fcb = FileObject ? static_cast<Fcb*>(FileObject->FsContext) : nullptr;
    if (fcb == nullptr || fcb->Magic != kFcbMagic) return STATUS_INVALID_PARAMETER;
    Vcb* vcb = fcb->State->Volume;
    FileContext context;
    if (!GetFileContext(vcb, FileObject, &context)) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = vcb->Engine->SetImageSection(context.Open, Mapped);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(vcb->Lock);
    FcbState* state = fcb->State;
    if (Mapped) {
        ++state->ImageMaps;
    } else if (state->ImageMaps != 0) {
        --state->ImageMaps;
    }
    fcb->SectionObjects.ImageSectionObject = state->ImageMaps != 0 ? fcb : nullptr;
    return STATUS_SUCCESS;
}

}  // namespace plat::fs
