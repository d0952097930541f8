// Target lists: building them from check-file text, the matching rules, and
// the changes the control interface makes to request lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ex/pool.h"
#include "frame/target_list.h"
#include "rtl/convert.h"
#include "support/kernel_fixture.h"

namespace {

using quilt_test::KernelTest;

constexpr ULONG kDriveC = 2;

std::u16string U16(const std::string& text) { return plat::Utf8ToUtf16(text); }

// A check-file text: the byte-order mark, then the lines as given.
std::u16string TargetText(const std::string& lines) { return u"\uFEFF" + U16(lines); }

std::string PathOf(const TargetEntry* entry) {
    return entry != nullptr && entry->pPath != nullptr ? plat::Utf16ToUtf8(entry->pPath) : "<none>";
}

class TargetListTest : public KernelTest {
protected:
    void TearDown() override {
        TargetListFree(&list_);
        for (ULONG tag : {QUILT_TAG_TARGET_TEXT_ENTRY, QUILT_TAG_TARGET_TEXT_PATH, QUILT_TAG_TARGET_REQUEST_ENTRY,
                          QUILT_TAG_TARGET_REQUEST_PATH, QUILT_TAG_TARGET_PROCESS_NAME}) {
            EXPECT_EQ(plat::PoolLiveAllocationsWithTag(tag), 0u) << plat::PoolTagText(tag);
        }
        plat::PoolSetFailurePredicate(nullptr);
        KernelTest::TearDown();
    }

    LONG Build(const std::string& lines, ULONG drive = kDriveC) {
        text_ = TargetText(lines);
        return BuildTargetList(plat::WidePtr(text_), (ULONG)text_.size(), drive, &list_);
    }

    TargetEntry* Match(const std::string& path, const char* process = nullptr) {
        std::u16string wide = U16(path);
        return IsTarget(list_, plat::WidePtr(wide), process);
    }

    bool Add(const std::string& path, const char* process = nullptr) {
        std::u16string wide = U16(path);
        return IsTarget_AddList(plat::WidePtr(wide), &list_, process) != FALSE;
    }

    bool Remove(const std::string& path, const char* process = nullptr) {
        std::u16string wide = U16(path);
        return IsTarget_RemoveList(plat::WidePtr(wide), &list_, process) != FALSE;
    }

    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (TargetEntry* entry = list_; entry != nullptr; entry = entry->Next) paths.push_back(PathOf(entry));
        return paths;
    }

    std::u16string text_;
    TargetEntry* list_ = nullptr;
};

// ---- Building from text -----------------------------------------------------------------

TEST_F(TargetListTest, LinesForTheDriveBecomeEntriesInTextOrder) {
    ASSERT_EQ(Build("1C:\\Data\\*.tmp\r\n"
                    "0C:\\Data\n"
                    "1D:\\Other\n"
                    "1C:\\Windows\\\r\n"
                    "0C:"),
              3);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\Data\\*.tmp", "\\Data", "\\Windows\\"}));

    TargetEntry* wildcard = list_;
    EXPECT_EQ(wildcard->Marked, 1);
    EXPECT_EQ(wildcard->Wildcard, 1);
    EXPECT_EQ(wildcard->Length, 11);
    EXPECT_EQ(wildcard->ProcessName, nullptr);

    TargetEntry* plain = wildcard->Next;
    EXPECT_EQ(plain->Marked, 0);
    EXPECT_EQ(plain->Wildcard, 0);
    EXPECT_EQ(plain->Length, 5);

    TargetEntry* folder = plain->Next;
    EXPECT_EQ(folder->Length, 8) << "one trailing backslash is not counted";
}

TEST_F(TargetListTest, MalformedLinesAreIgnored) {
    EXPECT_EQ(Build("1c:\\lower\n"    // the letter must be upper-case here
                    "2C:\\two\n"      // neither 0 nor 1
                    "1C:\r\n"         // three characters
                    "1C\\x\n"         // no colon
                    "1C:x\\y\n"       // no backslash after the colon
                    " 1C:\\space\n"
                    "\n"),
              0);
    EXPECT_EQ(list_, nullptr);
}

TEST_F(TargetListTest, TheFourCharacterLineNamesTheWholeDrive) {
    ASSERT_EQ(Build("0C:\\\r\n"), 1);
    EXPECT_EQ(PathOf(list_), "\\");
    EXPECT_EQ(list_->Length, 0);
    EXPECT_EQ(Match("\\anything\\below"), list_);
}

