// Loading and unloading the driver module (see driver_module.h).
#include "machine/driver_module.h"

#include <dlfcn.h>
#include <stdlib.h>

namespace machine {

#ifndef QUILT_HOST_MODULE_PATH
#define QUILT_HOST_MODULE_PATH "quilt_host.so"
#endif

DriverModule::~DriverModule() {
    if (m_Handle != nullptr) dlclose(m_Handle);
}

std::string DriverModule::DefaultPath() {
    const char* fromEnvironment = getenv("QUILT_DRIVER_MODULE");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') return fromEnvironment;
    return QUILT_HOST_MODULE_PATH;
}

std::string DriverModule::Load(const std::string& Path) {
    if (m_Handle != nullptr) return "the driver module is loaded already";
    void* handle = dlopen(Path.c_str(), RTLD_LOCAL | RTLD_NOW);
    if (handle == nullptr) {
        const char* reason = dlerror();
        return "cannot load the driver module " + Path + ": " + (reason != nullptr ? reason : "unknown reason");
    }
    void* entry = dlsym(handle, "DriverEntry");
    if (entry == nullptr) {
        dlclose(handle);
        return "the driver module " + Path + " has no DriverEntry";
    }
    m_Handle = handle;
    m_Entry = reinterpret_cast<PDRIVER_INITIALIZE>(entry);
    m_Path = Path;
    return "";
}

void* DriverModule::Symbol(const char* Name) const {
    return m_Handle != nullptr ? dlsym(m_Handle, Name) : nullptr;
}

std::string DriverModule::Unload() {
    if (m_Handle == nullptr) return "";
    dlclose(m_Handle);
    m_Handle = nullptr;
    m_Entry = nullptr;
    void* still = dlopen(m_Path.c_str(), RTLD_LOCAL | RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) {
        dlclose(still);
        return "the driver module " + m_Path + " stayed loaded after it was closed";
    }
    return "";
}

}  // namespace machine
