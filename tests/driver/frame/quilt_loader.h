// Loading quilt.sys into the current kernel the way the system loads it: a
// service key with \Parameters, the driver object, DriverEntry with the key's
// path; and unloading it again (waiting for its system threads, then undoing
// what driver entry created) so that the kernel ends clean.
#pragma once

#include <ntifs.h>

#include <string>

namespace quilt_test {

inline constexpr const WCHAR* kServiceKey = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt";
inline constexpr const WCHAR* kParametersKey =
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt\\Parameters";
inline constexpr const WCHAR* kSiblingParametersKey =
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PLEAT\\Parameters";

// Creates the service key's \Parameters (with CheckFilePath when given).
void CreateServiceKey(const WCHAR* checkFilePath);
void SetDwordParameter(const WCHAR* name, ULONG value);
void SetStringParameter(const WCHAR* name, const WCHAR* value);

// IoLoadDriver with DriverEntry and the service key; returns its status.
NTSTATUS LoadQuilt(PDRIVER_OBJECT* Driver = nullptr);

// Waits for the threads driver entry started and undoes driver entry.
void UnloadQuilt();

// The debugger lines so far, joined.
std::string DebuggerText();

}  // namespace quilt_test
