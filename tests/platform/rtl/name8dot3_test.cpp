// 8.3 names: generation sequences and legality.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include <wdm.h>

#include "rtl/convert.h"

namespace {

// The first `count` candidates RtlGenerate8dot3Name gives for a long name with
// one context, as UTF-8.
std::vector<std::string> Candidates(PCWSTR longName, int count, BOOLEAN allowExtended = TRUE) {
    UNICODE_STRING name = plat::UnicodeView(longName);
    GENERATE_NAME_CONTEXT context;
    memset(&context, 0, sizeof(context));
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        WCHAR buffer[12];
        UNICODE_STRING shortName = {0, sizeof(buffer), buffer};
        RtlGenerate8dot3Name(&name, allowExtended, &context, &shortName);
        out.push_back(plat::Utf16ToUtf8(shortName));
    }
    return out;
}

std::string First(PCWSTR longName, BOOLEAN allowExtended = TRUE) {
    return Candidates(longName, 1, allowExtended)[0];
}

bool Legal(PCWSTR name, BOOLEAN* spaces = NULL) {
    UNICODE_STRING s = plat::UnicodeView(name);
    return RtlIsNameLegalDOS8Dot3(&s, NULL, spaces) != FALSE;
}

TEST(Generate8dot3, NumberedThenHashedSequence) {
    std::vector<std::string> expected = {
        "PROGRA~1", "PROGRA~2", "PROGRA~3", "PROGRA~4", "PR7B53~1", "PR7B53~2", "PR7B53~3",
        "PR7B53~4", "PR7B53~5", "PR7B53~6", "PR7B53~7", "PR7B53~8", "PR7B53~9", "PR7B5~10",
    };
    EXPECT_EQ(Candidates(L"Program Files", 14), expected);
}

// The hashed forms Windows gives for these names are public; they pin down the
// checksum.
TEST(Generate8dot3, ChecksumMatchesKnownWindowsNames) {
    EXPECT_EQ(Candidates(L"SomeStuff.aspx", 5)[4], "SOBC84~1.ASP");
    EXPECT_EQ(Candidates(L"Rammstein & Tatu - Moscow.mp3", 5)[4], "RA8E17~1.MP3");
    EXPECT_EQ(Candidates(L"Rammstein - Asche zu Asche.mp3", 5)[4], "RA23A6~1.MP3");
    EXPECT_EQ(Candidates(L"Rammstein - Du Hast.mp3", 5)[4], "RA0CAE~1.MP3");
    EXPECT_EQ(Candidates(L"Rammstein - Haifisch.mp3", 5)[4], "RA6BAA~1.MP3");
}

TEST(Generate8dot3, CharacterRules) {
    EXPECT_EQ(First(L"A long filename.txt"), "ALONGF~1.TXT");
    EXPECT_EQ(First(L"a.testing.file.bat"), "ATESTI~1.BAT");   // inner periods dropped
    EXPECT_EQ(First(L"1+2+3 Hello World.exe"), "1_2_3H~1.EXE");  // + becomes _
    EXPECT_EQ(First(L"5+6 June Report.doc"), "5_6JUN~1.DOC");
    EXPECT_EQ(First(L"A file.doc"), "AFILE~1.DOC");
    EXPECT_EQ(First(L"x[1];y=2,z.htm"), "X_1__Y~1.HTM");
    EXPECT_EQ(First(L"archive.tar.gz"), "ARCHIV~1.GZ");
    EXPECT_EQ(First(L"SomeStuff.aspx"), "SOMEST~1.ASP");  // extension cut to three
    EXPECT_EQ(First(L".gitignore"), "GITIGN~1");           // leading periods ignored
    EXPECT_EQ(First(L"  .txt"), "TXT~1");                  // nothing before the period
    EXPECT_EQ(First(L"ab cd.e f"), "ABCD~1.EF");
}

