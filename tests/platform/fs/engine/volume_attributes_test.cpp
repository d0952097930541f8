// Streams, extended attributes, object IDs, reparse points, compression,
// times and byte-range locks of the engine.
#include "engine_fixture.h"

#include <string.h>

namespace plat::fs::test {
namespace {

using VolumeAttributes = EngineTest;

std::vector<uint8_t> MountPoint(const char16_t* substitute, const char16_t* print) {
    std::u16string s(substitute), p(print);
    uint16_t subBytes = static_cast<uint16_t>(s.size() * 2), printBytes = static_cast<uint16_t>(p.size() * 2);
    uint16_t dataLength = static_cast<uint16_t>(8 + subBytes + 2 + printBytes + 2);
    std::vector<uint8_t> b(8 + dataLength, 0);
    uint32_t tag = kReparseTagMountPoint;
    memcpy(&b[0], &tag, 4);
    memcpy(&b[4], &dataLength, 2);
    uint16_t fields[4] = {0, subBytes, static_cast<uint16_t>(subBytes + 2), printBytes};
    memcpy(&b[8], fields, 8);
    memcpy(&b[16], s.data(), subBytes);
    memcpy(&b[16 + subBytes + 2], p.data(), printBytes);
    return b;
}

TEST_F(VolumeAttributes, NamedStreamsAreSeparateData) {
    MakeFile("\\f", "main");
    OpenFile* s = MustOpen("\\f:Zone.Identifier", kCreate);
    Write(s, 0, "[ZoneTransfer]");
    Close(s, true);
    EXPECT_EQ(ReadFile("\\f"), "main");
    EXPECT_EQ(ReadFile("\\F:ZONE.IDENTIFIER:$DATA"), "[ZoneTransfer]");
    EXPECT_EQ(ReadFile("\\f::$DATA"), "main");
    EXPECT_EQ(OpenStatus("\\f:missing", kOpen), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenStatus("\\f:Zone.Identifier", kCreate), STATUS_OBJECT_NAME_COLLISION);

    OpenFile* f = MustOpen("\\f", kOpen);
    std::vector<StreamInfo> streams = volume->Streams(f);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].StreamName, N(""));
    EXPECT_EQ(streams[0].Size, 4u);
    EXPECT_EQ(streams[1].StreamName, N("Zone.Identifier"));
    EXPECT_EQ(streams[1].Size, 14u);
    Name path;
    OpenFile* named = MustOpen("\\f:zone.identifier", kOpen);
    volume->PathOf(named, &path);
    EXPECT_EQ(path, N("\\f:Zone.Identifier"));
    Close(named);
    Close(f);

