#include "observed_drive.h"

#include <gtest/gtest.h>

#include "fs/win32_paths.h"
#include "io/io.h"
#include "rtl/convert.h"

namespace quilt_test {

namespace {

ObservedDrive* g_Observed = nullptr;

// The file-system volume device under the drive's root directory.
PDEVICE_OBJECT VolumeDeviceOf(const char16_t* root) {
    plat::native::File file;
    plat::native::OpenOptions options;
    options.Access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    options.Options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    EXPECT_EQ(plat::native::File::Open(root, options, &file), STATUS_SUCCESS);
    PFILE_OBJECT object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(file.Handle(), 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&object), NULL),
              STATUS_SUCCESS);
    PDEVICE_OBJECT device = object != nullptr ? IoGetRelatedDeviceObject(object) : nullptr;
    if (object != nullptr) ObDereferenceObject(object);
    return device;
}

}  // namespace

ObservedDrive::ObservedDrive(const char16_t* Root) {
    g_Observed = this;
    PDEVICE_OBJECT volume = VolumeDeviceOf(Root);
    EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltObserver", Entry, NULL, nullptr), STATUS_SUCCESS);
    m_Lower = IoAttachDeviceToDeviceStack(m_Filter, volume);
    EXPECT_NE(m_Lower, nullptr);
    if (m_Lower != nullptr) m_Filter->Flags |= m_Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    m_Filter->Flags &= ~DO_DEVICE_INITIALIZING;
}

ObservedDrive::~ObservedDrive() {
    if (m_Lower != nullptr) IoDetachDevice(m_Lower);
    IoDeleteDevice(m_Filter);
    g_Observed = nullptr;
}

NTSTATUS NTAPI ObservedDrive::Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Driver->MajorFunction[major] = Dispatch;
    return IoCreateDevice(Driver, 0, NULL, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &g_Observed->m_Filter);
}

int ObservedDrive::Creates(const std::string& Name) {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Creates[Name];
}

std::vector<std::string> ObservedDrive::RenameTargets() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Renames;
}

NTSTATUS NTAPI ObservedDrive::CreateDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the create down, waits for it, and only then counts it.
NTSTATUS ObservedDrive::Create(PIRP Irp) {
    std::string name = plat::Utf16ToUtf8(IoGetCurrentIrpStackLocation(Irp)->FileObject->FileName);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CreateDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(m_Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Creates[name]++;
    }
    m_Changed.notify_all();
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI ObservedDrive::Dispatch(PDEVICE_OBJECT, PIRP Irp) {
    ObservedDrive* self = g_Observed;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) return self->Create(Irp);
    if (stack->MajorFunction == IRP_MJ_SET_INFORMATION &&
        stack->Parameters.SetFile.FileInformationClass == FileRenameInformation) {
        auto* rename = static_cast<PFILE_RENAME_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
        std::u16string target(reinterpret_cast<const char16_t*>(rename->FileName),
                              rename->FileNameLength / sizeof(WCHAR));
        std::lock_guard<std::mutex> lock(self->m_Lock);
        self->m_Renames.push_back(plat::Utf16ToUtf8(target));
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(self->m_Lower, Irp);
}

}  // namespace quilt_test
