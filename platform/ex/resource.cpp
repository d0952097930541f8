// Executive resources (ERESOURCE).
//
// Rules: the exclusive owner may acquire again, exclusive or shared, and each
// acquisition is released once. A thread that owns the resource shared may
// acquire it shared again at any time. Otherwise shared access is granted
// when nobody owns it exclusively and no thread waits for exclusive access
// (waiting writers are not starved by a stream of readers); exclusive access
// when nobody owns it at all. A shared owner asking for exclusive access would
// wait for itself forever: the verifier stops the machine instead.
//
// The bookkeeping of every initialised resource lives in the registry below,
// guarded by the dispatcher lock, from ExInitializeResourceLite to
// ExDeleteResourceLite; each thread counts the acquisitions it holds.
#include <stdio.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "core/verifier.h"
#include "ex/ex_internal.h"
#include "ke/dispatcher.h"
#include "ob/object_internal.h"

namespace plat {
namespace {

constexpr USHORT kResourceInitialized = 0x5245;  // "ER"

struct SharedOwner {
    ThreadState* Thread;
    ULONG Count;
};

struct ResourceState {
    ThreadState* Exclusive = nullptr;
    ULONG ExclusiveCount = 0;
    std::vector<SharedOwner> Shared;
    ULONG ExclusiveWaiters = 0;
    ULONG SharedWaiters = 0;
    DispatcherWaitList Waiters;
};

// Dispatcher lock.
std::unordered_map<PERESOURCE, ResourceState*>& Registry() {
    static auto* registry = new std::unordered_map<PERESOURCE, ResourceState*>;
    return *registry;
}

std::string Hex(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

[[noreturn]] void Stop(const std::string& finding, ULONG code, PERESOURCE resource) {
    fprintf(stderr, "%s\n", finding.c_str());
    VerifierReport(finding);
    KeBugCheckEx(code, reinterpret_cast<ULONG_PTR>(resource), 0, 0, 0);
}

ResourceState* Lookup(PERESOURCE resource, const char* routine) {
    auto it = Registry().find(resource);
    if (it == Registry().end()) {
        Stop(std::string(routine) + ": ERESOURCE " + Hex(resource) + " is not initialised", 0xE3, resource);
    }
    return it->second;
}

SharedOwner* FindShared(ResourceState* state, ThreadState* thread) {
    for (SharedOwner& owner : state->Shared) {
        if (owner.Thread == thread) return &owner;
    }
    return nullptr;
}

ULONG SharedTotal(const ResourceState* state) {
    ULONG total = 0;
    for (const SharedOwner& owner : state->Shared) total += owner.Count;
    return total;
}

bool IsFree(const ResourceState* state) {
    return state->Exclusive == nullptr && state->Shared.empty();
}

bool SharedGrantable(const ResourceState* state, bool starveExclusive) {
    return state->Exclusive == nullptr && (starveExclusive || state->ExclusiveWaiters == 0);
}

// Keeps the driver-visible fields in step (for debuggers and curious drivers).
void Mirror(PERESOURCE resource, const ResourceState* state) {
    resource->ExclusiveOwner =
        state->Exclusive != nullptr ? reinterpret_cast<ERESOURCE_THREAD>(state->Exclusive->Object) : 0;
    resource->OwnerCount = static_cast<LONG>(state->ExclusiveCount);
    resource->ActiveCount = static_cast<LONG>(state->ExclusiveCount + SharedTotal(state));
    resource->Flag = state->Exclusive != nullptr ? ResourceOwnedExclusive : 0;
}

// An owner's thread object stays referenced while it owns the resource, so
// that ExReleaseResourceForThreadLite can name a thread that has ended.
void GrantExclusive(PERESOURCE resource, ResourceState* state, ThreadState* thread) {
    if (state->ExclusiveCount == 0) ObReferenceBody(thread->Object);
    state->Exclusive = thread;
    state->ExclusiveCount += 1;
    thread->ResourcesHeld += 1;
    Mirror(resource, state);
}

void GrantShared(PERESOURCE resource, ResourceState* state, ThreadState* thread) {
    SharedOwner* owner = FindShared(state, thread);
    if (owner != nullptr) {
        owner->Count += 1;
    } else {
        ObReferenceBody(thread->Object);
        state->Shared.push_back(SharedOwner{thread, 1});
    }
    thread->ResourcesHeld += 1;
    Mirror(resource, state);
}

// Blocks until Grantable holds (the thread leaves if the kernel powers off).
template <typename Grantable>
void WaitForGrant(DispatcherGuard& guard, ResourceState* state, ThreadState* thread, ULONG* waiterCount,
                  Grantable grantable) {
    *waiterCount += 1;
    state->Waiters.Add(thread);
    WaitOutcome outcome = BlockCurrentThread(guard, thread, nullptr, grantable);
    state->Waiters.Remove(thread);
    *waiterCount -= 1;
    if (outcome == WaitOutcome::PowerOff) ExitThreadForPowerOff(guard, thread);
}

BOOLEAN AcquireExclusive(PERESOURCE resource, BOOLEAN wait) {
    ThreadState* thread = CurrentThread();
    DispatcherGuard guard(DispatcherLock());
    ResourceState* state = Lookup(resource, "ExAcquireResourceExclusiveLite");
    if (state->Exclusive == thread || IsFree(state)) {
        GrantExclusive(resource, state, thread);
        return TRUE;
    }
    if (FindShared(state, thread) != nullptr) {
        guard.unlock();
        Stop("ExAcquireResourceExclusiveLite: ERESOURCE " + Hex(resource) +
                 " is held shared by the thread that asks for exclusive access (it would wait for itself)",
             0xC4, resource);
    }
    if (!wait) return FALSE;
    resource->ContentionCount += 1;
    WaitForGrant(guard, state, thread, &state->ExclusiveWaiters, [state] { return IsFree(state); });
    GrantExclusive(resource, state, thread);
    return TRUE;
}

BOOLEAN AcquireShared(PERESOURCE resource, BOOLEAN wait, bool starveExclusive, const char* routine) {
    ThreadState* thread = CurrentThread();
    DispatcherGuard guard(DispatcherLock());
    ResourceState* state = Lookup(resource, routine);
    if (state->Exclusive == thread) {
        GrantExclusive(resource, state, thread);  // recursion of the exclusive owner
        return TRUE;
    }
    if (FindShared(state, thread) != nullptr || SharedGrantable(state, starveExclusive)) {
        GrantShared(resource, state, thread);
        return TRUE;
    }
    if (!wait) return FALSE;
    resource->ContentionCount += 1;
    WaitForGrant(guard, state, thread, &state->SharedWaiters,
                 [state, starveExclusive] { return SharedGrantable(state, starveExclusive); });
    GrantShared(resource, state, thread);
    return TRUE;
}

// Releases one acquisition held by Owner (NULL: the owner named by OwnerObject).
void Release(PERESOURCE resource, ThreadState* owner, PETHREAD ownerObject, const char* routine) {
    DispatcherGuard guard(DispatcherLock());
    ResourceState* state = Lookup(resource, routine);
    auto matches = [owner, ownerObject](ThreadState* t) {
        return t != nullptr && (owner != nullptr ? t == owner : t->Object == ownerObject);
    };
    PVOID formerOwner = nullptr;
    if (matches(state->Exclusive)) {
        ThreadState* holder = state->Exclusive;
        holder->ResourcesHeld -= 1;
        if (--state->ExclusiveCount == 0) {
            state->Exclusive = nullptr;
            formerOwner = holder->Object;
        }
    } else {
        auto it = std::find_if(state->Shared.begin(), state->Shared.end(),
                               [&matches](const SharedOwner& o) { return matches(o.Thread); });
        if (it == state->Shared.end()) {
            guard.unlock();
            VerifierReport(std::string(routine) + ": ERESOURCE " + Hex(resource) +
                           " released by a thread that does not own it (STATUS_RESOURCE_NOT_OWNED)");
            return;
        }
        it->Thread->ResourcesHeld -= 1;
        if (--it->Count == 0) {
            formerOwner = it->Thread->Object;
            state->Shared.erase(it);
        }
    }
    Mirror(resource, state);
    state->Waiters.WakeAll();
    guard.unlock();
    if (formerOwner != nullptr) ObDereferenceBody(formerOwner);
}

// The owners' thread references a resource holds (see GrantExclusive).
void CollectOwnerReferences(const ResourceState* state, std::vector<PVOID>* objects) {
    if (state->Exclusive != nullptr) objects->push_back(state->Exclusive->Object);
    for (const SharedOwner& owner : state->Shared) objects->push_back(owner.Thread->Object);
}

void DropReferences(const std::vector<PVOID>& objects) {
    for (PVOID object : objects) ObDereferenceBody(object);
}

// Removes the resource's bookkeeping; returns the owner references to drop.
std::vector<PVOID> Forget(PERESOURCE resource, ResourceState* state) {
    std::vector<PVOID> owners;
    CollectOwnerReferences(state, &owners);
    Registry().erase(resource);
    delete state;
    return owners;
}

}  // namespace

std::vector<std::string> ExReportResources() {
    std::vector<std::string> findings;
    std::vector<PVOID> owners;
    {
        DispatcherGuard guard(DispatcherLock());
        auto& registry = Registry();
        if (!registry.empty()) {
            findings.push_back("resource leak: " + std::to_string(registry.size()) +
                               " ERESOURCE(s) initialised and never deleted (first at " +
                               Hex(registry.begin()->first) + ")");
        }
        for (auto& entry : registry) {
            CollectOwnerReferences(entry.second, &owners);
            delete entry.second;
        }
        registry.clear();
    }
    DropReferences(owners);
    return findings;
}

void ExForgetResources() {
    DispatcherGuard guard(DispatcherLock());
    for (auto& entry : Registry()) delete entry.second;
    Registry().clear();
}

}  // namespace plat

using plat::DispatcherGuard;
using plat::DispatcherLock;

extern "C" NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource) {
    auto* state = new plat::ResourceState;
    std::vector<PVOID> owners;
    bool again = false;
    DispatcherGuard guard(DispatcherLock());
    auto it = plat::Registry().find(Resource);
    if (it != plat::Registry().end()) {
        again = true;
        owners = plat::Forget(Resource, it->second);
    }
    plat::Registry().emplace(Resource, state);
    InitializeListHead(&Resource->SystemResourcesList);
    Resource->OwnerState = state;
    Resource->ExclusiveOwner = 0;
    Resource->OwnerCount = 0;
    Resource->ActiveCount = 0;
    Resource->Flag = 0;
    Resource->Initialized = plat::kResourceInitialized;
    Resource->ContentionCount = 0;
    guard.unlock();
    plat::DropReferences(owners);
    if (again) {
        plat::VerifierReport("ExInitializeResourceLite: ERESOURCE " + plat::Hex(Resource) +
                             " initialised again without ExDeleteResourceLite");
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource) {
    std::vector<PVOID> owners;
    {
        DispatcherGuard guard(DispatcherLock());
        owners = plat::Forget(Resource, plat::Lookup(Resource, "ExReinitializeResourceLite"));
    }
    plat::DropReferences(owners);
    return ExInitializeResourceLite(Resource);
}

extern "C" NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource) {
    DispatcherGuard guard(DispatcherLock());
    plat::ResourceState* state = plat::Lookup(Resource, "ExDeleteResourceLite");
    bool busy = !plat::IsFree(state) || !state->Waiters.Empty();
    std::vector<PVOID> owners = plat::Forget(Resource, state);
    Resource->OwnerState = nullptr;
    Resource->Initialized = 0;
    guard.unlock();
    plat::DropReferences(owners);
    if (busy) {
        plat::VerifierReport("ExDeleteResourceLite: ERESOURCE " + plat::Hex(Resource) +
                             " deleted while owned or waited for");
    }
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    return plat::AcquireExclusive(Resource, Wait);
}

