// Help texts (see help.h).
#include "help.h"

#include <sstream>

#include "ctl_command.h"

namespace quilt_tool {

const std::vector<CommandHelp>& ToolCommands() {
    static const std::vector<CommandHelp> commands = {
        {"demo", "quilt demo",
         "Boots the embedded default machine in a temporary folder and walks through what the product does, "
         "step by step: each step prints what it did and what it observed. Exits with 1 when a step does not "
         "observe what it should.",
         "quilt demo"},
        {"shell", "quilt shell [--machine DIR] [--config FILE] [--echo]",
         "An interactive shell on a simulated machine. With --machine the machine is kept in DIR and resumed by "
         "later invocations (DIR is created with the default configuration, or with the configuration FILE, when "
         "it holds no machine); without it the machine is temporary. --echo copies the kernel debugger's lines to "
         "standard error as they are printed. When standard input is not a terminal, commands are read line by "
         "line, so that scripts can drive the shell. The exit status is 2 when a line could not be parsed, else 0. "
         "Type 'help' in the shell for its commands.",
         "printf 'boot\\nwrite C:\\\\data\\\\x.txt hello\\ntype C:\\\\data\\\\x.txt\\nshutdown\\n' | quilt shell"},
        {"config", "quilt config",
         "Prints the embedded default machine configuration: a starting point for 'quilt shell --config FILE'.",
         "quilt config > my.conf"},
    };
    return commands;
}

const std::vector<CommandHelp>& ShellCommands() {
    static const std::vector<CommandHelp> commands = {
        {"boot", "boot", "Boots the machine: kernel, registry, disks, file systems, the sibling driver, quilt.sys, "
                         "volumes, the start-up gate and the boot programs.", "boot"},
        {"shutdown", "shutdown", "Shuts the machine down cleanly: shutdown requests, volume flushes, the sibling's "
                                 "clean-end mark, the registry saved.", "shutdown"},
        {"crash", "crash", "Power is lost now: only flushed data survives and the next boot sees an unclean end.",
         "crash"},
        {"status", "status", "Whether the machine runs, how often it booted and how its last run ended.", "status"},
        {"journal", "journal", "What the last boot, shutdown or crash did, one line per step.", "journal"},
        {"dir", "dir PATH", "Lists a folder, one line per entry: the name, then tab-separated the size (or <DIR>), "
                            "the attributes and the last-write time.", "dir C:\\data"},
        {"type", "type PATH", "Prints a file's content as it stands (a line end follows when the content lacks one).",
         "type C:\\data\\readme.txt"},
        {"write", "write PATH TEXT", "Replaces the file's content with TEXT (UTF-8; the rest of the line, outer "
                                     "double quotes removed), creating the file when needed.",
         "write C:\\data\\x.txt hello world"},
        {"append", "append PATH TEXT", "Adds TEXT at the end of the file, creating it when needed.",
         "append C:\\data\\x.txt , and more"},
        {"del", "del PATH", "Deletes a file.", "del C:\\data\\x.txt"},
        {"mkdir", "mkdir PATH", "Creates a folder.", "mkdir C:\\data\\new"},
        {"rmdir", "rmdir PATH", "Removes an empty folder.", "rmdir C:\\data\\new"},
        {"ren", "ren OLD NEW", "Renames OLD; a NEW without backslash stays in the same folder, a full path moves it.",
         "ren C:\\data\\x.txt y.txt"},
        {"link", "link EXISTING NEW", "Makes NEW a hard link to EXISTING (NTFS).",
         "link C:\\data\\y.txt C:\\data\\z.txt"},
        {"attrib", "attrib PATH [+r|-r|+h|-h|+s|-s|+a|-a ...]",
         "Shows a file's attributes, or sets and clears read-only, hidden, system and archive.",
         "attrib C:\\data\\y.txt +r +h"},
        {"label", "label DRIVE: [TEXT]", "Shows the volume label, or sets it to TEXT.", "label D: ARCHIVE"},
        {"reg", "reg query KEY [VALUE] | reg set KEY VALUE TYPE DATA | reg delete KEY [VALUE]",
         "Reads and changes the registry. KEY is HKLM\\..., HKU\\... or \\REGISTRY\\...; VALUE (default) names the "
         "default value; TYPE is REG_SZ, REG_EXPAND_SZ, REG_DWORD (a number), REG_BINARY (hex digits) or "
         "REG_MULTI_SZ (strings separated by \\0). 'reg delete KEY' deletes the key with its subkeys.",
         "reg set HKLM\\SOFTWARE\\Quilt\\Kept Counter REG_DWORD 7"},
        {"dbg", "dbg", "Prints the kernel debugger's lines since boot (the driver's milestones among them).", "dbg"},
        {"advance", "advance SECONDS", "Moves the kernel clock forward, so that timed work (such as the deletion after "
                                       "DeleteStartDelay) happens now.", "advance 600"},
        {"sibling", "sibling", "Shows the sibling driver's status sector: the status code the last run left.",
         "sibling"},
        CtlCommandHelp(),
        {"help", "help [COMMAND]", "Lists the commands, or explains one.", "help write"},
        {"exit", "exit", "Leaves the shell (a running machine is shut down first).", "exit"},
    };
    return commands;
}

namespace {

const CommandHelp* Find(const std::vector<CommandHelp>& commands, const std::string& name) {
    for (const CommandHelp& command : commands) {
        if (name == command.Name) return &command;
    }
    return nullptr;
}

}  // namespace

const CommandHelp* FindToolCommand(const std::string& Name) {
    return Find(ToolCommands(), Name);
}

const CommandHelp* FindShellCommand(const std::string& Name) {
    return Find(ShellCommands(), Name);
}

std::string ToolUsage() {
    std::ostringstream out;
    out << "usage: quilt COMMAND [ARGS]\n\n"
           "quilt keeps Windows volumes unchanged across restarts. This build runs the driver inside a\n"
           "simulated machine on the NT kernel stand-in.\n\ncommands:\n";
    for (const CommandHelp& command : ToolCommands()) {
        out << "  " << command.Synopsis << "\n      e.g. " << command.Example << "\n";
    }
    out << "\n'quilt COMMAND --help' explains a command.\n";
    return out.str();
}

std::string CommandUsage(const CommandHelp& Command) {
    std::ostringstream out;
    out << "usage: " << Command.Synopsis << "\n\n" << Command.Description << "\n\nexample:\n  " << Command.Example
        << "\n";
    if (std::string(Command.Name) == "shell") out << "\n" << ShellUsage();
    return out.str();
}

std::string ShellUsage() {
    std::ostringstream out;
    out << "shell commands (paths are Win32 paths such as C:\\data\\a.txt; quote a path that holds spaces):\n";
    for (const CommandHelp& command : ShellCommands()) {
        out << "  " << command.Synopsis << "\n      " << command.Description << "\n      e.g. " << command.Example
            << "\n";
    }
    out << "A command that fails prints 'error: NAME (0xXXXXXXXX)' with the NTSTATUS it got.\n";
    return out.str();
}

}  // namespace quilt_tool
