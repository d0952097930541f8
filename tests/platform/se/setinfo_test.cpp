// SeSetSecurityDescriptorInfo(Ex): merging parts of a descriptor.
#include "se_test_support.h"

namespace setest {
namespace {

class SetInfoTest : public SecurityTest {
protected:
    void SetUp() override {
        SecurityTest::SetUp();
        m_Object.Owner(m_UserSid.Get())
            .Group(SeExports->SeAliasUsersSid)
            .Dacl({Allow(m_UserSid.Get(), FILE_ALL_ACCESS),
                   Allow(SeExports->SeWorldSid, FILE_GENERIC_READ, INHERITED_ACE)})
            .Sacl({Audit(SeExports->SeWorldSid, DELETE), Label(m_High.Get())})
            .AddControl(SE_DACL_AUTO_INHERITED);
        m_Stored = m_Object.SelfRelative();
    }

    // Merges Change into the stored descriptor; on success *Merged is the new
    // descriptor (pool), which the caller frees.
    NTSTATUS Merge(SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Change, PSECURITY_DESCRIPTOR* Merged,
                   ULONG AutoInheritFlags = 0) {
        PSECURITY_DESCRIPTOR sd = m_Stored.data();
        NTSTATUS status = SeSetSecurityDescriptorInfoEx(NULL, &Information, Change, &sd, AutoInheritFlags,
                                                        NonPagedPool, &m_Mapping);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(m_Stored.data(), sd) << "a failed merge keeps the object's descriptor";
            return status;
        }
        EXPECT_NE(m_Stored.data(), sd);
        EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd, RtlLengthSecurityDescriptor(sd), 0));
        *Merged = sd;
        return status;
    }

    Sid m_UserSid = UserSid(1001);
    Sid m_High = Sid(16, {SECURITY_MANDATORY_HIGH_RID});
    AbsoluteSd m_Object;
    std::vector<UCHAR> m_Stored;
};

TEST_F(SetInfoTest, DaclChangeKeepsOwnerGroupAndSacl) {
    std::vector<UCHAR> before = m_Stored;
    AbsoluteSd change;
    change.Owner(SeExports->SeAliasAdminsSid).Group(SeExports->SeLocalSystemSid)
        .Dacl({Deny(SeExports->SeWorldSid, DELETE)});
    PSECURITY_DESCRIPTOR merged = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Merge(DACL_SECURITY_INFORMATION, change.Get(), &merged));

    EXPECT_TRUE(Sid(OwnerOf(merged)) == m_UserSid);
    EXPECT_TRUE(Sid(GroupOf(merged)) == Sid(SeExports->SeAliasUsersSid));
    EXPECT_EQ(AcesOf(DaclOf(change.Get())), AcesOf(DaclOf(merged)));
    EXPECT_EQ(AcesOf(SaclOf(m_Stored.data())), AcesOf(SaclOf(merged)));
    // The DACL's control bits come with the new DACL: no longer auto-inherited.
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT, ControlOf(merged));
    EXPECT_EQ(before, m_Stored) << "the object's descriptor is not changed in place";
    ExFreePool(merged);
}

// The merged descriptor is laid out exactly as the conversion of its parts
// would lay it out, with nothing left uninitialised (the registry restore
// compares descriptors byte for byte).
TEST_F(SetInfoTest, MergeResultIsCanonical) {
    AbsoluteSd change;
    change.Dacl({Allow(SeExports->SeWorldSid, KEY_READ, CONTAINER_INHERIT_ACE)});
    PSECURITY_DESCRIPTOR merged = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Merge(DACL_SECURITY_INFORMATION, change.Get(), &merged));

    AbsoluteSd expected;
    expected.Owner(m_UserSid.Get())
        .Group(SeExports->SeAliasUsersSid)
        .Dacl({Allow(SeExports->SeWorldSid, KEY_READ, CONTAINER_INHERIT_ACE)})
        .Sacl({Audit(SeExports->SeWorldSid, DELETE), Label(m_High.Get())});
    std::vector<UCHAR> bytes = expected.SelfRelative();
    ASSERT_EQ(bytes.size(), RtlLengthSecurityDescriptor(merged));
    EXPECT_EQ(0, memcmp(bytes.data(), merged, bytes.size()));
    ExFreePool(merged);
}

TEST_F(SetInfoTest, OwnerAndGroupChangesNeedThoseParts) {
    AbsoluteSd change;
    change.Group(SeExports->SeLocalSystemSid);
    PSECURITY_DESCRIPTOR merged = NULL;
    EXPECT_EQ(STATUS_INVALID_OWNER, Merge(OWNER_SECURITY_INFORMATION, change.Get(), &merged));
    AbsoluteSd noGroup;
    noGroup.Owner(m_UserSid.Get());
    EXPECT_EQ(STATUS_INVALID_PRIMARY_GROUP, Merge(GROUP_SECURITY_INFORMATION, noGroup.Get(), &merged));

    ASSERT_EQ(STATUS_SUCCESS, Merge(GROUP_SECURITY_INFORMATION, change.Get(), &merged));
    EXPECT_TRUE(Sid(GroupOf(merged)) == Sid(SeExports->SeLocalSystemSid));
    EXPECT_TRUE(Sid(OwnerOf(merged)) == m_UserSid);
    EXPECT_EQ(AcesOf(DaclOf(m_Stored.data())), AcesOf(DaclOf(merged)));
    ExFreePool(merged);
}

