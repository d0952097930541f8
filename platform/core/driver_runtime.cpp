// The host side of the driver's kernel C++ runtime: a driver module's static
// objects are constructed by the module loader before DriverEntry runs and
// destroyed when the module is unloaded, so there is nothing left to do here.
#include <ntifs.h>

extern "C" NTSTATUS QuiltRunStaticInitializers() {
    return STATUS_SUCCESS;
}

extern "C" VOID QuiltRunStaticDestructors() {
}
