// IRP_MJ_DIRECTORY_CONTROL: directory listings (IRP_MN_QUERY_DIRECTORY) and
// change notification (IRP_MN_NOTIFY_CHANGE_DIRECTORY).
//
// Listings: the pattern is taken by the first query of a file object or by
// SL_RESTART_SCAN (the default "*"); a pattern without wildcards is looked up
// by name (long or short) and gives at most that entry. Matching follows
// FsRtlIsNameInExpression against the long and the short name. Non-root
// directories list "." and ".." first. Entries are chained on 8-byte
// boundaries; SL_RETURN_SINGLE_ENTRY gives one. When the first entry does not
// fit, its fixed part and as much of its name as fits are returned with
// STATUS_BUFFER_OVERFLOW, and it stays the next entry. A first query that
// finds nothing answers STATUS_NO_SUCH_FILE (STATUS_NO_MORE_FILES when the
// pattern matches everything: the directory is empty); later ones
// STATUS_NO_MORE_FILES. SL_INDEX_SPECIFIED resumes after the named entry on
// NTFS (FileName) and after the entry at FileIndex on FAT.
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

struct Entry {
    ULONG FileIndex = 0;
    const FileSnapshot* Info = nullptr;
    NameView FileName;
    NameView ShortName;
};

ULONG FixedSize(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
        case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
        case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
        case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
        case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
        case FileIdBothDirectoryInformation: return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
        case FileIdFullDirectoryInformation: return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
        default: return 0;
    }
}

// Reparse points report their tag where the EA size would be.
ULONG EaSizeOf(const FileSnapshot& s) {
    return s.ReparseTag != 0 ? s.ReparseTag : s.EaSize;
}

void WriteCommon(PFILE_DIRECTORY_INFORMATION d, const Entry& e) {
    const FileSnapshot& s = *e.Info;
    d->FileIndex = e.FileIndex;
    d->CreationTime.QuadPart = s.Times.Creation;
    d->LastAccessTime.QuadPart = s.Times.LastAccess;
    d->LastWriteTime.QuadPart = s.Times.LastWrite;
    d->ChangeTime.QuadPart = s.Times.Change;
    d->EndOfFile.QuadPart = static_cast<LONGLONG>(s.EndOfFile);
    d->AllocationSize.QuadPart = static_cast<LONGLONG>(s.Allocation);
    d->FileAttributes = s.Attributes;
}

void WriteShortName(CCHAR* length, PWCHAR buffer, NameView shortName) {
    size_t chars = std::min<size_t>(shortName.size(), 12);
    *length = static_cast<CCHAR>(chars * sizeof(WCHAR));
    RtlZeroMemory(buffer, 12 * sizeof(WCHAR));
    if (chars != 0) RtlCopyMemory(buffer, shortName.data(), chars * sizeof(WCHAR));
}

// Writes one entry into `room` bytes (at least the fixed part): the fixed
// fields, the full name length, and as much of the name as fits.
void WriteEntry(FILE_INFORMATION_CLASS cls, uint8_t* at, ULONG room, const Entry& e) {
    ULONG fixed = FixedSize(cls);
    ULONG nameBytes = static_cast<ULONG>(e.FileName.size() * sizeof(WCHAR));
    ULONG copied = std::min(nameBytes, room - fixed);
    RtlZeroMemory(at, fixed);
    if (copied != 0) RtlCopyMemory(at + fixed, e.FileName.data(), copied);
    if (cls == FileNamesInformation) {
        auto* n = reinterpret_cast<PFILE_NAMES_INFORMATION>(at);
        n->FileIndex = e.FileIndex;
        n->FileNameLength = nameBytes;
        return;
    }
    auto* d = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(at);
    WriteCommon(d, e);
    d->FileNameLength = nameBytes;
    switch (cls) {
        case FileFullDirectoryInformation:
            reinterpret_cast<PFILE_FULL_DIR_INFORMATION>(at)->EaSize = EaSizeOf(*e.Info);
            break;
        case FileIdFullDirectoryInformation: {
            auto* f = reinterpret_cast<PFILE_ID_FULL_DIR_INFORMATION>(at);
            f->EaSize = EaSizeOf(*e.Info);
            f->FileId.QuadPart = static_cast<LONGLONG>(e.Info->IndexNumber);
            break;
        }
        case FileBothDirectoryInformation: {
            auto* b = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(at);
            b->EaSize = EaSizeOf(*e.Info);
            WriteShortName(&b->ShortNameLength, b->ShortName, e.ShortName);
            break;
        }
        case FileIdBothDirectoryInformation: {
            auto* b = reinterpret_cast<PFILE_ID_BOTH_DIR_INFORMATION>(at);
            b->EaSize = EaSizeOf(*e.Info);
            WriteShortName(&b->ShortNameLength, b->ShortName, e.ShortName);
            b->FileId.QuadPart = static_cast<LONGLONG>(e.Info->IndexNumber);
            break;
        }
        default:
            break;
    }
}

