// File-state records and their tables. Locking: see store_lock.h.
#include "store/file_state.h"

#include "common/path_buffer.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "store/block_pool.h"
#include "store/hash_table.h"
#include "store/path_components.h"
#include "store/path_mapping.h"
#include "store/store_lock.h"

#define QUILT_TAG_TABLE_STACK QUILT_TAG('Q', 'u', 'B', 'S')  // deep-path stacks of FileStateRemovePath

// Names in log lines are cut to this many characters.
#define LOGGED_NAME_CHARS 260

namespace {

// A counted component; not necessarily NUL-terminated.
struct CountedName {
    PCWSTR Text;
    ULONG Length;
};

// Two characters equal ignoring case, as _wcsnicmp compares them (on their
// lower-case forms); ASCII is folded inline, the rest by towlower. Chains of a
// large directory are long, and this is the whole cost of walking them.
inline BOOLEAN CharactersEqualIgnoringCase(WCHAR A, WCHAR B) {
    if (A == B) {
        return TRUE;
    }
    if (A < 0x80 && B < 0x80) {
        if (A >= L'A' && A <= L'Z') A = (WCHAR)(A + (L'a' - L'A'));
        if (B >= L'A' && B <= L'Z') B = (WCHAR)(B + (L'a' - L'A'));
        return A == B;
    }
    return towlower(A) == towlower(B);
}

// A stored name (NUL-terminated) equals a counted one (without NULs), ignoring
// case.
BOOLEAN StoredNameEquals(PCWSTR Stored, const CountedName* Name) {
    for (ULONG index = 0; index < Name->Length; index++) {
        if (Stored[index] == L'\0' || !CharactersEqualIgnoringCase(Stored[index], Name->Text[index])) {
            return FALSE;
        }
    }
    return Stored[Name->Length] == L'\0';
}

// The name match of the name tables: long or short name, ignoring case.
BOOLEAN MatchStateName(const VOID* Payload, const VOID* Key) {
    const FileStateRecord* state = static_cast<const FileStateRecord*>(Payload);
    const CountedName* name = static_cast<const CountedName*>(Key);
    if (state->Magic != STORE_MAGIC_FILE_STATE || name->Length == 0) {
        return FALSE;
    }
    if (StoredNameEquals(state->LongName, name)) {
        return TRUE;
    }
    return name->Length <= FILE_STATE_SHORT_NAME_CHARS && StoredNameEquals(state->ShortName, name);
}

// Matches one record by identity (its payload address), for removals of a
// record already found.
BOOLEAN MatchStateRecord(const VOID* Payload, const VOID* Key) {
    return Payload == Key;
}

// A NUL-terminated copy of a counted name for a log line.
struct LoggedName {
    WCHAR Text[LOGGED_NAME_CHARS];

    explicit LoggedName(const CountedName* Name) {
        ULONG length = Name->Length < LOGGED_NAME_CHARS - 1 ? Name->Length : LOGGED_NAME_CHARS - 1;
        RtlCopyMemory(Text, Name->Text, length * sizeof(WCHAR));
        Text[length] = L'\0';
    }
};

// A record sized for StoredLength characters may take a name of NewLength
// characters in place when it needs the same number of units: its size must
// stay computable from the name it holds (removal frees by that size).
BOOLEAN NameFitsRecord(ULONG StoredLength, ULONG NewLength) {
    return NewLength <= StoredLength &&
           StoreUnitsFor(HASH_ITEM_HEADER_BYTES + FileStateRecordBytes(NewLength)) ==
               StoreUnitsFor(HASH_ITEM_HEADER_BYTES + FileStateRecordBytes(StoredLength));
}

VOID WriteShortName(FileStateRecord* State, PCWSTR ShortName) {
    RtlZeroMemory(State->ShortName, sizeof(State->ShortName));
    if (ShortName == NULL) {
        return;
    }
    for (ULONG index = 0; index < FILE_STATE_SHORT_NAME_CHARS && ShortName[index] != L'\0'; index++) {
        State->ShortName[index] = ShortName[index];
    }
}

VOID WriteLongName(FileStateRecord* State, const CountedName* Name) {
    RtlCopyMemory(State->LongName, Name->Text, Name->Length * sizeof(WCHAR));
    State->LongName[Name->Length] = L'\0';
}

// Removes a record found in Table, freeing it by the size of its stored name.
VOID RemoveStateRecord(VolumeContext* Volume, BLOCK_ADDRESS Table, BLOCK_ADDRESS Record) {
    FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, Record, STORE_MAGIC_FILE_STATE);
    if (state == NULL) {
        return;
    }
    ULONG length = (ULONG)wcslen(state->LongName);
    CountedName name = {state->LongName, length};
    FileBlockHashRemove(Volume, Table, FileStateHashNameCounted(name.Text, name.Length), MatchStateRecord, state,
                        FileStateRecordBytes(length));
}

