// I/O manager: drivers, devices and device stacks, VPBs, file objects, IRPs
// and stack locations, completion, cancellation, file creation, the Zw and Nt
// file services, file-system registration, shutdown notification, work items,
// MDLs, share access and the fast-I/O table.
//
// How the stand-in's I/O manager behaves, for the drivers written against it:
//
// * Dispatch routines and completion routines run at PASSIVE_LEVEL in the
//   calling / completing thread. IofCallDriver keeps the device object
//   referenced while its dispatch routine runs, so a driver may delete its own
//   device inside a dispatch routine and still pass the IRP on.
// * IofCompleteRequest walks the stack locations upwards and calls each
//   completion routine whose SL_INVOKE_ON_* bit matches; a routine returning
//   STATUS_MORE_PROCESSING_REQUIRED stops the walk (its driver owns the IRP
//   again and completes or frees it later). When the walk reaches the top, an
//   IRP the I/O manager built (create, Zw/Nt services, IoBuild*Request) is
//   finished as NT finishes it: buffered output is copied back, IoStatus is
//   stored in *UserIosb, UserEvent is set, MDLs and the system buffer are
//   freed and the IRP is released. An IRP from IoAllocateIrp that completes to
//   the top is finished the same way.
// * Opens: a name parsed to a device object with a VPB (disk, CD-ROM, tape and
//   virtual-disk devices get one at IoCreateDevice) is a volume. An open of the
//   volume itself (no remaining name, no related file) that asks only for
//   SYNCHRONIZE, FILE_READ_ATTRIBUTES, READ_CONTROL, WRITE_DAC, WRITE_OWNER or
//   ACCESS_SYSTEM_SECURITY is a direct device open, as on NT: it goes to the top
//   of the storage device's own stack without mounting (FO_DIRECT_DEVICE_OPEN;
//   storage drivers answer IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE).
//   Every other open mounts the volume first when needed and goes to the top of
//   the stack above VPB->DeviceObject, or to the device hint of
//   IoCreateFileSpecifyDeviceObjectHint (which must be in that stack). Devices
//   without a VPB receive opens at the top of their own stack.
//   FileObject->DeviceObject is the device the name reached (the storage device
//   for volumes) and FileObject->Vpb its mounted VPB. FileObject->FileName is
//   the rest of the name, in a buffer from pool that the I/O manager frees with
//   ExFreePool when the file object goes away (a driver may replace it with its
//   own pool buffer).
// * Mount: IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_MOUNT_VOLUME goes to the top of
//   each registered disk file system's control-device stack in registration
//   order (file systems registered with DO_LOW_PRIORITY_FILESYSTEM last) until
//   one succeeds. STATUS_UNRECOGNIZED_VOLUME tries the next file system;
//   STATUS_FS_DRIVER_REQUIRED sends IRP_MN_LOAD_FILE_SYSTEM to that control
//   device and starts the scan again; any other failure ends the mount with
//   that status. The mounting file system sets VPB->DeviceObject to its volume
//   device before it completes the mount IRP. As soon as the mount IRP is
//   completed with success the VPB counts as mounted (VPB_MOUNTED), so
//   completion routines above the file system can already open the volume.
// * Reparse: a file system that crosses a name-surrogate reparse point answers
//   the create with STATUS_REPARSE and either
//     - Information = IO_REPARSE and a complete new name (from the root of the
//       namespace) in FileObject->FileName (pool buffer, the old one freed), or
//     - Information = IO_REPARSE_TAG_MOUNT_POINT and the reparse data in
//       Irp->Tail.Overlay.AuxiliaryBuffer: a pool REPARSE_DATA_BUFFER of the
//       mount-point layout whose Reserved field holds the length in bytes of
//       the part of FileObject->FileName after the reparse point (with its
//       leading backslash). The I/O manager frees the buffer and opens the
//       substitute name followed by that remaining part.
//   The lookup then starts again (at most 32 times). After a reparse, an open
//   with a device hint whose new target stack does not hold the hint fails with
//   STATUS_MOUNT_POINT_NOT_RESOLVED.
// * Handles: closing the last handle of a file object sends IRP_MJ_CLEANUP
//   (after IRP_MN_UNLOCK_ALL when FileObject->LockOperation is set) and sets
//   FO_CLEANUP_COMPLETE; the last reference sends IRP_MJ_CLOSE. Both go to
//   IoGetRelatedDeviceObject of the file object (the hint device for hinted
//   opens). RelatedFileObject is referenced for the life of the file object;
//   the value in the field at deletion is dereferenced.
// * Synchronous file objects (FILE_SYNCHRONOUS_IO_*: FO_SYNCHRONOUS_IO): the
//   Zw/Nt services serialise requests on the file object, wait for pending
//   IRPs, use CurrentByteOffset when no offset is given, and move
//   CurrentByteOffset past the bytes a read or write transferred (a file system
//   may do the same: the result is identical). Writes through a handle holding
//   FILE_APPEND_DATA without FILE_WRITE_DATA go to the end of the file
//   (FILE_WRITE_TO_END_OF_FILE); their new position is the file system's to set.
// * IoCreateFile and IoCreateFileSpecifyDeviceObjectHint serve kernel-mode
//   callers: the create IRP carries RequestorMode KernelMode whatever thread
//   calls them; IO_FORCE_ACCESS_CHECK asks the file system for the checks of a
//   user-mode open (SL_FORCE_ACCESS_CHECK). Parameters are checked for
//   UserMode callers, or with IO_CHECK_CREATE_PARAMETERS.
// * Opening a device whose DO_DEVICE_INITIALIZING is still set, or one being
//   deleted, fails with STATUS_NO_SUCH_DEVICE (plat::IoLoadDriver clears the
//   flag on the devices DriverEntry created; later devices clear it themselves).
// * Query/set information, volume information, EAs, security, flushes and
//   renames are waited for even on asynchronous file objects.
// * The Nt* services take the caller's previous mode (UserMode inside a
//   plat::UserModeScope); Zw* always run as KernelMode. For UserMode callers the
//   data buffers (Buffer/Length arguments, not the IO_STATUS_BLOCK or the object
//   attributes) must lie in user space, below MmUserProbeAddress:
//   STATUS_ACCESS_VIOLATION otherwise. Buffered requests copy into a system
//   buffer from pool; direct I/O devices (DO_DIRECT_IO) get an MDL;
//   otherwise Irp->UserBuffer is the caller's buffer. APC routines are not
//   supported (STATUS_NOT_SUPPORTED); pass an event to wait for an asynchronous
//   request on a file opened without FILE_SYNCHRONOUS_IO_*.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ke.h"
#include "ex.h"
#include "ob.h"
#include "se.h"
#include "iofs.h"
#include "mm.h"

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _IO_STACK_LOCATION IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _VPB VPB, *PVPB;
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;

