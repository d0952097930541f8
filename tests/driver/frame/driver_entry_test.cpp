// Driver entry through the platform: the configuration read from the service
// key, the inert driver, the objects created and the undoing of every failure.
#include <gtest/gtest.h>

#include "common/pool_tags.h"
#include "cm/registry.h"
#include "core/kernel.h"
#include "core/verifier.h"
#include "ex/pool.h"
#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_entry.h"
#include "frame/driver_globals.h"
#include "lowerio/lower_request.h"
#include "quilt_loader.h"
#include "rtl/convert.h"
#include "support/kernel_fixture.h"

namespace {

using namespace quilt_test;

std::string Narrow(PCWSTR text) { return plat::Utf16ToUtf8(text); }

// The object manager's pool tag of device objects (the type's first letters).
constexpr ULONG kTagDeviceObject = QUILT_TAG('D', 'e', 'v', 'i');

const ULONG kDriverTags[] = {
    QUILT_TAG_STRING_TABLE, QUILT_TAG_OPEN_TABLE, QUILT_TAG_NAME_NODE, QUILT_TAG_PATH_BUFFER,
    QUILT_TAG_FILE_STATUS,  QUILT_TAG_COPY_BUFFER, QUILT_TAG_DEFAULT,
};

void ExpectNoDriverPool() {
    for (ULONG tag : kDriverTags) {
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(tag), 0u) << "tag " << std::string(reinterpret_cast<char*>(&tag), 4);
    }
}

bool ControlDeviceExists() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\quilt");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    if (NT_SUCCESS(status)) {
        ObDereferenceObject(file);
        return true;
    }
    return status != STATUS_OBJECT_NAME_NOT_FOUND;
}

class DriverEntryTest : public KernelTest {};

TEST_F(DriverEntryTest, RefusesAMissingDriverObjectOrRegistryPath) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kServiceKey);
    EXPECT_EQ(DriverEntry(NULL, &path), STATUS_INVALID_PARAMETER);
    DRIVER_OBJECT driver = {};
    EXPECT_EQ(DriverEntry(&driver, NULL), STATUS_INVALID_PARAMETER);
}

// ---- The inert driver ----------------------------------------------------------------

// Parameters are narrow: GoogleTest cannot print 16-bit wide strings.
class InertDriverTest : public DriverEntryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(InertDriverTest, LoadsButCreatesNothing) {
    std::u16string path = GetParam() != nullptr ? plat::Utf8ToUtf16(GetParam()) : u"";
    CreateServiceKey(GetParam() != nullptr ? plat::WidePtr(path) : nullptr);
    EXPECT_EQ(LoadQuilt(), STATUS_SUCCESS);
    EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED);
    EXPECT_EQ(g_Quilt.ControlDevice, nullptr);
    EXPECT_FALSE(ControlDeviceExists());
    EXPECT_EQ(g_Quilt.InstallDrive, 0u) << "no install drive: nothing is ever logged";
    EXPECT_EQ(g_Quilt.RestoreThread, nullptr);
    ExpectNoDriverPool();
    // TearDown: the verifier finds no resource, device or handle left behind.
}

INSTANTIATE_TEST_SUITE_P(MalformedCheckFilePath, InertDriverTest,
                         ::testing::Values("C:\\AB\\x",          // last backslash at index 5
                                           "1:\\abcdef\\x.txt",  // no drive letter
                                           "",                     // empty
                                           nullptr));              // absent

// ---- A working configuration -----------------------------------------------------------

class LoadedDriverTest : public DriverEntryTest {
protected:
    void Load() {
        ASSERT_EQ(LoadQuilt(&driver_), STATUS_SUCCESS);
        loaded_ = true;
    }

    void TearDown() override {
        if (loaded_) UnloadQuilt();
        ExpectNoDriverPool();
        DriverEntryTest::TearDown();
    }

    PDRIVER_OBJECT driver_ = nullptr;
    bool loaded_ = false;
};

