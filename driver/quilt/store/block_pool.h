// The block pool of a volume's change store: up to 32,768 blocks of 128 KiB
// of non-paged memory, each with an allocation bitmap of 8-byte units in its
// first 2 KiB, from which every store record is carved by first fit. Records
// are named by block addresses (store_records.h) and resolved here.
//
// Every operation takes the volume context and does nothing (returns 0, NULL
// or FALSE) when the volume has no store. Free store memory is always zero, so
// a new allocation reads as zeros.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"
#include "frame/device_context.h"
#include "store/store_records.h"

#define QUILT_TAG_BLOCK_DESCRIPTORS QUILT_TAG('Q', 'u', 'B', 'B')  // the descriptor array
#define QUILT_TAG_BLOCK             QUILT_TAG('Q', 'u', 'B', 'A')  // the blocks

// Descriptor i describes block i.
struct FileBlockDescriptor {
    ULONG FreeUnits;   // free 8-byte units of the block
    PUCHAR Block;      // NULL while the block does not exist
};

static_assert(sizeof(void*) != 4 || sizeof(FileBlockDescriptor) * STORE_MAX_BLOCKS == 0x40000,
              "descriptor array of 0x40000 bytes on 32-bit Windows");

// TRUE when the volume has a store (context and descriptor array present).
BOOLEAN StoreIsActive(const VolumeContext* Volume);

// Builds an empty store: descriptor array, block 0 with the header at 0x800,
// name tables 1 and 2, the root file state and the file-index table. FALSE when
// the pool cannot supply the array or block 0 (the volume then has no store)
// or when the volume already has a store.
BOOLEAN FileBlockInit(VolumeContext* Volume);

// Frees every block and the descriptor array; the volume has no store after.
VOID FileBlockTearDown(VolumeContext* Volume);

// Reserves Size bytes (whole 8-byte units), preferably in block BlockHint;
// 0 for a size of 0 or above 0x1F800, a hint above the last block, or when no
// block can take it and the pool cannot grow.
BLOCK_ADDRESS FileBlockAlloc(VolumeContext* Volume, ULONG BlockHint, ULONG Size);

// Releases the units of a record, zero-filled; Size is the size allocated.
VOID FileBlockFree(VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Size);

// Resolves an address (callers hold the store lock); NULL for 0, a block that
// does not exist, an offset inside the bitmap or not 4-byte aligned, or (with a
// non-zero Magic) a record whose first u32 differs.
PVOID FileBlockGetPtr(const VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Magic);

// Appends block last + 1; its index, or 0 when the pool is full or exhausted.
ULONG FileBlockAddBlock(VolumeContext* Volume);

// Stores Length bytes (zeros for a NULL Source) as a chain of Data chunks;
// the first chunk's address, 0 on failure (nothing stays allocated then).
BLOCK_ADDRESS FileBlockSetData(VolumeContext* Volume, ULONG BlockHint, ULONG Length, const VOID* Source);

// Stores a NUL-terminated UTF-16 string without its terminator.
BLOCK_ADDRESS FileBlockSetString(VolumeContext* Volume, ULONG BlockHint, PCWSTR Text);

// The total length of a chain; with a Destination, also copies the chain into
// it (no terminator added) and returns 0 when it does not fit in Capacity
// bytes or the chain is damaged.
ULONG FileBlockGetData(VolumeContext* Volume, BLOCK_ADDRESS First, PVOID Destination, ULONG Capacity);

// Frees every chunk of a chain.
VOID FileBlockFreeData(VolumeContext* Volume, BLOCK_ADDRESS First);

// The memory of block Index (STORE_BLOCK_BYTES, bitmap included) for the image
// dump, or NULL beyond the last block. Callers hold the store lock.
const UCHAR* FileBlockMemory(const VolumeContext* Volume, ULONG Index);

// The store header; NULL without a store.
inline StoreHeader* StoreHeaderOf(const VolumeContext* Volume) {
    return StoreIsActive(Volume) ? Volume->Store : NULL;
}

// FileBlockGetPtr for a record whose first FixedBytes bytes must lie inside
// its block.
PVOID FileBlockGetRecord(const VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Magic, ULONG FixedBytes);

// The bytes of a record kind that every record of it has (a variable part
// such as a name or payload may follow).
template <class Record>
constexpr ULONG StoreFixedBytes() { return sizeof(Record); }
template <>
constexpr ULONG StoreFixedBytes<HashItem>() { return HASH_ITEM_HEADER_BYTES; }
template <>
constexpr ULONG StoreFixedBytes<HashTableRecord>() { return HASH_TABLE_BYTES(0); }
template <>
constexpr ULONG StoreFixedBytes<FileStateRecord>() { return FIELD_OFFSET(FileStateRecord, LongName) + sizeof(WCHAR); }
template <>
constexpr ULONG StoreFixedBytes<DataChunk>() { return DATA_CHUNK_HEADER_BYTES; }
template <>
constexpr ULONG StoreFixedBytes<SecurityRecord>() { return SECURITY_RECORD_HEADER_BYTES; }
template <>
constexpr ULONG StoreFixedBytes<UCHAR>() { return 1; }

// A record resolved with its magic, typed.
template <class Record>
inline Record* StoreRecord(const VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Magic) {
    return static_cast<Record*>(FileBlockGetRecord(Volume, Address, Magic, StoreFixedBytes<Record>()));
}
