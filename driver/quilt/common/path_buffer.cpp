#include "common/path_buffer.h"

#include "common/pool_tags.h"

static NPAGED_LOOKASIDE_LIST g_PathBufferList;

VOID PathBufferListInitialize() {
    ExInitializeNPagedLookasideList(&g_PathBufferList, NULL, NULL, 0, PATH_BUFFER_BYTES,
                                    QUILT_TAG_PATH_BUFFER, 0);
}

VOID PathBufferListDelete() {
    ExDeleteNPagedLookasideList(&g_PathBufferList);
}

PWSTR PathBuffer::Allocate() {
    Free();
    m_Buffer = static_cast<PWSTR>(ExAllocateFromNPagedLookasideList(&g_PathBufferList));
    if (m_Buffer != NULL) {
        m_Buffer[0] = L'\0';
    }
    return m_Buffer;
}

VOID PathBuffer::Free() {
    if (m_Buffer == NULL) {
        return;
    }
    ExFreeToNPagedLookasideList(&g_PathBufferList, m_Buffer);
    m_Buffer = NULL;
}
