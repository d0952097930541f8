// The verifier: always on. Components report faults as they see them
// (VerifierReport) and add end-of-life checks (VerifierAddCheck); KernelDestroy
// runs the checks, adds its own leak reports (pool by tag, open handles by
// process and type, system threads still running, resources never deleted)
// and returns every finding.
//
// Allocation-failure injection makes chosen pool allocations fail, so that
// every STATUS_INSUFFICIENT_RESOURCES path can be reached. At most one rule is
// active; setting a rule replaces the previous one; KernelDestroy clears it.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace plat {

// Records a finding now; it is kept until the kernel is destroyed (and
// returned by KernelDestroy). Thread-safe.
void VerifierReport(std::string Finding);

// The findings recorded so far in this kernel's life.
std::vector<std::string> VerifierFindings();
void VerifierClearFindings();

// Adds (or, under an existing name, replaces) a check that KernelDestroy runs
// before its own leak checks. Each check returns its findings. Checks stay
// registered for the life of the process, across kernels.
void VerifierAddCheck(const char* Name, std::function<std::vector<std::string>()> Check);
void VerifierRemoveCheck(const char* Name);

// Allocation-failure injection.
void VerifierFailAllocationsWithTag(ULONG Tag);            // every allocation with the tag
// The N-th allocation from now (1 = the next one), counting only allocations
// with Tag when Tag is not 0; later allocations succeed again.
void VerifierFailNthAllocation(ULONG N, ULONG Tag = 0);
// Each allocation (with Tag, when not 0) fails with the given probability, drawn
// from a generator seeded with Seed: the same seed fails the same allocations.
void VerifierFailRandomAllocations(ULONG Seed, double Probability, ULONG Tag = 0);
void VerifierStopFailingAllocations();
// Allocations failed on purpose since the current rule was set.
ULONG VerifierInjectedFailures();

}  // namespace plat
