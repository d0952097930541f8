// Disks: configuration, the flushed volume image, and their host files.
//
// Host file layout (little-endian):
//   "QUILTDSK" (8 bytes), u32 format version, u32 flags (bit 0: write protected)
//   u8 file system, u64 size, u32 cluster size, u8 bus type, u8 removable
//   u64 header length + volume header bytes
//   u64 record count, then per record: u64 file ID, u64 length, bytes
//   u64 FNV-1a checksum of everything before it
// A file is accepted only when the magic, version, lengths and checksum are
// right and its volume mounts; the reason of a refusal is reported.
#include "storage/storage.h"

#include "fs/default_security.h"
#include "fs/engine/record_codec.h"
#include "fs/engine/volume.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace plat::storage {
namespace {

constexpr char kMagic[8] = {'Q', 'U', 'I', 'L', 'T', 'D', 'S', 'K'};
constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kFlagWriteProtected = 1;
constexpr uint64_t kMinimumDiskSize = 4ull << 20;
constexpr size_t kChecksumSize = 8;

uint64_t Fnv1a(const uint8_t* data, size_t size) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

// NT time (100 ns since 1601) from the host clock: disks may be made while
// no kernel exists.
int64_t HostNtTime() {
    using namespace std::chrono;
    int64_t unix100ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000ll;
}

uint32_t NextSerialNumber() {
    static std::atomic<uint32_t> counter{0};
    uint32_t n = ++counter;
    return 0x5A3C0000u ^ (n * 0x9E3779B1u);
}

class Writer {
public:
    void Raw(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        m_Out.insert(m_Out.end(), b, b + n);
    }
    void U8(uint8_t v) { Raw(&v, 1); }
    void U32(uint32_t v) { Raw(&v, 4); }
    void U64(uint64_t v) { Raw(&v, 8); }
    void Block(const std::vector<uint8_t>& b) {
        U64(b.size());
        Raw(b.data(), b.size());
    }
    std::vector<uint8_t>& Bytes() { return m_Out; }

private:
    std::vector<uint8_t> m_Out;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
    bool Raw(void* p, size_t n) {
        if (n > m_Size - m_Pos) return false;
        memcpy(p, m_Data + m_Pos, n);
        m_Pos += n;
        return true;
    }
    bool U8(uint8_t* v) { return Raw(v, 1); }
    bool U32(uint32_t* v) { return Raw(v, 4); }
    bool U64(uint64_t* v) { return Raw(v, 8); }
    bool Block(std::vector<uint8_t>* b) {
        uint64_t n = 0;
        if (!U64(&n) || n > m_Size - m_Pos) return false;
        b->assign(m_Data + m_Pos, m_Data + m_Pos + n);
        m_Pos += n;
        return true;
    }
    bool AtEnd() const { return m_Pos == m_Size; }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
};

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

bool ValidConfig(const DiskConfig& c, std::string* error) {
    if (c.FileSystem != fs::FsKind::Ntfs && c.FileSystem != fs::FsKind::Fat) return Fail(error, "unknown file system");
    if (c.SizeBytes < kMinimumDiskSize) return Fail(error, "disk smaller than 4 MB");
    bool cluster = c.ClusterSize >= 512 && c.ClusterSize <= 65536 && (c.ClusterSize & (c.ClusterSize - 1)) == 0;
    if (!cluster) return Fail(error, "invalid cluster size");
    if (static_cast<unsigned>(c.BusType) >= BusTypeMax) return Fail(error, "invalid bus type");
    return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Disk::Disk(const DiskConfig& config, fs::VolumeImage image) : m_Config(config), m_Image(std::move(image)) {}

std::shared_ptr<Disk> Disk::Create(const DiskConfig& requested) {
    DiskConfig config = requested;
    if (!ValidConfig(config, nullptr)) return nullptr;
    if (config.SerialNumber == 0) config.SerialNumber = NextSerialNumber();
    fs::FormatParams params;
    params.Kind = config.FileSystem;
    params.SizeBytes = config.SizeBytes;
    params.ClusterSize = config.ClusterSize;
    params.Label = config.Label;
    params.SerialNumber = config.SerialNumber;
    params.CreationTime = HostNtTime();
    if (config.FileSystem == fs::FsKind::Ntfs) params.RootSecurity = fs::DefaultRootSecurity();
    std::unique_ptr<fs::Volume> volume = fs::Volume::Format(params, [time = params.CreationTime] { return time; });
    fs::VolumeImage image;
    volume->Flush(&image);
    return std::shared_ptr<Disk>(new Disk(config, std::move(image)));
}

fs::VolumeImage Disk::Image() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Image;
}

void Disk::UpdateImage(const std::function<void(fs::VolumeImage&)>& update) {
    std::lock_guard<std::mutex> guard(m_Lock);
    update(m_Image);
}

void Disk::SetWriteProtected(bool writeProtected) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_WriteProtected = writeProtected;
}

bool Disk::WriteProtected() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_WriteProtected;
}