// The tables visited by FileStateRemovePath, deepest last. Shallow paths use
// the inline slots; deeper ones spill into pool.
class TableStack {
public:
    TableStack() : m_Items(m_Inline), m_Count(0), m_Capacity(RTL_NUMBER_OF(m_Inline)) {}
    ~TableStack() {
        if (m_Items != m_Inline) {
            ExFreePoolWithTag(m_Items, QUILT_TAG_TABLE_STACK);
        }
    }

    TableStack(const TableStack&) = delete;
    TableStack& operator=(const TableStack&) = delete;

    BOOLEAN Push(BLOCK_ADDRESS Table) {
        if (m_Count == m_Capacity && !Grow()) {
            return FALSE;
        }
        m_Items[m_Count++] = Table;
        return TRUE;
    }
    VOID Pop() { m_Count--; }
    BLOCK_ADDRESS Top() const { return m_Items[m_Count - 1]; }
    ULONG Count() const { return m_Count; }

private:
    BOOLEAN Grow() {
        ULONG capacity = m_Capacity * 2;
        BLOCK_ADDRESS* items = static_cast<BLOCK_ADDRESS*>(
            ExAllocatePoolWithTag(NonPagedPool, capacity * sizeof(BLOCK_ADDRESS), QUILT_TAG_TABLE_STACK));
        if (items == NULL) {
            return FALSE;
        }
        RtlCopyMemory(items, m_Items, m_Count * sizeof(BLOCK_ADDRESS));
        if (m_Items != m_Inline) {
            ExFreePoolWithTag(m_Items, QUILT_TAG_TABLE_STACK);
        }
        m_Items = items;
        m_Capacity = capacity;
        return TRUE;
    }

    BLOCK_ADDRESS m_Inline[32];
    BLOCK_ADDRESS* m_Items;
    ULONG m_Count;
    ULONG m_Capacity;
};

// Pruning after a removal: while the table on top of the stack (the one the
// removed record lived in) is a child table that nobody walks and that is
// empty, free it and unhook it from its directory; a directory left with no
// flag but 0x0008 is removed from its own table in turn.
VOID PruneEmptyTables(VolumeContext* Volume, TableStack* Stack, BLOCK_ADDRESS Parent) {
    while (Stack->Count() > 1) {
        BLOCK_ADDRESS tableAddress = Stack->Top();
        HashTableRecord* table = StoreHashTable(Volume, tableAddress);
        FileStateRecord* directory = StoreRecord<FileStateRecord>(Volume, Parent, STORE_MAGIC_FILE_STATE);
        if (table == NULL || directory == NULL || directory->ChildTable != tableAddress) {
            return;
        }
        if (table->WalkerCount != 0 || !StoreHashTableEmpty(table)) {
            return;
        }
        FileBlockFree(Volume, tableAddress, HASH_TABLE_BYTES(table->BucketCount));
        directory->ChildTable = 0;
        if ((directory->Flags & ~FILE_STATE_DIRECTORY) != 0) {
            return;  // the directory keeps FILE_STATE_DIRECTORY for a later child table
        }
        Stack->Pop();
        BLOCK_ADDRESS grandParent = directory->Parent;
        RemoveStateRecord(Volume, Stack->Top(), Parent);
        Parent = grandParent;
    }
}

VOID RemovePathCounted(VolumeContext* Volume, PCWSTR Path, ULONG Length, ULONG Type) {
    StoreLockScope lock;
    BLOCK_ADDRESS table = FileStateGetTable(Volume, Type);
    if (table == 0) {
        return;
    }
    PathComponents components(Path, Length);
    ULONG start = 0;
    ULONG length = 0;
    if (!components.Next(&start, &length)) {
        return;  // the root is no record of the name tables
    }
    TableStack stack;
    for (;;) {
        if (!stack.Push(table)) {
            return;
        }
        BLOCK_ADDRESS record = FileStateLookupCounted(Volume, table, Path + start, length);
        FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, record, STORE_MAGIC_FILE_STATE);
        if (state == NULL) {
            return;
        }
        if (components.Next(&start, &length)) {
            if ((state->Flags & FILE_STATE_DIRECTORY) == 0 || state->ChildTable == 0) {
                return;  // the leaf is not tracked; its tracked ancestor stays
            }
            table = state->ChildTable;
            continue;
        }
        BLOCK_ADDRESS parent = state->Parent;
        RemoveStateRecord(Volume, table, record);
        PruneEmptyTables(Volume, &stack, parent);
        return;
    }
}

