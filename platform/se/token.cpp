// Access tokens.
//
// A token is one pool block (tag "SeTk", so that a leaked token shows in the
// verifier's pool report) holding the user SID, up to kMaxGroups group SIDs,
// the primary group and two privilege sets: those the token holds and those
// of them that are enabled. The locking rules are written in token.h.
#include "se/token.h"

#include "se/security.h"

#include <string.h>

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <new>
#include <shared_mutex>

namespace plat {
namespace {

constexpr ULONG kMaxGroups = 8;
constexpr ULONG kUserDomainRids[] = {SECURITY_NT_NON_UNIQUE, 1000, 1000, 1000};
constexpr ULONG kGroupAttributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

struct SidBuffer {
    alignas(ULONG) UCHAR Bytes[SECURITY_MAX_SID_SIZE];

    void Set(PSID Sid) { RtlCopySid(sizeof(Bytes), Bytes, Sid); }
    PSID Get() { return Bytes; }
};

struct TokenGroup {
    SidBuffer Sid;
    ULONG Attributes;
};

ULONGLONG PrivilegeBit(ULONG Privilege) {
    return Privilege < 64 ? (ULONGLONG(1) << Privilege) : 0;
}

ULONGLONG PrivilegeSet(std::initializer_list<ULONG> privileges) {
    ULONGLONG set = 0;
    for (ULONG privilege : privileges) set |= PrivilegeBit(privilege);
    return set;
}

ULONGLONG AllPrivileges() {
    ULONGLONG set = 0;
    for (ULONG p = SE_MIN_WELL_KNOWN_PRIVILEGE; p <= SE_MAX_WELL_KNOWN_PRIVILEGE; ++p) set |= PrivilegeBit(p);
    return set;
}

// What an ordinary user holds, and has enabled, on a workstation.
const ULONGLONG kUserHeld = PrivilegeSet({SE_CHANGE_NOTIFY_PRIVILEGE, SE_SHUTDOWN_PRIVILEGE, SE_UNDOCK_PRIVILEGE});
const ULONGLONG kUserEnabled = PrivilegeSet({SE_CHANGE_NOTIFY_PRIVILEGE});

// An administrator holds the administrative privileges too; as on Windows they
// start disabled (a program enables one with TokenEnablePrivilege) except the
// few enabled by default.
const ULONGLONG kAdminHeld =
    kUserHeld | PrivilegeSet({SE_SECURITY_PRIVILEGE, SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE,
                              SE_SYSTEMTIME_PRIVILEGE, SE_REMOTE_SHUTDOWN_PRIVILEGE, SE_TAKE_OWNERSHIP_PRIVILEGE,
                              SE_DEBUG_PRIVILEGE, SE_SYSTEM_ENVIRONMENT_PRIVILEGE, SE_SYSTEM_PROFILE_PRIVILEGE,
                              SE_PROF_SINGLE_PROCESS_PRIVILEGE, SE_INC_BASE_PRIORITY_PRIVILEGE,
                              SE_LOAD_DRIVER_PRIVILEGE, SE_CREATE_PAGEFILE_PRIVILEGE, SE_INCREASE_QUOTA_PRIVILEGE,
                              SE_MANAGE_VOLUME_PRIVILEGE, SE_IMPERSONATE_PRIVILEGE, SE_CREATE_GLOBAL_PRIVILEGE});
const ULONGLONG kAdminEnabled =
    kUserEnabled | PrivilegeSet({SE_IMPERSONATE_PRIVILEGE, SE_CREATE_GLOBAL_PRIVILEGE});

}  // namespace

struct Token {
    std::atomic<LONG> References{1};
    // Writers of EnabledPrivileges hold Lock exclusive (see token.h); the
    // value is atomic so that a reader needs no lock of its own, even while
    // its subject context holds the lock shared.
    std::shared_mutex Lock;
    SidBuffer User;
    SidBuffer PrimaryGroup;
    TokenGroup Groups[kMaxGroups];
    ULONG GroupCount = 0;
    ULONGLONG HeldPrivileges = 0;
    std::atomic<ULONGLONG> EnabledPrivileges{0};

    void AddGroup(PSID Sid, ULONG Attributes) {
        TokenGroup& group = Groups[GroupCount++];
        group.Sid.Set(Sid);
        group.Attributes = Attributes;
    }
};

namespace {

Token* AllocateToken() {
    PVOID memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(Token), kSeTokenTag);
    if (memory == NULL) return NULL;
    return new (memory) Token();
}

}  // namespace

