// The process manager's internal interface: emulated processes and the
// identity of the calling host thread.
//
// The process object (EPROCESS body) stores the image name as 16 narrow bytes
// at a fixed offset below 0x3000, as Windows does; code that knows the offset
// (or scans for "System") reads it from there.
#pragma once

#include <wdm.h>

namespace plat {

struct Token;

// Creates an emulated user process with the given image name (at most 15
// characters are kept) and token (referenced by the process). Returns the
// process object with one reference (release with ObDereferenceObject).
PEPROCESS ProcessCreate(const char* ImageName, Token* ProcessToken);

// Ends a process: closes every handle in its table.
void ProcessTerminate(PEPROCESS Process);

PEPROCESS SystemProcess();
Token* ProcessToken(PEPROCESS Process);
const char* ProcessImageName(PEPROCESS Process);

// While alive, the calling host thread acts as a thread of Process with
// previous mode UserMode: handles it creates go to that process's table and
// file-system requests it issues carry RequestorMode UserMode.
class UserModeScope {
public:
    explicit UserModeScope(PEPROCESS Process);
    ~UserModeScope();
    UserModeScope(const UserModeScope&) = delete;
    UserModeScope& operator=(const UserModeScope&) = delete;

private:
    PEPROCESS m_SavedProcess;
    KPROCESSOR_MODE m_SavedMode;
};

// Image name and token of the process the calling thread runs in now
// (attached process, UserModeScope process, or the thread's own).
const char* CurrentProcessImageName();
Token* CurrentProcessToken();

}  // namespace plat
