// FileObjectStatus records, the open-file table and the string table: making
// records, registering and counting them, and both tables under creates and
// closes from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/path_buffer.h"
#include "common/pool_tags.h"
#include "ex/pool.h"
#include "frame/driver_globals.h"
#include "request_rig.h"
#include "requests/file_object_status.h"
#include "rtl/convert.h"
#include "store/block_pool.h"
#include "store/file_state.h"
#include "store/store_lock.h"
#include "support/quilt_driver_fixture.h"

namespace {

using namespace quilt_test;

class FileObjectStatusTest : public QuiltDriverTest {
protected:
    void SetUp() override {
        QuiltDriverTest::SetUp();
        volume_.DriveIndex = kRigDrive;
        baseline_ = plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER);
    }

    void TearDown() override {
        plat::PoolSetFailurePredicate(nullptr);
        if (Loaded()) ExpectNothingLeft();
        QuiltDriverTest::TearDown();
    }

    void ExpectNothingLeft() {
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_VOLUME_PATH), 0u);
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PHYSICAL_PATH), 0u);
        EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_DEFAULT), 0u) << "open-name records";
    }

    // A record for `file` with its physical path, registered.
    FileObjectStatus* Open(FILE_OBJECT* file, const std::u16string& physical, UCHAR deleteOnClose = 0) {
        FileObjectStatus* status = FileObjectStatusCreate(&volume_, file, L"\\program\\view.txt");
        EXPECT_NE(status, nullptr);
        if (status == nullptr) return nullptr;
        EXPECT_TRUE(FileObjectStatusSetPhysicalPath(status, plat::WidePtr(physical), (ULONG)physical.size()));
        status->DeleteOnClose = deleteOnClose;
        EXPECT_EQ(FileObjectStatusRegister(status, file), STATUS_SUCCESS);
        return status;
    }

    LONG Cleanup(FILE_OBJECT* file, FileObjectStatus* expected) {
        LONG mark = -1;
        EXPECT_EQ(FileObjectStatusCountCleanup(file, &mark), expected);
        return mark;
    }

    LONG Close(FILE_OBJECT* file, FileObjectStatus* expected) {
        LONG mark = -1;
        FileObjectStatus* status = FileObjectStatusCountClose(file, &mark);
        EXPECT_EQ(status, expected);
        FileObjectStatusFree(status);
        return mark;
    }

    OpenNameRecord* OpenNameOf(const std::u16string& path) {
        AcquireExclusive(&g_Quilt.OpenFileLock);
        PVOID record = NameTableLookup(&g_Quilt.StringTable, const_cast<PWSTR>(plat::WidePtr(path)));
        ReleaseExclusive(&g_Quilt.OpenFileLock);
        return static_cast<OpenNameRecord*>(record);
    }

    DeviceContext volume_{};
    SIZE_T baseline_ = 0;
};

// ---- Making records ---------------------------------------------------------------------

TEST_F(FileObjectStatusTest, ARecordHoldsACopyOfThePathAndTheRelatedFileObject) {
    FILE_OBJECT related{};
    FILE_OBJECT file{};
    file.RelatedFileObject = &related;
    std::u16string path = u"\\dir\\name.txt";
    FileObjectStatus* status = FileObjectStatusCreate(&volume_, &file, plat::WidePtr(path));
    ASSERT_NE(status, nullptr);
    path[1] = u'X';  // the record has its own copy
    EXPECT_EQ(plat::Utf16ToUtf8(status->VolumePath), "\\dir\\name.txt");
    EXPECT_EQ(plat::Utf16ToUtf8(status->VolumePathString), "\\dir\\name.txt");
    EXPECT_EQ(status->VolumePathString.Length, 13 * sizeof(WCHAR));
    EXPECT_EQ(status->Volume, &volume_);
    EXPECT_EQ(status->SavedRelatedFileObject, &related);
    EXPECT_EQ(status->FileState, 0u);
    EXPECT_EQ(status->OpenName, nullptr);
    EXPECT_EQ(status->PhysicalPath, nullptr);
    EXPECT_EQ(FileObjectStatusLookup(&file), nullptr) << "the create path registers its own records";
    FileObjectStatusFree(status);
}

