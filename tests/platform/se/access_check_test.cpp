// SeAccessCheck: grants and denials for user-mode subjects.
#include "se_test_support.h"

namespace setest {
namespace {

struct Outcome {
    bool Granted;
    ACCESS_MASK Access;
    NTSTATUS Status;
};

class AccessCheckTest : public SecurityTest {
protected:
    Outcome Check(AbsoluteSd& Sd, plat::Token* Token, ACCESS_MASK Desired, ACCESS_MASK Previous = 0,
                  KPROCESSOR_MODE Mode = UserMode) {
        SECURITY_SUBJECT_CONTEXT subject = Subject(Token);
        Outcome outcome = {false, 0xDEADBEEF, STATUS_PENDING};
        outcome.Granted = SeAccessCheck(Sd.Get(), &subject, FALSE, Desired, Previous, NULL, &m_Mapping, Mode,
                                        &outcome.Access, &outcome.Status) != FALSE;
        EXPECT_EQ(outcome.Granted, NT_SUCCESS(outcome.Status));
        if (!outcome.Granted) {
            EXPECT_EQ(0u, outcome.Access) << "a refused check grants nothing";
        }
        return outcome;
    }

    Sid m_UserSid = UserSid(1001);
};

TEST_F(AccessCheckTest, OwnerImplicitlyHasReadControlAndWriteDac) {
    AbsoluteSd sd;
    sd.Owner(m_UserSid.Get()).Dacl({});
    Outcome owner = Check(sd, m_User, READ_CONTROL | WRITE_DAC);
    EXPECT_TRUE(owner.Granted);
    EXPECT_EQ(ACCESS_MASK(READ_CONTROL | WRITE_DAC), owner.Access);
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(sd, m_User, READ_CONTROL | FILE_READ_DATA).Status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(sd, m_User, WRITE_OWNER).Status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(sd, m_Other, READ_CONTROL).Status);
}

TEST_F(AccessCheckTest, EmptyDaclDeniesEverythingElse) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({});
    for (plat::Token* token : {m_User, m_Admin}) {
        Outcome outcome = Check(sd, token, FILE_READ_ATTRIBUTES);
        EXPECT_FALSE(outcome.Granted);
        EXPECT_EQ(STATUS_ACCESS_DENIED, outcome.Status);
    }
}

TEST_F(AccessCheckTest, NoDaclOrNullDaclGrantsEverything) {
    AbsoluteSd none;
    none.Owner(SeExports->SeLocalSystemSid);
    AbsoluteSd nullDacl;
    nullDacl.Owner(SeExports->SeLocalSystemSid).NullDacl();
    for (AbsoluteSd* sd : {&none, &nullDacl}) {
        Outcome write = Check(*sd, m_Other, FILE_WRITE_DATA | DELETE);
        EXPECT_TRUE(write.Granted);
        EXPECT_EQ(ACCESS_MASK(FILE_WRITE_DATA | DELETE), write.Access);
        Outcome maximum = Check(*sd, m_Other, MAXIMUM_ALLOWED);
        EXPECT_TRUE(maximum.Granted);
        EXPECT_EQ(ACCESS_MASK(FILE_ALL_ACCESS), maximum.Access);
    }
}

TEST_F(AccessCheckTest, DenyBeforeAllowWinsAndOrderMatters) {
    AbsoluteSd denyFirst;
    denyFirst.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Deny(m_UserSid.Get(), FILE_WRITE_DATA), Allow(SeExports->SeWorldSid, FILE_ALL_ACCESS)});
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(denyFirst, m_User, FILE_WRITE_DATA | FILE_READ_DATA).Status);
    EXPECT_TRUE(Check(denyFirst, m_User, FILE_READ_DATA).Granted);
    EXPECT_TRUE(Check(denyFirst, m_Other, FILE_WRITE_DATA).Granted);

    // Once an allow ACE has granted the right, a later deny ACE does not take it back.
    AbsoluteSd allowFirst;
    allowFirst.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Allow(SeExports->SeWorldSid, FILE_ALL_ACCESS), Deny(m_UserSid.Get(), FILE_WRITE_DATA)});
    EXPECT_TRUE(Check(allowFirst, m_User, FILE_WRITE_DATA).Granted);
}

