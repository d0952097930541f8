// What a fresh machine holds and what its boot runs: the Windows-like tree of
// the system drive, the product's install folder and programs, the user data
// of the configuration, and the boot programs with the files they open.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "machine/config.h"

namespace machine {

struct LayoutEntry {
    std::string Path;               // Win32 path
    bool IsFolder = false;
    std::vector<uint8_t> Content;
    uint32_t Attributes = 0;        // FILE_ATTRIBUTE_* set after creation (0: none)
};

// Every folder and file of a fresh machine, parents before children.
std::vector<LayoutEntry> FreshMachineLayout(const MachineConfig& Config);

// UTF-16LE text with a byte-order mark, each line ended by CR LF.
std::vector<uint8_t> Utf16Text(const std::vector<std::string>& Lines);

// The check file's bytes in the configured form.
std::vector<uint8_t> CheckFileBytes(const MachineConfig& Config);
// Paths derived from the configuration.
std::string CheckFilePath(const MachineConfig& Config);   // the file the check lines go to
std::string RegistryListPath(const MachineConfig& Config);
std::string PrecreatePath(const MachineConfig& Config);
std::string PagingFilePath(const MachineConfig& Config);
// The install folder with its last four characters ("INI\") replaced by
// Tail, as the driver builds the product's program names; "" when the
// install folder is too short.
std::string InstallSibling(const MachineConfig& Config, const std::string& Tail);

// A boot program: a process that opens files, then starts the programs it
// starts (by opening their images), in order.
struct BootProgram {
    std::string Image;               // process image name
    bool SystemAccount = true;
    std::string ImagePath;           // opened by its starter ("" for System)
    std::string Starter;             // image name of the process that starts it
    std::vector<std::string> Opens;  // files it opens (and closes) once it runs
};

// The boot programs after the System process, in the order they start.
std::vector<BootProgram> BootPrograms(const MachineConfig& Config);

// The five hive files of the system root, in the order System opens them
// (system, software, sam, security, default); the software hive becomes
// readable once its file is open.
std::vector<std::string> HiveFiles(const MachineConfig& Config);
// Files System loads after the hives.
std::vector<std::string> SystemLoadedFiles(const MachineConfig& Config);

}  // namespace machine
