// The change-notification package through the test file system: watches
// completed by reports, records kept while no request waits, overflow,
// watching a tree, cleanup, cancel and deletion of the watched directory.
#include "io_world.h"

#include <string.h>

namespace iotest {
namespace {

constexpr ULONG kFileName = FILE_NOTIFY_CHANGE_FILE_NAME;

struct Record {
    ULONG Action;
    std::string Name;
};

std::vector<Record> RecordsIn(const UCHAR* Buffer, ULONG_PTR Length) {
    std::vector<Record> records;
    ULONG offset = 0;
    while (Length != 0) {
        auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(Buffer + offset);
        UNICODE_STRING name = {static_cast<USHORT>(entry->FileNameLength), static_cast<USHORT>(entry->FileNameLength),
                               const_cast<PWCH>(entry->FileName)};
        records.push_back({entry->Action, Narrow(&name)});
        if (entry->NextEntryOffset == 0) break;
        offset += entry->NextEntryOffset;
    }
    return records;
}

// One asynchronous watch request on a directory handle.
struct Watch {
    HANDLE Event = nullptr;
    IO_STATUS_BLOCK Iosb = {};
    alignas(8) UCHAR Buffer[512] = {};

    Watch() {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        EXPECT_EQ(ZwCreateEvent(&Event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE), STATUS_SUCCESS);
    }
    ~Watch() { ZwClose(Event); }

    NTSTATUS Start(HANDLE Directory, ULONG Filter, bool Tree = false, ULONG Length = sizeof(Buffer)) {
        return ZwNotifyChangeDirectoryFile(Directory, Event, nullptr, nullptr, &Iosb, Buffer, Length, Filter, Tree);
    }
    bool Done() {
        LARGE_INTEGER now = {};
        return ZwWaitForSingleObject(Event, FALSE, &now) == STATUS_SUCCESS;
    }
    std::vector<Record> Records() const { return RecordsIn(Buffer, Iosb.Information); }
};

class NotifyTest : public IoWorldTest {
protected:
    VolumeExtension* Volume = nullptr;
    HANDLE Directory = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        PDEVICE_OBJECT disk = CreateDisk(L"Disk0", L"\\??\\T:");
        LoadFileSystem(L"TestFs");
        Directory = OpenDirectory(L"\\??\\T:\\dir");
        Volume = static_cast<VolumeExtension*>(MountedVolume(disk)->DeviceExtension);
    }

    void TearDown() override {
        if (Directory != nullptr) ZwClose(Directory);
        IoWorldTest::TearDown();
    }

    // An asynchronous handle (no FILE_SYNCHRONOUS_IO_*): watches return at once.
    static HANDLE OpenDirectory(PCWSTR Name) {
        HANDLE handle = nullptr;
        EXPECT_EQ(OpenKernel(Name, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_DIRECTORY_FILE, &handle, nullptr,
                             FILE_OPEN_IF),
                  STATUS_SUCCESS);
        return handle;
    }

    // Reports a change of Path, whose last component starts at character Offset.
    void Report(const char16_t* Path, USHORT Offset, ULONG Filter, ULONG Action) {
        std::u16string path(Path);
        UNICODE_STRING name = {static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                               reinterpret_cast<PWCH>(path.data())};
        FsRtlNotifyFullReportChange(Volume->NotifySync, &Volume->NotifyList, reinterpret_cast<PSTRING>(&name),
                                    static_cast<USHORT>(Offset * sizeof(WCHAR)), nullptr, nullptr, Filter, Action,
                                    nullptr);
    }
};

TEST_F(NotifyTest, AReportCompletesTheWaitingRequestWithTheNameOfTheChange) {
    Watch watch;
    EXPECT_EQ(watch.Start(Directory, kFileName), STATUS_PENDING);
    EXPECT_FALSE(watch.Done());
    Report(u"\\dir\\new.txt", 5, kFileName, FILE_ACTION_ADDED);
    ASSERT_TRUE(watch.Done());
    EXPECT_EQ(watch.Iosb.Status, STATUS_SUCCESS);
    std::vector<Record> records = watch.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Action, static_cast<ULONG>(FILE_ACTION_ADDED));
    EXPECT_EQ(records[0].Name, "new.txt");
}

