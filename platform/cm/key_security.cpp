// Key security: the descriptor of the predefined keys, inheritance by new
// keys, access checks of user callers, and the query and set of a key's
// descriptor. The descriptor lives in the key's object header.
#include "cm/cm_internal.h"
#include "cm/registry.h"

#include <mutex>

namespace plat {
namespace {

// Makes the read, merge and write of RegistrySetKeySecurity one step against
// other changes made through it. Taken before CmLock.
std::mutex SecuritySetLock;

void BuildSid(UCHAR* buffer, ULONG first, ULONG second, UCHAR count) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    RtlInitializeSid(buffer, &nt, count);
    *RtlSubAuthoritySid(buffer, 0) = first;
    if (count > 1) *RtlSubAuthoritySid(buffer, 1) = second;
}

}  // namespace

GENERIC_MAPPING CmKeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

NTSTATUS CmBuildDefaultSecurity(CmBytes& security) {
    alignas(ULONG) UCHAR system[SECURITY_MAX_SID_SIZE];
    alignas(ULONG) UCHAR admins[SECURITY_MAX_SID_SIZE];
    alignas(ULONG) UCHAR users[SECURITY_MAX_SID_SIZE];
    BuildSid(system, SECURITY_LOCAL_SYSTEM_RID, 0, 1);
    BuildSid(admins, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2);
    BuildSid(users, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 2);

    alignas(ULONG) UCHAR aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    NTSTATUS status = RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, admins);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_READ, users);
    }
    if (!NT_SUCCESS(status)) return status;

    SECURITY_DESCRIPTOR absolute;
    RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    RtlSetOwnerSecurityDescriptor(&absolute, admins, FALSE);
    RtlSetGroupSecurityDescriptor(&absolute, system, FALSE);
    RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);

    ULONG length = 0;
    status = RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status;
    try {
        security.assign(length, 0);
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return RtlAbsoluteToSelfRelativeSD(&absolute, security.data(), &length);
}

NTSTATUS CmKeySecurity::Capture(CmKey* key) {
    Release();
    return ObGetObjectSecurity(key, &m_Descriptor, &m_Allocated);
}

void CmKeySecurity::Release() {
    if (m_Descriptor != nullptr) ObReleaseObjectSecurity(m_Descriptor, m_Allocated);
    m_Descriptor = nullptr;
    m_Allocated = FALSE;
}

NTSTATUS CmAssignSecurity(PSECURITY_DESCRIPTOR parentSecurity, PSECURITY_DESCRIPTOR explicitSecurity,
                          CmBytes& security) {
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PSECURITY_DESCRIPTOR assigned = nullptr;
    NTSTATUS status = SeAssignSecurity(parentSecurity, explicitSecurity, &assigned, TRUE, &subject,
                                       &CmKeyGenericMapping, PagedPool);
    SeReleaseSubjectContext(&subject);
    if (!NT_SUCCESS(status)) return status;
    const UCHAR* bytes = static_cast<const UCHAR*>(assigned);
    try {
        security.assign(bytes, bytes + RtlLengthSecurityDescriptor(assigned));
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    SeDeassignSecurity(&assigned);
    return status;
}

NTSTATUS CmCheckAccess(PSECURITY_DESCRIPTOR security, ACCESS_MASK desired, KPROCESSOR_MODE mode,
                       ACCESS_MASK* granted) {
    if (mode == KernelMode) {
        RtlMapGenericMask(&desired, &CmKeyGenericMapping);
        if ((desired & MAXIMUM_ALLOWED) != 0) desired = (desired & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
        *granted = desired;
        return STATUS_SUCCESS;
    }
    // Every key has a descriptor; one without is closed to programs.
    if (security == nullptr) return STATUS_ACCESS_DENIED;
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    NTSTATUS accessStatus = STATUS_ACCESS_DENIED;
    BOOLEAN allowed = SeAccessCheck(security, &subject, FALSE, desired, 0, nullptr, &CmKeyGenericMapping, mode,
                                    granted, &accessStatus);
    SeReleaseSubjectContext(&subject);
    if (!allowed) return NT_SUCCESS(accessStatus) ? STATUS_ACCESS_DENIED : accessStatus;
    return STATUS_SUCCESS;
}

bool RegistryIsKeyObject(PVOID Object) {
    return Object != nullptr && ObGetObjectType(Object) == &CmKeyType;
}

static bool IsDeletedKey(CmKey* key) {
    CmSharedGuard guard;
    return key->IsDeleted();
}

NTSTATUS RegistryQueryKeySecurity(PVOID Key, SECURITY_INFORMATION SecurityInformation,
                                  PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length, PULONG ResultLength) {
    if (!RegistryIsKeyObject(Key) || ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    CmKey* key = static_cast<CmKey*>(Key);
    if (IsDeletedKey(key)) return STATUS_KEY_DELETED;
    CmKeySecurity security;
    NTSTATUS status = security.Capture(key);
    if (!NT_SUCCESS(status)) return status;
    PSECURITY_DESCRIPTOR source = security.Get();
    ULONG length = Length;
    status = SeQuerySecurityDescriptorInfo(&SecurityInformation, SecurityDescriptor, &length, &source);
    *ResultLength = length;
    return status;
}

NTSTATUS RegistrySetKeySecurity(PVOID Key, SECURITY_INFORMATION SecurityInformation,
                                PSECURITY_DESCRIPTOR SecurityDescriptor) {
    if (!RegistryIsKeyObject(Key) || SecurityDescriptor == nullptr) return STATUS_INVALID_PARAMETER;
    CmKey* key = static_cast<CmKey*>(Key);
    // Read, merge and write back as one step against other changes made here.
    std::lock_guard<std::mutex> order(SecuritySetLock);
    if (IsDeletedKey(key)) return STATUS_KEY_DELETED;
    CmKeySecurity current;
    NTSTATUS status = current.Capture(key);
    if (!NT_SUCCESS(status)) return status;
    // The merge answers a new descriptor from pool and leaves Current alone.
    PSECURITY_DESCRIPTOR merged = current.Get();
    status = SeSetSecurityDescriptorInfo(key, &SecurityInformation, SecurityDescriptor, &merged, PagedPool,
                                         &CmKeyGenericMapping);
    if (!NT_SUCCESS(status)) return status;
    status = ObSetSecurityDescriptor(key, merged);
    ExFreePool(merged);
    return status;
}

}  // namespace plat
