// The store against a real NTFS volume (C:): short names resolved from the
// directory, generated candidates, file entries from the file system's own
// answers, and the store's log lines in quilt.log.
#include <string>
#include <vector>

#include "common/path_buffer.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "store/block_pool.h"
#include "store/file_entry.h"
#include "store/file_state.h"
#include "store/hash_table.h"
#include "store/path_mapping.h"
#include "store_fixture.h"
#include "support/volume_fixture.h"

namespace store_test {
namespace {

using plat::native::CreateDirectory;
using plat::native::File;

class StoreVolumeTest : public quilt_test::VolumeTest {
protected:
    void SetUp() override {
        VolumeTest::SetUp();
        m_Globals = new StoreGlobals();
        // The log goes to C:\Quilt\INI\quilt.log, as for an install folder there.
        ASSERT_EQ(CreateDirectory(u"C:\\Quilt"), STATUS_SUCCESS);
        ASSERT_EQ(CreateDirectory(u"C:\\Quilt\\INI"), STATUS_SUCCESS);
        RtlCopyMemory(g_Quilt.InstallFolder, L"C:\\Quilt\\INI\\", sizeof(L"C:\\Quilt\\INI\\"));
        g_Quilt.InstallDrive = 2;
        g_Quilt.PathBuffersReady = 1;

        m_Volume.DriveIndex = 2;
        m_Volume.Ntfs = 1;
        m_Volume.LowerDevice = FileSystemDeviceOfC();
        ASSERT_NE(m_Volume.LowerDevice, nullptr);
        ASSERT_TRUE(FileBlockInit(&m_Volume));
    }

    void TearDown() override {
        FileBlockTearDown(&m_Volume);
        g_Quilt.InstallDrive = 0;
        g_Quilt.InstallFolder[0] = 0;
        g_Quilt.PathBuffersReady = 0;
        delete m_Globals;
        VolumeTest::TearDown();
    }

    static PDEVICE_OBJECT FileSystemDeviceOfC() {
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK ioStatus = {};
        PFILE_OBJECT root = OpenLowerFile(&handle, SYNCHRONIZE, 2, L"\\", &ioStatus, nullptr, 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0,
                                          nullptr, 0);
        if (root == nullptr) return nullptr;
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(root);
        CloseLowerFile(root, handle);
        return device;
    }

    VolumeContext* Volume() { return &m_Volume; }
    StoreHeader* Header() { return m_Volume.Store; }
    FileStateRecord* State(BLOCK_ADDRESS Address) {
        return static_cast<FileStateRecord*>(FileBlockGetPtr(&m_Volume, Address, STORE_MAGIC_FILE_STATE));
    }
    BLOCK_ADDRESS Add(PCWSTR Path) { return FileStatePathAdd(&m_Volume, Path, STORE_TABLE_VOLUME_PATHS); }
    BLOCK_ADDRESS Find(PCWSTR Path, std::u16string* Mapped = nullptr, UCHAR* Status = nullptr) {
        std::vector<WCHAR> output(PATH_BUFFER_CHARS + 1);
        UCHAR status = 0;
        BLOCK_ADDRESS record = FileStatePathLookup(&m_Volume, Path, output.data(), &status,
                                                   STORE_TABLE_VOLUME_PATHS, FALSE, nullptr);
        if (Mapped != nullptr) *Mapped = U16(output.data());
        if (Status != nullptr) *Status = status;
        return record;
    }

    // The text of quilt.log (UTF-16LE after its byte-order mark).
    std::u16string Log() {
        std::string bytes;
        if (!NT_SUCCESS(plat::native::ReadFile(u"C:\\Quilt\\INI\\quilt.log", &bytes)) || bytes.size() < 2) {
            return u"";
        }
        std::u16string text((bytes.size() - 2) / 2, u'\0');
        memcpy(text.data(), bytes.data() + 2, text.size() * 2);
        return text;
    }
    bool Logged(const std::u16string& Line) { return Log().find(Line) != std::u16string::npos; }

