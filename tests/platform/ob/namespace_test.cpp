// The object namespace: links, parse procedures, reparse, case, collisions,
// directories and temporary names.
#include <string.h>

#include <vector>

#include "ob/object.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

// A device-like object: its parse procedure records the rest of the name and
// returns the object itself, or answers STATUS_REPARSE with a new name.
struct TestVolume {
    std::vector<WCHAR>* Remaining;
    PCWSTR ReparseTo;      // NULL: no reparse
    int* ParseCalls;
};

NTSTATUS ParseVolume(PVOID ParseObject, plat::ObjectParseRequest* Request, PVOID* Object) {
    auto* volume = static_cast<TestVolume*>(ParseObject);
    *volume->ParseCalls += 1;
    const UNICODE_STRING& rest = Request->RemainingName;
    volume->Remaining->assign(rest.Buffer, rest.Buffer + rest.Length / sizeof(WCHAR));
    if (volume->ReparseTo == nullptr) {
        ObReferenceObject(ParseObject);
        *Object = ParseObject;
        return STATUS_SUCCESS;
    }
    // Replace the complete name with a pool buffer of our own.
    USHORT bytes = static_cast<USHORT>(wcslen(volume->ReparseTo) * sizeof(WCHAR));
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes, 'tseT'));
    memcpy(buffer, volume->ReparseTo, bytes);
    ExFreePool(Request->CompleteName->Buffer);
    Request->CompleteName->Buffer = buffer;
    Request->CompleteName->Length = Request->CompleteName->MaximumLength = bytes;
    return STATUS_REPARSE;
}

plat::ObjectType VolumeType = {L"TestVolume", ParseVolume, nullptr, nullptr, {0, 0, 0, 0x1F01FF}, FALSE};

class NamespaceTest : public KernelTest {
protected:
    PVOID CreateVolume(PCWSTR name, PCWSTR reparseTo = nullptr) {
        UNICODE_STRING path = MakeUnicode(name);
        PVOID body = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, plat::ObCreateObject(&VolumeType, sizeof(TestVolume), &path, nullptr, &body));
        auto* volume = static_cast<TestVolume*>(body);
        volume->Remaining = &Remaining;
        volume->ReparseTo = reparseTo;
        volume->ParseCalls = &ParseCalls;
        ObDereferenceObject(body);  // the namespace keeps it
        return body;
    }
    void Link(PCWSTR name, PCWSTR target) {
        UNICODE_STRING link = MakeUnicode(name);
        UNICODE_STRING to = MakeUnicode(target);
        EXPECT_EQ(STATUS_SUCCESS, plat::ObCreateSymbolicLink(&link, &to));
    }
    NTSTATUS Lookup(PCWSTR name, PVOID* object, ULONG attributes = OBJ_CASE_INSENSITIVE,
                    plat::ObjectType* type = nullptr) {
        UNICODE_STRING path = MakeUnicode(name);
        return plat::ObReferenceObjectByNameEx(&path, nullptr, attributes, type, KernelMode, 0, nullptr, object);
    }
    NTSTATUS LookupStatus(PCWSTR name, ULONG attributes = OBJ_CASE_INSENSITIVE) {
        PVOID object = nullptr;
        NTSTATUS status = Lookup(name, &object, attributes);
        if (NT_SUCCESS(status)) ObDereferenceObject(object);
        return status;
    }
    std::vector<WCHAR> RemainingAfter(PCWSTR name, PVOID expected) {
        PVOID object = nullptr;
        Remaining.assign({L'?'});
        EXPECT_EQ(STATUS_SUCCESS, Lookup(name, &object));
        EXPECT_EQ(expected, object);
        if (object != nullptr) ObDereferenceObject(object);
        return Remaining;
    }
    static std::vector<WCHAR> Chars(PCWSTR text) { return std::vector<WCHAR>(text, text + wcslen(text)); }

    std::vector<WCHAR> Remaining;
    int ParseCalls = 0;
};

TEST_F(NamespaceTest, DriveLetterLinkIsFollowedAsAPrefixAndTheRestGoesToParse) {
    PVOID volume = CreateVolume(L"\\Device\\HarddiskVolume1");
    Link(L"\\??\\C:", L"\\Device\\HarddiskVolume1");
    EXPECT_EQ(Chars(L"\\dir\\file.txt"), RemainingAfter(L"\\??\\C:\\dir\\file.txt", volume));
    EXPECT_EQ(Chars(L"\\x"), RemainingAfter(L"\\DosDevices\\C:\\x", volume));
    EXPECT_EQ(Chars(L""), RemainingAfter(L"\\??\\C:", volume));
}

