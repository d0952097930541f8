// The path walks of the store. Locking: see store_lock.h.
#include "store/path_mapping.h"

#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_components.h"
#include "store/store_lock.h"

#define QUILT_TAG_DIRECTORY_QUERY QUILT_TAG('Q', 'u', 'B', 'Q')  // one directory entry of a walk

// One FILE_BOTH_DIR_INFORMATION entry with a name of up to 32,768 characters.
#define DIRECTORY_QUERY_BYTES 0x10060

namespace {

// The working copy of the path a walk builds: "\comp\comp...", without a
// trailing backslash (the root is the empty string). As long as nothing has
// been rewritten it is a prefix of the caller's path and lives there; it moves
// into storage of its own (the caller's output buffer when that is a separate
// path buffer, else a path buffer of its own) on the first rewrite, so that a
// lookup of a plain path allocates nothing.
class WorkingPath {
public:
    WorkingPath(PCWSTR Source, ULONG SourceLength, PWSTR External)
        : m_Source(Source), m_External(External), m_Storage(NULL), m_Length(0), m_ComponentStart(0) {
        if (m_External != NULL && Overlaps(m_External, Source, SourceLength)) {
            m_External = NULL;  // the output is the input: never write into what is still to be read
        }
    }

    WorkingPath(const WorkingPath&) = delete;
    WorkingPath& operator=(const WorkingPath&) = delete;

    // Appends "\" and the source's component at Start.
    BOOLEAN AppendComponent(ULONG Start, ULONG Length) {
        if (m_Storage == NULL && Start == m_Length + 1 && m_Source[m_Length] == L'\\') {
            m_ComponentStart = Start;
            m_Length = Start + Length;
            return TRUE;
        }
        if (!Materialize() || m_Length + 1 + Length > PATH_BUFFER_CHARS) {
            return FALSE;
        }
        m_Storage[m_Length] = L'\\';
        m_ComponentStart = m_Length + 1;
        RtlCopyMemory(m_Storage + m_ComponentStart, m_Source + Start, Length * sizeof(WCHAR));
        m_Length = m_ComponentStart + Length;
        m_Storage[m_Length] = L'\0';
        return TRUE;
    }

    // Replaces the last component.
    BOOLEAN ReplaceComponent(PCWSTR Text, ULONG Length) {
        if (!Materialize() || m_ComponentStart + Length > PATH_BUFFER_CHARS) {
            return FALSE;
        }
        RtlMoveMemory(m_Storage + m_ComponentStart, Text, Length * sizeof(WCHAR));
        m_Length = m_ComponentStart + Length;
        m_Storage[m_Length] = L'\0';
        return TRUE;
    }

    // Own storage, holding the working path; NULL when none can be had.
    PWSTR Materialize() {
        if (m_Storage != NULL) {
            return m_Storage;
        }
        m_Storage = m_External != NULL ? m_External : m_Owned.Allocate();
        if (m_Storage == NULL) {
            return NULL;
        }
        RtlCopyMemory(m_Storage, m_Source, m_Length * sizeof(WCHAR));
        m_Storage[m_Length] = L'\0';
        return m_Storage;
    }

    // After the storage was rewritten as a whole (a stored path): the walk
    // goes on after its end.
    VOID SetWhole() {
        ULONG length = (ULONG)wcslen(m_Storage);
        while (length > 0 && m_Storage[length - 1] == L'\\') {
            length--;
        }
        m_Storage[length] = L'\0';
        m_Length = length;
        m_ComponentStart = 0;
        for (ULONG position = 0; position < length; position++) {
            if (m_Storage[position] == L'\\') m_ComponentStart = position + 1;
        }
    }

    PWSTR Storage() const { return m_Storage; }
    PCWSTR Component() const { return (m_Storage != NULL ? m_Storage : m_Source) + m_ComponentStart; }
    ULONG ComponentLength() const { return m_Length - m_ComponentStart; }
    ULONG ComponentStart() const { return m_ComponentStart; }

