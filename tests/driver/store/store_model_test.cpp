// Randomised runs of the allocator and the name tables against simple
// reference models: every address, free count, hint, zero-filled free unit and
// lookup must agree with the model.
#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "store/file_state.h"
#include "store/hash_table.h"
#include "store_fixture.h"

namespace store_test {
namespace {

// The allocator as its rules are written: unit by unit, first fit from the
// block's hint, hint moved only when the run starts at it.
class AllocatorModel {
public:
    struct Block {
        std::vector<bool> Used = std::vector<bool>(STORE_BLOCK_UNITS, false);
        ULONG FreeUnits = STORE_FREE_UNITS_NEW;
        ULONG Hint = STORE_FIRST_UNIT;
    };

    AllocatorModel() {
        Blocks.emplace_back();
        // Header, two name tables, root, file-index table.
        for (ULONG unit = STORE_FIRST_UNIT; unit < STORE_FIRST_UNIT + 166; unit++) Blocks[0].Used[unit] = true;
        Blocks[0].FreeUnits -= 166;
        Blocks[0].Hint += 166;
    }

    BLOCK_ADDRESS Alloc(ULONG HintBlock, ULONG Size) {
        if (Size == 0 || Size > STORE_MAX_ALLOCATION || HintBlock >= Blocks.size()) return 0;
        ULONG units = StoreUnitsFor(Size);
        ULONG offset = InBlock(Blocks[HintBlock], units);
        if (offset != 0) return MakeBlockAddress(HintBlock, offset);
        for (ULONG index = 0; index < Blocks.size(); index++) {
            if (Blocks[index].FreeUnits < units) continue;
            offset = InBlock(Blocks[index], units);
            if (offset != 0) return MakeBlockAddress(index, offset);
        }
        Blocks.emplace_back();
        return MakeBlockAddress((ULONG)Blocks.size() - 1, InBlock(Blocks.back(), units));
    }

    void Free(BLOCK_ADDRESS Address, ULONG Size) {
        Block& block = Blocks[BlockIndexOf(Address)];
        ULONG first = BlockOffsetOf(Address) / 8;
        ULONG units = StoreUnitsFor(Size);
        for (ULONG unit = first; unit < first + units; unit++) block.Used[unit] = false;
        block.FreeUnits += units;
        block.Hint = std::min(block.Hint, first);
    }

    std::vector<Block> Blocks;

private:
    static ULONG InBlock(Block& B, ULONG Units) {
        if (B.FreeUnits < Units) return 0;
        ULONG run = 0;
        ULONG start = 0;
        for (ULONG unit = B.Hint; unit < STORE_BLOCK_UNITS; unit++) {
            if (B.Used[unit]) {
                run = 0;
                continue;
            }
            if (run++ == 0) start = unit;
            if (run == Units) {
                for (ULONG u = start; u <= unit; u++) B.Used[u] = true;
                B.FreeUnits -= Units;
                if (start == B.Hint) B.Hint = unit + 1;
                return start * 8;
            }
        }
        return 0;
    }
};

class StoreModelTest : public StoreTest {
protected:
    struct Live {
        BLOCK_ADDRESS Address;
        ULONG Size;
        UCHAR Pattern;
    };

    void CompareBlocks(const AllocatorModel& Model) {
        ASSERT_EQ(Header()->LastBlockIndex + 1, Model.Blocks.size());
        for (ULONG index = 0; index < Model.Blocks.size(); index++) {
            const AllocatorModel::Block& block = Model.Blocks[index];
            ASSERT_EQ(FreeUnits(index), block.FreeUnits) << "block " << index;
            ASSERT_EQ(Hint(index), block.Hint) << "block " << index;
            const UCHAR* memory = Descriptor(index).Block;
            for (ULONG unit = STORE_FIRST_UNIT; unit < STORE_BLOCK_UNITS; unit++) {
                ASSERT_EQ(UnitUsed(index, unit), block.Used[unit]) << "block " << index << " unit " << unit;
                if (block.Used[unit]) continue;
                for (ULONG byte = 0; byte < 8; byte++) {
                    ASSERT_EQ(memory[unit * 8 + byte], 0) << "free memory not zero: block " << index << " unit "
                                                          << unit;
                }
            }
        }
    }

