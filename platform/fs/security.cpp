// IRP_MJ_QUERY_SECURITY and IRP_MJ_SET_SECURITY (NTFS; FAT keeps no
// security). Descriptors are kept self-relative; a query answers a short
// buffer with STATUS_BUFFER_OVERFLOW and the length needed.
#include "fs/fs_internal.h"

namespace plat::fs {

NTSTATUS DispatchQuerySecurity(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (vcb->Kind != FsKind::Ntfs) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    std::vector<uint8_t> descriptor;
    NTSTATUS status = vcb->Engine->GetSecurity(ctx.Open, &descriptor);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    SECURITY_INFORMATION information = sp->Parameters.QuerySecurity.SecurityInformation;
    ULONG length = sp->Parameters.QuerySecurity.Length;
    PSECURITY_DESCRIPTOR stored = descriptor.empty() ? nullptr : descriptor.data();
    status = SeQuerySecurityDescriptorInfo(&information, RequestBuffer(irp), &length, &stored);
    if (status == STATUS_BUFFER_TOO_SMALL) return CompleteRequest(irp, STATUS_BUFFER_OVERFLOW, length);
    return CompleteRequest(irp, status, NT_SUCCESS(status) ? length : 0);
}

// The parts the request names are merged into the file's descriptor.
NTSTATUS DispatchSetSecurity(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (vcb->Kind != FsKind::Ntfs) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    FileContext ctx;
    if (!GetFileContext(vcb, sp->FileObject, &ctx)) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    std::vector<uint8_t> current;
    NTSTATUS status = vcb->Engine->GetSecurity(ctx.Open, &current);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    PSECURITY_DESCRIPTOR working = nullptr;
    if (!current.empty()) {
        working = ExAllocatePoolWithTag(PagedPool, current.size(), kTagSecurity);
        if (working == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlCopyMemory(working, current.data(), current.size());
    }
    PSECURITY_DESCRIPTOR original = working;
    SECURITY_INFORMATION information = sp->Parameters.SetSecurity.SecurityInformation;
    status = SeSetSecurityDescriptorInfo(sp->FileObject, &information, sp->Parameters.SetSecurity.SecurityDescriptor,
                                         &working, PagedPool, IoGetFileObjectGenericMapping());
    if (original != nullptr) ExFreePoolWithTag(original, kTagSecurity);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
    auto* bytes = static_cast<uint8_t*>(working);
    std::vector<uint8_t> merged(bytes, bytes + RtlLengthSecurityDescriptor(working));
    ExFreePool(working);
    ChangeEvents events;
    status = vcb->Engine->SetSecurity(ctx.Open, merged, &events);
    ReportChanges(vcb, events);
    return CompleteRequest(irp, status, 0);
}

}  // namespace plat::fs
