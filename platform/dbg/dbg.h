// Host side of the kernel debugger: the lines DbgPrint produced.
//
// Every DbgPrint/DbgPrintEx call that passes the filter is kept as one entry,
// exactly as formatted (its newline included). The entries belong to the
// current kernel: KernelCreate clears them (plat::DebugOutputClear of
// core/kernel.h, which also reads them with plat::DebugOutput). Safe to call
// from any thread.
#pragma once

#include <wdm.h>

namespace plat {

// Also write every kept entry to stderr (KernelOptions::EchoDebugOutput).
void DebugOutputSetEcho(bool echo);

// The system-wide DbgPrintEx filter: a bit mask of levels (bit n = level n).
// The default admits DPFLTR_ERROR_LEVEL only. Returns the previous mask.
ULONG DebugOutputSetFilterMask(ULONG mask);

}  // namespace plat
