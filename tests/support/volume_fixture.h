// A kernel with disks and file systems, for tests that work through the
// native API: C: is an NTFS disk on ATA, D: a FAT disk on USB (removable),
// both mounted on first open by the file systems of platform/fs. A user
// process (a plain user, not an administrator) is ready for requests issued
// in user mode.
#pragma once

#include "support/kernel_fixture.h"

#include "fs/fs.h"
#include "fs/win32_paths.h"
#include "ps/process.h"
#include "storage/storage.h"

#include <memory>
#include <string>
#include <vector>

namespace quilt_test {

class VolumeTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the calling thread as a thread of the user process while alive.
    std::unique_ptr<plat::UserModeScope> AsUser() { return std::make_unique<plat::UserModeScope>(UserProcess); }
    // A second user process with another plain user.
    PEPROCESS OtherUser();

    // Ends the kernel cleanly (shutdown: volumes flushed) and starts a new one
    // with the same disks attached again.
    void Reboot();
    // Power loss: the kernel goes without shutdown; the disks keep what was
    // flushed. A new kernel starts with the same disks.
    void Crash();

    std::shared_ptr<plat::storage::Disk> SystemDisk;   // C:
    std::shared_ptr<plat::storage::Disk> DataDisk;     // D:
    PEPROCESS UserProcess = nullptr;
    PEPROCESS SecondProcess = nullptr;

private:
    void StartKernelWithDisks();
    void EndProcesses();
};

// Short-hands over plat::native for tests.
NTSTATUS OpenPath(const char16_t* path, plat::native::File* file, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                  ULONG disposition = FILE_OPEN, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                  ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  ULONG_PTR* information = nullptr);
std::string ReadText(const char16_t* path);
// The reparse data of a junction (mount point) with its substitute and print
// names.
std::vector<uint8_t> MountPointData(const std::u16string& Substitute, const std::u16string& Print);
// Creates the folder Path and makes it a junction to Target (a Win32 path).
NTSTATUS MakeJunction(const std::u16string& Path, const std::u16string& Target);

}  // namespace quilt_test