VOID FreeAttributeRecord(VolumeContext* Volume, BLOCK_ADDRESS Address) {
    if (StoreRecord<FileAttributeRecord>(Volume, Address, STORE_MAGIC_ATTRIBUTES) != NULL) {
        FileBlockFree(Volume, Address, sizeof(FileAttributeRecord));
    }
}

VOID FreeSecurityRecord(VolumeContext* Volume, BLOCK_ADDRESS Address) {
    SecurityRecord* security = StoreRecord<SecurityRecord>(Volume, Address, STORE_MAGIC_SECURITY);
    if (security != NULL) {
        FileBlockFree(Volume, Address, SECURITY_RECORD_HEADER_BYTES + security->Capacity);
    }
}

// Reads a stored path into Buffer (PATH_BUFFER_CHARS + 1 characters). Checked
// before anything is copied, so that Buffer stays as it was unless a path
// beginning with a backslash comes out. Its length in characters, 0 if none.
ULONG ReadStoredPath(VolumeContext* Volume, BLOCK_ADDRESS Chain, PWSTR Buffer) {
    const ULONG capacity = PATH_BUFFER_CHARS * sizeof(WCHAR);  // room for the terminator
    DataChunk* first = StoreRecord<DataChunk>(Volume, Chain, STORE_MAGIC_DATA);
    if (first == NULL || first->Remaining < sizeof(WCHAR) || first->Remaining > capacity ||
        first->PayloadLength < sizeof(WCHAR)) {
        return 0;
    }
    WCHAR leading;
    RtlCopyMemory(&leading, first->Payload, sizeof(leading));
    if (leading != L'\\') {
        return 0;
    }
    ULONG bytes = FileBlockGetData(Volume, Chain, Buffer, capacity);
    if (bytes == 0) {
        Buffer[0] = L'\0';  // damaged chain: what was copied is no path
        return 0;
    }
    Buffer[bytes / sizeof(WCHAR)] = L'\0';
    return bytes / sizeof(WCHAR);
}

// The part of UpdateFlag types 2 and 3 that removes a name created through the
// volume: its file entry forgets it, its stored data goes, and the path's
// records are removed from both name tables.
VOID RemoveDeletedState(VolumeContext* Volume, FileStateRecord* State, USHORT OldFlags, PCWSTR Path,
                        PCWSTR SecondPath) {
    if (State->FileEntry != 0) {
        FileEntryRecord* entry = StoreRecord<FileEntryRecord>(Volume, State->FileEntry, STORE_MAGIC_FILE_ENTRY);
        if (entry != NULL) {
            entry->State = 0;
        } else {
            CHAR process[16];
            LogPrint("FileStateUpdateFlag() Invalid data access at %x Process=%16s Path=%S", State->FileEntry,
                     GetCurrentProcessName(process), Path);
        }
    }
    FileBlockFreeData(Volume, State->AlternatePath);
    FileBlockFreeData(Volume, State->ContentPath);
    State->AlternatePath = 0;
    State->ContentPath = 0;
    // The record goes: its attribute and security records go with it.
    if ((OldFlags & FILE_STATE_HAS_ATTRIBUTES) != 0) {
        FreeAttributeRecord(Volume, State->Attributes);
    }
    if ((OldFlags & FILE_STATE_HAS_SECURITY) != 0) {
        FreeSecurityRecord(Volume, State->Security);
    }
    State->Attributes = 0;
    State->Security = 0;
    FileStateRemovePath(Volume, Path, STORE_TABLE_VOLUME_PATHS);
    if (SecondPath != NULL) {
        FileStateRemovePath(Volume, SecondPath, STORE_TABLE_PHYSICAL_PATHS);
    }
}

VOID ClearStateLinks(FileStateRecord* State) {
    State->FileEntry = 0;
    State->AlternatePath = 0;
    State->ContentPath = 0;
    State->Attributes = 0;
    State->Security = 0;
    State->ChildTable = 0;
    State->FileIndex = 0;
}

