// ntstrsafe.h: bounded copy, concatenation, formatting and length routines.
// One implementation per operation, shared by the narrow and wide, character
// and byte counted forms.
#include <ntstrsafe.h>

#include "rtl/format.h"

namespace {

template <typename CharT>
size_t FormatV(CharT* buffer, size_t capacity, const CharT* format, va_list args);

template <>
size_t FormatV<char>(char* buffer, size_t capacity, const char* format, va_list args) {
    return plat::FormatNarrowV(buffer, capacity, format, args);
}

template <>
size_t FormatV<WCHAR>(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
    return plat::FormatWideV(buffer, capacity, format, args);
}

template <typename CharT>
class SafeString {
public:
    using Str = CharT*;
    using CStr = const CharT*;

    // Copies at most maxCopy characters of src to dest[0..cch).
    static NTSTATUS CopyEx(Str dest, size_t cch, CStr src, size_t maxCopy, Str* end, size_t* remaining,
                           ULONG flags) {
        NTSTATUS status = CheckArguments(dest, cch, &src, maxCopy, flags);
        if (status != STATUS_SUCCESS) return Fail(dest, cch, status, flags);
        if (cch == 0) return EmptyDestination(dest, maxCopy == 0 || src[0] == 0, end, remaining);
        size_t length = 0;
        status = Append(dest, cch, src, maxCopy, &length);
        return Finish(dest, cch, status, length, 0, end, remaining, flags);
    }

    // Appends at most maxAppend characters of src to the string in dest[0..cch).
    static NTSTATUS CatEx(Str dest, size_t cch, CStr src, size_t maxAppend, Str* end, size_t* remaining,
                          ULONG flags) {
        NTSTATUS status = CheckArguments(dest, cch, &src, maxAppend, flags);
        if (status != STATUS_SUCCESS) return Fail(dest, cch, status, flags);
        if (cch == 0) return EmptyDestination(dest, maxAppend == 0 || src[0] == 0, end, remaining);
        size_t existing = 0;
        if (Length(dest, cch, &existing) != STATUS_SUCCESS) return Fail(dest, cch, STATUS_INVALID_PARAMETER, flags);
        size_t appended = 0;
        status = Append(dest + existing, cch - existing, src, maxAppend, &appended);
        return Finish(dest, cch, status, existing + appended, existing, end, remaining, flags);
    }

    static NTSTATUS VPrintfEx(Str dest, size_t cch, Str* end, size_t* remaining, ULONG flags, CStr format,
                              va_list args) {
        NTSTATUS status = CheckArguments(dest, cch, &format, 0, flags);
        if (status != STATUS_SUCCESS) return Fail(dest, cch, status, flags);
        if (cch == 0) return EmptyDestination(dest, FormatV<CharT>(NULL, 0, format, args) == 0, end, remaining);
        size_t length = FormatV<CharT>(dest, cch - 1, format, args);
        status = STATUS_SUCCESS;
        if (length > cch - 1) {
            length = cch - 1;
            status = STATUS_BUFFER_OVERFLOW;
        }
        dest[length] = 0;
        return Finish(dest, cch, status, length, 0, end, remaining, flags);
    }

