// The shared frame of the Nt/Zw file services (see service.h).
#include "io/service.h"

#include "mm/user_memory.h"

namespace plat {

FileService::~FileService() {
    if (m_Irp != nullptr) {
        // Built and never sent: release what it holds.
        if (m_Irp->MdlAddress != nullptr) {
            PMDL mdl = m_Irp->MdlAddress;
            m_Irp->MdlAddress = nullptr;
            if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        }
        if ((m_Irp->Flags & IRP_DEALLOCATE_BUFFER) && m_Irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePool(m_Irp->AssociatedIrp.SystemBuffer);
        }
        IrpRecord* record = IoFindIrp(m_Irp);
        for (PVOID& block : record->OwnedPool) {
            if (block != nullptr) ExFreePool(block);
        }
        IoFreeIrp(m_Irp);
    }
    if (m_Locked) IoReleaseFileLock(m_File);
    if (m_Event != nullptr) ObDereferenceObject(m_Event);
    if (m_File != nullptr) ObDereferenceObject(m_File);
}

NTSTATUS FileService::Begin(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine) {
    if (ApcRoutine != nullptr) return STATUS_NOT_SUPPORTED;
    PVOID file = nullptr;
    OBJECT_HANDLE_INFORMATION information = {};
    NTSTATUS status = ObReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, m_Mode, &file, &information);
    if (!NT_SUCCESS(status)) return status;
    m_File = static_cast<PFILE_OBJECT>(file);
    m_Granted = information.GrantedAccess;
    if (Event != nullptr) {
        PVOID event = nullptr;
        status = ObReferenceObjectByHandle(Event, EVENT_MODIFY_STATE, *ExEventObjectType, m_Mode, &event, nullptr);
        if (!NT_SUCCESS(status)) return status;
        m_Event = static_cast<PKEVENT>(event);
        KeClearEvent(m_Event);
    }
    m_Target = IoGetRelatedDeviceObject(m_File);
    return STATUS_SUCCESS;
}

NTSTATUS FileService::CheckAnyAccess(ACCESS_MASK Rights) const {
    if (m_Mode == KernelMode || Rights == 0) return STATUS_SUCCESS;
    return (m_Granted & Rights) != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

NTSTATUS FileService::CheckUserBuffer(const void* Buffer, SIZE_T Length) const {
    if (Length == 0) return STATUS_SUCCESS;
    if (Buffer == nullptr) return STATUS_ACCESS_VIOLATION;
    if (m_Mode == KernelMode) return STATUS_SUCCESS;
    return IsUserRange(Buffer, Length) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

bool FileService::Synchronous() const {
    return m_ForceSynchronous || (m_File->Flags & FO_SYNCHRONOUS_IO) != 0;
}

PIRP FileService::BuildIrp(UCHAR MajorFunction, UCHAR MinorFunction) {
    if (Synchronous() && !m_Locked) {
        IoAcquireFileLock(m_File);
        m_Locked = true;
    }
    m_Irp = IoBuildFileIrp(m_Target, m_File, MajorFunction, MinorFunction, m_Mode, false);
    if (m_Irp != nullptr && Synchronous()) m_Irp->Flags |= IRP_SYNCHRONOUS_API;
    return m_Irp;
}

NTSTATUS FileService::AttachSystemBuffer(PVOID Buffer, ULONG Length, TransferDirection Direction) {
    if (Length == 0) return STATUS_SUCCESS;
    PVOID system = ExAllocatePoolWithTag(NonPagedPool, Length, kTagSystemBuffer);
    if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    bool fromDriver = Direction == TransferDirection::FromDriver;
    if (fromDriver) {
        RtlZeroMemory(system, Length);
    } else {
        RtlCopyMemory(system, Buffer, Length);
    }
    m_Irp->AssociatedIrp.SystemBuffer = system;
    m_Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (fromDriver) {
        m_Irp->UserBuffer = Buffer;
        m_Irp->Flags |= IRP_INPUT_OPERATION;
        IrpRecord* record = IoFindIrp(m_Irp);
        record->LimitCopyBack = true;
        record->UserBufferLength = Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FileService::AttachBuffer(PVOID Buffer, ULONG Length, TransferDirection Direction) {
    if (Length == 0) return STATUS_SUCCESS;
    if (m_Target->Flags & DO_BUFFERED_IO) return AttachSystemBuffer(Buffer, Length, Direction);
    if (m_Target->Flags & DO_DIRECT_IO) {
        PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, m_Irp);
        if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        MmProbeAndLockPages(mdl, m_Mode, Direction == TransferDirection::FromDriver ? IoWriteAccess : IoReadAccess);
        return STATUS_SUCCESS;
    }
    m_Irp->UserBuffer = Buffer;
    IrpRecord* record = IoFindIrp(m_Irp);
    record->LimitCopyBack = true;
    record->UserBufferLength = Length;
    return STATUS_SUCCESS;
}

void FileService::GiveToIrp(PVOID PoolBlock) {
    IrpRecord* record = IoFindIrp(m_Irp);
    for (PVOID& block : record->OwnedPool) {
        if (block == nullptr) {
            block = PoolBlock;
            return;
        }
    }
    ExFreePool(PoolBlock);  // never: a request owns at most two blocks
}

NTSTATUS FileService::Send(PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = m_Irp;
    m_Irp = nullptr;
    if (Synchronous()) {
        IoFindIrp(irp)->SyncFile = m_File;
        NTSTATUS status = IoCallDriverAndWait(m_Target, irp, &m_Result);
        if (status == STATUS_PENDING) status = m_Result.Status;
        if (IoStatusBlock != nullptr) *IoStatusBlock = m_Result;
        if (m_Event != nullptr) KeSetEvent(m_Event, IO_NO_INCREMENT, FALSE);
        return status;
    }
    // The IRP now holds the references; its completion releases them.
    IrpRecord* record = IoFindIrp(irp);
    record->ReferencedFile = m_File;
    record->ReferencedEvent = m_Event;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = m_Event != nullptr ? m_Event : &m_File->Event;
    if (m_Event == nullptr) KeClearEvent(&m_File->Event);
    m_File = nullptr;
    m_Event = nullptr;
    return IofCallDriver(m_Target, irp);
}

NTSTATUS FileService::Answer(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS Status, ULONG_PTR Information) {
    if (IoStatusBlock != nullptr) {
        IoStatusBlock->Status = Status;
        IoStatusBlock->Information = Information;
    }
    if (m_Event != nullptr) KeSetEvent(m_Event, IO_NO_INCREMENT, FALSE);
    return Status;
}

}  // namespace plat
