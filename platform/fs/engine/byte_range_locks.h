// Byte-range locks of one stream, with the rules of the FsRtl file-lock
// package:
// - an exclusive lock may not overlap any lock; a shared lock may overlap only
//   shared locks (whoever owns them);
// - a read conflicts with an overlapping exclusive lock unless that lock
//   belongs to the same file object, process and key;
// - a write conflicts with every overlapping shared lock (the owner's too)
//   and with an overlapping exclusive lock of another owner or key;
// - zero-length locks and zero-length transfers never conflict.
#pragma once

#include <stdint.h>

#include <stddef.h>

#include <vector>

namespace plat::fs {

struct LockOwner {
    const void* FileObject = nullptr;
    uint64_t ProcessId = 0;
    uint32_t Key = 0;
};

struct ByteRange {
    uint64_t Offset = 0;
    uint64_t Length = 0;
};

class ByteRangeLocks {
public:
    // True when granted; false on a conflict (nothing changes).
    bool Lock(const LockOwner& owner, ByteRange range, bool exclusive);
    // False when no lock of that owner, offset, length and key exists.
    bool UnlockSingle(const LockOwner& owner, ByteRange range);
    // Releases every lock of the file object and process; returns how many.
    size_t UnlockAll(const void* fileObject, uint64_t processId);
    size_t UnlockAllByKey(const void* fileObject, uint64_t processId, uint32_t key);

    bool ReadAllowed(const LockOwner& owner, ByteRange range) const;
    bool WriteAllowed(const LockOwner& owner, ByteRange range) const;

    bool Empty() const { return m_Locks.empty(); }
    size_t Count() const { return m_Locks.size(); }

private:
    struct Entry {
        LockOwner Owner;
        ByteRange Range;
        bool Exclusive;
    };
    static bool Overlap(ByteRange a, ByteRange b);
    static bool SameOwner(const LockOwner& a, const LockOwner& b);

    std::vector<Entry> m_Locks;
};

}  // namespace plat::fs
