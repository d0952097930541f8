// Security descriptors: the run-time library's descriptor routines, the
// conversions between the absolute and self-relative forms, validation, and
// the descriptor view and builder of the security component.
//
// Both forms begin with Revision, Sbz1 and Control; SE_SELF_RELATIVE in
// Control tells which form follows. The absolute form holds pointers, the
// self-relative one 32-bit offsets from its own start (0: the part is absent).
#include "se/security.h"

#include <string.h>

static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative descriptor layout");
static_assert(FIELD_OFFSET(SECURITY_DESCRIPTOR, Control) == FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Control),
              "both descriptor forms share their header");
static_assert(sizeof(void*) != 4 || sizeof(SECURITY_DESCRIPTOR) == 20, "absolute descriptor on 32-bit");

namespace {

constexpr ULONG kRelativeHeader = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

PISECURITY_DESCRIPTOR Absolute(PSECURITY_DESCRIPTOR Descriptor) {
    return static_cast<PISECURITY_DESCRIPTOR>(Descriptor);
}

PISECURITY_DESCRIPTOR_RELATIVE Relative(PSECURITY_DESCRIPTOR Descriptor) {
    return static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(Descriptor);
}

ULONG LongAlign(ULONG value) {
    return static_cast<ULONG>(ALIGN_UP_BY(value, sizeof(ULONG)));
}

// Checks on the parts of a self-relative descriptor. Length 0: unknown, only
// the structure is checked.
class RelativeReader {
public:
    RelativeReader(PSECURITY_DESCRIPTOR Descriptor, ULONG Length)
        : m_Base(static_cast<PUCHAR>(Descriptor)), m_Length(Length) {}

    bool Sid(ULONG Offset, PSID* Sid) const {
        *Sid = NULL;
        if (Offset == 0) return true;
        if (!Fits(Offset, FIELD_OFFSET(SID, SubAuthority))) return false;
        PSID sid = m_Base + Offset;
        if (!RtlValidSid(sid) || !Fits(Offset, RtlLengthSid(sid))) return false;
        *Sid = sid;
        return true;
    }

    bool Acl(ULONG Offset, PACL* Acl) const {
        *Acl = NULL;
        if (Offset == 0) return true;
        if (!Fits(Offset, sizeof(ACL))) return false;
        auto* acl = reinterpret_cast<PACL>(m_Base + Offset);
        if (!Fits(Offset, acl->AclSize) || !RtlValidAcl(acl)) return false;
        *Acl = acl;
        return true;
    }

private:
    bool Fits(ULONG Offset, ULONG Size) const {
        if (Offset < kRelativeHeader || (Offset & (sizeof(ULONG) - 1)) != 0) return false;
        return m_Length == 0 || ULONGLONG(Offset) + Size <= m_Length;
    }

