// Changing and reading parts of an object's descriptor:
// SeSetSecurityDescriptorInfo(Ex) and SeQuerySecurityDescriptorInfo.
//
// A set merges the parts that SECURITY_INFORMATION names from the
// modification descriptor into the object's self-relative descriptor and
// returns a new self-relative descriptor from pool in its place. The old one
// is left to the caller, who owns it (as on Windows). The parts not named are
// kept, with their control bits.
//
// Labels (mandatory-label ACEs) live in the SACL: LABEL_SECURITY_INFORMATION
// alone replaces only the label ACEs, SACL_SECURITY_INFORMATION alone keeps
// them and replaces the others, both together replace the whole SACL.
#include "se/security.h"
#include "se/token.h"

namespace {

constexpr USHORT kRequestBits = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ;
constexpr USHORT kDaclBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
constexpr USHORT kSaclBits = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;

bool IsLabel(PACE_HEADER Ace) {
    return Ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE;
}

// Appends the ACEs of Acl (may be NULL) for which Keep is true.
template <typename Predicate>
void AppendAces(plat::AclBuilder* Out, PACL Acl, Predicate Keep) {
    if (Acl == NULL) return;
    Out->RaiseRevision(Acl->AclRevision);
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        PACE_HEADER ace = plat::AclAce(Acl, i);
        if (Keep(ace)) Out->Append(ace);
    }
}

bool HasLabels(PACL Acl) {
    if (Acl == NULL) return false;
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        if (IsLabel(plat::AclAce(Acl, i))) return true;
    }
    return false;
}

// The merged descriptor: its parts point into the old and modification
// descriptors, or into ACLs built here.
struct Merge {
    plat::SdParts Result;
    std::vector<UCHAR> DaclBytes;
    std::vector<UCHAR> SaclBytes;

    NTSTATUS Finish(plat::AclBuilder& Builder, std::vector<UCHAR>* Bytes, PACL* Acl) {
        if (!Builder.Fits()) return STATUS_INVALID_ACL;
        *Bytes = Builder.Finish();
        *Acl = reinterpret_cast<PACL>(Bytes->data());
        return STATUS_SUCCESS;
    }
};

// The owner must be one the caller may assign, unless the caller waives the
// check or holds SeRestorePrivilege.
NTSTATUS CheckOwner(PSID Owner, ULONG AutoInheritFlags) {
    if (AutoInheritFlags & SEF_AVOID_OWNER_CHECK) return STATUS_SUCCESS;
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    auto* token = static_cast<plat::Token*>(SeQuerySubjectContextToken(&subject));
    bool allowed = token == NULL || plat::TokenMayOwn(token, Owner) ||
                   plat::TokenPrivilegeEnabled(token, SE_RESTORE_PRIVILEGE);
    SeReleaseSubjectContext(&subject);
    return allowed ? STATUS_SUCCESS : STATUS_INVALID_OWNER;
}

NTSTATUS MergeOwnerAndGroup(const plat::SdParts& Change, SECURITY_INFORMATION Information, ULONG AutoInheritFlags,
                            Merge* M) {
    if (Information & OWNER_SECURITY_INFORMATION) {
        if (Change.Owner == NULL) return STATUS_INVALID_OWNER;
        NTSTATUS status = CheckOwner(Change.Owner, AutoInheritFlags);
        if (!NT_SUCCESS(status)) return status;
        M->Result.Owner = Change.Owner;
        M->Result.Control = static_cast<USHORT>((M->Result.Control & ~SE_OWNER_DEFAULTED) |
                                                (Change.Control & SE_OWNER_DEFAULTED));
    }
    if (Information & GROUP_SECURITY_INFORMATION) {
        if (Change.Group == NULL) return STATUS_INVALID_PRIMARY_GROUP;
        M->Result.Group = Change.Group;
        M->Result.Control = static_cast<USHORT>((M->Result.Control & ~SE_GROUP_DEFAULTED) |
                                                (Change.Control & SE_GROUP_DEFAULTED));
    }
    return STATUS_SUCCESS;
}

