// Run-time library: character and string helpers on UTF-16.
//
// The C library's wide-character functions assume a 4-byte wchar_t. With
// -fshort-wchar they would walk the wrong unit size, so every such name is
// redirected to the stand-in's own UTF-16 implementation. The C library headers
// are included first, so their declarations stay intact and any later
// `using ::wcslen` (as in <cwchar>) picks up the replacement consistently.
#pragma once

#include <wchar.h>
#include <wctype.h>

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
PWSTR QntWcschr(PCWSTR s, WCHAR c);
PWSTR QntWcsrchr(PCWSTR s, WCHAR c);
PWSTR QntWcsstr(PCWSTR s, PCWSTR find);
int QntWcsicmp(PCWSTR a, PCWSTR b);
int QntWcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count);

NT_END_C
