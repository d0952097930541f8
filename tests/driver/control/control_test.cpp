// The control interface through the native API, as the product's service
// sends its requests: a user process opens \??\quilt (or a protected volume)
// and issues NtDeviceIoControlFile with buffers in its own address space.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "frame/control.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "frame/target_list.h"
#include "mm/user_memory.h"
#include "ps/process.h"
#include "rtl/convert.h"
#include "store/block_pool.h"
#include "support/quilt_driver_fixture.h"

namespace {

using namespace quilt_test;

constexpr ULONG kDriveC = 2;
const char16_t kMarker[] = u"C:\\Quilt\\INI\\$-MkFile.flg";
const char16_t kCheckFile[] = u"C:\\Quilt\\INI\\check.txt";

// The service's side: a handle in a user process and control requests whose
// buffers lie in that process's address space.
class ServiceClient {
public:
    explicit ServiceClient(PEPROCESS process) : process_(process) {}
    ~ServiceClient() { Close(); }

    NTSTATUS Open(const char16_t* name = u"\\??\\quilt", ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE) {
        plat::UserModeScope user(process_);
        std::u16string text = name;
        UNICODE_STRING objectName = plat::UnicodeView(text);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, NULL, NULL);
        IO_STATUS_BLOCK ioStatus = {};
        return NtCreateFile(&handle_, access, &attributes, &ioStatus, NULL, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    }

    void Close() {
        if (handle_ == nullptr) return;
        plat::UserModeScope user(process_);
        NtClose(handle_);
        handle_ = nullptr;
    }

    // Sends Code with Input; Output receives OutputLength bytes of the output
    // buffer (prefilled with 0xAA so that untouched bytes show).
    NTSTATUS Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength = 0,
                     std::vector<uint8_t>* output = nullptr, ULONG_PTR* information = nullptr) {
        plat::UserBuffer in(input.empty() ? 1 : input.size());
        plat::UserBuffer out(outputLength == 0 ? 1 : outputLength);
        if (!input.empty()) memcpy(in.Get(), input.data(), input.size());
        memset(out.Get(), 0xAA, outputLength);
        IO_STATUS_BLOCK ioStatus = {};
        NTSTATUS status;
        {
            plat::UserModeScope user(process_);
            status = NtDeviceIoControlFile(handle_, NULL, NULL, NULL, &ioStatus, code,
                                           input.empty() ? NULL : in.Get(), (ULONG)input.size(),
                                           outputLength == 0 ? NULL : out.Get(), outputLength);
        }
        if (output != nullptr) {
            const uint8_t* bytes = out.As<uint8_t>();
            output->assign(bytes, bytes + outputLength);
        }
        if (information != nullptr) *information = ioStatus.Information;
        return status;
    }

private:
    PEPROCESS process_;
    HANDLE handle_ = nullptr;
};

std::vector<uint8_t> WidePath(const std::string& path) {
    std::u16string wide = plat::Utf8ToUtf16(path);
    std::vector<uint8_t> bytes((wide.size() + 1) * 2, 0);
    memcpy(bytes.data(), wide.data(), wide.size() * 2);
    return bytes;
}

// {operation, narrow process name, NUL, wide path, NUL}: the path is
// unaligned when the name has an even length.
std::vector<uint8_t> ProcessTarget(ULONG operation, const std::string& process, const std::string& path) {
    std::vector<uint8_t> wide = WidePath(path);
    std::vector<uint8_t> bytes(sizeof(ULONG) + process.size() + 1 + wide.size(), 0);
    memcpy(bytes.data(), &operation, sizeof(operation));
    memcpy(bytes.data() + sizeof(ULONG), process.data(), process.size());
    memcpy(bytes.data() + sizeof(ULONG) + process.size() + 1, wide.data(), wide.size());
    return bytes;
}

bool Exists(const char16_t* path) {
    plat::native::File file;
    return NT_SUCCESS(OpenPath(path, &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE));
}