TEST_F(FileObjectStatusTest, RecordsComeZeroFilledFromTheirList) {
    FILE_OBJECT file{};
    FileObjectStatus* first = FileObjectStatusCreate(&volume_, &file, L"\\a");
    ASSERT_NE(first, nullptr);
    first->Discard = 1;
    first->FileIndex = 99;
    first->HardLink = 1;
    FileObjectStatusFree(first);
    FileObjectStatus* second = FileObjectStatusCreate(&volume_, &file, L"\\b");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Discard, 0);
    EXPECT_EQ(second->FileIndex, 0u);
    EXPECT_EQ(second->HardLink, 0);
    FileObjectStatusFree(second);
}

TEST_F(FileObjectStatusTest, MissingArgumentsAndMemoryGiveNoRecord) {
    FILE_OBJECT file{};
    EXPECT_EQ(FileObjectStatusCreate(nullptr, &file, L"\\a"), nullptr);
    EXPECT_EQ(FileObjectStatusCreate(&volume_, nullptr, L"\\a"), nullptr);
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_VOLUME_PATH; });
    EXPECT_EQ(FileObjectStatusCreate(&volume_, &file, L"\\a"), nullptr);
    EXPECT_EQ(FileObjectStatusLookup(nullptr), nullptr);
}

TEST_F(FileObjectStatusTest, WithoutPathTheNameIsAskedBelowAndTheRecordRegistered) {
    RequestRig rig;
    rig.Answer().FileName = u"\\from\\below.dat";
    FILE_OBJECT file{};
    FileObjectStatus* status = FileObjectStatusCreate(rig.Context(), &file, NULL);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(rig.Seen().MajorFunction, IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(plat::Utf16ToUtf8(status->VolumePath), "\\from\\below.dat");
    EXPECT_NE(DebuggerLines().find("FileName=\\from\\below.dat\n"), std::string::npos);
    EXPECT_EQ(FileObjectStatusLookup(&file), status);
    EXPECT_EQ(Close(&file, status), 0);
}

TEST_F(FileObjectStatusTest, WithoutPathAFailedQueryGivesNoRecord) {
    RequestRig rig;
    rig.Answer().Status = STATUS_INVALID_DEVICE_REQUEST;
    FILE_OBJECT file{};
    EXPECT_EQ(FileObjectStatusCreate(rig.Context(), &file, NULL), nullptr);
    EXPECT_EQ(FileObjectStatusLookup(&file), nullptr);
}

TEST_F(FileObjectStatusTest, WithoutPathARecordThatCannotBeEnteredIsNotKept) {
    RequestRig rig;
    rig.Answer().FileName = u"\\x";
    FILE_OBJECT file{};
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_NAME_NODE; });
    EXPECT_EQ(FileObjectStatusCreate(rig.Context(), &file, NULL), nullptr);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(FileObjectStatusLookup(&file), nullptr);
    // TearDown: no path string is left behind.
}

// ---- Registration and counting ------------------------------------------------------------

TEST_F(FileObjectStatusTest, FileObjectsOnOnePathShareOneOpenNameRecord) {
    FILE_OBJECT a{}, b{};
    FileObjectStatus* first = Open(&a, u"\\Data\\File.txt");
    FileObjectStatus* second = Open(&b, u"\\DATA\\file.TXT");  // the string table ignores case
    ASSERT_NE(first->OpenName, nullptr);
    EXPECT_EQ(first->OpenName, second->OpenName);
    EXPECT_EQ(first->OpenName->ReferenceCount, 2);
    EXPECT_EQ(first->OpenName->HandleCount, 2);
    EXPECT_EQ(FileObjectStatusLookup(&a), first);
    EXPECT_EQ(FileObjectStatusLookup(&b), second);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), baseline_ + 1) << "one key buffer";

    EXPECT_EQ(Cleanup(&a, first), 0);
    EXPECT_EQ(Cleanup(&b, second), 0);
    EXPECT_EQ(Close(&a, first), 0);
    EXPECT_NE(OpenNameOf(u"\\data\\file.txt"), nullptr) << "one file object is still open";
    EXPECT_EQ(Close(&b, second), 0);
    EXPECT_EQ(OpenNameOf(u"\\data\\file.txt"), nullptr);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), baseline_) << "the key buffer went back";
}

