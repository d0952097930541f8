// IRPs: completion routines up a stack of devices, the outcomes they ask for,
// STATUS_MORE_PROCESSING_REQUIRED and completing again, pending, cancel, the
// I/O manager's end of the IRPs it builds, and what the verifier catches.
#include "io_world.h"

#include "core/verifier.h"
#include "io/io.h"

#include <string.h>

#include <thread>

namespace iotest {
namespace {

using Journal = std::vector<std::string>;

// How a lab device treats an IRP.
enum class Lab {
    Complete,          // complete with the configured status
    CompleteTwice,     // a driver bug
    Pend,              // mark pending and keep the IRP for the test
    PendCancelable,    // keep it with a cancel routine
    Abandon,           // return STATUS_PENDING and never complete (a bug)
    HoldResource,      // complete, but return holding an ERESOURCE (a bug)
    Pass,              // pass down with a completion routine
    PassAndWait,       // pass down, wait with an event and MPR, complete again
    Skip,              // pass down without a completion routine
};

struct LabExtension {
    char Name[8];
    Lab Behaviour;
    NTSTATUS Status;
    bool OnSuccess, OnError, OnCancel;
    PDEVICE_OBJECT Lower;
};

PIRP g_Kept = nullptr;
ERESOURCE g_Resource;

std::string Hex(NTSTATUS Status) {
    char text[16];
    snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(Status));
    return text;
}

std::string NameOf(PDEVICE_OBJECT Device) {
    return Device == nullptr ? "none" : static_cast<LabExtension*>(Device->DeviceExtension)->Name;
}

NTSTATUS NTAPI LabRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* lab = static_cast<LabExtension*>(Context);
    JournalAdd(std::string(lab->Name) + ":routine " + Hex(Irp->IoStatus.Status) + " device=" + NameOf(DeviceObject) +
               " pending=" + std::to_string(Irp->PendingReturned));
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalRoutine(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI LabCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    JournalAdd(NameOf(DeviceObject) + ":cancel");
    g_Kept = nullptr;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PassAndWait(LabExtension* Lab, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalRoutine, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lab->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    JournalAdd(std::string(Lab->Name) + ":completes again " + Hex(Irp->IoStatus.Status));
    Irp->IoStatus.Information = 7;
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI LabDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* lab = static_cast<LabExtension*>(DeviceObject->DeviceExtension);
    JournalAdd(std::string(lab->Name) + ":dispatch");
    switch (lab->Behaviour) {
    case Lab::Complete:
        return CompleteIrp(Irp, lab->Status);
    case Lab::CompleteTwice:
        // The second completion touches nothing but the call itself: the IRP
        // may be gone by then.
        CompleteIrp(Irp, lab->Status);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return lab->Status;
    case Lab::Pend:
        IoMarkIrpPending(Irp);
        g_Kept = Irp;
        return STATUS_PENDING;
    case Lab::PendCancelable:
        IoMarkIrpPending(Irp);
        g_Kept = Irp;
        IoSetCancelRoutine(Irp, LabCancel);
        return STATUS_PENDING;
    case Lab::Abandon:
        g_Kept = Irp;
        return STATUS_PENDING;
    case Lab::HoldResource:
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&g_Resource, TRUE);
        KeLeaveCriticalRegion();
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case Lab::Pass:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, LabRoutine, lab, lab->OnSuccess, lab->OnError, lab->OnCancel);
        return IoCallDriver(lab->Lower, Irp);
    case Lab::PassAndWait:
        return PassAndWait(lab, Irp);
    case Lab::Skip:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(lab->Lower, Irp);
    }
    return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI LabEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) dispatch = LabDispatch;
    return STATUS_SUCCESS;
}

