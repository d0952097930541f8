// Objects: creation, reference counting, deletion, security descriptors.
#include <stdio.h>
#include <string.h>

#include <new>

#include <map>
#include <string>

#include "core/verifier.h"
#include "ob/object_internal.h"

namespace plat {
namespace {

struct ObjectList {
    std::mutex Lock;
    LIST_ENTRY Head;
    ObjectList() { InitializeListHead(&Head); }
};

ObjectList& Objects() {
    static ObjectList* list = new ObjectList;  // reset by ObForgetEverything
    return *list;
}

std::mutex& SecurityLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// The first four letters of the type name, padded with blanks: "Even", "Key ".
ULONG PoolTagOfType(const ObjectType* type) {
    ULONG tag = 0;
    bool ended = false;
    for (int i = 0; i < 4; ++i) {
        WCHAR c = (!ended && type->Name != nullptr) ? type->Name[i] : 0;
        if (c == 0) ended = true;
        UCHAR byte = (c >= 0x20 && c < 0x7F) ? static_cast<UCHAR>(c) : ' ';
        tag |= static_cast<ULONG>(byte) << (8 * i);
    }
    return tag;
}

std::string TypeName(const ObjectType* type) {
    std::string name;
    for (PCWSTR p = type->Name; p != nullptr && *p != 0; ++p) name += static_cast<char>(*p < 0x80 ? *p : '?');
    return name;
}

[[noreturn]] void NotAnObject(const char* routine, PVOID body) {
    char text[128];
    snprintf(text, sizeof(text), "%s: %p is not a live object", routine, body);
    fprintf(stderr, "%s\n", text);
    VerifierReport(text);
    KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, reinterpret_cast<ULONG_PTR>(body), 0, 0, 0);
}

ObjectHeader* CheckedHeader(const char* routine, PVOID body) {
    if (body == nullptr) NotAnObject(routine, body);
    ObjectHeader* header = HeaderOfBody(body);
    if (header->Magic != kObjectHeaderMagic) NotAnObject(routine, body);
    return header;
}

void FreeSecurity(ObjectHeader* header) {
    if (header->Security != nullptr) ExFreePool(header->Security);
    header->Security = nullptr;
}

void ReleaseMemory(ObjectHeader* header) {
    FreeSecurity(header);
    {
        ObjectList& list = Objects();
        std::lock_guard<std::mutex> guard(list.Lock);
        RemoveEntryList(&header->AllObjects);
    }
    header->Magic = kObjectDeadMagic;
    header->~ObjectHeader();
    ExFreePool(header);
}

void DeleteObject(ObjectHeader* header) {
    PVOID body = BodyOfHeader(header);
    NameRemoval removal;
    {
        std::lock_guard<std::mutex> guard(ObNamespaceLock());
        if (header->Flags & kObjectNamed) removal = ObUnlinkNameLocked(header);
    }
    ObFinishNameRemoval(body, removal);
    if (header->Type->Delete != nullptr) header->Type->Delete(body);
    ReleaseMemory(header);
}

NTSTATUS AllocateObject(ObjectType* type, ULONG bodySize, PSECURITY_DESCRIPTOR securityDescriptor,
                        ObjectHeader** result) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, sizeof(ObjectHeader) + bodySize, PoolTagOfType(type));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* header = new (block) ObjectHeader();
    header->Magic = kObjectHeaderMagic;
    header->Flags = 0;
    header->PointerCount.store(1);
    header->HandleCount.store(0);
    header->Type = type;
    header->BodySize = bodySize;
    header->Directory = nullptr;
    header->Name = UNICODE_STRING{0, 0, nullptr};
    InitializeListHead(&header->DirectoryLink);
    header->Security = nullptr;
    memset(BodyOfHeader(header), 0, bodySize);
    if (securityDescriptor != nullptr) {
        NTSTATUS status = ObCaptureSecurityDescriptor(securityDescriptor, &header->Security);
        if (!NT_SUCCESS(status)) {
            header->~ObjectHeader();
            ExFreePool(block);
            return status;
        }
    }
    ObjectList& list = Objects();
    std::lock_guard<std::mutex> guard(list.Lock);
    InsertTailList(&list.Head, &header->AllObjects);
    *result = header;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ObCreateObjectEx(ObjectType* Type, ULONG BodySize, PCUNICODE_STRING Name, HANDLE RootDirectory,
                          ULONG Attributes, PSECURITY_DESCRIPTOR SecurityDescriptor, PVOID* Body,
                          ObInitializeProcedure Initialize, PVOID Context) {
    *Body = nullptr;
    ObjectHeader* header = nullptr;
    NTSTATUS status = AllocateObject(Type, BodySize, SecurityDescriptor, &header);
    if (!NT_SUCCESS(status)) return status;
    PVOID body = BodyOfHeader(header);
    if (Initialize != nullptr) Initialize(body, Context);
    if (Name == nullptr || Name->Length == 0) {
        *Body = body;
        return STATUS_SUCCESS;
    }
    PVOID existing = nullptr;
    status = ObInsertName(body, Name, RootDirectory, Attributes, &existing);
    if (!NT_SUCCESS(status) || existing != nullptr) {
        // Never visible to anyone: released without the type's procedures.
        ReleaseMemory(header);
        *Body = existing;
        return existing != nullptr ? STATUS_OBJECT_NAME_EXISTS : status;
    }
    *Body = body;
    return STATUS_SUCCESS;
}