    // Deleting a stream leaves the file; overwriting the file drops its streams.
    OpenFile* del = MustOpen("\\f:Zone.Identifier", kOpen, kOptDeleteOnClose);
    Close(del);
    EXPECT_EQ(OpenStatus("\\f:Zone.Identifier", kOpen), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ReadFile("\\f"), "main");
    Close(MustOpen("\\f:again", kCreate));
    Close(MustOpen("\\f", kOverwrite));
    EXPECT_EQ(OpenStatus("\\f:again", kOpen), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(VolumeAttributes, StreamOpensRelativeToAnOpenFile) {
    MakeFile("\\f", "main");
    OpenFile* f = MustOpen("\\f", kOpen);
    CreateRequest r;
    r.Related = f;
    r.Path = N(":side");
    r.Disposition = kCreate;
    r.DesiredAccess = kReadWrite;
    CreateResult side = volume->Create(r);
    ASSERT_EQ(side.Status, STATUS_SUCCESS);
    EXPECT_EQ(side.Open->Kind, OpenKind::Stream);
    volume->Cleanup(side.Open, false, side.Open, 1);
    volume->Close(side.Open);
}

TEST_F(VolumeAttributes, FatHasNoStreamsEasObjectIdsOrReparsePoints) {
    Format(FsKind::Fat);
    MakeFile("\\f", "x");
    EXPECT_EQ(OpenStatus("\\f:s", kCreate), STATUS_OBJECT_NAME_INVALID);
    OpenFile* f = MustOpen("\\f", kOpen);
    std::vector<ExtendedAttribute> eas{{"NAME", 0, {1}}};
    EXPECT_EQ(volume->SetEas(f, eas, nullptr), STATUS_EAS_NOT_SUPPORTED);
    ObjectIdRecord id;
    EXPECT_EQ(volume->CreateOrGetObjectId(f, &id), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(volume->SetReparsePoint(f, MountPoint(u"\\??\\D:\\t", u"D:\\t"), nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(volume->SetCompression(f, 1, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    std::vector<uint8_t> sd;
    EXPECT_EQ(volume->GetSecurity(f, &sd), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(volume->SetLabel(u"TWELVE CHARS"), STATUS_INVALID_VOLUME_LABEL);
    EXPECT_EQ(volume->SetLabel(u"eleven char"), STATUS_SUCCESS);
    EXPECT_EQ(volume->Info().Label, N("ELEVEN CHAR"));
}

TEST_F(VolumeAttributes, ExtendedAttributesReplaceAndRemoveByName) {
    MakeFile("\\f");
    OpenFile* f = MustOpen("\\f", kOpen);
    std::vector<ExtendedAttribute> set{{"Alpha", 0, {1, 2, 3}}, {"beta", 0x80, {4}}};
    ASSERT_EQ(volume->SetEas(f, set, nullptr), STATUS_SUCCESS);
    std::vector<ExtendedAttribute> change{{"ALPHA", 0, {9}}, {"BETA", 0, {}}};
    ASSERT_EQ(volume->SetEas(f, change, nullptr), STATUS_SUCCESS);
    std::vector<ExtendedAttribute> got;
    ASSERT_EQ(volume->GetEas(f, &got), STATUS_SUCCESS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Name, "ALPHA");
    EXPECT_EQ(got[0].Value, std::vector<uint8_t>{9});
    EXPECT_EQ(Info(f).EaSize, 16u);  // 8 + "ALPHA" + NUL + 1 byte, rounded to 4
    std::vector<ExtendedAttribute> bad{{"a*b", 0, {1}}};
    EXPECT_EQ(volume->SetEas(f, bad, nullptr), STATUS_INVALID_EA_NAME);
}

TEST_F(VolumeAttributes, ObjectIdsAreUniqueAndOpenTheirFile) {
    MakeFile("\\one");
    MakeFile("\\two");
    OpenFile* one = MustOpen("\\one", kOpen);
    OpenFile* two = MustOpen("\\two", kOpen);
    ObjectIdRecord got;
    EXPECT_EQ(volume->GetObjectId(one, &got), STATUS_OBJECTID_NOT_FOUND);
    ObjectIdRecord first, again, second;
    ASSERT_EQ(volume->CreateOrGetObjectId(one, &first), STATUS_SUCCESS);
    ASSERT_EQ(volume->CreateOrGetObjectId(one, &again), STATUS_SUCCESS);
    EXPECT_EQ(first.Id, again.Id);
    EXPECT_EQ(memcmp(first.Extended.data() + 16, first.Id.data(), 16), 0) << "birth object ID";
    ASSERT_EQ(volume->CreateOrGetObjectId(two, &second), STATUS_SUCCESS);
    EXPECT_NE(first.Id, second.Id);
    EXPECT_EQ(volume->SetObjectId(two, first), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(volume->DeleteObjectId(two), STATUS_SUCCESS);
    EXPECT_EQ(volume->SetObjectId(two, first), STATUS_DUPLICATE_NAME);

    CreateRequest r;
    r.By = OpenBy::ObjectId;
    r.ObjectId = first.Id;
    r.DesiredAccess = kFileReadAttributes;
    CreateResult byId = volume->Create(r);
    ASSERT_EQ(byId.Status, STATUS_SUCCESS);
    EXPECT_EQ(Info(byId.Open).Id, Info(one).Id);
    volume->Cleanup(byId.Open, false, byId.Open, 1);
    volume->Close(byId.Open);
    r.ObjectId = second.Id;
    EXPECT_EQ(volume->Create(r).Status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(VolumeAttributes, JunctionsReparseUnlessOpenedAsReparsePoints) {
    MakeDir("\\target");
    MakeFile("\\target\\file", "t");
    MakeDir("\\junction");
    OpenFile* j = MustOpen("\\junction", kOpen, kOptDirectoryFile | kOptOpenReparsePoint);
    std::vector<uint8_t> data = MountPoint(u"\\??\\C:\\target", u"C:\\target");
    ASSERT_EQ(volume->SetReparsePoint(j, data, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Info(j).Attributes, kAttrDirectory | kAttrReparsePoint);
    std::vector<uint8_t> back;
    ASSERT_EQ(volume->GetReparsePoint(j, &back), STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    Close(j);

    CreateResult crossed = Open("\\junction\\file", kOpen);
    EXPECT_EQ(crossed.Status, STATUS_REPARSE);
    EXPECT_EQ(crossed.ReparseTag, kReparseTagMountPoint);
    EXPECT_EQ(crossed.RemainingChars, 5u) << "\\file is left to parse";
    EXPECT_EQ(crossed.ReparseData, data);
    CreateResult itself = Open("\\junction", kOpen, kOptDirectoryFile);
    EXPECT_EQ(itself.Status, STATUS_REPARSE);
    EXPECT_EQ(itself.RemainingChars, 0u);
    EXPECT_EQ(Open("\\junction\\file", kOpen, kOptOpenReparsePoint).Status, STATUS_REPARSE)
        << "only the final component is opened as a reparse point";
    EXPECT_EQ(OpenStatus("\\junction", kOpen, kOptOpenReparsePoint), STATUS_SUCCESS);

    // The index lists it; deleting the junction leaves its target.
    std::vector<ReparseIndexEntry> index = volume->ReparseIndex(std::nullopt, 10);
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index[0].Tag, kReparseTagMountPoint);
    OpenFile* del = MustOpen("\\junction", kOpen, kOptOpenReparsePoint);
    ASSERT_EQ(volume->SetDisposition(del, true), STATUS_SUCCESS);
    Close(del);
    EXPECT_TRUE(volume->ReparseIndex(std::nullopt, 10).empty());
    EXPECT_EQ(ReadFile("\\target\\file"), "t");
}

TEST_F(VolumeAttributes, ReparseDataIsChecked) {
    MakeDir("\\d");
    MakeFile("\\d\\child");
    MakeFile("\\f");
    OpenFile* d = MustOpen("\\d", kOpen, kOptDirectoryFile);
    OpenFile* f = MustOpen("\\f", kOpen);
    std::vector<uint8_t> good = MountPoint(u"\\??\\C:\\x", u"C:\\x");
    EXPECT_EQ(volume->SetReparsePoint(d, good, nullptr), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(volume->SetReparsePoint(f, good, nullptr), STATUS_NOT_A_DIRECTORY);
    std::vector<uint8_t> shortLength = good;
    shortLength[4] -= 2;
    EXPECT_EQ(volume->SetReparsePoint(f, shortLength, nullptr), STATUS_IO_REPARSE_DATA_INVALID);
    std::vector<uint8_t> outside = good;
    outside[10] = 200;  // substitute name runs past the buffer
    MakeDir("\\e");
    OpenFile* e = MustOpen("\\e", kOpen, kOptDirectoryFile);
    EXPECT_EQ(volume->SetReparsePoint(e, outside, nullptr), STATUS_IO_REPARSE_DATA_INVALID);
    std::vector<uint8_t> tagZero = good;
    memset(tagZero.data(), 0, 4);
    EXPECT_EQ(volume->SetReparsePoint(e, tagZero, nullptr), STATUS_IO_REPARSE_TAG_INVALID);
    std::vector<uint8_t> none;
    EXPECT_EQ(volume->GetReparsePoint(e, &none), STATUS_NOT_A_REPARSE_POINT);
    ASSERT_EQ(volume->SetReparsePoint(e, good, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(volume->DeleteReparsePoint(e, kReparseTagSymlink, nullptr), STATUS_IO_REPARSE_TAG_MISMATCH);
    EXPECT_EQ(volume->DeleteReparsePoint(e, kReparseTagMountPoint, nullptr), STATUS_SUCCESS);
}

TEST_F(VolumeAttributes, CompressionFlagIsInheritedByNewFiles) {
    MakeDir("\\c");
    OpenFile* c = MustOpen("\\c", kOpen, kOptDirectoryFile);
    EXPECT_EQ(volume->SetCompression(c, 7, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(volume->SetCompression(c, 1, nullptr), STATUS_SUCCESS);
    uint16_t format = 0;
    ASSERT_EQ(volume->GetCompression(c, &format), STATUS_SUCCESS);
    EXPECT_EQ(format, 2);
    Close(c);
    MakeFile("\\c\\inside");
    OpenFile* inside = MustOpen("\\c\\inside", kOpen);
    EXPECT_EQ(Info(inside).Attributes, kAttrArchive | kAttrCompressed);
}

TEST_F(VolumeAttributes, TimesAsNtfsKeepsThem) {
    const int64_t created = now;
    MakeDir("\\d");
    now += 100;
    MakeFile("\\d\\f");
    OpenFile* dir = MustOpen("\\d", kOpen, kOptDirectoryFile);
    EXPECT_EQ(Info(dir).Times.LastWrite, now) << "a new entry updates its directory";
    EXPECT_EQ(Info(dir).Times.Creation, created);
    Close(dir);

    OpenFile* f = MustOpen("\\d\\f", kOpen);
    FileTimes set;
    set.LastWrite = 5000;
    ASSERT_EQ(volume->SetBasic(f, set, 0, nullptr), STATUS_SUCCESS);
    now += 100;
    Write(f, 0, "abc");
    EXPECT_EQ(Info(f).Times.LastWrite, 5000) << "a time set through the handle stays";
    EXPECT_EQ(Info(f).Times.Change, now);
    Close(f, true);
    OpenFile* again = MustOpen("\\d\\f", kOpen);
    EXPECT_EQ(Info(again).Times.LastWrite, 5000);
    now += 100;
    Write(again, 0, "x");
    Close(again, true);
    OpenFile* third = MustOpen("\\d\\f", kOpen);
    EXPECT_EQ(Info(third).Times.LastWrite, now);
    // Zero leaves a time unchanged; attributes of zero leave them.
    ASSERT_EQ(volume->SetBasic(third, FileTimes{}, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Info(third).Times.LastWrite, now);
    EXPECT_EQ(Info(third).Attributes, kAttrArchive);
    ASSERT_EQ(volume->SetBasic(third, FileTimes{}, kAttrNormal, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Info(third).Attributes, kAttrNormal);
    EXPECT_EQ(volume->SetBasic(third, FileTimes{}, kAttrDirectory, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(VolumeAttributes, FatKeepsCoarseTimes) {
    Format(FsKind::Fat);
    now = 133000000012345678ll;
    MakeFile("\\f");
    OpenFile* f = MustOpen("\\f", kOpen);
    FileSnapshot s = Info(f);
    EXPECT_EQ(s.Times.LastWrite % 20000000, 0);
    EXPECT_EQ(s.Times.LastAccess % (86400ll * 10000000), 0);
    EXPECT_EQ(s.Times.Creation % 100000, 0);
}

TEST_F(VolumeAttributes, ReadsAndWritesHonourByteRangeLocks) {
    MakeFile("\\f", "0123456789");
    OpenFile* a = MustOpen("\\f", kOpen);
    OpenFile* b = MustOpen("\\f", kOpen);
    LockOwner ownerA{a, 1, 0};
    ASSERT_EQ(volume->LockRange(a, ownerA, ByteRange{2, 3}, true), STATUS_SUCCESS);
    EXPECT_EQ(volume->LockRange(b, LockOwner{b, 1, 0}, ByteRange{4, 1}, false), STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(Read(b, 0, 3), "<" + std::to_string(static_cast<uint32_t>(STATUS_FILE_LOCK_CONFLICT)) + ">");
    EXPECT_EQ(Read(b, 5, 5), "56789");
    EXPECT_EQ(Write(b, 4, "X"), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(Write(a, 4, "X"), STATUS_SUCCESS);
    EXPECT_EQ(volume->UnlockRange(b, LockOwner{b, 1, 0}, ByteRange{2, 3}), STATUS_RANGE_NOT_LOCKED);
    Close(a);  // cleanup releases the locks of its file object
    EXPECT_EQ(Read(b, 0, 10), "0123X56789");
}

TEST_F(VolumeAttributes, EndOfFileAllocationAndReadsPastTheEnd) {
    OpenFile* f = MustOpen("\\f", kCreate);
    ASSERT_EQ(Write(f, 5000, "tail"), STATUS_SUCCESS);
    FileSnapshot s = Info(f);
    EXPECT_EQ(s.EndOfFile, 5004u);
    EXPECT_EQ(s.Allocation, 8192u);
    EXPECT_EQ(Read(f, 4998, 100), std::string("\0\0tail", 6));
    EXPECT_EQ(Read(f, 5004, 1), "<" + std::to_string(static_cast<uint32_t>(STATUS_END_OF_FILE)) + ">");
    ChangeEvents events;
    ASSERT_EQ(volume->SetEndOfFile(f, 10, &events), STATUS_SUCCESS);
    EXPECT_EQ(Info(f).Allocation, 4096u);
    ASSERT_EQ(volume->SetAllocation(f, 20000, &events), STATUS_SUCCESS);
    EXPECT_EQ(Info(f).Allocation, 20480u);
    EXPECT_EQ(Info(f).EndOfFile, 10u);
    ASSERT_EQ(volume->SetAllocation(f, 3, &events), STATUS_SUCCESS);
    EXPECT_EQ(Info(f).EndOfFile, 3u);
    EXPECT_EQ(Info(f).Allocation, 4096u);
}

}  // namespace
}  // namespace plat::fs::test
