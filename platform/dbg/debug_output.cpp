// The kernel debugger's output: DbgPrint and its filtered forms keep every
// message that passes, one entry per call, for the current kernel.
#include "dbg/dbg.h"

#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/kernel.h"
#include "rtl/format.h"

namespace plat {
namespace {

// One call passes at most this many characters, as the debugger's buffer does.
constexpr size_t kMaxMessage = 511;

// Lock: guards every field; taken for short copies only, never while calling
// out (echo writes happen after the entry is stored, outside the lock).
struct DebugState {
    std::mutex Lock;
    std::vector<std::string> Entries;
    bool Echo = false;
    ULONG FilterMask = 1u << DPFLTR_ERROR_LEVEL;
};

DebugState& State() {
    static DebugState* state = new DebugState;  // outlives every static destructor
    return *state;
}

ULONG LevelMask(ULONG level) {
    return level <= 31 ? 1u << level : level & ~static_cast<ULONG>(DPFLTR_MASK);
}

bool PassesFilter(ULONG level) {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return (LevelMask(level) & s.FilterMask) != 0;
}

void Keep(std::string text) {
    DebugState& s = State();
    bool echo;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        echo = s.Echo;
        s.Entries.push_back(text);
    }
    if (echo) {
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
    }
}

std::string FormatMessage(PCSTR prefix, PCSTR format, va_list args) {
    char buffer[kMaxMessage];
    size_t length = 0;
    if (prefix != NULL) {
        while (length < kMaxMessage && prefix[length] != 0) {
            buffer[length] = prefix[length];
            ++length;
        }
    }
    if (format != NULL) length += FormatNarrowV(buffer + length, kMaxMessage - length, format, args);
    return std::string(buffer, length < kMaxMessage ? length : kMaxMessage);
}

}  // namespace

std::vector<std::string> DebugOutput() {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Entries;
}

void DebugOutputClear() {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Entries.clear();
}

void DebugOutputSetEcho(bool echo) {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Echo = echo;
}

ULONG DebugOutputSetFilterMask(ULONG mask) {
    DebugState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    ULONG previous = s.FilterMask;
    s.FilterMask = mask;
    return previous;
}

}  // namespace plat

extern "C" ULONG NTAPI vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format,
                                             va_list Args) {
    UNREFERENCED_PARAMETER(ComponentId);  // one system-wide filter for every component
    if (!plat::PassesFilter(Level)) return STATUS_SUCCESS;
    plat::Keep(plat::FormatMessage(Prefix, Format, Args));
    return STATUS_SUCCESS;
}

extern "C" ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list Args) {
    return vDbgPrintExWithPrefix(NULL, ComponentId, Level, Format, Args);
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(ComponentId, Level, Format, args);
    va_end(args);
    return status;
}

// Unfiltered, as up to Windows Server 2003.
extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    plat::Keep(plat::FormatMessage(NULL, Format, args));
    va_end(args);
    return STATUS_SUCCESS;
}
