// Driver entry. Until the configuration and the global objects exist, the
// driver only runs its static initialisers and reports that it started.
#include <ntifs.h>

#include "common/kernel_runtime.h"

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    if (DriverObject == NULL || RegistryPath == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return QuiltRunStaticInitializers();
}
