// The native API as a user program sees it: previous mode UserMode, user
// buffers, the file pointer of synchronous files, append-only handles, access
// and parameter checks, and an asynchronous change notification.
#include "io_world.h"

#include "mm/user_memory.h"
#include "ps/process.h"
#include "se/token.h"

#include <string.h>

#include <memory>

namespace iotest {
namespace {

constexpr ULONG kEchoControl = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x3FF, METHOD_BUFFERED, FILE_ANY_ACCESS);

class NativeTest : public IoWorldTest {
protected:
    PEPROCESS Process = nullptr;
    std::unique_ptr<plat::UserModeScope> Scope;
    VolumeExtension* Volume = nullptr;

    void SetUp() override {
        IoWorldTest::SetUp();
        PDEVICE_OBJECT disk = CreateDisk(L"Disk0", L"\\??\\T:");
        LoadFileSystem(L"TestFs");
        HANDLE root = nullptr;
        ASSERT_EQ(OpenKernel(L"\\??\\T:\\dir", FILE_LIST_DIRECTORY, 0, &root, nullptr, FILE_OPEN_IF), STATUS_SUCCESS);
        ZwClose(root);
        Volume = static_cast<VolumeExtension*>(MountedVolume(disk)->DeviceExtension);
        plat::Token* token = plat::TokenCreateUser(1001, false);
        Process = plat::ProcessCreate("app.exe", token);
        plat::TokenRelease(token);
        Scope = std::make_unique<plat::UserModeScope>(Process);
    }

    void TearDown() override {
        Scope.reset();
        plat::ProcessTerminate(Process);
        ObDereferenceObject(Process);
        IoWorldTest::TearDown();
    }

    static NTSTATUS Open(PCWSTR Name, ACCESS_MASK Access, ULONG Options, HANDLE* Handle,
                         ULONG Disposition = FILE_OPEN_IF) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return NtCreateFile(Handle, Access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, Disposition, Options, nullptr, 0);
    }
};

TEST_F(NativeTest, ReadsAndWritesOfASynchronousFileMoveItsFilePointer) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\data.bin", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                   &file),
              STATUS_SUCCESS);
    EXPECT_EQ(LastCreate().RequestorMode, UserMode);
    plat::UserBuffer buffer(16);
    IO_STATUS_BLOCK iosb = {};
    memcpy(buffer.Get(), "hello", 5);
    ASSERT_EQ(NtWriteFile(file, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 5, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    memcpy(buffer.Get(), "world", 5);
    ASSERT_EQ(NtWriteFile(file, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 5, nullptr, nullptr), STATUS_SUCCESS);

    plat::UserBuffer position(sizeof(FILE_POSITION_INFORMATION));
    ASSERT_EQ(NtQueryInformationFile(file, &iosb, position.Get(), position.Size(), FilePositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(position.As<FILE_POSITION_INFORMATION>()->CurrentByteOffset.QuadPart, 10);
    position.As<FILE_POSITION_INFORMATION>()->CurrentByteOffset.QuadPart = 0;
    ASSERT_EQ(NtSetInformationFile(file, &iosb, position.Get(), position.Size(), FilePositionInformation),
              STATUS_SUCCESS);

    memset(buffer.Get(), 0, 16);
    ASSERT_EQ(NtReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 16, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 10u);
    EXPECT_EQ(memcmp(buffer.Get(), "helloworld", 10), 0);
    EXPECT_EQ(NtReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 16, nullptr, nullptr),
              STATUS_END_OF_FILE);
    NtClose(file);
}

TEST_F(NativeTest, DataBuffersOfAUserProgramMustLieInUserSpace) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\data.bin", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &file),
              STATUS_SUCCESS);
    char systemSpace[16];
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(NtReadFile(file, nullptr, nullptr, nullptr, &iosb, systemSpace, sizeof(systemSpace), nullptr, nullptr),
              STATUS_ACCESS_VIOLATION);
    NtClose(file);
}

