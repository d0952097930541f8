// File-name rules of the volume engine.
#include "fs/engine/names.h"

namespace plat::fs {
namespace {

bool IsForbiddenInLongName(char16_t c) {
    if (c < 0x20) return true;
    switch (c) {
        case u'"': case u'*': case u'/': case u':': case u'<':
        case u'>': case u'?': case u'\\': case u'|':
            return true;
        default:
            return false;
    }
}

constexpr NameView kDataType = u"$DATA";
constexpr NameView kIndexType = u"$INDEX_ALLOCATION";

// Encodes one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

Name NameFromWide(const WCHAR* text, size_t count) {
    return Name(reinterpret_cast<const char16_t*>(text), count);
}

Name NameFromWide(const WCHAR* text) {
    size_t count = 0;
    while (text[count] != 0) ++count;
    return NameFromWide(text, count);
}

Name NameFromUtf8(std::string_view text) {
    Name out;
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        uint32_t cp = byte;
        size_t extra = 0;
        if (byte >= 0xF0) { cp = byte & 0x07; extra = 3; }
        else if (byte >= 0xE0) { cp = byte & 0x0F; extra = 2; }
        else if (byte >= 0xC0) { cp = byte & 0x1F; extra = 1; }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string NameToUtf8(NameView name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t cp = name[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

Name Upcase(NameView name) {
    Name out(name);
    for (char16_t& c : out) c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
    return out;
}

bool EqualNoCase(NameView a, NameView b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        if (RtlUpcaseUnicodeChar(static_cast<WCHAR>(a[i])) != RtlUpcaseUnicodeChar(static_cast<WCHAR>(b[i]))) {
            return false;
        }
    }
    return true;
}

NTSTATUS CheckComponent(FsKind kind, NameView name) {
    (void)kind;  // both personalities refuse the same characters in long names
    if (name.empty() || name.size() > kMaxComponentLength) return STATUS_OBJECT_NAME_INVALID;
    if (name == u"." || name == u"..") return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : name) {
        if (IsForbiddenInLongName(c)) return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckStreamName(NameView name) {
    if (name.empty() || name.size() > kMaxComponentLength) return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : name) {
        if (c == 0 || c == u'\\' || c == u'/' || c == u':') return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

namespace {

UNICODE_STRING CountedString(NameView name) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(name.data()));
    return s;
}

}  // namespace

// A name that is a legal 8.3 name as it stands, spaces aside, needs no short
// name of its own. "." and ".." never reach here.
bool IsLegalShortName(NameView name) {
    if (name.empty() || name.size() > kMaxShortNameLength) return false;
    UNICODE_STRING text = CountedString(name);
    BOOLEAN spaces = FALSE;
    return RtlIsNameLegalDOS8Dot3(&text, nullptr, &spaces) && !spaces;
}

// Short names are made here and nowhere else: the platform's generator gives
// the candidates (~1 .. ~4, then the checksum form) and the first one the
// directory does not hold wins. Extended characters are not used, as NTFS and
// FAT do by default.
Name GenerateShortName(NameView longName, const std::function<bool(NameView candidate)>& taken) {
    constexpr unsigned kMaxTries = 100000;
    if (longName.size() > kMaxComponentLength) return Name();
    UNICODE_STRING text = CountedString(longName);
    GENERATE_NAME_CONTEXT context;
    RtlZeroMemory(&context, sizeof(context));
    WCHAR buffer[kMaxShortNameLength];
    for (unsigned n = 0; n < kMaxTries; ++n) {
        UNICODE_STRING candidate{0, sizeof(buffer), buffer};
        RtlGenerate8dot3Name(&text, FALSE, &context, &candidate);
        Name result = NameFromWide(buffer, candidate.Length / sizeof(WCHAR));
        if (result.empty()) return Name();
        if (!taken(result)) return result;
    }
    return Name();
}

NTSTATUS SplitStreamSyntax(FsKind kind, NameView component, ComponentParts* parts) {
    *parts = ComponentParts();
    size_t colon = component.find(u':');
    if (colon == NameView::npos) {
        parts->FileName = Name(component);
        return STATUS_SUCCESS;
    }
    if (kind == FsKind::Fat) return STATUS_OBJECT_NAME_INVALID;
    parts->FileName = Name(component.substr(0, colon));
    parts->HasStreamSyntax = true;
    NameView rest = component.substr(colon + 1);
    size_t second = rest.find(u':');
    NameView stream = rest.substr(0, second);
    NameView type = second == NameView::npos ? NameView() : rest.substr(second + 1);
    if (second != NameView::npos && type.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!type.empty()) {
        if (EqualNoCase(type, kIndexType)) {
            if (stream.empty()) return STATUS_OBJECT_NAME_INVALID;
            parts->IsIndex = true;
        } else if (!EqualNoCase(type, kDataType)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    if (stream.empty()) {
        // "file:" names nothing; "file::$DATA" is the unnamed stream.
        return type.empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
    }
    NTSTATUS status = CheckStreamName(stream);
    if (!NT_SUCCESS(status)) return status;
    parts->StreamName = Name(stream);
    return STATUS_SUCCESS;
}

}  // namespace plat::fs
