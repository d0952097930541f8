// The fast-I/O table of both file systems. Every entry answers FALSE: the
// request then comes again as an IRP, which is where the file systems do
// their work (the stand-in's I/O manager itself never takes the fast path).
#include "fs/fs_internal.h"

namespace plat::fs {
namespace {

BOOLEAN NTAPI CheckIfPossible(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, BOOLEAN, PIO_STATUS_BLOCK,
                              PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI Read(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI Write(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI QueryBasic(PFILE_OBJECT, BOOLEAN, PFILE_BASIC_INFORMATION, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI QueryStandard(PFILE_OBJECT, BOOLEAN, PFILE_STANDARD_INFORMATION, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI Lock(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, BOOLEAN, BOOLEAN,
                   PIO_STATUS_BLOCK, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI UnlockSingle(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, PIO_STATUS_BLOCK,
                           PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI UnlockAll(PFILE_OBJECT, PEPROCESS, PIO_STATUS_BLOCK, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI UnlockAllByKey(PFILE_OBJECT, PVOID, ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI DeviceControl(PFILE_OBJECT, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG, PIO_STATUS_BLOCK,
                            PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI QueryNetworkOpen(PFILE_OBJECT, BOOLEAN, PFILE_NETWORK_OPEN_INFORMATION, PIO_STATUS_BLOCK,
                               PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI MdlRead(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI MdlReadComplete(PFILE_OBJECT, PMDL, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI PrepareMdlWrite(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    return FALSE;
}
BOOLEAN NTAPI MdlWriteComplete(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI ReadCompressed(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*, PIO_STATUS_BLOCK,
                             PCOMPRESSED_DATA_INFO, ULONG, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI WriteCompressed(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*, PIO_STATUS_BLOCK,
                              PCOMPRESSED_DATA_INFO, ULONG, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI MdlReadCompleteCompressed(PFILE_OBJECT, PMDL, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI MdlWriteCompleteCompressed(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT) { return FALSE; }
BOOLEAN NTAPI QueryOpen(PIRP, PFILE_NETWORK_OPEN_INFORMATION, PDEVICE_OBJECT) { return FALSE; }

}  // namespace

FAST_IO_DISPATCH FastIoTable = {
    sizeof(FAST_IO_DISPATCH),
    CheckIfPossible,
    Read,
    Write,
    QueryBasic,
    QueryStandard,
    Lock,
    UnlockSingle,
    UnlockAll,
    UnlockAllByKey,
    DeviceControl,
    nullptr,  // AcquireFileForNtCreateSection
    nullptr,  // ReleaseFileForNtCreateSection
    nullptr,  // FastIoDetachDevice: nothing is attached below a file system
    QueryNetworkOpen,
    nullptr,  // AcquireForModWrite
    MdlRead,
    MdlReadComplete,
    PrepareMdlWrite,
    MdlWriteComplete,
    ReadCompressed,
    WriteCompressed,
    MdlReadCompleteCompressed,
    MdlWriteCompleteCompressed,
    QueryOpen,
    nullptr,  // ReleaseForModWrite
    nullptr,  // AcquireForCcFlush
    nullptr,  // ReleaseForCcFlush
};

}  // namespace plat::fs
