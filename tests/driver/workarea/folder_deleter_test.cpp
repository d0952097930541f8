// Deleting folder trees on a real volume: nested trees, read-only files, files
// held open by others, junctions, roots that are files and nestings too deep
// to open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "observed_drive.h"
#include "rtl/convert.h"
#include "workarea/folder_deleter.h"
#include "workarea_fixture.h"

namespace {

using namespace quilt_test;
using plat::native::File;

const std::u16string kGeneration = u"C:\\$~@&%.~~~\\1";

class FolderDeleterTest : public WorkAreaTest {
protected:
    void SetUp() override {
        WorkAreaTest::SetUp();
        MakeDirectory(u"C:\\$~@&%.~~~");
        MakeDirectory(kGeneration);
    }

    bool Delete(const std::u16string& volumePath, ULONG drive = kDriveC) {
        return DeleteFolder(drive, plat::WidePtr(volumePath)) != FALSE;
    }
};

TEST_F(FolderDeleterTest, ANestedTreeGoesCompletely) {
    MakeDirectory(kGeneration + u"\\1");
    MakeFile(kGeneration + u"\\1\\a.txt");
    MakeDirectory(kGeneration + u"\\1\\deeper");
    MakeDirectory(kGeneration + u"\\1\\deeper\\deepest");
    MakeFile(kGeneration + u"\\1\\deeper\\deepest\\b.bin", std::string(10000, 'b'));
    MakeDirectory(kGeneration + u"\\2");
    MakeFile(kGeneration + u"\\2\\c.txt");
    int pauses = RunCountingPauses([this] { EXPECT_TRUE(Delete(u"\\$~@&%.~~~\\1")); });
    EXPECT_EQ(pauses, 0);
    EXPECT_FALSE(Exists(kGeneration));
    EXPECT_EQ(Names(u"C:\\$~@&%.~~~"), std::vector<std::string>{});
    EXPECT_TRUE(LogLines("Error at deleting").empty());
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING) << "nothing was left behind";
}

TEST_F(FolderDeleterTest, AReadOnlyFileIsDeletedAfterItsAttributesAreResetWithoutPause) {
    MakeFile(kGeneration + u"\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
    {
        File file;  // the file system refuses to delete it as it stands
        ASSERT_EQ(OpenPath((kGeneration + u"\\ro.txt").c_str(), &file, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
        EXPECT_EQ(file.SetDeleteDisposition(true), STATUS_CANNOT_DELETE);
    }
    int pauses = RunCountingPauses([this] { Delete(u"\\$~@&%.~~~\\1"); });
    EXPECT_EQ(pauses, 0);
    EXPECT_FALSE(Exists(kGeneration));
}

TEST_F(FolderDeleterTest, AFileHeldOpenIsTriedElevenTimesASecondApartThenLoggedAndLeft) {
    MakeDirectory(kGeneration + u"\\keep");
    MakeFile(kGeneration + u"\\keep\\locked.txt");
    MakeFile(kGeneration + u"\\keep\\free.txt");
    MakeFile(kGeneration + u"\\other.txt");
    File holder;  // another program, sharing everything but deletion
    ASSERT_EQ(OpenPath((kGeneration + u"\\keep\\locked.txt").c_str(), &holder, GENERIC_READ | SYNCHRONIZE,
                       FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, FILE_SHARE_READ | FILE_SHARE_WRITE),
              STATUS_SUCCESS);
    const std::string locked = "\\$~@&%.~~~\\1\\keep\\locked.txt";
    ObservedDrive observed(u"C:\\");

    HANDLE deleter = StartSystemThread([this] { Delete(u"\\$~@&%.~~~\\1"); });
    const LONGLONG start = plat::ClockNow();
    int pauses = 0;
    for (int attempt = 1;; ++attempt) {
        // Each failed attempt is followed by one pause: once the attempt was
        // answered, the deleter's next wait is that pause.
        ASSERT_TRUE(observed.WaitForCreates(locked, attempt, [&] { return ThreadHasEnded(deleter); }));
        WaitUntilBlocked(deleter);
        if (ThreadHasEnded(deleter) || observed.Creates(locked) < attempt) break;
        AdvanceSeconds(1);
        ++pauses;
        ASSERT_LE(pauses, 12);
    }
    JoinSystemThread(deleter);
    EXPECT_EQ(observed.Creates(locked), 11);
    EXPECT_EQ(pauses, 11);
    EXPECT_EQ(plat::ClockNow() - start, 11 * 10000000LL) << "eleven seconds of kernel time";

    std::vector<std::string> errors = LogLines("Error at deleting");
    ASSERT_EQ(errors.size(), 1u);
    const std::string expected = "Error at deleting C:" + locked + " (len=" + std::to_string(locked.size() + 2) +
                                 ") status=c0000043";
    EXPECT_NE(errors[0].find(expected), std::string::npos) << errors[0];
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_LEFT_OVER) << "SubFolderLimit is 0";

    EXPECT_TRUE(Exists(kGeneration + u"\\keep\\locked.txt"));
    EXPECT_EQ(Names(kGeneration), std::vector<std::string>{"keep"}) << "the folders holding it remain";
    EXPECT_EQ(Names(kGeneration + u"\\keep"), std::vector<std::string>{"locked.txt"});
}

TEST_F(FolderDeleterTest, EntriesLeftBehindDoNotCountWhileTheSubFolderLimitAllowsThem) {
    g_Quilt.Config.SubFolderLimit = 3;
    g_Drives.HighestGenerationCount = 3;
    MakeFile(kGeneration + u"\\locked.txt");
    File holder;
    ASSERT_EQ(OpenPath((kGeneration + u"\\locked.txt").c_str(), &holder, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                       FILE_SYNCHRONOUS_IO_NONALERT, FILE_SHARE_READ),
              STATUS_SUCCESS);
    RunCountingPauses([this] { Delete(u"\\$~@&%.~~~\\1"); });
    EXPECT_EQ(LogLines("Error at deleting").size(), 1u);
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING);

    g_Drives.HighestGenerationCount = 4;  // more generations seen than allowed
    RunCountingPauses([this] { Delete(u"\\$~@&%.~~~\\1"); });
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_LEFT_OVER);
}

