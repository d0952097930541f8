// What a fresh machine holds and the order of its boot programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "machine/layout.h"

namespace {

using machine::LayoutEntry;

const LayoutEntry* Find(const std::vector<LayoutEntry>& layout, const std::string& path) {
    auto found = std::find_if(layout.begin(), layout.end(), [&path](const LayoutEntry& e) { return e.Path == path; });
    return found == layout.end() ? nullptr : &*found;
}

TEST(MachineLayout, TextFilesAreUtf16WithByteOrderMarkAndCrLf) {
    std::vector<uint8_t> bytes = machine::Utf16Text({"1C:\\", "0C:\\x"});
    std::vector<uint8_t> expected = {0xFF, 0xFE, '1', 0, 'C', 0, ':', 0, '\\', 0, '\r', 0, '\n', 0,
                                     '0',  0,    'C', 0, ':', 0, '\\', 0, 'x', 0,  '\r', 0, '\n', 0};
    EXPECT_EQ(expected, bytes);
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFE}), machine::Utf16Text({}));
}

TEST(MachineLayout, CheckFileFormsDamageTheFileAsNamed) {
    machine::MachineConfig config = machine::DefaultConfig();
    std::vector<uint8_t> unicode = machine::CheckFileBytes(config);
    EXPECT_EQ(machine::Utf16Text(config.CheckLines), unicode);
    config.CheckForm = machine::CheckFileForm::NoByteOrderMark;
    EXPECT_EQ(std::vector<uint8_t>(unicode.begin() + 2, unicode.end()), machine::CheckFileBytes(config));
    config.CheckForm = machine::CheckFileForm::OneByte;
    EXPECT_EQ(std::vector<uint8_t>{0xFF}, machine::CheckFileBytes(config));
}

TEST(MachineLayout, ProductProgramsSitBesideTheInstallFolder) {
    machine::MachineConfig config = machine::DefaultConfig();
    EXPECT_EQ("C:\\Program Files\\Quilt\\PRG\\QSVAGENT.EXE", machine::InstallSibling(config, "PRG\\QSVAGENT.EXE"));
    config.InstallFolder = "C:\\abc\\";  // the driver cuts four characters whatever they are
    EXPECT_EQ("C:\\PRG\\X", machine::InstallSibling(config, "PRG\\X"));
    config.InstallFolder = "C:\\ab\\";
    EXPECT_EQ("", machine::InstallSibling(config, "PRG\\X"));
}

TEST(MachineLayout, FreshMachineHoldsTheWindowsTreeTheProductAndTheUserData) {
    machine::MachineConfig config = machine::DefaultConfig();
    std::vector<LayoutEntry> layout = machine::FreshMachineLayout(config);
    const std::string system32 = "C:\\WINDOWS\\system32\\";
    const std::string product = "C:\\Program Files\\Quilt\\";
    for (const std::string& path :
         {system32 + "config\\system", system32 + "config\\software", system32 + "config\\sam",
          system32 + "config\\security", system32 + "config\\default", system32 + "smss.exe", system32 + "csrss.exe",
          system32 + "winlogon.exe", system32 + "services.exe", system32 + "ntdll.dll", system32 + "kernel32.dll",
          system32 + "user32.dll", system32 + "gdi32.dll", system32 + "drivers\\cdrom.sys",
          system32 + "drivers\\fs_rec.sys", std::string("C:\\WINDOWS\\explorer.exe"), product + "PRG\\QSVAGENT.EXE",
          product + "PRG\\QSTARTER.EXE", product + "INI\\quilt.chk", product + "INI\\registry.txt",
          std::string("C:\\data\\readme.txt"), std::string("D:\\archive\\notes.txt")}) {
        const LayoutEntry* entry = Find(layout, path);
        ASSERT_NE(nullptr, entry) << path;
        EXPECT_FALSE(entry->IsFolder) << path;
    }
    EXPECT_EQ(nullptr, Find(layout, machine::PrecreatePath(config)));  // only when configured
    const LayoutEntry* check = Find(layout, "C:\\Program Files\\Quilt\\INI\\quilt.chk");
    EXPECT_EQ(machine::Utf16Text(config.CheckLines), check->Content);
    const LayoutEntry* paging = Find(layout, "C:\\pagefile.sys");
    ASSERT_NE(nullptr, paging);
    EXPECT_NE(0u, paging->Attributes);
}

TEST(MachineLayout, EveryFolderComesBeforeWhatItHolds) {
    machine::MachineConfig config = machine::DefaultConfig();
    config.PrecreateLines.push_back("1C:\\data");
    std::set<std::string> made;
    for (const LayoutEntry& entry : machine::FreshMachineLayout(config)) {
        size_t slash = entry.Path.find_last_of('\\');
        std::string parent = entry.Path.substr(0, slash);
        if (slash > 2) {
            EXPECT_TRUE(made.count(parent)) << entry.Path << " before " << parent;
        }
        EXPECT_TRUE(made.insert(entry.Path).second) << entry.Path << " twice";
    }
    EXPECT_TRUE(made.count(machine::PrecreatePath(config)));
}

TEST(MachineLayout, BootProgramsStartInTheOrderOfTheTimingReport) {
    std::vector<machine::BootProgram> programs = machine::BootPrograms(machine::DefaultConfig());
    std::vector<std::string> images;
    for (const auto& program : programs) images.push_back(program.Image);
    EXPECT_EQ((std::vector<std::string>{"smss.exe", "csrss.exe", "winlogon.exe", "services.exe", "explorer.exe",
                                        "QSVAGENT.EXE", "QSTARTER.EXE"}),
              images);
    // Every starter has started before the program it starts.
    std::set<std::string> started = {"System"};
    for (const auto& program : programs) {
        EXPECT_TRUE(started.count(program.Starter)) << program.Image;
        started.insert(program.Image);
    }
    EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\system32\\gdi32.dll", "C:\\WINDOWS\\system32\\kernel32.dll",
                                        "C:\\WINDOWS\\system32\\user32.dll"}),
              programs[0].Opens);
    std::vector<std::string> hives = machine::HiveFiles(machine::DefaultConfig());
    EXPECT_EQ("C:\\WINDOWS\\system32\\config\\software", hives[1]);
}

}  // namespace
