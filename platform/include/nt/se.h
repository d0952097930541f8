// Security: access rights, SIDs, ACLs, security descriptors, privileges,
// subject contexts and access states, and the Rtl and Se routines on them.
//
// The standard, generic, file and key access rights live here; the rights
// specific to kernel objects (events, directories, threads, ...) are declared
// with their objects.
//
// Layouts are those of the WDK. The absolute SECURITY_DESCRIPTOR holds
// pointers (20 bytes on 32-bit Windows, 40 on the 64-bit host); the
// self-relative SECURITY_DESCRIPTOR_RELATIVE holds 32-bit offsets from its own
// start and is 20 bytes everywhere.
#pragma once

#include "ntdef.h"
#include "expool.h"

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

// ---- Access rights ---------------------------------------------------------

#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L

#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define SPECIFIC_RIGHTS_ALL      0x0000FFFFL

#define ACCESS_SYSTEM_SECURITY   0x01000000L
#define MAXIMUM_ALLOWED          0x02000000L

#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L

// Files and directories.
#define FILE_READ_DATA            0x0001
#define FILE_LIST_DIRECTORY       0x0001
#define FILE_WRITE_DATA           0x0002
#define FILE_ADD_FILE             0x0002
#define FILE_APPEND_DATA          0x0004
#define FILE_ADD_SUBDIRECTORY     0x0004
#define FILE_CREATE_PIPE_INSTANCE 0x0004
#define FILE_READ_EA              0x0008
#define FILE_WRITE_EA             0x0010
#define FILE_EXECUTE              0x0020
#define FILE_TRAVERSE             0x0020
#define FILE_DELETE_CHILD         0x0040
#define FILE_READ_ATTRIBUTES      0x0080
#define FILE_WRITE_ATTRIBUTES     0x0100

#define FILE_ALL_ACCESS      (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ    (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | \
                              FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE   (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | \
                              FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | \
                              SYNCHRONIZE)

// Registry keys.
#define KEY_QUERY_VALUE        0x0001
#define KEY_SET_VALUE          0x0002
#define KEY_CREATE_SUB_KEY     0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY             0x0010
#define KEY_CREATE_LINK        0x0020
#define KEY_WOW64_64KEY        0x0100
#define KEY_WOW64_32KEY        0x0200
#define KEY_WOW64_RES          0x0300

#define KEY_READ       ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | \
                         KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE      ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE    (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | \
                         KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) & ~SYNCHRONIZE)

// ---- Privileges ------------------------------------------------------------

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    ULONG Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED            0x00000002L
#define SE_PRIVILEGE_REMOVED            0x00000004L
#define SE_PRIVILEGE_USED_FOR_ACCESS    0x80000000L

#define PRIVILEGE_SET_ALL_NECESSARY 1

typedef struct _PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[ANYSIZE_ARRAY];
} PRIVILEGE_SET, *PPRIVILEGE_SET;

#define INITIAL_PRIVILEGE_COUNT 3

typedef struct _INITIAL_PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[INITIAL_PRIVILEGE_COUNT];
} INITIAL_PRIVILEGE_SET, *PINITIAL_PRIVILEGE_SET;

#define SE_MIN_WELL_KNOWN_PRIVILEGE         2
#define SE_CREATE_TOKEN_PRIVILEGE           2
#define SE_ASSIGNPRIMARYTOKEN_PRIVILEGE     3
#define SE_LOCK_MEMORY_PRIVILEGE            4
#define SE_INCREASE_QUOTA_PRIVILEGE         5
#define SE_MACHINE_ACCOUNT_PRIVILEGE        6
#define SE_TCB_PRIVILEGE                    7
#define SE_SECURITY_PRIVILEGE               8
#define SE_TAKE_OWNERSHIP_PRIVILEGE         9
#define SE_LOAD_DRIVER_PRIVILEGE            10
#define SE_SYSTEM_PROFILE_PRIVILEGE         11
#define SE_SYSTEMTIME_PRIVILEGE             12
#define SE_PROF_SINGLE_PROCESS_PRIVILEGE    13
#define SE_INC_BASE_PRIORITY_PRIVILEGE      14
#define SE_CREATE_PAGEFILE_PRIVILEGE        15
#define SE_CREATE_PERMANENT_PRIVILEGE       16
#define SE_BACKUP_PRIVILEGE                 17
#define SE_RESTORE_PRIVILEGE                18
#define SE_SHUTDOWN_PRIVILEGE               19
#define SE_DEBUG_PRIVILEGE                  20
#define SE_AUDIT_PRIVILEGE                  21
#define SE_SYSTEM_ENVIRONMENT_PRIVILEGE     22
#define SE_CHANGE_NOTIFY_PRIVILEGE          23
#define SE_REMOTE_SHUTDOWN_PRIVILEGE        24
#define SE_UNDOCK_PRIVILEGE                 25
#define SE_SYNC_AGENT_PRIVILEGE             26
#define SE_ENABLE_DELEGATION_PRIVILEGE      27
#define SE_MANAGE_VOLUME_PRIVILEGE          28
#define SE_IMPERSONATE_PRIVILEGE            29
#define SE_CREATE_GLOBAL_PRIVILEGE          30
#define SE_MAX_WELL_KNOWN_PRIVILEGE         SE_CREATE_GLOBAL_PRIVILEGE

