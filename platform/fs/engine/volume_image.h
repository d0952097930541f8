// What a volume leaves on its disk: a header and one record per file, in the
// engine's binary record format (record_codec.h). The storage layer keeps one
// image per volume; the engine writes into it when it flushes and builds a
// mounted volume from it. Nothing else of a mounted volume survives a crash.
#pragma once

#include <stdint.h>

#include <map>
#include <vector>

namespace plat::fs {

struct VolumeImage {
    std::vector<uint8_t> Header;
    std::map<uint64_t, std::vector<uint8_t>> Records;  // by file ID

    bool Empty() const { return Header.empty(); }
    bool operator==(const VolumeImage& other) const = default;
};

}  // namespace plat::fs
