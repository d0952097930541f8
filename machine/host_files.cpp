// Host files of a machine (see host_files.h).
#include "machine/host_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace machine {
namespace {

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool HostFileExists(const std::string& Path) {
    struct stat info;
    return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string HostReadFile(const std::string& Path, std::vector<uint8_t>* Bytes) {
    Bytes->clear();
    int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Errno("cannot open", Path);
    uint8_t chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0) {
            if (errno == EINTR) continue;
            std::string error = Errno("cannot read", Path);
            close(fd);
            return error;
        }
        if (got == 0) break;
        Bytes->insert(Bytes->end(), chunk, chunk + got);
    }
    close(fd);
    return "";
}

std::string HostWriteFileAtomically(const std::string& Path, const std::vector<uint8_t>& Bytes) {
    std::string temporary = Path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Errno("cannot create", temporary);
    if (!WriteAll(fd, Bytes.data(), Bytes.size()) || fsync(fd) != 0) {
        std::string error = Errno("cannot write", temporary);
        close(fd);
        unlink(temporary.c_str());
        return error;
    }
    close(fd);
    return HostRenameFile(temporary, Path);
}

std::string HostRenameFile(const std::string& From, const std::string& To) {
    if (rename(From.c_str(), To.c_str()) != 0) {
        std::string error = Errno("cannot rename", From);
        unlink(From.c_str());
        return error;
    }
    return "";
}

void HostRemoveFile(const std::string& Path) {
    unlink(Path.c_str());
}

std::string HostMakeFolders(const std::string& Path) {
    std::error_code error;
    std::filesystem::create_directories(Path, error);
    if (error) return "cannot create the folder " + Path + ": " + error.message();
    return "";
}

std::string HostMakeTemporaryFolder(std::string* Path) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/quilt-machine-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return Errno("cannot create a temporary folder like", pattern);
    *Path = buffer.data();
    return "";
}

void HostRemoveTree(const std::string& Path) {
    std::error_code error;
    std::filesystem::remove_all(Path, error);
}

}  // namespace machine
