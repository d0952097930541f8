// Saving the registry (or one hive) to a host file and loading it back, and
// the flush file that ZwFlushKey writes.
#include "cm/cm_internal.h"
#include "cm/registry.h"

#include <stdio.h>

#include <mutex>

namespace plat {
namespace {

// The file lock: orders saves, loads and flushes, so that a slower writer
// never replaces a newer file with an older image, and guards FlushFile.
// Taken before CmLock.
std::mutex FileLock;
std::string FlushFile;

std::string Describe(const std::string& path, const std::string& problem) {
    return "registry file '" + path + "': " + problem;
}

std::string KeyPathText(const WCHAR* keyPath) {
    std::string text;
    for (const WCHAR* p = keyPath; p != nullptr && *p != 0; ++p) text += (*p < 0x80) ? static_cast<char>(*p) : '?';
    return text;
}

// Serializes Key (the root when NULL) and writes the file; FileLock held.
std::string SaveLocked(CmKey* key, const std::string& path) {
    std::vector<UCHAR> image;
    try {
        CmSharedGuard guard;
        CmKey* source = key != nullptr ? key : CmRoot();
        if (source == nullptr) return "no registry exists";
        if (source->IsDeleted()) return "the key was deleted";
        CmSerializeTree(source, image);
    } catch (const std::bad_alloc&) {
        return "out of memory while saving the registry";
    }
    return CmWriteFileAtomically(path, image);
}

std::string ReadImage(const std::string& path, CmParsedKey& root) {
    std::vector<UCHAR> image;
    std::string error = CmReadFile(path, image);
    if (!error.empty()) return error;
    error = CmParseImage(image, root);
    return error.empty() ? "" : Describe(path, error);
}

// Builds the keys of a parsed tree as objects, outside the registry: nothing
// can see them until they are linked in.
NTSTATUS BuildTree(const CmParsedKey& parsed, CmNameRef name, CmKey** result) {
    *result = nullptr;
    CmKey* key = nullptr;
    NTSTATUS status = CmCreateKeyObject(name, {parsed.Class.data(), static_cast<ULONG>(parsed.Class.size())},
                                        parsed.TitleIndex, 0, const_cast<UCHAR*>(parsed.Security.data()), &key);
    if (!NT_SUCCESS(status)) return status;
    key->LastWriteTime = parsed.LastWriteTime;
    try {
        for (const CmParsedValue& v : parsed.Values) {
            CmValue value;
            value.Name = CmName(v.Name.begin(), v.Name.end());
            value.Type = v.Type;
            value.TitleIndex = v.TitleIndex;
            value.Data = CmBytes(v.Data.begin(), v.Data.end());
            key->Values.push_back(std::move(value));
        }
        // Reserved first, so that linking a built child cannot fail.
        key->SubKeys.reserve(parsed.SubKeys.size());
        for (const CmParsedKey& child : parsed.SubKeys) {
            CmKey* built = nullptr;
            status = BuildTree(child, {child.Name.data(), static_cast<ULONG>(child.Name.size())}, &built);
            if (!NT_SUCCESS(status)) break;
            CmLinkSubKey(key, built);
        }
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        std::vector<CmKey*> retired;
        CmRetireSubtree(key, retired);
        CmDropReferences(retired);
        return status;
    }
    *result = key;
    return STATUS_SUCCESS;
}

void DropTree(CmKey* key) {
    std::vector<CmKey*> retired;
    CmRetireSubtree(key, retired);
    CmDropReferences(retired);
}

std::string StatusText(const char* what, NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(status));
    return std::string(what) + " (status 0x" + text + ")";
}

// Puts a loaded tree in place of the root's content: its subkeys become the
// root's, its values, class and descriptor the root's.
NTSTATUS InstallAsRoot(CmKey* loaded) {
    CmKeySecurity security;
    NTSTATUS status = security.Capture(loaded);
    if (!NT_SUCCESS(status)) {
        DropTree(loaded);
        return status;
    }
    std::vector<CmKey*> retired;
    std::vector<CmKey*> parents;
    CmKey* root = nullptr;
    {
        CmExclusiveGuard guard;
        root = CmRoot();
        if (root == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            CmRetireUnmountedHives(retired, parents);
            for (CmKey* child : root->SubKeys) {
                child->Parent = nullptr;
                CmRetireSubtree(child, retired);
            }
            CmVector<CmKey*>().swap(root->SubKeys);
            root->SubKeys.swap(loaded->SubKeys);
            for (CmKey* child : root->SubKeys) child->Parent = root;
            root->Values.swap(loaded->Values);
            root->Class.swap(loaded->Class);
            root->TitleIndex = loaded->TitleIndex;
            root->LastWriteTime = loaded->LastWriteTime;
        }
    }
    CmDropReferences(parents);
    CmDropReferences(retired);
    DropTree(loaded);
    if (!NT_SUCCESS(status)) return status;
    // The root is never retired while the registry exists.
    return ObSetSecurityDescriptor(root, security.Get());
}

// Puts a loaded tree at Parent\Leaf, replacing what is there.
NTSTATUS InstallBelow(CmKey* parent, CmKey* loaded) {
    std::vector<CmKey*> retired;
    NTSTATUS status = STATUS_SUCCESS;
    try {
        CmExclusiveGuard guard;
        if (parent->IsDeleted()) return STATUS_KEY_DELETED;
        parent->SubKeys.reserve(parent->SubKeys.size() + 1);
        CmKey* existing = CmFindSubKey(parent, CmRef(loaded->Name));
        if (existing != nullptr) {
            retired.reserve(CmCountSubtree(existing));
            loaded->Flags |= existing->Flags & CmKeyPredefined;
            CmUnlinkSubKey(existing);
            CmRetireSubtree(existing, retired);
        }
        CmLinkSubKey(parent, loaded);
        parent->LastWriteTime = CmNow();
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    CmDropReferences(retired);
    return status;
}

}  // namespace

std::string RegistrySave(const std::string& hostPath) {
    std::lock_guard<std::mutex> order(FileLock);
    return SaveLocked(nullptr, hostPath);
}

std::string RegistrySaveKey(const WCHAR* keyPath, const std::string& hostPath) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, false, &key);
    if (!NT_SUCCESS(status)) return StatusText(("cannot open key " + KeyPathText(keyPath)).c_str(), status);
    std::string error;
    {
        std::lock_guard<std::mutex> order(FileLock);
        error = SaveLocked(key, hostPath);
    }
    ObDereferenceObject(key);
    return error;
}

