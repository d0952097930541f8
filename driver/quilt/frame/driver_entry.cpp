// Driver entry: reads the configuration, derives the paths the driver works
// with, creates the control device, the global locks, events, name tables and
// lookaside lists, installs the dispatch table, registers for file-system
// changes and shutdown and starts the system threads. The driver has no unload
// routine: what a successful entry creates stays for the life of the system.
#include <ntifs.h>

#include "common/kernel_runtime.h"
#include "common/name_table.h"
#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "frame/configuration.h"
#include "frame/device_context.h"
#include "frame/dispatch.h"
#include "frame/driver_entry.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "lowerio/lower_request.h"

// The string table's and the open-file table's bucket arrays are 3072 bytes on
// 32-bit Windows.
static_assert(sizeof(void*) != 4 || NAME_TABLE_BUCKETS * sizeof(NameTableNode*) == 3072, "bucket array size");

// FileObjectStatus records are 152 bytes on 32-bit Windows.
static_assert(sizeof(void*) != 4 || FILE_OBJECT_STATUS_BYTES == 152, "FileObjectStatus lookaside entries");

// How far driver entry has come; undoing starts from there.
static EntryStage g_EntryStage;

// ---- Dispatch table -------------------------------------------------------------

struct DispatchEntry {
    UCHAR MajorFunction;
    PDRIVER_DISPATCH Handler;
};

// Applied in order after every major function was pointed at the pass-down
// routine; ended by an entry without handler.
static const DispatchEntry g_DispatchTable[] = {
    {IRP_MJ_CREATE, QLTCreate},
    {IRP_MJ_CLEANUP, QLTCleanupClose},
    {IRP_MJ_CLOSE, QLTCleanupClose},
    {IRP_MJ_WRITE, WriteDispatch},
    {IRP_MJ_QUERY_INFORMATION, QLTQueryInformation},
    {IRP_MJ_SET_INFORMATION, QLTSetInformation},
    {IRP_MJ_DIRECTORY_CONTROL, QLTDirectoryControl},
    {IRP_MJ_DEVICE_CONTROL, QLTDeviceControl},
    {IRP_MJ_FILE_SYSTEM_CONTROL, QLTFileSystemControl},
    {IRP_MJ_QUERY_VOLUME_INFORMATION, QLTQueryVolumeInformation},
    {IRP_MJ_SET_VOLUME_INFORMATION, QLTSetVolumeInformation},
    {IRP_MJ_SET_SECURITY, QLTSetSecurity},
    {IRP_MJ_QUERY_SECURITY, QLTQuerySecurity},
    {IRP_MJ_FLUSH_BUFFERS, QLTFlushBuffers},
    {IRP_MJ_SHUTDOWN, QLTShutdown},
    {0, NULL},
};

static VOID InstallDispatchTable(PDRIVER_OBJECT DriverObject) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = PassThrough;
    }
    for (const DispatchEntry* entry = g_DispatchTable; entry->Handler != NULL; ++entry) {
        DriverObject->MajorFunction[entry->MajorFunction] = entry->Handler;
    }
    DriverObject->FastIoDispatch = QuiltFastIoTable();
}

// ---- The pieces of driver entry, each undone by its own routine ---------------

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\quilt");
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DeviceContext), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(device->DeviceExtension, sizeof(DeviceContext));
    g_Quilt.ControlDevice = device;
    return STATUS_SUCCESS;
}

// The control device serves its own requests (device control) from the start.
static VOID FillControlDeviceContext() {
    DeviceContext* context = DeviceContextOf(g_Quilt.ControlDevice);
    context->Kind = DEVICE_KIND_CONTROL;
    context->Size = sizeof(DeviceContext);
    context->DriverObject = g_Quilt.DriverObject;
    context->LowerDevice = NULL;
    context->Attached = 0;
    context->Serving = 1;
    g_Quilt.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
}

static VOID DeleteControlDevice() {
    if (g_Quilt.ControlDevice != NULL) {
        IoDeleteDevice(g_Quilt.ControlDevice);
        g_Quilt.ControlDevice = NULL;
    }
}

static PERESOURCE const g_Locks[] = {
    &g_Quilt.AttachLock, &g_Quilt.OpenFileLock, &g_Quilt.StoreLock, &g_Quilt.TargetListLock,
};

#define QUILT_LOCK_COUNT (ARRAYSIZE(g_Locks) + QUILT_TABLE_LOCKS)

// The four locks first, then the 16 table locks.
static PERESOURCE LockAt(ULONG Index) {
    return Index < ARRAYSIZE(g_Locks) ? g_Locks[Index] : &g_Quilt.TableLocks[Index - ARRAYSIZE(g_Locks)];
}

static VOID DeleteFirstLocks(ULONG Count) {
    for (ULONG i = 0; i < Count; ++i) {
        ExDeleteResourceLite(LockAt(i));
    }
}

