// Encoding and checked decoding of volume headers and node records.
#include "fs/engine/record_codec.h"

#include "fs/engine/fs_constants.h"

#include <string.h>

namespace plat::fs {
namespace {

constexpr uint8_t kFlagDirectory = 0x01;
constexpr uint8_t kFlagMetadata = 0x02;
constexpr uint8_t kFlagObjectId = 0x04;
constexpr uint32_t kMaxCount = 1u << 20;
constexpr uint32_t kMaxSecurity = 64 * 1024;
constexpr uint32_t kMaxEaValue = 0xFFFF;

class Writer {
public:
    void U8(uint8_t v) { m_Out.push_back(v); }
    void U16(uint16_t v) { Raw(&v, 2); }
    void U32(uint32_t v) { Raw(&v, 4); }
    void U64(uint64_t v) { Raw(&v, 8); }
    void I64(int64_t v) { Raw(&v, 8); }
    void Str(const Name& s) {
        U16(static_cast<uint16_t>(s.size()));
        Raw(s.data(), s.size() * 2);
    }
    void Ansi(const std::string& s) {
        U16(static_cast<uint16_t>(s.size()));
        Raw(s.data(), s.size());
    }
    void Bytes(const std::vector<uint8_t>& b) {
        U64(b.size());
        Raw(b.data(), b.size());
    }
    void Raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        m_Out.insert(m_Out.end(), b, b + n);
    }
    std::vector<uint8_t> Take() { return std::move(m_Out); }

private:
    std::vector<uint8_t> m_Out;
};

// Little-endian host: the values are copied as they lie. Every read checks the
// remaining length first and latches a failure; later reads then yield zeros.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& in) : m_In(in) {}
    bool Ok() const { return m_Ok; }
    bool AtEnd() const { return m_Pos == m_In.size(); }
    uint8_t U8() { uint8_t v = 0; Raw(&v, 1); return v; }
    uint16_t U16() { uint16_t v = 0; Raw(&v, 2); return v; }
    uint32_t U32() { uint32_t v = 0; Raw(&v, 4); return v; }
    uint64_t U64() { uint64_t v = 0; Raw(&v, 8); return v; }
    int64_t I64() { int64_t v = 0; Raw(&v, 8); return v; }
    Name Str(size_t maxChars) {
        uint16_t n = U16();
        if (n > maxChars || !Has(size_t(n) * 2)) return Fail<Name>();
        Name s(n, u'\0');
        Raw(s.data(), size_t(n) * 2);
        return s;
    }
    std::string Ansi(size_t maxChars) {
        uint16_t n = U16();
        if (n > maxChars || !Has(n)) return Fail<std::string>();
        std::string s(n, '\0');
        Raw(s.data(), n);
        return s;
    }
    std::vector<uint8_t> Bytes(uint64_t max) {
        uint64_t n = U64();
        if (n > max || !Has(n)) return Fail<std::vector<uint8_t>>();
        std::vector<uint8_t> b(m_In.begin() + m_Pos, m_In.begin() + m_Pos + n);
        m_Pos += n;
        return b;
    }
    uint32_t Count() {
        uint32_t n = U32();
        if (n > kMaxCount) return Fail<uint32_t>();
        return n;
    }
    void Raw(void* p, size_t n) {
        if (!Has(n)) {
            m_Ok = false;
            return;
        }
        memcpy(p, m_In.data() + m_Pos, n);
        m_Pos += n;
    }

private:
    bool Has(uint64_t n) const { return m_Ok && n <= m_In.size() - m_Pos; }
    template <typename T>
    T Fail() {
        m_Ok = false;
        return T();
    }

    const std::vector<uint8_t>& m_In;
    size_t m_Pos = 0;
    bool m_Ok = true;
};

bool Failed(std::string* reason, const std::string& what) {
    if (reason) *reason = what;
    return false;
}

}  // namespace

std::vector<uint8_t> EncodeHeader(const VolumeHeader& h) {
    Writer w;
    w.U32(kImageMagic);
    w.U16(kImageVersion);
    w.U8(static_cast<uint8_t>(h.Kind));
    w.Str(h.Label);
    w.U32(h.SerialNumber);
    w.I64(h.CreationTime);
    w.U32(h.ClusterSize);
    w.U64(h.TotalClusters);
    w.U64(h.ReservedClusters);
    w.U64(h.NextId);
    w.U64(h.NextObjectIdSequence);
    return w.Take();
}

