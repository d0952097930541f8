// Byte-range locks.
#include "fs/engine/byte_range_locks.h"

#include <algorithm>

namespace plat::fs {
namespace {

uint64_t LastByte(ByteRange r) {
    uint64_t last = r.Offset + (r.Length - 1);
    return last < r.Offset ? ~0ull : last;  // a range past 2^64 ends at the last byte
}

}  // namespace

bool ByteRangeLocks::Overlap(ByteRange a, ByteRange b) {
    if (a.Length == 0 || b.Length == 0) return false;
    return a.Offset <= LastByte(b) && b.Offset <= LastByte(a);
}

bool ByteRangeLocks::SameOwner(const LockOwner& a, const LockOwner& b) {
    return a.FileObject == b.FileObject && a.ProcessId == b.ProcessId && a.Key == b.Key;
}

bool ByteRangeLocks::Lock(const LockOwner& owner, ByteRange range, bool exclusive) {
    for (const Entry& e : m_Locks) {
        if (!Overlap(e.Range, range)) continue;
        if (exclusive || e.Exclusive) return false;
    }
    m_Locks.push_back(Entry{owner, range, exclusive});
    return true;
}

bool ByteRangeLocks::UnlockSingle(const LockOwner& owner, ByteRange range) {
    for (auto it = m_Locks.begin(); it != m_Locks.end(); ++it) {
        if (SameOwner(it->Owner, owner) && it->Range.Offset == range.Offset &&
            it->Range.Length == range.Length) {
            m_Locks.erase(it);
            return true;
        }
    }
    return false;
}

size_t ByteRangeLocks::UnlockAll(const void* fileObject, uint64_t processId) {
    size_t before = m_Locks.size();
    std::erase_if(m_Locks, [&](const Entry& e) {
        return e.Owner.FileObject == fileObject && e.Owner.ProcessId == processId;
    });
    return before - m_Locks.size();
}

size_t ByteRangeLocks::UnlockAllByKey(const void* fileObject, uint64_t processId, uint32_t key) {
    size_t before = m_Locks.size();
    std::erase_if(m_Locks, [&](const Entry& e) {
        return e.Owner.FileObject == fileObject && e.Owner.ProcessId == processId && e.Owner.Key == key;
    });
    return before - m_Locks.size();
}

bool ByteRangeLocks::ReadAllowed(const LockOwner& owner, ByteRange range) const {
    for (const Entry& e : m_Locks) {
        if (!e.Exclusive || !Overlap(e.Range, range)) continue;
        if (!SameOwner(e.Owner, owner)) return false;
    }
    return true;
}

bool ByteRangeLocks::WriteAllowed(const LockOwner& owner, ByteRange range) const {
    for (const Entry& e : m_Locks) {
        if (!Overlap(e.Range, range)) continue;
        if (!e.Exclusive || !SameOwner(e.Owner, owner)) return false;
    }
    return true;
}

}  // namespace plat::fs
