// What reaches the image: flushes, mounting a flushed image, damaged images.
#include "engine_fixture.h"

#include "fs/engine/record_codec.h"

namespace plat::fs::test {
namespace {

class VolumeImageTest : public EngineTest {
protected:
    // Replaces the mounted volume by one mounted from `image`.
    NTSTATUS Remount(const VolumeImage& image, std::string* reason = nullptr) {
        CloseAll();
        std::unique_ptr<Volume> mounted;
        std::string why;
        NTSTATUS status = Volume::Mount(image, [this] { return now; }, &mounted, &why);
        if (reason) *reason = why;
        if (NT_SUCCESS(status)) volume = std::move(mounted);
        return status;
    }

    void Populate() {
        MakeDir("\\Documents and Settings");
        MakeFile("\\Documents and Settings\\notes.txt", "remember");
        OpenFile* f = MustOpen("\\Documents and Settings\\notes.txt", kOpen);
        ChangeEvents e;
        volume->HardLink(f, nullptr, N("link.txt"), false, &e);
        std::vector<ExtendedAttribute> eas{{"KEY", 0, {1, 2}}};
        volume->SetEas(f, eas, &e);
        volume->SetSecurity(f, std::vector<uint8_t>{1, 0, 4, 0x80}, &e);
        ObjectIdRecord id;
        volume->CreateOrGetObjectId(f, &id);
        FileTimes t;
        t.Creation = 42;
        volume->SetBasic(f, t, kAttrHidden, &e);
        Close(f);
        Close(MustOpen("\\Documents and Settings\\notes.txt:side", kCreate));
    }
};

TEST_F(VolumeImageTest, AFlushedVolumeMountsIdentical) {
    Populate();
    VolumeImage image;
    volume->Flush(&image);
    EXPECT_FALSE(volume->HasUnflushedChanges());
    ASSERT_EQ(Remount(image), STATUS_SUCCESS);
    EXPECT_EQ(volume->CheckConsistency(), "");
    EXPECT_EQ(ReadFile("\\DOCUME~1\\notes.txt"), "remember") << "short names survive";
    OpenFile* f = MustOpen("\\Documents and Settings\\link.txt", kOpen);
    FileSnapshot s = Info(f);
    EXPECT_EQ(s.NumberOfLinks, 2u);
    EXPECT_EQ(s.Times.Creation, 42);
    EXPECT_EQ(s.Attributes, kAttrHidden);
    ObjectIdRecord id;
    EXPECT_EQ(volume->GetObjectId(f, &id), STATUS_SUCCESS);
    std::vector<ExtendedAttribute> eas;
    volume->GetEas(f, &eas);
    ASSERT_EQ(eas.size(), 1u);
    EXPECT_EQ(volume->Streams(f).size(), 2u);
    Close(f);
    // The remounted volume holds the very same records, and a flush
    // without changes leaves the image as it is.
    EXPECT_EQ(volume->FullImage(), image);
    VolumeImage again = image;
    volume->Flush(&again);
    EXPECT_EQ(again, image);
}

TEST_F(VolumeImageTest, ACrashKeepsOnlyWhatWasFlushed) {
    MakeFile("\\flushed", "1");
    VolumeImage image;
    volume->Flush(&image);
    MakeFile("\\lost", "2");
    OpenFile* f = MustOpen("\\flushed", kOpen);
    Write(f, 0, "changed");
    Close(f, true);
    EXPECT_TRUE(volume->HasUnflushedChanges());
    ASSERT_EQ(Remount(image), STATUS_SUCCESS);  // the crash: the image as last flushed
    EXPECT_EQ(ReadFile("\\flushed"), "1");
    EXPECT_FALSE(Exists("\\lost"));
}

TEST_F(VolumeImageTest, FileIdsKeepGrowingAcrossMounts) {
    MakeFile("\\a");
    OpenFile* a = MustOpen("\\a", kOpen);
    FileId first = Info(a).Id;
    volume->SetDisposition(a, true);
    Close(a);
    VolumeImage image;
    volume->Flush(&image);
    ASSERT_EQ(Remount(image), STATUS_SUCCESS);
    MakeFile("\\b");
    OpenFile* b = MustOpen("\\b", kOpen);
    EXPECT_GT(Info(b).Id, first);
}

TEST_F(VolumeImageTest, DeletionsReachTheImageAtTheNextFlush) {
    MakeFile("\\gone", "x");
    VolumeImage image;
    volume->Flush(&image);
    size_t records = image.Records.size();
    OpenFile* f = MustOpen("\\gone", kOpen);
    volume->SetDisposition(f, true);
    Close(f);
    volume->Flush(&image);
    EXPECT_EQ(image.Records.size(), records - 1);
    ASSERT_EQ(Remount(image), STATUS_SUCCESS);
    EXPECT_FALSE(Exists("\\gone"));
}

TEST_F(VolumeImageTest, DamagedImagesAreRefusedWithAReason) {
    Populate();
    VolumeImage good;
    volume->Flush(&good);
    std::string reason;

    VolumeImage foreign = good;
    foreign.Header = {'N', 'T', 'F', 'S', 0, 0};
    EXPECT_EQ(Remount(foreign, &reason), STATUS_UNRECOGNIZED_VOLUME);

    VolumeImage version = good;
    version.Header[4] = 99;
    EXPECT_EQ(Remount(version, &reason), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_NE(reason.find("version"), std::string::npos);

    VolumeImage truncated = good;
    auto& rec = truncated.Records.rbegin()->second;
    rec.resize(rec.size() - 3);
    EXPECT_EQ(Remount(truncated, &reason), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_NE(reason.find("truncated"), std::string::npos);

    VolumeImage noRoot = good;
    noRoot.Records.erase(kRootId);
    EXPECT_EQ(Remount(noRoot, &reason), STATUS_DISK_CORRUPT_ERROR);

    // A record claiming a directory that does not exist.
    VolumeImage orphan = good;
    Node node;
    ASSERT_TRUE(DecodeNode(orphan.Records.rbegin()->second, &node, &reason));
    node.Links[0].Parent = 999999;
    orphan.Records.rbegin()->second = EncodeNode(node);
    EXPECT_EQ(Remount(orphan, &reason), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_NE(reason.find("missing directory"), std::string::npos);

    // Two directories that contain each other.
    VolumeImage cycle = good;
    Node a, b;
    a.Id = 1000; a.IsDirectory = true; a.Links.push_back(Link{0, 1001, u"a", u"", 0});
    b.Id = 1001; b.IsDirectory = true; b.Links.push_back(Link{0, 1000, u"b", u"", 0});
    cycle.Records[1000] = EncodeNode(a);
    cycle.Records[1001] = EncodeNode(b);
    EXPECT_EQ(Remount(cycle, &reason), STATUS_DISK_CORRUPT_ERROR);

    // Every single-byte corruption of a record is either refused or mounts
    // into a consistent volume; none crashes.
    const auto& victim = *std::next(good.Records.begin(), good.Records.size() / 2);
    for (size_t i = 0; i < victim.second.size(); ++i) {
        VolumeImage damaged = good;
        damaged.Records[victim.first][i] ^= 0xFF;
        if (Remount(damaged) == STATUS_SUCCESS) {
            EXPECT_EQ(volume->CheckConsistency(), "") << i;
        }
    }
    EXPECT_EQ(Remount(good), STATUS_SUCCESS);
}

TEST_F(VolumeImageTest, FatImagesCannotCarryNtfsFeatures) {
    Format(FsKind::Fat);
    MakeFile("\\f");
    VolumeImage image;
    volume->Flush(&image);
    Node node;
    std::string reason;
    auto& bytes = image.Records.rbegin()->second;
    ASSERT_TRUE(DecodeNode(bytes, &node, &reason));
    node.Eas.push_back(ExtendedAttribute{"X", 0, {1}});
    bytes = EncodeNode(node);
    EXPECT_EQ(Remount(image, &reason), STATUS_DISK_CORRUPT_ERROR);
    EXPECT_NE(reason.find("NTFS features"), std::string::npos);
}

}  // namespace
}  // namespace plat::fs::test
