// IRP_MJ_FILE_SYSTEM_CONTROL on the driver's devices: mounts and recogniser
// loads on the attachment devices, dismounts, the volume and file controls
// that would go around the protection, and the two controls that open the
// start-up gate. QLTFileSystemControl (frame/dispatch.h) runs a
// CQuiltFsControl for every such request.
#pragma once

#include <ntifs.h>

#include "requests/request.h"

class CQuiltFsControl : public CQuiltRequest {
public:
    CQuiltFsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    NTSTATUS Process() override;

    // FSCTL_DISMOUNT_VOLUME: refused before the system drive's start-up has
    // ended and always on a serving (protected) volume; otherwise the
    // driver's device leaves the stack and the request goes down to the file
    // system, whose status is returned.
    NTSTATUS DismountVolume();

    // From the current stack location (0 without one).
    ULONG OutputBufferLength;
    ULONG InputBufferLength;
    ULONG FsControlCode;

private:
    typedef NTSTATUS (CQuiltFsControl::*Handler)();
    struct ControlCodeEntry {
        ULONG Code;
        Handler Handle;
    };
    static const ControlCodeEntry ControlCodes[];

    NTSTATUS MountVolume();
    NTSTATUS LoadFileSystem();
    NTSTATUS UserRequest();

    // The control-code handlers (ControlCodes).
    NTSTATUS QueryRetrievalPointers();
    NTSTATUS ExtendVolume();
    NTSTATUS SetCompression();
    NTSTATUS SetEncryption();
    NTSTATUS SetObjectId();
    NTSTATUS DeleteObjectId();
    NTSTATUS QueryObjectId();
    NTSTATUS SetReparsePoint();

    BOOLEAN Serving() const;
    BOOLEAN Discard() const;
    BOOLEAN Target() const;
    BOOLEAN IsAttachmentDevice() const;
    BOOLEAN ObjectIdDeleted();
    VOID SetFileStateFlag(USHORT Flag, BOOLEAN Set, BOOLEAN Create);
    NTSTATUS SendObjectIdRequest(ULONG Code, PDEVICE_OBJECT Device, PFILE_OBJECT File, PIO_STATUS_BLOCK IoStatus);
};
