// Target path lists: building them from text, matching paths against them,
// and the changes the control interface makes (see target_list.h).
#include "frame/target_list.h"

#include "frame/driver_globals.h"
#include "frame/log.h"

// The work folder; paths inside it are work copies (named by copy-on-write).
static const WCHAR g_WorkFolderName[] = L"\\$~@&%.~~~";
#define WORK_FOLDER_NAME_CHARS (ARRAYSIZE(g_WorkFolderName) - 1)

// Returned for a work copy whose name marks it as a copy of a protected file.
static TargetEntry g_WorkCopyTarget = {NULL, 1, NULL, 0, 0, NULL, TARGET_ORIGIN_TEXT};

// ---- Small string helpers -------------------------------------------------------------

static BOOLEAN IsEmpty(PCWSTR Text) {
    return (BOOLEAN)(Text == NULL || Text[0] == L'\0');
}

// Characters of Path, not counting one trailing backslash.
static LONG LengthWithoutTrailingBackslash(PCWSTR Path) {
    LONG length = (LONG)wcslen(Path);
    if (length > 0 && Path[length - 1] == L'\\') {
        --length;
    }
    return length;
}

// TRUE when Path begins with the first Count characters of Prefix (without
// regard to case) and continues there with a backslash or ends.
static BOOLEAN IsPrefixFolder(PCWSTR Prefix, LONG Count, PCWSTR Path) {
    if (Count < 0 || _wcsnicmp(Prefix, Path, (SIZE_T)Count) != 0) {
        return FALSE;
    }
    return (BOOLEAN)(Path[Count] == L'\\' || Path[Count] == L'\0');
}

// Process names are compared over their first 15 characters, without regard
// to case.
static BOOLEAN ProcessNamesEqual(PCSTR First, PCSTR Second) {
    return (BOOLEAN)(_strnicmp(First, Second, TARGET_PROCESS_NAME_CHARS) == 0);
}

// An entry applies to a search for ProcessName when either side names no
// process or both name the same one.
static BOOLEAN AppliesToProcess(const TargetEntry* Entry, PCSTR ProcessName) {
    return (BOOLEAN)(ProcessName == NULL || Entry->ProcessName == NULL ||
                     ProcessNamesEqual(Entry->ProcessName, ProcessName));
}

// ---- Entries ------------------------------------------------------------------------------

static PWSTR CopyPath(PCWSTR Path, ULONG Characters, ULONG Tag) {
    SIZE_T bytes = ((SIZE_T)Characters + 1) * sizeof(WCHAR);
    PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, Tag));
    if (copy == NULL) {
        return NULL;
    }
    RtlCopyMemory(copy, Path, Characters * sizeof(WCHAR));
    copy[Characters] = L'\0';
    return copy;
}

static PCHAR CopyProcessName(PCSTR Name) {
    SIZE_T length = strlen(Name);
    if (length > TARGET_PROCESS_NAME_CHARS) {
        length = TARGET_PROCESS_NAME_CHARS;
    }
    PCHAR copy = static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, length + 1, QUILT_TAG_TARGET_PROCESS_NAME));
    if (copy == NULL) {
        return NULL;
    }
    RtlCopyMemory(copy, Name, length);
    copy[length] = '\0';
    return copy;
}

static VOID FreeEntry(TargetEntry* Entry) {
    BOOLEAN fromText = (BOOLEAN)(Entry->Origin == TARGET_ORIGIN_TEXT);
    if (Entry->ProcessName != NULL) {
        ExFreePoolWithTag(Entry->ProcessName, QUILT_TAG_TARGET_PROCESS_NAME);
    }
    if (Entry->pPath != NULL) {
        ExFreePoolWithTag(Entry->pPath, fromText ? QUILT_TAG_TARGET_TEXT_PATH : QUILT_TAG_TARGET_REQUEST_PATH);
    }
    ExFreePoolWithTag(Entry, fromText ? QUILT_TAG_TARGET_TEXT_ENTRY : QUILT_TAG_TARGET_REQUEST_ENTRY);
}

