#include "startup_fixture.h"

#include <string.h>

#include <chrono>
#include <thread>

#include "core/kernel.h"
#include "frame/driver_globals.h"
#include "io/io.h"
#include "ke/dispatcher.h"
#include "rtl/convert.h"
#include "support/quilt_driver_fixture.h"

namespace startup_test {

using plat::native::File;
using quilt_test::OpenPath;

namespace {

// Host time a test waits for the start-up threads before it gives up.
constexpr auto kPatience = std::chrono::seconds(30);

bool EventIsSet(KEVENT* Event) {
    return KeReadStateEvent(Event) != 0;
}

bool WaitsForDeletion(DeviceContext* Volume) {
    return !IsListEmpty(&Volume->DeletionSemaphore.Header.WaitListHead);
}

template <class Condition>
bool PollUntil(Condition Done) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

std::string CheckFileText(const std::vector<std::string>& Lines) {
    std::u16string text = u"\xFEFF";
    for (const std::string& line : Lines) text += std::u16string(line.begin(), line.end()) + u"\r\n";
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

void StartupTest::SetUp() {
    KernelTest::SetUp();
    AddDisk('C', plat::fs::FsKind::Ntfs, BusTypeAta, 64ull << 20);
    AddDisk('D', plat::fs::FsKind::Fat);
    Sectors.Format();
    StartKernel();
    MakeDirectory(u"C:\\Quilt");
    MakeDirectory(u"C:\\Quilt\\INI");
    WriteCheckFile({"1C:\\", "1D:\\"});
}

void StartupTest::TearDown() {
    if (m_DriverLoaded) quilt_test::UnloadQuiltDriver();
    if (m_Sibling != nullptr) m_Sibling->DriverUnload(m_Sibling);
    KernelTest::TearDown();
}

void StartupTest::AddDisk(char Letter, plat::fs::FsKind Kind, STORAGE_BUS_TYPE Bus, uint64_t SizeBytes) {
    plat::storage::DiskConfig config;
    config.FileSystem = Kind;
    config.SizeBytes = SizeBytes;
    config.BusType = Bus;
    auto disk = plat::storage::Disk::Create(config);
    Disks[Letter] = disk;
    if (m_Started) {
        ASSERT_EQ(STATUS_SUCCESS, plat::storage::Attach(disk, static_cast<WCHAR>(Letter)));
    }
}

void StartupTest::StartKernel() {
    m_Started = true;
    ASSERT_EQ(STATUS_SUCCESS, plat::fs::LoadFileSystems());
    for (const auto& [letter, disk] : Disks) {
        ASSERT_EQ(STATUS_SUCCESS, plat::storage::Attach(disk, static_cast<WCHAR>(letter)));
    }
}

void StartupTest::RundownDriver() {
    quilt_test::UnloadQuiltDriver();
    m_DriverLoaded = false;
}

void StartupTest::EndKernel(bool Clean) {
    if (!Clean) {
        plat::KernelPowerOff();
        m_DriverLoaded = false;
        m_Sibling = nullptr;
        return;
    }
    plat::IoShutdownSystem();
    if (m_Sibling != nullptr) pleat::SendLastChanceShutdown();
    if (m_DriverLoaded) RundownDriver();
    if (m_Sibling != nullptr) m_Sibling->DriverUnload(m_Sibling);
    m_Sibling = nullptr;
    std::vector<std::string> findings = plat::KernelDestroy();
    EXPECT_TRUE(findings.empty()) << quilt_test::JoinFindings(findings);
}

void StartupTest::LoadDrivers() {
    if (!SiblingMissing) {
        ASSERT_EQ(STATUS_SUCCESS, pleat::LoadSibling(&Sectors, &m_Sibling));
    }
    for (const auto& [name, value] : Parameters) quilt_test::SetQuiltDword(reinterpret_cast<PCWSTR>(name.c_str()), value);
    ASSERT_EQ(STATUS_SUCCESS, quilt_test::LoadQuiltDriver());
    m_DriverLoaded = true;
}

void StartupTest::Boot() {
    EndKernel(true);
    plat::KernelCreate(Options);
    StartKernel();
    LoadDrivers();
    Mount('C');
    for (const auto& entry : Disks) {
        if (entry.first != 'C') Mount(entry.first);
    }
    if (!WantGate) return;
    OpenGate();
    WaitForSetUps();
}

void StartupTest::Crash() {
    EndKernel(false);
    plat::KernelCreate(Options);
    StartKernel();
}

void StartupTest::Mount(char Letter) {
    std::u16string root = std::u16string(1, static_cast<char16_t>(Letter)) + u":\\";
    File file;
    OpenPath(root.c_str(), &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
}

void StartupTest::OpenGate() {
    KeSetEvent(&g_Quilt.StartupGate, IO_NO_INCREMENT, FALSE);
}

std::vector<PDEVICE_OBJECT> StartupTest::VolumeFilters() {
    std::vector<PDEVICE_OBJECT> filters;
    if (g_Quilt.DriverObject == nullptr) return filters;
    for (PDEVICE_OBJECT device = g_Quilt.DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        DeviceContext* context = DeviceContextOf(device);
        if (context != nullptr && context->Kind == DEVICE_KIND_VOLUME_FILTER) filters.push_back(device);
    }
    return filters;
}

void StartupTest::WaitForSetUps() {
    for (PDEVICE_OBJECT filter : VolumeFilters()) {
        DeviceContext* volume = DeviceContextOf(filter);
        ASSERT_TRUE(PollUntil([&] { return EventIsSet(&volume->StartupDone) || WaitsForDeletion(volume); }))
            << "start-up of drive " << volume->DriveIndex << " has not settled";
    }
}

void StartupTest::RunDeletions() {
    AdvanceSeconds(g_Quilt.Config.DeleteStartDelay);
    for (PDEVICE_OBJECT filter : VolumeFilters()) {
        DeviceContext* volume = DeviceContextOf(filter);
        ASSERT_TRUE(PollUntil([&] { return EventIsSet(&volume->StartupDone); }))
            << "deletion of drive " << volume->DriveIndex << " has not ended";
    }
}

bool StartupTest::StepUntil(ULONG Drive, const std::function<bool()>& Done, int Steps) {
    DeviceContext* volume = Volume(Drive);
    if (volume == nullptr || volume->StartupThread == nullptr) return Done();
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (int step = 0; Steps == 0 || step < Steps; ++step) {
        if (Done() || EventIsSet(&volume->StartupDone) || std::chrono::steady_clock::now() >= deadline) break;
        plat::DispatcherWaitUntilThreadBlocked(volume->StartupThread->Tcb.State);
        AdvanceMilliseconds(1);
    }
    return Done();
}

DeviceContext* StartupTest::Volume(ULONG Drive) {
    for (PDEVICE_OBJECT filter : VolumeFilters()) {
        if (DeviceContextOf(filter)->DriveIndex == Drive) return DeviceContextOf(filter);
    }
    return nullptr;
}

bool StartupTest::Protected(ULONG Drive) {
    return (g_Drives.ProtectedMask & (1u << Drive)) != 0 && g_Drives.VolumeFilters[Drive] != nullptr &&
           DeviceContextOf(g_Drives.VolumeFilters[Drive])->Serving == 1;
}

void StartupTest::WriteRaw(const std::u16string& Path, const std::string& Bytes) {
    ASSERT_EQ(STATUS_SUCCESS, plat::native::WriteFile(Path, Bytes));
}

void StartupTest::MakeDirectory(const std::u16string& Path) {
    ASSERT_EQ(STATUS_SUCCESS, plat::native::CreateDirectory(Path));
}

void StartupTest::MakeJunction(const std::u16string& Path, const std::u16string& Target) {
    ASSERT_EQ(STATUS_SUCCESS, quilt_test::MakeJunction(Path, Target));
}

bool StartupTest::Exists(const std::u16string& Path) {
    File file;
    return NT_SUCCESS(OpenPath(Path.c_str(), &file, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                               FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT));
}

ULONG StartupTest::Attributes(const std::u16string& Path) {
    File file;
    FILE_BASIC_INFORMATION basic = {};
    if (!NT_SUCCESS(OpenPath(Path.c_str(), &file))) return 0;
    if (!NT_SUCCESS(file.Query(FileBasicInformation, &basic))) return 0;
    return basic.FileAttributes;
}

std::string StartupTest::Read(const std::u16string& Path) {
    std::string bytes;
    if (!NT_SUCCESS(plat::native::ReadFile(Path, &bytes))) return "<none>";
    return bytes;
}

std::string StartupTest::Log() {
    std::string bytes;
    if (!NT_SUCCESS(plat::native::ReadFile(u"C:\\Quilt\\INI\\quilt.log", &bytes))) return "";
    std::u16string wide(bytes.size() / 2, u'\0');
    memcpy(wide.data(), bytes.data(), wide.size() * 2);
    return plat::Utf16ToUtf8(wide);
}

}  // namespace startup_test
