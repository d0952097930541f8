// The disk file systems of the stand-in, as the rest of the host sees them.
//
// Two file-system drivers share one engine (platform/fs/engine): \FileSystem\Ntfs
// and \FileSystem\Fastfat (a third, \FileSystem\Fs_Rec, can stand in for FAT
// until the first FAT volume mounts). Each registers a control device of type
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

// How FAT arrives in a kernel: loaded and registered at once, or through the
// file-system recogniser (recognizer.cpp), which registers first and loads the
// real FAT driver when a mount meets the first FAT volume.
enum class FatLoading { Direct, ThroughRecognizer };

// Loads and registers the file systems in the current kernel (once; later
// calls return STATUS_SUCCESS). Order: NTFS first, then FAT (or its
// recogniser, \FileSystem\Fs_Rec with the control device \FatDiskRecognizer).
NTSTATUS LoadFileSystems(FatLoading How = FatLoading::Direct);

// Flushes every mounted volume of the current kernel into its disk.
void FlushAllVolumes();

// Tests: marks the stream of an open file as mapped as an image (or no
// longer), as a loaded executable is. While mapped, the file cannot be
// deleted or opened for writing, and MmFlushImageSection answers FALSE.
NTSTATUS SetImageSection(PFILE_OBJECT FileObject, bool Mapped);

}  // namespace plat::fs
