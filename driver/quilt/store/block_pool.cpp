// Block pool: descriptors, blocks, the first-fit bitmap allocator and Data
// chains. Locking: see store_lock.h.
#include "store/block_pool.h"

#include "frame/log.h"
#include "store/hash_table.h"
#include "store/store_lock.h"

// ---- Bitmap ------------------------------------------------------------------------
//
// Bit u of the bitmap (byte u / 8, least significant bit first) is set while
// unit u is in use. The first u32 of the block, over the bits of units 0-31,
// which are never allocated, is the search hint: the lowest unit at which the
// next search starts.

static ULONG BlockHintOf(PUCHAR Block) {
    return *reinterpret_cast<ULONG*>(Block);
}

static VOID BlockSetHint(PUCHAR Block, ULONG Hint) {
    *reinterpret_cast<ULONG*>(Block) = Hint;
}

static BOOLEAN UnitUsed(const UCHAR* Bitmap, ULONG Unit) {
    return (Bitmap[Unit / 8] & (1u << (Unit % 8))) != 0;
}

static BOOLEAN SixtyFourUnitsUsed(const UCHAR* Bitmap, ULONG Unit) {
    ULONGLONG bits;
    RtlCopyMemory(&bits, Bitmap + Unit / 8, sizeof(bits));
    return bits == ~0ull;
}

static VOID MarkUnits(PUCHAR Bitmap, ULONG First, ULONG Count, BOOLEAN Used) {
    ULONG unit = First;
    ULONG end = First + Count;
    for (; unit < end && unit % 8 != 0; unit++) {
        if (Used) Bitmap[unit / 8] |= (UCHAR)(1u << (unit % 8));
        else Bitmap[unit / 8] &= (UCHAR)~(1u << (unit % 8));
    }
    ULONG wholeBytes = (end - unit) / 8;
    RtlFillMemory(Bitmap + unit / 8, wholeBytes, Used ? 0xFF : 0x00);
    unit += wholeBytes * 8;
    for (; unit < end; unit++) {
        if (Used) Bitmap[unit / 8] |= (UCHAR)(1u << (unit % 8));
        else Bitmap[unit / 8] &= (UCHAR)~(1u << (unit % 8));
    }
}

static ULONG CountUsedUnits(const UCHAR* Bitmap, ULONG First, ULONG Count) {
    ULONG used = 0;
    for (ULONG unit = First; unit < First + Count; unit++) {
        if (UnitUsed(Bitmap, unit)) used++;
    }
    return used;
}

// First fit from the hint: the first run of Units free units. Full bitmap bytes
// (and full 64-unit words) are skipped whole, free bytes are taken whole while
// the run is still short; the result is that of a unit-by-unit scan. Returns
// the first unit of the run, 0 when there is none.
static ULONG BlockFindRun(const FileBlockDescriptor* Descriptor, ULONG Units, ULONG* LastUnit) {
    if (Descriptor->Block == NULL || Descriptor->FreeUnits < Units) {
        return 0;
    }
    const UCHAR* bitmap = Descriptor->Block;
    ULONG unit = BlockHintOf(Descriptor->Block);
    if (unit < STORE_FIRST_UNIT) {
        unit = STORE_FIRST_UNIT;  // never search the bitmap's own units
    }
    ULONG runStart = 0;
    ULONG runLength = 0;
    while (unit < STORE_BLOCK_UNITS) {
        if (unit % 64 == 0 && SixtyFourUnitsUsed(bitmap, unit)) {
            runLength = 0;
            unit += 64;
            continue;
        }
        if (unit % 8 == 0) {
            UCHAR bits = bitmap[unit / 8];
            if (bits == 0xFF) {
                runLength = 0;
                unit += 8;
                continue;
            }
            if (bits == 0 && runLength + 8 < Units) {
                if (runLength == 0) runStart = unit;
                runLength += 8;
                unit += 8;
                continue;
            }
        }
        if (UnitUsed(bitmap, unit)) {
            runLength = 0;
        } else {
            if (runLength == 0) runStart = unit;
            runLength++;
            if (runLength == Units) {
                *LastUnit = unit;
                return runStart;
            }
        }
        unit++;
    }
    return 0;
}

