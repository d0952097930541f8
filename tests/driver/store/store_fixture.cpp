#include "store_fixture.h"

#include "common/path_buffer.h"
#include "frame/driver_globals.h"

namespace store_test {

std::u16string U16(PCWSTR Text) {
    return Text != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(Text)) : std::u16string();
}

StoreGlobals::StoreGlobals() {
    ExInitializeResourceLite(&g_Quilt.StoreLock);
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExInitializeResourceLite(&lock);
    PathBufferListInitialize();
}

StoreGlobals::~StoreGlobals() {
    PathBufferListDelete();
    for (ERESOURCE& lock : g_Quilt.TableLocks) ExDeleteResourceLite(&lock);
    ExDeleteResourceLite(&g_Quilt.StoreLock);
}

void StoreTest::SetUp() {
    KernelTest::SetUp();
    m_Globals = new StoreGlobals();
    m_Volume.DriveIndex = 2;
    m_Volume.Ntfs = 0;
    m_Volume.LowerDevice = &m_Lower;
    ASSERT_TRUE(FileBlockInit(&m_Volume));
}

void StoreTest::TearDown() {
    FileBlockTearDown(&m_Volume);
    delete m_Globals;
    m_Globals = nullptr;
    KernelTest::TearDown();
}

bool StoreTest::UnitUsed(ULONG Index, ULONG Unit) {
    const UCHAR* bitmap = Descriptor(Index).Block;
    return (bitmap[Unit / 8] >> (Unit % 8)) & 1;
}

ULONG StoreTest::UsedUnits(ULONG Index) {
    ULONG used = 0;
    for (ULONG unit = STORE_FIRST_UNIT; unit < STORE_BLOCK_UNITS; unit++) used += UnitUsed(Index, unit);
    return used;
}

ULONG StoreTest::TotalFreeUnits() {
    ULONG total = 0;
    for (ULONG index = 0; index <= Header()->LastBlockIndex; index++) total += FreeUnits(index);
    return total;
}

void StoreTest::MakeNtfs(bool Ntfs) {
    m_Volume.Ntfs = Ntfs ? 1 : 0;
}

}  // namespace store_test
