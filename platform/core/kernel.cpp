// Kernel instances: creation, strict destruction with the verifier's report,
// and power-off.
//
// The life-cycle lock serialises KernelCreate, KernelDestroy and
// KernelPowerOff; it is never taken by kernel routines the driver calls.
#include "core/kernel.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/verifier.h"
#include "core/verifier_internal.h"
#include "dbg/dbg.h"
#include "ex/ex_internal.h"
#include "ex/pool.h"
#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ob/object_internal.h"
#include "ps/ps_internal.h"

namespace plat {
namespace {

struct KernelLifecycle {
    std::mutex Lock;
    bool Exists = false;
    ULONG LastSerial = 0;
    KernelOptions Options;
    std::vector<KernelComponent> Components;  // sorted by Order
};

KernelLifecycle& Lifecycle() {
    static KernelLifecycle* lifecycle = new KernelLifecycle;  // used until process exit
    return *lifecycle;
}

std::atomic<ULONG> g_Serial{0};

std::mutex& ComponentLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::vector<KernelComponent> ComponentsInOrder(bool descending) {
    std::vector<KernelComponent> components;
    {
        std::lock_guard<std::mutex> guard(ComponentLock());
        components = Lifecycle().Components;
    }
    if (descending) std::reverse(components.begin(), components.end());
    return components;
}

void RunHooks(bool descending, std::function<void()> KernelComponent::*hook) {
    for (const KernelComponent& component : ComponentsInOrder(descending)) {
        if (component.*hook) (component.*hook)();
    }
}

[[noreturn]] void Fatal(const char* text) {
    fprintf(stderr, "%s\n", text);
    abort();
}

std::string PoolLeakFinding(const PoolTagUsage& usage) {
    return "pool leak: tag '" + PoolTagText(usage.Tag) + "': " + std::to_string(usage.Allocations) +
           " allocation(s), " + std::to_string(usage.Bytes) + " bytes";
}

void Append(std::vector<std::string>* to, std::vector<std::string> from) {
    for (std::string& item : from) to->push_back(std::move(item));
}

// What a kernel's end has in common after the objects are gone: host state
// reset, the kernel's pool released, the serial retired.
void Forget(ULONG serial) {
    ExForgetEverything();
    ObForgetEverything();
    PsForgetEverything();
    PoolReleaseSerial(serial);
    PoolSetOwnerSerial(0);
    VerifierStopFailingAllocations();
    g_Serial.store(0);
}

}  // namespace

void KernelRegisterComponent(KernelComponent Component) {
    std::lock_guard<std::mutex> guard(ComponentLock());
    auto& components = Lifecycle().Components;
    components.erase(std::remove_if(components.begin(), components.end(),
                                    [&Component](const KernelComponent& c) {
                                        return std::string(c.Name) == Component.Name;
                                    }),
                     components.end());
    auto position = std::upper_bound(components.begin(), components.end(), Component.Order,
                                     [](int order, const KernelComponent& c) { return order < c.Order; });
    components.insert(position, std::move(Component));
}

void KernelCreate(const KernelOptions& options) {
    KernelLifecycle& life = Lifecycle();
    std::lock_guard<std::mutex> guard(life.Lock);
    if (life.Exists) Fatal("KernelCreate: a kernel exists already");
    life.Options = options;
    life.LastSerial += 1;
    ULONG serial = life.LastSerial;
    PoolSetOwnerSerial(serial);
    VerifierClearFindings();
    ClockStart(options.StartSystemTime, options.VirtualTime, options.TimeZoneBiasMinutes);
    DebugOutputClear();
    DebugOutputSetEcho(options.EchoDebugOutput);
    g_Serial.store(serial);
    life.Exists = true;

    ObInitialize();
    PsInitialize();
    ExStartWorkers();
    RunHooks(false, &KernelComponent::Create);
}

std::vector<std::string> KernelDestroy() {
    KernelLifecycle& life = Lifecycle();
    std::lock_guard<std::mutex> guard(life.Lock);
    if (!life.Exists) Fatal("KernelDestroy: no kernel exists");
    ULONG serial = g_Serial.load();
    ThreadState* self = CurrentThread();

    ExDrainWorkers();
    RunHooks(true, &KernelComponent::Destroy);
    ExStopWorkers();

    std::vector<std::string> findings = VerifierRunChecks();
    std::vector<std::string> running = PsReportRunningThreads();
    Append(&findings, running);
    PsEndSystemThreads(self);
    Append(&findings, ObReportOpenHandles());
    ObCloseAllHandles();
    PsReleaseAdoptedThreads();
    ObTeardownNamespace();
    PsShutdown();
    Append(&findings, ExReportResources());
    Append(&findings, ObReportLiveObjects());
    for (const PoolTagUsage& usage : PoolSnapshotOfSerial(serial)) findings.push_back(PoolLeakFinding(usage));

    std::vector<std::string> reported = VerifierFindings();
    findings.insert(findings.begin(), reported.begin(), reported.end());
    VerifierClearFindings();
    Forget(serial);
    life.Exists = false;
    return findings;
}

std::vector<std::string> KernelPowerOff() {
    KernelLifecycle& life = Lifecycle();
    std::lock_guard<std::mutex> guard(life.Lock);
    if (!life.Exists) Fatal("KernelPowerOff: no kernel exists");
    ULONG serial = g_Serial.load();
    ThreadState* self = CurrentThreadIfKnown();

    DispatcherBeginPowerOff(self);
    PsJoinSystemThreads();  // each leaves at its next wait
    DispatcherWaitUntilNoneBlocked();
    RunHooks(true, &KernelComponent::PowerOff);
    VerifierClearFindings();
    Forget(serial);
    DispatcherEndPowerOff();
    life.Exists = false;
    return {};
}

bool KernelExists() {
    return g_Serial.load() != 0;
}

const KernelOptions& KernelCurrentOptions() {
    return Lifecycle().Options;
}

ULONG KernelSerial() {
    return g_Serial.load();
}

}  // namespace plat
