// A program of the running machine: an emulated process that acts on files
// and the registry through the native API (Nt* routines) in user mode, so that
// every request it makes crosses the whole device stack, the driver included.
// The shell, the boot programs and the tests act through it.
//
// Paths are Win32 paths ("C:\data\a.txt"), turned into "\??\C:\data\a.txt";
// a path that begins with a backslash is taken as an NT path as it stands.
// Registry paths accept HKLM\, HKEY_LOCAL_MACHINE\, HKU\, HKEY_USERS\ or a
// kernel path (\REGISTRY\...).
//
// A Program belongs to the kernel it was created in; destroying it after that
// kernel has gone (or while it powers off) touches nothing.
#pragma once

#include <ntifs.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace machine {

struct DirectoryEntry {
    std::string Name;
    std::string ShortName;
    bool IsDirectory = false;
    uint64_t Size = 0;
    uint32_t Attributes = 0;
    int64_t LastWriteTime = 0;
};

struct RegistryValue {
    std::string Name;
    uint32_t Type = 0;
    std::vector<uint8_t> Data;
};

struct RegistryKeyListing {
    std::vector<std::string> Subkeys;
    std::vector<RegistryValue> Values;
};

enum class Account { System, User };

class Program {
public:
    // Creates the process (image name as the process object stores it).
    Program(const std::string& ImageName, Account Identity);
    ~Program();  // ends the process, closing its handles
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    const std::string& ImageName() const { return m_ImageName; }
    PEPROCESS Process() const { return m_Process; }
    // The kernel has gone: forget the process without touching it.
    void Abandon() { m_Process = nullptr; }

    // ---- Files.
    NTSTATUS OpenFile(const std::string& Path, ACCESS_MASK Access, ULONG Share, ULONG Disposition,
                      ULONG Options, HANDLE* Handle, ULONG* Information = nullptr);
    NTSTATUS Close(HANDLE Handle);
    // Opens with read access and closes again (what a loader does with an image).
    NTSTATUS Touch(const std::string& Path);
    NTSTATUS ReadFile(const std::string& Path, std::string* Content);
    NTSTATUS WriteFile(const std::string& Path, const std::string& Content);   // replaces the content
    NTSTATUS AppendFile(const std::string& Path, const std::string& Content);  // creates when missing
    NTSTATUS DeleteFile(const std::string& Path);
    NTSTATUS CreateDirectory(const std::string& Path);
    NTSTATUS RemoveDirectory(const std::string& Path);
    NTSTATUS ListDirectory(const std::string& Path, std::vector<DirectoryEntry>* Entries);
    // NewPath without a backslash renames inside the same folder.
    NTSTATUS Rename(const std::string& OldPath, const std::string& NewPath, bool ReplaceIfExists = false);
    NTSTATUS CreateHardLink(const std::string& ExistingPath, const std::string& NewPath);
    NTSTATUS QueryAttributes(const std::string& Path, uint32_t* Attributes);
    NTSTATUS SetAttributes(const std::string& Path, uint32_t Attributes);
    // Opens Path (a volume: "\\??\\C:") for reading and writing and sends the
    // file-system control Code with Input; Output (optional) receives up to
    // OutputBytes of the answer.
    NTSTATUS FsControl(const std::string& Path, ULONG Code, const std::vector<uint8_t>& Input = {},
                       std::vector<uint8_t>* Output = nullptr, ULONG OutputBytes = 0);
    // Drive as "C:" or "C".
    NTSTATUS QueryLabel(const std::string& Drive, std::string* Label);
    NTSTATUS SetLabel(const std::string& Drive, const std::string& Label);

    // ---- Registry.
    NTSTATUS QueryKey(const std::string& KeyPath, RegistryKeyListing* Listing);
    NTSTATUS QueryValue(const std::string& KeyPath, const std::string& Name, RegistryValue* Value);
    // Creates the key (and missing parents) when needed.
    NTSTATUS SetValue(const std::string& KeyPath, const std::string& Name, uint32_t Type,
                      const std::vector<uint8_t>& Data);
    NTSTATUS DeleteValue(const std::string& KeyPath, const std::string& Name);
    // Deletes the key with its whole subtree.
    NTSTATUS DeleteKey(const std::string& KeyPath);

private:
    NTSTATUS RemoveEntry(const std::string& Path, ULONG Options);
    NTSTATUS SetNameInformation(const std::string& Path, const std::string& NewPath, ULONG InformationClass,
                                bool ReplaceIfExists);
    NTSTATUS WriteAt(const std::string& Path, const std::string& Content, bool Append);

    std::string m_ImageName;
    PEPROCESS m_Process = nullptr;
    ULONG m_KernelSerial = 0;
};

// "\??\C:\x" for "C:\x"; a path beginning with '\' unchanged.
std::u16string NtPathOf(const std::string& Win32Path);
// "\REGISTRY\MACHINE\X" for "HKLM\X" and the other forms above.
std::u16string KernelKeyPathOf(const std::string& KeyPath);

}  // namespace machine