// The allocator's own completion: journals and takes the IRP back.
NTSTATUS NTAPI TopRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID) {
    JournalAdd("top:routine " + Hex(Irp->IoStatus.Status) + " device=" + NameOf(DeviceObject) +
               " pending=" + std::to_string(Irp->PendingReturned) +
               " information=" + std::to_string(Irp->IoStatus.Information));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IrpTest : public IoWorldTest {
protected:
    PDRIVER_OBJECT Driver = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        g_Kept = nullptr;
        ASSERT_EQ(plat::IoLoadDriver(L"Lab", LabEntry, nullptr, &Driver), STATUS_SUCCESS);
    }

    // A device with a behaviour; Below (optional) is attached under it.
    PDEVICE_OBJECT Device(const char* Name, Lab Behaviour, PDEVICE_OBJECT Below = nullptr,
                          NTSTATUS Status = STATUS_SUCCESS) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(Driver, sizeof(LabExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* lab = static_cast<LabExtension*>(device->DeviceExtension);
        strncpy(lab->Name, Name, sizeof(lab->Name) - 1);
        lab->Behaviour = Behaviour;
        lab->Status = Status;
        lab->OnSuccess = lab->OnError = lab->OnCancel = true;
        if (Below != nullptr) lab->Lower = IoAttachDeviceToDeviceStack(device, Below);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    static LabExtension* LabOf(PDEVICE_OBJECT Device) { return static_cast<LabExtension*>(Device->DeviceExtension); }

    // An IRP for Top with the allocator's routine in its first location.
    static PIRP NewIrp(PDEVICE_OBJECT Top) {
        PIRP irp = IoAllocateIrp(Top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, TopRoutine, nullptr, TRUE, TRUE, TRUE);
        return irp;
    }
};

TEST_F(IrpTest, CompletionRoutinesRunFromTheBottomUpWithTheDeviceOfTheirDriver) {
    PDEVICE_OBJECT c = Device("C", Lab::Complete, nullptr, STATUS_SUCCESS);
    PDEVICE_OBJECT b = Device("B", Lab::Pass, c);
    PDEVICE_OBJECT a = Device("A", Lab::Pass, c);
    EXPECT_EQ(a->StackSize, 3);
    PIRP irp = NewIrp(a);
    EXPECT_EQ(IoCallDriver(a, irp), STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"A:dispatch", "B:dispatch", "C:dispatch", "B:routine 00000000 device=B pending=0",
                                      "A:routine 00000000 device=A pending=0",
                                      "top:routine 00000000 device=none pending=0 information=0"}));
    IoFreeIrp(irp);
    EXPECT_EQ(plat::IoLiveIrpCount(), 0u);
    (void)b;
}