// The in-block search and its bookkeeping; the byte offset, 0 on failure.
static ULONG BlockAllocate(FileBlockDescriptor* Descriptor, ULONG Units) {
    ULONG last = 0;
    ULONG first = BlockFindRun(Descriptor, Units, &last);
    if (first == 0) {
        return 0;
    }
    MarkUnits(Descriptor->Block, first, Units, TRUE);
    Descriptor->FreeUnits -= Units;
    if (first == BlockHintOf(Descriptor->Block)) {
        BlockSetHint(Descriptor->Block, last + 1);
    }
    return first * STORE_UNIT_BYTES;
}

static BOOLEAN BlockCreate(FileBlockDescriptor* Descriptor) {
    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, STORE_BLOCK_BYTES, QUILT_TAG_BLOCK));
    if (block == NULL) {
        return FALSE;
    }
    RtlZeroMemory(block, STORE_BLOCK_BYTES);
    BlockSetHint(block, STORE_FIRST_UNIT);
    Descriptor->Block = block;
    Descriptor->FreeUnits = STORE_FREE_UNITS_NEW;
    return TRUE;
}

// ---- Store life cycle ----------------------------------------------------------------

BOOLEAN StoreIsActive(const VolumeContext* Volume) {
    return Volume != NULL && Volume->BlockDescriptors != NULL && Volume->Store != NULL;
}

static VOID StoreBuildRecords(VolumeContext* Volume) {
    StoreLockScope lock;
    StoreHeader* header = Volume->Store;
    FileBlockAlloc(Volume, 0, sizeof(StoreHeader));  // the first allocation: lands at 0x800
    header->Magic = STORE_MAGIC_HEADER;
    header->LastBlockIndex = 0;
    header->NameTable1 = FileBlockHashInit(Volume, 0, STORE_NAME_TABLE_BUCKETS);
    header->NameTable2 = FileBlockHashInit(Volume, 0, STORE_NAME_TABLE_BUCKETS);
    header->RootState = FileBlockAlloc(Volume, 0, sizeof(FileStateRecord));
    FileStateRecord* root = StoreRecord<FileStateRecord>(Volume, header->RootState, 0);
    if (root != NULL) {
        root->Magic = STORE_MAGIC_FILE_STATE;
    } else {
        LogPrint("FileBlockInit()  file state for %c:\\ create failed!", (int)('A' + Volume->DriveIndex));
    }
    header->FileIndexTable = FileBlockHashInit(Volume, 0, STORE_INDEX_TABLE_BUCKETS);
}

BOOLEAN FileBlockInit(VolumeContext* Volume) {
    if (Volume == NULL || Volume->BlockDescriptors != NULL) {
        return FALSE;
    }
    ULONG arrayBytes = sizeof(FileBlockDescriptor) * STORE_MAX_BLOCKS;
    FileBlockDescriptor* descriptors = static_cast<FileBlockDescriptor*>(
        ExAllocatePoolWithTag(NonPagedPool, arrayBytes, QUILT_TAG_BLOCK_DESCRIPTORS));
    if (descriptors == NULL) {
        return FALSE;
    }
    RtlZeroMemory(descriptors, arrayBytes);
    if (!BlockCreate(&descriptors[0])) {
        ExFreePoolWithTag(descriptors, QUILT_TAG_BLOCK_DESCRIPTORS);
        return FALSE;
    }
    Volume->BlockDescriptors = descriptors;
    Volume->Store = reinterpret_cast<StoreHeader*>(descriptors[0].Block + STORE_HEADER_ADDRESS);
    StoreBuildRecords(Volume);
    return TRUE;
}

VOID FileBlockTearDown(VolumeContext* Volume) {
    if (Volume == NULL || Volume->BlockDescriptors == NULL) {
        return;
    }
    StoreLockScope lock;
    FileBlockDescriptor* descriptors = Volume->BlockDescriptors;
    Volume->BlockDescriptors = NULL;
    Volume->Store = NULL;
    for (ULONG index = 0; index < STORE_MAX_BLOCKS; index++) {
        if (descriptors[index].Block != NULL) {
            ExFreePoolWithTag(descriptors[index].Block, QUILT_TAG_BLOCK);
        }
    }
    ExFreePoolWithTag(descriptors, QUILT_TAG_BLOCK_DESCRIPTORS);
}

// ---- Allocation ------------------------------------------------------------------------

