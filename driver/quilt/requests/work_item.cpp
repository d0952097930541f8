// Work items run in a system worker thread (see work_item.h).
#include "requests/work_item.h"

#include "frame/driver_globals.h"
#include "lowerio/file_open.h"

CQuiltCreateFileWork::CQuiltCreateFileWork(ACCESS_MASK DesiredAccess, ULONG DriveIndex, PCWSTR Path,
                                           PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER AllocationSize,
                                           ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition,
                                           ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                           PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Options)
    : m_DesiredAccess(DesiredAccess),
      m_DriveIndex(DriveIndex),
      m_Path(Path),
      m_IoStatus(IoStatus != NULL ? IoStatus : &m_OwnIoStatus),
      m_AllocationSize(AllocationSize),
      m_FileAttributes(FileAttributes),
      m_ShareAccess(ShareAccess),
      m_Disposition(Disposition),
      m_CreateOptions(CreateOptions),
      m_EaBuffer(EaBuffer),
      m_EaLength(EaLength),
      m_SecurityDescriptor(SecurityDescriptor),
      m_Options(Options) {
    m_OwnIoStatus.Status = STATUS_SUCCESS;
    m_OwnIoStatus.Information = 0;
}

VOID CQuiltCreateFileWork::Run() {
    HANDLE handle = NULL;
    PFILE_OBJECT file = OpenLowerFileResolved(&handle, m_DesiredAccess, m_DriveIndex, m_Path, m_IoStatus,
                                              m_AllocationSize, m_FileAttributes, m_ShareAccess, m_Disposition,
                                              m_CreateOptions, m_EaBuffer, m_EaLength, m_SecurityDescriptor,
                                              m_Options, NULL);
    if (file != NULL) {
        CloseLowerFile(file, handle);
    }
    Result = m_IoStatus->Status;
}

static VOID NTAPI RunWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    CQuiltWorkItem* item = static_cast<CQuiltWorkItem*>(Context);
    item->Run();
    KeSetEvent(&item->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS RunInSystemWorker(CQuiltWorkItem* Item) {
    if (Item == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    KeInitializeEvent(&Item->Done, NotificationEvent, FALSE);
    PIO_WORKITEM workItem = IoAllocateWorkItem(g_Quilt.ControlDevice);
    if (workItem == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoQueueWorkItem(workItem, RunWorkItem, DelayedWorkQueue, Item);
    KeWaitForSingleObject(&Item->Done, Executive, KernelMode, FALSE, NULL);
    IoFreeWorkItem(workItem);
    return Item->Result;
}
