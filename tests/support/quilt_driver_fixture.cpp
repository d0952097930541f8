#include "support/quilt_driver_fixture.h"

#include <gtest/gtest.h>

#include "cm/registry.h"
#include "core/kernel.h"
#include "frame/check_file.h"
#include "frame/device_context.h"
#include "frame/driver_entry.h"
#include "frame/driver_globals.h"
#include "frame/fs_attach.h"
#include "io/io.h"
#include "rtl/convert.h"

#include <string.h>

#include <vector>

namespace quilt_test {

namespace {

constexpr const WCHAR* kServiceKeyPath = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt";
constexpr const WCHAR* kParametersPath =
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt\\Parameters";

void WaitForThread(PETHREAD thread) {
    if (thread != nullptr) {
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    }
}

}  // namespace

NTSTATUS LoadQuiltDriver(const WCHAR* CheckFilePath) {
    NTSTATUS status = plat::RegistryCreateKey(kParametersPath);
    if (!NT_SUCCESS(status)) return status;
    status = plat::RegistrySetString(kParametersPath, L"CheckFilePath", CheckFilePath);
    if (!NT_SUCCESS(status)) return status;
    return plat::IoLoadDriver(L"\\Driver\\quilt", DriverEntry, kServiceKeyPath, nullptr);
}

void SetQuiltDword(const WCHAR* Name, ULONG Value) {
    ASSERT_EQ(plat::RegistryCreateKey(kParametersPath), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegistrySetDword(kParametersPath, Name, Value), STATUS_SUCCESS);
}

void EndQuiltVolumes() {
    if (g_Quilt.DriverObject == nullptr) return;
    std::vector<PDEVICE_OBJECT> attached;
    for (PDEVICE_OBJECT device = g_Quilt.DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        DeviceContext* context = DeviceContextOf(device);
        if (context == nullptr || device == g_Quilt.ControlDevice) continue;
        if (context->Kind == DEVICE_KIND_VOLUME_FILTER) {
            // Before the gate opens: a thread that passes it then gives up at once.
            context->Removal = 1;
            KeSetEvent(&context->RemovalEvent, IO_NO_INCREMENT, FALSE);
            KeReleaseSemaphore(&context->DeletionSemaphore, IO_NO_INCREMENT, 1, FALSE);
        }
        if (context->Attached) attached.push_back(device);
    }
    KeSetEvent(&g_Quilt.StartupGate, IO_NO_INCREMENT, FALSE);
    for (PDEVICE_OBJECT device : attached) {
        DeviceContext* context = DeviceContextOf(device);
        if (context->Kind == DEVICE_KIND_VOLUME_FILTER) {
            WithdrawVolumeFilter(device);
            WaitForThread(context->StartupThread);  // past its start-up-done event, out of the driver
        }
        RemoveAttachedDevice(device, context->LowerDevice);
    }
    UNICODE_STRING link = MakeUnicode(L"\\??\\quilt");
    IoDeleteSymbolicLink(&link);
    CheckFileTextFree();
}

void UnloadQuiltDriver() {
    WaitForThread(g_Quilt.RestoreThread);
    WaitForThread(g_Quilt.PrecreateThread);
    EndQuiltVolumes();
    UndoDriverEntry();
}

void QuiltDriverTest::SetUp() {
    KernelTest::SetUp();
    if (LoadInSetUp) Load();
}

void QuiltDriverTest::Load(const WCHAR* CheckFilePath) {
    ASSERT_FALSE(m_Loaded);
    ASSERT_EQ(LoadQuiltDriver(CheckFilePath), STATUS_SUCCESS);
    ASSERT_NE(g_Quilt.ControlDevice, nullptr);
    m_Loaded = true;
}

void QuiltDriverTest::TearDown() {
    if (m_Loaded) {
        UnloadQuiltDriver();
        m_Loaded = false;
    }
    KernelTest::TearDown();
}

void QuiltVolumeTest::SetUp() {
    VolumeTest::SetUp();
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Quilt"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
    ASSERT_EQ(LoadQuiltDriver(), STATUS_SUCCESS);
    ASSERT_NE(g_Quilt.ControlDevice, nullptr);
}

void QuiltVolumeTest::TearDown() {
    if (g_Quilt.ControlDevice != nullptr) UnloadQuiltDriver();
    VolumeTest::TearDown();
}

std::string QuiltVolumeTest::LogText() {
    std::string bytes;
    if (!NT_SUCCESS(plat::native::ReadFile(u"C:\\Quilt\\INI\\quilt.log", &bytes))) return "";
    std::u16string wide(bytes.size() / 2, u'\0');
    memcpy(wide.data(), bytes.data(), wide.size() * 2);
    return plat::Utf16ToUtf8(wide);
}

std::string DebuggerLines() {
    std::string text;
    for (const std::string& line : plat::DebugOutput()) text += line;
    return text;
}

}  // namespace quilt_test