VOID TakeOver(FileStateRecord* State, const FileStateRecord* Source, BOOLEAN Present) {
    if (Present) {
        State->Flags |= FILE_STATE_PRESENT;
        if (Source != NULL) {
            State->Flags |= Source->Flags & ~(FILE_STATE_HIDDEN | FILE_STATE_PRESENT);
        }
    }
    if (Source == NULL) {
        return;
    }
    State->FileEntry = Source->FileEntry;
    State->FileIndex = Source->FileIndex;
    State->AlternatePath = Source->AlternatePath;
    State->ContentPath = Source->ContentPath;
    State->Attributes = Source->Attributes;
    State->Security = Source->Security;
    State->ChildTable = Source->ChildTable;
}

// The flags after a deletion: a replaced original stays hidden; a name that
// only existed through the volume leaves no trace; an untouched name is hidden
// when it lies under protection.
USHORT FlagsAfterDeletion(USHORT Flags, BOOLEAN Protected) {
    if ((Flags & FILE_STATE_PRESENT) != 0) {
        return (Flags & FILE_STATE_HIDDEN) != 0 ? FILE_STATE_HIDDEN : 0;
    }
    return Protected ? FILE_STATE_HIDDEN : 0;
}

}  // namespace

// ---- Names and tables ---------------------------------------------------------------

USHORT FileStateHashNameCounted(PCWSTR Name, ULONG Length) {
    if (Name == NULL || Length == 0) {
        return 0;
    }
    ULONG bytes = Length * sizeof(WCHAR);
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(Name);
    name.Length = (USHORT)(bytes < 0xFFFE ? bytes : 0xFFFE);
    name.MaximumLength = name.Length;
    GENERATE_NAME_CONTEXT context;
    RtlZeroMemory(&context, sizeof(context));
    WCHAR shortName[FILE_STATE_SHORT_NAME_CHARS];
    UNICODE_STRING generated;
    generated.Buffer = shortName;
    generated.Length = 0;
    generated.MaximumLength = sizeof(shortName);
    RtlGenerate8dot3Name(&name, TRUE, &context, &generated);
    return generated.Length >= sizeof(WCHAR) ? (USHORT)shortName[0] : 0;
}

USHORT FileStateHashName(PCWSTR Name) {
    return Name != NULL ? FileStateHashNameCounted(Name, (ULONG)wcslen(Name)) : 0;
}

BLOCK_ADDRESS FileStateGetTable(VolumeContext* Volume, ULONG Type) {
    StoreHeader* header = StoreHeaderOf(Volume);
    if (header == NULL) {
        return 0;
    }
    switch (Type) {
    case STORE_TABLE_VOLUME_PATHS:
        return header->NameTable1;
    case STORE_TABLE_PHYSICAL_PATHS:
        return header->NameTable2;
    default:
        return 0;
    }
}

BLOCK_ADDRESS FileStateLookupCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name, ULONG Length) {
    if (!StoreIsActive(Volume) || Table == 0 || Name == NULL || Length == 0) {
        return 0;
    }
    CountedName name = {Name, Length};
    BLOCK_ADDRESS found =
        FileBlockHashLookup(Volume, Table, FileStateHashNameCounted(Name, Length), MatchStateName, &name);
    if (found == STORE_INVALID_TABLE) {
        LoggedName logged(&name);
        LogPrint("FileStateLookup() Invalid hash table! address=%x name=%S", Table, logged.Text);
        return 0;
    }
    return found;
}

BLOCK_ADDRESS FileStateLookup(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name) {
    return Name != NULL ? FileStateLookupCounted(Volume, Table, Name, (ULONG)wcslen(Name)) : 0;
}

// Find or add (or, for a name known to be absent, add) the record and write
// its magic, parent and names.
static BLOCK_ADDRESS AddEntry(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName, ULONG LongLength,
                              PCWSTR ShortName, BLOCK_ADDRESS Parent, BOOLEAN KnownAbsent) {
    if (!StoreIsActive(Volume) || Table == 0 || LongName == NULL || LongLength == 0 ||
        LongLength > PATH_BUFFER_CHARS) {
        return 0;
    }
    CountedName name = {LongName, LongLength};
    ULONG hash = FileStateHashNameCounted(LongName, LongLength);
    ULONG size = FileStateRecordBytes(LongLength);
    StoreLockScope lock;
    BLOCK_ADDRESS record = KnownAbsent ? FileBlockHashInsert(Volume, Table, hash, size)
                                       : FileBlockHashAdd(Volume, Table, hash, size, MatchStateName, &name);
    if (record == STORE_INVALID_TABLE) {
        LoggedName logged(&name);
        LogPrint("FileStateAddEntry() Invalid hash table! address=%x name=%S", Table, logged.Text);
        return 0;
    }
    if (record == 0) {
        return 0;
    }
    FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, record, 0);
    if (state == NULL) {
        LoggedName logged(&name);
        LogPrint("FileStateAddEntry() Add file state failed! Name=%S Address=%x", logged.Text, record);
        return 0;
    }
    BOOLEAN created = state->Magic == 0;  // a new item reads as zeros
    state->Magic = STORE_MAGIC_FILE_STATE;
    state->Parent = Parent;
    WriteShortName(state, ShortName);
    if (created || NameFitsRecord((ULONG)wcslen(state->LongName), LongLength)) {
        WriteLongName(state, &name);
    }
    return record;
}

