// The registry's file format and its atomic replacement on the host.
//
// A file is a 40-byte header followed by one key record (the saved key) that
// holds its subtree. Every number is little-endian.
//
//   header   0  8  signature "QREGHIVE"
//            8  4  format version (1)
//           12  4  header length (40)
//           16  8  payload length in bytes
//           24  4  CRC-32 of the payload
//           28  4  number of key records in the payload
//           32  4  CRC-32 of header bytes 0..31
//           36  4  reserved, 0
//
//   key      u16 name length (characters), name (UTF-16)
//            u16 class length (characters), class
//            u32 title index, u64 last-write time, u32 flags (0)
//            u32 security descriptor length, descriptor (self-relative)
//            u32 value count, then per value:
//                u16 name length (characters), name, u32 type, u32 title index,
//                u32 data length, data
//            u32 subkey count, then the subkey records
//
// A reader trusts nothing: every length is checked against what is left,
// names against the registry's rules (no backslash in a key name, no
// duplicate among siblings), descriptors against the self-relative format,
// and the depth of the tree is limited as Windows limits it (512 levels).
#include "cm/cm_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

namespace plat {
namespace {

constexpr char kSignature[8] = {'Q', 'R', 'E', 'G', 'H', 'I', 'V', 'E'};
constexpr ULONG kFormatVersion = 1;
constexpr ULONG kHeaderLength = 40;
constexpr ULONG kMaxDepth = 512;
constexpr ULONG kMinKeyRecord = 2 + 2 + 4 + 8 + 4 + 4 + 4 + 4;
constexpr ULONG kMinValueRecord = 2 + 4 + 4 + 4;
constexpr uint64_t kMaxFileBytes = 1ull << 31;

// ---- CRC-32 (IEEE 802.3, reflected) ------------------------------------------

struct CrcTable {
    ULONG Entries[256];
    constexpr CrcTable() : Entries() {
        for (ULONG i = 0; i < 256; ++i) {
            ULONG c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            Entries[i] = c;
        }
    }
};
constexpr CrcTable kCrcTable;

ULONG Crc32(const UCHAR* data, size_t length) {
    ULONG crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) crc = kCrcTable.Entries[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// ---- Writing ------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::vector<UCHAR>& out) : m_Out(out) {}

    void U16(USHORT v) { Little(v, 2); }
    void U32(ULONG v) { Little(v, 4); }
    void U64(uint64_t v) { Little(v, 8); }
    void Bytes(const void* data, size_t length) {
        const UCHAR* p = static_cast<const UCHAR*>(data);
        m_Out.insert(m_Out.end(), p, p + length);
    }
    void Name(const WCHAR* name, size_t chars) {
        U16(static_cast<USHORT>(chars));
        for (size_t i = 0; i < chars; ++i) U16(static_cast<USHORT>(name[i]));
    }

private:
    void Little(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) m_Out.push_back(static_cast<UCHAR>(v >> (8 * i)));
    }
    std::vector<UCHAR>& m_Out;
};

void PutLittle(std::vector<UCHAR>& out, size_t offset, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<UCHAR>(v >> (8 * i));
}

// The subkeys a save visits: the mounted ones and the hives unmounted below
// this key, in the registry's order.
std::vector<const CmKey*> ChildrenToSave(const CmKey* key) {
    std::vector<const CmKey*> children;
    for (const CmKey* child : key->SubKeys) {
        if (!child->IsVolatile()) children.push_back(child);
    }
    for (const CmKey* hive : CmUnmountedHivesBelow(key)) {
        if (!hive->IsVolatile()) children.push_back(hive);
    }
    std::sort(children.begin(), children.end(), [](const CmKey* a, const CmKey* b) {
        return CmCompareNames(CmRef(a->Name), CmRef(b->Name)) < 0;
    });
    return children;
}

// Throws std::bad_alloc when memory runs out, the descriptor's copy included.
ULONG WriteKey(Writer& w, const CmKey* key) {
    w.Name(key->Name.data(), key->Name.size());
    w.Name(key->Class.data(), key->Class.size());
    w.U32(key->TitleIndex);
    w.U64(static_cast<uint64_t>(key->LastWriteTime));
    w.U32(0);
    CmKeySecurity security;
    if (!NT_SUCCESS(security.Capture(const_cast<CmKey*>(key)))) throw std::bad_alloc();
    ULONG securityLength = security.Get() != nullptr ? RtlLengthSecurityDescriptor(security.Get()) : 0;
    w.U32(securityLength);
    w.Bytes(security.Get(), securityLength);
    w.U32(static_cast<ULONG>(key->Values.size()));
    for (const CmValue& value : key->Values) {
        w.Name(value.Name.data(), value.Name.size());
        w.U32(value.Type);
        w.U32(value.TitleIndex);
        w.U32(static_cast<ULONG>(value.Data.size()));
        w.Bytes(value.Data.data(), value.Data.size());
    }
    std::vector<const CmKey*> children = ChildrenToSave(key);
    w.U32(static_cast<ULONG>(children.size()));
    ULONG count = 1;
    for (const CmKey* child : children) count += WriteKey(w, child);
    return count;
}

// ---- Reading ------------------------------------------------------------------------

class Reader {
public:
    Reader(const UCHAR* data, size_t length, size_t base) : m_Data(data), m_Length(length), m_Base(base) {}