// Fills the caller's buffer entry by entry.
class EntryWriter {
public:
    EntryWriter(FILE_INFORMATION_CLASS cls, void* buffer, ULONG length, bool single)
        : m_Class(cls), m_Base(static_cast<uint8_t*>(buffer)), m_Length(length), m_Single(single) {}

    // True when the entry went into the buffer (it is consumed).
    bool Add(const Entry& e) {
        if (m_Full) return false;
        ULONG fixed = FixedSize(m_Class);
        ULONG size = fixed + static_cast<ULONG>(e.FileName.size() * sizeof(WCHAR));
        if (m_Count == 0 && size > m_Length) {
            if (m_Length >= fixed) WriteEntry(m_Class, m_Base, m_Length, e);
            m_Overflow = true;
            m_Full = true;
            return false;
        }
        if (m_Offset > m_Length || size > m_Length - m_Offset) {
            m_Full = true;
            return false;
        }
        WriteEntry(m_Class, m_Base + m_Offset, size, e);
        if (m_Count != 0) {
            reinterpret_cast<PULONG>(m_Base + m_LastOffset)[0] = m_Offset - m_LastOffset;
        }
        m_LastOffset = m_Offset;
        m_Used = m_Offset + size;
        m_Offset = static_cast<ULONG>(ALIGN_UP_BY(m_Used, 8));
        ++m_Count;
        if (m_Single) m_Full = true;
        return true;
    }
    bool Full() const { return m_Full; }
    ULONG Count() const { return m_Count; }
    bool Overflow() const { return m_Overflow; }
    ULONG Used() const { return m_Overflow ? m_Length : m_Used; }

private:
    FILE_INFORMATION_CLASS m_Class;
    uint8_t* m_Base;
    ULONG m_Length;
    bool m_Single;
    ULONG m_Offset = 0;
    ULONG m_LastOffset = 0;
    ULONG m_Used = 0;
    ULONG m_Count = 0;
    bool m_Full = false;
    bool m_Overflow = false;
};

bool Matches(const Ccb* ccb, NameView longName, NameView shortName) {
    if (ccb->MatchAll) return true;
    UNICODE_STRING expression = CountedName(ccb->Pattern);
    Name longCopy(longName);
    UNICODE_STRING name = CountedName(longCopy);
    if (FsRtlIsNameInExpression(&expression, &name, TRUE, nullptr)) return true;
    if (shortName.empty()) return false;
    Name shortCopy(shortName);
    UNICODE_STRING alt = CountedName(shortCopy);
    return FsRtlIsNameInExpression(&expression, &alt, TRUE, nullptr) != FALSE;
}

// The pattern of a first query or a restart.
void StartScan(Ccb* ccb, PUNICODE_STRING pattern) {
    Name given = pattern != nullptr && pattern->Length != 0
                     ? NameFromWide(pattern->Buffer, pattern->Length / sizeof(WCHAR))
                     : Name(u"*");
    ccb->Pattern = Upcase(given);
    ccb->MatchAll = ccb->Pattern == u"*";
    UNICODE_STRING counted = CountedName(ccb->Pattern);
    ccb->Exact = !FsRtlDoesNameContainWildCards(&counted);
    ccb->QueryStarted = true;
    ccb->ReturnedAny = false;
    ccb->DotsReturned = 0;
    ccb->AtStart = true;
    ccb->Cursor = DirectoryCursor();
}

