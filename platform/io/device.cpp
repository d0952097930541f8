// Device objects, device stacks, VPBs and symbolic links.
//
// A device object's body holds the DEVICE_OBJECT, the driver's extension and
// the I/O manager's DeviceExtra. The creation reference is dropped when the
// deletion completes: at IoDeleteDevice when no file object was opened through
// the device, otherwise when the last such file object goes. A device attached
// above the deleted one is then offered to its driver's FastIoDetachDevice.
#include "io/io_internal.h"

#include "core/verifier.h"

#include <new>

namespace plat {
namespace {

constexpr ULONG kAlign = 16;

ULONG AlignUp(ULONG Value) {
    return (Value + kAlign - 1) & ~(kAlign - 1);
}

bool TypeHasVpb(DEVICE_TYPE Type) {
    return Type == FILE_DEVICE_DISK || Type == FILE_DEVICE_CD_ROM || Type == FILE_DEVICE_TAPE ||
           Type == FILE_DEVICE_VIRTUAL_DISK;
}

USHORT SectorSizeOf(DEVICE_TYPE Type) {
    switch (Type) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_VIRTUAL_DISK:
        return 512;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return 2048;
    default:
        return 0;
    }
}

struct DeviceLayout {
    ULONG ExtensionOffset;
    ULONG ExtraOffset;
    ULONG BodySize;
};

DeviceLayout LayoutFor(ULONG ExtensionSize) {
    DeviceLayout layout;
    layout.ExtensionOffset = AlignUp(sizeof(DEVICE_OBJECT));
    layout.ExtraOffset = layout.ExtensionOffset + AlignUp(ExtensionSize);
    layout.BodySize = layout.ExtraOffset + sizeof(DeviceExtra);
    return layout;
}

struct DeviceInit {
    PDRIVER_OBJECT Driver;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    BOOLEAN Exclusive;
    BOOLEAN Named;
    DeviceLayout Layout;
    PVPB Vpb;
};

// Runs on the zeroed body before the name becomes visible.
VOID InitializeDevice(PVOID Body, PVOID Context) {
    auto* init = static_cast<DeviceInit*>(Context);
    auto* device = static_cast<PDEVICE_OBJECT>(Body);
    auto* bytes = static_cast<PUCHAR>(Body);
    auto* extra = new (bytes + init->Layout.ExtraOffset) DeviceExtra;
    extra->Public.Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    extra->Public.Size = sizeof(DEVOBJ_EXTENSION);
    extra->Public.DeviceObject = device;

    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(init->Layout.ExtraOffset);
    device->DriverObject = init->Driver;
    device->DeviceType = init->Type;
    device->Characteristics = init->Characteristics;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (init->Exclusive) device->Flags |= DO_EXCLUSIVE;
    if (init->Named) device->Flags |= DO_DEVICE_HAS_NAME;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    device->SectorSize = SectorSizeOf(init->Type);
    device->DeviceExtension = init->Layout.ExtensionOffset != init->Layout.ExtraOffset
                                  ? bytes + init->Layout.ExtensionOffset
                                  : nullptr;
    device->DeviceObjectExtension = &extra->Public;
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->Vpb = init->Vpb;
    if (init->Vpb != nullptr) init->Vpb->RealDevice = device;
}

NTSTATUS AllocateVpb(PVPB* Vpb) {
    auto* vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VPB), kTagVpb));
    if (vpb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(vpb, sizeof(VPB));
    vpb->Type = IO_TYPE_VPB;
    vpb->Size = sizeof(VPB);
    *Vpb = vpb;
    return STATUS_SUCCESS;
}

void LinkToDriver(PDEVICE_OBJECT Device) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDRIVER_OBJECT driver = Device->DriverObject;
    Device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = Device;
}

void UnlinkFromDriverLocked(PDEVICE_OBJECT Device) {
    PDRIVER_OBJECT driver = Device->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == Device) {
            *link = Device->NextDevice;
            break;
        }
    }
    Device->NextDevice = nullptr;
}

// The device's deletion ends: the driver above (if any) is told, and the
// creation reference goes.
void CompleteDeletion(PDEVICE_OBJECT Device) {
    PDEVICE_OBJECT above;
    {
        std::lock_guard<std::mutex> guard(Io().DatabaseLock);
        above = Device->AttachedDevice;
        if (above != nullptr) ObReferenceObject(above);
    }
    if (above != nullptr) {
        PFAST_IO_DISPATCH fastIo = above->DriverObject->FastIoDispatch;
        if (fastIo != nullptr &&
            fastIo->SizeOfFastIoDispatch > FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) &&
            fastIo->FastIoDetachDevice != nullptr) {
            fastIo->FastIoDetachDevice(above, Device);
        }
        ObDereferenceObject(above);
    }
    ObDereferenceObject(Device);
}

// Marks the deletion done when it may complete now; true when the caller must
// complete it.
bool TakeDeletionLocked(PDEVICE_OBJECT Device) {
    DeviceExtra* extra = DeviceExtraOf(Device);
    if (!extra->DeletePending || extra->DeletionDone || Device->ReferenceCount != 0) return false;
    extra->DeletionDone = true;
    return true;
}

