// The shared user data page (SharedUserData) from which driver entry takes the
// system root. The platform declares it (nt/kuser.h) but does not provide it
// yet; until it does, the frame tests fill one from the current kernel's
// options, and as soon as the platform has its own this one defers to it.
#include <ntddk.h>

#include <dlfcn.h>

#include "core/kernel.h"

extern "C" const KUSER_SHARED_DATA* NTAPI QntSharedUserData(void) {
    using PageFunction = const KUSER_SHARED_DATA* (*)(void);
    static PageFunction platform = reinterpret_cast<PageFunction>(dlsym(RTLD_NEXT, "QntSharedUserData"));
    if (platform != nullptr) {
        return platform();
    }
    static KUSER_SHARED_DATA page;
    const plat::KernelOptions& options = plat::KernelCurrentOptions();
    RtlZeroMemory(&page, sizeof(page));
    wcsncpy(page.NtSystemRoot, options.SystemRoot, ARRAYSIZE(page.NtSystemRoot) - 1);
    page.NtMajorVersion = options.MajorVersion;
    page.NtMinorVersion = options.MinorVersion;
    return &page;
}
