// Helpers every request of the front end uses.
#include "fs/fs_internal.h"

namespace plat::fs {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_DISK_INCREMENT);
    return status;
}

PVOID RequestBuffer(PIRP irp) {
    if (irp->MdlAddress != nullptr) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    return irp->UserBuffer;
}

bool GetFileContext(Vcb* vcb, PFILE_OBJECT file, FileContext* context) {
    if (file == nullptr) return false;
    auto* fcb = static_cast<Fcb*>(file->FsContext);
    auto* ccb = static_cast<Ccb*>(file->FsContext2);
    if (fcb == nullptr || ccb == nullptr || fcb->Magic != kFcbMagic || fcb->State->Volume != vcb) return false;
    context->FcbBlock = fcb;
    context->CcbBlock = ccb;
    context->Open = ccb->Open;
    return true;
}

void ReportChanges(Vcb* vcb, const ChangeEvents& events) {
    for (const ChangeEvent& e : events) {
        STRING name;
        name.Buffer = reinterpret_cast<PCHAR>(const_cast<char16_t*>(e.FullPath.data()));
        name.Length = static_cast<USHORT>(e.FullPath.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        FsRtlNotifyFullReportChange(vcb->NotifySync, &vcb->NotifyList, &name,
                                    static_cast<USHORT>(e.NameOffset * sizeof(WCHAR)), nullptr, nullptr, e.Filter,
                                    e.Action, nullptr);
    }
}

uint64_t RequestorProcessId(PIRP irp) {
    return reinterpret_cast<uint64_t>(IoGetRequestorProcess(irp));
}

NTSTATUS ParseEaBuffer(const void* buffer, ULONG length, std::vector<ExtendedAttribute>* eas) {
    auto* bytes = static_cast<const uint8_t*>(buffer);
    ULONG offset = 0;
    while (true) {
        if (length - offset < FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName)) return STATUS_EA_LIST_INCONSISTENT;
        auto* ea = reinterpret_cast<const FILE_FULL_EA_INFORMATION*>(bytes + offset);
        ULONG size = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + ea->EaNameLength + 1u + ea->EaValueLength;
        if (size > length - offset || ea->EaName[ea->EaNameLength] != 0) return STATUS_EA_LIST_INCONSISTENT;
        ExtendedAttribute parsed;
        parsed.Name.assign(ea->EaName, ea->EaNameLength);
        parsed.Flags = ea->Flags;
        const uint8_t* value = reinterpret_cast<const uint8_t*>(ea->EaName) + ea->EaNameLength + 1;
        parsed.Value.assign(value, value + ea->EaValueLength);
        eas->push_back(std::move(parsed));
        if (ea->NextEntryOffset == 0) return STATUS_SUCCESS;
        if (ea->NextEntryOffset < size || (ea->NextEntryOffset & 3)) return STATUS_EA_LIST_INCONSISTENT;
        offset += ea->NextEntryOffset;
        if (offset >= length) return STATUS_EA_LIST_INCONSISTENT;
    }
}

UNICODE_STRING CountedName(const Name& name) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(NameWide(name));
    s.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

}  // namespace plat::fs
