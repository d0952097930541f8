// The Zw and Nt registry routines. Zw* run with previous mode KernelMode (no
// access checks); Nt* run with the calling thread's previous mode, so that a
// program in an emulated process is checked against each key's descriptor
// when it opens it and against the handle's granted access afterwards.
#include "cm/cm_internal.h"

namespace plat {
namespace {

POBJECT_TYPE KeyObjectType() { return ObExportType(&CmKeyType); }

// Runs Body under the shared lock on the key behind a handle.
template <class Body>
NTSTATUS WithKeyShared(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, Body body) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByHandle(handle, access, mode, &key);
    if (!NT_SUCCESS(status)) return status;
    {
        CmSharedGuard guard;
        status = key->IsDeleted() ? STATUS_KEY_DELETED : body(key);
    }
    ObDereferenceObject(key);
    return status;
}

NTSTATUS CheckOutputBuffer(PVOID buffer, ULONG length, PULONG resultLength) {
    if (resultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (buffer == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS CheckValueName(PCUNICODE_STRING name) {
    NTSTATUS status = CmCheckUnicodeString(name);
    if (!NT_SUCCESS(status)) return status;
    if (name->Length / sizeof(WCHAR) > kCmMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                      POBJECT_ATTRIBUTES attributes, CmOpenRequest& request) {
    if (keyHandle == nullptr || attributes == nullptr) return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    request.AccessMode = (attributes->Attributes & OBJ_FORCE_ACCESS_CHECK) ? KPROCESSOR_MODE{UserMode} : mode;
    request.DesiredAccess = desiredAccess;
    request.ExplicitSecurity = attributes->SecurityDescriptor;
    CmKey* key = nullptr;
    NTSTATUS status = CmOpenKeyByAttributes(attributes, request, mode, &key);
    if (!NT_SUCCESS(status)) return status;
    status = ObInsertHandle(key, request.GrantedAccess, attributes->Attributes, mode, keyHandle);
    ObDereferenceObject(key);
    return status;
}

NTSTATUS CreateKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES attributes, ULONG titleIndex, PUNICODE_STRING keyClass, ULONG options,
                   PULONG disposition) {
    CmOpenRequest request;
    request.Create = true;
    request.TitleIndex = titleIndex;
    request.Options = options;
    if (keyClass != nullptr) {
        NTSTATUS status = CmCheckUnicodeString(keyClass);
        if (!NT_SUCCESS(status)) return status;
        request.Class = CmRef(*keyClass);
    }
    NTSTATUS status = OpenOrCreate(mode, keyHandle, desiredAccess, attributes, request);
    if (NT_SUCCESS(status) && disposition != nullptr) *disposition = request.Disposition;
    return status;
}

NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                 POBJECT_ATTRIBUTES attributes) {
    CmOpenRequest request;
    return OpenOrCreate(mode, keyHandle, desiredAccess, attributes, request);
}

NTSTATUS DeleteKey(KPROCESSOR_MODE mode, HANDLE keyHandle) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByHandle(keyHandle, DELETE, mode, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CmDeleteKey(key, false);
    ObDereferenceObject(key);
    return status;
}

NTSTATUS FlushKey(KPROCESSOR_MODE mode, HANDLE keyHandle) {
    NTSTATUS status = WithKeyShared(keyHandle, 0, mode, [](CmKey*) { return STATUS_SUCCESS; });
    if (!NT_SUCCESS(status)) return status;
    return CmFlushRegistry();
}

NTSTATUS QueryKey(KPROCESSOR_MODE mode, HANDLE keyHandle, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                  ULONG length, PULONG resultLength) {
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength);
    if (!NT_SUCCESS(status)) return status;
    ACCESS_MASK access = infoClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    return WithKeyShared(keyHandle, access, mode, [&](CmKey* key) {
        return CmQueryKeyInformation(key, infoClass, buffer, length, resultLength);
    });
}

NTSTATUS EnumerateKey(KPROCESSOR_MODE mode, HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS infoClass,
                      PVOID buffer, ULONG length, PULONG resultLength) {
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength);
    if (!NT_SUCCESS(status)) return status;
    if (infoClass != KeyBasicInformation && infoClass != KeyNodeInformation && infoClass != KeyFullInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    return WithKeyShared(keyHandle, KEY_ENUMERATE_SUB_KEYS, mode, [&](CmKey* key) {
        if (index >= key->SubKeys.size()) return STATUS_NO_MORE_ENTRIES;
        return CmQueryKeyInformation(key->SubKeys[index], infoClass, buffer, length, resultLength);
    });
}

NTSTATUS QueryValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length, PULONG resultLength) {
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength);
    if (NT_SUCCESS(status)) status = CheckValueName(valueName);
    if (!NT_SUCCESS(status)) return status;
    return WithKeyShared(keyHandle, KEY_QUERY_VALUE, mode, [&](CmKey* key) {
        long index = CmFindValue(key, CmRef(*valueName));
        if (index < 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        return CmQueryValueInformation(key->Values[index], infoClass, buffer, length, resultLength);
    });
}

NTSTATUS EnumerateValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, ULONG index,
                           KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                           PULONG resultLength) {
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength);
    if (!NT_SUCCESS(status)) return status;
    return WithKeyShared(keyHandle, KEY_QUERY_VALUE, mode, [&](CmKey* key) {
        if (index >= key->Values.size()) return STATUS_NO_MORE_ENTRIES;
        return CmQueryValueInformation(key->Values[index], infoClass, buffer, length, resultLength);
    });
}

