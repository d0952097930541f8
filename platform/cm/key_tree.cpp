// The key tree: the Key object type, the registry lock, names and ordering,
// linking and retiring keys, and the registry's lifecycle with the kernel.
#include "cm/cm_internal.h"
#include "cm/registry.h"

#include <stdio.h>

#include <algorithm>
#include <shared_mutex>

#include "core/kernel.h"
#include "core/verifier.h"

namespace plat {
namespace {

// CmLock: see cm_internal.h for what it guards and the rules around it.
std::shared_mutex CmLock;

struct UnmountedHive {
    CmKey* Parent;   // referenced while the hive is away
    CmKey* Root;     // the tree's reference of the hive root
};

struct RegistryState {
    CmKey* Root = nullptr;
    std::vector<UnmountedHive> Unmounted;
};

RegistryState State;  // guarded by CmLock

VOID CmDeleteKeyProcedure(PVOID Object) {
    CmKey* key = static_cast<CmKey*>(Object);
    if (key->Signature == kCmKeySignature) key->~CmKey();
}

// The predefined keys, created with every registry and after every load.
const WCHAR* const kPredefinedKeys[] = {
    L"\\REGISTRY\\MACHINE",
    L"\\REGISTRY\\MACHINE\\SYSTEM",
    L"\\REGISTRY\\MACHINE\\SOFTWARE",
    L"\\REGISTRY\\USER",
};

}  // namespace

ObjectType CmKeyType = {
    L"Key",
    CmParseKeyProcedure,
    nullptr,
    CmDeleteKeyProcedure,
    {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS},
    FALSE,
};

CmSharedGuard::CmSharedGuard() { CmLock.lock_shared(); }
CmSharedGuard::~CmSharedGuard() { CmLock.unlock_shared(); }
CmExclusiveGuard::CmExclusiveGuard() { CmLock.lock(); }
CmExclusiveGuard::~CmExclusiveGuard() { CmLock.unlock(); }

CmKey* CmRoot() { return State.Root; }

// ---- Names -----------------------------------------------------------------------

int CmCompareNames(CmNameRef a, CmNameRef b) {
    ULONG common = std::min(a.Chars, b.Chars);
    for (ULONG i = 0; i < common; ++i) {
        WCHAR x = RtlUpcaseUnicodeChar(a.Buffer[i]);
        WCHAR y = RtlUpcaseUnicodeChar(b.Buffer[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.Chars == b.Chars) return 0;
    return a.Chars < b.Chars ? -1 : 1;
}

bool CmEqualNames(CmNameRef a, CmNameRef b) {
    return a.Chars == b.Chars && CmCompareNames(a, b) == 0;
}

CmName CmMakeName(CmNameRef name) { return CmName(name.Buffer, name.Buffer + name.Chars); }

CmName CmUpcase(CmNameRef name) {
    CmName upcase(name.Chars);
    for (ULONG i = 0; i < name.Chars; ++i) upcase[i] = RtlUpcaseUnicodeChar(name.Buffer[i]);
    return upcase;
}

NTSTATUS CmCheckUnicodeString(PCUNICODE_STRING s) {
    if (s == nullptr) return STATUS_INVALID_PARAMETER;
    if ((s->Length & 1) != 0 || s->Length > s->MaximumLength) return STATUS_INVALID_PARAMETER;
    if (s->Length != 0 && s->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// ---- Subkeys and values ------------------------------------------------------------

size_t CmSubKeyInsertPosition(const CmKey* parent, const CmName& upcaseName) {
    auto it = std::lower_bound(parent->SubKeys.begin(), parent->SubKeys.end(), upcaseName,
                               [](const CmKey* k, const CmName& name) {
                                   return std::lexicographical_compare(k->UpcaseName.begin(), k->UpcaseName.end(),
                                                                       name.begin(), name.end());
                               });
    return static_cast<size_t>(it - parent->SubKeys.begin());
}

// A stored upper-case name against a name upper-cased on the fly, so that a
// lookup allocates nothing.
static int CompareUpcased(const CmName& upcase, CmNameRef name) {
    size_t common = std::min<size_t>(upcase.size(), name.Chars);
    for (size_t i = 0; i < common; ++i) {
        WCHAR y = RtlUpcaseUnicodeChar(name.Buffer[i]);
        if (upcase[i] != y) return upcase[i] < y ? -1 : 1;
    }
    if (upcase.size() == name.Chars) return 0;
    return upcase.size() < name.Chars ? -1 : 1;
}

CmKey* CmFindSubKey(const CmKey* parent, CmNameRef name) {
    auto it = std::lower_bound(parent->SubKeys.begin(), parent->SubKeys.end(), name,
                               [](const CmKey* k, CmNameRef n) { return CompareUpcased(k->UpcaseName, n) < 0; });
    if (it != parent->SubKeys.end() && CompareUpcased((*it)->UpcaseName, name) == 0) return *it;
    return nullptr;
}

void CmLinkSubKey(CmKey* parent, CmKey* child) {
    size_t i = CmSubKeyInsertPosition(parent, child->UpcaseName);
    parent->SubKeys.insert(parent->SubKeys.begin() + static_cast<ptrdiff_t>(i), child);
    child->Parent = parent;
}

void CmUnlinkSubKey(CmKey* child) {
    CmKey* parent = child->Parent;
    if (parent == nullptr) return;
    auto it = std::find(parent->SubKeys.begin(), parent->SubKeys.end(), child);
    if (it != parent->SubKeys.end()) parent->SubKeys.erase(it);
    child->Parent = nullptr;
}

long CmFindValue(const CmKey* key, CmNameRef name) {
    for (size_t i = 0; i < key->Values.size(); ++i) {
        if (CmEqualNames(CmRef(key->Values[i].Name), name)) return static_cast<long>(i);
    }
    return -1;
}

LONGLONG CmNow() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

CmName CmKeyPath(const CmKey* key) {
    std::vector<const CmKey*> chain;
    for (const CmKey* k = key; k != nullptr; k = k->Parent) chain.push_back(k);
    CmName path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path.push_back(L'\\');
        path.insert(path.end(), (*it)->Name.begin(), (*it)->Name.end());
    }
    return path;
}

// ---- Key objects -----------------------------------------------------------------

static NTSTATUS CmFillKey(CmKey* key, CmNameRef name, CmNameRef keyClass, ULONG titleIndex, ULONG flags) {
    try {
        key->Name = CmMakeName(name);
        key->UpcaseName = CmUpcase(name);
        key->Class = CmMakeName(keyClass);
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    key->TitleIndex = titleIndex;
    key->Flags = flags;
    key->LastWriteTime = CmNow();
    return STATUS_SUCCESS;
}

NTSTATUS CmCreateKeyObject(CmNameRef name, CmNameRef keyClass, ULONG titleIndex, ULONG flags,
                           PSECURITY_DESCRIPTOR security, CmKey** key) {
    *key = nullptr;
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(&CmKeyType, sizeof(CmKey), nullptr, security, &body);
    if (!NT_SUCCESS(status)) return status;
    CmKey* created = new (body) CmKey();
    status = CmFillKey(created, name, keyClass, titleIndex, flags);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(body);
        return status;
    }
    *key = created;
    return STATUS_SUCCESS;
}

void CmRetireSubtree(CmKey* key, std::vector<CmKey*>& retired) {
    // Children first, so that no key is left pointing at a retired parent.
    for (CmKey* child : key->SubKeys) {
        child->Parent = nullptr;
        CmRetireSubtree(child, retired);
    }
    CmVector<CmKey*>().swap(key->SubKeys);
    key->Flags |= CmKeyDeleted;
    key->Parent = nullptr;
    retired.push_back(key);
}

size_t CmCountSubtree(const CmKey* key) {
    size_t count = 1;
    for (const CmKey* child : key->SubKeys) count += CmCountSubtree(child);
    return count;
}

void CmDropReferences(const std::vector<CmKey*>& keys) {
    for (CmKey* key : keys) ObDereferenceObject(key);
}

// ---- Unmounted hives ------------------------------------------------------------------

std::vector<const CmKey*> CmUnmountedHivesBelow(const CmKey* parent) {
    std::vector<const CmKey*> hives;
    for (const UnmountedHive& hive : State.Unmounted) {
        if (hive.Parent == parent) hives.push_back(hive.Root);
    }
    return hives;
}

static bool SubtreeHasHandles(const CmKey* key) {
    if (ObGetHandleCount(const_cast<CmKey*>(key)) != 0) return true;
    for (const CmKey* child : key->SubKeys) {
        if (SubtreeHasHandles(child)) return true;
    }
    return false;
}

NTSTATUS RegistryUnmountHive(const WCHAR* keyPath) {
    CmKey* key = nullptr;
    NTSTATUS status = CmReferenceKeyByPath(keyPath, false, &key);
    if (!NT_SUCCESS(status)) return status;
    {
        CmExclusiveGuard guard;
        if (key->IsDeleted()) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (key->Parent == nullptr || SubtreeHasHandles(key)) {
            status = STATUS_CANNOT_DELETE;
        } else {
            try {
                State.Unmounted.push_back({key->Parent, key});
                ObReferenceObject(key->Parent);
                CmUnlinkSubKey(key);
            } catch (const std::bad_alloc&) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    ObDereferenceObject(key);
    return status;
}

static NTSTATUS SplitParentPath(const WCHAR* keyPath, std::vector<WCHAR>& parentPath, CmNameRef& leaf) {
    if (keyPath == nullptr) return STATUS_INVALID_PARAMETER;
    size_t length = wcslen(keyPath);
    while (length > 1 && keyPath[length - 1] == L'\\') --length;
    size_t slash = length;
    while (slash > 0 && keyPath[slash - 1] != L'\\') --slash;
    if (slash <= 1 || slash == length) return STATUS_OBJECT_NAME_INVALID;
    parentPath.assign(keyPath, keyPath + slash - 1);
    parentPath.push_back(0);
    leaf = {keyPath + slash, static_cast<ULONG>(length - slash)};
    return STATUS_SUCCESS;
}

NTSTATUS RegistryMountHive(const WCHAR* keyPath) {
    std::vector<WCHAR> parentPath;
    CmNameRef leaf;
    NTSTATUS status = SplitParentPath(keyPath, parentPath, leaf);
    if (!NT_SUCCESS(status)) return status;
    CmKey* parentToRelease = nullptr;
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    try {
        CmExclusiveGuard guard;
        for (auto it = State.Unmounted.begin(); it != State.Unmounted.end(); ++it) {
            if (!CmEqualNames(CmRef(it->Root->Name), leaf)) continue;
            CmName parentOfHive = CmKeyPath(it->Parent);
            CmNameRef wanted = {parentPath.data(), static_cast<ULONG>(parentPath.size() - 1)};
            if (it->Parent->IsDeleted() || !CmEqualNames(CmRef(parentOfHive), wanted)) continue;
            if (CmFindSubKey(it->Parent, leaf) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
            try {
                CmLinkSubKey(it->Parent, it->Root);
            } catch (const std::bad_alloc&) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            parentToRelease = it->Parent;
            State.Unmounted.erase(it);
            status = STATUS_SUCCESS;
            break;
        }
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (parentToRelease != nullptr) ObDereferenceObject(parentToRelease);
    return status;
}

bool RegistryIsHiveMounted(const WCHAR* keyPath) { return RegistryKeyExists(keyPath); }

void CmRetireUnmountedHives(std::vector<CmKey*>& retired, std::vector<CmKey*>& parents) {
    for (UnmountedHive& hive : State.Unmounted) {
        CmRetireSubtree(hive.Root, retired);
        parents.push_back(hive.Parent);
    }
    State.Unmounted.clear();
}

// ---- Lifecycle ------------------------------------------------------------------------

// Runs before "\REGISTRY" becomes visible. The body then is an empty key that
// allocates nothing, so the object manager may release it without the
// Delete procedure when the name cannot be inserted.
static VOID InitializeRoot(PVOID Body, PVOID) {
    CmKey* root = new (Body) CmKey();
    root->Flags = CmKeyPredefined;
}

static NTSTATUS CreateRoot() {
    CmBytes security;
    NTSTATUS status = CmBuildDefaultSecurity(security);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\REGISTRY");
    PVOID body = nullptr;
    status = ObCreateObjectEx(&CmKeyType, sizeof(CmKey), &name, nullptr, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE,
                              security.data(), &body, InitializeRoot, nullptr);
    if (!NT_SUCCESS(status)) return status;
    CmKey* root = static_cast<CmKey*>(body);
    static const WCHAR kRootName[] = L"REGISTRY";
    {
        CmExclusiveGuard guard;
        status = CmFillKey(root, {kRootName, 8}, {nullptr, 0}, 0, CmKeyPredefined);
        if (NT_SUCCESS(status)) State.Root = root;
    }
    if (!NT_SUCCESS(status)) {
        ObMakeTemporaryObject(body);
        ObDereferenceObject(body);
    }
    return status;
}

NTSTATUS CmEnsurePredefinedKeys() {
    for (const WCHAR* path : kPredefinedKeys) {
        CmKey* key = nullptr;
        NTSTATUS status = CmReferenceKeyByPath(path, true, &key);
        if (!NT_SUCCESS(status)) return status;
        {
            CmExclusiveGuard guard;
            key->Flags |= CmKeyPredefined;
        }
        ObDereferenceObject(key);
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryInitialize() {
    {
        CmExclusiveGuard guard;
        // A kernel that lost its power released the keys wholesale: forget them.
        State = RegistryState();
    }
    NTSTATUS status = CreateRoot();
    if (!NT_SUCCESS(status)) return status;
    status = CmEnsurePredefinedKeys();
    if (!NT_SUCCESS(status)) RegistryShutdown();
    return status;
}

void RegistryShutdown() {
    std::vector<CmKey*> retired;
    std::vector<CmKey*> parents;
    CmKey* root = nullptr;
    {
        CmExclusiveGuard guard;
        root = State.Root;
        if (root == nullptr) return;
        CmRetireUnmountedHives(retired, parents);
        CmRetireSubtree(root, retired);
        State.Root = nullptr;
    }
    CmDropReferences(parents);
    ObMakeTemporaryObject(root);
    CmDropReferences(retired);
    RegistrySetFlushFile("");
}

// The registry lives and dies with the kernel. After a power-off the keys'
// memory went with the pool: only the host state is reset.
static const bool RegisteredWithKernel = [] {
    KernelComponent component;
    component.Name = "registry";
    component.Order = 50;
    component.Create = [] {
        NTSTATUS status = RegistryInitialize();
        if (!NT_SUCCESS(status)) {
            char text[64];
            snprintf(text, sizeof(text), "registry: initialization failed with status 0x%08X",
                     static_cast<unsigned>(status));
            VerifierReport(text);
        }
    };
    component.Destroy = [] { RegistryShutdown(); };
    component.PowerOff = [] {
        {
            CmExclusiveGuard guard;
            State = RegistryState();
        }
        RegistrySetFlushFile("");
    };
    KernelRegisterComponent(component);
    return true;
}();

}  // namespace plat