void Disk::SetMountFailure(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_MountFailure = status;
}

NTSTATUS Disk::MountFailure() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_MountFailure;
}

std::vector<uint8_t> Disk::Serialize() {
    std::lock_guard<std::mutex> guard(m_Lock);
    Writer w;
    w.Raw(kMagic, sizeof(kMagic));
    w.U32(kFormatVersion);
    w.U32(m_WriteProtected ? kFlagWriteProtected : 0);
    w.U8(static_cast<uint8_t>(m_Config.FileSystem));
    w.U64(m_Config.SizeBytes);
    w.U32(m_Config.ClusterSize);
    w.U8(static_cast<uint8_t>(m_Config.BusType));
    w.U8(m_Config.Removable ? 1 : 0);
    w.Block(m_Image.Header);
    w.U64(m_Image.Records.size());
    for (const auto& [id, record] : m_Image.Records) {
        w.U64(id);
        w.Block(record);
    }
    w.U64(Fnv1a(w.Bytes().data(), w.Bytes().size()));
    return std::move(w.Bytes());
}

bool Disk::Deserialize(const std::vector<uint8_t>& bytes, std::shared_ptr<Disk>* disk, std::string* error) {
    if (bytes.size() < sizeof(kMagic) + 8 || memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
        return Fail(error, "not a disk image (unknown format)");
    }
    uint32_t version = 0;
    memcpy(&version, bytes.data() + sizeof(kMagic), 4);
    if (version != kFormatVersion) return Fail(error, "unsupported disk image version " + std::to_string(version));
    if (bytes.size() < sizeof(kMagic) + 8 + kChecksumSize) return Fail(error, "disk image truncated");
    size_t body = bytes.size() - kChecksumSize;
    uint64_t stored = 0;
    memcpy(&stored, bytes.data() + body, kChecksumSize);
    if (stored != Fnv1a(bytes.data(), body)) return Fail(error, "disk image damaged (checksum mismatch)");

    Reader r(bytes.data() + sizeof(kMagic) + 4, body - sizeof(kMagic) - 4);
    uint32_t flags = 0;
    uint8_t kind = 0, bus = 0, removable = 0;
    DiskConfig config;
    fs::VolumeImage image;
    uint64_t count = 0;
    bool ok = r.U32(&flags) && r.U8(&kind) && r.U64(&config.SizeBytes) && r.U32(&config.ClusterSize) &&
              r.U8(&bus) && r.U8(&removable) && r.Block(&image.Header) && r.U64(&count);
    for (uint64_t i = 0; ok && i < count; ++i) {
        uint64_t id = 0;
        std::vector<uint8_t> record;
        ok = r.U64(&id) && r.Block(&record);
        if (ok && !image.Records.emplace(id, std::move(record)).second) {
            return Fail(error, "disk image damaged (record twice)");
        }
    }
    if (!ok || !r.AtEnd()) return Fail(error, "disk image damaged (inconsistent lengths)");
    config.FileSystem = static_cast<fs::FsKind>(kind);
    config.BusType = static_cast<STORAGE_BUS_TYPE>(bus);
    config.Removable = removable != 0;
    if (!ValidConfig(config, error)) return false;

    // The volume must mount and agree with the disk about what it is.
    std::unique_ptr<fs::Volume> probe;
    std::string reason;
    if (!NT_SUCCESS(fs::Volume::Mount(image, [] { return 0ll; }, &probe, &reason))) {
        return Fail(error, "disk image holds no valid volume: " + reason);
    }
    fs::VolumeInfo info = probe->Info();
    if (info.Kind != config.FileSystem) return Fail(error, "disk image damaged (file system differs)");
    config.Label = info.Label;
    config.SerialNumber = info.SerialNumber;
    auto result = std::shared_ptr<Disk>(new Disk(config, std::move(image)));
    result->m_WriteProtected = (flags & kFlagWriteProtected) != 0;
    *disk = std::move(result);
    return true;
}

// Written to a temporary file in the same directory, flushed, renamed over the
// target and the directory flushed: a crash leaves the old file or the new.
bool Disk::Save(const std::string& path, std::string* error) {
    std::vector<uint8_t> bytes = Serialize();
    std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(error, "cannot create " + temporary + ": " + strerror(errno));
    bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
    int savedErrno = errno;
    close(fd);
    if (!written) {
        unlink(temporary.c_str());
        return Fail(error, "cannot write " + temporary + ": " + strerror(savedErrno));
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        savedErrno = errno;
        unlink(temporary.c_str());
        return Fail(error, "cannot replace " + path + ": " + strerror(savedErrno));
    }
    int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

bool Disk::Load(const std::string& path, std::shared_ptr<Disk>* disk, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(error, "cannot open " + path + ": " + strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail(error, path + " is not a regular file");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done != bytes.size()) return Fail(error, "cannot read " + path);
    std::string why;
    if (!Deserialize(bytes, disk, &why)) return Fail(error, path + ": " + why);
    return true;
}

}  // namespace plat::storage