TEST_F(NotifyTest, ChangesWhileNoRequestWaitsAreGivenToTheNextRequest) {
    Watch first;
    first.Start(Directory, kFileName);
    Report(u"\\dir\\a", 5, kFileName, FILE_ACTION_ADDED);
    ASSERT_TRUE(first.Done());
    Report(u"\\dir\\b", 5, kFileName, FILE_ACTION_ADDED);
    Report(u"\\DIR\\c", 5, kFileName, FILE_ACTION_REMOVED);
    Watch second;
    second.Start(Directory, kFileName);
    ASSERT_TRUE(second.Done());
    std::vector<Record> records = second.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Name, "b");
    EXPECT_EQ(records[1].Name, "c");
    EXPECT_EQ(records[1].Action, static_cast<ULONG>(FILE_ACTION_REMOVED));
}

TEST_F(NotifyTest, ChangesOutsideTheFilterOrTheDirectoryLeaveTheRequestWaiting) {
    Watch watch;
    watch.Start(Directory, kFileName);
    Report(u"\\dir\\sub", 5, FILE_NOTIFY_CHANGE_DIR_NAME, FILE_ACTION_ADDED);
    Report(u"\\other\\x", 7, kFileName, FILE_ACTION_ADDED);
    Report(u"\\dir\\sub\\x", 9, kFileName, FILE_ACTION_ADDED);
    Report(u"\\dirx\\y", 6, kFileName, FILE_ACTION_ADDED);
    EXPECT_FALSE(watch.Done());
    // Closing the handle ends the watch.
    ZwClose(Directory);
    Directory = nullptr;
    ASSERT_TRUE(watch.Done());
    EXPECT_EQ(watch.Iosb.Status, STATUS_NOTIFY_CLEANUP);
}

TEST_F(NotifyTest, AWatchOnATreeNamesDeeperChangesByTheirPathBelowIt) {
    Watch watch;
    watch.Start(Directory, kFileName, true);
    Report(u"\\dir\\sub\\x.txt", 9, kFileName, FILE_ACTION_MODIFIED);
    ASSERT_TRUE(watch.Done());
    std::vector<Record> records = watch.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Name, "sub\\x.txt");
}

TEST_F(NotifyTest, RecordsThatDoNotFitAskForAFullRescan) {
    Watch small;
    small.Start(Directory, kFileName, false, 16);
    Report(u"\\dir\\a-rather-long-name.txt", 5, kFileName, FILE_ACTION_ADDED);
    ASSERT_TRUE(small.Done());
    EXPECT_EQ(small.Iosb.Status, STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(small.Iosb.Information, 0u);

    // The watch keeps the first request's length for records kept meanwhile.
    for (int i = 0; i < 4; ++i) Report(u"\\dir\\another-long-name", 5, kFileName, FILE_ACTION_ADDED);
    Watch next;
    next.Start(Directory, kFileName);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Iosb.Status, STATUS_NOTIFY_ENUM_DIR);
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(NotifyTest, AWaitingRequestCanBeCancelled) {
    PFILE_OBJECT file = FileOf(Directory);
    PDEVICE_OBJECT target = IoGetRelatedDeviceObject(file);
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    UCHAR buffer[64];
    irp->UserBuffer = buffer;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    next->MinorFunction = IRP_MN_NOTIFY_CHANGE_DIRECTORY;
    next->FileObject = file;
    next->Parameters.NotifyDirectory.Length = sizeof(buffer);
    next->Parameters.NotifyDirectory.CompletionFilter = kFileName;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(target, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(irp);
    // The watch itself lives on: a report is kept for the next request.
    Report(u"\\dir\\later", 5, kFileName, FILE_ACTION_ADDED);
    Watch watch;
    watch.Start(Directory, kFileName);
    ASSERT_TRUE(watch.Done());
    EXPECT_EQ(watch.Records().at(0).Name, "later");
    ObDereferenceObject(file);
}

TEST_F(NotifyTest, DeletingTheWatchedDirectoryEndsItsRequests) {
    Watch watch;
    watch.Start(Directory, kFileName);
    PFILE_OBJECT file = FileOf(Directory);
    FsRtlNotifyFullChangeDirectory(Volume->NotifySync, &Volume->NotifyList, file->FsContext2, nullptr, FALSE, FALSE,
                                   0, nullptr, nullptr, nullptr);
    ASSERT_TRUE(watch.Done());
    EXPECT_EQ(watch.Iosb.Status, STATUS_DELETE_PENDING);
    Watch after;
    after.Start(Directory, kFileName);
    ASSERT_TRUE(after.Done());
    EXPECT_EQ(after.Iosb.Status, STATUS_DELETE_PENDING);
    ObDereferenceObject(file);
}

}  // namespace
}  // namespace iotest
