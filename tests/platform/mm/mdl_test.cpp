// The memory manager's part: user buffers below the system range, MDLs over
// pool and user buffers, MDL chains on IRPs, and image-section flushing.
#include <ntifs.h>

#include "core/verifier.h"
#include "mm/user_memory.h"
#include "support/kernel_fixture.h"

namespace {

using quilt_test::KernelTest;

TEST(UserMemoryTest, UserBuffersLieBelowTheSystemRangeAndPoolAbove) {
    plat::UserBuffer buffer(5000);
    ASSERT_NE(buffer.Get(), nullptr);
    auto address = reinterpret_cast<ULONG_PTR>(buffer.Get());
    EXPECT_LT(address + 5000, reinterpret_cast<ULONG_PTR>(MM_SYSTEM_RANGE_START));
    EXPECT_TRUE(plat::IsUserRange(buffer.Get(), 5000));
    EXPECT_EQ(buffer.As<UCHAR>()[4999], 0);  // zero-filled

    int onTheHostStack = 0;
    EXPECT_FALSE(plat::IsUserRange(&onTheHostStack, sizeof(onTheHostStack)));
    // A range may not run past the end of user space.
    EXPECT_FALSE(plat::IsUserRange(reinterpret_cast<PVOID>(MmUserProbeAddress - 4), 8));
}

class MdlTest : public KernelTest {};

TEST_F(MdlTest, AnMdlOverNonPagedPoolDescribesAndMapsTheBufferItself) {
    constexpr ULONG kLength = 3 * PAGE_SIZE + 100;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kLength + 16, 'tseT'));
    PUCHAR start = buffer + 16;
    PMDL mdl = IoAllocateMdl(start, kLength, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), kLength);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(start));
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(mdl->StartVa) % PAGE_SIZE, 0u);
    EXPECT_EQ(MmSizeOfMdl(start, kLength),
              sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, kLength));

    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    EXPECT_EQ(frames[1], frames[0] + 1);
    IoFreeMdl(mdl);
    ExFreePool(buffer);

    EXPECT_EQ(IoAllocateMdl(start, 0, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(IoAllocateMdl(start, 0x10000000, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(MdlTest, LockingForUserModeAcceptsOnlyUserBuffers) {
    plat::UserBuffer user(PAGE_SIZE);
    PMDL mdl = IoAllocateMdl(user.Get(), PAGE_SIZE, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_TRUE(mdl->MdlFlags & MDL_WRITE_OPERATION);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), user.Get());
    MmUnlockPages(mdl);
    EXPECT_FALSE(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
    IoFreeMdl(mdl);
    EXPECT_TRUE(plat::VerifierFindings().empty());

    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 64, 'tseT');
    mdl = IoAllocateMdl(pool, 64, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_TRUE(quilt_test::HasFinding(plat::VerifierFindings(), "outside user space"));
    plat::VerifierClearFindings();
    IoFreeMdl(mdl);
    ExFreePool(pool);
}

TEST_F(MdlTest, MdlsAllocatedForAnIrpFormItsChainInOrder) {
    UCHAR first[16], second[16], third[16];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL a = IoAllocateMdl(first, sizeof(first), FALSE, FALSE, irp);
    PMDL b = IoAllocateMdl(second, sizeof(second), TRUE, FALSE, irp);
    PMDL c = IoAllocateMdl(third, sizeof(third), TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, a);
    EXPECT_EQ(a->Next, b);
    EXPECT_EQ(b->Next, c);
    EXPECT_EQ(c->Next, nullptr);
    IoFreeMdl(a);
    IoFreeMdl(b);
    IoFreeMdl(c);
    IoFreeIrp(irp);
}

TEST(SectionTest, AFileMappedAsAnImageCannotBeFlushedForDelete) {
    SECTION_OBJECT_POINTERS pointers = {};
    EXPECT_TRUE(MmFlushImageSection(&pointers, MmFlushForDelete));
    int image = 0;
    pointers.ImageSectionObject = &image;
    EXPECT_FALSE(MmFlushImageSection(&pointers, MmFlushForDelete));
    EXPECT_FALSE(MmFlushImageSection(&pointers, MmFlushForWrite));
    EXPECT_TRUE(MmFlushImageSection(nullptr, MmFlushForDelete));
}

}  // namespace