TEST_F(SetInfoTest, DaclCanBeRemovedOrProtected) {
    AbsoluteSd noDacl;
    PSECURITY_DESCRIPTOR merged = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Merge(DACL_SECURITY_INFORMATION, noDacl.Get(), &merged));
    EXPECT_EQ(0, ControlOf(merged) & SE_DACL_PRESENT);
    ExFreePool(merged);

    AbsoluteSd change;
    change.Dacl({Allow(SeExports->SeWorldSid, FILE_READ_DATA)});
    ASSERT_EQ(STATUS_SUCCESS,
              Merge(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, change.Get(), &merged));
    EXPECT_TRUE(ControlOf(merged) & SE_DACL_PROTECTED);
    ExFreePool(merged);
}

TEST_F(SetInfoTest, ObjectDescriptorMustExistAndBeSelfRelative) {
    AbsoluteSd change;
    change.Dacl({});
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR none = NULL;
    EXPECT_EQ(STATUS_NO_SECURITY_ON_OBJECT,
              SeSetSecurityDescriptorInfo(NULL, &info, change.Get(), &none, PagedPool, &m_Mapping));
    PSECURITY_DESCRIPTOR absolute = m_Object.Get();
    EXPECT_EQ(STATUS_BAD_DESCRIPTOR_FORMAT,
              SeSetSecurityDescriptorInfo(NULL, &info, change.Get(), &absolute, PagedPool, &m_Mapping));
    EXPECT_EQ(m_Object.Get(), absolute);
}

// With auto-inheritance requested, the new DACL keeps the ACEs the object
// inherited, after its own explicit ones; the request bit is never stored.
TEST_F(SetInfoTest, AutoInheritKeepsInheritedAces) {
    AbsoluteSd change;
    change.Dacl({Allow(SeExports->SeAliasAdminsSid, FILE_ALL_ACCESS),
                 Allow(SeExports->SeAliasUsersSid, FILE_READ_DATA, INHERITED_ACE)})
        .AddControl(SE_DACL_AUTO_INHERIT_REQ);
    PSECURITY_DESCRIPTOR merged = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Merge(DACL_SECURITY_INFORMATION, change.Get(), &merged, SEF_DACL_AUTO_INHERIT));
    std::vector<AceView> expected = {
        View(0, 0, FILE_ALL_ACCESS, SeExports->SeAliasAdminsSid),
        View(0, INHERITED_ACE, FILE_GENERIC_READ, SeExports->SeWorldSid),
    };
    EXPECT_EQ(expected, AcesOf(DaclOf(merged)));
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED | SE_SACL_PRESENT, ControlOf(merged));
    ExFreePool(merged);

    // Without the flag (the driver's case) the DACL is the modification's, as given.
    ASSERT_EQ(STATUS_SUCCESS, Merge(DACL_SECURITY_INFORMATION, change.Get(), &merged));
    EXPECT_EQ(AcesOf(DaclOf(change.Get())), AcesOf(DaclOf(merged)));
    EXPECT_EQ(0, ControlOf(merged) & (SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED));
    ExFreePool(merged);
}

TEST_F(SetInfoTest, LabelAndAuditAcesChangeSeparately) {
    Sid low(16, {SECURITY_MANDATORY_LOW_RID});
    AbsoluteSd change;
    change.Sacl({Audit(SeExports->SeAliasUsersSid, FILE_WRITE_DATA), Label(low.Get())});

    PSECURITY_DESCRIPTOR merged = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Merge(LABEL_SECURITY_INFORMATION, change.Get(), &merged));
    std::vector<AceView> labelChanged = {
        View(SYSTEM_AUDIT_ACE_TYPE, SUCCESSFUL_ACCESS_ACE_FLAG, DELETE, SeExports->SeWorldSid),
        View(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, low.Get()),
    };
    EXPECT_EQ(labelChanged, AcesOf(SaclOf(merged)));
    ExFreePool(merged);

    ASSERT_EQ(STATUS_SUCCESS, Merge(SACL_SECURITY_INFORMATION, change.Get(), &merged));
    std::vector<AceView> auditChanged = {
        View(SYSTEM_AUDIT_ACE_TYPE, SUCCESSFUL_ACCESS_ACE_FLAG, FILE_WRITE_DATA, SeExports->SeAliasUsersSid),
        View(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, m_High.Get()),
    };
    EXPECT_EQ(auditChanged, AcesOf(SaclOf(merged)));
    ExFreePool(merged);

    ASSERT_EQ(STATUS_SUCCESS, Merge(SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, change.Get(), &merged));
    EXPECT_EQ(AcesOf(SaclOf(change.Get())), AcesOf(SaclOf(merged)));
    ExFreePool(merged);
}

TEST_F(SetInfoTest, AllocationFailureKeepsTheObjectDescriptor) {
    AbsoluteSd change;
    change.Dacl({});
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == plat::kSeDescriptorTag; });
    PSECURITY_DESCRIPTOR merged = NULL;
    NTSTATUS status = Merge(DACL_SECURITY_INFORMATION, change.Get(), &merged);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
}

}  // namespace
}  // namespace setest
