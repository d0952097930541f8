// The directory walker on a real volume: the order of its visits, what it
// enters, and how a failure unwinds it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ex/pool.h"
#include "rtl/convert.h"
#include "workarea/dir_walker.h"
#include "workarea_fixture.h"

namespace {

using namespace quilt_test;

// Records its visits as "enter <path>", "leave <path>" and "entry <path>",
// and fails the ones the test names.
class RecordingWalker : public CQuiltDirWalker {
public:
    using CQuiltDirWalker::CQuiltDirWalker;

    NTSTATUS EnterDirectory(PCWSTR Path) override { return Note("enter", Path); }
    NTSTATUS LeaveDirectory(PCWSTR Path) override { return Note("leave", Path); }
    NTSTATUS VisitEntry(PCWSTR Path) override { return Note("entry", Path); }

    std::vector<std::string> visits;
    std::string failOn;  // "<kind> <path>" that answers failStatus
    NTSTATUS failStatus = STATUS_ACCESS_DENIED;

private:
    NTSTATUS Note(const char* kind, PCWSTR path) {
        std::string visit = std::string(kind) + " " + plat::Utf16ToUtf8(path);
        visits.push_back(visit);
        return visit == failOn ? failStatus : STATUS_SUCCESS;
    }
};

class DirWalkerTest : public WorkAreaTest {
protected:
    void SetUp() override {
        WorkAreaTest::SetUp();
        MakeDirectory(u"C:\\w");
        MakeFile(u"C:\\w\\a.txt");
        MakeDirectory(u"C:\\w\\sub");
        MakeFile(u"C:\\w\\sub\\b.txt");
        MakeDirectory(u"C:\\w\\sub\\deeper");
        MakeFile(u"C:\\w\\z.txt");
    }
};

TEST_F(DirWalkerTest, VisitsDepthFirstWithEveryDirectoryLeftAfterItsContents) {
    RecordingWalker walker(kDriveC, L"\\w");
    EXPECT_EQ(walker.Walk(), STATUS_SUCCESS);
    EXPECT_EQ(walker.visits, (std::vector<std::string>{
                                 "enter \\w\\",
                                 "entry \\w\\a.txt",
                                 "enter \\w\\sub\\",
                                 "entry \\w\\sub\\b.txt",
                                 "enter \\w\\sub\\deeper\\",
                                 "leave \\w\\sub\\deeper\\",
                                 "leave \\w\\sub\\",
                                 "entry \\w\\z.txt",
                                 "leave \\w\\",
                             }));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_WALK_FRAME), 0u) << "every frame was freed";
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_WALK_ENTRY), 0u);
    // TearDown's verifier finds no directory left open.
}

TEST_F(DirWalkerTest, ARootWithTrailingBackslashKeepsOneBackslash) {
    RecordingWalker walker(kDriveC, L"\\w\\sub\\");
    EXPECT_EQ(walker.Walk(), STATUS_SUCCESS);
    ASSERT_FALSE(walker.visits.empty());
    EXPECT_EQ(walker.visits.front(), "enter \\w\\sub\\");
    EXPECT_EQ(walker.visits.back(), "leave \\w\\sub\\");
}

TEST_F(DirWalkerTest, ARootThatIsAFileGetsTheEntryVisitorAlone) {
    RecordingWalker walker(kDriveC, L"\\w\\a.txt");
    walker.failOn = "entry \\w\\a.txt";
    walker.failStatus = STATUS_CANNOT_DELETE;
    EXPECT_EQ(walker.Walk(), STATUS_CANNOT_DELETE) << "the visitor's result is the walk's";
    EXPECT_EQ(walker.visits, std::vector<std::string>{"entry \\w\\a.txt"});
}

