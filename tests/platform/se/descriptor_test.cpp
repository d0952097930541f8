// Security descriptors: both forms, conversions, lengths, queries and the
// refusal of malformed self-relative descriptors.
#include "se_test_support.h"

namespace setest {
namespace {

using DescriptorTest = SecurityTest;

// The work folder's descriptor: absolute, revision 1, a 256-byte DACL present
// and not defaulted, SE_DACL_AUTO_INHERIT_REQ added.
TEST_F(DescriptorTest, WorkFolderDescriptorIsBuiltAndMeasured) {
    alignas(ULONG) UCHAR aclBuffer[256];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                       GENERIC_ALL | MAXIMUM_ALLOWED, SeExports->SeWorldSid));
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(STATUS_UNKNOWN_REVISION, RtlCreateSecurityDescriptor(&sd, 2));
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE));
    sd.Control |= SE_DACL_AUTO_INHERIT_REQ;

    EXPECT_EQ(SE_DACL_PRESENT | SE_DACL_AUTO_INHERIT_REQ, sd.Control);
    EXPECT_TRUE(RtlValidSecurityDescriptor(&sd));
    EXPECT_EQ(20u + 256u, RtlLengthSecurityDescriptor(&sd));

    BOOLEAN present = FALSE, defaulted = TRUE;
    PACL read = NULL;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(&sd, &present, &read, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(acl, read);
}

TEST_F(DescriptorTest, AbsoluteAndSelfRelativeFormsRoundTrip) {
    Sid owner = UserSid(1001);
    AbsoluteSd sd;
    sd.Owner(owner.Get())
        .Group(SeExports->SeAliasUsersSid)
        .Dacl({Allow(SeExports->SeWorldSid, FILE_GENERIC_READ, OBJECT_INHERIT_ACE),
               Deny(owner.Get(), DELETE)})
        .Sacl({Audit(SeExports->SeWorldSid, FILE_WRITE_DATA)})
        .AddControl(SE_DACL_PROTECTED);
    std::vector<UCHAR> relative = sd.SelfRelative();
    PSECURITY_DESCRIPTOR rel = relative.data();

    auto* header = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(rel);
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED, header->Control);
    for (ULONG offset : {header->Owner, header->Group, header->Dacl, header->Sacl}) {
        EXPECT_GE(offset, 20u);
        EXPECT_EQ(0u, offset % 4);
        EXPECT_LT(offset, relative.size());
    }
    EXPECT_EQ(relative.size(), RtlLengthSecurityDescriptor(rel));
    EXPECT_EQ(relative.size(), RtlLengthSecurityDescriptor(sd.Get()));
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(rel, ULONG(relative.size()),
                                                   OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION));
    EXPECT_TRUE(Sid(OwnerOf(rel)) == owner);
    EXPECT_EQ(AcesOf(DaclOf(sd.Get())), AcesOf(DaclOf(rel)));
    EXPECT_EQ(AcesOf(SaclOf(sd.Get())), AcesOf(SaclOf(rel)));

    // Back to absolute: the first call only measures.
    SECURITY_DESCRIPTOR absolute;
    ULONG absSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, RtlSelfRelativeToAbsoluteSD(rel, NULL, &absSize, NULL, &daclSize, NULL,
                                                                   &saclSize, NULL, &ownerSize, NULL, &groupSize));
    EXPECT_EQ(sizeof(SECURITY_DESCRIPTOR), absSize);
    EXPECT_EQ(DaclOf(rel)->AclSize, daclSize);
    EXPECT_EQ(RtlLengthSid(owner.Get()), ownerSize);
    std::vector<ULONG> dacl(daclSize / 4), sacl(saclSize / 4), ownerCopy(ownerSize / 4), group(groupSize / 4);
    ASSERT_EQ(STATUS_SUCCESS,
              RtlSelfRelativeToAbsoluteSD(rel, &absolute, &absSize, reinterpret_cast<PACL>(dacl.data()), &daclSize,
                                          reinterpret_cast<PACL>(sacl.data()), &saclSize, ownerCopy.data(),
                                          &ownerSize, group.data(), &groupSize));
    EXPECT_EQ(reinterpret_cast<PACL>(dacl.data()), absolute.Dacl);
    EXPECT_EQ(SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED, absolute.Control);

    ULONG againLength = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&absolute, NULL, &againLength));
    std::vector<UCHAR> again(againLength);
    ASSERT_EQ(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&absolute, again.data(), &againLength));
    EXPECT_EQ(relative, again);
}

