// The driver's own synchronous requests to the file system below a protected
// volume, and the pass-down routine for requests it does not handle itself.
//
// A request of its own is an IRP with one stack location per layer below the
// target device, built by BuildLowerRequest and sent with
// SendLowerRequestAndWait, whose completion routine only signals an event and
// stops the completion (STATUS_MORE_PROCESSING_REQUIRED): the IRP is never
// completed upward, and the caller frees it once it has taken what it needs.
// Every member of the family below does build, send, wait and free in one call
// and runs at PASSIVE_LEVEL. None of them takes a lock; callers that hold the
// store lock release it around these calls.
//
// Every member returns STATUS_INVALID_PARAMETER when a required device, file
// object or buffer is missing, STATUS_INSUFFICIENT_RESOURCES when the IRP (or
// its MDL) cannot be allocated, and otherwise the status of the lower request.
// Where a member takes an optional IoStatus, it receives the lower request's
// final status and information (bytes transferred or returned).
#pragma once

#include <ntifs.h>

// Builds an IRP for TargetDevice (its StackSize locations, no quota): the next
// stack location gets MajorFunction, TargetDevice and FileObject; the IRP gets
// the buffers, the current thread, FileObject as original file object and
// KernelMode as requestor mode. NULL when no IRP can be allocated.
PIRP BuildLowerRequest(UCHAR MajorFunction, PDEVICE_OBJECT TargetDevice, PFILE_OBJECT FileObject,
                       PVOID SystemBuffer, PVOID UserBuffer);

// Sends Irp (its next stack location filled by the caller) to TargetDevice and
// waits for it when it pends. Returns Irp->IoStatus.Status. The IRP is not
// completed upward and not freed: the caller owns it again on return (for a
// user's IRP sent down this way, the caller completes it).
NTSTATUS SendLowerRequestAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp);

// IRP_MJ_DIRECTORY_CONTROL / IRP_MN_QUERY_DIRECTORY into Buffer (user buffer),
// FileIndex 0, Irp->Flags 0. FileName is a pattern or NULL.
NTSTATUS LowerQueryDirectory(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             FILE_INFORMATION_CLASS InformationClass, PUNICODE_STRING FileName,
                             BOOLEAN RestartScan, BOOLEAN ReturnSingleEntry,
                             PIO_STATUS_BLOCK IoStatus = NULL);

// Sends the user's directory query again, on the user's file object, with the
// user's Irp->Flags, stack flags, FileName and FileIndex, but into Buffer with
// Length and InformationClass. The user's IoStatus is set from the result.
NTSTATUS LowerReissueQueryDirectory(PDEVICE_OBJECT Device, PIRP UserIrp, PVOID Buffer, ULONG Length,
                                    FILE_INFORMATION_CLASS InformationClass);

// IRP_MJ_QUERY_INFORMATION / IRP_MJ_SET_INFORMATION with Buffer as system
// buffer. With a UserIrp, its IoStatus is set from the result, and for a set
// the target file object and ReplaceIfExists/AdvanceOnly are copied from its
// current stack location.
NTSTATUS LowerQueryInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                               FILE_INFORMATION_CLASS InformationClass, PIRP UserIrp = NULL,
                               PIO_STATUS_BLOCK IoStatus = NULL);
NTSTATUS LowerSetInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             FILE_INFORMATION_CLASS InformationClass, PIRP UserIrp = NULL,
                             PIO_STATUS_BLOCK IoStatus = NULL);

// The parameters of an information request taken from a record of the caller.
struct LowerInformationRecord {
    ULONG Length;
    FILE_INFORMATION_CLASS InformationClass;
    PFILE_OBJECT TargetFileObject;  // set requests: target directory of a rename or link, or NULL
    BOOLEAN ReplaceIfExists;        // set requests
};

// MajorFunction is IRP_MJ_QUERY_INFORMATION or IRP_MJ_SET_INFORMATION (any
// other value: STATUS_INVALID_PARAMETER).
NTSTATUS LowerInformationFromRecord(UCHAR MajorFunction, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                                    PVOID Buffer, const LowerInformationRecord* Record,
                                    PIO_STATUS_BLOCK IoStatus = NULL);

