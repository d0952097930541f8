// The I/O manager's per-kernel state and its life cycle.
//
// At kernel destruction (before the object manager closes the handles left)
// the I/O manager reports IRPs that were sent and never
// completed, completed and never freed, or allocated and never used; releases
// the file-system, notification and shutdown lists; and removes the devices
// and driver objects that drivers left (drivers have no unload here), so that
// the object manager's leak check sees only what drivers leaked themselves.
#include "io/io.h"
#include "io/io_internal.h"

#include "core/kernel.h"
#include "core/verifier.h"
#include "ke/thread.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace plat {
namespace {

IoState* g_State = nullptr;

std::string Hex(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

std::string DescribeIrp(PIRP Irp) {
    std::string text = "IRP " + Hex(Irp);
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        char detail[96];
        snprintf(detail, sizeof(detail), " (major 0x%02x minor 0x%02x, device %p)", location->MajorFunction,
                 location->MinorFunction, static_cast<void*>(location->DeviceObject));
        text += detail;
    }
    return text;
}

// IRPs still alive at the end: each one is a driver's fault.
void ReportLiveIrps(IoState& State) {
    std::vector<std::pair<PIRP, std::unique_ptr<IrpRecord>>> irps;
    {
        std::lock_guard<std::mutex> guard(State.IrpLock);
        for (auto& entry : State.Irps) irps.emplace_back(entry.first, std::move(entry.second));
        State.Irps.clear();
    }
    for (auto& [irp, record] : irps) {
        bool allLocationsDone = irp->CurrentLocation > irp->StackCount;
        if (record->State == IrpState::Finished || (record->Dispatched && allLocationsDone)) {
            VerifierReport("io: " + DescribeIrp(irp) + " was completed but never freed");
        } else if (record->Dispatched) {
            VerifierReport("io: " + DescribeIrp(irp) + " was never completed");
        } else {
            VerifierReport("io: " + DescribeIrp(irp) + " was allocated and never sent nor freed");
        }
        if (record->FromPool) {
            ExFreePool(irp);
        } else {
            free(irp);
        }
    }
}

void DropDeviceList(std::vector<PDEVICE_OBJECT>& Devices) {
    for (PDEVICE_OBJECT device : Devices) ObDereferenceObject(device);
    Devices.clear();
}

// Removes every device the driver still has, without calling any driver.
void RemoveDevicesOf(IoState& State, PDRIVER_OBJECT Driver) {
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard<std::mutex> guard(State.DatabaseLock);
        for (PDEVICE_OBJECT device = Driver->DeviceObject; device != nullptr; device = device->NextDevice) {
            devices.push_back(device);
        }
        Driver->DeviceObject = nullptr;
        for (PDEVICE_OBJECT device : devices) {
            DeviceExtra* extra = DeviceExtraOf(device);
            device->AttachedDevice = nullptr;
            extra->AttachedTo = nullptr;
            device->NextDevice = nullptr;
        }
    }
    for (PDEVICE_OBJECT device : devices) {
        DeviceExtra* extra = DeviceExtraOf(device);
        bool dropCreationReference = false;
        {
            std::lock_guard<std::mutex> guard(State.DatabaseLock);
            extra->DeletePending = true;
            dropCreationReference = !extra->DeletionDone;
            extra->DeletionDone = true;
        }
        ObMakeTemporaryObject(device);
        if (dropCreationReference) ObDereferenceObject(device);
    }
}

void RemoveDrivers(IoState& State) {
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::recursive_mutex> guard(State.RegistrationLock);
        drivers.swap(State.Drivers);
    }
    for (PDRIVER_OBJECT driver : drivers) RemoveDevicesOf(State, driver);
    for (PDRIVER_OBJECT driver : drivers) {
        ObMakeTemporaryObject(driver);
        ObDereferenceObject(driver);
    }
}

void CreateState() {
    delete g_State;
    g_State = new IoState;
    KeInitializeSpinLock(&g_State->CancelLock);
    KeInitializeSpinLock(&g_State->VpbLock);
}

void DestroyState() {
    IoState& state = *g_State;
    ReportLiveIrps(state);
    {
        std::lock_guard<std::recursive_mutex> guard(state.RegistrationLock);
        DropDeviceList(state.FileSystems);
        for (FsNotification& notification : state.FsNotifications) ExFreePool(notification.Packet);
        state.FsNotifications.clear();
    }
    {
        std::lock_guard<std::mutex> guard(state.ShutdownLock);
        DropDeviceList(state.ShutdownDevices);
    }
    if (state.LiveWorkItems != 0) {
        VerifierReport("io: " + std::to_string(state.LiveWorkItems) + " work item(s) allocated and never freed");
    }
    RemoveDrivers(state);
    // The object manager closes the handles left after this; their file
    // objects go without requests to drivers that are gone. The state itself
    // (its locks) stays until the next kernel.
    state.Ended = true;
}

// Power is off: objects and pool go wholesale; only host memory is ours.
void ForgetState() {
    delete g_State;
    g_State = nullptr;
}

struct Registration {
    Registration() {
        KernelComponent component;
        component.Name = "io";
        component.Order = 50;
        component.Create = CreateState;
        component.Destroy = DestroyState;
        component.PowerOff = ForgetState;
        KernelRegisterComponent(component);
    }
};

Registration g_Registration;

}  // namespace

IoState& Io() {
    if (g_State == nullptr) {
        fprintf(stderr, "io: the I/O manager was called without a kernel\n");
        abort();
    }
    return *g_State;
}

PreviousModeScope::PreviousModeScope(KPROCESSOR_MODE Mode) {
    ThreadState* thread = CurrentThread();
    m_Saved = thread->PreviousMode;
    thread->PreviousMode = Mode;
}

PreviousModeScope::~PreviousModeScope() {
    CurrentThread()->PreviousMode = m_Saved;
}

ULONG IoFileHandleCount(PFILE_OBJECT FileObject) {
    return ObGetHandleCount(FileObject);
}

SIZE_T IoLiveIrpCount() {
    IoState& state = Io();
    std::lock_guard<std::mutex> guard(state.IrpLock);
    return state.Irps.size();
}

}  // namespace plat