    // Writes the working path (the root as "\") into Output.
    VOID CopyOut(PWSTR Output) const {
        if (Output == NULL) {
            return;
        }
        if (m_Length == 0) {
            Output[0] = L'\\';
            Output[1] = L'\0';
            return;
        }
        if (Output != m_Storage) {
            RtlMoveMemory(Output, m_Storage != NULL ? m_Storage : m_Source, m_Length * sizeof(WCHAR));
        }
        Output[m_Length] = L'\0';
    }

private:
    static BOOLEAN Overlaps(PCWSTR Buffer, PCWSTR Source, ULONG SourceLength) {
        ULONG_PTR bufferStart = (ULONG_PTR)Buffer;
        ULONG_PTR bufferEnd = bufferStart + PATH_BUFFER_BYTES;
        ULONG_PTR sourceStart = (ULONG_PTR)Source;
        ULONG_PTR sourceEnd = sourceStart + (SourceLength + 1) * sizeof(WCHAR);
        return bufferStart < sourceEnd && sourceStart < bufferEnd;
    }

    PCWSTR m_Source;
    PWSTR m_External;
    PWSTR m_Storage;
    PathBuffer m_Owned;
    ULONG m_Length;
    ULONG m_ComponentStart;
};

// The directory holding the working path's last component, as a NUL-terminated
// path, while the object lives (the working path must have storage).
class ParentDirectory {
public:
    explicit ParentDirectory(WorkingPath* Work) : m_Text(L"\\"), m_Cut(NULL), m_Saved(0) {
        if (Work->ComponentStart() > 1) {
            m_Cut = Work->Storage() + Work->ComponentStart() - 1;  // the backslash before the component
            m_Saved = *m_Cut;
            *m_Cut = L'\0';
            m_Text = Work->Storage();
        }
    }
    ~ParentDirectory() {
        if (m_Cut != NULL) {
            *m_Cut = m_Saved;
        }
    }

    ParentDirectory(const ParentDirectory&) = delete;
    ParentDirectory& operator=(const ParentDirectory&) = delete;

    PCWSTR Text() const { return m_Text; }

private:
    PCWSTR m_Text;
    PWCHAR m_Cut;
    WCHAR m_Saved;
};

// How a walk opens a directory to ask for one of its entries.
struct DirectoryOpen {
    ACCESS_MASK Access;
    ULONG Attributes;
    ULONG CreateOptions;
};

const DirectoryOpen kAddDirectoryOpen = {FILE_GENERIC_READ, FILE_ATTRIBUTE_DIRECTORY, FILE_DIRECTORY_FILE};
const DirectoryOpen kLookupDirectoryOpen = {
    SYNCHRONIZE | FILE_LIST_DIRECTORY, 0,
    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT};

// Asks the real directory for one entry by name. The buffer is allocated at
// the first query and kept for the walk. Called without the store lock.
class DirectoryQuery {
public:
    DirectoryQuery() : m_Buffer(NULL) {}
    ~DirectoryQuery() {
        if (m_Buffer != NULL) {
            ExFreePoolWithTag(m_Buffer, QUILT_TAG_DIRECTORY_QUERY);
        }
    }

    DirectoryQuery(const DirectoryQuery&) = delete;
    DirectoryQuery& operator=(const DirectoryQuery&) = delete;

