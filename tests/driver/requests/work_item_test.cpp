// Work items: an operation run in a system worker thread while the requesting
// thread waits, and the create-file work used for work folders and files.
#include <gtest/gtest.h>

#include <atomic>

#include "ex/pool.h"
#include "request_rig.h"
#include "requests/work_item.h"
#include "support/quilt_driver_fixture.h"

namespace {

using namespace quilt_test;

class WorkItemTest : public QuiltDriverTest {
protected:
    void TearDown() override {
        plat::PoolSetFailurePredicate(nullptr);
        QuiltDriverTest::TearDown();
    }
};

// Records the thread it ran in and, when told, waits for a gate first.
class RecordingItem : public CQuiltWorkItem {
public:
    VOID Run() override {
        thread = PsGetCurrentThread();
        if (gate != nullptr) KeWaitForSingleObject(gate, Executive, KernelMode, FALSE, NULL);
        Result = STATUS_OBJECT_NAME_COLLISION;
        ++runs;
    }
    PETHREAD thread = nullptr;
    PKEVENT gate = nullptr;
    std::atomic<int> runs{0};
};

TEST_F(WorkItemTest, TheItemRunsInAWorkerThreadAndItsResultIsReturned) {
    RecordingItem item;
    EXPECT_EQ(RunInSystemWorker(&item), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(item.runs.load(), 1);
    EXPECT_NE(item.thread, nullptr);
    EXPECT_NE(item.thread, PsGetCurrentThread());
}

TEST_F(WorkItemTest, TheRequestingThreadWaitsUntilTheItemHasRun) {
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    RecordingItem item;
    item.gate = &gate;
    NTSTATUS result = STATUS_PENDING;
    HANDLE requester = StartSystemThread([&] { result = RunInSystemWorker(&item); });
    WaitUntilBlocked(requester);
    EXPECT_FALSE(ThreadHasEnded(requester));
    EXPECT_EQ(item.runs.load(), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    JoinSystemThread(requester);
    EXPECT_EQ(result, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(item.runs.load(), 1);
}

TEST_F(WorkItemTest, WithoutAWorkItemNothingRuns) {
    constexpr ULONG kTagWorkItem = 0x74496F49;  // the I/O manager's work items, "IoIt"
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == kTagWorkItem; });
    RecordingItem item;
    EXPECT_EQ(RunInSystemWorker(&item), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(item.runs.load(), 0);
}

TEST_F(WorkItemTest, TheBaseItemDoesNothingAndSucceeds) {
    CQuiltWorkItem item;
    EXPECT_EQ(RunInSystemWorker(&item), STATUS_SUCCESS);
}

TEST_F(WorkItemTest, CreateFileWorkOpensBelowInTheWorkerAndClosesAtOnce) {
    RequestRig rig;
    IO_STATUS_BLOCK ioStatus = {};
    CQuiltCreateFileWork work(FILE_GENERIC_READ, kRigDrive, L"\\work\\folder", &ioStatus, NULL,
                              FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                              FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
    EXPECT_EQ(RunInSystemWorker(&work), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, (ULONG_PTR)FILE_OPENED);
    ASSERT_EQ(rig.Seen().Creates.size(), 1u);
    EXPECT_EQ(rig.Seen().Creates[0], "\\work\\folder");
    EXPECT_NE(rig.Seen().CreateThreads[0], PsGetCurrentThread());
    // TearDown's verifier finds no handle or file object left open.
}

TEST_F(WorkItemTest, CreateFileWorkReportsTheOpensFailure) {
    CQuiltCreateFileWork work(FILE_GENERIC_READ, 25, L"\\nowhere", NULL, NULL, 0, 0, FILE_OPEN, 0, NULL, 0, NULL,
                              0);
    NTSTATUS status = RunInSystemWorker(&work);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_NE(status, STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
