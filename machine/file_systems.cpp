// Registering the disk file systems (see file_systems.h).
#include "machine/file_systems.h"

#include "fs/fs.h"
#include "rtl/convert.h"

namespace machine {

std::string RegisterFileSystems(std::vector<std::string>* Names) {
    Names->clear();
    // As on Windows, FAT comes through the recogniser: the real driver loads
    // when the first FAT volume mounts.
    NTSTATUS status = plat::fs::LoadFileSystems(plat::fs::FatLoading::ThroughRecognizer);
    if (!NT_SUCCESS(status)) return "the file systems did not load: " + plat::NtStatusText(status);
    *Names = {"Ntfs", "Fs_Rec (FAT recogniser)"};
    return "";
}

}  // namespace machine
