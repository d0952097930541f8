// The machine configuration: the embedded default, parsing and formatting.
#include "machine/config.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include <set>
#include <sstream>

namespace machine {
namespace {

const char kDefaultText[] =
    "# The default quilt machine: Windows XP (5.1) on an NTFS C: with a FAT D:,\n"
    "# the product installed in C:\\Program Files\\Quilt, protecting the whole of C:.\n"
    "os-version      5.1\n"
    "system-root     C:\\WINDOWS\n"
    "program-files   C:\\Program Files\n"
    "install-folder  C:\\Program Files\\Quilt\\INI\\\n"
    "check-file      quilt.chk\n"
    "check-line      1C:\\\n"
    "registry-line   HKEY_LOCAL_MACHINE\\SOFTWARE\\Quilt\\Kept\n"
    "vbs-file        C:\\Program Files\\Quilt\\INI\\VirtualMBR.vbs\n"
    "sibling         present\n"
    "timezone-bias   0\n"
    "volume          C: NTFS ATA fixed 256M SYSTEM\n"
    "volume          D: FAT ATA fixed 64M DATA\n"
    "folder          C:\\Documents and Settings\\User\\Desktop\n"
    "file            C:\\Documents and Settings\\User\\My Documents\\letter.txt = Dear reader, this letter was "
    "here before the first boot.\n"
    "file            C:\\data\\readme.txt = The data folder of the default machine.\n"
    "file            C:\\data\\numbers.txt = one two three\n"
    "file            D:\\archive\\notes.txt = Notes kept on the second volume.\n";

std::string Trim(const std::string& text) {
    size_t begin = 0;
    while (begin < text.size() && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    size_t end = text.size();
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) words.push_back(word);
    return words;
}

// "C:" or "c:" (and "C" alone) as an upper-case letter.
bool ParseDriveLetter(const std::string& text, char* letter) {
    if (text.empty() || text.size() > 2 || !isalpha(static_cast<unsigned char>(text[0]))) return false;
    if (text.size() == 2 && text[1] != ':') return false;
    *letter = static_cast<char>(toupper(static_cast<unsigned char>(text[0])));
    return true;
}

bool IsDrivePath(const std::string& path) {
    return path.size() >= 3 && isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\';
}

bool ParseDword(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull || text[0] == '-') return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseVersion(const std::string& text, uint32_t* major, uint32_t* minor) {
    if (text == "5.1") { *major = 5; *minor = 1; return true; }
    if (text == "6.0") { *major = 6; *minor = 0; return true; }
    if (text == "6.1") { *major = 6; *minor = 1; return true; }
    return false;
}

// volume LETTER: NTFS|FAT ATA|USB|1394 fixed|removable SIZE [LABEL...]
std::string ParseVolume(const std::string& value, VolumeConfig* volume) {
    std::vector<std::string> words = Words(value);
    if (words.size() < 5) return "volume needs: LETTER: NTFS|FAT ATA|USB|1394 fixed|removable SIZE [LABEL]";
    if (!ParseDriveLetter(words[0], &volume->Letter)) return "bad drive letter '" + words[0] + "'";
    std::string fs = Lower(words[1]);
    if (fs == "ntfs") volume->FileSystem = FileSystemKind::Ntfs;
    else if (fs == "fat" || fs == "fat32") volume->FileSystem = FileSystemKind::Fat;
    else return "unknown file system '" + words[1] + "' (NTFS or FAT)";
    std::string bus = Lower(words[2]);
    if (bus == "ata") volume->Bus = BusKind::Ata;
    else if (bus == "usb") volume->Bus = BusKind::Usb;
    else if (bus == "1394" || bus == "ieee1394") volume->Bus = BusKind::Ieee1394;
    else return "unknown bus '" + words[2] + "' (ATA, USB or 1394)";
    std::string media = Lower(words[3]);
    if (media == "fixed") volume->Removable = false;
    else if (media == "removable") volume->Removable = true;
    else return "media must be fixed or removable, not '" + words[3] + "'";
    if (!ParseSize(words[4], &volume->SizeBytes) || volume->SizeBytes < (1u << 20)) {
        return "bad volume size '" + words[4] + "' (at least 1M)";
    }
    volume->Label.clear();
    for (size_t i = 5; i < words.size(); ++i) volume->Label += (i > 5 ? " " : "") + words[i];
    return "";
}

// parameter NAME NUMBER | parameter NAME "TEXT"
std::string ParseParameter(const std::string& value, ParameterConfig* parameter) {
    size_t space = value.find_first_of(" \t");
    if (space == std::string::npos) return "parameter needs: NAME VALUE";
    parameter->Name = value.substr(0, space);
    std::string rest = Trim(value.substr(space));
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
        parameter->IsString = true;
        parameter->Text = rest.substr(1, rest.size() - 2);
        return "";
    }
    parameter->IsString = false;
    if (!ParseDword(rest, &parameter->Dword)) return "parameter value must be a 32-bit number or \"text\"";
    return "";
}

// file PATH = TEXT
std::string ParseFileSeed(const std::string& value, SeedEntry* seed) {
    size_t equals = value.find(" = ");
    std::string path = Trim(equals == std::string::npos ? value : value.substr(0, equals));
    if (!IsDrivePath(path) || path.size() < 4) return "file needs: X:\\PATH = TEXT";
    seed->Path = path;
    seed->IsFolder = false;
    seed->Content = equals == std::string::npos ? "" : value.substr(equals + 3);
    return "";
}

// fill PATH SIZE
std::string ParseFillSeed(const std::string& value, SeedEntry* seed) {
    size_t space = value.find_last_of(" \t");
    std::string path = space == std::string::npos ? "" : Trim(value.substr(0, space));
    if (!IsDrivePath(path) || path.size() < 4) return "fill needs: X:\\PATH SIZE";
    if (!ParseSize(value.substr(space + 1), &seed->FillBytes) || seed->FillBytes == 0) {
        return "bad fill size '" + value.substr(space + 1) + "'";
    }
    seed->Path = path;
    seed->IsFolder = false;
    return "";
}

const char* CheckFormText(CheckFileForm form) {
    switch (form) {
    case CheckFileForm::NoByteOrderMark:
        return "no-bom";
    case CheckFileForm::OneByte:
        return "one-byte";
    default:
        return "unicode";
    }
}

std::string ParseLine(const std::string& key, const std::string& value, MachineConfig* config) {
    if (key == "os-version") {
        if (!ParseVersion(value, &config->MajorVersion, &config->MinorVersion)) {
            return "os-version must be 5.1, 6.0 or 6.1";
        }
    } else if (key == "system-root") {
        if (!IsDrivePath(value)) return "system-root must be a path such as C:\\WINDOWS";
        config->SystemRoot = value;
    } else if (key == "program-files") {
        if (!IsDrivePath(value)) return "program-files must be a path such as C:\\Program Files";
        config->ProgramFilesDir = value;
    } else if (key == "install-folder") {
        if (!IsDrivePath(value) || value.back() != '\\') return "install-folder must be a path ending in a backslash";
        config->InstallFolder = value;
    } else if (key == "check-file") {
        if (value.empty() || value.find('\\') != std::string::npos) return "check-file is a file name";
        config->CheckFileName = value;
    } else if (key == "check-file-path") {
        config->CheckFilePathOverride = (Lower(value) == "none") ? std::string() : value;
    } else if (key == "check-file-form") {
        std::string v = Lower(value);
        if (v == "unicode") config->CheckForm = CheckFileForm::Unicode;
        else if (v == "no-bom") config->CheckForm = CheckFileForm::NoByteOrderMark;
        else if (v == "one-byte") config->CheckForm = CheckFileForm::OneByte;
        else return "check-file-form must be unicode, no-bom or one-byte";
    } else if (key == "check-line") {
        config->CheckLines.push_back(value);
    } else if (key == "registry-line") {
        config->RegistryLines.push_back(value);
    } else if (key == "precreate-line") {
        config->PrecreateLines.push_back(value);
    } else if (key == "vbs-file") {
        config->VbsFilePath = (Lower(value) == "none") ? std::string() : value;
        if (!config->VbsFilePath.empty() && !IsDrivePath(config->VbsFilePath)) return "vbs-file must be a path or none";
    } else if (key == "sibling") {
        std::string v = Lower(value);
        if (v != "present" && v != "absent") return "sibling must be present or absent";
        config->SiblingPresent = v == "present";
    } else if (key == "timezone-bias") {
        char* end = nullptr;
        long minutes = strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || minutes < -24 * 60 || minutes > 24 * 60) {
            return "timezone-bias is minutes between -1440 and 1440";
        }
        config->TimeZoneBiasMinutes = static_cast<int32_t>(minutes);
    } else if (key == "volume") {
        VolumeConfig volume;
        std::string error = ParseVolume(value, &volume);
        if (!error.empty()) return error;
        config->Volumes.push_back(volume);
    } else if (key == "parameter") {
        ParameterConfig parameter;
        std::string error = ParseParameter(value, &parameter);
        if (!error.empty()) return error;
        config->Parameters.push_back(parameter);
    } else if (key == "folder") {
        if (!IsDrivePath(value) || value.size() < 4) return "folder needs: X:\\PATH";
        config->Seeds.push_back(SeedEntry{value, true, ""});
    } else if (key == "fill") {
        SeedEntry seed;
        std::string error = ParseFillSeed(value, &seed);
        if (!error.empty()) return error;
        config->Seeds.push_back(seed);
    } else if (key == "file") {
        SeedEntry seed;
        std::string error = ParseFileSeed(value, &seed);
        if (!error.empty()) return error;
        config->Seeds.push_back(seed);
    } else {
        return "unknown setting '" + key + "'";
    }
    return "";
}

