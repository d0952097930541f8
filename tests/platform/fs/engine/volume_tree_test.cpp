// Renames, hard links and directory listings of the engine.
#include "engine_fixture.h"

#include <thread>

namespace plat::fs::test {
namespace {

using VolumeTree = EngineTest;

TEST_F(VolumeTree, HardLinksShareDataAndCountLinks) {
    MakeDir("\\other");
    MakeFile("\\original.txt", "shared");
    OpenFile* f = MustOpen("\\original.txt", kOpen);
    ChangeEvents events;
    ASSERT_EQ(volume->HardLink(f, nullptr, N("second.txt"), false, &events), STATUS_SUCCESS);
    OpenFile* dir = MustOpen("\\other", kOpen, kOptDirectoryFile);
    ASSERT_EQ(volume->HardLink(f, dir, N("third.txt"), false, &events), STATUS_SUCCESS);
    EXPECT_EQ(Info(f).NumberOfLinks, 3u);
    EXPECT_EQ(volume->HardLink(f, dir, N("THIRD.TXT"), false, &events), STATUS_OBJECT_NAME_COLLISION);
    Close(dir);
    Close(f);

    OpenFile* viaThird = MustOpen("\\other\\third.txt", kOpen);
    Write(viaThird, 6, " data");
    EXPECT_EQ(Info(viaThird).Id, Info(MustOpen("\\second.txt", kOpen)).Id);
    CloseAll();
    EXPECT_EQ(ReadFile("\\original.txt"), "shared data");

    // Deleting one link leaves the others and the data.
    OpenFile* victim = MustOpen("\\original.txt", kOpen);
    ASSERT_EQ(volume->SetDisposition(victim, true), STATUS_SUCCESS);
    Close(victim);
    EXPECT_FALSE(Exists("\\original.txt"));
    OpenFile* rest = MustOpen("\\second.txt", kOpen);
    EXPECT_EQ(Info(rest).NumberOfLinks, 2u);
    EXPECT_EQ(Read(rest), "shared data");
}

TEST_F(VolumeTree, HardLinkRefusals) {
    MakeDir("\\d");
    OpenFile* dir = MustOpen("\\d", kOpen, kOptDirectoryFile);
    ChangeEvents events;
    EXPECT_EQ(volume->HardLink(dir, nullptr, N("d2"), false, &events), STATUS_FILE_IS_A_DIRECTORY);
    Close(dir);
    Format(FsKind::Fat);
    MakeFile("\\f");
    OpenFile* f = MustOpen("\\f", kOpen);
    EXPECT_EQ(volume->HardLink(f, nullptr, N("g"), false, &events), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(VolumeTree, RenameWithAndWithoutReplace) {
    MakeFile("\\a", "A");
    MakeFile("\\b", "B");
    OpenFile* a = MustOpen("\\a", kOpen);
    ChangeEvents events;
    EXPECT_EQ(volume->Rename(a, nullptr, N("b"), false, &events), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(volume->Rename(a, nullptr, N("B"), true, &events), STATUS_SUCCESS);
    Close(a);
    EXPECT_FALSE(Exists("\\a"));
    EXPECT_EQ(ReadFile("\\b"), "A");
    EXPECT_EQ(List("\\"), std::vector<std::string>{"B"}) << "the new spelling replaces the old";
}

TEST_F(VolumeTree, RenameOntoAnOpenFileIsRefused) {
    MakeFile("\\src", "S");
    MakeFile("\\dst", "D");
    OpenFile* held = MustOpen("\\dst", kOpen, 0, kFileReadData, kAll);
    OpenFile* src = MustOpen("\\src", kOpen);
    ChangeEvents events;
    EXPECT_EQ(volume->Rename(src, nullptr, N("dst"), true, &events), STATUS_ACCESS_DENIED);
    Close(held);
    EXPECT_EQ(volume->Rename(src, nullptr, N("dst"), true, &events), STATUS_SUCCESS);
    Close(src);
    EXPECT_EQ(ReadFile("\\dst"), "S");
}

TEST_F(VolumeTree, RenameKeepsOpenHandlesOnTheFile) {
    MakeDir("\\from");
    MakeDir("\\to");
    MakeFile("\\from\\f", "data");
    OpenFile* reader = MustOpen("\\from\\f", kOpen, 0, kFileReadData, kAll);
    OpenFile* mover = MustOpen("\\from\\f", kOpen);
    OpenFile* to = MustOpen("\\to", kOpen, kOptDirectoryFile);
    ChangeEvents events;
    ASSERT_EQ(volume->Rename(mover, to, N("moved"), false, &events), STATUS_SUCCESS);
    Name path;
    volume->PathOf(reader, &path);
    EXPECT_EQ(path, N("\\to\\moved"));
    EXPECT_EQ(Read(reader), "data");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Action, kActionRemoved);
    EXPECT_EQ(events[0].FullPath, N("\\from\\f"));
    EXPECT_EQ(events[1].Action, kActionAdded);
    EXPECT_EQ(events[1].FullPath, N("\\to\\moved"));
    EXPECT_EQ(events[1].NameOffset, 4u);
}

TEST_F(VolumeTree, RenameOfADirectory) {
    MakeDir("\\a");
    MakeDir("\\a\\b");
    MakeFile("\\a\\b\\f", "deep");
    OpenFile* a = MustOpen("\\a", kOpen, kOptDirectoryFile);
    OpenFile* b = MustOpen("\\a\\b", kOpen, kOptDirectoryFile);
    ChangeEvents events;
    EXPECT_EQ(volume->Rename(a, b, N("x"), false, &events), STATUS_INVALID_PARAMETER) << "into itself";
    Close(b);
    OpenFile* busy = MustOpen("\\a\\b\\f", kOpen, 0, kFileReadData, kAll);
    EXPECT_EQ(volume->Rename(a, nullptr, N("renamed"), false, &events), STATUS_ACCESS_DENIED)
        << "a directory with open files below it";
    Close(busy);
    ASSERT_EQ(volume->Rename(a, nullptr, N("renamed"), false, &events), STATUS_SUCCESS);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Action, kActionRenamedOldName);
    EXPECT_EQ(events[0].Filter, kNotifyDirName);
    EXPECT_EQ(events[1].Action, kActionRenamedNewName);
    Close(a);
    EXPECT_EQ(ReadFile("\\renamed\\b\\f"), "deep");
    EXPECT_FALSE(Exists("\\a"));
    MakeFile("\\file");
    OpenFile* d = MustOpen("\\renamed", kOpen, kOptDirectoryFile);
    EXPECT_EQ(volume->Rename(d, nullptr, N("file"), true, &events), STATUS_ACCESS_DENIED)
        << "a directory never replaces";
    OpenFile* f = MustOpen("\\file", kOpen);
    EXPECT_EQ(volume->Rename(f, nullptr, N("renamed"), true, &events), STATUS_ACCESS_DENIED)
        << "nor is replaced";
}

TEST_F(VolumeTree, RenameToOwnShortNameAndCaseChange) {
    MakeFile("\\Long File Name.txt");
    OpenFile* f = MustOpen("\\Long File Name.txt", kOpen);
    Name shortName = Info(f).ShortName;
    ASSERT_EQ(shortName, N("LONGFI~1.TXT"));
    ChangeEvents events;
    ASSERT_EQ(volume->Rename(f, nullptr, N("LONG FILE NAME.TXT"), false, &events), STATUS_SUCCESS);
    EXPECT_EQ(List("\\"), std::vector<std::string>{"LONG FILE NAME.TXT"});
    ASSERT_EQ(volume->Rename(f, nullptr, shortName, false, &events), STATUS_SUCCESS);
    EXPECT_EQ(List("\\"), std::vector<std::string>{"LONGFI~1.TXT"});
    EXPECT_TRUE(Info(f).ShortName.empty());
}

TEST_F(VolumeTree, NtfsListsInCollationOrderFatInCreationOrder) {
    for (const char* n : {"\\zeta", "\\Alpha", "\\beta", "\\_under", "\\Gamma"}) MakeFile(n);
    EXPECT_EQ(List("\\"), (std::vector<std::string>{"Alpha", "beta", "Gamma", "zeta", "_under"}));
    Format(FsKind::Fat);
    for (const char* n : {"\\zeta", "\\Alpha", "\\beta"}) MakeFile(n);
    EXPECT_EQ(List("\\"), (std::vector<std::string>{"zeta", "Alpha", "beta"}));
}

TEST_F(VolumeTree, FatIndexNumbersChangeWithARename) {
    Format(FsKind::Fat);
    MakeFile("\\f");
    OpenFile* f = MustOpen("\\f", kOpen);
    uint64_t before = Info(f).IndexNumber;
    ChangeEvents events;
    ASSERT_EQ(volume->Rename(f, nullptr, N("g"), false, &events), STATUS_SUCCESS);
    EXPECT_NE(Info(f).IndexNumber, before);
}

TEST_F(VolumeTree, ListingResumesAfterACursorDespiteChanges) {
    for (const char* n : {"\\a", "\\b", "\\c", "\\d"}) MakeFile(n);
    OpenFile* dir = MustOpen("\\", kOpen, kOptDirectoryFile, kFileReadData);
    DirectoryCursor cursor;
    std::vector<std::string> seen;
    volume->Enumerate(dir, cursor, true, [&](const DirectoryListing& l, const DirectoryCursor& at) {
        seen.push_back(NameToUtf8(l.Entry->LongName));
        cursor = at;
        return seen.size() < 2;
    });
    ASSERT_EQ(seen, (std::vector<std::string>{"a", "b"}));
    // b is deleted and bb added while the listing is half done.
    OpenFile* b = MustOpen("\\b", kOpen);
    volume->SetDisposition(b, true);
    Close(b);
    MakeFile("\\bb");
    volume->Enumerate(dir, cursor, false, [&](const DirectoryListing& l, const DirectoryCursor&) {
        seen.push_back(NameToUtf8(l.Entry->LongName));
        return true;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "bb", "c", "d"}));
}

}  // namespace
}  // namespace plat::fs::test

