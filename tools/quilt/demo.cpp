// quilt demo (see demo.h).
#include "demo.h"

#include <algorithm>
#include <ostream>

#include "machine/machine.h"
#include "rtl/convert.h"

namespace quilt_tool {
namespace {

const char kDemoFile[] = "C:\\data\\demo.txt";
const char kDemoText[] = "written by the demo before the restart";
const char kDriverStarted[] = "quilt.sys: Driver started";

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
    // No protection is built yet: the change made before the restart stays.
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
        WriteStep(&steps, machine.get());
        ShutdownStep(&steps, machine.get());
        if (BootStep(&steps, machine.get(), "boot again", false)) {
            CheckAfterRestart(&steps, machine.get());
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
