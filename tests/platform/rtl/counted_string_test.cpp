// Counted strings, case folding, narrow conversions and integer conversions.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include <wdm.h>

#include "ex/pool.h"
#include "rtl/convert.h"

namespace {

constexpr ULONG kStringTag = 'grtS';

std::string U8(const UNICODE_STRING& s) {
    return plat::Utf16ToUtf8(s);
}

// A UNICODE_STRING over a writable buffer of `units` characters, filled with '#'.
struct Buffer {
    explicit Buffer(USHORT units) : storage(units + 1, L'#') {
        string.Buffer = storage.data();
        string.Length = 0;
        string.MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR));
    }
    std::vector<WCHAR> storage;  // one guard unit past the end
    UNICODE_STRING string;
};

// Fails every allocation with the run-time library's string tag while alive.
struct FailStringAllocations {
    FailStringAllocations() {
        plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == kStringTag; });
    }
    ~FailStringAllocations() { plat::PoolSetFailurePredicate(nullptr); }
};

TEST(CountedString, InitSetsLengthsAndCutsOverlongText) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    RtlInitUnicodeString(&s, NULL);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    std::vector<WCHAR> huge(40000, L'x');
    huge.back() = 0;
    RtlInitUnicodeString(&s, huge.data());
    EXPECT_EQ(s.Length, 0xFFFC);  // cut, never wrapped to a short length
    EXPECT_EQ(s.MaximumLength, 0xFFFE);
    EXPECT_EQ(RtlInitUnicodeStringEx(&s, huge.data()), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(RtlInitUnicodeStringEx(&s, L"ok"), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "hello");
    EXPECT_EQ(a.Length, 5);
    EXPECT_EQ(a.MaximumLength, 6);

    UNICODE_STRING constant = RTL_CONSTANT_STRING(L"\\Device\\quilt");
    EXPECT_EQ(constant.Length, 26);
    EXPECT_EQ(constant.MaximumLength, 28);
    EXPECT_EQ(U8(constant), "\\Device\\quilt");
    ANSI_STRING narrow = RTL_CONSTANT_STRING("System");
    EXPECT_EQ(narrow.Length, 6);
}

TEST(CountedString, CompareAndEqualFoldCaseThroughUpcase) {
    UNICODE_STRING a = plat::UnicodeView(L"Program Files");
    UNICODE_STRING b = plat::UnicodeView(L"PROGRAM FILES");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // 'r' > 'R'

    UNICODE_STRING abc = plat::UnicodeView(L"abc");
    UNICODE_STRING abd = plat::UnicodeView(L"ABD");
    UNICODE_STRING abcd = plat::UnicodeView(L"abcd");
    EXPECT_LT(RtlCompareUnicodeString(&abc, &abd, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&abc, &abcd, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&abcd, &abc, TRUE), 0);

    // Upper-casing, not lower-casing: '_' (0x5F) sorts after 'A' but before 'a'.
    UNICODE_STRING underscore = plat::UnicodeView(L"_");
    UNICODE_STRING lowerA = plat::UnicodeView(L"a");
    EXPECT_GT(RtlCompareUnicodeString(&underscore, &lowerA, TRUE), 0);

    UNICODE_STRING e1 = plat::UnicodeView(L"caf\x00E9");
    UNICODE_STRING e2 = plat::UnicodeView(L"CAF\x00C9");
    EXPECT_TRUE(RtlEqualUnicodeString(&e1, &e2, TRUE));
    UNICODE_STRING cyr1 = plat::UnicodeView(L"\x0434\x0430");
    UNICODE_STRING cyr2 = plat::UnicodeView(L"\x0414\x0410");
    EXPECT_TRUE(RtlEqualUnicodeString(&cyr1, &cyr2, TRUE));
}

TEST(CountedString, PrefixMatchesLeadingCharactersOnly) {
    UNICODE_STRING prefix = plat::UnicodeView(L"\\??\\c:");
    UNICODE_STRING path = plat::UnicodeView(L"\\??\\C:\\Windows");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&path, &prefix, TRUE));
}

