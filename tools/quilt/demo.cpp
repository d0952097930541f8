// quilt demo (see demo.h).
#include "demo.h"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <thread>

#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "machine/machine.h"
#include "rtl/convert.h"

namespace quilt_tool {
namespace {

const char kDemoFile[] = "C:\\data\\demo.txt";
const char kDemoText[] = "written by the demo before the restart";
const char kDriverStarted[] = "quilt.sys: Driver started";
const char kWorkFolder[] = "C:\\$~@&%.~~~";
constexpr ULONG kDriveC = 2;

// One step of the demo: a title, what was done, what was seen, and whether
// that was what the step expects.
class Steps {
public:
    explicit Steps(std::ostream* Out) : m_Out(Out) {}

    void Begin(const std::string& Title) { *m_Out << "\n[" << ++m_Number << "] " << Title << "\n"; }
    void Did(const std::string& Text) { *m_Out << "    did:  " << Text << "\n"; }
    void Saw(const std::string& Text) { *m_Out << "    saw:  " << Text << "\n"; }
    // Records the outcome of one expectation.
    void Expect(bool Holds, const std::string& What) {
        *m_Out << (Holds ? "    ok:   " : "    FAIL: ") << What << "\n";
        if (!Holds) ++m_Failures;
    }
    int Failures() const { return m_Failures; }

private:
    std::ostream* m_Out;
    int m_Number = 0;
    int m_Failures = 0;
};

size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&text](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

void ShowJournal(Steps* steps, const machine::Machine& machine) {
    for (const std::string& line : machine.Journal()) steps->Did(line);
}

// The first boot shows every step of the journal, later ones only its end.
bool BootStep(Steps* steps, machine::Machine* machine, const std::string& title, bool showJournal) {
    steps->Begin(title);
    std::string error = machine->Boot();
    if (showJournal || !error.empty()) ShowJournal(steps, *machine);
    else if (!machine->Journal().empty()) steps->Did("the same boot steps: " + machine->Journal().back());
    steps->Expect(error.empty(), error.empty() ? "the machine is up" : "boot failed: " + error);
    if (!error.empty()) return false;
    steps->Expect(NT_SUCCESS(machine->DriverEntryStatus()),
                  "quilt.sys's DriverEntry answered " + plat::NtStatusText(machine->DriverEntryStatus()));
    return true;
}

void DebuggerStep(Steps* steps, machine::Machine* machine) {
    steps->Begin("the driver's lines in the kernel debugger");
    std::vector<std::string> lines = machine->DebuggerLines();
    for (std::string line : lines) {
        while (!line.empty() && line.back() == '\n') line.pop_back();
        steps->Saw(line);
    }
    steps->Expect(CountLines(lines, kDriverStarted) == 1, "the driver started once, with fresh globals");
}

std::string Hex(unsigned Value) {
    char text[16];
    snprintf(text, sizeof text, "0x%X", Value);
    return text;
}

// The names in C:'s work folder, as a program lists them.
std::string WorkFolderListing(machine::Machine* machine) {
    std::vector<machine::DirectoryEntry> entries;
    NTSTATUS status = machine->Shell().ListDirectory(kWorkFolder, &entries);
    if (!NT_SUCCESS(status)) return plat::NtStatusText(status);
    std::string names;
    for (const machine::DirectoryEntry& entry : entries) {
        if (entry.Name == "." || entry.Name == "..") continue;
        names += (names.empty() ? "" : ", ") + entry.Name + (entry.IsDirectory ? "\\" : "");
    }
    return names;
}

// `current`: the generation number, then the backup number.
std::string CurrentFileText(machine::Machine* machine, uint32_t* Generation) {
    std::string bytes;
    NTSTATUS status = machine->Shell().ReadFile(std::string(kWorkFolder) + "\\current", &bytes);
    if (!NT_SUCCESS(status) || bytes.size() != 8) return "unreadable (" + plat::NtStatusText(status) + ")";
    uint32_t values[2] = {};
    for (int i = 0; i < 8; ++i) values[i / 4] |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * (i % 4));
    *Generation = values[0];
    return "generation " + Hex(values[0]) + ", backup " + Hex(values[1]);
}

void ProtectionStep(Steps* steps, machine::Machine* machine, uint32_t ExpectedGeneration) {
    steps->Begin("the driver's volume start-up");
    for (const std::string& line : machine->Journal()) {
        if (line.rfind("quilt: ", 0) == 0) steps->Saw(line);
    }
    const DriveState* drives = machine->DriverDrives();
    const DeviceContext* volume = drives != nullptr ? DeviceContextOf(drives->VolumeFilters[kDriveC]) : nullptr;
    bool isProtected = volume != nullptr && volume->Serving && (drives->ProtectedMask & (1u << kDriveC));
    steps->Expect(isProtected, "C: is protected: its volume filter serves requests");
    std::string codes;
    for (UCHAR code : machine->SiblingStore().StatusCodeHistory(true)) codes += (codes.empty() ? "" : " ") + Hex(code);
    steps->Saw("status codes written to the sibling's status sector: " + codes);
    steps->Expect(codes == "0x80 0x90 0xA0 0xB0 0xC0", "last shutdown checked, C: set up step by step");
    const QuiltGlobals* globals = machine->DriverGlobals();
    if (globals != nullptr) steps->Saw("driver status word: " + Hex(static_cast<unsigned>(globals->StatusWord)));
    steps->Saw(std::string(kWorkFolder) + " holds: " + WorkFolderListing(machine));
    uint32_t generation = 0;
    steps->Saw(std::string(kWorkFolder) + "\\current: " + CurrentFileText(machine, &generation));
    steps->Expect(generation == ExpectedGeneration && volume != nullptr && volume->Generation == ExpectedGeneration,
                  "this boot's generation is " + Hex(ExpectedGeneration));
}

// The previous generations go once DeleteStartDelay has passed; the demo
// moves the machine's clock on instead of waiting.
void DeletionStep(Steps* steps, machine::Machine* machine) {
    steps->Begin("the previous generation is deleted after DeleteStartDelay");
    const QuiltGlobals* globals = machine->DriverGlobals();
    ULONG delay = globals != nullptr ? globals->Config.DeleteStartDelay : 0;
    machine->AdvanceClock(static_cast<int64_t>(delay) + 1);
    steps->Did("moved the clock on by " + std::to_string(delay + 1) + " s");
    std::string first = std::string(kWorkFolder) + "\\1";
    uint32_t attributes = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (NT_SUCCESS(machine->Shell().QueryAttributes(first, &attributes)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    steps->Saw(std::string(kWorkFolder) + " holds: " + WorkFolderListing(machine));
    steps->Expect(!NT_SUCCESS(machine->Shell().QueryAttributes(first, &attributes)), "generation 1 is gone");
}

void WriteStep(Steps* steps, machine::Machine* machine) {
    steps->Begin("a program writes a file and reads it back");
    machine::Program& shell = machine->Shell();
    NTSTATUS written = shell.WriteFile(kDemoFile, kDemoText);
    steps->Did(std::string("cmd.exe wrote \"") + kDemoText + "\" to " + kDemoFile + ": " + plat::NtStatusText(written));
    std::string content;
    NTSTATUS read = shell.ReadFile(kDemoFile, &content);
    steps->Saw("reading it back: " + plat::NtStatusText(read) + ", \"" + content + "\"");
    steps->Expect(NT_SUCCESS(written) && NT_SUCCESS(read) && content == kDemoText, "the content reads back unchanged");
}

void ShutdownStep(Steps* steps, machine::Machine* machine) {
    steps->Begin("shutdown");
    std::string error = machine->Shutdown();
    ShowJournal(steps, *machine);
    steps->Expect(error.empty(), error.empty() ? "the machine shut down cleanly" : "shutdown failed: " + error);
    for (const std::string& finding : machine->LastRunFindings()) steps->Saw("verifier: " + finding);
    steps->Expect(machine->LastRunFindings().empty(), "the verifier found nothing during the run");
    std::optional<UCHAR> code = machine->SiblingStore().StatusCode();
    steps->Saw("the sibling's status sector holds status code " + (code ? std::to_string(*code) : std::string("none")));
    steps->Expect(code && *code == pleat::kStatusCleanEnd, "the sibling recorded a clean end (status code 8)");
}

void CheckAfterRestart(Steps* steps, machine::Machine* machine) {
    steps->Begin("after the restart");
    std::string content;
    NTSTATUS read = machine->Shell().ReadFile(kDemoFile, &content);
    steps->Saw(std::string(kDemoFile) + ": " + plat::NtStatusText(read) + ", \"" + content + "\"");
    // The create path that redirects changes is not built yet: the change
    // made before the restart reached the volume itself and stays.
    steps->Expect(NT_SUCCESS(read) && content == kDemoText, "the file written before the restart is still there");
    std::vector<std::string> lines = machine->DebuggerLines();
    steps->Expect(CountLines(lines, kDriverStarted) == 1,
                  "the driver started once in this boot: its globals were fresh again");
}

}  // namespace

int RunDemo(std::ostream& Out) {
    Steps steps(&Out);
    Out << "quilt demo: the embedded default machine, step by step.\n";
    std::string error;
    std::unique_ptr<machine::Machine> machine = machine::Machine::CreateTemporary(machine::DefaultConfig(), &error);
    steps.Begin("a new machine from the embedded default configuration");
    if (machine == nullptr) {
        steps.Expect(false, "creating the machine: " + error);
        return 1;
    }
    ShowJournal(&steps, *machine);
    for (const machine::VolumeConfig& volume : machine->Config().Volumes) {
        steps.Saw(std::string("volume ") + volume.Letter + ": " +
                  (volume.FileSystem == machine::FileSystemKind::Ntfs ? "NTFS " : "FAT ") +
                  machine::FormatSize(volume.SizeBytes));
    }
    steps.Expect(true, "machine created in " + machine->Folder());

    if (BootStep(&steps, machine.get(), "boot with quilt.sys loaded", true)) {
        DebuggerStep(&steps, machine.get());
        ProtectionStep(&steps, machine.get(), 1);
        WriteStep(&steps, machine.get());
        ShutdownStep(&steps, machine.get());
        if (BootStep(&steps, machine.get(), "boot again", false)) {
            ProtectionStep(&steps, machine.get(), 2);
            CheckAfterRestart(&steps, machine.get());
            DeletionStep(&steps, machine.get());
            ShutdownStep(&steps, machine.get());
        }
    }
    if (steps.Failures() == 0) {
        Out << "\ndemo finished: every step observed what it should\n";
    } else {
        Out << "\ndemo FAILED: " << steps.Failures() << " step(s) did not observe what they should\n";
    }
    return steps.Failures() == 0 ? 0 : 1;
}

}  // namespace quilt_tool