const char* FileSystemText(FileSystemKind kind) {
    return kind == FileSystemKind::Ntfs ? "NTFS" : "FAT";
}

const char* BusText(BusKind bus) {
    switch (bus) {
    case BusKind::Usb:
        return "USB";
    case BusKind::Ieee1394:
        return "1394";
    default:
        return "ATA";
    }
}

}  // namespace

std::string MachineConfig::CheckFilePath() const {
    if (CheckFilePathOverride) return *CheckFilePathOverride;
    return InstallFolder + CheckFileName;
}

char MachineConfig::SystemDrive() const {
    return static_cast<char>(toupper(static_cast<unsigned char>(SystemRoot[0])));
}

char MachineConfig::InstallDrive() const {
    return static_cast<char>(toupper(static_cast<unsigned char>(InstallFolder[0])));
}

const VolumeConfig* MachineConfig::FindVolume(char Letter) const {
    Letter = static_cast<char>(toupper(static_cast<unsigned char>(Letter)));
    for (const VolumeConfig& volume : Volumes) {
        if (volume.Letter == Letter) return &volume;
    }
    return nullptr;
}

const std::string& ConfigDefaultText() {
    static const std::string text(kDefaultText);
    return text;
}

MachineConfig DefaultConfig() {
    MachineConfig config;
    std::string error = ParseConfig(ConfigDefaultText(), &config);
    if (!error.empty()) abort();  // the embedded text is checked by the tests
    return config;
}

