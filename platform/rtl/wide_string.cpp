// The C library's wide-string routines for 16-bit WCHAR (see nt/rtlstring.h).
#include <wdm.h>

extern "C" SIZE_T QntWcslen(PCWSTR s) {
    PCWSTR p = s;
    while (*p != 0) ++p;
    return static_cast<SIZE_T>(p - s);
}

extern "C" SIZE_T QntWcsnlen(PCWSTR s, SIZE_T max) {
    SIZE_T n = 0;
    while (n < max && s[n] != 0) ++n;
    return n;
}

extern "C" int QntWcscmp(PCWSTR a, PCWSTR b) {
    return QntWcsncmp(a, b, static_cast<SIZE_T>(-1));
}

extern "C" int QntWcsncmp(PCWSTR a, PCWSTR b, SIZE_T count) {
    for (SIZE_T i = 0; i < count; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0) return 0;
    }
    return 0;
}

extern "C" int QntWcsicmp(PCWSTR a, PCWSTR b) {
    return QntWcsnicmp(a, b, static_cast<SIZE_T>(-1));
}

// Windows compares case-insensitively on the lower-cased characters.
extern "C" int QntWcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count) {
    for (SIZE_T i = 0; i < count; ++i) {
        WCHAR ca = QntTowlower(a[i]);
        WCHAR cb = QntTowlower(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

extern "C" PWSTR QntWcscpy(PWSTR dst, PCWSTR src) {
    PWSTR d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

extern "C" PWSTR QntWcsncpy(PWSTR dst, PCWSTR src, SIZE_T count) {
    SIZE_T i = 0;
    for (; i < count && src[i] != 0; ++i) dst[i] = src[i];
    for (; i < count; ++i) dst[i] = 0;
    return dst;
}

extern "C" PWSTR QntWcscat(PWSTR dst, PCWSTR src) {
    QntWcscpy(dst + QntWcslen(dst), src);
    return dst;
}

extern "C" PWSTR QntWcschr(PCWSTR s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return const_cast<PWSTR>(s);
        if (*s == 0) return NULL;
    }
}

extern "C" PWSTR QntWcsrchr(PCWSTR s, WCHAR c) {
    PCWSTR found = NULL;
    for (;; ++s) {
        if (*s == c) found = s;
        if (*s == 0) return const_cast<PWSTR>(found);
    }
}

extern "C" PWSTR QntWcsstr(PCWSTR s, PCWSTR find) {
    SIZE_T n = QntWcslen(find);
    if (n == 0) return const_cast<PWSTR>(s);
    for (; *s != 0; ++s) {
        if (QntWcsncmp(s, find, n) == 0) return const_cast<PWSTR>(s);
    }
    return NULL;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

extern "C" PWSTR QntWcsncat(PWSTR dst, PCWSTR src, SIZE_T count) {
    PWSTR end = dst + QntWcslen(dst);
    SIZE_T i = 0;
    for (; i < count && src[i] != 0; ++i) end[i] = src[i];
    end[i] = 0;
    return dst;
}

extern "C" PWSTR _wcsupr(PWSTR s) {
    for (PWSTR p = s; *p != 0; ++p) *p = QntTowupper(*p);
    return s;
}

extern "C" PWSTR _wcslwr(PWSTR s) {
    for (PWSTR p = s; *p != 0; ++p) *p = QntTowlower(*p);
    return s;
}

namespace {

int AsciiLower(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u;
}

}  // namespace

extern "C" int _strnicmp(PCSTR a, PCSTR b, SIZE_T count) {
    for (SIZE_T i = 0; i < count; ++i) {
        int ca = AsciiLower(a[i]);
        int cb = AsciiLower(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

extern "C" int _stricmp(PCSTR a, PCSTR b) {
    return _strnicmp(a, b, static_cast<SIZE_T>(-1));
}
