// 8.3 short names: legality (RtlIsNameLegalDOS8Dot3) and generation
// (RtlGenerate8dot3Name), following the FAT rules Windows applies.
//
// Generation from a long name:
//   - leading periods are ignored; the last remaining period separates the
//     extension; spaces and other periods are dropped;
//   - characters that FAT forbids in short names (+ , ; = [ ] and the ones no
//     file name may hold) become '_'; so do characters above 0x7F unless
//     extended characters are allowed and the OEM code page (1252 here) has
//     them; everything is upper-cased;
//   - the base keeps its first six characters and gets ~1, ~2, ~3, ~4 on
//     successive calls; from the fifth call on it is the first two characters
//     plus four hex digits of a checksum of the long name, numbered ~1, ~2, ...
//     (the base shrinks when the number needs more digits, so that the base
//     part never exceeds eight characters);
//   - the extension is the first three characters after the last period;
//   - a name whose base comes out empty takes its extension as the base.
//
// The checksum is the one Windows 7 and later use, as publicly described: a
// 16-bit polynomial hash (factor 37) over the UTF-16 units of the long name,
// multiplied as a signed 32-bit value by 314,159,269, made non-negative,
// reduced modulo 1,000,000,007, cut to 16 bits, and written with its four hex
// digits in reverse order. "SomeStuff.aspx" thus becomes SOBC84~1.ASP.
#include <wdm.h>

#include "rtl/codepage.h"

