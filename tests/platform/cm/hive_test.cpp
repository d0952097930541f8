// Persistence: saving and loading the registry or one hive, damaged files,
// the flush file, and hives that appear during boot.
#include "registry_test_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

#include "cm/registry.h"
#include "core/kernel.h"

namespace quilt_test {
namespace {

const WCHAR kSoftware[] = L"\\REGISTRY\\MACHINE\\SOFTWARE";
const WCHAR kVersionKey[] = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::vector<UCHAR> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<UCHAR>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<UCHAR>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The file format's checksums, so that a test can damage a file's structure
// while keeping it consistent on the surface.
ULONG Crc32(const UCHAR* data, size_t length) {
    ULONG crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (0xEDB88320u ^ (crc >> 1)) : (crc >> 1);
    }
    return crc ^ 0xFFFFFFFFu;
}

void PutUlong(std::vector<UCHAR>& bytes, size_t offset, ULONG value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<UCHAR>(value >> (8 * i));
}

void Reseal(std::vector<UCHAR>& bytes) {
    PutUlong(bytes, 24, Crc32(bytes.data() + 40, bytes.size() - 40));
    PutUlong(bytes, 32, Crc32(bytes.data(), 32));
}

class RegistryHiveTest : public VirtualTimeKernelTest {
protected:
    void SetUp() override {
        VirtualTimeKernelTest::SetUp();
        char pattern[] = "/tmp/quilt-cm-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        Dir = pattern;
    }
    void TearDown() override {
        VirtualTimeKernelTest::TearDown();
        std::string command = "rm -rf '" + Dir + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }
    std::string File(const char* name) const { return Dir + "/" + name; }

    // A registry with something of everything.
    void Populate() {
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", nullptr, 0, nullptr,
                                            L"VendorClass"));
        ASSERT_EQ(STATUS_SUCCESS, SetDword(key, L"Number", 42));
        ASSERT_EQ(STATUS_SUCCESS, SetValue(key, L"Text", REG_SZ, L"hello", 12));
        ASSERT_EQ(STATUS_SUCCESS, SetValue(key, L"Multi", REG_MULTI_SZ, L"a\0b\0", 10));
        ASSERT_EQ(STATUS_SUCCESS, SetValue(key, L"Empty", REG_BINARY, nullptr, 0));
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, L"Product\\", nullptr, 0, key));
        ASSERT_EQ(STATUS_SUCCESS, SetValue(child, L"", REG_SZ, L"default", 16));
        ZwClose(child);
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, L"Session", nullptr, REG_OPTION_VOLATILE, key));
        ZwClose(child);
        ZwClose(key);
        AdvanceSeconds(10);
        ASSERT_EQ(STATUS_SUCCESS, plat::RegistrySetString(kVersionKey, L"ProgramFilesDir", L"C:\\Program Files"));
        ASSERT_EQ(STATUS_SUCCESS, plat::RegistryCreateKey(L"\\REGISTRY\\USER\\.DEFAULT"));
    }

    // A fresh kernel, as at the next boot of a machine.
    void Reboot() {
        std::vector<std::string> findings = plat::KernelDestroy();
        EXPECT_TRUE(findings.empty()) << JoinFindings(findings);
        plat::KernelCreate(Options);
    }

    std::string Dir;
};

TEST_F(RegistryHiveTest, SaveAndLoadRoundTripIsIdentical) {
    Populate();
    ASSERT_EQ("", plat::RegistrySave(File("first.hiv")));
    Reboot();
    EXPECT_FALSE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    ASSERT_EQ("", plat::RegistryLoad(File("first.hiv")));
    ASSERT_EQ("", plat::RegistrySave(File("second.hiv")));
    std::vector<UCHAR> first = ReadBytes(File("first.hiv"));
    EXPECT_GT(first.size(), 40u);
    EXPECT_EQ(first, ReadBytes(File("second.hiv")));

    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    std::vector<std::u16string> values = {u"Number", u"Text", u"Multi", u"Empty"};
    EXPECT_EQ(values, ValueNames(key));
    // Volatile keys do not outlive the registry they were made in.
    std::vector<std::u16string> subkeys = {u"Product"};
    EXPECT_EQ(subkeys, SubKeyNames(key));
    ValueData text = QueryValue(key, L"Text");
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), text.Type);
    EXPECT_EQ(12u, text.Data.size());
    ZwClose(key);
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\USER\\.DEFAULT"));
}

