// The formatting engine behind _vsnprintf, _vsnwprintf, the ntstrsafe printf
// routines and DbgPrint (rules in nt/rtl.h).
#pragma once

#include <wdm.h>

namespace plat {

// Formats into Buffer, writing at most Capacity units and no terminator.
// Returns the length of the whole output, which exceeds Capacity when it was
// cut. Buffer may be NULL when Capacity is 0.
size_t FormatNarrowV(char* Buffer, size_t Capacity, const char* Format, va_list Args);
size_t FormatWideV(WCHAR* Buffer, size_t Capacity, const WCHAR* Format, va_list Args);

}  // namespace plat
