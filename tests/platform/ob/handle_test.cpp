// Handles, references, type procedures and object security.
#include <string.h>

#include "ob/object.h"
#include "ps/process.h"
#include "support/kernel_fixture.h"

namespace quilt_test {
namespace {

struct ProcedureLog {
    std::vector<ULONG> CloseCounts;
    int Deletes = 0;
};

ProcedureLog* g_Log = nullptr;

VOID CloseCounted(PVOID, ULONG HandleCount, PVOID) {
    g_Log->CloseCounts.push_back(HandleCount);
}

VOID DeleteCounted(PVOID) {
    g_Log->Deletes += 1;
}

plat::ObjectType CountedType = {L"Counted", nullptr, CloseCounted, DeleteCounted, {1, 2, 4, 7}, FALSE};

class HandleTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_Log = &Log;
    }
    void TearDown() override {
        KernelTest::TearDown();
        g_Log = nullptr;
    }
    HANDLE CreateEvent(ACCESS_MASK access, ULONG attributes = 0) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, attributes, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, NtCreateEvent(&handle, access, &oa, NotificationEvent, FALSE));
        return handle;
    }
    static NTSTATUS Reference(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode,
                              POBJECT_TYPE type = *ExEventObjectType) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, access, type, mode, &object, nullptr);
        if (NT_SUCCESS(status)) ObDereferenceObject(object);
        return status;
    }

    ProcedureLog Log;
};

TEST_F(HandleTest, CloseProcedureSeesTheCountLeftAndDeleteRunsWithTheLastReference) {
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::ObCreateObject(&CountedType, 16, nullptr, nullptr, &object));
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::ObInsertHandle(object, 7, OBJ_KERNEL_HANDLE, KernelMode, &first));
    ASSERT_EQ(STATUS_SUCCESS, plat::ObInsertHandle(object, 7, 0, KernelMode, &second));
    EXPECT_EQ(2u, plat::ObGetHandleCount(object));
    EXPECT_EQ(3, plat::ObGetReferenceCount(object));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(first));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(second));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(second));
    EXPECT_EQ((std::vector<ULONG>{1, 0}), Log.CloseCounts);
    EXPECT_EQ(0, Log.Deletes);
    ObReferenceObject(object);
    EXPECT_EQ(1, ObDereferenceObject(object));
    EXPECT_EQ(0, ObDereferenceObject(object));
    EXPECT_EQ(1, Log.Deletes);
}

TEST_F(HandleTest, TypeMismatchAndInvalidHandles) {
    HANDLE handle = CreateEvent(EVENT_ALL_ACCESS);
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, Reference(handle, 0, KernelMode, *PsThreadType));
    EXPECT_EQ(STATUS_SUCCESS, Reference(handle, 0, KernelMode, nullptr));
    EXPECT_EQ(STATUS_INVALID_HANDLE, Reference(reinterpret_cast<HANDLE>(0x7770), 0, KernelMode));
    EXPECT_EQ(STATUS_INVALID_HANDLE, Reference(reinterpret_cast<HANDLE>(3), 0, KernelMode));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(STATUS_INVALID_HANDLE, Reference(handle, 0, KernelMode));
    EXPECT_EQ(STATUS_SUCCESS, Reference(NtCurrentProcess(), 0, KernelMode, *PsProcessType));
    EXPECT_EQ(STATUS_SUCCESS, Reference(NtCurrentThread(), 0, KernelMode, *PsThreadType));
}

TEST_F(HandleTest, UserModeReferencesAreCheckedAgainstTheGrantedAccess) {
    PEPROCESS process = plat::ProcessCreate("user.exe", nullptr);
    ASSERT_NE(nullptr, process);
    {
        plat::UserModeScope scope(process);
        HANDLE handle = CreateEvent(EVENT_QUERY_STATE | SYNCHRONIZE);
        EXPECT_EQ(STATUS_SUCCESS, Reference(handle, EVENT_QUERY_STATE, UserMode));
        EXPECT_EQ(STATUS_ACCESS_DENIED, Reference(handle, EVENT_MODIFY_STATE, UserMode));
        EXPECT_EQ(STATUS_ACCESS_DENIED, Reference(handle, GENERIC_WRITE, UserMode));
        EXPECT_EQ(STATUS_SUCCESS, Reference(handle, EVENT_MODIFY_STATE, KernelMode));
        EXPECT_EQ(STATUS_ACCESS_DENIED, NtSetEvent(handle, nullptr));
        LARGE_INTEGER zero = Timeout(0);
        EXPECT_EQ(STATUS_TIMEOUT, NtWaitForSingleObject(handle, FALSE, &zero));
        EXPECT_EQ(STATUS_SUCCESS, NtClose(handle));
    }
    plat::ProcessTerminate(process);
    ObDereferenceObject(process);
}

