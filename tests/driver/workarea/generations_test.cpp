// Discarding the previous generations of a work folder: what goes, what
// stays, and the generation-folder count the deletion state is judged by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "rtl/convert.h"
#include "workarea/folder_deleter.h"
#include "workarea_fixture.h"

namespace {

using namespace quilt_test;

const std::u16string kWork = u"C:\\$~@&%.~~~";

class GenerationsTest : public WorkAreaTest {
protected:
    void SetUp() override {
        WorkAreaTest::SetUp();
        MakeDirectory(kWork);
        volume_.DriveIndex = kDriveC;
        volume_.LowerDevice = FileSystemDeviceOfDrive(kDriveC);
        ASSERT_NE(volume_.LowerDevice, nullptr);
    }

    void MakeGeneration(const std::u16string& name) {
        MakeDirectory(kWork + u"\\" + name);
        MakeDirectory(kWork + u"\\" + name + u"\\1");
        MakeFile(kWork + u"\\" + name + u"\\1\\copy.txt");
    }

    void Discard(ULONG generation) {
        volume_.Generation = generation;
        EXPECT_EQ(RunCountingPauses([this] { DiscardPreviousGenerations(&volume_); }), 0);
    }

    DeviceContext volume_{};
};

TEST_F(GenerationsTest, OnlyBackupCurrentAndTheCurrentGenerationSurvive) {
    for (const char16_t* name : {u"1", u"2", u"3"}) MakeGeneration(name);
    MakeDirectory(kWork + u"\\Backup");
    MakeFile(kWork + u"\\Backup\\keep.txt");
    MakeFile(kWork + u"\\current", std::string("\x03\0\0\0\x01\0\0\0", 8));
    MakeFile(kWork + u"\\internalinfo.dat");
    MakeDirectory(kWork + u"\\stray");
    Discard(3);
    EXPECT_EQ(Names(kWork), (std::vector<std::string>{"3", "Backup", "current"}));
    EXPECT_TRUE(Exists(kWork + u"\\3\\1\\copy.txt")) << "the current generation is untouched";
    EXPECT_TRUE(Exists(kWork + u"\\Backup\\keep.txt"));
    EXPECT_EQ(g_Drives.HighestGenerationCount, 3u);
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING);
}

TEST_F(GenerationsTest, TheCurrentGenerationIsNamedInLowerCaseHexadecimal) {
    for (const char16_t* name : {u"9", u"10", u"A"}) MakeGeneration(name);
    Discard(10);
    EXPECT_EQ(Names(kWork), std::vector<std::string>{"A"}) << "generation 10 is folder a, whatever its case";
}

TEST_F(GenerationsTest, KeptNamesCompareWithoutCase) {
    MakeGeneration(u"1");
    MakeDirectory(kWork + u"\\BACKUP");
    MakeFile(kWork + u"\\Current");
    Discard(2);
    EXPECT_EQ(Names(kWork), (std::vector<std::string>{"BACKUP", "Current"}));
}

TEST_F(GenerationsTest, OnlyAllDigitNamesCountAsGenerationFolders) {
    for (const char16_t* name : {u"1", u"2", u"1f", u"x1"}) MakeGeneration(name);
    g_Drives.HighestGenerationCount = 0;
    Discard(0x1f);
    EXPECT_EQ(g_Drives.HighestGenerationCount, 2u);
    EXPECT_EQ(Names(kWork), std::vector<std::string>{"1f"});
    // The highest count seen since load stays when fewer are found later.
    Discard(0x1f);
    EXPECT_EQ(g_Drives.HighestGenerationCount, 2u);
}

TEST_F(GenerationsTest, AVolumeWithoutWorkFolderIsLeftAlone) {
    ASSERT_EQ(plat::native::DeletePath(kWork), STATUS_SUCCESS);
    MakeDirectory(u"C:\\1");
    Discard(2);
    EXPECT_TRUE(Exists(u"C:\\1"));
    EXPECT_EQ(g_Drives.HighestGenerationCount, 0u);
}

TEST_F(GenerationsTest, WorksOnFatVolumes) {
    MakeDirectory(u"D:\\$~@&%.~~~");
    MakeDirectory(u"D:\\$~@&%.~~~\\1");
    MakeFile(u"D:\\$~@&%.~~~\\1\\a.txt");
    MakeDirectory(u"D:\\$~@&%.~~~\\2");
    volume_.DriveIndex = kDriveD;
    volume_.LowerDevice = FileSystemDeviceOfDrive(kDriveD);
    Discard(2);
    EXPECT_EQ(Names(u"D:\\$~@&%.~~~"), std::vector<std::string>{"2"});
}

}  // namespace