TEST(Generate8dot3, ExtendedCharacters) {
    EXPECT_EQ(First(L"F\x00FCrchterlich.txt", TRUE), "F\u00DCRCHT~1.TXT");
    EXPECT_EQ(First(L"F\x00FCrchterlich.txt", FALSE), "F_RCHT~1.TXT");
    EXPECT_EQ(First(L"\x0161koda \x20AC.doc", TRUE), "\u0160KODA\u20AC~1.DOC");  // both exist in 1252
    EXPECT_EQ(First(L"\x4E2D\x6587\x540D.txt", TRUE), "___~1.TXT");             // not in 1252
}

TEST(Generate8dot3, FirstCharacterIsTheUpperCasedFirstLegalOne) {
    // The driver's name-table hash relies on this, and on a legal 8.3 name
    // keeping its first character.
    for (PCWSTR name : {L"program files", L"  spaced name", L"..dots", L"\x00E9t\x00E9 2024.txt", L"PROGRA~1"}) {
        std::string shortName = First(name);
        UNICODE_STRING s = plat::UnicodeView(name);
        USHORT i = 0;
        while (s.Buffer[i] == L' ' || s.Buffer[i] == L'.') ++i;
        WCHAR expected = RtlUpcaseUnicodeChar(s.Buffer[i]);
        std::u16string generated = plat::Utf8ToUtf16(shortName);
        EXPECT_EQ(static_cast<WCHAR>(generated[0]), expected) << shortName;
    }
    EXPECT_EQ(First(L"PROGRA~1"), "PROGRA~1");
}

TEST(Generate8dot3, SmallOutputBufferIsNeverOverrun) {
    UNICODE_STRING name = plat::UnicodeView(L"Program Files.dat");
    GENERATE_NAME_CONTEXT context;
    memset(&context, 0, sizeof(context));
    WCHAR buffer[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
    UNICODE_STRING shortName = {0, 4 * sizeof(WCHAR), buffer};
    RtlGenerate8dot3Name(&name, TRUE, &context, &shortName);
    EXPECT_EQ(shortName.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(buffer[4], L'#');
}

TEST(LegalDos8dot3, AcceptsShortNames) {
    BOOLEAN spaces = TRUE;
    EXPECT_TRUE(Legal(L"ABC.TXT", &spaces));
    EXPECT_FALSE(spaces);
    EXPECT_TRUE(Legal(L"abc.txt"));  // judged once upper-cased
    EXPECT_TRUE(Legal(L"ABCDEFGH.TXT"));
    EXPECT_TRUE(Legal(L"A"));
    EXPECT_TRUE(Legal(L"."));
    EXPECT_TRUE(Legal(L".."));
    EXPECT_TRUE(Legal(L"PROGRA~1"));
    EXPECT_TRUE(Legal(L"$X%Y!-{}.@#&"));
    EXPECT_TRUE(Legal(L"caf\x00E9.txt"));
    EXPECT_TRUE(Legal(L"A B.TXT", &spaces));
    EXPECT_TRUE(spaces);
}

TEST(LegalDos8dot3, RejectsEverythingElse) {
    for (PCWSTR name : {L"", L"ABCDEFGHI", L"ABCDEFGHI.TXT", L"ABC.TEXT", L"A.B.C", L".ABC", L"ABC.", L"AB+C",
                        L"A[B]", L"A;B", L"A,B", L"A=B", L"AB ", L"AB .TXT", L"Program Files", L"a*b",
                        L"a?b", L"a<b", L"a\"b", L"a|b", L"a\\b", L"a:b", L"\x4E2D", L"ABCDEFGH.TXTX", L"A\tB"}) {
        EXPECT_FALSE(Legal(name)) << plat::Utf16ToUtf8(name);
    }
}

TEST(LegalDos8dot3, ReturnsTheUpperCasedOemName) {
    char storage[12];
    OEM_STRING oem = {0, sizeof(storage), storage};
    UNICODE_STRING name = plat::UnicodeView(L"caf\x00E9.txt");
    ASSERT_TRUE(RtlIsNameLegalDOS8Dot3(&name, &oem, NULL));
    EXPECT_EQ(std::string(oem.Buffer, oem.Length), "CAF\xC9.TXT");

    OEM_STRING tiny = {0, 4, storage};
    EXPECT_FALSE(RtlIsNameLegalDOS8Dot3(&name, &tiny, NULL));
}

}  // namespace