// ---- SIDs ------------------------------------------------------------------

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;

#define SID_REVISION                    1
#define SID_MAX_SUB_AUTHORITIES         15
#define SID_RECOMMENDED_SUB_AUTHORITIES 1
#define SECURITY_MAX_SID_SIZE           (sizeof(SID) - sizeof(ULONG) + SID_MAX_SUB_AUTHORITIES * sizeof(ULONG))

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    ULONG Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

// Attributes of a token's groups.
#define SE_GROUP_MANDATORY          0x00000001L
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002L
#define SE_GROUP_ENABLED            0x00000004L
#define SE_GROUP_OWNER              0x00000008L
#define SE_GROUP_USE_FOR_DENY_ONLY  0x00000010L

#define SECURITY_NULL_SID_AUTHORITY         {0, 0, 0, 0, 0, 0}
#define SECURITY_WORLD_SID_AUTHORITY        {0, 0, 0, 0, 0, 1}
#define SECURITY_LOCAL_SID_AUTHORITY        {0, 0, 0, 0, 0, 2}
#define SECURITY_CREATOR_SID_AUTHORITY      {0, 0, 0, 0, 0, 3}
#define SECURITY_NON_UNIQUE_AUTHORITY       {0, 0, 0, 0, 0, 4}
#define SECURITY_NT_AUTHORITY               {0, 0, 0, 0, 0, 5}
#define SECURITY_MANDATORY_LABEL_AUTHORITY  {0, 0, 0, 0, 0, 16}

#define SECURITY_NULL_RID                 0x00000000L
#define SECURITY_WORLD_RID                0x00000000L
#define SECURITY_LOCAL_RID                0x00000000L
#define SECURITY_CREATOR_OWNER_RID        0x00000000L
#define SECURITY_CREATOR_GROUP_RID        0x00000001L

#define SECURITY_DIALUP_RID               0x00000001L
#define SECURITY_NETWORK_RID              0x00000002L
#define SECURITY_BATCH_RID                0x00000003L
#define SECURITY_INTERACTIVE_RID          0x00000004L
#define SECURITY_SERVICE_RID              0x00000006L
#define SECURITY_ANONYMOUS_LOGON_RID      0x00000007L
#define SECURITY_RESTRICTED_CODE_RID      0x0000000CL
#define SECURITY_AUTHENTICATED_USER_RID   0x0000000BL
#define SECURITY_LOCAL_SYSTEM_RID         0x00000012L
#define SECURITY_LOCAL_SERVICE_RID        0x00000013L
#define SECURITY_NETWORK_SERVICE_RID      0x00000014L
#define SECURITY_NT_NON_UNIQUE            0x00000015L
#define SECURITY_BUILTIN_DOMAIN_RID       0x00000020L

#define DOMAIN_USER_RID_ADMIN             0x000001F4L
#define DOMAIN_USER_RID_GUEST             0x000001F5L
#define DOMAIN_GROUP_RID_USERS            0x00000201L
#define DOMAIN_ALIAS_RID_ADMINS           0x00000220L
#define DOMAIN_ALIAS_RID_USERS            0x00000221L
#define DOMAIN_ALIAS_RID_GUESTS           0x00000222L
#define DOMAIN_ALIAS_RID_POWER_USERS      0x00000223L
#define DOMAIN_ALIAS_RID_ACCOUNT_OPS      0x00000224L
#define DOMAIN_ALIAS_RID_SYSTEM_OPS       0x00000225L
#define DOMAIN_ALIAS_RID_PRINT_OPS        0x00000226L
#define DOMAIN_ALIAS_RID_BACKUP_OPS       0x00000227L

