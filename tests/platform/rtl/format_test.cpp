// Windows C run-time formatting: _vsnprintf / _snwprintf / swprintf.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <wdm.h>

#include "rtl/convert.h"

namespace {

// Formats through the exported narrow routine into a roomy buffer.
std::string N(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    EXPECT_GE(n, 0);
    return std::string(buffer, n > 0 ? n : 0);
}

// The same through the wide routine; the result as UTF-8 for readable failures.
std::string W(const WCHAR* format, ...) {
    WCHAR buffer[512];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, 512, format, args);
    va_end(args);
    EXPECT_GE(n, 0);
    EXPECT_EQ(buffer[n > 0 ? n : 0], 0);
    return plat::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n > 0 ? n : 0));
}

UNICODE_STRING Counted(PCWSTR text, USHORT chars) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text);
    s.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

TEST(NarrowFormat, StringTypesFollowWindowsRules) {
    EXPECT_EQ(N("%s|%S", "narrow", L"wide"), "narrow|wide");
    EXPECT_EQ(N("%ws|%ls|%hs|%hS", L"w", L"l", "h", "H"), "w|l|h|H");
    EXPECT_EQ(N("VirtualMBR filename = %S\n", L"\\??\\C:\\boot.vbs"), "VirtualMBR filename = \\??\\C:\\boot.vbs\n");
    UNICODE_STRING u = Counted(L"abcdef", 3);  // not terminated after 3 characters
    ANSI_STRING a;
    a.Buffer = const_cast<PCHAR>("xyz!");
    a.Length = 3;
    a.MaximumLength = 4;
    EXPECT_EQ(N("[%wZ][%Z]", &u, &a), "[abc][xyz]");
}

TEST(NarrowFormat, NullArgumentsPrintNull) {
    EXPECT_EQ(N("%s|%S|%wZ|%Z", (char*)NULL, (WCHAR*)NULL, (UNICODE_STRING*)NULL, (ANSI_STRING*)NULL),
              "(null)|(null)|(null)|(null)");
    UNICODE_STRING empty = {0, 0, NULL};
    EXPECT_EQ(N("%wZ", &empty), "(null)");
    EXPECT_EQ(N("%.3s", (char*)NULL), "(nu");
}

TEST(NarrowFormat, CharactersAndCodePage) {
    EXPECT_EQ(N("%c%c", 'A', 'z'), "Az");
    EXPECT_EQ(N("%C", L'\x00E9'), "\xE9");
    EXPECT_EQ(N("%wc|%lc", L'\x20AC', L'\x0178'), "\x80|\x9F");  // euro and Y-diaeresis in 1252
    EXPECT_EQ(N("%C%S", L'\x4E2D', L"a\x4E2D" L"b"), "?a?b");    // not in 1252
    EXPECT_EQ(N("%3c|%-3c|", 'x', 'y'), "  x|y  |");
}

TEST(NarrowFormat, IntegersAreSizedAsOnWindows) {
    EXPECT_EQ(N("%d %i %u", INT_MIN, -7, 0xFFFFFFFFu), "-2147483648 -7 4294967295");
    EXPECT_EQ(N("%ld %lu %lx", (LONG)-1, (ULONG)4000000000u, (ULONG)0xDEADBEEF), "-1 4000000000 deadbeef");
    EXPECT_EQ(N("%I64d|%I64u", -1234567890123LL, 18446744073709551615ULL), "-1234567890123|18446744073709551615");
    EXPECT_EQ(N("%I64x|%I64X|%llx", 0x123456789ABCDEF0ULL, 0xABCULL, 0x1FFFFFFFFULL), "123456789abcdef0|ABC|1ffffffff");
    EXPECT_EQ(N("%I32x|%Ix|%zu", 0xCAFEu, (ULONG_PTR)0x123456789ULL, (size_t)99), "cafe|123456789|99");
    EXPECT_EQ(N("%hd|%hu|%hhd|%hhu", 70000, 70000, 300, 300), "4464|4464|44|44");
    EXPECT_EQ(N("%o|%X", 8, 255), "10|FF");
    // A 64-bit argument after %I64 keeps the following arguments aligned.
    EXPECT_EQ(N("%I64d %d %I64x %s", 1LL << 40, 5, 0x10ULL, "end"), "1099511627776 5 10 end");
}

TEST(NarrowFormat, FlagsWidthAndPrecision) {
    EXPECT_EQ(N("%5d|%-5d|%05d|", 42, 42, 42), "   42|42   |00042|");
    EXPECT_EQ(N("%.3d|%8.3d|%-8.3d|", 7, 7, 7), "007|     007|007     |");
    EXPECT_EQ(N("%+d|% d|%+d|%05d", 5, 5, -5, -42), "+5| 5|-5|-0042");
    EXPECT_EQ(N("%#x|%#X|%#o|%#x|%#o", 255, 255, 8, 0, 0), "0xff|0XFF|010|0|0");
    EXPECT_EQ(N("%08.3d|%.0d|%.0x|", 5, 0, 0), "     005|||");
    EXPECT_EQ(N("%*d|%-*d|%*d|", 6, 42, 4, 1, -4, 2), "    42|1   |2   |");
    EXPECT_EQ(N("%.*s|%.*s|", 3, "abcdef", -1, "all"), "abc|all|");
    EXPECT_EQ(N("%16s|%-6s|%.2S", "System", "ab", L"wide"), "          System|ab    |wi");
    EXPECT_EQ(N("%05s", "ab"), "000ab");  // the CRT pads text with zeros too
}

