// IRP_MJ_FLUSH_BUFFERS: a flush of any file (or of the volume) commits the
// whole volume to its disk, as a journal commit would.
#include "fs/fs_internal.h"

namespace plat::fs {

NTSTATUS DispatchFlushBuffers(Vcb* vcb, PIRP irp) {
    FlushVolume(vcb);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

}  // namespace plat::fs
