// Helpers of the security tests: tokens, subject contexts, descriptors built
// from short ACE lists, and readable views of ACLs.
#pragma once

#include <ntifs.h>

#include <gtest/gtest.h>

#include "ex/pool.h"
#include "se/security.h"
#include "se/token.h"

#include <string.h>

#include <initializer_list>
#include <ostream>
#include <vector>

namespace setest {

inline GENERIC_MAPPING FileMapping() {
    return {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
}

// A SID held by value.
class Sid {
public:
    Sid(UCHAR Authority, std::initializer_list<ULONG> Rids) : m_Bytes(RtlLengthRequiredSid(ULONG(Rids.size()))) {
        plat::SidBuild(m_Bytes.data(), Authority, Rids.begin(), static_cast<UCHAR>(Rids.size()));
    }
    explicit Sid(PSID Other) : m_Bytes(RtlLengthSid(Other)) {
        RtlCopySid(ULONG(m_Bytes.size()), m_Bytes.data(), Other);
    }
    PSID Get() const { return const_cast<ULONG*>(m_Bytes.data()); }
    bool operator==(const Sid& Other) const { return RtlEqualSid(Get(), Other.Get()) != FALSE; }

private:
    std::vector<ULONG> m_Bytes;  // ULONG elements keep the SID aligned
};

// The user SID of TokenCreateUser(Rid, ...).
inline Sid UserSid(ULONG Rid) {
    return Sid(5, {SECURITY_NT_NON_UNIQUE, 1000, 1000, 1000, Rid});
}

struct AceSpec {
    UCHAR Type;
    UCHAR Flags;
    ACCESS_MASK Mask;
    PSID Sid;
};

inline AceSpec Allow(PSID Sid, ACCESS_MASK Mask, UCHAR Flags = 0) {
    return {ACCESS_ALLOWED_ACE_TYPE, Flags, Mask, Sid};
}
inline AceSpec Deny(PSID Sid, ACCESS_MASK Mask, UCHAR Flags = 0) {
    return {ACCESS_DENIED_ACE_TYPE, Flags, Mask, Sid};
}
inline AceSpec Audit(PSID Sid, ACCESS_MASK Mask, UCHAR Flags = SUCCESSFUL_ACCESS_ACE_FLAG) {
    return {SYSTEM_AUDIT_ACE_TYPE, Flags, Mask, Sid};
}
inline AceSpec Label(PSID Sid) {
    return {SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, Sid};
}

// An ACL built from ACE specs, in a host buffer.
inline std::vector<ULONG> MakeAcl(const std::vector<AceSpec>& Aces) {
    plat::AclBuilder builder;
    for (const AceSpec& ace : Aces) builder.AppendSidAce(ace.Type, ace.Flags, ace.Mask, ace.Sid);
    std::vector<UCHAR> bytes = builder.Finish();
    std::vector<ULONG> acl((bytes.size() + 3) / 4);
    memcpy(acl.data(), bytes.data(), bytes.size());
    return acl;
}

// An absolute descriptor whose parts it owns.
class AbsoluteSd {
public:
    AbsoluteSd() { RtlCreateSecurityDescriptor(&m_Sd, SECURITY_DESCRIPTOR_REVISION); }
    AbsoluteSd(const AbsoluteSd&) = delete;
    AbsoluteSd& operator=(const AbsoluteSd&) = delete;

    AbsoluteSd& Owner(PSID Sid) {
        m_Owner = Sid;
        RtlSetOwnerSecurityDescriptor(&m_Sd, m_Owner.Get(), FALSE);
        return *this;
    }
    AbsoluteSd& Group(PSID Sid) {
        m_Group = Sid;
        RtlSetGroupSecurityDescriptor(&m_Sd, m_Group.Get(), FALSE);
        return *this;
    }
    AbsoluteSd& Dacl(const std::vector<AceSpec>& Aces, BOOLEAN Defaulted = FALSE) {
        m_Dacl = MakeAcl(Aces);
        RtlSetDaclSecurityDescriptor(&m_Sd, TRUE, reinterpret_cast<PACL>(m_Dacl.data()), Defaulted);
        return *this;
    }
    AbsoluteSd& NullDacl() {
        RtlSetDaclSecurityDescriptor(&m_Sd, TRUE, NULL, FALSE);
        return *this;
    }
    AbsoluteSd& Sacl(const std::vector<AceSpec>& Aces) {
        m_Sacl = MakeAcl(Aces);
        RtlSetSaclSecurityDescriptor(&m_Sd, TRUE, reinterpret_cast<PACL>(m_Sacl.data()), FALSE);
        return *this;
    }
    AbsoluteSd& AddControl(USHORT Bits) {
        m_Sd.Control |= Bits;
        return *this;
    }

    PSECURITY_DESCRIPTOR Get() { return &m_Sd; }

    // The self-relative form, in a host buffer.
    std::vector<UCHAR> SelfRelative() {
        ULONG length = 0;
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&m_Sd, NULL, &length));
        std::vector<UCHAR> bytes(length);
        EXPECT_EQ(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&m_Sd, bytes.data(), &length));
        return bytes;
    }