TEST_F(FileObjectStatusTest, TheDeleteMarkIsActedOnByTheLastCleanupAndTheLastClose) {
    FILE_OBJECT a{}, b{};
    FileObjectStatus* first = Open(&a, u"\\x", 1);  // FILE_DELETE_ON_CLOSE on the first handle
    FileObjectStatus* second = Open(&b, u"\\x");
    EXPECT_EQ(first->OpenName->DeleteMark, 1);
    EXPECT_EQ(Cleanup(&a, first), 0) << "another handle is still open";
    EXPECT_EQ(Cleanup(&b, second), 1);
    EXPECT_EQ(Close(&b, second), 0);
    EXPECT_EQ(Close(&a, first), 1);
}

TEST_F(FileObjectStatusTest, ALaterDeleteOnCloseSetsTheMarkOfAnExistingRecord) {
    FILE_OBJECT a{}, b{};
    FileObjectStatus* first = Open(&a, u"\\x");
    FileObjectStatus* second = Open(&b, u"\\x", 1);
    EXPECT_EQ(first->OpenName->DeleteMark, 1);
    Cleanup(&a, first);
    Cleanup(&b, second);
    Close(&a, first);
    Close(&b, second);
}

TEST_F(FileObjectStatusTest, AFileObjectEnteredTwiceIsFoundByItsNewerRecordFirst) {
    FILE_OBJECT file{};
    FileObjectStatus* older = Open(&file, u"\\one");
    FileObjectStatus* newer = Open(&file, u"\\two");
    EXPECT_EQ(FileObjectStatusLookup(&file), newer);
    EXPECT_EQ(Close(&file, newer), 0);
    EXPECT_EQ(FileObjectStatusLookup(&file), older);
    EXPECT_EQ(Close(&file, older), 0);
    EXPECT_EQ(FileObjectStatusLookup(&file), nullptr);
}

TEST_F(FileObjectStatusTest, CountingAFileObjectWithoutRecordFindsNothing) {
    FILE_OBJECT file{};
    LONG mark = -1;
    EXPECT_EQ(FileObjectStatusCountCleanup(&file, &mark), nullptr);
    EXPECT_EQ(mark, 0);
    EXPECT_EQ(FileObjectStatusCountClose(&file, &mark), nullptr);
    EXPECT_EQ(mark, 0);
}

TEST_F(FileObjectStatusTest, ARegistrationThatCannotCountLeavesBothTablesAsTheyWere) {
    FILE_OBJECT file{};
    FileObjectStatus* status = FileObjectStatusCreate(&volume_, &file, L"\\a");
    ASSERT_TRUE(FileObjectStatusSetPhysicalPath(status, L"\\a", 2));
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_DEFAULT; });
    EXPECT_EQ(FileObjectStatusRegister(status, &file), STATUS_INSUFFICIENT_RESOURCES);
    plat::PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return tag == QUILT_TAG_NAME_NODE; });
    EXPECT_EQ(FileObjectStatusRegister(status, &file), STATUS_INSUFFICIENT_RESOURCES);
    plat::PoolSetFailurePredicate(nullptr);
    EXPECT_EQ(FileObjectStatusLookup(&file), nullptr);
    EXPECT_EQ(OpenNameOf(u"\\a"), nullptr);
    EXPECT_EQ(status->OpenName, nullptr);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), baseline_);
    FileObjectStatusFree(status);
}

