// The disk file systems of the stand-in, as the rest of the host sees them.
//
// Two file-system drivers share one engine (platform/fs/engine): \FileSystem\Ntfs
// and \FileSystem\Fastfat. Each registers a control device of type
// FILE_DEVICE_DISK_FILE_SYSTEM (\Ntfs, \Fat) with IoRegisterFileSystem and
// for shutdown notification; the I/O manager then offers them every volume
// on its first open, and each mounts the disks (platform/storage) formatted
// with its personality.
//
// Nothing is loaded by the kernel itself: the machine (or a test) calls
// LoadFileSystems after KernelCreate. Mounted volumes flush into their disk
// on IRP_MJ_FLUSH_BUFFERS, on writes through write-through handles, at
// dismount and at shutdown (IRP_MJ_SHUTDOWN); a kernel that ends otherwise
// leaves its disks as last flushed.
#pragma once

#include <ntifs.h>

namespace plat::fs {

// Loads and registers both file systems in the current kernel (once; later
// calls return STATUS_SUCCESS). Order: NTFS first, then FAT.
NTSTATUS LoadFileSystems();

// Flushes every mounted volume of the current kernel into its disk.
void FlushAllVolumes();

// Tests: marks the stream of an open file as mapped as an image (or no
// longer), as a loaded executable is. While mapped, the file cannot be
// deleted or opened for writing, and MmFlushImageSection answers FALSE.
NTSTATUS SetImageSection(PFILE_OBJECT FileObject, bool Mapped);

}  // namespace plat::fs
