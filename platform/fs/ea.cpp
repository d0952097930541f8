// IRP_MJ_QUERY_EA and IRP_MJ_SET_EA (NTFS). Queries return
// FILE_FULL_EA_INFORMATION entries on 4-byte boundaries: all of them, those of
// an EA list, or one at a time; a buffer too short for the next entry gets
// STATUS_BUFFER_OVERFLOW.
#include "fs/fs_internal.h"

#include <strings.h>

namespace plat::fs {
namespace {

ULONG EntrySize(const ExtendedAttribute& ea) {
    return FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + static_cast<ULONG>(ea.Name.size()) + 1 +
           static_cast<ULONG>(ea.Value.size());
}

class EaWriter {
public:
    EaWriter(void* buffer, ULONG length) : m_Base(static_cast<uint8_t*>(buffer)), m_Length(length) {}

    bool Add(const ExtendedAttribute& ea) {
        ULONG size = EntrySize(ea);
        if (m_Offset > m_Length || size > m_Length - m_Offset) return false;
        auto* entry = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(m_Base + m_Offset);
        entry->NextEntryOffset = 0;
        entry->Flags = ea.Flags;
        entry->EaNameLength = static_cast<UCHAR>(ea.Name.size());
        entry->EaValueLength = static_cast<USHORT>(ea.Value.size());
        RtlCopyMemory(entry->EaName, ea.Name.data(), ea.Name.size());
        entry->EaName[ea.Name.size()] = 0;
        if (!ea.Value.empty()) RtlCopyMemory(entry->EaName + ea.Name.size() + 1, ea.Value.data(), ea.Value.size());
        if (m_Count != 0) {
            reinterpret_cast<PFILE_FULL_EA_INFORMATION>(m_Base + m_Last)->NextEntryOffset = m_Offset - m_Last;
        }
        m_Last = m_Offset;
        m_Used = m_Offset + size;
        m_Offset = static_cast<ULONG>(ALIGN_UP_BY(m_Used, 4));
        ++m_Count;
        return true;
    }
    ULONG Used() const { return m_Used; }
    ULONG Count() const { return m_Count; }

private:
    uint8_t* m_Base;
    ULONG m_Length;
    ULONG m_Offset = 0;
    ULONG m_Last = 0;
    ULONG m_Used = 0;
    ULONG m_Count = 0;
};

// The EAs an EA list names, in its order; a missing one has an empty value.
NTSTATUS SelectByList(const std::vector<ExtendedAttribute>& eas, const void* list, ULONG listLength,
                      std::vector<ExtendedAttribute>* selected) {
    auto* bytes = static_cast<const uint8_t*>(list);
    ULONG offset = 0;
    while (true) {
        if (listLength - offset < FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName)) return STATUS_EA_LIST_INCONSISTENT;
        auto* entry = reinterpret_cast<const FILE_GET_EA_INFORMATION*>(bytes + offset);
        if (FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName) + entry->EaNameLength + 1u > listLength - offset) {
            return STATUS_EA_LIST_INCONSISTENT;
        }
        std::string name(entry->EaName, entry->EaNameLength);
        ExtendedAttribute found{name, 0, {}};
        for (const ExtendedAttribute& ea : eas) {
            if (strcasecmp(ea.Name.c_str(), name.c_str()) == 0) found = ea;
        }
        selected->push_back(std::move(found));
        if (entry->NextEntryOffset == 0) return STATUS_SUCCESS;
        offset += entry->NextEntryOffset;
        if (offset >= listLength) return STATUS_EA_LIST_INCONSISTENT;
    }
}

// Fills the caller's buffer from the file's EAs, moving the file object's
// position in the list.
NTSTATUS ListEas(Vcb* vcb, const FileContext& ctx, PIRP irp, PIO_STACK_LOCATION sp, ULONG_PTR* information) {
    std::vector<ExtendedAttribute> eas;
    NTSTATUS status = vcb->Engine->GetEas(ctx.Open, &eas);
    if (!NT_SUCCESS(status)) return status;
    void* buffer = RequestBuffer(irp);
    ULONG length = sp->Parameters.QueryEa.Length;
    bool single = (sp->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
    Ccb* ccb = ctx.CcbBlock;
    EaWriter writer(buffer, buffer != nullptr ? length : 0);

    if (sp->Parameters.QueryEa.EaList != nullptr && sp->Parameters.QueryEa.EaListLength != 0) {
        std::vector<ExtendedAttribute> selected;
        status = SelectByList(eas, sp->Parameters.QueryEa.EaList, sp->Parameters.QueryEa.EaListLength, &selected);
        if (!NT_SUCCESS(status)) return status;
        for (const ExtendedAttribute& ea : selected) {
            *information = writer.Used();
            if (!writer.Add(ea)) return STATUS_BUFFER_OVERFLOW;
            if (single) break;
        }
        *information = writer.Used();
        return STATUS_SUCCESS;
    }
    if (eas.empty()) return STATUS_NO_EAS_ON_FILE;
    if (sp->Flags & SL_RESTART_SCAN) ccb->NextEa = 0;
    if (sp->Flags & SL_INDEX_SPECIFIED) {
        ULONG index = sp->Parameters.QueryEa.EaIndex;
        if (index == 0 || index > eas.size()) return STATUS_NONEXISTENT_EA_ENTRY;
        ccb->NextEa = index - 1;
    }
    if (ccb->NextEa >= eas.size()) return STATUS_NO_MORE_EAS;
    while (ccb->NextEa < eas.size()) {
        *information = writer.Used();
        if (!writer.Add(eas[ccb->NextEa])) return STATUS_BUFFER_OVERFLOW;
        ++ccb->NextEa;
        if (single) break;
    }
    *information = writer.Used();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DispatchQueryEa(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG_PTR information = 0;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(ctx.CcbBlock->EnumerationLock);
        status = ListEas(vcb, ctx, irp, sp, &information);
    }
    return CompleteRequest(irp, status, NT_ERROR(status) ? 0 : information);
}

NTSTATUS DispatchSetEa(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (vcb->Kind != FsKind::Ntfs) return CompleteRequest(irp, STATUS_EAS_NOT_SUPPORTED, 0);
    void* buffer = RequestBuffer(irp);
    if (buffer == nullptr || sp->Parameters.SetEa.Length == 0) {
        return CompleteRequest(irp, STATUS_EA_LIST_INCONSISTENT, 0);
    }
    std::vector<ExtendedAttribute> eas;
    NTSTATUS status = ParseEaBuffer(buffer, sp->Parameters.SetEa.Length, &eas);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    ChangeEvents events;
    status = vcb->Engine->SetEas(ctx.Open, eas, &events);
    ReportChanges(vcb, events);
    return CompleteRequest(irp, status, 0);
}

}  // namespace plat::fs
