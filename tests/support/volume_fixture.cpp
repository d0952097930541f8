#include "support/volume_fixture.h"

#include <string.h>

#include "io/io.h"
#include "se/token.h"

namespace quilt_test {

void VolumeTest::SetUp() {
    KernelTest::SetUp();
    plat::storage::DiskConfig system;
    system.FileSystem = plat::fs::FsKind::Ntfs;
    system.SizeBytes = 64ull << 20;
    system.Label = u"SYSTEM";
    SystemDisk = plat::storage::Disk::Create(system);
    plat::storage::DiskConfig data;
    data.FileSystem = plat::fs::FsKind::Fat;
    data.SizeBytes = 32ull << 20;
    data.BusType = BusTypeUsb;
    data.Removable = true;
    data.Label = u"DATA";
    DataDisk = plat::storage::Disk::Create(data);
    StartKernelWithDisks();
}

void VolumeTest::StartKernelWithDisks() {
    ASSERT_EQ(plat::fs::LoadFileSystems(), STATUS_SUCCESS);
    ASSERT_EQ(plat::storage::Attach(SystemDisk, L'C'), STATUS_SUCCESS);
    ASSERT_EQ(plat::storage::Attach(DataDisk, L'D'), STATUS_SUCCESS);
    plat::Token* token = plat::TokenCreateUser(1001, false);
    UserProcess = plat::ProcessCreate("user.exe", token);
    plat::TokenRelease(token);
}

PEPROCESS VolumeTest::OtherUser() {
    if (SecondProcess == nullptr) {
        plat::Token* token = plat::TokenCreateUser(1002, false);
        SecondProcess = plat::ProcessCreate("other.exe", token);
        plat::TokenRelease(token);
    }
    return SecondProcess;
}

void VolumeTest::EndProcesses() {
    for (PEPROCESS* process : {&UserProcess, &SecondProcess}) {
        if (*process == nullptr) continue;
        plat::ProcessTerminate(*process);
        ObDereferenceObject(*process);
        *process = nullptr;
    }
}

void VolumeTest::TearDown() {
    EndProcesses();
    KernelTest::TearDown();
}

void VolumeTest::Reboot() {
    EndProcesses();
    plat::IoShutdownSystem();
    std::vector<std::string> findings = plat::KernelDestroy();
    EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
    plat::KernelCreate(Options);
    StartKernelWithDisks();
}

void VolumeTest::Crash() {
    EndProcesses();
    plat::KernelPowerOff();
    plat::KernelCreate(Options);
    StartKernelWithDisks();
}

NTSTATUS OpenPath(const char16_t* path, plat::native::File* file, ACCESS_MASK access, ULONG disposition,
                  ULONG options, ULONG share, ULONG_PTR* information) {
    plat::native::OpenOptions o;
    o.Access = access;
    o.Disposition = disposition;
    o.Options = options;
    o.Share = share;
    return plat::native::File::Open(path, o, file, information);
}

std::string ReadText(const char16_t* path) {
    std::string text;
    NTSTATUS status = plat::native::ReadFile(path, &text);
    if (!NT_SUCCESS(status)) return "<" + std::to_string(static_cast<uint32_t>(status)) + ">";
    return text;
}

std::vector<uint8_t> MountPointData(const std::u16string& Substitute, const std::u16string& Print) {
    USHORT subBytes = static_cast<USHORT>(Substitute.size() * 2);
    USHORT printBytes = static_cast<USHORT>(Print.size() * 2);
    USHORT dataLength = static_cast<USHORT>(8 + subBytes + 2 + printBytes + 2);
    std::vector<uint8_t> buffer(REPARSE_DATA_BUFFER_HEADER_SIZE + dataLength, 0);
    auto* data = reinterpret_cast<PREPARSE_DATA_BUFFER>(buffer.data());
    data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    data->ReparseDataLength = dataLength;
    data->MountPointReparseBuffer.SubstituteNameOffset = 0;
    data->MountPointReparseBuffer.SubstituteNameLength = subBytes;
    data->MountPointReparseBuffer.PrintNameOffset = static_cast<USHORT>(subBytes + 2);
    data->MountPointReparseBuffer.PrintNameLength = printBytes;
    memcpy(data->MountPointReparseBuffer.PathBuffer, Substitute.data(), subBytes);
    memcpy(reinterpret_cast<uint8_t*>(data->MountPointReparseBuffer.PathBuffer) + subBytes + 2, Print.data(),
           printBytes);
    return buffer;
}

NTSTATUS MakeJunction(const std::u16string& Path, const std::u16string& Target) {
    NTSTATUS status = plat::native::CreateDirectory(Path);
    if (!NT_SUCCESS(status)) return status;
    plat::native::File junction;
    status = OpenPath(Path.c_str(), &junction, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> data = MountPointData(u"\\??\\" + Target, Target);
    return junction.FsControl(FSCTL_SET_REPARSE_POINT, data.data(), static_cast<ULONG>(data.size()), nullptr, 0);
}

}  // namespace quilt_test
