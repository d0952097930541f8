// Windows-1252 <-> UTF-16.
#include "rtl/codepage.h"

namespace plat {
namespace {

// 0x80..0x9F; the other bytes map to the code point of the same value.
constexpr WCHAR kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

WCHAR NarrowToWide(UCHAR c) {
    if (c >= 0x80 && c <= 0x9F) return kHighControls[c - 0x80];
    return c;
}

bool WideToNarrow(WCHAR c, UCHAR* out) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        *out = static_cast<UCHAR>(c);
        return true;
    }
    for (UCHAR i = 0; i < 32; ++i) {
        if (kHighControls[i] == c) {
            *out = static_cast<UCHAR>(0x80 + i);
            return true;
        }
    }
    return false;
}

UCHAR NarrowUpcase(UCHAR c) {
    UCHAR upper;
    if (!WideToNarrow(RtlUpcaseUnicodeChar(NarrowToWide(c)), &upper)) return c;
    return upper;
}

}  // namespace plat
