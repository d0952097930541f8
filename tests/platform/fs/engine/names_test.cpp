// File-name rules: legality per personality, 8.3 names, stream syntax.
#include "fs/engine/names.h"

#include <gtest/gtest.h>

#include <set>

namespace plat::fs {
namespace {

Name N(const char* s) { return NameFromUtf8(s); }

TEST(Names, ComponentsRefuseTheCharactersWindowsRefuses) {
    for (const char* bad : {"a*b", "a?b", "a<b", "a>b", "a|b", "a\"b", "a/b", "a:b", "a\\b", ".", ".."}) {
        EXPECT_EQ(CheckComponent(FsKind::Ntfs, N(bad)), STATUS_OBJECT_NAME_INVALID) << bad;
    }
    Name control = u"a";
    control.push_back(u'\x01');
    EXPECT_EQ(CheckComponent(FsKind::Fat, control), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CheckComponent(FsKind::Ntfs, Name()), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CheckComponent(FsKind::Ntfs, Name(256, u'x')), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(CheckComponent(FsKind::Ntfs, Name(255, u'x')), STATUS_SUCCESS);
    // U+FFFF is an ordinary character in NTFS names.
    Name withFfff = u"-12";
    withFfff.push_back(u'\xFFFF');
    EXPECT_EQ(CheckComponent(FsKind::Ntfs, withFfff), STATUS_SUCCESS);
    EXPECT_EQ(CheckComponent(FsKind::Ntfs, N("$~@&%.~~~")), STATUS_SUCCESS);
}

TEST(Names, ComparisonIgnoresCaseBeyondAscii) {
    EXPECT_TRUE(EqualNoCase(N("Straße.TXT"), N("STRASSE.txt")) == false);
    EXPECT_TRUE(EqualNoCase(N("ÄrgerLich"), N("äRGERlICH")));
    EXPECT_TRUE(EqualNoCase(N("Привет"), N("ПРИВЕТ")));
    EXPECT_FALSE(EqualNoCase(N("abc"), N("abd")));
}

TEST(Names, LegalShortNames) {
    for (const char* ok : {"README.TXT", "readme.txt", "A", "AUTOEXEC.BAT", "X~1.Y", "12345678.123", "$MFT"}) {
        EXPECT_TRUE(IsLegalShortName(N(ok))) << ok;
    }
    for (const char* bad : {"Long File.txt", "123456789", "a.1234", "a.b.c", ".hidden", "a+b", "x[1]", "A B",
                            "tab\tname"}) {
        EXPECT_FALSE(IsLegalShortName(N(bad))) << bad;
    }
}

TEST(Names, ShortNamesAreNumberedPastTheTakenOnes) {
    std::set<Name> taken;
    auto isTaken = [&](NameView n) { return taken.count(Name(n)) != 0; };
    Name first = GenerateShortName(N("Program Files"), isTaken);
    EXPECT_EQ(first, N("PROGRA~1"));
    taken.insert(first);
    EXPECT_EQ(GenerateShortName(N("Programmes"), isTaken), N("PROGRA~2"));
    EXPECT_EQ(GenerateShortName(N("my document.html"), isTaken), N("MYDOCU~1.HTM"));
    EXPECT_EQ(GenerateShortName(N("a+b=c.tar.gz"), isTaken), N("A_B_CT~1.GZ"));
    Name dots = GenerateShortName(N("...."), isTaken);
    EXPECT_TRUE(dots.empty() || IsLegalShortName(dots)) << NameToUtf8(dots);
    // Many long names with one prefix: every one gets a distinct legal name.
    for (int i = 0; i < 40; ++i) {
        Name longName = N(("longname file " + std::to_string(i) + ".txt").c_str());
        Name shortName = GenerateShortName(longName, isTaken);
        ASSERT_FALSE(shortName.empty());
        EXPECT_TRUE(IsLegalShortName(shortName)) << NameToUtf8(shortName);
        EXPECT_TRUE(taken.insert(shortName).second) << NameToUtf8(shortName);
        if (i < 4) {
            EXPECT_EQ(shortName, N(("LONGNA~" + std::to_string(i + 1) + ".TXT").c_str()));
        }
    }
}

TEST(Names, StreamSyntaxOfTheFinalComponent) {
    ComponentParts p;
    ASSERT_EQ(SplitStreamSyntax(FsKind::Ntfs, N("file.txt"), &p), STATUS_SUCCESS);
    EXPECT_EQ(p.FileName, N("file.txt"));
    EXPECT_FALSE(p.HasStreamSyntax);

    ASSERT_EQ(SplitStreamSyntax(FsKind::Ntfs, N("file.txt:zone"), &p), STATUS_SUCCESS);
    EXPECT_EQ(p.StreamName, N("zone"));
    ASSERT_EQ(SplitStreamSyntax(FsKind::Ntfs, N("file.txt:zone:$data"), &p), STATUS_SUCCESS);
    EXPECT_EQ(p.StreamName, N("zone"));
    ASSERT_EQ(SplitStreamSyntax(FsKind::Ntfs, N("file.txt::$DATA"), &p), STATUS_SUCCESS);
    EXPECT_TRUE(p.StreamName.empty());
    EXPECT_TRUE(p.HasStreamSyntax);
    ASSERT_EQ(SplitStreamSyntax(FsKind::Ntfs, N("$Reparse:$R:$INDEX_ALLOCATION"), &p), STATUS_SUCCESS);
    EXPECT_TRUE(p.IsIndex);
    EXPECT_EQ(p.StreamName, N("$R"));

    for (const char* bad : {"file:", "file:s:", "file:s:$BITMAP", "file::", "file:a/b", "file::$INDEX_ALLOCATION"}) {
        EXPECT_EQ(SplitStreamSyntax(FsKind::Ntfs, N(bad), &p), STATUS_OBJECT_NAME_INVALID) << bad;
    }
    EXPECT_EQ(SplitStreamSyntax(FsKind::Fat, N("file.txt:zone"), &p), STATUS_OBJECT_NAME_INVALID);
}

TEST(Names, Utf8RoundTrip) {
    const char* text = "Grüße \xF0\x9F\x98\x80 日本";
    EXPECT_EQ(NameToUtf8(NameFromUtf8(text)), text);
}

}  // namespace
}  // namespace plat::fs
