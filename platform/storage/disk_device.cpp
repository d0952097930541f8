// The storage devices of attached disks: the \Driver\Disk driver, its devices
// \Device\HarddiskVolumeN with their drive letters, and the IOCTLs they answer.
//
// Per-kernel state (the driver object, the attached disks) lives in one table
// guarded by its mutex; it is dropped when the kernel ends.
#include "storage/storage.h"

#include "core/kernel.h"
#include "io/io.h"

#include <map>
#include <string>

namespace plat::storage {
namespace {

constexpr ULONG kExtensionMagic = 0x4B534944;  // "DISK"
constexpr ULONG kTracksPerCylinder = 255;
constexpr ULONG kSectorsPerTrack = 63;
constexpr ULONG kBytesPerSector = 512;

struct DiskExtension {
    ULONG Magic;
    Disk* Owner;
};

struct Attached {
    std::shared_ptr<Disk> Owner;
    PDEVICE_OBJECT Device = nullptr;
    std::u16string LinkName;  // \??\X: or empty
};

// What the current kernel knows of the disks.
struct KernelDisks {
    std::mutex Lock;
    ULONG Serial = 0;                   // KernelSerial() the state belongs to
    PDRIVER_OBJECT Driver = nullptr;
    ULONG NextVolumeNumber = 1;
    std::map<const Disk*, Attached> ByDisk;
};

KernelDisks& State() {
    static KernelDisks* state = new KernelDisks;
    return *state;
}

void ForgetKernel() {
    KernelDisks& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.ByDisk.clear();
    s.Driver = nullptr;
    s.Serial = 0;
    s.NextVolumeNumber = 1;
}

[[maybe_unused]] const bool kRegistered = [] {
    KernelComponent component;
    component.Name = "storage";
    component.Order = 500;
    component.Destroy = ForgetKernel;
    component.PowerOff = ForgetKernel;
    KernelRegisterComponent(component);
    return true;
}();

DiskExtension* ExtensionOf(PDEVICE_OBJECT device) {
    auto* ext = static_cast<DiskExtension*>(device->DeviceExtension);
    return ext != nullptr && ext->Magic == kExtensionMagic ? ext : nullptr;
}

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.c_str()));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- IOCTLs ----------------------------------------------------------------------