NTSTATUS ObCreateObject(ObjectType* Type, ULONG BodySize, PCUNICODE_STRING Name,
                        PSECURITY_DESCRIPTOR SecurityDescriptor, PVOID* Body) {
    return ObCreateObjectEx(Type, BodySize, Name, nullptr, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE,
                            SecurityDescriptor, Body);
}

LONG_PTR ObReferenceBody(PVOID Body) {
    ObjectHeader* header = CheckedHeader("ObReferenceObject", Body);
    return header->PointerCount.fetch_add(1) + 1;
}

bool ObReferenceIfAlive(PVOID Body) {
    ObjectHeader* header = HeaderOfBody(Body);
    LONG count = header->PointerCount.load();
    while (count > 0) {
        if (header->PointerCount.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
}

LONG_PTR ObDereferenceBody(PVOID Body) {
    ObjectHeader* header = CheckedHeader("ObDereferenceObject", Body);
    LONG count = header->PointerCount.fetch_sub(1) - 1;
    if (count > 0) return count;
    if (count < 0) NotAnObject("ObDereferenceObject (reference count below zero)", Body);
    DeleteObject(header);
    return 0;
}

void ObRemoveTemporaryName(PVOID Body) {
    ObjectHeader* header = HeaderOfBody(Body);
    NameRemoval removal;
    {
        std::lock_guard<std::mutex> guard(ObNamespaceLock());
        bool temporary = (header->Flags & kObjectNamed) && !(header->Flags & kObjectPermanent);
        if (temporary && header->HandleCount.load() == 0) removal = ObUnlinkNameLocked(header);
    }
    ObFinishNameRemoval(Body, removal);
}

void MakeTemporary(PVOID Body) {
    ObjectHeader* header = CheckedHeader("ObMakeTemporaryObject", Body);
    bool dropNamespaceReference = false;
    NameRemoval removal;
    {
        std::lock_guard<std::mutex> guard(ObNamespaceLock());
        if (header->Flags & kObjectPermanent) {
            header->Flags &= ~kObjectPermanent;
            dropNamespaceReference = true;
        }
        if ((header->Flags & kObjectNamed) && header->HandleCount.load() == 0) {
            removal = ObUnlinkNameLocked(header);
        }
    }
    ObFinishNameRemoval(Body, removal);
    if (dropNamespaceReference) ObDereferenceBody(Body);
}

ObjectType* ObGetObjectType(PVOID Body) {
    return CheckedHeader("ObGetObjectType", Body)->Type;
}

LONG ObGetReferenceCount(PVOID Body) {
    return CheckedHeader("ObGetReferenceCount", Body)->PointerCount.load();
}

ULONG ObGetHandleCount(PVOID Body) {
    return static_cast<ULONG>(CheckedHeader("ObGetHandleCount", Body)->HandleCount.load());
}

bool ObIsObject(PVOID Body) {
    if (Body == nullptr) return false;
    ObjectList& list = Objects();
    std::lock_guard<std::mutex> guard(list.Lock);
    for (PLIST_ENTRY entry = list.Head.Flink; entry != &list.Head; entry = entry->Flink) {
        if (BodyOfHeader(CONTAINING_RECORD(entry, ObjectHeader, AllObjects)) == Body) return true;
    }
    return false;
}

PSECURITY_DESCRIPTOR ObGetSecurityDescriptor(PVOID Body) {
    ObjectHeader* header = CheckedHeader("ObGetSecurityDescriptor", Body);
    std::lock_guard<std::mutex> guard(SecurityLock());
    return header->Security;
}

NTSTATUS ObSetSecurityDescriptor(PVOID Body, PSECURITY_DESCRIPTOR SecurityDescriptor) {
    ObjectHeader* header = CheckedHeader("ObSetSecurityDescriptor", Body);
    PSECURITY_DESCRIPTOR copy = nullptr;
    if (SecurityDescriptor != nullptr) {
        NTSTATUS status = ObCaptureSecurityDescriptor(SecurityDescriptor, &copy);
        if (!NT_SUCCESS(status)) return status;
    }
    PSECURITY_DESCRIPTOR old;
    {
        std::lock_guard<std::mutex> guard(SecurityLock());
        old = header->Security;
        header->Security = copy;
    }
    if (old != nullptr) ExFreePool(old);
    return STATUS_SUCCESS;
}

NTSTATUS ObCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR Source, PSECURITY_DESCRIPTOR* Copy) {
    *Copy = nullptr;
    ULONG length = 0;
    NTSTATUS status = RtlMakeSelfRelativeSD(Source, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_INVALID_SECURITY_DESCR : status;
    PSECURITY_DESCRIPTOR copy = ExAllocatePoolWithTag(NonPagedPool, length, kSecurityPoolTag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = RtlMakeSelfRelativeSD(Source, copy, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePool(copy);
        return status;
    }
    *Copy = copy;
    return STATUS_SUCCESS;
}

ACCESS_MASK ObMapDesiredAccess(ObjectType* Type, ACCESS_MASK DesiredAccess) {
    ACCESS_MASK access = DesiredAccess;
    if (access & MAXIMUM_ALLOWED) access = (access & ~MAXIMUM_ALLOWED) | GENERIC_ALL;
    RtlMapGenericMask(&access, &Type->GenericMapping);
    return access;
}

UNICODE_STRING ObGetObjectName(PVOID Body) {
    ObjectHeader* header = CheckedHeader("ObGetObjectName", Body);
    std::lock_guard<std::mutex> guard(ObNamespaceLock());
    return header->Name;
}

std::vector<std::string> ObReportLiveObjects() {
    std::map<std::string, ULONG> byType;
    ObjectList& list = Objects();
    {
        std::lock_guard<std::mutex> guard(list.Lock);
        for (PLIST_ENTRY entry = list.Head.Flink; entry != &list.Head; entry = entry->Flink) {
            byType[TypeName(CONTAINING_RECORD(entry, ObjectHeader, AllObjects)->Type)] += 1;
        }
    }
    std::vector<std::string> findings;
    for (const auto& [type, count] : byType) {
        findings.push_back("object leak: " + std::to_string(count) + " " + type + " object(s) still referenced");
    }
    return findings;
}

void ObForgetObjects() {
    ObjectList& list = Objects();
    std::lock_guard<std::mutex> guard(list.Lock);
    InitializeListHead(&list.Head);
}

}  // namespace plat

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    return plat::ObReferenceBody(Object);
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    return plat::ObDereferenceBody(Object);
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE) {
    plat::ObjectType* expected = plat::ObImportType(ObjectType);
    if (expected != nullptr && plat::ObGetObjectType(Object) != expected) return STATUS_OBJECT_TYPE_MISMATCH;
    plat::ObReferenceBody(Object);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObGetObjectSecurity(PVOID Object, PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                              PBOOLEAN MemoryAllocated) {
    // The caller gets a copy of its own, so that a concurrent change of the
    // object's descriptor cannot pull it away while in use.
    *SecurityDescriptor = nullptr;
    *MemoryAllocated = FALSE;
    plat::ObjectHeader* header = plat::CheckedHeader("ObGetObjectSecurity", Object);
    std::lock_guard<std::mutex> guard(plat::SecurityLock());
    if (header->Security == nullptr) return STATUS_SUCCESS;
    ULONG length = RtlLengthSecurityDescriptor(header->Security);
    PSECURITY_DESCRIPTOR copy = ExAllocatePoolWithTag(NonPagedPool, length, plat::kSecurityPoolTag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(copy, header->Security, length);
    *SecurityDescriptor = copy;
    *MemoryAllocated = TRUE;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI ObReleaseObjectSecurity(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN MemoryAllocated) {
    if (MemoryAllocated && SecurityDescriptor != nullptr) ExFreePool(SecurityDescriptor);
}

extern "C" VOID NTAPI ObMakeTemporaryObject(PVOID Object) {
    plat::MakeTemporary(Object);
}