std::string RegistryLoad(const std::string& hostPath) {
    CmParsedKey parsed;
    std::lock_guard<std::mutex> order(FileLock);
    std::string error = ReadImage(hostPath, parsed);
    if (!error.empty()) return error;
    CmKey* loaded = nullptr;
    NTSTATUS status = BuildTree(parsed, {parsed.Name.data(), static_cast<ULONG>(parsed.Name.size())}, &loaded);
    if (NT_SUCCESS(status)) status = InstallAsRoot(loaded);
    if (NT_SUCCESS(status)) status = CmEnsurePredefinedKeys();
    return NT_SUCCESS(status) ? "" : StatusText(Describe(hostPath, "cannot be loaded").c_str(), status);
}

std::string RegistryLoadKey(const WCHAR* keyPath, const std::string& hostPath) {
    if (keyPath == nullptr) return "no key path given";
    size_t length = wcslen(keyPath);
    size_t slash = length;
    while (slash > 0 && keyPath[slash - 1] != L'\\') --slash;
    if (slash <= 1 || slash == length) return "invalid key path " + KeyPathText(keyPath);
    std::vector<WCHAR> parentPath(keyPath, keyPath + slash - 1);
    parentPath.push_back(0);
    CmNameRef leaf = {keyPath + slash, static_cast<ULONG>(length - slash)};
    if (leaf.Chars > kCmMaxKeyNameChars) return "invalid key path " + KeyPathText(keyPath);

    CmParsedKey parsed;
    std::lock_guard<std::mutex> order(FileLock);
    std::string error = ReadImage(hostPath, parsed);
    if (!error.empty()) return error;
    CmKey* parent = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(parentPath.data(), false, &parent);
    if (!NT_SUCCESS(status)) return StatusText(("no parent key for " + KeyPathText(keyPath)).c_str(), status);
    CmKey* loaded = nullptr;
    status = BuildTree(parsed, leaf, &loaded);
    if (NT_SUCCESS(status)) {
        status = InstallBelow(parent, loaded);
        if (!NT_SUCCESS(status)) DropTree(loaded);
    }
    ObDereferenceObject(parent);
    return NT_SUCCESS(status) ? "" : StatusText(Describe(hostPath, "cannot be loaded").c_str(), status);
}

void RegistrySetFlushFile(const std::string& hostPath) {
    std::lock_guard<std::mutex> order(FileLock);
    FlushFile = hostPath;
}

NTSTATUS CmFlushRegistry() {
    std::lock_guard<std::mutex> order(FileLock);
    if (FlushFile.empty()) return STATUS_SUCCESS;
    return SaveLocked(nullptr, FlushFile).empty() ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

}  // namespace plat
