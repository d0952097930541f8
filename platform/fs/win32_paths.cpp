// The native-API convenience layer.
#include "fs/win32_paths.h"

#include "mm/user_memory.h"

#include <string.h>

#include <algorithm>
#include <memory>

namespace plat::native {
namespace {

constexpr std::u16string_view kDosDevices = u"\\??\\";
constexpr std::u16string_view kWin32Device = u"\\\\?\\";

bool IsDriveLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.c_str()));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

// User memory for the calls of this thread, kept between calls: mapping fresh
// pages for every request would cost more than the request. Slot 0 carries
// data, slot 1 a second buffer of the same call (a pattern, an input).
enum Slot { kData = 0, kExtra = 1, kSlots = 2 };

void* Scratch(Slot slot, size_t length) {
    thread_local std::unique_ptr<UserBuffer> buffers[kSlots];
    std::unique_ptr<UserBuffer>& buffer = buffers[slot];
    if (!buffer || buffer->Size() < length) {
        buffer.reset();
        buffer = std::make_unique<UserBuffer>(std::max<size_t>(length, 4096));
    }
    return buffer->Get();
}

// A user-space copy of `length` bytes (or room for them).
void* UserCopy(Slot slot, const void* data, size_t length) {
    void* buffer = Scratch(slot, length);
    if (buffer != nullptr && data != nullptr) memcpy(buffer, data, length);
    return buffer;
}

// A rename target: a plain name stays as it is, a path becomes an NT name.
NTSTATUS TargetName(std::u16string_view target, std::u16string* name) {
    if (target.find(u'\\') == std::u16string_view::npos && target.find(u':') == std::u16string_view::npos) {
        *name = std::u16string(target);
        return STATUS_SUCCESS;
    }
    return NtPathFromWin32(target, name);
}

}  // namespace

NTSTATUS NtPathFromWin32(std::u16string_view win32, std::u16string* nt) {
    if (win32.substr(0, kDosDevices.size()) == kDosDevices || win32.substr(0, 8) == u"\\Device\\") {
        *nt = std::u16string(win32);
        return STATUS_SUCCESS;
    }
    if (win32.substr(0, kWin32Device.size()) == kWin32Device) win32.remove_prefix(kWin32Device.size());
    if (win32.size() < 2 || !IsDriveLetter(win32[0]) || win32[1] != u':') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (win32.size() > 2 && win32[2] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    *nt = std::u16string(kDosDevices) + std::u16string(win32);
    return STATUS_SUCCESS;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_Handle = other.m_Handle;
        other.m_Handle = nullptr;
    }
    return *this;
}

NTSTATUS File::Open(std::u16string_view path, const OpenOptions& options, File* file, ULONG_PTR* information) {
    std::u16string nt;
    NTSTATUS status = options.RootDirectory != nullptr ? (nt = std::u16string(path), STATUS_SUCCESS)
                                                       : NtPathFromWin32(path, &nt);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name = Counted(nt);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, options.RootDirectory, options.Security);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER allocation;
    allocation.QuadPart = options.AllocationSize;
    void* ea = options.Ea ? UserCopy(kExtra, options.Ea, options.EaLength) : nullptr;
    HANDLE handle = nullptr;
    status = NtCreateFile(&handle, options.Access, &attributes, &iosb, options.AllocationSize ? &allocation : nullptr,
                          options.Attributes, options.Share, options.Disposition, options.Options,
                          ea, ea ? options.EaLength : 0);
    if (information != nullptr) *information = iosb.Information;
    if (!NT_SUCCESS(status)) return status;
    file->Close();
    file->m_Handle = handle;
    return status;
}

NTSTATUS File::Close() {
    if (m_Handle == nullptr) return STATUS_SUCCESS;
    NTSTATUS status = NtClose(m_Handle);
    m_Handle = nullptr;
    return status;
}

