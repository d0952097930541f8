// Host helpers of the run-time library for tests, tools and host-side platform
// code: UTF-8 <-> UTF-16 conversion, counted-string views of host strings,
// the names of NTSTATUS values and Windows-style formatting into std::string.
//
// UTF-16 is std::u16string (char16_t), never std::wstring. WCHAR and char16_t
// are both 16-bit; the helpers accept either.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace plat {

// Ill-formed input (bad UTF-8 sequences, lone surrogates) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
std::string Utf16ToUtf8(PCWSTR terminated);            // NULL gives ""
std::string Utf16ToUtf8(const UNICODE_STRING& counted);  // Length/2 units
std::string Utf16ToUtf8(const UNICODE_STRING* counted);  // NULL gives ""

// The units of a terminated or counted WCHAR string as a u16string.
std::u16string ToU16(PCWSTR terminated);
std::u16string ToU16(const UNICODE_STRING& counted);

// A UNICODE_STRING that views the characters of a host string (no copy, no
// terminator counted). The view stays valid while the string is not changed;
// text longer than 32,767 units is cut there.
UNICODE_STRING UnicodeView(const std::u16string& text);
// The same over a terminated wide string.
UNICODE_STRING UnicodeView(PCWSTR text);

// Wide pointer to a u16string's units, for routines that take PCWSTR/PWSTR.
inline PCWSTR WidePtr(const std::u16string& text) {
    return reinterpret_cast<PCWSTR>(text.c_str());
}
inline PWSTR WidePtr(std::u16string& text) {
    return reinterpret_cast<PWSTR>(text.data());
}

// "STATUS_ACCESS_DENIED" for every value defined in nt/ntstatus.h (the first
// name where several share a value, e.g. STATUS_SUCCESS for 0); NULL otherwise.
const char* NtStatusName(NTSTATUS status);
// The name, or "0xC0001234" for a value without one.
std::string NtStatusText(NTSTATUS status);

// Formats with the Windows rules of _vsnprintf (nt/rtl.h), without a size limit.
std::string FormatNarrow(const char* format, ...);
std::u16string FormatWide(const WCHAR* format, ...);

}  // namespace plat