Token* TokenCreateSystem() {
    Token* token = AllocateToken();
    if (token == NULL) return NULL;
    token->User.Set(SidLocalSystem());
    token->PrimaryGroup.Set(SidLocalSystem());
    token->AddGroup(SidAdministrators(), kGroupAttributes | SE_GROUP_OWNER);
    token->AddGroup(SidWorld(), kGroupAttributes);
    token->AddGroup(SidAuthenticatedUsers(), kGroupAttributes);
    token->HeldPrivileges = AllPrivileges();
    token->EnabledPrivileges = AllPrivileges();
    return token;
}

Token* TokenCreateUser(ULONG Rid, bool Administrator) {
    Token* token = AllocateToken();
    if (token == NULL) return NULL;
    ULONG rids[] = {kUserDomainRids[0], kUserDomainRids[1], kUserDomainRids[2], kUserDomainRids[3], Rid};
    SidBuild(token->User.Bytes, 5, rids, static_cast<UCHAR>(ARRAYSIZE(rids)));
    // The primary group is Users: one of the token's groups, as on Windows.
    token->PrimaryGroup.Set(SidUsers());
    token->AddGroup(SidWorld(), kGroupAttributes);
    token->AddGroup(SidUsers(), kGroupAttributes);
    token->AddGroup(SidAuthenticatedUsers(), kGroupAttributes);
    if (Administrator) token->AddGroup(SidAdministrators(), kGroupAttributes | SE_GROUP_OWNER);
    token->HeldPrivileges = Administrator ? kAdminHeld : kUserHeld;
    token->EnabledPrivileges = Administrator ? kAdminEnabled : kUserEnabled;
    return token;
}

void TokenReference(Token* token) {
    token->References.fetch_add(1, std::memory_order_relaxed);
}

void TokenRelease(Token* token) {
    if (token->References.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    token->~Token();
    ExFreePoolWithTag(token, kSeTokenTag);
}

PSID TokenUserSid(Token* token) {
    return token->User.Get();
}

PSID TokenPrimaryGroupSid(Token* token) {
    return token->PrimaryGroup.Get();
}

PSID TokenGroupSid(Token* token, ULONG Index, PULONG Attributes) {
    if (Index >= token->GroupCount) return NULL;
    if (Attributes != NULL) *Attributes = token->Groups[Index].Attributes;
    return token->Groups[Index].Sid.Get();
}

bool TokenIsMember(Token* token, PSID Sid) {
    if (RtlEqualSid(token->User.Get(), Sid)) return true;
    for (ULONG i = 0; i < token->GroupCount; ++i) {
        TokenGroup& group = token->Groups[i];
        if ((group.Attributes & SE_GROUP_ENABLED) && RtlEqualSid(group.Sid.Get(), Sid)) return true;
    }
    return false;
}

bool TokenMayOwn(Token* token, PSID Sid) {
    if (RtlEqualSid(token->User.Get(), Sid)) return true;
    for (ULONG i = 0; i < token->GroupCount; ++i) {
        TokenGroup& group = token->Groups[i];
        if ((group.Attributes & SE_GROUP_OWNER) && RtlEqualSid(group.Sid.Get(), Sid)) return true;
    }
    return false;
}

bool TokenHoldsPrivilege(Token* token, ULONG Privilege) {
    return (token->HeldPrivileges & PrivilegeBit(Privilege)) != 0;
}

bool TokenPrivilegeEnabled(Token* token, ULONG Privilege) {
    return (token->EnabledPrivileges.load(std::memory_order_acquire) & PrivilegeBit(Privilege)) != 0;
}

NTSTATUS TokenEnablePrivilege(Token* token, ULONG Privilege, bool Enable) {
    if (!TokenHoldsPrivilege(token, Privilege)) return STATUS_PRIVILEGE_NOT_HELD;
    std::unique_lock<std::shared_mutex> guard(token->Lock);
    if (Enable) {
        token->EnabledPrivileges.fetch_or(PrivilegeBit(Privilege), std::memory_order_release);
    } else {
        token->EnabledPrivileges.fetch_and(~PrivilegeBit(Privilege), std::memory_order_release);
    }
    return STATUS_SUCCESS;
}

void TokenLockShared(Token* token) {
    token->Lock.lock_shared();
}

void TokenUnlockShared(Token* token) {
    token->Lock.unlock_shared();
}

}  // namespace plat
