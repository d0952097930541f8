// The descriptor of a new object: SeAssignSecurity and SeAssignSecurityEx.
//
// Owner and group come from the explicit descriptor, else (when asked) from
// the parent, else from the creator's token. Each ACL is, in this order of
// preference: the explicit one when it is present and not defaulted; the ACEs
// inherited from the parent; the explicit one even if defaulted; for the DACL
// only, the token's default DACL. With SEF_DACL_AUTO_INHERIT (SACL: SEF_SACL_
// AUTO_INHERIT) an unprotected explicit ACL keeps its own ACEs and receives the
// inherited ones after them.
//
// Inheritance from a parent ACE:
// - a file (object) inherits ACEs marked OBJECT_INHERIT_ACE, as effective ACEs
//   without inheritance flags;
// - a directory (container) inherits ACEs marked CONTAINER_INHERIT_ACE: as an
//   effective ACE alone with NO_PROPAGATE_INHERIT_ACE, else as an ACE that
//   applies and propagates further. Where the effective form differs (generic
//   rights to map, CREATOR OWNER / CREATOR GROUP to replace) the ACE is split
//   into an effective ACE and an inherit-only one that keeps the original;
// - a directory receives an ACE marked OBJECT_INHERIT_ACE only (without
//   NO_PROPAGATE_INHERIT_ACE) as inherit-only, to pass it on to its files.
// Every inherited ACE carries INHERITED_ACE. Explicit ACEs are stored as given.
#include "se/security.h"
#include "se/token.h"

namespace {

constexpr UCHAR kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr UCHAR kAuditFlags = SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG;
constexpr USHORT kRequestBits = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ;

// What the new object is made from.
struct AssignInput {
    const plat::SdParts* Parent;    // NULL without a parent descriptor
    const plat::SdParts* Explicit;  // NULL without an explicit descriptor
    bool IsDirectory;
    ULONG AutoInheritFlags;
    plat::Token* Token;             // NULL when the subject has none
    const GENERIC_MAPPING* Mapping;
};

// The control bits and ACL of one kind (DACL or SACL).
struct AclKind {
    USHORT Present;
    USHORT Defaulted;
    USHORT Protected;
    USHORT AutoInherited;
    ULONG AutoInheritFlag;
    PACL plat::SdParts::*Acl;
};

const AclKind kDacl = {SE_DACL_PRESENT, SE_DACL_DEFAULTED, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED,
                       SEF_DACL_AUTO_INHERIT, &plat::SdParts::Dacl};
const AclKind kSacl = {SE_SACL_PRESENT, SE_SACL_DEFAULTED, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERITED,
                       SEF_SACL_AUTO_INHERIT, &plat::SdParts::Sacl};

// One computed ACL: absent, present and NULL, or present with these bytes.
struct AclResult {
    bool Present = false;
    bool Null = false;
    std::vector<UCHAR> Bytes;
    USHORT Control = 0;

    void SetFrom(const plat::AclBuilder& builder) {
        Present = true;
        Bytes = builder.Finish();
    }
    PACL Acl() { return Present && !Null ? reinterpret_cast<PACL>(Bytes.data()) : NULL; }
};

bool IsCreatorSid(PSID Sid) {
    return RtlEqualSid(Sid, plat::SidCreatorOwner()) || RtlEqualSid(Sid, plat::SidCreatorGroup());
}

class Inheritor {
public:
    Inheritor(const AssignInput& Input, PSID Owner, PSID Group, plat::AclBuilder* Out)
        : m_Input(Input), m_Owner(Owner), m_Group(Group), m_Out(Out) {}

    void InheritAll(PACL Parent) {
        m_Out->RaiseRevision(Parent->AclRevision);
        for (ULONG i = 0; i < Parent->AceCount; ++i) Inherit(plat::AclAce(Parent, i));
    }

private:
    void Inherit(PACE_HEADER Ace) {
        if (!plat::AceHasSingleSid(Ace->AceType)) return;  // object ACEs are not inherited here
        UCHAR flags = Ace->AceFlags;
        bool objectInherit = flags & OBJECT_INHERIT_ACE;
        bool containerInherit = flags & CONTAINER_INHERIT_ACE;
        bool noPropagate = flags & NO_PROPAGATE_INHERIT_ACE;
        if (!m_Input.IsDirectory) {
            if (objectInherit) AddEffective(Ace);
            return;
        }
        if (containerInherit) {
            if (noPropagate) {
                AddEffective(Ace);
            } else if (NeedsSplit(Ace)) {
                AddEffective(Ace);
                AddInheritOnly(Ace, flags & kInheritFlags);
            } else {
                AddOriginal(Ace, static_cast<UCHAR>((flags & (kInheritFlags | kAuditFlags)) | INHERITED_ACE));
            }
            return;
        }
        if (objectInherit && !noPropagate) AddInheritOnly(Ace, OBJECT_INHERIT_ACE);
    }