#define SECURITY_MANDATORY_UNTRUSTED_RID  0x00000000L
#define SECURITY_MANDATORY_LOW_RID        0x00001000L
#define SECURITY_MANDATORY_MEDIUM_RID     0x00002000L
#define SECURITY_MANDATORY_HIGH_RID       0x00003000L
#define SECURITY_MANDATORY_SYSTEM_RID     0x00004000L

// ---- ACLs and ACEs ---------------------------------------------------------

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;    // bytes, header and ACEs
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define ACL_REVISION     2
#define ACL_REVISION_DS  4
#define ACL_REVISION1    1
#define ACL_REVISION2    2
#define ACL_REVISION3    3
#define ACL_REVISION4    4
#define MIN_ACL_REVISION ACL_REVISION2
#define MAX_ACL_REVISION ACL_REVISION4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;    // bytes, header included
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_MIN_MS_ACE_TYPE           0x0
#define ACCESS_ALLOWED_ACE_TYPE          0x0
#define ACCESS_DENIED_ACE_TYPE           0x1
#define SYSTEM_AUDIT_ACE_TYPE            0x2
#define SYSTEM_ALARM_ACE_TYPE            0x3
#define ACCESS_MAX_MS_V2_ACE_TYPE        0x3
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE 0x4
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE   0x5
#define ACCESS_DENIED_OBJECT_ACE_TYPE    0x6
#define SYSTEM_AUDIT_OBJECT_ACE_TYPE     0x7
#define SYSTEM_ALARM_OBJECT_ACE_TYPE     0x8
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE  0x11

#define OBJECT_INHERIT_ACE         0x01
#define CONTAINER_INHERIT_ACE      0x02
#define NO_PROPAGATE_INHERIT_ACE   0x04
#define INHERIT_ONLY_ACE           0x08
#define INHERITED_ACE              0x10
#define VALID_INHERIT_FLAGS        0x1F
#define SUCCESSFUL_ACCESS_ACE_FLAG 0x40
#define FAILED_ACCESS_ACE_FLAG     0x80

// The ACEs that carry one SID: the SID starts at SidStart.
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _SYSTEM_AUDIT_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_AUDIT_ACE, *PSYSTEM_AUDIT_ACE;

typedef struct _SYSTEM_ALARM_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_ALARM_ACE, *PSYSTEM_ALARM_ACE;

typedef struct _SYSTEM_MANDATORY_LABEL_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_MANDATORY_LABEL_ACE, *PSYSTEM_MANDATORY_LABEL_ACE;

#define SYSTEM_MANDATORY_LABEL_NO_WRITE_UP   0x1
#define SYSTEM_MANDATORY_LABEL_NO_READ_UP    0x2
#define SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP 0x4

// ---- Security descriptors --------------------------------------------------

typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

#define SE_OWNER_DEFAULTED       0x0001
#define SE_GROUP_DEFAULTED       0x0002
#define SE_DACL_PRESENT          0x0004
#define SE_DACL_DEFAULTED        0x0008
#define SE_SACL_PRESENT          0x0010
#define SE_SACL_DEFAULTED        0x0020
#define SE_DACL_UNTRUSTED        0x0040
#define SE_SERVER_SECURITY       0x0080
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED   0x0400
#define SE_SACL_AUTO_INHERITED   0x0800
#define SE_DACL_PROTECTED        0x1000
#define SE_SACL_PROTECTED        0x2000
#define SE_RM_CONTROL_VALID      0x4000
#define SE_SELF_RELATIVE         0x8000

#define SECURITY_DESCRIPTOR_REVISION  1
#define SECURITY_DESCRIPTOR_REVISION1 1

// Self-relative form: the parts follow the header; each field is the offset of
// its part from the start of the descriptor, 0 when the part is absent.
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

// Absolute form: the parts lie anywhere, reached through pointers.
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

#define OWNER_SECURITY_INFORMATION            0x00000001L
#define GROUP_SECURITY_INFORMATION            0x00000002L
#define DACL_SECURITY_INFORMATION             0x00000004L
#define SACL_SECURITY_INFORMATION             0x00000008L
#define LABEL_SECURITY_INFORMATION            0x00000010L
#define PROTECTED_DACL_SECURITY_INFORMATION   0x80000000L
#define PROTECTED_SACL_SECURITY_INFORMATION   0x40000000L
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L
#define UNPROTECTED_SACL_SECURITY_INFORMATION 0x10000000L