extern "C" BOOLEAN NTAPI ExTryToAcquireResourceExclusiveLite(PERESOURCE Resource) {
    return plat::AcquireExclusive(Resource, FALSE);
}

extern "C" BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    return plat::AcquireShared(Resource, Wait, false, "ExAcquireResourceSharedLite");
}

extern "C" BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return plat::AcquireShared(Resource, Wait, true, "ExAcquireSharedStarveExclusive");
}

extern "C" VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource) {
    plat::Release(Resource, plat::CurrentThread(), nullptr, "ExReleaseResourceLite");
}

extern "C" VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
    plat::Release(Resource, nullptr, reinterpret_cast<PETHREAD>(ResourceThreadId),
                  "ExReleaseResourceForThreadLite");
}

extern "C" BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    plat::ThreadState* thread = plat::CurrentThread();
    DispatcherGuard guard(DispatcherLock());
    return plat::Lookup(Resource, "ExIsResourceAcquiredExclusiveLite")->Exclusive == thread;
}

extern "C" ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    plat::ThreadState* thread = plat::CurrentThread();
    DispatcherGuard guard(DispatcherLock());
    plat::ResourceState* state = plat::Lookup(Resource, "ExIsResourceAcquiredSharedLite");
    if (state->Exclusive == thread) return state->ExclusiveCount;
    plat::SharedOwner* owner = plat::FindShared(state, thread);
    return owner != nullptr ? owner->Count : 0;
}

extern "C" ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource) {
    DispatcherGuard guard(DispatcherLock());
    return plat::Lookup(Resource, "ExGetExclusiveWaiterCount")->ExclusiveWaiters;
}

extern "C" ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource) {
    DispatcherGuard guard(DispatcherLock());
    return plat::Lookup(Resource, "ExGetSharedWaiterCount")->SharedWaiters;
}
