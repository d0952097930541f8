// quilt.sys loaded into the test's kernel the way the system loads it (a
// service key with \Parameters\CheckFilePath, DriverEntry through the I/O
// manager), for tests of the driver's subsystems that need its global state:
// locks, tables, lookaside lists and the control device.
#pragma once

#include <ntifs.h>

#include <string>

#include "support/kernel_fixture.h"
#include "support/volume_fixture.h"

namespace quilt_test {

// The check file the fixture configures: install folder C:\Quilt\INI\.
inline constexpr const WCHAR* kFixtureCheckFilePath = L"C:\\Quilt\\INI\\check.txt";

// Writes the service key (CheckFilePath and, when not zero, the DWORD values
// given by the caller afterwards with SetQuiltDword) and runs DriverEntry.
NTSTATUS LoadQuiltDriver(const WCHAR* CheckFilePath = kFixtureCheckFilePath);
void SetQuiltDword(const WCHAR* Name, ULONG Value);
// Waits for the driver's system threads, ends its volumes (EndQuiltVolumes)
// and undoes driver entry.
void UnloadQuiltDriver();
// Ends every volume start-up thread (removal flag and event, deletion
// semaphore, start-up gate), takes every device the driver attached out of
// its stack (volumes torn down) and frees the check-file text, so that the
// kernel ends without the driver's threads, devices or pool.
void EndQuiltVolumes();

// A kernel with quilt.sys loaded for each test. Tests that must configure
// the service key first set LoadInSetUp = false and call LoadQuiltDriver.
class QuiltDriverTest : public KernelTest {
protected:
    bool LoadInSetUp = true;
    void SetUp() override;
    void TearDown() override;
    bool Loaded() const { return m_Loaded; }
    void Load(const WCHAR* CheckFilePath = kFixtureCheckFilePath);

private:
    bool m_Loaded = false;
};

class VirtualTimeQuiltDriverTest : public QuiltDriverTest {
protected:
    VirtualTimeQuiltDriverTest() { Options.VirtualTime = true; }
};

// Disks and file systems (VolumeTest: C: NTFS, D: FAT, a user process) with
// quilt.sys loaded; its install folder C:\Quilt\INI\ exists, so that the
// driver's log (C:\Quilt\INI\quilt.log) is written.
class QuiltVolumeTest : public VolumeTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // quilt.log as UTF-8 ("" while there is none).
    std::string LogText();
};

class VirtualTimeQuiltVolumeTest : public QuiltVolumeTest {
protected:
    VirtualTimeQuiltVolumeTest() { Options.VirtualTime = true; }
};

// The kernel debugger's lines of this kernel, joined.
std::string DebuggerLines();

}  // namespace quilt_test
