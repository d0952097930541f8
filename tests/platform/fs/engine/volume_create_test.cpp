// Opening and creating through the engine: dispositions, options, the
// statuses of each refusal, share access, deletion semantics.
#include "engine_fixture.h"

namespace plat::fs::test {
namespace {

using VolumeCreate = EngineTest;

TEST_F(VolumeCreate, EachDispositionAgainstAMissingName) {
    struct Case { uint32_t disposition; NTSTATUS status; uint32_t information; };
    const Case cases[] = {
        {kSupersede, STATUS_SUCCESS, kResultCreated},   {kOpen, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {kCreate, STATUS_SUCCESS, kResultCreated},      {kOpenIf, STATUS_SUCCESS, kResultCreated},
        {kOverwrite, STATUS_OBJECT_NAME_NOT_FOUND, 0},  {kOverwriteIf, STATUS_SUCCESS, kResultCreated},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string path = "\\missing" + std::to_string(i++);
        CreateResult r = Open(path.c_str(), c.disposition);
        EXPECT_EQ(r.Status, c.status) << c.disposition;
        if (NT_SUCCESS(r.Status)) {
            EXPECT_EQ(r.Information, c.information) << c.disposition;
        }
        EXPECT_EQ(Exists(path.c_str()), NT_SUCCESS(c.status)) << c.disposition;
        CloseAll();
    }
}

TEST_F(VolumeCreate, EachDispositionAgainstAnExistingFile) {
    struct Case { uint32_t disposition; NTSTATUS status; uint32_t information; const char* after; };
    const Case cases[] = {
        {kSupersede, STATUS_SUCCESS, kResultSuperseded, ""},
        {kOpen, STATUS_SUCCESS, kResultOpened, "old data"},
        {kCreate, STATUS_OBJECT_NAME_COLLISION, 0, "old data"},
        {kOpenIf, STATUS_SUCCESS, kResultOpened, "old data"},
        {kOverwrite, STATUS_SUCCESS, kResultOverwritten, ""},
        {kOverwriteIf, STATUS_SUCCESS, kResultOverwritten, ""},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string path = "\\existing" + std::to_string(i++);
        MakeFile(path.c_str(), "old data");
        CreateResult r = Open(path.c_str(), c.disposition);
        EXPECT_EQ(r.Status, c.status) << c.disposition;
        if (NT_SUCCESS(r.Status)) {
            EXPECT_EQ(r.Information, c.information) << c.disposition;
        }
        CloseAll();
        EXPECT_EQ(ReadFile(path.c_str()), c.after) << c.disposition;
    }
}

TEST_F(VolumeCreate, RefusalsOfPathsAndKinds) {
    MakeDir("\\dir");
    MakeFile("\\dir\\file.txt", "x");
    EXPECT_EQ(OpenStatus("\\nodir\\file.txt", kOpen), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenStatus("\\nodir\\file.txt", kCreate), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenStatus("\\dir\\file.txt\\below", kOpen), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenStatus("\\dir\\missing", kOpen), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenStatus("\\dir\\file.txt", kOpen, kOptDirectoryFile), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(OpenStatus("\\dir", kOpen, kOptNonDirectoryFile), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(OpenStatus("\\dir", kOverwriteIf), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(OpenStatus("\\dir\\file.txt\\", kOpen), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenStatus("\\dir\\", kOpen), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\dir\\a*b", kCreate), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenStatus("\\di?\\file.txt", kOpen), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenStatus("\\dir\\\\file.txt", kOpen), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenStatus("dir\\file.txt", kOpen), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenStatus("\\dir\\x", kOpen, kOptDirectoryFile | kOptNonDirectoryFile), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenStatus("\\dir\\x", kSupersede, kOptDirectoryFile), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenStatus("\\dir\\x", kCreate, kOptDeleteOnClose, kFileGenericRead), STATUS_INVALID_PARAMETER);
}

TEST_F(VolumeCreate, NamesAreCaseInsensitiveAndCasePreserving) {
    MakeDir("\\Program Files");
    MakeFile("\\Program Files\\ReadMe.TXT", "hello");
    EXPECT_EQ(ReadFile("\\PROGRAM FILES\\readme.txt"), "hello");
    EXPECT_EQ(OpenStatus("\\program files\\README.txt", kCreate), STATUS_OBJECT_NAME_COLLISION);
    OpenFile* f = MustOpen("\\PROGRAM FILES\\README.TXT", kOpen);
    Name path;
    ASSERT_EQ(volume->PathOf(f, &path), STATUS_SUCCESS);
    EXPECT_EQ(path, N("\\Program Files\\ReadMe.TXT"));
}

TEST_F(VolumeCreate, ShortNamesAreGeneratedAndOpenTheSameFile) {
    MakeDir("\\Program Files");
    MakeDir("\\Programmes");
    MakeFile("\\Program Files\\a very long name.text", "data");
    OpenFile* f = MustOpen("\\PROGRA~1\\AVERYL~1.TEX", kOpen);
    EXPECT_EQ(Info(f).LongName, N("a very long name.text"));
    EXPECT_EQ(Info(f).ShortName, N("AVERYL~1.TEX"));
    Close(f);
    OpenFile* other = MustOpen("\\progra~2", kOpen, kOptDirectoryFile);
    EXPECT_EQ(Info(other).LongName, N("Programmes"));
    Close(other);
    // A legal 8.3 name gets no short name of its own.
    MakeFile("\\readme.txt");
    OpenFile* plain = MustOpen("\\README.TXT", kOpen);
    EXPECT_TRUE(Info(plain).ShortName.empty());
    // A short name is a name: creating it again collides.
    EXPECT_EQ(OpenStatus("\\Program Files\\AVERYL~1.TEX", kCreate), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(VolumeCreate, ShareAccessFollowsIoCheckShareAccess) {
    MakeFile("\\f");
    OpenFile* reader = MustOpen("\\f", kOpen, 0, kFileReadData, kShareRead);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileReadData, kShareRead | kShareWrite), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileWriteData, kAll), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileReadData, kShareWrite), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kDelete, kAll), STATUS_SHARING_VIOLATION);
    // Attribute-only opens neither conflict nor count.
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileReadAttributes | kSynchronize, 0), STATUS_SUCCESS);
    Close(reader);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileWriteData, 0), STATUS_SUCCESS);
    // Each stream has its own share access.
    OpenFile* exclusive = MustOpen("\\f", kOpen, 0, kReadWrite, 0);
    EXPECT_EQ(OpenStatus("\\f:side", kOpenIf, 0, kReadWrite, 0), STATUS_SUCCESS);
    Close(exclusive);
}

