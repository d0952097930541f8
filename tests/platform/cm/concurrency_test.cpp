// Several system threads creating, filling, enumerating and deleting keys at
// once under one parent: every operation answers a status that makes sense
// for a registry changing under it, and the end state is what the threads
// left behind.
#include "registry_test_util.h"

#include <atomic>
#include <string>

#include "cm/registry.h"

namespace quilt_test {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 150;
const WCHAR kParent[] = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Busy";

struct Worker {
    int Id = 0;
    std::atomic<int> Unexpected{0};
};

bool Expected(NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
    for (NTSTATUS s : allowed) {
        if (status == s) return true;
    }
    return false;
}

VOID NTAPI Work(PVOID context) {
    Worker* worker = static_cast<Worker*>(context);
    HANDLE parent = nullptr;
    if (!NT_SUCCESS(OpenKey(&parent, kParent))) {
        ++worker->Unexpected;
        return;
    }
    alignas(8) UCHAR buffer[256];
    for (int round = 0; round < kRounds; ++round) {
        // Each thread owns the names it creates; every thread enumerates all.
        std::u16string name = u"K" + std::u16string(1, static_cast<char16_t>(u'a' + worker->Id)) +
                              std::u16string(1, static_cast<char16_t>(u'0' + round % 10));
        HANDLE key = nullptr;
        NTSTATUS status = CreateKey(&key, W(name), nullptr, 0, parent);
        if (!NT_SUCCESS(status)) {
            ++worker->Unexpected;
            continue;
        }
        if (!NT_SUCCESS(SetDword(key, L"Round", static_cast<ULONG>(round)))) ++worker->Unexpected;
        ULONG length = 0;
        for (ULONG index = 0; index < 50; ++index) {
            status = ZwEnumerateKey(parent, index, KeyBasicInformation, buffer, sizeof(buffer), &length);
            if (status == STATUS_NO_MORE_ENTRIES) break;
            if (!Expected(status, {STATUS_SUCCESS})) ++worker->Unexpected;
        }
        // Keep the last ten of each thread, delete the rest.
        if (round < kRounds - 10 && !NT_SUCCESS(ZwDeleteKey(key))) ++worker->Unexpected;
        ZwClose(key);
    }
    ZwClose(parent);
}

class RegistryConcurrencyTest : public KernelTest {};

TEST_F(RegistryConcurrencyTest, ThreadsChangingOneParentLeaveAConsistentTree) {
    ASSERT_EQ(STATUS_SUCCESS, plat::RegistryCreateKey(kParent));
    Worker workers[kThreads];
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        workers[i].Id = i;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS,
                  PsCreateSystemThread(&threads[i], THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Work, &workers[i]));
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(STATUS_SUCCESS, ZwWaitForSingleObject(threads[i], FALSE, nullptr));
        ZwClose(threads[i]);
        EXPECT_EQ(0, workers[i].Unexpected.load()) << "thread " << i;
    }
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&parent, kParent));
    std::vector<std::u16string> names = SubKeyNames(parent);
    EXPECT_EQ(static_cast<size_t>(kThreads * 10), names.size());
    for (size_t i = 1; i < names.size(); ++i) EXPECT_LT(names[i - 1], names[i]);
    ZwClose(parent);
}

}  // namespace
}  // namespace quilt_test