// The new DACL: the modification's, with the old inherited ACEs kept after
// its own when auto-inheritance is asked for (SEF_DACL_AUTO_INHERIT with
// SE_DACL_AUTO_INHERIT_REQ) and the new DACL is not protected.
NTSTATUS MergeDacl(const plat::SdParts& Old, const plat::SdParts& Change, SECURITY_INFORMATION Information,
                   ULONG AutoInheritFlags, Merge* M) {
    USHORT control = static_cast<USHORT>(Change.Control & kDaclBits);
    if (Information & PROTECTED_DACL_SECURITY_INFORMATION) control |= SE_DACL_PROTECTED;
    if (Information & UNPROTECTED_DACL_SECURITY_INFORMATION) control &= ~SE_DACL_PROTECTED;
    M->Result.Control = static_cast<USHORT>((M->Result.Control & ~kDaclBits) | control);
    M->Result.Dacl = Change.Dacl;

    bool autoInherit = (AutoInheritFlags & SEF_DACL_AUTO_INHERIT) && (Change.Control & SE_DACL_AUTO_INHERIT_REQ) &&
                       (control & SE_DACL_PRESENT) && !(control & SE_DACL_PROTECTED);
    if (!autoInherit || Change.Dacl == NULL) return STATUS_SUCCESS;
    plat::AclBuilder merged(Change.Dacl->AclRevision);
    AppendAces(&merged, Change.Dacl, [](PACE_HEADER ace) { return !(ace->AceFlags & INHERITED_ACE); });
    AppendAces(&merged, Old.Dacl, [](PACE_HEADER ace) { return (ace->AceFlags & INHERITED_ACE) != 0; });
    M->Result.Control |= SE_DACL_AUTO_INHERITED;
    return M->Finish(merged, &M->DaclBytes, &M->Result.Dacl);
}

NTSTATUS MergeSacl(const plat::SdParts& Old, const plat::SdParts& Change, SECURITY_INFORMATION Information,
                   Merge* M) {
    bool sacl = (Information & SACL_SECURITY_INFORMATION) != 0;
    bool label = (Information & LABEL_SECURITY_INFORMATION) != 0;
    if (!sacl && !label) return STATUS_SUCCESS;

    USHORT control = static_cast<USHORT>(Change.Control & kSaclBits);
    if (Information & PROTECTED_SACL_SECURITY_INFORMATION) control |= SE_SACL_PROTECTED;
    if (Information & UNPROTECTED_SACL_SECURITY_INFORMATION) control &= ~SE_SACL_PROTECTED;

    if (sacl && (label || !HasLabels(Old.Sacl))) {
        M->Result.Control = static_cast<USHORT>((M->Result.Control & ~kSaclBits) | control);
        M->Result.Sacl = Change.Sacl;
        return STATUS_SUCCESS;
    }
    // One of the two kinds of ACE changes; the other comes from the old SACL.
    plat::AclBuilder merged;
    auto labels = [](PACE_HEADER ace) { return IsLabel(ace); };
    auto audits = [](PACE_HEADER ace) { return !IsLabel(ace); };
    if (sacl) {
        AppendAces(&merged, Change.Sacl, audits);
        AppendAces(&merged, Old.Sacl, labels);
        M->Result.Control = static_cast<USHORT>((M->Result.Control & ~kSaclBits) | control | SE_SACL_PRESENT);
    } else {
        AppendAces(&merged, Old.Sacl, audits);
        AppendAces(&merged, Change.Sacl, labels);
        M->Result.Control |= SE_SACL_PRESENT;
    }
    return M->Finish(merged, &M->SaclBytes, &M->Result.Sacl);
}

}  // namespace

