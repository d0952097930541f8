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
VOID ObMakeTemporaryObject(PVOID Body);

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

}  // namespace plat
