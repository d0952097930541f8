// SeAssignSecurity: the descriptor of a new file or directory.
#include "se_test_support.h"

namespace setest {
namespace {

constexpr UCHAR kOI = OBJECT_INHERIT_ACE;
constexpr UCHAR kCI = CONTAINER_INHERIT_ACE;
constexpr UCHAR kNP = NO_PROPAGATE_INHERIT_ACE;
constexpr UCHAR kIO = INHERIT_ONLY_ACE;
constexpr UCHAR kIN = INHERITED_ACE;

// A descriptor handed out by SeAssignSecurity, freed with SeDeassignSecurity.
class Assigned {
public:
    Assigned() = default;
    Assigned(const Assigned&) = delete;
    Assigned& operator=(const Assigned&) = delete;
    ~Assigned() { SeDeassignSecurity(&m_Sd); }
    PSECURITY_DESCRIPTOR* Out() { return &m_Sd; }
    PSECURITY_DESCRIPTOR Get() const { return m_Sd; }

private:
    PSECURITY_DESCRIPTOR m_Sd = NULL;
};

class AssignTest : public SecurityTest {
protected:
    void SetUp() override {
        SecurityTest::SetUp();
        m_Parent.Owner(SeExports->SeAliasAdminsSid)
            .Group(SeExports->SeLocalSystemSid)
            .Dacl({Allow(World(), FILE_GENERIC_READ, kOI | kCI),                   // A
                   Allow(SeExports->SeAliasUsersSid, FILE_GENERIC_WRITE, kOI),     // B
                   Allow(SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS, kCI),       // C
                   Allow(SeExports->SeCreatorOwnerSid, GENERIC_ALL, kOI | kCI | kIO),  // D
                   Allow(SeExports->SeLocalSystemSid, FILE_ALL_ACCESS),           // E
                   Allow(SeExports->SeAuthenticatedUsersSid, FILE_GENERIC_EXECUTE, kCI | kNP)});  // F
    }

    NTSTATUS Create(PSECURITY_DESCRIPTOR Parent, PSECURITY_DESCRIPTOR Explicit, bool Directory, plat::Token* Token,
                    Assigned* Result, ULONG AutoInheritFlags = 0) {
        SECURITY_SUBJECT_CONTEXT subject = Subject(Token);
        NTSTATUS status = SeAssignSecurityEx(Parent, Explicit, Result->Out(), NULL, Directory, AutoInheritFlags,
                                             &subject, &m_Mapping, PagedPool);
        if (NT_SUCCESS(status)) {
            EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(Result->Get(), RtlLengthSecurityDescriptor(Result->Get()),
                                                           OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                               DACL_SECURITY_INFORMATION));
        }
        return status;
    }

    static PSID World() { return SeExports->SeWorldSid; }

    AbsoluteSd m_Parent;
    Sid m_UserSid = UserSid(1001);
};

TEST_F(AssignTest, FileInheritsObjectInheritAcesAsEffectiveAces) {
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), NULL, false, m_User, &file));
    std::vector<AceView> expected = {
        View(0, kIN, FILE_GENERIC_READ, World()),
        View(0, kIN, FILE_GENERIC_WRITE, SeExports->SeAliasUsersSid),
        View(0, kIN, FILE_ALL_ACCESS, m_UserSid.Get()),  // CREATOR OWNER becomes the creator, GENERIC_ALL mapped
    };
    EXPECT_EQ(expected, AcesOf(DaclOf(file.Get())));
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT, ControlOf(file.Get()));
}

TEST_F(AssignTest, DirectoryInheritsForItselfAndForItsChildren) {
    Assigned directory;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), NULL, true, m_User, &directory));
    std::vector<AceView> expected = {
        View(0, kOI | kCI | kIN, FILE_GENERIC_READ, World()),                    // A: applies and propagates
        View(0, kOI | kIO | kIN, FILE_GENERIC_WRITE, SeExports->SeAliasUsersSid),  // B: only for files below
        View(0, kCI | kIN, FILE_ALL_ACCESS, SeExports->SeAliasAdminsSid),       // C
        View(0, kIN, FILE_ALL_ACCESS, m_UserSid.Get()),                         // D split: effective part
        View(0, kOI | kCI | kIO | kIN, GENERIC_ALL, SeExports->SeCreatorOwnerSid),  // D split: kept for children
        View(0, kIN, FILE_GENERIC_EXECUTE, SeExports->SeAuthenticatedUsersSid),  // F: not propagated
    };
    EXPECT_EQ(expected, AcesOf(DaclOf(directory.Get())));
}

