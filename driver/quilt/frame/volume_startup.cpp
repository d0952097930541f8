// Volume start-up: the mount completion attaches a volume filter above a newly
// mounted volume and starts its start-up thread; the thread waits for the
// start-up gate, sets the volume up for protection and, after a delay,
// deletes the work of the previous boots.
//
// Order across volumes: the install drive checks the last shutdown, consumes
// the marker file and loads the check file, then sets install-drive-ready;
// every other drive waits for that event (or its own removal) and is then
// judged by the configured drive mask.
#include "frame/volume_startup.h"

#include <ntstrsafe.h>

#include "common/path_buffer.h"
#include "frame/check_file.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "frame/log.h"
#include "frame/sibling_disk.h"
#include "frame/target_list.h"
#include "frame/volume_lookup.h"
#include "frame/work_folder.h"
#include "lowerio/file_open.h"
#include "lowerio/lower_request.h"
#include "store/block_pool.h"
#include "store/store_lock.h"
#include "workarea/folder_deleter.h"

#define STARTUP_THREAD_PRIORITY       16
#define LOW_SPACE_DELETE_START_DELAY  3      // seconds, once a volume is short of space
#define VOLUME_DEVICE_NAME_CHARS      32
#define FS_ATTRIBUTE_BUFFER_BYTES     (sizeof(FILE_FS_ATTRIBUTE_INFORMATION) + 64 * sizeof(WCHAR))
#define TICKS_PER_SECOND              10000000LL
#define DELETION_SEMAPHORE_LIMIT      0x7FFFFFFF

static WCHAR LetterOf(ULONG DriveIndex) {
    return (WCHAR)(L'A' + DriveIndex);
}

static BOOLEAN IsSystemDrive(ULONG DriveIndex) {
    return (BOOLEAN)(DriveIndex == g_Quilt.SystemDrive);
}

static BOOLEAN IsInstallDrive(ULONG DriveIndex) {
    return (BOOLEAN)(DriveIndex == g_Quilt.InstallDrive);
}

// ---- Volume device ------------------------------------------------------------------

// "\Device\quilt<L>": the name through which the driver's own opens reach
// the file system below the protection.
static VOID FormatVolumeDeviceLink(PWSTR Buffer, ULONG DriveIndex) {
    RtlStringCchPrintfW(Buffer, VOLUME_DEVICE_NAME_CHARS, L"\\Device\\quilt%c", LetterOf(DriveIndex));
}

// Creates \Device\quilt<n> and its link \Device\quilt<L> under the store lock,
// which guards the volume device counter. NULL when either cannot be made.
static PDEVICE_OBJECT CreateVolumeDevice(VolumeContext* Volume) {
    WCHAR deviceText[VOLUME_DEVICE_NAME_CHARS];
    WCHAR linkText[VOLUME_DEVICE_NAME_CHARS];
    FormatVolumeDeviceLink(linkText, Volume->DriveIndex);
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, linkText);

    StoreLockScope lock;
    RtlStringCchPrintfW(deviceText, VOLUME_DEVICE_NAME_CHARS, L"\\Device\\quilt%d", g_Drives.VolumeDeviceCounter);
    RtlInitUnicodeString(&deviceName, deviceText);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(g_Quilt.DriverObject, sizeof(DeviceContext), &deviceName,
                                     Volume->LowerDevice->DeviceType, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return NULL;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return NULL;
    }
    g_Drives.VolumeDeviceCounter++;
    return device;
}

// The volume device passes everything to the file system below the filter.
// It copies the filter's stack size and VPB pointer; a file-system filter
// device has no VPB, so the pointer stays NULL and opens through the device's
// name reach the driver's own create handler rather than a mount. Of the
// filter's flags only the buffering method is copied: the device's own flags
// (its name among them) must stay as IoCreateDevice set them.
static VOID FillVolumeDevice(PDEVICE_OBJECT Filter, PDEVICE_OBJECT Device) {
    VolumeContext* volume = DeviceContextOf(Filter);
    DeviceContext* context = DeviceContextOf(Device);
    RtlZeroMemory(context, sizeof(DeviceContext));
    context->Kind = DEVICE_KIND_VOLUME_DEVICE;
    context->Size = sizeof(DeviceContext);
    context->DriverObject = g_Quilt.DriverObject;
    context->LowerDevice = volume->LowerDevice;
    context->RealDevice = volume->RealDevice;
    context->DriveIndex = volume->DriveIndex;
    context->Ntfs = volume->Ntfs;
    Device->StackSize = Filter->StackSize;
    Device->Vpb = Filter->Vpb;
    Device->Flags |= Filter->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    StoreLockScope lock;
    g_Drives.VolumeDevices[volume->DriveIndex] = Device;
}

