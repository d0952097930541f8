// The System process's file work (see system_files.h).
#include "machine/system_files.h"

#include "machine/program.h"
#include "rtl/convert.h"

namespace machine {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string DriveRoot(char Drive) {
    return std::string(1, Drive) + ":\\";
}

}  // namespace

NTSTATUS SystemOpenFile(const std::string& Path, ACCESS_MASK Access, ULONG Share, ULONG Disposition, ULONG Options,
                        HANDLE* Handle) {
    std::u16string ntPath = NtPathOf(Path);
    UNICODE_STRING name = plat::UnicodeView(ntPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    *Handle = nullptr;
    return ZwCreateFile(Handle, Access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, Share, Disposition,
                        Options, nullptr, 0);
}

NTSTATUS SystemTouch(const std::string& Path) {
    HANDLE handle = nullptr;
    NTSTATUS status = SystemOpenFile(Path, FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (NT_SUCCESS(status)) ZwClose(handle);
    return status;
}

NTSTATUS SystemOpenRoot(char Drive) {
    HANDLE handle = nullptr;
    NTSTATUS status = SystemOpenFile(DriveRoot(Drive), FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, FILE_OPEN,
                                     FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (NT_SUCCESS(status)) ZwClose(handle);
    return status;
}

NTSTATUS SystemCreateFolder(const std::string& Path) {
    HANDLE handle = nullptr;
    NTSTATUS status = SystemOpenFile(Path, FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, FILE_OPEN_IF,
                                     FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (NT_SUCCESS(status)) ZwClose(handle);
    return status;
}

NTSTATUS SystemWriteFile(const std::string& Path, const std::vector<uint8_t>& Bytes, uint32_t Attributes) {
    HANDLE handle = nullptr;
    NTSTATUS status = SystemOpenFile(Path, FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                                     FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                     &handle);
    if (!NT_SUCCESS(status)) return status;
    if (!Bytes.empty()) {
        IO_STATUS_BLOCK iosb = {};
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<uint8_t*>(Bytes.data()),
                             static_cast<ULONG>(Bytes.size()), &offset, nullptr);
    }
    if (NT_SUCCESS(status) && Attributes != 0) {
        FILE_BASIC_INFORMATION basic = {};
        basic.FileAttributes = Attributes;
        IO_STATUS_BLOCK iosb = {};
        status = ZwSetInformationFile(handle, &iosb, &basic, sizeof(basic), FileBasicInformation);
    }
    ZwClose(handle);
    return status;
}

NTSTATUS SystemFlushVolume(char Drive) {
    HANDLE handle = nullptr;
    std::string volume = std::string(1, Drive) + ":";
    NTSTATUS status = SystemOpenFile(volume, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, kShareAll, FILE_OPEN,
                                     FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (!NT_SUCCESS(status)) return status;
    IO_STATUS_BLOCK iosb = {};
    status = ZwFlushBuffersFile(handle, &iosb);
    ZwClose(handle);
    return status;
}

NTSTATUS SystemOpenPagingFile(const std::string& Path, HANDLE* Handle) {
    std::u16string ntPath = NtPathOf(Path);
    UNICODE_STRING name = plat::UnicodeView(ntPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    *Handle = nullptr;
    NTSTATUS status = ZwCreateFile(Handle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, &attributes, &iosb, nullptr,
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0, FILE_OPEN_IF,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    // Input: the starting virtual cluster and the byte count of the request;
    // output: the run the file system answers (cluster count and start).
    LARGE_INTEGER input[2] = {};
    input[1].QuadPart = 64 * 1024;
    LONGLONG mapping[2] = {};
    return ZwFsControlFile(*Handle, nullptr, nullptr, nullptr, &iosb, FSCTL_QUERY_RETRIEVAL_POINTERS, input,
                           sizeof(input), mapping, sizeof(mapping));
}

}  // namespace machine
