// IRP_MJ_QUERY_VOLUME_INFORMATION and IRP_MJ_SET_VOLUME_INFORMATION, with
// the request's SystemBuffer. Answers ending in a name (label, file-system
// name) return what fits with STATUS_BUFFER_OVERFLOW.
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

constexpr ULONG kNtfsAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                                  FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | FILE_VOLUME_QUOTAS |
                                  FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS |
                                  FILE_SUPPORTS_OBJECT_IDS | FILE_NAMED_STREAMS;
constexpr ULONG kFatAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;

// Copies a trailing name after a fixed part of `fixed` bytes.
NTSTATUS CopyTrailingName(void* buffer, ULONG length, ULONG fixed, const Name& name, ULONG* used) {
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG copied = std::min(bytes, length - fixed);
    RtlCopyMemory(static_cast<uint8_t*>(buffer) + fixed, name.data(), copied);
    *used = fixed + copied;
    return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS QueryVolume(Vcb* vcb, void* buffer, ULONG length, ULONG* used) {
    ULONG fixed = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    VolumeInfo info = vcb->Engine->Info();
    auto* out = static_cast<PFILE_FS_VOLUME_INFORMATION>(buffer);
    RtlZeroMemory(out, fixed);
    out->VolumeCreationTime.QuadPart = info.CreationTime;
    out->VolumeSerialNumber = info.SerialNumber;
    out->VolumeLabelLength = static_cast<ULONG>(info.Label.size() * sizeof(WCHAR));
    out->SupportsObjects = info.Kind == FsKind::Ntfs;
    return CopyTrailingName(buffer, length, fixed, info.Label, used);
}

NTSTATUS QuerySize(Vcb* vcb, void* buffer, ULONG length, ULONG* used) {
    if (length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    VolumeInfo info = vcb->Engine->Info();
    auto* out = static_cast<PFILE_FS_SIZE_INFORMATION>(buffer);
    out->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(info.TotalClusters);
    out->AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(info.FreeClusters);
    out->SectorsPerAllocationUnit = info.ClusterSize / kSectorSize;
    out->BytesPerSector = kSectorSize;
    *used = sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS QueryFullSize(Vcb* vcb, void* buffer, ULONG length, ULONG* used) {
    if (length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    VolumeInfo info = vcb->Engine->Info();
    auto* out = static_cast<PFILE_FS_FULL_SIZE_INFORMATION>(buffer);
    out->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(info.TotalClusters);
    out->CallerAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(info.FreeClusters);
    out->ActualAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(info.FreeClusters);
    out->SectorsPerAllocationUnit = info.ClusterSize / kSectorSize;
    out->BytesPerSector = kSectorSize;
    *used = sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS QueryDevice(Vcb* vcb, void* buffer, ULONG length, ULONG* used) {
    if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto* out = static_cast<PFILE_FS_DEVICE_INFORMATION>(buffer);
    out->DeviceType = vcb->RealDevice->DeviceType;
    out->Characteristics = vcb->RealDevice->Characteristics;
    *used = sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS QueryAttribute(Vcb* vcb, void* buffer, ULONG length, ULONG* used) {
    ULONG fixed = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    VolumeInfo info = vcb->Engine->Info();
    bool ntfs = info.Kind == FsKind::Ntfs;
    Name name = ntfs ? Name(u"NTFS") : Name(u"FAT32");
    auto* out = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(buffer);
    out->FileSystemAttributes = (ntfs ? kNtfsAttributes : kFatAttributes) | (info.ReadOnly ? FILE_READ_ONLY_VOLUME : 0);
    out->MaximumComponentNameLength = static_cast<LONG>(kMaxComponentLength);
    out->FileSystemNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    return CopyTrailingName(buffer, length, fixed, name, used);
}

}  // namespace

NTSTATUS DispatchQueryVolumeInformation(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG length = sp->Parameters.QueryVolume.Length;
    if (buffer == nullptr) return CompleteRequest(irp, STATUS_INVALID_USER_BUFFER, 0);
    ULONG used = 0;
    NTSTATUS status;
    switch (sp->Parameters.QueryVolume.FsInformationClass) {
        case FileFsVolumeInformation: status = QueryVolume(vcb, buffer, length, &used); break;
        case FileFsSizeInformation: status = QuerySize(vcb, buffer, length, &used); break;
        case FileFsFullSizeInformation: status = QueryFullSize(vcb, buffer, length, &used); break;
        case FileFsDeviceInformation: status = QueryDevice(vcb, buffer, length, &used); break;
        case FileFsAttributeInformation: status = QueryAttribute(vcb, buffer, length, &used); break;
        default: status = STATUS_INVALID_PARAMETER; break;
    }
    return CompleteRequest(irp, status, NT_ERROR(status) ? 0 : used);
}

// Only the label can be set; the engine enforces each personality's rules.
NTSTATUS DispatchSetVolumeInformation(Vcb* vcb, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.SetVolume.FsInformationClass != FileFsLabelInformation) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto* info = static_cast<PFILE_FS_LABEL_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
    ULONG length = sp->Parameters.SetVolume.Length;
    ULONG fixed = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel);
    if (info == nullptr || length < fixed || info->VolumeLabelLength > length - fixed ||
        (info->VolumeLabelLength & 1)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    Name label = NameFromWide(info->VolumeLabel, info->VolumeLabelLength / sizeof(WCHAR));
    NTSTATUS status = vcb->Engine->SetLabel(label);
    if (NT_SUCCESS(status)) {
        Name stored = vcb->Engine->Info().Label;
        KIRQL irql;
        IoAcquireVpbSpinLock(&irql);
        RtlCopyMemory(vcb->Vpb->VolumeLabel, stored.data(), stored.size() * sizeof(WCHAR));
        vcb->Vpb->VolumeLabelLength = static_cast<USHORT>(stored.size() * sizeof(WCHAR));
        IoReleaseVpbSpinLock(irql);
    }
    return CompleteRequest(irp, status, 0);
}

}  // namespace plat::fs