// Deletes the drive's volume device and its link when they belong to this
// volume (the same file-system volume device below).
static VOID DeleteVolumeDevice(VolumeContext* Volume) {
    ULONG drive = Volume->DriveIndex;
    if (drive >= QUILT_DRIVE_COUNT) {
        return;
    }
    PDEVICE_OBJECT device = NULL;
    {
        StoreLockScope lock;
        device = g_Drives.VolumeDevices[drive];
        DeviceContext* context = DeviceContextOf(device);
        if (context == NULL || context->LowerDevice != Volume->LowerDevice) {
            return;
        }
        g_Drives.VolumeDevices[drive] = NULL;
    }
    WCHAR linkText[VOLUME_DEVICE_NAME_CHARS];
    FormatVolumeDeviceLink(linkText, drive);
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, linkText);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
}

// ---- TearDownVolume -------------------------------------------------------------------

static VOID FreeTargetLists(DeviceContext* Context) {
    AcquireExclusive(&g_Quilt.TargetListLock);
    TargetListFree(&Context->CheckFileTargets);
    TargetListFree(&Context->RequestTargets);
    TargetListFree(&Context->PrecreateTargets);
    Context->CheckFileTargetCount = 0;
    ReleaseExclusive(&g_Quilt.TargetListLock);
}

// Every piece is released only when present and forgotten once released, so
// that a half-set-up volume and a second call are safe. The target lists go
// too (they belong to the volume's lifetime); so does the volume filter
// table's entry of a filter torn down, which must not outlive the device.
VOID TearDownVolume(PDEVICE_OBJECT Device) {
    DeviceContext* context = DeviceContextOf(Device);
    if (context == NULL) {
        return;
    }
    context->Serving = 0;
    CloseLowerFile(context->WorkFolderFile, context->WorkFolderHandle);
    context->WorkFolderFile = NULL;
    context->WorkFolderHandle = NULL;
    FileBlockTearDown(context);
    FreeTargetLists(context);
    if (context->NotifySync != NULL) {
        FsRtlNotifyUninitializeSync(&context->NotifySync);
        context->NotifySync = NULL;
    }
    if (context->Kind != DEVICE_KIND_VOLUME_FILTER) {
        return;
    }
    DeleteVolumeDevice(context);
    StoreLockScope lock;
    if (context->DriveIndex < QUILT_DRIVE_COUNT && g_Drives.VolumeFilters[context->DriveIndex] == Device) {
        g_Drives.VolumeFilters[context->DriveIndex] = NULL;
        g_Drives.ProtectedMask &= ~(1UL << context->DriveIndex);
    }
}

// ---- SetUpVolume, step by step -------------------------------------------------------

// What one set-up learns on the way.
struct VolumeSetUp {
    PDEVICE_OBJECT Filter;
    VolumeContext* Volume;
    ULONG Drive;
    BOOLEAN Ntfs;
    BOOLEAN SpaceLow;
    BOOLEAN FreshStart;
    PDEVICE_OBJECT VolumeDevice;
    PathBuffer Path;
};

static VOID QueryFileSystemName(VolumeSetUp* SetUp, PFILE_OBJECT Root) {
    union {
        FILE_FS_ATTRIBUTE_INFORMATION Information;
        UCHAR Bytes[FS_ATTRIBUTE_BUFFER_BYTES];
    } attributes;
    RtlZeroMemory(&attributes, sizeof(attributes));
    NTSTATUS status = LowerQueryVolumeInformation(SetUp->Volume->LowerDevice, Root, &attributes, sizeof(attributes),
                                                  FileFsAttributeInformation);
    if (!NT_SUCCESS(status)) {
        return;
    }
    const FILE_FS_ATTRIBUTE_INFORMATION& information = attributes.Information;
    ULONG available = sizeof(attributes) - FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    SetUp->Ntfs = (BOOLEAN)(information.FileSystemNameLength >= 4 * sizeof(WCHAR) &&
                            information.FileSystemNameLength <= available &&
                            _wcsnicmp(information.FileSystemName, L"NTFS", 4) == 0);
}

