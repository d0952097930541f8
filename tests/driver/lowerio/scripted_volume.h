// A drive for the file-open tests: a device of a small driver of its own,
// reachable as \??\<letter>: (and under a device name of the test's choice),
// holding a set of names: files, directories and junctions. It answers opens
// the way a file system below a hinted open does: a name behind a junction
// fails with STATUS_MOUNT_POINT_NOT_RESOLVED (the junction leads off the
// hinted stack), a junction itself opens only with FILE_OPEN_REPARSE_POINT,
// FSCTL_GET_REPARSE_POINT returns its mount-point data, and
// FileRenameInformation renames (replacing when asked). It records every open.
#pragma once

#include <ntifs.h>

#include <map>
#include <string>
#include <vector>

namespace quilt_test {

struct ScriptedOpen {
    std::string Path;  // UTF-8 (a by-ID name is shown as hex bytes)
    USHORT PathBytes = 0;
    ACCESS_MASK DesiredAccess = 0;
    ULONG Disposition = 0;
    ULONG Options = 0;
    UCHAR Flags = 0;       // stack flags (SL_OPEN_TARGET_DIRECTORY)
    KPROCESSOR_MODE Mode = UserMode;
    NTSTATUS Result = 0;
};

struct ScriptedRename {
    std::string NewName;  // FileName of the rename information, UTF-8
    ULONG Length = 0;     // Parameters.SetFile.Length
    BOOLEAN ReplaceIfExists = FALSE;
    PFILE_OBJECT TargetDirectory = nullptr;
    bool Replaced = false;
};

class ScriptedVolume {
public:
    static constexpr LONGLONG kLastWriteTime = 0x01DA000012345678LL;

    // DeviceName defaults to \Device\QuiltScripted<letter>.
    ScriptedVolume(WCHAR DriveLetter, const WCHAR* DeviceName = nullptr);
    ~ScriptedVolume();

    void AddFile(const std::string& path, const std::string& content = "");
    void AddDirectory(const std::string& path);
    void AddJunction(const std::string& path, const std::string& printName);
    // Opens of this exact name fail with Status.
    void FailOpen(const std::string& path, NTSTATUS status);

    bool Exists(const std::string& path) const;
    std::string Content(const std::string& path) const;

    PDEVICE_OBJECT Device() const { return m_Device; }
    const std::vector<ScriptedOpen>& Opens() const { return m_Opens; }
    const std::vector<ScriptedRename>& Renames() const { return m_Renames; }

private:
    enum class Kind { File, Directory, Junction };
    struct Entry {
        Kind Type = Kind::File;
        std::string Content;    // files
        std::string PrintName;  // junctions
    };

    static NTSTATUS NTAPI Entry_(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp);
    NTSTATUS Create(PIRP Irp, PIO_STACK_LOCATION Stack);
    NTSTATUS LookUp(const std::string& path, ULONG options, UCHAR flags);
    NTSTATUS GetReparsePoint(PIRP Irp, PIO_STACK_LOCATION Stack);
    NTSTATUS Rename(PIRP Irp, PIO_STACK_LOCATION Stack);
    NTSTATUS QueryInformation(PIRP Irp, PIO_STACK_LOCATION Stack);
    std::string Key(const std::string& path) const;

    static ScriptedVolume* s_Current;
    std::u16string m_DeviceName;
    std::u16string m_Link;
    PDEVICE_OBJECT m_Device = nullptr;
    std::map<std::string, Entry> m_Entries;  // keys upper-cased
    std::map<std::string, NTSTATUS> m_Failures;
    std::vector<ScriptedOpen> m_Opens;
    std::vector<ScriptedRename> m_Renames;
};

}  // namespace quilt_test
