// The configuration manager's host-side interface: the registry's lifecycle
// with the kernel, its persistence on the host, the hives that appear during
// boot, and filling keys from C++ (the simulated machine, tests, the tool).
//
// The registry belongs to the kernel instance: KernelCreate calls
// RegistryInitialize once the object namespace exists, KernelDestroy calls
// RegistryShutdown before the verifier counts what is left. A fresh registry
// holds \REGISTRY, \REGISTRY\MACHINE, \REGISTRY\MACHINE\SYSTEM,
// \REGISTRY\MACHINE\SOFTWARE and \REGISTRY\USER; these keys cannot be deleted.
//
// Paths are kernel paths ("\REGISTRY\MACHINE\SYSTEM\..."), compared without
// regard to case. Functions answering std::string return "" on success and a
// sentence saying what went wrong otherwise.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace plat {

// ---- Lifecycle ----------------------------------------------------------------

NTSTATUS RegistryInitialize();
// Takes every key out of the registry (open handles then answer
// STATUS_KEY_DELETED) and releases the registry's references.
void RegistryShutdown();

// ---- Persistence ----------------------------------------------------------------
//
// The file format is the registry's own (see hive_file.cpp): a versioned,
// checksummed image of a key tree with names, classes, title indexes, write
// times, security descriptors and values. Volatile keys are not saved. Files
// are replaced atomically: a crash leaves the old file or the new one, never
// a mixture. A damaged, truncated or foreign file is refused with an error
// and leaves the registry unchanged.

// The whole registry, unmounted hives included (they are saved in place).
std::string RegistrySave(const std::string& hostPath);
// Replaces the whole registry with the file's content; every key that existed
// before is deleted (its handles answer STATUS_KEY_DELETED). The predefined
// keys exist afterwards whether or not the file holds them.
std::string RegistryLoad(const std::string& hostPath);

// One key and its subtree (a hive).
std::string RegistrySaveKey(const WCHAR* keyPath, const std::string& hostPath);
// Replaces the key at keyPath (whose parent must exist) and its subtree with
// the file's tree; the key keeps the last component of keyPath as its name.
std::string RegistryLoadKey(const WCHAR* keyPath, const std::string& hostPath);

// When set, ZwFlushKey writes the whole registry to this file (as
// RegistrySave does); empty turns flushing to a file off (the default).
void RegistrySetFlushFile(const std::string& hostPath);

// ---- Hives appearing during boot -----------------------------------------------------
//
// An unmounted hive is kept in memory but is not part of the namespace: opens
// of it or below it answer STATUS_OBJECT_NAME_NOT_FOUND and its parent does
// not list it. Mounting puts it back as it was.

// STATUS_OBJECT_NAME_NOT_FOUND when the key does not exist, STATUS_CANNOT_DELETE
// when a key of the hive has an open handle or keyPath is \REGISTRY.
NTSTATUS RegistryUnmountHive(const WCHAR* keyPath);
// STATUS_OBJECT_NAME_NOT_FOUND when no hive is unmounted at that path (a hive
// whose parent was deleted meanwhile stays away until the registry ends),
// STATUS_OBJECT_NAME_COLLISION when a key of that name was created meanwhile.
NTSTATUS RegistryMountHive(const WCHAR* keyPath);
bool RegistryIsHiveMounted(const WCHAR* keyPath);

// ---- Filling and reading keys from C++ -------------------------------------------------

// Creates the key and every missing parent (non-volatile, default security).
NTSTATUS RegistryCreateKey(const WCHAR* keyPath);
// Creates the key as above and sets the value.
NTSTATUS RegistrySetValue(const WCHAR* keyPath, const WCHAR* valueName, ULONG type, const void* data,
                          ULONG length);
NTSTATUS RegistrySetDword(const WCHAR* keyPath, const WCHAR* valueName, ULONG value);
// A REG_SZ (or REG_EXPAND_SZ) value with its terminating zero.
NTSTATUS RegistrySetString(const WCHAR* keyPath, const WCHAR* valueName, const WCHAR* value,
                           ULONG type = REG_SZ);
NTSTATUS RegistryQueryValue(const WCHAR* keyPath, const WCHAR* valueName, ULONG* type,
                            std::vector<UCHAR>* data);
// Deletes the key with its whole subtree (STATUS_CANNOT_DELETE for a
// predefined key).
NTSTATUS RegistryDeleteTree(const WCHAR* keyPath);
bool RegistryKeyExists(const WCHAR* keyPath);

// ---- Key security for the generic object routines --------------------------------------
//
// ZwQuerySecurityObject / ZwSetSecurityObject on a key handle land here: the
// caller has referenced the object (with READ_CONTROL, or WRITE_DAC /
// WRITE_OWNER, as the information asks).

bool RegistryIsKeyObject(PVOID Object);
// As SeQuerySecurityDescriptorInfo: STATUS_BUFFER_TOO_SMALL with *ResultLength
// set when Length is short.
NTSTATUS RegistryQueryKeySecurity(PVOID Key, SECURITY_INFORMATION SecurityInformation,
                                  PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                  PULONG ResultLength);
// Merges the parts named by SecurityInformation into the key's descriptor.
NTSTATUS RegistrySetKeySecurity(PVOID Key, SECURITY_INFORMATION SecurityInformation,
                                PSECURITY_DESCRIPTOR SecurityDescriptor);

}  // namespace plat