    PUCHAR m_Base;
    ULONG m_Length;
};

bool ReadRelativeParts(PSECURITY_DESCRIPTOR Descriptor, ULONG Length, plat::SdParts* Parts) {
    if (Length != 0 && Length < kRelativeHeader) return false;
    PISECURITY_DESCRIPTOR_RELATIVE sd = Relative(Descriptor);
    RelativeReader reader(Descriptor, Length);
    Parts->Control = sd->Control & ~SE_SELF_RELATIVE;
    if (!reader.Sid(sd->Owner, &Parts->Owner) || !reader.Sid(sd->Group, &Parts->Group)) return false;
    if ((sd->Control & SE_DACL_PRESENT) && !reader.Acl(sd->Dacl, &Parts->Dacl)) return false;
    if ((sd->Control & SE_SACL_PRESENT) && !reader.Acl(sd->Sacl, &Parts->Sacl)) return false;
    return true;
}

bool ReadAbsoluteParts(PSECURITY_DESCRIPTOR Descriptor, plat::SdParts* Parts) {
    PISECURITY_DESCRIPTOR sd = Absolute(Descriptor);
    Parts->Control = sd->Control;
    Parts->Owner = sd->Owner;
    Parts->Group = sd->Group;
    Parts->Dacl = (sd->Control & SE_DACL_PRESENT) ? sd->Dacl : NULL;
    Parts->Sacl = (sd->Control & SE_SACL_PRESENT) ? sd->Sacl : NULL;
    if (Parts->Owner != NULL && !RtlValidSid(Parts->Owner)) return false;
    if (Parts->Group != NULL && !RtlValidSid(Parts->Group)) return false;
    if (Parts->Dacl != NULL && !RtlValidAcl(Parts->Dacl)) return false;
    if (Parts->Sacl != NULL && !RtlValidAcl(Parts->Sacl)) return false;
    return true;
}

// The end of a self-relative part, for the extent of a descriptor.
ULONG PartEnd(PSECURITY_DESCRIPTOR Descriptor, ULONG Offset, bool IsAcl) {
    if (Offset == 0) return 0;
    PUCHAR part = static_cast<PUCHAR>(Descriptor) + Offset;
    ULONG size = IsAcl ? reinterpret_cast<PACL>(part)->AclSize : RtlLengthSid(part);
    return Offset + size;
}

ULONG RelativeExtent(PSECURITY_DESCRIPTOR Descriptor) {
    PISECURITY_DESCRIPTOR_RELATIVE sd = Relative(Descriptor);
    ULONG end = kRelativeHeader;
    auto extend = [&end](ULONG partEnd) { end = partEnd > end ? partEnd : end; };
    extend(PartEnd(Descriptor, sd->Owner, false));
    extend(PartEnd(Descriptor, sd->Group, false));
    if (sd->Control & SE_DACL_PRESENT) extend(PartEnd(Descriptor, sd->Dacl, true));
    if (sd->Control & SE_SACL_PRESENT) extend(PartEnd(Descriptor, sd->Sacl, true));
    return LongAlign(end);
}

// Shared by the Get routines: the checks every descriptor passes first.
NTSTATUS CheckRevision(PSECURITY_DESCRIPTOR Descriptor) {
    return Absolute(Descriptor)->Revision == SECURITY_DESCRIPTOR_REVISION ? STATUS_SUCCESS
                                                                          : STATUS_UNKNOWN_REVISION;
}

// Shared by the Set routines, which work on absolute descriptors only.
NTSTATUS CheckAbsolute(PSECURITY_DESCRIPTOR Descriptor) {
    NTSTATUS status = CheckRevision(Descriptor);
    if (!NT_SUCCESS(status)) return status;
    return plat::SdIsSelfRelative(Descriptor) ? STATUS_INVALID_SECURITY_DESCR : STATUS_SUCCESS;
}

PVOID RelativePart(PSECURITY_DESCRIPTOR Descriptor, ULONG Offset) {
    return Offset == 0 ? NULL : static_cast<PUCHAR>(Descriptor) + Offset;
}

PSID OwnerOf(PSECURITY_DESCRIPTOR Descriptor) {
    if (plat::SdIsSelfRelative(Descriptor)) return RelativePart(Descriptor, Relative(Descriptor)->Owner);
    return Absolute(Descriptor)->Owner;
}

PSID GroupOf(PSECURITY_DESCRIPTOR Descriptor) {
    if (plat::SdIsSelfRelative(Descriptor)) return RelativePart(Descriptor, Relative(Descriptor)->Group);
    return Absolute(Descriptor)->Group;
}

PACL DaclOf(PSECURITY_DESCRIPTOR Descriptor) {
    if (plat::SdIsSelfRelative(Descriptor)) {
        return static_cast<PACL>(RelativePart(Descriptor, Relative(Descriptor)->Dacl));
    }
    return Absolute(Descriptor)->Dacl;
}

PACL SaclOf(PSECURITY_DESCRIPTOR Descriptor) {
    if (plat::SdIsSelfRelative(Descriptor)) {
        return static_cast<PACL>(RelativePart(Descriptor, Relative(Descriptor)->Sacl));
    }
    return Absolute(Descriptor)->Sacl;
}

NTSTATUS GetAcl(PSECURITY_DESCRIPTOR Descriptor, USHORT PresentBit, USHORT DefaultedBit, bool Dacl,
                PBOOLEAN Present, PACL* Acl, PBOOLEAN Defaulted) {
    NTSTATUS status = CheckRevision(Descriptor);
    if (!NT_SUCCESS(status)) return status;
    USHORT control = Absolute(Descriptor)->Control;
    *Present = (control & PresentBit) ? TRUE : FALSE;
    if (!*Present) {
        *Acl = NULL;
        *Defaulted = FALSE;
        return STATUS_SUCCESS;
    }
    *Acl = Dacl ? DaclOf(Descriptor) : SaclOf(Descriptor);
    *Defaulted = (control & DefaultedBit) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

void SetControlBit(PSECURITY_DESCRIPTOR Descriptor, USHORT Bit, bool Set) {
    USHORT& control = Absolute(Descriptor)->Control;
    control = static_cast<USHORT>(Set ? (control | Bit) : (control & ~Bit));
}

}  // namespace

// ---- Creation, control and parts -----------------------------------------------------

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    Absolute(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCreateSecurityDescriptorRelative(PISECURITY_DESCRIPTOR_RELATIVE SecurityDescriptor,
                                                              ULONG Revision) {
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SecurityDescriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    SecurityDescriptor->Control = SE_SELF_RELATIVE;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetControlSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                          PSECURITY_DESCRIPTOR_CONTROL Control, PULONG Revision) {
    *Revision = Absolute(SecurityDescriptor)->Revision;
    NTSTATUS status = CheckRevision(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    *Control = Absolute(SecurityDescriptor)->Control;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted) {
    NTSTATUS status = CheckAbsolute(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    Absolute(SecurityDescriptor)->Dacl = DaclPresent ? Dacl : NULL;
    SetControlBit(SecurityDescriptor, SE_DACL_PRESENT, DaclPresent);
    SetControlBit(SecurityDescriptor, SE_DACL_DEFAULTED, DaclPresent && DaclDefaulted);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       PBOOLEAN DaclPresent, PACL* Dacl, PBOOLEAN DaclDefaulted) {
    return GetAcl(SecurityDescriptor, SE_DACL_PRESENT, SE_DACL_DEFAULTED, true, DaclPresent, Dacl, DaclDefaulted);
}

extern "C" NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       BOOLEAN SaclPresent, PACL Sacl, BOOLEAN SaclDefaulted) {
    NTSTATUS status = CheckAbsolute(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    Absolute(SecurityDescriptor)->Sacl = SaclPresent ? Sacl : NULL;
    SetControlBit(SecurityDescriptor, SE_SACL_PRESENT, SaclPresent);
    SetControlBit(SecurityDescriptor, SE_SACL_DEFAULTED, SaclPresent && SaclDefaulted);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       PBOOLEAN SaclPresent, PACL* Sacl, PBOOLEAN SaclDefaulted) {
    return GetAcl(SecurityDescriptor, SE_SACL_PRESENT, SE_SACL_DEFAULTED, false, SaclPresent, Sacl, SaclDefaulted);
}

extern "C" NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                        BOOLEAN OwnerDefaulted) {
    NTSTATUS status = CheckAbsolute(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    Absolute(SecurityDescriptor)->Owner = Owner;
    SetControlBit(SecurityDescriptor, SE_OWNER_DEFAULTED, OwnerDefaulted);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner,
                                                        PBOOLEAN OwnerDefaulted) {
    NTSTATUS status = CheckRevision(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    *Owner = OwnerOf(SecurityDescriptor);
    *OwnerDefaulted = (Absolute(SecurityDescriptor)->Control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                        BOOLEAN GroupDefaulted) {
    NTSTATUS status = CheckAbsolute(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    Absolute(SecurityDescriptor)->Group = Group;
    SetControlBit(SecurityDescriptor, SE_GROUP_DEFAULTED, GroupDefaulted);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group,
                                                        PBOOLEAN GroupDefaulted) {
    NTSTATUS status = CheckRevision(SecurityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    *Group = GroupOf(SecurityDescriptor);
    *GroupDefaulted = (Absolute(SecurityDescriptor)->Control & SE_GROUP_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

// ---- Length and validation ---------------------------------------------------------------

// A self-relative descriptor's length is its extent (the end of its last
// part), so that copying that many bytes always copies every part, even when
// the parts are not packed. An absolute descriptor's length is that of its
// self-relative form, the same number as on 32-bit Windows.
extern "C" ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    if (plat::SdIsSelfRelative(SecurityDescriptor)) return RelativeExtent(SecurityDescriptor);
    plat::SdParts parts;
    PISECURITY_DESCRIPTOR sd = Absolute(SecurityDescriptor);
    parts.Owner = sd->Owner;
    parts.Group = sd->Group;
    parts.Dacl = (sd->Control & SE_DACL_PRESENT) ? sd->Dacl : NULL;
    parts.Sacl = (sd->Control & SE_SACL_PRESENT) ? sd->Sacl : NULL;
    return plat::SdSelfRelativeLength(parts);
}

extern "C" BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    plat::SdParts parts;
    return plat::SdReadParts(SecurityDescriptor, 0, &parts) ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                            ULONG SecurityDescriptorLength,
                                                            SECURITY_INFORMATION RequiredInformation) {
    if (SecurityDescriptorInput == NULL || SecurityDescriptorLength < kRelativeHeader) return FALSE;
    if (!plat::SdIsSelfRelative(SecurityDescriptorInput)) return FALSE;
    plat::SdParts parts;
    if (!plat::SdReadParts(SecurityDescriptorInput, SecurityDescriptorLength, &parts)) return FALSE;
    if ((RequiredInformation & OWNER_SECURITY_INFORMATION) && parts.Owner == NULL) return FALSE;
    if ((RequiredInformation & GROUP_SECURITY_INFORMATION) && parts.Group == NULL) return FALSE;
    if ((RequiredInformation & DACL_SECURITY_INFORMATION) && !(parts.Control & SE_DACL_PRESENT)) return FALSE;
    if ((RequiredInformation & SACL_SECURITY_INFORMATION) && !(parts.Control & SE_SACL_PRESENT)) return FALSE;
    return TRUE;
}

extern "C" BOOLEAN NTAPI SeValidSecurityDescriptor(ULONG Length, PSECURITY_DESCRIPTOR SecurityDescriptor) {
    return RtlValidRelativeSecurityDescriptor(SecurityDescriptor, Length, 0);
}

// ---- Conversions -------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI RtlMakeSelfRelativeSD(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                PULONG BufferLength) {
    plat::SdParts parts;
    if (!plat::SdReadParts(SecurityDescriptor, 0, &parts)) return STATUS_INVALID_SECURITY_DESCR;
    ULONG needed = plat::SdSelfRelativeLength(parts);
    if (*BufferLength < needed || SelfRelativeSecurityDescriptor == NULL) {
        *BufferLength = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    plat::SdWriteSelfRelative(parts, SelfRelativeSecurityDescriptor);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                      PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                      PULONG BufferLength) {
    if (plat::SdIsSelfRelative(AbsoluteSecurityDescriptor)) return STATUS_BAD_DESCRIPTOR_FORMAT;
    return RtlMakeSelfRelativeSD(AbsoluteSecurityDescriptor, SelfRelativeSecurityDescriptor, BufferLength);
}

namespace {

// One output part of RtlSelfRelativeToAbsoluteSD: the caller's buffer, its
// size (in: available, out: needed) and the part to copy there.
struct AbsolutePart {
    PVOID Buffer;
    PULONG Size;
    PVOID Source;
    ULONG Needed;
};

ULONG SidSize(PSID Sid) {
    return Sid == NULL ? 0 : RtlLengthSid(Sid);
}

ULONG AclSize(PACL Acl) {
    return Acl == NULL ? 0 : Acl->AclSize;
}

}  // namespace

extern "C" NTSTATUS NTAPI RtlSelfRelativeToAbsoluteSD(PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                      PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                      PULONG AbsoluteSecurityDescriptorSize, PACL Dacl,
                                                      PULONG DaclSize, PACL Sacl, PULONG SaclSize, PSID Owner,
                                                      PULONG OwnerSize, PSID PrimaryGroup,
                                                      PULONG PrimaryGroupSize) {
    if (!plat::SdIsSelfRelative(SelfRelativeSecurityDescriptor)) return STATUS_BAD_DESCRIPTOR_FORMAT;
    plat::SdParts parts;
    if (!plat::SdReadParts(SelfRelativeSecurityDescriptor, 0, &parts)) return STATUS_INVALID_SECURITY_DESCR;

    AbsolutePart out[] = {
        {AbsoluteSecurityDescriptor, AbsoluteSecurityDescriptorSize, NULL, sizeof(SECURITY_DESCRIPTOR)},
        {Dacl, DaclSize, parts.Dacl, AclSize(parts.Dacl)},
        {Sacl, SaclSize, parts.Sacl, AclSize(parts.Sacl)},
        {Owner, OwnerSize, parts.Owner, SidSize(parts.Owner)},
        {PrimaryGroup, PrimaryGroupSize, parts.Group, SidSize(parts.Group)},
    };
    bool fits = true;
    for (const AbsolutePart& part : out) {
        if (*part.Size < part.Needed || (part.Needed != 0 && part.Buffer == NULL)) fits = false;
    }
    if (!fits) {
        for (const AbsolutePart& part : out) *part.Size = part.Needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    for (const AbsolutePart& part : out) {
        if (part.Source != NULL) memmove(part.Buffer, part.Source, part.Needed);
    }

    PISECURITY_DESCRIPTOR sd = Absolute(AbsoluteSecurityDescriptor);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    sd->Sbz1 = 0;
    sd->Control = parts.Control;
    sd->Dacl = parts.Dacl != NULL ? Dacl : NULL;
    sd->Sacl = parts.Sacl != NULL ? Sacl : NULL;
    sd->Owner = parts.Owner != NULL ? Owner : NULL;
    sd->Group = parts.Group != NULL ? PrimaryGroup : NULL;
    return STATUS_SUCCESS;
}

// ---- The component's view and builder --------------------------------------------------

namespace plat {

bool SdIsSelfRelative(PSECURITY_DESCRIPTOR Descriptor) {
    return (Absolute(Descriptor)->Control & SE_SELF_RELATIVE) != 0;
}

bool SdReadParts(PSECURITY_DESCRIPTOR Descriptor, ULONG Length, SdParts* Parts) {
    *Parts = SdParts();
    if (Descriptor == NULL || Absolute(Descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    if (SdIsSelfRelative(Descriptor)) return ReadRelativeParts(Descriptor, Length, Parts);
    return ReadAbsoluteParts(Descriptor, Parts);
}

ULONG SdSelfRelativeLength(const SdParts& Parts) {
    ULONG length = kRelativeHeader;
    if (Parts.Sacl != NULL) length += LongAlign(Parts.Sacl->AclSize);
    if (Parts.Dacl != NULL) length += LongAlign(Parts.Dacl->AclSize);
    if (Parts.Owner != NULL) length += LongAlign(RtlLengthSid(Parts.Owner));
    if (Parts.Group != NULL) length += LongAlign(RtlLengthSid(Parts.Group));
    return length;
}

void SdWriteSelfRelative(const SdParts& Parts, PVOID Buffer) {
    PUCHAR base = static_cast<PUCHAR>(Buffer);
    memset(base, 0, SdSelfRelativeLength(Parts));
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = static_cast<USHORT>(Parts.Control | SE_SELF_RELATIVE);

    ULONG offset = kRelativeHeader;
    auto place = [&](const void* part, ULONG size) -> ULONG {
        if (part == NULL) return 0;
        ULONG at = offset;
        memcpy(base + at, part, size);
        offset += LongAlign(size);
        return at;
    };
    header.Sacl = place(Parts.Sacl, Parts.Sacl ? Parts.Sacl->AclSize : 0);
    header.Dacl = place(Parts.Dacl, Parts.Dacl ? Parts.Dacl->AclSize : 0);
    header.Owner = place(Parts.Owner, Parts.Owner ? RtlLengthSid(Parts.Owner) : 0);
    header.Group = place(Parts.Group, Parts.Group ? RtlLengthSid(Parts.Group) : 0);
    memcpy(base, &header, sizeof(header));
}

NTSTATUS SdAllocateSelfRelative(const SdParts& Parts, POOL_TYPE PoolType, PSECURITY_DESCRIPTOR* Descriptor) {
    ULONG length = SdSelfRelativeLength(Parts);
    PVOID buffer = ExAllocatePoolWithTag(PoolType, length, kSeDescriptorTag);
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    SdWriteSelfRelative(Parts, buffer);
    *Descriptor = buffer;
    return STATUS_SUCCESS;
}

}  // namespace plat
