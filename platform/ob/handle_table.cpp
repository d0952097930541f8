#include "ob/handle_table.h"

#include "ob/object_internal.h"

namespace plat {

ULONG HandleTable::Insert(const Entry& NewEntry) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Used += 1;
    if (!m_FreeIndices.empty()) {
        ULONG index = m_FreeIndices.back();
        m_FreeIndices.pop_back();
        m_Entries[index] = NewEntry;
        return index;
    }
    m_Entries.push_back(NewEntry);
    return static_cast<ULONG>(m_Entries.size() - 1);
}

bool HandleTable::LookupAndReference(ULONG Index, Entry* Found) const {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (Index >= m_Entries.size() || m_Entries[Index].Object == nullptr) return false;
    *Found = m_Entries[Index];
    ObReferenceBody(Found->Object);
    return true;
}

bool HandleTable::Lookup(ULONG Index, Entry* Found) const {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (Index >= m_Entries.size() || m_Entries[Index].Object == nullptr) return false;
    *Found = m_Entries[Index];
    return true;
}

bool HandleTable::Remove(ULONG Index, Entry* Removed) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (Index >= m_Entries.size() || m_Entries[Index].Object == nullptr) return false;
    *Removed = m_Entries[Index];
    m_Entries[Index] = Entry();
    m_FreeIndices.push_back(Index);
    m_Used -= 1;
    return true;
}

std::vector<HandleTable::Entry> HandleTable::RemoveAll() {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<Entry> removed;
    for (const Entry& entry : m_Entries) {
        if (entry.Object != nullptr) removed.push_back(entry);
    }
    m_Entries.clear();
    m_FreeIndices.clear();
    m_Used = 0;
    return removed;
}

std::vector<HandleTable::Entry> HandleTable::Snapshot() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<Entry> entries;
    for (const Entry& entry : m_Entries) {
        if (entry.Object != nullptr) entries.push_back(entry);
    }
    return entries;
}

size_t HandleTable::Count() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Used;
}

}  // namespace plat
