// ACLs and ACEs: the run-time library's ACL routines, generic-access mapping
// and the ACL builder of the security component.
//
// An ACL is an 8-byte header followed by AceCount ACEs packed one after the
// other; AclSize covers the header, the ACEs and any free space after them.
// Every ACE and the ACL itself are sized in multiples of 4 bytes.
#include "se/security.h"

#include <string.h>

static_assert(sizeof(ACL) == 8, "ACL header layout");
static_assert(sizeof(ACE_HEADER) == 4, "ACE header layout");
static_assert(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) == 8, "ACE layout");

namespace {

constexpr ULONG kSidAceFixedSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);

bool IsLongAligned(ULONG value) {
    return (value & (sizeof(ULONG) - 1)) == 0;
}

bool AclHeaderValid(PACL Acl) {
    return Acl->AclRevision >= MIN_ACL_REVISION && Acl->AclRevision <= MAX_ACL_REVISION &&
           Acl->AclSize >= sizeof(ACL) && IsLongAligned(Acl->AclSize);
}

// The ACE at Offset when its header and body fit in the ACL, else NULL.
PACE_HEADER AceAtOffset(PACL Acl, ULONG Offset) {
    if (Offset + sizeof(ACE_HEADER) > Acl->AclSize) return NULL;
    auto* ace = reinterpret_cast<PACE_HEADER>(reinterpret_cast<PUCHAR>(Acl) + Offset);
    if (ace->AceSize < sizeof(ACE_HEADER) || Offset + ace->AceSize > Acl->AclSize) return NULL;
    return ace;
}

bool AceBodyValid(PACL Acl, PACE_HEADER Ace) {
    if (!IsLongAligned(Ace->AceSize)) return false;
    if (Ace->AceType >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && Ace->AceType <= SYSTEM_ALARM_OBJECT_ACE_TYPE) {
        return Acl->AclRevision >= ACL_REVISION_DS;
    }
    if (!plat::AceHasSingleSid(Ace->AceType)) return true;  // opaque to us, but it fits
    if (Ace->AceSize < kSidAceFixedSize + FIELD_OFFSET(SID, SubAuthority)) return false;
    PSID sid = plat::AceSid(Ace);
    return RtlValidSid(sid) && kSidAceFixedSize + RtlLengthSid(sid) <= Ace->AceSize;
}

// Offset of the first byte after the last ACE, or 0 when the ACL is malformed.
ULONG AclUsedSize(PACL Acl) {
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        PACE_HEADER ace = AceAtOffset(Acl, offset);
        if (ace == NULL) return 0;
        offset += ace->AceSize;
    }
    return offset;
}

// Offset of ACE Index, or of the end of the ACEs when Index >= AceCount.
ULONG AclOffsetOf(PACL Acl, ULONG Index) {
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < Acl->AceCount && i < Index; ++i) {
        offset += AceAtOffset(Acl, offset)->AceSize;
    }
    return offset;
}

NTSTATUS AddSidAce(PACL Acl, ULONG AceRevision, UCHAR AceType, ULONG AceFlags, ACCESS_MASK AccessMask,
                   PSID Sid) {
    if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) return STATUS_REVISION_MISMATCH;
    if (!RtlValidAcl(Acl)) return STATUS_INVALID_ACL;
    if ((AceFlags & ~VALID_INHERIT_FLAGS) != 0) return STATUS_INVALID_PARAMETER;

    ULONG used = AclUsedSize(Acl);
    ULONG aceSize = kSidAceFixedSize + RtlLengthSid(Sid);
    if (used + aceSize > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;

    auto* ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(reinterpret_cast<PUCHAR>(Acl) + used);
    ace->Header.AceType = AceType;
    ace->Header.AceFlags = static_cast<UCHAR>(AceFlags);
    ace->Header.AceSize = static_cast<USHORT>(aceSize);
    ace->Mask = AccessMask;
    RtlCopySid(aceSize - kSidAceFixedSize, &ace->SidStart, Sid);
    Acl->AceCount += 1;
    if (Acl->AclRevision < AceRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    return STATUS_SUCCESS;
}

// Counts the ACEs of a caller's ACE list; false when one does not fit.
bool CountAceList(PUCHAR List, ULONG Length, ULONG* Count) {
    ULONG offset = 0;
    ULONG count = 0;
    while (offset < Length) {
        if (offset + sizeof(ACE_HEADER) > Length) return false;
        auto* ace = reinterpret_cast<PACE_HEADER>(List + offset);
        if (ace->AceSize < sizeof(ACE_HEADER) || offset + ace->AceSize > Length) return false;
        offset += ace->AceSize;
        ++count;
    }
    *Count = count;
    return true;
}

}  // namespace

// ---- ACL routines ----------------------------------------------------------------

extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION) return STATUS_INVALID_PARAMETER;
    if (AclLength > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->Sbz1 = 0;
    // Rounded down so that the ACL never claims bytes beyond the caller's buffer.
    Acl->AclSize = static_cast<USHORT>(ALIGN_DOWN_BY(AclLength, sizeof(ULONG)));
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI RtlValidAcl(PACL Acl) {
    if (Acl == NULL || !AclHeaderValid(Acl)) return FALSE;
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        PACE_HEADER ace = AceAtOffset(Acl, offset);
        if (ace == NULL || !AceBodyValid(Acl, ace)) return FALSE;
        offset += ace->AceSize;
    }
    return TRUE;
}

