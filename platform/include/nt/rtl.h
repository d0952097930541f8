// Run-time library: counted strings, narrow/wide conversion, integers, time
// fields, 8.3 names, Windows-style formatting and debugger output.
//
// Narrow text (ANSI and OEM strings, %s in narrow formats, DbgPrint) uses code
// page 1252 (Western European) on this platform; UTF-16 units that code page
// cannot represent become '?'. The case rules are those of RtlUpcaseUnicodeChar
// (nt/rtlstring.h).
#pragma once

#include "ntdef.h"
#include "rtlstring.h"

typedef const STRING* PCSTRING;
typedef const STRING* PCOEM_STRING;

// Counted-string initialisers for literals (the WDK's macros). The buffer of
// a constant string must never be written.
#ifdef __cplusplus
template <typename T, size_t N>
constexpr T* QntConstantStringBuffer(const T (&s)[N]) {
    return const_cast<T*>(s);
}
#define RTL_CONSTANT_STRING(s) \
    {(USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), QntConstantStringBuffer(s)}
#else
#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (s)}
#endif
#define DECLARE_CONST_UNICODE_STRING(name, text) \
    const UNICODE_STRING name = RTL_CONSTANT_STRING(text)

NT_BEGIN_C

// ---- Counted strings --------------------------------------------------------

// Length = the string's length in bytes (at most 0xFFFC), MaximumLength = Length
// + 2; a NULL source gives an empty string with a NULL buffer.
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// As above, but STATUS_NAME_TOO_LONG for a source longer than 0xFFFC bytes.
NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString);

// Copies as much as fits into the destination's buffer and terminates it when
// there is room; a NULL source empties the destination.
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI VOID NTAPI RtlCopyString(PSTRING DestinationString, PCSTRING SourceString);

// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the result does not fit.
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendStringToString(PSTRING Destination, PCSTRING Source);

// < 0, 0 or > 0 as String1 sorts before, equal to or after String2; case-
// insensitive comparisons compare upper-cased characters.
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
    BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
    BOOLEAN CaseInSensitive);
// TRUE when String1 is a prefix of String2.
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
    BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixString(PCSTRING String1, PCSTRING String2, BOOLEAN CaseInSensitive);

// Case conversion. With AllocateDestinationString the buffer comes from pool
// (free it with RtlFreeUnicodeString); otherwise STATUS_BUFFER_OVERFLOW when
// the destination is too small. The result is not terminated.
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
    PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString,
    PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI CHAR NTAPI RtlUpperChar(CHAR Character);
// Upper-cases as much of the source as fits into the destination's buffer.
NTSYSAPI VOID NTAPI RtlUpperString(PSTRING DestinationString, PCSTRING SourceString);

// Releases a buffer allocated by an Rtl routine and empties the string.
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI VOID NTAPI RtlFreeOemString(POEM_STRING OemString);

// ---- Narrow <-> UTF-16 (code page 1252 for both ANSI and OEM) ---------------