// ---- Status block, object type codes, priority boosts --------------------------------

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

#define IO_TYPE_ADAPTER                 1
#define IO_TYPE_CONTROLLER              2
#define IO_TYPE_DEVICE                  3
#define IO_TYPE_DRIVER                  4
#define IO_TYPE_FILE                    5
#define IO_TYPE_IRP                     6
#define IO_TYPE_MASTER_ADAPTER          7
#define IO_TYPE_OPEN_PACKET             8
#define IO_TYPE_TIMER                   9
#define IO_TYPE_VPB                     10
#define IO_TYPE_ERROR_LOG               11
#define IO_TYPE_ERROR_MESSAGE           12
#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13

#define IO_NO_INCREMENT             0
#define IO_CD_ROM_INCREMENT         1
#define IO_DISK_INCREMENT           1
#define IO_KEYBOARD_INCREMENT       6
#define IO_MAILSLOT_INCREMENT       2
#define IO_MOUSE_INCREMENT          6
#define IO_NAMED_PIPE_INCREMENT     2
#define IO_NETWORK_INCREMENT        2
#define IO_PARALLEL_INCREMENT       1
#define IO_SERIAL_INCREMENT         2
#define IO_SOUND_INCREMENT          8
#define IO_VIDEO_INCREMENT          1

// ---- Major and minor function codes ----------------------------------------------------

#define IRP_MJ_CREATE                   0x00
#define IRP_MJ_CREATE_NAMED_PIPE        0x01
#define IRP_MJ_CLOSE                    0x02
#define IRP_MJ_READ                     0x03
#define IRP_MJ_WRITE                    0x04
#define IRP_MJ_QUERY_INFORMATION        0x05
#define IRP_MJ_SET_INFORMATION          0x06
#define IRP_MJ_QUERY_EA                 0x07
#define IRP_MJ_SET_EA                   0x08
#define IRP_MJ_FLUSH_BUFFERS            0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION   0x0b
#define IRP_MJ_DIRECTORY_CONTROL        0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL      0x0d
#define IRP_MJ_DEVICE_CONTROL           0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL  0x0f
#define IRP_MJ_SHUTDOWN                 0x10
#define IRP_MJ_LOCK_CONTROL             0x11
#define IRP_MJ_CLEANUP                  0x12
#define IRP_MJ_CREATE_MAILSLOT          0x13
#define IRP_MJ_QUERY_SECURITY           0x14
#define IRP_MJ_SET_SECURITY             0x15
#define IRP_MJ_POWER                    0x16
#define IRP_MJ_SYSTEM_CONTROL           0x17
#define IRP_MJ_DEVICE_CHANGE            0x18
#define IRP_MJ_QUERY_QUOTA              0x19
#define IRP_MJ_SET_QUOTA                0x1a
#define IRP_MJ_PNP                      0x1b
#define IRP_MJ_PNP_POWER                IRP_MJ_PNP
#define IRP_MJ_MAXIMUM_FUNCTION         0x1b
#define IRP_MJ_SCSI                     IRP_MJ_INTERNAL_DEVICE_CONTROL