BLOCK_ADDRESS FileStateAddEntryCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName,
                                       ULONG LongLength, PCWSTR ShortName, BLOCK_ADDRESS Parent) {
    return AddEntry(Volume, Table, LongName, LongLength, ShortName, Parent, FALSE);
}

BLOCK_ADDRESS FileStateAddNewEntryCounted(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName,
                                          ULONG LongLength, PCWSTR ShortName, BLOCK_ADDRESS Parent) {
    return AddEntry(Volume, Table, LongName, LongLength, ShortName, Parent, TRUE);
}

BLOCK_ADDRESS FileStateAddEntry(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR LongName, PCWSTR ShortName,
                                BLOCK_ADDRESS Parent) {
    if (LongName == NULL) {
        return 0;
    }
    return FileStateAddEntryCounted(Volume, Table, LongName, (ULONG)wcslen(LongName), ShortName, Parent);
}

VOID FileStateRemove(VolumeContext* Volume, BLOCK_ADDRESS Table, PCWSTR Name) {
    if (!StoreIsActive(Volume) || Table == 0 || Name == NULL) {
        return;
    }
    ULONG length = (ULONG)wcslen(Name);
    CountedName name = {Name, length};
    FileBlockHashRemove(Volume, Table, FileStateHashNameCounted(Name, length), MatchStateName, &name,
                        FileStateRecordBytes(length));
}

// ---- Paths ----------------------------------------------------------------------------

BOOLEAN FileStateGetPath(VolumeContext* Volume, BLOCK_ADDRESS Record, PWSTR Buffer) {
    if (!StoreIsActive(Volume) || Record == 0 || Buffer == NULL) {
        return FALSE;
    }
    StoreLockScope lock;
    ULONG position = PATH_BUFFER_CHARS;
    Buffer[position] = L'\0';
    // Filled backwards from the end; every component costs at least one
    // position, so even a looping parent chain ends.
    for (BLOCK_ADDRESS address = Record; address != 0;) {
        FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, address, STORE_MAGIC_FILE_STATE);
        if (state == NULL) {
            return FALSE;
        }
        ULONG length = (ULONG)wcslen(state->LongName);
        if (position < length + 1) {
            return FALSE;
        }
        position -= length;
        RtlCopyMemory(Buffer + position, state->LongName, length * sizeof(WCHAR));
        Buffer[--position] = L'\\';
        address = state->Parent;
    }
    RtlMoveMemory(Buffer, Buffer + position, (PATH_BUFFER_CHARS - position + 1) * sizeof(WCHAR));
    return TRUE;
}

VOID FileStateRemovePath(VolumeContext* Volume, PCWSTR Path, ULONG Type) {
    if (!StoreIsActive(Volume) || Path == NULL) {
        return;
    }
    RemovePathCounted(Volume, Path, (ULONG)wcslen(Path), Type);
}

VOID FileStateRemovePathCounted(VolumeContext* Volume, PCUNICODE_STRING Path) {
    if (!StoreIsActive(Volume) || Path == NULL || Path->Buffer == NULL) {
        return;
    }
    ULONG length = Path->Length / sizeof(WCHAR);
    if (length > PATH_BUFFER_CHARS) {
        return;
    }
    RemovePathCounted(Volume, Path->Buffer, length, STORE_TABLE_PHYSICAL_PATHS);
}

BLOCK_ADDRESS FileStateSetLink(VolumeContext* Volume, PCWSTR Path, BLOCK_ADDRESS Target) {
    if (!StoreIsActive(Volume) || Path == NULL) {
        return 0;
    }
    BLOCK_ADDRESS record = FileStatePathAdd(Volume, Path, STORE_TABLE_PHYSICAL_PATHS);
    StoreLockScope lock;
    FileStateRecord* state = StoreRecord<FileStateRecord>(Volume, record, STORE_MAGIC_FILE_STATE);
    if (state == NULL) {
        return 0;
    }
    state->LinkedState = Target;
    return record;
}

