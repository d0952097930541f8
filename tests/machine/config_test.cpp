// The machine configuration: the embedded default, the text form, and the
// errors a bad configuration gets.
#include <gtest/gtest.h>

#include "machine/config.h"

namespace {

using machine::MachineConfig;

std::string ParseError(const std::string& text) {
    MachineConfig config;
    return machine::ParseConfig(text, &config);
}

// The smallest text a configuration needs: a system root and install folder
// on a volume that exists.
const char kMinimal[] =
    "system-root C:\\WINDOWS\n"
    "install-folder C:\\Q\\INI\\\n"
    "volume C: NTFS ATA fixed 64M\n";

TEST(MachineConfig, EmbeddedDefaultDescribesTheMachineOfTheIssue) {
    MachineConfig config = machine::DefaultConfig();
    EXPECT_EQ(5u, config.MajorVersion);
    EXPECT_EQ(1u, config.MinorVersion);
    EXPECT_EQ("C:\\WINDOWS", config.SystemRoot);
    EXPECT_EQ("C:\\Program Files\\Quilt\\INI\\", config.InstallFolder);
    EXPECT_EQ("C:\\Program Files\\Quilt\\INI\\quilt.chk", config.CheckFilePath());
    ASSERT_EQ(1u, config.CheckLines.size());
    EXPECT_EQ("1C:\\", config.CheckLines[0]);  // protects C: with the whole drive as target
    ASSERT_EQ(2u, config.Volumes.size());
    EXPECT_EQ('C', config.Volumes[0].Letter);
    EXPECT_EQ(machine::FileSystemKind::Ntfs, config.Volumes[0].FileSystem);
    EXPECT_EQ('D', config.Volumes[1].Letter);
    EXPECT_TRUE(config.SiblingPresent);
    EXPECT_EQ('C', config.SystemDrive());
    EXPECT_EQ('C', config.InstallDrive());
    // ProgramFilesDir must fit the driver's 34-byte probe of the software hive.
    EXPECT_LE((config.ProgramFilesDir.size() + 1) * 2, 34u);
}

TEST(MachineConfig, FormattedTextParsesBackToTheSameConfiguration) {
    MachineConfig config = machine::DefaultConfig();
    config.MajorVersion = 6;
    config.MinorVersion = 1;
    config.Parameters.push_back({"DeleteStartDelay", false, 30, ""});
    config.Parameters.push_back({"Note", true, 0, "two words"});
    config.PrecreateLines.push_back("1C:\\data");
    config.CheckFilePathOverride = std::string();
    config.SiblingPresent = false;
    config.CheckForm = machine::CheckFileForm::NoByteOrderMark;
    config.Seeds.push_back({"D:\\filler.bin", false, "", 3ull << 20});
    config.Volumes.push_back({'E', machine::FileSystemKind::Fat, machine::BusKind::Usb, true, 32ull << 20, "STICK"});

    MachineConfig parsed;
    ASSERT_EQ("", machine::ParseConfig(machine::FormatConfig(config), &parsed));
    EXPECT_EQ(machine::FormatConfig(config), machine::FormatConfig(parsed));
    EXPECT_EQ(6u, parsed.MajorVersion);
    ASSERT_EQ(2u, parsed.Parameters.size());
    EXPECT_FALSE(parsed.Parameters[0].IsString);
    EXPECT_EQ(30u, parsed.Parameters[0].Dword);
    EXPECT_EQ("two words", parsed.Parameters[1].Text);
    EXPECT_EQ("", parsed.CheckFilePath());  // CheckFilePath left out of the registry
    const machine::VolumeConfig* stick = parsed.FindVolume('e');
    ASSERT_NE(nullptr, stick);
    EXPECT_EQ(machine::BusKind::Usb, stick->Bus);
    EXPECT_TRUE(stick->Removable);
    EXPECT_EQ(32ull << 20, stick->SizeBytes);
    EXPECT_EQ(machine::CheckFileForm::NoByteOrderMark, parsed.CheckForm);
    EXPECT_EQ(3ull << 20, parsed.Seeds.back().FillBytes);
}

TEST(MachineConfig, SeedsKeepPathsWithSpacesAndTextAfterTheEqualsSign) {
    MachineConfig config;
    ASSERT_EQ("", machine::ParseConfig(std::string(kMinimal) +
                                           "file C:\\Documents and Settings\\a b.txt = x = y\n"
                                           "folder C:\\Empty Folder\n",
                                       &config));
    ASSERT_EQ(2u, config.Seeds.size());
    EXPECT_EQ("C:\\Documents and Settings\\a b.txt", config.Seeds[0].Path);
    EXPECT_EQ("x = y", config.Seeds[0].Content);
    EXPECT_TRUE(config.Seeds[1].IsFolder);
}

TEST(MachineConfig, BadLinesAreRefusedWithTheirLineNumber) {
    EXPECT_EQ("line 4: unknown setting 'colour'", ParseError(std::string(kMinimal) + "colour blue\n"));
    EXPECT_EQ("line 2: os-version must be 5.1, 6.0 or 6.1", ParseError("# comment\nos-version 7.0\n"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "volume D: NTFS ATA fixed 12Q\n").find("line 4"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "volume D: EXT4 ATA fixed 64M\n").find("EXT4"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "volume D: FAT SCSI fixed 64M\n").find("SCSI"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "parameter X -1\n").find("line 4"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "parameter X 4294967296\n").find("line 4"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "install-folder C:\\NoSlash\n").find("line 4"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "check-file-form utf8\n").find("no-bom"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "fill C:\\big.bin 0\n").find("fill size"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "fill 12M\n").find("fill needs"));
}

TEST(MachineConfig, InconsistentMachinesAreRefused) {
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "volume c: FAT ATA fixed 64M\n").find("twice"));
    EXPECT_NE(std::string::npos,
              ParseError("system-root D:\\WINDOWS\ninstall-folder C:\\Q\\INI\\\nvolume C: NTFS ATA fixed 64M\n")
                  .find("system drive D:"));
    EXPECT_NE(std::string::npos,
              ParseError(std::string(kMinimal) + "volume D: FAT ATA fixed 64M TWELVECHARSX\n").find("11 characters"));
    EXPECT_NE(std::string::npos, ParseError(std::string(kMinimal) + "file E:\\x.txt = y\n").find("E:\\x.txt"));
    MachineConfig untouched = machine::DefaultConfig();
    std::string before = machine::FormatConfig(untouched);
    EXPECT_NE("", machine::ParseConfig("os-version 9.9\n", &untouched));
    EXPECT_EQ(before, machine::FormatConfig(untouched));  // a failed parse leaves the target alone
}

TEST(MachineConfig, SizesUseBinarySuffixes) {
    uint64_t bytes = 0;
    EXPECT_TRUE(machine::ParseSize("256M", &bytes));
    EXPECT_EQ(256ull << 20, bytes);
    EXPECT_TRUE(machine::ParseSize("2g", &bytes));
    EXPECT_EQ(2ull << 30, bytes);
    EXPECT_TRUE(machine::ParseSize("1536", &bytes));
    EXPECT_EQ(1536u, bytes);
    EXPECT_FALSE(machine::ParseSize("", &bytes));
    EXPECT_FALSE(machine::ParseSize("M", &bytes));
    EXPECT_FALSE(machine::ParseSize("5T", &bytes));
    EXPECT_FALSE(machine::ParseSize("99999999999999999999", &bytes));
    EXPECT_FALSE(machine::ParseSize("18446744073709551615G", &bytes));
    EXPECT_EQ("64M", machine::FormatSize(64ull << 20));
    EXPECT_EQ("3G", machine::FormatSize(3ull << 30));
    EXPECT_EQ("1536", machine::FormatSize(1536));
}

}  // namespace