TEST_F(DescriptorTest, ConversionsCheckTheFormTheyAreGiven) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid);
    std::vector<UCHAR> relative = sd.SelfRelative();
    ULONG length = 4;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(sd.Get(), relative.data(), &length));
    EXPECT_EQ(relative.size(), length);
    EXPECT_EQ(STATUS_BAD_DESCRIPTOR_FORMAT, RtlAbsoluteToSelfRelativeSD(relative.data(), NULL, &length));
    ULONG size = 0;
    EXPECT_EQ(STATUS_BAD_DESCRIPTOR_FORMAT,
              RtlSelfRelativeToAbsoluteSD(sd.Get(), NULL, &size, NULL, &size, NULL, &size, NULL, &size, NULL, &size));

    // RtlMakeSelfRelativeSD takes either form.
    std::vector<UCHAR> copy(relative.size());
    length = ULONG(copy.size());
    ASSERT_EQ(STATUS_SUCCESS, RtlMakeSelfRelativeSD(relative.data(), copy.data(), &length));
    EXPECT_EQ(relative, copy);
}

TEST_F(DescriptorTest, SetRoutinesRefuseSelfRelativeDescriptors) {
    AbsoluteSd sd;
    std::vector<UCHAR> relative = sd.SelfRelative();
    PSECURITY_DESCRIPTOR rel = relative.data();
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, RtlSetDaclSecurityDescriptor(rel, TRUE, NULL, FALSE));
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, RtlSetOwnerSecurityDescriptor(rel, SeExports->SeWorldSid, FALSE));
    static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(rel)->Revision = 2;
    PSID owner = NULL;
    BOOLEAN defaulted = FALSE;
    EXPECT_EQ(STATUS_UNKNOWN_REVISION, RtlGetOwnerSecurityDescriptor(rel, &owner, &defaulted));
}

TEST_F(DescriptorTest, NullDaclAndAbsentDaclStayDistinct) {
    AbsoluteSd nullDacl;
    nullDacl.NullDacl();
    std::vector<UCHAR> relative = nullDacl.SelfRelative();
    BOOLEAN present = FALSE, defaulted = TRUE;
    PACL acl = reinterpret_cast<PACL>(1);
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(relative.data(), &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(NULL, acl);

    AbsoluteSd noDacl;
    relative = noDacl.SelfRelative();
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(relative.data(), &present, &acl, &defaulted));
    EXPECT_FALSE(present);
}

// A self-relative descriptor whose parts do not follow one another still has
// all its bytes counted, so that copying RtlLengthSecurityDescriptor bytes
// copies every part.
TEST_F(DescriptorTest, LengthCoversPartsThatAreNotPacked) {
    std::vector<ULONG> storage(32, 0);
    auto* sd = reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(storage.data());
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptorRelative(sd, SECURITY_DESCRIPTOR_REVISION));
    sd->Owner = 64;  // a 44-byte gap after the header
    RtlCopySid(16, reinterpret_cast<PUCHAR>(sd) + 64, SeExports->SeAliasAdminsSid);
    EXPECT_EQ(80u, RtlLengthSecurityDescriptor(sd));
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd, 80, OWNER_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd, 79, 0));
}

