#include "scripted_volume.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "io/io.h"
#include "rtl/convert.h"

namespace quilt_test {

ScriptedVolume* ScriptedVolume::s_Current = nullptr;

namespace {

// What a file object opened on the volume refers to.
struct OpenContext {
    std::string Path;  // the opened name; for a target-directory open, the directory
    std::string Leaf;  // for a target-directory open, the last component of the name
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string ParentOf(const std::string& path) {
    size_t last = path.rfind('\\');
    return last == 0 || last == std::string::npos ? "\\" : path.substr(0, last);
}

std::string HexBytes(const UNICODE_STRING& name) {
    std::string text;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(name.Buffer);
    for (USHORT i = 0; i < name.Length; ++i) {
        char two[4];
        snprintf(two, sizeof(two), "%02x", bytes[i]);
        text += two;
    }
    return text;
}

ScriptedVolume* VolumeOf(PDEVICE_OBJECT Device) {
    return *static_cast<ScriptedVolume**>(Device->DeviceExtension);
}

}  // namespace

ScriptedVolume::ScriptedVolume(WCHAR DriveLetter, const WCHAR* DeviceName) {
    std::u16string suffix(1, static_cast<char16_t>(DriveLetter));
    m_DeviceName = DeviceName != nullptr ? plat::ToU16(DeviceName) : u"\\Device\\QuiltScripted" + suffix;
    s_Current = this;
    std::u16string driverName = u"\\Driver\\QuiltScripted" + suffix;
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(plat::IoLoadDriver(plat::WidePtr(driverName), Entry_, NULL, &driver), STATUS_SUCCESS);
    s_Current = nullptr;
    m_Link = u"\\??\\" + suffix + u":";
    UNICODE_STRING link = plat::UnicodeView(m_Link);
    UNICODE_STRING device = plat::UnicodeView(m_DeviceName);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
}

ScriptedVolume::~ScriptedVolume() {
    UNICODE_STRING link = plat::UnicodeView(m_Link);
    IoDeleteSymbolicLink(&link);
    if (m_Device != nullptr) IoDeleteDevice(m_Device);
}

NTSTATUS NTAPI ScriptedVolume::Entry_(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        Driver->MajorFunction[major] = Dispatch;
    }
    ScriptedVolume* self = s_Current;
    UNICODE_STRING name = plat::UnicodeView(self->m_DeviceName);
    NTSTATUS status = IoCreateDevice(Driver, sizeof(ScriptedVolume*), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &self->m_Device);
    if (NT_SUCCESS(status)) {
        *static_cast<ScriptedVolume**>(self->m_Device->DeviceExtension) = self;
    }
    return status;
}

std::string ScriptedVolume::Key(const std::string& path) const { return Upper(path); }

void ScriptedVolume::AddFile(const std::string& path, const std::string& content) {
    m_Entries[Key(path)] = Entry{Kind::File, content, ""};
}

void ScriptedVolume::AddDirectory(const std::string& path) { m_Entries[Key(path)] = Entry{Kind::Directory, "", ""}; }

void ScriptedVolume::AddJunction(const std::string& path, const std::string& printName) {
    m_Entries[Key(path)] = Entry{Kind::Junction, "", printName};
}

void ScriptedVolume::FailOpen(const std::string& path, NTSTATUS status) { m_Failures[Key(path)] = status; }

bool ScriptedVolume::Exists(const std::string& path) const { return m_Entries.count(Key(path)) != 0; }

std::string ScriptedVolume::Content(const std::string& path) const {
    auto found = m_Entries.find(Key(path));
    return found != m_Entries.end() ? found->second.Content : std::string();
}

NTSTATUS NTAPI ScriptedVolume::Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    ScriptedVolume* self = VolumeOf(Device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return self->Create(Irp, stack);
    case IRP_MJ_CLEANUP:
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        delete static_cast<OpenContext*>(stack->FileObject->FsContext);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return self->GetReparsePoint(Irp, stack);
    case IRP_MJ_SET_INFORMATION:
        return self->Rename(Irp, stack);
    case IRP_MJ_QUERY_INFORMATION:
        return self->QueryInformation(Irp, stack);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// The status of opening `path` as the options ask, walking its components.
NTSTATUS ScriptedVolume::LookUp(const std::string& path, ULONG options, UCHAR flags) {
    auto failure = m_Failures.find(Key(path));
    if (failure != m_Failures.end()) return failure->second;
    if (path.empty() || path == "\\") return STATUS_SUCCESS;
    std::string walked = (flags & SL_OPEN_TARGET_DIRECTORY) != 0 ? ParentOf(path) : path;
    for (size_t at = path.find('\\', 1); at != std::string::npos && at < walked.size() + 1;
         at = path.find('\\', at + 1)) {
        auto entry = m_Entries.find(Key(path.substr(0, at)));
        if (entry == m_Entries.end() || entry->second.Type == Kind::File) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (entry->second.Type == Kind::Junction) return STATUS_MOUNT_POINT_NOT_RESOLVED;
    }
    if ((flags & SL_OPEN_TARGET_DIRECTORY) != 0) return STATUS_SUCCESS;
    auto entry = m_Entries.find(Key(path));
    if (entry == m_Entries.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry->second.Type == Kind::Junction && (options & FILE_OPEN_REPARSE_POINT) == 0) {
        return STATUS_MOUNT_POINT_NOT_RESOLVED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ScriptedVolume::Create(PIRP Irp, PIO_STACK_LOCATION Stack) {
    PFILE_OBJECT file = Stack->FileObject;
    ScriptedOpen open;
    open.Options = Stack->Parameters.Create.Options & 0xFFFFFF;
    open.Disposition = Stack->Parameters.Create.Options >> 24;
    open.DesiredAccess = Stack->Parameters.Create.SecurityContext->DesiredAccess;
    open.Flags = Stack->Flags;
    open.Mode = Irp->RequestorMode;
    open.PathBytes = file->FileName.Length;
    bool byId = (open.Options & FILE_OPEN_BY_FILE_ID) != 0;
    open.Path = byId ? HexBytes(file->FileName) : plat::Utf16ToUtf8(file->FileName);
    NTSTATUS status = byId ? STATUS_SUCCESS : LookUp(open.Path, open.Options, open.Flags);
    ULONG_PTR information = FILE_OPENED;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && open.Disposition != FILE_OPEN &&
        open.Disposition != FILE_OVERWRITE) {
        AddFile(open.Path);
        status = STATUS_SUCCESS;
        information = FILE_CREATED;
    }
    open.Result = status;
    m_Opens.push_back(open);
    if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);
    auto* context = new OpenContext{open.Path, ""};
    if ((open.Flags & SL_OPEN_TARGET_DIRECTORY) != 0) {
        context->Path = ParentOf(open.Path);
        context->Leaf = open.Path.substr(open.Path.rfind('\\') + 1);
        information = Exists(open.Path) ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    }
    file->FsContext = context;
    return Complete(Irp, STATUS_SUCCESS, information);
}

NTSTATUS ScriptedVolume::GetReparsePoint(PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.FileSystemControl.FsControlCode != FSCTL_GET_REPARSE_POINT) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto* context = static_cast<OpenContext*>(Stack->FileObject->FsContext);
    auto entry = m_Entries.find(Key(context->Path));
    if (entry == m_Entries.end() || entry->second.Type != Kind::Junction) {
        return Complete(Irp, STATUS_NOT_A_REPARSE_POINT, 0);
    }
    std::u16string print = plat::Utf8ToUtf16(entry->second.PrintName);
    std::u16string substitute = u"\\??\\" + print;
    const ULONG pathOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
    ULONG pathBytes = static_cast<ULONG>((substitute.size() + 1 + print.size() + 1) * 2);
    if (pathOffset + pathBytes > Stack->Parameters.FileSystemControl.OutputBufferLength) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* data = static_cast<PREPARSE_DATA_BUFFER>(Irp->AssociatedIrp.SystemBuffer);
    memset(data, 0, pathOffset + pathBytes);
    data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    data->ReparseDataLength = static_cast<USHORT>(pathOffset - 8 + pathBytes);
    data->MountPointReparseBuffer.SubstituteNameOffset = 0;
    data->MountPointReparseBuffer.SubstituteNameLength = static_cast<USHORT>(substitute.size() * 2);
    data->MountPointReparseBuffer.PrintNameOffset = static_cast<USHORT>((substitute.size() + 1) * 2);
    data->MountPointReparseBuffer.PrintNameLength = static_cast<USHORT>(print.size() * 2);
    char* names = reinterpret_cast<char*>(data->MountPointReparseBuffer.PathBuffer);
    memcpy(names, substitute.data(), substitute.size() * 2);
    memcpy(names + (substitute.size() + 1) * 2, print.data(), print.size() * 2);
    return Complete(Irp, STATUS_SUCCESS, pathOffset + pathBytes);
}

// Sizes are the content's; every file was last written at kLastWriteTime.
NTSTATUS ScriptedVolume::QueryInformation(PIRP Irp, PIO_STACK_LOCATION Stack) {
    auto* context = static_cast<OpenContext*>(Stack->FileObject->FsContext);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    switch (Stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation: {
        auto* standard = static_cast<PFILE_STANDARD_INFORMATION>(buffer);
        memset(standard, 0, sizeof(*standard));
        standard->EndOfFile.QuadPart = static_cast<LONGLONG>(Content(context->Path).size());
        return Complete(Irp, STATUS_SUCCESS, sizeof(*standard));
    }
    case FileBasicInformation: {
        auto* basic = static_cast<PFILE_BASIC_INFORMATION>(buffer);
        memset(basic, 0, sizeof(*basic));
        basic->LastWriteTime.QuadPart = kLastWriteTime;
        return Complete(Irp, STATUS_SUCCESS, sizeof(*basic));
    }
    default:
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

NTSTATUS ScriptedVolume::Rename(PIRP Irp, PIO_STACK_LOCATION Stack) {
    if (Stack->Parameters.SetFile.FileInformationClass != FileRenameInformation) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto* information = static_cast<PFILE_RENAME_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    ScriptedRename rename;
    rename.NewName = plat::Utf16ToUtf8(
        std::u16string(reinterpret_cast<const char16_t*>(information->FileName), information->FileNameLength / 2));
    rename.Length = Stack->Parameters.SetFile.Length;
    rename.ReplaceIfExists = Stack->Parameters.SetFile.ReplaceIfExists;
    rename.TargetDirectory = Stack->Parameters.SetFile.FileObject;
    auto* source = static_cast<OpenContext*>(Stack->FileObject->FsContext);
    auto* target = rename.TargetDirectory != nullptr ? static_cast<OpenContext*>(rename.TargetDirectory->FsContext)
                                                     : nullptr;
    if (target == nullptr) {
        m_Renames.push_back(rename);
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    std::string newPath = (target->Path == "\\" ? "" : target->Path) + "\\" + target->Leaf;
    rename.Replaced = Exists(newPath);
    m_Renames.push_back(rename);
    if (rename.Replaced && !rename.ReplaceIfExists) return Complete(Irp, STATUS_OBJECT_NAME_COLLISION, 0);
    Entry moved = m_Entries[Key(source->Path)];
    m_Entries.erase(Key(source->Path));
    m_Entries[Key(newPath)] = moved;
    source->Path = newPath;
    return Complete(Irp, STATUS_SUCCESS, 0);
}

}  // namespace quilt_test
