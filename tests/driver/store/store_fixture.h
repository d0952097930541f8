// A kernel with one volume context holding an empty change store, and helpers
// that read the store's blocks the way a dump tool would.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "frame/device_context.h"
#include "store/block_pool.h"
#include "store/store_records.h"
#include "support/kernel_fixture.h"

namespace store_test {

// UTF-16 text for the driver's wide-string arguments (WCHAR is 16-bit).
inline PCWSTR W(const std::u16string& Text) { return reinterpret_cast<PCWSTR>(Text.c_str()); }
std::u16string U16(PCWSTR Text);

// Initialises and deletes the global locks the store uses (the store lock and
// the 16 table locks) and the path-buffer list, as driver entry would.
class StoreGlobals {
public:
    StoreGlobals();
    ~StoreGlobals();
};

class StoreTest : public quilt_test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    VolumeContext* Volume() { return &m_Volume; }
    StoreHeader* Header() { return m_Volume.Store; }
    FileBlockDescriptor& Descriptor(ULONG Index) { return m_Volume.BlockDescriptors[Index]; }
    ULONG FreeUnits(ULONG Index) { return Descriptor(Index).FreeUnits; }
    ULONG Hint(ULONG Index) { return *reinterpret_cast<ULONG*>(Descriptor(Index).Block); }
    bool UnitUsed(ULONG Index, ULONG Unit);
    // Units in use in a block, counted from its bitmap.
    ULONG UsedUnits(ULONG Index);
    // Free units of every block together.
    ULONG TotalFreeUnits();

    template <class Record>
    Record* At(BLOCK_ADDRESS Address, ULONG Magic = 0) {
        return static_cast<Record*>(FileBlockGetPtr(&m_Volume, Address, Magic));
    }

    // Turns the volume into one that tracks file indices (NTFS) and gives it
    // a lower device (never called by the operations these tests use).
    void MakeNtfs(bool Ntfs);

private:
    StoreGlobals* m_Globals = nullptr;
    DeviceContext m_Volume{};
    DEVICE_OBJECT m_Lower{};
};

}  // namespace store_test
