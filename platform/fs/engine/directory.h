// The index of one directory: its entries in listing order (NTFS: by upcased
// name, as its B-tree collates; FAT: by directory slot, i.e. creation order),
// and a hash of every long and short name for lookups in constant time.
#pragma once

#include "fs/engine/names.h"

#include <map>
#include <unordered_map>

namespace plat::fs {

struct DirectoryEntry {
    uint64_t Child = 0;          // file ID of the entry's node
    uint64_t LinkId = 0;         // which of the node's links this entry is
    Name LongName;
    Name ShortName;
    uint64_t Slot = 0;
};

// Position in a listing; entries are returned strictly after a cursor.
struct DirectoryCursor {
    uint64_t Slot = 0;
    Name Upper;
    bool operator<(const DirectoryCursor& other) const {
        if (Slot != other.Slot) return Slot < other.Slot;
        return Upper < other.Upper;
    }
};

class Directory {
public:
    explicit Directory(FsKind kind) : m_Kind(kind) {}

    // Finds the entry whose long or short name equals `name` (any case).
    const DirectoryEntry* Find(NameView name) const;
    // Adds an entry; false when one of its names is already present.
    bool Insert(const DirectoryEntry& entry);
    // Removes the entry with this long name (any case); false when absent.
    bool Remove(NameView longName);
    // True when `name` is taken as a long or a short name.
    bool Contains(NameView name) const { return Find(name) != nullptr; }

    size_t Size() const { return m_Ordered.size(); }
    bool Empty() const { return m_Ordered.empty(); }

    // The cursor of an entry, and the first entry after a cursor (null at the
    // end). `start` true gives the first entry of the listing.
    DirectoryCursor CursorOf(const DirectoryEntry& entry) const;
    const DirectoryEntry* Next(const DirectoryCursor& after, bool start) const;
    // First entry at or after the place `name` would have (NTFS order), for
    // listings resumed at a file name.
    const DirectoryEntry* LowerBound(NameView name) const;

    // The next free slot (FAT order); slots grow with every insertion.
    uint64_t TakeSlot() { return ++m_LastSlot; }
    void NoteSlot(uint64_t slot) { if (slot > m_LastSlot) m_LastSlot = slot; }

private:
    using Ordered = std::map<DirectoryCursor, DirectoryEntry>;
    DirectoryCursor KeyFor(const DirectoryEntry& entry) const;

    FsKind m_Kind;
    uint64_t m_LastSlot = 0;
    Ordered m_Ordered;
    std::unordered_map<Name, Ordered::iterator> m_ByName;  // upcased long and short names
};

}  // namespace plat::fs