TEST(NarrowFormat, LogAndTimingFormats) {
    EXPECT_EQ(N("%04d/%02d/%02d %02d:%02d:%02d|", 2026, 1, 5, 3, 4, 5), "2026/01/05 03:04:05|");
    EXPECT_EQ(N("%04I64d.%03I64d\r\n", 12LL, 345LL), "0012.345\r\n");
    EXPECT_EQ(N("%04I64d.%03I64d\r\n", 12345LL, 600LL), "12345.600\r\n");
    EXPECT_EQ(N("%s %c:", "Error at deleting", 'D'), "Error at deleting D:");
    EXPECT_EQ(N(" (len=%d) status=%x", 12, (NTSTATUS)STATUS_ACCESS_DENIED), " (len=12) status=c0000022");
}

TEST(NarrowFormat, PointersPercentAndOddConversions) {
    // The host's pointers are 64-bit: all 16 digits, upper case.
    EXPECT_EQ(N("%p", (void*)0x1234), "0000000000001234");
    EXPECT_EQ(N("%20p|", (void*)0xABCDEF), "    0000000000ABCDEF|");
    EXPECT_EQ(N("100%%"), "100%");
    EXPECT_EQ(N("%y%d", 3), "y3");     // an unknown type prints itself
    EXPECT_EQ(N("abc%"), "abc");       // the format ends inside a conversion
    EXPECT_EQ(N("%.2f|%5.1f", 3.14159, 2.26), "3.14|  2.3");
}

TEST(NarrowFormat, PercentNWritesNothing) {
    int target = 77;
    EXPECT_EQ(N("a%nb%d", &target, 9), "ab9");
    EXPECT_EQ(target, 77);
}

TEST(NarrowFormat, TruncationReturnsMinusOneWithoutTerminator) {
    char buffer[8];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 4, "%s", "abcdef"), -1);
    EXPECT_EQ(std::string(buffer, 5), "abcd#");

    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 3, "abc"), 3);  // exact fit: no terminator
    EXPECT_EQ(std::string(buffer, 4), "abc#");

    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 8, "%d", 123), 3);
    EXPECT_STREQ(buffer, "123");

    EXPECT_EQ(_snprintf(buffer, 0, "x"), -1);
    EXPECT_EQ(_snprintf(buffer, 0, ""), 0);
    EXPECT_EQ(_snprintf(NULL, 0, "%d-%s", 1234, "ab"), 7);  // measuring call
    EXPECT_EQ(_snprintf(NULL, 5, "x"), -1);
}

TEST(NarrowFormat, LargeWidthIsCutNotOverrun) {
    char buffer[16];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_snprintf(buffer, 10, "%100000000d", 1), -1);
    EXPECT_EQ(std::string(buffer, 11), std::string(10, ' ') + "#");
}

TEST(WideFormat, StringTypesFollowWindowsRules) {
    EXPECT_EQ(W(L"%s|%S|%hs|%ws|%ls", L"wide", "narrow", "h", L"w", L"l"), "wide|narrow|h|w|l");
    EXPECT_EQ(W(L"\\??\\%c:%s", L'C', L"\\dir\\file"), "\\??\\C:\\dir\\file");
    EXPECT_EQ(W(L"%s\\%x\\!%x", L"\\$work", 0x1A, 0xFFu), "\\$work\\1a\\!ff");
    UNICODE_STRING u = Counted(L"name.txt", 4);
    EXPECT_EQ(W(L"<%wZ>", &u), "<name>");
    EXPECT_EQ(W(L"%S", "\x80\xE9"), "\u20AC\u00E9");  // narrow text is 1252
    EXPECT_EQ(W(L"%s", (WCHAR*)NULL), "(null)");
}

TEST(WideFormat, CharactersIncludingU_FFFF) {
    WCHAR buffer[32];
    int n = _snwprintf(buffer, 32, L"\\-%I64d%c", 123456789012LL, (WCHAR)0xFFFF);
    ASSERT_EQ(n, 15);
    EXPECT_EQ(buffer[14], 0xFFFF);
    EXPECT_EQ(buffer[15], 0);
    EXPECT_EQ(W(L"%c%C%hc%wc", L'\x4E2D', 'a', 'b', L'c'), "\u4E2Dabc");
}

TEST(WideFormat, TruncationAndSwprintf) {
    WCHAR buffer[8];
    for (WCHAR& c : buffer) c = L'#';
    EXPECT_EQ(_snwprintf(buffer, 4, L"%d", 123456), -1);
    EXPECT_EQ(buffer[3], L'4');
    EXPECT_EQ(buffer[4], L'#');

    WCHAR device[32];
    EXPECT_EQ(swprintf(device, L"\\Device\\quilt%c", L'C'), 14);
    EXPECT_EQ(plat::Utf16ToUtf8(device), "\\Device\\quiltC");
    EXPECT_EQ(swprintf(device, L"\\Device\\quilt%d", 3), 14);
    EXPECT_EQ(plat::Utf16ToUtf8(device), "\\Device\\quilt3");
}

TEST(HostFormat, FormatsWithoutLimit) {
    EXPECT_EQ(plat::FormatNarrow("%S=%I64d", L"x", 5LL), "x=5");
    EXPECT_EQ(plat::FormatNarrow("%0300d", 1).size(), 300u);
    EXPECT_EQ(plat::FormatWide(L"%s-%d", L"a", 2), u"a-2");
}

}  // namespace
