// User address space of emulated processes.
//
// On 32-bit Windows user space lies below 0x80000000 and system space above;
// the driver and the I/O manager tell them apart by address. Buffers that
// tests and programs hand to the Nt* services as user buffers come from here:
// pages mapped below 2 GiB (MAP_32BIT), zero-filled. Pool lies far above.
#pragma once

#include <wdm.h>

namespace plat {

// The start of system space and the first address user buffers may not reach.
constexpr ULONG_PTR kSystemRangeStart = 0x80000000u;
constexpr ULONG_PTR kUserProbeAddress = 0x7FFF0000u;

// Zero-filled user memory of at least Size bytes, or NULL when the low address
// space is exhausted. Release with UserBufferFree.
PVOID UserBufferAllocate(SIZE_T Size);
void UserBufferFree(PVOID Buffer);

// True when [Address, Address + Length) lies entirely in user space.
bool IsUserRange(const void* Address, SIZE_T Length);

// A user buffer for the lifetime of the object.
class UserBuffer {
public:
    explicit UserBuffer(SIZE_T Size) : m_Data(UserBufferAllocate(Size)), m_Size(Size) {}
    ~UserBuffer() {
        if (m_Data != nullptr) UserBufferFree(m_Data);
    }
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;

    PVOID Get() const { return m_Data; }
    template <typename T>
    T* As() const { return static_cast<T*>(m_Data); }
    ULONG Size() const { return static_cast<ULONG>(m_Size); }

private:
    PVOID m_Data;
    SIZE_T m_Size;
};

}  // namespace plat
