// The locks of the change store.
//
// Store lock (g_Quilt.StoreLock): one executive resource over the stores of
// all volumes, always taken exclusively inside a critical region, recursively
// by its owner. Every store operation that reads or changes records holds it,
// except FileBlockGetPtr and FileBlockHashGetOrg, whose callers hold it. Record
// pointers are valid only while it is held.
//
// Unlock scope: around every call down to the real file system the store lock
// is released completely (all recursion levels of the calling thread) and
// re-acquired to the same depth afterwards. Anything resolved from block
// addresses before the scope must be resolved again after it; the walker count
// of a hash table keeps that table alive meanwhile.
//
// Table locks (g_Quilt.TableLocks[16]): the lock of a hash table is number
// (block index of the table) mod 16. Always taken after the store lock, never
// held across an unlock scope.
#pragma once

#include <ntifs.h>

#include "frame/driver_globals.h"
#include "store/store_records.h"

// Holds the store lock for its lifetime (recursively when already owned).
class StoreLockScope : public ExclusiveScope {
public:
    StoreLockScope() : ExclusiveScope(&g_Quilt.StoreLock) {}
};

// Takes the store lock only if the calling thread does not own it already, and
// releases it at the end only if it took it (the path walks).
class StoreConditionalLock {
public:
    StoreConditionalLock();
    ~StoreConditionalLock();

    StoreConditionalLock(const StoreConditionalLock&) = delete;
    StoreConditionalLock& operator=(const StoreConditionalLock&) = delete;

private:
    BOOLEAN m_Acquired;
};

// Releases every level of the store lock the calling thread holds, and takes
// them all again when it ends. Does nothing for a thread that holds none.
class StoreUnlockScope {
public:
    StoreUnlockScope();
    ~StoreUnlockScope();

    StoreUnlockScope(const StoreUnlockScope&) = delete;
    StoreUnlockScope& operator=(const StoreUnlockScope&) = delete;

private:
    ULONG m_Depth;
};

// Holds the lock of one hash table.
class TableLockScope : public ExclusiveScope {
public:
    explicit TableLockScope(BLOCK_ADDRESS Table) : ExclusiveScope(TableLockOf(Table)) {}

    static PERESOURCE TableLockOf(BLOCK_ADDRESS Table) {
        return &g_Quilt.TableLocks[BlockIndexOf(Table) % QUILT_TABLE_LOCKS];
    }
};

// TRUE when the calling thread owns the store lock.
BOOLEAN StoreLockOwned();
