// The sibling filter's sector store: the sectors it keeps on its disk, held
// in host memory and kept with the machine between boots.
//
// Layout the driver relies on (written by Format):
//   sector 0:      "BRIMEL" at byte 3, 1 at byte 9;
//   sector 21:     version (5) at byte 0, non-zero bytes at 0xDB and 0xDD, the
//                  status sector number (32-bit little-endian) at 0xE0;
//   status sector: start time at 0x84, shutdown time at 0x8E, status code at
//                  0xCC (8 = the last run ended cleanly).
// Everything else is zero. A store can be removed (every request then fails,
// as for a disk that is gone) or damaged byte by byte, so that tests can
// take the driver's failure paths.
//
// Locking: one mutex guards the bytes; every member takes it for its whole
// run, so the driver's requests and the host's inspection never interleave
// inside a sector.
#pragma once

#include <wdm.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pleat {

constexpr ULONG kSectorSize = 512;
constexpr ULONG kMarkerSector = 0;
constexpr ULONG kHeaderSector = 21;
constexpr ULONG kDefaultStatusSector = 40;
constexpr ULONG kDefaultSectorCount = 64;

constexpr ULONG kMarkerTextOffset = 3;      // "BRIMEL"
constexpr ULONG kMarkerFlagOffset = 9;      // 1
constexpr ULONG kHeaderVersionOffset = 0;   // >= 5
constexpr ULONG kHeaderFlagOffset1 = 0xDB;  // non-zero
constexpr ULONG kHeaderFlagOffset2 = 0xDD;  // non-zero
constexpr ULONG kHeaderStatusSectorOffset = 0xE0;
constexpr ULONG kStatusStartTimeOffset = 0x84;
constexpr ULONG kStatusShutdownTimeOffset = 0x8E;
constexpr ULONG kStatusCodeOffset = 0xCC;

constexpr UCHAR kHeaderVersion = 5;
constexpr UCHAR kStatusCleanEnd = 8;

class SectorStore {
public:
    SectorStore() = default;  // absent until formatted or loaded
    SectorStore(const SectorStore&) = delete;
    SectorStore& operator=(const SectorStore&) = delete;

    // A fresh store of SectorCount sectors with the layout above, the status
    // sector at StatusSector, and status code 8 (a clean start).
    void Format(ULONG SectorCount = kDefaultSectorCount, ULONG StatusSector = kDefaultStatusSector);
    // The store is gone: requests fail with STATUS_NO_MEDIA_IN_DEVICE.
    void Remove();
    bool Present() const;
    ULONG SectorCount() const;

    // Count x 512 bytes between the store and Buffer. STATUS_NO_MEDIA_IN_DEVICE
    // without a store, STATUS_INVALID_PARAMETER for a range outside it.
    NTSTATUS Read(ULONG Sector, ULONG Count, void* Buffer) const;
    NTSTATUS Write(ULONG Sector, ULONG Count, const void* Buffer);

    // Single bytes, for inspection and damage. Peek answers nothing outside
    // the store; Poke does nothing there and answers false.
    std::optional<UCHAR> Peek(ULONG Sector, ULONG Offset) const;
    bool Poke(ULONG Sector, ULONG Offset, UCHAR Value);

    // The status sector named by sector 21, when it lies inside the store and
    // is not 0; and the status code it holds.
    std::optional<ULONG> StatusSector() const;
    std::optional<UCHAR> StatusCode() const;

    // The status code after every write of the status sector, in order, since
    // the store was formatted, restored or last asked with Clear set: what a
    // disk analyser watching the sector would have seen. Not kept in the image.
    std::vector<UCHAR> StatusCodeHistory(bool Clear = false);

    // Whole-store images for keeping the store with the machine: a versioned,
    // checksummed byte image; an absent store has an image too. Restore
    // answers "" or a sentence saying why the image was refused (the store is
    // then unchanged).
    std::vector<UCHAR> Image() const;
    std::string Restore(const std::vector<UCHAR>& Image);

private:
    bool RangeInside(ULONG Sector, ULONG Count) const;  // m_Lock held
    std::optional<ULONG> StatusSectorLocked() const;
    std::optional<UCHAR> StatusCodeLocked() const;

    mutable std::mutex m_Lock;
    bool m_Present = false;
    std::vector<UCHAR> m_Bytes;
    std::vector<UCHAR> m_StatusHistory;
};

}  // namespace pleat