TEST_F(NativeTest, AHandleWithAppendRightOnlyWritesAtTheEnd) {
    HANDLE writer = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\log.txt", GENERIC_WRITE | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &writer),
              STATUS_SUCCESS);
    plat::UserBuffer buffer(8);
    IO_STATUS_BLOCK iosb;
    memcpy(buffer.Get(), "abc", 3);
    ASSERT_EQ(NtWriteFile(writer, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 3, nullptr, nullptr),
              STATUS_SUCCESS);
    NtClose(writer);

    HANDLE appender = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\log.txt", FILE_APPEND_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &appender),
              STATUS_SUCCESS);
    LARGE_INTEGER start = {};
    memcpy(buffer.Get(), "de", 2);
    ASSERT_EQ(NtWriteFile(appender, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 2, &start, nullptr),
              STATUS_SUCCESS);
    NtClose(appender);

    HANDLE reader = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\log.txt", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &reader),
              STATUS_SUCCESS);
    memset(buffer.Get(), 0, 8);
    ASSERT_EQ(NtReadFile(reader, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 8, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(memcmp(buffer.Get(), "abcde", 5), 0);
    NtClose(reader);
}

TEST_F(NativeTest, RequestsNeedTheRightsOfTheHandleAndValidParameters) {
    HANDLE writer = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\data.bin", FILE_WRITE_DATA | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &writer),
              STATUS_SUCCESS);
    plat::UserBuffer buffer(64);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(NtReadFile(writer, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 8, nullptr, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtQueryInformationFile(writer, &iosb, buffer.Get(), 4, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(NtSetInformationFile(writer, &iosb, buffer.Get(), 64, FileStandardInformation),
              STATUS_INVALID_INFO_CLASS);
    ASSERT_EQ(NtQueryInformationFile(writer, &iosb, buffer.Get(), 64, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(FILE_STANDARD_INFORMATION));
    NtClose(writer);

    // Synchronous I/O without SYNCHRONIZE access is refused from user mode.
    HANDLE bad = nullptr;
    EXPECT_EQ(Open(L"\\??\\T:\\data.bin", GENERIC_READ, FILE_SYNCHRONOUS_IO_NONALERT, &bad), STATUS_INVALID_PARAMETER);
}

TEST_F(NativeTest, AKernelHandleMeansNothingToAUserProgram) {
    HANDLE kernel = nullptr;
    Scope.reset();
    ASSERT_EQ(OpenKernel(L"\\??\\T:\\k", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &kernel,
                         nullptr, FILE_OPEN_IF),
              STATUS_SUCCESS);
    Scope = std::make_unique<plat::UserModeScope>(Process);
    plat::UserBuffer buffer(8);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(NtReadFile(kernel, nullptr, nullptr, nullptr, &iosb, buffer.Get(), 8, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
    Scope.reset();
    ZwClose(kernel);
    Scope = std::make_unique<plat::UserModeScope>(Process);
}

TEST_F(NativeTest, BufferedControlsCarryTheirInputAndOutputThroughASystemBuffer) {
    HANDLE file = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\data.bin", GENERIC_READ | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT, &file),
              STATUS_SUCCESS);
    plat::UserBuffer input(4);
    plat::UserBuffer output(8);
    memcpy(input.Get(), "abc", 3);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtFsControlFile(file, nullptr, nullptr, nullptr, &iosb, kEchoControl, input.Get(), 3, output.Get(), 8),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(memcmp(output.Get(), "abc", 3), 0);
    NtClose(file);
}

TEST_F(NativeTest, AChangeNotificationCompletesIntoTheProgramsBuffer) {
    HANDLE directory = nullptr;
    ASSERT_EQ(Open(L"\\??\\T:\\dir", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_DIRECTORY_FILE, &directory, FILE_OPEN),
              STATUS_SUCCESS);
    HANDLE event = nullptr;
    ASSERT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
    plat::UserBuffer buffer(256);
    auto* iosb = static_cast<PIO_STATUS_BLOCK>(plat::UserBufferAllocate(sizeof(IO_STATUS_BLOCK)));
    ASSERT_EQ(NtNotifyChangeDirectoryFile(directory, event, nullptr, nullptr, iosb, buffer.Get(), buffer.Size(),
                                          FILE_NOTIFY_CHANGE_FILE_NAME, FALSE),
              STATUS_PENDING);

    std::u16string path = u"\\dir\\made.txt";
    UNICODE_STRING name = {static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                           reinterpret_cast<PWCH>(path.data())};
    FsRtlNotifyFullReportChange(Volume->NotifySync, &Volume->NotifyList, reinterpret_cast<PSTRING>(&name), 10,
                                nullptr, nullptr, FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED, nullptr);
    ASSERT_EQ(NtWaitForSingleObject(event, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
    auto* record = buffer.As<FILE_NOTIFY_INFORMATION>();
    EXPECT_EQ(record->Action, static_cast<ULONG>(FILE_ACTION_ADDED));
    UNICODE_STRING recorded = {static_cast<USHORT>(record->FileNameLength),
                               static_cast<USHORT>(record->FileNameLength), record->FileName};
    EXPECT_EQ(Narrow(&recorded), "made.txt");
    plat::UserBufferFree(iosb);
    NtClose(event);
    NtClose(directory);
}

}  // namespace
}  // namespace iotest
