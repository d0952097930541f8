// The simulated machine (see machine.h): boot, shutdown and crash.
#include "machine/machine.h"

#include <algorithm>

#include "cm/registry.h"
#include "core/kernel.h"
#include "core/verifier.h"
#include "io/io.h"
#include "machine/file_systems.h"
#include "machine/host_files.h"
#include "machine/layout.h"
#include "machine/registry_setup.h"
#include "machine/system_files.h"
#include "rtl/convert.h"
#include "sibling/pleat/pleat.h"

namespace machine {
namespace {

// How long a machine stays off between two runs, as its clock sees it.
constexpr int64_t kTimeOff = 60LL * 10000000LL;
constexpr int64_t kOneSecond = 10000000LL;
constexpr size_t kSoftwareHiveIndex = 1;  // in HiveFiles()

std::string Status(NTSTATUS status) {
    return plat::NtStatusText(status);
}

std::string Letter(char drive) {
    return std::string(1, drive) + ":";
}

}  // namespace

// ---- Boot ------------------------------------------------------------------------------

std::string Machine::Boot() {
    if (m_Running) return "the machine is running already";
    m_Journal.clear();
    m_LastRunFindings.clear();
    m_DriverEntryStatus = STATUS_PENDING;
    m_Sectors.StatusCodeHistory(true);  // from here on, this run's status codes

    std::string error = StartKernel();
    if (!error.empty()) return error;
    Note("kernel up: Windows " + std::to_string(m_Config.MajorVersion) + "." + std::to_string(m_Config.MinorVersion) +
         ", system root " + m_Config.SystemRoot);
    error = LoadSystem();
    if (!error.empty()) return FailBoot(error);
    MountVolumes();
    OpenStartupGate();
    OpenHives();
    RunBootPrograms();
    NoteProtection();

    m_Running = true;
    ++m_BootCount;
    error = SaveState();
    Note("the machine is up (boot " + std::to_string(m_BootCount) + ")");
    return error;
}

// Registry, storage, file systems, the sibling and the driver: what a boot
// cannot go on without (the sibling aside).
std::string Machine::LoadSystem() {
    std::string error = LoadRegistry();
    if (error.empty()) error = AttachDisks();
    std::vector<std::string> fileSystems;
    if (error.empty()) error = RegisterFileSystems(&fileSystems);
    if (!error.empty()) return error;
    std::string names;
    for (const std::string& name : fileSystems) names += (names.empty() ? "" : ", ") + name;
    Note("file systems registered: " + names);
    LoadSibling();
    return LoadDriver();
}

// A boot that stopped half-way ends like a crash: nothing was shut down.
std::string Machine::FailBoot(const std::string& Error) {
    Note("boot failed: " + Error);
    PowerOffAndRelease();
    m_LastEnd = LastEnd::Crash;
    SaveHardware();
    SaveState();
    return Error;
}

std::string Machine::StartKernel() {
    if (plat::KernelExists()) return "another kernel runs in this process";
    m_SystemRootWide = plat::Utf8ToUtf16(m_Config.SystemRoot);
    plat::KernelOptions options;
    options.VirtualTime = m_Options.VirtualClock;
    options.StartSystemTime = m_ClockAtLastEnd != 0 ? m_ClockAtLastEnd + kTimeOff : 0;
    options.TimeZoneBiasMinutes = m_Config.TimeZoneBiasMinutes;
    options.MajorVersion = m_Config.MajorVersion;
    options.MinorVersion = m_Config.MinorVersion;
    options.SystemRoot = plat::WidePtr(m_SystemRootWide);
    options.EchoDebugOutput = m_Options.EchoDebugOutput;
    plat::KernelCreate(options);
    return "";
}

// The system hive comes from the machine's hive file; the software hive is
// taken away until the System process has opened its file (OpenHives).
std::string Machine::LoadRegistry() {
    HostRemoveFile(Path(kFlushedHiveFile));
    std::string error = plat::RegistryLoad(Path(kHiveFile));
    if (!error.empty()) return "registry: " + error;
    plat::RegistrySetFlushFile(Path(kFlushedHiveFile));
    NTSTATUS status = plat::RegistryUnmountHive(kSoftwareHive);
    if (!NT_SUCCESS(status)) return "registry: the software hive cannot be set aside: " + Status(status);
    Note("registry: system hive loaded; software hive not readable yet");
    return "";
}

std::string Machine::AttachDisks() {
    for (const auto& [letter, disk] : m_Disks) {
        NTSTATUS status = plat::storage::Attach(disk, static_cast<WCHAR>(letter));
        if (!NT_SUCCESS(status)) return "storage: attaching " + Letter(letter) + " failed with " + Status(status);
        const VolumeConfig* volume = m_Config.FindVolume(letter);
        Note("storage: " + Letter(letter) + " " + (volume->FileSystem == FileSystemKind::Ntfs ? "NTFS" : "FAT") + " " +
             FormatSize(volume->SizeBytes) + (volume->Removable ? " removable" : " fixed") + " disk attached");
    }
    return "";
}

void Machine::LoadSibling() {
    if (!m_Config.SiblingPresent) {
        Note("sibling PLEAT: not installed");
        return;
    }
    NTSTATUS status = pleat::LoadSibling(&m_Sectors);
    Note("sibling PLEAT loaded: " + Status(status) +
         (m_Sectors.Present() ? "" : " (its sector store is gone: every sector request fails)"));
}

std::string Machine::LoadDriver() {
    std::string error = m_Driver.Load(DriverModule::DefaultPath());
    if (!error.empty()) return "quilt.sys: " + error;
    m_DriverEntryStatus = plat::IoLoadDriver(L"\\Driver\\quilt", m_Driver.Entry(), kQuiltServiceKey, nullptr);
    Note("quilt.sys loaded with fresh globals; DriverEntry answered " + Status(m_DriverEntryStatus));
    return "";
}

// The first open of a volume mounts it; the system drive comes first.
void Machine::MountVolumes() {
    std::vector<char> order;
    for (const auto& entry : m_Disks) order.push_back(entry.first);
    std::sort(order.begin(), order.end());
    std::stable_partition(order.begin(), order.end(), [this](char l) { return l == m_Config.SystemDrive(); });
    for (char letter : order) {
        NTSTATUS status = SystemOpenRoot(letter);
        if (NT_SUCCESS(status)) Note("volume " + Letter(letter) + " mounted");
        else Note("volume " + Letter(letter) + " did not mount: " + Status(status));
    }
}

// The memory manager sets up the paging file: its query of the file's
// extents on the system volume opens the driver's start-up gate.
void Machine::OpenStartupGate() {
    std::string pagingFile = PagingFilePath(m_Config);
    HANDLE handle = nullptr;
    NTSTATUS status = SystemOpenPagingFile(pagingFile, &handle);
    if (handle != nullptr) m_SystemHandles.push_back(handle);
    Note("paging file " + pagingFile + ": FSCTL_QUERY_RETRIEVAL_POINTERS answered " + Status(status));
}

// The configuration manager opens the hive files and keeps them open; the
// software hive is readable once its file is open. Then the kernel loads
// ntdll.dll and the boot drivers' images.
void Machine::OpenHives() {
    std::vector<std::string> hives = HiveFiles(m_Config);
    for (size_t i = 0; i < hives.size(); ++i) {
        HANDLE handle = nullptr;
        NTSTATUS status = SystemOpenFile(hives[i], FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, 0, FILE_OPEN,
                                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
        if (NT_SUCCESS(status)) m_SystemHandles.push_back(handle);
        Note("System opened " + hives[i] + ": " + Status(status));
        if (i == kSoftwareHiveIndex) {
            NTSTATUS mounted = plat::RegistryMountHive(kSoftwareHive);
            Note(std::string("software hive readable: ") + Status(mounted));
        }
    }
    for (const std::string& file : SystemLoadedFiles(m_Config)) {
        Note("System loaded " + file + ": " + Status(SystemTouch(file)));
    }
}

void Machine::RunBootPrograms() {
    for (const BootProgram& boot : BootPrograms(m_Config)) {
        NTSTATUS status = STATUS_SUCCESS;
        if (boot.Starter == "System") {
            status = SystemTouch(boot.ImagePath);
        } else {
            auto starter = std::find_if(m_Programs.begin(), m_Programs.end(),
                                        [&boot](const auto& p) { return p->ImageName() == boot.Starter; });
            status = starter != m_Programs.end() ? (*starter)->Touch(boot.ImagePath) : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto program =
            std::make_unique<Program>(boot.Image, boot.SystemAccount ? Account::System : Account::User);
        std::string line =
            boot.Starter + " started " + boot.Image + " (" + boot.ImagePath + ": " + Status(status) + ")";
        for (const std::string& file : boot.Opens) {
            NTSTATUS opened = program->Touch(file);
            if (!NT_SUCCESS(opened)) line += "; " + file + ": " + Status(opened);
        }
        Note(line);
        m_Programs.push_back(std::move(program));
    }
    m_Shell = std::make_unique<Program>("cmd.exe", Account::User);
}

// ---- Shutdown and crash ------------------------------------------------------------------

std::string Machine::Shutdown() {
    if (!m_Running) return "the machine is not running";
    m_Journal.clear();
    m_Shell.reset();
    while (!m_Programs.empty()) m_Programs.pop_back();
    Note("programs ended");

    ShutDownDrivers();
    std::string error = plat::RegistrySave(Path(kHiveFile));
    Note(error.empty() ? "registry saved" : "registry not saved: " + error);

    m_LastRunFindings = plat::VerifierFindings();
    PowerOffAndRelease();
    m_LastEnd = LastEnd::Clean;
    HostRemoveFile(Path(kFlushedHiveFile));
    std::string saved = SaveHardware();
    if (saved.empty()) saved = SaveState();
    Note("powered off");
    return !error.empty() ? error : saved;
}

// The shutdown requests, the System's files closed, every volume flushed,
// then the sibling's last-chance request.
void Machine::ShutDownDrivers() {
    std::vector<NTSTATUS> answers = plat::IoShutdownSystem();
    Note("shutdown request answered by " + std::to_string(answers.size()) + " device(s)");
    for (HANDLE handle : m_SystemHandles) ZwClose(handle);
    m_SystemHandles.clear();
    for (const auto& entry : m_Disks) {
        NTSTATUS status = SystemFlushVolume(entry.first);
        Note("volume " + Letter(entry.first) + " flushed: " + Status(status));
    }
    if (m_Config.SiblingPresent) {
        NTSTATUS status = pleat::SendLastChanceShutdown();
        Note("sibling PLEAT's last-chance shutdown: " + Status(status));
    }
}

std::string Machine::Crash() {
    if (!m_Running) return "the machine is not running";
    m_Journal.clear();
    Note("power lost");
    m_LastRunFindings = plat::VerifierFindings();
    PowerOffAndRelease();
    m_LastEnd = LastEnd::Crash;
    std::string error;
    if (HostFileExists(Path(kFlushedHiveFile))) error = HostRenameFile(Path(kFlushedHiveFile), Path(kHiveFile));
    if (error.empty()) error = SaveHardware();
    if (error.empty()) error = SaveState();
    return error;
}

// Ends the run's kernel. After a clean shutdown the programs have ended
// already; otherwise they and the System handles are forgotten once the kernel
// is gone: the
// power-off stops every thread (programs may be running in some of them) and
// releases everything the kernel held without running more of anybody's code.
void Machine::PowerOffAndRelease() {
    if (plat::KernelExists()) {
        m_ClockAtLastEnd = plat::ClockNow();
        plat::RegistrySetFlushFile("");
        plat::KernelPowerOff();
    }
    for (auto& program : m_Programs) program->Abandon();
    if (m_Shell) m_Shell->Abandon();
    m_Programs.clear();
    m_Shell.reset();
    m_SystemHandles.clear();
    std::string error = m_Driver.Unload();
    if (!error.empty()) {
        Note(error);
        m_LastRunFindings.push_back(error);
    }
    m_Running = false;
}

// ---- While running -----------------------------------------------------------------------

Program& Machine::Shell() {
    return *m_Shell;
}

std::vector<std::string> Machine::DebuggerLines() {
    if (!m_Running) return {};
    return plat::DebugOutput();
}

void Machine::AdvanceClock(int64_t Seconds) {
    if (m_Running && Seconds > 0) plat::ClockAdvance(Seconds * kOneSecond);
}

}  // namespace machine
