// The access check and the privilege checks.
//
// SeAccessCheck decides whether a subject gets DesiredAccess to an object
// with a given descriptor:
// - generic rights are mapped first; KernelMode callers get everything;
// - ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege, and WRITE_OWNER is
//   granted by SeTakeOwnershipPrivilege (both must be enabled);
// - the owner implicitly has READ_CONTROL and WRITE_DAC;
// - no DACL (or a NULL DACL) grants everything, an empty DACL nothing more;
// - the ACEs are read in order, inherit-only ones skipped: a deny ACE naming a
//   right still wanted refuses the access, allow ACEs grant rights;
// - rights granted earlier (PreviouslyGrantedAccess) need no new grant.
// ACE masks are mapped through the generic mapping as they are read, so that
// a descriptor stored with generic rights in its ACEs means what it says.
#include "ps/process.h"
#include "se/security.h"
#include "se/token.h"

#include <string.h>

namespace {

constexpr ULONG kMaxPrivilegesUsed = 2;

struct Evaluation {
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG PrivilegesUsed[kMaxPrivilegesUsed] = {};
    ULONG PrivilegeCount = 0;

    void UsePrivilege(ULONG Privilege) { PrivilegesUsed[PrivilegeCount++] = Privilege; }
    void Deny(NTSTATUS Reason) {
        Granted = 0;
        Status = Reason;
    }
};

// The rights an ACE gives or refuses, in the object's specific terms.
ACCESS_MASK AceMask(PACE_HEADER Ace, const GENERIC_MAPPING* Mapping) {
    ACCESS_MASK mask = reinterpret_cast<PACCESS_ALLOWED_ACE>(Ace)->Mask;
    return plat::MapGenericBits(mask, Mapping) & ~(MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY);
}

// An ACE that takes part in the check for Token: allowed or denied, not
// inherit-only, naming the token's user or one of its groups.
bool AceApplies(PACE_HEADER Ace, plat::Token* Token) {
    if (Ace->AceType != ACCESS_ALLOWED_ACE_TYPE && Ace->AceType != ACCESS_DENIED_ACE_TYPE) return false;
    if (Ace->AceFlags & INHERIT_ONLY_ACE) return false;
    return plat::TokenIsMember(Token, plat::AceSid(Ace));
}

// Rights granted outside the DACL: by privilege and by ownership.
bool GrantBeforeDacl(const plat::SdParts& Parts, plat::Token* Token, ACCESS_MASK Wanted, bool Maximum,
                     Evaluation* Result) {
    if (Wanted & ACCESS_SYSTEM_SECURITY) {
        if (!plat::TokenPrivilegeEnabled(Token, SE_SECURITY_PRIVILEGE)) {
            Result->Deny(STATUS_PRIVILEGE_NOT_HELD);
            return false;
        }
        Result->Granted |= ACCESS_SYSTEM_SECURITY;
        Result->UsePrivilege(SE_SECURITY_PRIVILEGE);
    }
    if (((Wanted & WRITE_OWNER) || Maximum) && plat::TokenPrivilegeEnabled(Token, SE_TAKE_OWNERSHIP_PRIVILEGE)) {
        Result->Granted |= WRITE_OWNER;
        Result->UsePrivilege(SE_TAKE_OWNERSHIP_PRIVILEGE);
    }
    if (Parts.Owner != NULL && plat::TokenIsMember(Token, Parts.Owner)) Result->Granted |= READ_CONTROL | WRITE_DAC;
    return true;
}

// MAXIMUM_ALLOWED: every right some allow ACE gives before a deny ACE refuses it.
void CollectMaximum(PACL Dacl, plat::Token* Token, const GENERIC_MAPPING* Mapping, Evaluation* Result) {
    ACCESS_MASK denied = 0;
    for (ULONG i = 0; i < Dacl->AceCount; ++i) {
        PACE_HEADER ace = plat::AclAce(Dacl, i);
        if (!AceApplies(ace, Token)) continue;
        ACCESS_MASK mask = AceMask(ace, Mapping);
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            Result->Granted |= mask & ~denied;
        } else {
            denied |= mask & ~Result->Granted;
        }
    }
}

// Specific rights: true when every right in Remaining is granted before any of
// them is refused.
bool GrantRemaining(PACL Dacl, plat::Token* Token, const GENERIC_MAPPING* Mapping, ACCESS_MASK Remaining) {
    for (ULONG i = 0; i < Dacl->AceCount && Remaining != 0; ++i) {
        PACE_HEADER ace = plat::AclAce(Dacl, i);
        if (!AceApplies(ace, Token)) continue;
        ACCESS_MASK mask = AceMask(ace, Mapping);
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            Remaining &= ~mask;
        } else if (mask & Remaining) {
            return false;
        }
    }
    return Remaining == 0;
}