// Every corruption of a self-relative descriptor is refused by the checks
// with a length and by the routines that take the descriptor, never with a
// crash.
TEST_F(DescriptorTest, MalformedSelfRelativeDescriptorsAreRefused) {
    AbsoluteSd source;
    source.Owner(SeExports->SeLocalSystemSid)
        .Group(SeExports->SeAliasAdminsSid)
        .Dacl({Allow(SeExports->SeWorldSid, FILE_GENERIC_READ)});
    const std::vector<UCHAR> good = source.SelfRelative();
    const ULONG length = ULONG(good.size());

    using Rel = PISECURITY_DESCRIPTOR_RELATIVE;
    struct Case {
        const char* Name;
        void (*Corrupt)(Rel Sd, ULONG Length);
        bool StructureBroken;  // also refused without a length
    };
    const Case cases[] = {
        {"revision 0", [](Rel sd, ULONG) { sd->Revision = 0; }, true},
        // The header's own bytes, read as a SID, would pass for one here.
        {"owner inside the header",
         [](Rel sd, ULONG) {
             sd->Sacl = 0x0101;  // ignored as a SACL: SE_SACL_PRESENT is clear
             sd->Owner = FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Sacl);
         },
         true},
        {"owner not aligned", [](Rel sd, ULONG) { sd->Owner += 2; }, true},
        {"owner past the end", [](Rel sd, ULONG length) { sd->Owner = length; }, false},
        {"owner offset huge", [](Rel sd, ULONG) { sd->Owner = 0xFFFFFFF0; }, false},
        {"DACL runs past the end",
         [](Rel sd, ULONG length) { sd->Dacl = length - 8; }, false},
        {"DACL with a bad ACE",
         [](Rel sd, ULONG) { reinterpret_cast<PUCHAR>(sd)[sd->Dacl + 8 + 2] = 0; }, true},
        {"group SID with 100 sub-authorities",
         [](Rel sd, ULONG) { reinterpret_cast<PUCHAR>(sd)[sd->Group + 1] = 100; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<UCHAR> bytes(good);
        bytes.resize(bytes.size() + 16, 0);  // keep reads within the buffer even where the length is unknown
        auto* sd = reinterpret_cast<Rel>(bytes.data());
        c.Corrupt(sd, length);
        EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd, length, 0));
        EXPECT_FALSE(SeValidSecurityDescriptor(length, sd));
        if (!c.StructureBroken) continue;

        EXPECT_FALSE(RtlValidSecurityDescriptor(sd));
        SECURITY_SUBJECT_CONTEXT subject = Subject(m_User);
        ACCESS_MASK granted = 1;
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_FALSE(SeAccessCheck(sd, &subject, FALSE, FILE_READ_DATA, 0, NULL, &m_Mapping, UserMode, &granted,
                                   &status));
        EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, status);
        EXPECT_EQ(0u, granted);

        PSECURITY_DESCRIPTOR created = NULL;
        EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR,
                  SeAssignSecurity(sd, NULL, &created, FALSE, &subject, &m_Mapping, PagedPool));
        EXPECT_EQ(NULL, created);

        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
        std::vector<UCHAR> object(good);
        PSECURITY_DESCRIPTOR objectSd = object.data();
        EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR,
                  SeSetSecurityDescriptorInfo(NULL, &info, sd, &objectSd, PagedPool, &m_Mapping));
        EXPECT_EQ(object.data(), objectSd);
    }
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(const_cast<UCHAR*>(good.data()), 19, 0));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(const_cast<UCHAR*>(good.data()), length,
                                                    SACL_SECURITY_INFORMATION));
}

TEST_F(DescriptorTest, QueryReturnsTheRequestedParts) {
    AbsoluteSd sd;
    sd.Owner(SeExports->SeLocalSystemSid)
        .Group(SeExports->SeAliasAdminsSid)
        .Dacl({Allow(SeExports->SeWorldSid, FILE_GENERIC_READ)})
        .Sacl({Audit(SeExports->SeWorldSid, DELETE), Label(Sid(16, {SECURITY_MANDATORY_HIGH_RID}).Get())})
        .AddControl(SE_DACL_AUTO_INHERITED);
    std::vector<UCHAR> stored = sd.SelfRelative();
    PSECURITY_DESCRIPTOR object = stored.data();

    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    ULONG needed = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL, SeQuerySecurityDescriptorInfo(&info, NULL, &needed, &object));
    std::vector<UCHAR> answer(needed);
    ULONG length = needed;
    ASSERT_EQ(STATUS_SUCCESS, SeQuerySecurityDescriptorInfo(&info, answer.data(), &length, &object));
    EXPECT_EQ(needed, length);
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED, ControlOf(answer.data()));
    EXPECT_EQ(NULL, OwnerOf(answer.data()));
    EXPECT_EQ(AcesOf(DaclOf(object)), AcesOf(DaclOf(answer.data())));

    // The label alone comes as a SACL holding only the label ACE.
    info = LABEL_SECURITY_INFORMATION;
    answer.assign(256, 0);
    length = 256;
    ASSERT_EQ(STATUS_SUCCESS, SeQuerySecurityDescriptorInfo(&info, answer.data(), &length, &object));
    std::vector<AceView> aces = AcesOf(SaclOf(answer.data()));
    ASSERT_EQ(1u, aces.size());
    EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, aces[0].Type);

    info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
           SACL_SECURITY_INFORMATION;
    length = 256;
    ASSERT_EQ(STATUS_SUCCESS, SeQuerySecurityDescriptorInfo(&info, answer.data(), &length, &object));
    EXPECT_EQ(stored.size(), length);
    EXPECT_EQ(0, memcmp(stored.data(), answer.data(), length));

    PSECURITY_DESCRIPTOR none = NULL;
    length = 256;
    ASSERT_EQ(STATUS_SUCCESS, SeQuerySecurityDescriptorInfo(&info, answer.data(), &length, &none));
    EXPECT_EQ(20u, length);
}

}  // namespace
}  // namespace setest
