// The simulated machine: a configuration plus its hardware (disks, the
// registry hive, the sibling filter's sectors), booted into a fresh kernel,
// shut down or crashed, and booted again, any number of times in one process.
//
// Boot, in the order of Windows: kernel; registry (the system hive; the
// software hive stays away until the System process has opened its file);
// storage (every disk attached with its drive letter); file systems
// registered; the sibling loaded; quilt.sys loaded from its module with fresh
// globals and DriverEntry called with its service key; volumes mounted, system
// drive first; the start-up gate opened as the system does it (a
// FSCTL_QUERY_RETRIEVAL_POINTERS on the paging file of the system volume);
// then the boot programs as processes opening their files; last, the boot
// waits for the driver's volume start-ups and notes which drives are
// protected. Boot returns when the machine is up; the driver's threads go on
// in the background (the deletion of previous generations).
//
// Shutdown: the programs end, IRP_MJ_SHUTDOWN goes to every device registered
// for it, every volume is flushed, then the sibling gets its last-chance
// shutdown request (it writes its clean-end mark after every other driver has
// finished), the registry is saved, and the kernel powers off. Crash: the
// kernel powers off now; the disks keep what was flushed, the hive what was
// last flushed or saved, and the sibling's sectors what it wrote.
//
// A machine lives in a folder (a temporary one unless given): machine.conf,
// machine.state, registry.hive, disk-<letter>.img, pleat.sectors. The folder
// is brought up to date at every shutdown and crash, so that another process
// can resume the machine.
//
// Threads: one thread drives a machine (Boot, Shutdown, Crash and the shell's
// commands); other threads may run programs while it is up, and a crash ends
// them wherever they are.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "machine/config.h"
#include "machine/driver_module.h"
#include "machine/program.h"
#include "sibling/pleat/sector_store.h"
#include "storage/storage.h"

struct QuiltGlobals;
struct DriveState;

namespace machine {

enum class LastEnd { Never, Clean, Crash };

struct MachineOptions {
    bool EchoDebugOutput = false;  // DbgPrint lines also to stderr
    bool VirtualClock = false;     // the kernel clock moves only when advanced
};

class Machine {
public:
    // Opens the machine kept in Folder, or creates one there with Config
    // (the default configuration when null) when the folder holds none. An
    // empty Folder makes a temporary machine whose folder goes with the object.
    static std::unique_ptr<Machine> Open(const std::string& Folder, const MachineConfig* Config, std::string* Error,
                                         const MachineOptions& Options = MachineOptions());
    static std::unique_ptr<Machine> CreateTemporary(const MachineConfig& Config, std::string* Error,
                                                    const MachineOptions& Options = MachineOptions());

    // A running machine is shut down first.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const MachineConfig& Config() const { return m_Config; }
    const std::string& Folder() const { return m_Folder; }
    bool Running() const { return m_Running; }
    unsigned BootCount() const { return m_BootCount; }
    LastEnd LastEndKind() const { return m_LastEnd; }
    // True when Open installed a new machine (rather than resuming a folder).
    bool NewlyInstalled() const { return m_NewlyInstalled; }

    // Each answers "" or what went wrong; a failed boot leaves the machine off.
    std::string Boot();
    std::string Shutdown();
    std::string Crash();

    // What the last boot, shutdown or crash did and observed, one line per step.
    const std::vector<std::string>& Journal() const { return m_Journal; }
    // Verifier findings of the last run, collected before its kernel went.
    const std::vector<std::string>& LastRunFindings() const { return m_LastRunFindings; }

    // ---- While running.
    Program& Shell();                          // the user's command prompt (cmd.exe)
    std::vector<std::string> DebuggerLines();  // since this boot
    void AdvanceClock(int64_t Seconds);
    // Status of DriverEntry at this boot (STATUS_PENDING before it ran).
    NTSTATUS DriverEntryStatus() const { return m_DriverEntryStatus; }
    // The driver's global state, read through its symbols as a kernel
    // debugger reads it (frame/driver_globals.h, frame/device_context.h);
    // null while no driver is loaded. Live: other threads change it.
    const QuiltGlobals* DriverGlobals() const;
    const DriveState* DriverDrives() const;
    // Waits (at most a minute of host time) until the driver's volume
    // start-ups have got past their set-up: the system and install drives
    // done, every other volume filter serving or its start-up thread ended.
    // False when they did not.
    bool WaitForDriverStartUp() const;

    // ---- Hardware, running or not.
    // The sibling's sectors; each boot clears their status-code history.
    pleat::SectorStore& SiblingStore() { return m_Sectors; }
    std::shared_ptr<plat::storage::Disk> DiskOf(char Letter) const;

private:
    Machine() = default;

    // Files of the machine's folder.
    static constexpr const char* kConfigFile = "machine.conf";
    static constexpr const char* kStateFile = "machine.state";
    static constexpr const char* kHiveFile = "registry.hive";
    static constexpr const char* kFlushedHiveFile = "registry.flushed";  // what ZwFlushKey wrote this run
    static constexpr const char* kSectorsFile = "pleat.sectors";
    std::string Path(const std::string& Name) const;
    std::string DiskFile(char Letter) const;

    std::string Install();
    std::string WriteLayout();
    std::string LoadFromFolder();
    std::string LoadState();
    std::string RecoverFromAbandonedRun();
    std::string SaveState();
    std::string SaveHardware();
    void Note(const std::string& Line);

    // Boot steps.
    std::string StartKernel();
    std::string LoadSystem();
    std::string FailBoot(const std::string& Error);
    std::string LoadRegistry();
    std::string AttachDisks();
    void LoadSibling();
    std::string LoadDriver();
    void MountVolumes();
    void OpenStartupGate();
    void OpenHives();
    void RunBootPrograms();
    void NoteProtection();
    void ShutDownDrivers();
    void PowerOffAndRelease();

    MachineConfig m_Config;
    MachineOptions m_Options;
    std::string m_Folder;
    bool m_TemporaryFolder = false;
    bool m_Running = false;
    bool m_StateSaysRunning = false;  // read from the folder
    bool m_NewlyInstalled = false;
    unsigned m_BootCount = 0;
    LastEnd m_LastEnd = LastEnd::Never;
    int64_t m_ClockAtLastEnd = 0;

    std::vector<std::string> m_Journal;
    std::vector<std::string> m_LastRunFindings;

    // Hardware.
    std::vector<std::pair<char, std::shared_ptr<plat::storage::Disk>>> m_Disks;
    pleat::SectorStore m_Sectors;

    // One run.
    std::u16string m_SystemRootWide;
    DriverModule m_Driver;
    NTSTATUS m_DriverEntryStatus = STATUS_PENDING;
    std::vector<HANDLE> m_SystemHandles;  // hive files and the paging file, open for the run
    std::vector<std::unique_ptr<Program>> m_Programs;  // in start order
    std::unique_ptr<Program> m_Shell;
};

}  // namespace machine
