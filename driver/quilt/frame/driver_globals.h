// The driver's global state: configuration, derived paths, the status word,
// the global locks, events, tables and lookaside lists. Driver entry creates
// all of it; nothing is released after a successful driver entry.
//
// Locks (executive resources, always taken exclusively inside a critical
// region):
//   AttachLock      attaching, mount completion, detach
//   OpenFileLock    the open-file table and the string table
//   StoreLock       every change store; recursive; released around every call
//                   down to the real file system
//   TableLocks[16]  a store hash table's lock is TableLocks[block index % 16];
//                   always taken after StoreLock
//   TargetListLock  the target lists of every volume
// A spin lock guards the pre-creation queue.
#pragma once

#include <ntifs.h>

#include "common/name_table.h"

#define QUILT_PATH_CHARS 261       // CheckFilePath / VBSFilePath with terminator
#define QUILT_SYSTEM_ROOT_CHARS 260
#define QUILT_TABLE_LOCKS 16
#define QUILT_WATCHED_BOOT_FILES 18  // six always, twelve more with GetTimeInfo

// Driver status word bits.
#define STATUS_BIT_ENTRY_BEGAN          0x001
#define STATUS_BIT_ENTRY_ENDED          0x002
#define STATUS_BIT_FS_ATTACHED          0x004
#define STATUS_BIT_SYSTEM_MOUNTED       0x008
#define STATUS_BIT_INSTALL_MOUNTED      0x010
#define STATUS_BIT_SHUTDOWN_CHECKED     0x020
#define STATUS_BIT_SYSTEM_VOLUME_DEVICE 0x040
#define STATUS_BIT_SYSTEM_BOOKKEEPING   0x080
#define STATUS_BIT_SYSTEM_PROTECTED     0x100
#define STATUS_BIT_SYSTEM_STARTUP_DONE  0x200
#define STATUS_BIT_RESTORE_STARTED      0x400
#define STATUS_BIT_RESTORE_FINISHED     0x800

// Index of each watched boot file in QuiltGlobals::WatchedBootFiles.
enum WatchedBootFile {
    WatchedSoftware, WatchedSam, WatchedSecurity, WatchedSystem, WatchedDefault, WatchedServices,
    WatchedSmss, WatchedCsrss, WatchedWinlogon, WatchedExplorer, WatchedNtdll, WatchedCdrom,
    WatchedFsRec, WatchedGdi32, WatchedKernel32, WatchedUser32, WatchedQsvAgent, WatchedQStarter,
};

struct QuiltConfiguration {
    ULONG DeleteStartDelay;
    ULONG USBDiskSupport;
    ULONG SubFolderLimit;
    ULONG EnableScmWait;
    ULONG PrecreateEnable;
    ULONG PrecreateSizeLimit;
    ULONG PrecreateWatchTime;
    ULONG PrecreateStartTime;
    ULONG WFAccessMode;
    ULONG GetTimeInfo;
    ULONG FileCopyBufferSize;
    WCHAR CheckFilePath[QUILT_PATH_CHARS];
    WCHAR VBSFilePath[QUILT_PATH_CHARS];
};

struct QuiltGlobals {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT ControlDevice;
    volatile LONG StatusWord;
    QuiltConfiguration Config;

    // Derived paths.
    WCHAR InstallFolder[QUILT_PATH_CHARS];          // e.g. C:\Program Files\Quilt\INI\ (with drive)
    ULONG InstallDrive;                              // 0 = A: no install drive known
    WCHAR MarkerFilePath[QUILT_PATH_CHARS + 16];     // install folder + "$-MkFile.flg"
    WCHAR RegistrySnapshotPath[QUILT_PATH_CHARS + 16];  // install folder + "registry.dat"
    WCHAR SystemRoot[QUILT_SYSTEM_ROOT_CHARS];       // e.g. C:\WINDOWS
    ULONG SystemDrive;
    UNICODE_STRING WatchedBootFiles[QUILT_WATCHED_BOOT_FILES];  // without drive letter
    ULONG WatchedBootFileCount;
    ULONG OsVersion;                                 // major << 24 | minor << 16
    ULONG ProcessNameOffset;                         // 0 = not found
    LARGE_INTEGER LoadTime;                          // UTC
    LARGE_INTEGER LoadLocalTime;

