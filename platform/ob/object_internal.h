// The object manager's own view of an object: the header in front of every
// body, directories, symbolic links, handle values, and the calls through
// which the kernel's life cycle drives the object manager.
//
// Memory: header and body are one pool block tagged with the first four
// letters of the type name ("Even", "Devi", "File", ...), so a leaked object
// shows in the pool report under its type. Names and descriptors are pool
// blocks of their own ("ObNm", "ObSd").
//
// Locking:
// - The namespace lock guards every directory's entry list and every
//   header's Directory, Name, DirectoryLink and Flags. Type procedures (Parse,
//   Close, Delete) are never called with it held.
// - The object list lock guards AllObjects (the kernel's list of live objects).
// - The security lock guards every header's Security pointer.
// - Reference and handle counts are atomic.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ob/object.h"

namespace plat {

constexpr ULONG kObjectHeaderMagic = 0x6A624F51;  // "QObj"
constexpr ULONG kObjectDeadMagic = 0x64616544;    // "Dead"
constexpr ULONG kNamePoolTag = 0x6D4E624F;        // "ObNm"
constexpr ULONG kSecurityPoolTag = 0x6453624F;    // "ObSd"

enum ObjectFlags : ULONG {
    kObjectNamed = 0x1,      // in a directory
    kObjectPermanent = 0x2,  // the namespace holds a reference while named
};

struct alignas(16) ObjectHeader {
    ULONG Magic;
    ULONG Flags;
    std::atomic<LONG> PointerCount;
    std::atomic<LONG> HandleCount;
    ObjectType* Type;
    ULONG BodySize;
    PVOID Directory;                 // the directory body holding the name
    UNICODE_STRING Name;             // the last component, pool
    LIST_ENTRY DirectoryLink;        // in the directory's Entries
    PSECURITY_DESCRIPTOR Security;   // self-relative, pool, or NULL
    LIST_ENTRY AllObjects;
};

inline ObjectHeader* HeaderOfBody(PVOID Body) {
    return static_cast<ObjectHeader*>(Body) - 1;
}

inline PVOID BodyOfHeader(ObjectHeader* Header) {
    return Header + 1;
}

// The body of a directory object.
struct ObDirectory {
    LIST_ENTRY Entries;              // ObjectHeader::DirectoryLink
};

// The body of a symbolic-link object.
struct ObSymbolicLink {
    UNICODE_STRING Target;           // pool
};

// Life cycle, called by the kernel core.
void ObInitialize();                 // root, \Device, \??, \DosDevices, ...
std::vector<std::string> ObReportOpenHandles();
void ObCloseAllHandles();            // every process's and the kernel's handles
void ObTeardownNamespace();          // drops every name and the root
std::vector<std::string> ObReportLiveObjects();
void ObForgetEverything();           // power-off: lists reset, memory goes with the pool

// Objects.
LONG_PTR ObReferenceBody(PVOID Body);
LONG_PTR ObDereferenceBody(PVOID Body);
// References the object unless it is already being deleted.
bool ObReferenceIfAlive(PVOID Body);
void ObObjectHandleClosed(PVOID Body, PEPROCESS Process);
// Removes a name that has no reference of its own any more (temporary object
// without handles). Takes the namespace lock.
void ObRemoveTemporaryName(PVOID Body);
ACCESS_MASK ObMapDesiredAccess(ObjectType* Type, ACCESS_MASK DesiredAccess);

// Namespace internals.
std::mutex& ObNamespaceLock();
PVOID ObRootDirectory();
NTSTATUS ObInsertName(PVOID Body, PCUNICODE_STRING Name, HANDLE RootDirectory, ULONG Attributes,
                      PVOID* Existing);
// What unlinking a name leaves to do once the namespace lock is released:
// free the name, drop the directory reference the name held and, for a
// permanent object, the namespace's reference of the object.
struct NameRemoval {
    PVOID Directory = nullptr;
    PWSTR NameBuffer = nullptr;
    bool Permanent = false;
};
NameRemoval ObUnlinkNameLocked(ObjectHeader* Header);  // namespace lock held
void ObFinishNameRemoval(PVOID Body, const NameRemoval& Removal);
void ObForgetObjects();              // power-off: the object list starts empty
void ObForgetNamespace();            // power-off: no root any more

// Security descriptors: a self-relative pool copy of any descriptor.
NTSTATUS ObCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR Source, PSECURITY_DESCRIPTOR* Copy);

// Handle values: process handles are multiples of 4 from 4; kernel handles
// have the top bit of the 32-bit value set (sign-extended on the host), as on
// Windows.
constexpr ULONG kKernelHandleBit = 0x80000000u;
inline HANDLE EncodeHandle(ULONG Index, bool Kernel) {
    ULONG value = (Index + 1) * 4;
    if (Kernel) value |= kKernelHandleBit;
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(value)));
}
inline bool IsPseudoHandle(HANDLE Handle) {
    LONG_PTR value = reinterpret_cast<LONG_PTR>(Handle);
    return value == -1 || value == -2;
}
inline bool IsKernelHandle(HANDLE Handle) {
    ULONG value = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Handle));
    return (value & kKernelHandleBit) != 0 && !IsPseudoHandle(Handle);
}
// False for values that no table hands out.
inline bool DecodeHandle(HANDLE Handle, ULONG* Index) {
    ULONG_PTR raw = reinterpret_cast<ULONG_PTR>(Handle);
    ULONG value = static_cast<ULONG>(raw) & ~kKernelHandleBit;
    bool canonical = reinterpret_cast<LONG_PTR>(Handle) ==
                     static_cast<LONG_PTR>(static_cast<LONG>(static_cast<ULONG>(raw)));
    if (!canonical || value == 0 || (value & 3) != 0) return false;
    *Index = value / 4 - 1;
    return true;
}

}  // namespace plat
