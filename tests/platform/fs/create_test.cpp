// Creates through the native API on the mounted NTFS (C:) and FAT (D:)
// volumes: dispositions, refusals, short names, deletion semantics, the
// non-buffered alignment rule.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <string.h>

#include <map>

namespace quilt_test {
namespace {

using plat::native::File;

class CreateTest : public VolumeTest {
protected:
    static constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    static constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

    NTSTATUS Status(const char16_t* path, ULONG disposition, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                    ACCESS_MASK access = kReadWrite, ULONG_PTR* information = nullptr) {
        File f;
        return OpenPath(path, &f, access, disposition, options, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        information);
    }
};

TEST_F(CreateTest, EveryDispositionOnBothFileSystems) {
    struct Expect { NTSTATUS Status; ULONG_PTR Information; const char* Content; };
    // Against a missing name, then against a file holding "old".
    const Expect missingName{STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr};
    const std::map<ULONG, std::pair<Expect, Expect>> cases = {
        {FILE_SUPERSEDE, {{STATUS_SUCCESS, FILE_CREATED, ""}, {STATUS_SUCCESS, FILE_SUPERSEDED, ""}}},
        {FILE_OPEN, {missingName, {STATUS_SUCCESS, FILE_OPENED, "old"}}},
        {FILE_CREATE, {{STATUS_SUCCESS, FILE_CREATED, ""}, {STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "old"}}},
        {FILE_OPEN_IF, {{STATUS_SUCCESS, FILE_CREATED, ""}, {STATUS_SUCCESS, FILE_OPENED, "old"}}},
        {FILE_OVERWRITE, {missingName, {STATUS_SUCCESS, FILE_OVERWRITTEN, ""}}},
        {FILE_OVERWRITE_IF, {{STATUS_SUCCESS, FILE_CREATED, ""}, {STATUS_SUCCESS, FILE_OVERWRITTEN, ""}}},
    };
    for (const char16_t* volume : {u"C:\\", u"D:\\"}) {
        for (const auto& [disposition, expect] : cases) {
            std::u16string missing = volume + std::u16string(u"missing") + char16_t(u'0' + disposition);
            std::u16string existing = volume + std::u16string(u"existing") + char16_t(u'0' + disposition);
            ASSERT_EQ(plat::native::WriteFile(existing, "old", FILE_CREATE), STATUS_SUCCESS);
            for (auto [path, e] : {std::pair{missing, expect.first}, std::pair{existing, expect.second}}) {
                ULONG_PTR information = 99;
                EXPECT_EQ(Status(path.c_str(), disposition, FILE_SYNCHRONOUS_IO_NONALERT, kReadWrite, &information),
                          e.Status) << disposition;
                EXPECT_EQ(information, e.Information) << disposition;
                std::string missingText = "<" + std::to_string(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND)) + ">";
                EXPECT_EQ(ReadText(path.c_str()), e.Content ? e.Content : missingText) << disposition;
            }
        }
    }
}

TEST_F(CreateTest, RefusalsCarryTheStatusesWindowsGives) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\dir"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\dir\\file", "x"), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\nodir\\file", FILE_OPEN), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Status(u"C:\\nodir\\file", FILE_CREATE), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Status(u"C:\\dir\\nofile", FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Status(u"C:\\dir\\file", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Status(u"C:\\dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Status(u"C:\\dir\\a<b", FILE_CREATE), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Status(u"C:\\dir\\file", FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Status(u"C:\\dir", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, FILE_LIST_DIRECTORY),
              STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, SYNCHRONIZE),
              STATUS_SUCCESS) << "the root opens as a directory";
    // The volume itself, as the driver opens it.
    EXPECT_EQ(Status(u"C:", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, SYNCHRONIZE),
              STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:", FILE_OPEN, 0, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);

    // Sharing: a writer that shares nothing keeps the others out.
    File exclusive;
    ASSERT_EQ(OpenPath(u"C:\\dir\\file", &exclusive, kReadWrite, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\dir\\file", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, GENERIC_READ | SYNCHRONIZE),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Status(u"C:\\dir\\file", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, FILE_READ_ATTRIBUTES),
              STATUS_SUCCESS) << "attribute opens do not conflict";
}

TEST_F(CreateTest, ShortNamesAreGeneratedListedAndOpen) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Program Files"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Programs Old"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\Program Files\\Long Document Name.html", "page"), STATUS_SUCCESS);
    File root;
    ASSERT_EQ(OpenPath(u"C:\\", &root, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    std::vector<plat::native::DirectoryEntry> entries;
    ASSERT_EQ(root.List(&entries), STATUS_SUCCESS);
    std::map<std::u16string, std::u16string> shortNames;
    for (auto& e : entries) shortNames[e.Name] = e.ShortName;
    EXPECT_EQ(shortNames[u"Program Files"], u"PROGRA~1");
    EXPECT_EQ(shortNames[u"Programs Old"], u"PROGRA~2");
    EXPECT_EQ(ReadText(u"C:\\PROGRA~1\\LONGDO~1.HTM"), "page");
    // The short name is a name of the file: FileNameInformation gives the
    // long one back.
    File viaShort;
    ASSERT_EQ(OpenPath(u"C:\\progra~1\\longdo~1.htm", &viaShort), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(viaShort.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\Program Files\\Long Document Name.html");
    // An exact query for the short name finds the entry with both names.
    File dir;
    ASSERT_EQ(OpenPath(u"C:\\Program Files", &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    ASSERT_EQ(dir.QueryDirectory(&entries, u"LONGDO~1.HTM", true, true), STATUS_SUCCESS);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Name, u"Long Document Name.html");
    EXPECT_EQ(entries[0].ShortName, u"LONGDO~1.HTM");
}

TEST_F(CreateTest, DeleteOnCloseWithTwoHandles) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\temp.tmp", "t"), STATUS_SUCCESS);
    File first, second;
    ASSERT_EQ(OpenPath(u"C:\\temp.tmp", &first, kReadWrite | DELETE, FILE_OPEN,
                       FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
    ASSERT_EQ(OpenPath(u"C:\\temp.tmp", &second, GENERIC_READ | SYNCHRONIZE), STATUS_SUCCESS);
    first.Close();
    FILE_STANDARD_INFORMATION standard;
    ASSERT_EQ(second.Query(FileStandardInformation, &standard), STATUS_SUCCESS);
    EXPECT_TRUE(standard.DeletePending);
    EXPECT_EQ(Status(u"C:\\temp.tmp", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, FILE_READ_ATTRIBUTES),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(Status(u"C:\\temp.tmp", FILE_CREATE), STATUS_OBJECT_NAME_COLLISION) << "still there";
    second.Close();
    EXPECT_EQ(Status(u"C:\\temp.tmp", FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CreateTest, DispositionRulesForDirectoriesAndReadOnlyFiles) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\full"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\full\\child", "c"), STATUS_SUCCESS);
    EXPECT_EQ(plat::native::DeletePath(u"C:\\full"), STATUS_DIRECTORY_NOT_EMPTY);
    ASSERT_EQ(plat::native::DeletePath(u"C:\\full\\child"), STATUS_SUCCESS);
    EXPECT_EQ(plat::native::DeletePath(u"C:\\full"), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\full", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, SYNCHRONIZE),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // A read-only file: no write access, no deletion until the attribute goes.
    ASSERT_EQ(plat::native::WriteFile(u"C:\\ro.txt", "r"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\ro.txt", &f, kDeleteAccess | FILE_WRITE_ATTRIBUTES), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_EQ(f.Set(FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\ro.txt", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, GENERIC_WRITE | SYNCHRONIZE),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(f.SetDeleteDisposition(true), STATUS_CANNOT_DELETE);
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ASSERT_EQ(f.Set(FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    EXPECT_EQ(f.SetDeleteDisposition(true), STATUS_SUCCESS);
    f.Close();
    EXPECT_EQ(Status(u"C:\\ro.txt", FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CreateTest, ImageSectionsBlockDeletionAndWrites) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\app.exe", "MZ"), STATUS_SUCCESS);
    File image;
    ASSERT_EQ(OpenPath(u"C:\\app.exe", &image, GENERIC_READ | DELETE | SYNCHRONIZE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(image.Handle(), 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&fileObject), nullptr), STATUS_SUCCESS);
    ASSERT_EQ(plat::fs::SetImageSection(fileObject, true), STATUS_SUCCESS);
    EXPECT_FALSE(MmFlushImageSection(fileObject->SectionObjectPointer, MmFlushForDelete));
    EXPECT_EQ(image.SetDeleteDisposition(true), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Status(u"C:\\app.exe", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, GENERIC_WRITE | SYNCHRONIZE),
              STATUS_SHARING_VIOLATION);
    ASSERT_EQ(plat::fs::SetImageSection(fileObject, false), STATUS_SUCCESS);
    EXPECT_TRUE(MmFlushImageSection(fileObject->SectionObjectPointer, MmFlushForDelete));
    EXPECT_EQ(image.SetDeleteDisposition(true), STATUS_SUCCESS);
    ObDereferenceObject(fileObject);
}

TEST_F(CreateTest, NonBufferedTransfersAreSectorAlignedExceptAtTheEnd) {
    File f;
    ASSERT_EQ(OpenPath(u"C:\\raw.bin", &f, kReadWrite, FILE_CREATE,
                       FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING | FILE_NON_DIRECTORY_FILE),
              STATUS_SUCCESS);
    std::string sector(512, 'a');
    EXPECT_EQ(f.Write(0, sector), STATUS_SUCCESS);
    EXPECT_EQ(f.Write(100, sector), STATUS_INVALID_PARAMETER) << "unaligned offset";
    EXPECT_EQ(f.Write(0, std::string(100, 'b')), STATUS_INVALID_PARAMETER) << "short piece inside the file";
    EXPECT_EQ(f.Write(512, std::string(100, 'c')), STATUS_SUCCESS) << "a last piece that ends the file";
    std::vector<uint8_t> data;
    EXPECT_EQ(f.Read(512, 512, &data), STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 100u);
    EXPECT_EQ(f.Read(3, 512, &data), STATUS_INVALID_PARAMETER);
}

TEST_F(CreateTest, WritesMarkTheFileObjectModified) {
    File f;
    ASSERT_EQ(OpenPath(u"C:\\m.txt", &f, kReadWrite, FILE_CREATE), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(f.Handle(), 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID*>(&fileObject), nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(fileObject->Flags & FO_FILE_MODIFIED);
    ASSERT_EQ(f.Write(0, "data"), STATUS_SUCCESS);
    EXPECT_TRUE(fileObject->Flags & FO_FILE_MODIFIED);
    auto* fcb = static_cast<PFSRTL_COMMON_FCB_HEADER>(fileObject->FsContext);
    EXPECT_EQ(fcb->FileSize.QuadPart, 4);
    // The FCB's main resource is there for filters to take.
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(fcb->Resource, TRUE));
    ExReleaseResourceLite(fcb->Resource);
    KeLeaveCriticalRegion();
    ObDereferenceObject(fileObject);
}

TEST_F(CreateTest, AppendOnlyHandlesWriteAtTheEnd) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\app.log", "one;"), STATUS_SUCCESS);
    File log;
    ASSERT_EQ(OpenPath(u"C:\\app.log", &log, FILE_APPEND_DATA | SYNCHRONIZE, FILE_OPEN_IF), STATUS_SUCCESS);
    plat::UserBuffer text(8);
    memcpy(text.Get(), "two;", 4);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtWriteFile(log.Handle(), nullptr, nullptr, nullptr, &iosb, text.Get(), 4, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(NtWriteFile(log.Handle(), nullptr, nullptr, nullptr, &iosb, text.Get(), 4, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"C:\\app.log"), "one;two;two;");
}

TEST_F(CreateTest, FileIdsOpenFilesAndNeverRepeat) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\first", "1"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\first", &f), STATUS_SUCCESS);
    FILE_INTERNAL_INFORMATION id;
    ASSERT_EQ(f.Query(FileInternalInformation, &id), STATUS_SUCCESS);
    EXPECT_GT(id.IndexNumber.QuadPart, 15);
    File root;
    ASSERT_EQ(OpenPath(u"C:\\", &root, SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    FILE_INTERNAL_INFORMATION rootId;
    ASSERT_EQ(root.Query(FileInternalInformation, &rootId), STATUS_SUCCESS);
    EXPECT_EQ(rootId.IndexNumber.QuadPart, 5);

    // Open by file ID relative to the volume's root.
    std::u16string idName(reinterpret_cast<const char16_t*>(&id.IndexNumber), 4);
    plat::native::OpenOptions byId;
    byId.Options = FILE_OPEN_BY_FILE_ID | FILE_SYNCHRONOUS_IO_NONALERT;
    byId.RootDirectory = root.Handle();
    File again;
    ASSERT_EQ(File::Open(idName, byId, &again), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(again.Name(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\first");
    again.Close();
    f.Close();
    ASSERT_EQ(plat::native::DeletePath(u"C:\\first"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\second", "2"), STATUS_SUCCESS);
    File second;
    ASSERT_EQ(OpenPath(u"C:\\second", &second), STATUS_SUCCESS);
    FILE_INTERNAL_INFORMATION secondId;
    ASSERT_EQ(second.Query(FileInternalInformation, &secondId), STATUS_SUCCESS);
    EXPECT_GT(secondId.IndexNumber.QuadPart, id.IndexNumber.QuadPart);
    EXPECT_EQ(File::Open(idName, byId, &again), STATUS_INVALID_PARAMETER) << "a deleted file's ID opens nothing";
}

TEST_F(CreateTest, MetadataNamesAndTheReparseIndexOpen) {
    EXPECT_EQ(Status(u"C:\\$MFT", FILE_OPEN, 0, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\$LogFile", FILE_OPEN, 0, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"C:\\$Extend\\$Reparse:$R:$INDEX_ALLOCATION", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                     FILE_GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Status(u"D:\\$MFT", FILE_OPEN, 0, FILE_READ_ATTRIBUTES), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace quilt_test