TEST_F(LoadedDriverTest, DefaultsApplyWhenValuesAreAbsent) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    Load();
    const QuiltConfiguration& config = g_Quilt.Config;
    EXPECT_EQ(config.DeleteStartDelay, 600u);
    EXPECT_EQ(config.USBDiskSupport, 0u);
    EXPECT_EQ(config.SubFolderLimit, 0u);
    EXPECT_EQ(config.EnableScmWait, 1u);
    EXPECT_EQ(config.PrecreateEnable, 0u);
    EXPECT_EQ(config.PrecreateSizeLimit, 0u);
    EXPECT_EQ(config.PrecreateWatchTime, 300u);
    EXPECT_EQ(config.PrecreateStartTime, 480u);
    EXPECT_EQ(config.WFAccessMode, 1u) << "Windows 5.1";
    EXPECT_EQ(config.GetTimeInfo, 0u);
    EXPECT_EQ(config.FileCopyBufferSize, 0x100000u);
    EXPECT_EQ(Narrow(config.VBSFilePath), "");
    EXPECT_EQ(g_Quilt.PrecreateThread, nullptr);
}

TEST_F(LoadedDriverTest, ValuesAreReadAndBounded) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    SetDwordParameter(L"DeleteStartDelay", 30);
    SetDwordParameter(L"USBDiskSupport", 1);
    SetDwordParameter(L"SubFolderLimit", 4);
    SetDwordParameter(L"EnableScmWait", 0);
    SetDwordParameter(L"PrecreateWatchTime", 600);
    SetDwordParameter(L"PrecreateStartTime", 480);
    SetDwordParameter(L"FileCopyBufferSize", 1000);
    SetDwordParameter(L"WFAccessMode", 7);
    ASSERT_EQ(plat::RegistrySetString(kSiblingParametersKey, L"VBSFilePath", L"C:\\pleat\\vmbr.bin"), STATUS_SUCCESS);
    Load();
    const QuiltConfiguration& config = g_Quilt.Config;
    EXPECT_EQ(config.DeleteStartDelay, 30u);
    EXPECT_EQ(config.USBDiskSupport, 1u);
    EXPECT_EQ(config.SubFolderLimit, 4u);
    EXPECT_EQ(config.EnableScmWait, 0u);
    EXPECT_EQ(config.PrecreateWatchTime, 480u) << "lowered to PrecreateStartTime";
    EXPECT_EQ(config.FileCopyBufferSize, 1024u);
    EXPECT_EQ(config.WFAccessMode, 7u);
    EXPECT_EQ(Narrow(config.VBSFilePath), "C:\\pleat\\vmbr.bin");
    EXPECT_NE(DebuggerText().find("VirtualMBR filename = C:\\pleat\\vmbr.bin\n"), std::string::npos);
}

TEST_F(LoadedDriverTest, ALargeCopyBufferSizeIsLowered) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    SetDwordParameter(L"FileCopyBufferSize", 0x8000001);
    Load();
    EXPECT_EQ(g_Quilt.Config.FileCopyBufferSize, 0x8000000u);
}

TEST_F(LoadedDriverTest, ACopyBufferSizeOfZeroIsRaised) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    SetDwordParameter(L"FileCopyBufferSize", 0);
    Load();
    EXPECT_EQ(g_Quilt.Config.FileCopyBufferSize, 512u);
}

TEST_F(LoadedDriverTest, ACheckFilePathThatFillsItsBufferIsCutAndTerminated) {
    // 261 characters stored without a terminating zero: the value fills the
    // whole buffer.
    std::u16string path = u"C:\\abcdef\\" + std::u16string(251, u'x');
    ASSERT_EQ(path.size(), 261u);
    CreateServiceKey(nullptr);
    ASSERT_EQ(plat::RegistrySetValue(kParametersKey, L"CheckFilePath", REG_SZ, path.data(),
                                     (ULONG)(path.size() * sizeof(char16_t))),
              STATUS_SUCCESS);
    Load();
    EXPECT_EQ(wcslen(g_Quilt.Config.CheckFilePath), 260u);
    EXPECT_EQ(Narrow(g_Quilt.InstallFolder), "C:\\abcdef\\");
}