NTSTATUS QueryProperty(Disk& disk, PIRP irp, const IO_STACK_LOCATION* sp) {
    ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto* query = static_cast<PSTORAGE_PROPERTY_QUERY>(irp->AssociatedIrp.SystemBuffer);
    if (query == nullptr || inLength < FIELD_OFFSET(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    STORAGE_PROPERTY_ID id = query->PropertyId;
    STORAGE_QUERY_TYPE type = query->QueryType;
    if (id != StorageAdapterProperty && id != StorageDeviceProperty) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    if (type == PropertyExistsQuery) return Complete(irp, STATUS_SUCCESS, 0);
    if (type != PropertyStandardQuery) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    const DiskConfig& config = disk.Config();
    union {
        STORAGE_ADAPTER_DESCRIPTOR Adapter;
        STORAGE_DEVICE_DESCRIPTOR Device;
    } answer;
    RtlZeroMemory(&answer, sizeof(answer));
    ULONG size = 0;
    if (id == StorageAdapterProperty) {
        size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
        answer.Adapter.MaximumTransferLength = 128 * 1024;
        answer.Adapter.MaximumPhysicalPages = 33;
        answer.Adapter.AlignmentMask = 1;
        answer.Adapter.BusType = static_cast<UCHAR>(config.BusType);
    } else {
        size = sizeof(STORAGE_DEVICE_DESCRIPTOR);
        answer.Device.RemovableMedia = config.Removable;
        answer.Device.BusType = config.BusType;
    }
    answer.Adapter.Version = size;
    answer.Adapter.Size = size;
    // As disk class drivers do: as much of the descriptor as fits.
    ULONG copied = outLength < size ? outLength : size;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &answer, copied);
    return Complete(irp, STATUS_SUCCESS, copied);
}

NTSTATUS Geometry(Disk& disk, PIRP irp, const IO_STACK_LOCATION* sp) {
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(DISK_GEOMETRY)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* g = static_cast<PDISK_GEOMETRY>(irp->AssociatedIrp.SystemBuffer);
    const DiskConfig& config = disk.Config();
    g->Cylinders.QuadPart =
        static_cast<LONGLONG>(config.SizeBytes / (kTracksPerCylinder * kSectorsPerTrack * kBytesPerSector));
    g->MediaType = config.Removable ? RemovableMedia : FixedMedia;
    g->TracksPerCylinder = kTracksPerCylinder;
    g->SectorsPerTrack = kSectorsPerTrack;
    g->BytesPerSector = kBytesPerSector;
    return Complete(irp, STATUS_SUCCESS, sizeof(DISK_GEOMETRY));
}

NTSTATUS LengthInfo(Disk& disk, PIRP irp, const IO_STACK_LOCATION* sp) {
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(GET_LENGTH_INFORMATION)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* info = static_cast<PGET_LENGTH_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
    info->Length.QuadPart = static_cast<LONGLONG>(disk.Config().SizeBytes);
    return Complete(irp, STATUS_SUCCESS, sizeof(GET_LENGTH_INFORMATION));
}

NTSTATUS HotplugInfo(Disk& disk, PIRP irp, const IO_STACK_LOCATION* sp) {
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(STORAGE_HOTPLUG_INFO)) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* info = static_cast<PSTORAGE_HOTPLUG_INFO>(irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(info, sizeof(*info));
    const DiskConfig& config = disk.Config();
    info->Size = sizeof(*info);
    info->MediaRemovable = config.Removable;
    info->DeviceHotplug = config.BusType == BusTypeUsb || config.BusType == BusType1394;
    return Complete(irp, STATUS_SUCCESS, sizeof(*info));
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    DiskExtension* ext = ExtensionOf(device);
    if (ext == nullptr) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    Disk& disk = *ext->Owner;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_STORAGE_QUERY_PROPERTY: return QueryProperty(disk, irp, sp);
        case IOCTL_DISK_GET_DRIVE_GEOMETRY: return Geometry(disk, irp, sp);
        case IOCTL_DISK_GET_LENGTH_INFO: return LengthInfo(disk, irp, sp);
        case IOCTL_STORAGE_GET_HOTPLUG_INFO: return HotplugInfo(disk, irp, sp);
        case IOCTL_DISK_IS_WRITABLE:
            return Complete(irp, disk.WriteProtected() ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS, 0);
        case IOCTL_DISK_CHECK_VERIFY:
        case IOCTL_STORAGE_CHECK_VERIFY: return Complete(irp, STATUS_SUCCESS, 0);
        default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Direct device opens of the volume (no file system involved) and their end.
NTSTATUS NTAPI DispatchSucceed(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The volume's sectors are the file system's business (it reaches the image
// directly); raw transfers are not offered.
NTSTATUS NTAPI DispatchRefuse(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DiskDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = DispatchRefuse;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchSucceed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchSucceed;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchSucceed;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchSucceed;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchSucceed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return STATUS_SUCCESS;
}

// The disk driver of this kernel, loaded at the first attach. Called with the
// state lock held.
NTSTATUS EnsureDriver(KernelDisks& s) {
    if (s.Serial != KernelSerial()) {
        s.ByDisk.clear();
        s.Driver = nullptr;
        s.NextVolumeNumber = 1;
        s.Serial = KernelSerial();
    }
    if (s.Driver != nullptr) return STATUS_SUCCESS;
    return IoLoadDriver(L"\\Driver\\Disk", DiskDriverEntry, nullptr, &s.Driver);
}

NTSTATUS CreateStorageDevice(KernelDisks& s, Disk* disk, PDEVICE_OBJECT* device) {
    std::u16string name = u"\\Device\\HarddiskVolume" + fs::NameFromUtf8(std::to_string(s.NextVolumeNumber));
    UNICODE_STRING counted = Counted(name);
    ULONG characteristics = disk->Config().Removable ? FILE_REMOVABLE_MEDIA : 0;
    NTSTATUS status = IoCreateDevice(s.Driver, sizeof(DiskExtension), &counted, FILE_DEVICE_DISK, characteristics,
                                     FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    ++s.NextVolumeNumber;
    auto* ext = static_cast<DiskExtension*>((*device)->DeviceExtension);
    ext->Magic = kExtensionMagic;
    ext->Owner = disk;
    (*device)->Flags |= DO_DIRECT_IO;
    (*device)->SectorSize = kBytesPerSector;
    (*device)->AlignmentRequirement = FILE_WORD_ALIGNMENT;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Attach(const std::shared_ptr<Disk>& disk, WCHAR driveLetter, PDEVICE_OBJECT* device) {
    if (!disk) return STATUS_INVALID_PARAMETER;
    if (driveLetter != 0) {
        driveLetter = RtlUpcaseUnicodeChar(driveLetter);
        if (driveLetter < L'A' || driveLetter > L'Z') return STATUS_INVALID_PARAMETER;
    }
    KernelDisks& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    NTSTATUS status = EnsureDriver(s);
    if (!NT_SUCCESS(status)) return status;
    if (s.ByDisk.count(disk.get()) != 0) return STATUS_OBJECT_NAME_COLLISION;
    ULONG number = s.NextVolumeNumber;
    PDEVICE_OBJECT created = nullptr;
    status = CreateStorageDevice(s, disk.get(), &created);
    if (!NT_SUCCESS(status)) return status;
    Attached entry{disk, created, std::u16string()};
    if (driveLetter != 0) {
        entry.LinkName = u"\\??\\";
        entry.LinkName.push_back(static_cast<char16_t>(driveLetter));
        entry.LinkName.push_back(u':');
        std::u16string target = u"\\Device\\HarddiskVolume" + fs::NameFromUtf8(std::to_string(number));
        UNICODE_STRING link = Counted(entry.LinkName);
        UNICODE_STRING targetName = Counted(target);
        status = IoCreateSymbolicLink(&link, &targetName);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(created);
            return status;
        }
    }
    s.ByDisk.emplace(disk.get(), std::move(entry));
    if (device != nullptr) *device = created;
    return STATUS_SUCCESS;
}

NTSTATUS Detach(const std::shared_ptr<Disk>& disk) {
    KernelDisks& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Serial != KernelSerial()) return STATUS_NOT_FOUND;
    auto it = s.ByDisk.find(disk.get());
    if (it == s.ByDisk.end()) return STATUS_NOT_FOUND;
    if (!it->second.LinkName.empty()) {
        UNICODE_STRING link = Counted(it->second.LinkName);
        IoDeleteSymbolicLink(&link);
    }
    IoDeleteDevice(it->second.Device);
    s.ByDisk.erase(it);
    return STATUS_SUCCESS;
}

std::shared_ptr<Disk> DiskOfDevice(PDEVICE_OBJECT device) {
    if (device == nullptr) return nullptr;
    KernelDisks& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Serial != KernelSerial() || device->DriverObject != s.Driver) return nullptr;
    DiskExtension* ext = ExtensionOf(device);
    if (ext == nullptr) return nullptr;
    auto it = s.ByDisk.find(ext->Owner);
    return it == s.ByDisk.end() ? nullptr : it->second.Owner;
}

PDEVICE_OBJECT DeviceOfDisk(const Disk* disk) {
    KernelDisks& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Serial != KernelSerial()) return nullptr;
    auto it = s.ByDisk.find(disk);
    return it == s.ByDisk.end() ? nullptr : it->second.Device;
}

}  // namespace plat::storage
