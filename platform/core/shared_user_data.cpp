// The shared user data page (nt/kuser.h): filled from the kernel's options
// when a kernel is created, read-only for drivers afterwards.
#include <ntddk.h>

#include "core/kernel.h"

namespace plat {
namespace {

KUSER_SHARED_DATA g_SharedUserData;

void FillSharedUserData() {
    const KernelOptions& options = KernelCurrentOptions();
    RtlZeroMemory(&g_SharedUserData, sizeof(g_SharedUserData));
    if (options.SystemRoot != nullptr) {
        wcsncpy(g_SharedUserData.NtSystemRoot, options.SystemRoot, ARRAYSIZE(g_SharedUserData.NtSystemRoot) - 1);
    }
    g_SharedUserData.NtMajorVersion = options.MajorVersion;
    g_SharedUserData.NtMinorVersion = options.MinorVersion;
}

const bool g_Registered = [] {
    KernelComponent component;
    component.Name = "shared user data";
    component.Order = -100;  // before any driver can be loaded
    component.Create = FillSharedUserData;
    KernelRegisterComponent(component);
    return true;
}();

}  // namespace
}  // namespace plat

extern "C" const KUSER_SHARED_DATA* NTAPI QntSharedUserData(void) {
    return &plat::g_SharedUserData;
}