bool DecodeHeader(const std::vector<uint8_t>& bytes, VolumeHeader* h, std::string* reason) {
    Reader r(bytes);
    if (r.U32() != kImageMagic || !r.Ok()) return Failed(reason, "not a volume header");
    uint16_t version = r.U16();
    if (version != kImageVersion) return Failed(reason, "unsupported volume format version " + std::to_string(version));
    uint8_t kind = r.U8();
    if (kind != static_cast<uint8_t>(FsKind::Ntfs) && kind != static_cast<uint8_t>(FsKind::Fat)) {
        return Failed(reason, "unknown file-system kind");
    }
    h->Kind = static_cast<FsKind>(kind);
    h->Label = r.Str(32);
    h->SerialNumber = r.U32();
    h->CreationTime = r.I64();
    h->ClusterSize = r.U32();
    h->TotalClusters = r.U64();
    h->ReservedClusters = r.U64();
    h->NextId = r.U64();
    h->NextObjectIdSequence = r.U64();
    if (!r.Ok() || !r.AtEnd()) return Failed(reason, "truncated or overlong volume header");
    bool clusterOk = h->ClusterSize >= kSectorSize && h->ClusterSize <= (64u << 10) &&
                     (h->ClusterSize & (h->ClusterSize - 1)) == 0;
    if (!clusterOk) return Failed(reason, "invalid cluster size");
    if (h->ReservedClusters > h->TotalClusters) return Failed(reason, "reserved space exceeds the volume");
    if (h->NextId < kFirstUserId) return Failed(reason, "invalid next file ID");
    return true;
}

std::vector<uint8_t> EncodeNode(const Node& n) {
    Writer w;
    w.U64(n.Id);
    uint8_t flags = (n.IsDirectory ? kFlagDirectory : 0) | (n.IsMetadata ? kFlagMetadata : 0) |
                    (n.HasObjectId ? kFlagObjectId : 0);
    w.U8(flags);
    w.U32(n.Attributes);
    w.I64(n.Times.Creation);
    w.I64(n.Times.LastAccess);
    w.I64(n.Times.LastWrite);
    w.I64(n.Times.Change);
    w.U32(static_cast<uint32_t>(n.Links.size()));
    for (const Link& l : n.Links) {
        w.U64(l.Parent);
        w.U64(l.Slot);
        w.Str(l.LongName);
        w.Str(l.ShortName);
    }
    w.U32(static_cast<uint32_t>(n.Streams.size()));
    for (const Stream& s : n.Streams) {
        w.Str(s.StreamName);
        w.U64(s.Allocation);
        w.Bytes(s.Data);
    }
    w.U32(static_cast<uint32_t>(n.Eas.size()));
    for (const ExtendedAttribute& ea : n.Eas) {
        w.Ansi(ea.Name);
        w.U8(ea.Flags);
        w.Bytes(ea.Value);
    }
    w.Bytes(n.Security);
    if (n.HasObjectId) {
        w.Raw(n.ObjectId.Id.data(), n.ObjectId.Id.size());
        w.Raw(n.ObjectId.Extended.data(), n.ObjectId.Extended.size());
    }
    w.U32(n.ReparseTag);
    w.Bytes(n.ReparseData);
    return w.Take();
}

bool DecodeNode(const std::vector<uint8_t>& bytes, Node* n, std::string* reason) {
    Reader r(bytes);
    n->Id = r.U64();
    uint8_t flags = r.U8();
    n->IsDirectory = (flags & kFlagDirectory) != 0;
    n->IsMetadata = (flags & kFlagMetadata) != 0;
    n->HasObjectId = (flags & kFlagObjectId) != 0;
    n->Attributes = r.U32();
    n->Times.Creation = r.I64();
    n->Times.LastAccess = r.I64();
    n->Times.LastWrite = r.I64();
    n->Times.Change = r.I64();
    uint32_t links = r.Count();
    for (uint32_t i = 0; i < links && r.Ok(); ++i) {
        Link l;
        l.Parent = r.U64();
        l.Slot = r.U64();
        l.LongName = r.Str(kMaxComponentLength);
        l.ShortName = r.Str(kMaxShortNameLength);
        n->Links.push_back(std::move(l));
    }
    uint32_t streams = r.Count();
    for (uint32_t i = 0; i < streams && r.Ok(); ++i) {
        Stream s;
        s.StreamName = r.Str(kMaxComponentLength);
        s.Allocation = r.U64();
        s.Data = r.Bytes(~0ull);
        if (s.Allocation < s.Data.size()) return Failed(reason, "stream allocation below its size");
        n->Streams.push_back(std::move(s));
    }
    uint32_t eas = r.Count();
    for (uint32_t i = 0; i < eas && r.Ok(); ++i) {
        ExtendedAttribute ea;
        ea.Name = r.Ansi(255);
        ea.Flags = r.U8();
        ea.Value = r.Bytes(kMaxEaValue);
        n->Eas.push_back(std::move(ea));
    }
    n->Security = r.Bytes(kMaxSecurity);
    if (n->HasObjectId) {
        r.Raw(n->ObjectId.Id.data(), n->ObjectId.Id.size());
        r.Raw(n->ObjectId.Extended.data(), n->ObjectId.Extended.size());
    }
    n->ReparseTag = r.U32();
    n->ReparseData = r.Bytes(kMaximumReparseDataSize);
    if (!r.Ok() || !r.AtEnd()) return Failed(reason, "truncated or overlong record");
    if (n->IsDirectory && !n->Streams.empty() && n->Streams[0].StreamName.empty()) {
        return Failed(reason, "directory with an unnamed data stream");
    }
    if (!n->IsDirectory && (n->Streams.empty() || !n->Streams[0].StreamName.empty())) {
        return Failed(reason, "file without its unnamed data stream");
    }
    if ((n->ReparseTag == 0) != n->ReparseData.empty()) return Failed(reason, "inconsistent reparse point");
    return true;
}

}  // namespace plat::fs
