// The `quilt` command: demo, shell, config.
#include <string.h>

#include <iostream>
#include <string>

#include "demo.h"
#include "help.h"
#include "machine/config.h"
#include "shell.h"

namespace {

constexpr int kUsageStatus = 2;

bool IsHelp(const char* word) {
    return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0 || strcmp(word, "help") == 0;
}

int UsageError(const std::string& message, const quilt_tool::CommandHelp* command) {
    std::cerr << "quilt: " << message << "\n"
              << (command != nullptr ? quilt_tool::CommandUsage(*command) : quilt_tool::ToolUsage());
    return kUsageStatus;
}

int ParseShell(int argc, char** argv) {
    const quilt_tool::CommandHelp* help = quilt_tool::FindToolCommand("shell");
    quilt_tool::ShellOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if ((word == "--machine" || word == "--config") && i + 1 < argc) {
            (word == "--machine" ? options.MachineFolder : options.ConfigFile) = argv[++i];
        } else if (word == "--echo") {
            options.Echo = true;
        } else {
            return UsageError("unexpected argument '" + word + "'", help);
        }
    }
    return quilt_tool::RunShellCommand(options);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError("a command is needed", nullptr);
    if (IsHelp(argv[1])) {
        std::cout << quilt_tool::ToolUsage();
        return 0;
    }
    const quilt_tool::CommandHelp* command = quilt_tool::FindToolCommand(argv[1]);
    if (command == nullptr) return UsageError(std::string("unknown command '") + argv[1] + "'", nullptr);
    if (argc == 3 && IsHelp(argv[2])) {
        std::cout << quilt_tool::CommandUsage(*command);
        return 0;
    }
    std::string name = command->Name;
    if (name == "shell") return ParseShell(argc, argv);
    if (argc != 2) return UsageError("'" + name + "' takes no arguments", command);
    if (name == "config") {
        std::cout << machine::ConfigDefaultText();
        return 0;
    }
    return quilt_tool::RunDemo(std::cout);
}
