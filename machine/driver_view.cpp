// A kernel debugger's look at the loaded driver: its global records, found
// through the module's symbols, and the wait for its volume start-ups.
#include "machine/machine.h"

#include <chrono>
#include <thread>

#include "frame/device_context.h"
#include "frame/driver_globals.h"

namespace machine {
namespace {

// How long a boot waits for the driver's volume start-ups, in host time.
constexpr auto kStartUpPatience = std::chrono::seconds(60);
constexpr auto kPollInterval = std::chrono::milliseconds(2);

bool IsVolumeFilter(PDEVICE_OBJECT Device) {
    const DeviceContext* context = DeviceContextOf(Device);
    return context != nullptr && context->Kind == DEVICE_KIND_VOLUME_FILTER;
}

// A volume filter's set-up is over once its thread has ended (a failed or
// refused set-up, or a deletion that ran) or the volume serves requests; the
// system and install drives have flags of their own for their last steps.
bool VolumeSettled(const DeviceContext& Volume) {
    return KeReadStateEvent(const_cast<PKEVENT>(&Volume.StartupDone)) != 0 || Volume.Serving;
}

bool StartUpSettled(const QuiltGlobals& Globals, const DriveState& Drives) {
    if (Globals.DriverObject == nullptr) return true;
    if (Globals.StatusWord & STATUS_BIT_SYSTEM_MOUNTED && !Drives.SystemDriveDone) return false;
    if (Globals.StatusWord & STATUS_BIT_INSTALL_MOUNTED && !Drives.InstallDriveDone) return false;
    for (PDEVICE_OBJECT device = Globals.DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        if (IsVolumeFilter(device) && !VolumeSettled(*DeviceContextOf(device))) return false;
    }
    return true;
}

}  // namespace

const QuiltGlobals* Machine::DriverGlobals() const {
    return static_cast<const QuiltGlobals*>(m_Driver.Symbol("g_Quilt"));
}

const DriveState* Machine::DriverDrives() const {
    return static_cast<const DriveState*>(m_Driver.Symbol("g_Drives"));
}

bool Machine::WaitForDriverStartUp() const {
    const QuiltGlobals* globals = DriverGlobals();
    const DriveState* drives = DriverDrives();
    if (globals == nullptr || drives == nullptr) return true;
    auto deadline = std::chrono::steady_clock::now() + kStartUpPatience;
    while (!StartUpSettled(*globals, *drives)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

// One line per volume of the machine: protected with its generation, or not.
void Machine::NoteProtection() {
    if (!WaitForDriverStartUp()) {
        Note("quilt: the volume start-up has not ended after " + std::to_string(kStartUpPatience.count()) + " s");
        return;
    }
    const DriveState* drives = DriverDrives();
    if (drives == nullptr) return;
    for (const auto& entry : m_Disks) {
        ULONG drive = static_cast<ULONG>(entry.first - 'A');
        const DeviceContext* volume = DeviceContextOf(drives->VolumeFilters[drive]);
        bool isProtected = (drives->ProtectedMask & (1u << drive)) != 0 && volume != nullptr;
        Note(std::string("quilt: ") + entry.first + ": " +
             (isProtected ? "protected, generation " + std::to_string(volume->Generation) : "not protected"));
    }
}

}  // namespace machine
