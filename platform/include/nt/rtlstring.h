// Run-time library: character and string helpers on UTF-16.
//
// The C library's wide-character functions assume a 4-byte wchar_t. With
// -fshort-wchar they would walk the wrong unit size, so every such name is
// redirected to the stand-in's own UTF-16 implementation. The C library headers
// are included first, so their declarations stay intact. In C++ the <cwchar>
// and <cwctype> wrappers come first too: they #undef these names, so they must
// be done with before the redirections are defined (later inclusions are then
// no-ops, and std::wcslen & co. stay the C library's: never use them).
#pragma once

#include <wchar.h>
#include <wctype.h>
#ifdef __cplusplus
#include <cwchar>
#include <cwctype>
#endif

#include "ntdef.h"

#define towupper QntTowupper
#define towlower QntTowlower
#define wcslen QntWcslen
#define wcsnlen QntWcsnlen
#define wcscmp QntWcscmp
#define wcsncmp QntWcsncmp
#define wcscpy QntWcscpy
#define wcsncpy QntWcsncpy
#define wcscat QntWcscat
#define wcsncat QntWcsncat
#define wcschr QntWcschr
#define wcsrchr QntWcsrchr
#define wcsstr QntWcsstr
#define _wcsicmp QntWcsicmp
#define _wcsnicmp QntWcsnicmp

NT_BEGIN_C

NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
WCHAR QntTowupper(WCHAR c);
WCHAR QntTowlower(WCHAR c);
SIZE_T QntWcslen(PCWSTR s);
SIZE_T QntWcsnlen(PCWSTR s, SIZE_T max);
int QntWcscmp(PCWSTR a, PCWSTR b);
int QntWcsncmp(PCWSTR a, PCWSTR b, SIZE_T count);
PWSTR QntWcscpy(PWSTR dst, PCWSTR src);
PWSTR QntWcsncpy(PWSTR dst, PCWSTR src, SIZE_T count);
PWSTR QntWcscat(PWSTR dst, PCWSTR src);
PWSTR QntWcsncat(PWSTR dst, PCWSTR src, SIZE_T count);
PWSTR QntWcschr(PCWSTR s, WCHAR c);
PWSTR QntWcsrchr(PCWSTR s, WCHAR c);
PWSTR QntWcsstr(PCWSTR s, PCWSTR find);
int QntWcsicmp(PCWSTR a, PCWSTR b);
int QntWcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count);

// In-place case conversion of a terminated wide string; returns it.
PWSTR _wcsupr(PWSTR s);
PWSTR _wcslwr(PWSTR s);

// Narrow case-insensitive comparisons (ASCII letters fold; other bytes compare
// by value), as the kernel's C run-time does them.
int _stricmp(PCSTR a, PCSTR b);
int _strnicmp(PCSTR a, PCSTR b, SIZE_T count);

NT_END_C
