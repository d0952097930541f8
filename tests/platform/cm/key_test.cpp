// Keys: names and paths, creation and its dispositions, enumeration order,
// deletion, and what handles to deleted keys answer.
#include "registry_test_util.h"

#include "cm/registry.h"
#include "core/kernel.h"

namespace quilt_test {
namespace {

class RegistryKeyTest : public VirtualTimeKernelTest {};

TEST_F(RegistryKeyTest, PredefinedKeysExist) {
    for (const WCHAR* path : {L"\\REGISTRY", L"\\REGISTRY\\MACHINE", L"\\REGISTRY\\MACHINE\\SYSTEM",
                              L"\\REGISTRY\\MACHINE\\SOFTWARE", L"\\REGISTRY\\USER"}) {
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, path));
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    }
}

TEST_F(RegistryKeyTest, PathsIgnoreCaseAndKeepTheCaseOfCreation) {
    HANDLE created = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&created, L"\\REGISTRY\\MACHINE\\SOFTWARE\\MixedCase"));
    HANDLE opened = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&opened, L"\\Registry\\Machine\\software\\MIXEDCASE"));

    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(opened, KeyNameInformation, buffer, sizeof(buffer), &length));
    auto* name = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer);
    EXPECT_EQ(Text(L"\\REGISTRY\\MACHINE\\SOFTWARE\\MixedCase"), Text(name->Name, name->NameLength));
    EXPECT_EQ(FIELD_OFFSET(KEY_NAME_INFORMATION, Name) + name->NameLength, length);

    // One key, not two: a value set through one handle is seen through the other.
    ASSERT_EQ(STATUS_SUCCESS, SetDword(created, L"Shared", 7));
    EXPECT_EQ(STATUS_SUCCESS, QueryValue(opened, L"shared").Status);
    ZwClose(opened);
    ZwClose(created);
}

TEST_F(RegistryKeyTest, CreateReportsDispositionAndNeedsTheParent) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", &disposition));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    ZwClose(key);
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\VENDOR", &disposition));
    EXPECT_EQ(static_cast<ULONG>(REG_OPENED_EXISTING_KEY), disposition);
    ZwClose(key);

    key = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Missing\\Child"));
    EXPECT_EQ(nullptr, key);
    EXPECT_FALSE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Missing"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Absent"));
}

TEST_F(RegistryKeyTest, MalformedNamesAreRefused) {
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\a\\\\b"));
    std::u16string longName(256, u'x');
    std::u16string path = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + longName;
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, CreateKey(&key, W(path)));
    EXPECT_EQ(STATUS_SUCCESS, MakeKey(W(path.substr(0, path.size() - 1))));

    UNICODE_STRING odd = Ustr(L"\\REGISTRY\\MACHINE");
    odd.Length = 3;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &odd, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&key, KEY_READ, &attributes));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&key, KEY_READ, nullptr));
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Link", nullptr, REG_OPTION_CREATE_LINK));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Bad", nullptr, 0x100));
}

TEST_F(RegistryKeyTest, HandleRelativeOpensAndCreates) {
    HANDLE software = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&software, L"\\REGISTRY\\MACHINE\\SOFTWARE"));
    HANDLE child = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, L"Relative\\", &disposition, 0, software));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    HANDLE grandchild = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&grandchild, L"Inner", nullptr, 0, child));
    ZwClose(grandchild);

    HANDLE opened = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&opened, L"relative\\INNER", software));
    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(opened, KeyNameInformation, buffer, sizeof(buffer), &length));
    auto* name = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer);
    EXPECT_EQ(Text(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Relative\\Inner"), Text(name->Name, name->NameLength));
    ZwClose(opened);

    // An empty name below a key opens that key again; a rooted name below a key is bad syntax.
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&opened, L"", child));
    ZwClose(opened);
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, OpenKey(&opened, L"\\Inner", child));
    // A relative name without a root has nothing to be relative to.
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, OpenKey(&opened, L"REGISTRY\\MACHINE"));
    ZwClose(child);
    ZwClose(software);
}

