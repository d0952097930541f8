// Private structures of the configuration manager.
//
// Every key is one object of the Key type (CmKeyType): the object body is a
// CmKey, constructed in place. A handle to a key therefore refers to the key
// itself, and ObReferenceObjectByHandle on a key handle answers the CmKey.
// "\REGISTRY" is the root key, the only key with a name in the object
// namespace; the Key type's Parse procedure resolves the rest of a path.
//
// A key's security descriptor is the one its object header holds
// (ObGetObjectSecurity answers it, the generic ZwSetSecurityObject replaces
// it): the registry checks, inherits and saves that one.
//
// Ownership: a key that is part of the tree (or of an unmounted hive) holds
// the reference it was created with; its handles and callers hold their own.
// Deleting a key takes it out of the tree, marks it deleted and drops the
// tree's reference: open handles keep it alive and then answer
// STATUS_KEY_DELETED.
//
// All key data (names, classes, values) lives in paged pool under
// the tag "CmKy", so that a leak or an injected allocation failure shows up in
// the registry as anywhere else in the kernel.
#pragma once

#include <wdm.h>

#include <new>
#include <string>
#include <vector>

#include "ob/object.h"

namespace plat {

constexpr ULONG CmTagFromText(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}

constexpr ULONG kCmPoolTag = CmTagFromText("CmKy");
constexpr ULONG kCmKeySignature = CmTagFromText("Key!");

// Windows' limits on names: 255 characters for a key name component, 16383
// for a value name.
constexpr ULONG kCmMaxKeyNameChars = 255;
constexpr ULONG kCmMaxValueNameChars = 16383;

// Standard-library allocator over the kernel's paged pool. Failure throws
// std::bad_alloc, which the public routines turn into
// STATUS_INSUFFICIENT_RESOURCES.
template <class T>
struct CmAllocator {
    using value_type = T;
    CmAllocator() noexcept = default;
    template <class U>
    CmAllocator(const CmAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* p = ExAllocatePoolWithTag(PagedPool, count * sizeof(T), kCmPoolTag);
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { ExFreePoolWithTag(p, kCmPoolTag); }

    template <class U>
    bool operator==(const CmAllocator<U>&) const noexcept { return true; }
};

template <class T>
using CmVector = std::vector<T, CmAllocator<T>>;
using CmName = CmVector<WCHAR>;   // UTF-16, not terminated
using CmBytes = CmVector<UCHAR>;

struct CmValue {
    CmName Name;       // as given, case preserved
    ULONG Type = REG_NONE;
    ULONG TitleIndex = 0;
    CmBytes Data;
};

enum CmKeyFlags : ULONG {
    CmKeyVolatile = 0x1,     // not saved with the registry
    CmKeyDeleted = 0x2,      // out of the tree; handles answer STATUS_KEY_DELETED
    CmKeyPredefined = 0x4,   // a root of the registry or of a hive: never deleted
};

struct CmKey {
    ULONG Signature = kCmKeySignature;
    ULONG Flags = 0;
    CmKey* Parent = nullptr;       // NULL for the root, a deleted key or an unmounted hive
    CmName Name;                   // as created, case preserved
    CmName UpcaseName;             // the order of subkeys
    CmName Class;
    ULONG TitleIndex = 0;
    LONGLONG LastWriteTime = 0;
    CmVector<CmKey*> SubKeys;      // sorted by UpcaseName
    CmVector<CmValue> Values;      // in the order they were created