ULONG AttributesOf(const char16_t* path) {
    plat::native::File file;
    if (!NT_SUCCESS(OpenPath(path, &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE))) return 0;
    FILE_BASIC_INFORMATION basic = {};
    file.Query(FileBasicInformation, &basic);
    return basic.FileAttributes;
}

LARGE_INTEGER LastWriteOf(const char16_t* path) {
    plat::native::File file;
    FILE_BASIC_INFORMATION basic = {};
    EXPECT_EQ(OpenPath(path, &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS);
    file.Query(FileBasicInformation, &basic);
    return basic.LastWriteTime;
}

class ControlTest : public QuiltVolumeTest {
protected:
    void SetUp() override {
        QuiltVolumeTest::SetUp();
        UNICODE_STRING link;
        UNICODE_STRING target;
        RtlInitUnicodeString(&link, L"\\??\\quilt");
        RtlInitUnicodeString(&target, L"\\Device\\quilt");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        client_ = std::make_unique<ServiceClient>(UserProcess);
        ASSERT_EQ(client_->Open(), STATUS_SUCCESS);
    }

    void TearDown() override {
        client_.reset();
        RemoveProtectedVolume();
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, L"\\??\\quilt");
        IoDeleteSymbolicLink(&link);
        QuiltVolumeTest::TearDown();
    }

    // Makes C: look like a protected volume to the control interface: a
    // volume filter of the driver's own, entered in the drive tables, whose
    // lower device is C:'s file-system volume device.
    VolumeContext* ProtectC(bool withStore = false) {
        EXPECT_EQ(IoCreateDevice(g_Quilt.DriverObject, sizeof(DeviceContext), NULL, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                 FALSE, &filter_),
                  STATUS_SUCCESS);
        filter_->Flags &= ~DO_DEVICE_INITIALIZING;
        VolumeContext* volume = static_cast<VolumeContext*>(filter_->DeviceExtension);
        RtlZeroMemory(volume, sizeof(*volume));
        volume->Kind = DEVICE_KIND_VOLUME_FILTER;
        volume->Size = sizeof(DeviceContext);
        volume->DriveIndex = kDriveC;
        volume->Serving = 1;
        plat::native::File root;
        EXPECT_EQ(OpenPath(u"C:\\", &root, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
                  STATUS_SUCCESS);
        PFILE_OBJECT rootFile = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(root.Handle(), 0, *IoFileObjectType, KernelMode,
                                            reinterpret_cast<PVOID*>(&rootFile), NULL),
                  STATUS_SUCCESS);
        volume->LowerDevice = IoGetRelatedDeviceObject(rootFile);
        ObDereferenceObject(rootFile);
        if (withStore) {
            EXPECT_TRUE(FileBlockInit(volume));
            g_Drives.ProtectedMask |= 1u << kDriveC;
        }
        g_Drives.VolumeFilters[kDriveC] = filter_;
        return volume;
    }

    void RemoveProtectedVolume() {
        if (filter_ == nullptr) return;
        VolumeContext* volume = static_cast<VolumeContext*>(filter_->DeviceExtension);
        if (attached_) IoDetachDevice(volume->LowerDevice);
        TargetListFree(&volume->RequestTargets);
        FileBlockTearDown(volume);
        g_Drives.VolumeFilters[kDriveC] = nullptr;
        g_Drives.ProtectedMask = 0;
        IoDeleteDevice(filter_);
        filter_ = nullptr;
    }

    std::vector<std::string> RequestTargets() {
        std::vector<std::string> paths;
        VolumeContext* volume = static_cast<VolumeContext*>(filter_->DeviceExtension);
        for (TargetEntry* entry = volume->RequestTargets; entry != nullptr; entry = entry->Next) {
            std::string text = plat::Utf16ToUtf8(entry->pPath);
            if (entry->ProcessName != nullptr) text += std::string(" for ") + entry->ProcessName;
            paths.push_back(text);
        }
        return paths;
    }

    // The check file, as the install drive's start-up finds and records it.
    void WriteCheckFile(const std::string& text) {
        ASSERT_EQ(plat::native::WriteFile(kCheckFile, text), STATUS_SUCCESS);
    }
    void RecordCheckFileTime() { g_Drives.CheckFileLastWriteTime = LastWriteOf(kCheckFile); }

    std::unique_ptr<ServiceClient> client_;
    PDEVICE_OBJECT filter_ = nullptr;
    bool attached_ = false;
};

