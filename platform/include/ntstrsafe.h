// Host stand-in for the WDK's ntstrsafe.h: bounded string copy, concatenation,
// formatting and length routines that always leave a terminated result.
//
// Sizes are in characters (Cch) or bytes (Cb). A destination size of zero or
// above NTSTRSAFE_MAX_CCH characters gives STATUS_INVALID_PARAMETER. When the
// result does not fit, the destination holds the truncated, terminated result
// and the status is STATUS_BUFFER_OVERFLOW (a warning: NT_SUCCESS is FALSE).
// Formatting follows the Windows rules of nt/rtl.h (_vsnprintf).
//
// The Ex forms also return the end of the result (the terminator) and the
// characters left (terminator included), and take flags:
//   the low byte            fill character for STRSAFE_FILL_BEHIND_NULL / ON_FAILURE
//   STRSAFE_IGNORE_NULLS    a NULL source counts as "", a NULL destination is
//                           accepted with a size of zero
//   STRSAFE_FILL_BEHIND_NULL fill the unused part after the terminator
//   STRSAFE_FILL_ON_FAILURE  on failure fill the whole buffer and terminate it
//                           at its last character
//   STRSAFE_NULL_ON_FAILURE  on failure leave an empty string
//   STRSAFE_NO_TRUNCATION    on overflow leave the destination as it was before
//                           (Copy and Printf: empty)
#pragma once

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647

#define STRSAFE_IGNORE_NULLS 0x00000100
#define STRSAFE_FILL_BEHIND_NULL 0x00000200
#define STRSAFE_FILL_ON_FAILURE 0x00000400
#define STRSAFE_NULL_ON_FAILURE 0x00000800
#define STRSAFE_NO_TRUNCATION 0x00001000
#define STRSAFE_VALID_FLAGS \
    (0x000000FF | STRSAFE_IGNORE_NULLS | STRSAFE_FILL_BEHIND_NULL | STRSAFE_FILL_ON_FAILURE | \
     STRSAFE_NULL_ON_FAILURE | STRSAFE_NO_TRUNCATION)
#define STRSAFE_FILL_BYTE(x) ((ULONG)(((x) & 0x000000FF) | STRSAFE_FILL_BEHIND_NULL))
#define STRSAFE_FAILURE_BYTE(x) ((ULONG)(((x) & 0x000000FF) | STRSAFE_FILL_ON_FAILURE))
#define STRSAFE_GET_FILL_PATTERN(flags) ((int)((flags) & 0x000000FF))

typedef char* NTSTRSAFE_PSTR;
typedef const char* NTSTRSAFE_PCSTR;
typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;

NT_BEGIN_C

// ---- Copy ---------------------------------------------------------------------
NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCchCopyExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCopyExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCopyExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);

// ---- Copy at most N characters of the source --------------------------------------
NTSTATUS RtlStringCchCopyNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCbCopyNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy);
NTSTATUS RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy);
NTSTATUS RtlStringCchCopyNExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCchCopyNExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCopyNExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCopyNExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);

// ---- Concatenate -------------------------------------------------------------------
// The destination must already be terminated within its size
// (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCatExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCchCatExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCatExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCatExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);
NTSTATUS RtlStringCchCatNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToAppend);
NTSTATUS RtlStringCchCatNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToAppend);
NTSTATUS RtlStringCbCatNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToAppend);
NTSTATUS RtlStringCbCatNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToAppend);
NTSTATUS RtlStringCchCatNExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToAppend,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCchCatNExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToAppend,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCatNExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToAppend,
    NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);
NTSTATUS RtlStringCbCatNExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToAppend,
    NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags);

// ---- Formatting ----------------------------------------------------------------
NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PSTR* ppszDestEnd,
    size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PWSTR* ppszDestEnd,
    size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PSTR* ppszDestEnd,
    size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PWSTR* ppszDestEnd,
    size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PSTR* ppszDestEnd,
    size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PWSTR* ppszDestEnd,
    size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbVPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PSTR* ppszDestEnd,
    size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbVPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PWSTR* ppszDestEnd,
    size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, va_list argList);

// ---- Length ----------------------------------------------------------------------
// STATUS_INVALID_PARAMETER (length 0) when the string is NULL or not terminated
// within cchMax characters. The length argument may be NULL.
NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);

NT_END_C
