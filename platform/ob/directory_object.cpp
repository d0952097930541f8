// The Zw routines on directory and symbolic-link objects.
#include <string.h>

#include "ob/object_internal.h"

namespace {

VOID InitializeDirectoryBody(PVOID Body, PVOID) {
    InitializeListHead(&static_cast<plat::ObDirectory*>(Body)->Entries);
}

VOID InitializeLinkBody(PVOID Body, PVOID Context) {
    static_cast<plat::ObSymbolicLink*>(Body)->Target = *static_cast<PUNICODE_STRING>(Context);
}

NTSTATUS InsertNewObject(PVOID body, NTSTATUS createStatus, ACCESS_MASK desiredAccess, ULONG attributes,
                         PHANDLE handle) {
    plat::ObjectType* type = plat::ObGetObjectType(body);
    NTSTATUS status = plat::ObInsertHandle(body, plat::ObMapDesiredAccess(type, desiredAccess), attributes,
                                           KernelMode, handle);
    plat::ObDereferenceBody(body);
    return NT_SUCCESS(status) ? createStatus : status;
}

NTSTATUS CopyTarget(PCUNICODE_STRING source, PUNICODE_STRING copy) {
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, source->Length + sizeof(WCHAR),
                                                            plat::kNamePoolTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, source->Buffer, source->Length);
    buffer[source->Length / sizeof(WCHAR)] = 0;
    copy->Buffer = buffer;
    copy->Length = source->Length;
    copy->MaximumLength = static_cast<USHORT>(source->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_ATTRIBUTES ObjectAttributes) {
    *DirectoryHandle = nullptr;
    PVOID directory = nullptr;
    NTSTATUS status = plat::ObCreateObjectEx(&plat::ObDirectoryType, sizeof(plat::ObDirectory),
                                             ObjectAttributes->ObjectName, ObjectAttributes->RootDirectory,
                                             ObjectAttributes->Attributes, ObjectAttributes->SecurityDescriptor,
                                             &directory, InitializeDirectoryBody);
    if (!NT_SUCCESS(status)) return status;
    return InsertNewObject(directory, status, DesiredAccess, ObjectAttributes->Attributes, DirectoryHandle);
}

extern "C" NTSTATUS NTAPI ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes) {
    return plat::ObOpenObjectByNameEx(ObjectAttributes, &plat::ObDirectoryType, KernelMode, DesiredAccess,
                                      nullptr, DirectoryHandle);
}

extern "C" NTSTATUS NTAPI ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                                     PUNICODE_STRING LinkTarget) {
    *LinkHandle = nullptr;
    if (LinkTarget == nullptr || LinkTarget->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    UNICODE_STRING target;
    NTSTATUS status = CopyTarget(LinkTarget, &target);
    if (!NT_SUCCESS(status)) return status;
    ULONG attributes = ObjectAttributes->Attributes & ~OBJ_OPENIF;
    PVOID link = nullptr;
    status = plat::ObCreateObjectEx(&plat::ObSymbolicLinkType, sizeof(plat::ObSymbolicLink),
                                    ObjectAttributes->ObjectName, ObjectAttributes->RootDirectory, attributes,
                                    ObjectAttributes->SecurityDescriptor, &link, InitializeLinkBody, &target);
    if (!NT_SUCCESS(status)) {
        ExFreePool(target.Buffer);
        return status;
    }
    return InsertNewObject(link, status, DesiredAccess, attributes, LinkHandle);
}

extern "C" NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes) {
    OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
    attributes.Attributes |= OBJ_OPENLINK;
    return plat::ObOpenObjectByNameEx(&attributes, &plat::ObSymbolicLinkType, KernelMode, DesiredAccess, nullptr,
                                      LinkHandle);
}

extern "C" NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                                    PULONG ReturnedLength) {
    PVOID link = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(LinkHandle, SYMBOLIC_LINK_QUERY,
                                                plat::ObExportType(&plat::ObSymbolicLinkType), KernelMode, &link,
                                                nullptr);
    if (!NT_SUCCESS(status)) return status;
    const UNICODE_STRING& target = static_cast<plat::ObSymbolicLink*>(link)->Target;
    if (ReturnedLength != nullptr) *ReturnedLength = target.Length;
    if (LinkTarget->MaximumLength < target.Length) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        memcpy(LinkTarget->Buffer, target.Buffer, target.Length);
        LinkTarget->Length = target.Length;
        if (LinkTarget->MaximumLength >= target.Length + sizeof(WCHAR)) {
            LinkTarget->Buffer[target.Length / sizeof(WCHAR)] = 0;
        }
    }
    plat::ObDereferenceBody(link);
    return status;
}

extern "C" NTSTATUS NTAPI ZwMakeTemporaryObject(HANDLE Handle) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, DELETE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    plat::ObMakeTemporaryObject(object);
    plat::ObDereferenceBody(object);
    return STATUS_SUCCESS;
}