// ---- The deletion state -----------------------------------------------------------------

TEST_F(ControlTest, TheDeletionStateIsReturnedInFourBytes) {
    std::vector<uint8_t> out;
    ULONG_PTR information = 0;
    ASSERT_EQ(client_->Control(IOCTL_QUILT_GET_DELETION_STATE, {}, 8, &out, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    ULONG state = 0;
    memcpy(&state, out.data(), 4);
    EXPECT_EQ(state, (ULONG)DELETION_STATE_PENDING);
    EXPECT_EQ(out[4], 0xAA) << "nothing beyond the four bytes comes back";

    g_Drives.DeletionState = DELETION_STATE_LEFT_OVER;
    ASSERT_EQ(client_->Control(IOCTL_QUILT_GET_DELETION_STATE, {}, 4, &out), STATUS_SUCCESS);
    memcpy(&state, out.data(), 4);
    EXPECT_EQ(state, (ULONG)DELETION_STATE_LEFT_OVER);
}

TEST_F(ControlTest, AShortOutputBufferIsRefusedAndLeftAlone) {
    std::vector<uint8_t> out;
    ULONG_PTR information = 99;
    EXPECT_EQ(client_->Control(IOCTL_QUILT_GET_DELETION_STATE, {}, 3, &out, &information), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(3, 0xAA));
    EXPECT_EQ(client_->Control(IOCTL_QUILT_GET_DELETION_STATE, {}), STATUS_BUFFER_TOO_SMALL);
}

// ---- Marker file --------------------------------------------------------------------------

TEST_F(ControlTest, TheMarkerFileIsCreatedEmptyAndHidden) {
    ASSERT_FALSE(Exists(kMarker));
    ASSERT_EQ(client_->Control(IOCTL_QUILT_CREATE_MARKER, {}), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(kMarker), "");
    EXPECT_NE(AttributesOf(kMarker) & FILE_ATTRIBUTE_HIDDEN, 0u);
    // A second request finds it there and succeeds.
    EXPECT_EQ(client_->Control(IOCTL_QUILT_CREATE_MARKER, {}), STATUS_SUCCESS);
}

TEST_F(ControlTest, AMarkerThatCannotBeCreatedReportsTheOpensStatus) {
    ASSERT_EQ(plat::native::DeletePath(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_CREATE_MARKER, {}), STATUS_OBJECT_PATH_NOT_FOUND);
}

// ---- Target changes -----------------------------------------------------------------------

TEST_F(ControlTest, ATargetForADriveWithoutProtectedVolumeSucceedsWithoutEffect) {
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("E:\\temp")), STATUS_SUCCESS);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("c:\\temp")), STATUS_SUCCESS)
        << "C: has no protected volume yet";
    ProtectC();
    EXPECT_TRUE(RequestTargets().empty());
}

TEST_F(ControlTest, TargetsAreAddedWithoutDriveLetterAndRemovedAgain) {
    ProtectC();
    ASSERT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("c:\\temp\\")), STATUS_SUCCESS);
    ASSERT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("C:\\temp\\inner")), STATUS_SUCCESS);
    ASSERT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("C:\\other")), STATUS_SUCCESS);
    EXPECT_EQ(RequestTargets(), (std::vector<std::string>{"\\other", "\\temp\\"}));
    ASSERT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("c:\\TEMP\\")), STATUS_SUCCESS);
    ASSERT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("C:\\missing")), STATUS_SUCCESS)
        << "a removal that finds nothing still succeeds";
    EXPECT_EQ(RequestTargets(), std::vector<std::string>{"\\other"});
}