    bool NeedsSplit(PACE_HEADER Ace) const {
        ACCESS_MASK mask = reinterpret_cast<PACCESS_ALLOWED_ACE>(Ace)->Mask;
        return plat::MapGenericBits(mask, m_Input.Mapping) != mask || IsCreatorSid(plat::AceSid(Ace));
    }

    // The ACE as it applies to the new object.
    void AddEffective(PACE_HEADER Ace) {
        PSID sid = plat::AceSid(Ace);
        if (RtlEqualSid(sid, plat::SidCreatorOwner())) sid = m_Owner;
        if (RtlEqualSid(sid, plat::SidCreatorGroup())) sid = m_Group;
        ACCESS_MASK mask = plat::MapGenericBits(reinterpret_cast<PACCESS_ALLOWED_ACE>(Ace)->Mask, m_Input.Mapping);
        UCHAR flags = static_cast<UCHAR>((Ace->AceFlags & kAuditFlags) | INHERITED_ACE);
        m_Out->AppendSidAce(Ace->AceType, flags, mask, sid);
    }

    // The ACE kept for the new object's own children only.
    void AddInheritOnly(PACE_HEADER Ace, UCHAR InheritFlags) {
        UCHAR flags = static_cast<UCHAR>((Ace->AceFlags & kAuditFlags) | InheritFlags | INHERIT_ONLY_ACE |
                                         INHERITED_ACE);
        AddOriginal(Ace, flags);
    }

    void AddOriginal(PACE_HEADER Ace, UCHAR Flags) {
        m_Out->AppendSidAce(Ace->AceType, Flags, reinterpret_cast<PACCESS_ALLOWED_ACE>(Ace)->Mask,
                            plat::AceSid(Ace));
    }

