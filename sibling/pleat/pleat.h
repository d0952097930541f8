// The sibling filter driver (PLEAT): the stand-in for the product's second
// driver, loaded before quilt.sys. What quilt.sys sees of it:
//   - the named notification event \Device\PleatStarted, set once the
//     driver is ready;
//   - the device \Device\Pleat with the link \??\pleat, answering two
//     device-control codes that move Count x 512 bytes between its sector
//     store and the caller's buffer;
//   - status code 8 written into its status sector at a clean shutdown, when
//     it receives the system's last-chance shutdown request (after every
//     driver registered for shutdown has finished and the volumes are flushed).
// Its sectors live in a SectorStore that the machine keeps between boots.
#pragma once

#include <wdm.h>

#include "sector_store.h"

// Device type 0x81C5, functions 0xCFC and 0xCFD, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr ULONG IOCTL_PLEAT_READ_SECTORS = 0x81C533F0;
constexpr ULONG IOCTL_PLEAT_WRITE_SECTORS = 0x81C533F4;

// The request record (input buffer of both codes; no output buffer). 16 bytes
// on 32-bit Windows; the host's 64-bit pointer makes it 24 here, and callers
// built on the host use the same declaration.
struct PLEAT_SECTOR_REQUEST {
    ULONG Reserved;   // no defined value
    ULONG Sector;
    USHORT Count;     // sectors of 512 bytes
    USHORT Padding;
    PVOID Buffer;     // kernel address the sectors are moved to or from
};

static_assert(sizeof(void*) != 4 || sizeof(PLEAT_SECTOR_REQUEST) == 16, "sibling request record");

namespace pleat {

inline constexpr const WCHAR* kServiceKey = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PLEAT";
inline constexpr const WCHAR* kDriverName = L"\\Driver\\PLEAT";
inline constexpr const WCHAR* kDeviceName = L"\\Device\\Pleat";
inline constexpr const WCHAR* kLinkName = L"\\??\\pleat";
inline constexpr const WCHAR* kStartedEventName = L"\\Device\\PleatStarted";

// Loads the sibling into the current kernel (as the system loads a driver:
// IoLoadDriver with its service key) over Store, which must outlive the
// kernel. Returns DriverEntry's status; *Driver (optional) receives the
// driver object, whose DriverUnload removes what DriverEntry made.
NTSTATUS LoadSibling(SectorStore* Store, PDRIVER_OBJECT* Driver = nullptr);

// The system's last-chance shutdown notification, which the stand-in's I/O
// manager does not keep: an IRP_MJ_SHUTDOWN sent to the sibling's device once
// the ordinary shutdown requests are done. STATUS_OBJECT_NAME_NOT_FOUND when
// the sibling is not loaded.
NTSTATUS SendLastChanceShutdown();

}  // namespace pleat