TEST_F(RegistryKeyTest, SubkeysEnumerateInUpperCaseOrder) {
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Order"));
    // Upper-cased, '_' (0x5F) sorts after every letter; lower-cased it would sort before them.
    for (const WCHAR* name : {L"b", L"_x", L"A1", L"a", L"Zeta"}) {
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, name, nullptr, 0, parent));
        ZwClose(child);
    }
    std::vector<std::u16string> expected = {u"a", u"A1", u"b", u"Zeta", u"_x"};
    EXPECT_EQ(expected, SubKeyNames(parent));
    ZwClose(parent);
}

TEST_F(RegistryKeyTest, EnumerationAfterDeletionAtTheSameIndexReturnsTheNextKey) {
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Walk"));
    for (const WCHAR* name : {L"One", L"Three", L"Two"}) {
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, name, nullptr, 0, parent));
        ZwClose(child);
    }

    // Delete every subkey by always reading index 0, as the registry walk does.
    std::vector<std::u16string> seen;
    alignas(8) UCHAR buffer[256];
    for (;;) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer, sizeof(buffer), &length);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(STATUS_SUCCESS, status);
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        seen.push_back(Text(info->Name, info->NameLength));
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, OpenKey(&child, W(seen.back()), parent));
        ASSERT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
        ZwClose(child);
        ASSERT_LE(seen.size(), 3u);
    }
    std::vector<std::u16string> expected = {u"One", u"Three", u"Two"};
    EXPECT_EQ(expected, seen);
    ULONG length = 0;
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(parent, 0, KeyBasicInformation, buffer, sizeof(buffer), &length));
    ZwClose(parent);
}

TEST_F(RegistryKeyTest, DeletingAKeyWithSubkeysIsRefused) {
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Full"));
    ASSERT_EQ(STATUS_SUCCESS, MakeKey(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Full\\Child"));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(parent));
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Full\\Child"));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Full\\Child"));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(parent));
    ZwClose(parent);

    HANDLE root = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&root, L"\\REGISTRY\\MACHINE\\SOFTWARE"));
    // The roots of the hives are never deleted, even when empty.
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(root));
    EXPECT_EQ(STATUS_CANNOT_DELETE, plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE"));
    ZwClose(root);
}

TEST_F(RegistryKeyTest, HandlesOfADeletedKeyAnswerKeyDeleted) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, L"Value", 1));
    HANDLE other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&other, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));
    ASSERT_EQ(STATUS_SUCCESS, ZwDeleteKey(key));

    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    UNICODE_STRING value = Ustr(L"Value");
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(other, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwEnumerateKey(other, 0, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_KEY_DELETED,
              ZwQueryValueKey(other, &value, KeyValuePartialInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_KEY_DELETED,
              ZwEnumerateValueKey(other, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_KEY_DELETED, SetDword(other, L"Value", 2));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwDeleteValueKey(other, &value));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwDeleteKey(other));
    EXPECT_EQ(STATUS_KEY_DELETED, ZwFlushKey(other));
    HANDLE child = nullptr;
    EXPECT_EQ(STATUS_KEY_DELETED, CreateKey(&child, L"Child", nullptr, 0, other));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&child, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));

    // The name is free again: a new key of that name is a different key.
    HANDLE fresh = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&fresh, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", &disposition));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, QueryValue(fresh, L"Value").Status);
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(other, KeyBasicInformation, buffer, sizeof(buffer), &length));
    ZwClose(fresh);
    ZwClose(other);
    ZwClose(key);
}

TEST_F(RegistryKeyTest, VolatileKeysHoldOnlyVolatileChildren) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SYSTEM\\Runtime", nullptr, REG_OPTION_VOLATILE));
    HANDLE child = nullptr;
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE, CreateKey(&child, L"Stable", nullptr, 0, key));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, L"Passing", nullptr, REG_OPTION_VOLATILE, key));
    ZwClose(child);
    ZwClose(key);
}