TEST(CountedString, CopyTruncatesAndTerminatesWhenThereIsRoom) {
    UNICODE_STRING source = plat::UnicodeView(L"abcdef");
    Buffer small(4);
    RtlCopyUnicodeString(&small.string, &source);
    EXPECT_EQ(U8(small.string), "abcd");
    EXPECT_EQ(small.storage[4], L'#');  // full: no terminator written past the end

    Buffer roomy(10);
    RtlCopyUnicodeString(&roomy.string, &source);
    EXPECT_EQ(U8(roomy.string), "abcdef");
    EXPECT_EQ(roomy.storage[6], 0);
    RtlCopyUnicodeString(&roomy.string, NULL);
    EXPECT_EQ(roomy.string.Length, 0);
}

TEST(CountedString, AppendFailsWholeWhenItDoesNotFit) {
    Buffer b(6);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.string, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(b.storage[3], 0);
    UNICODE_STRING more = plat::UnicodeView(L"defg");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &more), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(U8(b.string), "abc");
    UNICODE_STRING fits = plat::UnicodeView(L"def");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.string, &fits), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "abcdef");
    EXPECT_EQ(b.storage[6], L'#');  // exactly full
    EXPECT_EQ(RtlAppendUnicodeToString(&b.string, NULL), STATUS_SUCCESS);
}

TEST(CountedString, UpcaseAllocatesFromPoolOrFillsTheCallersBuffer) {
    UNICODE_STRING source = plat::UnicodeView(L"Stra\x00DF" L"e \x00FF\x0101");
    UNICODE_STRING upper;
    SIZE_T before = plat::PoolLiveAllocationsWithTag(kStringTag);
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(kStringTag), before + 1);
    EXPECT_EQ(plat::ToU16(upper), u"STRA\u00DFE \u0178\u0100");  // sharp s has no single upper case
    RtlFreeUnicodeString(&upper);
    EXPECT_EQ(upper.Buffer, nullptr);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(kStringTag), before);

    Buffer small(3);
    EXPECT_EQ(RtlUpcaseUnicodeString(&small.string, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    Buffer roomy(16);
    EXPECT_EQ(RtlDowncaseUnicodeString(&roomy.string, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(plat::ToU16(roomy.string), u"stra\u00DFe \u00FF\u0101");

    FailStringAllocations failing;
    EXPECT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_NO_MEMORY);
}

TEST(NarrowConversion, AnsiIsCodePage1252) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "caf\xE9 \x80");
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(plat::ToU16(wide), u"caf\u00E9 \u20AC");
    EXPECT_EQ(wide.Buffer[wide.Length / 2], 0);

    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "caf\xE9 \x80");
    EXPECT_EQ(back.Buffer[back.Length], 0);
    RtlFreeAnsiString(&back);
    RtlFreeUnicodeString(&wide);

    UNICODE_STRING cjk = plat::UnicodeView(L"a\x4E2D" L"b");
    char storage[8];
    ANSI_STRING out = {0, sizeof(storage), storage};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&out, &cjk, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out.Buffer, out.Length), "a?b");

    OEM_STRING oem = {0, sizeof(storage), storage};
    UNICODE_STRING lower = plat::UnicodeView(L"name\x00E9");
    ASSERT_EQ(RtlUpcaseUnicodeStringToOemString(&oem, &lower, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(oem.Buffer, oem.Length), "NAME\xC9");
}

TEST(NarrowConversion, SmallDestinations) {
    UNICODE_STRING source = plat::UnicodeView(L"abcdef");
    char storage[4] = {'#', '#', '#', '#'};
    ANSI_STRING small = {0, 3, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&small, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(small.Buffer, small.Length), "ab");  // what fits, terminated
    EXPECT_EQ(storage[2], 0);
    EXPECT_EQ(storage[3], '#');

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "abcdef");
    Buffer wide(6);  // no room for the terminator
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide.string, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(wide.string.Length, 0);
    EXPECT_EQ(wide.storage[0], L'#');

    FailStringAllocations failing;
    UNICODE_STRING allocated;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&allocated, &ansi, TRUE), STATUS_NO_MEMORY);
}

