// The verifier as the kernel core drives it at a kernel's end.
#pragma once

#include <string>
#include <vector>

namespace plat {

// Runs every registered end-of-life check; each finding is prefixed with the
// check's name.
std::vector<std::string> VerifierRunChecks();

}  // namespace plat