    std::u16string ShortNameOnDisk(const char16_t* Directory, const char16_t* Name) {
        File directory;
        if (!NT_SUCCESS(quilt_test::OpenPath(Directory, &directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT))) {
            return u"<no directory>";
        }
        std::vector<plat::native::DirectoryEntry> entries;
        directory.List(&entries, Name);
        return entries.size() == 1 ? entries[0].ShortName : u"<not one entry>";
    }

private:
    StoreGlobals* m_Globals = nullptr;
    DeviceContext m_Volume{};
};

std::u16string Hex(ULONG Value) {
    const char16_t digits[] = u"0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), digits[Value % 16]);
        Value /= 16;
    } while (Value != 0);
    return text;
}

// ---- Short names -------------------------------------------------------------------------

TEST_F(StoreVolumeTest, AnExistingLongNamedDirectoryGetsItsShortNameFromTheVolume) {
    ASSERT_EQ(CreateDirectory(u"C:\\Program Files"), STATUS_SUCCESS);
    std::u16string onDisk = ShortNameOnDisk(u"C:\\", u"Program Files");
    ASSERT_EQ(onDisk, u"PROGRA~1");
    BLOCK_ADDRESS file = Add(L"\\Program Files\\app.exe");
    ASSERT_NE(file, 0u);
    FileStateRecord* directory = State(State(file)->Parent);
    EXPECT_EQ(U16(directory->LongName), u"Program Files");
    EXPECT_EQ(U16(directory->ShortName), u"PROGRA~1");
    EXPECT_EQ(Find(L"\\PROGRA~1\\app.exe"), file);
}

TEST_F(StoreVolumeTest, ANewLongNameGetsTheFirstCandidateFreeOnTheVolumeAndInTheStore) {
    ASSERT_EQ(CreateDirectory(u"C:\\Program Files"), STATUS_SUCCESS);  // PROGRA~1 on the volume
    FileStateAddEntry(Volume(), Header()->NameTable1, L"Programs Old", L"PROGRA~2", 0);  // PROGRA~2 in the store
    BLOCK_ADDRESS record = Add(L"\\Program Data");
    ASSERT_NE(record, 0u);
    EXPECT_EQ(U16(State(record)->ShortName), u"PROGRA~3");
    EXPECT_EQ(U16(State(record)->LongName), u"Program Data");
    // Nothing was created on the volume on the way.
    File probe;
    EXPECT_EQ(quilt_test::OpenPath(u"C:\\Program Data", &probe), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(StoreVolumeTest, AShortNameComponentIsStoredUnderTheRealLongName) {
    ASSERT_EQ(CreateDirectory(u"C:\\Documents and Settings"), STATUS_SUCCESS);
    ASSERT_EQ(ShortNameOnDisk(u"C:\\", u"Documents and Settings"), u"DOCUME~1");
    BLOCK_ADDRESS file = Add(L"\\DOCUME~1\\notes.txt");
    ASSERT_NE(file, 0u);
    BLOCK_ADDRESS directory = State(file)->Parent;
    EXPECT_EQ(U16(State(directory)->LongName), u"Documents and Settings");
    EXPECT_EQ(U16(State(directory)->ShortName), u"DOCUME~1");
    std::u16string mapped;
    EXPECT_EQ(Find(L"\\Documents and Settings\\notes.txt", &mapped), file);
    EXPECT_EQ(Find(L"\\docume~1\\NOTES.TXT", &mapped), file);
    EXPECT_EQ(mapped, u"\\Documents and Settings\\NOTES.TXT");
    EXPECT_EQ(Add(L"\\Documents and Settings\\notes.txt"), file);
}

TEST_F(StoreVolumeTest, AShortNameThatIsNoNameOnTheVolumeIsBothNames) {
    BLOCK_ADDRESS record = Add(L"\\ABC~1");
    ASSERT_NE(record, 0u);
    EXPECT_EQ(U16(State(record)->LongName), u"ABC~1");
    EXPECT_EQ(U16(State(record)->ShortName), u"ABC~1");
}

TEST_F(StoreVolumeTest, UntrackedShortNamesAreResolvedAndRememberedByLookups) {
    ASSERT_EQ(CreateDirectory(u"C:\\Program Files"), STATUS_SUCCESS);
    ASSERT_EQ(CreateDirectory(u"C:\\Program Files\\Common Files"), STATUS_SUCCESS);
    std::u16string mapped;
    UCHAR status = 0;
    EXPECT_EQ(Find(L"\\PROGRA~1\\COMMON~1\\shared.dll", &mapped, &status), 0u);
    EXPECT_EQ(status, PATH_WALK_UNTRACKED);
    EXPECT_EQ(mapped, u"\\Program Files\\Common Files\\shared.dll");
    // Both short names are in the store now.
    BLOCK_ADDRESS programs = FileStateLookup(Volume(), Header()->NameTable1, L"PROGRA~1");
    ASSERT_NE(programs, 0u);
    EXPECT_EQ(U16(State(programs)->LongName), u"Program Files");
    BLOCK_ADDRESS common = FileStateLookup(Volume(), State(programs)->ChildTable, L"common~1");
    ASSERT_NE(common, 0u);
    EXPECT_EQ(U16(State(common)->LongName), u"Common Files");
    // The next lookup maps through the records without asking the volume.
    EXPECT_EQ(Find(L"\\PROGRA~1\\COMMON~1", &mapped, &status), common);
    EXPECT_EQ(mapped, u"\\Program Files\\Common Files");
}

// ---- File entries ---------------------------------------------------------------------

TEST_F(StoreVolumeTest, TwoLinksOfOneFileShareOneFileEntry) {
    ASSERT_EQ(CreateDirectory(u"C:\\data"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\data\\a.txt", "content"), STATUS_SUCCESS);
    {
        File a;
        ASSERT_EQ(quilt_test::OpenPath(u"C:\\data\\a.txt", &a, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE),
                  STATUS_SUCCESS);
        ASSERT_EQ(a.Link(u"C:\\data\\b.txt", false), STATUS_SUCCESS);
    }
    LowerFileHolder first;
    LowerFileHolder second;
    ASSERT_EQ(first.Open(FILE_READ_ATTRIBUTES, 2, L"\\data\\a.txt", 0, FILE_SHARE_READ, FILE_OPEN, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(second.Open(FILE_READ_ATTRIBUTES, 2, L"\\data\\b.txt", 0, FILE_SHARE_READ, FILE_OPEN, 0),
              STATUS_SUCCESS);

    BLOCK_ADDRESS firstAddress = 0;
    FileEntryRecord* entry = FileEntryCreate(Volume(), first.FileObject, 0, 0, Add(L"\\data\\a.txt"), &firstAddress);
    ASSERT_NE(entry, nullptr);
    EXPECT_NE(ULONGLONG{entry->FileIndex}, 0u);
    EXPECT_EQ(entry->LinkCount, 2u);
    BLOCK_ADDRESS secondState = Add(L"\\data\\b.txt");
    ULONG freeUnits = Volume()->BlockDescriptors[0].FreeUnits;
    BLOCK_ADDRESS secondAddress = 0;
    EXPECT_EQ(FileEntryCreate(Volume(), second.FileObject, 0, 0, secondState, &secondAddress), entry);
    EXPECT_EQ(secondAddress, firstAddress);
    EXPECT_EQ(Volume()->BlockDescriptors[0].FreeUnits, freeUnits);
    EXPECT_EQ(FileEntryGet(Volume(), entry->FileIndex, nullptr), entry);
}

// ---- Log lines ---------------------------------------------------------------------------

TEST_F(StoreVolumeTest, InvalidTablesAnswerMinusOneAndAreLogged) {
    BLOCK_ADDRESS root = Header()->RootState;
    EXPECT_EQ(FileStateLookup(Volume(), root, L"name"), 0u);
    EXPECT_TRUE(Logged(u"FileBlockHashGetOrg() Invalid hash table at " + Hex(root)));
    EXPECT_TRUE(Logged(u"FileStateLookup() Invalid hash table! address=" + Hex(root) + u" name=name"));
    EXPECT_EQ(FileStateAddEntry(Volume(), root, L"other", nullptr, 0), 0u);
    EXPECT_TRUE(Logged(u"FileStateAddEntry() Invalid hash table! address=" + Hex(root) + u" name=other"));
    FileStateRemove(Volume(), root, L"other");
    EXPECT_TRUE(Logged(u"FileBlockHashRemove() Invalid hash table at " + Hex(root)));

    BLOCK_ADDRESS indexTable = Header()->FileIndexTable;
    Header()->FileIndexTable = root;
    EXPECT_EQ(FileEntryGet(Volume(), 0x123456789ull, nullptr), nullptr);
    EXPECT_TRUE(Logged(u"FileEntryGet() Invalid hash table! address=" + Hex(root) + u" llFileIndex=123456789"));
    BLOCK_ADDRESS item = 0;
    EXPECT_EQ(FileEntryPtrAdd(Volume(), 0x42, &item), nullptr);
    EXPECT_TRUE(Logged(u"FileEntryPtrAdd() Invalid hash table! address=" + Hex(root) + u" llFileIndex=42"));
    Header()->FileIndexTable = indexTable;
}

TEST_F(StoreVolumeTest, DamagedRecordsAreLogged) {
    FileEntryRemove(Volume(), nullptr, Header()->RootState);
    EXPECT_TRUE(Logged(u"FileEntryRemove() Invalid file entry address=" + Hex(Header()->RootState)));

    BLOCK_ADDRESS chain = FileBlockSetString(Volume(), 0, L"\\some\\path");
    WCHAR small[4];
    EXPECT_EQ(FileBlockGetData(Volume(), chain, small, sizeof(small)), 0u);
    EXPECT_TRUE(Logged(u"FileBlockGetData() Invalid data length at " + Hex(chain) + u" len=14."));

    FileStateRecord* state = State(Add(L"\\gone.txt"));
    state->Flags = FILE_STATE_PRESENT;
    state->FileEntry = Header()->RootState;  // not a file entry
    FileStateUpdateFlag(Volume(), FILE_STATE_UPDATE_DELETED, state, nullptr, TRUE, L"\\gone.txt", nullptr);
    std::u16string log = Log();
    size_t at = log.find(u"FileStateUpdateFlag() Invalid data access at " + Hex(Header()->RootState) + u" Process=");
    ASSERT_NE(at, std::u16string::npos) << "no line";
    EXPECT_NE(log.find(u"Path=\\gone.txt", at), std::u16string::npos);
    EXPECT_EQ(Find(L"\\gone.txt"), 0u);
}

}  // namespace
}  // namespace store_test
