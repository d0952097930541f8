// IsDirectoryEmpty over listings answered by a recording device: which
// listings and which failures count as an empty directory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/driver_globals.h"
#include "io/io.h"
#include "lowerio/file_open.h"
#include "recording_device.h"
#include "rtl/convert.h"
#include "support/kernel_fixture.h"

namespace {

using quilt_test::RecordingDevice;

// Lays the names out as FILE_NAMES_INFORMATION entries, 8-byte aligned.
std::vector<UCHAR> NamesListing(const std::vector<std::string>& names) {
    std::vector<UCHAR> listing;
    size_t previous = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        std::u16string name = plat::Utf8ToUtf16(names[i]);
        size_t at = (listing.size() + 7) & ~size_t(7);
        size_t size = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + name.size() * 2;
        listing.resize(at + size);
        auto* entry = reinterpret_cast<PFILE_NAMES_INFORMATION>(listing.data() + at);
        entry->NextEntryOffset = 0;
        entry->FileIndex = 0;
        entry->FileNameLength = static_cast<ULONG>(name.size() * 2);
        memcpy(entry->FileName, name.data(), name.size() * 2);
        if (i > 0) {
            reinterpret_cast<PFILE_NAMES_INFORMATION>(listing.data() + previous)->NextEntryOffset =
                static_cast<ULONG>(at - previous);
        }
        previous = at;
    }
    return listing;
}

class DirectoryEmptyTest : public quilt_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        RtlZeroMemory(&g_Quilt, sizeof(g_Quilt));
        recorder_ = new RecordingDevice();
        directory_ = recorder_->Open(&handle_);
        ASSERT_NE(directory_, nullptr);
    }

    void TearDown() override {
        ObDereferenceObject(directory_);
        ZwClose(handle_);
        delete recorder_;
        KernelTest::TearDown();
    }

    // The device answers the next listing with these names.
    void Answer(const std::vector<std::string>& names) {
        listing_ = NamesListing(names);
        recorder_->Next().Status = STATUS_SUCCESS;
        recorder_->Next().Information = listing_.size();
        recorder_->Next().Fill = [this](PIRP irp, PIO_STACK_LOCATION stack) {
            ASSERT_LE(listing_.size(), stack->Parameters.QueryDirectory.Length);
            memcpy(irp->UserBuffer, listing_.data(), listing_.size());
        };
    }

    void Fail(NTSTATUS status) {
        recorder_->Next().Status = status;
        recorder_->Next().Fill = nullptr;
    }

    BOOLEAN Empty() { return IsDirectoryEmpty(recorder_->Device(), directory_); }

    RecordingDevice* recorder_ = nullptr;
    PFILE_OBJECT directory_ = nullptr;
    HANDLE handle_ = nullptr;
    std::vector<UCHAR> listing_;
};

TEST_F(DirectoryEmptyTest, OnlyTheDotEntriesMeanEmpty) {
    Answer({".", ".."});
    EXPECT_TRUE(Empty());
    const quilt_test::SeenRequest& seen = recorder_->Seen();
    EXPECT_EQ(seen.Stack.MinorFunction, IRP_MN_QUERY_DIRECTORY);
    EXPECT_EQ(seen.Stack.Parameters.QueryDirectory.FileInformationClass, FileNamesInformation);
    EXPECT_EQ(seen.Stack.Parameters.QueryDirectory.Length, 2048u);
    EXPECT_EQ(seen.Stack.Flags & SL_RESTART_SCAN, SL_RESTART_SCAN);
}

TEST_F(DirectoryEmptyTest, AnyOtherEntryMeansNotEmpty) {
    Answer({".", "..", "a"});
    EXPECT_FALSE(Empty());
    Answer({"x"});
    EXPECT_FALSE(Empty()) << "the root directory has no dot entries";
    Answer({".", "...", ".."});
    EXPECT_FALSE(Empty()) << "three dots are a name";
    Answer({"..a"});
    EXPECT_FALSE(Empty());
    Answer({"."});
    EXPECT_TRUE(Empty());
}

TEST_F(DirectoryEmptyTest, OnlyNoMoreFilesCountsAsAnEmptyFailedListing) {
    Fail(STATUS_NO_MORE_FILES);
    EXPECT_TRUE(Empty());
    Fail(STATUS_NO_SUCH_FILE);
    EXPECT_FALSE(Empty());
    Fail(STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Empty());
}

TEST_F(DirectoryEmptyTest, MissingArgumentsAreNeverEmpty) {
    EXPECT_FALSE(IsDirectoryEmpty(NULL, directory_));
    EXPECT_FALSE(IsDirectoryEmpty(recorder_->Device(), NULL));
    EXPECT_EQ(recorder_->Seen().Count, 0u);
}

}  // namespace
