// The shared user data page as drivers read it: SharedUserData->NtSystemRoot
// is the Windows directory with its drive letter (for example C:\WINDOWS).
// Layout of our own; only the fields below exist.
#pragma once

#include "ntdef.h"

typedef struct _KUSER_SHARED_DATA {
    WCHAR NtSystemRoot[260];
    ULONG NtMajorVersion;
    ULONG NtMinorVersion;
} KUSER_SHARED_DATA, *PKUSER_SHARED_DATA;

// The current kernel's page, filled from its options when the kernel is created.
EXTERN_C NTKERNELAPI const KUSER_SHARED_DATA* NTAPI QntSharedUserData(void);
#define SharedUserData (QntSharedUserData())