BLOCK_ADDRESS FileBlockAlloc(VolumeContext* Volume, ULONG BlockHint, ULONG Size) {
    if (Size == 0 || Size > STORE_MAX_ALLOCATION) {
        return 0;
    }
    StoreLockScope lock;
    StoreHeader* header = StoreHeaderOf(Volume);
    if (header == NULL || BlockHint > header->LastBlockIndex) {
        return 0;
    }
    FileBlockDescriptor* descriptors = Volume->BlockDescriptors;
    ULONG units = StoreUnitsFor(Size);
    ULONG offset = BlockAllocate(&descriptors[BlockHint], units);
    if (offset != 0) {
        return MakeBlockAddress(BlockHint, offset);
    }
    // The hint block failed; a second search of it would fail again.
    for (ULONG index = 0; index <= header->LastBlockIndex; index++) {
        if (index == BlockHint || descriptors[index].FreeUnits < units) {
            continue;
        }
        offset = BlockAllocate(&descriptors[index], units);
        if (offset != 0) {
            return MakeBlockAddress(index, offset);
        }
    }
    ULONG added = FileBlockAddBlock(Volume);
    if (added == 0) {
        return 0;
    }
    offset = BlockAllocate(&descriptors[added], units);
    return offset != 0 ? MakeBlockAddress(added, offset) : 0;
}

VOID FileBlockFree(VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Size) {
    if (Address == 0 || Size == 0 || Size > STORE_MAX_ALLOCATION) {
        return;
    }
    StoreLockScope lock;
    StoreHeader* header = StoreHeaderOf(Volume);
    ULONG index = BlockIndexOf(Address);
    if (header == NULL || index > header->LastBlockIndex) {
        return;
    }
    FileBlockDescriptor* descriptor = &Volume->BlockDescriptors[index];
    ULONG offset = BlockOffsetOf(Address);
    ULONG units = StoreUnitsFor(Size);
    // Only what an allocation can have produced is released: the bitmap and
    // the hint are never touched through a stray address.
    if (descriptor->Block == NULL || offset < STORE_BITMAP_BYTES || offset % STORE_UNIT_BYTES != 0 ||
        offset + units * STORE_UNIT_BYTES > STORE_BLOCK_BYTES) {
        return;
    }
    ULONG first = offset / STORE_UNIT_BYTES;
    // Counting the units actually in use keeps the free count true even for a
    // range released twice.
    ULONG released = CountUsedUnits(descriptor->Block, first, units);
    RtlZeroMemory(descriptor->Block + offset, units * STORE_UNIT_BYTES);
    MarkUnits(descriptor->Block, first, units, FALSE);
    descriptor->FreeUnits += released;
    if (first < BlockHintOf(descriptor->Block)) {
        BlockSetHint(descriptor->Block, first);
    }
}

PVOID FileBlockGetPtr(const VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Magic) {
    return FileBlockGetRecord(Volume, Address, Magic, sizeof(ULONG));
}

PVOID FileBlockGetRecord(const VolumeContext* Volume, BLOCK_ADDRESS Address, ULONG Magic, ULONG FixedBytes) {
    if (Address == 0 || !StoreIsActive(Volume)) {
        return NULL;
    }
    ULONG index = BlockIndexOf(Address);
    ULONG offset = BlockOffsetOf(Address);
    if (index > Volume->Store->LastBlockIndex || offset < STORE_BITMAP_BYTES || offset % 4 != 0 ||
        FixedBytes > STORE_BLOCK_BYTES - offset) {
        return NULL;
    }
    PUCHAR block = Volume->BlockDescriptors[index].Block;
    if (block == NULL) {
        return NULL;
    }
    PVOID record = block + offset;
    if (Magic != 0 && *static_cast<ULONG*>(record) != Magic) {
        return NULL;
    }
    return record;
}

const UCHAR* FileBlockMemory(const VolumeContext* Volume, ULONG Index) {
    StoreHeader* header = StoreHeaderOf(Volume);
    if (header == NULL || Index > header->LastBlockIndex) {
        return NULL;
    }
    return Volume->BlockDescriptors[Index].Block;
}

ULONG FileBlockAddBlock(VolumeContext* Volume) {
    StoreLockScope lock;
    StoreHeader* header = StoreHeaderOf(Volume);
    if (header == NULL || header->LastBlockIndex >= STORE_LAST_BLOCK_INDEX) {
        return 0;
    }
    ULONG index = header->LastBlockIndex + 1;
    if (!BlockCreate(&Volume->BlockDescriptors[index])) {
        return 0;
    }
    header->LastBlockIndex = index;
    return index;
}

// ---- Data chains -------------------------------------------------------------------------