// IRP_MJ_DIRECTORY_CONTROL
#define IRP_MN_QUERY_DIRECTORY          0x01
#define IRP_MN_NOTIFY_CHANGE_DIRECTORY  0x02
// IRP_MJ_FILE_SYSTEM_CONTROL
#define IRP_MN_USER_FS_REQUEST          0x00
#define IRP_MN_MOUNT_VOLUME             0x01
#define IRP_MN_VERIFY_VOLUME            0x02
#define IRP_MN_LOAD_FILE_SYSTEM         0x03
#define IRP_MN_TRACK_LINK               0x04
#define IRP_MN_KERNEL_CALL              0x04
// IRP_MJ_LOCK_CONTROL
#define IRP_MN_LOCK                     0x01
#define IRP_MN_UNLOCK_SINGLE            0x02
#define IRP_MN_UNLOCK_ALL               0x03
#define IRP_MN_UNLOCK_ALL_BY_KEY        0x04
// IRP_MJ_READ / IRP_MJ_WRITE
#define IRP_MN_NORMAL                   0x00
#define IRP_MN_DPC                      0x01
#define IRP_MN_MDL                      0x02
#define IRP_MN_COMPLETE                 0x04
#define IRP_MN_COMPRESSED               0x08
#define IRP_MN_MDL_DPC                  (IRP_MN_MDL | IRP_MN_DPC)
#define IRP_MN_COMPLETE_MDL             (IRP_MN_COMPLETE | IRP_MN_MDL)
#define IRP_MN_COMPLETE_MDL_DPC         (IRP_MN_COMPLETE_MDL | IRP_MN_DPC)
// IRP_MJ_PNP
#define IRP_MN_START_DEVICE             0x00
#define IRP_MN_QUERY_REMOVE_DEVICE      0x01
#define IRP_MN_REMOVE_DEVICE            0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE     0x03
#define IRP_MN_STOP_DEVICE              0x04
#define IRP_MN_QUERY_STOP_DEVICE        0x05
#define IRP_MN_CANCEL_STOP_DEVICE       0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS   0x07
#define IRP_MN_QUERY_INTERFACE          0x08
#define IRP_MN_QUERY_CAPABILITIES       0x09
#define IRP_MN_SURPRISE_REMOVAL         0x17

// ---- IRP flags, stack-location control and flags -------------------------------------

#define IRP_NOCACHE                0x00000001
#define IRP_PAGING_IO              0x00000002
#define IRP_MOUNT_COMPLETION       0x00000002
#define IRP_SYNCHRONOUS_API        0x00000004
#define IRP_ASSOCIATED_IRP         0x00000008
#define IRP_BUFFERED_IO            0x00000010
#define IRP_DEALLOCATE_BUFFER      0x00000020
#define IRP_INPUT_OPERATION        0x00000040
#define IRP_SYNCHRONOUS_PAGING_IO  0x00000040
#define IRP_CREATE_OPERATION       0x00000080
#define IRP_READ_OPERATION         0x00000100
#define IRP_WRITE_OPERATION        0x00000200
#define IRP_CLOSE_OPERATION        0x00000400
#define IRP_DEFER_IO_COMPLETION    0x00000800
#define IRP_OB_QUERY_NAME          0x00001000
#define IRP_HOLD_DEVICE_QUEUE      0x00002000

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED        0x01
#define SL_ERROR_RETURNED          0x02
#define SL_INVOKE_ON_CANCEL        0x20
#define SL_INVOKE_ON_SUCCESS       0x40
#define SL_INVOKE_ON_ERROR         0x80

// IO_STACK_LOCATION.Flags, by major function
#define SL_FORCE_ACCESS_CHECK      0x01  // create
#define SL_OPEN_PAGING_FILE        0x02
#define SL_OPEN_TARGET_DIRECTORY   0x04
#define SL_STOP_ON_SYMLINK         0x08
#define SL_CASE_SENSITIVE          0x80
#define SL_KEY_SPECIFIED           0x01  // read / write
#define SL_OVERRIDE_VERIFY_VOLUME  0x02
#define SL_WRITE_THROUGH           0x04
#define SL_FT_SEQUENTIAL_WRITE     0x08
#define SL_FAIL_IMMEDIATELY        0x01  // lock control
#define SL_EXCLUSIVE_LOCK          0x02
#define SL_RESTART_SCAN            0x01  // query directory / EA
#define SL_RETURN_SINGLE_ENTRY     0x02
#define SL_INDEX_SPECIFIED         0x04
#define SL_WATCH_TREE              0x01  // notify change directory
#define SL_ALLOW_RAW_MOUNT         0x01  // file-system control

// ---- Device and file object flags ---------------------------------------------------

#define DO_VERIFY_VOLUME            0x00000002
#define DO_BUFFERED_IO              0x00000004
#define DO_EXCLUSIVE                0x00000008
#define DO_DIRECT_IO                0x00000010
#define DO_MAP_IO_BUFFER            0x00000020
#define DO_DEVICE_HAS_NAME          0x00000040
#define DO_DEVICE_INITIALIZING      0x00000080
#define DO_SYSTEM_BOOT_PARTITION    0x00000100
#define DO_LONG_TERM_REQUESTS       0x00000200
#define DO_NEVER_LAST_DEVICE        0x00000400
#define DO_SHUTDOWN_REGISTERED      0x00000800
#define DO_BUS_ENUMERATED_DEVICE    0x00001000
#define DO_POWER_PAGABLE            0x00002000
#define DO_POWER_INRUSH             0x00004000
#define DO_LOW_PRIORITY_FILESYSTEM  0x00010000

#define FO_FILE_OPEN                0x00000001
#define FO_SYNCHRONOUS_IO           0x00000002
#define FO_ALERTABLE_IO             0x00000004
#define FO_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FO_WRITE_THROUGH            0x00000010
#define FO_SEQUENTIAL_ONLY          0x00000020
#define FO_CACHE_SUPPORTED          0x00000040
#define FO_NAMED_PIPE               0x00000080
#define FO_STREAM_FILE              0x00000100
#define FO_MAILSLOT                 0x00000200
#define FO_GENERATE_AUDIT_ON_CLOSE  0x00000400
#define FO_QUEUE_IRP_TO_THREAD      FO_GENERATE_AUDIT_ON_CLOSE
#define FO_DIRECT_DEVICE_OPEN       0x00000800
#define FO_FILE_MODIFIED            0x00001000
#define FO_FILE_SIZE_CHANGED        0x00002000
#define FO_CLEANUP_COMPLETE         0x00004000
#define FO_TEMPORARY_FILE           0x00008000
#define FO_DELETE_ON_CLOSE          0x00010000
#define FO_OPENED_CASE_SENSITIVE    0x00020000
#define FO_HANDLE_CREATED           0x00040000
#define FO_FILE_FAST_IO_READ        0x00080000
#define FO_RANDOM_ACCESS            0x00100000
#define FO_FILE_OPEN_CANCELLED      0x00200000
#define FO_VOLUME_OPEN              0x00400000
#define FO_FILE_OBJECT_HAS_EXTENSION 0x00800000
#define FO_REMOTE_ORIGIN            0x01000000