TEST_F(IrpTest, ARoutineRunsOnlyForTheOutcomesItAskedFor) {
    PDEVICE_OBJECT c = Device("C", Lab::Complete, nullptr, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT b = Device("B", Lab::Pass, c);
    LabOf(b)->OnError = false;
    PDEVICE_OBJECT a = Device("A", Lab::Pass, c);
    PIRP irp = NewIrp(a);
    EXPECT_EQ(IoCallDriver(a, irp), STATUS_ACCESS_DENIED);
    EXPECT_EQ(JournalTake(), (Journal{"A:dispatch", "B:dispatch", "C:dispatch", "A:routine c0000022 device=A pending=0",
                                      "top:routine c0000022 device=none pending=0 information=0"}));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain) {
    PDEVICE_OBJECT c = Device("C", Lab::Complete);
    PDEVICE_OBJECT b = Device("B", Lab::PassAndWait, c);
    PDEVICE_OBJECT a = Device("A", Lab::Pass, b);
    PIRP irp = NewIrp(a);
    EXPECT_EQ(IoCallDriver(a, irp), STATUS_SUCCESS);
    EXPECT_EQ(JournalTake(), (Journal{"A:dispatch", "B:dispatch", "C:dispatch", "B:completes again 00000000",
                                      "A:routine 00000000 device=A pending=0",
                                      "top:routine 00000000 device=none pending=0 information=7"}));
    IoFreeIrp(irp);
    EXPECT_TRUE(plat::VerifierFindings().empty());
}

TEST_F(IrpTest, PendingTravelsUpAndTheCallerWaitsForTheEvent) {
    PDEVICE_OBJECT c = Device("C", Lab::Pend);
    PDEVICE_OBJECT b = Device("B", Lab::Skip, c);
    PDEVICE_OBJECT a = Device("A", Lab::Pass, b);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    UCHAR output[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS), a,
                                             nullptr, 0, output, sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(a, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    ASSERT_EQ(g_Kept, irp);
    std::thread completer([] {
        g_Kept->IoStatus.Status = STATUS_SUCCESS;
        g_Kept->IoStatus.Information = 3;
        IoCompleteRequest(g_Kept, IO_NO_INCREMENT);
    });
    completer.join();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(JournalTake(), (Journal{"A:dispatch", "B:dispatch", "C:dispatch", "A:routine 00000000 device=A pending=1"}));
    EXPECT_EQ(plat::IoLiveIrpCount(), 0u);
}

TEST_F(IrpTest, CancellingCallsTheCancelRoutineAndRoutinesThatAskForCancel) {
    PDEVICE_OBJECT c = Device("C", Lab::PendCancelable);
    PDEVICE_OBJECT b = Device("B", Lab::Pass, c);
    LabOf(b)->OnError = false;  // success and cancel only
    PIRP irp = NewIrp(b);
    EXPECT_EQ(IoCallDriver(b, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(g_Kept, nullptr);
    EXPECT_EQ(JournalTake(), (Journal{"B:dispatch", "C:dispatch", "C:cancel", "B:routine c0000120 device=B pending=1",
                                      "top:routine c0000120 device=none pending=1 information=0"}));
    // Nothing left to cancel.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, BufferedControlOutputIsCopiedBackAndTheRequestFreed) {
    struct Echo {
        static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP Irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
            auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
            ULONG input = location->Parameters.DeviceIoControl.InputBufferLength;
            for (ULONG i = 0; i < input; ++i) buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = input;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    };
    PDEVICE_OBJECT device = Device("E", Lab::Complete);
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo::Dispatch;
    UCHAR input[3] = {1, 2, 3};
    UCHAR output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS), device,
                                             input, sizeof(input), output, sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(output[0], 2);
    EXPECT_EQ(output[2], 4);
    EXPECT_EQ(output[3], 0);
    EXPECT_EQ(plat::IoLiveIrpCount(), 0u);
}

class IrpVerifierTest : public IrpTest {};

TEST_F(IrpVerifierTest, ASecondCompletionIsCaughtWhenTheIrpIsFreedAgainOrWasFreedAlready) {
    PDEVICE_OBJECT device = Device("C", Lab::CompleteTwice);
    // Taken back by its allocator (MORE_PROCESSING_REQUIRED at the top): the
    // second completion finishes it as a completion from the top does, so the
    // allocator's own free comes too late.
    PIRP irp = NewIrp(device);
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    // Finished and freed by the I/O manager after the first completion.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
    ReleaseWorld();
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(quilt_test::HasFinding(findings, "which is not a live IRP")) << quilt_test::JoinFindings(findings);
    EXPECT_TRUE(quilt_test::HasFinding(findings, "completed after it was freed")) << quilt_test::JoinFindings(findings);
    EXPECT_EQ(findings.size(), 2u) << quilt_test::JoinFindings(findings);
}

TEST_F(IrpVerifierTest, AnIrpNeverCompletedIsReportedWhenTheKernelGoes) {
    PDEVICE_OBJECT device = Device("C", Lab::Abandon);
    PIRP irp = NewIrp(device);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    ReleaseWorld();
    std::vector<std::string> findings = DestroyKernel();
    EXPECT_TRUE(quilt_test::HasFinding(findings, "never completed")) << quilt_test::JoinFindings(findings);
    EXPECT_EQ(findings.size(), 1u) << quilt_test::JoinFindings(findings);
}

TEST_F(IrpVerifierTest, ADispatchRoutineReturningWithAResourceItTookIsReported) {
    ExInitializeResourceLite(&g_Resource);
    PDEVICE_OBJECT device = Device("C", Lab::HoldResource);
    PIRP irp = NewIrp(device);
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    std::vector<std::string> findings = plat::VerifierFindings();
    EXPECT_TRUE(quilt_test::HasFinding(findings, "holding an executive resource")) << quilt_test::JoinFindings(findings);
    plat::VerifierClearFindings();

    // A resource held across the call by the caller is no finding.
    KeEnterCriticalRegion();
    LabOf(device)->Behaviour = Lab::Complete;
    irp = NewIrp(device);
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    ExReleaseResourceLite(&g_Resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&g_Resource);
    EXPECT_TRUE(plat::VerifierFindings().empty()) << quilt_test::JoinFindings(plat::VerifierFindings());
}

}  // namespace
}  // namespace iotest