std::string ParseConfig(const std::string& Text, MachineConfig* Config) {
    MachineConfig config;
    std::istringstream stream(Text);
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        size_t space = trimmed.find_first_of(" \t");
        std::string key = Lower(trimmed.substr(0, space));
        std::string value = space == std::string::npos ? "" : Trim(trimmed.substr(space));
        std::string error = ParseLine(key, value, &config);
        if (!error.empty()) return "line " + std::to_string(number) + ": " + error;
    }
    std::string error = ValidateConfig(config);
    if (!error.empty()) return error;
    *Config = std::move(config);
    return "";
}

std::string FormatConfig(const MachineConfig& Config) {
    std::ostringstream out;
    out << "os-version      " << Config.MajorVersion << '.' << Config.MinorVersion << '\n';
    out << "system-root     " << Config.SystemRoot << '\n';
    out << "program-files   " << Config.ProgramFilesDir << '\n';
    out << "install-folder  " << Config.InstallFolder << '\n';
    out << "check-file      " << Config.CheckFileName << '\n';
    if (Config.CheckFilePathOverride) {
        out << "check-file-path " << (Config.CheckFilePathOverride->empty() ? "none" : *Config.CheckFilePathOverride)
            << '\n';
    }
    if (Config.CheckForm != CheckFileForm::Unicode) out << "check-file-form " << CheckFormText(Config.CheckForm) << '\n';
    for (const std::string& line : Config.CheckLines) out << "check-line      " << line << '\n';
    for (const std::string& line : Config.RegistryLines) out << "registry-line   " << line << '\n';
    for (const std::string& line : Config.PrecreateLines) out << "precreate-line  " << line << '\n';
    out << "vbs-file        " << (Config.VbsFilePath.empty() ? "none" : Config.VbsFilePath) << '\n';
    out << "sibling         " << (Config.SiblingPresent ? "present" : "absent") << '\n';
    out << "timezone-bias   " << Config.TimeZoneBiasMinutes << '\n';
    for (const VolumeConfig& volume : Config.Volumes) {
        out << "volume          " << volume.Letter << ": " << FileSystemText(volume.FileSystem) << ' '
            << BusText(volume.Bus) << ' ' << (volume.Removable ? "removable" : "fixed") << ' '
            << FormatSize(volume.SizeBytes);
        if (!volume.Label.empty()) out << ' ' << volume.Label;
        out << '\n';
    }
    for (const ParameterConfig& parameter : Config.Parameters) {
        out << "parameter       " << parameter.Name << ' ';
        if (parameter.IsString) out << '"' << parameter.Text << '"';
        else out << parameter.Dword;
        out << '\n';
    }
    for (const SeedEntry& seed : Config.Seeds) {
        if (seed.IsFolder) out << "folder          " << seed.Path << '\n';
        else if (seed.FillBytes != 0) out << "fill            " << seed.Path << ' ' << FormatSize(seed.FillBytes) << '\n';
        else out << "file            " << seed.Path << " = " << seed.Content << '\n';
    }
    return out.str();
}

