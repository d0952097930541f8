// The driver's own synchronous requests to the file system below, and the
// pass-down routine. See lower_request.h for the rules every member follows.
#include "lowerio/lower_request.h"

#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_globals.h"

// ---- Build, send, wait ------------------------------------------------------

// Runs in any context: only signals the waiting sender and stops the
// completion, so that the IRP comes back to the sender intact.
static NTSTATUS NTAPI LowerRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP BuildLowerRequest(UCHAR MajorFunction, PDEVICE_OBJECT TargetDevice, PFILE_OBJECT FileObject,
                       PVOID SystemBuffer, PVOID UserBuffer) {
    if (TargetDevice == NULL) {
        return NULL;
    }
    PIRP irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (irp == NULL) {
        return NULL;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    next->DeviceObject = TargetDevice;
    next->FileObject = FileObject;
    irp->AssociatedIrp.SystemBuffer = SystemBuffer;
    irp->UserBuffer = UserBuffer;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    irp->RequestorMode = KernelMode;
    return irp;
}

NTSTATUS SendLowerRequestAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp) {
    if (TargetDevice == NULL || Irp == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, LowerRequestCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(TargetDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

// Sends an IRP of our own, hands its final IoStatus to the caller and frees it.
static NTSTATUS SendAndFree(PDEVICE_OBJECT Device, PIRP Irp, PIO_STATUS_BLOCK IoStatus) {
    NTSTATUS status = SendLowerRequestAndWait(Device, Irp);
    if (IoStatus != NULL) {
        IoStatus->Status = Irp->IoStatus.Status;
        IoStatus->Information = Irp->IoStatus.Information;
    }
    IoFreeIrp(Irp);
    return status;
}

// ---- Directory queries ------------------------------------------------------

NTSTATUS LowerQueryDirectory(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             FILE_INFORMATION_CLASS InformationClass, PUNICODE_STRING FileName,
                             BOOLEAN RestartScan, BOOLEAN ReturnSingleEntry, PIO_STATUS_BLOCK IoStatus) {
    if (Device == NULL || FileObject == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_DIRECTORY_CONTROL, Device, FileObject, NULL, Buffer);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    next->Flags = (UCHAR)((RestartScan ? SL_RESTART_SCAN : 0) | (ReturnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0));
    next->Parameters.QueryDirectory.Length = Length;
    next->Parameters.QueryDirectory.FileName = FileName;
    next->Parameters.QueryDirectory.FileInformationClass = InformationClass;
    next->Parameters.QueryDirectory.FileIndex = 0;
    return SendAndFree(Device, irp, IoStatus);
}

NTSTATUS LowerReissueQueryDirectory(PDEVICE_OBJECT Device, PIRP UserIrp, PVOID Buffer, ULONG Length,
                                    FILE_INFORMATION_CLASS InformationClass) {
    if (Device == NULL || UserIrp == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION user = IoGetCurrentIrpStackLocation(UserIrp);
    if (user->FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_DIRECTORY_CONTROL, Device, user->FileObject, NULL, Buffer);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags = UserIrp->Flags;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    next->Flags = user->Flags;
    next->Parameters.QueryDirectory.Length = Length;
    next->Parameters.QueryDirectory.FileName = user->Parameters.QueryDirectory.FileName;
    next->Parameters.QueryDirectory.FileInformationClass = InformationClass;
    next->Parameters.QueryDirectory.FileIndex = user->Parameters.QueryDirectory.FileIndex;
    return SendAndFree(Device, irp, &UserIrp->IoStatus);
}

// ---- File information -------------------------------------------------------

// One query or set of file information. For a set, TargetFileObject and the
// two flags go into the stack location as a rename, link or position would
// carry them.
struct InformationRequest {
    UCHAR MajorFunction;
    FILE_INFORMATION_CLASS InformationClass;
    ULONG Length;
    PFILE_OBJECT TargetFileObject;
    BOOLEAN ReplaceIfExists;
    BOOLEAN AdvanceOnly;
};

static NTSTATUS SendInformationRequest(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer,
                                       const InformationRequest& Request, PIO_STATUS_BLOCK IoStatus) {
    if (Device == NULL || FileObject == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(Request.MajorFunction, Device, FileObject, Buffer, NULL);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (Request.MajorFunction == IRP_MJ_QUERY_INFORMATION) {
        next->Parameters.QueryFile.Length = Request.Length;
        next->Parameters.QueryFile.FileInformationClass = Request.InformationClass;
    } else {
        next->Parameters.SetFile.Length = Request.Length;
        next->Parameters.SetFile.FileInformationClass = Request.InformationClass;
        next->Parameters.SetFile.FileObject = Request.TargetFileObject;
        next->Parameters.SetFile.ReplaceIfExists = Request.ReplaceIfExists;
        next->Parameters.SetFile.AdvanceOnly = Request.AdvanceOnly;
    }
    return SendAndFree(Device, irp, IoStatus);
}

// Sends one information request and copies its result to the caller's block
// and, when there is one, to the user request's IoStatus.
static NTSTATUS SendInformationForUser(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer,
                                       const InformationRequest& Request, PIRP UserIrp,
                                       PIO_STATUS_BLOCK IoStatus) {
    IO_STATUS_BLOCK result = {};
    NTSTATUS status = SendInformationRequest(Device, FileObject, Buffer, Request, &result);
    result.Status = status;  // also when the request could not be sent
    if (UserIrp != NULL) {
        UserIrp->IoStatus.Status = result.Status;
        UserIrp->IoStatus.Information = result.Information;
    }
    if (IoStatus != NULL) {
        IoStatus->Status = result.Status;
        IoStatus->Information = result.Information;
    }
    return status;
}

NTSTATUS LowerQueryInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                               FILE_INFORMATION_CLASS InformationClass, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    InformationRequest request = {IRP_MJ_QUERY_INFORMATION, InformationClass, Length, NULL, FALSE, FALSE};
    return SendInformationForUser(Device, FileObject, Buffer, request, UserIrp, IoStatus);
}

NTSTATUS LowerSetInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             FILE_INFORMATION_CLASS InformationClass, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    InformationRequest request = {IRP_MJ_SET_INFORMATION, InformationClass, Length, NULL, FALSE, FALSE};
    if (UserIrp != NULL) {
        PIO_STACK_LOCATION user = IoGetCurrentIrpStackLocation(UserIrp);
        request.TargetFileObject = user->Parameters.SetFile.FileObject;
        request.ReplaceIfExists = user->Parameters.SetFile.ReplaceIfExists;
        request.AdvanceOnly = user->Parameters.SetFile.AdvanceOnly;
    }
    return SendInformationForUser(Device, FileObject, Buffer, request, UserIrp, IoStatus);
}

NTSTATUS LowerInformationFromRecord(UCHAR MajorFunction, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                                    PVOID Buffer, const LowerInformationRecord* Record, PIO_STATUS_BLOCK IoStatus) {
    if (Record == NULL ||
        (MajorFunction != IRP_MJ_QUERY_INFORMATION && MajorFunction != IRP_MJ_SET_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    InformationRequest request = {MajorFunction, Record->InformationClass, Record->Length, NULL, FALSE, FALSE};
    if (MajorFunction == IRP_MJ_SET_INFORMATION) {
        request.TargetFileObject = Record->TargetFileObject;
        request.ReplaceIfExists = Record->ReplaceIfExists;
    }
    return SendInformationRequest(Device, FileObject, Buffer, request, IoStatus);
}

// ---- Reads and writes -------------------------------------------------------

#define LOWER_TRANSFER_FLAGS_MDL    (IRP_NOCACHE | IRP_INPUT_OPERATION)
#define LOWER_TRANSFER_FLAGS_BUFFER (IRP_NOCACHE | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API)

static NTSTATUS LowerTransfer(UCHAR MajorFunction, BOOLEAN WithMdl, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                              PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PIRP UserIrp,
                              PIO_STATUS_BLOCK IoStatus) {
    if (Device == NULL || FileObject == NULL || Buffer == NULL || ByteOffset == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // The buffer is the IRP's user buffer in both forms; the MDL form also
    // describes it with an MDL, as a direct-I/O request would.
    PIRP irp = BuildLowerRequest(MajorFunction, Device, FileObject, NULL, Buffer);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PMDL mdl = NULL;
    if (WithMdl) {
        mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, NULL);
        if (mdl == NULL) {
            IoFreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(mdl);
        irp->MdlAddress = mdl;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Read.Length = Length;
    next->Parameters.Read.ByteOffset = *ByteOffset;
    if (UserIrp != NULL) {
        irp->Flags = UserIrp->Flags;
        irp->UserIosb = &UserIrp->IoStatus;
        next->Parameters.Read.Key = IoGetCurrentIrpStackLocation(UserIrp)->Parameters.Read.Key;
    } else {
        irp->Flags = WithMdl ? LOWER_TRANSFER_FLAGS_MDL : LOWER_TRANSFER_FLAGS_BUFFER;
    }
    NTSTATUS status = SendLowerRequestAndWait(Device, irp);
    if (IoStatus != NULL) {
        IoStatus->Status = irp->IoStatus.Status;
        IoStatus->Information = irp->IoStatus.Information;
    }
    irp->MdlAddress = NULL;
    IoFreeIrp(irp);
    if (mdl != NULL) {
        IoFreeMdl(mdl);
    }
    return status;
}

NTSTATUS LowerReadWithMdl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    return LowerTransfer(IRP_MJ_READ, TRUE, Device, FileObject, Buffer, Length, ByteOffset, UserIrp, IoStatus);
}

NTSTATUS LowerWriteWithMdl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    return LowerTransfer(IRP_MJ_WRITE, TRUE, Device, FileObject, Buffer, Length, ByteOffset, UserIrp, IoStatus);
}

NTSTATUS LowerReadWithBuffer(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             PLARGE_INTEGER ByteOffset, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    return LowerTransfer(IRP_MJ_READ, FALSE, Device, FileObject, Buffer, Length, ByteOffset, UserIrp, IoStatus);
}

NTSTATUS LowerWriteWithBuffer(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                              PLARGE_INTEGER ByteOffset, PIRP UserIrp, PIO_STATUS_BLOCK IoStatus) {
    return LowerTransfer(IRP_MJ_WRITE, FALSE, Device, FileObject, Buffer, Length, ByteOffset, UserIrp, IoStatus);
}

// ---- Volume information, locks, controls, security --------------------------

static NTSTATUS LowerVolumeInformation(UCHAR MajorFunction, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                                       PVOID Buffer, ULONG Length, FS_INFORMATION_CLASS InformationClass,
                                       PIO_STATUS_BLOCK IoStatus) {
    if (Device == NULL || FileObject == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(MajorFunction, Device, FileObject, Buffer, NULL);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Flags = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    // QueryVolume and SetVolume share one layout.
    next->Parameters.QueryVolume.Length = Length;
    next->Parameters.QueryVolume.FsInformationClass = InformationClass;
    return SendAndFree(Device, irp, IoStatus);
}

NTSTATUS LowerQueryVolumeInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                                     FS_INFORMATION_CLASS InformationClass, PIO_STATUS_BLOCK IoStatus) {
    return LowerVolumeInformation(IRP_MJ_QUERY_VOLUME_INFORMATION, Device, FileObject, Buffer, Length,
                                  InformationClass, IoStatus);
}

NTSTATUS LowerSetVolumeInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                                   FS_INFORMATION_CLASS InformationClass, PIO_STATUS_BLOCK IoStatus) {
    return LowerVolumeInformation(IRP_MJ_SET_VOLUME_INFORMATION, Device, FileObject, Buffer, Length,
                                  InformationClass, IoStatus);
}

NTSTATUS LowerLockControl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, UCHAR MinorFunction,
                          PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key) {
    if (Device == NULL || FileObject == NULL || ByteOffset == NULL || Length == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_LOCK_CONTROL, Device, FileObject, NULL, NULL);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = MinorFunction;
    next->Parameters.LockControl.Length = Length;
    next->Parameters.LockControl.Key = Key;
    next->Parameters.LockControl.ByteOffset = *ByteOffset;
    return SendAndFree(Device, irp, NULL);
}

NTSTATUS LowerFsControl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, ULONG FsControlCode, PVOID SystemBuffer,
                        ULONG InputBufferLength, PVOID UserBuffer, ULONG OutputBufferLength,
                        PIO_STATUS_BLOCK IoStatus) {
    if (Device == NULL || FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_FILE_SYSTEM_CONTROL, Device, FileObject, SystemBuffer, UserBuffer);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_USER_FS_REQUEST;
    next->Parameters.FileSystemControl.FsControlCode = FsControlCode;
    next->Parameters.FileSystemControl.InputBufferLength = InputBufferLength;
    next->Parameters.FileSystemControl.OutputBufferLength = OutputBufferLength;
    return SendAndFree(Device, irp, IoStatus);
}

NTSTATUS LowerQuerySecurity(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, SECURITY_INFORMATION SecurityInformation,
                            PVOID Buffer, PULONG Length) {
    if (Device == NULL || FileObject == NULL || Length == NULL || (Buffer == NULL && *Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_QUERY_SECURITY, Device, FileObject, NULL, Buffer);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.QuerySecurity.SecurityInformation = SecurityInformation;
    next->Parameters.QuerySecurity.Length = *Length;
    IO_STATUS_BLOCK result = {};
    NTSTATUS status = SendAndFree(Device, irp, &result);
    *Length = (ULONG)result.Information;
    return status;
}

NTSTATUS LowerSetSecurity(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, SECURITY_INFORMATION SecurityInformation,
                          PSECURITY_DESCRIPTOR SecurityDescriptor) {
    if (Device == NULL || FileObject == NULL || SecurityDescriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = BuildLowerRequest(IRP_MJ_SET_SECURITY, Device, FileObject, NULL, NULL);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.SetSecurity.SecurityInformation = SecurityInformation;
    next->Parameters.SetSecurity.SecurityDescriptor = SecurityDescriptor;
    return SendAndFree(Device, irp, NULL);
}

// ---- Wrappers with fixed classes --------------------------------------------

PDEVICE_OBJECT LowerDeviceOfFileObject(PFILE_OBJECT FileObject) {
    if (FileObject == NULL) {
        return NULL;
    }
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    if (device != NULL && device->DriverObject == g_Quilt.DriverObject) {
        DeviceContext* context = DeviceContextOf(device);
        return context != NULL ? context->LowerDevice : NULL;
    }
    return device;
}

static NTSTATUS LowerSetFixed(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                              FILE_INFORMATION_CLASS InformationClass) {
    if (Device == NULL) {
        Device = LowerDeviceOfFileObject(FileObject);
    }
    return LowerSetInformation(Device, FileObject, Buffer, Length, InformationClass);
}

NTSTATUS LowerDeviceControl(PDEVICE_OBJECT Device, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                            PVOID OutputBuffer, ULONG OutputLength, PULONG_PTR Information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Device, InputBuffer, InputLength, OutputBuffer,
                                             OutputLength, FALSE, &done, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    if (Information != NULL) {
        *Information = NT_SUCCESS(status) ? ioStatus.Information : 0;
    }
    return status;
}

NTSTATUS LowerSetEndOfFile(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, LONGLONG EndOfFile) {
    FILE_END_OF_FILE_INFORMATION information;
    information.EndOfFile.QuadPart = EndOfFile;
    return LowerSetFixed(Device, FileObject, &information, sizeof(information), FileEndOfFileInformation);
}

NTSTATUS LowerMarkDelete(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject) {
    FILE_DISPOSITION_INFORMATION information;
    information.DeleteFile = TRUE;
    return LowerSetFixed(Device, FileObject, &information, sizeof(information), FileDispositionInformation);
}

NTSTATUS LowerSetBasic(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, const FILE_BASIC_INFORMATION* Basic) {
    if (Basic == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    FILE_BASIC_INFORMATION information = *Basic;
    return LowerSetFixed(Device, FileObject, &information, sizeof(information), FileBasicInformation);
}

NTSTATUS LowerQueryStandard(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PFILE_STANDARD_INFORMATION Standard) {
    return LowerQueryInformation(Device, FileObject, Standard, sizeof(*Standard), FileStandardInformation);
}

NTSTATUS LowerQueryBasic(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PFILE_BASIC_INFORMATION Basic) {
    return LowerQueryInformation(Device, FileObject, Basic, sizeof(*Basic), FileBasicInformation);
}

LONGLONG LowerQueryFileIndex(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject) {
    FILE_INTERNAL_INFORMATION information;
    information.IndexNumber.QuadPart = 0;
    NTSTATUS status = LowerQueryInformation(Device, FileObject, &information, sizeof(information),
                                            FileInternalInformation);
    return NT_SUCCESS(status) ? information.IndexNumber.QuadPart : 0;
}

// The stack location a user's request is copied through is 36 bytes on
// 32-bit Windows, and the wrappers' buffers have that system's sizes there.
static_assert(sizeof(void*) != 4 || sizeof(IO_STACK_LOCATION) == 36, "IO_STACK_LOCATION size");
static_assert(sizeof(void*) != 4 || sizeof(FILE_BASIC_INFORMATION) == 40, "FileBasicInformation size");
static_assert(sizeof(void*) != 4 || sizeof(FILE_STANDARD_INFORMATION) == 24, "FileStandardInformation size");
static_assert(sizeof(FILE_END_OF_FILE_INFORMATION) == 8, "FileEndOfFileInformation size");
static_assert(sizeof(FILE_DISPOSITION_INFORMATION) == 1, "FileDispositionInformation size");
static_assert(sizeof(FILE_INTERNAL_INFORMATION) == 8, "FileInternalInformation size");

// ---- The pass-down routine --------------------------------------------------

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceContext* context = DeviceContextOf(DeviceObject);
    if (context == NULL) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }
    // Taken before a surprise removal detaches (and deletes) this device: its
    // extension must not be read afterwards.
    PDEVICE_OBJECT lower = context->LowerDevice;
    BOOLEAN isControlDevice = (BOOLEAN)(DeviceObject == g_Quilt.ControlDevice);
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    if (current->MajorFunction == IRP_MJ_PNP && current->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        QLTFastIoDetachDevice(DeviceObject, lower);
    }
    if (isControlDevice) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (lower == NULL) {
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}
