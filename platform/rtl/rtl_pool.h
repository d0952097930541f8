// Pool for the buffers the run-time library allocates on its callers' behalf
// (released with RtlFreeUnicodeString / RtlFreeAnsiString).
#pragma once

#include <wdm.h>

namespace plat {

constexpr ULONG kRtlStringPoolTag = 'grtS';  // "Strg" in memory

inline PVOID RtlAllocateStringBuffer(SIZE_T bytes) {
    return ExAllocatePoolWithTag(PagedPool, bytes, kRtlStringPoolTag);
}

}  // namespace plat
