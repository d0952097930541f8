// Byte-range locks, and security (inheritance at creation, access checks of
// user-mode opens, queries and sets) through the native API.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"
#include "se/token.h"

namespace quilt_test {
namespace {

using plat::native::File;

class LocksTest : public VolumeTest {
protected:
    static NTSTATUS Lock(HANDLE file, HANDLE event, IO_STATUS_BLOCK* iosb, LONGLONG offset, LONGLONG length,
                         bool failImmediately, bool exclusive) {
        LARGE_INTEGER at, size;
        at.QuadPart = offset;
        size.QuadPart = length;
        return NtLockFile(file, event, nullptr, nullptr, iosb, &at, &size, 0, failImmediately, exclusive);
    }
};

TEST_F(LocksTest, LockedRangesRefuseOtherHandles) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\shared.db", "0123456789"), STATUS_SUCCESS);
    File a, b;
    ASSERT_EQ(OpenPath(u"C:\\shared.db", &a, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(OpenPath(u"C:\\shared.db", &b, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Lock(a.Handle(), nullptr, &iosb, 2, 4, true, true), STATUS_SUCCESS);
    std::vector<uint8_t> data;
    EXPECT_EQ(b.Read(0, 4, &data), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(b.Write(5, "x"), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(b.Read(6, 4, &data), STATUS_SUCCESS) << "outside the range";
    EXPECT_EQ(a.Read(0, 10, &data), STATUS_SUCCESS) << "the owner reads its range";
    EXPECT_EQ(Lock(b.Handle(), nullptr, &iosb, 0, 3, true, false), STATUS_LOCK_NOT_GRANTED);

    // A shared lock blocks writes, even its owner's, but no reads.
    ASSERT_EQ(Lock(b.Handle(), nullptr, &iosb, 8, 2, true, false), STATUS_SUCCESS);
    EXPECT_EQ(b.Write(8, "y"), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(a.Read(8, 2, &data), STATUS_SUCCESS);

    // Unlocking, and the end of a handle, release locks.
    LARGE_INTEGER at, size;
    at.QuadPart = 2;
    size.QuadPart = 4;
    EXPECT_EQ(NtUnlockFile(b.Handle(), &iosb, &at, &size, 0), STATUS_RANGE_NOT_LOCKED) << "not b's lock";
    ASSERT_EQ(NtUnlockFile(a.Handle(), &iosb, &at, &size, 0), STATUS_SUCCESS);
    EXPECT_EQ(b.Read(0, 4, &data), STATUS_SUCCESS);
    b.Close();
    EXPECT_EQ(a.Write(8, "zz"), STATUS_SUCCESS);
}

TEST_F(LocksTest, AWaitingLockIsGrantedWhenTheRangeIsFreed) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\queue.dat", "queue"), STATUS_SUCCESS);
    File holder, waiter;
    ASSERT_EQ(OpenPath(u"C:\\queue.dat", &holder, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(OpenPath(u"C:\\queue.dat", &waiter, GENERIC_READ, FILE_OPEN, 0), STATUS_SUCCESS);  // asynchronous
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Lock(holder.Handle(), nullptr, &iosb, 0, ~0ull >> 1, true, true), STATUS_SUCCESS);
    HANDLE event = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE), STATUS_SUCCESS);
    IO_STATUS_BLOCK waitIosb{};
    ASSERT_EQ(Lock(waiter.Handle(), event, &waitIosb, 1, 1, false, false), STATUS_PENDING);
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &zero), STATUS_TIMEOUT);
    holder.Close();
    ASSERT_EQ(ZwWaitForSingleObject(event, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(waitIosb.Status, STATUS_SUCCESS);
    ZwClose(event);
}

class SecurityTest : public VolumeTest {
protected:
    // The descriptor of a path, queried in kernel mode.
    std::vector<uint8_t> Descriptor(const char16_t* path) {
        File f;
        EXPECT_EQ(OpenPath(path, &f, READ_CONTROL | SYNCHRONIZE), STATUS_SUCCESS);
        ULONG needed = 0;
        EXPECT_EQ(NtQuerySecurityObject(f.Handle(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                        0, &needed), STATUS_BUFFER_TOO_SMALL);
        std::vector<uint8_t> sd(needed);
        EXPECT_EQ(NtQuerySecurityObject(f.Handle(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        sd.data(), needed, &needed), STATUS_SUCCESS);
        return sd;
    }

    static PSID Owner(std::vector<uint8_t>& sd) {
        PSID owner = nullptr;
        BOOLEAN defaulted = FALSE;
        EXPECT_EQ(RtlGetOwnerSecurityDescriptor(sd.data(), &owner, &defaulted), STATUS_SUCCESS);
        return owner;
    }
};

TEST_F(SecurityTest, NewFilesInheritAndOtherUsersAreDenied) {
    {
        auto user = AsUser();
        ASSERT_EQ(plat::native::CreateDirectory(u"C:\\mine"), STATUS_SUCCESS);
        ASSERT_EQ(plat::native::WriteFile(u"C:\\mine\\secret.txt", "secret", FILE_CREATE), STATUS_SUCCESS);
        EXPECT_EQ(ReadText(u"C:\\mine\\secret.txt"), "secret");
    }
    // The creator owns the file; its DACL was inherited from the folders.
    std::vector<uint8_t> sd = Descriptor(u"C:\\mine\\secret.txt");
    EXPECT_TRUE(RtlEqualSid(Owner(sd), plat::TokenUserSid(plat::ProcessToken(UserProcess))));
    PACL dacl = nullptr;
    BOOLEAN present = FALSE, defaulted = FALSE;
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(sd.data(), &present, &dacl, &defaulted), STATUS_SUCCESS);
    ASSERT_TRUE(present && dacl != nullptr);
    ASSERT_GT(dacl->AceCount, 0);
    for (ULONG i = 0; i < dacl->AceCount; ++i) {
        PACE_HEADER ace = nullptr;
        ASSERT_EQ(RtlGetAce(dacl, i, reinterpret_cast<PVOID*>(&ace)), STATUS_SUCCESS);
        EXPECT_TRUE(ace->AceFlags & INHERITED_ACE) << i;
    }

    // Another plain user may read but not write it.
    {
        plat::UserModeScope other(OtherUser());
        File f;
        EXPECT_EQ(OpenPath(u"C:\\mine\\secret.txt", &f, GENERIC_WRITE | SYNCHRONIZE), STATUS_ACCESS_DENIED);
        EXPECT_EQ(OpenPath(u"C:\\mine\\secret.txt", &f, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    }
    // Kernel-mode opens are not checked.
    File kernel;
    EXPECT_EQ(OpenPath(u"C:\\mine\\secret.txt", &kernel, GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
}

TEST_F(SecurityTest, AnExplicitDaclDeniesAndIsInheritedByNewFiles) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\locked"), STATUS_SUCCESS);
    // A DACL granting Everyone read only, inheritable.
    UCHAR aclBuffer[128];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlAddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                       FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, SeExports->SeWorldSid),
              STATUS_SUCCESS);
    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE), STATUS_SUCCESS);
    {
        File dir;
        ASSERT_EQ(OpenPath(u"C:\\locked", &dir, WRITE_DAC | SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE),
                  STATUS_SUCCESS);
        ASSERT_EQ(NtSetSecurityObject(dir.Handle(), DACL_SECURITY_INFORMATION, &absolute), STATUS_SUCCESS);
    }
    ASSERT_EQ(plat::native::WriteFile(u"C:\\locked\\inside.txt", "in"), STATUS_SUCCESS);
    auto user = AsUser();
    File f;
    EXPECT_EQ(OpenPath(u"C:\\locked\\new.txt", &f, GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE), STATUS_ACCESS_DENIED)
        << "no right to add a file";
    EXPECT_EQ(OpenPath(u"C:\\locked\\inside.txt", &f, GENERIC_WRITE | SYNCHRONIZE), STATUS_ACCESS_DENIED)
        << "the inherited read-only ACE";
    EXPECT_EQ(OpenPath(u"C:\\locked\\inside.txt", &f, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
}

TEST_F(SecurityTest, AShortQueryBufferReportsTheLengthNeeded) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\f.txt", "f"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\f.txt", &f, READ_CONTROL | SYNCHRONIZE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(f.Handle(), 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&fileObject), nullptr), STATUS_SUCCESS);
    // An IRP as the driver builds it: the file system answers a short buffer
    // with STATUS_BUFFER_OVERFLOW and the length in Information.
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    UCHAR small[8];
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->UserBuffer = small;
    irp->UserEvent = &event;
    IO_STATUS_BLOCK iosb;
    irp->UserIosb = &iosb;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_QUERY_SECURITY;
    sp->FileObject = fileObject;
    sp->Parameters.QuerySecurity.SecurityInformation = 0xF;
    sp->Parameters.QuerySecurity.Length = sizeof(small);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_GT(iosb.Information, sizeof(small));
    ObDereferenceObject(fileObject);
}

}  // namespace
}  // namespace quilt_test