TEST_F(LoadedDriverTest, ACheckFilePathLongerThanItsBufferLeavesTheDriverInert) {
    std::u16string path = u"C:\\abcdef\\" + std::u16string(300, u'x');
    CreateServiceKey(plat::WidePtr(path));
    Load();
    EXPECT_EQ(g_Quilt.ControlDevice, nullptr);
}

TEST_F(LoadedDriverTest, PathsAreDerivedFromTheCheckFileAndTheSystemRoot) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    SetDwordParameter(L"GetTimeInfo", 1);
    Load();
    EXPECT_EQ(Narrow(g_Quilt.InstallFolder), "C:\\abc\\");
    EXPECT_EQ(g_Quilt.InstallDrive, 2u);
    EXPECT_EQ(Narrow(g_Quilt.MarkerFilePath), "C:\\abc\\$-MkFile.flg");
    EXPECT_EQ(Narrow(g_Quilt.RegistrySnapshotPath), "C:\\abc\\registry.dat");
    EXPECT_EQ(Narrow(g_Quilt.SystemRoot), "C:\\WINDOWS");
    EXPECT_EQ(g_Quilt.SystemDrive, 2u);
    EXPECT_EQ(g_Quilt.WatchedBootFileCount, 18u);
    EXPECT_EQ(plat::Utf16ToUtf8(g_Quilt.WatchedBootFiles[WatchedSystem]), "\\WINDOWS\\system32\\config\\system");
    EXPECT_EQ(plat::Utf16ToUtf8(g_Quilt.WatchedBootFiles[WatchedQsvAgent]), "\\PRG\\QSVAGENT.EXE");
    EXPECT_EQ(g_Quilt.OsVersion, 0x05010000u);
    EXPECT_NE(g_Quilt.ProcessNameOffset, 0u) << "\"System\" found in the System process";
    CHAR name[16];
    EXPECT_STREQ(GetCurrentProcessName(name), "System");
    EXPECT_EQ(GetCurrentProcessName(NULL), nullptr);
}

TEST_F(LoadedDriverTest, StatusWordAndDebuggerReportTheEntry) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    Load();
    EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED);
    EXPECT_EQ(DebuggerText().find("quilt.sys: Driver started\n"), 0u);
    EXPECT_NE(g_Quilt.LoadTime.QuadPart, 0);
    EXPECT_EQ(g_Quilt.LoadTime.QuadPart, g_Quilt.LoadLocalTime.QuadPart) << "time zone bias 0";
}

TEST_F(LoadedDriverTest, TheControlDeviceServesAndEverythingElsePassesDown) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    Load();
    ASSERT_NE(g_Quilt.ControlDevice, nullptr);
    EXPECT_TRUE(ControlDeviceExists());
    DeviceContext* context = DeviceContextOf(g_Quilt.ControlDevice);
    EXPECT_EQ(context->Kind, DEVICE_KIND_CONTROL);
    EXPECT_EQ(context->Size, sizeof(DeviceContext));
    EXPECT_EQ(context->DriverObject, driver_);
    EXPECT_EQ(context->LowerDevice, nullptr);
    EXPECT_EQ(context->Serving, 1);
    EXPECT_EQ(g_Quilt.ControlDevice->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);

    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_READ], PassThrough);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], PassThrough);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CREATE], QLTCreate);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CLOSE], QLTCleanupClose);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_SHUTDOWN], QLTShutdown);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_QUERY_SECURITY], QLTQuerySecurity);
}

TEST_F(LoadedDriverTest, TheRegistryRestoreThreadReportsItsEnd) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    Load();
    ASSERT_NE(g_Quilt.RestoreThread, nullptr);
    KeWaitForSingleObject(g_Quilt.RestoreThread, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(g_Quilt.RegistryRestoredFlag, 1);
    EXPECT_EQ(KeReadStateEvent(&g_Quilt.RegistryRestored), 1);
    EXPECT_EQ(KeReadStateEvent(&g_Quilt.StartupGate), 0);
    EXPECT_EQ(g_Drives.DeletionState, DELETION_STATE_PENDING);
    EXPECT_EQ(g_Drives.ProtectionEnabled, 1);
}