NTSTATUS File::Read(LONGLONG offset, ULONG length, std::vector<uint8_t>* data) {
    void* buffer = Scratch(kData, length);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = NtReadFile(m_Handle, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* bytes = static_cast<uint8_t*>(buffer);
    data->assign(bytes, bytes + iosb.Information);
    return status;
}

NTSTATUS File::Write(LONGLONG offset, const void* data, ULONG length, ULONG* written) {
    void* buffer = UserCopy(kData, data, length);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = NtWriteFile(m_Handle, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    if (written != nullptr) *written = static_cast<ULONG>(iosb.Information);
    return status;
}

NTSTATUS File::ReadAll(std::string* text) {
    FILE_STANDARD_INFORMATION standard;
    NTSTATUS status = Query(FileStandardInformation, &standard);
    if (!NT_SUCCESS(status)) return status;
    text->clear();
    if (standard.EndOfFile.QuadPart == 0) return STATUS_SUCCESS;
    std::vector<uint8_t> data;
    status = Read(0, static_cast<ULONG>(standard.EndOfFile.QuadPart), &data);
    if (!NT_SUCCESS(status)) return status;
    text->assign(data.begin(), data.end());
    return STATUS_SUCCESS;
}

NTSTATUS File::Query(FILE_INFORMATION_CLASS infoClass, ULONG length, std::vector<uint8_t>* out) {
    void* buffer = Scratch(kData, length);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memset(buffer, 0, length);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryInformationFile(m_Handle, &iosb, buffer, length, infoClass);
    if (NT_ERROR(status)) return status;
    auto* bytes = static_cast<uint8_t*>(buffer);
    out->assign(bytes, bytes + length);
    return status;
}

NTSTATUS File::Set(FILE_INFORMATION_CLASS infoClass, const void* data, ULONG length) {
    void* buffer = UserCopy(kData, data, length);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(m_Handle, &iosb, buffer, length, infoClass);
}

NTSTATUS File::Name(std::u16string* name) {
    constexpr ULONG kRoom = 4096;
    std::vector<uint8_t> bytes;
    NTSTATUS status = Query(FileNameInformation, kRoom, &bytes);
    if (!NT_SUCCESS(status)) return status;
    auto* info = reinterpret_cast<const FILE_NAME_INFORMATION*>(bytes.data());
    name->assign(reinterpret_cast<const char16_t*>(info->FileName), info->FileNameLength / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS File::SetName(FILE_INFORMATION_CLASS infoClass, std::u16string_view target, bool replace) {
    std::u16string name;
    NTSTATUS status = TargetName(target, &name);
    if (!NT_SUCCESS(status)) return status;
    ULONG length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::vector<uint8_t> bytes(length, 0);
    auto* info = reinterpret_cast<PFILE_RENAME_INFORMATION>(bytes.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    memcpy(info->FileName, name.data(), info->FileNameLength);
    return Set(infoClass, bytes.data(), length);
}

NTSTATUS File::Rename(std::u16string_view target, bool replace) {
    return SetName(FileRenameInformation, target, replace);
}

NTSTATUS File::Link(std::u16string_view target, bool replace) {
    return SetName(FileLinkInformation, target, replace);
}

NTSTATUS File::SetDeleteDisposition(bool deleteFile) {
    FILE_DISPOSITION_INFORMATION info;
    info.DeleteFile = deleteFile;
    return Set(FileDispositionInformation, &info, sizeof(info));
}

NTSTATUS File::QueryDirectory(std::vector<DirectoryEntry>* entries, const char16_t* pattern, bool restart,
                              bool single, ULONG bufferSize) {
    entries->clear();
    void* buffer = Scratch(kData, bufferSize);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string patternText = pattern != nullptr ? std::u16string(pattern) : std::u16string();
    void* patternCopy = UserCopy(kExtra, patternText.data(), patternText.size() * sizeof(WCHAR));
    UNICODE_STRING patternString;
    patternString.Buffer = static_cast<PWSTR>(patternCopy);
    patternString.Length = static_cast<USHORT>(patternText.size() * sizeof(WCHAR));
    patternString.MaximumLength = patternString.Length;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryDirectoryFile(m_Handle, nullptr, nullptr, nullptr, &iosb, buffer, bufferSize,
                                           FileIdBothDirectoryInformation, single, pattern ? &patternString : nullptr,
                                           restart);
    if (!NT_SUCCESS(status)) return status;
    auto* at = static_cast<uint8_t*>(buffer);
    while (true) {
        auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(at);
        DirectoryEntry entry;
        entry.Name.assign(reinterpret_cast<const char16_t*>(e->FileName), e->FileNameLength / sizeof(WCHAR));
        entry.ShortName.assign(reinterpret_cast<const char16_t*>(e->ShortName), e->ShortNameLength / sizeof(WCHAR));
        entry.Attributes = e->FileAttributes;
        entry.EndOfFile = e->EndOfFile.QuadPart;
        entry.FileId = e->FileId.QuadPart;
        entries->push_back(std::move(entry));
        if (e->NextEntryOffset == 0) break;
        at += e->NextEntryOffset;
    }
    return status;
}

NTSTATUS File::List(std::vector<DirectoryEntry>* entries, const char16_t* pattern) {
    entries->clear();
    bool restart = true;
    while (true) {
        std::vector<DirectoryEntry> batch;
        NTSTATUS status = QueryDirectory(&batch, pattern, restart, false);
        restart = false;
        if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        for (DirectoryEntry& e : batch) {
            if (e.Name == u"." || e.Name == u"..") continue;
            entries->push_back(std::move(e));
        }
    }
}

NTSTATUS File::FsControl(ULONG code, const void* input, ULONG inputLength, std::vector<uint8_t>* output,
                         ULONG outputLength) {
    void* in = UserCopy(kExtra, input, inputLength);
    void* out = Scratch(kData, outputLength);
    if (in == nullptr || out == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtFsControlFile(m_Handle, nullptr, nullptr, nullptr, &iosb, code, input ? in : nullptr,
                                      inputLength, outputLength ? out : nullptr, outputLength);
    if (output != nullptr && !NT_ERROR(status)) {
        auto* bytes = static_cast<uint8_t*>(out);
        output->assign(bytes, bytes + iosb.Information);
    }
    return status;
}

NTSTATUS File::Flush() {
    IO_STATUS_BLOCK iosb{};
    return NtFlushBuffersFile(m_Handle, &iosb);
}

NTSTATUS WriteFile(std::u16string_view path, std::string_view data, ULONG disposition) {
    OpenOptions options;
    options.Access = GENERIC_WRITE | SYNCHRONIZE;
    options.Disposition = disposition;
    options.Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    File file;
    NTSTATUS status = File::Open(path, options, &file);
    if (!NT_SUCCESS(status) || data.empty()) return status;
    return file.Write(0, data);
}

NTSTATUS ReadFile(std::u16string_view path, std::string* data) {
    OpenOptions options;
    options.Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    File file;
    NTSTATUS status = File::Open(path, options, &file);
    if (!NT_SUCCESS(status)) return status;
    return file.ReadAll(data);
}

NTSTATUS CreateDirectory(std::u16string_view path) {
    OpenOptions options;
    options.Access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
    options.Disposition = FILE_CREATE;
    options.Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE;
    File dir;
    return File::Open(path, options, &dir);
}

NTSTATUS DeletePath(std::u16string_view path) {
    OpenOptions options;
    options.Access = DELETE | SYNCHRONIZE;
    options.Options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT;
    File file;
    NTSTATUS status = File::Open(path, options, &file);
    if (!NT_SUCCESS(status)) return status;
    return file.SetDeleteDisposition(true);
}

}  // namespace plat::native
