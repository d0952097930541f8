// A filter of a test driver attached above the file system of a drive, so
// that a test can follow what the driver's own opens and renames do on an
// unprotected volume: it counts the creates of each name (after the file
// system answered them) and records the target names of renames, and passes
// everything down otherwise unchanged.
#pragma once

#include <ntifs.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quilt_test {

class ObservedDrive {
public:
    // Attaches above the file-system volume device of the drive's root.
    explicit ObservedDrive(const char16_t* Root);
    ~ObservedDrive();

    // Creates of Name (the file object's name as it reached the file system,
    // UTF-8) that have been answered.
    int Creates(const std::string& Name);
    // Waits until Creates(Name) reaches Count or Stop() holds; false when the
    // wait gave up (after a few seconds of host time: a broken test).
    template <class Stop>
    bool WaitForCreates(const std::string& Name, int Count, Stop stop) {
        std::unique_lock<std::mutex> lock(m_Lock);
        for (int i = 0; i < 500; ++i) {
            if (m_Creates[Name] >= Count || stop()) return true;
            m_Changed.wait_for(lock, std::chrono::milliseconds(10));
        }
        return false;
    }
    std::vector<std::string> RenameTargets();

private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp);
    static NTSTATUS NTAPI CreateDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context);
    NTSTATUS Create(PIRP Irp);

    PDEVICE_OBJECT m_Filter = nullptr;
    PDEVICE_OBJECT m_Lower = nullptr;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::map<std::string, int> m_Creates;
    std::vector<std::string> m_Renames;
};

}  // namespace quilt_test