TEST(NarrowConversion, BufferRoutinesConvertWhatFits) {
    char narrow[4];
    ULONG written = 0;
    EXPECT_EQ(RtlUnicodeToMultiByteN(narrow, 3, &written, L"abcdef", 12), STATUS_SUCCESS);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(std::string(narrow, 3), "abc");
    WCHAR wide[4];
    EXPECT_EQ(RtlMultiByteToUnicodeN(wide, 6, &written, "\x80xyz", 4), STATUS_SUCCESS);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(wide[0], 0x20AC);
    EXPECT_EQ(wide[2], L'y');
    EXPECT_EQ(RtlUnicodeToMultiByteSize(&written, L"abcd", 8), STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
}

TEST(NarrowString, UpperCompareAndCaseInsensitiveHelpers) {
    EXPECT_EQ(RtlUpperChar('a'), 'A');
    EXPECT_EQ((UCHAR)RtlUpperChar((CHAR)0xE9), 0xC9);
    EXPECT_EQ((UCHAR)RtlUpperChar((CHAR)0xFF), 0x9F);  // y-diaeresis -> Y-diaeresis, both in 1252
    EXPECT_EQ(RtlUpperChar('1'), '1');

    STRING a, b;
    RtlInitString(&a, "smss.exe");
    RtlInitString(&b, "SMSS.EXE");
    EXPECT_EQ(RtlCompareString(&a, &b, TRUE), 0);
    EXPECT_TRUE(RtlEqualString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualString(&a, &b, FALSE));
    char storage[16];
    STRING upper = {0, sizeof(storage), storage};
    RtlUpperString(&upper, &a);
    EXPECT_EQ(std::string(upper.Buffer, upper.Length), "SMSS.EXE");

    EXPECT_EQ(_strnicmp("System", "SYSTEM process", 6), 0);
    EXPECT_NE(_strnicmp("System", "Systen", 6), 0);
    EXPECT_EQ(_stricmp("winlogon.exe", "WINLOGON.EXE"), 0);
    EXPECT_LT(_stricmp("a", "B"), 0);

    WCHAR text[16] = L"MiXed\x00E9";
    EXPECT_EQ(plat::Utf16ToUtf8(_wcsupr(text)), "MIXED\u00C9");
    EXPECT_EQ(plat::Utf16ToUtf8(_wcslwr(text)), "mixed\u00E9");
    WCHAR joined[16] = L"ab";
    wcsncat(joined, L"cdef", 2);
    EXPECT_EQ(plat::Utf16ToUtf8(joined), "abcd");
}

TEST(IntegerConversion, ToText) {
    Buffer b(16);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &b.string), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "1234");
    EXPECT_EQ(b.storage[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 16, &b.string), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "4D2");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &b.string), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "101");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 0, &b.string), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "0");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 3, &b.string), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlInt64ToUnicodeString(0x123456789ULL, 16, &b.string), STATUS_SUCCESS);
    EXPECT_EQ(U8(b.string), "123456789");

    Buffer tight(4);  // four digits leave no room for the terminator
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &tight.string), STATUS_BUFFER_OVERFLOW);

    char narrow[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(RtlIntegerToChar(255, 16, 4, narrow), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "FF");
    EXPECT_EQ(RtlIntegerToChar(12345, 10, 4, narrow), STATUS_BUFFER_OVERFLOW);
}

TEST(IntegerConversion, FromText) {
    ULONG value = 0;
    UNICODE_STRING text = plat::UnicodeView(L"  -42");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, (ULONG)-42);
    text = plat::UnicodeView(L"0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    text = plat::UnicodeView(L"1f");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 16, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    text = plat::UnicodeView(L"12abc");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    text = plat::UnicodeView(L"0b101");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 7, &value), STATUS_INVALID_PARAMETER);
    // Only the counted characters are read.
    UNICODE_STRING counted = {2 * sizeof(WCHAR), 2 * sizeof(WCHAR), const_cast<PWSTR>(L"123")};
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);

    EXPECT_EQ(RtlCharToInteger("  +17", 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 17u);
    EXPECT_EQ(RtlCharToInteger("0o17", 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 15u);
    EXPECT_EQ(RtlCharToInteger("4294967295", 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 4294967295u);
}

}  // namespace