TEST_F(VolumeCreate, DeleteOnCloseWithTwoHandlesDeletesAtTheLastCleanup) {
    MakeFile("\\doc", "x");
    OpenFile* first = MustOpen("\\doc", kOpen, kOptDeleteOnClose, kReadWrite | kDelete, kAll);
    OpenFile* second = MustOpen("\\doc", kOpen, 0, kFileReadData, kAll);
    Close(first);
    EXPECT_TRUE(Info(second).DeletePending);
    EXPECT_EQ(OpenStatus("\\doc", kOpen, 0, kFileReadAttributes), STATUS_DELETE_PENDING);
    EXPECT_EQ(List("\\"), std::vector<std::string>{"doc"}) << "still listed while pending";
    Close(second);
    EXPECT_EQ(OpenStatus("\\doc", kOpen), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(List("\\").empty());
}

TEST_F(VolumeCreate, DispositionFalseCancelsDeleteOnClose) {
    MakeFile("\\keep", "x");
    OpenFile* f = MustOpen("\\keep", kOpen, kOptDeleteOnClose, kReadWrite | kDelete, kAll);
    OpenFile* other = MustOpen("\\keep", kOpen, 0, kReadWrite | kDelete, kAll);
    ASSERT_EQ(volume->SetDisposition(other, false), STATUS_SUCCESS);
    Close(f);
    Close(other);
    EXPECT_EQ(ReadFile("\\keep"), "x");
}

TEST_F(VolumeCreate, DispositionRefusals) {
    MakeDir("\\full");
    MakeFile("\\full\\child");
    OpenFile* dir = MustOpen("\\full", kOpen, kOptDirectoryFile);
    EXPECT_EQ(volume->SetDisposition(dir, true), STATUS_DIRECTORY_NOT_EMPTY);
    Close(dir);

    OpenFile* ro = MustOpen("\\ro", kCreate, 0, kReadWrite | kDelete, kAll);
    ASSERT_EQ(volume->SetBasic(ro, FileTimes{}, kAttrReadOnly, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(volume->SetDisposition(ro, true), STATUS_CANNOT_DELETE);
    Close(ro);
    EXPECT_EQ(OpenStatus("\\ro", kOpen, kOptDeleteOnClose, kDelete), STATUS_CANNOT_DELETE);
    EXPECT_EQ(OpenStatus("\\ro", kOpen, 0, kFileWriteData), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus("\\ro", kOverwriteIf, 0, kFileReadData), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus("\\ro", kOpen, 0, kDelete | kFileWriteAttributes), STATUS_SUCCESS);

    OpenFile* root = MustOpen("\\", kOpen, kOptDirectoryFile);
    EXPECT_EQ(volume->SetDisposition(root, true), STATUS_CANNOT_DELETE);
}

TEST_F(VolumeCreate, ImageSectionsRefuseDeletionAndWrites) {
    MakeFile("\\app.exe", "MZ");
    OpenFile* image = MustOpen("\\app.exe", kOpen, 0, kFileGenericRead | kDelete, kAll);
    ASSERT_EQ(volume->SetImageSection(image, true), STATUS_SUCCESS);
    EXPECT_EQ(volume->SetDisposition(image, true), STATUS_CANNOT_DELETE);
    EXPECT_EQ(OpenStatus("\\app.exe", kOpen, 0, kFileWriteData), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(OpenStatus("\\app.exe", kOverwriteIf, 0, kFileReadData), STATUS_SHARING_VIOLATION);
    ASSERT_EQ(volume->SetImageSection(image, false), STATUS_SUCCESS);
    EXPECT_EQ(volume->SetDisposition(image, true), STATUS_SUCCESS);
}

TEST_F(VolumeCreate, OverwriteGuardsHiddenAndSystemAndReplacesAttributes) {
    MakeFile("\\h", "abc");
    OpenFile* f = MustOpen("\\h", kOpen);
    ASSERT_EQ(volume->SetBasic(f, FileTimes{}, kAttrHidden | kAttrSystem, nullptr), STATUS_SUCCESS);
    Close(f);
    CreateRequest r;
    r.Path = N("\\h");
    r.Disposition = kOverwrite;
    r.DesiredAccess = kReadWrite;
    r.ShareAccess = kAll;
    r.Attributes = kAttrHidden;
    EXPECT_EQ(volume->Create(r).Status, STATUS_ACCESS_DENIED);
    r.Attributes = kAttrHidden | kAttrSystem | kAttrReadOnly;
    CreateResult ok = volume->Create(r);
    ASSERT_EQ(ok.Status, STATUS_SUCCESS);
    EXPECT_EQ(Info(ok.Open).Attributes, kAttrHidden | kAttrSystem | kAttrReadOnly | kAttrArchive);
    EXPECT_EQ(Info(ok.Open).EndOfFile, 0u);
    volume->Cleanup(ok.Open, false, ok.Open, 1);
    volume->Close(ok.Open);
}

TEST_F(VolumeCreate, OpenTargetDirectoryReportsWhetherTheNameExists) {
    MakeDir("\\d");
    MakeFile("\\d\\there");
    CreateRequest r;
    r.Path = N("\\d\\there");
    r.DesiredAccess = kFileWriteData | kSynchronize;
    r.ShareAccess = kAll;
    r.OpenTargetDirectory = true;
    CreateResult exists = volume->Create(r);
    ASSERT_EQ(exists.Status, STATUS_SUCCESS);
    EXPECT_EQ(exists.Information, kResultExists);
    EXPECT_EQ(exists.FinalComponent, N("there"));
    EXPECT_TRUE(Info(exists.Open).IsDirectory);
    r.Path = N("\\d\\NotThere");
    CreateResult missing = volume->Create(r);
    ASSERT_EQ(missing.Status, STATUS_SUCCESS);
    EXPECT_EQ(missing.Information, kResultDoesNotExist);
    EXPECT_EQ(missing.FinalComponent, N("NotThere"));
    r.Path = N("\\nodir\\x");
    EXPECT_EQ(volume->Create(r).Status, STATUS_OBJECT_PATH_NOT_FOUND);
    for (CreateResult* c : {&exists, &missing}) {
        volume->Cleanup(c->Open, false, c->Open, 1);
        volume->Close(c->Open);
    }
}

TEST_F(VolumeCreate, VolumeAndRootOpens) {
    CreateResult v = Open("", kOpen, kOptDirectoryFile, kSynchronize, kShareRead | kShareWrite);
    ASSERT_EQ(v.Status, STATUS_SUCCESS);
    EXPECT_EQ(v.Open->Kind, OpenKind::Volume);
    CreateResult v2 = Open("", kOpen, 0, kGenericRead | kGenericWrite, 0);
    EXPECT_EQ(v2.Status, STATUS_SUCCESS) << "a volume open without sharing conflicts only with data opens";
    EXPECT_EQ(OpenStatus("", kOpen, 0, kFileReadData, kAll), STATUS_SHARING_VIOLATION);
    OpenFile* root = MustOpen("\\", kOpen, kOptDirectoryFile, kSynchronize);
    EXPECT_EQ(Info(root).Id, kRootId);
    EXPECT_EQ(Info(root).Attributes, kAttrHidden | kAttrSystem | kAttrDirectory);
}

TEST_F(VolumeCreate, MetadataFilesOpenButStayUnlistedAndUnchangeable) {
    OpenFile* mft = MustOpen("\\$MFT", kOpen, 0, kFileReadAttributes);
    EXPECT_EQ(Info(mft).Id, kMftId);
    OpenFile* log = MustOpen("\\$logfile", kOpen, 0, kFileReadAttributes);
    EXPECT_EQ(Info(log).Id, kLogFileId);
    EXPECT_EQ(OpenStatus("\\$Extend", kOpen, kOptDirectoryFile, kFileReadAttributes), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus("\\$MFT", kOpen, 0, kFileWriteData), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenStatus("\\$Extend\\new", kCreate), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(List("\\").empty());
    MakeFile("\\user");
    OpenFile* user = MustOpen("\\user", kOpen);
    EXPECT_GE(Info(user).Id, kFirstUserId);
}

TEST_F(VolumeCreate, FileIdsNeverRepeat) {
    MakeFile("\\a");
    OpenFile* a = MustOpen("\\a", kOpen);
    FileId first = Info(a).Id;
    ASSERT_EQ(volume->SetDisposition(a, true), STATUS_SUCCESS);
    Close(a);
    MakeFile("\\a");
    OpenFile* again = MustOpen("\\a", kOpen);
    EXPECT_GT(Info(again).Id, first);
    CreateRequest byId;
    byId.By = OpenBy::FileId;
    byId.Id = first;
    byId.DesiredAccess = kFileReadAttributes;
    EXPECT_EQ(volume->Create(byId).Status, STATUS_INVALID_PARAMETER);
    byId.Id = Info(again).Id;
    CreateResult r = volume->Create(byId);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    Name path;
    volume->PathOf(r.Open, &path);
    EXPECT_EQ(path, N("\\a"));
    volume->Cleanup(r.Open, false, r.Open, 1);
    volume->Close(r.Open);
}

TEST_F(VolumeCreate, AllocationAndDiskFull) {
    Format(FsKind::Ntfs, 8ull << 20);
    VolumeInfo before = volume->Info();
    CreateRequest r;
    r.Path = N("\\big");
    r.Disposition = kCreate;
    r.DesiredAccess = kReadWrite;
    r.AllocationSize = (before.FreeClusters + 1) * before.ClusterSize;
    EXPECT_EQ(volume->Create(r).Status, STATUS_DISK_FULL);
    EXPECT_FALSE(Exists("\\big"));
    r.AllocationSize = 10000;
    CreateResult ok = volume->Create(r);
    ASSERT_EQ(ok.Status, STATUS_SUCCESS);
    EXPECT_EQ(Info(ok.Open).Allocation, 12288u);
    EXPECT_EQ(volume->Info().FreeClusters, before.FreeClusters - 3);
    volume->Cleanup(ok.Open, false, ok.Open, 1);
    volume->Close(ok.Open);
}

TEST_F(VolumeCreate, WriteProtectedVolumeRefusesChanges) {
    MakeFile("\\f", "x");
    volume->SetReadOnly(true);
    EXPECT_EQ(OpenStatus("\\g", kCreate), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(OpenStatus("\\f", kOpen, 0, kFileWriteData), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(ReadFile("\\f"), "x");
}

TEST_F(VolumeCreate, DismountedVolumeRefusesEverything) {
    MakeFile("\\f", "x");
    OpenFile* f = MustOpen("\\f", kOpen);
    volume->Dismount();
    EXPECT_EQ(Read(f, 0, 1), "<" + std::to_string(static_cast<uint32_t>(STATUS_VOLUME_DISMOUNTED)) + ">");
    EXPECT_EQ(OpenStatus("\\f", kOpen), STATUS_VOLUME_DISMOUNTED);
}

TEST_F(VolumeCreate, AccessChecksUseTheHooksOnlyWhenAsked) {
    MakeDir("\\secure");
    std::vector<uint8_t> denyAll{1, 2, 3};
    OpenFile* dir = MustOpen("\\secure", kOpen, kOptDirectoryFile, kWriteDac);
    ASSERT_EQ(volume->SetSecurity(dir, denyAll, nullptr), STATUS_SUCCESS);
    Close(dir);
    int checks = 0;
    SecurityHooks hooks;
    hooks.Check = [&](const std::vector<uint8_t>& sd, uint32_t desired, uint32_t* granted) {
        ++checks;
        if (sd == denyAll) return STATUS_ACCESS_DENIED;
        *granted = desired;
        return STATUS_SUCCESS;
    };
    CreateRequest r;
    r.Path = N("\\secure\\file");
    r.Disposition = kCreate;
    r.DesiredAccess = kReadWrite;
    r.Hooks = &hooks;
    CreateResult unchecked = volume->Create(r);
    EXPECT_EQ(unchecked.Status, STATUS_SUCCESS) << "kernel-mode requests are not checked";
    EXPECT_EQ(checks, 0);
    volume->Cleanup(unchecked.Open, false, unchecked.Open, 1);
    volume->Close(unchecked.Open);
    r.Path = N("\\secure\\other");
    r.CheckAccess = true;
    EXPECT_EQ(volume->Create(r).Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(checks, 1);
}

}  // namespace
}  // namespace plat::fs::test