TEST_F(RegistryHiveTest, NoTemporaryFileIsLeftBehind) {
    ASSERT_EQ("", plat::RegistrySave(File("a.hiv")));
    ASSERT_EQ("", plat::RegistrySave(File("a.hiv")));
    std::string command = "test $(ls -A '" + Dir + "' | wc -l) -eq 1";
    EXPECT_EQ(0, system(command.c_str()));
    std::string error = plat::RegistrySave(Dir + "/missing/folder/a.hiv");
    EXPECT_NE(std::string::npos, error.find("cannot create")) << error;
}

TEST_F(RegistryHiveTest, DamagedFilesAreRejectedWithAClearError) {
    Populate();
    ASSERT_EQ("", plat::RegistrySave(File("good.hiv")));
    std::vector<UCHAR> good = ReadBytes(File("good.hiv"));
    ASSERT_GT(good.size(), 200u);

    struct Case {
        const char* Expected;
        std::vector<UCHAR> Bytes;
    };
    std::vector<Case> cases;
    std::vector<UCHAR> flipped = good;
    flipped[good.size() / 2] ^= 0x40;
    cases.push_back({"checksum mismatch", flipped});
    cases.push_back({"truncated", std::vector<UCHAR>(good.begin(), good.end() - 7)});
    cases.push_back({"not a registry file", std::vector<UCHAR>({'h', 'e', 'l', 'l', 'o'})});
    std::vector<UCHAR> version = good;
    PutUlong(version, 8, 2);
    Reseal(version);
    cases.push_back({"format version 2 is not supported", version});
    std::vector<UCHAR> header = good;
    header[12] = 41;
    cases.push_back({"damaged header", header});
    // The root key's name with a backslash in it, checksums made to match.
    std::vector<UCHAR> name = good;
    name[42] = '\\';
    Reseal(name);
    cases.push_back({"invalid key name", name});
    // A value count far larger than the file could hold.
    std::vector<UCHAR> count = good;
    size_t sdLengthOffset = 40 + 2 + 16 + 2 + 4 + 8 + 4;
    ULONG sdLength = count[sdLengthOffset] | (count[sdLengthOffset + 1] << 8);
    PutUlong(count, sdLengthOffset + 4 + sdLength, 0x10000000);
    Reseal(count);
    cases.push_back({"value count larger than the file", count});

    HANDLE witness = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&witness, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    for (const Case& c : cases) {
        WriteBytes(File("bad.hiv"), c.Bytes);
        std::string error = plat::RegistryLoad(File("bad.hiv"));
        EXPECT_NE(std::string::npos, error.find(c.Expected)) << c.Expected << " / " << error;
        EXPECT_NE(std::string::npos, error.find("bad.hiv")) << error;
    }
    std::string missing = plat::RegistryLoad(File("absent.hiv"));
    EXPECT_NE(std::string::npos, missing.find("cannot open")) << missing;
    // A refused file leaves the registry as it was.
    EXPECT_EQ(STATUS_SUCCESS, QueryValue(witness, L"Number").Status);
    ZwClose(witness);
}

TEST_F(RegistryHiveTest, RandomDamageNeverCrashesTheLoader) {
    Populate();
    ASSERT_EQ("", plat::RegistrySave(File("good.hiv")));
    std::vector<UCHAR> good = ReadBytes(File("good.hiv"));
    std::mt19937 random(1234);
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<UCHAR> damaged = good;
        int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i) {
            size_t at = 40 + random() % (damaged.size() - 40);
            damaged[at] = static_cast<UCHAR>(random());
        }
        Reseal(damaged);
        WriteBytes(File("fuzz.hiv"), damaged);
        if (!plat::RegistryLoad(File("fuzz.hiv")).empty()) ++refused;
    }
    EXPECT_GT(refused, 0);
    // Whatever was loaded last, the registry still works.
    EXPECT_EQ("", plat::RegistryLoad(File("good.hiv")));
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Product"));
}

TEST_F(RegistryHiveTest, LoadReplacesEverythingAndOldHandlesAnswerKeyDeleted) {
    ASSERT_EQ("", plat::RegistrySave(File("empty.hiv")));
    Populate();
    HANDLE vendor = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&vendor, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    ASSERT_EQ("", plat::RegistryLoad(File("empty.hiv")));
    EXPECT_EQ(STATUS_KEY_DELETED, SetDword(vendor, L"Number", 1));
    EXPECT_FALSE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    HANDLE software = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&software, kSoftware));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(software));
    ZwClose(software);
    ZwClose(vendor);
}