    // Each live allocation is filled with its own pattern; an overlap of two
    // allocations would show as a changed byte.
    void CheckPattern(const Live& L) {
        const UCHAR* bytes = At<UCHAR>(L.Address);
        for (ULONG i = 0; i < L.Size; i++) ASSERT_EQ(bytes[i], L.Pattern) << "allocation " << L.Address;
    }
};

TEST_F(StoreModelTest, RandomAllocationsAndFreesMatchTheModel) {
    AllocatorModel model;
    std::mt19937 random(20240611);
    std::vector<Live> live;
    for (int step = 0; step < 6000; step++) {
        bool allocate = live.empty() || random() % 100 < 58;
        if (allocate) {
            ULONG size;
            ULONG kind = random() % 100;
            if (kind < 70) size = 1 + random() % 200;
            else if (kind < 95) size = 200 + random() % 8000;
            else if (kind < 99) size = 8000 + random() % 60000;
            else size = STORE_MAX_ALLOCATION - random() % 64;
            ULONG hint = random() % (Header()->LastBlockIndex + 2);  // sometimes one past the last
            BLOCK_ADDRESS expected = model.Alloc(hint, size);
            BLOCK_ADDRESS address = FileBlockAlloc(Volume(), hint, size);
            ASSERT_EQ(address, expected) << "step " << step << " size " << size << " hint " << hint;
            if (address == 0) continue;
            Live entry = {address, size, (UCHAR)(1 + random() % 255)};
            memset(At<UCHAR>(address), entry.Pattern, size);
            live.push_back(entry);
        } else {
            size_t pick = random() % live.size();
            Live entry = live[pick];
            live[pick] = live.back();
            live.pop_back();
            CheckPattern(entry);
            model.Free(entry.Address, entry.Size);
            FileBlockFree(Volume(), entry.Address, entry.Size);
            ULONG index = BlockIndexOf(entry.Address);
            ASSERT_EQ(FreeUnits(index), model.Blocks[index].FreeUnits) << "step " << step;
            ASSERT_EQ(Hint(index), model.Blocks[index].Hint) << "step " << step;
        }
        if (step % 1000 == 999) {
            CompareBlocks(model);
            for (const Live& entry : live) CheckPattern(entry);
        }
    }
    CompareBlocks(model);
}

// Names of a few lengths and first letters; case variants must find the same
// record.
std::u16string RandomName(std::mt19937& Random) {
    static const char16_t* const stems[] = {u"alpha", u"Beta", u"gamma.txt", u"Program Files", u"delta~1",
                                            u"epsilon-long-name.document", u"b", u"Zeta", u"zeta.dat",
                                            u"Microsoft Office"};
    std::u16string name = stems[Random() % 10];
    name += u'0' + (char16_t)(Random() % 10);
    if (Random() % 2) name += u"x";
    return name;
}

std::u16string Folded(std::u16string Text) {
    for (char16_t& c : Text) {
        if (c >= u'A' && c <= u'Z') c = c - u'A' + u'a';
    }
    return Text;
}

std::u16string WithRandomCase(std::u16string Text, std::mt19937& Random) {
    for (char16_t& c : Text) {
        if (Random() % 2 == 0) continue;
        if (c >= u'a' && c <= u'z') c = c - u'a' + u'A';
        else if (c >= u'A' && c <= u'Z') c = c - u'A' + u'a';
    }
    return Text;
}

TEST_F(StoreModelTest, RandomNameAddsAndRemovesMatchTheModel) {
    std::mt19937 random(77);
    // Two tables: name table 1 and a table in block 1; block 0 is full, so
    // the items of both spread over the blocks after it.
    BLOCK_ADDRESS tables[2] = {Header()->NameTable1, 0};
    FileBlockAlloc(Volume(), 0, FreeUnits(0) * 8 - 8);
    tables[1] = FileBlockHashInit(Volume(), 0, STORE_NAME_TABLE_BUCKETS);
    ASSERT_NE(tables[1], 0u);
    ASSERT_EQ(BlockIndexOf(tables[1]), 1u);
    ULONG baseline = TotalFreeUnits();

    std::map<std::u16string, BLOCK_ADDRESS> model[2];  // folded name -> record
    for (int step = 0; step < 5000; step++) {
        int which = random() % 2;
        std::u16string name = RandomName(random);
        std::u16string key = Folded(name);
        int action = random() % 3;
        if (action == 0) {
            BLOCK_ADDRESS record = FileStateAddEntry(Volume(), tables[which], W(name), nullptr, 0);
            ASSERT_NE(record, 0u);
            auto found = model[which].find(key);
            if (found != model[which].end()) {
                ASSERT_EQ(record, found->second) << "step " << step;
            } else {
                model[which][key] = record;
            }
        } else if (action == 1) {
            auto found = model[which].find(key);
            if (found == model[which].end()) {
                FileStateRemove(Volume(), tables[which], W(name));  // not there: no change
                continue;
            }
            FileStateRecord* state = At<FileStateRecord>(found->second, STORE_MAGIC_FILE_STATE);
            ASSERT_NE(state, nullptr);
            std::u16string stored = U16(state->LongName);
            ASSERT_EQ(Folded(stored), key);
            FileStateRemove(Volume(), tables[which], W(stored));
            model[which].erase(found);
        } else {
            BLOCK_ADDRESS record = FileStateLookup(Volume(), tables[which], W(WithRandomCase(name, random)));
            auto found = model[which].find(key);
            ASSERT_EQ(record, found == model[which].end() ? 0u : found->second) << "step " << step;
        }
    }
    for (int which = 0; which < 2; which++) {
        for (auto& [key, record] : model[which]) {
            ASSERT_EQ(FileStateLookup(Volume(), tables[which], W(key)), record);
            FileStateRemove(Volume(), tables[which], At<FileStateRecord>(record)->LongName);
        }
        EXPECT_TRUE(StoreHashTableEmpty(At<HashTableRecord>(tables[which], STORE_MAGIC_HASH)));
    }
    // Everything added was given back.
    EXPECT_EQ(TotalFreeUnits(), baseline);
}

}  // namespace
}  // namespace store_test
