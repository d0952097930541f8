// FsRtlIsNameInExpression and FsRtlDoesNameContainWildCards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ntifs.h>

#include "rtl/convert.h"

namespace {

bool Match(PCWSTR expression, PCWSTR name, BOOLEAN ignoreCase = TRUE, PWCH upcaseTable = NULL) {
    UNICODE_STRING e = plat::UnicodeView(expression);
    UNICODE_STRING n = plat::UnicodeView(name);
    return FsRtlIsNameInExpression(&e, &n, ignoreCase, upcaseTable) != FALSE;
}

bool HasWildcards(PCWSTR name) {
    UNICODE_STRING n = plat::UnicodeView(name);
    return FsRtlDoesNameContainWildCards(&n) != FALSE;
}

TEST(NameInExpression, StarAndQuestionMark) {
    EXPECT_TRUE(Match(L"*", L"anything.at.all"));
    EXPECT_TRUE(Match(L"*.TXT", L"new.txt"));
    EXPECT_TRUE(Match(L"*.TXT", L"a.b.txt"));
    EXPECT_FALSE(Match(L"*.TXT", L"new.txtx"));
    EXPECT_FALSE(Match(L"*.TXT", L"newtxt"));
    EXPECT_TRUE(Match(L"A*B*C", L"aXXbYYc"));
    EXPECT_FALSE(Match(L"A*B*C", L"aXXbYY"));
    EXPECT_TRUE(Match(L"?", L"a"));
    EXPECT_FALSE(Match(L"?", L"ab"));
    EXPECT_TRUE(Match(L"A?C.*", L"abc.d"));
    EXPECT_TRUE(Match(L"??.?", L"ab.c"));
    EXPECT_FALSE(Match(L"??.?", L"abc.d"));
    EXPECT_TRUE(Match(L"NEW.TXT", L"New.Txt"));
}

TEST(NameInExpression, CaseRules) {
    EXPECT_FALSE(Match(L"*.TXT", L"new.txt", FALSE));
    EXPECT_TRUE(Match(L"*.txt", L"new.txt", FALSE));
    // The expression is the caller's to upper-case: a lower-case expression
    // never matches when the name is folded.
    EXPECT_FALSE(Match(L"*.txt", L"new.txt", TRUE));
    EXPECT_TRUE(Match(L"CAF\x00C9", L"caf\x00E9"));

    // An upcase table replaces the built-in rules.
    std::vector<WCHAR> table(65536);
    for (size_t i = 0; i < table.size(); ++i) table[i] = L'X';
    EXPECT_TRUE(Match(L"XXX", L"abc", TRUE, table.data()));
    EXPECT_FALSE(Match(L"ABC", L"abc", TRUE, table.data()));
    EXPECT_TRUE(Match(L"abc", L"abc", FALSE, table.data()));  // not used without IgnoreCase
}

TEST(NameInExpression, DosStarStopsBeforeTheLastPeriod) {
    EXPECT_TRUE(Match(L"<.TXT", L"a.txt"));
    EXPECT_TRUE(Match(L"<.TXT", L"a.b.txt"));
    EXPECT_TRUE(Match(L"<", L"noext"));
    EXPECT_FALSE(Match(L"<", L"name.ext"));
    // "*." in DOS: names without an extension.
    EXPECT_TRUE(Match(L"<\"", L"readme"));
    EXPECT_TRUE(Match(L"<\"", L"trailing."));
    EXPECT_FALSE(Match(L"<\"", L"readme.txt"));
    // "a*.*" in DOS.
    EXPECT_TRUE(Match(L"A<\"*", L"abc"));
    EXPECT_TRUE(Match(L"A<\"*", L"abc.txt"));
    EXPECT_FALSE(Match(L"A<\"*", L"xbc.txt"));
}

TEST(NameInExpression, DosQuestionMarkAndDot) {
    // "a??" in DOS: up to two more characters, none of them a period.
    EXPECT_TRUE(Match(L"A>>", L"a"));
    EXPECT_TRUE(Match(L"A>>", L"ab"));
    EXPECT_TRUE(Match(L"A>>", L"abc"));
    EXPECT_FALSE(Match(L"A>>", L"abcd"));
    EXPECT_FALSE(Match(L"A>>", L"a.b"));
    // "a??.txt" in DOS.
    EXPECT_TRUE(Match(L"A>>.TXT", L"a.txt"));
    EXPECT_TRUE(Match(L"A>>.TXT", L"abc.txt"));
    EXPECT_FALSE(Match(L"A>>.TXT", L"abcd.txt"));
    // DOS_DOT: a period, or nothing at the end.
    EXPECT_TRUE(Match(L"FOO\"", L"foo"));
    EXPECT_TRUE(Match(L"FOO\"", L"foo."));
    EXPECT_FALSE(Match(L"FOO\"", L"foo.x"));
    EXPECT_TRUE(Match(L"FOO\">>>", L"foo.c"));
    EXPECT_TRUE(Match(L"FOO\">>>", L"foo"));
}

TEST(NameInExpression, EmptyStrings) {
    EXPECT_TRUE(Match(L"", L""));
    EXPECT_FALSE(Match(L"*", L""));
    EXPECT_FALSE(Match(L"", L"a"));
}

TEST(NameInExpression, ManyStarsDoNotBacktrack) {
    // A backtracking matcher takes exponential time here; this one answers at once.
    std::u16string name(4000, u'a');
    std::u16string expression;
    for (int i = 0; i < 30; ++i) expression += u"*A";
    expression += u"*B";
    UNICODE_STRING e = plat::UnicodeView(expression);
    UNICODE_STRING n = plat::UnicodeView(name);
    EXPECT_FALSE(FsRtlIsNameInExpression(&e, &n, TRUE, NULL));
    name.back() = u'b';
    n = plat::UnicodeView(name);
    EXPECT_TRUE(FsRtlIsNameInExpression(&e, &n, TRUE, NULL));
}

TEST(NameInExpression, LongExpressions) {
    std::u16string expression(300, u'?');
    expression += u".TXT";
    UNICODE_STRING e = plat::UnicodeView(expression);
    std::u16string name = std::u16string(300, u'n') + u".txt";
    UNICODE_STRING n = plat::UnicodeView(name);
    EXPECT_TRUE(FsRtlIsNameInExpression(&e, &n, TRUE, NULL));
    name = std::u16string(299, u'n') + u".txt";
    n = plat::UnicodeView(name);
    EXPECT_FALSE(FsRtlIsNameInExpression(&e, &n, TRUE, NULL));
}

TEST(NameContainsWildCards, AnyOfTheFiveCharacters) {
    EXPECT_FALSE(HasWildcards(L"plain.txt"));
    EXPECT_FALSE(HasWildcards(L""));
    for (PCWSTR name : {L"a*", L"a?", L"<a", L"a>b", L"a\"b"}) {
        EXPECT_TRUE(HasWildcards(name)) << plat::Utf16ToUtf8(name);
    }
}

TEST(AreNamesEqual, FoldsCaseOnRequest) {
    UNICODE_STRING a = plat::UnicodeView(L"Config");
    UNICODE_STRING b = plat::UnicodeView(L"CONFIG");
    EXPECT_TRUE(FsRtlAreNamesEqual(&a, &b, TRUE, NULL));
    EXPECT_FALSE(FsRtlAreNamesEqual(&a, &b, FALSE, NULL));
}

}  // namespace
