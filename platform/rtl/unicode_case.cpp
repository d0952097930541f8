// Upper- and lower-casing of UTF-16 code units, as the NT case tables do it for
// the scripts a file name commonly uses: ASCII, Latin-1, Latin Extended-A,
// Greek, Cyrillic and the full-width Latin letters. Anything else maps to itself.
#include <wdm.h>

namespace {

bool IsLatinExtendedAPairUpper(WCHAR c) {
    // 0x100..0x137 and 0x14A..0x177: upper case on even code points.
    // 0x139..0x148 and 0x179..0x17E: upper case on odd code points.
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) == 0;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) == 1;
    return false;
}

bool IsLatinExtendedAPairLower(WCHAR c) {
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) == 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) == 0;
    return false;
}

}  // namespace

extern "C" WCHAR QntTowupper(WCHAR c) {
    if (c < 'a') return c;
    if (c <= 'z') return static_cast<WCHAR>(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (IsLatinExtendedAPairLower(c)) return static_cast<WCHAR>(c - 1);
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<WCHAR>(c - 0x20);
    return c;
}

extern "C" WCHAR QntTowlower(WCHAR c) {
    if (c < 'A') return c;
    if (c <= 'Z') return static_cast<WCHAR>(c + 0x20);
    if (c < 0xC0) return c;
    if (c <= 0xDE) return c == 0xD7 ? c : static_cast<WCHAR>(c + 0x20);
    if (c == 0x178) return 0xFF;
    if (IsLatinExtendedAPairUpper(c)) return static_cast<WCHAR>(c + 1);
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 0x50);
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<WCHAR>(c + 0x20);
    return c;
}

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return QntTowupper(SourceCharacter);
}

extern "C" WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) {
    return QntTowlower(SourceCharacter);
}
