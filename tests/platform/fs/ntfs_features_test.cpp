// NTFS features through the native API: named streams, junctions and the
// reparse index, object IDs, extended attributes, compression.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <string.h>

#include <set>

namespace quilt_test {
namespace {

using plat::native::File;

class NtfsFeaturesTest : public VolumeTest {
protected:
    // Makes `path` a junction to `target` (a Win32 path).
    void MakeJunction(const char16_t* path, const std::u16string& target) {
        ASSERT_EQ(quilt_test::MakeJunction(path, target), STATUS_SUCCESS);
    }

    LONGLONG FileIdOf(const char16_t* path, ULONG options = 0) {
        File f;
        FILE_INTERNAL_INFORMATION id{};
        EXPECT_EQ(OpenPath(path, &f, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, options), STATUS_SUCCESS);
        EXPECT_EQ(f.Query(FileInternalInformation, &id), STATUS_SUCCESS);
        return id.IndexNumber.QuadPart;
    }
};

TEST_F(NtfsFeaturesTest, NamedStreamsAreCreatedListedAndCopied) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\doc.txt", "main body"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\doc.txt:Zone.Identifier", "[ZoneTransfer]"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\doc.txt:summary:$DATA", "s"), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\doc.txt"), "main body");
    EXPECT_EQ(ReadText(u"C:\\doc.txt::$DATA"), "main body");
    EXPECT_EQ(ReadText(u"C:\\DOC.TXT:zone.identifier"), "[ZoneTransfer]");

    // The stream list, as a copier reads it; a short buffer overflows.
    File source;
    ASSERT_EQ(OpenPath(u"C:\\doc.txt", &source), STATUS_SUCCESS);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(source.Query(FileStreamInformation, 40, &bytes), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(source.Query(FileStreamInformation, 1024, &bytes), STATUS_SUCCESS);
    std::vector<std::pair<std::u16string, LONGLONG>> streams;
    for (size_t at = 0;;) {
        auto* s = reinterpret_cast<const FILE_STREAM_INFORMATION*>(bytes.data() + at);
        streams.push_back({std::u16string(reinterpret_cast<const char16_t*>(s->StreamName), s->StreamNameLength / 2),
                           s->StreamSize.QuadPart});
        if (s->NextEntryOffset == 0) break;
        EXPECT_EQ(s->NextEntryOffset % 8, 0u);
        at += s->NextEntryOffset;
    }
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0], (std::pair<std::u16string, LONGLONG>{u"::$DATA", 9}));
    EXPECT_EQ(streams[1], (std::pair<std::u16string, LONGLONG>{u":Zone.Identifier:$DATA", 14}));
    EXPECT_EQ(streams[2], (std::pair<std::u16string, LONGLONG>{u":summary:$DATA", 1}));

    // Copy every stream to a new file.
    for (auto& [name, size] : streams) {
        std::u16string suffix = name == u"::$DATA" ? u"" : name;
        std::string data = ReadText((u"C:\\doc.txt" + suffix).c_str());
        ASSERT_EQ(data.size(), static_cast<size_t>(size));
        ASSERT_EQ(plat::native::WriteFile(u"C:\\copy.txt" + suffix, data), STATUS_SUCCESS);
    }
    EXPECT_EQ(ReadText(u"C:\\copy.txt"), "main body");
    EXPECT_EQ(ReadText(u"C:\\copy.txt:Zone.Identifier"), "[ZoneTransfer]");
    EXPECT_EQ(ReadText(u"C:\\copy.txt:summary"), "s");

    // Deleting a stream leaves the file.
    ASSERT_EQ(plat::native::DeletePath(u"C:\\copy.txt:summary"), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\copy.txt:summary"), "<" + std::to_string(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND)) + ">");
    EXPECT_EQ(ReadText(u"C:\\copy.txt"), "main body");
}

