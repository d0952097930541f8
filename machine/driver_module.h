// quilt.sys on the host: the driver built as a shared module (quilt_host.so)
// and loaded afresh at every boot, so that each boot starts with the
// driver's global state as the image file holds it, as on Windows.
//
// Loading uses RTLD_LOCAL | RTLD_NOW; the module exports DriverEntry and,
// for inspection as with a kernel debugger, its two global state records
// (g_Quilt, g_Drives); it binds its own symbols to itself. Unloading (after the kernel has
// powered off, when no thread runs driver code any more) checks that the
// module really left the process: a module that stays would carry its
// globals into the next boot.
#pragma once

#include <ntifs.h>

#include <string>

namespace machine {

class DriverModule {
public:
    DriverModule() = default;
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    // The module's path: $QUILT_DRIVER_MODULE when set, else the one built
    // beside this program.
    static std::string DefaultPath();

    // Answers "" or what went wrong.
    std::string Load(const std::string& Path);
    PDRIVER_INITIALIZE Entry() const { return m_Entry; }
    // The address of an exported symbol of the loaded module, or null.
    void* Symbol(const char* Name) const;
    bool Loaded() const { return m_Handle != nullptr; }
    // Answers "" or what went wrong (the module stayed in the process).
    std::string Unload();

private:
    void* m_Handle = nullptr;
    PDRIVER_INITIALIZE m_Entry = nullptr;
    std::string m_Path;
};

}  // namespace machine
