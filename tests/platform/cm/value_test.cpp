// Values: types and data round trips, order, replacement and deletion, and
// the exact answers of the value information classes.
#include "registry_test_util.h"

#include "cm/registry.h"
#include "core/verifier.h"

namespace quilt_test {
namespace {

class RegistryValueTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&Key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Values"));
    }
    void TearDown() override {
        if (Key != nullptr) ZwClose(Key);
        KernelTest::TearDown();
    }
    HANDLE Key = nullptr;
};

TEST_F(RegistryValueTest, EveryTypeRoundTripsWithItsBytes) {
    const WCHAR text[] = L"C:\\Program Files";
    const WCHAR multi[] = L"one\0two\0";
    ULONG dword = 0x12345678;
    ULONG bigEndian = 0x78563412;
    ULONGLONG qword = 0x0102030405060708ULL;
    UCHAR binary[] = {0, 1, 2, 0xFF, 0x80};
    struct Case {
        const WCHAR* Name;
        ULONG Type;
        const void* Data;
        ULONG Length;
    } cases[] = {
        {L"None", REG_NONE, nullptr, 0},
        {L"Sz", REG_SZ, text, sizeof(text)},
        {L"Expand", REG_EXPAND_SZ, L"%SystemRoot%", 26},
        {L"Binary", REG_BINARY, binary, sizeof(binary)},
        {L"Dword", REG_DWORD, &dword, sizeof(dword)},
        {L"BigEndian", REG_DWORD_BIG_ENDIAN, &bigEndian, sizeof(bigEndian)},
        {L"Link", REG_LINK, text, sizeof(text) - 2},
        {L"Multi", REG_MULTI_SZ, multi, sizeof(multi)},
        {L"Resources", REG_RESOURCE_LIST, binary, 3},
        {L"Qword", REG_QWORD, &qword, sizeof(qword)},
        {L"Private", 0x4000u, binary, 1},
    };
    for (const Case& c : cases) ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, c.Name, c.Type, c.Data, c.Length));
    for (const Case& c : cases) {
        ValueData value = QueryValue(Key, c.Name);
        ASSERT_EQ(STATUS_SUCCESS, value.Status);
        EXPECT_EQ(c.Type, value.Type);
        const UCHAR* bytes = static_cast<const UCHAR*>(c.Data);
        EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + c.Length), value.Data);
    }
}

TEST_F(RegistryValueTest, ValuesKeepCreationOrderAndReplacementKeepsThePlace) {
    for (const WCHAR* name : {L"Zulu", L"alpha", L"Mike"}) ASSERT_EQ(STATUS_SUCCESS, SetDword(Key, name, 1));
    ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, L"ALPHA", REG_SZ, L"x", 4));
    std::vector<std::u16string> expected = {u"Zulu", u"alpha", u"Mike"};
    EXPECT_EQ(expected, ValueNames(Key));
    ValueData replaced = QueryValue(Key, L"Alpha");
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), replaced.Type);
    EXPECT_EQ(4u, replaced.Data.size());
}

TEST_F(RegistryValueTest, DeletionMovesTheNextValueToTheSameIndex) {
    for (const WCHAR* name : {L"First", L"Second", L"Third"}) ASSERT_EQ(STATUS_SUCCESS, SetDword(Key, name, 1));
    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(Key, 0, KeyValueFullInformation, buffer, sizeof(buffer), &length));
    UNICODE_STRING first = Ustr(L"FIRST");
    ASSERT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(Key, &first));
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(Key, 0, KeyValueFullInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(Text(L"Second"), Text(info->Name, info->NameLength));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(Key, &first));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateValueKey(Key, 2, KeyValueFullInformation, buffer, sizeof(buffer), &length));
}