TEST_F(NtfsFeaturesTest, JunctionsAreCrossedUnlessOpenedAsReparsePoints) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\target"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\target\\file.txt", "behind"), STATUS_SUCCESS);
    MakeJunction(u"C:\\junction", u"C:\\target");

    File crossed;
    ASSERT_EQ(OpenPath(u"C:\\junction\\file.txt", &crossed), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(crossed.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\target\\file.txt");
    EXPECT_EQ(ReadText(u"C:\\junction\\file.txt"), "behind");

    File itself;
    ASSERT_EQ(OpenPath(u"C:\\junction", &itself, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                       FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    ASSERT_EQ(itself.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\junction");
    FILE_ATTRIBUTE_TAG_INFORMATION tag;
    ASSERT_EQ(itself.Query(FileAttributeTagInformation, &tag), STATUS_SUCCESS);
    EXPECT_EQ(tag.ReparseTag, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_TRUE(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    std::vector<uint8_t> data;
    ASSERT_EQ(itself.FsControl(FSCTL_GET_REPARSE_POINT, nullptr, 0, &data, 16384), STATUS_SUCCESS);
    auto* r = reinterpret_cast<const REPARSE_DATA_BUFFER*>(data.data());
    std::u16string print(reinterpret_cast<const char16_t*>(r->MountPointReparseBuffer.PathBuffer) +
                             r->MountPointReparseBuffer.PrintNameOffset / 2,
                         r->MountPointReparseBuffer.PrintNameLength / 2);
    EXPECT_EQ(print, u"C:\\target");
    std::vector<uint8_t> truncated;
    EXPECT_EQ(itself.FsControl(FSCTL_GET_REPARSE_POINT, nullptr, 0, &truncated, 12), STATUS_BUFFER_OVERFLOW);
    itself.Close();

    // Junctions lead across volumes too; deleting one leaves its target.
    ASSERT_EQ(plat::native::CreateDirectory(u"D:\\data"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"D:\\data\\on-d.txt", "d"), STATUS_SUCCESS);
    MakeJunction(u"C:\\to-d", u"D:\\data");
    EXPECT_EQ(ReadText(u"C:\\to-d\\on-d.txt"), "d");
    // A junction to a volume root: its target ends in a backslash.
    MakeJunction(u"C:\\to-d-root", u"D:\\");
    EXPECT_EQ(ReadText(u"C:\\to-d-root\\data\\on-d.txt"), "d");
    ASSERT_EQ(plat::native::DeletePath(u"C:\\junction"), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\target\\file.txt"), "behind");
}

TEST_F(NtfsFeaturesTest, TheReparseIndexListsEveryReparsePoint) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\t"), STATUS_SUCCESS);
    MakeJunction(u"C:\\j1", u"C:\\t");
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\deep"), STATUS_SUCCESS);
    MakeJunction(u"C:\\deep\\j2", u"C:\\t");
    std::set<LONGLONG> expected = {FileIdOf(u"C:\\j1", FILE_OPEN_REPARSE_POINT),
                                   FileIdOf(u"C:\\deep\\j2", FILE_OPEN_REPARSE_POINT)};

    File index;
    ASSERT_EQ(OpenPath(u"C:\\$Extend\\$Reparse:$R:$INDEX_ALLOCATION", &index, FILE_GENERIC_READ, FILE_OPEN,
                       FILE_SYNCHRONOUS_IO_NONALERT, FILE_SHARE_READ), STATUS_SUCCESS);
    plat::UserBuffer buffer(sizeof(FILE_REPARSE_POINT_INFORMATION));
    std::set<LONGLONG> seen;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = NtQueryDirectoryFile(index.Handle(), nullptr, nullptr, nullptr, &iosb, buffer.Get(),
                                               buffer.Size(), FileReparsePointInformation, TRUE, nullptr, restart);
        if (status == STATUS_NO_MORE_FILES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* entry = buffer.As<FILE_REPARSE_POINT_INFORMATION>();
        EXPECT_EQ(entry->Tag, IO_REPARSE_TAG_MOUNT_POINT);
        seen.insert(entry->FileReference);
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(NtfsFeaturesTest, ObjectIdsAreSetQueriedCreatedAndOpenTheirFile) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\tracked.doc", "t"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\tracked.doc", &f, GENERIC_READ | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS);
    std::vector<uint8_t> out;
    EXPECT_EQ(f.FsControl(FSCTL_GET_OBJECT_ID, nullptr, 0, &out, sizeof(FILE_OBJECTID_BUFFER)),
              STATUS_OBJECTID_NOT_FOUND);
    ASSERT_EQ(f.FsControl(FSCTL_CREATE_OR_GET_OBJECT_ID, nullptr, 0, &out, sizeof(FILE_OBJECTID_BUFFER)),
              STATUS_SUCCESS);
    ASSERT_EQ(out.size(), sizeof(FILE_OBJECTID_BUFFER));
    FILE_OBJECTID_BUFFER created;
    memcpy(&created, out.data(), sizeof(created));
    ASSERT_EQ(f.FsControl(FSCTL_GET_OBJECT_ID, nullptr, 0, &out, sizeof(FILE_OBJECTID_BUFFER)), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(out.data(), &created, sizeof(created)), 0);
    EXPECT_EQ(memcmp(created.BirthObjectId, created.ObjectId, 16), 0);

    // Open by object ID.
    File root;
    ASSERT_EQ(OpenPath(u"C:\\", &root, SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    plat::native::OpenOptions byId;
    byId.Options = FILE_OPEN_BY_FILE_ID | FILE_SYNCHRONOUS_IO_NONALERT;
    byId.RootDirectory = root.Handle();
    File viaId;
    ASSERT_EQ(File::Open(std::u16string(reinterpret_cast<const char16_t*>(created.ObjectId), 8), byId, &viaId),
              STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(viaId.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\tracked.doc");
    viaId.Close();

    // The same ID cannot be given to another file; deleted, it can.
    ASSERT_EQ(plat::native::WriteFile(u"C:\\other.doc", "o"), STATUS_SUCCESS);
    File other;
    ASSERT_EQ(OpenPath(u"C:\\other.doc", &other, GENERIC_READ | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS);
    EXPECT_EQ(other.FsControl(FSCTL_SET_OBJECT_ID, &created, sizeof(created), nullptr, 0), STATUS_DUPLICATE_NAME);
    ASSERT_EQ(f.FsControl(FSCTL_DELETE_OBJECT_ID, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(other.FsControl(FSCTL_SET_OBJECT_ID, &created, sizeof(created), nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(f.FsControl(FSCTL_GET_OBJECT_ID, nullptr, 0, &out, sizeof(FILE_OBJECTID_BUFFER)),
              STATUS_OBJECTID_NOT_FOUND);
}

TEST_F(NtfsFeaturesTest, ExtendedAttributesAtCreateAndBySet) {
    // Two EAs in one FILE_FULL_EA_INFORMATION chain.
    std::vector<uint8_t> chain(64, 0);
    auto* first = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(chain.data());
    first->EaNameLength = 3;
    first->EaValueLength = 2;
    memcpy(first->EaName, "ONE\0\x01\x02", 6);
    first->NextEntryOffset = 16;
    auto* second = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(chain.data() + 16);
    second->EaNameLength = 3;
    second->EaValueLength = 1;
    memcpy(second->EaName, "TWO\0\x07", 5);
    plat::native::OpenOptions create;
    create.Access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    create.Disposition = FILE_CREATE;
    create.Ea = chain.data();
    create.EaLength = 32;
    File f;
    ASSERT_EQ(File::Open(u"C:\\with-eas", create, &f), STATUS_SUCCESS);
    FILE_EA_INFORMATION size;
    ASSERT_EQ(f.Query(FileEaInformation, &size), STATUS_SUCCESS);
    EXPECT_EQ(size.EaSize, 32u);

    plat::UserBuffer buffer(256);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtQueryEaFile(f.Handle(), &iosb, buffer.Get(), 8, FALSE, nullptr, 0, nullptr, TRUE),
              STATUS_BUFFER_OVERFLOW) << "a buffer too short for the first entry";
    ASSERT_EQ(NtQueryEaFile(f.Handle(), &iosb, buffer.Get(), 256, FALSE, nullptr, 0, nullptr, TRUE), STATUS_SUCCESS);
    auto* got = buffer.As<FILE_FULL_EA_INFORMATION>();
    EXPECT_EQ(std::string(got->EaName, got->EaNameLength), "ONE");
    ASSERT_NE(got->NextEntryOffset, 0u);
    auto* next = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(buffer.As<uint8_t>() + got->NextEntryOffset);
    EXPECT_EQ(std::string(next->EaName, next->EaNameLength), "TWO");
    EXPECT_EQ(NtQueryEaFile(f.Handle(), &iosb, buffer.Get(), 256, FALSE, nullptr, 0, nullptr, FALSE),
              STATUS_NO_MORE_EAS);

    // Removing one by setting it without a value.
    std::vector<uint8_t> removal(16, 0);
    auto* remove = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(removal.data());
    remove->EaNameLength = 3;
    memcpy(remove->EaName, "one", 4);
    plat::UserBuffer setBuffer(16);
    memcpy(setBuffer.Get(), removal.data(), 16);
    ASSERT_EQ(NtSetEaFile(f.Handle(), &iosb, setBuffer.Get(), 12), STATUS_SUCCESS);
    ASSERT_EQ(f.Query(FileEaInformation, &size), STATUS_SUCCESS);
    EXPECT_EQ(size.EaSize, 16u);
}

TEST_F(NtfsFeaturesTest, CompressionSetsTheAttribute) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\big.log", "log"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\big.log", &f, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    ASSERT_EQ(f.FsControl(FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic;
    ASSERT_EQ(f.Query(FileBasicInformation, &basic), STATUS_SUCCESS);
    EXPECT_TRUE(basic.FileAttributes & FILE_ATTRIBUTE_COMPRESSED);
    std::vector<uint8_t> out;
    ASSERT_EQ(f.FsControl(FSCTL_GET_COMPRESSION, nullptr, 0, &out, sizeof(USHORT)), STATUS_SUCCESS);
    EXPECT_EQ(out[0], COMPRESSION_FORMAT_LZNT1);
    format = COMPRESSION_FORMAT_NONE;
    ASSERT_EQ(f.FsControl(FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(f.Query(FileBasicInformation, &basic), STATUS_SUCCESS);
    EXPECT_FALSE(basic.FileAttributes & FILE_ATTRIBUTE_COMPRESSED);
    // No encryption support.
    EXPECT_EQ(f.FsControl(FSCTL_SET_ENCRYPTION, nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace quilt_test