// Auto-inheritance flags of SeAssignSecurityEx and SeSetSecurityDescriptorInfoEx.
#define SEF_DACL_AUTO_INHERIT             0x01
#define SEF_SACL_AUTO_INHERIT             0x02
#define SEF_DEFAULT_DESCRIPTOR_FOR_OBJECT 0x04
#define SEF_AVOID_PRIVILEGE_CHECK         0x08
#define SEF_AVOID_OWNER_CHECK             0x10
#define SEF_DEFAULT_OWNER_FROM_PARENT     0x20
#define SEF_DEFAULT_GROUP_FROM_PARENT     0x40

// ---- Subjects and access states --------------------------------------------

typedef PVOID PACCESS_TOKEN;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL, *PSECURITY_IMPERSONATION_LEVEL;

typedef enum _TOKEN_TYPE {
    TokenPrimary = 1,
    TokenImpersonation
} TOKEN_TYPE, *PTOKEN_TYPE;

typedef BOOLEAN SECURITY_CONTEXT_TRACKING_MODE, *PSECURITY_CONTEXT_TRACKING_MODE;
#define SECURITY_DYNAMIC_TRACKING TRUE
#define SECURITY_STATIC_TRACKING  FALSE

typedef struct _SECURITY_QUALITY_OF_SERVICE {
    ULONG Length;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    SECURITY_CONTEXT_TRACKING_MODE ContextTrackingMode;
    BOOLEAN EffectiveOnly;
} SECURITY_QUALITY_OF_SERVICE, *PSECURITY_QUALITY_OF_SERVICE;

// The identity of a caller, captured at one moment. The stand-in has no
// impersonation: ClientToken is always NULL and PrimaryToken is the calling
// process's token, referenced until SeReleaseSubjectContext.
typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

#define SeQuerySubjectContextToken(SubjectContext)                           \
    (((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken != NULL      \
         ? ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken        \
         : ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->PrimaryToken)

// ACCESS_STATE.Flags
#define TOKEN_HAS_TRAVERSE_PRIVILEGE 0x0001
#define TOKEN_HAS_BACKUP_PRIVILEGE   0x0002
#define TOKEN_HAS_RESTORE_PRIVILEGE  0x0004
#define TOKEN_HAS_ADMIN_GROUP        0x0008

// The state of one access attempt (an open), built by SeCreateAccessState.
typedef struct _ACCESS_STATE {
    LUID OperationID;
    BOOLEAN SecurityEvaluated;
    BOOLEAN GenerateAudit;
    BOOLEAN GenerateOnClose;
    BOOLEAN PrivilegesAllocated;
    ULONG Flags;
    ACCESS_MASK RemainingDesiredAccess;
    ACCESS_MASK PreviouslyGrantedAccess;
    ACCESS_MASK OriginalDesiredAccess;
    SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    PVOID AuxData;
    union {
        INITIAL_PRIVILEGE_SET InitialPrivilegeSet;
        PRIVILEGE_SET PrivilegeSet;
    } Privileges;
    BOOLEAN AuditPrivileges;
    UNICODE_STRING ObjectName;
    UNICODE_STRING ObjectTypeName;
} ACCESS_STATE, *PACCESS_STATE;

// Well-known SIDs and privilege values, valid while a kernel exists.
typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;
    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;
    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;
    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;
    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;
} SE_EXPORTS, *PSE_EXPORTS;

NT_BEGIN_C

extern PSE_EXPORTS SeExports;

// ---- Run-time library: SIDs ------------------------------------------------

NTSYSAPI ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount);
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTSYSAPI BOOLEAN NTAPI RtlValidSid(PSID Sid);
NTSYSAPI BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2);
NTSYSAPI NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid);
NTSYSAPI NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount);
NTSYSAPI PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority);
NTSYSAPI PUCHAR NTAPI RtlSubAuthorityCountSid(PSID Sid);
NTSYSAPI PSID_IDENTIFIER_AUTHORITY NTAPI RtlIdentifierAuthoritySid(PSID Sid);

// ---- Run-time library: ACLs ------------------------------------------------

NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI BOOLEAN NTAPI RtlValidAcl(PACL Acl);
NTSYSAPI NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace);
NTSYSAPI NTSTATUS NTAPI RtlAddAce(PACL Acl, ULONG AceRevision, ULONG StartingAceIndex, PVOID AceList,
                                  ULONG AceListLength);
NTSYSAPI NTSTATUS NTAPI RtlDeleteAce(PACL Acl, ULONG AceIndex);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                 ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING* GenericMapping);

// ---- Run-time library: security descriptors --------------------------------

NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptorRelative(PISECURITY_DESCRIPTOR_RELATIVE SecurityDescriptor,
                                                            ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlGetControlSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                        PSECURITY_DESCRIPTOR_CONTROL Control, PULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL* Dacl, PBOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN SaclPresent, PACL Sacl, BOOLEAN SaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN SaclPresent, PACL* Sacl, PBOOLEAN SaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner,
                                                      PBOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group,
                                                      PBOOLEAN GroupDefaulted);
// Length of the descriptor with all its parts: for a self-relative one, the
// bytes it occupies; for an absolute one, the size of its self-relative form.
NTSYSAPI ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
// Structural check without a length: trusts that the parts are readable.
NTSYSAPI BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
// Full check of a self-relative descriptor of Length bytes: every part lies
// inside it and is valid, and the parts named by RequiredInformation exist.
NTSYSAPI BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                          ULONG SecurityDescriptorLength,
                                                          SECURITY_INFORMATION RequiredInformation);
NTSYSAPI NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength);
// Accepts a descriptor of either form (as the Windows routine does).
NTSYSAPI NTSTATUS NTAPI RtlMakeSelfRelativeSD(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                              PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                              PULONG BufferLength);
NTSYSAPI NTSTATUS NTAPI RtlSelfRelativeToAbsoluteSD(PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PULONG AbsoluteSecurityDescriptorSize, PACL Dacl,
                                                    PULONG DaclSize, PACL Sacl, PULONG SaclSize, PSID Owner,
                                                    PULONG OwnerSize, PSID PrimaryGroup,
                                                    PULONG PrimaryGroupSize);

// ---- Security reference monitor --------------------------------------------

NTKERNELAPI VOID NTAPI SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);

NTKERNELAPI NTSTATUS NTAPI SeCreateAccessState(PACCESS_STATE AccessState, PVOID AuxData,
                                               ACCESS_MASK DesiredAccess, PGENERIC_MAPPING GenericMapping);
NTKERNELAPI VOID NTAPI SeDeleteAccessState(PACCESS_STATE AccessState);

NTKERNELAPI BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                        PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                        BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                        ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET* Privileges,
                                        PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                                        PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus);
NTKERNELAPI VOID NTAPI SeFreePrivileges(PPRIVILEGE_SET Privileges);

NTKERNELAPI NTSTATUS NTAPI SeAssignSecurity(PSECURITY_DESCRIPTOR ParentDescriptor,
                                            PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                            PSECURITY_DESCRIPTOR* NewDescriptor, BOOLEAN IsDirectoryObject,
                                            PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                            PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType);
NTKERNELAPI NTSTATUS NTAPI SeAssignSecurityEx(PSECURITY_DESCRIPTOR ParentDescriptor,
                                              PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                              PSECURITY_DESCRIPTOR* NewDescriptor, GUID* ObjectType,
                                              BOOLEAN IsDirectoryObject, ULONG AutoInheritFlags,
                                              PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                              PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType);
NTKERNELAPI NTSTATUS NTAPI SeDeassignSecurity(PSECURITY_DESCRIPTOR* SecurityDescriptor);

NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfo(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                       PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor,
                                                       POOL_TYPE PoolType, PGENERIC_MAPPING GenericMapping);
NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfoEx(PVOID Object,
                                                         PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                         PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor,
                                                         ULONG AutoInheritFlags, POOL_TYPE PoolType,
                                                         PGENERIC_MAPPING GenericMapping);
NTKERNELAPI NTSTATUS NTAPI SeQuerySecurityDescriptorInfo(PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                         PULONG Length,
                                                         PSECURITY_DESCRIPTOR* ObjectsSecurityDescriptor);
NTKERNELAPI BOOLEAN NTAPI SeValidSecurityDescriptor(ULONG Length, PSECURITY_DESCRIPTOR SecurityDescriptor);

NTKERNELAPI BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
NTKERNELAPI BOOLEAN NTAPI SeTokenIsAdmin(PACCESS_TOKEN Token);

NT_END_C