PWSTR FileStateGetRedirectPath(VolumeContext* Volume, const FileStateRecord* Record, PWSTR Buffer,
                               PBOOLEAN Produced) {
    if (Produced != NULL) {
        *Produced = FALSE;
    }
    if (!StoreIsActive(Volume) || Record == NULL || Buffer == NULL) {
        return NULL;
    }
    StoreLockScope lock;
    BLOCK_ADDRESS chain = Record->ContentPath != 0 ? Record->ContentPath : Record->AlternatePath;
    if (chain == 0 || ReadStoredPath(Volume, chain, Buffer) == 0) {
        return NULL;
    }
    if (Produced != NULL) {
        *Produced = TRUE;
    }
    return Buffer;
}

VOID FileStateRefreshName(FileStateRecord* Record, PCWSTR Path) {
    if (Record == NULL || Path == NULL) {
        return;
    }
    ULONG length = (ULONG)wcslen(Path);
    if (length > 0 && Path[length - 1] == L'\\') {
        length--;  // one trailing backslash; the root path itself ends up empty
    }
    ULONG start = 0;
    if (Path[0] == L'\\') {
        for (ULONG position = 0; position < length; position++) {
            if (Path[position] == L'\\') start = position + 1;
        }
    }
    CountedName component = {Path + start, length - start};
    if (component.Length == 0) {
        return;
    }
    StoreLockScope lock;
    if (Record->Magic != STORE_MAGIC_FILE_STATE) {
        return;
    }
    CountedName head = {component.Text, component.Length < FILE_STATE_SHORT_NAME_CHARS
                                            ? component.Length
                                            : FILE_STATE_SHORT_NAME_CHARS};
    if (StoredNameEquals(Record->ShortName, &head)) {
        return;  // reached by its short name: the long spelling is unknown here
    }
    if (NameFitsRecord((ULONG)wcslen(Record->LongName), component.Length)) {
        WriteLongName(Record, &component);
    }
}

VOID FileStateUpdateFlag(VolumeContext* Volume, ULONG Type, FileStateRecord* Record, const FileStateRecord* Source,
                         BOOLEAN Flag, PCWSTR Path, PCWSTR SecondPath) {
    if (!StoreIsActive(Volume) || Record == NULL) {
        return;
    }
    StoreLockScope lock;
    USHORT flags = Record->Flags;
    switch (Type) {
    case FILE_STATE_UPDATE_TAKE_OVER:
        TakeOver(Record, Source, Flag);
        return;
    case FILE_STATE_UPDATE_CREATED:
        if (Flag && (flags & FILE_STATE_PRESENT) == 0) {
            Record->Flags = flags | FILE_STATE_HIDDEN | FILE_STATE_PRESENT;
        }
        return;
    case FILE_STATE_UPDATE_DELETED:
    case FILE_STATE_UPDATE_HIDDEN:
        Record->Flags = FlagsAfterDeletion(flags, Flag);
        if (Record->Flags == 0 && Path != NULL && Type == FILE_STATE_UPDATE_DELETED) {
            RemoveDeletedState(Volume, Record, flags, Path, SecondPath);
        } else {
            ClearStateLinks(Record);
        }
        return;
    default:
        return;
    }
}

VOID FileStateEnumerateChildren(VolumeContext* Volume, BLOCK_ADDRESS ChildTable, FILE_STATE_VISITOR Visitor,
                                PVOID Context) {
    HashTableRecord* table = StoreHashTable(Volume, ChildTable);
    if (table == NULL || Visitor == NULL) {
        return;
    }
    for (ULONG bucket = 0; bucket < table->BucketCount; bucket++) {
        BLOCK_ADDRESS item = table->Buckets[bucket];
        while (item != 0) {
            HashItem* record = StoreRecord<HashItem>(Volume, item, 0);
            if (record == NULL) {
                break;
            }
            BLOCK_ADDRESS next = record->Next;
            FileStateRecord* state = reinterpret_cast<FileStateRecord*>(record->Payload);
            if (state->Magic == STORE_MAGIC_FILE_STATE &&
                !Visitor(Volume, item + HASH_ITEM_HEADER_BYTES, state, Context)) {
                return;
            }
            item = next;
        }
    }
}