    // The entry named Name (long or short name) in Directory; the entry is
    // valid until the next query.
    NTSTATUS Query(ULONG DriveIndex, PCWSTR Directory, PCWSTR Name, ULONG Length, const DirectoryOpen* Open,
                   PFILE_BOTH_DIR_INFORMATION* Entry) {
        if (m_Buffer == NULL) {
            m_Buffer = ExAllocatePoolWithTag(NonPagedPool, DIRECTORY_QUERY_BYTES, QUILT_TAG_DIRECTORY_QUERY);
            if (m_Buffer == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        LowerFileHolder directory;
        NTSTATUS status = directory.Open(Open->Access, DriveIndex, Directory, Open->Attributes,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, Open->CreateOptions);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        UNICODE_STRING filter;
        filter.Buffer = const_cast<PWSTR>(Name);
        filter.Length = (USHORT)(Length * sizeof(WCHAR));
        filter.MaximumLength = filter.Length;
        status = LowerQueryDirectory(LowerDeviceOfFileObject(directory.FileObject), directory.FileObject, m_Buffer,
                                     DIRECTORY_QUERY_BYTES, FileBothDirectoryInformation, &filter, TRUE, TRUE);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PFILE_BOTH_DIR_INFORMATION entry = static_cast<PFILE_BOTH_DIR_INFORMATION>(m_Buffer);
        // Only an entry that is the name asked for counts: a name with
        // wildcard characters would otherwise pick up another file's names.
        if (!EntryIsNamed(entry, Name, Length)) {
            return STATUS_NO_SUCH_FILE;
        }
        *Entry = entry;
        return STATUS_SUCCESS;
    }

private:
    static BOOLEAN EntryIsNamed(PFILE_BOTH_DIR_INFORMATION Entry, PCWSTR Name, ULONG Length) {
        ULONG maximumName = DIRECTORY_QUERY_BYTES - (ULONG)FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
        ULONG shortLength = (UCHAR)Entry->ShortNameLength / sizeof(WCHAR);
        if (Entry->FileNameLength > maximumName || shortLength > FILE_STATE_SHORT_NAME_CHARS) {
            return FALSE;
        }
        if (Entry->FileNameLength == Length * sizeof(WCHAR) && _wcsnicmp(Entry->FileName, Name, Length) == 0) {
            return TRUE;
        }
        return shortLength == Length && _wcsnicmp(Entry->ShortName, Name, Length) == 0;
    }

    PVOID m_Buffer;
};

// Opens Path below the protection the way a short-name candidate is probed.
NTSTATUS ProbeName(ULONG DriveIndex, PCWSTR Path) {
    LowerFileHolder file;
    return file.Open(FILE_READ_ATTRIBUTES, DriveIndex, Path, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
}

BOOLEAN HasStoredPath(const FileStateRecord* State) {
    return State->ContentPath != 0 || State->AlternatePath != 0;
}

// Rewrites the working path with the stored path of a record when it has one.
// FALSE only when the stored path was damaged while it was read.
BOOLEAN FollowStoredPath(VolumeContext* Volume, const FileStateRecord* State, WorkingPath* Work) {
    if (!HasStoredPath(State)) {
        return TRUE;
    }
    PWSTR storage = Work->Materialize();
    if (storage == NULL) {
        return FALSE;
    }
    BOOLEAN produced = FALSE;
    FileStateGetRedirectPath(Volume, State, storage, &produced);
    if (produced) {
        Work->SetWhole();
        return TRUE;
    }
    return storage[0] != L'\0';
}

// ---- FileStatePathAdd -------------------------------------------------------------------

class PathAddWalk {
public:
    PathAddWalk(VolumeContext* Volume, PCWSTR Path, ULONG Length, ULONG Type)
        : m_Volume(Volume), m_Source(Path), m_Type(Type), m_Components(Path, Length), m_Work(Path, Length, NULL) {}

    // The store lock is held.
    BLOCK_ADDRESS Run(BLOCK_ADDRESS Table) {
        ULONG start = 0;
        ULONG length = 0;
        if (!m_Components.Next(&start, &length)) {
            return 0;  // the root is no record of the name tables
        }
        BLOCK_ADDRESS parent = 0;
        for (;;) {
            if (!m_Work.AppendComponent(start, length)) {
                return 0;
            }
            TableWalkerHold walker;
            walker.Hold(m_Volume, Table);
            BLOCK_ADDRESS record =
                FileStateLookupCounted(m_Volume, Table, m_Work.Component(), m_Work.ComponentLength());
            if (record == 0) {
                record = AddComponent(Table, parent, start, length);
            }
            if (record == 0) {
                return 0;
            }
            parent = record;
            if (!m_Components.Next(&start, &length)) {
                return record;
            }
            Table = EnterDirectory(record);
            if (Table == 0) {
                return 0;
            }
        }
    }

private:
    BLOCK_ADDRESS AddComponent(BLOCK_ADDRESS Table, BLOCK_ADDRESS Parent, ULONG Start, ULONG Length) {
        WCHAR shortName[FILE_STATE_SHORT_NAME_CHARS + 1];
        RtlZeroMemory(shortName, sizeof(shortName));
        UNICODE_STRING component;
        component.Buffer = const_cast<PWSTR>(m_Source + Start);
        component.Length = (USHORT)(Length * sizeof(WCHAR));
        component.MaximumLength = component.Length;
        if (!RtlIsNameLegalDOS8Dot3(&component, NULL, NULL)) {
            if (!ResolveLongName(Table, Start, Length, shortName)) {
                return 0;
            }
        } else if (ComponentHasTilde(m_Source + Start, Length)) {
            if (!ResolveShortName(Start, Length, shortName)) {
                return 0;
            }
        } else {
            // A plain 8.3 name: the lock was held since the lookup missed.
            return FileStateAddNewEntryCounted(m_Volume, Table, m_Work.Component(), m_Work.ComponentLength(),
                                               shortName, Parent);
        }
        // The lock was released for the volume: another walk may have added the
        // name meanwhile (find or add), and a short name may have become the
        // real long name.
        return FileStateAddEntryCounted(m_Volume, Table, m_Work.Component(), m_Work.ComponentLength(), shortName,
                                        Parent);
    }

    // A long name: its short name on the volume, or for a name the volume
    // does not have yet, the first generated candidate free on the volume and
    // in the table. FALSE when the walk must fail.
    BOOLEAN ResolveLongName(BLOCK_ADDRESS Table, ULONG Start, ULONG Length, PWSTR ShortName) {
        if (m_Work.Materialize() == NULL) {
            return FALSE;
        }
        PFILE_BOTH_DIR_INFORMATION entry = NULL;
        NTSTATUS status = QueryComponent(&entry);
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(ShortName, entry->ShortName, (UCHAR)entry->ShortNameLength);
            return TRUE;
        }
        if (status == STATUS_NO_SUCH_FILE) {
            return GenerateShortName(Table, Start, Length, ShortName);
        }
        return TRUE;  // nothing known: no short name
    }

    // A possible short name: stored under the real long name when the volume
    // has it, and kept as the short name either way.
    BOOLEAN ResolveShortName(ULONG Start, ULONG Length, PWSTR ShortName) {
        ULONG given = Length < FILE_STATE_SHORT_NAME_CHARS ? Length : FILE_STATE_SHORT_NAME_CHARS;
        RtlCopyMemory(ShortName, m_Source + Start, given * sizeof(WCHAR));
        if (m_Work.Materialize() == NULL) {
            return FALSE;
        }
        PFILE_BOTH_DIR_INFORMATION entry = NULL;
        NTSTATUS status = QueryComponent(&entry);
        if (!NT_SUCCESS(status)) {
            return TRUE;
        }
        return m_Work.ReplaceComponent(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    }

    NTSTATUS QueryComponent(PFILE_BOTH_DIR_INFORMATION* Entry) {
        ParentDirectory directory(&m_Work);
        StoreUnlockScope unlock;
        return m_Query.Query(m_Volume->DriveIndex, directory.Text(), m_Work.Component(), m_Work.ComponentLength(),
                             &kAddDirectoryOpen, Entry);
    }

    // The numbered candidates of RtlGenerate8dot3Name, one context for the
    // whole loop. The working path holds each candidate while it is probed
    // and the component again afterwards.
    BOOLEAN GenerateShortName(BLOCK_ADDRESS Table, ULONG Start, ULONG Length, PWSTR ShortName) {
        UNICODE_STRING name;
        name.Buffer = const_cast<PWSTR>(m_Source + Start);
        name.Length = (USHORT)(Length * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        GENERATE_NAME_CONTEXT context;
        RtlZeroMemory(&context, sizeof(context));
        WCHAR candidate[FILE_STATE_SHORT_NAME_CHARS];
        WCHAR previous[FILE_STATE_SHORT_NAME_CHARS];
        ULONG previousLength = 0;
        BOOLEAN walkable = TRUE;
        for (ULONG attempt = 0; attempt < PATH_SHORT_NAME_CANDIDATES; attempt++) {
            UNICODE_STRING generated;
            generated.Buffer = candidate;
            generated.Length = 0;
            generated.MaximumLength = sizeof(candidate);
            RtlGenerate8dot3Name(&name, TRUE, &context, &generated);
            ULONG candidateLength = generated.Length / sizeof(WCHAR);
            if (candidateLength == 0 ||
                (candidateLength == previousLength && RtlEqualMemory(candidate, previous, generated.Length))) {
                break;  // the generator has nothing new
            }
            RtlCopyMemory(previous, candidate, generated.Length);
            previousLength = candidateLength;
            if (!m_Work.ReplaceComponent(candidate, candidateLength)) {
                walkable = FALSE;
                break;
            }
            NTSTATUS status;
            {
                StoreUnlockScope unlock;
                status = ProbeName(m_Volume->DriveIndex, m_Work.Storage());
            }
            if (status == STATUS_OBJECT_NAME_NOT_FOUND &&
                FileStateLookupCounted(m_Volume, Table, candidate, candidateLength) == 0) {
                RtlCopyMemory(ShortName, candidate, generated.Length);
                break;
            }
            if (status == STATUS_OBJECT_PATH_NOT_FOUND) {
                break;  // the directory itself is out of reach: no candidate can be confirmed
            }
        }
        return m_Work.ReplaceComponent(m_Source + Start, Length) && walkable;
    }

    // Before the next component: follow the directory's stored path (table 1)
    // and make sure it has a child table. The child table, 0 on failure.
    BLOCK_ADDRESS EnterDirectory(BLOCK_ADDRESS Record) {
        FileStateRecord* state = StoreRecord<FileStateRecord>(m_Volume, Record, STORE_MAGIC_FILE_STATE);
        if (state == NULL) {
            return 0;
        }
        if (m_Type == STORE_TABLE_VOLUME_PATHS && !FollowStoredPath(m_Volume, state, &m_Work)) {
            return 0;
        }
        if (state->ChildTable == 0) {
            BLOCK_ADDRESS child = FileBlockHashInit(m_Volume, BlockIndexOf(Record), STORE_NAME_TABLE_BUCKETS);
            if (child == 0) {
                return 0;
            }
            state->ChildTable = child;
            state->Flags |= FILE_STATE_DIRECTORY;
        }
        return state->ChildTable;
    }

    VolumeContext* m_Volume;
    PCWSTR m_Source;
    ULONG m_Type;
    PathComponents m_Components;
    WorkingPath m_Work;
    DirectoryQuery m_Query;
};

// ---- FileStatePathLookup -----------------------------------------------------------------

class PathLookupWalk {
public:
    PathLookupWalk(VolumeContext* Volume, PCWSTR Path, ULONG Length, PWSTR Output, ULONG Type, BOOLEAN Follow,
                   PBOOLEAN Junction)
        : m_Volume(Volume), m_Source(Path), m_Output(Output), m_Type(Type), m_Follow(Follow), m_Junction(Junction),
          m_Components(Path, Length), m_Work(Path, Length, Output), m_Status(PATH_WALK_TRACKED), m_Result(0),
          m_Tracking(TRUE) {}

    // The store lock is held. FALSE when the walk failed.
    BOOLEAN Run(BLOCK_ADDRESS Table) {
        ULONG start = 0;
        ULONG length = 0;
        while (m_Components.Next(&start, &length)) {
            if (!m_Work.AppendComponent(start, length)) {
                return FALSE;
            }
            BOOLEAN more = m_Components.HasMore();
            if (m_Tracking) {
                Step step = TrackComponent(&Table, more);
                if (step == StepFailed) return FALSE;
                if (step == StepEnd) break;
                if (step == StepFound) continue;
            }
            if (!ResolveUntracked(start, length)) {
                return FALSE;
            }
        }
        m_Work.CopyOut(m_Output);
        return TRUE;
    }

    UCHAR Status() const { return m_Status; }
    BLOCK_ADDRESS Result() const { return m_Result; }

private:
    enum Step { StepFound, StepNotFound, StepEnd, StepFailed };

    Step TrackComponent(BLOCK_ADDRESS* Table, BOOLEAN More) {
        PCWSTR component = m_Work.Component();
        ULONG length = m_Work.ComponentLength();
        BLOCK_ADDRESS record = FileStateLookupCounted(m_Volume, *Table, component, length);
        FileStateRecord* state = StoreRecord<FileStateRecord>(m_Volume, record, STORE_MAGIC_FILE_STATE);
        if (state == NULL) {
            StopTracking();
            return StepNotFound;
        }
        if (ComponentHasTilde(component, length) && length <= FILE_STATE_SHORT_NAME_CHARS &&
            _wcsnicmp(state->ShortName, component, length) == 0 && state->ShortName[length] == L'\0' &&
            !m_Work.ReplaceComponent(state->LongName, (ULONG)wcslen(state->LongName))) {
            return StepFailed;
        }
        if (!FollowRecord(state, More)) {
            return StepFailed;
        }
        USHORT flags = state->Flags;
        if ((flags & FILE_STATE_JUNCTION) != 0 && m_Junction != NULL) {
            *m_Junction = TRUE;
        }
        if ((flags & FILE_STATE_PRESENT) != 0) {
            m_Status = PATH_WALK_TRACKED;
        } else if ((flags & FILE_STATE_HIDDEN) != 0) {
            m_Status = More ? PATH_WALK_PARENT_DELETED : PATH_WALK_DELETED;
            m_Result = More ? 0 : record;
            return StepEnd;
        } else {
            m_Status = flags != 0 ? PATH_WALK_TRACKED : PATH_WALK_UNTRACKED;
        }
        m_Result = record;
        if (More) {
            if ((flags & FILE_STATE_DIRECTORY) != 0 && state->ChildTable != 0 &&
                (flags & FILE_STATE_ALTERNATE_PATH) == 0) {
                *Table = state->ChildTable;
            } else {
                StopTracking();
            }
        }
        return StepFound;
    }

    // Table 2 leads to the name-table-1 record's path; table 1 follows stored
    // paths of directories on the way (and of the last component with Follow).
    BOOLEAN FollowRecord(const FileStateRecord* State, BOOLEAN More) {
        if (m_Type == STORE_TABLE_PHYSICAL_PATHS) {
            if (State->LinkedState == 0) {
                return TRUE;
            }
            PWSTR storage = m_Work.Materialize();
            if (storage == NULL || !FileStateGetPath(m_Volume, State->LinkedState, storage)) {
                return FALSE;
            }
            m_Work.SetWhole();
            return TRUE;
        }
        if (!m_Follow && !More) {
            return TRUE;
        }
        return FollowStoredPath(m_Volume, State, &m_Work);
    }

    VOID StopTracking() {
        m_Status = PATH_WALK_UNTRACKED;
        m_Result = 0;
        m_Tracking = FALSE;
    }

    // A component past the tracked part: a possible short name is replaced by
    // the real long name, and the path up to it is added to the store so that
    // the short name is known next time.
    BOOLEAN ResolveUntracked(ULONG Start, ULONG Length) {
        if (!ComponentHasTilde(m_Work.Component(), m_Work.ComponentLength())) {
            return TRUE;
        }
        if (m_Work.Materialize() == NULL) {
            return FALSE;
        }
        PFILE_BOTH_DIR_INFORMATION entry = NULL;
        NTSTATUS status;
        {
            ParentDirectory directory(&m_Work);
            StoreUnlockScope unlock;
            status = m_Query.Query(m_Volume->DriveIndex, directory.Text(), m_Work.Component(),
                                   m_Work.ComponentLength(), &kLookupDirectoryOpen, &entry);
        }
        if (!NT_SUCCESS(status)) {
            return TRUE;
        }
        if (!m_Work.ReplaceComponent(entry->FileName, entry->FileNameLength / sizeof(WCHAR))) {
            return FALSE;
        }
        FileStatePathAddCounted(m_Volume, m_Source, Start + Length, STORE_TABLE_VOLUME_PATHS);
        return TRUE;
    }

    VolumeContext* m_Volume;
    PCWSTR m_Source;
    PWSTR m_Output;
    ULONG m_Type;
    BOOLEAN m_Follow;
    PBOOLEAN m_Junction;
    PathComponents m_Components;
    WorkingPath m_Work;
    DirectoryQuery m_Query;
    UCHAR m_Status;
    BLOCK_ADDRESS m_Result;
    BOOLEAN m_Tracking;
};

BOOLEAN IsRootPath(PCWSTR Path, ULONG Length) {
    PathComponents components(Path, Length);
    return !components.HasMore();
}

}  // namespace

BLOCK_ADDRESS FileStatePathAddCounted(VolumeContext* Volume, PCWSTR Path, ULONG Length, ULONG Type) {
    if (Path == NULL || Length > PATH_BUFFER_CHARS) {
        return 0;
    }
    StoreConditionalLock lock;
    BLOCK_ADDRESS table = FileStateGetTable(Volume, Type);
    if (table == 0) {
        return 0;
    }
    PathAddWalk walk(Volume, Path, Length, Type);
    return walk.Run(table);
}

BLOCK_ADDRESS FileStatePathAdd(VolumeContext* Volume, PCWSTR Path, ULONG Type) {
    return Path != NULL ? FileStatePathAddCounted(Volume, Path, (ULONG)wcslen(Path), Type) : 0;
}

BLOCK_ADDRESS FileStatePathLookup(VolumeContext* Volume, PCWSTR Path, PWSTR Output, PUCHAR Status, ULONG Type,
                                  BOOLEAN Follow, PBOOLEAN Junction) {
    BOOLEAN walked = FALSE;
    UCHAR status = PATH_WALK_DELETED;
    BLOCK_ADDRESS result = 0;
    ULONG length = Path != NULL ? (ULONG)wcslen(Path) : 0;
    StoreLockScope lock;
    StoreHeader* header = StoreHeaderOf(Volume);
    BLOCK_ADDRESS table = FileStateGetTable(Volume, Type);
    if (header != NULL && table != 0 && Path != NULL && length <= PATH_BUFFER_CHARS) {
        if (IsRootPath(Path, length)) {
            walked = TRUE;
            status = PATH_WALK_TRACKED;
            result = header->RootState;
            if (Output != NULL) {
                Output[0] = L'\\';
                Output[1] = L'\0';
            }
        } else {
            PathLookupWalk walk(Volume, Path, length, Output, Type, Follow, Junction);
            walked = walk.Run(table);
            if (walked) {
                status = walk.Status();
                result = walk.Result();
            }
        }
    }
    if (!walked && Output != NULL) {
        Output[0] = L'\0';  // a failed walk leaves no mapped path
    }
    if (Status != NULL) {
        *Status = status;
    }
    return result;
}
