// Handles: insertion into the current process's table (or the kernel's),
// lookup with type and access checks, and closing, which runs the type's
// Close procedure and drops the handle's reference.
#include <map>
#include <string>

#include "ob/object_internal.h"
#include "ps/process.h"
#include "ps/ps_internal.h"

namespace plat {
namespace {

HandleTable& KernelTable() {
    static HandleTable* table = new HandleTable;  // emptied at every kernel's end
    return *table;
}

PEPROCESS CurrentProcess() {
    return CurrentProcessOf(CurrentThread());
}

// The table a handle value belongs to, seen from the caller's mode.
HandleTable* TableFor(HANDLE handle, KPROCESSOR_MODE mode, PEPROCESS* owner) {
    if (IsKernelHandle(handle)) {
        *owner = nullptr;
        return mode == KernelMode ? &KernelTable() : nullptr;
    }
    *owner = CurrentProcess();
    return ProcessHandleTable(*owner);
}

NTSTATUS ReferencePseudoHandle(HANDLE handle, ObjectType* type, PVOID* object) {
    PVOID body = reinterpret_cast<LONG_PTR>(handle) == -1 ? static_cast<PVOID>(CurrentProcess())
                                                             : static_cast<PVOID>(CurrentThread()->Object);
    if (type != nullptr && HeaderOfBody(body)->Type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    ObReferenceBody(body);
    *object = body;
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode) {
    ULONG index = 0;
    if (IsPseudoHandle(handle) || !DecodeHandle(handle, &index)) return STATUS_INVALID_HANDLE;
    PEPROCESS owner = nullptr;
    HandleTable* table = TableFor(handle, mode, &owner);
    HandleTable::Entry entry;
    if (table == nullptr || !table->Remove(index, &entry)) return STATUS_INVALID_HANDLE;
    ObObjectHandleClosed(entry.Object, owner);
    return STATUS_SUCCESS;
}

std::string TypeName(PVOID body) {
    std::string name;
    for (PCWSTR p = HeaderOfBody(body)->Type->Name; p != nullptr && *p != 0; ++p) {
        name += static_cast<char>(*p < 0x80 ? *p : '?');
    }
    return name;
}

std::string DescribeHandles(const std::vector<HandleTable::Entry>& entries) {
    std::map<std::string, ULONG> byType;
    for (const HandleTable::Entry& entry : entries) byType[TypeName(entry.Object)] += 1;
    std::string text;
    for (const auto& [type, count] : byType) {
        if (!text.empty()) text += ", ";
        text += std::to_string(count) + " " + type;
    }
    return text;
}

void CloseEntries(const std::vector<HandleTable::Entry>& entries, PEPROCESS owner) {
    for (const HandleTable::Entry& entry : entries) ObObjectHandleClosed(entry.Object, owner);
}

}  // namespace

void ObObjectHandleClosed(PVOID Body, PEPROCESS Process) {
    ObjectHeader* header = HeaderOfBody(Body);
    LONG left = header->HandleCount.fetch_sub(1) - 1;
    if (header->Type->Close != nullptr) header->Type->Close(Body, static_cast<ULONG>(left), Process);
    if (left == 0) ObRemoveTemporaryName(Body);
    ObDereferenceBody(Body);
}

NTSTATUS ObInsertHandle(PVOID Body, ACCESS_MASK GrantedAccess, ULONG Attributes, KPROCESSOR_MODE AccessMode,
                        PHANDLE Handle) {
    bool kernel = (Attributes & OBJ_KERNEL_HANDLE) != 0 && AccessMode == KernelMode;
    HandleTable* table = kernel ? &KernelTable() : ProcessHandleTable(CurrentProcess());
    ObReferenceBody(Body);
    HeaderOfBody(Body)->HandleCount.fetch_add(1);
    HandleTable::Entry entry;
    entry.Object = Body;
    entry.GrantedAccess = GrantedAccess;
    entry.Attributes = Attributes & (OBJ_INHERIT | OBJ_KERNEL_HANDLE);
    *Handle = EncodeHandle(table->Insert(entry), kernel);
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode, PVOID* Object, ACCESS_MASK* GrantedAccess) {
    ULONG index = 0;
    if (IsPseudoHandle(Handle) || !DecodeHandle(Handle, &index)) return STATUS_INVALID_HANDLE;
    PEPROCESS owner = nullptr;
    HandleTable* table = TableFor(Handle, AccessMode, &owner);
    HandleTable::Entry entry;
    if (table == nullptr || !table->Lookup(index, &entry)) return STATUS_INVALID_HANDLE;
    *Object = entry.Object;
    *GrantedAccess = entry.GrantedAccess;
    return STATUS_SUCCESS;
}

SIZE_T ObCountOpenHandles() {
    SIZE_T count = KernelTable().Count();
    for (PEPROCESS process : ProcessSnapshot()) {
        count += ProcessHandleTable(process)->Count();
        ObDereferenceBody(process);
    }
    return count;
}

std::vector<std::string> ObReportOpenHandles() {
    std::vector<std::string> findings;
    std::vector<HandleTable::Entry> kernelEntries = KernelTable().Snapshot();
    if (!kernelEntries.empty()) {
        findings.push_back("handle leak: " + std::to_string(kernelEntries.size()) +
                           " kernel handle(s) open (" + DescribeHandles(kernelEntries) + ")");
    }
    for (PEPROCESS process : ProcessSnapshot()) {
        std::vector<HandleTable::Entry> entries = ProcessHandleTable(process)->Snapshot();
        if (!entries.empty()) {
            findings.push_back("handle leak: " + std::to_string(entries.size()) + " handle(s) open in process " +
                               ProcessImageName(process) + " (" + DescribeHandles(entries) + ")");
        }
        ObDereferenceBody(process);
    }
    return findings;
}

void ObCloseAllHandles() {
    CloseEntries(KernelTable().RemoveAll(), nullptr);
    for (PEPROCESS process : ProcessSnapshot()) {
        CloseEntries(ProcessHandleTable(process)->RemoveAll(), process);
        ObDereferenceBody(process);
    }
}

void ObForgetEverything() {
    // The tables' objects go with the pool; only the host-side entries remain.
    KernelTable().RemoveAll();
    ObForgetObjects();
    ObForgetNamespace();
}

}  // namespace plat

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                    PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    *Object = nullptr;
    plat::ObjectType* type = plat::ObImportType(ObjectType);
    if (plat::IsPseudoHandle(Handle)) return plat::ReferencePseudoHandle(Handle, type, Object);
    ULONG index = 0;
    if (!plat::DecodeHandle(Handle, &index)) return STATUS_INVALID_HANDLE;
    PEPROCESS owner = nullptr;
    plat::HandleTable* table = plat::TableFor(Handle, AccessMode, &owner);
    plat::HandleTable::Entry entry;
    if (table == nullptr || !table->LookupAndReference(index, &entry)) return STATUS_INVALID_HANDLE;