TEST_F(ControlTest, ProcessTargetsCreateTheMarkerAndCarryTheProcessName) {
    ProtectC();
    ASSERT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, ProcessTarget(1, "ab.exe", "c:\\data")), STATUS_SUCCESS);
    EXPECT_TRUE(Exists(kMarker));
    ASSERT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, ProcessTarget(1, "", "C:\\data")), STATUS_SUCCESS);
    EXPECT_EQ(RequestTargets(), (std::vector<std::string>{"\\data", "\\data for ab.exe"}));
    // Any operation but 1 removes; only the entry with the same process name.
    ASSERT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, ProcessTarget(0, "AB.EXE", "C:\\data")), STATUS_SUCCESS);
    EXPECT_EQ(RequestTargets(), std::vector<std::string>{"\\data"});
    ASSERT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, ProcessTarget(7, "", "C:\\data")), STATUS_SUCCESS);
    EXPECT_TRUE(RequestTargets().empty());
}

TEST_F(ControlTest, AProcessTargetFailsWhenTheMarkerCannotBeCreated) {
    ProtectC();
    ASSERT_EQ(plat::native::DeletePath(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, ProcessTarget(1, "ab.exe", "C:\\data")),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(RequestTargets().empty());
}

TEST_F(ControlTest, MissingOrMalformedInputIsRefused) {
    ProtectC();
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, {}), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> unterminated = WidePath("C:\\abc");
    unterminated.resize(unterminated.size() - 2);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, unterminated), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("C")), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> nameOnly = {1, 0, 0, 0, 'a', 'b'};  // process name without terminator
    EXPECT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, nameOnly), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_PROCESS_TARGET, {1, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(RequestTargets().empty());
}

// ---- The check-file change test ---------------------------------------------------------------

TEST_F(ControlTest, RemovingTheCheckFileCreatesTheMarkerOnlyAfterTheCheckFileWasWritten) {
    WriteCheckFile("\xFF\xFE" "1\0C\0");
    RecordCheckFileTime();
    ASSERT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("c:\\quilt\\ini\\CHECK.TXT")), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(kMarker)) << "the check file is as it was loaded";

    AdvanceSeconds(2);
    WriteCheckFile("\xFF\xFE" "1\0D\0");
    ASSERT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("C:\\Quilt\\INI\\check.txt")), STATUS_SUCCESS);
    EXPECT_TRUE(Exists(kMarker));
    EXPECT_EQ(g_Drives.CheckFileLastWriteTime.QuadPart, LastWriteOf(kCheckFile).QuadPart) << "the new time is kept";

    // Unchanged since the last test: no new marker.
    ASSERT_EQ(plat::native::DeletePath(kMarker), STATUS_SUCCESS);
    ASSERT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("C:\\Quilt\\INI\\check.txt")), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(kMarker));
}

TEST_F(ControlTest, AMissingCheckFileFailsTheRemovalWithTheOpensStatus) {
    EXPECT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("C:\\Quilt\\INI\\check.txt")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(Exists(kMarker));
}

TEST_F(ControlTest, OtherPathsDoNotLookAtTheCheckFile) {
    // No check file at all: only a removal of its own path would notice.
    ProtectC();
    EXPECT_EQ(client_->Control(IOCTL_QUILT_REMOVE_TARGET, WidePath("C:\\Quilt\\INI\\check.tx")), STATUS_SUCCESS);
    EXPECT_EQ(client_->Control(IOCTL_QUILT_ADD_TARGET, WidePath("C:\\Quilt\\INI\\check.txt")), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(kMarker));
}