// A volume with less than a tenth of its space free discards its previous
// generations during set-up, and every deletion wait from now on is short.
static VOID QueryFreeSpace(VolumeSetUp* SetUp, PFILE_OBJECT Root) {
    FILE_FS_SIZE_INFORMATION size;
    RtlZeroMemory(&size, sizeof(size));
    NTSTATUS status =
        LowerQueryVolumeInformation(SetUp->Volume->LowerDevice, Root, &size, sizeof(size), FileFsSizeInformation);
    if (!NT_SUCCESS(status)) {
        return;
    }
    if (size.AvailableAllocationUnits.QuadPart < size.TotalAllocationUnits.QuadPart / 10) {
        g_Quilt.Config.DeleteStartDelay = LOW_SPACE_DELETE_START_DELAY;
        SetUp->SpaceLow = TRUE;
    }
}

// The file system's name and the free space, asked through the root.
static BOOLEAN InspectVolume(VolumeSetUp* SetUp) {
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT root = OpenLowerFile(&handle, SYNCHRONIZE, SetUp->Drive, L"\\", &ioStatus, NULL, 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0);
    if (root == NULL) {
        return FALSE;
    }
    QueryFileSystemName(SetUp, root);
    QueryFreeSpace(SetUp, root);
    CloseLowerFile(root, handle);
    return TRUE;
}

// Creates the link \??\quilt through which the product's service reaches the
// control device.
static BOOLEAN CreateControlLink() {
    UNICODE_STRING linkName;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&linkName, L"\\??\\quilt");
    RtlInitUnicodeString(&deviceName, L"\\Device\\quilt");
    return (BOOLEAN)NT_SUCCESS(IoCreateSymbolicLink(&linkName, &deviceName));
}

// The install drive's checks. When the check file cannot be loaded,
// install-drive-ready is set as well (as for a failed last-shutdown check):
// the other drives then end at the configured-mask test instead of waiting
// for it for ever.
static BOOLEAN RunInstallDriveChecks() {
    g_Drives.LastShutdownCheck = CheckLastShutdown();
    if (g_Drives.LastShutdownCheck != LAST_SHUTDOWN_CLEAN) {
        KeSetEvent(&g_Quilt.InstallDriveReady, IO_NO_INCREMENT, FALSE);
        g_Drives.ProtectionEnabled = 0;
        return FALSE;
    }
    g_Drives.MarkerFound = ConsumeMarkerFile();
    SetStatusBits(STATUS_BIT_SHUTDOWN_CHECKED);
    BOOLEAN loaded = LoadCheckFile();
    KeSetEvent(&g_Quilt.InstallDriveReady, IO_NO_INCREMENT, FALSE);
    if (!loaded) {
        return FALSE;
    }
    return CreateControlLink();
}

// Waits until Event or the volume's removal event is set; FALSE when the
// volume is being removed.
static BOOLEAN WaitUnlessRemoved(PKEVENT Event, VolumeContext* Volume) {
    PVOID events[2] = {Event, &Volume->RemovalEvent};
    KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
    return (BOOLEAN)(Volume->Removal == 0);
}

// Every other drive waits until the install drive's checks have ended.
static BOOLEAN WaitForInstallDrive(VolumeContext* Volume) {
    return WaitUnlessRemoved(&g_Quilt.InstallDriveReady, Volume);
}

// The volume device of the drive and its link.
static BOOLEAN SetUpVolumeDevice(VolumeSetUp* SetUp) {
    PDEVICE_OBJECT device = CreateVolumeDevice(SetUp->Volume);
    if (device == NULL) {
        return FALSE;
    }
    SetUp->Volume->Ntfs = SetUp->Ntfs;
    FillVolumeDevice(SetUp->Filter, device);
    SetUp->VolumeDevice = device;
    return TRUE;
}

// The check-file target list of the drive.
static BOOLEAN BuildCheckFileTargets(VolumeContext* Volume) {
    AcquireExclusive(&g_Quilt.TargetListLock);
    LONG count = BuildTargetList(reinterpret_cast<PCWSTR>(g_Drives.CheckFileText),
                                 g_Drives.CheckFileLength / sizeof(WCHAR), Volume->DriveIndex,
                                 &Volume->CheckFileTargets);
    Volume->CheckFileTargetCount = count;
    ReleaseExclusive(&g_Quilt.TargetListLock);
    return (BOOLEAN)(count >= 0);
}