    size_t Offset() const { return m_Base + m_Pos; }
    size_t Left() const { return m_Length - m_Pos; }
    const std::string& Error() const { return m_Error; }
    bool Failed() const { return !m_Error.empty(); }

    bool Fail(const std::string& what) {
        if (m_Error.empty()) m_Error = what + " at offset " + std::to_string(Offset());
        return false;
    }

    bool U16(USHORT& v) { return Little(v, 2); }
    bool U32(ULONG& v) { return Little(v, 4); }
    bool U64(uint64_t& v) { return Little(v, 8); }

    bool Bytes(std::vector<UCHAR>& out, size_t length) {
        if (length > Left()) return Fail("record runs past the end of the file");
        out.assign(m_Data + m_Pos, m_Data + m_Pos + length);
        m_Pos += length;
        return true;
    }

    bool Name(std::vector<WCHAR>& out) {
        USHORT chars = 0;
        if (!U16(chars)) return false;
        if (static_cast<size_t>(chars) * 2 > Left()) return Fail("name runs past the end of the file");
        out.resize(chars);
        for (USHORT i = 0; i < chars; ++i) {
            USHORT unit = 0;
            U16(unit);
            out[i] = static_cast<WCHAR>(unit);
        }
        return true;
    }

private:
    template <class T>
    bool Little(T& v, int bytes) {
        if (static_cast<size_t>(bytes) > Left()) return Fail("record runs past the end of the file");
        uint64_t x = 0;
        for (int i = 0; i < bytes; ++i) x |= static_cast<uint64_t>(m_Data[m_Pos + i]) << (8 * i);
        m_Pos += bytes;
        v = static_cast<T>(x);
        return true;
    }