    // STATUS_INVALID_PARAMETER with a length of 0 when s is NULL or not
    // terminated within cchMax characters.
    static NTSTATUS Length(CStr s, size_t cchMax, size_t* length) {
        size_t n = 0;
        NTSTATUS status = STATUS_INVALID_PARAMETER;
        if (s != NULL && cchMax <= NTSTRSAFE_MAX_CCH) {
            while (n < cchMax && s[n] != 0) ++n;
            if (n < cchMax) status = STATUS_SUCCESS;
        }
        if (length != NULL) *length = status == STATUS_SUCCESS ? n : 0;
        return status;
    }

private:
    static NTSTATUS CheckArguments(Str dest, size_t cch, CStr* src, size_t count, ULONG flags) {
        static const CharT kEmpty[1] = {0};
        if ((flags & ~static_cast<ULONG>(STRSAFE_VALID_FLAGS)) != 0) return STATUS_INVALID_PARAMETER;
        if (cch > NTSTRSAFE_MAX_CCH || count > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
        bool ignoreNulls = (flags & STRSAFE_IGNORE_NULLS) != 0;
        if (*src == NULL) {
            if (!ignoreNulls) return STATUS_INVALID_PARAMETER;
            *src = kEmpty;
        }
        if (cch == 0) return ignoreNulls ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        return dest == NULL ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }

    // A zero-sized destination (allowed with STRSAFE_IGNORE_NULLS) holds
    // nothing: success only when there was nothing to put in it.
    static NTSTATUS EmptyDestination(Str dest, bool nothingToStore, Str* end, size_t* remaining) {
        if (end != NULL) *end = dest;
        if (remaining != NULL) *remaining = 0;
        return nothingToStore ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }

    // Copies src into dest[0..cch) (cch >= 1) and terminates it.
    static NTSTATUS Append(Str dest, size_t cch, CStr src, size_t maxCopy, size_t* copied) {
        size_t n = 0;
        while (n < cch - 1 && n < maxCopy && src[n] != 0) {
            dest[n] = src[n];
            ++n;
        }
        dest[n] = 0;
        *copied = n;
        bool truncated = n == cch - 1 && n < maxCopy && src[n] != 0;
        return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    static void Fill(Str from, size_t count, ULONG flags) {
        memset(from, STRSAFE_GET_FILL_PATTERN(flags), count * sizeof(CharT));
    }

    // Applies the failure flags; returns the length of what dest now holds.
    static size_t ApplyFailureFlags(Str dest, size_t cch, NTSTATUS status, size_t length, size_t undoLength,
                                    ULONG flags) {
        if (status == STATUS_BUFFER_OVERFLOW && (flags & STRSAFE_NO_TRUNCATION) != 0) {
            length = undoLength;
            dest[length] = 0;
        }
        if ((flags & STRSAFE_FILL_ON_FAILURE) != 0) {
            Fill(dest, cch, flags);
            dest[cch - 1] = 0;
            length = cch - 1;
        }
        if ((flags & STRSAFE_NULL_ON_FAILURE) != 0) {
            dest[0] = 0;
            length = 0;
        }
        return length;
    }

    static NTSTATUS Fail(Str dest, size_t cch, NTSTATUS status, ULONG flags) {
        bool usable = dest != NULL && cch != 0 && cch <= NTSTRSAFE_MAX_CCH &&
                      (flags & ~static_cast<ULONG>(STRSAFE_VALID_FLAGS)) == 0;
        if (usable) ApplyFailureFlags(dest, cch, status, 0, 0, flags);
        return status;
    }

    static NTSTATUS Finish(Str dest, size_t cch, NTSTATUS status, size_t length, size_t undoLength, Str* end,
                           size_t* remaining, ULONG flags) {
        if (status != STATUS_SUCCESS) {
            length = ApplyFailureFlags(dest, cch, status, length, undoLength, flags);
        } else if ((flags & STRSAFE_FILL_BEHIND_NULL) != 0 && length + 1 < cch) {
            Fill(dest + length + 1, cch - length - 1, flags);
        }
        if (end != NULL) *end = dest + length;
        if (remaining != NULL) *remaining = cch - length;
        return status;
    }
};

using SafeA = SafeString<char>;
using SafeW = SafeString<WCHAR>;

// Byte counts to character counts; sizes that are not a whole number of
// characters are rounded down, sizes beyond the limit stay beyond it.
template <typename CharT>
size_t ToCch(size_t cb) {
    return cb / sizeof(CharT);
}

inline size_t* CchRemaining(size_t* pcb, size_t* local) {
    return pcb != NULL ? local : NULL;
}

template <typename CharT>
void ToCbRemaining(size_t* pcb, size_t cch) {
    if (pcb != NULL) *pcb = cch * sizeof(CharT);
}

}  // namespace

extern "C" {

// ---- Copy ------------------------------------------------------------------------

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return SafeA::CopyEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return SafeW::CopyEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return SafeA::CopyEx(pszDest, ToCch<char>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return SafeW::CopyEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCopyExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
                             NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeA::CopyEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCchCopyExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                             NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeW::CopyEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCbCopyExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
                            NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeA::CopyEx(pszDest, ToCch<char>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd,
                                    CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<char>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCbCopyExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
                            NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeW::CopyEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd,
                                    CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<WCHAR>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCchCopyNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy) {
    return SafeA::CopyEx(pszDest, cchDest, pszSrc, cchToCopy, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy) {
    return SafeW::CopyEx(pszDest, cchDest, pszSrc, cchToCopy, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCopyNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy) {
    return SafeA::CopyEx(pszDest, ToCch<char>(cbDest), pszSrc, ToCch<char>(cbToCopy), NULL, NULL, 0);
}

NTSTATUS RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy) {
    return SafeW::CopyEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, ToCch<WCHAR>(cbToCopy), NULL, NULL, 0);
}

NTSTATUS RtlStringCchCopyNExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy,
                              NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeA::CopyEx(pszDest, cchDest, pszSrc, cchToCopy, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCchCopyNExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy,
                              NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeW::CopyEx(pszDest, cchDest, pszSrc, cchToCopy, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCbCopyNExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy,
                             NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeA::CopyEx(pszDest, ToCch<char>(cbDest), pszSrc, ToCch<char>(cbToCopy), ppszDestEnd,
                                    CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<char>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCbCopyNExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy,
                             NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeW::CopyEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, ToCch<WCHAR>(cbToCopy), ppszDestEnd,
                                    CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<WCHAR>(pcbRemaining, cch);
    return status;
}

// ---- Concatenate --------------------------------------------------------------------

NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return SafeA::CatEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return SafeW::CatEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return SafeA::CatEx(pszDest, ToCch<char>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return SafeW::CatEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCatExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
                            NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeA::CatEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCchCatExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                            NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeW::CatEx(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCbCatExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
                           NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeA::CatEx(pszDest, ToCch<char>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd,
                                   CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<char>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCbCatExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
                           NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeW::CatEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH, ppszDestEnd,
                                   CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<WCHAR>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCchCatNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToAppend) {
    return SafeA::CatEx(pszDest, cchDest, pszSrc, cchToAppend, NULL, NULL, 0);
}

NTSTATUS RtlStringCchCatNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToAppend) {
    return SafeW::CatEx(pszDest, cchDest, pszSrc, cchToAppend, NULL, NULL, 0);
}

NTSTATUS RtlStringCbCatNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToAppend) {
    return SafeA::CatEx(pszDest, ToCch<char>(cbDest), pszSrc, ToCch<char>(cbToAppend), NULL, NULL, 0);
}

NTSTATUS RtlStringCbCatNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToAppend) {
    return SafeW::CatEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, ToCch<WCHAR>(cbToAppend), NULL, NULL, 0);
}

NTSTATUS RtlStringCchCatNExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToAppend,
                             NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeA::CatEx(pszDest, cchDest, pszSrc, cchToAppend, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCchCatNExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToAppend,
                             NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcchRemaining, ULONG dwFlags) {
    return SafeW::CatEx(pszDest, cchDest, pszSrc, cchToAppend, ppszDestEnd, pcchRemaining, dwFlags);
}

NTSTATUS RtlStringCbCatNExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToAppend,
                            NTSTRSAFE_PSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeA::CatEx(pszDest, ToCch<char>(cbDest), pszSrc, ToCch<char>(cbToAppend), ppszDestEnd,
                                   CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<char>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCbCatNExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToAppend,
                            NTSTRSAFE_PWSTR* ppszDestEnd, size_t* pcbRemaining, ULONG dwFlags) {
    size_t cch = 0;
    NTSTATUS status = SafeW::CatEx(pszDest, ToCch<WCHAR>(cbDest), pszSrc, ToCch<WCHAR>(cbToAppend), ppszDestEnd,
                                   CchRemaining(pcbRemaining, &cch), dwFlags);
    ToCbRemaining<WCHAR>(pcbRemaining, cch);
    return status;
}

// ---- Formatting ----------------------------------------------------------------------

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    return SafeA::VPrintfEx(pszDest, cchDest, NULL, NULL, 0, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
    return SafeW::VPrintfEx(pszDest, cchDest, NULL, NULL, 0, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    return SafeA::VPrintfEx(pszDest, ToCch<char>(cbDest), NULL, NULL, 0, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return SafeW::VPrintfEx(pszDest, ToCch<WCHAR>(cbDest), NULL, NULL, 0, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PSTR* ppszDestEnd,
                                size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    return SafeA::VPrintfEx(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PWSTR* ppszDestEnd,
                                size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return SafeW::VPrintfEx(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PSTR* ppszDestEnd,
                               size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    size_t cch = 0;
    NTSTATUS status = SafeA::VPrintfEx(pszDest, ToCch<char>(cbDest), ppszDestEnd,
                                       CchRemaining(pcbRemaining, &cch), dwFlags, pszFormat, argList);
    ToCbRemaining<char>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCbVPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PWSTR* ppszDestEnd,
                               size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    size_t cch = 0;
    NTSTATUS status = SafeW::VPrintfEx(pszDest, ToCch<WCHAR>(cbDest), ppszDestEnd,
                                       CchRemaining(pcbRemaining, &cch), dwFlags, pszFormat, argList);
    ToCbRemaining<WCHAR>(pcbRemaining, cch);
    return status;
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PSTR* ppszDestEnd,
                               size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfExA(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PWSTR* ppszDestEnd,
                               size_t* pcchRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfExW(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfExA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PSTR* ppszDestEnd,
                              size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfExA(pszDest, cbDest, ppszDestEnd, pcbRemaining, dwFlags, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfExW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PWSTR* ppszDestEnd,
                              size_t* pcbRemaining, ULONG dwFlags, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfExW(pszDest, cbDest, ppszDestEnd, pcbRemaining, dwFlags, pszFormat, args);
    va_end(args);
    return status;
}

// ---- Length ------------------------------------------------------------------------------

NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return SafeA::Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return SafeW::Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return SafeA::Length(psz, ToCch<char>(cbMax), pcbLength);
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t cch = 0;
    NTSTATUS status = SafeW::Length(psz, ToCch<WCHAR>(cbMax), &cch);
    if (pcbLength != NULL) *pcbLength = cch * sizeof(WCHAR);
    return status;
}

}  // extern "C"
