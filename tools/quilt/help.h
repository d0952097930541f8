// The texts of `quilt --help`, `quilt COMMAND --help` and the shell's help.
#pragma once

#include <string>
#include <vector>

namespace quilt_tool {

struct CommandHelp {
    const char* Name;
    const char* Synopsis;
    const char* Description;
    const char* Example;
};

// The tool's commands (demo, shell, config) and the shell's commands.
const std::vector<CommandHelp>& ToolCommands();
const std::vector<CommandHelp>& ShellCommands();

// Null when there is no such command.
const CommandHelp* FindToolCommand(const std::string& Name);
const CommandHelp* FindShellCommand(const std::string& Name);

std::string ToolUsage();                              // quilt --help
std::string CommandUsage(const CommandHelp& Command);  // one command in full
std::string ShellUsage();                             // every shell command

}  // namespace quilt_tool