VOID TargetListFree(TargetEntry** List) {
    if (List == NULL) {
        return;
    }
    TargetEntry* entry = *List;
    *List = NULL;
    while (entry != NULL) {
        TargetEntry* next = entry->Next;
        FreeEntry(entry);
        entry = next;
    }
}

TargetEntry* IsTarget_Allocate(PCWSTR Path, PCSTR ProcessName) {
    if (IsEmpty(Path)) {
        LogPrint("IsTarget_Allocate() pPathName is NULL or empty!");
        return NULL;
    }
    TargetEntry* entry = static_cast<TargetEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TargetEntry), QUILT_TAG_TARGET_REQUEST_ENTRY));
    if (entry == NULL) {
        return NULL;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Origin = TARGET_ORIGIN_REQUEST;
    entry->Length = LengthWithoutTrailingBackslash(Path);
    entry->pPath = CopyPath(Path, (ULONG)wcslen(Path), QUILT_TAG_TARGET_REQUEST_PATH);
    if (entry->pPath == NULL) {
        FreeEntry(entry);
        return NULL;
    }
    if (ProcessName != NULL) {
        entry->ProcessName = CopyProcessName(ProcessName);
        if (entry->ProcessName == NULL) {
            FreeEntry(entry);
            return NULL;
        }
    }
    return entry;
}

// ---- Matching -------------------------------------------------------------------------------

// One path component: where it starts and how many characters it has. Runs of
// backslashes count as one separator; leading ones are skipped.
static PCWSTR NextComponent(PCWSTR Text, ULONG* Length) {
    while (*Text == L'\\') {
        ++Text;
    }
    ULONG length = 0;
    while (Text[length] != L'\0' && Text[length] != L'\\') {
        ++length;
    }
    *Length = length;
    return Text;
}

// Matches one path component against one pattern component: without "*" the
// two are equal; with "*" the characters before its last "*" and those after
// it must match the start and the end of the component.
static BOOLEAN MatchComponent(PCWSTR Pattern, ULONG PatternLength, PCWSTR Name, ULONG NameLength) {
    LONG star = -1;
    for (ULONG i = 0; i < PatternLength; ++i) {
        if (Pattern[i] == L'*') {
            star = (LONG)i;
        }
    }
    if (star < 0) {
        return (BOOLEAN)(PatternLength == NameLength && _wcsnicmp(Pattern, Name, PatternLength) == 0);
    }
    if (NameLength < PatternLength - 1) {
        return FALSE;
    }
    ULONG head = (ULONG)star;
    if (head > 0 && _wcsnicmp(Pattern, Name, head) != 0) {
        return FALSE;
    }
    ULONG tail = PatternLength - head - 1;
    if (tail > 0 && _wcsnicmp(Pattern + head + 1, Name + NameLength - tail, tail) != 0) {
        return FALSE;
    }
    return TRUE;
}

BOOLEAN MatchPattern(BOOLEAN Ancestor, PCWSTR Pattern, PCWSTR Path) {
    if (Pattern == NULL || Path == NULL) {
        return FALSE;
    }
    for (;;) {
        ULONG patternLength = 0;
        ULONG nameLength = 0;
        Pattern = NextComponent(Pattern, &patternLength);
        Path = NextComponent(Path, &nameLength);
        if (patternLength == 0) {
            return TRUE;
        }
        if (nameLength == 0) {
            return Ancestor;
        }
        if (!MatchComponent(Pattern, patternLength, Path, nameLength)) {
            return FALSE;
        }
        Pattern += patternLength;
        Path += nameLength;
    }
}

// A work-folder path matches when the component after the generation folder
// begins with "!" (the copy of a protected file); the scan stops at Length.
static TargetEntry* MatchWorkFolderPath(PCWSTR Path, LONG Length) {
    ULONG backslashes = 0;
    for (LONG i = WORK_FOLDER_NAME_CHARS; i < Length; ++i) {
        if (Path[i] != L'\\') {
            continue;
        }
        if (++backslashes == 2) {
            return Path[i + 1] == L'!' ? &g_WorkCopyTarget : NULL;
        }
    }
    return NULL;
}

