// Volume start-up tests run boots of a small computer: disks (C: NTFS, the
// system and install drive; D: FAT; more on request), the sibling filter over
// its sector store, quilt.sys loaded before any volume mounts, the volumes
// mounted (system drive first) and the start-up gate opened. The kernel clock
// is stopped, so the deletion delay passes only when a test advances it.
//
// Between SetUp and the first Boot the test prepares the disks through a
// kernel without the driver (files, folders, the check file).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame/device_context.h"
#include "sibling/pleat/pleat.h"
#include "support/kernel_fixture.h"
#include "support/volume_fixture.h"

namespace startup_test {

constexpr ULONG kDriveA = 0;
constexpr ULONG kDriveC = 2;
constexpr ULONG kDriveD = 3;
constexpr ULONG kDriveE = 4;

// The check file, as UTF-16LE bytes with the byte-order mark, from ASCII lines.
std::string CheckFileText(const std::vector<std::string>& Lines);

class StartupTest : public quilt_test::KernelTest {
protected:
    StartupTest() { Options.VirtualTime = true; }
    void SetUp() override;
    void TearDown() override;

    // Adds a disk before the first boot (A: to Z:).
    void AddDisk(char Letter, plat::fs::FsKind Kind, STORAGE_BUS_TYPE Bus = BusTypeAta, uint64_t SizeBytes = 32ull << 20);
    void WriteCheckFile(const std::vector<std::string>& Lines) { WriteRaw(u"C:\\Quilt\\INI\\check.txt", CheckFileText(Lines)); }
    void WriteRaw(const std::u16string& Path, const std::string& Bytes);
    void MakeDirectory(const std::u16string& Path);
    void MakeJunction(const std::u16string& Path, const std::u16string& Target);

    // Ends the running kernel (the driver's rundown and a clean shutdown, or
    // a power loss), starts a new one with the disks, the sibling (unless
    // SiblingMissing), quilt.sys (DWORD values from Parameters), mounts the
    // volumes and opens the start-up gate; returns when every volume's set-up
    // has settled.
    void Boot();
    void Crash();
    // Opens the volume's root, which mounts it.
    void Mount(char Letter);
    void OpenGate();
    // Every volume filter has ended its thread or waits out DeleteStartDelay.
    void WaitForSetUps();
    // Moves the clock past DeleteStartDelay and waits for every start-up
    // thread to end.
    void RunDeletions();
    // Moves the clock on by a millisecond whenever the drive's start-up
    // thread waits, until Done holds (true), the thread ends or Steps moves
    // were made (0: no limit).
    bool StepUntil(ULONG Drive, const std::function<bool()>& Done, int Steps = 0);

    DeviceContext* Volume(ULONG Drive);
    bool Protected(ULONG Drive);
    bool Exists(const std::u16string& Path);
    ULONG Attributes(const std::u16string& Path);
    std::string Read(const std::u16string& Path);
    std::string Log();
    std::vector<PDEVICE_OBJECT> VolumeFilters();

    std::map<char, std::shared_ptr<plat::storage::Disk>> Disks;
    pleat::SectorStore Sectors;
    std::map<std::u16string, ULONG> Parameters;
    bool SiblingMissing = false;
    bool WantGate = true;  // Boot opens the start-up gate

private:
    void StartKernel();
    void EndKernel(bool Clean);
    void LoadDrivers();
    void RundownDriver();

    PDRIVER_OBJECT m_Sibling = nullptr;
    bool m_DriverLoaded = false;
    bool m_Started = false;
};

}  // namespace startup_test
