// Host helpers: UTF-8 <-> UTF-16, counted-string views, NTSTATUS names.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <wdm.h>

#include "rtl/convert.h"

namespace {

// A file of the source tree, found from this source file's name. A relative
// name (a compiler cache may shorten it) is relative to the directory the test
// program was built in, which is the one it lies in.
std::string RepositoryPath(const std::string& path) {
    std::string source = __FILE__;
    if (source[0] != '/') {
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        std::string program = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
        source = program.substr(0, program.rfind('/') + 1) + source;
    }
    return source.substr(0, source.rfind("/tests/") + 1) + path;
}

TEST(Utf8, RoundTripsIncludingSurrogatePairs) {
    std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
    std::u16string wide = plat::Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"a\u00E9\u20AC\U0001F600z");
    ASSERT_EQ(wide.size(), 6u);
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(plat::Utf16ToUtf8(wide), text);
    EXPECT_EQ(plat::Utf16ToUtf8(std::u16string(u"\U0010FFFF")), "\xF4\x8F\xBF\xBF");
}

TEST(Utf8, IllFormedInputBecomesReplacementCharacters) {
    EXPECT_EQ(plat::Utf8ToUtf16("a\xC3"), u"a\uFFFD");                  // cut sequence
    EXPECT_EQ(plat::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");          // overlong
    EXPECT_EQ(plat::Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
    EXPECT_EQ(plat::Utf8ToUtf16("\xF5\x80\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(plat::Utf8ToUtf16("\xE2\x82x"), u"\uFFFD\uFFFDx");
    EXPECT_EQ(plat::Utf16ToUtf8(std::u16string(u"\xD800x")), "\xEF\xBF\xBDx");  // lone high surrogate
    EXPECT_EQ(plat::Utf16ToUtf8(std::u16string(u"x\xDC00")), "x\xEF\xBF\xBD");  // lone low surrogate
}

TEST(Utf16Views, CountedAndTerminatedForms) {
    std::u16string text = u"\\Device\\quiltC";
    UNICODE_STRING view = plat::UnicodeView(text);
    EXPECT_EQ(view.Length, text.size() * 2);
    EXPECT_EQ(view.MaximumLength, text.size() * 2 + 2);
    EXPECT_EQ(static_cast<const void*>(view.Buffer), static_cast<const void*>(text.data()));
    EXPECT_EQ(plat::Utf16ToUtf8(view), "\\Device\\quiltC");
    EXPECT_EQ(plat::ToU16(view), text);

    std::u16string huge(40000, u'x');
    UNICODE_STRING cut = plat::UnicodeView(huge);
    EXPECT_EQ(cut.Length, 65534);
    EXPECT_EQ(cut.MaximumLength, 65534);

    UNICODE_STRING partial = {4, 8, const_cast<PWSTR>(L"abcd")};
    EXPECT_EQ(plat::Utf16ToUtf8(partial), "ab");
    EXPECT_EQ(plat::Utf16ToUtf8(static_cast<const UNICODE_STRING*>(NULL)), "");
    EXPECT_EQ(plat::Utf16ToUtf8(static_cast<PCWSTR>(NULL)), "");
    EXPECT_EQ(plat::ToU16(L"wide"), u"wide");
}

// Every status the header defines has a name, and the name given for its
// value is defined with that value (the first one where several share it).
TEST(NtStatusNames, EveryStatusInTheHeaderIsNamed) {
    std::string header = RepositoryPath("platform/include/nt/ntstatus.h");
    std::ifstream in(header);
    ASSERT_TRUE(in.good()) << header;
    std::stringstream content;
    content << in.rdbuf();

    std::map<ULONG, std::string> firstName;
    int count = 0;
    std::istringstream lines(content.str());
    std::string line;
    while (std::getline(lines, line)) {
        // #define STATUS_NAME ((NTSTATUS)0xC0000022L)
        std::istringstream words(line);
        std::string directive, name, value;
        words >> directive >> name >> value;
        if (directive != "#define" || name.rfind("STATUS_", 0) != 0) continue;
        size_t hex = value.find("0x");
        if (hex == std::string::npos) continue;  // an alias of another status
        ULONG number = static_cast<ULONG>(std::stoul(value.substr(hex), nullptr, 16));
        firstName.emplace(number, name);
        const char* given = plat::NtStatusName(static_cast<NTSTATUS>(number));
        ASSERT_NE(given, nullptr) << name;
        EXPECT_EQ(std::string(given), firstName[number]) << name;
        ++count;
    }
    EXPECT_GT(count, 50);
    EXPECT_STREQ(plat::NtStatusName(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_STREQ(plat::NtStatusName(STATUS_ACCESS_DENIED), "STATUS_ACCESS_DENIED");
    EXPECT_STREQ(plat::NtStatusName(STATUS_BUFFER_OVERFLOW), "STATUS_BUFFER_OVERFLOW");
}

TEST(NtStatusNames, UnknownValues) {
    EXPECT_EQ(plat::NtStatusName(static_cast<NTSTATUS>(0xC0FFEE01)), nullptr);
    EXPECT_EQ(plat::NtStatusText(static_cast<NTSTATUS>(0xC0FFEE01)), "0xC0FFEE01");
    EXPECT_EQ(plat::NtStatusText(STATUS_OBJECT_NAME_NOT_FOUND), "STATUS_OBJECT_NAME_NOT_FOUND");
}

}  // namespace
