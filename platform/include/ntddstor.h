// Storage device-control codes and structures (IOCTL_STORAGE_QUERY_PROPERTY,
// STORAGE_ADAPTER_DESCRIPTOR, the bus types). The WDK keeps them in their own
// header; here they live in nt/iofs.h with the other I/O declarations.
#pragma once

#include "ntifs.h"