    bool IsDeleted() const { return (Flags & CmKeyDeleted) != 0; }
    bool IsVolatile() const { return (Flags & CmKeyVolatile) != 0; }
};

extern ObjectType CmKeyType;

// ---- Names -----------------------------------------------------------------

struct CmNameRef {
    const WCHAR* Buffer;
    ULONG Chars;
};

inline CmNameRef CmRef(const CmName& name) { return {name.data(), static_cast<ULONG>(name.size())}; }
inline CmNameRef CmRef(const UNICODE_STRING& name) { return {name.Buffer, name.Length / 2u}; }

// Case-insensitive comparison of two names as the registry orders them: code
// unit by code unit after upper-casing.
int CmCompareNames(CmNameRef a, CmNameRef b);
bool CmEqualNames(CmNameRef a, CmNameRef b);
CmName CmMakeName(CmNameRef name);
CmName CmUpcase(CmNameRef name);

// A UNICODE_STRING from a caller: even length, a buffer when not empty.
NTSTATUS CmCheckUnicodeString(PCUNICODE_STRING s);

// ---- The tree (key_tree.cpp) -------------------------------------------------
//
// Locking: one reader/writer lock, CmLock, guards every field of every CmKey,
// the shape of the tree and the list of unmounted hives. Readers take it
// shared, every change takes it exclusive. It is a leaf lock: nothing that can
// call back into the registry or wait runs under it. Of the object manager,
// only ObReferenceObject (a count) and ObGetHandleCount (a read) are called
// under it, and ObGetObjectSecurity (a copy under the object manager's
// security lock, a leaf lock); references are dropped, objects created,
// descriptors replaced and handles inserted outside it, since those may run
// the Key type's procedures or take the object manager's other locks.
//
// The file lock (hive.cpp) orders saves and flushes of registry files; it is
// taken before CmLock, never inside it.

class CmSharedGuard {
public:
    CmSharedGuard();
    ~CmSharedGuard();
    CmSharedGuard(const CmSharedGuard&) = delete;
    CmSharedGuard& operator=(const CmSharedGuard&) = delete;
};

class CmExclusiveGuard {
public:
    CmExclusiveGuard();
    ~CmExclusiveGuard();
    CmExclusiveGuard(const CmExclusiveGuard&) = delete;
    CmExclusiveGuard& operator=(const CmExclusiveGuard&) = delete;
};

// The root key (\REGISTRY), or NULL when no registry exists.
CmKey* CmRoot();

// Subkey lookup and position under the lock.
CmKey* CmFindSubKey(const CmKey* parent, CmNameRef name);
size_t CmSubKeyInsertPosition(const CmKey* parent, const CmName& upcaseName);
void CmLinkSubKey(CmKey* parent, CmKey* child);     // exclusive lock
void CmUnlinkSubKey(CmKey* child);                  // exclusive lock

// Value lookup under the lock: index or -1.
long CmFindValue(const CmKey* key, CmNameRef name);

// Creates an unattached key object (one reference, the tree's) with the given
// name, class and descriptor (copied into the object header); no lock held.
NTSTATUS CmCreateKeyObject(CmNameRef name, CmNameRef keyClass, ULONG titleIndex, ULONG flags,
                           PSECURITY_DESCRIPTOR security, CmKey** key);

// Marks a detached subtree deleted and collects every key in it, so that the
// caller drops the tree's references once the lock is released.
// Retired must have room for CmCountSubtree(key) more entries: nothing
// allocates here.
void CmRetireSubtree(CmKey* key, std::vector<CmKey*>& retired);
size_t CmCountSubtree(const CmKey* key);
// Roots of the hives unmounted below Parent (RegistryUnmountHive), under the lock.
std::vector<const CmKey*> CmUnmountedHivesBelow(const CmKey* parent);
void CmDropReferences(const std::vector<CmKey*>& keys);

LONGLONG CmNow();

// Full path of a key (\REGISTRY\...), under the lock.
CmName CmKeyPath(const CmKey* key);

// The Key type's procedures.
NTSTATUS CmParseKeyProcedure(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object);

// Moves every unmounted hive into Retired (marked deleted) and their parents'
// references into Parents; exclusive lock.
void CmRetireUnmountedHives(std::vector<CmKey*>& retired, std::vector<CmKey*>& parents);
// Creates the predefined keys that are missing and marks them; no lock held.
NTSTATUS CmEnsurePredefinedKeys();

// References the key at a kernel path (\REGISTRY\...) for the host API,
// creating it and its missing parents when Create is set; no handle.
NTSTATUS CmReferenceKeyByPath(const WCHAR* keyPath, bool create, CmKey** key);

// ---- Path walking (key_parse.cpp) ----------------------------------------------

// Splits "A\B\C" into components; an empty component or one longer than 255
// characters makes the name invalid. A leading backslash is skipped and a
// single trailing one ignored.
NTSTATUS CmSplitPath(CmNameRef path, std::vector<CmNameRef>& components);

// Opening or creating a key below Start, for the Zw/Nt routines and the host
// API alike.
struct CmOpenRequest {
    bool Create = false;
    ULONG TitleIndex = 0;
    CmNameRef Class = {nullptr, 0};
    ULONG Options = 0;
    PSECURITY_DESCRIPTOR ExplicitSecurity = nullptr;
    KPROCESSOR_MODE AccessMode = KernelMode;
    ACCESS_MASK DesiredAccess = 0;
    // Answers.
    ULONG Disposition = 0;
    ACCESS_MASK GrantedAccess = 0;
};

// Looks Path up below Start (referenced by the caller) and answers the key
// with a reference of its own.
NTSTATUS CmLookupKey(CmKey* start, CmNameRef path, CmOpenRequest& request, CmKey** key);

// Opens (or, with Request.Create, creates) the key that ObjectAttributes
// names: an absolute name through the object namespace, a name relative to a
// key handle directly below that key.
NTSTATUS CmOpenKeyByAttributes(POBJECT_ATTRIBUTES attributes, CmOpenRequest& request, KPROCESSOR_MODE mode,
                               CmKey** key);

// ---- Information classes (key_info.cpp), under the lock -------------------------

NTSTATUS CmQueryKeyInformation(const CmKey* key, KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                               PULONG resultLength);
NTSTATUS CmQueryValueInformation(const CmValue& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                                 ULONG length, PULONG resultLength);

// ---- Changes shared by the Zw routines and the host API (key_routines.cpp) --------

NTSTATUS CmSetValue(CmKey* key, CmNameRef name, ULONG titleIndex, ULONG type, const void* data, ULONG length);
// Deletes a key with no subkeys (Tree false) or with its subtree (Tree true).
NTSTATUS CmDeleteKey(CmKey* key, bool tree);

// ---- Security (key_security.cpp) ---------------------------------------------

extern GENERIC_MAPPING CmKeyGenericMapping;

// The descriptor of the predefined keys: SYSTEM and Administrators full
// control, Users read, inherited by subkeys.
NTSTATUS CmBuildDefaultSecurity(CmBytes& security);

// A copy of a key's descriptor, released with the holder.
class CmKeySecurity {
public:
    CmKeySecurity() = default;
    ~CmKeySecurity() { Release(); }
    CmKeySecurity(const CmKeySecurity&) = delete;
    CmKeySecurity& operator=(const CmKeySecurity&) = delete;

