// File objects: the object type's close and delete procedures (cleanup when
// the last handle goes, close when the last reference goes), the device a file
// object's requests go to, the per-file lock of synchronous file objects, and
// the share-access helpers of the file systems.
#include "io/io_internal.h"

#include "core/verifier.h"

namespace plat {
namespace {

// Sends one of the I/O manager's own requests on a file object and waits.
NTSTATUS SendFileRequest(PFILE_OBJECT File, UCHAR Major, UCHAR Minor) {
    PDEVICE_OBJECT target = IoGetRelatedDeviceObject(File);
    PIRP irp = IoBuildFileIrp(target, File, Major, Minor, KernelMode, true);
    irp->Flags |= IRP_SYNCHRONOUS_API | (Major == IRP_MJ_LOCK_CONTROL ? 0 : IRP_CLOSE_OPERATION);
    return IoCallDriverAndWait(target, irp, nullptr);
}

void SendCleanup(PFILE_OBJECT File) {
    FileExtra* extra = FileExtraOf(File);
    if (extra->CleanupSent) return;
    extra->CleanupSent = TRUE;
    if (File->LockOperation) SendFileRequest(File, IRP_MJ_LOCK_CONTROL, IRP_MN_UNLOCK_ALL);
    SendFileRequest(File, IRP_MJ_CLEANUP, 0);
    File->Flags |= FO_CLEANUP_COMPLETE;
}

VOID CloseFileObject(PVOID Object, ULONG HandleCount, PVOID Process) {
    UNREFERENCED_PARAMETER(Process);
    auto* file = static_cast<PFILE_OBJECT>(Object);
    if (HandleCount != 0 || !FileExtraOf(file)->Opened || Io().Ended) return;
    SendCleanup(file);
}

// Releases what the open counted and referenced.
void ReleaseOpenState(PFILE_OBJECT File) {
    FileExtra* extra = FileExtraOf(File);
    if (extra->CountedVpb != nullptr) {
        KIRQL irql;
        IoAcquireVpbSpinLock(&irql);
        extra->CountedVpb->ReferenceCount--;
        IoReleaseVpbSpinLock(irql);
        extra->CountedVpb = nullptr;
    }
    if (extra->OpenedDevice != nullptr) {
        PDEVICE_OBJECT device = extra->OpenedDevice;
        extra->OpenedDevice = nullptr;
        IoDeviceReleaseOpen(device);
        ObDereferenceObject(device);
    }
    if (extra->Hint != nullptr) {
        ObDereferenceObject(extra->Hint);
        extra->Hint = nullptr;
    }
}

VOID DeleteFileObject(PVOID Object) {
    auto* file = static_cast<PFILE_OBJECT>(Object);
    FileExtra* extra = FileExtraOf(file);
    if (extra->Opened && !Io().Ended) {
        // Never had a handle, or the handle insertion failed: cleanup is owed too.
        SendCleanup(file);
        SendFileRequest(file, IRP_MJ_CLOSE, 0);
    }
    ReleaseOpenState(file);
    if (file->FileName.Buffer != nullptr) ExFreePool(file->FileName.Buffer);
    file->FileName.Buffer = nullptr;
    if (file->RelatedFileObject != nullptr) ObDereferenceObject(file->RelatedFileObject);
    file->RelatedFileObject = nullptr;
}

}  // namespace

ObjectType IoFileType = {
    L"File", IoParseFile, CloseFileObject, DeleteFileObject,
    {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}, FALSE};

bool IoIsFileObject(PFILE_OBJECT FileObject) {
    return FileObject != nullptr && ObIsObject(FileObject) && ObGetObjectType(FileObject) == &IoFileType;
}

void IoAcquireFileLock(PFILE_OBJECT FileObject) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&FileObject->Waiters));
    KeWaitForSingleObject(&FileObject->Lock, Executive, KernelMode, FALSE, nullptr);
    InterlockedDecrement(reinterpret_cast<volatile LONG*>(&FileObject->Waiters));
    FileObject->Busy = TRUE;
}

void IoReleaseFileLock(PFILE_OBJECT FileObject) {
    FileObject->Busy = FALSE;
    KeSetEvent(&FileObject->Lock, IO_NO_INCREMENT, FALSE);
}

}  // namespace plat

using namespace plat;