TEST_F(AssignTest, GrandchildrenInheritThroughTheDirectory) {
    Assigned directory, file, subdirectory;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), NULL, true, m_User, &directory));
    ASSERT_EQ(STATUS_SUCCESS, Create(directory.Get(), NULL, false, m_Other, &file));
    ASSERT_EQ(STATUS_SUCCESS, Create(directory.Get(), NULL, true, m_Other, &subdirectory));

    Sid other = UserSid(1002);
    std::vector<AceView> fileAces = {
        View(0, kIN, FILE_GENERIC_READ, World()),
        View(0, kIN, FILE_GENERIC_WRITE, SeExports->SeAliasUsersSid),
        View(0, kIN, FILE_ALL_ACCESS, other.Get()),
    };
    EXPECT_EQ(fileAces, AcesOf(DaclOf(file.Get())));

    // NO_PROPAGATE_INHERIT_ACE stopped F at the first level; C keeps going down directories.
    std::vector<AceView> directoryAces = {
        View(0, kOI | kCI | kIN, FILE_GENERIC_READ, World()),
        View(0, kOI | kIO | kIN, FILE_GENERIC_WRITE, SeExports->SeAliasUsersSid),
        View(0, kCI | kIN, FILE_ALL_ACCESS, SeExports->SeAliasAdminsSid),
        View(0, kIN, FILE_ALL_ACCESS, other.Get()),
        View(0, kOI | kCI | kIO | kIN, GENERIC_ALL, SeExports->SeCreatorOwnerSid),
    };
    EXPECT_EQ(directoryAces, AcesOf(DaclOf(subdirectory.Get())));
}

TEST_F(AssignTest, InheritedRightsDecideLaterAccessChecks) {
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), NULL, false, m_Admin, &file));
    auto check = [&](plat::Token* token, ACCESS_MASK desired) {
        SECURITY_SUBJECT_CONTEXT subject = Subject(token);
        ACCESS_MASK granted = 0;
        NTSTATUS status = STATUS_PENDING;
        return SeAccessCheck(file.Get(), &subject, FALSE, desired, 0, NULL, &m_Mapping, UserMode, &granted,
                             &status) != FALSE;
    };
    EXPECT_TRUE(check(m_User, FILE_GENERIC_WRITE));  // B, through the Users group
    EXPECT_FALSE(check(m_User, DELETE));
    EXPECT_TRUE(check(m_Admin, DELETE));              // D, as the creator
    EXPECT_FALSE(check(m_System, DELETE));            // E was not inheritable
}

TEST_F(AssignTest, OwnerAndGroupComeFromTheTokenOrTheExplicitDescriptor) {
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(NULL, NULL, false, m_User, &file));
    EXPECT_TRUE(Sid(OwnerOf(file.Get())) == m_UserSid);
    EXPECT_TRUE(Sid(GroupOf(file.Get())) == Sid(SeExports->SeAliasUsersSid));

    AbsoluteSd admins;
    admins.Owner(SeExports->SeAliasAdminsSid).Group(SeExports->SeLocalSystemSid);
    Assigned byAdmin;
    ASSERT_EQ(STATUS_SUCCESS, Create(NULL, admins.Get(), false, m_Admin, &byAdmin));
    EXPECT_TRUE(Sid(OwnerOf(byAdmin.Get())) == Sid(SeExports->SeAliasAdminsSid));
    EXPECT_TRUE(Sid(GroupOf(byAdmin.Get())) == Sid(SeExports->SeLocalSystemSid));
    EXPECT_EQ(0, ControlOf(byAdmin.Get()) & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED));

    // An ordinary user cannot give an object away, System (restore privilege) can.
    Assigned refused;
    EXPECT_EQ(STATUS_INVALID_OWNER, Create(NULL, admins.Get(), false, m_User, &refused));
    EXPECT_EQ(NULL, refused.Get());
    EXPECT_EQ(STATUS_SUCCESS, Create(NULL, admins.Get(), false, m_User, &refused, SEF_AVOID_OWNER_CHECK));
    Sid other = UserSid(1002);
    AbsoluteSd toOther;
    toOther.Owner(other.Get());
    Assigned byAdmin2, bySystem;
    EXPECT_EQ(STATUS_INVALID_OWNER, Create(NULL, toOther.Get(), false, m_Admin, &byAdmin2));
    ASSERT_EQ(STATUS_SUCCESS, plat::TokenEnablePrivilege(m_Admin, SE_RESTORE_PRIVILEGE, true));
    EXPECT_EQ(STATUS_SUCCESS, Create(NULL, toOther.Get(), false, m_Admin, &byAdmin2));
    EXPECT_EQ(STATUS_SUCCESS, Create(NULL, toOther.Get(), false, m_System, &bySystem));

    // SEF_DEFAULT_OWNER_FROM_PARENT takes the parent's owner instead of the token's.
    Assigned fromParent;
    ASSERT_EQ(STATUS_SUCCESS,
              Create(m_Parent.Get(), NULL, false, m_User, &fromParent, SEF_DEFAULT_OWNER_FROM_PARENT));
    EXPECT_TRUE(Sid(OwnerOf(fromParent.Get())) == Sid(SeExports->SeAliasAdminsSid));
}

