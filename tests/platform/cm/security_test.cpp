// Key security: access checks of programs, inheritance by new keys, explicit
// descriptors, and changing a key's descriptor.
#include "registry_test_util.h"

#include <stdlib.h>
#include <unistd.h>

#include "cm/registry.h"
#include "ps/process.h"
#include "se/token.h"

namespace quilt_test {
namespace {

const WCHAR kSoftware[] = L"\\REGISTRY\\MACHINE\\SOFTWARE";

// A program running as an ordinary user (or an administrator).
class UserProcess {
public:
    explicit UserProcess(bool administrator) {
        plat::Token* token = plat::TokenCreateUser(1001, administrator);
        m_Process = plat::ProcessCreate("user.exe", token);
        plat::TokenRelease(token);
    }
    ~UserProcess() {
        plat::ProcessTerminate(m_Process);
        ObDereferenceObject(m_Process);
    }
    PEPROCESS Process() const { return m_Process; }

private:
    PEPROCESS m_Process;
};

NTSTATUS NtOpen(HANDLE* key, const WCHAR* path, ACCESS_MASK access) {
    UNICODE_STRING name = Ustr(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return NtOpenKey(key, access, &attributes);
}

NTSTATUS NtCreate(HANDLE* key, const WCHAR* path, ACCESS_MASK access, PSECURITY_DESCRIPTOR security = nullptr) {
    UNICODE_STRING name = Ustr(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, security);
    return NtCreateKey(key, access, &attributes, 0, nullptr, 0, nullptr);
}

// An absolute descriptor whose DACL allows each listed SID the given rights.
class Descriptor {
public:
    void Allow(ULONG rid1, ULONG rid2, UCHAR count, ACCESS_MASK mask) {
        m_Sids.emplace_back(SECURITY_MAX_SID_SIZE);
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = m_Sids.back().data();
        RtlInitializeSid(sid, &nt, count);
        *RtlSubAuthoritySid(sid, 0) = rid1;
        if (count > 1) *RtlSubAuthoritySid(sid, 1) = rid2;
        m_Masks.push_back(mask);
    }
    PSECURITY_DESCRIPTOR Build() {
        RtlCreateAcl(reinterpret_cast<PACL>(m_Acl), sizeof(m_Acl), ACL_REVISION);
        for (size_t i = 0; i < m_Sids.size(); ++i) {
            RtlAddAccessAllowedAce(reinterpret_cast<PACL>(m_Acl), ACL_REVISION, m_Masks[i], m_Sids[i].data());
        }
        RtlCreateSecurityDescriptor(&m_Descriptor, SECURITY_DESCRIPTOR_REVISION);
        RtlSetDaclSecurityDescriptor(&m_Descriptor, TRUE, reinterpret_cast<PACL>(m_Acl), FALSE);
        return &m_Descriptor;
    }

private:
    std::vector<std::vector<UCHAR>> m_Sids;
    std::vector<ACCESS_MASK> m_Masks;
    alignas(8) UCHAR m_Acl[256];
    SECURITY_DESCRIPTOR m_Descriptor;
};

// Every ACE of the DACL of the key behind Handle, as (flags, mask).
std::vector<std::pair<UCHAR, ACCESS_MASK>> DaclEntries(HANDLE handle) {
    std::vector<std::pair<UCHAR, ACCESS_MASK>> entries;
    PVOID key = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, KEY_READ, *CmKeyObjectType, KernelMode, &key, nullptr))) {
        return entries;
    }
    PSECURITY_DESCRIPTOR security = nullptr;
    BOOLEAN allocated = FALSE;
    if (NT_SUCCESS(ObGetObjectSecurity(key, &security, &allocated)) && security != nullptr) {
        BOOLEAN present = FALSE;
        BOOLEAN defaulted = FALSE;
        PACL dacl = nullptr;
        RtlGetDaclSecurityDescriptor(security, &present, &dacl, &defaulted);
        for (ULONG i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
            PVOID ace = nullptr;
            if (!NT_SUCCESS(RtlGetAce(dacl, i, &ace))) break;
            auto* allowed = static_cast<PACCESS_ALLOWED_ACE>(ace);
            entries.emplace_back(allowed->Header.AceFlags, allowed->Mask);
        }
        ObReleaseObjectSecurity(security, allocated);
    }
    ObDereferenceObject(key);
    return entries;
}

class RegistrySecurityTest : public KernelTest {};

