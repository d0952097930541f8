// Directory listings and change notification through the native API.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <algorithm>

namespace quilt_test {
namespace {

using plat::native::File;

class DirectoryTest : public VolumeTest {
protected:
    void SetUp() override {
        VolumeTest::SetUp();
        for (const char16_t* dir : {u"C:\\list", u"D:\\list"}) {
            ASSERT_EQ(plat::native::CreateDirectory(dir), STATUS_SUCCESS);
            for (const char16_t* name : {u"alpha.txt", u"beta.txt", u"gamma.doc", u"Delta Long Name.txt"}) {
                ASSERT_EQ(plat::native::WriteFile(std::u16string(dir) + u"\\" + name, "x"), STATUS_SUCCESS);
            }
        }
    }

    void OpenList(const char16_t* path, File* dir) {
        ASSERT_EQ(OpenPath(path, dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    }

    static std::vector<std::u16string> Names(const std::vector<plat::native::DirectoryEntry>& entries) {
        std::vector<std::u16string> names;
        for (auto& e : entries) names.push_back(e.Name);
        return names;
    }
};

TEST_F(DirectoryTest, PatternsWithDosWildcardsMatchLongAndShortNames) {
    File dir;
    OpenList(u"C:\\list", &dir);
    std::vector<plat::native::DirectoryEntry> entries;
    ASSERT_EQ(dir.List(&entries, u"*.TXT"), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), (std::vector<std::u16string>{u"alpha.txt", u"beta.txt", u"Delta Long Name.txt"}));
    // DOS_STAR and DOS_QM, as the I/O system produces them from "*.*" and "????".
    ASSERT_EQ(dir.List(&entries, u"<\"doc"), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"gamma.doc"});
    ASSERT_EQ(dir.List(&entries, u">>>>>.txt"), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), (std::vector<std::u16string>{u"alpha.txt", u"beta.txt"}));
    // A pattern matching only the short name finds the entry.
    ASSERT_EQ(dir.List(&entries, u"DELTAL~1.*"), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"Delta Long Name.txt"});
}

TEST_F(DirectoryTest, DotsRestartSingleEntriesAndEndStatuses) {
    File dir;
    OpenList(u"C:\\list", &dir);
    std::vector<plat::native::DirectoryEntry> entries;
    ASSERT_EQ(dir.QueryDirectory(&entries, nullptr, true, true), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"."});
    ASSERT_EQ(dir.QueryDirectory(&entries, nullptr, false, true), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u".."});
    ASSERT_EQ(dir.QueryDirectory(&entries, nullptr, false, true), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"alpha.txt"}) << "NTFS collation order";
    ASSERT_EQ(dir.QueryDirectory(&entries, nullptr, false, false), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), (std::vector<std::u16string>{u"beta.txt", u"Delta Long Name.txt", u"gamma.doc"}));
    EXPECT_EQ(dir.QueryDirectory(&entries, nullptr, false, false), STATUS_NO_MORE_FILES);
    // A restart starts over with a new pattern.
    ASSERT_EQ(dir.QueryDirectory(&entries, u"gamma.doc", true, false), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"gamma.doc"});
    EXPECT_EQ(dir.QueryDirectory(&entries, nullptr, false, false), STATUS_NO_MORE_FILES);
    // Nothing at all matches: the first query says so differently.
    EXPECT_EQ(dir.QueryDirectory(&entries, u"*.xyz", true, false), STATUS_NO_SUCH_FILE);
    EXPECT_EQ(dir.QueryDirectory(&entries, u"missing.txt", true, false), STATUS_NO_SUCH_FILE);
    // The root lists no "." and "..".
    File root;
    OpenList(u"C:\\", &root);
    ASSERT_EQ(root.QueryDirectory(&entries, nullptr, true, true), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), std::vector<std::u16string>{u"list"});
    // An empty directory: "." and "..", then the end.
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\empty"), STATUS_SUCCESS);
    File empty;
    OpenList(u"C:\\empty", &empty);
    ASSERT_EQ(empty.QueryDirectory(&entries, nullptr, true, false), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries), (std::vector<std::u16string>{u".", u".."}));
    EXPECT_EQ(empty.QueryDirectory(&entries, nullptr, false, false), STATUS_NO_MORE_FILES);
}

TEST_F(DirectoryTest, FatListsInCreationOrderWithShortNames) {
    File dir;
    OpenList(u"D:\\list", &dir);
    std::vector<plat::native::DirectoryEntry> entries;
    ASSERT_EQ(dir.List(&entries), STATUS_SUCCESS);
    EXPECT_EQ(Names(entries),
              (std::vector<std::u16string>{u"alpha.txt", u"beta.txt", u"gamma.doc", u"Delta Long Name.txt"}));
    EXPECT_EQ(entries[3].ShortName, u"DELTAL~1.TXT");
    EXPECT_TRUE(entries[0].ShortName.empty());
}