namespace plat::fs::test {
namespace {

// Threads creating, renaming and deleting in one directory leave the volume
// consistent and every surviving name readable.
TEST_F(VolumeTree, ConcurrentChangesKeepTheIndexesConsistent) {
    MakeDir("\\shared");
    auto worker = [this](int id) {
        for (int i = 0; i < 300; ++i) {
            std::string name = "\\shared\\t" + std::to_string(id) + "-" + std::to_string(i);
            CreateRequest r;
            r.Path = N(name.c_str());
            r.Disposition = kCreate;
            r.DesiredAccess = kReadWrite | kDelete;
            r.ShareAccess = kAll;
            CreateResult created = volume->Create(r);
            ASSERT_EQ(created.Status, STATUS_SUCCESS);
            ChangeEvents events;
            if (i % 3 == 0) volume->SetDisposition(created.Open, true);
            Name moved = N((name.substr(8) + ".moved").c_str());
            if (i % 3 == 1) volume->Rename(created.Open, nullptr, moved, false, &events);
            volume->Cleanup(created.Open, false, created.Open, 1);
            volume->Close(created.Open);
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id) threads.emplace_back(worker, id);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(volume->CheckConsistency(), "");
    EXPECT_EQ(List("\\shared").size(), 4u * 200);
}

}  // namespace
}  // namespace plat::fs::test
