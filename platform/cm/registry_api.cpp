// Filling and reading keys from C++: the simulated machine and the tests set
// up the registry through these calls, which act as a kernel-mode caller
// would, without handles.
#include "cm/cm_internal.h"
#include "cm/registry.h"

namespace plat {
namespace {

const WCHAR kRootPrefix[] = L"\\REGISTRY";
constexpr ULONG kRootPrefixChars = 9;

// The part of an absolute registry path after "\REGISTRY".
NTSTATUS PathBelowRoot(const WCHAR* keyPath, CmNameRef& rest) {
    if (keyPath == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG chars = static_cast<ULONG>(wcslen(keyPath));
    if (chars < kRootPrefixChars || !CmEqualNames({keyPath, kRootPrefixChars}, {kRootPrefix, kRootPrefixChars}) ||
        (chars > kRootPrefixChars && keyPath[kRootPrefixChars] != L'\\')) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    rest = {keyPath + kRootPrefixChars, chars - kRootPrefixChars};
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceRoot(CmKey** root) {
    CmSharedGuard guard;
    *root = CmRoot();
    if (*root == nullptr) return STATUS_UNSUCCESSFUL;
    ObReferenceObject(*root);
    return STATUS_SUCCESS;
}

// Creates the keys of Parts one below the other, as a kernel caller would
// with ZwCreateKey on each prefix.
NTSTATUS CreatePath(CmKey* current, const std::vector<CmNameRef>& parts, CmKey** key) {
    for (const CmNameRef& part : parts) {
        CmOpenRequest request;
        request.Create = true;
        request.DesiredAccess = KEY_ALL_ACCESS;
        CmKey* next = nullptr;
        NTSTATUS status = CmLookupKey(current, part, request, &next);
        ObDereferenceObject(current);
        if (!NT_SUCCESS(status)) return status;
        current = next;
    }
    *key = current;
    return STATUS_SUCCESS;
}

CmNameRef ValueName(const WCHAR* name) {
    return name == nullptr ? CmNameRef{nullptr, 0} : CmNameRef{name, static_cast<ULONG>(wcslen(name))};
}

}  // namespace

NTSTATUS CmReferenceKeyByPath(const WCHAR* keyPath, bool create, CmKey** key) {
    *key = nullptr;
    CmNameRef rest;
    NTSTATUS status = PathBelowRoot(keyPath, rest);
    if (!NT_SUCCESS(status)) return status;
    CmKey* root = nullptr;
    status = ReferenceRoot(&root);
    if (!NT_SUCCESS(status)) return status;
    if (!create) {
        CmOpenRequest request;
        request.DesiredAccess = KEY_ALL_ACCESS;
        status = CmLookupKey(root, rest, request, key);
        ObDereferenceObject(root);
        return status;
    }
    std::vector<CmNameRef> parts;
    try {
        status = CmSplitPath(rest, parts);
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(root);
        return status;
    }
    return CreatePath(root, parts, key);
}

NTSTATUS RegistryCreateKey(const WCHAR* keyPath) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, true, &key);
    if (NT_SUCCESS(status)) ObDereferenceObject(key);
    return status;
}

NTSTATUS RegistrySetValue(const WCHAR* keyPath, const WCHAR* valueName, ULONG type, const void* data,
                          ULONG length) {
    if (data == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
    CmNameRef name = ValueName(valueName);
    if (name.Chars > kCmMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, true, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CmSetValue(key, name, 0, type, data, length);
    ObDereferenceObject(key);
    return status;
}

NTSTATUS RegistrySetDword(const WCHAR* keyPath, const WCHAR* valueName, ULONG value) {
    return RegistrySetValue(keyPath, valueName, REG_DWORD, &value, sizeof(value));
}

NTSTATUS RegistrySetString(const WCHAR* keyPath, const WCHAR* valueName, const WCHAR* value, ULONG type) {
    if (value == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG bytes = static_cast<ULONG>((wcslen(value) + 1) * sizeof(WCHAR));
    return RegistrySetValue(keyPath, valueName, type, value, bytes);
}

NTSTATUS RegistryQueryValue(const WCHAR* keyPath, const WCHAR* valueName, ULONG* type, std::vector<UCHAR>* data) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, false, &key);
    if (!NT_SUCCESS(status)) return status;
    {
        CmSharedGuard guard;
        long index = key->IsDeleted() ? -1 : CmFindValue(key, ValueName(valueName));
        if (index < 0) {
            status = key->IsDeleted() ? STATUS_KEY_DELETED : STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            const CmValue& value = key->Values[index];
            if (type != nullptr) *type = value.Type;
            if (data != nullptr) data->assign(value.Data.begin(), value.Data.end());
        }
    }
    ObDereferenceObject(key);
    return status;
}

NTSTATUS RegistryDeleteTree(const WCHAR* keyPath) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, false, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CmDeleteKey(key, true);
    ObDereferenceObject(key);
    return status;
}

bool RegistryKeyExists(const WCHAR* keyPath) {
    CmKey* key = nullptr;
    if (!NT_SUCCESS(CmReferenceKeyByPath(keyPath, false, &key))) return false;
    ObDereferenceObject(key);
    return true;
}

}  // namespace plat
