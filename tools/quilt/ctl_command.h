// The shell's `ctl` command: sends the control interface's requests to
// \??\quilt as the product's user-mode service does, from the shell's program
// (a user process of the running machine) through the native API.
//
//   ctl marker                               create the marker file
//   ctl add-target PATH                      add PATH to its volume's request target list
//   ctl remove-target PATH                   remove it (the check file's own path: change test first)
//   ctl process-target add|remove PROCESS PATH
//   ctl save-registry                        save the registry snapshot
//   ctl deletion-state                       print the deletion state (0, 1 or 2)
//   ctl dump                                 write every protected volume's store to internalinfo.dat
//
// A request that fails prints "error: NAME (0xXXXXXXXX)" like every command.
#pragma once

#include <ntifs.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "help.h"

namespace quilt_tool {

// The command's entry for the shell's help table.
const CommandHelp& CtlCommandHelp();

// Runs `ctl` with Words (the words after "ctl") as Process. Answers false
// (after printing "error: usage: ...") for words that do not form a request;
// a request the driver refuses is reported and answers true.
bool RunCtlCommand(PEPROCESS Process, const std::vector<std::string>& Words, std::ostream& Out);

}  // namespace quilt_tool
