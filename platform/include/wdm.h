// Host stand-in for the WDK's wdm.h: the kernel API a driver sees.
#pragma once

#include "nt/ntdef.h"
#include "nt/ntstatus.h"
#include "nt/rtlmemory.h"
#include "nt/rtlstring.h"
#include "nt/rtl.h"
#include "nt/expool.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/ps.h"
#include "nt/cm.h"
#include "nt/se.h"
#include "nt/iofs.h"
#include "nt/mm.h"
#include "nt/io.h"
