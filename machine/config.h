// The configuration of a simulated machine: operating-system version, system
// root, volumes, the product's install folder with its files, the driver's
// configuration values, the sibling filter, and the files a fresh machine's
// volumes hold besides the Windows-like tree.
//
// A configuration is text, one setting per line ("key value"), '#' starting a
// comment line; list settings repeat their key. ConfigDefaultText() is the
// embedded default that every new machine starts from; a machine folder keeps
// its own copy (machine.conf). Paths are Win32 paths in UTF-8.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace machine {

enum class FileSystemKind { Ntfs, Fat };
enum class BusKind { Ata, Usb, Ieee1394 };

struct VolumeConfig {
    char Letter = 'C';                 // upper case
    FileSystemKind FileSystem = FileSystemKind::Ntfs;
    BusKind Bus = BusKind::Ata;
    bool Removable = false;
    uint64_t SizeBytes = 0;
    std::string Label;
};

// A value under the driver's \Parameters key besides CheckFilePath.
struct ParameterConfig {
    std::string Name;
    bool IsString = false;
    uint32_t Dword = 0;
    std::string Text;
};

// A file or folder that a fresh machine's volume holds.
struct SeedEntry {
    std::string Path;                  // Win32 path, drive letter first
    bool IsFolder = false;
    std::string Content;               // UTF-8 text of a file
    uint64_t FillBytes = 0;            // a file of this many zero bytes instead of Content
};

// How the check file is written: as the product writes it (UTF-16LE with a
// byte-order mark), or damaged the ways the driver must refuse.
enum class CheckFileForm { Unicode, NoByteOrderMark, OneByte };

struct MachineConfig {
    uint32_t MajorVersion = 5;
    uint32_t MinorVersion = 1;
    std::string SystemRoot = "C:\\WINDOWS";
    std::string ProgramFilesDir = "C:\\Program Files";
    std::string InstallFolder = "C:\\Program Files\\Quilt\\INI\\";  // ends in a backslash
    std::string CheckFileName = "quilt.chk";
    // CheckFilePath as written to the registry: unset means install folder +
    // check-file name; an empty string leaves the value out.
    std::optional<std::string> CheckFilePathOverride;
    std::vector<std::string> CheckLines;           // the check file's lines
    CheckFileForm CheckForm = CheckFileForm::Unicode;
    std::vector<std::string> RegistryLines;        // registry.txt; none: no file
    std::vector<std::string> PrecreateLines;       // PrecreateTarget.def; none: no file
    std::string VbsFilePath;                       // the sibling's VirtualMBR file ("": none)
    std::vector<VolumeConfig> Volumes;
    std::vector<ParameterConfig> Parameters;
    std::vector<SeedEntry> Seeds;
    bool SiblingPresent = true;
    int32_t TimeZoneBiasMinutes = 0;

    // Derived values.
    std::string CheckFilePath() const;  // what the registry gets ("" = none)
    char SystemDrive() const;           // 'C' for C:\WINDOWS
    char InstallDrive() const;
    const VolumeConfig* FindVolume(char Letter) const;
};

// The embedded default, as text and parsed.
const std::string& ConfigDefaultText();
MachineConfig DefaultConfig();

// Parses configuration text. Answers "" or "line N: what is wrong"; Config
// is filled only on success.
std::string ParseConfig(const std::string& Text, MachineConfig* Config);
// The text form of a configuration (ParseConfig gives it back unchanged).
std::string FormatConfig(const MachineConfig& Config);

// Checks what parsing cannot see line by line: the system drive and the
// install drive exist, letters are unique, A: is not used for fixed volumes
// ... Answers "" or a sentence.
std::string ValidateConfig(const MachineConfig& Config);

// "256M" / "1G" / "65536" <-> bytes.
bool ParseSize(const std::string& Text, uint64_t* Bytes);
std::string FormatSize(uint64_t Bytes);

}  // namespace machine
