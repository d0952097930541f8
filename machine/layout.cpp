// The fresh machine's files and the boot programs (see layout.h).
#include "machine/layout.h"

#include <set>

#include "nt/iofs.h"

namespace machine {
namespace {

std::string System32(const MachineConfig& config) {
    return config.SystemRoot + "\\system32";
}

// A small image: "MZ" and a line saying what it is, padded to 1 KiB.
std::vector<uint8_t> ProgramImage(const std::string& name) {
    std::string text = "MZ program image of " + name + " on the simulated machine\r\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(1024, 0);
    return bytes;
}

std::vector<uint8_t> HiveImage(const std::string& name) {
    std::string text = "regf hive file " + name + " (the registry itself is kept with the machine)\r\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(8192, 0);
    return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Adds every missing ancestor folder of Path (below the drive root), then
// the entry itself.
void AddWithParents(std::vector<LayoutEntry>* layout, std::set<std::string>* folders, LayoutEntry entry) {
    for (size_t slash = entry.Path.find('\\', 3); slash != std::string::npos;
         slash = entry.Path.find('\\', slash + 1)) {
        std::string folder = entry.Path.substr(0, slash);
        if (folders->insert(folder).second) layout->push_back(LayoutEntry{folder, true, {}, 0});
    }
    if (entry.IsFolder) {
        if (!folders->insert(entry.Path).second) return;
    }
    layout->push_back(std::move(entry));
}

}  // namespace

std::vector<uint8_t> Utf16Text(const std::vector<std::string>& Lines) {
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    auto put = [&bytes](char16_t unit) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (const std::string& line : Lines) {
        // The lines are ASCII paths and digits; other bytes pass as Latin-1.
        for (unsigned char c : line) put(c);
        put(u'\r');
        put(u'\n');
    }
    return bytes;
}

std::vector<uint8_t> CheckFileBytes(const MachineConfig& Config) {
    std::vector<uint8_t> bytes = Utf16Text(Config.CheckLines);
    switch (Config.CheckForm) {
    case CheckFileForm::NoByteOrderMark:
        bytes.erase(bytes.begin(), bytes.begin() + 2);
        break;
    case CheckFileForm::OneByte:
        bytes.resize(1);
        break;
    default:
        break;
    }
    return bytes;
}

std::string CheckFilePath(const MachineConfig& Config) {
    return Config.InstallFolder + Config.CheckFileName;
}

std::string RegistryListPath(const MachineConfig& Config) {
    return Config.InstallFolder + "registry.txt";
}

std::string PrecreatePath(const MachineConfig& Config) {
    return Config.InstallFolder + "PrecreateTarget.def";
}

std::string PagingFilePath(const MachineConfig& Config) {
    return std::string(1, Config.SystemDrive()) + ":\\pagefile.sys";
}

std::string InstallSibling(const MachineConfig& Config, const std::string& Tail) {
    if (Config.InstallFolder.size() < 7) return "";
    return Config.InstallFolder.substr(0, Config.InstallFolder.size() - 4) + Tail;
}

std::vector<std::string> HiveFiles(const MachineConfig& Config) {
    std::string config = System32(Config) + "\\config\\";
    return {config + "system", config + "software", config + "sam", config + "security", config + "default"};
}

std::vector<std::string> SystemLoadedFiles(const MachineConfig& Config) {
    std::string system32 = System32(Config);
    return {system32 + "\\ntdll.dll", system32 + "\\drivers\\cdrom.sys", system32 + "\\drivers\\fs_rec.sys"};
}

std::vector<BootProgram> BootPrograms(const MachineConfig& Config) {
    std::string system32 = System32(Config);
    std::vector<BootProgram> programs = {
        {"smss.exe", true, system32 + "\\smss.exe", "System",
         {system32 + "\\gdi32.dll", system32 + "\\kernel32.dll", system32 + "\\user32.dll"}},
        {"csrss.exe", true, system32 + "\\csrss.exe", "smss.exe", {}},
        {"winlogon.exe", true, system32 + "\\winlogon.exe", "smss.exe", {}},
        {"services.exe", true, system32 + "\\services.exe", "winlogon.exe", {}},
        {"explorer.exe", false, Config.SystemRoot + "\\explorer.exe", "winlogon.exe", {}},
    };
    std::string agent = InstallSibling(Config, "PRG\\QSVAGENT.EXE");
    std::string starter = InstallSibling(Config, "PRG\\QSTARTER.EXE");
    if (!agent.empty()) programs.push_back({"QSVAGENT.EXE", true, agent, "services.exe", {}});
    if (!starter.empty()) programs.push_back({"QSTARTER.EXE", false, starter, "explorer.exe", {}});
    return programs;
}

std::vector<LayoutEntry> FreshMachineLayout(const MachineConfig& Config) {
    std::vector<LayoutEntry> layout;
    std::set<std::string> folders;
    auto add = [&](LayoutEntry entry) { AddWithParents(&layout, &folders, std::move(entry)); };

    for (const std::string& hive : HiveFiles(Config)) {
        add({hive, false, HiveImage(hive.substr(hive.find_last_of('\\') + 1)), 0});
    }
    std::string system32 = System32(Config);
    for (const char* name : {"smss.exe", "csrss.exe", "winlogon.exe", "services.exe", "ntdll.dll", "kernel32.dll",
                             "user32.dll", "gdi32.dll", "cmd.exe"}) {
        add({system32 + "\\" + name, false, ProgramImage(name), 0});
    }
    for (const char* name : {"cdrom.sys", "fs_rec.sys", "quilt.sys", "pleat.sys"}) {
        add({system32 + "\\drivers\\" + name, false, ProgramImage(name), 0});
    }
    add({Config.SystemRoot + "\\explorer.exe", false, ProgramImage("explorer.exe"), 0});
    add({PagingFilePath(Config), false, std::vector<uint8_t>(64 * 1024, 0),
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM});

    add({Config.InstallFolder.substr(0, Config.InstallFolder.size() - 1), true, {}, 0});
    add({CheckFilePath(Config), false, CheckFileBytes(Config), 0});
    add({RegistryListPath(Config), false, Utf16Text(Config.RegistryLines), 0});
    if (!Config.PrecreateLines.empty()) add({PrecreatePath(Config), false, Utf16Text(Config.PrecreateLines), 0});
    for (const char* tail : {"PRG\\QSVAGENT.EXE", "PRG\\QSTARTER.EXE"}) {
        std::string path = InstallSibling(Config, tail);
        if (!path.empty()) add({path, false, ProgramImage(path.substr(path.find_last_of('\\') + 1)), 0});
    }
    if (!Config.VbsFilePath.empty()) {
        add({Config.VbsFilePath, false, std::vector<uint8_t>(512, 0), FILE_ATTRIBUTE_HIDDEN});
    }

    for (const SeedEntry& seed : Config.Seeds) {
        std::vector<uint8_t> content;
        if (seed.FillBytes != 0) content.assign(seed.FillBytes, 0);
        else if (!seed.IsFolder) content = Bytes(seed.Content);
        add({seed.Path, seed.IsFolder, std::move(content), 0});
    }
    return layout;
}

}  // namespace machine
