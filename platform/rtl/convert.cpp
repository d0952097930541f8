// UTF-8 <-> UTF-16 for host code, counted-string views and std::string
// formatting with the Windows rules.
#include "rtl/convert.h"

#include "rtl/format.h"

namespace plat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes one code point at utf8[*i], advancing *i; ill-formed input gives
// U+FFFD and consumes one byte.
char32_t DecodeUtf8(std::string_view utf8, size_t* i) {
    unsigned char lead = static_cast<unsigned char>(utf8[*i]);
    *i += 1;
    if (lead < 0x80) return lead;
    size_t extra;
    char32_t c;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    if (*i + extra > utf8.size()) return kReplacement;
    for (size_t k = 0; k < extra; ++k) {
        unsigned char next = static_cast<unsigned char>(utf8[*i + k]);
        if ((next & 0xC0) != 0x80) return kReplacement;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) return kReplacement;
    *i += extra;
    return c;
}

void EncodeUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::u16string_view ViewOf(PCWSTR text, size_t length) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c = DecodeUtf8(utf8, &i);
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t c = utf16[i];
        if (IsHighSurrogate(c) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = kReplacement;
        }
        EncodeUtf8(c, &out);
    }
    return out;
}

std::string Utf16ToUtf8(PCWSTR terminated) {
    if (terminated == NULL) return std::string();
    return Utf16ToUtf8(ViewOf(terminated, wcslen(terminated)));
}

std::string Utf16ToUtf8(const UNICODE_STRING& counted) {
    if (counted.Buffer == NULL) return std::string();
    return Utf16ToUtf8(ViewOf(counted.Buffer, counted.Length / sizeof(WCHAR)));
}

std::string Utf16ToUtf8(const UNICODE_STRING* counted) {
    return counted == NULL ? std::string() : Utf16ToUtf8(*counted);
}

std::u16string ToU16(PCWSTR terminated) {
    if (terminated == NULL) return std::u16string();
    return std::u16string(ViewOf(terminated, wcslen(terminated)));
}

std::u16string ToU16(const UNICODE_STRING& counted) {
    if (counted.Buffer == NULL) return std::u16string();
    return std::u16string(ViewOf(counted.Buffer, counted.Length / sizeof(WCHAR)));
}

UNICODE_STRING UnicodeView(const std::u16string& text) {
    constexpr size_t kMaxUnits = MAXUSHORT / sizeof(WCHAR);  // 32,767
    size_t units = text.size() < kMaxUnits ? text.size() : kMaxUnits;
    UNICODE_STRING view;
    view.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(text.c_str()));
    view.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    bool roomForTerminator = units == text.size() && view.Length + sizeof(WCHAR) <= MAXUSHORT;
    view.MaximumLength = static_cast<USHORT>(roomForTerminator ? view.Length + sizeof(WCHAR) : view.Length);
    return view;
}

UNICODE_STRING UnicodeView(PCWSTR text) {
    UNICODE_STRING view;
    RtlInitUnicodeString(&view, text);
    return view;
}

std::string FormatNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    size_t length = FormatNarrowV(NULL, 0, format, measure);
    va_end(measure);
    std::string text(length, '\0');
    FormatNarrowV(text.data(), length, format, args);
    va_end(args);
    return text;
}

std::u16string FormatWide(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    size_t length = FormatWideV(NULL, 0, format, measure);
    va_end(measure);
    std::u16string text(length, u'\0');
    FormatWideV(reinterpret_cast<WCHAR*>(text.data()), length, format, args);
    va_end(args);
    return text;
}

}  // namespace plat