// ---- Other requests -----------------------------------------------------------------------------

TEST_F(ControlTest, UnknownCodesAreRefusedOnTheControlDevice) {
    for (ULONG function : {0xD02u, 0xD05u, 0xD06u, 0xCFEu}) {
        EXPECT_EQ(client_->Control(CTL_CODE(0x81C5u, function, METHOD_BUFFERED, FILE_ANY_ACCESS), {}),
                  STATUS_INVALID_DEVICE_REQUEST)
            << std::hex << function;
    }
}

TEST_F(ControlTest, TheRegistrySaveRequestSucceeds) {
    EXPECT_EQ(client_->Control(IOCTL_QUILT_SAVE_REGISTRY, {}), STATUS_SUCCESS);
    g_Drives.ProtectionEnabled = 0;
    EXPECT_EQ(client_->Control(IOCTL_QUILT_SAVE_REGISTRY, {}), STATUS_SUCCESS);
}

TEST_F(ControlTest, ProtectedVolumesAnswerTheControlCodesToo) {
    VolumeContext* volume = ProtectC();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter_, volume->LowerDevice), volume->LowerDevice);
    attached_ = true;
    ServiceClient onVolume(UserProcess);
    ASSERT_EQ(onVolume.Open(u"\\??\\C:\\", FILE_READ_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS) << "opens pass through the filter";
    std::vector<uint8_t> out;
    ASSERT_EQ(onVolume.Control(IOCTL_QUILT_GET_DELETION_STATE, {}, 4, &out), STATUS_SUCCESS);
    ULONG state = 0;
    memcpy(&state, out.data(), 4);
    EXPECT_EQ(state, (ULONG)DELETION_STATE_PENDING);
    ASSERT_EQ(onVolume.Control(IOCTL_QUILT_ADD_TARGET, WidePath("C:\\via\\volume")), STATUS_SUCCESS);
    EXPECT_EQ(RequestTargets(), std::vector<std::string>{"\\via\\volume"});
    volume->Serving = 0;
    EXPECT_NE(onVolume.Control(IOCTL_QUILT_GET_DELETION_STATE, {}, 4, &out), STATUS_SUCCESS)
        << "a filter that is not serving passes the request down";
}

TEST_F(ControlTest, TheStoreDumpWritesEveryBlockOfEveryProtectedVolume) {
    VolumeContext* volume = ProtectC(true);
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\$~@&%.~~~"), STATUS_SUCCESS);
    ASSERT_NE(FileBlockAddBlock(volume), 0u);
    volume->BlockDescriptors[1].Block[0x900] = 0x5A;  // something to find in block 1
    ASSERT_EQ(plat::native::WriteFile(u"C:\\$~@&%.~~~\\internalinfo.dat", std::string(7 * 0x20000, 'x')),
              STATUS_SUCCESS);
    ASSERT_EQ(client_->Control(IOCTL_QUILT_DUMP_STORE, {}), STATUS_SUCCESS);
    std::string dump = ReadText(u"C:\\$~@&%.~~~\\internalinfo.dat");
    ASSERT_EQ(dump.size(), 2u * 0x20000) << "the old file is replaced";
    EXPECT_EQ(memcmp(dump.data(), volume->BlockDescriptors[0].Block, 0x20000), 0);
    EXPECT_EQ(memcmp(dump.data() + 0x20000, volume->BlockDescriptors[1].Block, 0x20000), 0);
    EXPECT_EQ(dump[0x20000 + 0x900], 0x5A);
}

TEST_F(ControlTest, TheStoreDumpSkipsVolumesItCannotWriteTo) {
    ProtectC(true);  // no work folder: the dump file cannot be opened
    EXPECT_EQ(client_->Control(IOCTL_QUILT_DUMP_STORE, {}), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(u"C:\\$~@&%.~~~\\internalinfo.dat"));
}

}  // namespace