#define VPB_MOUNTED                 0x0001
#define VPB_LOCKED                  0x0002
#define VPB_PERSISTENT              0x0004
#define VPB_REMOVE_PENDING          0x0008
#define VPB_RAW_MOUNT               0x0010

// IoCreateFile options.
#define IO_FORCE_ACCESS_CHECK       0x0001
#define IO_NO_PARAMETER_CHECKING    0x0100
#define IO_OPEN_PAGING_FILE         0x0002
#define IO_OPEN_TARGET_DIRECTORY    0x0004
#define IO_CHECK_CREATE_PARAMETERS  0x0200
#define IO_ATTACH_DEVICE            0x0400

// IO_STATUS_BLOCK.Information with STATUS_REPARSE (besides a reparse tag).
#define IO_REPARSE                  0x0
#define IO_REMOUNT                  0x1

typedef enum _CREATE_FILE_TYPE {
    CreateFileTypeNone,
    CreateFileTypeNamedPipe,
    CreateFileTypeMailslot
} CREATE_FILE_TYPE;

// ---- Routine types --------------------------------------------------------------------

typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS(NTAPI DRIVER_DISPATCH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID(NTAPI DRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS(NTAPI DRIVER_ADD_DEVICE)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID(NTAPI DRIVER_STARTIO)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef VOID(NTAPI DRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID(NTAPI IO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef VOID(NTAPI DRIVER_FS_NOTIFICATION)(PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive);
typedef DRIVER_FS_NOTIFICATION* PDRIVER_FS_NOTIFICATION;

// ---- Fast I/O ---------------------------------------------------------------------------

typedef struct _COMPRESSED_DATA_INFO {
    USHORT CompressionFormatAndEngine;
    UCHAR CompressionUnitShift;
    UCHAR ChunkShift;
    UCHAR ClusterShift;
    UCHAR Reserved;
    USHORT NumberOfChunks;
    ULONG CompressedChunkSizes[1];
} COMPRESSED_DATA_INFO, *PCOMPRESSED_DATA_INFO;

typedef BOOLEAN(NTAPI FAST_IO_CHECK_IF_POSSIBLE)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    ULONG Length, BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_CHECK_IF_POSSIBLE* PFAST_IO_CHECK_IF_POSSIBLE;
typedef BOOLEAN(NTAPI FAST_IO_READ)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
    BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_READ* PFAST_IO_READ;
typedef BOOLEAN(NTAPI FAST_IO_WRITE)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
    BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_WRITE* PFAST_IO_WRITE;
typedef BOOLEAN(NTAPI FAST_IO_QUERY_BASIC_INFO)(PFILE_OBJECT FileObject, BOOLEAN Wait,
    PFILE_BASIC_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_QUERY_BASIC_INFO* PFAST_IO_QUERY_BASIC_INFO;
typedef BOOLEAN(NTAPI FAST_IO_QUERY_STANDARD_INFO)(PFILE_OBJECT FileObject, BOOLEAN Wait,
    PFILE_STANDARD_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_QUERY_STANDARD_INFO* PFAST_IO_QUERY_STANDARD_INFO;
typedef BOOLEAN(NTAPI FAST_IO_LOCK)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
    PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_LOCK* PFAST_IO_LOCK;
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_SINGLE)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_UNLOCK_SINGLE* PFAST_IO_UNLOCK_SINGLE;
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_ALL)(PFILE_OBJECT FileObject, PEPROCESS ProcessId,
    PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_UNLOCK_ALL* PFAST_IO_UNLOCK_ALL;
typedef BOOLEAN(NTAPI FAST_IO_UNLOCK_ALL_BY_KEY)(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
    PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_UNLOCK_ALL_BY_KEY* PFAST_IO_UNLOCK_ALL_BY_KEY;
typedef BOOLEAN(NTAPI FAST_IO_DEVICE_CONTROL)(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
    ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength, ULONG IoControlCode,
    PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_DEVICE_CONTROL* PFAST_IO_DEVICE_CONTROL;
typedef VOID(NTAPI FAST_IO_ACQUIRE_FILE)(PFILE_OBJECT FileObject);
typedef FAST_IO_ACQUIRE_FILE* PFAST_IO_ACQUIRE_FILE;
typedef VOID(NTAPI FAST_IO_RELEASE_FILE)(PFILE_OBJECT FileObject);
typedef FAST_IO_RELEASE_FILE* PFAST_IO_RELEASE_FILE;
typedef VOID(NTAPI FAST_IO_DETACH_DEVICE)(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
typedef FAST_IO_DETACH_DEVICE* PFAST_IO_DETACH_DEVICE;
typedef BOOLEAN(NTAPI FAST_IO_QUERY_NETWORK_OPEN_INFO)(PFILE_OBJECT FileObject, BOOLEAN Wait,
    PFILE_NETWORK_OPEN_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_QUERY_NETWORK_OPEN_INFO* PFAST_IO_QUERY_NETWORK_OPEN_INFO;
typedef NTSTATUS(NTAPI FAST_IO_ACQUIRE_FOR_MOD_WRITE)(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
    PERESOURCE* ResourceToRelease, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_ACQUIRE_FOR_MOD_WRITE* PFAST_IO_ACQUIRE_FOR_MOD_WRITE;
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
    ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_MDL_READ* PFAST_IO_MDL_READ;
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ_COMPLETE)(PFILE_OBJECT FileObject, PMDL MdlChain,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_MDL_READ_COMPLETE* PFAST_IO_MDL_READ_COMPLETE;
typedef BOOLEAN(NTAPI FAST_IO_PREPARE_MDL_WRITE)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    ULONG Length, ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_PREPARE_MDL_WRITE* PFAST_IO_PREPARE_MDL_WRITE;
typedef BOOLEAN(NTAPI FAST_IO_MDL_WRITE_COMPLETE)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    PMDL MdlChain, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_MDL_WRITE_COMPLETE* PFAST_IO_MDL_WRITE_COMPLETE;
typedef BOOLEAN(NTAPI FAST_IO_READ_COMPRESSED)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    ULONG Length, ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
    PCOMPRESSED_DATA_INFO CompressedDataInfo, ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_READ_COMPRESSED* PFAST_IO_READ_COMPRESSED;
typedef BOOLEAN(NTAPI FAST_IO_WRITE_COMPRESSED)(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
    ULONG Length, ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
    PCOMPRESSED_DATA_INFO CompressedDataInfo, ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_WRITE_COMPRESSED* PFAST_IO_WRITE_COMPRESSED;
typedef BOOLEAN(NTAPI FAST_IO_MDL_READ_COMPLETE_COMPRESSED)(PFILE_OBJECT FileObject, PMDL MdlChain,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_MDL_READ_COMPLETE_COMPRESSED* PFAST_IO_MDL_READ_COMPLETE_COMPRESSED;
typedef BOOLEAN(NTAPI FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED)(PFILE_OBJECT FileObject,
    PLARGE_INTEGER FileOffset, PMDL MdlChain, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED* PFAST_IO_MDL_WRITE_COMPLETE_COMPRESSED;
typedef BOOLEAN(NTAPI FAST_IO_QUERY_OPEN)(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_QUERY_OPEN* PFAST_IO_QUERY_OPEN;
typedef NTSTATUS(NTAPI FAST_IO_RELEASE_FOR_MOD_WRITE)(PFILE_OBJECT FileObject, PERESOURCE ResourceToRelease,
    PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_RELEASE_FOR_MOD_WRITE* PFAST_IO_RELEASE_FOR_MOD_WRITE;
typedef NTSTATUS(NTAPI FAST_IO_ACQUIRE_FOR_CCFLUSH)(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_ACQUIRE_FOR_CCFLUSH* PFAST_IO_ACQUIRE_FOR_CCFLUSH;
typedef NTSTATUS(NTAPI FAST_IO_RELEASE_FOR_CCFLUSH)(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject);
typedef FAST_IO_RELEASE_FOR_CCFLUSH* PFAST_IO_RELEASE_FOR_CCFLUSH;

// 0x70 bytes on 32-bit x86. The stand-in's I/O manager never calls the fast-I/O
// entries itself (every request comes as an IRP); it calls FastIoDetachDevice
// when a device with a device attached above it is deleted.
typedef struct _FAST_IO_DISPATCH {
    ULONG SizeOfFastIoDispatch;
    PFAST_IO_CHECK_IF_POSSIBLE FastIoCheckIfPossible;
    PFAST_IO_READ FastIoRead;
    PFAST_IO_WRITE FastIoWrite;
    PFAST_IO_QUERY_BASIC_INFO FastIoQueryBasicInfo;
    PFAST_IO_QUERY_STANDARD_INFO FastIoQueryStandardInfo;
    PFAST_IO_LOCK FastIoLock;
    PFAST_IO_UNLOCK_SINGLE FastIoUnlockSingle;
    PFAST_IO_UNLOCK_ALL FastIoUnlockAll;
    PFAST_IO_UNLOCK_ALL_BY_KEY FastIoUnlockAllByKey;
    PFAST_IO_DEVICE_CONTROL FastIoDeviceControl;
    PFAST_IO_ACQUIRE_FILE AcquireFileForNtCreateSection;
    PFAST_IO_RELEASE_FILE ReleaseFileForNtCreateSection;
    PFAST_IO_DETACH_DEVICE FastIoDetachDevice;
    PFAST_IO_QUERY_NETWORK_OPEN_INFO FastIoQueryNetworkOpenInfo;
    PFAST_IO_ACQUIRE_FOR_MOD_WRITE AcquireForModWrite;
    PFAST_IO_MDL_READ MdlRead;
    PFAST_IO_MDL_READ_COMPLETE MdlReadComplete;
    PFAST_IO_PREPARE_MDL_WRITE PrepareMdlWrite;
    PFAST_IO_MDL_WRITE_COMPLETE MdlWriteComplete;
    PFAST_IO_READ_COMPRESSED FastIoReadCompressed;
    PFAST_IO_WRITE_COMPRESSED FastIoWriteCompressed;
    PFAST_IO_MDL_READ_COMPLETE_COMPRESSED MdlReadCompleteCompressed;
    PFAST_IO_MDL_WRITE_COMPLETE_COMPRESSED MdlWriteCompleteCompressed;
    PFAST_IO_QUERY_OPEN FastIoQueryOpen;
    PFAST_IO_RELEASE_FOR_MOD_WRITE ReleaseForModWrite;
    PFAST_IO_ACQUIRE_FOR_CCFLUSH AcquireForCcFlush;
    PFAST_IO_RELEASE_FOR_CCFLUSH ReleaseForCcFlush;
} FAST_IO_DISPATCH, *PFAST_IO_DISPATCH;

// ---- Driver objects ---------------------------------------------------------------------

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

#define DRVO_UNLOAD_INVOKED       0x00000001
#define DRVO_LEGACY_DRIVER        0x00000002
#define DRVO_BUILTIN_DRIVER       0x00000004

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;        // the driver's devices, linked by NextDevice
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;          // \Driver\<name> or \FileSystem\<name>
    PUNICODE_STRING HardwareDatabase;
    PFAST_IO_DISPATCH FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;      // not used by the stand-in
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// ---- Device objects and VPBs --------------------------------------------------------------

#define MAXIMUM_VOLUME_LABEL_LENGTH (32 * sizeof(WCHAR))

struct _VPB {
    CSHORT Type;
    CSHORT Size;
    USHORT Flags;                       // VPB_*
    USHORT VolumeLabelLength;           // bytes
    PDEVICE_OBJECT DeviceObject;        // the mounted file-system volume device
    PDEVICE_OBJECT RealDevice;          // the storage device
    ULONG SerialNumber;
    ULONG ReferenceCount;               // opens through this VPB
    WCHAR VolumeLabel[MAXIMUM_VOLUME_LABEL_LENGTH / sizeof(WCHAR)];
};

typedef struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
} DEVOBJ_EXTENSION, *PDEVOBJ_EXTENSION;

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;                // file objects opened through the device
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;      // the device attached directly above
    PIRP CurrentIrp;
    struct _IO_TIMER* Timer;
    ULONG Flags;                        // DO_*
    ULONG Characteristics;              // FILE_REMOVABLE_MEDIA, ...
    PVPB Vpb;
    PVOID DeviceExtension;              // zero-filled at IoCreateDevice
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;           // free for the owning driver's lists
    } Queue;
    ULONG AlignmentRequirement;
    ULONG ActiveThreadCount;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PDEVOBJ_EXTENSION DeviceObjectExtension;
    PVOID Reserved;
};

#define FILE_BYTE_ALIGNMENT     0x00000000
#define FILE_WORD_ALIGNMENT     0x00000001
#define FILE_LONG_ALIGNMENT     0x00000003
#define FILE_QUAD_ALIGNMENT     0x00000007
#define FILE_OCTA_ALIGNMENT     0x0000000f
#define FILE_32_BYTE_ALIGNMENT  0x0000001f
#define FILE_64_BYTE_ALIGNMENT  0x0000003f
#define FILE_128_BYTE_ALIGNMENT 0x0000007f
#define FILE_256_BYTE_ALIGNMENT 0x000000ff
#define FILE_512_BYTE_ALIGNMENT 0x000001ff

// ---- File objects ---------------------------------------------------------------------------

typedef struct _IO_COMPLETION_CONTEXT {
    PVOID Port;
    PVOID Key;
} IO_COMPLETION_CONTEXT, *PIO_COMPLETION_CONTEXT;

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;        // the device the name reached
    PVPB Vpb;                           // the mounted VPB of a volume open
    PVOID FsContext;                    // the file system's FCB
    PVOID FsContext2;                   // the file system's CCB
    PSECTION_OBJECT_POINTERS SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    PFILE_OBJECT RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;                        // FO_*
    UNICODE_STRING FileName;            // pool buffer
    LARGE_INTEGER CurrentByteOffset;
    volatile ULONG Waiters;
    volatile ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    volatile PIO_COMPLETION_CONTEXT CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    volatile PVOID FileObjectExtension;
};

typedef struct _SHARE_ACCESS {
    ULONG OpenCount;
    ULONG Readers;
    ULONG Writers;
    ULONG Deleters;
    ULONG SharedRead;
    ULONG SharedWrite;
    ULONG SharedDelete;
} SHARE_ACCESS, *PSHARE_ACCESS;

// ---- IRPs and stack locations ---------------------------------------------------------------

// Create parameters: the access the caller asked for (generic rights mapped)
// and the access state of the open (SubjectSecurityContext for SeAccessCheck).
typedef struct _IO_SECURITY_CONTEXT {
    PSECURITY_QUALITY_OF_SERVICE SecurityQos;
    PACCESS_STATE AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;                        // IRP_*
    union {
        struct _IRP* MasterIrp;
        volatile LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;               // StackCount + 1 before the first IoCallDriver
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            union {
                PIO_APC_ROUTINE UserApcRoutine;
                PVOID IssuingProcess;
            };
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                struct {
                    PVOID DriverContext[4];
                };
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    PIO_STACK_LOCATION CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        PVOID CompletionKey;
    } Tail;
};

struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;                        // SL_* of the major function
    UCHAR Control;                      // SL_PENDING_RETURNED, SL_INVOKE_ON_*
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;              // disposition << 24 | create options
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG Length;
            PUNICODE_STRING FileName;
            FILE_INFORMATION_CLASS FileInformationClass;
            ULONG FileIndex;
        } QueryDirectory;
        struct {
            ULONG Length;
            ULONG CompletionFilter;
        } NotifyDirectory;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS FileInformationClass;
        } QueryFile;
        struct {
            ULONG Length;
            FILE_INFORMATION_CLASS FileInformationClass;
            PFILE_OBJECT FileObject;    // rename / link: the target directory
            union {
                struct {
                    BOOLEAN ReplaceIfExists;
                    BOOLEAN AdvanceOnly;
                };
                ULONG ClusterCount;
                HANDLE DeleteHandle;
            };
        } SetFile;
        struct {
            ULONG Length;
            PVOID EaList;
            ULONG EaListLength;
            ULONG EaIndex;
        } QueryEa;
        struct {
            ULONG Length;
        } SetEa;
        struct {
            ULONG Length;
            FS_INFORMATION_CLASS FsInformationClass;
        } QueryVolume;
        struct {
            ULONG Length;
            FS_INFORMATION_CLASS FsInformationClass;
        } SetVolume;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
            PVOID Type3InputBuffer;
        } FileSystemControl;
        struct {
            PLARGE_INTEGER Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } LockControl;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            SECURITY_INFORMATION SecurityInformation;
            ULONG Length;
        } QuerySecurity;
        struct {
            SECURITY_INFORMATION SecurityInformation;
            PSECURITY_DESCRIPTOR SecurityDescriptor;
        } SetSecurity;
        struct {
            PVPB Vpb;
            PDEVICE_OBJECT DeviceObject;
        } MountVolume;
        struct {
            PVPB Vpb;
            PDEVICE_OBJECT DeviceObject;
        } VerifyVolume;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};

#define IoSizeOfIrp(StackSize) \
    ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

// ---- Routines -------------------------------------------------------------------------------

NT_BEGIN_C

extern NTKERNELAPI POBJECT_TYPE* IoDeviceObjectType;
extern NTKERNELAPI POBJECT_TYPE* IoDriverObjectType;

// Devices and stacks.
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
    PDEVICE_OBJECT* DeviceObject);
// Removes the name and unlinks the device; the object goes when its last
// reference does. When ReferenceCount is 0, a device attached above it is
// offered to its driver's FastIoDetachDevice at once; otherwise when the last
// file object opened through the device goes.
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// Attaches Source to the top of Target's stack; returns that top device (NULL
// when it is being deleted). Source->StackSize = top->StackSize + 1.
NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
    PDEVICE_OBJECT TargetDevice);
NTKERNELAPI NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice,
    PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT* AttachedToDeviceObject);
// Detaches the device attached directly above TargetDevice.
NTKERNELAPI VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
// The device directly below (referenced), or NULL.
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
// The bottom of the stack (referenced).
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
// The file-system volume device (VPB->DeviceObject) or the file's own device.
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetBaseFileSystemDeviceObject(PFILE_OBJECT FileObject);
// Opens the named device (ZwOpenFile, FILE_NON_DIRECTORY_FILE) and returns the
// referenced file object and the top device of its stack. Release with
// ObDereferenceObject(*FileObject).
NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
    PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID);
NTKERNELAPI VOID NTAPI IoAcquireVpbSpinLock(PKIRQL Irql);
NTKERNELAPI VOID NTAPI IoReleaseVpbSpinLock(KIRQL Irql);

// IRPs.
NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI VOID NTAPI IoFreeIrp(PIRP Irp);
NTKERNELAPI VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
NTKERNELAPI VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
    BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
    PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
    PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(DeviceObject, Irp) IofCallDriver((DeviceObject), (Irp))
#define IoCompleteRequest(Irp, PriorityBoost) IofCompleteRequest((Irp), (PriorityBoost))
// Sets Irp->Cancel and calls the cancel routine (with the cancel spin lock
// held, which the routine releases) if one is set; TRUE when one was called.
NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
NTKERNELAPI VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTKERNELAPI BOOLEAN NTAPI IoIsOperationSynchronous(PIRP Irp);
NTKERNELAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp);
// The file system's top-level IRP of the calling thread.
NTKERNELAPI PIRP NTAPI IoGetTopLevelIrp(VOID);
NTKERNELAPI VOID NTAPI IoSetTopLevelIrp(PIRP Irp);

// Work items: the device is referenced while the item is queued.
NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
    WORK_QUEUE_TYPE QueueType, PVOID Context);

// MDLs. With an Irp, the MDL becomes Irp->MdlAddress (SecondaryBuffer: it is
// appended to the chain).
NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
    BOOLEAN ChargeQuota, PIRP Irp);
NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);

// File systems and notifications.
NTKERNELAPI VOID NTAPI IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject);
// The routine is called at once for every file system already registered, then
// for each later registration (FsActive TRUE) and unregistration (FALSE), with
// the control device that was registered (the bottom of its stack).
NTKERNELAPI NTSTATUS NTAPI IoRegisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
    PDRIVER_FS_NOTIFICATION DriverNotificationRoutine);
NTKERNELAPI VOID NTAPI IoUnregisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
    PDRIVER_FS_NOTIFICATION DriverNotificationRoutine);
// At shutdown the device's stack (its top) receives IRP_MJ_SHUTDOWN; the most
// recently registered device first.
NTKERNELAPI NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject);

// Share access, for file systems.
NTKERNELAPI NTSTATUS NTAPI IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
    PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, BOOLEAN Update);
NTKERNELAPI VOID NTAPI IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
    PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess);
NTKERNELAPI VOID NTAPI IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess);
NTKERNELAPI VOID NTAPI IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess);

// File creation. Options: IO_FORCE_ACCESS_CHECK (SL_FORCE_ACCESS_CHECK in the
// create stack location), IO_OPEN_TARGET_DIRECTORY (SL_OPEN_TARGET_DIRECTORY),
// IO_NO_PARAMETER_CHECKING. Only CreateFileTypeNone is supported.
NTKERNELAPI NTSTATUS NTAPI IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
    ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
    ULONG EaLength, CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options);
