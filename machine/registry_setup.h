// The registry of a fresh machine: the driver's service key with \Parameters
// (CheckFilePath and every value the configuration sets), the sibling's
// service key with VBSFilePath, and the software hive with ProgramFilesDir
// and the keys the default key list names.
#pragma once

#include <wdm.h>

#include <string>

#include "machine/config.h"

namespace machine {

inline constexpr const WCHAR* kQuiltServiceKey = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt";
inline constexpr const WCHAR* kQuiltParametersKey =
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt\\Parameters";
inline constexpr const WCHAR* kSiblingParametersKey =
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PLEAT\\Parameters";
inline constexpr const WCHAR* kSoftwareHive = L"\\REGISTRY\\MACHINE\\SOFTWARE";
inline constexpr const WCHAR* kCurrentVersionKey = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// Fills the registry of the current kernel. Answers "" or what went wrong.
std::string PopulateRegistry(const MachineConfig& Config);

}  // namespace machine