// The rules for an entry without wildcard: the path is the entry's path, lies
// inside the entry's folder, or (marked entries) is a folder above it.
static BOOLEAN MatchPlainEntry(const TargetEntry* Entry, PCWSTR Path, LONG PathLength) {
    if (_wcsicmp(Path, Entry->pPath) == 0) {
        return TRUE;
    }
    if (IsPrefixFolder(Entry->pPath, Entry->Length, Path)) {
        return TRUE;
    }
    return (BOOLEAN)(Entry->Marked && PathLength > 1 && _wcsnicmp(Path, Entry->pPath, (SIZE_T)PathLength) == 0 &&
                     Entry->pPath[PathLength] == L'\\');
}

static BOOLEAN MatchEntry(const TargetEntry* Entry, PCWSTR Path, LONG PathLength) {
    if (Entry->Wildcard) {
        return MatchPattern((BOOLEAN)(Entry->Marked != 0), Entry->pPath, Path);
    }
    return MatchPlainEntry(Entry, Path, PathLength);
}

TargetEntry* IsTarget(TargetEntry* First, PCWSTR Path, PCSTR ProcessName) {
    if (First == NULL || Path == NULL) {
        return NULL;
    }
    if (Path[0] == L'\0') {
        LogPrint("IsTarget() path is empty!");
        return NULL;
    }
    LONG length = LengthWithoutTrailingBackslash(Path);
    if (_wcsnicmp(Path, g_WorkFolderName, WORK_FOLDER_NAME_CHARS) == 0) {
        return MatchWorkFolderPath(Path, length);
    }
    for (TargetEntry* entry = First; entry != NULL; entry = entry->Next) {
        if (entry->pPath == NULL || !AppliesToProcess(entry, ProcessName)) {
            continue;
        }
        if (MatchEntry(entry, Path, length)) {
            return entry;
        }
    }
    return NULL;
}

TargetEntry* IsTargetLocked(TargetEntry* First, PCWSTR Path) {
    AcquireExclusive(&g_Quilt.TargetListLock);
    TargetEntry* entry = IsTarget(First, Path, NULL);
    ReleaseExclusive(&g_Quilt.TargetListLock);
    return entry;
}

// ---- List changes ---------------------------------------------------------------------------

// An entry covers a path it would add nothing to: the same path, or a folder
// that holds it. The entry's path is taken without its last character, so
// that a folder listed with its trailing backslash covers its contents.
//
// An entry tied to a process covers only requests for that process; an entry
// without one covers every request. (Matching process names alone, a request
// for every process would be dropped when one process had the path already.)
static BOOLEAN Covers(const TargetEntry* Entry, PCWSTR Path, PCSTR ProcessName) {
    if (Entry->ProcessName != NULL && (ProcessName == NULL || !ProcessNamesEqual(Entry->ProcessName, ProcessName))) {
        return FALSE;
    }
    if (_wcsicmp(Entry->pPath, Path) == 0) {
        return TRUE;
    }
    return IsPrefixFolder(Entry->pPath, (LONG)wcslen(Entry->pPath) - 1, Path);
}

// The link that points at the first entry covering Path, or NULL.
static TargetEntry** FindCoveringLink(PCWSTR Path, TargetEntry** List, PCSTR ProcessName) {
    for (TargetEntry** link = List; *link != NULL; link = &(*link)->Next) {
        TargetEntry* entry = *link;
        if (IsEmpty(entry->pPath)) {
            LogPrint("IsTarget_AddList() pTargets->pPath is NULL or empty!");
            continue;
        }
        if (Covers(entry, Path, ProcessName)) {
            return link;
        }
    }
    return NULL;
}

BOOLEAN IsTarget_AddList(PCWSTR Path, TargetEntry** List, PCSTR ProcessName) {
    if (List == NULL) {
        return FALSE;
    }
    TargetEntry** link = FindCoveringLink(Path, List, ProcessName);
    if (link != NULL && !(*link)->Marked) {
        return TRUE;
    }
    TargetEntry* entry = IsTarget_Allocate(Path, ProcessName);
    if (entry == NULL) {
        return FALSE;
    }
    // Before a marked covering entry, so that the request entry is found
    // first; otherwise at the head of the list.
    TargetEntry** insertAt = link != NULL ? link : List;
    entry->Next = *insertAt;
    *insertAt = entry;
    return TRUE;
}