TEST_F(AccessCheckTest, RightsAddUpAcrossAcesAndGroups) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Allow(SeExports->SeAliasUsersSid, FILE_READ_DATA), Allow(m_UserSid.Get(), FILE_WRITE_DATA),
               Allow(SeExports->SeAliasAdminsSid, DELETE)});
    EXPECT_TRUE(Check(sd, m_User, FILE_READ_DATA | FILE_WRITE_DATA).Granted);
    EXPECT_FALSE(Check(sd, m_Other, FILE_READ_DATA | FILE_WRITE_DATA).Granted);
    EXPECT_FALSE(Check(sd, m_User, DELETE).Granted);
    EXPECT_TRUE(Check(sd, m_Admin, DELETE | FILE_READ_DATA).Granted);
}

TEST_F(AccessCheckTest, GenericDesiredAccessIsMapped) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(m_UserSid.Get(), FILE_GENERIC_READ)});
    Outcome read = Check(sd, m_User, GENERIC_READ);
    EXPECT_TRUE(read.Granted);
    EXPECT_EQ(ACCESS_MASK(FILE_GENERIC_READ), read.Access);
    EXPECT_FALSE(Check(sd, m_User, GENERIC_WRITE).Granted);
    EXPECT_FALSE(Check(sd, m_User, GENERIC_ALL).Granted);
}

// The work folder's ACE holds GENERIC_ALL | MAXIMUM_ALLOWED for Everyone.
TEST_F(AccessCheckTest, GenericRightsInAnAceGrantTheirMappedRights) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Allow(SeExports->SeWorldSid, GENERIC_ALL | MAXIMUM_ALLOWED,
                     OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)});
    EXPECT_TRUE(Check(sd, m_Other, FILE_WRITE_DATA | DELETE | WRITE_DAC).Granted);
    Outcome maximum = Check(sd, m_Other, MAXIMUM_ALLOWED);
    EXPECT_EQ(ACCESS_MASK(FILE_ALL_ACCESS), maximum.Access);
    // A generic right in an ACE never grants the right to the system ACL.
    EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD, Check(sd, m_Other, ACCESS_SYSTEM_SECURITY).Status);
}

TEST_F(AccessCheckTest, PreviouslyGrantedAccessNeedsNoNewGrant) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(m_UserSid.Get(), FILE_READ_DATA)});
    EXPECT_FALSE(Check(sd, m_User, FILE_READ_DATA | FILE_WRITE_DATA).Granted);
    Outcome outcome = Check(sd, m_User, FILE_READ_DATA | FILE_WRITE_DATA, FILE_WRITE_DATA | SYNCHRONIZE);
    EXPECT_TRUE(outcome.Granted);
    EXPECT_EQ(ACCESS_MASK(FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE), outcome.Access);

    // Nothing asked: success only when something was granted before.
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(sd, m_User, 0).Status);
    Outcome nothing = Check(sd, m_User, 0, READ_CONTROL);
    EXPECT_TRUE(nothing.Granted);
    EXPECT_EQ(ACCESS_MASK(READ_CONTROL), nothing.Access);
}

TEST_F(AccessCheckTest, InheritOnlyAcesAreSkipped) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Deny(m_UserSid.Get(), FILE_READ_DATA, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE),
               Allow(m_UserSid.Get(), FILE_WRITE_DATA, INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE),
               Allow(m_UserSid.Get(), FILE_READ_DATA)});
    EXPECT_TRUE(Check(sd, m_User, FILE_READ_DATA).Granted);
    EXPECT_FALSE(Check(sd, m_User, FILE_WRITE_DATA).Granted);
}

TEST_F(AccessCheckTest, MaximumAllowedCollectsWhatIsNotDenied) {
    AbsoluteSd sd;
    sd.Owner(m_UserSid.Get())
        .Dacl({Deny(m_UserSid.Get(), FILE_WRITE_DATA | WRITE_DAC), Allow(SeExports->SeWorldSid, FILE_GENERIC_READ),
               Allow(SeExports->SeAliasUsersSid, FILE_GENERIC_WRITE)});
    Outcome maximum = Check(sd, m_User, MAXIMUM_ALLOWED);
    EXPECT_TRUE(maximum.Granted);
    // The owner's implicit WRITE_DAC survives the deny ACE; FILE_WRITE_DATA does not.
    EXPECT_EQ(ACCESS_MASK((FILE_GENERIC_READ | FILE_GENERIC_WRITE | WRITE_DAC) & ~FILE_WRITE_DATA), maximum.Access);
    EXPECT_FALSE(Check(sd, m_User, MAXIMUM_ALLOWED | FILE_WRITE_DATA).Granted);
    EXPECT_TRUE(Check(sd, m_User, MAXIMUM_ALLOWED | FILE_APPEND_DATA).Granted);

    AbsoluteSd nothing;
    nothing.Owner(SeExports->SeLocalSystemSid).Dacl({Deny(SeExports->SeWorldSid, FILE_ALL_ACCESS)});
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(nothing, m_User, MAXIMUM_ALLOWED).Status);
}

