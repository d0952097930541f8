// SIDs: the run-time library's SID routines and the well-known SIDs of
// SeExports.
#include "se/security.h"

#include <string.h>

#include <initializer_list>

static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6, "SID authority layout");
static_assert(FIELD_OFFSET(SID, SubAuthority) == 8, "SID layout");

namespace {

// Sub-authorities are addressed past the declared one-element array.
PULONG SubAuthorities(PSID Sid) {
    return reinterpret_cast<PULONG>(static_cast<PUCHAR>(Sid) + FIELD_OFFSET(SID, SubAuthority));
}

}  // namespace

extern "C" ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount) {
    return FIELD_OFFSET(SID, SubAuthority) + SubAuthorityCount * sizeof(ULONG);
}

extern "C" ULONG NTAPI RtlLengthSid(PSID Sid) {
    return RtlLengthRequiredSid(static_cast<PISID>(Sid)->SubAuthorityCount);
}

extern "C" BOOLEAN NTAPI RtlValidSid(PSID Sid) {
    if (Sid == NULL) return FALSE;
    auto* sid = static_cast<PISID>(Sid);
    return sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

extern "C" BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2) {
    auto* a = static_cast<PISID>(Sid1);
    auto* b = static_cast<PISID>(Sid2);
    if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount) return FALSE;
    return memcmp(a, b, RtlLengthSid(a)) == 0;
}

extern "C" NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid) {
    ULONG length = RtlLengthSid(SourceSid);
    if (DestinationSidLength < length) return STATUS_BUFFER_TOO_SMALL;
    memmove(DestinationSid, SourceSid, length);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                           UCHAR SubAuthorityCount) {
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
    auto* sid = static_cast<PISID>(Sid);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = SubAuthorityCount;
    sid->IdentifierAuthority = *IdentifierAuthority;
    return STATUS_SUCCESS;
}

extern "C" PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority) {
    return SubAuthorities(Sid) + SubAuthority;
}

extern "C" PUCHAR NTAPI RtlSubAuthorityCountSid(PSID Sid) {
    return &static_cast<PISID>(Sid)->SubAuthorityCount;
}

extern "C" PSID_IDENTIFIER_AUTHORITY NTAPI RtlIdentifierAuthoritySid(PSID Sid) {
    return &static_cast<PISID>(Sid)->IdentifierAuthority;
}

namespace plat {

void SidBuild(PVOID Buffer, UCHAR Authority, const ULONG* Rids, UCHAR Count) {
    SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, Authority}};
    RtlInitializeSid(Buffer, &authority, Count);
    for (UCHAR i = 0; i < Count; ++i) *RtlSubAuthoritySid(Buffer, i) = Rids[i];
}

}  // namespace plat

// ---- SeExports -----------------------------------------------------------------

