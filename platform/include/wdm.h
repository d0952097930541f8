// Host stand-in for the WDK's wdm.h: the kernel API a driver sees.
#pragma once

#include "nt/ntdef.h"
#include "nt/ntstatus.h"
#include "nt/rtlmemory.h"
#include "nt/rtlstring.h"
#include "nt/expool.h"
#include "nt/io.h"