TEST_F(FolderDeleterTest, AJunctionIsDeletedWithoutEnteringItsTarget) {
    MakeDirectory(u"C:\\target");
    MakeFile(u"C:\\target\\precious.txt");
    MakeJunction(kGeneration + u"\\link", u"C:\\target");
    EXPECT_EQ(RunCountingPauses([this] { Delete(u"\\$~@&%.~~~\\1"); }), 0);
    EXPECT_FALSE(Exists(kGeneration));
    EXPECT_TRUE(Exists(u"C:\\target\\precious.txt"));
}

TEST_F(FolderDeleterTest, ARootThatIsAFileIsDeleted) {
    MakeFile(u"C:\\$~@&%.~~~\\internalinfo.dat");
    EXPECT_EQ(RunCountingPauses([this] { EXPECT_TRUE(Delete(u"\\$~@&%.~~~\\internalinfo.dat")); }), 0);
    EXPECT_FALSE(Exists(u"C:\\$~@&%.~~~\\internalinfo.dat"));
    EXPECT_TRUE(Exists(kGeneration));
}

TEST_F(FolderDeleterTest, AMissingRootIsNothingToDo) {
    EXPECT_TRUE(Delete(u"\\$scrap$~@&%"));
    EXPECT_TRUE(LogLines("Error at deleting").empty());
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING);
}

TEST_F(FolderDeleterTest, BadArgumentsFail) {
    EXPECT_FALSE(DeleteFolder(26, L"\\x"));
    EXPECT_FALSE(DeleteFolder(kDriveC, nullptr));
}