// The work folder, open for the volume's lifetime, with its DACL on NTFS.
static BOOLEAN PrepareWorkFolder(VolumeSetUp* SetUp) {
    BOOLEAN created = FALSE;
    if (!NT_SUCCESS(OpenWorkFolder(SetUp->Volume, &created))) {
        return FALSE;
    }
    if (created) {
        SetUp->FreshStart = TRUE;
    }
    if (SetUp->Ntfs) {
        SetWorkFolderSecurity(SetUp->Volume);
    }
    return TRUE;
}

// A new generation for this boot (after a fresh start).
static BOOLEAN BeginGeneration(VolumeSetUp* SetUp) {
    if (!SetUp->FreshStart) {
        return TRUE;
    }
    if (SetUp->SpaceLow) {
        DiscardPreviousGenerations(SetUp->Volume);
    }
    return CreateGenerationFolder(SetUp->Volume, SetUp->Path.Get());
}

// An empty store in which the work folder is hidden.
static BOOLEAN BuildStore(VolumeSetUp* SetUp) {
    if (!FileBlockInit(SetUp->Volume)) {
        LogPrint("FileBlockInit() error! Drive=%c", (CHAR)LetterOf(SetUp->Drive));
        return FALSE;
    }
    return HideWorkFolderInStore(SetUp->Volume);
}

// From here on the volume's requests are served.
static VOID EnterProtection(VolumeSetUp* SetUp) {
    StoreLockScope lock;
    g_Drives.VolumeFilters[SetUp->Drive] = SetUp->Filter;
    g_Drives.VolumeDevices[SetUp->Drive] = SetUp->VolumeDevice;
    SetUp->Volume->Serving = 1;
    g_Drives.ProtectedMask |= 1UL << SetUp->Drive;
}

// The set-up in order; FALSE at the first step that fails.
static BOOLEAN RunSetUpSteps(VolumeSetUp* SetUp) {
    VolumeContext* volume = SetUp->Volume;
    ULONG drive = SetUp->Drive;
    InitializeListHead(&volume->NotifyList);
    if (volume->NotifySync == NULL) {
        FsRtlNotifyInitializeSync(&volume->NotifySync);
    }
    if (!InspectVolume(SetUp)) {
        return FALSE;
    }
    if (IsInstallDrive(drive) ? !RunInstallDriveChecks() : !WaitForInstallDrive(volume)) {
        return FALSE;
    }
    if ((g_Drives.ConfiguredMask & (1UL << drive)) == 0) {
        return FALSE;
    }
    if (g_Drives.LastShutdownCheck == LAST_SHUTDOWN_CLEAN) {
        SetUp->FreshStart = TRUE;
    }
    if (!SetUpVolumeDevice(SetUp) || !BuildCheckFileTargets(volume) || SetUp->Path.Allocate() == NULL) {
        return FALSE;
    }
    if (IsSystemDrive(drive)) {
        SetStatusBits(STATUS_BIT_SYSTEM_VOLUME_DEVICE);
        WriteStatusCode(SIBLING_STATUS_VOLUME_DEVICE);
    }
    if (!PrepareWorkFolder(SetUp) || !BeginGeneration(SetUp)) {
        return FALSE;
    }
    if (!NT_SUCCESS(PrepareCurrentFile(volume, g_Drives.MarkerFound, SetUp->Path.Get(), SetUp->FreshStart))) {
        return FALSE;
    }
    if (IsSystemDrive(drive)) {
        SetStatusBits(STATUS_BIT_SYSTEM_BOOKKEEPING);
        WriteStatusCode(SIBLING_STATUS_BOOKKEEPING);
    }
    if (!BuildStore(SetUp)) {
        return FALSE;
    }
    EnterProtection(SetUp);
    if (IsSystemDrive(drive)) {
        SetStatusBits(STATUS_BIT_SYSTEM_PROTECTED);
        WriteStatusCode(SIBLING_STATUS_PROTECTED);
    }
    if (SetUp->Ntfs && SetUp->FreshStart) {
        MarkReparsePoints(volume);
    }
    return TRUE;
}

