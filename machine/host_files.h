// Files of the host that keep a machine: whole-file reads, atomic writes
// (temporary file, flush, rename, so that a crash of the host process leaves
// the old file or the new one), folders.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace machine {

bool HostFileExists(const std::string& Path);
// Answer "" or what went wrong.
std::string HostReadFile(const std::string& Path, std::vector<uint8_t>* Bytes);
std::string HostWriteFileAtomically(const std::string& Path, const std::vector<uint8_t>& Bytes);
std::string HostRenameFile(const std::string& From, const std::string& To);
void HostRemoveFile(const std::string& Path);
// Creates the folder and its parents.
std::string HostMakeFolders(const std::string& Path);
// A new empty folder under the temporary directory.
std::string HostMakeTemporaryFolder(std::string* Path);
// Removes a folder and everything in it.
void HostRemoveTree(const std::string& Path);

inline std::vector<uint8_t> BytesOf(const std::string& Text) {
    return std::vector<uint8_t>(Text.begin(), Text.end());
}
inline std::string TextOf(const std::vector<uint8_t>& Bytes) {
    return std::string(Bytes.begin(), Bytes.end());
}

}  // namespace machine