extern "C" NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace) {
    if (Acl == NULL || !AclHeaderValid(Acl)) return STATUS_INVALID_PARAMETER;
    PACE_HEADER ace = plat::AclAce(Acl, AceIndex);
    if (ace == NULL) return STATUS_INVALID_PARAMETER;
    *Ace = ace;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAddAce(PACL Acl, ULONG AceRevision, ULONG StartingAceIndex, PVOID AceList,
                                    ULONG AceListLength) {
    if (!RtlValidAcl(Acl)) return STATUS_INVALID_PARAMETER;
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) return STATUS_INVALID_PARAMETER;
    ULONG newCount = 0;
    if (!CountAceList(static_cast<PUCHAR>(AceList), AceListLength, &newCount)) return STATUS_INVALID_PARAMETER;
    ULONG used = AclUsedSize(Acl);
    if (used + AceListLength > Acl->AclSize) return STATUS_BUFFER_TOO_SMALL;

    PUCHAR base = reinterpret_cast<PUCHAR>(Acl);
    ULONG insertAt = AclOffsetOf(Acl, StartingAceIndex);
    memmove(base + insertAt + AceListLength, base + insertAt, used - insertAt);
    memcpy(base + insertAt, AceList, AceListLength);
    Acl->AceCount = static_cast<USHORT>(Acl->AceCount + newCount);
    if (Acl->AclRevision < AceRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlDeleteAce(PACL Acl, ULONG AceIndex) {
    if (!RtlValidAcl(Acl)) return STATUS_INVALID_PARAMETER;
    if (AceIndex >= Acl->AceCount) return STATUS_INVALID_PARAMETER;
    PUCHAR base = reinterpret_cast<PUCHAR>(Acl);
    ULONG used = AclUsedSize(Acl);
    ULONG start = AclOffsetOf(Acl, AceIndex);
    ULONG size = AceAtOffset(Acl, start)->AceSize;
    memmove(base + start, base + start + size, used - start - size);
    memset(base + used - size, 0, size);
    Acl->AceCount -= 1;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    return AddSidAce(Acl, AceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, Sid);
}

extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                   ACCESS_MASK AccessMask, PSID Sid) {
    return AddSidAce(Acl, AceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, Sid);
}

extern "C" NTSTATUS NTAPI RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    return AddSidAce(Acl, AceRevision, ACCESS_DENIED_ACE_TYPE, 0, AccessMask, Sid);
}

extern "C" NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                  ACCESS_MASK AccessMask, PSID Sid) {
    return AddSidAce(Acl, AceRevision, ACCESS_DENIED_ACE_TYPE, AceFlags, AccessMask, Sid);
}

extern "C" VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING* GenericMapping) {
    *AccessMask = plat::MapGenericBits(*AccessMask, GenericMapping);
}

namespace plat {

ACCESS_MASK MapGenericBits(ACCESS_MASK Mask, const GENERIC_MAPPING* Mapping) {
    ACCESS_MASK mapped = Mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (Mask & GENERIC_READ) mapped |= Mapping->GenericRead;
    if (Mask & GENERIC_WRITE) mapped |= Mapping->GenericWrite;
    if (Mask & GENERIC_EXECUTE) mapped |= Mapping->GenericExecute;
    if (Mask & GENERIC_ALL) mapped |= Mapping->GenericAll;
    return mapped;
}

bool AceHasSingleSid(UCHAR AceType) {
    switch (AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        return true;
    default:
        return false;
    }
}

PSID AceSid(PACE_HEADER Ace) {
    if (!AceHasSingleSid(Ace->AceType)) return NULL;
    return reinterpret_cast<PUCHAR>(Ace) + kSidAceFixedSize;
}

PACE_HEADER AclAce(PACL Acl, ULONG Index) {
    if (Index >= Acl->AceCount) return NULL;
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0;; ++i) {
        PACE_HEADER ace = AceAtOffset(Acl, offset);
        if (ace == NULL || i == Index) return ace;
        offset += ace->AceSize;
    }
}

void AclBuilder::Append(const ACE_HEADER* Ace) {
    auto* bytes = reinterpret_cast<const UCHAR*>(Ace);
    m_Aces.insert(m_Aces.end(), bytes, bytes + Ace->AceSize);
    m_Count += 1;
}

void AclBuilder::AppendSidAce(UCHAR Type, UCHAR Flags, ACCESS_MASK Mask, PSID Sid) {
    ULONG sidLength = RtlLengthSid(Sid);
    ULONG aceSize = kSidAceFixedSize + sidLength;
    size_t start = m_Aces.size();
    m_Aces.resize(start + aceSize);
    ACE_HEADER header = {Type, Flags, static_cast<USHORT>(aceSize)};
    memcpy(&m_Aces[start], &header, sizeof(header));
    memcpy(&m_Aces[start + sizeof(header)], &Mask, sizeof(Mask));
    memcpy(&m_Aces[start + kSidAceFixedSize], Sid, sidLength);
    m_Count += 1;
}

void AclBuilder::RaiseRevision(UCHAR Revision) {
    if (Revision > m_Revision) m_Revision = Revision;
}

void AclBuilder::Write(PVOID Buffer) const {
    ACL header = {m_Revision, 0, static_cast<USHORT>(Size()), static_cast<USHORT>(m_Count), 0};
    memcpy(Buffer, &header, sizeof(header));
    if (!m_Aces.empty()) memcpy(static_cast<PUCHAR>(Buffer) + sizeof(ACL), m_Aces.data(), m_Aces.size());
}

std::vector<UCHAR> AclBuilder::Finish() const {
    std::vector<UCHAR> acl(Size());
    Write(acl.data());
    return acl;
}

}  // namespace plat