namespace {

constexpr ULONG kBaseCharacters = 6;     // kept before the "~N" of the plain form
constexpr ULONG kHashedPrefix = 2;       // kept before the checksum
constexpr ULONG kShortBaseMax = 8;
constexpr ULONG kShortExtensionMax = 3;
constexpr ULONG kShortNameMax = 12;      // 8 + '.' + 3
constexpr ULONG kMaxIndex = 999999;      // "~999999" leaves one character of base

bool IsForbiddenInShortName(WCHAR c) {
    if (c < 0x20) return true;
    switch (c) {
    case '"': case '*': case '+': case ',': case '/': case ':': case ';': case '<':
    case '=': case '>': case '?': case '[': case '\\': case ']': case '|':
        return true;
    default:
        return false;
    }
}

// The short-name form of one character of a long name; 0 when it is dropped.
WCHAR ShortNameCharacter(WCHAR c, BOOLEAN allowExtended) {
    if (c == ' ' || c == '.') return 0;
    if (IsForbiddenInShortName(c)) return '_';
    WCHAR upper = RtlUpcaseUnicodeChar(c);
    if (upper < 0x80) return upper;
    UCHAR oem;
    if (!allowExtended || !plat::WideToNarrow(upper, &oem)) return '_';
    return upper;
}

// Appends the short-name form of text[begin, end) to out, up to `limit` characters.
ULONG CollectCharacters(PCWSTR text, ULONG begin, ULONG end, BOOLEAN allowExtended, PWCHAR out, ULONG limit) {
    ULONG count = 0;
    for (ULONG i = begin; i < end && count < limit; ++i) {
        WCHAR c = ShortNameCharacter(text[i], allowExtended);
        if (c != 0) out[count++] = c;
    }
    return count;
}

USHORT ReverseNibbles(USHORT v) {
    return static_cast<USHORT>(((v & 0xF000) >> 12) | ((v & 0x0F00) >> 4) | ((v & 0x00F0) << 4) |
                               ((v & 0x000F) << 12));
}

USHORT LongNameChecksum(PCWSTR text, ULONG count) {
    USHORT hash = 0;
    for (ULONG i = 0; i < count; ++i) hash = static_cast<USHORT>(hash * 37 + text[i]);
    LONG mixed = static_cast<LONG>(static_cast<ULONG>(hash) * 314159269u);
    LONGLONG positive = mixed < 0 ? -static_cast<LONGLONG>(mixed) : mixed;
    return ReverseNibbles(static_cast<USHORT>(positive % 1000000007));
}

// Fills the context from the long name on the first call of a series.
void PrepareContext(PCUNICODE_STRING name, BOOLEAN allowExtended, PGENERATE_NAME_CONTEXT context) {
    PCWSTR text = name->Buffer;
    ULONG length = name->Length / sizeof(WCHAR);
    ULONG start = 0;
    while (start < length && text[start] == '.') ++start;
    ULONG dot = length;
    for (ULONG i = length; i > start; --i) {
        if (text[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }

    WCHAR extension[kShortExtensionMax];
    ULONG extensionLength =
        dot < length ? CollectCharacters(text, dot + 1, length, allowExtended, extension, kShortExtensionMax) : 0;
    ULONG baseLength = CollectCharacters(text, start, dot, allowExtended, context->NameBuffer, kBaseCharacters);
    if (baseLength == 0 && extensionLength != 0) {  // ".txt" style names: the extension is all there is
        RtlCopyMemory(context->NameBuffer, extension, extensionLength * sizeof(WCHAR));
        baseLength = extensionLength;
        extensionLength = 0;
    }
    if (baseLength == 0) context->NameBuffer[baseLength++] = '_';

    context->NameLength = static_cast<UCHAR>(baseLength);
    context->ExtensionLength = 0;
    if (extensionLength != 0) {
        context->ExtensionBuffer[0] = '.';
        RtlCopyMemory(context->ExtensionBuffer + 1, extension, extensionLength * sizeof(WCHAR));
        context->ExtensionLength = extensionLength + 1;
    }
    context->Checksum = LongNameChecksum(text, length);
    context->CheckSumInserted = FALSE;
    context->LastIndexValue = 0;
}

void InsertChecksum(PGENERATE_NAME_CONTEXT context) {
    static const char kHex[] = "0123456789ABCDEF";
    ULONG kept = context->NameLength < kHashedPrefix ? context->NameLength : kHashedPrefix;
    for (ULONG i = 0; i < 4; ++i) {
        context->NameBuffer[kept + i] = static_cast<WCHAR>(kHex[(context->Checksum >> (12 - 4 * i)) & 0xF]);
    }
    context->NameLength = static_cast<UCHAR>(kept + 4);
    context->CheckSumInserted = TRUE;
}

void AdvanceIndex(PGENERATE_NAME_CONTEXT context) {
    context->LastIndexValue += 1;
    if (!context->CheckSumInserted && context->LastIndexValue > 4) {
        InsertChecksum(context);
        context->LastIndexValue = 1;
    }
    if (context->LastIndexValue > kMaxIndex) context->LastIndexValue = 1;  // the candidates repeat from here
}

void WriteCandidate(const GENERATE_NAME_CONTEXT* context, PUNICODE_STRING out) {
    WCHAR digits[8];
    ULONG digitCount = 0;
    for (ULONG v = context->LastIndexValue; v != 0; v /= 10) digits[digitCount++] = static_cast<WCHAR>('0' + v % 10);

    WCHAR text[kShortNameMax];
    ULONG length = 0;
    ULONG baseRoom = kShortBaseMax - 1 - digitCount;
    ULONG base = context->NameLength < baseRoom ? context->NameLength : baseRoom;
    for (ULONG i = 0; i < base; ++i) text[length++] = context->NameBuffer[i];
    text[length++] = '~';
    while (digitCount != 0) text[length++] = digits[--digitCount];
    for (ULONG i = 0; i < context->ExtensionLength; ++i) text[length++] = context->ExtensionBuffer[i];

    ULONG room = out->MaximumLength / sizeof(WCHAR);
    if (length > room) length = room;  // a too-small buffer gets a cut name, never an overrun
    RtlCopyMemory(out->Buffer, text, length * sizeof(WCHAR));
    out->Length = static_cast<USHORT>(length * sizeof(WCHAR));
}

// The upper-cased OEM form of the name, false when a character has none or
// the name is longer than 12 characters.
bool ToUpcaseOem(PCUNICODE_STRING name, UCHAR (&oem)[kShortNameMax], ULONG* length) {
    ULONG count = name->Length / sizeof(WCHAR);
    if (count > kShortNameMax) return false;
    for (ULONG i = 0; i < count; ++i) {
        if (!plat::WideToNarrow(RtlUpcaseUnicodeChar(name->Buffer[i]), &oem[i])) return false;
    }
    *length = count;
    return true;
}

bool IsDotName(const UCHAR* oem, ULONG length) {
    return (length == 1 && oem[0] == '.') || (length == 2 && oem[0] == '.' && oem[1] == '.');
}

// FAT short-name shape: 1-8 characters, optionally a period and 1-3 more; no
// forbidden character; no space at the end of either part.
bool IsLegalShape(const UCHAR* oem, ULONG length, bool* spaces) {
    if (length == 0 || oem[0] == '.') return false;
    ULONG dot = length;
    *spaces = false;
    for (ULONG i = 0; i < length; ++i) {
        UCHAR c = oem[i];
        if (IsForbiddenInShortName(c)) return false;
        if (c == ' ') *spaces = true;
        if (c != '.') continue;
        if (dot != length) return false;  // a second period
        dot = i;
    }
    if (dot > kShortBaseMax || oem[dot - 1] == ' ') return false;
    if (dot == length) return true;
    ULONG extension = length - dot - 1;
    return extension >= 1 && extension <= kShortExtensionMax && oem[length - 1] != ' ';
}

}  // namespace

extern "C" VOID NTAPI RtlGenerate8dot3Name(PCUNICODE_STRING Name, BOOLEAN AllowExtendedCharacters,
                                           PGENERATE_NAME_CONTEXT Context, PUNICODE_STRING Name8dot3) {
    if (Context->NameLength == 0) PrepareContext(Name, AllowExtendedCharacters, Context);
    AdvanceIndex(Context);
    WriteCandidate(Context, Name8dot3);
}

extern "C" BOOLEAN NTAPI RtlIsNameLegalDOS8Dot3(PCUNICODE_STRING Name, POEM_STRING OemName,
                                                PBOOLEAN NameContainsSpaces) {
    UCHAR oem[kShortNameMax];
    ULONG length = 0;
    if (!ToUpcaseOem(Name, oem, &length)) return FALSE;
    bool spaces = false;
    if (!IsDotName(oem, length) && !IsLegalShape(oem, length, &spaces)) return FALSE;
    if (OemName != NULL) {
        if (OemName->MaximumLength < length) return FALSE;
        RtlCopyMemory(OemName->Buffer, oem, length);
        OemName->Length = static_cast<USHORT>(length);
    }
    if (NameContainsSpaces != NULL) *NameContainsSpaces = spaces ? TRUE : FALSE;
    return TRUE;
}