NTSTATUS SetValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex,
                     ULONG type, PVOID data, ULONG dataSize) {
    NTSTATUS status = CheckValueName(valueName);
    if (!NT_SUCCESS(status)) return status;
    if (data == nullptr && dataSize != 0) return STATUS_INVALID_PARAMETER;
    CmKey* key = nullptr;
    status = CmReferenceKeyByHandle(keyHandle, KEY_SET_VALUE, mode, &key);
    if (!NT_SUCCESS(status)) return status;
    status = CmSetValue(key, CmRef(*valueName), titleIndex, type, data, dataSize);
    ObDereferenceObject(key);
    return status;
}

NTSTATUS DeleteValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName) {
    NTSTATUS status = CheckValueName(valueName);
    if (!NT_SUCCESS(status)) return status;
    CmKey* key = nullptr;
    status = CmReferenceKeyByHandle(keyHandle, KEY_SET_VALUE, mode, &key);
    if (!NT_SUCCESS(status)) return status;
    {
        CmExclusiveGuard guard;
        long index = key->IsDeleted() ? -1 : CmFindValue(key, CmRef(*valueName));
        if (key->IsDeleted()) {
            status = STATUS_KEY_DELETED;
        } else if (index < 0) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            key->Values.erase(key->Values.begin() + index);
            key->LastWriteTime = CmNow();
        }
    }
    ObDereferenceObject(key);
    return status;
}

}  // namespace

NTSTATUS CmReferenceKeyByHandle(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, CmKey** key) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, KeyObjectType(), mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *key = static_cast<CmKey*>(object);
    return STATUS_SUCCESS;
}

NTSTATUS CmSetValue(CmKey* key, CmNameRef name, ULONG titleIndex, ULONG type, const void* data, ULONG length) {
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    try {
        CmValue value;
        value.Name = CmMakeName(name);
        value.Type = type;
        value.TitleIndex = titleIndex;
        value.Data.assign(bytes, bytes + length);
        CmExclusiveGuard guard;
        if (key->IsDeleted()) return STATUS_KEY_DELETED;
        long index = CmFindValue(key, name);
        if (index >= 0) {
            // The value keeps its place and the case of its name.
            CmValue& existing = key->Values[index];
            existing.Type = type;
            existing.TitleIndex = titleIndex;
            existing.Data.swap(value.Data);
        } else {
            key->Values.push_back(std::move(value));
        }
        key->LastWriteTime = CmNow();
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmDeleteKey(CmKey* key, bool tree) {
    std::vector<CmKey*> retired;
    NTSTATUS status = STATUS_SUCCESS;
    try {
        CmExclusiveGuard guard;
        if (key->IsDeleted()) return STATUS_KEY_DELETED;
        if ((key->Flags & CmKeyPredefined) != 0 || key->Parent == nullptr) return STATUS_CANNOT_DELETE;
        if (!tree && !key->SubKeys.empty()) return STATUS_CANNOT_DELETE;
        // Reserved first: once the key is unlinked nothing may fail.
        retired.reserve(CmCountSubtree(key));
        CmKey* parent = key->Parent;
        CmUnlinkSubKey(key);
        parent->LastWriteTime = CmNow();
        CmRetireSubtree(key, retired);
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    CmDropReferences(retired);
    return status;
}

}  // namespace plat

static POBJECT_TYPE CmKeyTypePointer = plat::ObExportType(&plat::CmKeyType);
extern "C" {
POBJECT_TYPE* CmKeyObjectType = &CmKeyTypePointer;
}

using plat::CreateKey;
using plat::DeleteKey;
using plat::DeleteValueKey;
using plat::EnumerateKey;
using plat::EnumerateValueKey;
using plat::FlushKey;
using plat::OpenKey;
using plat::QueryKey;
using plat::QueryValueKey;
using plat::SetValueKey;

// ---- Kernel callers -------------------------------------------------------------------

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return CreateKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes, TitleIndex, Class, CreateOptions,
                     Disposition);
}

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes);
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) { return DeleteKey(KernelMode, KeyHandle); }

extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) { return FlushKey(KernelMode, KeyHandle); }

extern "C" NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                     PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return QueryKey(KernelMode, KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return EnumerateKey(KernelMode, KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return QueryValueKey(KernelMode, KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                         ResultLength);
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return EnumerateValueKey(KernelMode, KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                             ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize) {
    return SetValueKey(KernelMode, KeyHandle, ValueName, TitleIndex, Type, Data, DataSize);
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return DeleteValueKey(KernelMode, KeyHandle, ValueName);
}

// ---- Programs (the calling thread's previous mode) --------------------------------------

extern "C" NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return CreateKey(ExGetPreviousMode(), KeyHandle, DesiredAccess, ObjectAttributes, TitleIndex, Class,
                     CreateOptions, Disposition);
}

extern "C" NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenKey(ExGetPreviousMode(), KeyHandle, DesiredAccess, ObjectAttributes);
}

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle) { return DeleteKey(ExGetPreviousMode(), KeyHandle); }

extern "C" NTSTATUS NTAPI NtFlushKey(HANDLE KeyHandle) { return FlushKey(ExGetPreviousMode(), KeyHandle); }

extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                     PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return QueryKey(ExGetPreviousMode(), KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return EnumerateKey(ExGetPreviousMode(), KeyHandle, Index, KeyInformationClass, KeyInformation, Length,
                        ResultLength);
}

extern "C" NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return QueryValueKey(ExGetPreviousMode(), KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation,
                         Length, ResultLength);
}

extern "C" NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return EnumerateValueKey(ExGetPreviousMode(), KeyHandle, Index, KeyValueInformationClass, KeyValueInformation,
                             Length, ResultLength);
}

extern "C" NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize) {
    return SetValueKey(ExGetPreviousMode(), KeyHandle, ValueName, TitleIndex, Type, Data, DataSize);
}

extern "C" NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return DeleteValueKey(ExGetPreviousMode(), KeyHandle, ValueName);
}
