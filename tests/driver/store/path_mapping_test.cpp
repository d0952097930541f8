// Path walks on names the store decides alone (no short-name questions to the
// volume): records on the way, walk statuses, mapped paths, name table 2.
#include <vector>

#include "common/path_buffer.h"
#include "core/verifier.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"
#include "store_fixture.h"

namespace store_test {
namespace {

class PathMappingTest : public StoreTest {
protected:
    BLOCK_ADDRESS Add(PCWSTR Path, ULONG Type = STORE_TABLE_VOLUME_PATHS) {
        return FileStatePathAdd(Volume(), Path, Type);
    }
    FileStateRecord* State(BLOCK_ADDRESS Address) { return At<FileStateRecord>(Address, STORE_MAGIC_FILE_STATE); }

    struct Mapping {
        BLOCK_ADDRESS Record;
        UCHAR Status;
        std::u16string Path;
        BOOLEAN Junction;
    };
    Mapping Map(PCWSTR Path, ULONG Type = STORE_TABLE_VOLUME_PATHS, BOOLEAN Follow = FALSE) {
        std::vector<WCHAR> output(PATH_BUFFER_CHARS + 1, L'#');
        Mapping mapping = {};
        mapping.Status = 0x55;
        mapping.Record = FileStatePathLookup(Volume(), Path, output.data(), &mapping.Status, Type, Follow,
                                             &mapping.Junction);
        mapping.Path = U16(output.data());
        return mapping;
    }
    void Store(BLOCK_ADDRESS Record, PCWSTR ContentPath) {
        State(Record)->ContentPath = FileBlockSetString(Volume(), BlockIndexOf(Record), ContentPath);
    }
};

TEST_F(PathMappingTest, TheRootIsTheHeadersRootRecord) {
    Mapping root = Map(L"\\");
    EXPECT_EQ(root.Record, Header()->RootState);
    EXPECT_EQ(root.Status, PATH_WALK_TRACKED);
    EXPECT_EQ(root.Path, u"\\");
    EXPECT_EQ(Map(L"\\\\").Record, Header()->RootState);
    EXPECT_EQ(Add(L"\\"), 0u);
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Header()->NameTable1, STORE_MAGIC_HASH)));
}

TEST_F(PathMappingTest, AddCreatesEveryRecordOnTheWayOnce) {
    BLOCK_ADDRESS c = Add(L"\\a\\b\\c.txt");
    ASSERT_NE(c, 0u);
    BLOCK_ADDRESS b = State(c)->Parent;
    BLOCK_ADDRESS a = State(b)->Parent;
    EXPECT_EQ(State(a)->Parent, 0u);
    EXPECT_EQ(U16(State(a)->LongName), u"a");
    EXPECT_EQ(U16(State(b)->LongName), u"b");
    EXPECT_EQ(State(a)->Flags, FILE_STATE_DIRECTORY);
    EXPECT_EQ(State(b)->Flags, FILE_STATE_DIRECTORY);
    EXPECT_EQ(State(c)->Flags, 0);
    EXPECT_EQ(State(c)->ChildTable, 0u);
    EXPECT_EQ(BlockIndexOf(State(a)->ChildTable), BlockIndexOf(a));

    ULONG freeUnits = TotalFreeUnits();
    EXPECT_EQ(Add(L"\\a\\b\\c.txt"), c);
    EXPECT_EQ(Add(L"\\A\\B\\C.TXT\\"), c);     // case and a trailing backslash do not matter
    EXPECT_EQ(Add(L"\\\\a\\\\\\b\\c.txt"), c);  // nor runs of backslashes
    EXPECT_EQ(TotalFreeUnits(), freeUnits);
    EXPECT_EQ(At<HashTableRecord>(State(b)->ChildTable, STORE_MAGIC_HASH)->WalkerCount, 0);
    EXPECT_EQ(At<HashTableRecord>(Header()->NameTable1, STORE_MAGIC_HASH)->WalkerCount, 0);
}

TEST_F(PathMappingTest, UntrackedNamesAreServedFromTheOriginal) {
    Mapping mapping = Map(L"\\x\\y.txt");
    EXPECT_EQ(mapping.Record, 0u);
    EXPECT_EQ(mapping.Status, PATH_WALK_UNTRACKED);
    EXPECT_EQ(mapping.Path, u"\\x\\y.txt");
    EXPECT_FALSE(mapping.Junction);
    EXPECT_EQ(Map(L"\\\\x\\\\y.txt\\").Path, u"\\x\\y.txt");
}

TEST_F(PathMappingTest, ADeletedDirectoryHidesWhatIsBelowIt) {
    BLOCK_ADDRESS a = Add(L"\\a");
    Add(L"\\a\\b");
    State(a)->Flags = FILE_STATE_HIDDEN;  // its child table stays, but it is deleted
    Mapping below = Map(L"\\a\\b");
    EXPECT_EQ(below.Record, 0u);
    EXPECT_EQ(below.Status, PATH_WALK_PARENT_DELETED);
    Mapping itself = Map(L"\\a");
    EXPECT_EQ(itself.Record, a);
    EXPECT_EQ(itself.Status, PATH_WALK_DELETED);
    EXPECT_EQ(itself.Path, u"\\a");
}