TEST_F(RegistryValueTest, FullInformationPlacesDataAtAnAlignedOffset) {
    UCHAR data[6] = {1, 2, 3, 4, 5, 6};
    // Name lengths 1..4 characters: 20 + 2n rounded up to a multiple of 4.
    const WCHAR* names[] = {L"A", L"AB", L"ABC", L"ABCD"};
    const ULONG offsets[] = {24, 24, 28, 28};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, names[i], REG_BINARY, data, sizeof(data)));
        alignas(8) UCHAR buffer[128];
        ULONG length = 0;
        UNICODE_STRING name = Ustr(names[i]);
        ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(Key, &name, KeyValueFullInformation, buffer, sizeof(buffer), &length));
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        EXPECT_EQ(offsets[i], info->DataOffset) << i;
        EXPECT_EQ(offsets[i] + sizeof(data), length);
        EXPECT_EQ(sizeof(data), info->DataLength);
        EXPECT_EQ(0, memcmp(buffer + info->DataOffset, data, sizeof(data)));
    }
    // The structure's layout is the WDK's.
    EXPECT_EQ(8, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset));
    EXPECT_EQ(16, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength));
    EXPECT_EQ(20, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
    EXPECT_EQ(12, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
    EXPECT_EQ(12, FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength));
}

TEST_F(RegistryValueTest, ValueBufferTooSmallVersusOverflowForEachClass) {
    UCHAR data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<UCHAR>(i);
    ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, L"Big", REG_BINARY, data, sizeof(data)));
    UNICODE_STRING name = Ustr(L"Big");
    struct Case {
        KEY_VALUE_INFORMATION_CLASS Class;
        ULONG Fixed;
        ULONG Full;
    } cases[] = {
        {KeyValueBasicInformation, 12, 12 + 6},
        {KeyValueFullInformation, 20, 28 + 100},
        {KeyValuePartialInformation, 12, 12 + 100},
        {KeyValueFullInformationAlign64, 20, 32 + 100},
        {KeyValuePartialInformationAlign64, 8, 8 + 100},
    };
    for (const Case& c : cases) {
        alignas(8) UCHAR buffer[256];
        ULONG length = 0;
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryValueKey(Key, &name, c.Class, buffer, c.Fixed - 1, &length));
        EXPECT_EQ(c.Full, length) << c.Class;
        length = 0;
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryValueKey(Key, &name, c.Class, buffer, c.Full - 1, &length));
        EXPECT_EQ(c.Full, length) << c.Class;
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(Key, &name, c.Class, buffer, c.Full, &length));
        EXPECT_EQ(c.Full, length) << c.Class;
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwEnumerateValueKey(Key, 0, c.Class, buffer, c.Fixed, &length));
        EXPECT_EQ(c.Full, length) << c.Class;
    }
}

TEST_F(RegistryValueTest, OverflowFillsTheFixedPartSoTheCallerCanGrow) {
    UCHAR data[300] = {};
    data[299] = 0x5A;
    ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, L"Payload", REG_BINARY, data, sizeof(data)));
    // As the registry walk does: a first buffer, then grown to DataOffset + DataLength.
    std::vector<UCHAR> buffer(40);
    ULONG length = 0;
    ASSERT_EQ(STATUS_BUFFER_OVERFLOW,
              ZwEnumerateValueKey(Key, 0, KeyValueFullInformation, buffer.data(), buffer.size(), &length));
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(static_cast<ULONG>(REG_BINARY), info->Type);
    EXPECT_EQ(14u, info->NameLength);
    EXPECT_EQ(300u, info->DataLength);
    EXPECT_EQ(36u, info->DataOffset);
    ULONG grown = info->DataOffset + info->DataLength;
    EXPECT_EQ(grown, length);
    buffer.assign(grown, 0);
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(Key, 0, KeyValueFullInformation, buffer.data(), grown, &length));
    info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(0x5A, buffer[info->DataOffset + 299]);
}

TEST_F(RegistryValueTest, AlignedClassesRefuseAMisalignedBuffer) {
    ASSERT_EQ(STATUS_SUCCESS, SetDword(Key, L"V", 1));
    UNICODE_STRING name = Ustr(L"V");
    alignas(8) UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_DATATYPE_MISALIGNMENT,
              ZwQueryValueKey(Key, &name, KeyValuePartialInformationAlign64, buffer + 4, 32, &length));
    EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(Key, &name, KeyValuePartialInformation, buffer + 4, 32, &length));
}

