#include "recording_device.h"

#include <gtest/gtest.h>

#include "io/io.h"

namespace quilt_test {

namespace {

RecordingDevice* g_Recorder = nullptr;

struct PendedRequest {
    PIRP Irp;
    PIO_WORKITEM WorkItem;
};

NTSTATUS CompleteNow(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

RecordingDevice::RecordingDevice() {
    KeInitializeEvent(&m_WorkerDone, NotificationEvent, FALSE);
    g_Recorder = this;
    NTSTATUS status = plat::IoLoadDriver(L"\\Driver\\QuiltRecorder", Entry, NULL, &m_Driver);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

RecordingDevice::~RecordingDevice() {
    if (m_Device != nullptr) {
        IoDeleteDevice(m_Device);
    }
    g_Recorder = nullptr;
}

NTSTATUS NTAPI RecordingDevice::Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        Driver->MajorFunction[major] = Dispatch;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\QuiltRecorder");
    return IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Recorder->m_Device);
}

NTSTATUS NTAPI RecordingDevice::Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLEANUP ||
        stack->MajorFunction == IRP_MJ_CLOSE) {
        return CompleteNow(Irp, STATUS_SUCCESS, FILE_OPENED);
    }
    RecordingDevice* self = g_Recorder;
    SeenRequest& seen = self->m_Seen;
    seen.Count++;
    seen.Stack = *stack;
    seen.IrpFlags = Irp->Flags;
    seen.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    seen.UserBuffer = Irp->UserBuffer;
    seen.Mdl = Irp->MdlAddress;
    seen.UserIosb = Irp->UserIosb;
    seen.RequestorMode = Irp->RequestorMode;
    seen.Thread = Irp->Tail.Overlay.Thread;
    seen.OriginalFileObject = Irp->Tail.Overlay.OriginalFileObject;
    seen.StackCount = Irp->StackCount;
    seen.Device = Device;
    const Answer& answer = self->m_Answer;
    if (answer.Fill) {
        answer.Fill(Irp, stack);
    }
    if (!answer.Pend) {
        seen.DispatchReturned = CompleteNow(Irp, answer.Status, answer.Information);
        return seen.DispatchReturned;
    }
    IoMarkIrpPending(Irp);
    auto* pended = new PendedRequest{Irp, IoAllocateWorkItem(Device)};
    IoQueueWorkItem(pended->WorkItem, CompleteLater, DelayedWorkQueue, pended);
    seen.DispatchReturned = STATUS_PENDING;
    return STATUS_PENDING;
}

VOID NTAPI RecordingDevice::CompleteLater(PDEVICE_OBJECT Device, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    auto* pended = static_cast<PendedRequest*>(Context);
    RecordingDevice* self = g_Recorder;
    CompleteNow(pended->Irp, self->m_Answer.Status, self->m_Answer.Information);
    IoFreeWorkItem(pended->WorkItem);
    delete pended;
    KeSetEvent(&self->m_WorkerDone, IO_NO_INCREMENT, FALSE);
}

void RecordingDevice::WaitForWorker() {
    KeWaitForSingleObject(&m_WorkerDone, Executive, KernelMode, FALSE, NULL);
}

PFILE_OBJECT RecordingDevice::Open(PHANDLE Handle) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\QuiltRecorder");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus = {};
    NTSTATUS status = ZwCreateFile(Handle, GENERIC_READ | SYNCHRONIZE, &attributes, &ioStatus, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   NULL, 0);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    PFILE_OBJECT file = nullptr;
    status = ObReferenceObjectByHandle(*Handle, 0, NULL, KernelMode, reinterpret_cast<PVOID*>(&file), NULL);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return file;
}

}  // namespace quilt_test