TEST_F(PathMappingTest, StatusFollowsTheFlagsOfTheLastName) {
    BLOCK_ADDRESS file = Add(L"\\dir\\file");
    EXPECT_EQ(Map(L"\\dir\\file").Status, PATH_WALK_UNTRACKED);  // a record without flags
    EXPECT_EQ(Map(L"\\dir\\file").Record, file);
    EXPECT_EQ(Map(L"\\dir").Status, PATH_WALK_TRACKED);          // 0x0008 is a flag
    State(file)->Flags = FILE_STATE_HIDDEN | FILE_STATE_PRESENT;
    EXPECT_EQ(Map(L"\\dir\\file").Status, PATH_WALK_TRACKED);
    State(file)->Flags = FILE_STATE_OBJECT_ID_DELETED;
    EXPECT_EQ(Map(L"\\dir\\file").Status, PATH_WALK_TRACKED);
    // Below a file that has no child table nothing is tracked.
    Mapping below = Map(L"\\dir\\file\\more");
    EXPECT_EQ(below.Status, PATH_WALK_UNTRACKED);
    EXPECT_EQ(below.Record, 0u);
}

TEST_F(PathMappingTest, ADirectoryWithAStoredPathLeadsThereWhenNotTracedFurther) {
    BLOCK_ADDRESS dir = Add(L"\\data");
    State(dir)->Flags = FILE_STATE_PRESENT;  // tracked, but without a child table
    Store(dir, L"\\$work\\1\\5\\data");
    Mapping below = Map(L"\\data\\sub\\file.txt");
    EXPECT_EQ(below.Status, PATH_WALK_UNTRACKED);
    EXPECT_EQ(below.Record, 0u);
    EXPECT_EQ(below.Path, u"\\$work\\1\\5\\data\\sub\\file.txt");
    // The last component itself is followed only when asked.
    EXPECT_EQ(Map(L"\\data").Path, u"\\data");
    Mapping followed = Map(L"\\data", STORE_TABLE_VOLUME_PATHS, TRUE);
    EXPECT_EQ(followed.Path, u"\\$work\\1\\5\\data");
    EXPECT_EQ(followed.Record, dir);
    EXPECT_EQ(followed.Status, PATH_WALK_TRACKED);
}

TEST_F(PathMappingTest, StoredPathsOfTrackedDirectoriesPrefixTheRest) {
    BLOCK_ADDRESS file = Add(L"\\data\\sub\\file.txt");
    BLOCK_ADDRESS sub = State(file)->Parent;
    Store(sub, L"\\$work\\1\\9\\sub\\");
    Mapping mapping = Map(L"\\data\\sub\\file.txt");
    EXPECT_EQ(mapping.Record, file);
    EXPECT_EQ(mapping.Path, u"\\$work\\1\\9\\sub\\file.txt");
    // A copied-over directory (alternate path) is not descended into.
    State(sub)->Flags |= FILE_STATE_ALTERNATE_PATH;
    EXPECT_EQ(Map(L"\\data\\sub\\file.txt").Status, PATH_WALK_UNTRACKED);
}

TEST_F(PathMappingTest, AShortNameOnTheWayIsReplacedByItsLongName) {
    BLOCK_ADDRESS programs =
        FileStateAddEntry(Volume(), Header()->NameTable1, L"Program Files", L"PROGRA~1", 0);
    State(programs)->Flags = FILE_STATE_PRESENT;
    Mapping mapping = Map(L"\\progra~1\\app.exe");
    EXPECT_EQ(mapping.Path, u"\\Program Files\\app.exe");
    EXPECT_EQ(mapping.Status, PATH_WALK_UNTRACKED);
    Mapping itself = Map(L"\\PROGRA~1");
    EXPECT_EQ(itself.Record, programs);
    EXPECT_EQ(itself.Path, u"\\Program Files");
}

TEST_F(PathMappingTest, JunctionsOnTheWayAreReported) {
    BLOCK_ADDRESS link = Add(L"\\link");
    Add(L"\\link\\inside");
    State(link)->Flags |= FILE_STATE_JUNCTION;
    EXPECT_TRUE(Map(L"\\link\\inside").Junction);
    EXPECT_FALSE(Map(L"\\other").Junction);
    // Without a place to report it the walk is the same.
    UCHAR status = 0;
    EXPECT_NE(FileStatePathLookup(Volume(), L"\\link\\inside", nullptr, &status, 1, FALSE, nullptr), 0u);
}