TEST_F(TargetListTest, OnlyTheFirstCharacterIsSkippedAsByteOrderMark) {
    // Without a mark the first line loses its first character and no longer
    // begins with "1".
    std::u16string text = U16("1C:\\a\n1C:\\b\n");
    EXPECT_EQ(BuildTargetList(plat::WidePtr(text), (ULONG)text.size(), kDriveC, &list_), 1);
    EXPECT_EQ(Paths(), std::vector<std::string>{"\\b"});
}

TEST_F(TargetListTest, BuildingReplacesTheListAndRefusesMissingArguments) {
    ASSERT_EQ(Build("1C:\\first\n"), 1);
    ASSERT_EQ(Build("1C:\\second\n1C:\\third\n"), 2);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\second", "\\third"}));
    EXPECT_EQ(BuildTargetList(nullptr, 3, kDriveC, &list_), -1);
    EXPECT_EQ(BuildTargetList(plat::WidePtr(text_), (ULONG)text_.size(), kDriveC, nullptr), -1);
}

TEST_F(TargetListTest, AFailedAllocationLeavesAnEmptyListAndNothingAllocated) {
    int allocations = 0;
    plat::PoolSetFailurePredicate([&](ULONG tag, SIZE_T) {
        return tag == QUILT_TAG_TARGET_TEXT_PATH && ++allocations == 3;
    });
    EXPECT_EQ(Build("1C:\\a\n1C:\\b\n1C:\\c\n1C:\\d\n"), -1);
    EXPECT_EQ(list_, nullptr);
    // TearDown checks that no entry or path is left allocated.
}

// ---- Matching ---------------------------------------------------------------------------------

TEST_F(TargetListTest, AMarkedWildcardEntryMatchesFilesBelowAndTheFoldersAbove) {
    ASSERT_EQ(Build("1C:\\Data\\*.tmp\n"), 1);
    EXPECT_EQ(Match("\\Data\\x.tmp"), list_);
    EXPECT_EQ(Match("\\data\\X.TMP\\sub"), list_) << "anything below a matching path";
    EXPECT_EQ(Match("\\Data"), list_) << "a folder above a marked entry";
    EXPECT_EQ(Match("\\Data\\"), list_);
    EXPECT_EQ(Match("\\Data\\x.txt"), nullptr);
    EXPECT_EQ(Match("\\Other\\x.tmp"), nullptr);
}

TEST_F(TargetListTest, AnUnmarkedWildcardEntryDoesNotMatchTheFoldersAbove) {
    ASSERT_EQ(Build("0C:\\Data\\*.tmp\n"), 1);
    EXPECT_EQ(Match("\\Data\\x.tmp"), list_);
    EXPECT_EQ(Match("\\Data"), nullptr);
}

TEST_F(TargetListTest, APlainEntryMatchesItselfAndItsContentsOnly) {
    ASSERT_EQ(Build("0C:\\Data\n"), 1);
    EXPECT_EQ(Match("\\Data"), list_);
    EXPECT_EQ(Match("\\DATA\\"), list_);
    EXPECT_EQ(Match("\\Data\\x"), list_);
    EXPECT_EQ(Match("\\Dat"), nullptr);
    EXPECT_EQ(Match("\\Datax"), nullptr);
    EXPECT_EQ(Match("\\"), nullptr) << "an unmarked entry does not match the folders above it";
}

TEST_F(TargetListTest, AMarkedPlainEntryMatchesTheFoldersAboveIt) {
    ASSERT_EQ(Build("1C:\\Data\\Sub\\File.txt\n"), 1);
    EXPECT_EQ(Match("\\Data"), list_);
    EXPECT_EQ(Match("\\data\\sub\\"), list_);
    EXPECT_EQ(Match("\\Data\\Su"), nullptr) << "a folder above ends at a backslash of the entry";
    EXPECT_EQ(Match("\\"), nullptr) << "the root alone (length 1 or less) is not a folder above";
}

TEST_F(TargetListTest, TheFirstMatchingLineDecides) {
    ASSERT_EQ(Build("0C:\\Windows\\Temp\n1C:\\Windows\n"), 2);
    EXPECT_EQ(Match("\\Windows\\Temp\\a.log"), list_);
    EXPECT_EQ(Match("\\Windows\\system32\\x.dll"), list_->Next);
}

