// Conversion between UTF-16 and narrow strings. ANSI and OEM strings share the
// platform's code page (1252, rtl/codepage.h).
#include <wdm.h>

#include "rtl/codepage.h"
#include "rtl/rtl_pool.h"

namespace {

void WidenUnits(PWCH destination, const CHAR* source, SIZE_T count) {
    for (SIZE_T i = 0; i < count; ++i) destination[i] = plat::NarrowToWide(static_cast<UCHAR>(source[i]));
}

void NarrowUnits(PCHAR destination, PCWCH source, SIZE_T count, bool upcase) {
    for (SIZE_T i = 0; i < count; ++i) {
        WCHAR c = upcase ? RtlUpcaseUnicodeChar(source[i]) : source[i];
        destination[i] = static_cast<CHAR>(plat::WideToNarrowOrDefault(c));
    }
}

NTSTATUS NarrowToUnicode(PUNICODE_STRING destination, PCSTRING source, BOOLEAN allocate) {
    ULONG bytes = RtlxAnsiStringToUnicodeSize(source);
    if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    if (allocate) {
        PWSTR buffer = static_cast<PWSTR>(plat::RtlAllocateStringBuffer(bytes));
        if (buffer == NULL) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(bytes);
    } else if (bytes > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    WidenUnits(destination->Buffer, source->Buffer, source->Length);
    destination->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    destination->Buffer[source->Length] = 0;
    return STATUS_SUCCESS;
}

// Without allocation a destination that is too small receives what fits,
// terminated, and the result is STATUS_BUFFER_OVERFLOW.
NTSTATUS UnicodeToNarrow(PSTRING destination, PCUNICODE_STRING source, BOOLEAN allocate, bool upcase) {
    ULONG bytes = RtlxUnicodeStringToAnsiSize(source);
    if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (allocate) {
        PCHAR buffer = static_cast<PCHAR>(plat::RtlAllocateStringBuffer(bytes));
        if (buffer == NULL) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(bytes);
    } else if (bytes > destination->MaximumLength) {
        if (destination->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        bytes = destination->MaximumLength;
        status = STATUS_BUFFER_OVERFLOW;
    }
    SIZE_T count = bytes - 1;
    NarrowUnits(destination->Buffer, source->Buffer, count, upcase);
    destination->Buffer[count] = 0;
    destination->Length = static_cast<USHORT>(count);
    return status;
}

}  // namespace

extern "C" ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
    return (static_cast<ULONG>(AnsiString->Length) + 1) * sizeof(WCHAR);
}

extern "C" ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return UnicodeString->Length / sizeof(WCHAR) + 1;
}

extern "C" NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                       PCANSI_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
    return NarrowToUnicode(DestinationString, SourceString, AllocateDestinationString);
}

extern "C" NTSTATUS NTAPI RtlOemStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                      PCOEM_STRING SourceString,
                                                      BOOLEAN AllocateDestinationString) {
    return NarrowToUnicode(DestinationString, SourceString, AllocateDestinationString);
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
    return UnicodeToNarrow(DestinationString, SourceString, AllocateDestinationString, false);
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToOemString(POEM_STRING DestinationString,
                                                      PCUNICODE_STRING SourceString,
                                                      BOOLEAN AllocateDestinationString) {
    return UnicodeToNarrow(DestinationString, SourceString, AllocateDestinationString, false);
}

extern "C" NTSTATUS NTAPI RtlUpcaseUnicodeStringToOemString(POEM_STRING DestinationString,
                                                            PCUNICODE_STRING SourceString,
                                                            BOOLEAN AllocateDestinationString) {
    return UnicodeToNarrow(DestinationString, SourceString, AllocateDestinationString, true);
}

extern "C" NTSTATUS NTAPI RtlUnicodeToMultiByteN(PCHAR MultiByteString, ULONG MaxBytesInMultiByteString,
                                                 PULONG BytesInMultiByteString, PCWCH UnicodeString,
                                                 ULONG BytesInUnicodeString) {
    ULONG count = BytesInUnicodeString / sizeof(WCHAR);
    if (count > MaxBytesInMultiByteString) count = MaxBytesInMultiByteString;
    NarrowUnits(MultiByteString, UnicodeString, count, false);
    if (BytesInMultiByteString != NULL) *BytesInMultiByteString = count;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlMultiByteToUnicodeN(PWCH UnicodeString, ULONG MaxBytesInUnicodeString,
                                                 PULONG BytesInUnicodeString, const CHAR* MultiByteString,
                                                 ULONG BytesInMultiByteString) {
    ULONG count = MaxBytesInUnicodeString / sizeof(WCHAR);
    if (count > BytesInMultiByteString) count = BytesInMultiByteString;
    WidenUnits(UnicodeString, MultiByteString, count);
    if (BytesInUnicodeString != NULL) *BytesInUnicodeString = count * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlUnicodeToMultiByteSize(PULONG BytesInMultiByteString, PCWCH,
                                                    ULONG BytesInUnicodeString) {
    *BytesInMultiByteString = BytesInUnicodeString / sizeof(WCHAR);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlMultiByteToUnicodeSize(PULONG BytesInUnicodeString, const CHAR*,
                                                    ULONG BytesInMultiByteString) {
    *BytesInUnicodeString = BytesInMultiByteString * sizeof(WCHAR);
    return STATUS_SUCCESS;
}
