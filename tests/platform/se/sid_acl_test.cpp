// SIDs, ACLs and access masks: building, reading and validation.
#include "se_test_support.h"

// The values the driver relies on, as Windows defines them.
static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006 && KEY_ALL_ACCESS == 0xF003F, "key rights");
static_assert(FILE_GENERIC_READ == 0x120089 && (FILE_GENERIC_READ | FILE_GENERIC_WRITE) == 0x12019F,
              "file generic read and write");
static_assert(FILE_GENERIC_WRITE == 0x120116 && FILE_GENERIC_EXECUTE == 0x1200A0 && FILE_ALL_ACCESS == 0x1F01FF,
              "file rights");
static_assert((FILE_GENERIC_WRITE | DELETE) == 0x130116, "write and delete");
static_assert((GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE) == 0x401C0000, "generic write");
static_assert((GENERIC_ALL | MAXIMUM_ALLOWED) == 0x12000000, "work folder ACE mask");
static_assert((SYNCHRONIZE | FILE_ADD_FILE) == 0x100002, "add file");

namespace setest {
namespace {

using SidAclTest = SecurityTest;

TEST_F(SidAclTest, SidsAreBuiltComparedAndCopied) {
    EXPECT_EQ(16u, RtlLengthRequiredSid(2));

    ULONG buffer[4] = {};
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlInitializeSid(buffer, &nt, SID_MAX_SUB_AUTHORITIES + 1));
    ASSERT_EQ(STATUS_SUCCESS, RtlInitializeSid(buffer, &nt, 2));
    *RtlSubAuthoritySid(buffer, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *RtlSubAuthoritySid(buffer, 1) = DOMAIN_ALIAS_RID_ADMINS;
    EXPECT_TRUE(RtlValidSid(buffer));
    EXPECT_EQ(16u, RtlLengthSid(buffer));
    EXPECT_TRUE(RtlEqualSid(buffer, SeExports->SeAliasAdminsSid));
    EXPECT_FALSE(RtlEqualSid(buffer, SeExports->SeAliasUsersSid));
    EXPECT_FALSE(RtlEqualSid(buffer, SeExports->SeLocalSystemSid));  // one sub-authority fewer
    EXPECT_EQ(5, RtlIdentifierAuthoritySid(buffer)->Value[5]);
    EXPECT_EQ(2, *RtlSubAuthorityCountSid(buffer));

    ULONG copy[4] = {};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlCopySid(12, copy, buffer));
    ASSERT_EQ(STATUS_SUCCESS, RtlCopySid(sizeof(copy), copy, buffer));
    EXPECT_TRUE(RtlEqualSid(copy, buffer));
}

TEST_F(SidAclTest, InvalidSidsAreRecognised) {
    Sid sid(1, {0});
    auto* raw = static_cast<PISID>(sid.Get());
    EXPECT_TRUE(RtlValidSid(raw));
    raw->Revision = 2;
    EXPECT_FALSE(RtlValidSid(raw));
    raw->Revision = SID_REVISION;
    raw->SubAuthorityCount = SID_MAX_SUB_AUTHORITIES + 1;
    EXPECT_FALSE(RtlValidSid(raw));
    EXPECT_FALSE(RtlValidSid(NULL));
}

TEST_F(SidAclTest, WellKnownSidsHaveTheirValues) {
    EXPECT_TRUE(Sid(1, {0}) == Sid(SeExports->SeWorldSid));
    EXPECT_TRUE(Sid(5, {18}) == Sid(SeExports->SeLocalSystemSid));
    EXPECT_TRUE(Sid(5, {11}) == Sid(SeExports->SeAuthenticatedUsersSid));
    EXPECT_TRUE(Sid(5, {32, 545}) == Sid(SeExports->SeAliasUsersSid));
    EXPECT_TRUE(Sid(3, {0}) == Sid(SeExports->SeCreatorOwnerSid));
    EXPECT_EQ(ULONG(SE_BACKUP_PRIVILEGE), SeExports->SeBackupPrivilege.LowPart);
}

// The work folder's ACL: 256 bytes, one ACE for Everyone.
TEST_F(SidAclTest, WorkFolderAclHasTheWindowsLayout) {
    alignas(ULONG) UCHAR buffer[256];
    memset(buffer, 0xEE, sizeof(buffer));
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                       GENERIC_ALL | MAXIMUM_ALLOWED, SeExports->SeWorldSid));
    const UCHAR expected[] = {
        2, 0, 0x00, 0x01, 1, 0, 0, 0,              // ACL: revision 2, size 256, one ACE
        0, 3, 20, 0, 0x00, 0x00, 0x00, 0x12,       // allowed, OI|CI, 20 bytes, 0x12000000
        1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,        // S-1-1-0
    };
    EXPECT_EQ(0, memcmp(expected, buffer, sizeof(expected)));
    EXPECT_TRUE(RtlValidAcl(acl));

    PVOID ace = NULL;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetAce(acl, 0, &ace));
    EXPECT_EQ(buffer + 8, ace);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlGetAce(acl, 1, &ace));
}

