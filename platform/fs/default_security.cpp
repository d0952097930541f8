// The default root descriptor, built byte by byte in the self-relative layout
// (it is needed when a disk is formatted, also while no kernel exists).
#include "fs/default_security.h"

#include <ntifs.h>

#include <initializer_list>

namespace plat::fs {
namespace {

class DescriptorWriter {
public:
    void U8(uint8_t v) { m_Bytes.push_back(v); }
    void U16(uint16_t v) { Raw(&v, 2); }
    void U32(uint32_t v) { Raw(&v, 4); }
    void Raw(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        m_Bytes.insert(m_Bytes.end(), b, b + n);
    }
    size_t Size() const { return m_Bytes.size(); }
    void PatchU16(size_t at, uint16_t v) { memcpy(&m_Bytes[at], &v, 2); }
    void PatchU32(size_t at, uint32_t v) { memcpy(&m_Bytes[at], &v, 4); }
    std::vector<uint8_t> Take() { return std::move(m_Bytes); }

private:
    std::vector<uint8_t> m_Bytes;
};

struct Sid {
    uint8_t Authority;
    std::initializer_list<uint32_t> SubAuthorities;
};

const Sid kAdministrators{5, {32, 544}};
const Sid kUsers{5, {32, 545}};
const Sid kSystem{5, {18}};
const Sid kCreatorOwner{3, {0}};
const Sid kEveryone{1, {0}};

size_t SidSize(const Sid& sid) { return 8 + 4 * sid.SubAuthorities.size(); }

void WriteSid(DescriptorWriter& w, const Sid& sid) {
    w.U8(SID_REVISION);
    w.U8(static_cast<uint8_t>(sid.SubAuthorities.size()));
    for (int i = 0; i < 5; ++i) w.U8(0);
    w.U8(sid.Authority);
    for (uint32_t sub : sid.SubAuthorities) w.U32(sub);
}

void WriteAllowedAce(DescriptorWriter& w, uint8_t flags, uint32_t mask, const Sid& sid) {
    w.U8(ACCESS_ALLOWED_ACE_TYPE);
    w.U8(flags);
    w.U16(static_cast<uint16_t>(8 + SidSize(sid)));
    w.U32(mask);
    WriteSid(w, sid);
}

}  // namespace

std::vector<uint8_t> DefaultRootSecurity() {
    constexpr uint8_t kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr uint32_t kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    DescriptorWriter w;
    w.U8(SECURITY_DESCRIPTOR_REVISION);
    w.U8(0);
    w.U16(SE_SELF_RELATIVE | SE_DACL_PRESENT);
    size_t offsets = w.Size();
    for (int i = 0; i < 4; ++i) w.U32(0);  // owner, group, SACL, DACL
    w.PatchU32(offsets, static_cast<uint32_t>(w.Size()));
    WriteSid(w, kAdministrators);
    w.PatchU32(offsets + 4, static_cast<uint32_t>(w.Size()));
    WriteSid(w, kSystem);
    size_t acl = w.Size();
    w.PatchU32(offsets + 12, static_cast<uint32_t>(acl));
    w.U8(ACL_REVISION);
    w.U8(0);
    w.U16(0);  // size, patched below
    w.U16(6);  // ACE count
    w.U16(0);
    WriteAllowedAce(w, kInherit, FILE_ALL_ACCESS, kAdministrators);
    WriteAllowedAce(w, kInherit, FILE_ALL_ACCESS, kSystem);
    WriteAllowedAce(w, kInherit | INHERIT_ONLY_ACE, FILE_ALL_ACCESS, kCreatorOwner);
    WriteAllowedAce(w, kInherit, kReadExecute, kUsers);
    WriteAllowedAce(w, CONTAINER_INHERIT_ACE, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, kUsers);
    WriteAllowedAce(w, 0, kReadExecute, kEveryone);
    w.PatchU16(acl + 2, static_cast<uint16_t>(w.Size() - acl));
    return w.Take();
}

}  // namespace plat::fs
