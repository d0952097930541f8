// Disks and volumes of the stand-in.
//
// A Disk is a host object that outlives kernels, as a machine keeps its disks
// across restarts: it has a bus type (ATA, USB, IEEE 1394, ...), removable or
// fixed media, a size, and one volume formatted NTFS or FAT. What the disk
// holds is the volume image the file system last flushed into it; a kernel
// that ends without flushing (a crash) leaves the image as it was.
//
// In a kernel, Attach makes a disk visible: a storage device
// \Device\HarddiskVolumeN (FILE_DEVICE_DISK, with a VPB; FILE_REMOVABLE_MEDIA
// for removable disks) answering the storage and disk IOCTLs, and the drive
// letter link \??\X:. The I/O manager mounts the volume on its first open:
// the file systems (platform/fs) recognise their disks through DiskOfDevice.
//
// Save and Load keep a disk in a host file: a versioned format with a checksum,
// written atomically (temporary file, flush, rename). A damaged or foreign
// file is refused with a reason, never mounted.
//
// Thread safety: a Disk's members may be called from any thread; the image is
// guarded by the disk's own lock.
#pragma once

#include <ntifs.h>

#include "fs/engine/names.h"
#include "fs/engine/volume_image.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace plat::storage {

struct DiskConfig {
    fs::FsKind FileSystem = fs::FsKind::Ntfs;
    uint64_t SizeBytes = 256ull << 20;
    uint32_t ClusterSize = 4096;
    STORAGE_BUS_TYPE BusType = BusTypeAta;
    bool Removable = false;
    fs::Name Label;                 // at most 32 characters (NTFS) or 11 (FAT)
    uint32_t SerialNumber = 0;      // 0: one is chosen
};

class Disk {
public:
    // A new disk with a freshly formatted, empty volume.
    static std::shared_ptr<Disk> Create(const DiskConfig& config);

    const DiskConfig& Config() const { return m_Config; }

    // The flushed image (a copy), and a change of it under the disk's lock.
    fs::VolumeImage Image();
    void UpdateImage(const std::function<void(fs::VolumeImage&)>& update);

    // Write protection: the media refuses writes (IOCTL_DISK_IS_WRITABLE says
    // so, the file system mounts the volume read-only).
    void SetWriteProtected(bool writeProtected);
    bool WriteProtected();

    // Makes the next mounts fail with `status` (STATUS_SUCCESS: mount again).
    void SetMountFailure(NTSTATUS status);
    NTSTATUS MountFailure();

    // Host files. Save replaces the file atomically; both return false with a
    // reason on failure.
    bool Save(const std::string& path, std::string* error);
    static bool Load(const std::string& path, std::shared_ptr<Disk>* disk, std::string* error);

    // The encoded form Save writes (tests of the format use it directly).
    std::vector<uint8_t> Serialize();
    static bool Deserialize(const std::vector<uint8_t>& bytes, std::shared_ptr<Disk>* disk, std::string* error);

private:
    Disk(const DiskConfig& config, fs::VolumeImage image);

    const DiskConfig m_Config;
    std::mutex m_Lock;
    fs::VolumeImage m_Image;
    bool m_WriteProtected = false;
    NTSTATUS m_MountFailure = STATUS_SUCCESS;
};

// ---- In the current kernel ----------------------------------------------------

// Creates the disk's storage device and, when DriveLetter is set ('A'..'Z'),
// the link \??\<letter>:. *Device (optional) receives the storage device.
// STATUS_OBJECT_NAME_COLLISION when the letter is taken; a disk is attached
// once per kernel.
NTSTATUS Attach(const std::shared_ptr<Disk>& disk, WCHAR driveLetter, PDEVICE_OBJECT* device = nullptr);

// Removes the drive letter and deletes the storage device (the device object
// lives on while file objects refer to it). Dismount the volume first
// (FSCTL_DISMOUNT_VOLUME), as one removes a disk safely: a volume still mounted
// keeps answering its open files but reaches its disk no more after that.
NTSTATUS Detach(const std::shared_ptr<Disk>& disk);

// The disk behind a storage device of the current kernel, or null.
std::shared_ptr<Disk> DiskOfDevice(PDEVICE_OBJECT device);
// The storage device of an attached disk, or null.
PDEVICE_OBJECT DeviceOfDisk(const Disk* disk);

}  // namespace plat::storage
