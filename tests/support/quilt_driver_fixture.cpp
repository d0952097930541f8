#include "support/quilt_driver_fixture.h"

#include <gtest/gtest.h>

#include "cm/registry.h"
#include "core/kernel.h"
#include "frame/driver_entry.h"
#include "frame/driver_globals.h"
#include "io/io.h"
#include "rtl/convert.h"

#include <string.h>

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

void UnloadQuiltDriver() {
    WaitForThread(g_Quilt.RestoreThread);
    WaitForThread(g_Quilt.PrecreateThread);
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
