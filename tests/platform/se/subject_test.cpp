// Subject contexts captured from the calling thread: System threads and the
// threads of emulated user processes.
#include "se_test_support.h"

#include "core/kernel.h"
#include "ps/process.h"

namespace setest {
namespace {

class SubjectTest : public SecurityTest {
protected:
    void SetUp() override {
        plat::KernelCreate();
        SecurityTest::SetUp();
        m_Process = plat::ProcessCreate("user.exe", m_User);
        ASSERT_NE(nullptr, m_Process);
    }

    void TearDown() override {
        plat::ProcessTerminate(m_Process);
        ObDereferenceObject(m_Process);
        SecurityTest::TearDown();
        std::vector<std::string> findings = plat::KernelDestroy();
        EXPECT_TRUE(findings.empty()) << findings.front();
    }

    PEPROCESS m_Process = NULL;
};

TEST_F(SubjectTest, SystemThreadsCaptureTheSystemToken) {
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    ASSERT_NE(nullptr, subject.PrimaryToken);
    EXPECT_EQ(nullptr, subject.ClientToken);
    auto* token = static_cast<plat::Token*>(SeQuerySubjectContextToken(&subject));
    EXPECT_TRUE(Sid(plat::TokenUserSid(token)) == Sid(SeExports->SeLocalSystemSid));
    EXPECT_TRUE(SeTokenIsAdmin(token));
    SeReleaseSubjectContext(&subject);
    EXPECT_EQ(nullptr, subject.PrimaryToken);
}

TEST_F(SubjectTest, UserThreadsCaptureTheirProcessToken) {
    SECURITY_SUBJECT_CONTEXT subject;
    {
        plat::UserModeScope scope(m_Process);
        SeCaptureSubjectContext(&subject);
    }
    EXPECT_EQ(m_User, subject.PrimaryToken);
    EXPECT_FALSE(SeTokenIsAdmin(subject.PrimaryToken));

    // The captured context keeps the token alive after its process and the
    // test have let it go.
    SIZE_T tokens = plat::PoolLiveAllocationsWithTag(plat::kSeTokenTag);
    plat::ProcessTerminate(m_Process);
    ObDereferenceObject(m_Process);
    m_Process = plat::ProcessCreate("other.exe", m_Other);
    plat::TokenRelease(m_User);
    m_User = NULL;
    EXPECT_EQ(tokens, plat::PoolLiveAllocationsWithTag(plat::kSeTokenTag));
    EXPECT_TRUE(Sid(plat::TokenUserSid(static_cast<plat::Token*>(subject.PrimaryToken))) == UserSid(1001));
    SeReleaseSubjectContext(&subject);
    EXPECT_EQ(tokens - 1, plat::PoolLiveAllocationsWithTag(plat::kSeTokenTag));
    m_User = plat::TokenCreateUser(1001, false);
}

TEST_F(SubjectTest, AccessCheckUsesTheCapturedIdentity) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(UserSid(1001).Get(), FILE_GENERIC_READ)});
    auto check = [&](ACCESS_MASK desired, KPROCESSOR_MODE mode) {
        SECURITY_SUBJECT_CONTEXT subject;
        SeCaptureSubjectContext(&subject);
        ACCESS_MASK granted = 0;
        NTSTATUS status = STATUS_PENDING;
        BOOLEAN ok = SeAccessCheck(sd.Get(), &subject, FALSE, desired, 0, NULL, &m_Mapping, mode, &granted, &status);
        SeReleaseSubjectContext(&subject);
        return ok != FALSE;
    };
    EXPECT_FALSE(check(FILE_READ_DATA, UserMode));  // System is not named in the DACL
    plat::UserModeScope scope(m_Process);
    EXPECT_TRUE(check(FILE_READ_DATA, UserMode));
    EXPECT_FALSE(check(FILE_WRITE_DATA, UserMode));
    EXPECT_TRUE(check(FILE_WRITE_DATA, KernelMode));
}

TEST_F(SubjectTest, PrivilegeChecksFollowTheCallersToken) {
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeBackupPrivilege, UserMode));  // System
    plat::UserModeScope scope(m_Process);
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeBackupPrivilege, UserMode));
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeBackupPrivilege, KernelMode));
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeChangeNotifyPrivilege, UserMode));
}

TEST_F(SubjectTest, AccessStateCapturesSubjectAndMapsDesiredAccess) {
    plat::UserModeScope scope(m_Process);
    ACCESS_STATE state;
    ASSERT_EQ(STATUS_SUCCESS, SeCreateAccessState(&state, NULL, GENERIC_READ | DELETE, &m_Mapping));
    EXPECT_EQ(ACCESS_MASK(FILE_GENERIC_READ | DELETE), state.OriginalDesiredAccess);
    EXPECT_EQ(state.OriginalDesiredAccess, state.RemainingDesiredAccess);
    EXPECT_EQ(0u, state.PreviouslyGrantedAccess);
    EXPECT_EQ(m_User, state.SubjectSecurityContext.PrimaryToken);
    EXPECT_EQ(ULONG(TOKEN_HAS_TRAVERSE_PRIVILEGE), state.Flags);
    ACCESS_STATE second;
    ASSERT_EQ(STATUS_SUCCESS, SeCreateAccessState(&second, NULL, READ_CONTROL, NULL));
    EXPECT_NE(state.OperationID.LowPart, second.OperationID.LowPart);
    SeDeleteAccessState(&second);
    SeDeleteAccessState(&state);
    EXPECT_EQ(nullptr, state.SubjectSecurityContext.PrimaryToken);
}

// Changing an owner: a user may name only itself, System anyone.
TEST_F(SubjectTest, OwnerChangesAreCheckedAgainstTheCaller) {
    AbsoluteSd object;
    object.Owner(UserSid(1001).Get()).Dacl({});
    std::vector<UCHAR> stored = object.SelfRelative();
    auto setOwner = [&](PSID owner) {
        AbsoluteSd change;
        change.Owner(owner);
        SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION;
        PSECURITY_DESCRIPTOR sd = stored.data();
        NTSTATUS status = SeSetSecurityDescriptorInfo(NULL, &info, change.Get(), &sd, PagedPool, &m_Mapping);
        if (NT_SUCCESS(status)) ExFreePool(sd);
        return status;
    };
    Sid other = UserSid(1002);
    EXPECT_EQ(STATUS_SUCCESS, setOwner(other.Get()));
    plat::UserModeScope scope(m_Process);
    EXPECT_EQ(STATUS_INVALID_OWNER, setOwner(other.Get()));
    EXPECT_EQ(STATUS_INVALID_OWNER, setOwner(SeExports->SeAliasAdminsSid));
    EXPECT_EQ(STATUS_SUCCESS, setOwner(UserSid(1001).Get()));
}

}  // namespace
}  // namespace setest