std::string ValidateConfig(const MachineConfig& Config) {
    std::set<char> letters;
    for (const VolumeConfig& volume : Config.Volumes) {
        if (!letters.insert(volume.Letter).second) {
            return std::string("volume ") + volume.Letter + ": is configured twice";
        }
        if (volume.FileSystem == FileSystemKind::Fat && volume.Label.size() > 11) {
            return std::string("volume ") + volume.Letter + ": a FAT label has at most 11 characters";
        }
    }
    if (Config.FindVolume(Config.SystemDrive()) == nullptr) {
        return std::string("the system drive ") + Config.SystemDrive() + ": has no volume";
    }
    if (Config.FindVolume(Config.InstallDrive()) == nullptr) {
        return std::string("the install drive ") + Config.InstallDrive() + ": has no volume";
    }
    if (Config.FindVolume(Config.ProgramFilesDir[0]) == nullptr) {
        return "the program-files folder lies on a drive without volume";
    }
    for (const SeedEntry& seed : Config.Seeds) {
        if (Config.FindVolume(seed.Path[0]) == nullptr) return "no volume for " + seed.Path;
    }
    if (!Config.VbsFilePath.empty() && Config.FindVolume(Config.VbsFilePath[0]) == nullptr) {
        return "no volume for the vbs-file " + Config.VbsFilePath;
    }
    return "";
}

bool ParseSize(const std::string& Text, uint64_t* Bytes) {
    if (Text.empty() || !isdigit(static_cast<unsigned char>(Text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(Text.c_str(), &end, 10);
    if (errno != 0) return false;
    std::string suffix = Lower(end);
    unsigned shift = 0;
    if (suffix == "k") shift = 10;
    else if (suffix == "m") shift = 20;
    else if (suffix == "g") shift = 30;
    else if (!suffix.empty()) return false;
    if (number > (~0ull >> (shift + 1))) return false;
    *Bytes = static_cast<uint64_t>(number) << shift;
    return true;
}

std::string FormatSize(uint64_t Bytes) {
    if (Bytes != 0 && Bytes % (1ull << 30) == 0) return std::to_string(Bytes >> 30) + "G";
    if (Bytes != 0 && Bytes % (1ull << 20) == 0) return std::to_string(Bytes >> 20) + "M";
    if (Bytes != 0 && Bytes % (1ull << 10) == 0) return std::to_string(Bytes >> 10) + "K";
    return std::to_string(Bytes);
}

}  // namespace machine
