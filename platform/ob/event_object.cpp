// Event objects: KEVENT bodies reachable by handle and by name, and the waits
// on objects named by a handle.
#include "ob/object_internal.h"

namespace plat {

ObjectType ExEventType = {
    L"Event", nullptr, nullptr, nullptr,
    {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS},
    TRUE};

namespace {

POBJECT_TYPE g_EventType = ObExportType(&ExEventType);

struct EventSetup {
    EVENT_TYPE Type;
    BOOLEAN State;
};

VOID InitializeEventBody(PVOID Body, PVOID Context) {
    auto* setup = static_cast<EventSetup*>(Context);
    KeInitializeEvent(static_cast<PKEVENT>(Body), setup->Type, setup->State);
}

NTSTATUS CreateEvent(PHANDLE handle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                     BOOLEAN state, KPROCESSOR_MODE mode) {
    *handle = nullptr;
    if (type != NotificationEvent && type != SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    EventSetup setup{type, state};
    PCUNICODE_STRING name = attributes != nullptr ? attributes->ObjectName : nullptr;
    HANDLE root = attributes != nullptr ? attributes->RootDirectory : nullptr;
    ULONG flags = attributes != nullptr ? attributes->Attributes : 0;
    PSECURITY_DESCRIPTOR sd = attributes != nullptr ? attributes->SecurityDescriptor : nullptr;
    if (mode != KernelMode) flags &= ~OBJ_KERNEL_HANDLE;
    PVOID event = nullptr;
    NTSTATUS status = ObCreateObjectEx(&ExEventType, sizeof(KEVENT), name, root, flags, sd, &event,
                                       InitializeEventBody, &setup);
    if (!NT_SUCCESS(status)) return status;
    NTSTATUS insert = ObInsertHandle(event, ObMapDesiredAccess(&ExEventType, desiredAccess), flags, mode, handle);
    ObDereferenceBody(event);
    return NT_SUCCESS(insert) ? status : insert;
}

NTSTATUS ReferenceEvent(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, PKEVENT* event) {
    return ObReferenceObjectByHandle(handle, access, g_EventType, mode, reinterpret_cast<PVOID*>(event), nullptr);
}

NTSTATUS SetEventByHandle(HANDLE handle, PLONG previousState, KPROCESSOR_MODE mode) {
    PKEVENT event = nullptr;
    NTSTATUS status = ReferenceEvent(handle, EVENT_MODIFY_STATE, mode, &event);
    if (!NT_SUCCESS(status)) return status;
    LONG previous = KeSetEvent(event, 0, FALSE);
    if (previousState != nullptr) *previousState = previous;
    ObDereferenceBody(event);
    return STATUS_SUCCESS;
}

NTSTATUS WaitByHandle(HANDLE handle, PLARGE_INTEGER timeout, KPROCESSOR_MODE mode) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (!HeaderOfBody(object)->Type->Waitable) {
        ObDereferenceBody(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = KeWaitForSingleObject(object, Executive, mode, FALSE, timeout);
    ObDereferenceBody(object);
    return status;
}

// Opens the named event or creates it signalled, with a kernel handle. A name
// without a directory is taken relative to \BaseNamedObjects.
PKEVENT CreateNamedEvent(PUNICODE_STRING eventName, PHANDLE eventHandle, EVENT_TYPE type) {
    *eventHandle = nullptr;
    if (eventName == nullptr || eventName->Length == 0) return nullptr;
    HANDLE baseNamedObjects = nullptr;
    bool relative = eventName->Buffer[0] != L'\\';
    if (relative) {
        static WCHAR path[] = L"\\BaseNamedObjects";
        UNICODE_STRING directoryName{sizeof(path) - sizeof(WCHAR), sizeof(path), path};
        OBJECT_ATTRIBUTES directory;
        InitializeObjectAttributes(&directory, &directoryName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        if (!NT_SUCCESS(ObOpenObjectByNameEx(&directory, &ObDirectoryType, KernelMode, DIRECTORY_ALL_ACCESS,
                                             nullptr, &baseNamedObjects))) {
            return nullptr;
        }
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, eventName, OBJ_OPENIF | OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               baseNamedObjects, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = CreateEvent(&handle, EVENT_ALL_ACCESS, &attributes, type, TRUE, KernelMode);
    if (baseNamedObjects != nullptr) ZwClose(baseNamedObjects);
    if (!NT_SUCCESS(status)) return nullptr;
    PKEVENT event = nullptr;
    if (!NT_SUCCESS(ReferenceEvent(handle, 0, KernelMode, &event))) {
        ZwClose(handle);
        return nullptr;
    }
    ObDereferenceBody(event);  // the handle keeps it alive
    *eventHandle = handle;
    return event;
}

}  // namespace
}  // namespace plat

extern "C" {
POBJECT_TYPE* ExEventObjectType = &plat::g_EventType;
}

extern "C" NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState) {
    return plat::CreateEvent(EventHandle, DesiredAccess, ObjectAttributes, EventType, InitialState, KernelMode);
}

extern "C" NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState) {
    return plat::CreateEvent(EventHandle, DesiredAccess, ObjectAttributes, EventType, InitialState,
                             ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes) {
    return plat::ObOpenObjectByNameEx(ObjectAttributes, &plat::ExEventType, KernelMode, DesiredAccess, nullptr,
                                      EventHandle);
}

extern "C" NTSTATUS NTAPI ZwSetEvent(HANDLE EventHandle, PLONG PreviousState) {
    return plat::SetEventByHandle(EventHandle, PreviousState, KernelMode);
}

extern "C" NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState) {
    return plat::SetEventByHandle(EventHandle, PreviousState, ExGetPreviousMode());
}

extern "C" NTSTATUS NTAPI ZwClearEvent(HANDLE EventHandle) {
    PKEVENT event = nullptr;
    NTSTATUS status = plat::ReferenceEvent(EventHandle, EVENT_MODIFY_STATE, KernelMode, &event);
    if (!NT_SUCCESS(status)) return status;
    KeClearEvent(event);
    plat::ObDereferenceBody(event);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN, PLARGE_INTEGER Timeout) {
    return plat::WaitByHandle(Handle, Timeout, KernelMode);
}

extern "C" NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN, PLARGE_INTEGER Timeout) {
    return plat::WaitByHandle(Handle, Timeout, ExGetPreviousMode());
}

extern "C" PKEVENT NTAPI IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return plat::CreateNamedEvent(EventName, EventHandle, NotificationEvent);
}

extern "C" PKEVENT NTAPI IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return plat::CreateNamedEvent(EventName, EventHandle, SynchronizationEvent);
}
