// The quilt shell: commands on a simulated machine, read line by line.
//
// Every file and registry command acts as the shell's program (cmd.exe, a
// user process of the running machine) through the native API, so that it
// crosses the driver. A command that fails prints "error: NAME (0xXXXXXXXX)"
// with the NTSTATUS it got and the shell goes on; a line that cannot be
// parsed prints an error too and makes the final exit status 2.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace quilt_tool {

// A command line split into words: whitespace separates, double quotes group
// (and are removed). Rest(i) is the line from word i on, as written.
class CommandLine {
public:
    explicit CommandLine(const std::string& Line);
    size_t Count() const { return m_Words.size(); }
    const std::string& Word(size_t Index) const { return m_Words[Index]; }
    // The text from word Index to the end of the line; outer double quotes
    // around the whole of it are removed.
    std::string Rest(size_t Index) const;

private:
    std::string m_Line;
    std::vector<std::string> m_Words;
    std::vector<size_t> m_Starts;  // offset of each word in the line
};

class Shell {
public:
    Shell(machine::Machine* Machine, std::ostream* Out);

    // Runs one line. Answers false when the line could not be parsed.
    bool Execute(const std::string& Line);
    // Reads lines until end of input or exit; a prompt is shown when
    // Interactive. Answers the exit status.
    int Run(std::istream& In, bool Interactive);
    bool ExitRequested() const { return m_Exit; }

private:
    bool Usage(const char* Command);
    bool NeedsRunning();
    void Report(NTSTATUS Status);

    bool Boot();
    bool Shutdown();
    bool Crash();
    bool Status();
    bool Journal();
    bool Dir(const CommandLine& Line);
    bool Type(const CommandLine& Line);
    bool Write(const CommandLine& Line, bool Append);
    bool PathCommand(const CommandLine& Line);
    bool TwoPathCommand(const CommandLine& Line);
    bool Attrib(const CommandLine& Line);
    bool Label(const CommandLine& Line);
    bool Reg(const CommandLine& Line);
    bool RegQuery(const CommandLine& Line);
    bool RegSet(const CommandLine& Line);
    bool RegDelete(const CommandLine& Line);
    bool Dbg();
    bool Advance(const CommandLine& Line);
    bool Sibling();
    bool Ctl(const CommandLine& Line);
    bool Help(const CommandLine& Line);

    machine::Machine* m_Machine;
    std::ostream* m_Out;
    bool m_Exit = false;
};

struct ShellOptions {
    std::string MachineFolder;  // "" = a temporary machine
    std::string ConfigFile;     // configuration of a new machine ("" = the default)
    bool Echo = false;
};

// quilt shell: opens the machine and runs the shell on standard input.
int RunShellCommand(const ShellOptions& Options);

// Text forms used by the shell's output.
std::string FormatAttributes(uint32_t Attributes);
std::string FormatRegistryData(uint32_t Type, const std::vector<uint8_t>& Data);

}  // namespace quilt_tool