TEST_F(FolderDeleterTest, ANestingTooDeepToOpenIsMovedUpAndTheWalkRepeated) {
    // 129 levels of 254-character names: below level 127 the paths pass the
    // guard's 32,489 characters, and the deepest names would not fit a path
    // buffer at all. Built with relative opens, as no full path could name
    // them.
    const std::u16string level(250, u'n');
    File parent;
    ASSERT_EQ(OpenPath(kGeneration.c_str(), &parent, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    for (int depth = 0; depth < 129; ++depth) {
        plat::native::OpenOptions options;
        options.Access = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE;
        options.Disposition = FILE_CREATE;
        options.Options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        options.RootDirectory = parent.Handle();
        File child;
        char digits[8];
        snprintf(digits, sizeof(digits), "%04d", depth);
        ASSERT_EQ(File::Open(level + plat::Utf8ToUtf16(digits), options, &child), STATUS_SUCCESS) << depth;
        parent = std::move(child);
    }
    {
        plat::native::OpenOptions options;
        options.Access = GENERIC_WRITE | SYNCHRONIZE;
        options.Disposition = FILE_CREATE;
        options.Options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        options.RootDirectory = parent.Handle();
        File leaf;
        ASSERT_EQ(File::Open(u"leaf.txt", options, &leaf), STATUS_SUCCESS);
    }
    parent.Close();

    ObservedDrive observed(u"C:\\");
    EXPECT_EQ(RunCountingPauses([this] { EXPECT_TRUE(Delete(u"\\$~@&%.~~~\\1")); }), 0);
    EXPECT_FALSE(Exists(kGeneration)) << "everything went, the deepest levels after their move";
    EXPECT_TRUE(LogLines("Error at deleting").empty());
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING);

    // Moves name a short folder directly under the root: "-<counter><U+FFFF>",
    // the counter starting above the local time of the driver's load.
    std::vector<std::string> moves = observed.RenameTargets();
    ASSERT_FALSE(moves.empty());
    const std::string prefix = "\\$~@&%.~~~\\1\\-";
    for (const std::string& target : moves) {
        ASSERT_NE(target.find(prefix), std::string::npos) << target;
        std::string rest = target.substr(target.find(prefix) + prefix.size());
        ASSERT_GE(rest.size(), 4u);
        EXPECT_EQ(rest.substr(rest.size() - 3), "\xEF\xBF\xBF") << "ends in U+FFFF";
        LONGLONG counter = std::stoll(rest.substr(0, rest.size() - 3));
        EXPECT_GT(counter, g_Quilt.LoadLocalTime.QuadPart);
    }
}

// ---- The helpers ----------------------------------------------------------------------------

TEST_F(FolderDeleterTest, OpenFolderFindsCreateFolderMakes) {
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenFolder(L"\\$~@&%.~~~\\new", kDriveC, FILE_DIRECTORY_FILE, &handle), nullptr);
    PFILE_OBJECT created = CreateFolder(L"\\$~@&%.~~~\\new", kDriveC, FILE_DIRECTORY_FILE, &handle);
    ASSERT_NE(created, nullptr);
    CloseLowerFile(created, handle);
    EXPECT_TRUE(Exists(u"C:\\$~@&%.~~~\\new"));
    PFILE_OBJECT opened = OpenFolder(L"\\$~@&%.~~~\\new", kDriveC, FILE_DIRECTORY_FILE, &handle);
    ASSERT_NE(opened, nullptr);
    CloseLowerFile(opened, handle);
    // A file is no folder.
    MakeFile(u"C:\\$~@&%.~~~\\file");
    EXPECT_EQ(OpenFolder(L"\\$~@&%.~~~\\file", kDriveC, FILE_DIRECTORY_FILE, &handle), nullptr);
    EXPECT_EQ(OpenFolder(L"\\x", 26, FILE_DIRECTORY_FILE, &handle), nullptr);
    EXPECT_EQ(OpenFolder(nullptr, kDriveC, FILE_DIRECTORY_FILE, &handle), nullptr);
    EXPECT_EQ(CreateFolder(L"\\x", kDriveC, FILE_DIRECTORY_FILE, nullptr), nullptr);
}

TEST_F(FolderDeleterTest, NextNameListsEveryNameBatchAfterBatch) {
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i) {
        std::string name = "name-with-some-length-" + std::to_string(100 + i);
        MakeFile(kGeneration + u"\\" + plat::Utf8ToUtf16(name));
        expected.push_back(name);
    }
    HANDLE handle = nullptr;
    PFILE_OBJECT folder = OpenFolder(plat::WidePtr(std::u16string(u"\\$~@&%.~~~\\1")), kDriveC,
                                     FILE_DIRECTORY_FILE, &handle);
    ASSERT_NE(folder, nullptr);
    std::vector<WCHAR> name(NEXT_NAME_BUFFER_BYTES / sizeof(WCHAR));
    std::vector<UCHAR> entries(NEXT_NAME_ENTRY_BYTES);
    ULONG cursor = 0;
    std::vector<std::string> seen;
    NTSTATUS status;
    while ((status = NextName(IoGetRelatedDeviceObject(folder), folder, name.data(), entries.data(), &cursor)) ==
           STATUS_SUCCESS) {
        seen.push_back(plat::Utf16ToUtf8(name.data()));
    }
    EXPECT_EQ(status, STATUS_NO_MORE_FILES);
    EXPECT_EQ(seen, expected) << "60 names of 44 bytes and more take several 1,024-byte batches";
    CloseLowerFile(folder, handle);
}

TEST_F(FolderDeleterTest, SleepWaitsOnTheKernelClock) {
    HANDLE sleeper = StartSystemThread([] { SleepMilliseconds(1500); });
    WaitUntilBlocked(sleeper);
    AdvanceMilliseconds(1499);
    EXPECT_FALSE(ThreadHasEnded(sleeper));
    AdvanceMilliseconds(1);
    JoinSystemThread(sleeper);
}

}  // namespace
