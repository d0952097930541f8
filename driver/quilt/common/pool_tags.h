// Pool tags of the driver. A tag is written as the four characters that appear
// in memory (and in pool dumps), so QUILT_TAG('Q','u','I','D') reads "QuID".
#pragma once

#include <ntifs.h>

#define QUILT_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#define QUILT_TAG_DEFAULT       QUILT_TAG('Q', 'u', 'n', 'w')  // growable buffers, open-name records
#define QUILT_TAG_PATH_BUFFER   QUILT_TAG('Q', 'u', 'I', 'D')  // path buffers (lookaside)
#define QUILT_TAG_NAME_NODE     QUILT_TAG('Q', 'u', 'H', 'A')  // NameTable nodes (lookaside)
#define QUILT_TAG_STRING_TABLE  QUILT_TAG('Q', 'u', 'I', 'C')  // string table buckets
#define QUILT_TAG_OPEN_TABLE    QUILT_TAG('Q', 'u', 'I', 'A')  // open-file table buckets
#define QUILT_TAG_FILE_STATUS   QUILT_TAG('Q', 'u', 'I', 'E')  // FileObjectStatus (lookaside)
#define QUILT_TAG_COPY_BUFFER   QUILT_TAG('Q', 'u', 'I', 'F')  // copy buffers (lookaside)