extern "C" NTSTATUS NTAPI SeSetSecurityDescriptorInfoEx(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                        PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                        PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor,
                                                        ULONG AutoInheritFlags, POOL_TYPE PoolType,
                                                        PGENERIC_MAPPING GenericMapping) {
    UNREFERENCED_PARAMETER(Object);          // no security quota in the stand-in
    UNREFERENCED_PARAMETER(GenericMapping);  // ACE masks are stored as given
    if (ObjectsSecurityDescriptor == NULL || *ObjectsSecurityDescriptor == NULL) {
        return STATUS_NO_SECURITY_ON_OBJECT;
    }
    if (!plat::SdIsSelfRelative(*ObjectsSecurityDescriptor)) return STATUS_BAD_DESCRIPTOR_FORMAT;
    plat::SdParts old, change;
    if (!plat::SdReadParts(*ObjectsSecurityDescriptor, 0, &old)) return STATUS_INVALID_SECURITY_DESCR;
    if (!plat::SdReadParts(ModificationDescriptor, 0, &change)) return STATUS_INVALID_SECURITY_DESCR;

    SECURITY_INFORMATION information = *SecurityInformation;
    Merge merge;
    merge.Result = old;
    merge.Result.Control &= ~kRequestBits;
    NTSTATUS status = MergeOwnerAndGroup(change, information, AutoInheritFlags, &merge);
    if (!NT_SUCCESS(status)) return status;
    if (information & DACL_SECURITY_INFORMATION) {
        status = MergeDacl(old, change, information, AutoInheritFlags, &merge);
        if (!NT_SUCCESS(status)) return status;
    }
    status = MergeSacl(old, change, information, &merge);
    if (!NT_SUCCESS(status)) return status;
    merge.Result.Control &= ~kRequestBits;

    PSECURITY_DESCRIPTOR merged = NULL;
    status = plat::SdAllocateSelfRelative(merge.Result, PoolType, &merged);
    if (!NT_SUCCESS(status)) return status;
    *ObjectsSecurityDescriptor = merged;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI SeSetSecurityDescriptorInfo(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                      PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                      PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor,
                                                      POOL_TYPE PoolType, PGENERIC_MAPPING GenericMapping) {
    return SeSetSecurityDescriptorInfoEx(Object, SecurityInformation, ModificationDescriptor,
                                         ObjectsSecurityDescriptor, 0, PoolType, GenericMapping);
}

// Copies the parts SECURITY_INFORMATION names into the caller's buffer as one
// self-relative descriptor. A short (or absent) buffer gets
// STATUS_BUFFER_TOO_SMALL and the needed length in *Length. An object without a descriptor answers with
// an empty one.
extern "C" NTSTATUS NTAPI SeQuerySecurityDescriptorInfo(PSECURITY_INFORMATION SecurityInformation,
                                                        PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Length,
                                                        PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor) {
    plat::SdParts stored;
    if (*ObjectsSecurityDescriptor != NULL && !plat::SdReadParts(*ObjectsSecurityDescriptor, 0, &stored)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    SECURITY_INFORMATION information = *SecurityInformation;
    plat::SdParts answer;
    std::vector<UCHAR> labelBytes;
    if (information & OWNER_SECURITY_INFORMATION) {
        answer.Owner = stored.Owner;
        answer.Control |= stored.Control & SE_OWNER_DEFAULTED;
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        answer.Group = stored.Group;
        answer.Control |= stored.Control & SE_GROUP_DEFAULTED;
    }
    if (information & DACL_SECURITY_INFORMATION) {
        answer.Dacl = stored.Dacl;
        answer.Control |= stored.Control & kDaclBits;
    }
    if (information & SACL_SECURITY_INFORMATION) {
        answer.Sacl = stored.Sacl;
        answer.Control |= stored.Control & kSaclBits;
    } else if ((information & LABEL_SECURITY_INFORMATION) && HasLabels(stored.Sacl)) {
        plat::AclBuilder labels;
        AppendAces(&labels, stored.Sacl, [](PACE_HEADER ace) { return IsLabel(ace); });
        labelBytes = labels.Finish();
        answer.Sacl = reinterpret_cast<PACL>(labelBytes.data());
        answer.Control |= SE_SACL_PRESENT;
    }

    ULONG needed = plat::SdSelfRelativeLength(answer);
    if (*Length < needed || SecurityDescriptor == NULL) {
        *Length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    plat::SdWriteSelfRelative(answer, SecurityDescriptor);
    *Length = needed;
    return STATUS_SUCCESS;
}