TEST_F(RegistryValueTest, BadValueArgumentsAreRefused) {
    UNICODE_STRING name = Ustr(L"X");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(Key, &name, 0, REG_BINARY, nullptr, 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(Key, nullptr, 0, REG_BINARY, nullptr, 0));
    std::u16string tooLong(16384, u'v');
    UNICODE_STRING longName = Ustr(W(tooLong));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(Key, &longName, 0, REG_NONE, nullptr, 0));
    ULONG length = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              ZwQueryValueKey(Key, &name, KeyValuePartialInformation, nullptr, 0, &length));
    // The unnamed (default) value is a value like any other.
    UNICODE_STRING empty = Ustr(L"");
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(Key, &empty, 0, REG_SZ, const_cast<WCHAR*>(L"d"), 4));
    EXPECT_EQ(STATUS_SUCCESS, QueryValue(Key, L"").Status);
}

TEST_F(RegistryValueTest, TheDriversParameterReadFitsItsBuffer) {
    // ReadParameter: a buffer of destination size + 2 x name length + 32 bytes
    // holds a value whose data fills the destination.
    const WCHAR* name = L"CheckFilePath";
    std::u16string path(260, u'p');
    ASSERT_EQ(STATUS_SUCCESS, SetValue(Key, name, REG_SZ, W(path), 261 * sizeof(WCHAR)));
    ULONG destination = 261 * sizeof(WCHAR);
    ULONG size = destination + 2 * static_cast<ULONG>(wcslen(name)) + 32;
    std::vector<UCHAR> buffer(size);
    ULONG length = 0;
    UNICODE_STRING valueName = Ustr(name);
    EXPECT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, buffer.data(), size, &length));
}

TEST_F(RegistryValueTest, AnAllocationFailureChangesNothing) {
    ASSERT_EQ(STATUS_SUCCESS, SetDword(Key, L"Kept", 1));
    plat::VerifierFailAllocationsWithTag('yKmC');
    UCHAR data[64] = {};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetValue(Key, L"New", REG_BINARY, data, sizeof(data)));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetValue(Key, L"Kept", REG_BINARY, data, sizeof(data)));
    HANDLE child = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CreateKey(&child, L"Child", nullptr, 0, Key));
    plat::VerifierStopFailingAllocations();
    std::vector<std::u16string> expected = {u"Kept"};
    EXPECT_EQ(expected, ValueNames(Key));
    EXPECT_EQ(static_cast<ULONG>(REG_DWORD), QueryValue(Key, L"Kept").Type);
    EXPECT_TRUE(SubKeyNames(Key).empty());
}

TEST_F(RegistryValueTest, HostApiFillsKeysAndCreatesParents) {
    const WCHAR* path = L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quilt\\Parameters";
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistrySetDword(path, L"DeleteStartDelay", 600));
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistrySetString(path, L"CheckFilePath", L"C:\\quilt\\INI\\check.txt"));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, path, nullptr, KEY_READ));
    ValueData delay = QueryValue(key, L"DeleteStartDelay");
    ASSERT_EQ(4u, delay.Data.size());
    ULONG seconds = 0;
    memcpy(&seconds, delay.Data.data(), 4);
    EXPECT_EQ(600u, seconds);
    ValueData check = QueryValue(key, L"CheckFilePath");
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), check.Type);
    EXPECT_EQ((wcslen(L"C:\\quilt\\INI\\check.txt") + 1) * sizeof(WCHAR), check.Data.size());
    ZwClose(key);

    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_EQ(STATUS_SUCCESS, plat::RegistryQueryValue(path, L"deletestartdelay", &type, &data));
    EXPECT_EQ(static_cast<ULONG>(REG_DWORD), type);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, plat::RegistryQueryValue(path, L"Absent", &type, &data));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, plat::RegistrySetDword(L"\\Machine\\X", L"V", 1));
}

}  // namespace
}  // namespace quilt_test