TEST_F(RegistryKeyTest, WriteTimesComeFromTheKernelClock) {
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Timed"));
    LONGLONG created = plat::ClockNow();
    AdvanceSeconds(60);
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, L"Child", nullptr, 0, parent));

    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(child, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(created + 600000000LL, info->LastWriteTime.QuadPart);
    // Creating a subkey counts as a change of the parent.
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(parent, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(created + 600000000LL, info->LastWriteTime.QuadPart);

    AdvanceSeconds(5);
    ASSERT_EQ(STATUS_SUCCESS, SetDword(child, L"Later", 1));
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(child, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(created + 650000000LL, info->LastWriteTime.QuadPart);
    ZwClose(child);
    ZwClose(parent);
}

TEST_F(RegistryKeyTest, KeyInformationClassesAnswerWithExactLengths) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Info", nullptr, 0, nullptr, L"ClassName"));
    ASSERT_EQ(STATUS_SUCCESS, MakeKey(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Info\\LongerName"));
    ASSERT_EQ(STATUS_SUCCESS, MakeKey(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Info\\S"));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, L"Dword", 1));
    UCHAR blob[40] = {};
    ASSERT_EQ(STATUS_SUCCESS, SetValue(key, L"ValueNameLong", REG_BINARY, blob, sizeof(blob)));

    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &length));
    auto* full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
    EXPECT_EQ(44u, static_cast<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, Class)));
    EXPECT_EQ(44u + 18u, length);
    EXPECT_EQ(44u, full->ClassOffset);
    EXPECT_EQ(18u, full->ClassLength);
    EXPECT_EQ(Text(L"ClassName"), Text(reinterpret_cast<WCHAR*>(buffer + full->ClassOffset), full->ClassLength));
    EXPECT_EQ(2u, full->SubKeys);
    EXPECT_EQ(20u, full->MaxNameLen);
    EXPECT_EQ(2u, full->Values);
    EXPECT_EQ(26u, full->MaxValueNameLen);
    EXPECT_EQ(40u, full->MaxValueDataLen);

    // Node information: the class follows the name at the next ULONG boundary.
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&parent, L"\\REGISTRY\\MACHINE\\SOFTWARE"));
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateKey(parent, 0, KeyNodeInformation, buffer, sizeof(buffer), &length));
    auto* node = reinterpret_cast<PKEY_NODE_INFORMATION>(buffer);
    EXPECT_EQ(Text(L"Info"), Text(node->Name, node->NameLength));
    EXPECT_EQ(24u + 8u, node->ClassOffset);
    EXPECT_EQ(node->ClassOffset + 18u, length);
    EXPECT_EQ(Text(L"ClassName"), Text(reinterpret_cast<WCHAR*>(buffer + node->ClassOffset), node->ClassLength));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(parent, 1, KeyNodeInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwQueryKey(key, KeyCachedInformation, buffer,
                                                   sizeof(buffer), &length));
    ZwClose(parent);
    ZwClose(key);
}

TEST_F(RegistryKeyTest, KeyBufferTooSmallVersusOverflow) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Overflowing"));
    const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    const ULONG full = fixed + 11 * sizeof(WCHAR);

    alignas(8) UCHAR buffer[128];
    memset(buffer, 0xEE, sizeof(buffer));
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryKey(key, KeyBasicInformation, buffer, fixed - 1, &length));
    EXPECT_EQ(full, length);
    EXPECT_EQ(0xEE, buffer[0]);

    length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryKey(key, KeyBasicInformation, buffer, fixed + 4, &length));
    EXPECT_EQ(full, length);
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(22u, info->NameLength);
    EXPECT_EQ(Text(L"Ov"), Text(info->Name, 4));
    EXPECT_EQ(0xEE, buffer[fixed + 4]);

    EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, buffer, full, &length));
    EXPECT_EQ(full, length);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryKey(key, KeyBasicInformation, nullptr, 0, &length));
    EXPECT_EQ(full, length);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), nullptr));
    ZwClose(key);
}

TEST_F(RegistryKeyTest, ANonKeyHandleIsRefused) {
    HANDLE event = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE));
    alignas(8) UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, ZwQueryKey(event, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, ZwDeleteKey(event));
    ZwClose(event);
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwDeleteKey(event));
}

}  // namespace
}  // namespace quilt_test