TEST_F(FileObjectStatusTest, ARecordWithoutPhysicalPathIsRegisteredWithoutCounting) {
    FILE_OBJECT file{};
    FileObjectStatus* status = FileObjectStatusCreate(&volume_, &file, L"\\a");
    ASSERT_EQ(FileObjectStatusRegister(status, &file), STATUS_SUCCESS);
    EXPECT_EQ(status->OpenName, nullptr);
    EXPECT_EQ(Cleanup(&file, status), 0);
    EXPECT_EQ(Close(&file, status), 0);
}

TEST_F(FileObjectStatusTest, TheLastCloseRetiresTheRecordEvenAfterThePhysicalPathChanged) {
    FILE_OBJECT file{};
    FileObjectStatus* status = Open(&file, u"\\before");
    ASSERT_TRUE(FileObjectStatusSetPhysicalPath(status, L"\\after", 6));
    Cleanup(&file, status);
    Close(&file, status);
    EXPECT_EQ(OpenNameOf(u"\\before"), nullptr);
    // TearDown: no open-name record is left.
}

// ---- Many threads ---------------------------------------------------------------------------

constexpr int kThreads = 8;
constexpr int kRounds = 150;
const std::u16string kSharedPaths[] = {u"\\shared\\a", u"\\shared\\b", u"\\SHARED\\A"};

TEST_F(FileObjectStatusTest, ConcurrentCreatesAndClosesEndWithEmptyTables) {
    std::atomic<int> failures{0};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            FILE_OBJECT file{};
            for (int round = 0; round < kRounds; ++round) {
                const std::u16string& path = kSharedPaths[(t + round) % 3];
                FileObjectStatus* status = FileObjectStatusCreate(&volume_, &file, L"\\v");
                if (status == nullptr ||
                    !FileObjectStatusSetPhysicalPath(status, plat::WidePtr(path), (ULONG)path.size()) ||
                    FileObjectStatusRegister(status, &file) != STATUS_SUCCESS) {
                    ++failures;
                    FileObjectStatusFree(status);
                    continue;
                }
                if (FileObjectStatusLookup(&file) != status) ++failures;
                LONG mark = 0;
                if (FileObjectStatusCountCleanup(&file, &mark) != status) ++failures;
                FileObjectStatus* closed = FileObjectStatusCountClose(&file, &mark);
                if (closed != status) ++failures;
                FileObjectStatusFree(closed);
            }
        }));
    }
    for (HANDLE thread : threads) JoinSystemThread(thread);
    EXPECT_EQ(failures.load(), 0);
    for (const std::u16string& path : kSharedPaths) EXPECT_EQ(OpenNameOf(path), nullptr);
    EXPECT_EQ(plat::PoolLiveAllocationsWithTag(QUILT_TAG_PATH_BUFFER), baseline_);
}

TEST_F(FileObjectStatusTest, ConcurrentOpensOfOnePathCountEveryFileObject) {
    std::vector<FILE_OBJECT> files(kThreads * 4);
    std::vector<FileObjectStatus*> statuses(files.size(), nullptr);
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            for (int i = t; i < (int)files.size(); i += kThreads) {
                statuses[i] = Open(&files[i], u"\\one\\path", i == 5 ? 1 : 0);
            }
        }));
    }
    for (HANDLE thread : threads) JoinSystemThread(thread);
    OpenNameRecord* record = OpenNameOf(u"\\one\\path");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ReferenceCount, (LONG)files.size());
    EXPECT_EQ(record->HandleCount, (LONG)files.size());

    // Cleanups and closes from all threads: exactly one cleanup and one close
    // see their count reach zero and take the delete mark.
    std::atomic<int> cleanupMarks{0}, closeMarks{0};
    threads.clear();
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            for (int i = t; i < (int)files.size(); i += kThreads) {
                LONG mark = 0;
                FileObjectStatusCountCleanup(&files[i], &mark);
                cleanupMarks += mark;
            }
        }));
    }
    for (HANDLE thread : threads) JoinSystemThread(thread);
    threads.clear();
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartSystemThread([&, t] {
            for (int i = t; i < (int)files.size(); i += kThreads) {
                LONG mark = 0;
                FileObjectStatusFree(FileObjectStatusCountClose(&files[i], &mark));
                closeMarks += mark;
            }
        }));
    }
    for (HANDLE thread : threads) JoinSystemThread(thread);
    EXPECT_EQ(cleanupMarks.load(), 1);
    EXPECT_EQ(closeMarks.load(), 1);
    EXPECT_EQ(OpenNameOf(u"\\one\\path"), nullptr);
}

