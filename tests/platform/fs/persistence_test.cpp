// What survives: reboots, crashes, and disks saved to host files.
#include "support/volume_fixture.h"

#include "fs/engine/volume.h"

#include <stdio.h>
#include <unistd.h>

#include <fstream>

namespace quilt_test {
namespace {

using plat::native::File;

class PersistenceTest : public VolumeTest {
protected:
    std::string TempPath(const char* name) {
        return std::string(testing::TempDir()) + "quilt-fs-" + std::to_string(getpid()) + "-" + name;
    }

    void Populate() {
        ASSERT_EQ(plat::native::CreateDirectory(u"C:\\Documents and Settings"), STATUS_SUCCESS);
        ASSERT_EQ(plat::native::WriteFile(u"C:\\Documents and Settings\\notes.txt", "remember"), STATUS_SUCCESS);
        ASSERT_EQ(plat::native::WriteFile(u"C:\\Documents and Settings\\notes.txt:meta", "m"), STATUS_SUCCESS);
        File f;
        ASSERT_EQ(OpenPath(u"C:\\Documents and Settings\\notes.txt", &f, FILE_READ_ATTRIBUTES | SYNCHRONIZE),
                  STATUS_SUCCESS);
        ASSERT_EQ(f.Link(u"C:\\notes-link.txt", false), STATUS_SUCCESS);
        ASSERT_EQ(plat::native::WriteFile(u"D:\\fat.txt", "on fat"), STATUS_SUCCESS);
    }

    void ExpectPopulated() {
        EXPECT_EQ(ReadText(u"C:\\DOCUME~1\\notes.txt"), "remember");
        EXPECT_EQ(ReadText(u"C:\\Documents and Settings\\notes.txt:meta"), "m");
        EXPECT_EQ(ReadText(u"C:\\notes-link.txt"), "remember");
        EXPECT_EQ(ReadText(u"D:\\fat.txt"), "on fat");
    }
};

TEST_F(PersistenceTest, ARebootKeepsEverything) {
    Populate();
    Reboot();
    ExpectPopulated();
}

TEST_F(PersistenceTest, ACrashKeepsOnlyWhatWasFlushed) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\flushed.txt", "safe"), STATUS_SUCCESS);
    {
        File volume;
        ASSERT_EQ(OpenPath(u"C:", &volume, GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
        ASSERT_EQ(volume.Flush(), STATUS_SUCCESS);
    }
    {
        // A write-through handle reaches the disk with each write (and, as a
        // journal commit, with it everything changed before).
        File through;
        ASSERT_EQ(OpenPath(u"C:\\through.txt", &through, GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH), STATUS_SUCCESS);
        ASSERT_EQ(through.Write(0, "durable"), STATUS_SUCCESS);
    }
    ASSERT_EQ(plat::native::WriteFile(u"C:\\lost.txt", "gone"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\flushed.txt", "changed"), STATUS_SUCCESS);
    Crash();
    EXPECT_EQ(ReadText(u"C:\\flushed.txt"), "safe");
    EXPECT_EQ(ReadText(u"C:\\through.txt"), "durable");
    EXPECT_EQ(ReadText(u"C:\\lost.txt"), "<" + std::to_string(uint32_t(STATUS_OBJECT_NAME_NOT_FOUND)) + ">");
}

TEST_F(PersistenceTest, ASavedDiskLoadsIdenticalInANewKernel) {
    Populate();
    Reboot();  // everything flushed
    std::string path = TempPath("saved.disk");
    std::string error;
    ASSERT_TRUE(SystemDisk->Save(path, &error)) << error;
    Reboot();  // a new kernel
    std::shared_ptr<plat::storage::Disk> loaded;
    ASSERT_TRUE(plat::storage::Disk::Load(path, &loaded, &error)) << error;
    EXPECT_EQ(loaded->Serialize(), SystemDisk->Serialize());
    EXPECT_EQ(loaded->Config().Label, u"SYSTEM");
    EXPECT_EQ(loaded->Config().SerialNumber, SystemDisk->Config().SerialNumber);

    // The loaded disk, as E: of the new kernel, reads the same.
    ASSERT_EQ(plat::storage::Attach(loaded, L'E'), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(u"E:\\Documents and Settings\\notes.txt"), "remember");
    EXPECT_EQ(ReadText(u"E:\\notes-link.txt"), "remember");
    File f;
    ASSERT_EQ(OpenPath(u"E:\\notes-link.txt", &f, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard;
    ASSERT_EQ(f.Query(FileStandardInformation, &standard), STATUS_SUCCESS);
    EXPECT_EQ(standard.NumberOfLinks, 2u);
    unlink(path.c_str());
}

TEST_F(PersistenceTest, DamagedOrForeignFilesAreRefusedWithAReason) {
    std::string path = TempPath("damaged.disk");
    std::string error;
    ASSERT_TRUE(SystemDisk->Save(path, &error)) << error;
    std::vector<uint8_t> good = SystemDisk->Serialize();
    std::shared_ptr<plat::storage::Disk> disk;

    auto loadBytes = [&](const std::vector<uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        disk.reset();
        error.clear();
        return plat::storage::Disk::Load(path, &disk, &error);
    };
    std::vector<uint8_t> flipped = good;
    flipped[flipped.size() / 2] ^= 0x40;
    EXPECT_FALSE(loadBytes(flipped));
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;

    std::vector<uint8_t> truncated(good.begin(), good.begin() + long(good.size() / 3));
    EXPECT_FALSE(loadBytes(truncated));
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(loadBytes(std::vector<uint8_t>{'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_NE(error.find("not a disk image"), std::string::npos) << error;

    std::vector<uint8_t> newer = good;
    newer[8] = 9;
    EXPECT_FALSE(loadBytes(newer));
    EXPECT_NE(error.find("version"), std::string::npos) << error;

    EXPECT_FALSE(plat::storage::Disk::Load(path + ".missing", &disk, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    EXPECT_EQ(disk, nullptr);
    unlink(path.c_str());
}

}  // namespace
}  // namespace quilt_test