TEST_F(TargetListTest, WorkCopiesMatchByTheirNameAloneBeforeAnyEntry) {
    ASSERT_EQ(Build("0C:\\\n"), 1);  // an entry that matches every path
    TargetEntry* protectedCopy = Match("\\$~@&%.~~~\\3\\!1a");
    ASSERT_NE(protectedCopy, nullptr);
    EXPECT_NE(protectedCopy, list_);
    EXPECT_EQ(protectedCopy->Marked, 1);
    EXPECT_EQ(protectedCopy->pPath, nullptr);
    EXPECT_EQ(Match("\\$~@&%.~~~\\3\\!1a\\inner"), protectedCopy);
    EXPECT_EQ(Match("\\$~@&%.~~~\\3\\1a"), nullptr);
    EXPECT_EQ(Match("\\$~@&%.~~~\\3"), nullptr);
    EXPECT_EQ(Match("\\$~@&%.~~~\\3\\"), nullptr) << "the trailing backslash is not scanned";
}

TEST_F(TargetListTest, EmptyListsAndPathsMatchNothing) {
    EXPECT_EQ(Match("\\Data"), nullptr);
    ASSERT_EQ(Build("0C:\\\n"), 1);
    EXPECT_EQ(Match(""), nullptr);
    EXPECT_EQ(IsTarget(list_, nullptr, nullptr), nullptr);
}

TEST_F(TargetListTest, ProcessNamesLimitWhichEntriesCount) {
    ASSERT_TRUE(Add("\\shared"));
    ASSERT_TRUE(Add("\\mine", "editor.exe"));
    EXPECT_NE(Match("\\mine\\a"), nullptr) << "a search without process considers every entry";
    EXPECT_NE(Match("\\mine\\a", "EDITOR.EXE"), nullptr) << "names compare without case";
    EXPECT_EQ(Match("\\mine\\a", "other.exe"), nullptr);
    EXPECT_NE(Match("\\shared\\a", "other.exe"), nullptr) << "an entry without process applies to all";
}

TEST_F(TargetListTest, ProcessNamesCountWithTheirFirstFifteenCharacters) {
    ASSERT_TRUE(Add("\\p", "abcdefghijklmnopXYZ"));
    EXPECT_STREQ(list_->ProcessName, "abcdefghijklmno");
    EXPECT_NE(Match("\\p", "abcdefghijklmno"), nullptr);
    EXPECT_NE(Match("\\p", "ABCDEFGHIJKLMNOqrs"), nullptr);
    EXPECT_EQ(Match("\\p", "abcdefghijklmn"), nullptr);
}

// ---- MatchPattern -------------------------------------------------------------------------

struct PatternCase {
    const char* pattern;
    const char* path;
    bool ancestor;
    bool expected;
};

class MatchPatternTest : public KernelTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(MatchPatternTest, Matches) {
    const PatternCase& c = GetParam();
    std::u16string pattern = U16(c.pattern);
    std::u16string path = U16(c.path);
    EXPECT_EQ(MatchPattern(c.ancestor, plat::WidePtr(pattern), plat::WidePtr(path)) != FALSE, c.expected)
        << c.pattern << " against " << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Components, MatchPatternTest,
    ::testing::Values(PatternCase{"\\a\\*.tmp", "\\A\\x.TMP", false, true},
                      PatternCase{"\\a\\*.tmp", "\\a\\.tmp", false, true},        // "*" may stand for nothing
                      PatternCase{"\\a\\*.tmp", "\\a\\tmp", false, false},
                      PatternCase{"\\a\\b*", "\\a\\b", false, true},
                      PatternCase{"\\a\\b*", "\\a\\xb", false, false},
                      PatternCase{"\\a\\x*y", "\\a\\xy", false, true},
                      PatternCase{"\\a\\x*y", "\\a\\xay", false, true},
                      PatternCase{"\\a\\xy*yx", "\\a\\xyx", false, false},   // head and tail may not overlap
                      PatternCase{"\\a\\*", "\\a\\anything\\below", false, true},
                      PatternCase{"\\*\\b", "\\a\\b", false, true},
                      PatternCase{"\\*\\b", "\\a\\c", false, false},
                      PatternCase{"\\a*b*c", "\\aXXc", false, false},          // before the last "*" literally
                      PatternCase{"\\a*b*c", "\\a*b*c", false, true},
                      PatternCase{"\\a*b*c", "\\a*bZZc", false, true},
                      PatternCase{"\\a\\b", "\\a\\bc", false, false},
                      PatternCase{"\\a\\\\b", "\\\\a\\b", false, true},        // runs of backslashes count once
                      PatternCase{"\\a\\b", "\\a", true, true},                // a folder above: the flag
                      PatternCase{"\\a\\b", "\\a", false, false},
                      PatternCase{"\\a\\b", "\\", true, true}));

