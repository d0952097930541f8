// Programs of the running machine acting through the native API (see program.h).
#include "machine/program.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "core/kernel.h"
#include "ke/dispatcher.h"
#include "mm/user_memory.h"
#include "ps/process.h"
#include "rtl/convert.h"
#include "se/token.h"

namespace machine {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kTransferChunk = 64 * 1024;
constexpr ULONG kListingBuffer = 64 * 1024;

// A thread that the kernel's power-off ends unwinds its stack: the objects
// below then leave the dying kernel alone.
bool KernelGoing() {
    return plat::DispatcherPoweringOff();
}

// Closes a handle of the current process when the scope ends.
class HandleGuard {
public:
    HandleGuard() = default;
    ~HandleGuard() {
        if (m_Handle != nullptr && !KernelGoing()) NtClose(m_Handle);
    }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    HANDLE* Out() { return &m_Handle; }
    HANDLE Get() const { return m_Handle; }

private:
    HANDLE m_Handle = nullptr;
};

bool IsDriveSpec(const std::string& text) {
    return text.size() >= 2 && isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The parent folder of a Win32 path ("C:\a\b" -> "C:\a"; "C:\a" -> "C:").
std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

NTSTATUS OpenKey(const std::string& KeyPath, ACCESS_MASK Access, HANDLE* Key) {
    std::u16string kernelPath = KernelKeyPathOf(KeyPath);
    UNICODE_STRING name = plat::UnicodeView(kernelPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return NtOpenKey(Key, Access, &attributes);
}

NTSTATUS CreateKeyAt(const std::u16string& KernelPath, HANDLE* Key) {
    UNICODE_STRING name = plat::UnicodeView(KernelPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ULONG disposition = 0;
    return NtCreateKey(Key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

// Creates the key, creating missing parents first.
NTSTATUS CreateKeyTree(const std::u16string& KernelPath, HANDLE* Key) {
    NTSTATUS status = CreateKeyAt(KernelPath, Key);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_OBJECT_PATH_NOT_FOUND) return status;
    size_t slash = KernelPath.find_last_of(u'\\');
    if (slash == std::u16string::npos || slash == 0) return status;
    HANDLE parent = nullptr;
    status = CreateKeyTree(KernelPath.substr(0, slash), &parent);
    if (!NT_SUCCESS(status)) return status;
    NtClose(parent);
    return CreateKeyAt(KernelPath, Key);
}

// Runs Query with a buffer that grows until the answer fits.
template <typename Query>
NTSTATUS QueryGrowing(std::vector<UCHAR>* Buffer, Query query) {
    Buffer->resize(512);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = query(Buffer->data(), static_cast<ULONG>(Buffer->size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return status;
        size_t next = std::max<size_t>(Buffer->size() * 2, needed);
        if (next > (1u << 24)) return status;
        Buffer->resize(next);
    }
}

RegistryValue ValueFromFullInformation(const KEY_VALUE_FULL_INFORMATION* info) {
    RegistryValue value;
    value.Name = plat::Utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(WCHAR)));
    value.Type = info->Type;
    const UCHAR* data = reinterpret_cast<const UCHAR*>(info) + info->DataOffset;
    value.Data.assign(data, data + info->DataLength);
    return value;
}

NTSTATUS DeleteKeyByHandle(HANDLE Key) {
    for (;;) {
        std::vector<UCHAR> buffer;
        NTSTATUS status = QueryGrowing(&buffer, [&](UCHAR* data, ULONG length, ULONG* needed) {
            return NtEnumerateKey(Key, 0, KeyBasicInformation, data, length, needed);
        });
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return status;
        const auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
        std::u16string childName(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(WCHAR));
        UNICODE_STRING name = plat::UnicodeView(childName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, Key, nullptr);
        HandleGuard child;
        status = NtOpenKey(child.Out(), KEY_ALL_ACCESS, &attributes);
        if (!NT_SUCCESS(status)) return status;
        status = DeleteKeyByHandle(child.Get());
        if (!NT_SUCCESS(status)) return status;
    }
    return NtDeleteKey(Key);
}

// The calling thread acts as a thread of the program's process (UserModeScope),
// except that a power-off unwinding the thread does not restore anything.
class ProgramScope {
public:
    explicit ProgramScope(PEPROCESS Process) { new (m_Storage) plat::UserModeScope(Process); }
    ~ProgramScope() {
        if (!KernelGoing()) reinterpret_cast<plat::UserModeScope*>(m_Storage)->~UserModeScope();
    }
    ProgramScope(const ProgramScope&) = delete;
    ProgramScope& operator=(const ProgramScope&) = delete;

private:
    alignas(plat::UserModeScope) unsigned char m_Storage[sizeof(plat::UserModeScope)];
};

}  // namespace

std::u16string NtPathOf(const std::string& Win32Path) {
    if (!Win32Path.empty() && Win32Path[0] == '\\') return plat::Utf8ToUtf16(Win32Path);
    return u"\\??\\" + plat::Utf8ToUtf16(Win32Path);
}

std::u16string KernelKeyPathOf(const std::string& KeyPath) {
    static const struct {
        const char* Prefix;
        const char* Kernel;
    } kRoots[] = {
        {"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"},
        {"HKLM", "\\REGISTRY\\MACHINE"},
        {"HKEY_USERS", "\\REGISTRY\\USER"},
        {"HKU", "\\REGISTRY\\USER"},
    };
    std::string upper = Upper(KeyPath);
    for (const auto& root : kRoots) {
        size_t length = strlen(root.Prefix);
        if (upper.compare(0, length, root.Prefix) == 0 && (upper.size() == length || upper[length] == '\\')) {
            return plat::Utf8ToUtf16(std::string(root.Kernel) + KeyPath.substr(length));
        }
    }
    return plat::Utf8ToUtf16(KeyPath);
}

Program::Program(const std::string& ImageName, Account Identity) : m_ImageName(ImageName) {
    plat::Token* token = Identity == Account::System ? plat::TokenCreateSystem() : plat::TokenCreateUser(1000, true);
    m_Process = plat::ProcessCreate(ImageName.c_str(), token);
    plat::TokenRelease(token);
    m_KernelSerial = plat::KernelSerial();
}

// A process whose kernel has gone (or is going) went with it.
Program::~Program() {
    if (m_Process == nullptr || plat::KernelSerial() != m_KernelSerial || KernelGoing()) return;
    plat::ProcessTerminate(m_Process);
    ObDereferenceObject(m_Process);
}

NTSTATUS Program::OpenFile(const std::string& Path, ACCESS_MASK Access, ULONG Share, ULONG Disposition,
                           ULONG Options, HANDLE* Handle, ULONG* Information) {
    ProgramScope scope(m_Process);
    std::u16string ntPath = NtPathOf(Path);
    UNICODE_STRING name = plat::UnicodeView(ntPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    *Handle = nullptr;
    NTSTATUS status = NtCreateFile(Handle, Access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, Share,
                                   Disposition, Options, nullptr, 0);
    if (Information != nullptr) *Information = static_cast<ULONG>(iosb.Information);
    return status;
}

NTSTATUS Program::Close(HANDLE Handle) {
    ProgramScope scope(m_Process);
    return NtClose(Handle);
}

NTSTATUS Program::Touch(const std::string& Path) {
    HANDLE handle = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               FILE_OPEN, FILE_NON_DIRECTORY_FILE | kSynchronous, &handle);
    if (!NT_SUCCESS(status)) return status;
    return Close(handle);
}

NTSTATUS Program::ReadFile(const std::string& Path, std::string* Content) {
    Content->clear();
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                               FILE_NON_DIRECTORY_FILE | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer buffer(kTransferChunk);
    if (buffer.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (;;) {
        IO_STATUS_BLOCK iosb = {};
        status =
            NtReadFile(file.Get(), nullptr, nullptr, nullptr, &iosb, buffer.Get(), buffer.Size(), nullptr, nullptr);
        if (status == STATUS_END_OF_FILE) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        if (iosb.Information == 0) return STATUS_SUCCESS;
        Content->append(buffer.As<char>(), iosb.Information);
    }
}

NTSTATUS Program::WriteAt(const std::string& Path, const std::string& Content, bool Append) {
    ACCESS_MASK access = (Append ? FILE_APPEND_DATA : FILE_WRITE_DATA) | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, access, FILE_SHARE_READ, Append ? FILE_OPEN_IF : FILE_OVERWRITE_IF,
                               FILE_NON_DIRECTORY_FILE | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer buffer(kTransferChunk);
    if (buffer.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t done = 0; done < Content.size();) {
        ULONG chunk = static_cast<ULONG>(std::min<size_t>(kTransferChunk, Content.size() - done));
        memcpy(buffer.Get(), Content.data() + done, chunk);
        LARGE_INTEGER endOfFile;
        endOfFile.LowPart = FILE_WRITE_TO_END_OF_FILE;
        endOfFile.HighPart = -1;
        IO_STATUS_BLOCK iosb = {};
        status = NtWriteFile(file.Get(), nullptr, nullptr, nullptr, &iosb, buffer.Get(), chunk,
                             Append ? &endOfFile : nullptr, nullptr);
        if (!NT_SUCCESS(status)) return status;
        if (iosb.Information == 0) return STATUS_DISK_FULL;
        done += iosb.Information;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Program::WriteFile(const std::string& Path, const std::string& Content) {
    return WriteAt(Path, Content, false);
}

NTSTATUS Program::AppendFile(const std::string& Path, const std::string& Content) {
    return WriteAt(Path, Content, true);
}

NTSTATUS Program::RemoveEntry(const std::string& Path, ULONG Options) {
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, DELETE | SYNCHRONIZE, kShareAll, FILE_OPEN, Options | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer info(sizeof(FILE_DISPOSITION_INFORMATION));
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    info.As<FILE_DISPOSITION_INFORMATION>()->DeleteFile = TRUE;
    IO_STATUS_BLOCK iosb = {};
    return NtSetInformationFile(file.Get(), &iosb, info.Get(), info.Size(), FileDispositionInformation);
}

NTSTATUS Program::DeleteFile(const std::string& Path) {
    return RemoveEntry(Path, FILE_NON_DIRECTORY_FILE);
}

NTSTATUS Program::RemoveDirectory(const std::string& Path) {
    return RemoveEntry(Path, FILE_DIRECTORY_FILE);
}

NTSTATUS Program::CreateDirectory(const std::string& Path) {
    HANDLE handle = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_CREATE, FILE_DIRECTORY_FILE | kSynchronous, &handle);
    if (!NT_SUCCESS(status)) return status;
    return Close(handle);
}

NTSTATUS Program::ListDirectory(const std::string& Path, std::vector<DirectoryEntry>* Entries) {
    Entries->clear();
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, FILE_OPEN,
                               FILE_DIRECTORY_FILE | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard directory;
    *directory.Out() = raw;
    plat::UserBuffer buffer(kListingBuffer);
    if (buffer.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK iosb = {};
        status = NtQueryDirectoryFile(directory.Get(), nullptr, nullptr, nullptr, &iosb, buffer.Get(), buffer.Size(),
                                      FileBothDirectoryInformation, FALSE, nullptr, first ? TRUE : FALSE);
        if (status == STATUS_NO_MORE_FILES) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        const UCHAR* at = buffer.As<UCHAR>();
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(at);
            DirectoryEntry entry;
            entry.Name = plat::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(info->FileName),
                                                               info->FileNameLength / sizeof(WCHAR)));
            entry.ShortName = plat::Utf16ToUtf8(std::u16string_view(
                reinterpret_cast<const char16_t*>(info->ShortName), static_cast<size_t>(info->ShortNameLength) / 2));
            entry.Attributes = info->FileAttributes;
            entry.IsDirectory = (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            entry.Size = static_cast<uint64_t>(info->EndOfFile.QuadPart);
            entry.LastWriteTime = info->LastWriteTime.QuadPart;
            if (entry.Name != "." && entry.Name != "..") Entries->push_back(std::move(entry));
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
    }
}

NTSTATUS Program::SetNameInformation(const std::string& Path, const std::string& NewPath, ULONG InformationClass,
                                     bool ReplaceIfExists) {
    bool link = InformationClass == FileLinkInformation;
    std::string target = NewPath;
    if (target.find('\\') == std::string::npos && !IsDriveSpec(target)) target = ParentOf(Path) + "\\" + target;
    std::u16string ntTarget = NtPathOf(target);

    HANDLE raw = nullptr;
    ACCESS_MASK access = (link ? FILE_WRITE_ATTRIBUTES : DELETE) | SYNCHRONIZE;
    NTSTATUS status = OpenFile(Path, access, kShareAll, FILE_OPEN, kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;

    // FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION share one layout.
    ULONG nameBytes = static_cast<ULONG>(ntTarget.size() * sizeof(WCHAR));
    ULONG length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + nameBytes;
    plat::UserBuffer info(length);
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* rename = info.As<FILE_RENAME_INFORMATION>();
    rename->ReplaceIfExists = ReplaceIfExists ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    memcpy(rename->FileName, ntTarget.data(), nameBytes);
    IO_STATUS_BLOCK iosb = {};
    return NtSetInformationFile(file.Get(), &iosb, info.Get(), length,
                                static_cast<FILE_INFORMATION_CLASS>(InformationClass));
}

NTSTATUS Program::Rename(const std::string& OldPath, const std::string& NewPath, bool ReplaceIfExists) {
    return SetNameInformation(OldPath, NewPath, FileRenameInformation, ReplaceIfExists);
}

NTSTATUS Program::CreateHardLink(const std::string& ExistingPath, const std::string& NewPath) {
    return SetNameInformation(ExistingPath, NewPath, FileLinkInformation, false);
}

NTSTATUS Program::QueryAttributes(const std::string& Path, uint32_t* Attributes) {
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN, kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer info(sizeof(FILE_BASIC_INFORMATION));
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb = {};
    status = NtQueryInformationFile(file.Get(), &iosb, info.Get(), info.Size(), FileBasicInformation);
    if (NT_SUCCESS(status)) *Attributes = info.As<FILE_BASIC_INFORMATION>()->FileAttributes;
    return status;
}

NTSTATUS Program::SetAttributes(const std::string& Path, uint32_t Attributes) {
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Path, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN, kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer info(sizeof(FILE_BASIC_INFORMATION));
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Times of 0 stay unchanged; attributes of 0 would too, so "none" is NORMAL.
    info.As<FILE_BASIC_INFORMATION>()->FileAttributes = Attributes != 0 ? Attributes : FILE_ATTRIBUTE_NORMAL;
    IO_STATUS_BLOCK iosb = {};
    return NtSetInformationFile(file.Get(), &iosb, info.Get(), info.Size(), FileBasicInformation);
}

NTSTATUS Program::FsControl(const std::string& Path, ULONG Code, const std::vector<uint8_t>& Input,
                            std::vector<uint8_t>* Output, ULONG OutputBytes) {
    HANDLE raw = nullptr;
    NTSTATUS status =
        OpenFile(Path, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, kShareAll, FILE_OPEN, kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard file;
    *file.Out() = raw;
    plat::UserBuffer in(std::max<size_t>(Input.size(), 1));
    plat::UserBuffer out(std::max<ULONG>(OutputBytes, 1));
    if (in.Get() == nullptr || out.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (!Input.empty()) memcpy(in.Get(), Input.data(), Input.size());
    IO_STATUS_BLOCK iosb = {};
    status = NtFsControlFile(file.Get(), nullptr, nullptr, nullptr, &iosb, Code, Input.empty() ? nullptr : in.Get(),
                             static_cast<ULONG>(Input.size()), OutputBytes != 0 ? out.Get() : nullptr, OutputBytes);
    if (Output != nullptr && NT_SUCCESS(status)) {
        const auto* bytes = static_cast<const uint8_t*>(out.Get());
        Output->assign(bytes, bytes + std::min<ULONG_PTR>(iosb.Information, OutputBytes));
    }
    return status;
}

NTSTATUS Program::QueryLabel(const std::string& Drive, std::string* Label) {
    if (!IsDriveSpec(Drive)) return STATUS_OBJECT_NAME_INVALID;
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Drive.substr(0, 2) + "\\", FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                               FILE_DIRECTORY_FILE | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard root;
    *root.Out() = raw;
    plat::UserBuffer info(sizeof(FILE_FS_VOLUME_INFORMATION) + 64 * sizeof(WCHAR));
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IO_STATUS_BLOCK iosb = {};
    status = NtQueryVolumeInformationFile(root.Get(), &iosb, info.Get(), info.Size(), FileFsVolumeInformation);
    if (!NT_SUCCESS(status)) return status;
    const auto* volume = info.As<FILE_FS_VOLUME_INFORMATION>();
    *Label = plat::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(volume->VolumeLabel),
                                                   volume->VolumeLabelLength / sizeof(WCHAR)));
    return status;
}

NTSTATUS Program::SetLabel(const std::string& Drive, const std::string& Label) {
    if (!IsDriveSpec(Drive)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string text = plat::Utf8ToUtf16(Label);
    HANDLE raw = nullptr;
    NTSTATUS status = OpenFile(Drive.substr(0, 2) + "\\", FILE_WRITE_DATA | SYNCHRONIZE, kShareAll, FILE_OPEN,
                               FILE_DIRECTORY_FILE | kSynchronous, &raw);
    if (!NT_SUCCESS(status)) return status;
    ProgramScope scope(m_Process);
    HandleGuard root;
    *root.Out() = raw;
    ULONG nameBytes = static_cast<ULONG>(text.size() * sizeof(WCHAR));
    ULONG length = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel) + nameBytes;
    plat::UserBuffer info(length);
    if (info.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* label = info.As<FILE_FS_LABEL_INFORMATION>();
    label->VolumeLabelLength = nameBytes;
    memcpy(label->VolumeLabel, text.data(), nameBytes);
    IO_STATUS_BLOCK iosb = {};
    return NtSetVolumeInformationFile(root.Get(), &iosb, info.Get(), length, FileFsLabelInformation);
}

NTSTATUS Program::QueryKey(const std::string& KeyPath, RegistryKeyListing* Listing) {
    *Listing = RegistryKeyListing();
    ProgramScope scope(m_Process);
    HandleGuard key;
    NTSTATUS status = OpenKey(KeyPath, KEY_READ, key.Out());
    if (!NT_SUCCESS(status)) return status;
    std::vector<UCHAR> buffer;
    for (ULONG index = 0;; ++index) {
        status = QueryGrowing(&buffer, [&](UCHAR* data, ULONG length, ULONG* needed) {
            return NtEnumerateKey(key.Get(), index, KeyBasicInformation, data, length, needed);
        });
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return status;
        const auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
        Listing->Subkeys.push_back(plat::Utf16ToUtf8(
            std::u16string_view(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(WCHAR))));
    }
    for (ULONG index = 0;; ++index) {
        status = QueryGrowing(&buffer, [&](UCHAR* data, ULONG length, ULONG* needed) {
            return NtEnumerateValueKey(key.Get(), index, KeyValueFullInformation, data, length, needed);
        });
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return status;
        Listing->Values.push_back(
            ValueFromFullInformation(reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data())));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Program::QueryValue(const std::string& KeyPath, const std::string& Name, RegistryValue* Value) {
    ProgramScope scope(m_Process);
    HandleGuard key;
    NTSTATUS status = OpenKey(KeyPath, KEY_QUERY_VALUE, key.Out());
    if (!NT_SUCCESS(status)) return status;
    std::u16string valueName = plat::Utf8ToUtf16(Name);
    UNICODE_STRING name = plat::UnicodeView(valueName);
    std::vector<UCHAR> buffer;
    status = QueryGrowing(&buffer, [&](UCHAR* data, ULONG length, ULONG* needed) {
        return NtQueryValueKey(key.Get(), &name, KeyValueFullInformation, data, length, needed);
    });
    if (NT_SUCCESS(status)) {
        *Value = ValueFromFullInformation(reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data()));
    }
    return status;
}

NTSTATUS Program::SetValue(const std::string& KeyPath, const std::string& Name, uint32_t Type,
                           const std::vector<uint8_t>& Data) {
    ProgramScope scope(m_Process);
    HandleGuard key;
    NTSTATUS status = CreateKeyTree(KernelKeyPathOf(KeyPath), key.Out());
    if (!NT_SUCCESS(status)) return status;
    std::u16string valueName = plat::Utf8ToUtf16(Name);
    UNICODE_STRING name = plat::UnicodeView(valueName);
    return NtSetValueKey(key.Get(), &name, 0, Type, const_cast<uint8_t*>(Data.data()),
                         static_cast<ULONG>(Data.size()));
}

NTSTATUS Program::DeleteValue(const std::string& KeyPath, const std::string& Name) {
    ProgramScope scope(m_Process);
    HandleGuard key;
    NTSTATUS status = OpenKey(KeyPath, KEY_SET_VALUE, key.Out());
    if (!NT_SUCCESS(status)) return status;
    std::u16string valueName = plat::Utf8ToUtf16(Name);
    UNICODE_STRING name = plat::UnicodeView(valueName);
    return NtDeleteValueKey(key.Get(), &name);
}

NTSTATUS Program::DeleteKey(const std::string& KeyPath) {
    ProgramScope scope(m_Process);
    HandleGuard key;
    NTSTATUS status = OpenKey(KeyPath, KEY_ALL_ACCESS, key.Out());
    if (!NT_SUCCESS(status)) return status;
    return DeleteKeyByHandle(key.Get());
}

}  // namespace machine