BLOCK_ADDRESS FileBlockSetData(VolumeContext* Volume, ULONG BlockHint, ULONG Length, const VOID* Source) {
    StoreLockScope lock;
    if (!StoreIsActive(Volume)) {
        return 0;
    }
    const UCHAR* source = static_cast<const UCHAR*>(Source);
    BLOCK_ADDRESS first = 0;
    DataChunk* previous = NULL;
    ULONG remaining = Length;
    for (;;) {
        ULONG payload = remaining < DATA_CHUNK_MAX_PAYLOAD ? remaining : DATA_CHUNK_MAX_PAYLOAD;
        BLOCK_ADDRESS address = FileBlockAlloc(Volume, BlockHint, DATA_CHUNK_HEADER_BYTES + payload);
        DataChunk* chunk = StoreRecord<DataChunk>(Volume, address, 0);
        if (chunk == NULL) {
            // The chunks written so far form a well-ended chain (a new chunk's
            // next field is zero): release it rather than leave it unreachable.
            FileBlockFreeData(Volume, first);
            return 0;
        }
        chunk->Magic = STORE_MAGIC_DATA;
        chunk->Remaining = remaining;
        chunk->PayloadLength = payload;
        if (previous != NULL) {
            previous->Next = address;
        } else {
            first = address;
        }
        if (source != NULL) {
            RtlCopyMemory(chunk->Payload, source, payload);
            source += payload;
        }
        if (payload == remaining) {
            chunk->Next = 0;
            return first;
        }
        remaining -= payload;
        previous = chunk;
    }
}

BLOCK_ADDRESS FileBlockSetString(VolumeContext* Volume, ULONG BlockHint, PCWSTR Text) {
    if (Text == NULL) {
        return 0;
    }
    return FileBlockSetData(Volume, BlockHint, (ULONG)(wcslen(Text) * sizeof(WCHAR)), Text);
}

// The payload ends inside the chunk's block.
static BOOLEAN ChunkFitsBlock(BLOCK_ADDRESS Address, ULONG PayloadLength) {
    return PayloadLength <= STORE_BLOCK_BYTES - DATA_CHUNK_HEADER_BYTES - BlockOffsetOf(Address);
}

static ULONG DataChunkInvalid(BLOCK_ADDRESS Address, ULONG PayloadLength) {
    LogPrint("FileBlockGetData() Invalid data length at %x len=%x.\n", Address, PayloadLength);
    return 0;
}

ULONG FileBlockGetData(VolumeContext* Volume, BLOCK_ADDRESS First, PVOID Destination, ULONG Capacity) {
    StoreLockScope lock;
    DataChunk* chunk = StoreRecord<DataChunk>(Volume, First, STORE_MAGIC_DATA);
    if (chunk == NULL) {
        return 0;
    }
    ULONG total = chunk->Remaining;
    if (Destination == NULL) {
        return total;
    }
    PUCHAR destination = static_cast<PUCHAR>(Destination);
    ULONG copied = 0;
    BLOCK_ADDRESS address = First;
    for (;;) {
        ULONG payload = chunk->PayloadLength;
        if (Capacity < payload || !ChunkFitsBlock(address, payload) || payload > total - copied) {
            return DataChunkInvalid(address, payload);
        }
        RtlCopyMemory(destination + copied, chunk->Payload, payload);
        copied += payload;
        Capacity -= payload;
        if (chunk->Next == 0) {
            break;
        }
        if (payload == 0) {
            return DataChunkInvalid(address, payload);  // an empty chunk never has a successor
        }
        address = chunk->Next;
        chunk = StoreRecord<DataChunk>(Volume, address, STORE_MAGIC_DATA);
        if (chunk == NULL) {
            return 0;
        }
    }
    if (copied != total) {
        return DataChunkInvalid(address, chunk->PayloadLength);
    }
    return total;
}

VOID FileBlockFreeData(VolumeContext* Volume, BLOCK_ADDRESS First) {
    StoreLockScope lock;
    BLOCK_ADDRESS address = First;
    while (address != 0) {
        DataChunk* chunk = StoreRecord<DataChunk>(Volume, address, STORE_MAGIC_DATA);
        if (chunk == NULL) {
            return;
        }
        BLOCK_ADDRESS next = chunk->Next;
        if (!ChunkFitsBlock(address, chunk->PayloadLength)) {
            return;
        }
        FileBlockFree(Volume, address, DATA_CHUNK_HEADER_BYTES + chunk->PayloadLength);
        address = next;
    }
}
