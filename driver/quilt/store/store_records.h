// The byte layouts of the change store.
//
// A volume's change store is an arena of 128 KiB blocks of non-paged memory.
// Records never point at one another: they hold 32-bit block addresses
// (block index << 17 | byte offset), so that a block can be written out as it
// stands (internalinfo.dat) and read by a tool. Every layout here is therefore
// identical in the 32-bit Windows build and the 64-bit host build: no pointers,
// 4-byte packing (hash-item payloads start 4 bytes into an 8-byte unit, so a
// 64-bit field of a record is only 4-byte aligned), sizes checked below.
#pragma once

#include <ntifs.h>

// ---- Block geometry -------------------------------------------------------------

typedef ULONG BLOCK_ADDRESS;  // 0 = no record

#define STORE_BLOCK_SHIFT        17
#define STORE_BLOCK_BYTES        0x20000u   // 128 KiB
#define STORE_OFFSET_MASK        (STORE_BLOCK_BYTES - 1)
#define STORE_MAX_BLOCKS         0x8000u    // indices 0 ... 0x7FFF
#define STORE_LAST_BLOCK_INDEX   (STORE_MAX_BLOCKS - 1)
#define STORE_UNIT_BYTES         8u
#define STORE_BLOCK_UNITS        (STORE_BLOCK_BYTES / STORE_UNIT_BYTES)   // 0x4000
#define STORE_BITMAP_BYTES       (STORE_BLOCK_UNITS / 8)                  // 0x800
#define STORE_FIRST_UNIT         (STORE_BITMAP_BYTES / STORE_UNIT_BYTES)  // 256: units below cover the bitmap
#define STORE_FREE_UNITS_NEW     (STORE_BLOCK_UNITS - STORE_FIRST_UNIT)   // 0x3F00
#define STORE_MAX_ALLOCATION     (STORE_FREE_UNITS_NEW * STORE_UNIT_BYTES) // 0x1F800
#define STORE_HEADER_ADDRESS     STORE_BITMAP_BYTES                       // first allocation of block 0

// Returned by the hash-table operations for a table that does not resolve.
#define STORE_INVALID_TABLE      ((BLOCK_ADDRESS)-1)

inline ULONG BlockIndexOf(BLOCK_ADDRESS Address) { return Address >> STORE_BLOCK_SHIFT; }
inline ULONG BlockOffsetOf(BLOCK_ADDRESS Address) { return Address & STORE_OFFSET_MASK; }
inline BLOCK_ADDRESS MakeBlockAddress(ULONG Index, ULONG Offset) {
    return (Index << STORE_BLOCK_SHIFT) | Offset;
}
inline ULONG StoreUnitsFor(ULONG Size) { return (Size + STORE_UNIT_BYTES - 1) / STORE_UNIT_BYTES; }

// ---- Record magics: four letters, read in order from memory ---------------------

#define STORE_MAGIC(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#define STORE_MAGIC_HEADER     STORE_MAGIC('H', 'e', 'a', 'd')
#define STORE_MAGIC_HASH       STORE_MAGIC('H', 'a', 's', 'h')
#define STORE_MAGIC_FILE_STATE STORE_MAGIC('F', 'l', 'S', 't')
#define STORE_MAGIC_FILE_ENTRY STORE_MAGIC('F', 'l', 'E', 'n')
#define STORE_MAGIC_ATTRIBUTES STORE_MAGIC('F', 'l', 'A', 'b')
#define STORE_MAGIC_DATA       STORE_MAGIC('D', 'a', 't', 'a')
#define STORE_MAGIC_SECURITY   STORE_MAGIC('S', 'c', 'r', 't')
#define STORE_MAGIC_VOLUME     STORE_MAGIC('V', 'o', 'l', 'm')

// ---- Table geometry ---------------------------------------------------------------

#define STORE_NAME_TABLE_BUCKETS  26   // name tables and every directory's child table
#define STORE_INDEX_TABLE_BUCKETS 241  // the file-index table

// FileStateGetTable types.
#define STORE_TABLE_VOLUME_PATHS   1   // name table 1: the volume as the system presents it
#define STORE_TABLE_PHYSICAL_PATHS 2   // name table 2: paths opened below, leading to table-1 records

// ---- File-state flags -------------------------------------------------------------

