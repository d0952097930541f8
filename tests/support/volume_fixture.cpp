#include "support/volume_fixture.h"

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

}  // namespace quilt_test
