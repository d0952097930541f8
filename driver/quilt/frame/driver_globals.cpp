#include "frame/driver_globals.h"

#include <ntstrsafe.h>

#include "common/pool_tags.h"

QuiltGlobals g_Quilt;

// base + subkey as a counted string in pool (freed by the caller).
static NTSTATUS BuildKeyPath(PCUNICODE_STRING BasePath, PCWSTR SubKey, PUNICODE_STRING KeyPath) {
    SIZE_T subKeyBytes = SubKey != NULL ? wcslen(SubKey) * sizeof(WCHAR) : 0;
    SIZE_T bytes = BasePath->Length + subKeyBytes;
    if (bytes > MAXUSHORT - sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    PWSTR buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), QUILT_TAG_DEFAULT));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(buffer, BasePath->Buffer, BasePath->Length);
    RtlCopyMemory(reinterpret_cast<PUCHAR>(buffer) + BasePath->Length, SubKey, subKeyBytes);
    buffer[bytes / sizeof(WCHAR)] = L'\0';
    KeyPath->Buffer = buffer;
    KeyPath->Length = (USHORT)bytes;
    KeyPath->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Copies the data of a KeyValueFullInformation answer of Returned bytes into
// Destination, at most DestinationSize bytes.
static VOID CopyValueData(const KEY_VALUE_FULL_INFORMATION* Information, ULONG Returned, PVOID Destination,
                          ULONG DestinationSize) {
    ULONG offset = Information->DataOffset;
    ULONG length = Information->DataLength;
    if (offset > Returned || length > Returned - offset) {
        return;  // the answer does not hold the data it describes
    }
    RtlCopyMemory(Destination, reinterpret_cast<const UCHAR*>(Information) + offset,
                  length < DestinationSize ? length : DestinationSize);
}

static NTSTATUS QueryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, ULONG DestinationSize) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG size = DestinationSize + name.Length + 32;  // twice the name's characters, and the fixed part
    PKEY_VALUE_FULL_INFORMATION information =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, size, QUILT_TAG_DEFAULT));
    if (information == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, information, size, &returned);
    if (NT_SUCCESS(status)) {
        CopyValueData(information, returned < size ? returned : size, Destination, DestinationSize);
    }
    ExFreePoolWithTag(information, QUILT_TAG_DEFAULT);
    return status;
}

NTSTATUS ReadParameter(PCUNICODE_STRING BasePath, PCWSTR SubKey, PCWSTR ValueName, PVOID Destination,
                       ULONG DestinationSize) {
    if (BasePath == NULL || BasePath->Buffer == NULL || ValueName == NULL || Destination == NULL ||
        DestinationSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(Destination, DestinationSize);
    UNICODE_STRING keyPath;
    NTSTATUS status = BuildKeyPath(BasePath, SubKey, &keyPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status)) {
        status = QueryValue(key, ValueName, Destination, DestinationSize);
        ZwClose(key);
    }
    ExFreePoolWithTag(keyPath.Buffer, QUILT_TAG_DEFAULT);
    return status;
}

ULONG ReadDword(PCUNICODE_STRING RegistryPath, PCWSTR ValueName, ULONG Default) {
    ULONG value = 0;
    if (!NT_SUCCESS(ReadParameter(RegistryPath, L"\\Parameters", ValueName, &value, sizeof(value)))) {
        return Default;
    }
    return value;
}

PETHREAD StartSystemThread(PKSTART_ROUTINE StartRoutine, PVOID Context) {
    if (StartRoutine == NULL) {
        return NULL;
    }
    // A kernel handle: the caller may run in any process (a mount completion).
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle = NULL;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, StartRoutine,
                                           Context);
    if (!NT_SUCCESS(status)) {
        return NULL;
    }
    PETHREAD thread = NULL;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       reinterpret_cast<PVOID*>(&thread), NULL);
    ZwClose(handle);
    return NT_SUCCESS(status) ? thread : NULL;
}

PCHAR GetCurrentProcessName(PCHAR Destination) {
    if (Destination == NULL) {
        return NULL;
    }
    if (g_Quilt.ProcessNameOffset == 0) {
        RtlStringCbCopyA(Destination, 16, "???");
        return Destination;
    }
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    RtlCopyMemory(Destination, process + g_Quilt.ProcessNameOffset, 15);
    Destination[15] = '\0';
    return Destination;
}