#define FILE_STATE_HIDDEN            0x0001  // the original under this name is not shown
#define FILE_STATE_PRESENT           0x0002  // the name exists, served from the work folder or stored path
#define FILE_STATE_CREATED           0x0004  // the name has a work copy and file entry of its own
#define FILE_STATE_DIRECTORY         0x0008  // has (or had) a child name table
#define FILE_STATE_HAS_ATTRIBUTES    0x0010  // the attribute record is valid
#define FILE_STATE_OBJECT_ID_DELETED 0x0020
#define FILE_STATE_ALTERNATE_PATH    0x0040  // the alternate path (field at 16) is valid
#define FILE_STATE_HAS_SECURITY      0x0080  // the security record is valid
#define FILE_STATE_JUNCTION          0x0100  // a reparse point of the protected volume

#define FILE_STATE_SHORT_NAME_CHARS  12

// FileAttributeRecord::ValidMask
#define FILE_ATTRIBUTES_BASIC_VALID    0x1
#define FILE_ATTRIBUTES_STANDARD_VALID 0x2

#pragma pack(push, 4)

// "Head": always the first allocation of block 0, at address 0x800.
struct StoreHeader {
    ULONG Magic;
    ULONG LastBlockIndex;     // highest block that exists
    BLOCK_ADDRESS NameTable1;
    BLOCK_ADDRESS NameTable2;
    BLOCK_ADDRESS FileIndexTable;
    UCHAR VolumeRecordPresent;
    UCHAR Reserved[3];
    BLOCK_ADDRESS VolumeRecord;
    volatile LONG WorkFileCounter;  // interlocked only
    BLOCK_ADDRESS RootState;
};

// "Hash": a chained table that never grows. Items live in the table's block.
struct HashTableRecord {
    ULONG Magic;
    volatile LONG WalkerCount;  // path walks inside this table (interlocked); never freed while non-zero
    ULONG BucketCount;
    BLOCK_ADDRESS Buckets[1];   // BucketCount heads
};

#define HASH_TABLE_BYTES(Count) ((ULONG)FIELD_OFFSET(HashTableRecord, Buckets) + 4u * (ULONG)(Count))

// An item of a chain: the link, then the caller's payload. Callers always get
// the payload address (item + 4).
struct HashItem {
    BLOCK_ADDRESS Next;
    UCHAR Payload[4];
};

#define HASH_ITEM_HEADER_BYTES ((ULONG)FIELD_OFFSET(HashItem, Payload))

// "FlSt": what the store knows about one name. The payload of an item in a
// name table or child table; the root record of the header has the same layout
// with empty names.
struct FileStateRecord {
    ULONG Magic;
    BLOCK_ADDRESS FileEntry;        // "FlEn" shared by all links of the file
    ULONGLONG FileIndex;            // 0 if unknown
    union {
        BLOCK_ADDRESS AlternatePath;  // name table 1: Data chain, copy-on-write source (FILE_STATE_ALTERNATE_PATH)
        BLOCK_ADDRESS LinkedState;    // name table 2: the name-table-1 record this physical path leads to
    };
    BLOCK_ADDRESS ContentPath;      // Data chain: where the current content lives
    BLOCK_ADDRESS Attributes;       // "FlAb" (FILE_STATE_HAS_ATTRIBUTES)
    BLOCK_ADDRESS Security;         // "Scrt" (FILE_STATE_HAS_SECURITY)
    BLOCK_ADDRESS ChildTable;       // 26-bucket table (FILE_STATE_DIRECTORY)
    BLOCK_ADDRESS Parent;           // 0 directly below the volume root
    USHORT Flags;                   // FILE_STATE_*
    WCHAR ShortName[FILE_STATE_SHORT_NAME_CHARS];  // not terminated at 12 characters...
    WCHAR ShortNameEnd;             // ...this is its terminator then
    WCHAR LongName[2];              // NUL-terminated, record sized for it
};

// Allocated size of a file-state record for a long name of Characters characters.
inline ULONG FileStateRecordBytes(ULONG Characters) {
    return (ULONG)FIELD_OFFSET(FileStateRecord, LongName) + 4u + 2u * Characters;
}

// "FlAb": attribute overrides of a file state, in the block of its record.
struct FileAttributeRecord {
    ULONG Magic;
    ULONG ValidMask;                      // FILE_ATTRIBUTES_*_VALID
    FILE_BASIC_INFORMATION Basic;         // 40 bytes
    FILE_STANDARD_INFORMATION Standard;   // 24 bytes
};