TEST_F(HandleTest, KernelHandlesWorkFromEveryProcessButOnlyInKernelMode) {
    HANDLE kernel = CreateEvent(EVENT_ALL_ACCESS, OBJ_KERNEL_HANDLE);
    HANDLE system = CreateEvent(EVENT_ALL_ACCESS);
    EXPECT_NE(0u, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(kernel)) & 0x80000000u);
    EXPECT_EQ(0u, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(system)) & 0x80000000u);
    PEPROCESS process = plat::ProcessCreate("user.exe", nullptr);
    {
        plat::UserModeScope scope(process);
        EXPECT_EQ(STATUS_SUCCESS, Reference(kernel, EVENT_ALL_ACCESS, KernelMode));
        EXPECT_EQ(STATUS_INVALID_HANDLE, Reference(kernel, 0, UserMode));
        EXPECT_EQ(STATUS_INVALID_HANDLE, NtClose(kernel));
        EXPECT_EQ(STATUS_INVALID_HANDLE, Reference(system, 0, KernelMode));  // another process's table
    }
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(kernel));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(system));
    plat::ProcessTerminate(process);
    ObDereferenceObject(process);
}

TEST_F(HandleTest, AttachingToAProcessReachesItsHandleTable) {
    PEPROCESS process = plat::ProcessCreate("owner.exe", nullptr);
    HANDLE foreign = nullptr;
    {
        plat::UserModeScope scope(process);
        foreign = CreateEvent(EVENT_ALL_ACCESS);
    }
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(foreign));
    KAPC_STATE state;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(process), &state);
    EXPECT_EQ(process, PsGetCurrentProcess());
    HANDLE created = CreateEvent(EVENT_ALL_ACCESS);  // lands in the attached process
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(foreign));
    KeUnstackDetachProcess(&state);
    EXPECT_EQ(plat::SystemProcess(), PsGetCurrentProcess());
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(created));
    plat::ProcessTerminate(process);  // closes `created`
    ObDereferenceObject(process);
}

TEST_F(HandleTest, ObjectSecurityIsASelfRelativeCopyOfTheCreatorsDescriptor) {
    UCHAR sidBuffer[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlSetOwnerSecurityDescriptor(&absolute, sidBuffer, FALSE));
    UNICODE_STRING name = MakeUnicode(L"\\BaseNamedObjects\\Secured");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, 0, nullptr, &absolute);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateEvent(&handle, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE));
    memset(sidBuffer, 0, sizeof(sidBuffer));  // the object keeps its own copy

    PVOID event = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &event, nullptr));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOLEAN allocated = FALSE;
    ASSERT_EQ(STATUS_SUCCESS, ObGetObjectSecurity(event, &descriptor, &allocated));
    ASSERT_NE(nullptr, descriptor);
    auto* relative = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(descriptor);
    EXPECT_NE(0, relative->Control & SE_SELF_RELATIVE);
    ASSERT_NE(0u, relative->Owner);
    const UCHAR expectedSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(0, memcmp(static_cast<PUCHAR>(descriptor) + relative->Owner, expectedSid, sizeof(expectedSid)));
    ObReleaseObjectSecurity(descriptor, allocated);
    ObDereferenceObject(event);
    ZwClose(handle);

    HANDLE plain = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateEvent(&plain, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE));
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(plain, 0, nullptr, KernelMode, &event, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, ObGetObjectSecurity(event, &descriptor, &allocated));
    EXPECT_EQ(nullptr, descriptor);
    ObReleaseObjectSecurity(descriptor, allocated);
    ObDereferenceObject(event);
    ZwClose(plain);
}

}  // namespace
}  // namespace quilt_test
