// File-state records: name hashing and matching, entries, paths, removal with
// pruning, stored paths, name refresh and the four update types.
#include <vector>

#include "common/path_buffer.h"
#include "store/file_entry.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"
#include "store_fixture.h"

namespace store_test {
namespace {

class FileStateTest : public StoreTest {
protected:
    BLOCK_ADDRESS Table1() { return Header()->NameTable1; }
    BLOCK_ADDRESS Table2() { return Header()->NameTable2; }
    FileStateRecord* State(BLOCK_ADDRESS Address) { return At<FileStateRecord>(Address, STORE_MAGIC_FILE_STATE); }
    BLOCK_ADDRESS Add(PCWSTR Path) { return FileStatePathAdd(Volume(), Path, STORE_TABLE_VOLUME_PATHS); }
    BLOCK_ADDRESS Find(PCWSTR Path) {
        UCHAR status = 0;
        return FileStatePathLookup(Volume(), Path, nullptr, &status, STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
    }
    std::u16string PathOf(BLOCK_ADDRESS Record) {
        std::vector<WCHAR> buffer(PATH_BUFFER_CHARS + 1);
        if (!FileStateGetPath(Volume(), Record, buffer.data())) return u"<failed>";
        return U16(buffer.data());
    }
};

TEST_F(FileStateTest, LongNamesAndTheirShortNamesHashToOneBucket) {
    EXPECT_EQ(FileStateHashName(L"Program Files"), L'P');
    EXPECT_EQ(FileStateHashName(L"PROGRA~1"), L'P');
    EXPECT_EQ(FileStateHashName(L"program files"), L'P');
    EXPECT_EQ(FileStateHashName(L".profile"), L'P');  // leading periods do not count
    EXPECT_EQ(FileStateHashName(L"a+b"), L'A');
    EXPECT_EQ(FileStateHashName(L""), 0);
    EXPECT_EQ(FileStateHashName(nullptr), 0);
}

TEST_F(FileStateTest, ARecordIsFoundByItsLongAndShortNameInAnyCase) {
    BLOCK_ADDRESS record = FileStateAddEntry(Volume(), Table1(), L"Program Files", L"PROGRA~1", 0);
    ASSERT_NE(record, 0u);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"program files"), record);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"PROGRA~1"), record);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"progra~1"), record);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"Program"), 0u);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"Program Files2"), 0u);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L""), 0u);
    FileStateRecord* state = State(record);
    EXPECT_EQ(U16(state->LongName), u"Program Files");
    EXPECT_EQ(U16(state->ShortName), u"PROGRA~1");
    EXPECT_EQ(state->Flags, 0);
    // Sized for its name: 72 + 2 x 13 bytes and the item link.
    EXPECT_EQ(FreeUnits(0), 15962u - StoreUnitsFor(4 + 72 + 26));
}

TEST_F(FileStateTest, TwelveCharacterShortNamesAreKeptWhole) {
    BLOCK_ADDRESS record = FileStateAddEntry(Volume(), Table1(), L"a long name.text", L"ALONGN~1.TEXTRA", 0);
    FileStateRecord* state = State(record);
    EXPECT_EQ(U16(state->ShortName), u"ALONGN~1.TEX");
    EXPECT_EQ(state->ShortNameEnd, 0);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"alongn~1.tex"), record);
}

TEST_F(FileStateTest, AddingAnExistingNameRewritesParentAndNamesInPlace) {
    BLOCK_ADDRESS record = FileStateAddEntry(Volume(), Table1(), L"Readme.TXT", nullptr, 0);
    ULONG freeUnits = FreeUnits(0);
    EXPECT_EQ(FileStateAddEntry(Volume(), Table1(), L"README.txt", L"README~1.TXT", 0x1234), record);
    EXPECT_EQ(FreeUnits(0), freeUnits);
    FileStateRecord* state = State(record);
    EXPECT_EQ(U16(state->LongName), u"README.txt");
    EXPECT_EQ(U16(state->ShortName), u"README~1.TXT");
    EXPECT_EQ(state->Parent, 0x1234u);
}

TEST_F(FileStateTest, ANameLongerThanTheRecordIsNotWrittenIntoIt) {
    BLOCK_ADDRESS record = FileStateAddEntry(Volume(), Table1(), L"Doc", L"DOC~1", 0);
    // Found through the short name; the record has no room for the longer text.
    EXPECT_EQ(FileStateAddEntry(Volume(), Table1(), L"DOC~1", L"DOC~1", 0), record);
    EXPECT_EQ(U16(State(record)->LongName), u"Doc");
}

