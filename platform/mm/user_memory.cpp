// User buffers below 2 GiB: one anonymous MAP_32BIT mapping per buffer, so
// that every buffer lies in "user space" and overruns past its last page fault.
#include "mm/user_memory.h"

#include <sys/mman.h>

#include <mutex>
#include <unordered_map>

namespace plat {
namespace {

struct Mappings {
    std::mutex Lock;
    std::unordered_map<PVOID, SIZE_T> Lengths;  // buffer -> mapped length
};

Mappings& UserMappings() {
    static auto* mappings = new Mappings;  // outlives every static destructor
    return *mappings;
}

SIZE_T PageRound(SIZE_T Size) {
    return (Size + PAGE_SIZE - 1) & ~static_cast<SIZE_T>(PAGE_SIZE - 1);
}

}  // namespace

PVOID UserBufferAllocate(SIZE_T Size) {
    SIZE_T length = PageRound(Size == 0 ? 1 : Size);
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (!IsUserRange(p, length)) {
        munmap(p, length);
        return nullptr;
    }
    Mappings& mappings = UserMappings();
    std::lock_guard<std::mutex> guard(mappings.Lock);
    mappings.Lengths[p] = length;
    return p;
}

void UserBufferFree(PVOID Buffer) {
    SIZE_T length = 0;
    {
        Mappings& mappings = UserMappings();
        std::lock_guard<std::mutex> guard(mappings.Lock);
        auto it = mappings.Lengths.find(Buffer);
        if (it == mappings.Lengths.end()) return;
        length = it->second;
        mappings.Lengths.erase(it);
    }
    munmap(Buffer, length);
}

bool IsUserRange(const void* Address, SIZE_T Length) {
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(Address);
    return start < kUserProbeAddress && Length <= kUserProbeAddress - start;
}

}  // namespace plat
