// Registering the disk file systems (see file_systems.h).
#include "machine/file_systems.h"

#include "fs/fs.h"
#include "rtl/convert.h"

namespace machine {

std::string RegisterFileSystems(std::vector<std::string>* Names) {
    Names->clear();
    NTSTATUS status = plat::fs::LoadFileSystems();
    if (!NT_SUCCESS(status)) return "the file systems did not load: " + plat::NtStatusText(status);
    *Names = {"Ntfs", "Fastfat"};
    return "";
}

}  // namespace machine