TEST_F(SidAclTest, AddingAcesRespectsSpaceFlagsAndSids) {
    alignas(ULONG) UCHAR buffer[sizeof(ACL) + 20 + 4];
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAccessDeniedAce(acl, ACL_REVISION, DELETE, SeExports->SeWorldSid));
    EXPECT_EQ(STATUS_ALLOTTED_SPACE_EXCEEDED,
              RtlAddAccessAllowedAce(acl, ACL_REVISION, DELETE, SeExports->SeWorldSid));
    EXPECT_EQ(1, acl->AceCount);

    alignas(ULONG) UCHAR big[128];
    acl = reinterpret_cast<PACL>(big);
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(big), ACL_REVISION));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              RtlAddAccessAllowedAceEx(acl, ACL_REVISION, FAILED_ACCESS_ACE_FLAG, DELETE, SeExports->SeWorldSid));
    Sid bad(1, {0});
    static_cast<PISID>(bad.Get())->Revision = 3;
    EXPECT_EQ(STATUS_INVALID_SID, RtlAddAccessAllowedAce(acl, ACL_REVISION, DELETE, bad.Get()));
    EXPECT_EQ(0, acl->AceCount);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlCreateAcl(acl, sizeof(ACL) - 1, ACL_REVISION));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, sizeof(big), 1));
}

TEST_F(SidAclTest, AcesAreDeletedAndInsertedInPlace) {
    Sid a(5, {1}), b(5, {2}), c(5, {3});
    std::vector<ULONG> storage(64);
    auto* acl = reinterpret_cast<PACL>(storage.data());
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, ULONG(storage.size() * 4), ACL_REVISION));
    for (PSID sid : {a.Get(), b.Get(), c.Get()}) {
        ASSERT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_READ_DATA, sid));
    }
    ASSERT_EQ(STATUS_SUCCESS, RtlDeleteAce(acl, 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlDeleteAce(acl, 2));
    std::vector<AceView> expected = {View(0, 0, FILE_READ_DATA, a.Get()), View(0, 0, FILE_READ_DATA, c.Get())};
    EXPECT_EQ(expected, AcesOf(acl));

    std::vector<ULONG> insert = MakeAcl({Deny(b.Get(), DELETE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE)});
    auto* source = reinterpret_cast<PACL>(insert.data());
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 1, source + 1, source->AclSize - sizeof(ACL)));
    expected.insert(expected.begin() + 1, View(1, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, DELETE, b.Get()));
    EXPECT_EQ(expected, AcesOf(acl));
    EXPECT_TRUE(RtlValidAcl(acl));
}

// Each corruption must be refused by RtlValidAcl, and RtlGetAce must never
// hand out an ACE that does not lie inside the ACL.
TEST_F(SidAclTest, MalformedAclsAreRefused) {
    Sid world(1, {0});
    auto fresh = [&] { return MakeAcl({Allow(world.Get(), FILE_READ_DATA), Deny(world.Get(), DELETE)}); };
    struct Case {
        const char* Name;
        void (*Corrupt)(PACL Acl);
        bool GetAceFails;  // for the second ACE
    };
    const Case cases[] = {
        {"revision 1", [](PACL acl) { acl->AclRevision = 1; }, true},
        {"size below header", [](PACL acl) { acl->AclSize = 4; }, true},
        {"size not long-aligned", [](PACL acl) { acl->AclSize -= 2; }, true},
        {"more ACEs than bytes", [](PACL acl) { acl->AceCount = 3; }, false},
        {"ACE size zero", [](PACL acl) { reinterpret_cast<PACE_HEADER>(acl + 1)->AceSize = 0; }, true},
        {"ACE past the end", [](PACL acl) { reinterpret_cast<PACE_HEADER>(acl + 1)->AceSize = 0x400; }, true},
        {"SID with 200 sub-authorities",
         [](PACL acl) { reinterpret_cast<PUCHAR>(acl + 1)[9] = 200; }, false},
        {"SID longer than its ACE",
         [](PACL acl) { reinterpret_cast<PUCHAR>(acl + 1)[9] = 3; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<ULONG> acl = fresh();
        auto* raw = reinterpret_cast<PACL>(acl.data());
        ASSERT_TRUE(RtlValidAcl(raw));
        c.Corrupt(raw);
        EXPECT_FALSE(RtlValidAcl(raw));
        PVOID ace = NULL;
        EXPECT_EQ(c.GetAceFails ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, RtlGetAce(raw, 1, &ace));
        EXPECT_EQ(STATUS_INVALID_ACL, RtlAddAccessAllowedAce(raw, ACL_REVISION, DELETE, world.Get()));
    }
}

TEST_F(SidAclTest, GenericRightsAreMappedAndRemoved) {
    ACCESS_MASK mask = GENERIC_READ | DELETE | MAXIMUM_ALLOWED;
    RtlMapGenericMask(&mask, &m_Mapping);
    EXPECT_EQ(ACCESS_MASK(FILE_GENERIC_READ | DELETE | MAXIMUM_ALLOWED), mask);
    mask = GENERIC_ALL | GENERIC_EXECUTE;
    RtlMapGenericMask(&mask, &m_Mapping);
    EXPECT_EQ(ACCESS_MASK(FILE_ALL_ACCESS), mask);

    GENERIC_MAPPING keys = {KEY_READ, KEY_WRITE, KEY_READ, KEY_ALL_ACCESS};
    mask = GENERIC_WRITE;
    RtlMapGenericMask(&mask, &keys);
    EXPECT_EQ(ACCESS_MASK(KEY_WRITE), mask);
}

}  // namespace
}  // namespace setest
