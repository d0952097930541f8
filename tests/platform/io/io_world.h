// Small real drivers for the I/O manager's tests: a disk driver (devices with
// a VPB and a drive letter), a file system that mounts those disks and keeps
// files in memory, and a pass-through filter. They run on the real I/O
// manager; a journal records what each driver saw, in order.
#pragma once

#include <ntifs.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/kernel_fixture.h"

namespace iotest {

// ---- Journal ----------------------------------------------------------------------

void JournalAdd(const std::string& Event);
std::vector<std::string> JournalTake();
void JournalClear();

std::string Narrow(PCUNICODE_STRING Text);

// ---- Disks ------------------------------------------------------------------------

struct DiskExtension {
    ULONG Magic;
    BOOLEAN Recognisable;      // the test file systems mount it
    UCHAR BusType;
};

// Loads the disk driver (once per kernel) and creates \Device\<Name> with the
// link DosName (for example L"\\??\\T:").
PDEVICE_OBJECT CreateDisk(PCWSTR Name, PCWSTR DosName, bool Recognisable = true, UCHAR BusType = BusTypeAta);

// ---- File system ------------------------------------------------------------------

// How a file system answers a mount request.
enum class MountAnswer { Mount, Unrecognised, Fail, NeedsDriver };

struct FsControlExtension {
    ULONG Magic;
    char Name[16];
    MountAnswer Answer;
};

// One open of a name: the FCB the test file system keeps per path.
struct TestFcb {
    FSRTL_COMMON_FCB_HEADER Header;
    ERESOURCE Resource;
    std::u16string Name;
    std::vector<UCHAR> Data;
    ULONG OpenCount;
};

struct TestCcb {
    UNICODE_STRING DirectoryName;  // over the FCB's name, for the notify package
};

struct VolumeExtension {
    ULONG Magic;
    PDEVICE_OBJECT RealDevice;
    FsControlExtension* FileSystem;
    PNOTIFY_SYNC NotifySync;
    LIST_ENTRY NotifyList;
    std::map<std::u16string, TestFcb*>* Files;
};

// A reparse answered for names under Prefix.
struct ReparseRule {
    std::u16string Prefix;       // e.g. u"\\junction"
    std::u16string Substitute;   // e.g. u"\\??\\U:\\target"; empty: IO_REPARSE with NewName
    std::u16string NewName;      // the complete new name for IO_REPARSE
};

// Knobs of the test file system, reset by ResetFileSystemBehaviour.
struct FsBehaviour {
    NTSTATUS CreateStatus = STATUS_SUCCESS;
    std::vector<ReparseRule> Reparse;
    bool PendCreates = false;    // complete creates from another thread
};

// What the test file system saw in the last create.
struct CreateSeen {
    KPROCESSOR_MODE RequestorMode;
    UCHAR Flags;                 // SL_*
    ULONG Options;               // disposition << 24 | options
    ACCESS_MASK DesiredAccess;
    USHORT ShareAccess;
    ULONG EaLength;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    PFILE_OBJECT RelatedFileObject;
    PDEVICE_OBJECT Device;       // IrpSp->DeviceObject
};
CreateSeen LastCreate();
FsBehaviour& Behaviour();
void ResetWorld();

// Loads a file-system driver \FileSystem\<Name> with one control device of
// Type and registers it. Returns the control device.
PDEVICE_OBJECT LoadFileSystem(PCWSTR Name, MountAnswer Answer = MountAnswer::Mount,
                              DEVICE_TYPE Type = FILE_DEVICE_DISK_FILE_SYSTEM);

// The volume device mounted on a disk, or NULL.
PDEVICE_OBJECT MountedVolume(PDEVICE_OBJECT Disk);

// ---- Filter ---------------------------------------------------------------------------

struct FilterExtension {
    ULONG Magic;
    PDEVICE_OBJECT Lower;
    char Name[16];
};

// Creates a pass-through filter device and attaches it on top of Target's
// stack. The filter journals "<name>:<major>" for each IRP and, when the device
// below it goes away, "<name>:detach" (and detaches and deletes itself).
PDEVICE_OBJECT AttachFilter(PDEVICE_OBJECT Target, const char* Name);

// ---- Opening ----------------------------------------------------------------------------

// ZwCreateFile with a kernel handle.
NTSTATUS OpenKernel(PCWSTR Name, ACCESS_MASK Access, ULONG Options, HANDLE* Handle,
                    PIO_STATUS_BLOCK Iosb = nullptr, ULONG Disposition = FILE_OPEN);
PFILE_OBJECT FileOf(HANDLE Handle);  // referenced

// Releases what the test drivers keep outside their device objects (call
// before destroying the kernel early; TearDown does it otherwise).
void ReleaseWorld();

class IoWorldTest : public quilt_test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace iotest
