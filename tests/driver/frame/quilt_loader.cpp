#include "quilt_loader.h"

#include <gtest/gtest.h>

#include "cm/registry.h"
#include "core/kernel.h"
#include "frame/driver_entry.h"
#include "frame/driver_globals.h"
#include "io/io.h"

namespace quilt_test {

void CreateServiceKey(const WCHAR* checkFilePath) {
    ASSERT_EQ(plat::RegistryCreateKey(kParametersKey), STATUS_SUCCESS);
    if (checkFilePath != nullptr) {
        SetStringParameter(L"CheckFilePath", checkFilePath);
    }
}

void SetDwordParameter(const WCHAR* name, ULONG value) {
    ASSERT_EQ(plat::RegistrySetDword(kParametersKey, name, value), STATUS_SUCCESS);
}

void SetStringParameter(const WCHAR* name, const WCHAR* value) {
    ASSERT_EQ(plat::RegistrySetString(kParametersKey, name, value), STATUS_SUCCESS);
}

NTSTATUS LoadQuilt(PDRIVER_OBJECT* Driver) {
    return plat::IoLoadDriver(L"\\Driver\\quilt", DriverEntry, kServiceKey, Driver);
}

static void WaitForThread(PETHREAD thread) {
    if (thread != nullptr) {
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    }
}

void UnloadQuilt() {
    WaitForThread(g_Quilt.RestoreThread);
    WaitForThread(g_Quilt.PrecreateThread);
    UndoDriverEntry();
}

std::string DebuggerText() {
    std::string text;
    for (const std::string& line : plat::DebugOutput()) text += line;
    return text;
}

}  // namespace quilt_test