// The four locks and the 16 table locks, or none of them.
static NTSTATUS InitializeLocks() {
    for (ULONG i = 0; i < QUILT_LOCK_COUNT; ++i) {
        NTSTATUS status = ExInitializeResourceLite(LockAt(i));
        if (!NT_SUCCESS(status)) {
            DeleteFirstLocks(i);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

static VOID DeleteLocks() {
    DeleteFirstLocks(QUILT_LOCK_COUNT);
}

static NTSTATUS CreateNameTable(NameTable* Table, ULONG Tag, NAME_TABLE_HASH Hash, NAME_TABLE_EQUAL Equal) {
    NameTableNode** buckets = NameTableAllocateBuckets(NAME_TABLE_BUCKETS, Tag);
    if (buckets == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NameTableInitialize(Table, buckets, NAME_TABLE_BUCKETS, Hash, Equal)) {
        ExFreePoolWithTag(buckets, Tag);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// The string table (paths, compared without regard to case) and the open-file
// table (file objects), or neither.
static NTSTATUS CreateNameTables() {
    NTSTATUS status = CreateNameTable(&g_Quilt.StringTable, QUILT_TAG_STRING_TABLE, NameTableHashString,
                                      NameTableEqualString);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateNameTable(&g_Quilt.OpenFileTable, QUILT_TAG_OPEN_TABLE, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        NameTableDestroy(&g_Quilt.StringTable, 0);
    }
    return status;
}

static VOID DestroyNameTables() {
    NameTableDestroy(&g_Quilt.OpenFileTable, 0);
    NameTableDestroy(&g_Quilt.StringTable, 0);
}

static VOID InitializeRecordLists() {
    PathBufferListInitialize();
    ExInitializeNPagedLookasideList(&g_Quilt.FileObjectStatusList, NULL, NULL, 0, FILE_OBJECT_STATUS_BYTES,
                                    QUILT_TAG_FILE_STATUS, 0);
    g_Quilt.PathBuffersReady = 1;
}

static VOID InitializeCopyBufferList() {
    ExInitializeNPagedLookasideList(&g_Quilt.CopyBufferList, NULL, NULL, 0, g_Quilt.Config.FileCopyBufferSize,
                                    QUILT_TAG_COPY_BUFFER, 0);
}

static VOID DeleteLookasideLists(EntryStage Reached) {
    if (Reached >= EntryStageCopyBuffers) {
        ExDeleteNPagedLookasideList(&g_Quilt.CopyBufferList);
    }
    g_Quilt.PathBuffersReady = 0;
    ExDeleteNPagedLookasideList(&g_Quilt.FileObjectStatusList);
    PathBufferListDelete();
}

static VOID ReleaseThread(PETHREAD* Thread) {
    if (*Thread != NULL) {
        ObDereferenceObject(*Thread);
        *Thread = NULL;
    }
}

VOID UndoDriverEntry() {
    EntryStage reached = g_EntryStage;
    if (reached >= EntryStageComplete) {
        ReleaseThread(&g_Quilt.PrecreateThread);
        ReleaseThread(&g_Quilt.RestoreThread);
        IoUnregisterShutdownNotification(g_Quilt.ControlDevice);
    }
    if (reached >= EntryStageRegistered) {
        IoUnregisterFsRegistrationChange(g_Quilt.DriverObject, FsRegistrationChange);
    }
    if (reached >= EntryStageRecordLists) {
        DeleteLookasideLists(reached);
    }
    if (reached >= EntryStageTables) {
        DestroyNameTables();
    }
    if (reached >= EntryStageLocks) {
        DeleteLocks();
    }
    if (reached >= EntryStageControlDevice) {
        DeleteControlDevice();
        QuiltRunStaticDestructors();
    }
    g_EntryStage = EntryStageNone;
}

// ---- Configuration steps ------------------------------------------------------

static BOOLEAN ReadCheckFilePath(PCUNICODE_STRING RegistryPath) {
    PWSTR path = g_Quilt.Config.CheckFilePath;
    NTSTATUS status = ReadParameter(RegistryPath, L"\\Parameters", L"CheckFilePath", path,
                                    sizeof(g_Quilt.Config.CheckFilePath));
    path[QUILT_PATH_CHARS - 1] = L'\0';  // a value that fills the buffer is still terminated
    return (BOOLEAN)(NT_SUCCESS(status) && IsUsableCheckFilePath(path));
}

static VOID ReadSiblingConfiguration() {
    UNICODE_STRING siblingKey;
    RtlInitUnicodeString(&siblingKey, QUILT_SIBLING_SERVICE_KEY);
    PWSTR path = g_Quilt.Config.VBSFilePath;
    ReadParameter(&siblingKey, L"\\Parameters", L"VBSFilePath", path, sizeof(g_Quilt.Config.VBSFilePath));
    path[QUILT_PATH_CHARS - 1] = L'\0';
    DbgPrint("VirtualMBR filename = %S\n", path);
}

static VOID ReadVersion(PCUNICODE_STRING RegistryPath) {
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    g_Quilt.OsVersion = (major << 24) | (minor << 16);
    g_Quilt.Config.WFAccessMode = ReadDword(RegistryPath, L"WFAccessMode", IsWindows6OrLater() ? 0 : 1);
}

static VOID StartThreads() {
    g_Quilt.RestoreThread = StartSystemThread(RegistryChanger, NULL);
    if (g_Quilt.Config.PrecreateEnable != 0) {
        g_Quilt.PrecreateThread = StartSystemThread(QuiltPrecreateTemporaryFile, NULL);
    }
}

// Fresh driver state: a newly loaded image has it already; a host reload
// needs it again.
static VOID ResetDriverState() {
    RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
    DriveStateInitialize();
    TimingReset();
    g_EntryStage = EntryStageNone;
}

// Ends driver entry after its status bit.
static NTSTATUS EntryEnded(NTSTATUS Status) {
    SetStatusBits(STATUS_BIT_ENTRY_ENDED);
    return Status;
}

// Undoes everything and ends driver entry with Status.
static NTSTATUS EntryFailed(NTSTATUS Status) {
    UndoDriverEntry();
    return EntryEnded(Status);
}

// Steps 3 to 9: configuration, the control device, dispatch, locks, events.
static NTSTATUS CreateFrame(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath) {
    g_Quilt.ProcessNameOffset = FindProcessNameOffset();
    ReadStartupConfiguration(RegistryPath);
    g_Quilt.DriverObject = DriverObject;
    ExSystemTimeToLocalTime(&g_Quilt.LoadTime, &g_Quilt.LoadLocalTime);

    NTSTATUS status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    g_EntryStage = EntryStageControlDevice;
    InstallDispatchTable(DriverObject);
    InitializeListHead(&g_Quilt.RetiredDevices);
    status = InitializeLocks();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    g_EntryStage = EntryStageLocks;
    FillControlDeviceContext();
    KeInitializeEvent(&g_Quilt.InstallDriveReady, NotificationEvent, FALSE);
    KeInitializeEvent(&g_Quilt.StartupGate, NotificationEvent, FALSE);
    KeInitializeEvent(&g_Quilt.SystemDriveReady, NotificationEvent, FALSE);
    ReadVersion(RegistryPath);
    return STATUS_SUCCESS;
}

// Steps 11 to 17: derived paths, tables, lookaside lists, watched files.
static NTSTATUS CreateGlobalObjects(PCUNICODE_STRING RegistryPath) {
    DeriveInstallPaths();
    ReadSiblingConfiguration();
    KeInitializeEvent(&g_Quilt.InstallDriveDoneEvent, NotificationEvent, FALSE);

    NTSTATUS status = CreateNameTables();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    g_EntryStage = EntryStageTables;
    InitializeRecordLists();
    g_EntryStage = EntryStageRecordLists;

    DeriveSystemRoot();
    KeInitializeEvent(&g_Quilt.RegistryRestored, NotificationEvent, FALSE);
    g_Quilt.Config.GetTimeInfo = ReadDword(RegistryPath, L"GetTimeInfo", 0);
    BuildWatchedBootFiles((BOOLEAN)(g_Quilt.Config.GetTimeInfo != 0));

    g_Quilt.Config.FileCopyBufferSize =
        BoundFileCopyBufferSize(ReadDword(RegistryPath, L"FileCopyBufferSize", QUILT_DEFAULT_COPY_BUFFER));
    InitializeCopyBufferList();
    g_EntryStage = EntryStageCopyBuffers;
    InitializeListHead(&g_Quilt.PrecreateQueue);
    KeInitializeSpinLock(&g_Quilt.PrecreateQueueLock);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    if (DriverObject == NULL || RegistryPath == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = QuiltRunStaticInitializers();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ResetDriverState();
    DbgPrint("quilt.sys: Driver started\n");
    SetStatusBits(STATUS_BIT_ENTRY_BEGAN);
    KeQuerySystemTime(&g_Quilt.LoadTime);

    status = CreateFrame(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        return EntryFailed(status);
    }
    // Without a usable check file path the driver stays loaded and protects
    // nothing.
    if (!ReadCheckFilePath(RegistryPath)) {
        UndoDriverEntry();
        return EntryEnded(STATUS_SUCCESS);
    }
    status = CreateGlobalObjects(RegistryPath);
    if (!NT_SUCCESS(status)) {
        return EntryFailed(status);
    }
    status = IoRegisterFsRegistrationChange(DriverObject, FsRegistrationChange);
    if (!NT_SUCCESS(status)) {
        return EntryFailed(status);
    }
    g_EntryStage = EntryStageRegistered;
    IoRegisterShutdownNotification(g_Quilt.ControlDevice);
    StartThreads();
    g_EntryStage = EntryStageComplete;
    return EntryEnded(STATUS_SUCCESS);
}
