#include "store/store_lock.h"

BOOLEAN StoreLockOwned() {
    return ExIsResourceAcquiredExclusiveLite(&g_Quilt.StoreLock);
}

StoreConditionalLock::StoreConditionalLock() : m_Acquired(FALSE) {
    if (StoreLockOwned()) {
        return;
    }
    AcquireExclusive(&g_Quilt.StoreLock);
    m_Acquired = TRUE;
}

StoreConditionalLock::~StoreConditionalLock() {
    if (m_Acquired) {
        ReleaseExclusive(&g_Quilt.StoreLock);
    }
}

// The depth is counted by releasing one level at a time until the thread no
// longer owns the resource: the NT API offers no documented recursion count
// for an exclusive owner, and a partial release would keep other threads out
// of the store for the whole lower call.
StoreUnlockScope::StoreUnlockScope() : m_Depth(0) {
    while (StoreLockOwned()) {
        ReleaseExclusive(&g_Quilt.StoreLock);
        m_Depth++;
    }
}

StoreUnlockScope::~StoreUnlockScope() {
    for (ULONG level = 0; level < m_Depth; level++) {
        AcquireExclusive(&g_Quilt.StoreLock);
    }
}
