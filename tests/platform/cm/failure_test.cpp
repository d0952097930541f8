// Allocation failures anywhere in the registry's work: every operation either
// succeeds or answers STATUS_INSUFFICIENT_RESOURCES (or a status that follows
// from an earlier step having failed), nothing leaks, and the registry works
// again once memory is back. The fixture's verifier checks the leaks.
#include "registry_test_util.h"

#include <stdlib.h>
#include <unistd.h>

#include "cm/registry.h"
#include "core/verifier.h"

namespace quilt_test {
namespace {

bool Acceptable(NTSTATUS status) {
    return NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_OBJECT_NAME_NOT_FOUND ||
           status == STATUS_NO_MORE_ENTRIES;
}

// One round of what the driver and the machine do with the registry.
int Scenario(const std::string& file) {
    int unexpected = 0;
    auto check = [&](NTSTATUS status) {
        if (!Acceptable(status)) {
            ++unexpected;
            ADD_FAILURE() << "status " << std::hex << status;
        }
        return status;
    };
    HANDLE key = nullptr;
    if (!NT_SUCCESS(check(CreateKey(&key, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Sweep")))) return unexpected;
    check(SetDword(key, L"Number", 5));
    UCHAR blob[32] = {7};
    check(SetValue(key, L"Blob", REG_BINARY, blob, sizeof(blob)));
    HANDLE child = nullptr;
    if (NT_SUCCESS(check(CreateKey(&child, L"Child", nullptr, 0, key)))) {
        check(SetDword(child, L"Inner", 1));
        ZwClose(child);
    }
    alignas(8) UCHAR buffer[512];
    ULONG length = 0;
    check(ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &length));
    check(ZwEnumerateKey(key, 0, KeyFullInformation, buffer, sizeof(buffer), &length));
    check(ZwEnumerateValueKey(key, 1, KeyValueFullInformation, buffer, sizeof(buffer), &length));
    plat::RegistrySave(file);
    plat::RegistryLoadKey(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Copy", file);
    if (NT_SUCCESS(check(OpenKey(&child, L"Child", key)))) {
        check(ZwDeleteKey(child));
        ZwClose(child);
    }
    UNICODE_STRING name = Ustr(L"Number");
    check(ZwDeleteValueKey(key, &name));
    ZwClose(key);
    return unexpected;
}

class RegistryFailureTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        char pattern[] = "/tmp/quilt-cm-fail-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        Dir = pattern;
    }
    void TearDown() override {
        KernelTest::TearDown();
        std::string command = "rm -rf '" + Dir + "'";
        EXPECT_EQ(0, system(command.c_str()));
    }
    void Reset() {
        plat::VerifierStopFailingAllocations();
        plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Sweep");
        plat::RegistryDeleteTree(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Copy");
    }
    std::string Dir;
};

TEST_F(RegistryFailureTest, EachRegistryAllocationMayFail) {
    const std::string file = Dir + "/sweep.hiv";
    // Until the scenario makes fewer registry allocations than N.
    ULONG n = 1;
    for (; n < 1000; ++n) {
        plat::VerifierFailNthAllocation(n, 'yKmC');
        EXPECT_EQ(0, Scenario(file)) << "allocation " << n;
        ULONG injected = plat::VerifierInjectedFailures();
        Reset();
        if (injected == 0) break;
    }
    EXPECT_GT(n, 20u);
    EXPECT_EQ(0, Scenario(file));
    // The copy holds the whole registry as it was saved, Sweep and its child included.
    EXPECT_TRUE(plat::RegistryKeyExists(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Copy\\MACHINE\\SOFTWARE\\Sweep\\Child"));
}

TEST_F(RegistryFailureTest, AnyAllocationMayFail) {
    const std::string file = Dir + "/random.hiv";
    for (ULONG seed = 1; seed <= 40; ++seed) {
        plat::VerifierFailRandomAllocations(seed, 0.05);
        EXPECT_EQ(0, Scenario(file)) << "seed " << seed;
        Reset();
    }
    EXPECT_EQ(0, Scenario(file));
}

}  // namespace
}  // namespace quilt_test
