// Executive pool on the host heap.
//
// Every block carries a header with its tag and size; a per-tag table counts the
// live allocations and bytes so that a leak report can name the owner. Pool
// memory is not zeroed, as on Windows: the filler byte makes reads of
// uninitialised pool visible in tests.
#include "ex/pool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <unordered_set>

namespace plat {
namespace {

constexpr ULONG kPoolHeaderMagic = 0x6C6F6F50;  // "Pool"
constexpr UCHAR kUninitialisedFill = 0xCD;

struct alignas(16) PoolHeader {
    ULONG Magic;
    ULONG Tag;
    SIZE_T Size;
    ULONG OwnerSerial;
};

struct PoolState {
    std::mutex Lock;
    std::map<ULONG, PoolTagUsage> ByTag;
    std::unordered_set<const void*> Live;
    PoolFailurePredicate ShouldFail;
    ULONG OwnerSerial = 0;
};

PoolHeader* HeaderOf(const void* body) {
    return static_cast<PoolHeader*>(const_cast<void*>(body)) - 1;
}

PoolState& State() {
    static PoolState* state = new PoolState;  // outlives every static destructor
    return *state;
}

}  // namespace

std::string PoolTagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::vector<PoolTagUsage> PoolSnapshot() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::vector<PoolTagUsage> usage;
    for (auto& entry : s.ByTag) {
        if (entry.second.Allocations != 0) usage.push_back(entry.second);
    }
    return usage;
}

SIZE_T PoolLiveAllocations() {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Live.size();
}

SIZE_T PoolLiveAllocationsWithTag(ULONG tag) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    auto it = s.ByTag.find(tag);
    return it == s.ByTag.end() ? 0 : it->second.Allocations;
}

void PoolSetFailurePredicate(PoolFailurePredicate predicate) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.ShouldFail = std::move(predicate);
}

bool PoolIsLiveAllocation(const void* p) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Live.count(p) != 0;
}

void PoolSetOwnerSerial(ULONG serial) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.OwnerSerial = serial;
}

std::vector<PoolTagUsage> PoolSnapshotOfSerial(ULONG serial) {
    PoolState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    std::map<ULONG, PoolTagUsage> byTag;
    for (const void* body : s.Live) {
        const PoolHeader* header = HeaderOf(body);
        if (header->OwnerSerial != serial) continue;
        PoolTagUsage& usage = byTag[header->Tag];
        usage.Tag = header->Tag;
        usage.Allocations += 1;
        usage.Bytes += header->Size;
    }
    std::vector<PoolTagUsage> usage;
    for (auto& entry : byTag) usage.push_back(entry.second);
    return usage;
}

SIZE_T PoolReleaseSerial(ULONG serial) {
    PoolState& s = State();
    std::vector<PoolHeader*> released;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        for (auto it = s.Live.begin(); it != s.Live.end();) {
            PoolHeader* header = HeaderOf(*it);
            if (header->OwnerSerial != serial) {
                ++it;
                continue;
            }
            PoolTagUsage& usage = s.ByTag[header->Tag];
            usage.Allocations -= 1;
            usage.Bytes -= header->Size;
            released.push_back(header);
            it = s.Live.erase(it);
        }
    }
    for (PoolHeader* header : released) {
        header->Magic = 0;
        free(header);
    }
    return released.size();
}

}  // namespace plat

using plat::PoolHeader;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    plat::PoolState& s = plat::State();
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        if (s.ShouldFail && s.ShouldFail(Tag, NumberOfBytes)) return NULL;
    }
    if (NumberOfBytes > (SIZE_T(1) << 40)) return NULL;
    auto* header = static_cast<PoolHeader*>(malloc(sizeof(PoolHeader) + NumberOfBytes));
    if (header == NULL) return NULL;
    header->Magic = plat::kPoolHeaderMagic;
    header->Tag = Tag;
    header->Size = NumberOfBytes;
    PVOID body = header + 1;
    memset(body, plat::kUninitialisedFill, NumberOfBytes);

    std::lock_guard<std::mutex> guard(s.Lock);
    header->OwnerSerial = s.OwnerSerial;
    plat::PoolTagUsage& usage = s.ByTag[Tag];
    usage.Tag = Tag;
    usage.Allocations += 1;
    usage.Bytes += NumberOfBytes;
    s.Live.insert(body);
    return body;
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // "None"
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG) {
    ExFreePool(P);
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    if (P == NULL) {
        fprintf(stderr, "pool: ExFreePool(NULL)\n");
        abort();
    }
    plat::PoolState& s = plat::State();
    auto* header = static_cast<PoolHeader*>(P) - 1;
    {
        std::lock_guard<std::mutex> guard(s.Lock);
        if (s.Live.erase(P) == 0 || header->Magic != plat::kPoolHeaderMagic) {
            fprintf(stderr, "pool: free of %p, which is not a live pool block\n", P);
            abort();
        }
        plat::PoolTagUsage& usage = s.ByTag[header->Tag];
        usage.Allocations -= 1;
        usage.Bytes -= header->Size;
    }
    header->Magic = 0;
    free(header);
}
