// Helpers of the registry tests: opening and creating keys by path through
// the Zw routines, and reading answers back as host values.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "support/kernel_fixture.h"

namespace quilt_test {

inline UNICODE_STRING Ustr(const WCHAR* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

inline NTSTATUS OpenKey(HANDLE* handle, const WCHAR* path, HANDLE root = nullptr,
                        ACCESS_MASK access = KEY_ALL_ACCESS) {
    UNICODE_STRING name = Ustr(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

inline NTSTATUS CreateKey(HANDLE* handle, const WCHAR* path, ULONG* disposition = nullptr, ULONG options = 0,
                          HANDLE root = nullptr, const WCHAR* keyClass = nullptr) {
    UNICODE_STRING name = Ustr(path);
    UNICODE_STRING classString = Ustr(keyClass);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, keyClass != nullptr ? &classString : nullptr,
                       options, disposition);
}

// Creates a key and closes the handle.
inline NTSTATUS MakeKey(const WCHAR* path, ULONG options = 0) {
    HANDLE handle = nullptr;
    NTSTATUS status = CreateKey(&handle, path, nullptr, options);
    if (NT_SUCCESS(status)) ZwClose(handle);
    return status;
}

inline NTSTATUS SetValue(HANDLE key, const WCHAR* name, ULONG type, const void* data, ULONG length) {
    UNICODE_STRING valueName = Ustr(name);
    return ZwSetValueKey(key, &valueName, 0, type, const_cast<void*>(data), length);
}

inline NTSTATUS SetDword(HANDLE key, const WCHAR* name, ULONG value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

// UTF-16 text of a name answered by the registry, for comparisons.
inline std::u16string Text(const WCHAR* buffer, ULONG bytes) {
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), bytes / sizeof(WCHAR));
}

inline std::u16string Text(const WCHAR* nulTerminated) {
    return std::u16string(reinterpret_cast<const char16_t*>(nulTerminated));
}

// The WCHAR view of a host string (valid while the string lives).
inline const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

// Names of the subkeys in enumeration order.
inline std::vector<std::u16string> SubKeyNames(HANDLE key) {
    std::vector<std::u16string> names;
    alignas(8) UCHAR buffer[1024];
    for (ULONG index = 0;; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof(buffer), &length);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        names.push_back(Text(info->Name, info->NameLength));
    }
    return names;
}

// Names of the values in enumeration order.
inline std::vector<std::u16string> ValueNames(HANDLE key) {
    std::vector<std::u16string> names;
    alignas(8) UCHAR buffer[1024];
    for (ULONG index = 0;; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer, sizeof(buffer), &length);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        names.push_back(Text(info->Name, info->NameLength));
    }
    return names;
}

// Type and data of a value, read with KeyValuePartialInformation.
struct ValueData {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    ULONG Type = 0;
    std::vector<UCHAR> Data;
};

inline ValueData QueryValue(HANDLE key, const WCHAR* name) {
    ValueData result;
    UNICODE_STRING valueName = Ustr(name);
    ULONG length = 0;
    result.Status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &length);
    if (result.Status != STATUS_BUFFER_TOO_SMALL) return result;
    std::vector<UCHAR> buffer(length);
    result.Status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(), length, &length);
    if (!NT_SUCCESS(result.Status)) return result;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    result.Type = info->Type;
    result.Data.assign(info->Data, info->Data + info->DataLength);
    return result;
}

}  // namespace quilt_test