// The results are terminated. Without allocation a destination that cannot
// hold the result and its terminator gives STATUS_BUFFER_OVERFLOW; the
// Unicode-to-narrow direction then still converts what fits. A source whose
// result would exceed 0xFFFF bytes gives STATUS_INVALID_PARAMETER_2.
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
    PCANSI_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
    PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlOemStringToUnicodeString(PUNICODE_STRING DestinationString,
    PCOEM_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToOemString(POEM_STRING DestinationString,
    PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeStringToOemString(POEM_STRING DestinationString,
    PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
// Bytes needed for the converted string, terminator included.
NTSYSAPI ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
NTSYSAPI ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)

// Buffer conversions: convert as much as fits, never terminate, STATUS_SUCCESS.
NTSYSAPI NTSTATUS NTAPI RtlUnicodeToMultiByteN(PCHAR MultiByteString, ULONG MaxBytesInMultiByteString,
    PULONG BytesInMultiByteString, PCWCH UnicodeString, ULONG BytesInUnicodeString);
NTSYSAPI NTSTATUS NTAPI RtlMultiByteToUnicodeN(PWCH UnicodeString, ULONG MaxBytesInUnicodeString,
    PULONG BytesInUnicodeString, const CHAR* MultiByteString, ULONG BytesInMultiByteString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeToMultiByteSize(PULONG BytesInMultiByteString, PCWCH UnicodeString,
    ULONG BytesInUnicodeString);
NTSYSAPI NTSTATUS NTAPI RtlMultiByteToUnicodeSize(PULONG BytesInUnicodeString, const CHAR* MultiByteString,
    ULONG BytesInMultiByteString);

// ---- Integers ---------------------------------------------------------------

// Base 0 means 10; bases 2, 8, 10 and 16 are accepted (STATUS_INVALID_PARAMETER
// otherwise). STATUS_BUFFER_OVERFLOW when the digits and terminator do not fit.
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String);
// Length is the size of String in bytes; terminated when there is room.
NTSYSAPI NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG Length, PCHAR String);
// Leading white space, an optional sign, and with base 0 the prefixes 0x, 0o
// and 0b; parsing stops at the first character that is not a digit.
NTSYSAPI NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

// ---- Time fields (Gregorian calendar, 100-ns units since 1601-01-01) ---------

typedef struct _TIME_FIELDS {
    CSHORT Year;          // 1601...
    CSHORT Month;         // 1..12
    CSHORT Day;           // 1..31
    CSHORT Hour;          // 0..23
    CSHORT Minute;        // 0..59
    CSHORT Second;        // 0..59
    CSHORT Milliseconds;  // 0..999
    CSHORT Weekday;       // 0 = Sunday
} TIME_FIELDS, *PTIME_FIELDS;

NTSYSAPI VOID NTAPI RtlTimeToTimeFields(const LARGE_INTEGER* Time, PTIME_FIELDS TimeFields);
// FALSE (Time unchanged) for fields out of range or a date before 1601;
// Weekday is ignored.
NTSYSAPI BOOLEAN NTAPI RtlTimeFieldsToTime(const TIME_FIELDS* TimeFields, PLARGE_INTEGER Time);
// FALSE when the time lies before 1970 or after 2106.
NTSYSAPI BOOLEAN NTAPI RtlTimeToSecondsSince1970(const LARGE_INTEGER* Time, PULONG ElapsedSeconds);
NTSYSAPI VOID NTAPI RtlSecondsSince1970ToTime(ULONG ElapsedSeconds, PLARGE_INTEGER Time);

// ---- 8.3 names --------------------------------------------------------------

// State of a series of RtlGenerate8dot3Name calls for one long name; zero it
// before the first call. Successive calls give ~1 .. ~4 on the first six
// characters, then the hashed form (two characters and a 4-digit checksum).
typedef struct _GENERATE_NAME_CONTEXT {
    USHORT Checksum;
    BOOLEAN CheckSumInserted;
    UCHAR NameLength;          // characters in NameBuffer
    WCHAR NameBuffer[8];
    ULONG ExtensionLength;     // characters in ExtensionBuffer, dot included
    WCHAR ExtensionBuffer[4];
    ULONG LastIndexValue;
} GENERATE_NAME_CONTEXT, *PGENERATE_NAME_CONTEXT;

// Name8dot3 must have room for 12 characters (24 bytes).
NTSYSAPI VOID NTAPI RtlGenerate8dot3Name(PCUNICODE_STRING Name, BOOLEAN AllowExtendedCharacters,
    PGENERATE_NAME_CONTEXT Context, PUNICODE_STRING Name8dot3);
// TRUE when Name is a valid FAT short name once upper-cased (. and .. included).
// OemName, if given, receives the upper-cased OEM form; NameContainsSpaces
// tells whether the name holds embedded spaces.
NTSYSAPI BOOLEAN NTAPI RtlIsNameLegalDOS8Dot3(PCUNICODE_STRING Name, POEM_STRING OemName,
    PBOOLEAN NameContainsSpaces);

// ---- Formatting (Windows C run-time semantics) --------------------------------
//
// In narrow formats %s is narrow and %S wide; in wide formats %s is wide and %S
// narrow; %hs/%hS are always narrow, %ls/%ws always wide. %c/%C/%hc/%wc follow the
// same rule for characters. %Z prints a PANSI_STRING, %wZ a PUNICODE_STRING.
// Integer sizes: %hh, %h, %l (32-bit, as on Windows), %ll and %I64 (64-bit),
// %I32, %I, %z, %t, %j (pointer-sized). %p prints the pointer in upper-case hex
// with all its digits (16 on this 64-bit host, 8 on 32-bit Windows). %n writes
// nothing. A NULL string argument prints "(null)". Wide characters that code
// page 1252 cannot represent print as '?' in narrow output.
//
// _vsnprintf and friends write at most Count characters. When the output fits
// with room to spare it is terminated and its length returned; when it fills
// the buffer exactly it is NOT terminated and Count is returned; when it does
// not fit the buffer holds the first Count characters, unterminated, and the
// result is -1. With Buffer NULL and Count 0 the length of the output is
// returned.
int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args);
int _snprintf(char* Buffer, size_t Count, const char* Format, ...);
int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list Args);
int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...);
// swprintf as the kernel exports it: no count, always terminated.
#define swprintf QntSwprintf
int QntSwprintf(WCHAR* Buffer, const WCHAR* Format, ...);

// ---- Debugger output --------------------------------------------------------

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

#define DPFLTR_SYSTEM_ID 0
#define DPFLTR_NTFS_ID 3
#define DPFLTR_FASTFAT_ID 33
#define DPFLTR_FLTMGR_ID 47
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVVIDEO_ID 78
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_IHVNETWORK_ID 80
#define DPFLTR_IHVSTREAMING_ID 81
#define DPFLTR_IHVBUS_ID 82
#define DPFLTR_DEFAULT_ID 101

// DbgPrint always reaches the debugger (as up to Windows Server 2003).
// DbgPrintEx reaches it when the level's bit (levels 0..31 stand for 1 << Level,
// larger values are masks) is in the system-wide filter mask, which admits
// DPFLTR_ERROR_LEVEL only unless a test widens it. One call passes at most 511
// characters. The routines return STATUS_SUCCESS.
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTSYSAPI ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list Args);
NTSYSAPI ULONG NTAPI vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format,
    va_list Args);

NT_END_C

// KdPrint((...)) prints only in checked builds, as in the WDK.
#if defined(DBG) && DBG
#define KdPrint(x) DbgPrint x
#define KdPrintEx(x) DbgPrintEx x
#else
#define KdPrint(x) ((void)0)
#define KdPrintEx(x) ((void)0)
#endif
