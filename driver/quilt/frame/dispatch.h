// The driver's entry points as the system sees them: the dispatch routines of
// its devices, the file-system registration callback, the fast-I/O table and
// the system threads driver entry starts. Driver entry installs them; each is
// defined by the subsystem that owns it.
#pragma once

#include <ntifs.h>

// Dispatch routines (DRIVER_DISPATCH). Every major function without an entry
// here goes to PassThrough (lowerio/lower_request.h).
NTSTATUS NTAPI QLTCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);  // IRP_MJ_CLEANUP and IRP_MJ_CLOSE
NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTDirectoryControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTFileSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTQueryVolumeInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTSetVolumeInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTQuerySecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTSetSecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLTShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// File-system registration callback (IoRegisterFsRegistrationChange).
VOID NTAPI FsRegistrationChange(PDEVICE_OBJECT FileSystemControlDevice, BOOLEAN Active);

// Detaches SourceDevice (one of the driver's) from TargetDevice, which goes
// away. The fast-I/O detach entry; the pass-down routine calls it for a
// surprise removal.
VOID NTAPI QLTFastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);

// The fast-I/O table driver entry installs, or NULL for none.
PFAST_IO_DISPATCH QuiltFastIoTable();

// System threads started by driver entry (KSTART_ROUTINE).
VOID NTAPI RegistryChanger(PVOID Context);               // registry restore, always
VOID NTAPI QuiltPrecreateTemporaryFile(PVOID Context);   // backup pre-creation, when enabled

// Takes a registry snapshot and replaces registry.dat (registry subsystem).
// Called by the shutdown request and the control interface while protection
// is enabled.
NTSTATUS RegistryChangerSave();