TEST_F(FileStateTest, FullPathFollowsTheParents) {
    BLOCK_ADDRESS c = Add(L"\\dir\\sub\\name.txt");
    ASSERT_NE(c, 0u);
    EXPECT_EQ(PathOf(c), u"\\dir\\sub\\name.txt");
    EXPECT_EQ(PathOf(Header()->RootState), u"\\");
    EXPECT_EQ(PathOf(0), u"<failed>");
}

TEST_F(FileStateTest, FullPathLongerThanABufferFails) {
    // 128 components of 255 characters fill the buffer exactly; one more does not fit.
    std::u16string component(255, u'n');
    BLOCK_ADDRESS parent = 0;
    for (int depth = 0; depth < 129; depth++) {
        std::u16string name = component;
        name[0] = u'a' + depth % 26;
        name[1] = u'a' + depth / 26;
        parent = FileStateAddEntry(Volume(), Table1(), W(name), nullptr, parent);
        ASSERT_NE(parent, 0u);
        if (depth == 127) {
            EXPECT_EQ(PathOf(parent).size(), 32768u);
        }
    }
    EXPECT_EQ(PathOf(parent), u"<failed>");
}

// ---- Removal and pruning -------------------------------------------------------------

TEST_F(FileStateTest, RemovingTheLastChildPrunesUpToTheFirstDirectoryWithOtherFlags) {
    ULONG baseline = TotalFreeUnits();
    BLOCK_ADDRESS a = Add(L"\\a");
    ULONG withA = TotalFreeUnits();
    ASSERT_NE(Add(L"\\a\\b\\c"), 0u);
    State(a)->Flags |= FILE_STATE_PRESENT;
    EXPECT_EQ(State(a)->Flags, FILE_STATE_PRESENT | FILE_STATE_DIRECTORY);

    FileStateRemovePath(Volume(), L"\\a\\b\\c", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(Find(L"\\a\\b"), 0u);
    EXPECT_EQ(Find(L"\\a"), a);
    EXPECT_EQ(State(a)->ChildTable, 0u);
    EXPECT_EQ(State(a)->Flags, FILE_STATE_PRESENT | FILE_STATE_DIRECTORY);  // 0x0008 stays
    EXPECT_EQ(TotalFreeUnits(), withA);

    // Once a has no other flag, removing below it takes it away too.
    ASSERT_NE(Add(L"\\a\\b"), 0u);
    State(a)->Flags = FILE_STATE_DIRECTORY;
    FileStateRemovePath(Volume(), L"\\a\\b", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(Find(L"\\a"), 0u);
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Table1(), STORE_MAGIC_HASH)));
    EXPECT_EQ(TotalFreeUnits(), baseline);
}

TEST_F(FileStateTest, ADirectoryWithOtherChildrenIsNotPruned) {
    BLOCK_ADDRESS b = Add(L"\\a\\b");
    ASSERT_NE(Add(L"\\a\\b\\c"), 0u);
    BLOCK_ADDRESS d = Add(L"\\a\\b\\d");
    FileStateRemovePath(Volume(), L"\\A\\B\\C", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(Find(L"\\a\\b\\c"), 0u);
    EXPECT_EQ(Find(L"\\a\\b\\d"), d);
    EXPECT_NE(State(b)->ChildTable, 0u);
}

TEST_F(FileStateTest, ATableInUseByAWalkIsNotPruned) {
    BLOCK_ADDRESS b = Add(L"\\a\\b");
    ASSERT_NE(Add(L"\\a\\b\\c"), 0u);
    BLOCK_ADDRESS table = State(b)->ChildTable;
    TableWalkerHold walker;
    walker.Hold(Volume(), table);
    FileStateRemovePath(Volume(), L"\\a\\b\\c", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(Find(L"\\a\\b"), b);
    EXPECT_EQ(State(b)->ChildTable, table);
    walker.Release();
    FileStateRemovePath(Volume(), L"\\a\\b\\x", STORE_TABLE_VOLUME_PATHS);  // nothing there
    EXPECT_EQ(Find(L"\\a\\b"), b);
}

TEST_F(FileStateTest, RemovingAnUntrackedLeafKeepsItsTrackedAncestor) {
    BLOCK_ADDRESS a = Add(L"\\a");
    State(a)->Flags = FILE_STATE_HIDDEN;
    FileStateRemovePath(Volume(), L"\\a\\missing", STORE_TABLE_VOLUME_PATHS);
    FileStateRemovePath(Volume(), L"\\", STORE_TABLE_VOLUME_PATHS);
    FileStateRemovePath(Volume(), L"\\nothing", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(Find(L"\\a"), a);
    // A directory on the way is entered through its short name as well.
    BLOCK_ADDRESS d = FileStateAddEntry(Volume(), Table1(), L"Documents and Settings", L"DOCUME~1", 0);
    State(d)->Flags = FILE_STATE_HIDDEN;
    FileStateRemovePath(Volume(), L"\\DOCUME~1", STORE_TABLE_VOLUME_PATHS);
    EXPECT_EQ(FileStateLookup(Volume(), Table1(), L"Documents and Settings"), 0u);
}

TEST_F(FileStateTest, CountedRemovalWorksOnNameTableTwo) {
    BLOCK_ADDRESS link = FileStateSetLink(Volume(), L"\\work\\1\\a.txt", Header()->RootState);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(State(link)->LinkedState, Header()->RootState);
    // The counted string need not be terminated after its length.
    WCHAR text[] = L"\\work\\1\\a.txtGARBAGE";
    UNICODE_STRING path = {26, sizeof(text), text};
    FileStateRemovePathCounted(Volume(), &path);
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Table2(), STORE_MAGIC_HASH)));
}