TEST_F(RegistryHiveTest, AHiveSavedAloneLoadsInPlace) {
    Populate();
    ASSERT_EQ("", plat::RegistrySaveKey(kSoftware, File("software.hiv")));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryCreateKey(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Intruder"));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryCreateKey(L"\\REGISTRY\\MACHINE\\SYSTEM\\Untouched"));
    ASSERT_EQ("", plat::RegistryLoadKey(kSoftware, File("software.hiv")));
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Product"));
    EXPECT_FALSE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Intruder"));
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SYSTEM\\Untouched"));
    EXPECT_EQ(STATUS_CANNOT_DELETE, plat::RegistryDeleteTree(kSoftware));
    std::string error = plat::RegistryLoadKey(L"\\REGISTRY\\MACHINE\\Nowhere\\Hive", File("software.hiv"));
    EXPECT_NE(std::string::npos, error.find("no parent key")) << error;
}

TEST_F(RegistryHiveTest, AnUnmountedHiveIsInvisibleUntilMounted) {
    Populate();
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryUnmountHive(kSoftware));
    EXPECT_FALSE(plat::RegistryIsHiveMounted(kSoftware));
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&key, kVersionKey, nullptr, KEY_READ));
    HANDLE machine = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&machine, L"\\REGISTRY\\MACHINE"));
    std::vector<std::u16string> visible = {u"SYSTEM"};
    EXPECT_EQ(visible, SubKeyNames(machine));

    // A save while it is away still holds it.
    ASSERT_EQ("", plat::RegistrySave(File("whole.hiv")));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryMountHive(L"\\Registry\\Machine\\Software"));
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, kVersionKey, nullptr, KEY_READ));
    EXPECT_EQ(STATUS_SUCCESS, QueryValue(key, L"ProgramFilesDir").Status);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::RegistryMountHive(kSoftware));

    // A hive with open handles stays.
    EXPECT_EQ(STATUS_CANNOT_DELETE, plat::RegistryUnmountHive(kSoftware));
    ZwClose(key);
    ZwClose(machine);
    EXPECT_EQ(STATUS_CANNOT_DELETE, plat::RegistryUnmountHive(L"\\REGISTRY"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::RegistryUnmountHive(L"\\REGISTRY\\MACHINE\\Absent"));

    Reboot();
    ASSERT_EQ("", plat::RegistryLoad(File("whole.hiv")));
    EXPECT_TRUE(plat::RegistryKeyExists(kVersionKey));
    // Unmounted at shutdown: the hive is released with the rest.
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryUnmountHive(kSoftware));
}

TEST_F(RegistryHiveTest, ACollidingKeyBlocksTheMount) {
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryUnmountHive(kSoftware));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryCreateKey(kSoftware));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, plat::RegistryMountHive(kSoftware));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryDeleteTree(kSoftware));
    EXPECT_EQ(STATUS_SUCCESS, plat::RegistryMountHive(kSoftware));
}

TEST_F(RegistryHiveTest, FlushKeyWritesTheFlushFile) {
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, L"\\REGISTRY\\MACHINE\\SYSTEM\\Flushed"));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, L"Before", 1));
    EXPECT_EQ(STATUS_SUCCESS, ZwFlushKey(key));
    EXPECT_FALSE(FileExists(File("flush.hiv")));

    plat::RegistrySetFlushFile(File("flush.hiv"));
    ASSERT_EQ(STATUS_SUCCESS, ZwFlushKey(key));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, L"After", 2));
    ZwClose(key);

    // Power is lost: only what was flushed is there at the next boot.
    plat::KernelPowerOff();
    plat::KernelCreate(Options);
    ASSERT_EQ("", plat::RegistryLoad(File("flush.hiv")));
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, L"\\REGISTRY\\MACHINE\\SYSTEM\\Flushed"));
    EXPECT_EQ(STATUS_SUCCESS, QueryValue(key, L"Before").Status);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, QueryValue(key, L"After").Status);
    ZwClose(key);

    plat::RegistrySetFlushFile(Dir + "/missing/flush.hiv");
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, L"\\REGISTRY\\MACHINE\\SYSTEM"));
    EXPECT_EQ(STATUS_REGISTRY_IO_FAILED, ZwFlushKey(key));
    ZwClose(key);
}

}  // namespace
}  // namespace quilt_test