// The end of every set-up, whatever its result.
static VOID FinishSetUp(VolumeSetUp* SetUp, BOOLEAN Protected) {
    if (IsSystemDrive(SetUp->Drive)) {
        g_Drives.SystemDriveDone = 1;
        KeSetEvent(&g_Quilt.SystemDriveReady, IO_NO_INCREMENT, FALSE);
        TimingMark(TimingSystemDriveInitialized);
        SetStatusBits(STATUS_BIT_SYSTEM_STARTUP_DONE);
        WriteStatusCode(SIBLING_STATUS_STARTUP_ENDED);
    }
    if (IsInstallDrive(SetUp->Drive)) {
        g_Drives.InstallDriveDone = 1;
        KeSetEvent(&g_Quilt.InstallDriveDoneEvent, IO_NO_INCREMENT, FALSE);
    }
    if (!Protected) {
        // The volume stays attached with its serving flag clear: its requests
        // pass down unchanged, and nothing of the protection stays on it.
        TearDownVolume(SetUp->Filter);
        DeleteFolder(SetUp->Drive, WORK_FOLDER_PATH);
    }
}

BOOLEAN SetUpVolume(PDEVICE_OBJECT FilterDevice) {
    VolumeContext* volume = DeviceContextOf(FilterDevice);
    if (volume == NULL || volume->Removal || volume->DriveIndex >= QUILT_DRIVE_COUNT) {
        return FALSE;
    }
    VolumeSetUp setUp;
    setUp.Filter = FilterDevice;
    setUp.Volume = volume;
    setUp.Drive = volume->DriveIndex;
    setUp.Ntfs = FALSE;
    setUp.SpaceLow = FALSE;
    setUp.FreshStart = FALSE;
    setUp.VolumeDevice = NULL;
    BOOLEAN protectedVolume = RunSetUpSteps(&setUp);
    FinishSetUp(&setUp, protectedVolume);
    return protectedVolume;
}

// ---- VolumeStartupThread -------------------------------------------------------------------

// The drive's deletion has finished: with every configured drive done and
// nothing left behind, the deletion state becomes "done". A state of "left
// over" is never changed.
static VOID NoteDeletionFinished(ULONG DriveIndex) {
    LONG bit = (LONG)(1UL << DriveIndex);
    LONG before = InterlockedAnd(reinterpret_cast<volatile LONG*>(&g_Drives.DeletionPendingMask), ~bit);
    if ((before & ~bit) == 0) {
        InterlockedCompareExchange(&g_Drives.DeletionState, DELETION_STATE_DONE, DELETION_STATE_PENDING);
    }
}

// Waits up to DeleteStartDelay seconds (less when the deletion semaphore is
// released), then discards the previous generations. A volume that is being
// removed meanwhile is left alone: it is going away.
static VOID DeletePreviousWork(VolumeContext* Volume) {
    ULONG drive = Volume->DriveIndex;
    DeleteFolder(drive, SCRAP_FOLDER_PATH);
    KeSetPriorityThread(KeGetCurrentThread(), STARTUP_THREAD_PRIORITY);
    LARGE_INTEGER delay;
    delay.QuadPart = -(LONGLONG)g_Quilt.Config.DeleteStartDelay * TICKS_PER_SECOND;
    KeWaitForSingleObject(&Volume->DeletionSemaphore, Executive, KernelMode, FALSE, &delay);
    if (Volume->Removal) {
        return;
    }
    DbgPrint("Deleting work folder for %c: started.\n", (CHAR)LetterOf(drive));
    DiscardPreviousGenerations(Volume);
    DeleteFolder(drive, SCRAP_FOLDER_PATH);
    if (g_Drives.DeletionState != DELETION_STATE_LEFT_OVER) {
        NoteDeletionFinished(drive);
    }
    DbgPrint("Deleting work folder for %c: finished.\n", (CHAR)LetterOf(drive));
}

