// Object manager: references, handles, object security, object types, named
// events, directory and symbolic-link objects, object waits by handle.
#pragma once

#include "ntdef.h"
#include "ke.h"

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _ACCESS_STATE* PACCESS_STATE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// Object-specific rights (the standard rights they use are in se.h).
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define SEMAPHORE_QUERY_STATE 0x0001
#define SEMAPHORE_MODIFY_STATE 0x0002
#define SEMAPHORE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define DIRECTORY_QUERY 0x0001
#define DIRECTORY_TRAVERSE 0x0002
#define DIRECTORY_CREATE_OBJECT 0x0004
#define DIRECTORY_CREATE_SUBDIRECTORY 0x0008
#define DIRECTORY_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0xF)
#define SYMBOLIC_LINK_QUERY 0x0001
#define SYMBOLIC_LINK_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x1)

#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

NT_BEGIN_C

// Object types the kernel exports (pointers to the type, as NT exports them).
// IoFileObjectType is defined by the I/O manager.
extern NTKERNELAPI POBJECT_TYPE* ExEventObjectType;
extern NTKERNELAPI POBJECT_TYPE* PsThreadType;
extern NTKERNELAPI POBJECT_TYPE* PsProcessType;
extern NTKERNELAPI POBJECT_TYPE* IoFileObjectType;

// Returns the new / remaining reference count.
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);

// Returns a referenced object for a handle of the current process (or a
// kernel handle). ObjectType NULL accepts any type. In UserMode the handle's
// granted access must include DesiredAccess (after generic mapping) and kernel
// handles are refused; KernelMode skips the access check.
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID* Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode);
// Inserts a handle to an existing object (OBJ_KERNEL_HANDLE in HandleAttributes
// for a kernel handle).
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                 PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                                 POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                 PHANDLE Handle);

// The object's security descriptor; MemoryAllocated tells whether the caller's
// release frees a copy. Always pair with ObReleaseObjectSecurity.
NTKERNELAPI NTSTATUS NTAPI ObGetObjectSecurity(PVOID Object, PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                               PBOOLEAN MemoryAllocated);
NTKERNELAPI VOID NTAPI ObReleaseObjectSecurity(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               BOOLEAN MemoryAllocated);

// Removes the object's name (a permanent object becomes temporary).
NTKERNELAPI VOID NTAPI ObMakeTemporaryObject(PVOID Object);

// Closes a handle. ZwClose runs with previous mode KernelMode; NtClose with the
// caller's (a user-mode caller cannot close a kernel handle).
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle);

// Event objects by handle; named events live in the object namespace.
NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                      BOOLEAN InitialState);
NTSYSAPI NTSTATUS NTAPI ZwOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSYSAPI NTSTATUS NTAPI ZwClearEvent(HANDLE EventHandle);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                      BOOLEAN InitialState);
NTSYSAPI NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSYSAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// Opens the named event or creates it (a name without a directory goes to
// \BaseNamedObjects). The new handle is a kernel handle; the returned pointer
// is valid while it is open. NULL on failure.
NTKERNELAPI PKEVENT NTAPI IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);
NTKERNELAPI PKEVENT NTAPI IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);

// Directory and symbolic-link objects.
NTSYSAPI NTSTATUS NTAPI ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                              POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes,
                                                   PUNICODE_STRING LinkTarget);
NTSYSAPI NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                 POBJECT_ATTRIBUTES ObjectAttributes);
// STATUS_BUFFER_TOO_SMALL (with *ReturnedLength) when LinkTarget cannot hold it.
NTSYSAPI NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                                  PULONG ReturnedLength);
NTSYSAPI NTSTATUS NTAPI ZwMakeTemporaryObject(HANDLE Handle);

NT_END_C
