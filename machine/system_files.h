// What the System process does with files during boot, installation and
// shutdown: kernel-mode Zw calls with kernel handles, as the kernel's own
// components make them (the loader, the configuration manager, the memory
// manager's paging-file set-up, the shutdown flush).
#pragma once

#include <ntifs.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace machine {

NTSTATUS SystemOpenFile(const std::string& Path, ACCESS_MASK Access, ULONG Share, ULONG Disposition, ULONG Options,
                        HANDLE* Handle);
// Opens for reading and closes again (a loaded image).
NTSTATUS SystemTouch(const std::string& Path);
// Opens the drive's root directory and closes it: the first open mounts.
NTSTATUS SystemOpenRoot(char Drive);
NTSTATUS SystemCreateFolder(const std::string& Path);
// Creates (or replaces) the file with Bytes; Attributes (when not 0) are set
// after the data is written.
NTSTATUS SystemWriteFile(const std::string& Path, const std::vector<uint8_t>& Bytes, uint32_t Attributes);
// Flushes the volume of the drive (an open of the volume itself).
NTSTATUS SystemFlushVolume(char Drive);
// The memory manager's set-up of the paging file: opens it (creating it, hidden
// and system, when it is missing), queries its extents, and leaves *Handle
// open for the run, as the paging file stays open while the system runs.
NTSTATUS SystemOpenPagingFile(const std::string& Path, HANDLE* Handle);

}  // namespace machine