// ---- Request list changes -------------------------------------------------------------------

TEST_F(TargetListTest, AddingAPathInsideAListedFolderAddsNothing) {
    ASSERT_TRUE(Add("\\a\\"));
    ASSERT_TRUE(Add("\\a\\b"));
    ASSERT_TRUE(Add("\\A\\"));
    EXPECT_EQ(Paths(), std::vector<std::string>{"\\a\\"});
}

TEST_F(TargetListTest, AddingAFolderAboveAListedPathAddsANewHeadEntry) {
    ASSERT_TRUE(Add("\\a\\b"));
    ASSERT_TRUE(Add("\\a"));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\a", "\\a\\b"}));
    EXPECT_EQ(list_->Marked, 0);
    EXPECT_EQ(list_->Length, 2);
}

TEST_F(TargetListTest, AFolderListedWithoutBackslashDoesNotCoverItsContents) {
    // The entry's path is taken without its last character: "\a" covers
    // nothing but "\a" itself.
    ASSERT_TRUE(Add("\\a"));
    ASSERT_TRUE(Add("\\a\\b"));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\a\\b", "\\a"}));
}

TEST_F(TargetListTest, ARequestEntryGoesBeforeAMarkedCoveringEntry) {
    ASSERT_EQ(Build("0C:\\first\n1C:\\Windows\\\n"), 2);
    ASSERT_TRUE(Add("\\Windows\\Temp"));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\first", "\\Windows\\Temp", "\\Windows\\"}));
    EXPECT_EQ(Match("\\Windows\\Temp\\x")->Marked, 0) << "the request entry is found first";
}

TEST_F(TargetListTest, AnUnmarkedCoveringEntryFromTextAlsoAddsNothing) {
    ASSERT_EQ(Build("0C:\\Windows\\\n"), 1);
    ASSERT_TRUE(Add("\\Windows\\Temp"));
    EXPECT_EQ(Paths(), std::vector<std::string>{"\\Windows\\"});
}

TEST_F(TargetListTest, APathForEveryProcessIsAddedBesideTheSamePathOfOneProcess) {
    ASSERT_TRUE(Add("\\x", "editor.exe"));
    ASSERT_TRUE(Add("\\x"));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\x", "\\x"}));
    EXPECT_NE(Match("\\x", "other.exe"), nullptr);
    // The other way round the entry for every process covers the request.
    ASSERT_TRUE(Add("\\y"));
    ASSERT_TRUE(Add("\\y", "editor.exe"));
    EXPECT_EQ(Paths().size(), 3u);
}

TEST_F(TargetListTest, RemovingMatchesThePathExactlyAndTheProcessName) {
    ASSERT_TRUE(Add("\\x", "editor.exe"));
    ASSERT_TRUE(Add("\\x"));
    EXPECT_FALSE(Remove("\\x\\"));
    EXPECT_FALSE(Remove("\\x", "other.exe"));
    EXPECT_TRUE(Remove("\\X", "EDITOR.exe"));
    ASSERT_EQ(Paths(), std::vector<std::string>{"\\x"});
    EXPECT_EQ(list_->ProcessName, nullptr) << "the entry without process name stays";
    EXPECT_FALSE(Remove("\\x", "editor.exe"));
    EXPECT_TRUE(Remove("\\x"));
    EXPECT_EQ(list_, nullptr);
    EXPECT_FALSE(Remove("\\x"));
}

TEST_F(TargetListTest, AnEmptyPathIsNotAdded) {
    EXPECT_EQ(IsTarget_Allocate(nullptr, nullptr), nullptr);
    EXPECT_FALSE(Add(""));
    EXPECT_EQ(list_, nullptr);
}

TEST_F(TargetListTest, AFailedAllocationAddsNothingAndLeaksNothing) {
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_TARGET_PROCESS_NAME; });
    EXPECT_FALSE(Add("\\x", "editor.exe"));
    EXPECT_EQ(list_, nullptr);
    EXPECT_TRUE(Add("\\x"));
}

}  // namespace
