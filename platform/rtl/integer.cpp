// Integer <-> text conversions of the run-time library.
#include <wdm.h>

namespace {

constexpr SIZE_T kMaxDigits = 64;  // a 64-bit value in base 2

bool ValidBase(ULONG base) {
    return base == 2 || base == 8 || base == 10 || base == 16;
}

// Upper-case digits of `value` into `digits`; returns their count.
SIZE_T Digits(ULONGLONG value, ULONG base, CHAR (&digits)[kMaxDigits]) {
    CHAR reversed[kMaxDigits];
    SIZE_T count = 0;
    do {
        reversed[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    for (SIZE_T i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
    return count;
}

NTSTATUS ToUnicodeString(ULONGLONG value, ULONG base, PUNICODE_STRING string) {
    if (base == 0) base = 10;
    if (!ValidBase(base)) return STATUS_INVALID_PARAMETER;
    CHAR digits[kMaxDigits];
    SIZE_T count = Digits(value, base, digits);
    if ((count + 1) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (SIZE_T i = 0; i < count; ++i) string->Buffer[i] = static_cast<WCHAR>(digits[i]);
    string->Buffer[count] = 0;
    string->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

LONG DigitValue(ULONG c) {
    if (c >= '0' && c <= '9') return static_cast<LONG>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<LONG>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<LONG>(c - 'A' + 10);
    return -1;
}

// Parses text[0..length) as RtlCharToInteger does. The sign applies by two's
// complement; overflow wraps, as on Windows.
template <typename CharT>
NTSTATUS ParseInteger(const CharT* text, SIZE_T length, ULONG base, PULONG value) {
    SIZE_T i = 0;
    while (i < length && static_cast<ULONG>(text[i]) <= ' ') ++i;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (base == 0) {
        base = 10;
        if (i + 1 < length && text[i] == '0') {
            if (text[i + 1] == 'x') base = 16;
            else if (text[i + 1] == 'o') base = 8;
            else if (text[i + 1] == 'b') base = 2;
            if (base != 10) i += 2;
        }
    } else if (!ValidBase(base)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < length; ++i) {
        LONG digit = DigitValue(static_cast<ULONG>(text[i]));
        if (digit < 0 || static_cast<ULONG>(digit) >= base) break;
        result = result * base + static_cast<ULONG>(digit);
    }
    *value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    return ToUnicodeString(Value, Base, String);
}

extern "C" NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
    return ToUnicodeString(Value, Base, String);
}

extern "C" NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG Length, PCHAR String) {
    if (Base == 0) Base = 10;
    if (!ValidBase(Base)) return STATUS_INVALID_PARAMETER;
    CHAR digits[kMaxDigits];
    SIZE_T count = Digits(Value, Base, digits);
    if (Length < 0 || count > static_cast<SIZE_T>(Length)) return STATUS_BUFFER_OVERFLOW;
    RtlCopyMemory(String, digits, count);
    if (count < static_cast<SIZE_T>(Length)) String[count] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    if (Value == NULL) return STATUS_ACCESS_VIOLATION;
    if (String == NULL) return STATUS_INVALID_PARAMETER;
    return ParseInteger(String, strlen(String), Base, Value);
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Value == NULL) return STATUS_ACCESS_VIOLATION;
    if (String == NULL) return STATUS_INVALID_PARAMETER;
    return ParseInteger(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}
