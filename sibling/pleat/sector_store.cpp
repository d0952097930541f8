// The sibling filter's sector store (see sector_store.h).
#include "sector_store.h"

#include <string.h>

#include <algorithm>

namespace pleat {
namespace {

constexpr char kImageMagic[8] = {'P', 'L', 'E', 'A', 'T', 'S', 'T', 'O'};
constexpr ULONG kImageVersion = 1;
constexpr size_t kImageHeaderBytes = sizeof(kImageMagic) + 3 * sizeof(uint32_t);
constexpr size_t kImageChecksumBytes = sizeof(uint64_t);
// Far beyond any store the machine makes; refuses absurd images before allocating.
constexpr ULONG kMaximumSectorCount = 1u << 20;

uint64_t Checksum(const UCHAR* data, size_t length) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

void PutU32(std::vector<UCHAR>* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<UCHAR>(value >> (8 * i)));
}

void PutU64(std::vector<UCHAR>* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<UCHAR>(value >> (8 * i)));
}

uint32_t GetU32(const UCHAR* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t GetU64(const UCHAR* p) {
    return static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32;
}

}  // namespace

void SectorStore::Format(ULONG SectorCount, ULONG StatusSector) {
    if (StatusSector == 0 || StatusSector == kMarkerSector || StatusSector == kHeaderSector) {
        StatusSector = kDefaultStatusSector;
    }
    SectorCount = std::max<ULONG>(SectorCount, std::max(kHeaderSector, StatusSector) + 1);
    SectorCount = std::min(SectorCount, kMaximumSectorCount);

    std::lock_guard<std::mutex> guard(m_Lock);
    m_Bytes.assign(static_cast<size_t>(SectorCount) * kSectorSize, 0);
    UCHAR* marker = &m_Bytes[kMarkerSector * kSectorSize];
    memcpy(marker + kMarkerTextOffset, "BRIMEL", 6);
    marker[kMarkerFlagOffset] = 1;
    UCHAR* header = &m_Bytes[kHeaderSector * kSectorSize];
    header[kHeaderVersionOffset] = kHeaderVersion;
    header[kHeaderFlagOffset1] = 1;
    header[kHeaderFlagOffset2] = 1;
    for (int i = 0; i < 4; ++i) header[kHeaderStatusSectorOffset + i] = static_cast<UCHAR>(StatusSector >> (8 * i));
    m_Bytes[static_cast<size_t>(StatusSector) * kSectorSize + kStatusCodeOffset] = kStatusCleanEnd;
    m_Present = true;
    m_StatusHistory.clear();
}

void SectorStore::Remove() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Present = false;
    m_Bytes.clear();
}

bool SectorStore::Present() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Present;
}

ULONG SectorStore::SectorCount() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return static_cast<ULONG>(m_Bytes.size() / kSectorSize);
}

bool SectorStore::RangeInside(ULONG Sector, ULONG Count) const {
    uint64_t end = static_cast<uint64_t>(Sector) + Count;
    return end <= m_Bytes.size() / kSectorSize;
}

NTSTATUS SectorStore::Read(ULONG Sector, ULONG Count, void* Buffer) const {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Present) return STATUS_NO_MEDIA_IN_DEVICE;
    if (!RangeInside(Sector, Count)) return STATUS_INVALID_PARAMETER;
    if (Count != 0) {
        memcpy(Buffer, &m_Bytes[static_cast<size_t>(Sector) * kSectorSize], static_cast<size_t>(Count) * kSectorSize);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SectorStore::Write(ULONG Sector, ULONG Count, const void* Buffer) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Present) return STATUS_NO_MEDIA_IN_DEVICE;
    if (!RangeInside(Sector, Count)) return STATUS_INVALID_PARAMETER;
    if (Count == 0) return STATUS_SUCCESS;
    memcpy(&m_Bytes[static_cast<size_t>(Sector) * kSectorSize], Buffer, static_cast<size_t>(Count) * kSectorSize);
    std::optional<ULONG> statusSector = StatusSectorLocked();
    if (statusSector && *statusSector >= Sector && *statusSector - Sector < Count) {
        m_StatusHistory.push_back(*StatusCodeLocked());
    }
    return STATUS_SUCCESS;
}

