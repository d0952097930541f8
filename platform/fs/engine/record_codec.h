// The on-disk format of the engine: the volume header and one record per
// node, little-endian, every length checked on decoding. A record that does
// not decode makes the whole image unmountable (never a crash).
//
// Header:  u32 magic "QVOL", u16 version, u8 kind, label, u32 serial,
//          i64 creation time, u32 cluster size, u64 total clusters,
//          u64 reserved clusters, u64 next file ID, u64 next object-ID sequence
// Record:  u64 id, u8 flags (directory, metadata), u32 attributes, 4 x i64 times,
//          links (u64 parent, u64 slot, long name, short name),
//          streams (name, u64 allocation, data), EAs (name, u8 flags, value),
//          security bytes, optional 64-byte object ID, u32 reparse tag + data
// Strings are u16 length + UTF-16 units; byte blocks are u32 length + bytes.
#pragma once

#include "fs/engine/node.h"

#include <string>

namespace plat::fs {

constexpr uint32_t kImageMagic = 0x4C4F5651;  // "QVOL"
constexpr uint16_t kImageVersion = 1;

struct VolumeHeader {
    FsKind Kind = FsKind::Ntfs;
    Name Label;
    uint32_t SerialNumber = 0;
    int64_t CreationTime = 0;
    uint32_t ClusterSize = 4096;
    uint64_t TotalClusters = 0;
    uint64_t ReservedClusters = 0;
    uint64_t NextId = 0;
    uint64_t NextObjectIdSequence = 0;
};

std::vector<uint8_t> EncodeHeader(const VolumeHeader& header);
// False with a reason when the bytes are no valid header.
bool DecodeHeader(const std::vector<uint8_t>& bytes, VolumeHeader* header, std::string* reason);

std::vector<uint8_t> EncodeNode(const Node& node);
// Decodes the persistent part of a node (no directory index, no runtime).
bool DecodeNode(const std::vector<uint8_t>& bytes, Node* node, std::string* reason);

}  // namespace plat::fs
