// Opening files below the protection: every file the driver opens for itself
// is opened here, directly at the real file system under the driver's volume
// filter, so that its own traffic is never redirected. Paths are
// volume-relative (beginning with a backslash) and travel with a drive index
// (0 = A); a NULL path opens the volume itself.
#pragma once

#include <ntifs.h>

// For an open with FILE_OPEN_BY_FILE_ID the path argument points at this
// record instead of a string: the length of the ID in bytes (8, or 16 for an
// object ID), then the ID.
struct LowerFileId {
    UCHAR Length;
    UCHAR Id[16];
};

// Opens Path on the drive and returns a referenced file object (with
// FO_SYNCHRONOUS_IO set) and a kernel handle in *Handle; NULL on failure with
// the reason in IoStatus->Status. On a protected drive the open is sent
// straight to the file-system volume device below the volume filter. The
// arguments after IoStatus are those of IoCreateFile; Options are its
// IO_* options.
PFILE_OBJECT OpenLowerFile(PHANDLE Handle, ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path,
                           PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                           ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer,
                           ULONG EaLength, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Options);

// OpenLowerFile, and when the path runs through a junction that the open does
// not resolve, the open again at the junction's target (on the target's drive,
// the rest of the path mapped through that drive's change store). *Junction
// (optional) tells whether the result came through a junction.
PFILE_OBJECT OpenLowerFileResolved(PHANDLE Handle, ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path,
                                   PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize,
                                   ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition,
                                   ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Options, PBOOLEAN Junction);

// The create path of the driver's volume device (\Device\quilt<L>), through
// which OpenLowerFile's opens by ID reach the file system below: removes the
// markers the driver's own names carry before the create goes down.
//   by file ID    a trailing U+FFFF is removed; a name that came as "\" and
//                 the ID (10 or 18 bytes) loses its leading character.
//   otherwise     a trailing U+FFFE is removed and the create becomes a
//                 user-mode one (so that the file system checks access);
//                 every other create is a kernel-mode one.
VOID StripLowerOpenMarkers(PIRP Irp);

// Undoes an open: dereferences the file object and closes the handle. Does
// nothing when either is missing.
VOID CloseLowerFile(PFILE_OBJECT FileObject, HANDLE Handle);

// An open file below the protection, owned by its holder (the directory walker
// keeps one per level). Empty: FileObject NULL.
struct LowerFileHolder {
    PFILE_OBJECT FileObject;
    HANDLE Handle;
    IO_STATUS_BLOCK IoStatus;

    LowerFileHolder() { Clear(); }
    ~LowerFileHolder() { Close(); }
    LowerFileHolder(const LowerFileHolder&) = delete;
    LowerFileHolder& operator=(const LowerFileHolder&) = delete;

    // Forgets the open without closing it.
    VOID Clear();
    // Closes what the holder has open, then opens with OpenLowerFileResolved
    // (no allocation size, EAs or security descriptor, IoCreateFile options 0).
    // Returns IoStatus.Status.
    NTSTATUS Open(ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path, ULONG FileAttributes,
                  ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions, PBOOLEAN Junction = NULL);
    // Closes the open, if any, and empties the holder.
    VOID Close();
};

// Opens "\DosDevices\<Name>" (a full path such as C:\dir\file, through the
// whole device stack) for reading and returns its handle, its size (low 32
// bits of the end of file) and its last-write time. STATUS_NO_SUCH_FILE when
// it cannot be opened; a failed query closes the handle and returns its
// status. On success the caller closes the handle (ZwClose).
NTSTATUS OpenDosDeviceFile(PCWSTR Name, PHANDLE Handle, PULONG Size, PLARGE_INTEGER LastWriteTime);

// Renames a file below the protection, replacing an existing target: the source
// (SourceFileObject, or SourcePath opened here) gets FileRenameInformation with
// TargetPath (volume-relative, same drive) at LowerDevice.
NTSTATUS RenameThroughVolume(PDEVICE_OBJECT LowerDevice, PFILE_OBJECT SourceFileObject, PCWSTR SourcePath,
                             PCWSTR TargetPath, ULONG DriveIndex);

// TRUE when the directory holds nothing but "." and "..". A failed listing
// counts as empty only when it reports STATUS_NO_MORE_FILES.
BOOLEAN IsDirectoryEmpty(PDEVICE_OBJECT Device, PFILE_OBJECT Directory);

// The file-system device of a drive: NULL for an index of 26 or more; for a
// protected drive the lower device of its volume filter (the file-system
// volume device); otherwise the device of the drive's opened root directory,
// or NULL when the root cannot be opened.
PDEVICE_OBJECT FileSystemDeviceOfDrive(ULONG DriveIndex);