std::optional<UCHAR> SectorStore::Peek(ULONG Sector, ULONG Offset) const {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Present || Offset >= kSectorSize || !RangeInside(Sector, 1)) return std::nullopt;
    return m_Bytes[static_cast<size_t>(Sector) * kSectorSize + Offset];
}

bool SectorStore::Poke(ULONG Sector, ULONG Offset, UCHAR Value) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Present || Offset >= kSectorSize || !RangeInside(Sector, 1)) return false;
    m_Bytes[static_cast<size_t>(Sector) * kSectorSize + Offset] = Value;
    return true;
}

std::optional<ULONG> SectorStore::StatusSectorLocked() const {
    if (!m_Present || !RangeInside(kHeaderSector, 1)) return std::nullopt;
    ULONG sector = GetU32(&m_Bytes[kHeaderSector * kSectorSize + kHeaderStatusSectorOffset]);
    if (sector == 0 || !RangeInside(sector, 1)) return std::nullopt;
    return sector;
}

std::optional<ULONG> SectorStore::StatusSector() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return StatusSectorLocked();
}

std::optional<UCHAR> SectorStore::StatusCodeLocked() const {
    std::optional<ULONG> sector = StatusSectorLocked();
    if (!sector) return std::nullopt;
    return m_Bytes[static_cast<size_t>(*sector) * kSectorSize + kStatusCodeOffset];
}

std::optional<UCHAR> SectorStore::StatusCode() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return StatusCodeLocked();
}

std::vector<UCHAR> SectorStore::StatusCodeHistory(bool Clear) {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<UCHAR> history = m_StatusHistory;
    if (Clear) m_StatusHistory.clear();
    return history;
}

std::vector<UCHAR> SectorStore::Image() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<UCHAR> image(kImageMagic, kImageMagic + sizeof(kImageMagic));
    PutU32(&image, kImageVersion);
    PutU32(&image, m_Present ? 1 : 0);
    PutU32(&image, static_cast<uint32_t>(m_Bytes.size() / kSectorSize));
    image.insert(image.end(), m_Bytes.begin(), m_Bytes.end());
    PutU64(&image, Checksum(image.data(), image.size()));
    return image;
}

std::string SectorStore::Restore(const std::vector<UCHAR>& Image) {
    if (Image.size() < kImageHeaderBytes + kImageChecksumBytes ||
        memcmp(Image.data(), kImageMagic, sizeof(kImageMagic)) != 0) {
        return "not a sector store image";
    }
    const UCHAR* field = Image.data() + sizeof(kImageMagic);
    if (GetU32(field) != kImageVersion) return "sector store image of an unknown version";
    uint32_t present = GetU32(field + 4);
    uint32_t sectors = GetU32(field + 8);
    if (present > 1 || sectors > kMaximumSectorCount || (present == 0 && sectors != 0)) {
        return "sector store image with an invalid header";
    }
    size_t bytes = static_cast<size_t>(sectors) * kSectorSize;
    if (Image.size() != kImageHeaderBytes + bytes + kImageChecksumBytes) return "sector store image of the wrong size";
    size_t body = kImageHeaderBytes + bytes;
    if (GetU64(Image.data() + body) != Checksum(Image.data(), body)) return "sector store image is damaged (checksum)";

    std::lock_guard<std::mutex> guard(m_Lock);
    m_Present = present == 1;
    m_Bytes.assign(Image.begin() + kImageHeaderBytes, Image.begin() + body);
    m_StatusHistory.clear();
    return "";
}

}  // namespace pleat
