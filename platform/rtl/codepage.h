// The narrow code page of the platform: Windows-1252 (Western European), used
// for ANSI and OEM strings alike, and the upper-casing of narrow characters.
#pragma once

#include <wdm.h>

namespace plat {

// Every byte has a UTF-16 value; the five bytes 1252 leaves undefined map to
// the C1 control of the same value, as Windows does.
WCHAR NarrowToWide(UCHAR c);

// The byte for a UTF-16 unit; false when 1252 has none for it.
bool WideToNarrow(WCHAR c, UCHAR* out);

// The byte for a UTF-16 unit, or '?' when 1252 has none.
inline UCHAR WideToNarrowOrDefault(WCHAR c) {
    UCHAR out;
    return WideToNarrow(c, &out) ? out : static_cast<UCHAR>('?');
}

// Upper case of a narrow character under the Unicode rules of
// RtlUpcaseUnicodeChar, where the result exists in 1252.
UCHAR NarrowUpcase(UCHAR c);

}  // namespace plat
