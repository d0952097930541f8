// The sibling's sector store: the layout the driver checks, bounds, removal
// and the image kept with the machine.
#include <gtest/gtest.h>

#include <string.h>

#include "sibling/pleat/sector_store.h"

namespace {

using pleat::kSectorSize;
using pleat::SectorStore;

TEST(SectorStore, FormatWritesTheLayoutTheDriverChecks) {
    SectorStore store;
    EXPECT_FALSE(store.Present());
    store.Format();
    ASSERT_TRUE(store.Present());
    UCHAR sector[kSectorSize];
    ASSERT_EQ(STATUS_SUCCESS, store.Read(0, 1, sector));
    EXPECT_EQ(0, memcmp(sector + 3, "BRIMEL", 6));
    EXPECT_EQ(1, sector[9]);
    ASSERT_EQ(STATUS_SUCCESS, store.Read(21, 1, sector));
    EXPECT_GE(sector[0], 5);
    EXPECT_NE(0, sector[0xDB]);
    EXPECT_NE(0, sector[0xDD]);
    ULONG statusSector = sector[0xE0] | sector[0xE1] << 8 | sector[0xE2] << 16 | sector[0xE3] << 24;
    EXPECT_EQ(pleat::kDefaultStatusSector, statusSector);
    EXPECT_EQ(statusSector, store.StatusSector());
    ASSERT_EQ(STATUS_SUCCESS, store.Read(statusSector, 1, sector));
    EXPECT_EQ(pleat::kStatusCleanEnd, sector[0xCC]);
    EXPECT_EQ(pleat::kStatusCleanEnd, store.StatusCode());
}

TEST(SectorStore, TransfersWholeSectorsInsideTheStoreOnly) {
    SectorStore store;
    store.Format(30, 25);
    EXPECT_EQ(30u, store.SectorCount());
    std::vector<UCHAR> data(2 * kSectorSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i * 7);
    ASSERT_EQ(STATUS_SUCCESS, store.Write(28, 2, data.data()));
    std::vector<UCHAR> back(2 * kSectorSize);
    ASSERT_EQ(STATUS_SUCCESS, store.Read(28, 2, back.data()));
    EXPECT_EQ(data, back);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, store.Read(29, 2, back.data()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, store.Write(0xFFFFFFFF, 2, data.data()));  // no wrap-around
    EXPECT_EQ(STATUS_SUCCESS, store.Read(30, 0, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, store.Read(29, 1, back.data()));
}

TEST(SectorStore, HistoryKeepsTheCodeOfEveryStatusSectorWrite) {
    SectorStore store;
    store.Format(64, 40);
    std::vector<UCHAR> sectors(3 * kSectorSize, 0);
    ASSERT_EQ(STATUS_SUCCESS, store.Write(10, 1, sectors.data()));  // elsewhere: not seen
    sectors[kSectorSize + 0xCC] = 0x80;
    ASSERT_EQ(STATUS_SUCCESS, store.Write(39, 3, sectors.data()));  // covers the status sector
    ASSERT_EQ(STATUS_SUCCESS, store.Write(39, 3, sectors.data()));  // the same code again is a write too
    sectors[0xCC] = 0x90;
    ASSERT_EQ(STATUS_SUCCESS, store.Write(40, 1, sectors.data()));
    EXPECT_EQ((std::vector<UCHAR>{0x80, 0x80, 0x90}), store.StatusCodeHistory(true));
    EXPECT_TRUE(store.StatusCodeHistory().empty());
    ASSERT_EQ(STATUS_SUCCESS, store.Write(40, 1, sectors.data()));
    SectorStore copy;
    ASSERT_EQ("", copy.Restore(store.Image()));
    EXPECT_TRUE(copy.StatusCodeHistory().empty());  // a run's history, not the disk's
}

TEST(SectorStore, ARemovedStoreAnswersNoMedia) {
    SectorStore store;
    store.Format();
    store.Remove();
    UCHAR sector[kSectorSize];
    EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, store.Read(0, 1, sector));
    EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, store.Write(0, 1, sector));
    EXPECT_FALSE(store.StatusCode().has_value());
    EXPECT_FALSE(store.Poke(0, 3, 'X'));
}

TEST(SectorStore, DamageToTheHeaderHidesTheStatusSector) {
    SectorStore store;
    store.Format();
    ASSERT_TRUE(store.Poke(21, 0xE0, 0));  // status sector number 0 ...
    EXPECT_FALSE(store.StatusSector().has_value());
    ASSERT_TRUE(store.Poke(21, 0xE0, 200));  // ... or outside the store
    EXPECT_FALSE(store.StatusSector().has_value());
    EXPECT_FALSE(store.Poke(0, kSectorSize, 1));
    EXPECT_FALSE(store.Peek(store.SectorCount(), 0).has_value());
}

TEST(SectorStore, ImageRestoresTheSameBytes) {
    SectorStore store;
    store.Format();
    store.Poke(40, 0xCC, 0xC0);
    SectorStore copy;
    ASSERT_EQ("", copy.Restore(store.Image()));
    EXPECT_EQ(store.Image(), copy.Image());
    EXPECT_EQ(0xC0, copy.StatusCode());

    SectorStore removed;
    SectorStore removedCopy;
    removedCopy.Format();
    ASSERT_EQ("", removedCopy.Restore(removed.Image()));
    EXPECT_FALSE(removedCopy.Present());
}

TEST(SectorStore, DamagedOrForeignImagesAreRefusedAndChangeNothing) {
    SectorStore store;
    store.Format();
    std::vector<UCHAR> image = store.Image();
    SectorStore target;
    target.Format(40, 30);
    std::vector<UCHAR> before = target.Image();

    std::vector<UCHAR> flipped = image;
    flipped[100] ^= 1;
    EXPECT_NE(std::string::npos, target.Restore(flipped).find("checksum"));
    std::vector<UCHAR> truncated(image.begin(), image.end() - 9);
    EXPECT_NE("", target.Restore(truncated));
    std::vector<UCHAR> foreign = image;
    foreign[0] = 'X';
    EXPECT_EQ("not a sector store image", target.Restore(foreign));
    EXPECT_NE("", target.Restore({}));
    std::vector<UCHAR> huge = image;
    huge[16] = 0xFF;  // an absurd sector count
    huge[17] = 0xFF;
    huge[18] = 0xFF;
    EXPECT_NE("", target.Restore(huge));
    EXPECT_EQ(before, target.Image());
}

}  // namespace
