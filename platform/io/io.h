// The I/O manager's host-side interface: loading drivers, shutting the system
// down, and what tests and the simulated machine read about devices and files.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace plat {

// Creates the driver object Name ("\Driver\x" or "\FileSystem\x"; a bare
// name goes under \Driver) and runs DriverEntry(driver, RegistryPath) in the
// calling thread, attached to the System process. RegistryPath may be NULL
// (an empty path is passed). On success DO_DEVICE_INITIALIZING is cleared on
// every device the driver created and *DriverObject (optional) receives the
// driver, which lives until the kernel goes. On failure the driver object is
// deleted and DriverEntry's status is returned.
NTSTATUS IoLoadDriver(PCWSTR Name, PDRIVER_INITIALIZE DriverEntry, PCWSTR RegistryPath,
                      PDRIVER_OBJECT* DriverObject);

// Sends IRP_MJ_SHUTDOWN to the top of the stack of every device registered
// with IoRegisterShutdownNotification, the most recent registration first,
// and waits for each. Returns the devices' statuses in that order.
std::vector<NTSTATUS> IoShutdownSystem();

// The file objects' handle count (for "still has open handles" tests).
ULONG IoFileHandleCount(PFILE_OBJECT FileObject);

// IRPs allocated and not yet freed (for tests and diagnostics).
SIZE_T IoLiveIrpCount();

}  // namespace plat
