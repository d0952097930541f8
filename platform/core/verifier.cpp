// The verifier's findings, registered checks and allocation-failure injection.
#include "core/verifier.h"

#include <map>
#include <mutex>
#include <random>

#include "core/verifier_internal.h"
#include "ex/pool.h"

namespace plat {
namespace {

struct VerifierState {
    std::mutex Lock;
    std::vector<std::string> Findings;
    std::map<std::string, std::function<std::vector<std::string>()>> Checks;
};

VerifierState& State() {
    static VerifierState* state = new VerifierState;  // used until process exit
    return *state;
}

// The active injection rule. Only touched from the pool's failure predicate
// (under the pool's lock) and while installing a rule.
struct InjectionRule {
    ULONG Tag = 0;              // 0: any tag
    ULONG Countdown = 0;        // N-th: allocations left before the failing one
    bool Nth = false;
    bool Random = false;
    double Probability = 0.0;
    std::mt19937 Generator;
    ULONG Injected = 0;
};

std::mutex& RuleLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

InjectionRule& Rule() {
    static InjectionRule* rule = new InjectionRule;
    return *rule;
}

bool ShouldFail(ULONG tag) {
    std::lock_guard<std::mutex> guard(RuleLock());
    InjectionRule& rule = Rule();
    if (rule.Tag != 0 && tag != rule.Tag) return false;
    bool fail = true;
    if (rule.Nth) {
        if (rule.Countdown == 0) return false;  // already fired
        fail = --rule.Countdown == 0;
    } else if (rule.Random) {
        fail = std::uniform_real_distribution<double>(0.0, 1.0)(rule.Generator) < rule.Probability;
    }
    if (fail) rule.Injected += 1;
    return fail;
}

void Install(const InjectionRule& rule) {
    {
        std::lock_guard<std::mutex> guard(RuleLock());
        Rule() = rule;
    }
    PoolSetFailurePredicate([](ULONG tag, SIZE_T) { return ShouldFail(tag); });
}

}  // namespace

void VerifierReport(std::string Finding) {
    VerifierState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Findings.push_back(std::move(Finding));
}

std::vector<std::string> VerifierFindings() {
    VerifierState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.Findings;
}

void VerifierClearFindings() {
    VerifierState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Findings.clear();
}

void VerifierAddCheck(const char* Name, std::function<std::vector<std::string>()> Check) {
    VerifierState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Checks[Name] = std::move(Check);
}

void VerifierRemoveCheck(const char* Name) {
    VerifierState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Checks.erase(Name);
}

std::vector<std::string> VerifierRunChecks() {
    std::map<std::string, std::function<std::vector<std::string>()>> checks;
    {
        VerifierState& s = State();
        std::lock_guard<std::mutex> guard(s.Lock);
        checks = s.Checks;
    }
    std::vector<std::string> findings;
    for (auto& [name, check] : checks) {
        for (std::string& finding : check()) findings.push_back(name + ": " + finding);
    }
    return findings;
}

void VerifierFailAllocationsWithTag(ULONG Tag) {
    InjectionRule rule;
    rule.Tag = Tag;
    Install(rule);
}

void VerifierFailNthAllocation(ULONG N, ULONG Tag) {
    InjectionRule rule;
    rule.Tag = Tag;
    rule.Nth = true;
    rule.Countdown = N;
    Install(rule);
}

void VerifierFailRandomAllocations(ULONG Seed, double Probability, ULONG Tag) {
    InjectionRule rule;
    rule.Tag = Tag;
    rule.Random = true;
    rule.Probability = Probability;
    rule.Generator.seed(Seed);
    Install(rule);
}

void VerifierStopFailingAllocations() {
    PoolSetFailurePredicate(nullptr);
    std::lock_guard<std::mutex> guard(RuleLock());
    Rule() = InjectionRule();
}

ULONG VerifierInjectedFailures() {
    std::lock_guard<std::mutex> guard(RuleLock());
    return Rule().Injected;
}

}  // namespace plat
