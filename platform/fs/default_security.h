// The security descriptor of a freshly formatted NTFS volume's root directory,
// from which every file created later inherits (self-relative bytes).
#pragma once

#include <stdint.h>

#include <vector>

namespace plat::fs {

// Owner Administrators, group SYSTEM; the DACL grants Administrators and
// SYSTEM full control, CREATOR OWNER full control of what is created below
// (inherit only), Users read, execute and the right to add files and folders,
// Everyone read and execute of the root itself.
std::vector<uint8_t> DefaultRootSecurity();

}  // namespace plat::fs
