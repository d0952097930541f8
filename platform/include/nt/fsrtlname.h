// File-system run-time library: wildcard matching of names.
//
// Expression characters: '*' matches any run of characters, '?' exactly one.
// The DOS forms that the I/O system produces from DOS patterns:
//   DOS_STAR '<'  any run of characters that does not take the name's last '.'
//   DOS_QM   '>'  one character; at a '.' or the end of the name a run of them
//                 matches nothing
//   DOS_DOT  '"'  a '.', or nothing at the end of the name
#pragma once

#include "ntdef.h"

#define ANSI_DOS_STAR ('<')
#define ANSI_DOS_QM ('>')
#define ANSI_DOS_DOT ('"')
#define DOS_STAR (L'<')
#define DOS_QM (L'>')
#define DOS_DOT (L'"')

#define FsRtlIsUnicodeCharacterWild(C) \
    ((C) == L'*' || (C) == L'?' || (C) == DOS_STAR || (C) == DOS_QM || (C) == DOS_DOT)
#define FsRtlIsAnsiCharacterWild(C) \
    ((C) == '*' || (C) == '?' || (C) == ANSI_DOS_STAR || (C) == ANSI_DOS_QM || (C) == ANSI_DOS_DOT)

NT_BEGIN_C

// TRUE when the name holds any of the five wildcard characters.
NTKERNELAPI BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name);

// TRUE when Name matches Expression. With IgnoreCase the caller passes an
// upper-cased expression and the name is upper-cased here, through UpcaseTable
// (indexed by the character) when one is given, else RtlUpcaseUnicodeChar. An
// empty expression matches only an empty name, and an empty name nothing else.
NTKERNELAPI BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
    BOOLEAN IgnoreCase, PWCH UpcaseTable);

// TRUE when the names are equal, without regard to case when IgnoreCase is set.
NTKERNELAPI BOOLEAN NTAPI FsRtlAreNamesEqual(PCUNICODE_STRING Name1, PCUNICODE_STRING Name2,
    BOOLEAN IgnoreCase, PCWCH UpcaseTable);

NT_END_C
