// A small convenience layer over the native file API for tests, tools and the
// simulated machine's programs: Win32 names (C:\dir\file) become NT names
// (\??\C:\dir\file), and handles are used through the Nt* services with the
// caller's previous mode (UserMode inside a plat::UserModeScope). Data passes
// through user-space buffers (kept per thread between calls), so the same
// calls work for emulated user processes and for kernel-mode callers. The
// transfers wait for their result: use them on synchronous handles (the
// default of OpenOptions).
#pragma once

#include <ntifs.h>

#include <string>
#include <string_view>
#include <vector>

namespace plat::native {

// "C:\dir\file" -> "\??\C:\dir\file"; "C:" -> "\??\C:" (the volume);
// "\\?\C:\x" -> "\??\C:\x"; a name already in NT form ("\??\..." or
// "\Device\...") stays. Relative names and UNC names give
// STATUS_OBJECT_PATH_SYNTAX_BAD.
NTSTATUS NtPathFromWin32(std::u16string_view win32, std::u16string* nt);

struct OpenOptions {
    ACCESS_MASK Access = GENERIC_READ | SYNCHRONIZE;
    ULONG Share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG Disposition = FILE_OPEN;
    ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT;
    ULONG Attributes = 0;
    LONGLONG AllocationSize = 0;
    PSECURITY_DESCRIPTOR Security = nullptr;
    const void* Ea = nullptr;          // FILE_FULL_EA_INFORMATION chain
    ULONG EaLength = 0;
    HANDLE RootDirectory = nullptr;    // the name is then relative to it
};

struct DirectoryEntry {
    std::u16string Name;
    std::u16string ShortName;
    ULONG Attributes = 0;
    LONGLONG EndOfFile = 0;
    LONGLONG FileId = 0;
};

class File {
public:
    File() = default;
    ~File() { Close(); }
    File(File&& other) noexcept : m_Handle(other.m_Handle) { other.m_Handle = nullptr; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path` (Win32 or NT form). *information (optional) receives the
    // create's result (FILE_OPENED, FILE_CREATED, ...).
    static NTSTATUS Open(std::u16string_view path, const OpenOptions& options, File* file,
                         ULONG_PTR* information = nullptr);

    HANDLE Handle() const { return m_Handle; }
    bool IsOpen() const { return m_Handle != nullptr; }
    NTSTATUS Close();

    // Reads up to `length` bytes (STATUS_END_OF_FILE at or past the end).
    NTSTATUS Read(LONGLONG offset, ULONG length, std::vector<uint8_t>* data);
    NTSTATUS Write(LONGLONG offset, const void* data, ULONG length, ULONG* written = nullptr);
    NTSTATUS Write(LONGLONG offset, std::string_view text) {
        return Write(offset, text.data(), static_cast<ULONG>(text.size()));
    }
    // The whole content of the unnamed (or opened) stream.
    NTSTATUS ReadAll(std::string* text);

    NTSTATUS Query(FILE_INFORMATION_CLASS infoClass, ULONG length, std::vector<uint8_t>* out);
    template <typename T>
    NTSTATUS Query(FILE_INFORMATION_CLASS infoClass, T* out) {
        std::vector<uint8_t> bytes;
        NTSTATUS status = Query(infoClass, sizeof(T), &bytes);
        if (NT_SUCCESS(status)) memcpy(out, bytes.data(), sizeof(T));
        return status;
    }
    NTSTATUS Set(FILE_INFORMATION_CLASS infoClass, const void* data, ULONG length);
    // The file's volume-relative name (FileNameInformation).
    NTSTATUS Name(std::u16string* name);
    // Rename / hard link to a Win32 or NT target, or to a plain name in the
    // same directory.
    NTSTATUS Rename(std::u16string_view target, bool replace);
    NTSTATUS Link(std::u16string_view target, bool replace);
    NTSTATUS SetDeleteDisposition(bool deleteFile);

    // One directory query; entries of FileIdBothDirectoryInformation.
    NTSTATUS QueryDirectory(std::vector<DirectoryEntry>* entries, const char16_t* pattern = nullptr,
                            bool restart = false, bool single = false, ULONG bufferSize = 4096);
    // Every entry (restart, then until STATUS_NO_MORE_FILES), "." and ".." left out.
    NTSTATUS List(std::vector<DirectoryEntry>* entries, const char16_t* pattern = nullptr);

    NTSTATUS FsControl(ULONG code, const void* input, ULONG inputLength, std::vector<uint8_t>* output,
                       ULONG outputLength);
    NTSTATUS Flush();

private:
    NTSTATUS SetName(FILE_INFORMATION_CLASS infoClass, std::u16string_view target, bool replace);

    HANDLE m_Handle = nullptr;
};

// Whole-file helpers.
NTSTATUS WriteFile(std::u16string_view path, std::string_view data, ULONG disposition = FILE_OVERWRITE_IF);
NTSTATUS ReadFile(std::u16string_view path, std::string* data);
NTSTATUS CreateDirectory(std::u16string_view path);
NTSTATUS DeletePath(std::u16string_view path);

}  // namespace plat::native