// "FlEn": what all hard links of one file share.
struct FileEntryRecord {
    ULONG Magic;
    BLOCK_ADDRESS State;            // the file state that created it; cleared when that one is deleted
    ULONGLONG FileIndex;            // on the protected volume, 0 when not tracked
    ULONGLONG CopyFileIndex;        // of the redirected copy in the work folder
    ULONG LinkCount;                // names that still refer to the file
    ULONG Reserved;
};

// The payload of an item of the file-index table.
struct FileIndexPointer {
    ULONGLONG FileIndex;            // the key
    BLOCK_ADDRESS Entry;            // "FlEn"
    ULONG Reserved;
};

// "Data": one chunk of a stored byte string.
struct DataChunk {
    ULONG Magic;
    BLOCK_ADDRESS Next;             // 0 in the last chunk
    ULONG Remaining;                // bytes still to store when this chunk was written
    ULONG PayloadLength;
    UCHAR Payload[4];
};

#define DATA_CHUNK_HEADER_BYTES ((ULONG)FIELD_OFFSET(DataChunk, Payload))
#define DATA_CHUNK_MAX_PAYLOAD  (STORE_MAX_ALLOCATION - DATA_CHUNK_HEADER_BYTES)  // 129,008

// "Scrt": a stored self-relative security descriptor, zero-padded to Capacity.
struct SecurityRecord {
    ULONG Magic;
    ULONG Capacity;
    UCHAR Descriptor[4];
};

#define SECURITY_RECORD_HEADER_BYTES ((ULONG)FIELD_OFFSET(SecurityRecord, Descriptor))

// "Volm": volume information set through a protected volume, in block 0. The
// three parts hold FILE_FS_VOLUME_INFORMATION, FILE_FS_LABEL_INFORMATION and
// FILE_FS_ATTRIBUTE_INFORMATION as the set requests supplied them.
struct VolumeRecord {
    ULONG Magic;
    ULONG StoredClasses;            // bit n: FS_INFORMATION_CLASS n stored
    UCHAR VolumeInformation[88];
    UCHAR LabelInformation[200];
    UCHAR AttributeInformation[80];
};

#pragma pack(pop)

// The layouts are the file format of internalinfo.dat: the same in every build.
static_assert(sizeof(StoreHeader) == 36, "Head record");
static_assert(FIELD_OFFSET(StoreHeader, VolumeRecord) == 24, "Head record");
static_assert(FIELD_OFFSET(StoreHeader, RootState) == 32, "Head record");
static_assert(HASH_TABLE_BYTES(STORE_NAME_TABLE_BUCKETS) == 116, "Hash record");
static_assert(HASH_TABLE_BYTES(STORE_INDEX_TABLE_BUCKETS) == 976, "Hash record");
static_assert(HASH_ITEM_HEADER_BYTES == 4, "hash item");
static_assert(sizeof(FileStateRecord) == 72, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, FileIndex) == 8, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, AlternatePath) == 16, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, Parent) == 36, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, Flags) == 40, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, ShortName) == 42, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, ShortNameEnd) == 66, "FlSt record");
static_assert(FIELD_OFFSET(FileStateRecord, LongName) == 68, "FlSt record");
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "FlAb basic part");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FlAb standard part");
static_assert(sizeof(FileAttributeRecord) == 72, "FlAb record");
static_assert(FIELD_OFFSET(FileAttributeRecord, Standard) == 48, "FlAb record");
static_assert(sizeof(FileEntryRecord) == 32, "FlEn record");
static_assert(FIELD_OFFSET(FileEntryRecord, LinkCount) == 24, "FlEn record");
static_assert(sizeof(FileIndexPointer) == 16, "file-index pointer item");
static_assert(DATA_CHUNK_HEADER_BYTES == 16, "Data chunk");
static_assert(DATA_CHUNK_MAX_PAYLOAD == 129008, "Data chunk");
static_assert(SECURITY_RECORD_HEADER_BYTES == 8, "Scrt record");
static_assert(sizeof(VolumeRecord) == 376, "Volm record");
static_assert(FIELD_OFFSET(VolumeRecord, LabelInformation) == 96, "Volm record");
static_assert(FIELD_OFFSET(VolumeRecord, AttributeInformation) == 296, "Volm record");
static_assert(STORE_MAX_ALLOCATION == 0x1F800, "block geometry");
static_assert(STORE_FREE_UNITS_NEW == 0x3F00, "block geometry");