namespace {

POBJECT_TYPE g_FileTypeExport = ObExportType(&IoFileType);

bool ReadWanted(ACCESS_MASK Access) {
    return (Access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
}

bool WriteWanted(ACCESS_MASK Access) {
    return (Access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool DeleteWanted(ACCESS_MASK Access) {
    return (Access & DELETE) != 0;
}

}  // namespace

POBJECT_TYPE* IoFileObjectType = &g_FileTypeExport;

extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    if ((FileObject->Flags & FO_FILE_OBJECT_HAS_EXTENSION) && FileExtraOf(FileObject)->Hint != nullptr) {
        return FileExtraOf(FileObject)->Hint;
    }
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    if (FileObject->Vpb != nullptr && FileObject->Vpb->DeviceObject != nullptr) {
        device = FileObject->Vpb->DeviceObject;
    } else if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && device->Vpb != nullptr &&
               device->Vpb->DeviceObject != nullptr) {
        device = device->Vpb->DeviceObject;
    }
    return IoTopOfStack(device);
}

extern "C" PDEVICE_OBJECT NTAPI IoGetBaseFileSystemDeviceObject(PFILE_OBJECT FileObject) {
    if (FileObject->Vpb != nullptr && FileObject->Vpb->DeviceObject != nullptr) return FileObject->Vpb->DeviceObject;
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && device->Vpb != nullptr && device->Vpb->DeviceObject != nullptr) {
        return device->Vpb->DeviceObject;
    }
    return device;
}

// Share access follows the NT rules: an open may not ask for an access that an
// earlier open does not share, nor deny sharing of an access an earlier open
// holds. Opens asking for none of read, write or delete are not counted.
extern "C" NTSTATUS NTAPI IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                             PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, BOOLEAN Update) {
    bool read = ReadWanted(DesiredAccess);
    bool write = WriteWanted(DesiredAccess);
    bool del = DeleteWanted(DesiredAccess);
    FileObject->ReadAccess = read;
    FileObject->WriteAccess = write;
    FileObject->DeleteAccess = del;
    if (!read && !write && !del) return STATUS_SUCCESS;
    bool sharedRead = (DesiredShareAccess & FILE_SHARE_READ) != 0;
    bool sharedWrite = (DesiredShareAccess & FILE_SHARE_WRITE) != 0;
    bool sharedDelete = (DesiredShareAccess & FILE_SHARE_DELETE) != 0;
    FileObject->SharedRead = sharedRead;
    FileObject->SharedWrite = sharedWrite;
    FileObject->SharedDelete = sharedDelete;
    ULONG open = ShareAccess->OpenCount;
    if ((read && ShareAccess->SharedRead < open) || (write && ShareAccess->SharedWrite < open) ||
        (del && ShareAccess->SharedDelete < open) || (ShareAccess->Readers != 0 && !sharedRead) ||
        (ShareAccess->Writers != 0 && !sharedWrite) || (ShareAccess->Deleters != 0 && !sharedDelete)) {
        return STATUS_SHARING_VIOLATION;
    }
    if (Update) IoUpdateShareAccess(FileObject, ShareAccess);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) return;
    ShareAccess->OpenCount++;
    if (FileObject->ReadAccess) ShareAccess->Readers++;
    if (FileObject->WriteAccess) ShareAccess->Writers++;
    if (FileObject->DeleteAccess) ShareAccess->Deleters++;
    if (FileObject->SharedRead) ShareAccess->SharedRead++;
    if (FileObject->SharedWrite) ShareAccess->SharedWrite++;
    if (FileObject->SharedDelete) ShareAccess->SharedDelete++;
}

extern "C" VOID NTAPI IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                       PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    RtlZeroMemory(ShareAccess, sizeof(*ShareAccess));
    FileObject->ReadAccess = ReadWanted(DesiredAccess);
    FileObject->WriteAccess = WriteWanted(DesiredAccess);
    FileObject->DeleteAccess = DeleteWanted(DesiredAccess);
    FileObject->SharedRead = (DesiredShareAccess & FILE_SHARE_READ) != 0;
    FileObject->SharedWrite = (DesiredShareAccess & FILE_SHARE_WRITE) != 0;
    FileObject->SharedDelete = (DesiredShareAccess & FILE_SHARE_DELETE) != 0;
    IoUpdateShareAccess(FileObject, ShareAccess);
}

extern "C" VOID NTAPI IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) return;
    if (ShareAccess->OpenCount == 0) {
        VerifierReport("io: IoRemoveShareAccess with no open counted");
        return;
    }
    ShareAccess->OpenCount--;
    if (FileObject->ReadAccess) ShareAccess->Readers--;
    if (FileObject->WriteAccess) ShareAccess->Writers--;
    if (FileObject->DeleteAccess) ShareAccess->Deleters--;
    if (FileObject->SharedRead) ShareAccess->SharedRead--;
    if (FileObject->SharedWrite) ShareAccess->SharedWrite--;
    if (FileObject->SharedDelete) ShareAccess->SharedDelete--;
}
