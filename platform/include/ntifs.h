// Host stand-in for the WDK's ntifs.h: everything a file-system filter uses.
#pragma once

#include "ntddk.h"
#include "nt/fsrtlname.h"
#include "nt/fsrtl.h"