void ResumeAtIndex(Vcb* vcb, Ccb* ccb, PIO_STACK_LOCATION sp) {
    PUNICODE_STRING name = sp->Parameters.QueryDirectory.FileName;
    ccb->DotsReturned = 2;
    if (vcb->Kind == FsKind::Fat) {
        ccb->Cursor = DirectoryCursor{sp->Parameters.QueryDirectory.FileIndex, Name()};
        ccb->AtStart = false;
    } else if (name != nullptr && name->Length != 0) {
        ccb->Cursor = DirectoryCursor{0, Upcase(NameFromWide(name->Buffer, name->Length / sizeof(WCHAR)))};
        ccb->AtStart = false;
    }
}

void AddDots(Vcb* vcb, Ccb* ccb, const OpenFile* dir, EntryWriter& writer) {
    if (dir->Target->Id == kRootId) {
        ccb->DotsReturned = 2;
        return;
    }
    while (ccb->DotsReturned < 2 && !writer.Full()) {
        bool self = ccb->DotsReturned == 0;
        NameView name = self ? NameView(u".") : NameView(u"..");
        if (!Matches(ccb, name, NameView())) {
            ++ccb->DotsReturned;
            continue;
        }
        FileSnapshot info;
        NTSTATUS status = self ? vcb->Engine->Query(dir, &info) : vcb->Engine->QueryParent(dir, &info);
        if (!NT_SUCCESS(status)) return;
        Entry e{0, &info, name, NameView()};
        if (!writer.Add(e)) return;
        ++ccb->DotsReturned;
    }
}

ULONG FileIndexOf(Vcb* vcb, const DirectoryEntry* entry) {
    return vcb->Kind == FsKind::Fat ? static_cast<ULONG>(entry->Slot) : 0;
}

void AddEntries(Vcb* vcb, Ccb* ccb, const OpenFile* dir, EntryWriter& writer) {
    if (ccb->Exact) {
        if (!ccb->AtStart) return;
        vcb->Engine->FindEntry(dir, ccb->Pattern, [&](const DirectoryListing& l, const DirectoryCursor& at) {
            Entry e{FileIndexOf(vcb, l.Entry), &l.Info, l.Entry->LongName, l.Entry->ShortName};
            if (writer.Add(e)) {
                ccb->Cursor = at;
                ccb->AtStart = false;
            }
        });
        if (writer.Count() != 0) ccb->AtStart = false;
        return;
    }
    vcb->Engine->Enumerate(dir, ccb->Cursor, ccb->AtStart, [&](const DirectoryListing& l, const DirectoryCursor& at) {
        if (Matches(ccb, l.Entry->LongName, l.Entry->ShortName)) {
            Entry e{FileIndexOf(vcb, l.Entry), &l.Info, l.Entry->LongName, l.Entry->ShortName};
            if (!writer.Add(e)) return false;
        }
        ccb->Cursor = at;
        ccb->AtStart = false;
        return !writer.Full();
    });
}