TEST_F(LoadedDriverTest, PrecreationStartsItsThreadWhenEnabled) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    SetDwordParameter(L"PrecreateEnable", 1);
    Load();
    EXPECT_NE(g_Quilt.PrecreateThread, nullptr);
}

class WindowsSevenDriverTest : public LoadedDriverTest {
protected:
    WindowsSevenDriverTest() {
        Options.MajorVersion = 6;
        Options.MinorVersion = 1;
    }
};

TEST_F(WindowsSevenDriverTest, WorkFolderAccessModeDefaultsToZero) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    Load();
    EXPECT_EQ(g_Quilt.OsVersion, 0x06010000u);
    EXPECT_TRUE(IsWindows6OrLater());
    EXPECT_EQ(g_Quilt.Config.WFAccessMode, 0u);
}

// ---- Failures undo everything ------------------------------------------------------------

TEST_F(DriverEntryTest, AControlDeviceThatCannotBeCreatedEndsTheEntry) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    plat::VerifierFailAllocationsWithTag(kTagDeviceObject);
    EXPECT_EQ(LoadQuilt(), STATUS_INSUFFICIENT_RESOURCES);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED);
    ExpectNoDriverPool();
}

class TableFailureTest : public DriverEntryTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(TableFailureTest, ABucketArrayThatCannotBeHadUndoesEverything) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    plat::VerifierFailAllocationsWithTag(GetParam());
    EXPECT_EQ(LoadQuilt(), STATUS_INSUFFICIENT_RESOURCES);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED);
    EXPECT_FALSE(ControlDeviceExists());
    ExpectNoDriverPool();
}

INSTANTIATE_TEST_SUITE_P(BothTables, TableFailureTest,
                         ::testing::Values(QUILT_TAG_STRING_TABLE, QUILT_TAG_OPEN_TABLE));

// The I/O manager's pool tag of a file-system registration packet.
constexpr ULONG kTagFsRegistration = QUILT_TAG('I', 'o', 'F', 's');

TEST_F(DriverEntryTest, AFailedRegistrationUndoesEverything) {
    CreateServiceKey(L"c:\\abc\\x.txt");
    plat::VerifierFailAllocationsWithTag(kTagFsRegistration);
    EXPECT_EQ(LoadQuilt(), STATUS_INSUFFICIENT_RESOURCES);
    plat::VerifierStopFailingAllocations();
    EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED);
    EXPECT_FALSE(ControlDeviceExists());
    ExpectNoDriverPool();
}

// Every allocation driver entry makes is failed in turn, each in a fresh
// kernel: the entry either ends with an error and leaves nothing behind, or
// succeeds (the allocation was one whose failure only costs a default) and can
// be undone without a trace.
TEST(DriverEntryFailureSweep, EveryAllocationFailureLeavesNothingBehind) {
    ULONG failures = 0;
    ULONG successes = 0;
    for (ULONG n = 1; n < 2000; ++n) {
        plat::KernelCreate();
        CreateServiceKey(L"c:\\abc\\x.txt");
        SetDwordParameter(L"PrecreateEnable", 1);
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
        plat::VerifierFailNthAllocation(n);
        NTSTATUS status = LoadQuilt();
        ULONG injected = plat::VerifierInjectedFailures();
        plat::VerifierStopFailingAllocations();
        if (NT_SUCCESS(status)) {
            UnloadQuilt();
            ++successes;
        } else if ((g_Quilt.StatusWord & STATUS_BIT_ENTRY_BEGAN) != 0) {
            // A failure of driver entry itself (not of the loader around it).
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            EXPECT_EQ(g_Quilt.StatusWord, STATUS_BIT_ENTRY_BEGAN | STATUS_BIT_ENTRY_ENDED) << "allocation " << n;
            ++failures;
        }
        std::vector<std::string> findings = plat::KernelDestroy();
        EXPECT_TRUE(findings.empty()) << "allocation " << n << ": " << JoinFindings(findings);
        if (injected == 0) break;  // every allocation of the entry has been failed once
    }
    EXPECT_GT(failures, 0u);
    EXPECT_GT(successes, 0u);
}

}  // namespace
