// A handle table: one per process, plus the kernel's own for OBJ_KERNEL_HANDLE
// handles. An entry holds one reference of its object and counts in the
// object's handle count; the table itself only stores entries.
//
// Locking: the table's own mutex guards its entries; it is a leaf lock except
// that LookupAndReference takes an object reference (an atomic) under it, so
// that an entry cannot be closed and its object freed between the two.
#pragma once

#include <wdm.h>

#include <mutex>
#include <vector>

namespace plat {

class HandleTable {
public:
    struct Entry {
        PVOID Object = nullptr;
        ACCESS_MASK GrantedAccess = 0;
        ULONG Attributes = 0;
    };

    // Freed indices are reused, most recently freed first, as NT does.
    ULONG Insert(const Entry& NewEntry);
    bool LookupAndReference(ULONG Index, Entry* Found) const;
    bool Lookup(ULONG Index, Entry* Found) const;
    bool Remove(ULONG Index, Entry* Removed);
    std::vector<Entry> RemoveAll();
    std::vector<Entry> Snapshot() const;
    size_t Count() const;

private:
    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;      // Object NULL: free
    std::vector<ULONG> m_FreeIndices;
    size_t m_Used = 0;
};

}  // namespace plat
