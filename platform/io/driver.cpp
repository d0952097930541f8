// Driver objects and loading, shutdown notification and work items.
#include "io/io.h"
#include "io/io_internal.h"

#include "core/verifier.h"
#include "ex/worker.h"

#include <algorithm>

namespace plat {
namespace {

constexpr WCHAR kDriverDirectory[] = L"\\Driver\\";

struct DriverBody {
    DRIVER_OBJECT Driver;
    DRIVER_EXTENSION Extension;
};

VOID DeleteDriverObject(PVOID Body) {
    auto* body = static_cast<DriverBody*>(Body);
    if (body->Driver.DriverName.Buffer != nullptr) ExFreePool(body->Driver.DriverName.Buffer);
    if (body->Extension.ServiceKeyName.Buffer != nullptr) ExFreePool(body->Extension.ServiceKeyName.Buffer);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

ULONG WideLength(PCWSTR Text) {
    ULONG length = 0;
    while (Text[length] != 0) ++length;
    return length;
}

// A pool copy of Prefix + Text as a counted string.
NTSTATUS PoolString(PCWSTR Prefix, PCWSTR Text, PUNICODE_STRING Result) {
    ULONG prefix = WideLength(Prefix);
    ULONG text = WideLength(Text);
    ULONG bytes = (prefix + text) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_NAME_TOO_LONG;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kTagDriver));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, Prefix, prefix * sizeof(WCHAR));
    RtlCopyMemory(buffer + prefix, Text, text * sizeof(WCHAR));
    buffer[prefix + text] = 0;
    Result->Buffer = buffer;
    Result->Length = static_cast<USHORT>(bytes);
    Result->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// The last component of a registry path: the service key name.
PCWSTR LastComponent(PCWSTR Path) {
    PCWSTR last = Path;
    for (PCWSTR p = Path; *p != 0; ++p) {
        if (*p == L'\\') last = p + 1;
    }
    return last;
}

struct DriverInit {
    UNICODE_STRING Name;
    UNICODE_STRING ServiceKey;
    PDRIVER_INITIALIZE Entry;
};

VOID InitializeDriver(PVOID Body, PVOID Context) {
    auto* body = static_cast<DriverBody*>(Body);
    auto* init = static_cast<DriverInit*>(Context);
    PDRIVER_OBJECT driver = &body->Driver;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->Flags = DRVO_LEGACY_DRIVER;
    driver->DriverExtension = &body->Extension;
    driver->DriverName = init->Name;
    driver->DriverInit = init->Entry;
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    body->Extension.DriverObject = driver;
    body->Extension.ServiceKeyName = init->ServiceKey;
}

NTSTATUS CreateDriverObject(PCWSTR Name, PDRIVER_INITIALIZE Entry, PCWSTR RegistryPath, PDRIVER_OBJECT* Driver) {
    DriverInit init{{0, 0, nullptr}, {0, 0, nullptr}, Entry};
    NTSTATUS status = PoolString(Name[0] == L'\\' ? L"" : kDriverDirectory, Name, &init.Name);
    if (NT_SUCCESS(status)) status = PoolString(L"", LastComponent(RegistryPath), &init.ServiceKey);
    if (NT_SUCCESS(status)) {
        PVOID body = nullptr;
        status = ObCreateObjectEx(&IoDriverType, sizeof(DriverBody), &init.Name, nullptr,
                                  OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, &body, InitializeDriver, &init);
        if (NT_SUCCESS(status)) {
            *Driver = &static_cast<DriverBody*>(body)->Driver;
            return STATUS_SUCCESS;
        }
    }
    if (init.Name.Buffer != nullptr) ExFreePool(init.Name.Buffer);
    if (init.ServiceKey.Buffer != nullptr) ExFreePool(init.ServiceKey.Buffer);
    return status;
}

void ClearInitializing(PDRIVER_OBJECT Driver) {
    std::lock_guard<std::mutex> guard(Io().DatabaseLock);
    for (PDEVICE_OBJECT device = Driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
}

NTSTATUS RunDriverEntry(PDRIVER_OBJECT Driver, PCWSTR RegistryPath) {
    UNICODE_STRING path;
    NTSTATUS status = PoolString(L"", RegistryPath, &path);
    if (!NT_SUCCESS(status)) return status;
    KAPC_STATE apcState;
    bool attach = PsGetCurrentProcess() != PsInitialSystemProcess;
    if (attach) KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &apcState);
    {
        PreviousModeScope kernel(KernelMode);
        status = Driver->DriverInit(Driver, &path);
    }
    if (attach) KeUnstackDetachProcess(&apcState);
    ExFreePool(path.Buffer);
    return status;
}

}  // namespace

ObjectType IoDriverType = {
    L"Driver", nullptr, nullptr, DeleteDriverObject,
    {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE, STANDARD_RIGHTS_EXECUTE, STANDARD_RIGHTS_REQUIRED}, FALSE};

