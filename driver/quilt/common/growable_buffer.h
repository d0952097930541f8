// A byte buffer that grows on demand: {data, capacity, used}. Growth allocates
// exactly the size asked for, zero-filled, and keeps the bytes already used.
#pragma once

#include <ntifs.h>

#include "common/pool_tags.h"

class GrowableBuffer {
public:
    // Allocates InitialCapacity bytes (not zeroed) when it is non-zero; on
    // failure the capacity stays 0 and later appends try again.
    explicit GrowableBuffer(ULONG InitialCapacity = 0, ULONG Tag = QUILT_TAG_DEFAULT);
    ~GrowableBuffer() { Free(); }

    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;

    // Ensures a capacity of at least Size bytes. FALSE when memory cannot be had;
    // the buffer is then unchanged.
    BOOLEAN Reserve(ULONG Size);

    // Grows the used length by Length bytes, copying them from Source when it is
    // given (otherwise the new bytes are left as they are: zero when just grown).
    BOOLEAN Append(const VOID* Source, ULONG Length);

    VOID Free();

    PUCHAR Data() const { return m_Data; }
    ULONG Capacity() const { return m_Capacity; }
    ULONG Used() const { return m_Used; }
    VOID SetUsed(ULONG Used) { m_Used = Used <= m_Capacity ? Used : m_Capacity; }

private:
    PUCHAR m_Data;
    ULONG m_Capacity;
    ULONG m_Used;
    ULONG m_Tag;
};