TEST_F(PathMappingTest, NameTableTwoLeadsToThePathOfItsTarget) {
    BLOCK_ADDRESS target = Add(L"\\data\\a.txt");
    BLOCK_ADDRESS link = FileStateSetLink(Volume(), L"\\work\\1\\5\\a.txt", target);
    ASSERT_NE(link, 0u);
    Mapping mapping = Map(L"\\work\\1\\5\\a.txt", STORE_TABLE_PHYSICAL_PATHS);
    EXPECT_EQ(mapping.Record, link);
    EXPECT_EQ(mapping.Path, u"\\data\\a.txt");
    // Unknown physical paths map to themselves.
    EXPECT_EQ(Map(L"\\elsewhere\\b", STORE_TABLE_PHYSICAL_PATHS).Path, u"\\elsewhere\\b");
    // A target that no longer resolves fails the walk.
    State(link)->LinkedState = 0x800;
    Mapping broken = Map(L"\\work\\1\\5\\a.txt", STORE_TABLE_PHYSICAL_PATHS);
    EXPECT_EQ(broken.Record, 0u);
    EXPECT_EQ(broken.Status, PATH_WALK_DELETED);
    EXPECT_EQ(broken.Path, u"");
}

TEST_F(PathMappingTest, PathsBeyondTheLimitFail) {
    std::vector<WCHAR> path(PATH_BUFFER_CHARS + 2, L'x');
    path[0] = L'\\';
    path[PATH_BUFFER_CHARS + 1] = 0;
    Mapping tooLong = Map(path.data());
    EXPECT_EQ(tooLong.Status, PATH_WALK_DELETED);
    EXPECT_EQ(tooLong.Record, 0u);
    EXPECT_EQ(tooLong.Path, u"");
    EXPECT_EQ(Add(path.data()), 0u);

    // A stored path that leaves no room for the rest fails the walk too.
    BLOCK_ADDRESS dir = Add(L"\\d");
    State(dir)->Flags = FILE_STATE_PRESENT;
    std::vector<WCHAR> stored(PATH_BUFFER_CHARS - 2, L'y');
    stored[0] = L'\\';
    stored.back() = 0;
    Store(dir, stored.data());
    EXPECT_EQ(Map(L"\\d\\zz").Status, PATH_WALK_UNTRACKED);  // 32,765 + 3 characters fit
    Mapping over = Map(L"\\d\\zzz");                             // 32,769 do not
    EXPECT_EQ(over.Status, PATH_WALK_DELETED);
    EXPECT_EQ(over.Path, u"");
}

TEST_F(PathMappingTest, OutputMayBeTheInputBuffer) {
    BLOCK_ADDRESS dir = Add(L"\\a");
    State(dir)->Flags = FILE_STATE_PRESENT;
    Store(dir, L"\\$work\\1\\2\\3\\4\\a");
    std::vector<WCHAR> buffer(PATH_BUFFER_CHARS + 1, 0);
    std::u16string text = u"\\a\\b\\c\\d";
    std::copy(text.begin(), text.end(), buffer.begin());
    UCHAR status = 0;
    FileStatePathLookup(Volume(), buffer.data(), buffer.data(), &status, STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
    EXPECT_EQ(U16(buffer.data()), u"\\$work\\1\\2\\3\\4\\a\\b\\c\\d");
}

// With an output buffer, or without one for a path that needs no rewriting,
// a lookup takes no memory at all.
TEST_F(PathMappingTest, LookupsAllocateNothing) {
    BLOCK_ADDRESS dir = Add(L"\\data\\sub");
    Store(State(dir)->Parent, L"\\$work\\1\\data");
    Add(L"\\data\\sub\\file.txt");
    BLOCK_ADDRESS plainRecord = Add(L"\\plain\\dir\\x.txt");
    std::vector<WCHAR> output(PATH_BUFFER_CHARS + 1);
    UCHAR status = 0;
    plat::VerifierFailRandomAllocations(1, 1.0);  // every allocation from here fails
    BLOCK_ADDRESS record = FileStatePathLookup(Volume(), L"\\data\\sub\\file.txt", output.data(), &status,
                                               STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
    BLOCK_ADDRESS plain = FileStatePathLookup(Volume(), L"\\PLAIN\\dir\\x.txt", nullptr, &status,
                                              STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
    ULONG failures = plat::VerifierInjectedFailures();
    plat::VerifierStopFailingAllocations();
    EXPECT_NE(record, 0u);
    EXPECT_EQ(plain, plainRecord);
    EXPECT_EQ(U16(output.data()), u"\\$work\\1\\data\\sub\\file.txt");
    EXPECT_EQ(failures, 0u);
}

TEST_F(PathMappingTest, AddFailsWhenTheStoreIsFull) {
    FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8);
    Header()->LastBlockIndex = STORE_LAST_BLOCK_INDEX;
    EXPECT_EQ(Add(L"\\new"), 0u);
    Header()->LastBlockIndex = 0;
    EXPECT_EQ(Map(L"\\new").Status, PATH_WALK_UNTRACKED);
}

}  // namespace
}  // namespace store_test