// The reparse index lists every reparse point of the volume as
// FILE_REPARSE_POINT_INFORMATION records.
NTSTATUS QueryReparseIndex(Vcb* vcb, Ccb* ccb, PIRP irp, PIO_STACK_LOCATION sp, ULONG_PTR* information) {
    if (sp->Parameters.QueryDirectory.FileInformationClass != FileReparsePointInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (sp->Flags & SL_RESTART_SCAN) ccb->IndexCursor.reset();
    ULONG length = sp->Parameters.QueryDirectory.Length;
    size_t fit = length / sizeof(FILE_REPARSE_POINT_INFORMATION);
    if (fit == 0) return STATUS_BUFFER_OVERFLOW;
    if (sp->Flags & SL_RETURN_SINGLE_ENTRY) fit = 1;
    std::vector<ReparseIndexEntry> entries = vcb->Engine->ReparseIndex(ccb->IndexCursor, fit);
    if (entries.empty()) return STATUS_NO_MORE_FILES;
    auto* out = static_cast<PFILE_REPARSE_POINT_INFORMATION>(RequestBuffer(irp));
    if (out == nullptr) return STATUS_INVALID_USER_BUFFER;
    RtlZeroMemory(out, entries.size() * sizeof(*out));
    for (size_t i = 0; i < entries.size(); ++i) {
        out[i].FileReference = static_cast<LONGLONG>(entries[i].Id);
        out[i].Tag = entries[i].Tag;
    }
    ccb->IndexCursor = entries.back();
    *information = entries.size() * sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS ListEntries(Vcb* vcb, const FileContext& ctx, PIRP irp, PIO_STACK_LOCATION sp, ULONG_PTR* information) {
    Ccb* ccb = ctx.CcbBlock;
    if (ctx.Open->Kind == OpenKind::ReparseIndex) return QueryReparseIndex(vcb, ccb, irp, sp, information);
    if (ctx.Open->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    FILE_INFORMATION_CLASS cls = sp->Parameters.QueryDirectory.FileInformationClass;
    if (FixedSize(cls) == 0) return STATUS_INVALID_INFO_CLASS;
    void* buffer = RequestBuffer(irp);
    ULONG length = sp->Parameters.QueryDirectory.Length;
    if (buffer == nullptr) return STATUS_INVALID_USER_BUFFER;
    if (length < FixedSize(cls)) return STATUS_INFO_LENGTH_MISMATCH;

    if ((sp->Flags & SL_RESTART_SCAN) || !ccb->QueryStarted) {
        StartScan(ccb, sp->Parameters.QueryDirectory.FileName);
    } else if (sp->Flags & SL_INDEX_SPECIFIED) {
        ResumeAtIndex(vcb, ccb, sp);
    }
    EntryWriter writer(cls, buffer, length, (sp->Flags & SL_RETURN_SINGLE_ENTRY) != 0);
    AddDots(vcb, ccb, ctx.Open, writer);
    if (!writer.Full()) AddEntries(vcb, ccb, ctx.Open, writer);

    if (writer.Overflow()) {
        *information = writer.Used();
        return STATUS_BUFFER_OVERFLOW;
    }
    if (writer.Count() == 0) return ccb->ReturnedAny || ccb->MatchAll ? STATUS_NO_MORE_FILES : STATUS_NO_SUCH_FILE;
    ccb->ReturnedAny = true;
    *information = writer.Used();
    return STATUS_SUCCESS;
}

// The enumeration runs under the file object's enumeration lock, the
// completion after it.
NTSTATUS QueryDirectory(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG_PTR information = 0;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(ctx.CcbBlock->EnumerationLock);
        status = ListEntries(vcb, ctx, irp, sp, &information);
    }
    return CompleteRequest(irp, status, information);
}

// Waits, through the notify package, for a change below the directory.
NTSTATUS NotifyChange(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (ctx.Open->Kind != OpenKind::Directory) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    FileSnapshot info;
    NTSTATUS status = vcb->Engine->Query(ctx.Open, &info);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    if (info.DeletePending) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    Ccb* ccb = ctx.CcbBlock;
    if (!ccb->Watching) {
        status = vcb->Engine->PathOf(ctx.Open, &ccb->NotifyName);
        if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
        ccb->NotifyString.Buffer = reinterpret_cast<PCHAR>(ccb->NotifyName.data());
        ccb->NotifyString.Length = static_cast<USHORT>(ccb->NotifyName.size() * sizeof(WCHAR));
        ccb->NotifyString.MaximumLength = ccb->NotifyString.Length;
        ccb->Watching = true;
    }
    FsRtlNotifyFullChangeDirectory(vcb->NotifySync, &vcb->NotifyList, ccb, &ccb->NotifyString,
                                   (sp->Flags & SL_WATCH_TREE) != 0, FALSE,
                                   sp->Parameters.NotifyDirectory.CompletionFilter, irp, nullptr, nullptr);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS DispatchDirectoryControl(Vcb* vcb, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_QUERY_DIRECTORY: return QueryDirectory(vcb, irp);
        case IRP_MN_NOTIFY_CHANGE_DIRECTORY: return NotifyChange(vcb, irp);
        default: return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // namespace plat::fs