    const AssignInput& m_Input;
    PSID m_Owner;
    PSID m_Group;
    plat::AclBuilder* m_Out;
};

// The token's default DACL: full control for the user and for SYSTEM; the
// System token also lets Administrators read.
void BuildDefaultDacl(const AssignInput& Input, plat::AclBuilder* Out) {
    PSID user = plat::TokenUserSid(Input.Token);
    ACCESS_MASK all = plat::MapGenericBits(GENERIC_ALL, Input.Mapping);
    Out->AppendSidAce(ACCESS_ALLOWED_ACE_TYPE, 0, all, user);
    if (!RtlEqualSid(user, plat::SidLocalSystem())) {
        Out->AppendSidAce(ACCESS_ALLOWED_ACE_TYPE, 0, all, plat::SidLocalSystem());
        return;
    }
    ACCESS_MASK read = plat::MapGenericBits(GENERIC_READ | GENERIC_EXECUTE | READ_CONTROL, Input.Mapping);
    Out->AppendSidAce(ACCESS_ALLOWED_ACE_TYPE, 0, read, plat::SidAdministrators());
}

NTSTATUS ComputeAcl(const AssignInput& Input, const AclKind& Kind, PSID Owner, PSID Group, AclResult* Result) {
    const plat::SdParts* explicitParts = Input.Explicit;
    bool explicitPresent = explicitParts != NULL && (explicitParts->Control & Kind.Present);
    bool explicitDefaulted = explicitPresent && (explicitParts->Control & Kind.Defaulted);
    bool explicitProtected = explicitPresent && (explicitParts->Control & Kind.Protected);
    PACL explicitAcl = explicitPresent ? explicitParts->*Kind.Acl : NULL;
    PACL parentAcl = Input.Parent != NULL ? Input.Parent->*Kind.Acl : NULL;
    bool autoInherit = (Input.AutoInheritFlags & Kind.AutoInheritFlag) != 0;

    plat::AclBuilder inherited;
    if (parentAcl != NULL && !explicitProtected) Inheritor(Input, Owner, Group, &inherited).InheritAll(parentAcl);
    bool inherits = inherited.AceCount() != 0;
    if (!inherited.Fits()) return STATUS_INVALID_ACL;

    if (explicitPresent && !explicitDefaulted) {
        Result->Present = true;
        Result->Control = explicitProtected ? Kind.Protected : 0;
        if (explicitAcl == NULL) {
            Result->Null = true;
            return STATUS_SUCCESS;
        }
        plat::AclBuilder merged(explicitAcl->AclRevision);
        for (ULONG i = 0; i < explicitAcl->AceCount; ++i) {
            PACE_HEADER ace = plat::AclAce(explicitAcl, i);
            if (!autoInherit || !(ace->AceFlags & INHERITED_ACE)) merged.Append(ace);
        }
        if (autoInherit && !explicitProtected) {
            if (parentAcl != NULL) Inheritor(Input, Owner, Group, &merged).InheritAll(parentAcl);
            Result->Control |= Kind.AutoInherited;
        }
        if (!merged.Fits()) return STATUS_INVALID_ACL;
        Result->SetFrom(merged);
        return STATUS_SUCCESS;
    }
    if (inherits) {
        Result->SetFrom(inherited);
        if (autoInherit) Result->Control = Kind.AutoInherited;
        return STATUS_SUCCESS;
    }
    if (explicitPresent) {
        Result->Present = true;
        Result->Null = explicitAcl == NULL;
        Result->Control = Kind.Defaulted;
        if (explicitAcl != NULL) {
            const UCHAR* bytes = reinterpret_cast<const UCHAR*>(explicitAcl);
            Result->Bytes.assign(bytes, bytes + explicitAcl->AclSize);
        }
        return STATUS_SUCCESS;
    }
    if (Kind.Acl == kDacl.Acl) {
        if (Input.Token == NULL) return STATUS_NO_TOKEN;
        plat::AclBuilder defaults;
        BuildDefaultDacl(Input, &defaults);
        Result->SetFrom(defaults);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ChooseOwner(const AssignInput& Input, PSID* Owner) {
    if (Input.Explicit != NULL && Input.Explicit->Owner != NULL) {
        PSID owner = Input.Explicit->Owner;
        bool checked = Input.Token != NULL && !(Input.AutoInheritFlags & SEF_AVOID_OWNER_CHECK);
        if (checked && !plat::TokenMayOwn(Input.Token, owner) &&
            !plat::TokenPrivilegeEnabled(Input.Token, SE_RESTORE_PRIVILEGE)) {
            return STATUS_INVALID_OWNER;
        }
        *Owner = owner;
        return STATUS_SUCCESS;
    }
    if ((Input.AutoInheritFlags & SEF_DEFAULT_OWNER_FROM_PARENT) && Input.Parent != NULL &&
        Input.Parent->Owner != NULL) {
        *Owner = Input.Parent->Owner;
        return STATUS_SUCCESS;
    }
    if (Input.Token == NULL) return STATUS_NO_TOKEN;
    *Owner = plat::TokenUserSid(Input.Token);
    return STATUS_SUCCESS;
}

NTSTATUS ChooseGroup(const AssignInput& Input, PSID* Group) {
    if (Input.Explicit != NULL && Input.Explicit->Group != NULL) {
        *Group = Input.Explicit->Group;
        return STATUS_SUCCESS;
    }
    if ((Input.AutoInheritFlags & SEF_DEFAULT_GROUP_FROM_PARENT) && Input.Parent != NULL &&
        Input.Parent->Group != NULL) {
        *Group = Input.Parent->Group;
        return STATUS_SUCCESS;
    }
    if (Input.Token == NULL) return STATUS_NO_TOKEN;
    *Group = plat::TokenPrimaryGroupSid(Input.Token);
    return STATUS_SUCCESS;
}

// An explicit SACL needs SeSecurityPrivilege unless the caller waives the check.
NTSTATUS CheckSaclPrivilege(const AssignInput& Input) {
    if (Input.Explicit == NULL || !(Input.Explicit->Control & SE_SACL_PRESENT)) return STATUS_SUCCESS;
    if (Input.Token == NULL || (Input.AutoInheritFlags & SEF_AVOID_PRIVILEGE_CHECK)) return STATUS_SUCCESS;
    return plat::TokenPrivilegeEnabled(Input.Token, SE_SECURITY_PRIVILEGE) ? STATUS_SUCCESS
                                                                            : STATUS_PRIVILEGE_NOT_HELD;
}

// The defaulted marks of an explicit owner or group travel with them.
USHORT OwnerGroupDefaults(const AssignInput& Input) {
    if (Input.Explicit == NULL) return 0;
    USHORT control = 0;
    if (Input.Explicit->Owner != NULL) control |= Input.Explicit->Control & SE_OWNER_DEFAULTED;
    if (Input.Explicit->Group != NULL) control |= Input.Explicit->Control & SE_GROUP_DEFAULTED;
    return control;
}

NTSTATUS Assign(const AssignInput& Input, POOL_TYPE PoolType, PSECURITY_DESCRIPTOR* NewDescriptor) {
    NTSTATUS status = CheckSaclPrivilege(Input);
    if (!NT_SUCCESS(status)) return status;
    plat::SdParts result;
    status = ChooseOwner(Input, &result.Owner);
    if (!NT_SUCCESS(status)) return status;
    status = ChooseGroup(Input, &result.Group);
    if (!NT_SUCCESS(status)) return status;

    AclResult dacl, sacl;
    status = ComputeAcl(Input, kDacl, result.Owner, result.Group, &dacl);
    if (!NT_SUCCESS(status)) return status;
    status = ComputeAcl(Input, kSacl, result.Owner, result.Group, &sacl);
    if (!NT_SUCCESS(status)) return status;

    result.Control = static_cast<USHORT>((OwnerGroupDefaults(Input) | dacl.Control | sacl.Control) & ~kRequestBits);
    if (dacl.Present) result.Control |= SE_DACL_PRESENT;
    if (sacl.Present) result.Control |= SE_SACL_PRESENT;
    result.Dacl = dacl.Acl();
    result.Sacl = sacl.Acl();
    return plat::SdAllocateSelfRelative(result, PoolType, NewDescriptor);
}

}  // namespace

extern "C" NTSTATUS NTAPI SeAssignSecurityEx(PSECURITY_DESCRIPTOR ParentDescriptor,
                                             PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                             PSECURITY_DESCRIPTOR* NewDescriptor, GUID* ObjectType,
                                             BOOLEAN IsDirectoryObject, ULONG AutoInheritFlags,
                                             PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                             PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType) {
    UNREFERENCED_PARAMETER(ObjectType);  // no object-specific ACEs in the stand-in
    *NewDescriptor = NULL;
    plat::SdParts parent, explicitParts;
    if (ParentDescriptor != NULL && !plat::SdReadParts(ParentDescriptor, 0, &parent)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if (ExplicitDescriptor != NULL && !plat::SdReadParts(ExplicitDescriptor, 0, &explicitParts)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    AssignInput input = {};
    input.Parent = ParentDescriptor != NULL ? &parent : NULL;
    input.Explicit = ExplicitDescriptor != NULL ? &explicitParts : NULL;
    input.IsDirectory = IsDirectoryObject != FALSE;
    input.AutoInheritFlags = AutoInheritFlags;
    input.Token = SubjectContext != NULL ? static_cast<plat::Token*>(SeQuerySubjectContextToken(SubjectContext))
                                         : NULL;
    input.Mapping = GenericMapping;
    return Assign(input, PoolType, NewDescriptor);
}

extern "C" NTSTATUS NTAPI SeAssignSecurity(PSECURITY_DESCRIPTOR ParentDescriptor,
                                           PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                           PSECURITY_DESCRIPTOR* NewDescriptor, BOOLEAN IsDirectoryObject,
                                           PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                           PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType) {
    return SeAssignSecurityEx(ParentDescriptor, ExplicitDescriptor, NewDescriptor, NULL, IsDirectoryObject, 0,
                              SubjectContext, GenericMapping, PoolType);
}

extern "C" NTSTATUS NTAPI SeDeassignSecurity(PSECURITY_DESCRIPTOR* SecurityDescriptor) {
    if (*SecurityDescriptor == NULL) return STATUS_SUCCESS;
    ExFreePool(*SecurityDescriptor);
    *SecurityDescriptor = NULL;
    return STATUS_SUCCESS;
}
