// Internal interface of the security component: well-known SIDs, a uniform
// view of security descriptors in either form, and the building of
// self-relative descriptors and ACLs. Used by the se sources only; other
// components use the NT routines of nt/se.h and the token calls of token.h.
#pragma once

#include <wdm.h>

#include <vector>

namespace plat {

// Pool tags of the component, as they read in memory.
constexpr ULONG kSeDescriptorTag = 'dSeS';  // "SeSd": descriptors handed to callers
constexpr ULONG kSeTokenTag = 'kTeS';       // "SeTk": tokens
constexpr ULONG kSePrivilegeTag = 'rPeS';   // "SePr": privilege sets from SeAccessCheck

// ---- SIDs --------------------------------------------------------------------

// Well-known SIDs, valid for the life of the process (they live in SeExports).
PSID SidWorld();                // S-1-1-0
PSID SidCreatorOwner();         // S-1-3-0
PSID SidCreatorGroup();         // S-1-3-1
PSID SidLocalSystem();          // S-1-5-18
PSID SidAuthenticatedUsers();   // S-1-5-11
PSID SidAdministrators();       // S-1-5-32-544
PSID SidUsers();                // S-1-5-32-545

// Writes S-<revision>-<Authority>-<Rids...> into Buffer, which holds at least
// RtlLengthRequiredSid(Count) bytes.
void SidBuild(PVOID Buffer, UCHAR Authority, const ULONG* Rids, UCHAR Count);

// The SID an ACE of a single-SID type (allowed, denied, audit, alarm, label)
// carries, or NULL for ACE types without one at SidStart.
PSID AceSid(PACE_HEADER Ace);
bool AceHasSingleSid(UCHAR AceType);

// ---- Access masks ------------------------------------------------------------

// Maps the GENERIC_* bits of Mask through Mapping and removes them.
ACCESS_MASK MapGenericBits(ACCESS_MASK Mask, const GENERIC_MAPPING* Mapping);

// ---- ACLs --------------------------------------------------------------------

// The ACE at Index, or NULL when the ACL is malformed or Index is past its
// ACEs. The ACL must have passed RtlValidAcl.
PACE_HEADER AclAce(PACL Acl, ULONG Index);

// An ACL under construction, kept as the bytes of its ACEs.
class AclBuilder {
public:
    explicit AclBuilder(UCHAR Revision = ACL_REVISION) : m_Revision(Revision) {}

    // Appends a copy of Ace (AceSize bytes).
    void Append(const ACE_HEADER* Ace);
    // Appends a single-SID ACE of the given type, flags, mask and SID.
    void AppendSidAce(UCHAR Type, UCHAR Flags, ACCESS_MASK Mask, PSID Sid);
    void RaiseRevision(UCHAR Revision);

    ULONG AceCount() const { return m_Count; }
    // False when the ACEs no longer fit the 16-bit size of an ACL.
    bool Fits() const { return Size() <= MAXUSHORT && m_Count <= MAXUSHORT; }
    // Size of the finished ACL: header and ACEs.
    ULONG Size() const { return sizeof(ACL) + static_cast<ULONG>(m_Aces.size()); }
    // Writes the ACL into Buffer (Size() bytes).
    void Write(PVOID Buffer) const;
    // The finished ACL in a host buffer of its own.
    std::vector<UCHAR> Finish() const;

private:
    std::vector<UCHAR> m_Aces;
    ULONG m_Count = 0;
    UCHAR m_Revision;
};

// ---- Security descriptors ----------------------------------------------------

// The parts of a descriptor, whichever form it has. A part that is absent is
// NULL. DACL and SACL presence is told by SE_DACL_PRESENT / SE_SACL_PRESENT in
// Control: a present DACL may be NULL (a NULL DACL grants everything). Control
// never carries SE_SELF_RELATIVE here.
struct SdParts {
    SECURITY_DESCRIPTOR_CONTROL Control = 0;
    PSID Owner = NULL;
    PSID Group = NULL;
    PACL Sacl = NULL;
    PACL Dacl = NULL;
};

// Reads the parts of a descriptor of either form after checking its revision,
// that self-relative offsets lie past the header and are 4-byte aligned, and
// that every SID and ACL present is valid. With Length != 0 (self-relative
// only) every part must also lie within Length bytes. False when malformed.
bool SdReadParts(PSECURITY_DESCRIPTOR Descriptor, ULONG Length, SdParts* Parts);

bool SdIsSelfRelative(PSECURITY_DESCRIPTOR Descriptor);

// Size of the self-relative descriptor holding Parts.
ULONG SdSelfRelativeLength(const SdParts& Parts);
// Writes it into Buffer, which holds SdSelfRelativeLength(Parts) bytes. Parts
// lie in the order SACL, DACL, owner, group, each at a 4-byte aligned offset.
void SdWriteSelfRelative(const SdParts& Parts, PVOID Buffer);
// Allocates it from pool (tag kSeDescriptorTag).
NTSTATUS SdAllocateSelfRelative(const SdParts& Parts, POOL_TYPE PoolType, PSECURITY_DESCRIPTOR* Descriptor);

}  // namespace plat