TEST_F(AccessCheckTest, KernelModeIsGrantedEverything) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Deny(SeExports->SeWorldSid, FILE_ALL_ACCESS)});
    Outcome outcome = Check(sd, m_User, GENERIC_WRITE | DELETE, 0, KernelMode);
    EXPECT_TRUE(outcome.Granted);
    EXPECT_EQ(ACCESS_MASK(FILE_GENERIC_WRITE | DELETE), outcome.Access);
    EXPECT_EQ(ACCESS_MASK(FILE_ALL_ACCESS), Check(sd, m_User, MAXIMUM_ALLOWED, 0, KernelMode).Access);
}

TEST_F(AccessCheckTest, PrivilegesGrantSystemSecurityAndOwnership) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({});
    EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD, Check(sd, m_User, ACCESS_SYSTEM_SECURITY).Status);
    // An administrator holds the privileges but must enable them first.
    EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD, Check(sd, m_Admin, ACCESS_SYSTEM_SECURITY).Status);
    EXPECT_EQ(STATUS_ACCESS_DENIED, Check(sd, m_Admin, WRITE_OWNER).Status);
    EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD, plat::TokenEnablePrivilege(m_User, SE_SECURITY_PRIVILEGE, true));
    ASSERT_EQ(STATUS_SUCCESS, plat::TokenEnablePrivilege(m_Admin, SE_SECURITY_PRIVILEGE, true));
    ASSERT_EQ(STATUS_SUCCESS, plat::TokenEnablePrivilege(m_Admin, SE_TAKE_OWNERSHIP_PRIVILEGE, true));

    SECURITY_SUBJECT_CONTEXT subject = Subject(m_Admin);
    PPRIVILEGE_SET privileges = NULL;
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(SeAccessCheck(sd.Get(), &subject, FALSE, ACCESS_SYSTEM_SECURITY | WRITE_OWNER, 0, &privileges,
                              &m_Mapping, UserMode, &granted, &status));
    EXPECT_EQ(ACCESS_MASK(ACCESS_SYSTEM_SECURITY | WRITE_OWNER), granted);
    ASSERT_NE(nullptr, privileges);
    ASSERT_EQ(2u, privileges->PrivilegeCount);
    EXPECT_EQ(ULONG(SE_SECURITY_PRIVILEGE), privileges->Privilege[0].Luid.LowPart);
    EXPECT_EQ(ULONG(SE_TAKE_OWNERSHIP_PRIVILEGE), privileges->Privilege[1].Luid.LowPart);
    EXPECT_EQ(ULONG(SE_PRIVILEGE_USED_FOR_ACCESS), privileges->Privilege[0].Attributes);
    SeFreePrivileges(privileges);

    // The System token has them enabled from the start.
    EXPECT_TRUE(Check(sd, m_System, ACCESS_SYSTEM_SECURITY | WRITE_OWNER).Granted);
}

TEST_F(AccessCheckTest, SubjectWithoutTokenIsRefused) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(SeExports->SeWorldSid, FILE_ALL_ACCESS)});
    SECURITY_SUBJECT_CONTEXT subject = {};
    ACCESS_MASK granted = 1;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(SeAccessCheck(sd.Get(), &subject, FALSE, FILE_READ_DATA, 0, NULL, &m_Mapping, UserMode, &granted,
                               &status));
    EXPECT_EQ(STATUS_NO_TOKEN, status);
}

TEST_F(AccessCheckTest, LockedSubjectContextIsHonoured) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(SeExports->SeWorldSid, FILE_READ_DATA)});
    SECURITY_SUBJECT_CONTEXT subject = Subject(m_User);
    SeLockSubjectContext(&subject);
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(SeAccessCheck(sd.Get(), &subject, TRUE, FILE_READ_DATA, 0, NULL, &m_Mapping, UserMode, &granted,
                              &status));
    SeUnlockSubjectContext(&subject);
    // Enabling a privilege takes the token's lock exclusive: it must be free again.
    EXPECT_EQ(STATUS_SUCCESS, plat::TokenEnablePrivilege(m_User, SE_SHUTDOWN_PRIVILEGE, true));
}

}  // namespace
}  // namespace setest