// ---- Stored paths and names ------------------------------------------------------------

TEST_F(FileStateTest, RedirectPathPrefersTheContentPathAndMustBeginWithABackslash) {
    FileStateRecord* state = State(Add(L"\\file.txt"));
    state->AlternatePath = FileBlockSetString(Volume(), 0, L"\\original\\file.txt");
    std::vector<WCHAR> buffer(PATH_BUFFER_CHARS + 1, L'#');
    buffer[1] = 0;
    BOOLEAN produced = FALSE;
    EXPECT_EQ(FileStateGetRedirectPath(Volume(), state, buffer.data(), &produced), buffer.data());
    EXPECT_TRUE(produced);
    EXPECT_EQ(U16(buffer.data()), u"\\original\\file.txt");

    state->ContentPath = FileBlockSetString(Volume(), 0, L"\\$work\\7\\file.txt");
    EXPECT_NE(FileStateGetRedirectPath(Volume(), state, buffer.data(), nullptr), nullptr);
    EXPECT_EQ(U16(buffer.data()), u"\\$work\\7\\file.txt");

    FileBlockFreeData(Volume(), state->ContentPath);
    state->ContentPath = FileBlockSetString(Volume(), 0, L"relative\\file.txt");
    EXPECT_EQ(FileStateGetRedirectPath(Volume(), state, buffer.data(), &produced), nullptr);
    EXPECT_FALSE(produced);
    EXPECT_EQ(U16(buffer.data()), u"\\$work\\7\\file.txt");  // left as it was

    state->ContentPath = 0;
    state->AlternatePath = 0;
    EXPECT_EQ(FileStateGetRedirectPath(Volume(), state, buffer.data(), &produced), nullptr);
    EXPECT_FALSE(produced);
}

TEST_F(FileStateTest, RedirectPathOfAFullBufferStillEndsInside) {
    std::vector<WCHAR> text(PATH_BUFFER_CHARS + 1, L'x');
    text[0] = L'\\';
    text[PATH_BUFFER_CHARS] = 0;
    FileStateRecord* state = State(Add(L"\\big"));
    state->ContentPath = FileBlockSetString(Volume(), 0, text.data());
    std::vector<WCHAR> buffer(PATH_BUFFER_CHARS + 2, L'#');
    ASSERT_NE(FileStateGetRedirectPath(Volume(), state, buffer.data(), nullptr), nullptr);
    EXPECT_EQ(buffer[PATH_BUFFER_CHARS], 0);
    EXPECT_EQ(buffer[PATH_BUFFER_CHARS + 1], L'#');
    // One character more is no path.
    text.push_back(0);
    text[PATH_BUFFER_CHARS] = L'y';
    FileBlockFreeData(Volume(), state->ContentPath);
    state->ContentPath = FileBlockSetString(Volume(), 0, text.data());
    EXPECT_EQ(FileStateGetRedirectPath(Volume(), state, buffer.data(), nullptr), nullptr);
}

TEST_F(FileStateTest, RefreshNameTakesTheSpellingOfThePath) {
    FileStateRecord* state = State(FileStateAddEntry(Volume(), Table1(), L"readme.txt", L"README~1.TXT", 0));
    FileStateRefreshName(state, L"\\dir\\ReadMe.TXT");
    EXPECT_EQ(U16(state->LongName), u"ReadMe.TXT");
    FileStateRefreshName(state, L"\\dir\\README.txt\\");
    EXPECT_EQ(U16(state->LongName), u"README.txt");
    FileStateRefreshName(state, L"\\dir\\readme~1.txt");  // the short name: no long spelling in it
    EXPECT_EQ(U16(state->LongName), u"README.txt");
    FileStateRefreshName(state, L"\\dir\\readme.txt.bak");  // longer than the record
    EXPECT_EQ(U16(state->LongName), u"README.txt");
    FileStateRefreshName(state, L"\\");
    EXPECT_EQ(U16(state->LongName), u"README.txt");
    FileStateRefreshName(state, L"Readme.Txt");
    EXPECT_EQ(U16(state->LongName), u"Readme.Txt");
}

