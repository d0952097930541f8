// A drive for the log and report tests: a device of a small driver of its own,
// reachable as \??\<letter>:, that keeps each file it is asked to open as a
// byte string, answers creates by their disposition (FILE_CREATED,
// FILE_OPENED, FILE_SUPERSEDED) and writes at an offset or at the end of the
// file, and records how each file was opened. It knows no directories.
#pragma once

#include <ntifs.h>

#include <map>
#include <string>
#include <vector>

namespace quilt_test {

struct CaptureOpen {
    std::string Path;  // UTF-8, as the file name reached the device
    ACCESS_MASK DesiredAccess = 0;
    ULONG Disposition = 0;
    ULONG Options = 0;
    USHORT ShareAccess = 0;
};

class CaptureVolume {
public:
    explicit CaptureVolume(WCHAR DriveLetter);
    ~CaptureVolume();

    bool Exists(const std::string& path) const { return m_Files.count(path) != 0; }
    // The file's bytes ("" when it does not exist).
    std::string Bytes(const std::string& path) const;
    void Put(const std::string& path, const std::string& bytes) { m_Files[path] = bytes; }
    const std::vector<CaptureOpen>& Opens() const { return m_Opens; }
    size_t Writes() const { return m_Writes; }

private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp);
    NTSTATUS Create(PIRP Irp, PIO_STACK_LOCATION Stack);
    NTSTATUS Write(PIRP Irp, PIO_STACK_LOCATION Stack);

    PDEVICE_OBJECT m_Device = nullptr;
    std::u16string m_Link;
    std::map<std::string, std::string> m_Files;
    std::vector<CaptureOpen> m_Opens;
    size_t m_Writes = 0;
};

// A UTF-16LE file's text as UTF-8 (a byte-order mark becomes U+FEFF).
std::string Utf16FileText(const std::string& bytes);

}  // namespace quilt_test