// As IoCreateFile, but the create IRP goes to DeviceObject (which must be in the
// stack of the volume the name reaches) instead of the top of the stack; later
// requests on the file object (IoGetRelatedDeviceObject) go there too.
NTKERNELAPI NTSTATUS NTAPI IoCreateFileSpecifyDeviceObjectHint(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
    ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
    ULONG EaLength, CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options,
    PVOID DeviceObject);

// ---- File services (Zw: previous mode KernelMode; Nt: the caller's mode) ---------------------

// Zw*: previous mode KernelMode.
NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
    ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
    PVOID EaBuffer, ULONG EaLength);

NTSYSAPI NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
    ULONG OpenOptions);

NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
    PLARGE_INTEGER ByteOffset, PULONG Key);

NTSYSAPI NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
    PLARGE_INTEGER ByteOffset, PULONG Key);

NTSYSAPI NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

NTSYSAPI NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

NTSYSAPI NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
    PUNICODE_STRING FileName, BOOLEAN RestartScan);

NTSYSAPI NTSTATUS NTAPI ZwNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
    ULONG Length, ULONG CompletionFilter, BOOLEAN WatchTree);

NTSYSAPI NTSTATUS NTAPI ZwQueryVolumeInformationFile(HANDLE FileHandle,
    PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation, ULONG Length,
    FS_INFORMATION_CLASS FsInformationClass);

