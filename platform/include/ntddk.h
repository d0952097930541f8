// Host stand-in for the WDK's ntddk.h.
#pragma once

#include "wdm.h"
#include "nt/kuser.h"
