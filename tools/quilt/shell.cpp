// The quilt shell (see shell.h).
#include "shell.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include "ctl_command.h"
#include "help.h"
#include "machine/host_files.h"
#include "rtl/convert.h"

namespace quilt_tool {
namespace {

constexpr int kParseErrorStatus = 2;
constexpr int64_t kTicksPerSecond = 10000000LL;
constexpr int64_t kUnixEpochIn1601Seconds = 11644473600LL;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// System time (100 ns since 1601, UTC) as local "YYYY-MM-DD HH:MM:SS".
std::string FormatTime(int64_t systemTime, int32_t biasMinutes) {
    if (systemTime <= 0) return "-";
    time_t seconds = static_cast<time_t>(systemTime / kTicksPerSecond - kUnixEpochIn1601Seconds - biasMinutes * 60LL);
    struct tm fields;
    gmtime_r(&seconds, &fields);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::vector<uint8_t> Utf16Bytes(const std::string& text, bool terminate) {
    std::u16string units = plat::Utf8ToUtf16(text);
    if (terminate) units.push_back(u'\0');
    std::vector<uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

std::string Utf16Text(const uint8_t* data, size_t bytes) {
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes; i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    return plat::Utf16ToUtf8(units);
}

bool ParseRegistryType(const std::string& text, uint32_t* type) {
    static const struct {
        const char* Name;
        uint32_t Type;
    } kTypes[] = {{"REG_SZ", REG_SZ}, {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_BINARY", REG_BINARY},
                  {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ}};
    for (const auto& known : kTypes) {
        if (Upper(text) == known.Name) {
            *type = known.Type;
            return true;
        }
    }
    return false;
}

const char* RegistryTypeName(uint32_t type) {
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "REG_NONE";
    }
}

bool ParseRegistryData(uint32_t type, const std::string& text, std::vector<uint8_t>* data) {
    data->clear();
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        *data = Utf16Bytes(text, true);
        return true;
    case REG_DWORD: {
        if (text.empty() || text[0] == '-') return false;
        char* end = nullptr;
        errno = 0;
        unsigned long long value = strtoull(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
        for (int i = 0; i < 4; ++i) data->push_back(static_cast<uint8_t>(value >> (8 * i)));
        return true;
    }
    case REG_BINARY: {
        if (text.size() % 2 != 0) return false;
        for (size_t i = 0; i < text.size(); i += 2) {
            if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                return false;
            }
            data->push_back(static_cast<uint8_t>(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        }
        return true;
    }
    case REG_MULTI_SZ: {
        size_t start = 0;
        for (;;) {
            size_t separator = text.find("\\0", start);
            std::vector<uint8_t> item = Utf16Bytes(text.substr(start, separator - start), true);
            data->insert(data->end(), item.begin(), item.end());
            if (separator == std::string::npos) break;
            start = separator + 2;
        }
        data->push_back(0);
        data->push_back(0);
        return true;
    }
    default:
        return false;
    }
}

// A value name as typed: "(default)" names the unnamed value.
std::string ValueName(const std::string& typed) {
    return Lower(typed) == "(default)" ? std::string() : typed;
}

// attrib flags: +r -h ...; answers false for a word that is not one.
bool ApplyAttributeFlag(const std::string& flag, uint32_t* attributes) {
    if (flag.size() != 2 || (flag[0] != '+' && flag[0] != '-')) return false;
    uint32_t bit = 0;
    switch (tolower(static_cast<unsigned char>(flag[1]))) {
    case 'r':
        bit = FILE_ATTRIBUTE_READONLY;
        break;
    case 'h':
        bit = FILE_ATTRIBUTE_HIDDEN;
        break;
    case 's':
        bit = FILE_ATTRIBUTE_SYSTEM;
        break;
    case 'a':
        bit = FILE_ATTRIBUTE_ARCHIVE;
        break;
    default:
        return false;
    }
    if (flag[0] == '+') *attributes |= bit;
    else *attributes &= ~bit;
    return true;
}

}  // namespace

// ---- Command lines ------------------------------------------------------------------

CommandLine::CommandLine(const std::string& Line) : m_Line(Line) {
    size_t i = 0;
    while (i < m_Line.size()) {
        while (i < m_Line.size() && isspace(static_cast<unsigned char>(m_Line[i]))) ++i;
        if (i >= m_Line.size()) break;
        m_Starts.push_back(i);
        std::string word;
        bool quoted = false;
        for (; i < m_Line.size(); ++i) {
            char c = m_Line[i];
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (!quoted && isspace(static_cast<unsigned char>(c))) break;
            word.push_back(c);
        }
        m_Words.push_back(word);
    }
}

std::string CommandLine::Rest(size_t Index) const {
    if (Index >= m_Starts.size()) return "";
    std::string rest = m_Line.substr(m_Starts[Index]);
    while (!rest.empty() && isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
    return rest;
}

// ---- Text forms ------------------------------------------------------------------------

std::string FormatAttributes(uint32_t Attributes) {
    std::string text;
    text += (Attributes & FILE_ATTRIBUTE_READONLY) ? 'R' : '-';
    text += (Attributes & FILE_ATTRIBUTE_HIDDEN) ? 'H' : '-';
    text += (Attributes & FILE_ATTRIBUTE_SYSTEM) ? 'S' : '-';
    text += (Attributes & FILE_ATTRIBUTE_ARCHIVE) ? 'A' : '-';
    text += (Attributes & FILE_ATTRIBUTE_DIRECTORY) ? 'D' : '-';
    return text;
}

std::string FormatRegistryData(uint32_t Type, const std::vector<uint8_t>& Data) {
    switch (Type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::string text = Utf16Text(Data.data(), Data.size());
        size_t end = text.find('\0');
        return end == std::string::npos ? text : text.substr(0, end);
    }
    case REG_DWORD:
        if (Data.size() == 4) {
            uint32_t value = Data[0] | Data[1] << 8 | Data[2] << 16 | static_cast<uint32_t>(Data[3]) << 24;
            return Hex32(value) + " (" + std::to_string(value) + ")";
        }
        break;
    case REG_MULTI_SZ: {
        std::string text = Utf16Text(Data.data(), Data.size());
        while (!text.empty() && text.back() == '\0') text.pop_back();
        std::string shown;
        for (char c : text) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        return shown;
    }
    default:
        break;
    }
    std::string hex;
    for (uint8_t byte : Data) {
        char pair[4];
        snprintf(pair, sizeof(pair), "%02x", byte);
        hex += pair;
    }
    return hex;
}

// ---- The shell --------------------------------------------------------------------------

Shell::Shell(machine::Machine* Machine, std::ostream* Out) : m_Machine(Machine), m_Out(Out) {}

bool Shell::Usage(const char* Command) {
    *m_Out << "error: usage: " << FindShellCommand(Command)->Synopsis << "\n";
    return false;
}

bool Shell::NeedsRunning() {
    if (m_Machine->Running()) return true;
    *m_Out << "error: the machine is not running (boot it first)\n";
    return false;
}

void Shell::Report(NTSTATUS Status) {
    const char* name = plat::NtStatusName(Status);
    *m_Out << "error: " << (name != nullptr ? name : "STATUS_UNKNOWN") << " (" << Hex32(static_cast<uint32_t>(Status))
           << ")\n";
}

bool Shell::Execute(const std::string& Line) {
    CommandLine line(Line);
    if (line.Count() == 0 || line.Word(0)[0] == '#') return true;
    std::string command = Lower(line.Word(0));
    const CommandHelp* help = FindShellCommand(command);
    if (help == nullptr) {
        *m_Out << "error: unknown command '" << line.Word(0) << "' ('help' lists the commands)\n";
        return false;
    }
    if (line.Count() == 2 && line.Word(1) == "--help") {
        *m_Out << CommandUsage(*help);
        return true;
    }
    if (command == "boot") return line.Count() == 1 ? Boot() : Usage("boot");
    if (command == "shutdown") return line.Count() == 1 ? Shutdown() : Usage("shutdown");
    if (command == "crash") return line.Count() == 1 ? Crash() : Usage("crash");
    if (command == "status") return line.Count() == 1 ? Status() : Usage("status");
    if (command == "journal") return line.Count() == 1 ? Journal() : Usage("journal");
    if (command == "dir") return Dir(line);
    if (command == "type") return Type(line);
    if (command == "write") return Write(line, false);
    if (command == "append") return Write(line, true);
    if (command == "del" || command == "mkdir" || command == "rmdir") return PathCommand(line);
    if (command == "ren" || command == "link") return TwoPathCommand(line);
    if (command == "attrib") return Attrib(line);
    if (command == "label") return Label(line);
    if (command == "reg") return Reg(line);
    if (command == "dbg") return line.Count() == 1 ? Dbg() : Usage("dbg");
    if (command == "advance") return Advance(line);
    if (command == "sibling") return line.Count() == 1 ? Sibling() : Usage("sibling");
    if (command == "ctl") return Ctl(line);
    if (command == "help") return Help(line);
    m_Exit = true;  // exit
    return true;
}

int Shell::Run(std::istream& In, bool Interactive) {
    int status = 0;
    std::string line;
    while (!m_Exit) {
        if (Interactive) *m_Out << (m_Machine->Running() ? "quilt> " : "quilt (off)> ") << std::flush;
        if (!std::getline(In, line)) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!Execute(line)) status = kParseErrorStatus;
        m_Out->flush();
    }
    if (Interactive && !m_Exit) *m_Out << "\n";
    return status;
}

bool Shell::Boot() {
    std::string error = m_Machine->Boot();
    if (!error.empty()) {
        *m_Out << "error: boot failed: " << error << "\n";
        return true;
    }
    *m_Out << "machine up (boot " << m_Machine->BootCount() << "); quilt.sys DriverEntry: "
           << plat::NtStatusText(m_Machine->DriverEntryStatus()) << "\n";
    for (const std::string& line : m_Machine->Journal()) {
        if (line.rfind("quilt: ", 0) == 0) *m_Out << line << "\n";
    }
    return true;
}

bool Shell::Shutdown() {
    std::string error = m_Machine->Shutdown();
    if (!error.empty()) *m_Out << "error: " << error << "\n";
    else *m_Out << "machine shut down\n";
    for (const std::string& finding : m_Machine->LastRunFindings()) *m_Out << "verifier: " << finding << "\n";
    return true;
}

bool Shell::Crash() {
    std::string error = m_Machine->Crash();
    if (!error.empty()) *m_Out << "error: " << error << "\n";
    else *m_Out << "power lost: the machine is off\n";
    return true;
}

bool Shell::Status() {
    const char* ends[] = {"never ran", "shut down cleanly", "crashed"};
    *m_Out << "machine " << (m_Machine->Running() ? "running" : "off") << "; boots " << m_Machine->BootCount()
           << "; last run " << ends[static_cast<int>(m_Machine->LastEndKind())] << "; folder "
           << m_Machine->Folder() << "\n";
    return true;
}

bool Shell::Journal() {
    for (const std::string& line : m_Machine->Journal()) *m_Out << line << "\n";
    return true;
}

bool Shell::Dir(const CommandLine& Line) {
    if (Line.Count() != 2) return Usage("dir");
    if (!NeedsRunning()) return true;
    std::vector<machine::DirectoryEntry> entries;
    NTSTATUS status = m_Machine->Shell().ListDirectory(Line.Word(1), &entries);
    if (!NT_SUCCESS(status)) {
        Report(status);
        return true;
    }
    for (const machine::DirectoryEntry& entry : entries) {
        *m_Out << entry.Name << '\t' << (entry.IsDirectory ? std::string("<DIR>") : std::to_string(entry.Size)) << '\t'
               << FormatAttributes(entry.Attributes) << '\t'
               << FormatTime(entry.LastWriteTime, m_Machine->Config().TimeZoneBiasMinutes) << "\n";
    }
    return true;
}

bool Shell::Type(const CommandLine& Line) {
    if (Line.Count() != 2) return Usage("type");
    if (!NeedsRunning()) return true;
    std::string content;
    NTSTATUS status = m_Machine->Shell().ReadFile(Line.Word(1), &content);
    if (!NT_SUCCESS(status)) {
        Report(status);
        return true;
    }
    *m_Out << content;
    if (!content.empty() && content.back() != '\n') *m_Out << "\n";
    return true;
}

bool Shell::Write(const CommandLine& Line, bool Append) {
    const char* name = Append ? "append" : "write";
    if (Line.Count() < 2) return Usage(name);
    if (!NeedsRunning()) return true;
    std::string text = Line.Rest(2);
    machine::Program& program = m_Machine->Shell();
    NTSTATUS status = Append ? program.AppendFile(Line.Word(1), text) : program.WriteFile(Line.Word(1), text);
    if (!NT_SUCCESS(status)) Report(status);
    return true;
}

bool Shell::PathCommand(const CommandLine& Line) {
    std::string command = Lower(Line.Word(0));
    if (Line.Count() != 2) return Usage(command.c_str());
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    NTSTATUS status = command == "del"     ? program.DeleteFile(Line.Word(1))
                      : command == "mkdir" ? program.CreateDirectory(Line.Word(1))
                                           : program.RemoveDirectory(Line.Word(1));
    if (!NT_SUCCESS(status)) Report(status);
    return true;
}

bool Shell::TwoPathCommand(const CommandLine& Line) {
    std::string command = Lower(Line.Word(0));
    if (Line.Count() != 3) return Usage(command.c_str());
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    NTSTATUS status = command == "ren" ? program.Rename(Line.Word(1), Line.Word(2))
                                       : program.CreateHardLink(Line.Word(1), Line.Word(2));
    if (!NT_SUCCESS(status)) Report(status);
    return true;
}

bool Shell::Attrib(const CommandLine& Line) {
    if (Line.Count() < 2) return Usage("attrib");
    uint32_t attributes = 0;
    for (size_t i = 2; i < Line.Count(); ++i) {
        uint32_t probe = 0;
        if (!ApplyAttributeFlag(Line.Word(i), &probe)) return Usage("attrib");
    }
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    NTSTATUS status = program.QueryAttributes(Line.Word(1), &attributes);
    if (NT_SUCCESS(status) && Line.Count() > 2) {
        for (size_t i = 2; i < Line.Count(); ++i) ApplyAttributeFlag(Line.Word(i), &attributes);
        // Only the settable bits go back; NORMAL means none of them.
        status = program.SetAttributes(Line.Word(1), attributes & FILE_ATTRIBUTE_VALID_SET_FLAGS &
                                                         ~FILE_ATTRIBUTE_NORMAL);
        if (NT_SUCCESS(status)) status = program.QueryAttributes(Line.Word(1), &attributes);
    }
    if (!NT_SUCCESS(status)) {
        Report(status);
        return true;
    }
    *m_Out << FormatAttributes(attributes) << '\t' << Line.Word(1) << "\n";
    return true;
}

bool Shell::Label(const CommandLine& Line) {
    if (Line.Count() < 2) return Usage("label");
    const std::string& drive = Line.Word(1);
    if (drive.size() != 2 || drive[1] != ':' || !isalpha(static_cast<unsigned char>(drive[0]))) return Usage("label");
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    if (Line.Count() > 2) {
        NTSTATUS status = program.SetLabel(drive, Line.Rest(2));
        if (!NT_SUCCESS(status)) Report(status);
        return true;
    }
    std::string label;
    NTSTATUS status = program.QueryLabel(drive, &label);
    if (!NT_SUCCESS(status)) Report(status);
    else *m_Out << Upper(drive) << '\t' << label << "\n";
    return true;
}

bool Shell::Reg(const CommandLine& Line) {
    if (Line.Count() < 3) return Usage("reg");
    std::string action = Lower(Line.Word(1));
    if (action == "query") return RegQuery(Line);
    if (action == "set") return RegSet(Line);
    if (action == "delete") return RegDelete(Line);
    return Usage("reg");
}

bool Shell::RegQuery(const CommandLine& Line) {
    if (Line.Count() > 4) return Usage("reg");
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    if (Line.Count() == 4) {
        machine::RegistryValue value;
        NTSTATUS status = program.QueryValue(Line.Word(2), ValueName(Line.Word(3)), &value);
        if (!NT_SUCCESS(status)) Report(status);
        else *m_Out << FormatRegistryData(value.Type, value.Data) << "\n";
        return true;
    }
    machine::RegistryKeyListing listing;
    NTSTATUS status = program.QueryKey(Line.Word(2), &listing);
    if (!NT_SUCCESS(status)) {
        Report(status);
        return true;
    }
    for (const std::string& subkey : listing.Subkeys) *m_Out << subkey << "\\\n";
    for (const machine::RegistryValue& value : listing.Values) {
        *m_Out << (value.Name.empty() ? "(default)" : value.Name) << '\t' << RegistryTypeName(value.Type) << '\t'
               << FormatRegistryData(value.Type, value.Data) << "\n";
    }
    return true;
}

bool Shell::RegSet(const CommandLine& Line) {
    uint32_t type = 0;
    if (Line.Count() < 5 || !ParseRegistryType(Line.Word(4), &type)) return Usage("reg");
    std::vector<uint8_t> data;
    if (!ParseRegistryData(type, Line.Rest(5), &data)) {
        *m_Out << "error: the data does not fit " << RegistryTypeName(type) << "\n";
        return false;
    }
    if (!NeedsRunning()) return true;
    NTSTATUS status = m_Machine->Shell().SetValue(Line.Word(2), ValueName(Line.Word(3)), type, data);
    if (!NT_SUCCESS(status)) Report(status);
    return true;
}

bool Shell::RegDelete(const CommandLine& Line) {
    if (Line.Count() > 4) return Usage("reg");
    if (!NeedsRunning()) return true;
    machine::Program& program = m_Machine->Shell();
    NTSTATUS status = Line.Count() == 4 ? program.DeleteValue(Line.Word(2), ValueName(Line.Word(3)))
                                        : program.DeleteKey(Line.Word(2));
    if (!NT_SUCCESS(status)) Report(status);
    return true;
}

bool Shell::Dbg() {
    if (!NeedsRunning()) return true;
    for (std::string line : m_Machine->DebuggerLines()) {
        *m_Out << line;
        if (line.empty() || line.back() != '\n') *m_Out << "\n";
    }
    return true;
}

bool Shell::Advance(const CommandLine& Line) {
    if (Line.Count() != 2) return Usage("advance");
    char* end = nullptr;
    long long seconds = strtoll(Line.Word(1).c_str(), &end, 10);
    if (*end != '\0' || seconds <= 0 || seconds > 100LL * 365 * 24 * 3600) return Usage("advance");
    if (!NeedsRunning()) return true;
    m_Machine->AdvanceClock(seconds);
    *m_Out << "clock moved " << seconds << " s forward\n";
    return true;
}

// What a status code in the sibling's status sector says.
static const char* StatusCodeMeaning(UCHAR Code) {
    switch (Code) {
    case pleat::kStatusCleanEnd: return " (clean end)";
    case 0x80: return " (last shutdown checked)";
    case 0x90: return " (system drive's volume device created)";
    case 0xA0: return " (system drive's bookkeeping written)";
    case 0xB0: return " (system drive protected)";
    case 0xC0: return " (system drive's start-up ended)";
    case 0xF0: return " (first open after the start-up)";
    case 0xFF: return " (driver shut down)";
    default: return "";
    }
}

bool Shell::Sibling() {
    pleat::SectorStore& store = m_Machine->SiblingStore();
    if (!store.Present()) {
        *m_Out << "sibling: no sector store\n";
        return true;
    }
    std::optional<ULONG> sector = store.StatusSector();
    std::optional<UCHAR> code = store.StatusCode();
    if (!sector || !code) {
        *m_Out << "sibling: the header sector names no status sector\n";
        return true;
    }
    char text[8];
    snprintf(text, sizeof(text), "0x%02X", *code);
    *m_Out << "sibling: status sector " << *sector << ", status code " << text << StatusCodeMeaning(*code) << "\n";
    std::string history;
    for (UCHAR written : store.StatusCodeHistory()) {
        snprintf(text, sizeof(text), "0x%02X", written);
        history += std::string(history.empty() ? "" : " ") + text;
    }
    if (!history.empty()) *m_Out << "sibling: status codes written since the boot: " << history << "\n";
    return true;
}

bool Shell::Ctl(const CommandLine& Line) {
    if (!NeedsRunning()) return true;
    std::vector<std::string> words;
    for (size_t i = 1; i < Line.Count(); ++i) words.push_back(Line.Word(i));
    return RunCtlCommand(m_Machine->Shell().Process(), words, *m_Out);
}

bool Shell::Help(const CommandLine& Line) {
    if (Line.Count() == 1) {
        *m_Out << ShellUsage();
        return true;
    }
    const CommandHelp* help = Line.Count() == 2 ? FindShellCommand(Lower(Line.Word(1))) : nullptr;
    if (help == nullptr) return Usage("help");
    *m_Out << CommandUsage(*help);
    return true;
}

// ---- quilt shell -------------------------------------------------------------------------

int RunShellCommand(const ShellOptions& Options) {
    machine::MachineConfig config;
    const machine::MachineConfig* configForNew = nullptr;
    if (!Options.ConfigFile.empty()) {
        std::vector<uint8_t> bytes;
        std::string error = machine::HostReadFile(Options.ConfigFile, &bytes);
        if (error.empty()) error = machine::ParseConfig(machine::TextOf(bytes), &config);
        if (!error.empty()) {
            std::cerr << "quilt shell: " << Options.ConfigFile << ": " << error << "\n";
            return 1;
        }
        configForNew = &config;
    }
    machine::MachineOptions machineOptions;
    machineOptions.EchoDebugOutput = Options.Echo;
    std::string error;
    std::unique_ptr<machine::Machine> machine =
        machine::Machine::Open(Options.MachineFolder, configForNew, &error, machineOptions);
    if (machine == nullptr) {
        std::cerr << "quilt shell: " << error << "\n";
        return 1;
    }
    for (const std::string& line : machine->Journal()) std::cout << line << "\n";
    if (configForNew != nullptr && !machine->NewlyInstalled()) {
        std::cout << "note: " << Options.MachineFolder << " holds a machine already; it keeps its own configuration\n";
    }

    Shell shell(machine.get(), &std::cout);
    int status = shell.Run(std::cin, isatty(STDIN_FILENO) != 0);
    if (machine->Running()) {
        std::cout << "shutting down the running machine\n";
        std::string failure = machine->Shutdown();
        if (!failure.empty()) std::cout << "error: " << failure << "\n";
    }
    return status;
}

}  // namespace quilt_tool