TEST_F(RegistrySecurityTest, AUserWithoutRightsIsDenied) {
    UserProcess user(false);
    plat::UserModeScope scope(user.Process());
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, NtOpen(&key, kSoftware, KEY_WRITE));
    EXPECT_EQ(nullptr, key);
    ASSERT_EQ(STATUS_SUCCESS, NtOpen(&key, kSoftware, KEY_READ));

    // The handle grants what was asked for, and no more.
    UNICODE_STRING name = Ustr(L"Value");
    ULONG data = 1;
    EXPECT_EQ(STATUS_ACCESS_DENIED, NtSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)));
    EXPECT_EQ(STATUS_ACCESS_DENIED, NtDeleteKey(key));
    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS, NtQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &length));
    HANDLE created = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, NtCreate(&created, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Mine", KEY_READ));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(key));

    // Kernel callers on the same thread are not checked.
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, kSoftware, nullptr, KEY_WRITE));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(RegistrySecurityTest, AnAdministratorWritesAndNewKeysInheritTheParentsEntries) {
    UserProcess admin(true);
    plat::UserModeScope scope(admin.Process());
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, NtCreate(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\AdminKey", KEY_ALL_ACCESS));
    UNICODE_STRING name = Ustr(L"Value");
    ULONG data = 1;
    EXPECT_EQ(STATUS_SUCCESS, NtSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)));

    auto entries = DaclEntries(key);
    ASSERT_EQ(3u, entries.size());
    for (const auto& entry : entries) EXPECT_NE(0, entry.first & INHERITED_ACE);
    EXPECT_EQ(static_cast<ACCESS_MASK>(KEY_READ), entries[2].second);
    EXPECT_EQ(STATUS_SUCCESS, NtDeleteKey(key));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(key));
}

TEST_F(RegistrySecurityTest, AnExplicitDescriptorAtCreationIsUsed) {
    Descriptor onlySystem;
    onlySystem.Allow(SECURITY_LOCAL_SYSTEM_RID, 0, 1, KEY_ALL_ACCESS);
    HANDLE key = nullptr;
    UNICODE_STRING name = Ustr(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Private");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, onlySystem.Build());
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
    auto entries = DaclEntries(key);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0, entries[0].first & INHERITED_ACE);
    ZwClose(key);

    UserProcess user(false);
    plat::UserModeScope scope(user.Process());
    EXPECT_EQ(STATUS_ACCESS_DENIED, NtOpen(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Private", KEY_READ));
}

TEST_F(RegistrySecurityTest, ChangingTheDaclChangesWhoMayWriteAndIsSaved) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Shared"));
    Descriptor usersWrite;
    usersWrite.Allow(SECURITY_LOCAL_SYSTEM_RID, 0, 1, KEY_ALL_ACCESS);
    usersWrite.Allow(SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 2, KEY_READ | KEY_WRITE);
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(key, WRITE_DAC, *CmKeyObjectType, KernelMode, &object, nullptr));
    ASSERT_TRUE(plat::RegistryIsKeyObject(object));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistrySetKeySecurity(object, DACL_SECURITY_INFORMATION, usersWrite.Build()));

    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              plat::RegistryQueryKeySecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    std::vector<UCHAR> queried(needed);
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryQueryKeySecurity(object, DACL_SECURITY_INFORMATION, queried.data(),
                                                             needed, &needed));
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(queried.data(), &present, &dacl, &defaulted));
    ASSERT_NE(nullptr, dacl);
    EXPECT_EQ(2u, dacl->AceCount);
    ObDereferenceObject(object);
    // The object header answers the same (ObGetObjectSecurity).
    EXPECT_EQ(2u, DaclEntries(key).size());
    ZwClose(key);

    // Saved with the key, the descriptor comes back with it.
    char pattern[] = "/tmp/quilt-cm-sd-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    std::string file = std::string(pattern) + "/sd.hiv";
    ASSERT_EQ("", plat::RegistrySave(file));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Shared"));
    ASSERT_EQ("", plat::RegistryLoad(file));
    unlink(file.c_str());
    rmdir(pattern);

    UserProcess user(false);
    plat::UserModeScope scope(user.Process());
    ASSERT_EQ(STATUS_SUCCESS, NtOpen(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Shared", KEY_WRITE));
    UNICODE_STRING name = Ustr(L"ByUser");
    ULONG data = 5;
    EXPECT_EQ(STATUS_SUCCESS, NtSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(key));
}

TEST_F(RegistrySecurityTest, TheGenericSecurityRoutinesWorkOnKeyHandles) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Generic"));
    Descriptor usersAll;
    usersAll.Allow(SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 2, KEY_ALL_ACCESS);
    ASSERT_EQ(STATUS_SUCCESS, ZwSetSecurityObject(key, DACL_SECURITY_INFORMATION, usersAll.Build()));
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQuerySecurityObject(key, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_GT(needed, static_cast<ULONG>(sizeof(SECURITY_DESCRIPTOR_RELATIVE)));
    // The registry checks and saves the descriptor the generic routine stored.
    auto entries = DaclEntries(key);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(static_cast<ACCESS_MASK>(KEY_ALL_ACCESS), entries[0].second);
    ZwClose(key);

    UserProcess user(false);
    plat::UserModeScope scope(user.Process());
    ASSERT_EQ(STATUS_SUCCESS, NtOpen(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Generic", KEY_ALL_ACCESS));
    HANDLE child = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, NtCreate(&child, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Generic\\ByUser", KEY_READ));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(child));
    EXPECT_EQ(STATUS_SUCCESS, NtClose(key));
}

}  // namespace
}  // namespace quilt_test