    ERESOURCE AttachLock;
    ERESOURCE OpenFileLock;
    ERESOURCE StoreLock;
    ERESOURCE TargetListLock;
    ERESOURCE TableLocks[QUILT_TABLE_LOCKS];

    KEVENT InstallDriveReady;
    KEVENT StartupGate;
    KEVENT SystemDriveReady;
    KEVENT InstallDriveDoneEvent;
    KEVENT RegistryRestored;

    NameTable StringTable;     // physical path -> open-name record
    NameTable OpenFileTable;   // file object -> FileObjectStatus
    NPAGED_LOOKASIDE_LIST FileObjectStatusList;
    NPAGED_LOOKASIDE_LIST CopyBufferList;

    LIST_ENTRY RetiredDevices;
    LIST_ENTRY PrecreateQueue;
    KSPIN_LOCK PrecreateQueueLock;

    // Names the handler that last started or finished; read only with a debugger.
    const char* volatile CurrentOperation;

    // Set by the registry restore thread when the restore has ended, together
    // with the RegistryRestored event.
    volatile UCHAR RegistryRestoredFlag;
    // The path-buffer lookaside list exists (the log needs it).
    UCHAR PathBuffersReady;
    // The system threads driver entry started (referenced; NULL when none).
    PETHREAD RestoreThread;
    PETHREAD PrecreateThread;
};

extern QuiltGlobals g_Quilt;

// Entries of the FileObjectStatus lookaside list: 152 bytes on 32-bit Windows,
// the same record with 8-byte pointers on the host.
#define FILE_OBJECT_STATUS_BYTES (152 * sizeof(PVOID) / 4)

// Reads value ValueName of the key BasePath + SubKey (SubKey may be NULL) into
// Destination, which is zeroed first and receives at most DestinationSize
// bytes of the value's data. STATUS_INVALID_PARAMETER for a missing base path,
// name or destination or a zero size; STATUS_INSUFFICIENT_RESOURCES when a
// buffer cannot be had; otherwise the status of ZwOpenKey or ZwQueryValueKey
// (a value longer than the destination fails with STATUS_BUFFER_OVERFLOW).
NTSTATUS ReadParameter(PCUNICODE_STRING BasePath, PCWSTR SubKey, PCWSTR ValueName, PVOID Destination,
                       ULONG DestinationSize);

// The DWORD ValueName under RegistryPath\Parameters, or Default when it cannot
// be read.
ULONG ReadDword(PCUNICODE_STRING RegistryPath, PCWSTR ValueName, ULONG Default);

// Creates a system thread running StartRoutine(Context) and returns its
// referenced thread object; NULL for a NULL routine or when the thread cannot
// be created.
PETHREAD StartSystemThread(PKSTART_ROUTINE StartRoutine, PVOID Context);

// Writes the first 15 bytes of the current process's image name and a zero
// byte into Destination (at least 16 bytes), or "???" when the image name's
// offset is unknown. Returns Destination (NULL for a NULL destination).
PCHAR GetCurrentProcessName(PCHAR Destination);

inline BOOLEAN IsWindows6OrLater() {
    return g_Quilt.OsVersion >= 0x06000000;
}

inline VOID SetStatusBits(LONG Bits) {
    InterlockedOr(&g_Quilt.StatusWord, Bits);
}

// Exclusive acquisition inside a critical region, the only way the driver
// takes its resources.
inline VOID AcquireExclusive(PERESOURCE Resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Resource, TRUE);
}

inline VOID ReleaseExclusive(PERESOURCE Resource) {
    ExReleaseResourceLite(Resource);
    KeLeaveCriticalRegion();
}

// Holds a resource exclusively for the scope's lifetime (recursively when the
// thread owns it already).
class ExclusiveScope {
public:
    explicit ExclusiveScope(PERESOURCE Resource) : m_Resource(Resource) { AcquireExclusive(Resource); }
    ~ExclusiveScope() { ReleaseExclusive(m_Resource); }

    ExclusiveScope(const ExclusiveScope&) = delete;
    ExclusiveScope& operator=(const ExclusiveScope&) = delete;

private:
    PERESOURCE m_Resource;
};
