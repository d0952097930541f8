// Counted strings: UNICODE_STRING and STRING initialisation, copy, append,
// comparison, case conversion and release.
#include <wdm.h>

#include "rtl/codepage.h"
#include "rtl/rtl_pool.h"

namespace {

// The longest UNICODE_STRING that still leaves room for a terminator.
constexpr SIZE_T kMaxUnicodeBytes = MAXUSHORT & ~1u;  // 0xFFFE
constexpr SIZE_T kMaxInitUnicodeBytes = kMaxUnicodeBytes - sizeof(WCHAR);
constexpr SIZE_T kMaxInitAnsiBytes = MAXUSHORT - 1;

void TerminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

WCHAR Fold(WCHAR c, BOOLEAN caseInsensitive) {
    return caseInsensitive ? RtlUpcaseUnicodeChar(c) : c;
}

UCHAR FoldNarrow(CHAR c, BOOLEAN caseInsensitive) {
    return caseInsensitive ? static_cast<UCHAR>(RtlUpperChar(c)) : static_cast<UCHAR>(c);
}

// Compares the first `count` units; 0 when they are equal.
LONG CompareUnits(PCWSTR a, PCWSTR b, SIZE_T count, BOOLEAN caseInsensitive) {
    for (SIZE_T i = 0; i < count; ++i) {
        WCHAR ca = Fold(a[i], caseInsensitive);
        WCHAR cb = Fold(b[i], caseInsensitive);
        if (ca != cb) return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return 0;
}

LONG CompareBytes(const CHAR* a, const CHAR* b, SIZE_T count, BOOLEAN caseInsensitive) {
    for (SIZE_T i = 0; i < count; ++i) {
        UCHAR ca = FoldNarrow(a[i], caseInsensitive);
        UCHAR cb = FoldNarrow(b[i], caseInsensitive);
        if (ca != cb) return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return 0;
}

NTSTATUS AppendUnits(PUNICODE_STRING destination, PCWSTR source, SIZE_T bytes) {
    if (bytes == 0) return STATUS_SUCCESS;
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    RtlMoveMemory(destination->Buffer + destination->Length / sizeof(WCHAR), source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

// Applies `convert` to every unit of the source into the destination, which is
// allocated from pool when asked for.
template <typename Convert>
NTSTATUS ConvertCase(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate, Convert convert) {
    USHORT length = source->Length;
    if (allocate) {
        PWSTR buffer = static_cast<PWSTR>(plat::RtlAllocateStringBuffer(length));
        if (buffer == NULL) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = length;
    } else if (length > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < length / sizeof(WCHAR); ++i) destination->Buffer[i] = convert(source->Buffer[i]);
    destination->Length = length;
    return STATUS_SUCCESS;
}

template <typename StringT>
void FreeCounted(StringT* s) {
    if (s->Buffer != NULL) ExFreePool(s->Buffer);
    s->Buffer = NULL;
    s->Length = 0;
    s->MaximumLength = 0;
}

}  // namespace

// ---- Initialisation -----------------------------------------------------------

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = wcsnlen(SourceString, kMaxInitUnicodeBytes / sizeof(WCHAR) + 1) * sizeof(WCHAR);
    if (bytes > kMaxInitUnicodeBytes) bytes = kMaxInitUnicodeBytes;  // cut, never wrapped
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString != NULL &&
        wcsnlen(SourceString, kMaxInitUnicodeBytes / sizeof(WCHAR) + 1) * sizeof(WCHAR) > kMaxInitUnicodeBytes) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = strnlen(SourceString, kMaxInitAnsiBytes + 1);
    if (bytes > kMaxInitAnsiBytes) bytes = kMaxInitAnsiBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

extern "C" VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    RtlInitString(DestinationString, SourceString);
}

// ---- Copy and append -----------------------------------------------------------

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= ~1u;
    RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

extern "C" VOID NTAPI RtlCopyString(PSTRING DestinationString, PCSTRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes < DestinationString->MaximumLength) DestinationString->Buffer[bytes] = 0;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == NULL) return STATUS_SUCCESS;
    SIZE_T bytes = wcsnlen(Source, kMaxUnicodeBytes / sizeof(WCHAR) + 1) * sizeof(WCHAR);
    return AppendUnits(Destination, Source, bytes);
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == NULL) return STATUS_SUCCESS;
    return AppendUnits(Destination, Source->Buffer, Source->Length & ~1u);
}

extern "C" NTSTATUS NTAPI RtlAppendStringToString(PSTRING Destination, PCSTRING Source) {
    if (Source == NULL || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    RtlMoveMemory(Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    return STATUS_SUCCESS;
}

// ---- Comparison ------------------------------------------------------------------

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
    USHORT shorter = String1->Length < String2->Length ? String1->Length : String2->Length;
    LONG order = CompareUnits(String1->Buffer, String2->Buffer, shorter / sizeof(WCHAR), CaseInSensitive);
    if (order != 0) return order;
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return CompareUnits(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive) == 0;
}

extern "C" BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    return CompareUnits(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive) == 0;
}

extern "C" LONG NTAPI RtlCompareString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive) {
    USHORT shorter = String1->Length < String2->Length ? String1->Length : String2->Length;
    LONG order = CompareBytes(String1->Buffer, String2->Buffer, shorter, CaseInSensitive);
    if (order != 0) return order;
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

extern "C" BOOLEAN NTAPI RtlEqualString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return CompareBytes(String1->Buffer, String2->Buffer, String1->Length, CaseInSensitive) == 0;
}

extern "C" BOOLEAN NTAPI RtlPrefixString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    return CompareBytes(String1->Buffer, String2->Buffer, String1->Length, CaseInSensitive) == 0;
}

// ---- Case ---------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
    return ConvertCase(DestinationString, SourceString, AllocateDestinationString, RtlUpcaseUnicodeChar);
}

extern "C" NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString,
                                                   PCUNICODE_STRING SourceString,
                                                   BOOLEAN AllocateDestinationString) {
    return ConvertCase(DestinationString, SourceString, AllocateDestinationString, RtlDowncaseUnicodeChar);
}

extern "C" CHAR NTAPI RtlUpperChar(CHAR Character) {
    return static_cast<CHAR>(plat::NarrowUpcase(static_cast<UCHAR>(Character)));
}

extern "C" VOID NTAPI RtlUpperString(PSTRING DestinationString, PCSTRING SourceString) {
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    for (USHORT i = 0; i < bytes; ++i) DestinationString->Buffer[i] = RtlUpperChar(SourceString->Buffer[i]);
    DestinationString->Length = bytes;
}

// ---- Release ---------------------------------------------------------------------------

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    FreeCounted(UnicodeString);
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    FreeCounted(AnsiString);
}

extern "C" VOID NTAPI RtlFreeOemString(POEM_STRING OemString) {
    FreeCounted(OemString);
}
