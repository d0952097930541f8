// The kernel C++ runtime of quilt.sys: the heap is non-paged pool, and the
// image's static constructors are run from DriverEntry. The driver is built
// without exceptions and RTTI, so nothing else of a C++ runtime is needed.
#include <ntifs.h>

#include "common/kernel_runtime.h"
#include "common/pool_tags.h"

#define QUILT_TAG_CXX QUILT_TAG('Q', 'u', 'n', 'w')

void* operator new(size_t size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, QUILT_TAG_CXX);
}

void* operator new[](size_t size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, QUILT_TAG_CXX);
}

void operator delete(void* p) {
    if (p != NULL) ExFreePool(p);
}

void operator delete[](void* p) {
    if (p != NULL) ExFreePool(p);
}

void operator delete(void* p, size_t) {
    if (p != NULL) ExFreePool(p);
}

void operator delete[](void* p, size_t) {
    if (p != NULL) ExFreePool(p);
}

// A pure virtual call can only come from a bug; stop where it happened.
extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(0x000000E2 /* MANUALLY_INITIATED_CRASH */, 0x51, 0, 0, 0);
}

// Static destructors are registered with atexit by the compiler. The driver
// has no unload routine, so they are kept and run only when driver entry
// undoes its own work.
typedef void (*QuiltExitFunction)(void);

#define QUILT_MAX_EXIT_FUNCTIONS 64
static QuiltExitFunction g_ExitFunctions[QUILT_MAX_EXIT_FUNCTIONS];
static LONG g_ExitFunctionCount;

extern "C" int atexit(QuiltExitFunction function) {
    if (g_ExitFunctionCount >= QUILT_MAX_EXIT_FUNCTIONS) {
        return -1;
    }
    g_ExitFunctions[g_ExitFunctionCount++] = function;
    return 0;
}

// The linker brackets the constructor table with a count (or -1) in the first
// slot and a null entry at the end.
typedef void (*QuiltConstructor)(void);
extern "C" QuiltConstructor __CTOR_LIST__[];

extern "C" NTSTATUS QuiltRunStaticInitializers() {
    static BOOLEAN done = FALSE;
    if (done) {
        return STATUS_SUCCESS;
    }
    done = TRUE;
    ULONG count = (ULONG)(ULONG_PTR)__CTOR_LIST__[0];
    if (count == (ULONG)-1) {
        for (count = 0; __CTOR_LIST__[count + 1] != NULL; ++count) {
        }
    }
    // Constructors run in reverse table order, as the C runtime does.
    for (ULONG i = count; i >= 1; --i) {
        __CTOR_LIST__[i]();
    }
    return STATUS_SUCCESS;
}

extern "C" VOID QuiltRunStaticDestructors() {
    while (g_ExitFunctionCount > 0) {
        g_ExitFunctions[--g_ExitFunctionCount]();
    }
}
