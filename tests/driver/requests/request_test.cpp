// Request objects: what the constructor gathers, the ways a handler ends, and
// the information-request frame around PreProcess and PostProcess.
#include <gtest/gtest.h>

#include "frame/driver_globals.h"
#include "request_rig.h"
#include "requests/file_object_status.h"
#include "requests/request.h"
#include "support/quilt_driver_fixture.h"

namespace {

using namespace quilt_test;

constexpr UCHAR kSomeMajor = IRP_MJ_QUERY_EA;  // a request the driver would pass down

class RequestTest : public QuiltDriverTest {
protected:
    void SetUp() override {
        QuiltDriverTest::SetUp();
        rig_ = new RequestRig();
    }
    void TearDown() override {
        delete rig_;
        QuiltDriverTest::TearDown();
    }

    // Runs Body as the filter's handler for the next request.
    template <class Body>
    void Handle(Body body) {
        rig_->Handler = [body](PDEVICE_OBJECT device, PIRP irp) { return body(device, irp); };
    }

    RequestRig* rig_ = nullptr;
    FILE_OBJECT file_{};
};

TEST_F(RequestTest, TheConstructorGathersThePiecesOfTheRequest) {
    bool checked = false;
    Handle([&](PDEVICE_OBJECT device, PIRP irp) {
        CQuiltRequest request(device, irp);
        EXPECT_EQ(request.DeviceObject, device);
        EXPECT_EQ(request.Irp, irp);
        EXPECT_EQ(request.Status, STATUS_SUCCESS);
        EXPECT_EQ(request.IrpSp, IoGetCurrentIrpStackLocation(irp));
        EXPECT_EQ(request.VolumeContext, rig_->Context());
        EXPECT_EQ(request.LowerDevice, rig_->Lower());
        EXPECT_EQ(request.FileObject, &file_);
        EXPECT_EQ(request.StatusRecord, nullptr);
        checked = true;
        return request.PassDown();
    });
    rig_->Send(kSomeMajor, &file_);
    EXPECT_TRUE(checked);
}

TEST_F(RequestTest, MissingPiecesStayNull) {
    CQuiltRequest nothing(NULL, NULL);
    EXPECT_EQ(nothing.IrpSp, nullptr);
    EXPECT_EQ(nothing.VolumeContext, nullptr);
    EXPECT_EQ(nothing.LowerDevice, nullptr);
    EXPECT_EQ(nothing.FileObject, nullptr);
    // Every way to end needs an IRP.
    EXPECT_EQ(nothing.PassDown(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(nothing.SendDownAndWait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(nothing.CompleteWithInformation(STATUS_SUCCESS, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(nothing.CompleteWithStatus(STATUS_SUCCESS), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(nothing.CompleteAsIs(), STATUS_UNSUCCESSFUL);
}

TEST_F(RequestTest, PassDownHandsTheRequestToTheLowerDeviceAsItStands) {
    Handle([](PDEVICE_OBJECT device, PIRP irp) { return CQuiltRequest(device, irp).PassDown(); });
    rig_->Answer().Status = STATUS_NO_MORE_EAS;
    rig_->Answer().Information = 12;
    IO_STATUS_BLOCK result = rig_->Send(kSomeMajor, &file_, 0x1234);
    EXPECT_EQ(result.Status, STATUS_NO_MORE_EAS);
    EXPECT_EQ(result.Information, 12u);
    EXPECT_EQ(rig_->Seen().Count, 1u);
    EXPECT_EQ(rig_->Seen().MajorFunction, kSomeMajor);
    EXPECT_EQ(rig_->Seen().FileObject, &file_);
    EXPECT_EQ(rig_->Seen().ParameterWord, 0x1234u) << "the filter's own location went down unchanged";
}

TEST_F(RequestTest, PassDownWithoutLowerDeviceCompletesWithSuccess) {
    rig_->Context()->LowerDevice = NULL;
    Handle([](PDEVICE_OBJECT device, PIRP irp) { return CQuiltRequest(device, irp).PassDown(); });
    IO_STATUS_BLOCK result = rig_->Send(kSomeMajor, &file_, 0, 77);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(rig_->Seen().Count, 0u);
}

TEST_F(RequestTest, SendDownAndWaitLeavesTheCompletionToTheHandler) {
    for (bool pend : {false, true}) {
        NTSTATUS lowerResult = 0;
        Handle([&](PDEVICE_OBJECT device, PIRP irp) {
            CQuiltRequest request(device, irp);
            lowerResult = request.SendDownAndWait();
            EXPECT_EQ(irp->IoStatus.Status, STATUS_FILE_LOCK_CONFLICT) << "the lower result is in the IRP";
            return request.CompleteWithInformation(STATUS_ACCESS_DENIED, 9);
        });
        rig_->Answer().Status = STATUS_FILE_LOCK_CONFLICT;
        rig_->Answer().Pend = pend;
        IO_STATUS_BLOCK result = rig_->Send(kSomeMajor, &file_, 0x55);
        EXPECT_EQ(lowerResult, STATUS_FILE_LOCK_CONFLICT) << "pend " << pend;
        EXPECT_EQ(result.Status, STATUS_ACCESS_DENIED) << "completed once, by the handler";
        EXPECT_EQ(result.Information, 9u);
        EXPECT_EQ(rig_->Seen().ParameterWord, 0x55u) << "the stack location was copied down";
        EXPECT_EQ(rig_->Seen().FileObject, &file_);
    }
}

TEST_F(RequestTest, TheCompleteHelpersSetWhatTheySay) {
    Handle([](PDEVICE_OBJECT device, PIRP irp) {
        return CQuiltRequest(device, irp).CompleteWithStatus(STATUS_NOT_A_DIRECTORY);
    });
    IO_STATUS_BLOCK result = rig_->Send(kSomeMajor, &file_, 0, 31);
    EXPECT_EQ(result.Status, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(result.Information, 31u) << "CompleteWithStatus leaves Information";

    NTSTATUS returned = 0;
    Handle([&](PDEVICE_OBJECT device, PIRP irp) {
        CQuiltRequest request(device, irp);
        irp->IoStatus.Status = STATUS_OBJECT_NAME_COLLISION;
        irp->IoStatus.Information = 5;
        request.Status = STATUS_REPARSE;
        returned = request.CompleteAsIs();
        return returned;
    });
    result = rig_->Send(kSomeMajor, &file_);
    EXPECT_EQ(result.Status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(result.Information, 5u);
    EXPECT_EQ(returned, STATUS_REPARSE) << "CompleteAsIs answers the handler's running status";
    EXPECT_EQ(rig_->Seen().Count, 0u);
}

TEST_F(RequestTest, TheBaseProcessCompletesWithSuccessWithoutGoingDown) {
    Handle(DispatchRequest<CQuiltRequest>);
    IO_STATUS_BLOCK result = rig_->Send(kSomeMajor, &file_, 0, 3);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(rig_->Seen().Count, 0u);
}

// ---- Information requests ----------------------------------------------------------------

struct InfoCalls {
    int pre = 0;
    int post = 0;
    bool completeHere = false;
    NTSTATUS statusAfterPassDown = 0;
};

InfoCalls g_Calls;

class TestInfoRequest : public CQuiltInfoRequest {
public:
    using CQuiltInfoRequest::CQuiltInfoRequest;
    VOID PreProcess() override {
        ++g_Calls.pre;
        EXPECT_NE(StatusRecord, nullptr);
        if (g_Calls.completeHere) {
            CompleteHere = 1;
            Status = STATUS_CANNOT_DELETE;
            Information = 42;
        }
    }
    VOID PostProcess() override {
        ++g_Calls.post;
        g_Calls.statusAfterPassDown = Status;
    }
};

class InfoRequestTest : public RequestTest {
protected:
    void SetUp() override {
        RequestTest::SetUp();
        g_Calls = InfoCalls();
        Handle(DispatchRequest<TestInfoRequest>);
        rig_->Answer().Status = STATUS_NO_MORE_EAS;
    }
    void TearDown() override {
        FileObjectStatusFree(FileObjectStatusCountClose(&file_, NULL));
        RequestTest::TearDown();
    }
    void Register() {
        FileObjectStatus* status = FileObjectStatusCreate(rig_->Context(), &file_, L"\\a.txt");
        ASSERT_NE(status, nullptr);
        ASSERT_EQ(FileObjectStatusRegister(status, &file_), STATUS_SUCCESS);
    }
};

TEST_F(InfoRequestTest, AFileObjectWithoutStatusGoesDownUntouched) {
    IO_STATUS_BLOCK result = rig_->Send(IRP_MJ_SET_INFORMATION, &file_);
    EXPECT_EQ(result.Status, STATUS_NO_MORE_EAS);
    EXPECT_EQ(rig_->Seen().Count, 1u);
    EXPECT_EQ(g_Calls.pre, 0);
    EXPECT_EQ(g_Calls.post, 0);
}

TEST_F(InfoRequestTest, PreProcessCanCompleteTheRequestHere) {
    Register();
    g_Calls.completeHere = true;
    IO_STATUS_BLOCK result = rig_->Send(IRP_MJ_SET_INFORMATION, &file_);
    EXPECT_EQ(result.Status, STATUS_CANNOT_DELETE);
    EXPECT_EQ(result.Information, 42u);
    EXPECT_EQ(rig_->Seen().Count, 0u);
    EXPECT_EQ(g_Calls.pre, 1);
    EXPECT_EQ(g_Calls.post, 0);
}

TEST_F(InfoRequestTest, OtherwiseTheRequestGoesDownAndPostProcessSeesTheResult) {
    Register();
    IO_STATUS_BLOCK result = rig_->Send(IRP_MJ_SET_INFORMATION, &file_);
    EXPECT_EQ(result.Status, STATUS_NO_MORE_EAS);
    EXPECT_EQ(rig_->Seen().Count, 1u);
    EXPECT_EQ(g_Calls.pre, 1);
    EXPECT_EQ(g_Calls.post, 1);
    EXPECT_EQ(g_Calls.statusAfterPassDown, STATUS_NO_MORE_EAS);
}

TEST_F(InfoRequestTest, AVolumeThatIsNotServedPassesEverythingDown) {
    Register();
    rig_->Context()->Serving = 0;
    g_Calls.completeHere = true;
    IO_STATUS_BLOCK result = rig_->Send(IRP_MJ_SET_INFORMATION, &file_);
    EXPECT_EQ(result.Status, STATUS_NO_MORE_EAS);
    EXPECT_EQ(g_Calls.pre, 0);
}

TEST_F(InfoRequestTest, ADeviceWithoutContextIsRefused) {
    Handle([](PDEVICE_OBJECT, PIRP irp) {
        TestInfoRequest request(g_Quilt.ControlDevice, irp);
        request.VolumeContext = NULL;
        return request.Process();
    });
    IO_STATUS_BLOCK result = rig_->Send(IRP_MJ_SET_INFORMATION, &file_);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig_->Seen().Count, 0u);
}

}  // namespace