    plat::ObjectType* actual = plat::HeaderOfBody(entry.Object)->Type;
    NTSTATUS status = STATUS_SUCCESS;
    if (type != nullptr && actual != type) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else if (AccessMode != KernelMode) {
        ACCESS_MASK wanted = DesiredAccess & ~MAXIMUM_ALLOWED;
        RtlMapGenericMask(&wanted, &actual->GenericMapping);
        if ((wanted & ~entry.GrantedAccess) != 0) status = STATUS_ACCESS_DENIED;
    }
    if (!NT_SUCCESS(status)) {
        plat::ObDereferenceBody(entry.Object);
        return status;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = entry.Attributes;
        HandleInformation->GrantedAccess = entry.GrantedAccess;
    }
    *Object = entry.Object;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    *Handle = nullptr;
    plat::ObjectType* actual = plat::ObGetObjectType(Object);
    plat::ObjectType* expected = plat::ObImportType(ObjectType);
    if (expected != nullptr && actual != expected) return STATUS_OBJECT_TYPE_MISMATCH;
    return plat::ObInsertHandle(Object, plat::ObMapDesiredAccess(actual, DesiredAccess), HandleAttributes,
                                AccessMode, Handle);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    return plat::CloseHandle(Handle, KernelMode);
}

extern "C" NTSTATUS NTAPI NtClose(HANDLE Handle) {
    return plat::CloseHandle(Handle, ExGetPreviousMode());
}
