// Host-side view of the executive pool: per-tag accounting, the leak report and
// the hook through which the verifier fails chosen allocations.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace plat {

struct PoolTagUsage {
    ULONG Tag;
    SIZE_T Allocations;  // live allocations
    SIZE_T Bytes;        // live bytes
};

// Printable form of a pool tag: the four bytes as they lie in memory ("QuID").
std::string PoolTagText(ULONG tag);

// Live allocations by tag, sorted by tag.
std::vector<PoolTagUsage> PoolSnapshot();
SIZE_T PoolLiveAllocations();
SIZE_T PoolLiveAllocationsWithTag(ULONG tag);

// Called before every allocation; returning true makes it fail (returns NULL).
using PoolFailurePredicate = std::function<bool(ULONG tag, SIZE_T bytes)>;
void PoolSetFailurePredicate(PoolFailurePredicate predicate);

// True when the address lies in memory that pool handed out and has not freed.
bool PoolIsLiveAllocation(const void* p);

// Every allocation records the owner serial current when it was made (the
// kernel core sets it to the kernel's serial; 0 outside any kernel), so that a
// kernel's end can report and release exactly its own pool.
void PoolSetOwnerSerial(ULONG serial);
std::vector<PoolTagUsage> PoolSnapshotOfSerial(ULONG serial);
// Frees every live allocation of the serial; returns how many there were.
SIZE_T PoolReleaseSerial(ULONG serial);

}  // namespace plat