TEST_F(AssignTest, ExplicitDaclReplacesInheritance) {
    AbsoluteSd explicitSd;
    explicitSd.Dacl({Deny(World(), DELETE), Allow(m_UserSid.Get(), GENERIC_READ, kOI)})
        .AddControl(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ);
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), explicitSd.Get(), false, m_User, &file));
    // Stored as given (generic rights included); request bits are not stored.
    EXPECT_EQ(AcesOf(DaclOf(explicitSd.Get())), AcesOf(DaclOf(file.Get())));
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED, ControlOf(file.Get()));

    // A defaulted explicit DACL gives way to inheritance.
    AbsoluteSd defaulted;
    defaulted.Dacl({Deny(World(), DELETE)}, TRUE);
    Assigned inherited;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), defaulted.Get(), false, m_User, &inherited));
    EXPECT_EQ(3u, AcesOf(DaclOf(inherited.Get())).size());
}

TEST_F(AssignTest, AutoInheritAppendsInheritedAcesToExplicitOnes) {
    AbsoluteSd explicitSd;
    explicitSd.Dacl({Deny(World(), DELETE), Allow(World(), FILE_READ_DATA, kIN)});
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(m_Parent.Get(), explicitSd.Get(), false, m_User, &file, SEF_DACL_AUTO_INHERIT));
    std::vector<AceView> expected = {
        View(1, 0, DELETE, World()),  // explicit; the explicit descriptor's stale inherited ACE is dropped
        View(0, kIN, FILE_GENERIC_READ, World()),
        View(0, kIN, FILE_GENERIC_WRITE, SeExports->SeAliasUsersSid),
        View(0, kIN, FILE_ALL_ACCESS, m_UserSid.Get()),
    };
    EXPECT_EQ(expected, AcesOf(DaclOf(file.Get())));
    EXPECT_TRUE(ControlOf(file.Get()) & SE_DACL_AUTO_INHERITED);
}

TEST_F(AssignTest, TokenDefaultDaclWhenNothingIsInherited) {
    AbsoluteSd bare;
    bare.Owner(SeExports->SeLocalSystemSid).Dacl({Allow(World(), FILE_ALL_ACCESS)});
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(bare.Get(), NULL, false, m_User, &file));
    std::vector<AceView> expected = {
        View(0, 0, FILE_ALL_ACCESS, m_UserSid.Get()),
        View(0, 0, FILE_ALL_ACCESS, SeExports->SeLocalSystemSid),
    };
    EXPECT_EQ(expected, AcesOf(DaclOf(file.Get())));

    SECURITY_SUBJECT_CONTEXT noToken = {};
    Assigned orphan;
    EXPECT_EQ(STATUS_NO_TOKEN, SeAssignSecurity(NULL, NULL, orphan.Out(), FALSE, &noToken, &m_Mapping, PagedPool));
}

TEST_F(AssignTest, SaclIsInheritedAndAnExplicitOneNeedsThePrivilege) {
    AbsoluteSd parent;
    parent.Owner(SeExports->SeLocalSystemSid)
        .Dacl({Allow(World(), FILE_ALL_ACCESS, kOI | kCI)})
        .Sacl({Audit(World(), GENERIC_WRITE, kOI | SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG)});
    Assigned file;
    ASSERT_EQ(STATUS_SUCCESS, Create(parent.Get(), NULL, false, m_User, &file));
    std::vector<AceView> sacl = {
        View(SYSTEM_AUDIT_ACE_TYPE, kIN | SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG, FILE_GENERIC_WRITE,
             World())};
    EXPECT_EQ(sacl, AcesOf(SaclOf(file.Get())));

    AbsoluteSd withSacl;
    withSacl.Sacl({Audit(World(), DELETE)});
    Assigned refused, allowed;
    EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD, Create(NULL, withSacl.Get(), false, m_User, &refused));
    EXPECT_EQ(STATUS_SUCCESS, Create(NULL, withSacl.Get(), false, m_System, &allowed));
}

TEST_F(AssignTest, AllocationFailureIsReported) {
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == plat::kSeDescriptorTag; });
    Assigned file;
    NTSTATUS status = Create(m_Parent.Get(), NULL, false, m_User, &file);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    EXPECT_EQ(NULL, file.Get());
}

}  // namespace
}  // namespace setest