TEST_F(NamespaceTest, RemainingNameIsPassedVerbatimWithBinaryUnits) {
    PVOID volume = CreateVolume(L"\\Device\\quilt0");
    Link(L"\\Device\\quiltC", L"\\Device\\quilt0");
    const WCHAR name[] = {L'\\', L'D', L'e', L'v', L'i', L'c', L'e', L'\\', L'q', L'u', L'i', L'l', L't', L'C',
                          L'\\', 0x5C, 0x0041, 0x5C00, 0xFFFF, 0};
    std::vector<WCHAR> expected = {L'\\', 0x5C, 0x0041, 0x5C00, 0xFFFF};
    EXPECT_EQ(expected, RemainingAfter(name, volume));
}

TEST_F(NamespaceTest, ReparseRestartsTheLookupWithTheNewName) {
    PVOID second = CreateVolume(L"\\Device\\Second");
    CreateVolume(L"\\Device\\First", L"\\Device\\Second\\moved");
    EXPECT_EQ(Chars(L"\\moved"), RemainingAfter(L"\\Device\\First\\original", second));
    EXPECT_EQ(2, ParseCalls);
}

TEST_F(NamespaceTest, EndlessReparseStopsWithReparsePointNotResolved) {
    CreateVolume(L"\\Device\\Loop", L"\\Device\\Loop\\again");
    EXPECT_EQ(STATUS_REPARSE_POINT_NOT_RESOLVED, LookupStatus(L"\\Device\\Loop\\start"));
    EXPECT_EQ(33, ParseCalls);  // the first walk and 32 restarts
}

TEST_F(NamespaceTest, CaseMattersOnlyWithoutObjCaseInsensitive) {
    PVOID volume = CreateVolume(L"\\Device\\HarddiskVolume2");
    EXPECT_EQ(Chars(L""), RemainingAfter(L"\\DEVICE\\harddiskvolume2", volume));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, LookupStatus(L"\\Device\\HARDDISKVOLUME2", 0));
    EXPECT_EQ(STATUS_SUCCESS, LookupStatus(L"\\Device\\HarddiskVolume2", 0));
}

TEST_F(NamespaceTest, MissingNamesAndBadSyntaxHaveTheirOwnStatuses) {
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, LookupStatus(L"\\Device\\Nothing"));
    EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, LookupStatus(L"\\NoSuchDirectory\\Nothing"));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, LookupStatus(L"Device"));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, LookupStatus(L"\\Device\\"));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, LookupStatus(L"\\Device\\\\x"));
    PVOID root = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Lookup(L"\\", &root));
    EXPECT_EQ(&plat::ObDirectoryType, plat::ObGetObjectType(root));
    ObDereferenceObject(root);
}

TEST_F(NamespaceTest, LinkItselfOpensOnlyWithOpenLinkAndTheLinkType) {
    Link(L"\\??\\Z:", L"\\Device\\Missing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, LookupStatus(L"\\??\\Z:"));
    PVOID link = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Lookup(L"\\??\\Z:", &link, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK,
                                     &plat::ObSymbolicLinkType));
    ObDereferenceObject(link);
    HANDLE handle = nullptr;
    UNICODE_STRING name = MakeUnicode(L"\\??\\Z:");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes));
    WCHAR buffer[64];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(handle, &target, &length));
    EXPECT_EQ(std::vector<WCHAR>(buffer, buffer + target.Length / 2), Chars(L"\\Device\\Missing"));
    UNICODE_STRING small{0, 4, buffer};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQuerySymbolicLinkObject(handle, &small, &length));
    EXPECT_EQ(wcslen(L"\\Device\\Missing") * sizeof(WCHAR), length);
    ZwClose(handle);
    EXPECT_EQ(STATUS_SUCCESS, plat::ObDeleteSymbolicLink(&name));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, LookupStatus(L"\\??\\Z:", OBJ_CASE_INSENSITIVE | OBJ_OPENLINK));
}