private:
    // A Sid that may be empty.
    struct OptionalSid {
        std::vector<ULONG> Bytes;
        OptionalSid& operator=(PSID Sid) {
            Bytes.assign(RtlLengthSid(Sid) / 4, 0);
            RtlCopySid(ULONG(Bytes.size() * 4), Bytes.data(), Sid);
            return *this;
        }
        PSID Get() { return Bytes.data(); }
    };

    SECURITY_DESCRIPTOR m_Sd;
    OptionalSid m_Owner, m_Group;
    std::vector<ULONG> m_Dacl, m_Sacl;
};

// An ACE as the tests compare it.
struct AceView {
    UCHAR Type;
    UCHAR Flags;
    ACCESS_MASK Mask;
    std::vector<UCHAR> SidBytes;

    bool operator==(const AceView& Other) const {
        return Type == Other.Type && Flags == Other.Flags && Mask == Other.Mask && SidBytes == Other.SidBytes;
    }
};

inline AceView View(UCHAR Type, UCHAR Flags, ACCESS_MASK Mask, PSID Sid) {
    auto* bytes = static_cast<const UCHAR*>(Sid);
    return {Type, Flags, Mask, std::vector<UCHAR>(bytes, bytes + RtlLengthSid(Sid))};
}

inline void PrintTo(const AceView& Ace, std::ostream* Out) {
    *Out << "{type " << int(Ace.Type) << ", flags 0x" << std::hex << int(Ace.Flags) << ", mask 0x" << Ace.Mask
         << std::dec << ", sid of " << Ace.SidBytes.size() << " bytes}";
}

inline std::vector<AceView> AcesOf(PACL Acl) {
    std::vector<AceView> aces;
    if (Acl == NULL) return aces;
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        PVOID ace = NULL;
        EXPECT_EQ(STATUS_SUCCESS, RtlGetAce(Acl, i, &ace));
        auto* allowed = static_cast<PACCESS_ALLOWED_ACE>(ace);
        aces.push_back(View(allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, &allowed->SidStart));
    }
    return aces;
}

inline PACL DaclOf(PSECURITY_DESCRIPTOR Sd) {
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL acl = NULL;
    EXPECT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(Sd, &present, &acl, &defaulted));
    return present ? acl : NULL;
}

inline PACL SaclOf(PSECURITY_DESCRIPTOR Sd) {
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL acl = NULL;
    EXPECT_EQ(STATUS_SUCCESS, RtlGetSaclSecurityDescriptor(Sd, &present, &acl, &defaulted));
    return present ? acl : NULL;
}

inline PSID OwnerOf(PSECURITY_DESCRIPTOR Sd) {
    PSID owner = NULL;
    BOOLEAN defaulted = FALSE;
    EXPECT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(Sd, &owner, &defaulted));
    return owner;
}

inline PSID GroupOf(PSECURITY_DESCRIPTOR Sd) {
    PSID group = NULL;
    BOOLEAN defaulted = FALSE;
    EXPECT_EQ(STATUS_SUCCESS, RtlGetGroupSecurityDescriptor(Sd, &group, &defaulted));
    return group;
}

inline USHORT ControlOf(PSECURITY_DESCRIPTOR Sd) {
    return static_cast<PISECURITY_DESCRIPTOR>(Sd)->Control;
}

// Security tests work with tokens made here: an ordinary user (Rid 1001),
// another one (1002), an administrator (1003) and System. Every pool block
// the component hands out must be gone when a test ends.
class SecurityTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (size_t i = 0; i < ARRAYSIZE(kTags); ++i) m_LiveAtStart[i] = plat::PoolLiveAllocationsWithTag(kTags[i]);
        m_User = plat::TokenCreateUser(1001, false);
        m_Other = plat::TokenCreateUser(1002, false);
        m_Admin = plat::TokenCreateUser(1003, true);
        m_System = plat::TokenCreateSystem();
    }

    void TearDown() override {
        for (plat::Token* token : {m_User, m_Other, m_Admin, m_System}) plat::TokenRelease(token);
        for (size_t i = 0; i < ARRAYSIZE(kTags); ++i) {
            EXPECT_EQ(m_LiveAtStart[i], plat::PoolLiveAllocationsWithTag(kTags[i]))
                << plat::PoolTagText(kTags[i]) << " blocks leaked";
        }
    }

    static SECURITY_SUBJECT_CONTEXT Subject(plat::Token* Token) {
        SECURITY_SUBJECT_CONTEXT subject = {};
        subject.PrimaryToken = Token;
        return subject;
    }

    static constexpr ULONG kTags[] = {plat::kSeDescriptorTag, plat::kSeTokenTag, plat::kSePrivilegeTag};
    SIZE_T m_LiveAtStart[ARRAYSIZE(kTags)] = {};
    plat::Token* m_User = NULL;
    plat::Token* m_Other = NULL;
    plat::Token* m_Admin = NULL;
    plat::Token* m_System = NULL;
    GENERIC_MAPPING m_Mapping = FileMapping();
};

}  // namespace setest
