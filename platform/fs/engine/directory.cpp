// Directory index.
#include "fs/engine/directory.h"

namespace plat::fs {

DirectoryCursor Directory::KeyFor(const DirectoryEntry& entry) const {
    DirectoryCursor key;
    if (m_Kind == FsKind::Fat) {
        key.Slot = entry.Slot;
    } else {
        key.Upper = Upcase(entry.LongName);
    }
    return key;
}

const DirectoryEntry* Directory::Find(NameView name) const {
    auto it = m_ByName.find(Upcase(name));
    return it == m_ByName.end() ? nullptr : &it->second->second;
}

bool Directory::Insert(const DirectoryEntry& entry) {
    Name longKey = Upcase(entry.LongName);
    Name shortKey = Upcase(entry.ShortName);
    if (m_ByName.count(longKey) != 0) return false;
    if (!shortKey.empty() && shortKey != longKey && m_ByName.count(shortKey) != 0) return false;
    auto [it, inserted] = m_Ordered.emplace(KeyFor(entry), entry);
    if (!inserted) return false;
    m_ByName.emplace(std::move(longKey), it);
    if (!shortKey.empty()) m_ByName.emplace(std::move(shortKey), it);
    NoteSlot(entry.Slot);
    return true;
}

bool Directory::Remove(NameView longName) {
    auto found = m_ByName.find(Upcase(longName));
    if (found == m_ByName.end()) return false;
    Ordered::iterator it = found->second;
    if (!EqualNoCase(it->second.LongName, longName)) return false;  // a short name was given
    if (!it->second.ShortName.empty()) m_ByName.erase(Upcase(it->second.ShortName));
    m_ByName.erase(found);
    m_Ordered.erase(it);
    return true;
}

DirectoryCursor Directory::CursorOf(const DirectoryEntry& entry) const {
    return KeyFor(entry);
}

const DirectoryEntry* Directory::Next(const DirectoryCursor& after, bool start) const {
    auto it = start ? m_Ordered.begin() : m_Ordered.upper_bound(after);
    return it == m_Ordered.end() ? nullptr : &it->second;
}

const DirectoryEntry* Directory::LowerBound(NameView name) const {
    if (m_Kind == FsKind::Fat) {
        const DirectoryEntry* exact = Find(name);
        return exact;
    }
    DirectoryCursor key;
    key.Upper = Upcase(name);
    auto it = m_Ordered.lower_bound(key);
    return it == m_Ordered.end() ? nullptr : &it->second;
}

}  // namespace plat::fs
