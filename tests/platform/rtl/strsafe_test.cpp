// ntstrsafe.h: sizes, truncation statuses and the Ex flags.
#include <gtest/gtest.h>

#include <string.h>

#include <ntstrsafe.h>

#include "rtl/convert.h"

namespace {

std::string U8(PCWSTR text) {
    return plat::Utf16ToUtf8(text);
}

TEST(StrSafeCopy, TruncatesTerminatesAndReportsOverflow) {
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCchCopyW(buffer, 5, L"abcdefg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U8(buffer), "abcd");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 8, L"abcdefg"), STATUS_SUCCESS);  // exact fit with terminator
    EXPECT_EQ(U8(buffer), "abcdefg");
    EXPECT_EQ(RtlStringCbCopyW(buffer, 10, L"abcdefg"), STATUS_BUFFER_OVERFLOW);  // 5 characters
    EXPECT_EQ(U8(buffer), "abcd");
    EXPECT_EQ(RtlStringCbCopyW(buffer, 11, L"abcdefg"), STATUS_BUFFER_OVERFLOW);  // odd bytes round down
    EXPECT_EQ(U8(buffer), "abcd");

    char narrow[4];
    EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof(narrow), "xyz"), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "xyz");
    EXPECT_EQ(RtlStringCchCopyA(narrow, sizeof(narrow), "wxyz"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "wxy");
}

TEST(StrSafeCopy, RejectsBadSizesWithoutWriting) {
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(RtlStringCchCopyA(buffer, 0, "a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyA(buffer, (size_t)NTSTRSAFE_MAX_CCH + 1, "a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCopyW((WCHAR*)buffer, 1, L"a"), STATUS_INVALID_PARAMETER);  // less than one character
    EXPECT_EQ(RtlStringCchCopyA(buffer, 4, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(buffer, 4), "####");
}

TEST(StrSafeCopy, CopyNTakesAtMostNCharacters) {
    WCHAR buffer[10];
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 10, L"abcdef", 3), STATUS_SUCCESS);
    EXPECT_EQ(U8(buffer), "abc");
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 3, L"abcdef", 3), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U8(buffer), "ab");
    EXPECT_EQ(RtlStringCbCopyNW(buffer, sizeof(buffer), L"abcdef", 4 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(U8(buffer), "abcd");
    // The source need not be terminated within N characters.
    const char unterminated[3] = {'x', 'y', 'z'};
    char narrow[8];
    EXPECT_EQ(RtlStringCchCopyNA(narrow, 8, unterminated, 3), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "xyz");
}

TEST(StrSafeCat, AppendsTruncatesAndChecksTheDestination) {
    WCHAR buffer[8];
    RtlStringCchCopyW(buffer, 8, L"abc");
    EXPECT_EQ(RtlStringCchCatW(buffer, 7, L"def"), STATUS_SUCCESS);
    EXPECT_EQ(U8(buffer), "abcdef");
    RtlStringCchCopyW(buffer, 8, L"abc");
    EXPECT_EQ(RtlStringCchCatW(buffer, 6, L"def"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U8(buffer), "abcde");
    RtlStringCchCopyW(buffer, 8, L"abc");
    EXPECT_EQ(RtlStringCbCatNW(buffer, sizeof(buffer), L"defgh", 2 * sizeof(WCHAR)), STATUS_SUCCESS);
    EXPECT_EQ(U8(buffer), "abcde");

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RtlStringCchCatA(unterminated, 4, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(unterminated, 4), "abcd");
}

TEST(StrSafePrintf, FormatsAndTruncates) {
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof(buffer), L"%s\\%x", L"dir", 0x1234), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U8(buffer), "dir\\123");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%s\\%x", L"di", 0x1234), STATUS_SUCCESS);
    EXPECT_EQ(U8(buffer), "di\\1234");

    char narrow[32];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 32, "%I64x-%S", 0x123456789ULL, L"w"), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "123456789-w");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST(StrSafeLength, CountsWithinTheLimit) {
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 10, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 10, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 3, &length), STATUS_INVALID_PARAMETER);  // no terminator within 3
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthA(NULL, 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthA("abcd", 5, NULL), STATUS_SUCCESS);
}

TEST(StrSafeEx, ReportsEndAndRemaining) {
    WCHAR buffer[10];
    PWSTR end = NULL;
    size_t remaining = 0;
    EXPECT_EQ(RtlStringCchCopyExW(buffer, 10, L"abc", &end, &remaining, 0), STATUS_SUCCESS);
    EXPECT_EQ(end, buffer + 3);
    EXPECT_EQ(remaining, 7u);
    EXPECT_EQ(RtlStringCchCatExW(buffer, 10, L"defghijk", &end, &remaining, 0), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(end, buffer + 9);
    EXPECT_EQ(remaining, 1u);
    EXPECT_EQ(RtlStringCbCopyExW(buffer, sizeof(buffer), L"xy", &end, &remaining, 0), STATUS_SUCCESS);
    EXPECT_EQ(remaining, 8 * sizeof(WCHAR));  // bytes for the Cb form
    EXPECT_EQ(RtlStringCchPrintfExW(buffer, 10, &end, &remaining, 0, L"%d", 42), STATUS_SUCCESS);
    EXPECT_EQ(end, buffer + 2);
    EXPECT_EQ(remaining, 8u);
}

TEST(StrSafeEx, FlagsShapeTheResult) {
    char buffer[8];
    EXPECT_EQ(RtlStringCchCopyExA(buffer, 8, "ab", NULL, NULL, STRSAFE_FILL_BYTE('x')), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 8), std::string("ab\0xxxxx", 8));

    EXPECT_EQ(RtlStringCchCopyExA(buffer, 4, "abcdef", NULL, NULL, STRSAFE_NULL_ON_FAILURE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(RtlStringCchCopyExA(buffer, 4, "abcdef", NULL, NULL, STRSAFE_FAILURE_BYTE('#')),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(buffer, 4), std::string("###\0", 4));

    RtlStringCchCopyA(buffer, 8, "abc");
    char* end = NULL;
    size_t remaining = 0;
    EXPECT_EQ(RtlStringCchCatExA(buffer, 6, "defg", &end, &remaining, STRSAFE_NO_TRUNCATION), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "abc");  // left as it was
    EXPECT_EQ(end, buffer + 3);
    EXPECT_EQ(remaining, 3u);

    EXPECT_EQ(RtlStringCchPrintfExA(buffer, 4, NULL, NULL, STRSAFE_NO_TRUNCATION, "%s", "long"),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(RtlStringCchCopyExA(buffer, 8, NULL, NULL, NULL, STRSAFE_IGNORE_NULLS), STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(RtlStringCchCopyExA(NULL, 0, "", NULL, NULL, STRSAFE_IGNORE_NULLS), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCopyExA(NULL, 0, "a", NULL, NULL, STRSAFE_IGNORE_NULLS), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCopyExA(buffer, 8, "a", NULL, NULL, 0x00100000), STATUS_INVALID_PARAMETER);
}

}  // namespace