// ---- Store records of a file object -------------------------------------------------------

class FileObjectStateTest : public FileObjectStatusTest {
protected:
    void SetUp() override {
        FileObjectStatusTest::SetUp();
        ASSERT_TRUE(FileBlockInit(&volume_));
        status_ = FileObjectStatusCreate(&volume_, &file_, L"\\docs\\letter.txt");
        ASSERT_NE(status_, nullptr);
    }
    void TearDown() override {
        FileObjectStatusFree(status_);
        FileBlockTearDown(&volume_);
        FileObjectStatusTest::TearDown();
    }
    FILE_OBJECT file_{};
    FileObjectStatus* status_ = nullptr;
};

TEST_F(FileObjectStateTest, TheStateIsMadeOnlyWhenAsked) {
    StoreLockScope lock;
    EXPECT_EQ(FileObjectStatusGetState(status_, FALSE), nullptr);
    EXPECT_EQ(status_->FileState, 0u);
    FileStateRecord* state = FileObjectStatusGetState(status_, TRUE);
    ASSERT_NE(state, nullptr);
    EXPECT_NE(status_->FileState, 0u);
    EXPECT_EQ(plat::Utf16ToUtf8(state->LongName), "letter.txt");
    state->Flags |= FILE_STATE_HIDDEN;
    EXPECT_EQ(FileObjectStatusGetState(status_, FALSE), state) << "found again by its address";
    EXPECT_EQ(status_->Flags & FILE_STATE_HIDDEN, FILE_STATE_HIDDEN) << "the flags are copied";
}

TEST_F(FileObjectStateTest, TheAttributeRecordIsMadeInTheStatesBlockAndMarked) {
    StoreLockScope lock;
    EXPECT_EQ(FileObjectStatusGetFileAttribute(status_, FALSE), nullptr);
    FileAttributeRecord* attributes = FileObjectStatusGetFileAttribute(status_, TRUE);
    ASSERT_NE(attributes, nullptr);
    EXPECT_EQ(attributes->Magic, STORE_MAGIC_ATTRIBUTES);
    FileStateRecord* state = FileObjectStatusGetState(status_, FALSE);
    ASSERT_NE(state, nullptr);
    EXPECT_NE(state->Flags & FILE_STATE_HAS_ATTRIBUTES, 0);
    EXPECT_EQ(BlockIndexOf(state->Attributes), BlockIndexOf(status_->FileState));
    EXPECT_EQ(FileObjectStatusGetFileAttribute(status_, FALSE), attributes);
    attributes->Magic = 0;
    EXPECT_EQ(FileObjectStatusGetFileAttribute(status_, FALSE), attributes) << "read without a magic check";
    EXPECT_EQ(FileObjectStatusGetFileAttribute(status_, TRUE)->Magic, STORE_MAGIC_ATTRIBUTES)
        << "the magic is written at every create";
}

TEST_F(FileObjectStateTest, UpdateFlagMarksTheNameDeletedOrHidden) {
    status_->Discard = 1;
    status_->Target = 1;
    FileObjectStatusUpdateFlag(status_, TRUE);
    StoreLockScope lock;
    FileStateRecord* state = FileObjectStatusGetState(status_, FALSE);
    ASSERT_NE(state, nullptr) << "made because of the discard flag, and kept";
    EXPECT_EQ(state->Flags & FILE_STATE_HIDDEN, FILE_STATE_HIDDEN);
    EXPECT_EQ(state->Flags & FILE_STATE_PRESENT, 0);
}

TEST_F(FileObjectStateTest, UpdateFlagWithoutDiscardTouchesNoUntrackedName) {
    FileObjectStatusUpdateFlag(status_, FALSE);
    EXPECT_EQ(status_->FileState, 0u);
}

}  // namespace