VOID NTAPI VolumeStartupThread(PVOID Context) {
    PDEVICE_OBJECT filter = static_cast<PDEVICE_OBJECT>(Context);
    VolumeContext* volume = DeviceContextOf(filter);
    // The removal event ends the wait for the gate too: a volume dismounted or
    // removed before the gate opens must not hold its remover (which waits for
    // this thread) until it does. Its set-up then ends at the removal flag.
    WaitUnlessRemoved(&g_Quilt.StartupGate, volume);
    if (SetUpVolume(filter) && g_Drives.LastShutdownCheck == LAST_SHUTDOWN_CLEAN) {
        DeletePreviousWork(volume);
    }
    KeSetEvent(&volume->StartupDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- MountCompletion ---------------------------------------------------------------------

// Under the attachment lock. The filter is deleted, never attached.
static VOID DiscardFilter(PDEVICE_OBJECT Filter) {
    TearDownVolume(Filter);
    IoDeleteDevice(Filter);
}

// The first drive letter whose volume is Mounted, or QUILT_DRIVE_COUNT.
static ULONG DriveOfMountedVolume(PDEVICE_OBJECT Mounted) {
    if (Mounted == NULL) {
        return QUILT_DRIVE_COUNT;
    }
    for (ULONG drive = 0; drive < QUILT_DRIVE_COUNT; ++drive) {
        if (DriveOfVolume(drive) == Mounted) {
            return drive;
        }
    }
    return QUILT_DRIVE_COUNT;
}

// Fills the filter's context and attaches it above the mounted volume. The
// context is complete before the attach and the safe attach records the
// lower device before the first request can reach the filter.
static BOOLEAN AttachVolumeFilter(PDEVICE_OBJECT Filter, PDEVICE_OBJECT Mounted, PDEVICE_OBJECT RealDevice,
                                  ULONG Drive) {
    VolumeContext* volume = DeviceContextOf(Filter);
    volume->Kind = DEVICE_KIND_VOLUME_FILTER;
    volume->Size = sizeof(DeviceContext);
    volume->DriverObject = g_Quilt.DriverObject;
    volume->RealDevice = RealDevice;
    volume->DriveIndex = Drive;
    volume->Serving = 0;
    KeInitializeEvent(&volume->StartupDone, NotificationEvent, FALSE);
    KeInitializeEvent(&volume->RemovalEvent, NotificationEvent, FALSE);
    KeInitializeSemaphore(&volume->DeletionSemaphore, 0, DELETION_SEMAPHORE_LIMIT);
    if (!NT_SUCCESS(IoAttachDeviceToDeviceStackSafe(Filter, Mounted, &volume->LowerDevice))) {
        return FALSE;
    }
    volume->Attached = 1;
    Filter->Flags |= volume->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    Filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return TRUE;
}

// A thread that cannot be started leaves the volume unprotected; its
// start-up-done event is set at once, so that nobody waits for that thread.
static VOID StartVolumeThread(PDEVICE_OBJECT Filter) {
    VolumeContext* volume = DeviceContextOf(Filter);
    volume->StartupThread = StartSystemThread(VolumeStartupThread, Filter);
    if (volume->StartupThread == NULL) {
        KeSetEvent(&volume->StartupDone, IO_NO_INCREMENT, FALSE);
    }
}

// A successful mount: the filter is attached, or deleted when the volume is
// on an external bus, has no drive letter, is drive A: or is not configured.
static VOID AttachMountedVolume(PDEVICE_OBJECT Filter, PDEVICE_OBJECT RealDevice, PDEVICE_OBJECT Mounted) {
    if (IsExternalBusDisk(RealDevice)) {
        IoDeleteDevice(Filter);
        return;
    }
    ULONG drive = DriveOfMountedVolume(Mounted);
    if (drive < QUILT_DRIVE_COUNT && g_Drives.ConfiguredMask != 0 && (g_Drives.ConfiguredMask & (1UL << drive)) == 0) {
        DiscardFilter(Filter);
        return;
    }
    // Drive A: is never protected; a volume without a drive letter neither.
    if (drive >= QUILT_DRIVE_COUNT || drive == 0 || !AttachVolumeFilter(Filter, Mounted, RealDevice, drive)) {
        DiscardFilter(Filter);
        return;
    }
    if (IsSystemDrive(drive)) {
        SetStatusBits(STATUS_BIT_SYSTEM_MOUNTED);
        TimingMark(TimingSystemDriveFound);
    }
    if (IsInstallDrive(drive)) {
        SetStatusBits(STATUS_BIT_INSTALL_MOUNTED);
    }
    StartVolumeThread(Filter);
}

// The file system's mount handling replaced the target device of the
// driver's own stack location by the VPB's real device; the VPB found
// through it names the mounted volume device.
NTSTATUS NTAPI MountCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT filter = static_cast<PDEVICE_OBJECT>(Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT realDevice = stack->Parameters.MountVolume.DeviceObject;
    {
        ExclusiveScope lock(&g_Quilt.AttachLock);
        if (!NT_SUCCESS(Irp->IoStatus.Status) || realDevice == NULL || realDevice->Vpb == NULL) {
            DiscardFilter(filter);
        } else {
            AttachMountedVolume(filter, realDevice, realDevice->Vpb->DeviceObject);
        }
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}