struct Visit {
    std::vector<std::u16string> Names;
    size_t StopAfter = 100;
};

BOOLEAN Collect(VolumeContext*, BLOCK_ADDRESS, FileStateRecord* State, PVOID Context) {
    Visit* visit = static_cast<Visit*>(Context);
    visit->Names.push_back(U16(State->LongName));
    return visit->Names.size() < visit->StopAfter;
}

TEST_F(FileStateTest, ChildrenAreVisitedByBucketNewestFirst) {
    BLOCK_ADDRESS dir = Add(L"\\dir");
    Add(L"\\dir\\a1");
    Add(L"\\dir\\b1");
    Add(L"\\dir\\a2");
    Add(L"\\dir\\z");
    Visit visit;
    FileStateEnumerateChildren(Volume(), State(dir)->ChildTable, Collect, &visit);
    // 'Z' (90) lands in bucket 12, 'A' (65) in 13, 'B' (66) in 14.
    EXPECT_EQ(visit.Names, (std::vector<std::u16string>{u"z", u"a2", u"a1", u"b1"}));
    Visit firstTwo;
    firstTwo.StopAfter = 2;
    FileStateEnumerateChildren(Volume(), State(dir)->ChildTable, Collect, &firstTwo);
    EXPECT_EQ(firstTwo.Names.size(), 2u);
}

// ---- The four update types -----------------------------------------------------------

TEST_F(FileStateTest, TakeOverAddsPresenceAndTheSourcesFlagsAndLinks) {
    FileStateRecord* state = State(Add(L"\\dest"));
    FileStateRecord source = {};
    source.Flags = FILE_STATE_HIDDEN | FILE_STATE_PRESENT | FILE_STATE_CREATED | FILE_STATE_HAS_SECURITY;
    source.FileEntry = 0x11;
    source.FileIndex = 0x1234567890ull;
    source.AlternatePath = 0x22;
    source.ContentPath = 0x33;
    source.Attributes = 0x44;
    source.Security = 0x55;
    source.ChildTable = 0x66;
    source.Parent = 0x77;
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_TAKE_OVER, state, &source, TRUE, nullptr, nullptr);
    EXPECT_EQ(state->Flags, FILE_STATE_PRESENT | FILE_STATE_CREATED | FILE_STATE_HAS_SECURITY);
    EXPECT_EQ(state->FileEntry, 0x11u);
    EXPECT_EQ(ULONGLONG{state->FileIndex}, 0x1234567890ull);
    EXPECT_EQ(state->AlternatePath, 0x22u);
    EXPECT_EQ(state->ContentPath, 0x33u);
    EXPECT_EQ(state->Attributes, 0x44u);
    EXPECT_EQ(state->Security, 0x55u);
    EXPECT_EQ(state->ChildTable, 0x66u);
    EXPECT_EQ(state->Parent, 0u);  // its own place in the tree stays

    FileStateRecord* other = State(Add(L"\\other"));
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_TAKE_OVER, other, &source, FALSE, nullptr, nullptr);
    EXPECT_EQ(other->Flags, 0);
    EXPECT_EQ(other->ContentPath, 0x33u);
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_TAKE_OVER, other, nullptr, TRUE, nullptr, nullptr);
    EXPECT_EQ(other->Flags, FILE_STATE_PRESENT);
}

TEST_F(FileStateTest, CreatedMarksAnAbsentNameHiddenAndPresent) {
    FileStateRecord* state = State(Add(L"\\new"));
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_CREATED, state, nullptr, FALSE, nullptr, nullptr);
    EXPECT_EQ(state->Flags, 0);
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_CREATED, state, nullptr, TRUE, nullptr, nullptr);
    EXPECT_EQ(state->Flags, FILE_STATE_HIDDEN | FILE_STATE_PRESENT);
    state->Flags = FILE_STATE_PRESENT | FILE_STATE_CREATED;
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_CREATED, state, nullptr, TRUE, nullptr, nullptr);
    EXPECT_EQ(state->Flags, FILE_STATE_PRESENT | FILE_STATE_CREATED);
    FileStateUpdateFlag(Volume(), 9, state, nullptr, TRUE, nullptr, nullptr);
    EXPECT_EQ(state->Flags, FILE_STATE_PRESENT | FILE_STATE_CREATED);
}

