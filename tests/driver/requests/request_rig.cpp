#include "request_rig.h"

#include <gtest/gtest.h>

#include "io/io.h"
#include "lowerio/lower_request.h"
#include "rtl/convert.h"

namespace quilt_test {

namespace {

RequestRig* g_Rig = nullptr;

struct PendedIrp {
    PIRP Irp;
    PIO_WORKITEM WorkItem;
    NTSTATUS Status;
    ULONG_PTR Information;
};

NTSTATUS CompleteNow(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

RequestRig::RequestRig() {
    g_Rig = this;
    Handler = [](PDEVICE_OBJECT, PIRP Irp) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(g_Rig->m_Lower, Irp);
    };
    EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltReqLower", LowerEntry, NULL, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\QuiltReqFilter", FilterEntry, NULL, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(m_Filter, m_Lower), m_Lower);
    DeviceContext* context = Context();
    RtlZeroMemory(context, sizeof(*context));
    context->Kind = DEVICE_KIND_VOLUME_FILTER;
    context->Size = sizeof(DeviceContext);
    context->LowerDevice = m_Lower;
    context->DriveIndex = kRigDrive;
    context->Serving = 1;
    context->Attached = 1;
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, L"\\??\\Q:");
    RtlInitUnicodeString(&target, L"\\Device\\QuiltReqLower");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
}

RequestRig::~RequestRig() {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\Q:");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(m_Lower);
    IoDeleteDevice(m_Filter);
    IoDeleteDevice(m_Lower);
    g_Rig = nullptr;
}

NTSTATUS NTAPI RequestRig::FilterEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Driver->MajorFunction[major] = FilterDispatch;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(DeviceContext), NULL, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE,
                                     &g_Rig->m_Filter);
    if (NT_SUCCESS(status)) g_Rig->m_Filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

NTSTATUS NTAPI RequestRig::LowerEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Driver->MajorFunction[major] = LowerDispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\QuiltReqLower");
    return IoCreateDevice(Driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &g_Rig->m_Lower);
}

NTSTATUS NTAPI RequestRig::FilterDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    return g_Rig->Handler(Device, Irp);
}

NTSTATUS NTAPI RequestRig::LowerDispatch(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    LowerSeen& seen = g_Rig->m_Seen;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        seen.Creates.push_back(plat::Utf16ToUtf8(stack->FileObject->FileName));
        seen.CreateThreads.push_back(PsGetCurrentThread());
        return CompleteNow(Irp, STATUS_SUCCESS, FILE_OPENED);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return CompleteNow(Irp, STATUS_SUCCESS, 0);
    default:
        return g_Rig->Answer(Irp, stack);
    }
}

NTSTATUS RequestRig::Answer(PIRP Irp, PIO_STACK_LOCATION Stack) {
    m_Seen.Count++;
    m_Seen.MajorFunction = Stack->MajorFunction;
    m_Seen.MinorFunction = Stack->MinorFunction;
    m_Seen.Control = Stack->Control;
    m_Seen.FileObject = Stack->FileObject;
    m_Seen.CompletionRoutine = Stack->CompletionRoutine;
    m_Seen.ParameterWord = (ULONG)(ULONG_PTR)Stack->Parameters.Others.Argument1;
    ULONG_PTR information = m_Answer.Information;
    if (Stack->MajorFunction == IRP_MJ_QUERY_INFORMATION &&
        Stack->Parameters.QueryFile.FileInformationClass == FileNameInformation && NT_SUCCESS(m_Answer.Status)) {
        auto* name = static_cast<PFILE_NAME_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
        name->FileNameLength = (ULONG)(m_Answer.FileName.size() * sizeof(WCHAR));
        memcpy(name->FileName, m_Answer.FileName.data(), name->FileNameLength);
        information = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + name->FileNameLength;
    }
    if (!m_Answer.Pend) return CompleteNow(Irp, m_Answer.Status, information);
    IoMarkIrpPending(Irp);
    auto* pended = new PendedIrp{Irp, IoAllocateWorkItem(m_Lower), m_Answer.Status, information};
    IoQueueWorkItem(pended->WorkItem, CompleteLater, DelayedWorkQueue, pended);
    return STATUS_PENDING;
}

VOID NTAPI RequestRig::CompleteLater(PDEVICE_OBJECT, PVOID Context) {
    auto* pended = static_cast<PendedIrp*>(Context);
    PIO_WORKITEM workItem = pended->WorkItem;
    CompleteNow(pended->Irp, pended->Status, pended->Information);
    delete pended;
    IoFreeWorkItem(workItem);
}

IO_STATUS_BLOCK RequestRig::Send(UCHAR MajorFunction, PFILE_OBJECT FileObject, ULONG ParameterWord,
                                 ULONG_PTR PresetInformation) {
    static ULONG buffer[64];
    PIRP irp = BuildLowerRequest(MajorFunction, m_Filter, FileObject, buffer, NULL);
    EXPECT_NE(irp, nullptr);
    IO_STATUS_BLOCK result = {};
    if (irp == nullptr) return result;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = (PVOID)(ULONG_PTR)ParameterWord;
    irp->IoStatus.Information = PresetInformation;
    SendLowerRequestAndWait(m_Filter, irp);
    result = irp->IoStatus;
    IoFreeIrp(irp);
    return result;
}

}  // namespace quilt_test