NTSYSAPI NTSTATUS NTAPI ZwSetVolumeInformationFile(HANDLE FileHandle,
    PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation, ULONG Length,
    FS_INFORMATION_CLASS FsInformationClass);

NTSYSAPI NTSTATUS NTAPI ZwFsControlFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

NTSYSAPI NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

NTSYSAPI NTSTATUS NTAPI ZwQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer, ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
    PULONG EaIndex, BOOLEAN RestartScan);

NTSYSAPI NTSTATUS NTAPI ZwSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer, ULONG Length);

NTSYSAPI NTSTATUS NTAPI ZwLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length,
    ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock);

NTSYSAPI NTSTATUS NTAPI ZwUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key);

// Files: IRP_MJ_QUERY/SET_SECURITY to the file system. Other objects: their
// descriptor in the object manager. STATUS_BUFFER_TOO_SMALL with *LengthNeeded.
NTSYSAPI NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle,
    SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
    PULONG LengthNeeded);

NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
    PSECURITY_DESCRIPTOR SecurityDescriptor);

// Nt*: the caller's previous mode (UserMode inside a plat::UserModeScope).
NTSYSAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
    ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
    PVOID EaBuffer, ULONG EaLength);

NTSYSAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
    ULONG OpenOptions);

NTSYSAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
    PLARGE_INTEGER ByteOffset, PULONG Key);

NTSYSAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
    PLARGE_INTEGER ByteOffset, PULONG Key);

NTSYSAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

NTSYSAPI NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID FileInformation, ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

NTSYSAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
    PUNICODE_STRING FileName, BOOLEAN RestartScan);

NTSYSAPI NTSTATUS NTAPI NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
    ULONG Length, ULONG CompletionFilter, BOOLEAN WatchTree);

NTSYSAPI NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle,
    PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation, ULONG Length,
    FS_INFORMATION_CLASS FsInformationClass);

NTSYSAPI NTSTATUS NTAPI NtSetVolumeInformationFile(HANDLE FileHandle,
    PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation, ULONG Length,
    FS_INFORMATION_CLASS FsInformationClass);

NTSYSAPI NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

NTSYSAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
    PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

NTSYSAPI NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

NTSYSAPI NTSTATUS NTAPI NtQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer, ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
    PULONG EaIndex, BOOLEAN RestartScan);

NTSYSAPI NTSTATUS NTAPI NtSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PVOID Buffer, ULONG Length);

NTSYSAPI NTSTATUS NTAPI NtLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length,
    ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock);

NTSYSAPI NTSTATUS NTAPI NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
    PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key);

// Files: IRP_MJ_QUERY/SET_SECURITY to the file system. Other objects: their
// descriptor in the object manager. STATUS_BUFFER_TOO_SMALL with *LengthNeeded.
NTSYSAPI NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle,
    SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
    PULONG LengthNeeded);

NTSYSAPI NTSTATUS NTAPI NtSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
    PSECURITY_DESCRIPTOR SecurityDescriptor);

NT_END_C

// ---- Stack-location helpers ------------------------------------------------------------------

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

static inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

static inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

// Copies the current location to the next, up to and including FileObject;
// the next location's completion routine, context and Control are cleared.
static inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlCopyMemory(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    next->CompletionRoutine = NULL;
    next->Context = NULL;
}

static inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                          BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                          BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

static inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

static inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine,
                                                      (PVOID)CancelRoutine);
}

#define IoIsErrorUserInduced(Status)                                                                 \
    ((BOOLEAN)(((Status) == STATUS_DEVICE_NOT_READY) || ((Status) == STATUS_NO_MEDIA_IN_DEVICE) ||   \
               ((Status) == STATUS_VERIFY_REQUIRED) || ((Status) == STATUS_UNRECOGNIZED_MEDIA) ||    \
               ((Status) == STATUS_WRONG_VOLUME) || ((Status) == STATUS_MEDIA_WRITE_PROTECTED)))