class NamedEventTest : public KernelTest {
protected:
    NTSTATUS CreateEvent(PCWSTR name, ULONG attributes, PHANDLE handle, HANDLE root = nullptr) {
        UNICODE_STRING path = MakeUnicode(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &path, attributes, root, nullptr);
        return ZwCreateEvent(handle, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE);
    }
    NTSTATUS OpenEvent(PCWSTR name, PHANDLE handle) {
        UNICODE_STRING path = MakeUnicode(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwOpenEvent(handle, EVENT_ALL_ACCESS, &oa);
    }
    static PVOID Body(HANDLE handle) {
        PVOID body = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &body, nullptr));
        ObDereferenceObject(body);
        return body;
    }
};

TEST_F(NamedEventTest, SecondCreateCollidesUnlessOpenIfAsked) {
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateEvent(L"\\BaseNamedObjects\\Ready", OBJ_CASE_INSENSITIVE, &first));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, CreateEvent(L"\\BaseNamedObjects\\READY", OBJ_CASE_INSENSITIVE, &second));
    ASSERT_EQ(STATUS_OBJECT_NAME_EXISTS,
              CreateEvent(L"\\BaseNamedObjects\\Ready", OBJ_CASE_INSENSITIVE | OBJ_OPENIF, &second));
    EXPECT_EQ(Body(first), Body(second));
    EXPECT_EQ(2u, plat::ObGetHandleCount(Body(first)));
    ZwClose(first);
    ZwClose(second);
}

TEST_F(NamedEventTest, TemporaryNameGoesWithTheLastHandle) {
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateEvent(L"\\BaseNamedObjects\\Temp", 0, &first));
    ASSERT_EQ(STATUS_SUCCESS, OpenEvent(L"\\BaseNamedObjects\\Temp", &second));
    ZwClose(first);
    HANDLE third = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenEvent(L"\\BaseNamedObjects\\Temp", &third));
    ZwClose(second);
    ZwClose(third);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenEvent(L"\\BaseNamedObjects\\Temp", &third));
}

TEST_F(NamedEventTest, PermanentNameStaysUntilMadeTemporary) {
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateEvent(L"\\BaseNamedObjects\\Kept", OBJ_PERMANENT, &handle));
    ZwClose(handle);
    ASSERT_EQ(STATUS_SUCCESS, OpenEvent(L"\\BaseNamedObjects\\Kept", &handle));
    EXPECT_EQ(STATUS_SUCCESS, ZwMakeTemporaryObject(handle));
    ZwClose(handle);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenEvent(L"\\BaseNamedObjects\\Kept", &handle));
}

TEST_F(NamedEventTest, DirectoryRelativeNamesAndDirectoryLifetime) {
    UNICODE_STRING directoryName = MakeUnicode(L"\\Quilt");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &directoryName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE directory = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &oa));
    HANDLE relative = nullptr, absolute = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateEvent(L"Inside", OBJ_CASE_INSENSITIVE, &relative, directory));
    ASSERT_EQ(STATUS_SUCCESS, OpenEvent(L"\\quilt\\inside", &absolute));
    EXPECT_EQ(Body(relative), Body(absolute));
    HANDLE refused = nullptr;
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, CreateEvent(L"\\Inside", 0, &refused, directory));
    ZwClose(relative);
    ZwClose(absolute);
    ZwClose(directory);
    EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, OpenEvent(L"\\Quilt\\Inside", &absolute));
}

TEST_F(NamedEventTest, IoCreateNotificationEventCreatesSignalledThenOpens) {
    UNICODE_STRING name = MakeUnicode(L"\\Device\\PleatStarted");
    HANDLE first = nullptr, second = nullptr;
    PKEVENT event = IoCreateNotificationEvent(&name, &first);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(1, KeReadStateEvent(event));
    KeClearEvent(event);
    EXPECT_EQ(event, IoCreateNotificationEvent(&name, &second));
    EXPECT_EQ(0, KeReadStateEvent(event));  // opened, not re-created
    EXPECT_NE(0u, reinterpret_cast<ULONG_PTR>(first) & 0x80000000u);  // kernel handles
    ZwClose(first);
    ZwClose(second);

    UNICODE_STRING bare = MakeUnicode(L"QuiltBareName");
    HANDLE third = nullptr, fourth = nullptr;
    PKEVENT named = IoCreateSynchronizationEvent(&bare, &third);
    ASSERT_NE(nullptr, named);
    ASSERT_EQ(STATUS_SUCCESS, OpenEvent(L"\\BaseNamedObjects\\QuiltBareName", &fourth));
    EXPECT_EQ(static_cast<PVOID>(named), Body(fourth));
    ZwClose(third);
    ZwClose(fourth);
}

}  // namespace
}  // namespace quilt_test
