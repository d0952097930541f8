// The shell's `ctl` command (see ctl_command.h).
#include "ctl_command.h"

#include <stdio.h>
#include <string.h>

#include <ostream>

// The control codes and record layout, shared with the driver.
#include "../../driver/quilt/frame/control.h"
#include "mm/user_memory.h"
#include "ps/process.h"
#include "rtl/convert.h"

namespace quilt_tool {

namespace {

const CommandHelp kCtlHelp = {
    "ctl",
    "ctl marker | add-target PATH | remove-target PATH | process-target add|remove PROCESS PATH | "
    "save-registry | deletion-state | dump",
    "Sends a control request to \\??\\quilt as the product's service does: create the marker file, add or "
    "remove a request target path (with drive letter; optionally for one process), save the registry "
    "snapshot, print the work-folder deletion state (0 done, 1 entries left behind, 2 pending), or dump "
    "every protected volume's change store to \\$~@&%.~~~\\internalinfo.dat.",
    "ctl add-target C:\\temp",
};

// One request as the words ask for it.
struct CtlRequest {
    ULONG Code = 0;
    std::vector<uint8_t> Input;
    ULONG OutputLength = 0;
};

std::vector<uint8_t> WidePathBytes(const std::string& Path) {
    std::u16string wide = plat::Utf8ToUtf16(Path);
    std::vector<uint8_t> bytes((wide.size() + 1) * sizeof(char16_t), 0);
    memcpy(bytes.data(), wide.data(), wide.size() * sizeof(char16_t));
    return bytes;
}

// {operation, process name and its zero, wide path and its zero}.
std::vector<uint8_t> ProcessTargetBytes(ULONG Operation, const std::string& Process, const std::string& Path) {
    std::vector<uint8_t> path = WidePathBytes(Path);
    std::vector<uint8_t> bytes(sizeof(ULONG) + Process.size() + 1 + path.size(), 0);
    memcpy(bytes.data(), &Operation, sizeof(Operation));
    memcpy(bytes.data() + sizeof(ULONG), Process.data(), Process.size());
    memcpy(bytes.data() + sizeof(ULONG) + Process.size() + 1, path.data(), path.size());
    return bytes;
}

// Turns the words into a request; false when they do not form one.
bool ParseRequest(const std::vector<std::string>& Words, CtlRequest* Request) {
    if (Words.empty()) return false;
    const std::string& verb = Words[0];
    if (Words.size() == 1) {
        if (verb == "deletion-state") {
            Request->Code = IOCTL_QUILT_GET_DELETION_STATE;
            Request->OutputLength = sizeof(ULONG);
            return true;
        }
        Request->Code = verb == "marker"          ? IOCTL_QUILT_CREATE_MARKER
                        : verb == "save-registry" ? IOCTL_QUILT_SAVE_REGISTRY
                        : verb == "dump"          ? IOCTL_QUILT_DUMP_STORE
                                                  : 0;
        return Request->Code != 0;
    }
    if (Words.size() == 2 && (verb == "add-target" || verb == "remove-target")) {
        Request->Code = verb == "add-target" ? IOCTL_QUILT_ADD_TARGET : IOCTL_QUILT_REMOVE_TARGET;
        Request->Input = WidePathBytes(Words[1]);
        return true;
    }
    if (Words.size() == 4 && verb == "process-target" && (Words[1] == "add" || Words[1] == "remove")) {
        Request->Code = IOCTL_QUILT_PROCESS_TARGET;
        ULONG operation = Words[1] == "add" ? QUILT_PROCESS_TARGET_ADD : 0;
        Request->Input = ProcessTargetBytes(operation, Words[2], Words[3]);
        return true;
    }
    return false;
}

void Report(NTSTATUS Status, std::ostream& Out) {
    const char* name = plat::NtStatusName(Status);
    char code[16];
    snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(Status));
    Out << "error: " << (name != nullptr ? name : "STATUS_UNKNOWN") << " (" << code << ")\n";
}

// Opens \??\quilt, sends the request and closes the handle again, all as
// Process in user mode; the buffers lie in user space.
NTSTATUS SendRequest(PEPROCESS Process, const CtlRequest& Request, std::vector<uint8_t>* Output) {
    plat::UserBuffer input(Request.Input.empty() ? 1 : Request.Input.size());
    plat::UserBuffer output(Request.OutputLength == 0 ? 1 : Request.OutputLength);
    if (input.Get() == nullptr || output.Get() == nullptr) return STATUS_NO_MEMORY;
    if (!Request.Input.empty()) memcpy(input.Get(), Request.Input.data(), Request.Input.size());

    plat::UserModeScope user(Process);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\quilt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                   0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   NULL, 0);
    if (!NT_SUCCESS(status)) return status;
    status = NtDeviceIoControlFile(handle, NULL, NULL, NULL, &ioStatus, Request.Code,
                                   Request.Input.empty() ? NULL : input.Get(), (ULONG)Request.Input.size(),
                                   Request.OutputLength == 0 ? NULL : output.Get(), Request.OutputLength);
    NtClose(handle);
    if (NT_SUCCESS(status) && Output != nullptr) {
        const uint8_t* bytes = output.As<uint8_t>();
        Output->assign(bytes, bytes + ioStatus.Information);
    }
    return status;
}

}  // namespace

const CommandHelp& CtlCommandHelp() {
    return kCtlHelp;
}

bool RunCtlCommand(PEPROCESS Process, const std::vector<std::string>& Words, std::ostream& Out) {
    CtlRequest request;
    if (!ParseRequest(Words, &request)) {
        Out << "error: usage: " << kCtlHelp.Synopsis << "\n";
        return false;
    }
    std::vector<uint8_t> output;
    NTSTATUS status = SendRequest(Process, request, &output);
    if (!NT_SUCCESS(status)) {
        Report(status, Out);
        return true;
    }
    if (request.Code == IOCTL_QUILT_GET_DELETION_STATE) {
        ULONG state = 0;
        memcpy(&state, output.data(), output.size() < sizeof(state) ? output.size() : sizeof(state));
        Out << state << "\n";
    }
    return true;
}

}  // namespace quilt_tool