static BOOLEAN SameProcess(const TargetEntry* Entry, PCSTR ProcessName) {
    if (Entry->ProcessName == NULL || ProcessName == NULL) {
        return (BOOLEAN)(Entry->ProcessName == NULL && ProcessName == NULL);
    }
    return ProcessNamesEqual(Entry->ProcessName, ProcessName);
}

BOOLEAN IsTarget_RemoveList(PCWSTR Path, TargetEntry** List, PCSTR ProcessName) {
    if (List == NULL || Path == NULL) {
        return FALSE;
    }
    for (TargetEntry** link = List; *link != NULL; link = &(*link)->Next) {
        TargetEntry* entry = *link;
        if (entry->pPath != NULL && _wcsicmp(entry->pPath, Path) == 0 && SameProcess(entry, ProcessName)) {
            *link = entry->Next;
            FreeEntry(entry);
            return TRUE;
        }
    }
    return FALSE;
}

// ---- Building from text -----------------------------------------------------------------------

// One line of a target text, without its line feed and without the carriage
// return before it.
struct TextLine {
    PCWSTR Start;
    ULONG Length;
};

// The line starting at Text[*Position]; advances *Position past its line feed.
static TextLine ReadLine(PCWSTR Text, ULONG Length, ULONG* Position) {
    TextLine line = {Text + *Position, 0};
    ULONG end = *Position;
    while (end < Length && Text[end] != L'\n') {
        ++end;
    }
    line.Length = end - *Position;
    if (line.Length > 0 && line.Start[line.Length - 1] == L'\r') {
        --line.Length;
    }
    *Position = end < Length ? end + 1 : end;
    return line;
}

// "0" or "1", the drive's upper-case letter, ":" and "\", then the path.
static BOOLEAN LineNamesDrive(const TextLine& Line, ULONG DriveIndex) {
    if (Line.Length <= 3 || (Line.Start[0] != L'0' && Line.Start[0] != L'1')) {
        return FALSE;
    }
    return (BOOLEAN)(Line.Start[1] == (WCHAR)(L'A' + DriveIndex) && Line.Start[2] == L':' && Line.Start[3] == L'\\');
}

static BOOLEAN LineHasWildcard(const TextLine& Line) {
    for (ULONG i = 0; i < Line.Length; ++i) {
        if (Line.Start[i] == L'*') {
            return TRUE;
        }
    }
    return FALSE;
}

static TargetEntry* EntryFromLine(const TextLine& Line) {
    TargetEntry* entry = static_cast<TargetEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TargetEntry), QUILT_TAG_TARGET_TEXT_ENTRY));
    if (entry == NULL) {
        return NULL;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Origin = TARGET_ORIGIN_TEXT;
    entry->Marked = (UCHAR)(Line.Start[0] == L'1');
    entry->Wildcard = (UCHAR)LineHasWildcard(Line);
    entry->pPath = CopyPath(Line.Start + 3, Line.Length - 3, QUILT_TAG_TARGET_TEXT_PATH);
    if (entry->pPath == NULL) {
        FreeEntry(entry);
        return NULL;
    }
    entry->Length = LengthWithoutTrailingBackslash(entry->pPath);
    return entry;
}

LONG BuildTargetList(PCWSTR Text, ULONG Length, ULONG DriveIndex, TargetEntry** List) {
    if (Text == NULL || List == NULL) {
        return -1;
    }
    TargetListFree(List);
    TargetEntry** tail = List;
    LONG count = 0;
    ULONG position = 1;  // past the byte-order mark
    while (position < Length) {
        TextLine line = ReadLine(Text, Length, &position);
        if (!LineNamesDrive(line, DriveIndex)) {
            continue;
        }
        TargetEntry* entry = EntryFromLine(line);
        if (entry == NULL) {
            TargetListFree(List);
            return -1;
        }
        *tail = entry;
        tail = &entry->Next;
        ++count;
    }
    return count;
}