VOID DeleteDeviceObject(PVOID Body) {
    auto* device = static_cast<PDEVICE_OBJECT>(Body);
    if (device->Vpb != nullptr) ExFreePool(device->Vpb);
    DeviceExtraOf(device)->~DeviceExtra();
}

}  // namespace

ObjectType IoDeviceType = {
    L"Device", IoParseDevice, nullptr, DeleteDeviceObject,
    {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}, FALSE};

PDEVICE_OBJECT IoTopOfStack(PDEVICE_OBJECT Device) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    while (Device->AttachedDevice != nullptr) Device = Device->AttachedDevice;
    return Device;
}

bool IoDeviceInStack(PDEVICE_OBJECT Base, PDEVICE_OBJECT Device) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    for (PDEVICE_OBJECT current = Base; current != nullptr; current = current->AttachedDevice) {
        if (current == Device) return true;
    }
    return false;
}

void IoDeviceAddOpen(PDEVICE_OBJECT Device) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    Device->ReferenceCount++;
}

void IoDeviceReleaseOpen(PDEVICE_OBJECT Device) {
    bool complete;
    {
        std::lock_guard<std::mutex> guard(Io().DatabaseLock);
        Device->ReferenceCount--;
        complete = TakeDeletionLocked(Device);
    }
    if (complete) CompleteDeletion(Device);
}

bool IoDeviceIsDeletePending(PDEVICE_OBJECT Device) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    return DeviceExtraOf(Device)->DeletePending;
}

}  // namespace plat

using namespace plat;

namespace {

POBJECT_TYPE g_DeviceTypeExport = ObExportType(&IoDeviceType);

}  // namespace

POBJECT_TYPE* IoDeviceObjectType = &g_DeviceTypeExport;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    if (DriverObject == nullptr) return STATUS_INVALID_PARAMETER;
    DeviceInit init{DriverObject, DeviceType, DeviceCharacteristics, Exclusive,
                    static_cast<BOOLEAN>(DeviceName != nullptr && DeviceName->Length != 0),
                    LayoutFor(DeviceExtensionSize), nullptr};
    if (TypeHasVpb(DeviceType)) {
        NTSTATUS status = AllocateVpb(&init.Vpb);
        if (!NT_SUCCESS(status)) return status;
    }
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObjectEx(&IoDeviceType, init.Layout.BodySize, init.Named ? DeviceName : nullptr,
                                       nullptr, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, &body,
                                       InitializeDevice, &init);
    if (!NT_SUCCESS(status)) {
        if (init.Vpb != nullptr) ExFreePool(init.Vpb);
        return status;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    LinkToDriver(device);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject->Flags & DO_SHUTDOWN_REGISTERED) IoUnregisterShutdownNotification(DeviceObject);
    bool complete;
    {
        std::lock_guard<std::mutex> guard(Io().DatabaseLock);
        DeviceExtra* extra = DeviceExtraOf(DeviceObject);
        if (extra->DeletePending) {
            VerifierReport("io: IoDeleteDevice called twice for a device");
            return;
        }
        extra->DeletePending = true;
        UnlinkFromDriverLocked(DeviceObject);
        complete = TakeDeletionLocked(DeviceObject);
    }
    if (DeviceObject->Flags & DO_DEVICE_HAS_NAME) ObMakeTemporaryObject(DeviceObject);
    if (complete) CompleteDeletion(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                           PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    if (DeviceExtraOf(top)->DeletePending) return nullptr;
    top->AttachedDevice = SourceDevice;
    DeviceExtraOf(SourceDevice)->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->SectorSize = top->SectorSize;
    if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    return top;
}

extern "C" NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                                          PDEVICE_OBJECT* AttachedToDeviceObject) {
    PDEVICE_OBJECT top = IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice);
    *AttachedToDeviceObject = top;
    return top != nullptr ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        VerifierReport("io: IoDetachDevice on a device with nothing attached");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    DeviceExtraOf(above)->AttachedTo = nullptr;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    return IoTopOfStack(DeviceObject);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    ObReferenceObject(top);
    return top;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDEVICE_OBJECT lower = DeviceExtraOf(DeviceObject)->AttachedTo;
    if (lower != nullptr) ObReferenceObject(lower);
    return lower;
}

extern "C" PDEVICE_OBJECT NTAPI IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    PDEVICE_OBJECT base = DeviceObject;
    while (DeviceExtraOf(base)->AttachedTo != nullptr) base = DeviceExtraOf(base)->AttachedTo;
    ObReferenceObject(base);
    return base;
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) return STATUS_INVALID_PARAMETER;
    return ObCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
    return ObDeleteSymbolicLink(SymbolicLinkName);
}

extern "C" VOID NTAPI IoAcquireVpbSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&Io().VpbLock, Irql);
}

extern "C" VOID NTAPI IoReleaseVpbSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&Io().VpbLock, Irql);
}

extern "C" PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID) {
    static GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    return &mapping;
}