TEST_F(DirectoryTest, AFirstEntryThatDoesNotFitOverflowsAndIsNotLost) {
    File dir;
    OpenList(u"C:\\list", &dir);
    // Room for the fixed part and a few characters of the name only.
    const ULONG fixed = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    plat::UserBuffer small(fixed + 4);
    IO_STATUS_BLOCK iosb;
    plat::UserBuffer pattern(16);
    memcpy(pattern.Get(), u"Delta*", 12);
    UNICODE_STRING p{12, 12, pattern.As<WCHAR>()};
    NTSTATUS status = NtQueryDirectoryFile(dir.Handle(), nullptr, nullptr, nullptr, &iosb, small.Get(),
                                           small.Size(), FileBothDirectoryInformation, TRUE, &p, TRUE);
    ASSERT_EQ(status, STATUS_BUFFER_OVERFLOW);
    auto* partial = small.As<FILE_BOTH_DIR_INFORMATION>();
    EXPECT_EQ(partial->FileNameLength, 19u * 2) << "the full length is reported";
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(partial->FileName), 2), u"De");
    EXPECT_EQ(partial->ShortNameLength, 12 * 2);
    // With room, the same entry comes next.
    plat::UserBuffer large(1024);
    ASSERT_EQ(NtQueryDirectoryFile(dir.Handle(), nullptr, nullptr, nullptr, &iosb, large.Get(), large.Size(),
                                   FileBothDirectoryInformation, TRUE, nullptr, FALSE), STATUS_SUCCESS);
    auto* whole = large.As<FILE_BOTH_DIR_INFORMATION>();
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(whole->FileName), whole->FileNameLength / 2),
              u"Delta Long Name.txt");
}

TEST_F(DirectoryTest, EachClassLaysOutItsEntries) {
    File dir;
    OpenList(u"C:\\list", &dir);
    plat::UserBuffer buffer(1024);
    IO_STATUS_BLOCK iosb;
    plat::UserBuffer pattern(32);
    memcpy(pattern.Get(), u"gamma.doc", 18);
    UNICODE_STRING p{18, 18, pattern.As<WCHAR>()};
    for (FILE_INFORMATION_CLASS cls : {FileDirectoryInformation, FileFullDirectoryInformation,
                                       FileBothDirectoryInformation, FileNamesInformation,
                                       FileIdBothDirectoryInformation}) {
        ASSERT_EQ(NtQueryDirectoryFile(dir.Handle(), nullptr, nullptr, nullptr, &iosb, buffer.Get(), buffer.Size(),
                                       cls, FALSE, &p, TRUE), STATUS_SUCCESS) << cls;
        const uint8_t* base = buffer.As<uint8_t>();
        ULONG nameOffset = 0, lengthOffset = 0;
        switch (cls) {
            case FileDirectoryInformation: nameOffset = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName); break;
            case FileFullDirectoryInformation: nameOffset = FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName); break;
            case FileBothDirectoryInformation: nameOffset = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName); break;
            case FileNamesInformation: nameOffset = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName); break;
            default: nameOffset = FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName); break;
        }
        lengthOffset = cls == FileNamesInformation ? FIELD_OFFSET(FILE_NAMES_INFORMATION, FileNameLength)
                                                   : FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileNameLength);
        ULONG length;
        memcpy(&length, base + lengthOffset, 4);
        EXPECT_EQ(length, 18u) << cls;
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(base + nameOffset), 9), u"gamma.doc") << cls;
        EXPECT_EQ(iosb.Information, nameOffset + 18u) << cls;
    }
    // The file ID of class 37 is the file's index number.
    File f;
    ASSERT_EQ(OpenPath(u"C:\\list\\gamma.doc", &f, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    FILE_INTERNAL_INFORMATION id;
    ASSERT_EQ(f.Query(FileInternalInformation, &id), STATUS_SUCCESS);
    EXPECT_EQ(buffer.As<FILE_ID_BOTH_DIR_INFORMATION>()->FileId.QuadPart, id.IndexNumber.QuadPart);
}

TEST_F(DirectoryTest, ChangeNotificationReportsACreate) {
    // An asynchronous directory handle and an event to learn of the change.
    File dir;
    ASSERT_EQ(OpenPath(u"C:\\list", &dir, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    HANDLE event = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE), STATUS_SUCCESS);
    plat::UserBuffer buffer(512);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtNotifyChangeDirectoryFile(dir.Handle(), event, nullptr, nullptr, &iosb, buffer.Get(), buffer.Size(),
                                          FILE_NOTIFY_CHANGE_FILE_NAME, FALSE), STATUS_PENDING);
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &zero), STATUS_TIMEOUT);
    // A change in another directory does not complete the watch.
    ASSERT_EQ(plat::native::WriteFile(u"C:\\elsewhere.txt", "e"), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &zero), STATUS_TIMEOUT);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\list\\new file.txt", "n", FILE_CREATE), STATUS_SUCCESS);
    ASSERT_EQ(ZwWaitForSingleObject(event, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    auto* record = buffer.As<FILE_NOTIFY_INFORMATION>();
    EXPECT_EQ(record->Action, FILE_ACTION_ADDED);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record->FileName), record->FileNameLength / 2),
              u"new file.txt");
    ZwClose(event);
}

}  // namespace
}  // namespace quilt_test
