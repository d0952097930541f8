// The simulated machine (see machine.h): creation and persistence.
#include "machine/machine.h"

#include <stdlib.h>

#include <sstream>

#include "cm/registry.h"
#include "core/kernel.h"
#include "core/verifier.h"
#include "machine/file_systems.h"
#include "machine/host_files.h"
#include "machine/layout.h"
#include "machine/system_files.h"
#include "machine/registry_setup.h"
#include "rtl/convert.h"

namespace machine {
namespace {

const char* LastEndText(LastEnd end) {
    switch (end) {
    case LastEnd::Clean:
        return "clean";
    case LastEnd::Crash:
        return "crash";
    default:
        return "never";
    }
}

plat::storage::DiskConfig DiskConfigOf(const VolumeConfig& volume) {
    plat::storage::DiskConfig disk;
    disk.FileSystem = volume.FileSystem == FileSystemKind::Ntfs ? plat::fs::FsKind::Ntfs : plat::fs::FsKind::Fat;
    disk.SizeBytes = volume.SizeBytes;
    disk.BusType = volume.Bus == BusKind::Usb ? BusTypeUsb : volume.Bus == BusKind::Ieee1394 ? BusType1394 : BusTypeAta;
    disk.Removable = volume.Removable;
    disk.Label = plat::Utf8ToUtf16(volume.Label);
    return disk;
}

}  // namespace

std::string Machine::Path(const std::string& Name) const {
    return m_Folder + "/" + Name;
}

std::string Machine::DiskFile(char Letter) const {
    return Path(std::string("disk-") + Letter + ".img");
}

std::unique_ptr<Machine> Machine::Open(const std::string& Folder, const MachineConfig* Config, std::string* Error,
                                       const MachineOptions& Options) {
    std::unique_ptr<Machine> machine(new Machine());
    machine->m_Options = Options;
    *Error = "";
    if (Folder.empty()) {
        *Error = HostMakeTemporaryFolder(&machine->m_Folder);
        machine->m_TemporaryFolder = true;
    } else {
        machine->m_Folder = Folder;
        *Error = HostMakeFolders(Folder);
    }
    if (!Error->empty()) return nullptr;

    if (HostFileExists(machine->Path(kConfigFile))) {
        *Error = machine->LoadFromFolder();
    } else {
        machine->m_Config = Config != nullptr ? *Config : DefaultConfig();
        *Error = ValidateConfig(machine->m_Config);
        if (Error->empty()) *Error = machine->Install();
        machine->m_NewlyInstalled = true;
    }
    if (!Error->empty()) return nullptr;
    return machine;
}

std::unique_ptr<Machine> Machine::CreateTemporary(const MachineConfig& Config, std::string* Error,
                                                  const MachineOptions& Options) {
    return Open("", &Config, Error, Options);
}

Machine::~Machine() {
    if (m_Running) Shutdown();
    if (m_TemporaryFolder) HostRemoveTree(m_Folder);
}

void Machine::Note(const std::string& Line) {
    m_Journal.push_back(Line);
}

std::shared_ptr<plat::storage::Disk> Machine::DiskOf(char Letter) const {
    Letter = static_cast<char>(toupper(static_cast<unsigned char>(Letter)));
    for (const auto& [letter, disk] : m_Disks) {
        if (letter == Letter) return disk;
    }
    return nullptr;
}

// ---- Installation ---------------------------------------------------------------

// A fresh machine: formatted disks holding the layout, the registry of a
// machine with the product installed, a formatted sector store. The work is
// done in a kernel of its own, without the sibling or the driver.
std::string Machine::Install() {
    m_Journal.clear();
    Note("installing a new machine in " + m_Folder);
    m_Sectors.Format();
    m_Disks.clear();
    for (const VolumeConfig& volume : m_Config.Volumes) {
        m_Disks.emplace_back(volume.Letter, plat::storage::Disk::Create(DiskConfigOf(volume)));
    }

    std::string error = StartKernel();
    if (!error.empty()) return error;
    error = PopulateRegistry(m_Config);
    if (error.empty()) error = plat::RegistrySave(Path(kHiveFile));
    if (error.empty()) error = AttachDisks();
    std::vector<std::string> fileSystems;
    if (error.empty()) error = RegisterFileSystems(&fileSystems);
    if (error.empty()) error = WriteLayout();
    for (const VolumeConfig& volume : m_Config.Volumes) {
        if (!error.empty()) break;
        NTSTATUS status = SystemFlushVolume(volume.Letter);
        if (!NT_SUCCESS(status)) {
            error = std::string("flushing ") + volume.Letter + ": failed with " + plat::NtStatusText(status);
        }
    }
    m_ClockAtLastEnd = plat::ClockNow();  // the first boot comes after the installation
    std::vector<std::string> findings = plat::KernelDestroy();
    for (const std::string& finding : findings) Note("installation kernel: " + finding);
    if (!error.empty()) return "installation failed: " + error;

    m_BootCount = 0;
    m_LastEnd = LastEnd::Never;
    // The configuration goes last: a folder holds a machine once it has one.
    error = SaveHardware();
    if (error.empty()) error = SaveState();
    if (error.empty()) error = HostWriteFileAtomically(Path(kConfigFile), BytesOf(FormatConfig(m_Config)));
    return error;
}

std::string Machine::WriteLayout() {
    for (const LayoutEntry& entry : FreshMachineLayout(m_Config)) {
        NTSTATUS status = entry.IsFolder ? SystemCreateFolder(entry.Path)
                                         : SystemWriteFile(entry.Path, entry.Content, entry.Attributes);
        if (!NT_SUCCESS(status)) return "creating " + entry.Path + " failed with " + plat::NtStatusText(status);
    }
    return "";
}

// ---- The folder --------------------------------------------------------------------

std::string Machine::LoadFromFolder() {
    std::vector<uint8_t> bytes;
    std::string error = HostReadFile(Path(kConfigFile), &bytes);
    if (!error.empty()) return error;
    error = ParseConfig(TextOf(bytes), &m_Config);
    if (!error.empty()) return Path(kConfigFile) + ": " + error;

    error = LoadState();
    if (!error.empty()) return error;
    m_Disks.clear();
    for (const VolumeConfig& volume : m_Config.Volumes) {
        std::shared_ptr<plat::storage::Disk> disk;
        if (!plat::storage::Disk::Load(DiskFile(volume.Letter), &disk, &error)) {
            return DiskFile(volume.Letter) + ": " + error;
        }
        m_Disks.emplace_back(volume.Letter, disk);
    }
    error = HostReadFile(Path(kSectorsFile), &bytes);
    if (error.empty()) error = m_Sectors.Restore(bytes);
    if (!error.empty()) return Path(kSectorsFile) + ": " + error;
    if (!HostFileExists(Path(kHiveFile))) return Path(kHiveFile) + " is missing";
    return RecoverFromAbandonedRun();
}

// A state file that says "running" means the process that ran the machine
// ended without shutting it down or crashing it: that is a crash too. What
// the registry flushed during that run is the hive now.
std::string Machine::RecoverFromAbandonedRun() {
    if (!m_StateSaysRunning) return "";
    Note("the machine was running when its last process ended: taken as a crash");
    m_StateSaysRunning = false;
    m_LastEnd = LastEnd::Crash;
    if (HostFileExists(Path(kFlushedHiveFile))) {
        std::string error = HostRenameFile(Path(kFlushedHiveFile), Path(kHiveFile));
        if (!error.empty()) return error;
    }
    return SaveState();
}

std::string Machine::LoadState() {
    std::vector<uint8_t> bytes;
    std::string error = HostReadFile(Path(kStateFile), &bytes);
    if (!error.empty()) return error;
    std::istringstream in(TextOf(bytes));
    std::string key;
    std::string value;
    while (in >> key >> value) {
        if (key == "boots") {
            m_BootCount = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
        } else if (key == "last-end") {
            m_LastEnd = value == "clean" ? LastEnd::Clean : value == "crash" ? LastEnd::Crash : LastEnd::Never;
        } else if (key == "running") {
            m_StateSaysRunning = value == "yes";
        } else if (key == "clock") {
            m_ClockAtLastEnd = strtoll(value.c_str(), nullptr, 10);
        }
    }
    return "";
}

std::string Machine::SaveState() {
    std::ostringstream out;
    out << "boots " << m_BootCount << '\n'
        << "last-end " << LastEndText(m_LastEnd) << '\n'
        << "running " << (m_Running ? "yes" : "no") << '\n'
        << "clock " << m_ClockAtLastEnd << '\n';
    return HostWriteFileAtomically(Path(kStateFile), BytesOf(out.str()));
}

std::string Machine::SaveHardware() {
    std::string error;
    for (const auto& [letter, disk] : m_Disks) {
        if (!disk->Save(DiskFile(letter), &error)) return DiskFile(letter) + ": " + error;
    }
    return HostWriteFileAtomically(Path(kSectorsFile), m_Sectors.Image());
}

}  // namespace machine