namespace {

// Storage for the well-known SIDs: none has more than two sub-authorities.
struct WellKnownSid {
    alignas(ULONG) UCHAR Bytes[FIELD_OFFSET(SID, SubAuthority) + 2 * sizeof(ULONG)];
};

struct ExportsStorage {
    SE_EXPORTS Exports;
    WellKnownSid Null, World, Local, CreatorOwner, CreatorGroup, NtAuthority, Dialup, Network, Batch,
        Interactive, LocalSystem, Admins, Users, Guests, PowerUsers, AccountOps, SystemOps, PrintOps,
        BackupOps, AuthenticatedUsers, Restricted, AnonymousLogon, LocalService, NetworkService;
};

PSID MakeSid(WellKnownSid& storage, UCHAR authority, std::initializer_list<ULONG> rids) {
    plat::SidBuild(storage.Bytes, authority, rids.begin(), static_cast<UCHAR>(rids.size()));
    return storage.Bytes;
}

LUID Privilege(ULONG value) {
    LUID luid = {value, 0};
    return luid;
}

constexpr UCHAR kNull = 0, kWorld = 1, kLocal = 2, kCreator = 3, kNt = 5;
constexpr ULONG kBuiltin = SECURITY_BUILTIN_DOMAIN_RID;

void FillSids(ExportsStorage& s) {
    SE_EXPORTS& e = s.Exports;
    e.SeNullSid = MakeSid(s.Null, kNull, {SECURITY_NULL_RID});
    e.SeWorldSid = MakeSid(s.World, kWorld, {SECURITY_WORLD_RID});
    e.SeLocalSid = MakeSid(s.Local, kLocal, {SECURITY_LOCAL_RID});
    e.SeCreatorOwnerSid = MakeSid(s.CreatorOwner, kCreator, {SECURITY_CREATOR_OWNER_RID});
    e.SeCreatorGroupSid = MakeSid(s.CreatorGroup, kCreator, {SECURITY_CREATOR_GROUP_RID});
    e.SeNtAuthoritySid = MakeSid(s.NtAuthority, kNt, {});
    e.SeDialupSid = MakeSid(s.Dialup, kNt, {SECURITY_DIALUP_RID});
    e.SeNetworkSid = MakeSid(s.Network, kNt, {SECURITY_NETWORK_RID});
    e.SeBatchSid = MakeSid(s.Batch, kNt, {SECURITY_BATCH_RID});
    e.SeInteractiveSid = MakeSid(s.Interactive, kNt, {SECURITY_INTERACTIVE_RID});
    e.SeLocalSystemSid = MakeSid(s.LocalSystem, kNt, {SECURITY_LOCAL_SYSTEM_RID});
    e.SeAliasAdminsSid = MakeSid(s.Admins, kNt, {kBuiltin, DOMAIN_ALIAS_RID_ADMINS});
    e.SeAliasUsersSid = MakeSid(s.Users, kNt, {kBuiltin, DOMAIN_ALIAS_RID_USERS});
    e.SeAliasGuestsSid = MakeSid(s.Guests, kNt, {kBuiltin, DOMAIN_ALIAS_RID_GUESTS});
    e.SeAliasPowerUsersSid = MakeSid(s.PowerUsers, kNt, {kBuiltin, DOMAIN_ALIAS_RID_POWER_USERS});
    e.SeAliasAccountOpsSid = MakeSid(s.AccountOps, kNt, {kBuiltin, DOMAIN_ALIAS_RID_ACCOUNT_OPS});
    e.SeAliasSystemOpsSid = MakeSid(s.SystemOps, kNt, {kBuiltin, DOMAIN_ALIAS_RID_SYSTEM_OPS});
    e.SeAliasPrintOpsSid = MakeSid(s.PrintOps, kNt, {kBuiltin, DOMAIN_ALIAS_RID_PRINT_OPS});
    e.SeAliasBackupOpsSid = MakeSid(s.BackupOps, kNt, {kBuiltin, DOMAIN_ALIAS_RID_BACKUP_OPS});
    e.SeAuthenticatedUsersSid = MakeSid(s.AuthenticatedUsers, kNt, {SECURITY_AUTHENTICATED_USER_RID});
    e.SeRestrictedSid = MakeSid(s.Restricted, kNt, {SECURITY_RESTRICTED_CODE_RID});
    e.SeAnonymousLogonSid = MakeSid(s.AnonymousLogon, kNt, {SECURITY_ANONYMOUS_LOGON_RID});
    e.SeLocalServiceSid = MakeSid(s.LocalService, kNt, {SECURITY_LOCAL_SERVICE_RID});
    e.SeNetworkServiceSid = MakeSid(s.NetworkService, kNt, {SECURITY_NETWORK_SERVICE_RID});
}

void FillPrivileges(SE_EXPORTS& e) {
    e.SeCreateTokenPrivilege = Privilege(SE_CREATE_TOKEN_PRIVILEGE);
    e.SeAssignPrimaryTokenPrivilege = Privilege(SE_ASSIGNPRIMARYTOKEN_PRIVILEGE);
    e.SeLockMemoryPrivilege = Privilege(SE_LOCK_MEMORY_PRIVILEGE);
    e.SeIncreaseQuotaPrivilege = Privilege(SE_INCREASE_QUOTA_PRIVILEGE);
    e.SeUnsolicitedInputPrivilege = Privilege(SE_MACHINE_ACCOUNT_PRIVILEGE);
    e.SeTcbPrivilege = Privilege(SE_TCB_PRIVILEGE);
    e.SeSecurityPrivilege = Privilege(SE_SECURITY_PRIVILEGE);
    e.SeTakeOwnershipPrivilege = Privilege(SE_TAKE_OWNERSHIP_PRIVILEGE);
    e.SeLoadDriverPrivilege = Privilege(SE_LOAD_DRIVER_PRIVILEGE);
    e.SeCreatePagefilePrivilege = Privilege(SE_CREATE_PAGEFILE_PRIVILEGE);
    e.SeIncreaseBasePriorityPrivilege = Privilege(SE_INC_BASE_PRIORITY_PRIVILEGE);
    e.SeSystemProfilePrivilege = Privilege(SE_SYSTEM_PROFILE_PRIVILEGE);
    e.SeSystemtimePrivilege = Privilege(SE_SYSTEMTIME_PRIVILEGE);
    e.SeProfileSingleProcessPrivilege = Privilege(SE_PROF_SINGLE_PROCESS_PRIVILEGE);
    e.SeCreatePermanentPrivilege = Privilege(SE_CREATE_PERMANENT_PRIVILEGE);
    e.SeBackupPrivilege = Privilege(SE_BACKUP_PRIVILEGE);
    e.SeRestorePrivilege = Privilege(SE_RESTORE_PRIVILEGE);
    e.SeShutdownPrivilege = Privilege(SE_SHUTDOWN_PRIVILEGE);
    e.SeDebugPrivilege = Privilege(SE_DEBUG_PRIVILEGE);
    e.SeAuditPrivilege = Privilege(SE_AUDIT_PRIVILEGE);
    e.SeSystemEnvironmentPrivilege = Privilege(SE_SYSTEM_ENVIRONMENT_PRIVILEGE);
    e.SeChangeNotifyPrivilege = Privilege(SE_CHANGE_NOTIFY_PRIVILEGE);
    e.SeRemoteShutdownPrivilege = Privilege(SE_REMOTE_SHUTDOWN_PRIVILEGE);
    e.SeUndockPrivilege = Privilege(SE_UNDOCK_PRIVILEGE);
    e.SeSyncAgentPrivilege = Privilege(SE_SYNC_AGENT_PRIVILEGE);
    e.SeEnableDelegationPrivilege = Privilege(SE_ENABLE_DELEGATION_PRIVILEGE);
    e.SeManageVolumePrivilege = Privilege(SE_MANAGE_VOLUME_PRIVILEGE);
    e.SeImpersonatePrivilege = Privilege(SE_IMPERSONATE_PRIVILEGE);
    e.SeCreateGlobalPrivilege = Privilege(SE_CREATE_GLOBAL_PRIVILEGE);
}

// Built on first use and never freed: the SIDs are constants of the system,
// the same in every kernel instance.
ExportsStorage& Storage() {
    static ExportsStorage* storage = [] {
        auto* s = new ExportsStorage();
        FillSids(*s);
        FillPrivileges(s->Exports);
        return s;
    }();
    return *storage;
}

}  // namespace

// C linkage comes from the declaration in nt/se.h.
PSE_EXPORTS SeExports = &Storage().Exports;

namespace plat {

PSID SidWorld() { return Storage().Exports.SeWorldSid; }
PSID SidCreatorOwner() { return Storage().Exports.SeCreatorOwnerSid; }
PSID SidCreatorGroup() { return Storage().Exports.SeCreatorGroupSid; }
PSID SidLocalSystem() { return Storage().Exports.SeLocalSystemSid; }
PSID SidAuthenticatedUsers() { return Storage().Exports.SeAuthenticatedUsersSid; }
PSID SidAdministrators() { return Storage().Exports.SeAliasAdminsSid; }
PSID SidUsers() { return Storage().Exports.SeAliasUsersSid; }

}  // namespace plat
