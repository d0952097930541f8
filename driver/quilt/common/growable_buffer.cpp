#include "common/growable_buffer.h"

GrowableBuffer::GrowableBuffer(ULONG InitialCapacity, ULONG Tag)
    : m_Data(NULL), m_Capacity(0), m_Used(0), m_Tag(Tag) {
    if (InitialCapacity == 0) {
        return;
    }
    m_Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, InitialCapacity, m_Tag));
    if (m_Data != NULL) {
        m_Capacity = InitialCapacity;
    }
}

BOOLEAN GrowableBuffer::Reserve(ULONG Size) {
    if (Size <= m_Capacity) {
        return TRUE;
    }
    PUCHAR grown = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Size, m_Tag));
    if (grown == NULL) {
        return FALSE;
    }
    RtlZeroMemory(grown, Size);
    if (m_Data != NULL) {
        RtlCopyMemory(grown, m_Data, m_Used);
        ExFreePoolWithTag(m_Data, m_Tag);
    }
    m_Data = grown;
    m_Capacity = Size;
    return TRUE;
}

BOOLEAN GrowableBuffer::Append(const VOID* Source, ULONG Length) {
    ULONG needed = m_Used + Length;
    if (needed < m_Used) {
        return FALSE;  // the length would wrap around 4 GiB
    }
    if (!Reserve(needed)) {
        return FALSE;
    }
    if (Source != NULL && Length != 0) {
        RtlCopyMemory(m_Data + m_Used, Source, Length);
    }
    m_Used = needed;
    return TRUE;
}

VOID GrowableBuffer::Free() {
    if (m_Data != NULL) {
        ExFreePoolWithTag(m_Data, m_Tag);
    }
    m_Data = NULL;
    m_Capacity = 0;
    m_Used = 0;
}