    const UCHAR* m_Data;
    size_t m_Length;
    size_t m_Base;
    size_t m_Pos = 0;
    std::string m_Error;
};

bool HasDuplicate(const std::vector<std::vector<WCHAR>>& names) {
    std::vector<CmNameRef> refs;
    for (const auto& n : names) refs.push_back({n.data(), static_cast<ULONG>(n.size())});
    std::sort(refs.begin(), refs.end(), [](CmNameRef a, CmNameRef b) { return CmCompareNames(a, b) < 0; });
    for (size_t i = 1; i < refs.size(); ++i) {
        if (CmEqualNames(refs[i - 1], refs[i])) return true;
    }
    return false;
}

bool ValidKeyName(const std::vector<WCHAR>& name) {
    if (name.empty() || name.size() > kCmMaxKeyNameChars) return false;
    for (WCHAR c : name) {
        if (c == L'\\' || c == 0) return false;
    }
    return true;
}

bool ValidSecurity(std::vector<UCHAR>& sd) {
    if (sd.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return false;
    auto* header = reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd.data());
    if ((header->Control & SE_SELF_RELATIVE) == 0) return false;
    return RtlValidRelativeSecurityDescriptor(sd.data(), static_cast<ULONG>(sd.size()), 0) != FALSE;
}

bool ReadValue(Reader& r, CmParsedValue& value) {
    ULONG length = 0;
    if (!r.Name(value.Name) || !r.U32(value.Type) || !r.U32(value.TitleIndex) || !r.U32(length)) return false;
    if (value.Name.size() > kCmMaxValueNameChars) return r.Fail("value name too long");
    return r.Bytes(value.Data, length);
}

bool ReadKey(Reader& r, CmParsedKey& key, ULONG depth, ULONG& keys) {
    if (depth > kMaxDepth) return r.Fail("keys nested deeper than 512 levels");
    if (r.Left() < kMinKeyRecord) return r.Fail("key record runs past the end of the file");
    ++keys;
    ULONG flags = 0, securityLength = 0, valueCount = 0, subKeyCount = 0;
    uint64_t lastWrite = 0;
    if (!r.Name(key.Name)) return false;
    if (!ValidKeyName(key.Name)) return r.Fail("invalid key name");
    if (!r.Name(key.Class) || !r.U32(key.TitleIndex) || !r.U64(lastWrite) || !r.U32(flags)) return false;
    key.LastWriteTime = static_cast<LONGLONG>(lastWrite);
    if (flags != 0) return r.Fail("unknown key flags");
    if (!r.U32(securityLength) || !r.Bytes(key.Security, securityLength)) return false;
    if (!ValidSecurity(key.Security)) return r.Fail("invalid security descriptor");

    if (!r.U32(valueCount)) return false;
    if (valueCount > r.Left() / kMinValueRecord) return r.Fail("value count larger than the file");
    key.Values.resize(valueCount);
    std::vector<std::vector<WCHAR>> names;
    for (CmParsedValue& value : key.Values) {
        if (!ReadValue(r, value)) return false;
        names.push_back(value.Name);
    }
    if (HasDuplicate(names)) return r.Fail("two values of one key with the same name");

    if (!r.U32(subKeyCount)) return false;
    if (subKeyCount > r.Left() / kMinKeyRecord) return r.Fail("subkey count larger than the file");
    key.SubKeys.resize(subKeyCount);
    names.clear();
    for (CmParsedKey& child : key.SubKeys) {
        if (!ReadKey(r, child, depth + 1, keys)) return false;
        names.push_back(child.Name);
    }
    if (HasDuplicate(names)) return r.Fail("two subkeys of one key with the same name");
    return true;
}

uint64_t GetLittle(const std::vector<UCHAR>& in, size_t offset, int bytes) {
    uint64_t x = 0;
    for (int i = 0; i < bytes; ++i) x |= static_cast<uint64_t>(in[offset + i]) << (8 * i);
    return x;
}

std::string Errno(const char* what, const std::string& path) {
    return std::string(what) + " '" + path + "': " + strerror(errno);
}

bool WriteAll(int fd, const UCHAR* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void CmSerializeTree(const CmKey* key, std::vector<UCHAR>& out) {
    out.assign(kHeaderLength, 0);
    Writer w(out);
    ULONG keys = WriteKey(w, key);
    memcpy(out.data(), kSignature, sizeof(kSignature));
    PutLittle(out, 8, kFormatVersion, 4);
    PutLittle(out, 12, kHeaderLength, 4);
    PutLittle(out, 16, out.size() - kHeaderLength, 8);
    PutLittle(out, 24, Crc32(out.data() + kHeaderLength, out.size() - kHeaderLength), 4);
    PutLittle(out, 28, keys, 4);
    PutLittle(out, 32, Crc32(out.data(), 32), 4);
}

std::string CmParseImage(const std::vector<UCHAR>& image, CmParsedKey& root) {
    if (image.size() < kHeaderLength || memcmp(image.data(), kSignature, sizeof(kSignature)) != 0) {
        return "not a registry file (no registry signature)";
    }
    if (GetLittle(image, 32, 4) != Crc32(image.data(), 32)) return "damaged header (checksum mismatch)";
    ULONG version = static_cast<ULONG>(GetLittle(image, 8, 4));
    if (version != kFormatVersion) {
        return "format version " + std::to_string(version) + " is not supported (this registry reads version " +
               std::to_string(kFormatVersion) + ")";
    }
    if (GetLittle(image, 12, 4) != kHeaderLength) return "damaged header (unexpected header length)";
    uint64_t payload = GetLittle(image, 16, 8);
    if (payload != image.size() - kHeaderLength) {
        return payload > image.size() - kHeaderLength ? "file is truncated" : "file has bytes after its end";
    }
    if (GetLittle(image, 24, 4) != Crc32(image.data() + kHeaderLength, payload)) {
        return "file is damaged (checksum mismatch)";
    }
    Reader r(image.data() + kHeaderLength, payload, kHeaderLength);
    ULONG keys = 0;
    if (!ReadKey(r, root, 1, keys)) return "file is damaged: " + r.Error();
    if (r.Left() != 0) return "file is damaged: bytes after the last key record";
    if (keys != GetLittle(image, 28, 4)) return "file is damaged: key count does not match the header";
    return "";
}

std::string CmWriteFileAtomically(const std::string& path, const std::vector<UCHAR>& bytes) {
    static std::atomic<unsigned> sequence{0};
    std::string temporary = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++sequence);
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Errno("cannot create", temporary);
    bool written = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    std::string error = written ? "" : Errno("cannot write", temporary);
    if (close(fd) != 0 && error.empty()) error = Errno("cannot write", temporary);
    if (error.empty() && rename(temporary.c_str(), path.c_str()) != 0) error = Errno("cannot replace", path);
    if (!error.empty()) {
        unlink(temporary.c_str());
        return error;
    }
    // The rename itself must reach the disk too.
    int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return "";
}

std::string CmReadFile(const std::string& path, std::vector<UCHAR>& bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Errno("cannot open", path);
    struct stat st;
    std::string error;
    if (fstat(fd, &st) != 0) {
        error = Errno("cannot read", path);
    } else if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
        error = "registry file '" + path + "' is not a regular file of a plausible size";
    } else {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? Errno("cannot read", path) : "registry file '" + path + "' shrank while read";
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return error;
}

}  // namespace plat
