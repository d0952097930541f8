// Lists whose every change happens under the caller's spin lock.
#include <wdm.h>

namespace {

class SpinLockGuard {
public:
    explicit SpinLockGuard(PKSPIN_LOCK lock) : m_Lock(lock), m_OldIrql(KfAcquireSpinLock(lock)) {}
    ~SpinLockGuard() { KfReleaseSpinLock(m_Lock, m_OldIrql); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_OldIrql;
};

}  // namespace

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
    SpinLockGuard guard(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock) {
    SpinLockGuard guard(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last;
}

extern "C" PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    SpinLockGuard guard(Lock);
    return IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
}

extern "C" PSINGLE_LIST_ENTRY FASTCALL ExfInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                   PSINGLE_LIST_ENTRY ListEntry,
                                                                   PKSPIN_LOCK Lock) {
    SpinLockGuard guard(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    return first;
}

extern "C" PSINGLE_LIST_ENTRY FASTCALL ExfInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                  PKSPIN_LOCK Lock) {
    SpinLockGuard guard(Lock);
    return PopEntryList(ListHead);
}
