// Hard links and renames through the native API.
#include "support/volume_fixture.h"

namespace quilt_test {
namespace {

using plat::native::File;

class LinksRenameTest : public VolumeTest {
protected:
    static constexpr ACCESS_MASK kRenameAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

    ULONG Links(const char16_t* path) {
        File f;
        FILE_STANDARD_INFORMATION standard{};
        if (!NT_SUCCESS(OpenPath(path, &f, FILE_READ_ATTRIBUTES | SYNCHRONIZE))) return 0;
        if (!NT_SUCCESS(f.Query(FileStandardInformation, &standard))) return 0;
        return standard.NumberOfLinks;
    }

    NTSTATUS Rename(const char16_t* from, const char16_t* to, bool replace) {
        File f;
        NTSTATUS status = OpenPath(from, &f, kRenameAccess);
        if (!NT_SUCCESS(status)) return status;
        return f.Rename(to, replace);
    }
};

TEST_F(LinksRenameTest, HardLinksCountShareDataAndDieOneByOne) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\other"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\original.txt", "shared"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\original.txt", &f, FILE_READ_ATTRIBUTES | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(f.Link(u"C:\\other\\second.txt", false), STATUS_SUCCESS);
    ASSERT_EQ(f.Link(u"third.txt", false), STATUS_SUCCESS) << "a plain name links in the same directory";
    EXPECT_EQ(f.Link(u"C:\\OTHER\\SECOND.TXT", false), STATUS_OBJECT_NAME_COLLISION);
    f.Close();
    EXPECT_EQ(Links(u"C:\\original.txt"), 3u);

    // One file under three names: data written through one is read through all.
    File writer;
    ASSERT_EQ(OpenPath(u"C:\\other\\second.txt", &writer, GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    ASSERT_EQ(writer.Write(6, " data"), STATUS_SUCCESS);
    writer.Close();
    EXPECT_EQ(ReadText(u"C:\\third.txt"), "shared data");
    FILE_INTERNAL_INFORMATION a, b;
    File fa, fb;
    ASSERT_EQ(OpenPath(u"C:\\original.txt", &fa, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    ASSERT_EQ(OpenPath(u"C:\\third.txt", &fb, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    ASSERT_EQ(fa.Query(FileInternalInformation, &a), STATUS_SUCCESS);
    ASSERT_EQ(fb.Query(FileInternalInformation, &b), STATUS_SUCCESS);
    EXPECT_EQ(a.IndexNumber.QuadPart, b.IndexNumber.QuadPart);
    fa.Close();
    fb.Close();

    ASSERT_EQ(plat::native::DeletePath(u"C:\\original.txt"), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\original.txt"), "<" + std::to_string(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND)) + ">");
    EXPECT_EQ(Links(u"C:\\third.txt"), 2u);
    EXPECT_EQ(ReadText(u"C:\\other\\second.txt"), "shared data");
}

TEST_F(LinksRenameTest, RenameWithAndWithoutReplace) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\a.txt", "A"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\b.txt", "B"), STATUS_SUCCESS);
    EXPECT_EQ(Rename(u"C:\\a.txt", u"C:\\b.txt", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ReadText(u"C:\\b.txt"), "B");
    EXPECT_EQ(Rename(u"C:\\a.txt", u"C:\\B.TXT", true), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\b.txt"), "A");
    EXPECT_EQ(ReadText(u"C:\\a.txt"), "<" + std::to_string(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND)) + ">");
    File f;
    ASSERT_EQ(OpenPath(u"C:\\b.txt", &f, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(f.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\B.TXT") << "the new spelling";
}

TEST_F(LinksRenameTest, RenameOntoAnOpenFileIsDenied) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\new.dll", "new"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\old.dll", "old"), STATUS_SUCCESS);
    File held;
    ASSERT_EQ(OpenPath(u"C:\\old.dll", &held, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    EXPECT_EQ(Rename(u"C:\\new.dll", u"C:\\old.dll", true), STATUS_ACCESS_DENIED);
    held.Close();
    EXPECT_EQ(Rename(u"C:\\new.dll", u"C:\\old.dll", true), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\old.dll"), "new");
}

TEST_F(LinksRenameTest, RenameAcrossDirectoriesKeepsOpenHandles) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\from"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\to"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\from\\doc.txt", "doc"), STATUS_SUCCESS);
    File reader;
    ASSERT_EQ(OpenPath(u"C:\\from\\doc.txt", &reader, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    EXPECT_EQ(Rename(u"C:\\from\\doc.txt", u"C:\\to\\moved.txt", false), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(reader.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\to\\moved.txt");
    std::string text;
    ASSERT_EQ(reader.ReadAll(&text), STATUS_SUCCESS);
    EXPECT_EQ(text, "doc");
    EXPECT_EQ(Rename(u"C:\\to\\moved.txt", u"C:\\nowhere\\x.txt", false), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Rename(u"C:\\to\\moved.txt", u"D:\\x.txt", false), STATUS_NOT_SAME_DEVICE);
}

TEST_F(LinksRenameTest, RenameOfADirectory) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\tree"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\tree\\branch"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\tree\\branch\\leaf", "leaf"), STATUS_SUCCESS);
    File dir;
    ASSERT_EQ(OpenPath(u"C:\\tree", &dir, kRenameAccess, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    EXPECT_EQ(dir.Rename(u"C:\\tree\\branch\\inside", false), STATUS_INVALID_PARAMETER) << "into itself";
    {
        File busy;
        ASSERT_EQ(OpenPath(u"C:\\tree\\branch\\leaf", &busy), STATUS_SUCCESS);
        EXPECT_EQ(dir.Rename(u"C:\\forest", false), STATUS_ACCESS_DENIED) << "a file below it is open";
    }
    ASSERT_EQ(dir.Rename(u"C:\\forest", false), STATUS_SUCCESS);
    dir.Close();
    EXPECT_EQ(ReadText(u"C:\\forest\\branch\\leaf"), "leaf");
    EXPECT_EQ(ReadText(u"C:\\tree\\branch\\leaf"), "<" + std::to_string(uint32_t(STATUS_OBJECT_PATH_NOT_FOUND)) + ">");
}

}  // namespace
}  // namespace quilt_test
