// Helpers of the attachment tests: a test driver whose devices play other
// file systems and filters, a look at the devices quilt.sys has, and
// file-system controls sent through the native API.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <vector>

#include "frame/device_context.h"
#include "support/quilt_driver_fixture.h"

namespace attach_test {

constexpr ULONG kDriveC = 2;
constexpr ULONG kDriveE = 4;

// A device of the test driver (loaded into the current kernel on first use):
// it opens and closes, and refuses everything else.
PDEVICE_OBJECT CreateTestDevice(DEVICE_TYPE Type, PCWSTR Name = nullptr);

// quilt.sys's devices except its control device.
std::vector<PDEVICE_OBJECT> QuiltDevices();
bool IsQuiltDevice(PDEVICE_OBJECT Device);

// The file-system volume device mounted for a path's volume (opens it).
PDEVICE_OBJECT FileSystemVolumeOf(const char16_t* Path);

// Opens Path and sends the control; Output receives OutputLength bytes.
NTSTATUS FsControl(const char16_t* Path, ULONG Code, const void* Input = nullptr, ULONG InputLength = 0,
                   std::vector<uint8_t>* Output = nullptr, ULONG OutputLength = 0,
                   ACCESS_MASK Access = GENERIC_READ | SYNCHRONIZE);

bool StartupGateOpen();

// A fixed (ATA) FAT disk attached as E: after the driver loaded: its mount
// gets a volume filter.
class AttachVolumeTest : public quilt_test::QuiltVolumeTest {
protected:
    void SetUp() override;

    // A volume filter made by hand on C:, attached above its file-system
    // volume device, with a change store, serving as a protected volume's
    // does (the real start-up is not run).
    DeviceContext* ServeC();

    std::shared_ptr<plat::storage::Disk> FixedDisk;
};

}  // namespace attach_test