Evaluation Evaluate(const plat::SdParts& Parts, plat::Token* Token, ACCESS_MASK Desired, ACCESS_MASK Previous,
                    const GENERIC_MAPPING* Mapping) {
    Evaluation result;
    bool maximum = (Desired & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = Desired & ~MAXIMUM_ALLOWED;
    if (!GrantBeforeDacl(Parts, Token, wanted, maximum, &result)) return result;

    bool noDacl = !(Parts.Control & SE_DACL_PRESENT) || Parts.Dacl == NULL;
    if (maximum) {
        if (noDacl) {
            result.Granted |= Mapping->GenericAll | (wanted & ~ACCESS_SYSTEM_SECURITY);
        } else {
            CollectMaximum(Parts.Dacl, Token, Mapping, &result);
        }
        result.Granted |= Previous;
        if ((wanted & ~result.Granted) != 0 || result.Granted == 0) result.Deny(STATUS_ACCESS_DENIED);
        return result;
    }

    ACCESS_MASK remaining = wanted & ~Previous & ~result.Granted;
    if (!noDacl && !GrantRemaining(Parts.Dacl, Token, Mapping, remaining)) {
        result.Deny(STATUS_ACCESS_DENIED);
        return result;
    }
    result.Granted = wanted | Previous;
    return result;
}

// The privilege set SeAccessCheck hands out when privileges granted rights.
NTSTATUS BuildPrivilegeSet(const Evaluation& Result, PPRIVILEGE_SET* Privileges) {
    ULONG size = sizeof(PRIVILEGE_SET) + (Result.PrivilegeCount - 1) * sizeof(LUID_AND_ATTRIBUTES);
    auto* set = static_cast<PPRIVILEGE_SET>(ExAllocatePoolWithTag(PagedPool, size, plat::kSePrivilegeTag));
    if (set == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    set->PrivilegeCount = Result.PrivilegeCount;
    set->Control = 0;
    for (ULONG i = 0; i < Result.PrivilegeCount; ++i) {
        set->Privilege[i].Luid.LowPart = Result.PrivilegesUsed[i];
        set->Privilege[i].Luid.HighPart = 0;
        set->Privilege[i].Attributes = SE_PRIVILEGE_USED_FOR_ACCESS;
    }
    *Privileges = set;
    return STATUS_SUCCESS;
}

BOOLEAN Finish(ACCESS_MASK Granted, NTSTATUS Status, PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus) {
    *GrantedAccess = NT_SUCCESS(Status) ? Granted : 0;
    *AccessStatus = Status;
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

}  // namespace

extern "C" BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                       PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                       BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                       ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET* Privileges,
                                       PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                                       PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus) {
    if (Privileges != NULL) *Privileges = NULL;
    ACCESS_MASK desired = plat::MapGenericBits(DesiredAccess, GenericMapping);

    if (AccessMode == KernelMode) {
        ACCESS_MASK granted = desired;
        if (desired & MAXIMUM_ALLOWED) granted = (desired & ~MAXIMUM_ALLOWED) | GenericMapping->GenericAll;
        return Finish(granted | PreviouslyGrantedAccess, STATUS_SUCCESS, GrantedAccess, AccessStatus);
    }
    if (desired == 0) {
        NTSTATUS status = PreviouslyGrantedAccess != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
        return Finish(PreviouslyGrantedAccess, status, GrantedAccess, AccessStatus);
    }

    plat::SdParts parts;
    if (!plat::SdReadParts(SecurityDescriptor, 0, &parts)) {
        return Finish(0, STATUS_INVALID_SECURITY_DESCR, GrantedAccess, AccessStatus);
    }
    auto* token = static_cast<plat::Token*>(SeQuerySubjectContextToken(SubjectSecurityContext));
    if (token == NULL) return Finish(0, STATUS_NO_TOKEN, GrantedAccess, AccessStatus);

    if (!SubjectContextLocked) SeLockSubjectContext(SubjectSecurityContext);
    Evaluation result = Evaluate(parts, token, desired, PreviouslyGrantedAccess, GenericMapping);
    if (!SubjectContextLocked) SeUnlockSubjectContext(SubjectSecurityContext);

    if (NT_SUCCESS(result.Status) && result.PrivilegeCount != 0 && Privileges != NULL) {
        NTSTATUS status = BuildPrivilegeSet(result, Privileges);
        if (!NT_SUCCESS(status)) return Finish(0, status, GrantedAccess, AccessStatus);
    }
    return Finish(result.Granted, result.Status, GrantedAccess, AccessStatus);
}

extern "C" VOID NTAPI SeFreePrivileges(PPRIVILEGE_SET Privileges) {
    ExFreePoolWithTag(Privileges, plat::kSePrivilegeTag);
}

extern "C" BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode) {
    if (PreviousMode == KernelMode) return TRUE;
    if (PrivilegeValue.HighPart != 0) return FALSE;
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    auto* token = static_cast<plat::Token*>(SeQuerySubjectContextToken(&subject));
    bool held = token != NULL && plat::TokenPrivilegeEnabled(token, PrivilegeValue.LowPart);
    SeReleaseSubjectContext(&subject);
    return held ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI SeTokenIsAdmin(PACCESS_TOKEN Token) {
    if (Token == NULL) return FALSE;
    return plat::TokenIsMember(static_cast<plat::Token*>(Token), plat::SidAdministrators()) ? TRUE : FALSE;
}