TEST_F(FileStateTest, DeletingANameCreatedThroughTheVolumeRemovesEveryTraceOfIt) {
    ULONG baseline = TotalFreeUnits();
    BLOCK_ADDRESS record = Add(L"\\dir\\new.txt");
    ASSERT_NE(FileStateSetLink(Volume(), L"\\work\\1\\new.txt", record), 0u);
    FileStateRecord* state = State(record);
    state->Flags = FILE_STATE_PRESENT | FILE_STATE_CREATED | FILE_STATE_HAS_ATTRIBUTES;
    state->ContentPath = FileBlockSetString(Volume(), 0, L"\\work\\1\\new.txt");
    state->AlternatePath = FileBlockSetString(Volume(), 0, L"\\dir\\new.txt");
    state->Attributes = FileBlockAlloc(Volume(), 0, sizeof(FileAttributeRecord));
    At<FileAttributeRecord>(state->Attributes)->Magic = STORE_MAGIC_ATTRIBUTES;
    BLOCK_ADDRESS entryAddress = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), nullptr, 0, 0, record, &entryAddress);
    ASSERT_NE(entry, nullptr);
    state->FileEntry = entryAddress;

    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, state, nullptr, TRUE, L"\\dir\\new.txt",
                        L"\\work\\1\\new.txt");
    EXPECT_EQ(entry->State, 0u);
    EXPECT_EQ(Find(L"\\dir\\new.txt"), 0u);
    EXPECT_EQ(Find(L"\\dir"), 0u);
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Table1(), STORE_MAGIC_HASH)));
    EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(Table2(), STORE_MAGIC_HASH)));
    // Only the file entry (shared with other links) is still allocated.
    EXPECT_EQ(TotalFreeUnits(), baseline - StoreUnitsFor(sizeof(FileEntryRecord)));
}

TEST_F(FileStateTest, DeletingAReplacedOriginalLeavesItHidden) {
    BLOCK_ADDRESS record = Add(L"\\orig.txt");
    FileStateRecord* state = State(record);
    state->Flags = FILE_STATE_HIDDEN | FILE_STATE_PRESENT | FILE_STATE_ALTERNATE_PATH | FILE_STATE_DIRECTORY;
    state->FileEntry = 0x100;
    state->FileIndex = 99;
    state->AlternatePath = 0x200;
    state->ContentPath = 0x300;
    state->Attributes = 0x400;
    state->Security = 0x500;
    state->ChildTable = 0x600;
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, state, nullptr, FALSE, L"\\orig.txt", nullptr);
    EXPECT_EQ(Find(L"\\orig.txt"), record);
    EXPECT_EQ(state->Flags, FILE_STATE_HIDDEN);
    EXPECT_EQ(state->FileEntry, 0u);
    EXPECT_EQ(ULONGLONG{state->FileIndex}, 0u);
    EXPECT_EQ(state->AlternatePath, 0u);
    EXPECT_EQ(state->ContentPath, 0u);
    EXPECT_EQ(state->Attributes, 0u);
    EXPECT_EQ(state->Security, 0u);
    EXPECT_EQ(state->ChildTable, 0u);
    EXPECT_EQ(U16(state->LongName), u"orig.txt");
}

TEST_F(FileStateTest, DeletionKeepingTheRecordAndDeletionOfUntouchedNames) {
    FileStateRecord* created = State(Add(L"\\created"));
    created->Flags = FILE_STATE_PRESENT;
    created->ContentPath = 0x300;
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_HIDDEN, created, nullptr, TRUE, L"\\created", nullptr);
    EXPECT_NE(Find(L"\\created"), 0u);
    EXPECT_EQ(created->Flags, 0);
    EXPECT_EQ(created->ContentPath, 0u);

    // An untouched name becomes hidden under protection, and nothing otherwise.
    FileStateRecord* untouched = State(Add(L"\\untouched"));
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, untouched, nullptr, TRUE, L"\\untouched", nullptr);
    EXPECT_EQ(untouched->Flags, FILE_STATE_HIDDEN);
    untouched->Flags = FILE_STATE_CREATED;
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, untouched, nullptr, FALSE, nullptr, nullptr);
    EXPECT_EQ(untouched->Flags, 0);  // without a path the record stays
    EXPECT_NE(Find(L"\\untouched"), 0u);
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, untouched, nullptr, FALSE, L"\\untouched", nullptr);
    EXPECT_EQ(Find(L"\\untouched"), 0u);
}

}  // namespace
}  // namespace store_test
