// File-system control requests on the driver's devices (see fs_control.h).
#include "frame/fs_control.h"

#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_globals.h"
#include "frame/fs_attach.h"
#include "frame/log.h"
#include "frame/volume_startup.h"
#include "lowerio/lower_request.h"
#include "requests/file_object_status.h"
#include "store/store_lock.h"

NTSTATUS NTAPI QLTFileSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return DispatchRequest<CQuiltFsControl>(DeviceObject, Irp);
}

CQuiltFsControl::CQuiltFsControl(PDEVICE_OBJECT Device, PIRP Request)
    : CQuiltRequest(Device, Request), OutputBufferLength(0), InputBufferLength(0), FsControlCode(0) {
    if (IrpSp != NULL) {
        OutputBufferLength = IrpSp->Parameters.FileSystemControl.OutputBufferLength;
        InputBufferLength = IrpSp->Parameters.FileSystemControl.InputBufferLength;
        FsControlCode = IrpSp->Parameters.FileSystemControl.FsControlCode;
    }
}

NTSTATUS CQuiltFsControl::Process() {
    if (Irp == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceObject == NULL || VolumeContext == NULL || IrpSp == NULL) {
        return CompleteWithInformation(STATUS_INVALID_PARAMETER, 0);
    }
    if (DeviceObject == g_Quilt.ControlDevice) {
        return CompleteWithInformation(STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    DeleteFirstRetiredDevice();
    switch (IrpSp->MinorFunction) {
    case IRP_MN_MOUNT_VOLUME:
        return MountVolume();
    case IRP_MN_LOAD_FILE_SYSTEM:
        return LoadFileSystem();
    case IRP_MN_USER_FS_REQUEST:
    case IRP_MN_KERNEL_CALL:
        return UserRequest();
    default:
        return PassDown();
    }
}

// Mounts and loads concern the file system's control device: only an
// attachment device above one handles them; anywhere else they pass down.
BOOLEAN CQuiltFsControl::IsAttachmentDevice() const {
    return (BOOLEAN)(VolumeContext->Kind == DEVICE_KIND_CONTROL && VolumeContext->Attached &&
                     LowerDevice != NULL);
}

// ---- Mount and load -------------------------------------------------------------------------

// The future volume filter goes with the mount; the mount completion decides
// whether it stays. The completion finds the VPB through the real device
// written into this driver's own stack location; the file system below still
// gets the original target device.
NTSTATUS CQuiltFsControl::MountVolume() {
    PVPB vpb = IrpSp->Parameters.MountVolume.Vpb;
    if (!IsAttachmentDevice() || vpb == NULL) {
        return PassDown();
    }
    PDEVICE_OBJECT filter = NULL;
    NTSTATUS status = IoCreateDevice(DeviceObject->DriverObject, sizeof(DeviceContext), NULL,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        return PassDown();  // the volume stays unfiltered
    }
    RtlZeroMemory(filter->DeviceExtension, sizeof(DeviceContext));
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MountCompletion, filter, TRUE, TRUE, TRUE);
    IrpSp->Parameters.MountVolume.DeviceObject = vpb->RealDevice;
    return IoCallDriver(LowerDevice, Irp);
}

// The recogniser is about to be replaced by its file system: this device
// leaves it before the load, so that the recogniser can go away.
NTSTATUS CQuiltFsControl::LoadFileSystem() {
    if (!IsAttachmentDevice()) {
        return PassDown();
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoDetachDevice(LowerDevice);
    VolumeContext->Attached = 0;
    IoSetCompletionRoutine(Irp, LoadFsCompletion, DeviceObject, TRUE, TRUE, TRUE);
    return IoCallDriver(LowerDevice, Irp);
}

// ---- Control codes ------------------------------------------------------------------------------

const CQuiltFsControl::ControlCodeEntry CQuiltFsControl::ControlCodes[] = {
    {FSCTL_DISMOUNT_VOLUME, &CQuiltFsControl::DismountVolume},
    {FSCTL_QUERY_RETRIEVAL_POINTERS, &CQuiltFsControl::QueryRetrievalPointers},
    {FSCTL_EXTEND_VOLUME, &CQuiltFsControl::ExtendVolume},
    {FSCTL_SET_COMPRESSION, &CQuiltFsControl::SetCompression},
    {FSCTL_SET_ENCRYPTION, &CQuiltFsControl::SetEncryption},
    {FSCTL_ENCRYPTION_FSCTL_IO, &CQuiltFsControl::SetEncryption},
    {FSCTL_SET_OBJECT_ID, &CQuiltFsControl::SetObjectId},
    {FSCTL_SET_OBJECT_ID_EXTENDED, &CQuiltFsControl::SetObjectId},
    {FSCTL_DELETE_OBJECT_ID, &CQuiltFsControl::DeleteObjectId},
    {FSCTL_GET_OBJECT_ID, &CQuiltFsControl::QueryObjectId},
    {FSCTL_CREATE_OR_GET_OBJECT_ID, &CQuiltFsControl::QueryObjectId},
    {FSCTL_SET_REPARSE_POINT, &CQuiltFsControl::SetReparsePoint},
};

// The file object's status record is looked up only on a serving volume, so
// that the discard and target flags below are those of a protected file.
NTSTATUS CQuiltFsControl::UserRequest() {
    if (Serving()) {
        StatusRecord = FileObjectStatusLookup(FileObject);
    }
    for (ULONG i = 0; i < ARRAYSIZE(ControlCodes); ++i) {
        if (ControlCodes[i].Code == FsControlCode) {
            return (this->*ControlCodes[i].Handle)();
        }
    }
    return PassDown();
}

BOOLEAN CQuiltFsControl::Serving() const {
    return (BOOLEAN)(VolumeContext->Serving != 0);
}

BOOLEAN CQuiltFsControl::Discard() const {
    return (BOOLEAN)(StatusRecord != NULL && StatusRecord->Discard != 0);
}

BOOLEAN CQuiltFsControl::Target() const {
    return (BOOLEAN)(StatusRecord != NULL && StatusRecord->Target != 0);
}

// Sets or clears Flag in the file's file-state record; with Create the
// record is made when the file has none.
VOID CQuiltFsControl::SetFileStateFlag(USHORT Flag, BOOLEAN Set, BOOLEAN Create) {
    if (StatusRecord == NULL) {
        return;
    }
    StoreLockScope lock;
    FileStateRecord* state = FileObjectStatusGetState(StatusRecord, Create);
    if (state == NULL) {
        return;
    }
    if (Set) {
        state->Flags |= Flag;
    } else {
        state->Flags &= (USHORT)~Flag;
    }
    StatusRecord->Flags = state->Flags;
}

// The paging file's first query of its clusters tells that the system has
// come far enough for the volumes to start up.
NTSTATUS CQuiltFsControl::QueryRetrievalPointers() {
    BOOLEAN volumeFilter = (BOOLEAN)(VolumeContext->Kind == DEVICE_KIND_VOLUME_FILTER);
    NTSTATUS status = PassDown();
    if (volumeFilter) {
        KeSetEvent(&g_Quilt.StartupGate, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS CQuiltFsControl::ExtendVolume() {
    if (Serving()) {
        return CompleteWithInformation(STATUS_ACCESS_DENIED, 0);
    }
    return PassDown();
}

// A file whose changes are discarded keeps its compression state on the
// protected volume; the caller is told it changed.
NTSTATUS CQuiltFsControl::SetCompression() {
    KeSetEvent(&g_Quilt.StartupGate, IO_NO_INCREMENT, FALSE);
    if (Discard()) {
        return CompleteWithInformation(Status, NT_SUCCESS(Status) ? InputBufferLength : 0);
    }
    return PassDown();
}

NTSTATUS CQuiltFsControl::SetEncryption() {
    if (Discard()) {
        return CompleteWithInformation(STATUS_ACCESS_DENIED, 0);
    }
    return PassDown();
}

// A new object ID ends a deletion recorded earlier. For a file whose changes
// are discarded the request ends here: the original keeps its ID.
NTSTATUS CQuiltFsControl::SetObjectId() {
    if (Serving()) {
        SetFileStateFlag(FILE_STATE_OBJECT_ID_DELETED, FALSE, FALSE);
    }
    if (Discard()) {
        return CompleteWithInformation(STATUS_SUCCESS, 0);
    }
    return PassDown();
}

// The deletion is recorded in the file-state record, so that later queries
// answer as if the ID were gone. For a file whose changes are discarded the
// request does not reach the original, so the record is the only place the
// deletion is kept: it is made when the file has none yet.
NTSTATUS CQuiltFsControl::DeleteObjectId() {
    if (Serving()) {
        SetFileStateFlag(FILE_STATE_OBJECT_ID_DELETED, TRUE, Discard());
    }
    if (Discard()) {
        return CompleteWithInformation(STATUS_SUCCESS, 0);
    }
    return PassDown();
}

BOOLEAN CQuiltFsControl::ObjectIdDeleted() {
    if (StatusRecord == NULL) {
        return FALSE;
    }
    StoreLockScope lock;
    FileStateRecord* state = FileObjectStatusGetState(StatusRecord, FALSE);
    return (BOOLEAN)(state != NULL && (state->Flags & FILE_STATE_OBJECT_ID_DELETED) != 0);
}

// The request's own buffers serve as input and output of the request below.
NTSTATUS CQuiltFsControl::SendObjectIdRequest(ULONG Code, PDEVICE_OBJECT Device, PFILE_OBJECT File,
                                              PIO_STATUS_BLOCK IoStatus) {
    return LowerFsControl(Device, File, Code, Irp->AssociatedIrp.SystemBuffer, InputBufferLength, NULL,
                          OutputBufferLength, IoStatus);
}

// On a protected volume the ID is asked of the file the request names, then
// of the other file the create path holds for it, and for a create-or-get
// finally created on the request's file. The bytes returned are those the
// file system wrote (the rest of the system buffer is not the caller's data).
NTSTATUS CQuiltFsControl::QueryObjectId() {
    if (!Serving()) {
        return PassDown();
    }
    if (FsControlCode == FSCTL_GET_OBJECT_ID && ObjectIdDeleted()) {
        return CompleteWithInformation(STATUS_OBJECTID_NOT_FOUND, 0);
    }
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = SendObjectIdRequest(FSCTL_GET_OBJECT_ID, LowerDevice, FileObject, &ioStatus);
    if (!NT_SUCCESS(status) && StatusRecord != NULL && StatusRecord->OriginalFileObject != NULL) {
        PFILE_OBJECT original = StatusRecord->OriginalFileObject;
        status = SendObjectIdRequest(FSCTL_GET_OBJECT_ID, LowerDeviceOfFileObject(original), original, &ioStatus);
    }
    if (!NT_SUCCESS(status) && FsControlCode == FSCTL_CREATE_OR_GET_OBJECT_ID) {
        status = SendObjectIdRequest(FSCTL_CREATE_OR_GET_OBJECT_ID, LowerDevice, FileObject, &ioStatus);
    }
    if (!NT_SUCCESS(status)) {
        return CompleteWithInformation(status, 0);
    }
    SetFileStateFlag(FILE_STATE_OBJECT_ID_DELETED, FALSE, FALSE);
    return CompleteWithInformation(STATUS_SUCCESS, ioStatus.Information);
}

// A reparse point set through a protected path makes the name a junction of
// the protected volume in the store.
NTSTATUS CQuiltFsControl::SetReparsePoint() {
    if (Discard()) {
        return CompleteWithInformation(STATUS_ACCESS_DENIED, 0);
    }
    if (Target()) {
        SetFileStateFlag(FILE_STATE_JUNCTION, TRUE, TRUE);
    }
    return PassDown();
}

// ---- Dismount -------------------------------------------------------------------------------------

// A volume device (\Device\quilt%d) stands for a protected volume without
// being attached to it: a dismount through it is refused like one through
// the protected volume's filter.
NTSTATUS CQuiltFsControl::DismountVolume() {
    if (!g_Drives.SystemDriveDone || Serving() || VolumeContext->Kind == DEVICE_KIND_VOLUME_DEVICE) {
        return CompleteWithInformation(STATUS_ACCESS_DENIED, 0);
    }
    if (VolumeContext->Kind == DEVICE_KIND_VOLUME_FILTER) {
        WithdrawVolumeFilter(DeviceObject);
    } else {
        LogPrint("CQuiltFsControl::DismountVolume() Detach device from not-drive device");
    }
    PDEVICE_OBJECT lower = LowerDevice;
    if (lower == NULL) {
        return CompleteWithInformation(STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    RemoveAttachedDevice(DeviceObject, lower);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    DbgPrint("dismount executed status=%x\n", status);
    return status;
}