TEST_F(DirWalkerTest, AMissingRootEndsTheWalkWithTheOpensStatus) {
    RecordingWalker walker(kDriveC, L"\\w\\missing");
    EXPECT_EQ(walker.Walk(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(walker.visits.empty());
}

TEST_F(DirWalkerTest, ARefusedDirectoryIsNotListedAndNothingIsListedAfterIt) {
    RecordingWalker walker(kDriveC, L"\\w");
    walker.failOn = "enter \\w\\sub\\";
    EXPECT_EQ(walker.Walk(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(walker.visits, (std::vector<std::string>{
                                 "enter \\w\\",
                                 "entry \\w\\a.txt",
                                 "enter \\w\\sub\\",
                                 "leave \\w\\sub\\",
                                 "leave \\w\\",
                             }));
}

TEST_F(DirWalkerTest, AFailedEntryVisitorStopsEveryLevelAndUnwinds) {
    RecordingWalker walker(kDriveC, L"\\w");
    walker.failOn = "entry \\w\\sub\\b.txt";
    EXPECT_EQ(walker.Walk(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(walker.visits, (std::vector<std::string>{
                                 "enter \\w\\",
                                 "entry \\w\\a.txt",
                                 "enter \\w\\sub\\",
                                 "entry \\w\\sub\\b.txt",
                                 "leave \\w\\sub\\",
                                 "leave \\w\\",
                             }));
}

TEST_F(DirWalkerTest, TheLastFailureIsTheWalksResult) {
    RecordingWalker walker(kDriveC, L"\\w");
    walker.failOn = "leave \\w\\sub\\deeper\\";
    walker.failStatus = STATUS_DIRECTORY_NOT_EMPTY;
    EXPECT_EQ(walker.Walk(), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(walker.visits.back(), "leave \\w\\");
    EXPECT_EQ(std::count(walker.visits.begin(), walker.visits.end(), "entry \\w\\z.txt"), 0);
}

TEST_F(DirWalkerTest, JunctionsAreVisitedAsEntriesAndNeverEntered) {
    MakeDirectory(u"C:\\target");
    MakeFile(u"C:\\target\\inside.txt");
    MakeJunction(u"C:\\w\\link", u"C:\\target");
    RecordingWalker walker(kDriveC, L"\\w");
    EXPECT_EQ(walker.Walk(), STATUS_SUCCESS);
    EXPECT_NE(std::find(walker.visits.begin(), walker.visits.end(), "entry \\w\\link"), walker.visits.end());
    for (const std::string& visit : walker.visits) {
        EXPECT_EQ(visit.find("inside.txt"), std::string::npos) << visit;
        EXPECT_NE(visit, "enter \\w\\link\\");
    }
}

TEST_F(DirWalkerTest, WalksAFatVolumeToo) {
    MakeDirectory(u"D:\\fat");
    MakeDirectory(u"D:\\fat\\one");
    MakeFile(u"D:\\fat\\one\\x.dat");
    RecordingWalker walker(kDriveD, L"\\fat");
    EXPECT_EQ(walker.Walk(), STATUS_SUCCESS);
    EXPECT_EQ(walker.visits, (std::vector<std::string>{"enter \\fat\\", "enter \\fat\\one\\",
                                                       "entry \\fat\\one\\x.dat", "leave \\fat\\one\\",
                                                       "leave \\fat\\"}));
}

TEST_F(DirWalkerTest, AFrameThatCannotBeHadEndsTheWalkAndFreesTheOthers) {
    int frames = 0;
    plat::PoolSetFailurePredicate([&](ULONG tag, SIZE_T) { return tag == QUILT_TAG_WALK_FRAME && ++frames == 2; });
    RecordingWalker walker(kDriveC, L"\\w");
    EXPECT_EQ(walker.Walk(), STATUS_INSUFFICIENT_RESOURCES);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(walker.visits, (std::vector<std::string>{"enter \\w\\", "entry \\w\\a.txt", "leave \\w\\"}));
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_WALK_FRAME), 0u);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_WALK_ENTRY), 0u);
}

TEST_F(DirWalkerTest, BadArgumentsAreRefused) {
    RecordingWalker noDrive(26, L"\\w");
    EXPECT_EQ(noDrive.Walk(), STATUS_INVALID_PARAMETER);
    RecordingWalker noRoot(kDriveC, nullptr);
    EXPECT_EQ(noRoot.Walk(), STATUS_INVALID_PARAMETER);
    RecordingWalker noVolume(20, L"\\w");  // U: has no volume
    EXPECT_NE(noVolume.Walk(), STATUS_SUCCESS);
    EXPECT_TRUE(noVolume.visits.empty());
}

}  // namespace
