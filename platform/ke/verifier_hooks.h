// Per-thread state the verifier and the I/O manager inspect around calls into
// drivers: locks held and critical regions entered by the calling thread.
#pragma once

#include <wdm.h>

namespace plat {

// Executive resources the calling thread holds, counting every acquisition
// (a resource acquired twice recursively counts two).
ULONG ResourcesHeldByCurrentThread();

// Depth of KeEnterCriticalRegion nesting of the calling thread.
ULONG CriticalRegionDepthOfCurrentThread();

// Spin locks the calling thread holds.
ULONG SpinLocksHeldByCurrentThread();

}  // namespace plat
