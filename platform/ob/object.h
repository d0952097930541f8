// The object manager's internal interface, used by every component of the
// stand-in that owns a kind of kernel object (devices, drivers, files, keys,
// events, processes, threads, symbolic links, directories).
//
// Every object is a body preceded by an ObjectHeader. Objects are reference
// counted (ObReferenceObject / ObDereferenceObject) and counted by handles;
// when the last handle goes, the type's Close procedure runs (the I/O manager
// sends IRP_MJ_CLEANUP there); when the last reference goes, the type's Delete
// procedure runs (IRP_MJ_CLOSE for files) and the memory is released.
//
// Names live in a tree of directory objects rooted at "\" (\Device, \??,
// \DosDevices as a link to \??, \REGISTRY, \KernelObjects ...). Lookup walks
// the tree component by component, case-insensitively. It follows symbolic
// links (restarting with the substituted name) and, on reaching an object whose
// type has a Parse procedure (devices: the I/O manager's open; the registry
// root: the configuration manager's key lookup), hands it the remaining name.
// A Parse procedure may answer STATUS_REPARSE with a new complete name, and the
// lookup starts over (at most 32 times, then STATUS_REPARSE_POINT_NOT_RESOLVED).
#pragma once

#include <wdm.h>

namespace plat {

struct ObjectType;

struct ObjectParseRequest {
    ObjectType* RequestedType;       // the type the caller expects, or NULL
    KPROCESSOR_MODE AccessMode;      // previous mode of the caller
    ACCESS_MASK DesiredAccess;
    ULONG Attributes;                // OBJ_* of the object attributes
    PUNICODE_STRING CompleteName;    // the whole name; a parse routine answering
                                     // STATUS_REPARSE replaces its contents
    UNICODE_STRING RemainingName;    // what is left after the parsed object
    PVOID ParseContext;              // the caller's context (e.g. the I/O open packet)
};

// A Parse procedure returns a referenced object in *Object on success.
typedef NTSTATUS (*ObParseProcedure)(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object);
// Called when a handle to the object is closed; HandleCount is the count left.
typedef VOID (*ObCloseProcedure)(PVOID Object, ULONG HandleCount, PVOID Process);
// Called when the last reference goes, before the memory is released.
typedef VOID (*ObDeleteProcedure)(PVOID Object);

struct ObjectType {
    const WCHAR* Name;               // "File", "Device", "Key", "Event", ...
    ObParseProcedure Parse;          // optional
    ObCloseProcedure Close;          // optional
    ObDeleteProcedure Delete;        // optional
    GENERIC_MAPPING GenericMapping;  // for handle access masks
    BOOLEAN Waitable;                // body starts with a DISPATCHER_HEADER
};

// Well-known types owned by the object manager itself.
extern ObjectType ObDirectoryType;
extern ObjectType ObSymbolicLinkType;

// Creates an object of BodySize zeroed bytes with one reference and no handle.
// Name (optional) is inserted into the namespace; STATUS_OBJECT_NAME_COLLISION
// when it exists, STATUS_OBJECT_PATH_NOT_FOUND when its directory does not.
// SecurityDescriptor (optional) is copied into the object.
NTSTATUS ObCreateObject(ObjectType* Type, ULONG BodySize, PCUNICODE_STRING Name,
                        PSECURITY_DESCRIPTOR SecurityDescriptor, PVOID* Body);

// Removes the object's name from the namespace (the object lives on while
// referenced). Used for temporary objects such as device objects being deleted.
// (The exported NT routine itself, so that code using both namespaces sees
// one function.)
using ::ObMakeTemporaryObject;

ObjectType* ObGetObjectType(PVOID Body);
LONG ObGetReferenceCount(PVOID Body);
ULONG ObGetHandleCount(PVOID Body);
// The object's security descriptor (self-relative) or NULL; owned by the object.
PSECURITY_DESCRIPTOR ObGetSecurityDescriptor(PVOID Body);
// Replaces it with a copy of the given self-relative descriptor.
NTSTATUS ObSetSecurityDescriptor(PVOID Body, PSECURITY_DESCRIPTOR SecurityDescriptor);

// Inserts a handle in the current process's table (or the kernel table for
// OBJ_KERNEL_HANDLE), taking one reference of its own.
NTSTATUS ObInsertHandle(PVOID Body, ACCESS_MASK GrantedAccess, ULONG Attributes,
                        KPROCESSOR_MODE AccessMode, PHANDLE Handle);

// Looks a name up as described above and returns a referenced object.
NTSTATUS ObReferenceObjectByNameEx(PCUNICODE_STRING Name, HANDLE RootDirectory, ULONG Attributes,
                                   ObjectType* Type, KPROCESSOR_MODE AccessMode, ACCESS_MASK DesiredAccess,
                                   PVOID ParseContext, PVOID* Object);

// Looks a name up and inserts a handle to the result.
NTSTATUS ObOpenObjectByNameEx(POBJECT_ATTRIBUTES ObjectAttributes, ObjectType* Type,
                              KPROCESSOR_MODE AccessMode, ACCESS_MASK DesiredAccess, PVOID ParseContext,
                              PHANDLE Handle);

// Creates a symbolic link object named LinkName whose target is Target.
NTSTATUS ObCreateSymbolicLink(PCUNICODE_STRING LinkName, PCUNICODE_STRING Target);
NTSTATUS ObDeleteSymbolicLink(PCUNICODE_STRING LinkName);

// Creates a directory object (and its parents) when it does not exist.
NTSTATUS ObCreateDirectory(PCUNICODE_STRING Name);

// Open handles of every process (for the verifier's report).
SIZE_T ObCountOpenHandles();

// ---- Additions -----------------------------------------------------------------

// The exported POBJECT_TYPE of the NT API is a plat::ObjectType.
inline POBJECT_TYPE ObExportType(ObjectType* Type) { return reinterpret_cast<POBJECT_TYPE>(Type); }
inline ObjectType* ObImportType(POBJECT_TYPE Type) { return reinterpret_cast<ObjectType*>(Type); }

// ObCreateObject with object attributes: OBJ_PERMANENT keeps the name until
// ObMakeTemporaryObject (ObCreateObject always does); without it the name goes
// when the last handle is closed, as for named events. OBJ_OPENIF returns the
// existing object of the same type (referenced) with STATUS_OBJECT_NAME_EXISTS.
// OBJ_CASE_INSENSITIVE is honoured for the collision check.
// Initialize (optional) runs on the zeroed body before the name becomes
// visible, so that nobody finds the object half made.
typedef VOID (*ObInitializeProcedure)(PVOID Body, PVOID Context);
NTSTATUS ObCreateObjectEx(ObjectType* Type, ULONG BodySize, PCUNICODE_STRING Name, HANDLE RootDirectory,
                          ULONG Attributes, PSECURITY_DESCRIPTOR SecurityDescriptor, PVOID* Body,
                          ObInitializeProcedure Initialize = nullptr, PVOID Context = nullptr);

// Notes on lookups (ObReferenceObjectByNameEx, ObOpenObjectByNameEx):
// - A name must begin with "\" unless RootDirectory is given. Relative to a
//   directory object the walk starts there; relative to an object whose type has
//   a Parse procedure (a file, a key) that procedure receives the whole name as
//   RemainingName (no leading "\").
// - Without OBJ_CASE_INSENSITIVE, names compare exactly.
// - A symbolic link is followed wherever it appears, also as a prefix (its
//   target replaces the part of the name up to it); a link at the end of the
//   name is opened itself only with OBJ_OPENLINK and Type ObSymbolicLinkType.
// - Parse procedures receive RemainingName beginning with the "\" that follows
//   the parsed object (or empty), passed on verbatim. CompleteName->Buffer is
//   pool memory owned by the lookup: a Parse answering STATUS_REPARSE either
//   rewrites it in place (within MaximumLength) or frees it with ExFreePool and
//   stores a new pool buffer; the lookup frees whatever buffer is there at the end.
// - STATUS_OBJECT_NAME_NOT_FOUND when the last component is missing,
//   STATUS_OBJECT_PATH_NOT_FOUND when a directory on the way is missing,
//   STATUS_OBJECT_PATH_SYNTAX_BAD for a relative name without a root,
//   STATUS_OBJECT_TYPE_MISMATCH when the object is not of the requested type.

// The object's name as it stands in its directory (without the path), or an
// empty string when it has none. Buffer owned by the object.
UNICODE_STRING ObGetObjectName(PVOID Body);
// The full path "\Device\X" of a named object into a pool buffer the caller
// frees with ExFreePool; STATUS_OBJECT_NAME_NOT_FOUND when it has no name.
NTSTATUS ObQueryFullName(PVOID Body, PUNICODE_STRING FullName);

// True when Body is a live object of the current kernel.
bool ObIsObject(PVOID Body);

// Handle table of the current process (or the kernel table): the object and the
// granted access of a handle, without taking a reference (for diagnostics).
NTSTATUS ObQueryHandle(HANDLE Handle, KPROCESSOR_MODE AccessMode, PVOID* Object, ACCESS_MASK* GrantedAccess);

}  // namespace plat