NTSTATUS IoLoadDriver(PCWSTR Name, PDRIVER_INITIALIZE DriverEntry, PCWSTR RegistryPath,
                      PDRIVER_OBJECT* DriverObject) {
    if (DriverObject != nullptr) *DriverObject = nullptr;
    if (Name == nullptr || Name[0] == 0 || DriverEntry == nullptr) return STATUS_INVALID_PARAMETER;
    if (RegistryPath == nullptr) RegistryPath = L"";
    UNICODE_STRING driverDirectory, fileSystemDirectory;
    RtlInitUnicodeString(&driverDirectory, L"\\Driver");
    RtlInitUnicodeString(&fileSystemDirectory, L"\\FileSystem");
    ObCreateDirectory(&driverDirectory);
    ObCreateDirectory(&fileSystemDirectory);

    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = CreateDriverObject(Name, DriverEntry, RegistryPath, &driver);
    if (!NT_SUCCESS(status)) return status;
    status = RunDriverEntry(driver, RegistryPath);
    if (!NT_SUCCESS(status)) {
        ObMakeTemporaryObject(driver);
        ObDereferenceObject(driver);
        return status;
    }
    ClearInitializing(driver);
    {
        IoState& state = Io();
        std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
        state.Drivers.push_back(driver);
    }
    if (DriverObject != nullptr) *DriverObject = driver;
    return status;
}

std::vector<NTSTATUS> IoShutdownSystem() {
    std::vector<PDEVICE_OBJECT> devices;
    {
        IoState& state = Io();
        std::lock_guard<std::mutex> guard(state.ShutdownLock);
        devices.assign(state.ShutdownDevices.rbegin(), state.ShutdownDevices.rend());
        for (PDEVICE_OBJECT device : devices) ObReferenceObject(device);
    }
    std::vector<NTSTATUS> statuses;
    for (PDEVICE_OBJECT device : devices) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
        PIRP irp = IoBuildFileIrp(top, nullptr, IRP_MJ_SHUTDOWN, 0, KernelMode, true);
        irp->Flags |= IRP_SYNCHRONOUS_API;
        statuses.push_back(IoCallDriverAndWait(top, irp, nullptr));
        ObDereferenceObject(top);
        ObDereferenceObject(device);
    }
    return statuses;
}

}  // namespace plat

using namespace plat;

namespace {

POBJECT_TYPE g_DriverTypeExport = ObExportType(&IoDriverType);

}  // namespace

POBJECT_TYPE* IoDriverObjectType = &g_DriverTypeExport;

extern "C" NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.ShutdownLock);
    if (DeviceObject->Flags & DO_SHUTDOWN_REGISTERED) return STATUS_SUCCESS;
    ObReferenceObject(DeviceObject);
    state.ShutdownDevices.push_back(DeviceObject);
    DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT removed = nullptr;
    {
        IoState& state = Io();
        std::lock_guard<std::mutex> guard(state.ShutdownLock);
        auto& devices = state.ShutdownDevices;
        auto it = std::find(devices.begin(), devices.end(), DeviceObject);
        if (it == devices.end()) return;
        devices.erase(it);
        DeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
        removed = DeviceObject;
    }
    ObDereferenceObject(removed);
}

// ---- Work items --------------------------------------------------------------------------
// IO_WORKITEM is the I/O manager's own: the device to keep referenced while
// queued and whether it is queued (a queued item must not be queued again or
// freed).

struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    bool Queued;
};

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kTagWorkItem));
    if (item == nullptr) return nullptr;
    item->Device = DeviceObject;
    item->Queued = false;
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.WorkItemLock);
    state.LiveWorkItems++;
    return item;
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    IoState& state = Io();
    {
        std::lock_guard<std::mutex> guard(state.WorkItemLock);
        if (IoWorkItem->Queued) {
            VerifierReport("io: IoFreeWorkItem of a work item that is still queued");
            return;
        }
        state.LiveWorkItems--;
    }
    ExFreePool(IoWorkItem);
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context) {
    IoState& state = Io();
    {
        std::lock_guard<std::mutex> guard(state.WorkItemLock);
        if (IoWorkItem->Queued) {
            VerifierReport("io: IoQueueWorkItem of a work item that is already queued");
            return;
        }
        IoWorkItem->Queued = true;
    }
    PDEVICE_OBJECT device = IoWorkItem->Device;
    ObReferenceObject(device);
    QueueWorkerRoutine(QueueType, [IoWorkItem, WorkerRoutine, Context, device]() {
        {
            std::lock_guard<std::mutex> guard(Io().WorkItemLock);
            IoWorkItem->Queued = false;
        }
        // The routine may free the item (the usual pattern), so it is not
        // touched afterwards.
        WorkerRoutine(device, Context);
        ObDereferenceObject(device);
    });
}