    NTSTATUS Capture(CmKey* key);
    void Release();
    PSECURITY_DESCRIPTOR Get() const { return m_Descriptor; }

private:
    PSECURITY_DESCRIPTOR m_Descriptor = nullptr;
    BOOLEAN m_Allocated = FALSE;
};

// The descriptor of a new key: the parent's inheritable entries, merged with
// the explicit descriptor of the caller when there is one.
NTSTATUS CmAssignSecurity(PSECURITY_DESCRIPTOR parentSecurity, PSECURITY_DESCRIPTOR explicitSecurity,
                          CmBytes& security);

// Access check of the calling thread against a key's descriptor; kernel mode
// grants everything asked. MAXIMUM_ALLOWED and generic rights are mapped.
NTSTATUS CmCheckAccess(PSECURITY_DESCRIPTOR security, ACCESS_MASK desired, KPROCESSOR_MODE mode,
                       ACCESS_MASK* granted);

// ---- Handles -------------------------------------------------------------------

// References the key behind a handle with the access the operation needs
// (checked for user callers), or answers STATUS_OBJECT_TYPE_MISMATCH for
// another object.
NTSTATUS CmReferenceKeyByHandle(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, CmKey** key);

// ---- Persistence (hive_file.cpp) -------------------------------------------------

// Writes the non-volatile keys below Key (Key included) in the file format,
// under the shared lock.
void CmSerializeTree(const CmKey* key, std::vector<UCHAR>& out);

struct CmParsedKey;
// Parsed tree of a file, built without touching the registry.
struct CmParsedValue {
    std::vector<WCHAR> Name;
    ULONG Type = 0;
    ULONG TitleIndex = 0;
    std::vector<UCHAR> Data;
};
struct CmParsedKey {
    std::vector<WCHAR> Name;
    std::vector<WCHAR> Class;
    ULONG TitleIndex = 0;
    LONGLONG LastWriteTime = 0;
    std::vector<UCHAR> Security;
    std::vector<CmParsedValue> Values;
    std::vector<CmParsedKey> SubKeys;
};

// Checks and parses a file image; "" or a description of what is wrong.
std::string CmParseImage(const std::vector<UCHAR>& image, CmParsedKey& root);

// ZwFlushKey: writes the registry to the flush file when one is set.
NTSTATUS CmFlushRegistry();

// Atomic file replacement: temporary file, fsync, rename, fsync of the folder.
std::string CmWriteFileAtomically(const std::string& path, const std::vector<UCHAR>& bytes);
std::string CmReadFile(const std::string& path, std::vector<UCHAR>& bytes);

}  // namespace plat