// Reads and writes. The MDL forms describe Buffer, which must be non-paged,
// with an MDL (freed after completion); the buffer forms pass it as the user
// buffer. Irp->Flags are the UserIrp's when one is given (the IRP then also
// carries the user's IoStatus as UserIosb and the user's lock key), otherwise
// IRP_NOCACHE | IRP_INPUT_OPERATION, with IRP_SYNCHRONOUS_API added for the
// buffer forms.
NTSTATUS LowerReadWithMdl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PIRP UserIrp = NULL, PIO_STATUS_BLOCK IoStatus = NULL);
NTSTATUS LowerWriteWithMdl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PIRP UserIrp = NULL, PIO_STATUS_BLOCK IoStatus = NULL);
NTSTATUS LowerReadWithBuffer(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                             PLARGE_INTEGER ByteOffset, PIRP UserIrp = NULL, PIO_STATUS_BLOCK IoStatus = NULL);
NTSTATUS LowerWriteWithBuffer(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                              PLARGE_INTEGER ByteOffset, PIRP UserIrp = NULL, PIO_STATUS_BLOCK IoStatus = NULL);

// IRP_MJ_QUERY_VOLUME_INFORMATION / IRP_MJ_SET_VOLUME_INFORMATION with Buffer
// as system buffer, Irp->Flags 0.
NTSTATUS LowerQueryVolumeInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer,
                                     ULONG Length, FS_INFORMATION_CLASS InformationClass,
                                     PIO_STATUS_BLOCK IoStatus = NULL);
NTSTATUS LowerSetVolumeInformation(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PVOID Buffer,
                                   ULONG Length, FS_INFORMATION_CLASS InformationClass,
                                   PIO_STATUS_BLOCK IoStatus = NULL);

// IRP_MJ_LOCK_CONTROL with MinorFunction (IRP_MN_LOCK, IRP_MN_UNLOCK_ALL, ...),
// stack flags 0 (shared, waiting). Length points at the 64-bit range length
// and must stay valid until the call returns.
NTSTATUS LowerLockControl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, UCHAR MinorFunction,
                          PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key);

// IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_USER_FS_REQUEST. SystemBuffer carries
// the input (and, for buffered controls, the output); UserBuffer the output of
// controls that use one.
NTSTATUS LowerFsControl(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, ULONG FsControlCode,
                        PVOID SystemBuffer, ULONG InputBufferLength, PVOID UserBuffer,
                        ULONG OutputBufferLength, PIO_STATUS_BLOCK IoStatus = NULL);

// IRP_MJ_DEVICE_CONTROL to a device (no file object), built by the I/O
// manager (IoBuildDeviceIoControlRequest, buffers as the control's method
// wants them) and waited for. *Information (optional) receives the bytes
// returned. STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
NTSTATUS LowerDeviceControl(PDEVICE_OBJECT Device, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                            PVOID OutputBuffer, ULONG OutputLength, PULONG_PTR Information = NULL);

// IRP_MJ_QUERY_SECURITY into Buffer (user buffer) of *Length bytes; *Length is
// replaced by the lower request's information (the bytes needed when the
// buffer is too small).
NTSTATUS LowerQuerySecurity(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                            SECURITY_INFORMATION SecurityInformation, PVOID Buffer, PULONG Length);

// IRP_MJ_SET_SECURITY.
NTSTATUS LowerSetSecurity(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject,
                          SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR SecurityDescriptor);

// Wrappers with fixed classes. The set wrappers choose the device themselves
// when Device is NULL (LowerDeviceOfFileObject); the query wrappers need one.
NTSTATUS LowerSetEndOfFile(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, LONGLONG EndOfFile);
NTSTATUS LowerMarkDelete(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject);
NTSTATUS LowerSetBasic(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, const FILE_BASIC_INFORMATION* Basic);
NTSTATUS LowerQueryStandard(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PFILE_STANDARD_INFORMATION Standard);
NTSTATUS LowerQueryBasic(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PFILE_BASIC_INFORMATION Basic);
// The 64-bit file index (FileInternalInformation), 0 on any failure.
LONGLONG LowerQueryFileIndex(PDEVICE_OBJECT Device, PFILE_OBJECT FileObject);

// The device a request on FileObject should go to: IoGetRelatedDeviceObject,
// or, when that device is one of this driver's, the lower device recorded in
// its context. NULL for a NULL file object.
PDEVICE_OBJECT LowerDeviceOfFileObject(PFILE_OBJECT FileObject);

// The pass-down routine: every major function the driver does not handle goes
// here, and so do requests on devices whose serving flag is clear.
//   no device context              complete with STATUS_INVALID_PARAMETER
//   IRP_MJ_PNP/SURPRISE_REMOVAL    detach this device first, then as below
//   the control device             complete with STATUS_INVALID_DEVICE_REQUEST
//   a lower device recorded        skip the own stack location, call it
//   otherwise                      complete with STATUS_SUCCESS
NTSTATUS NTAPI PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
