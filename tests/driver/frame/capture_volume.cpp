#include "capture_volume.h"

#include <gtest/gtest.h>

#include "io/io.h"
#include "rtl/convert.h"

namespace quilt_test {

namespace {

CaptureVolume* g_Volume = nullptr;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

CaptureVolume::CaptureVolume(WCHAR DriveLetter) {
    g_Volume = this;
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltCapture", Entry, NULL, &driver), STATUS_SUCCESS);
    m_Link = u"\\??\\";
    m_Link += static_cast<char16_t>(DriveLetter);
    m_Link += u":";
    UNICODE_STRING link = plat::UnicodeView(m_Link);
    UNICODE_STRING device;
    RtlInitUnicodeString(&device, L"\\Device\\QuiltCapture");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
}

CaptureVolume::~CaptureVolume() {
    UNICODE_STRING link = plat::UnicodeView(m_Link);
    IoDeleteSymbolicLink(&link);
    if (m_Device != nullptr) {
        IoDeleteDevice(m_Device);
    }
    g_Volume = nullptr;
}

NTSTATUS NTAPI CaptureVolume::Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        Driver->MajorFunction[major] = Dispatch;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\QuiltCapture");
    return IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Volume->m_Device);
}

NTSTATUS NTAPI CaptureVolume::Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return g_Volume->Create(Irp, stack);
    case IRP_MJ_WRITE:
        return g_Volume->Write(Irp, stack);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS CaptureVolume::Create(PIRP Irp, PIO_STACK_LOCATION Stack) {
    PFILE_OBJECT file = Stack->FileObject;
    CaptureOpen open;
    open.Path = plat::Utf16ToUtf8(file->FileName);
    open.DesiredAccess = Stack->Parameters.Create.SecurityContext->DesiredAccess;
    open.Disposition = Stack->Parameters.Create.Options >> 24;
    open.Options = Stack->Parameters.Create.Options & 0xFFFFFF;
    open.ShareAccess = Stack->Parameters.Create.ShareAccess;
    m_Opens.push_back(open);
    bool exists = Exists(open.Path);
    ULONG_PTR information;
    switch (open.Disposition) {
    case FILE_SUPERSEDE:
        information = exists ? FILE_SUPERSEDED : FILE_CREATED;
        m_Files[open.Path].clear();
        break;
    case FILE_OPEN_IF:
        information = exists ? FILE_OPENED : FILE_CREATED;
        m_Files[open.Path];
        break;
    case FILE_OPEN:
        if (!exists) return Complete(Irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        information = FILE_OPENED;
        break;
    default:
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    // The file's key lives as long as the volume; the file object points at it.
    file->FsContext = const_cast<std::string*>(&m_Files.find(open.Path)->first);
    return Complete(Irp, STATUS_SUCCESS, information);
}

NTSTATUS CaptureVolume::Write(PIRP Irp, PIO_STACK_LOCATION Stack) {
    const std::string& path = *static_cast<const std::string*>(Stack->FileObject->FsContext);
    std::string& content = m_Files[path];
    ULONG length = Stack->Parameters.Write.Length;
    LARGE_INTEGER offset = Stack->Parameters.Write.ByteOffset;
    size_t at = content.size();
    if (!(offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE)) {
        at = static_cast<size_t>(offset.QuadPart);
    }
    const char* data = static_cast<const char*>(Irp->UserBuffer != nullptr ? Irp->UserBuffer
                                                                            : Irp->AssociatedIrp.SystemBuffer);
    if (content.size() < at + length) content.resize(at + length);
    content.replace(at, length, data, length);
    ++m_Writes;
    return Complete(Irp, STATUS_SUCCESS, length);
}

std::string CaptureVolume::Bytes(const std::string& path) const {
    auto found = m_Files.find(path);
    return found != m_Files.end() ? found->second : std::string();
}

std::string Utf16FileText(const std::string& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    memcpy(text.data(), bytes.data(), text.size() * 2);
    return plat::Utf16ToUtf8(text);
}

}  // namespace quilt_test
