// The disk file systems of the machine's kernel (NTFS, and FAT through its
// recogniser), registered with the I/O manager at their point in the boot.
#pragma once

#include <ntifs.h>

#include <string>
#include <vector>

namespace machine {

// Loads the file-system drivers into the current kernel; Names receives the
// name of each one registered. Answers "" or what went wrong.
std::string RegisterFileSystems(std::vector<std::string>* Names);

}  // namespace machine
