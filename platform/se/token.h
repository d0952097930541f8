// Access tokens: the security identity of an emulated process. The process
// manager keeps one per process; SeCaptureSubjectContext and SeAccessCheck
// read it.
#pragma once

#include <wdm.h>

namespace plat {

struct Token;

// The token of the System process: user S-1-5-18 (LocalSystem), groups
// Administrators (S-1-5-32-544), Everyone (S-1-1-0) and Authenticated Users
// (S-1-5-11).
Token* TokenCreateSystem();

// A token for an ordinary user: user SID S-1-5-21-1000-1000-1000-<Rid>, groups
// Everyone, Users (S-1-5-32-545), Authenticated Users, and Administrators when
// Administrator is true.
Token* TokenCreateUser(ULONG Rid, bool Administrator);

// Adds a reference / releases one; the token is freed with its last reference.
void TokenReference(Token* token);
void TokenRelease(Token* token);

// The token's user SID (owned by the token).
PSID TokenUserSid(Token* token);

// ---- Queries used by the security reference monitor -------------------------
//
// Locking: a token's identity (user, groups, primary group, which privileges
// it holds) never changes after creation. Only the enabled state of its
// privileges changes (TokenEnablePrivilege), under the token's lock: readers
// hold it shared (TokenLockShared, which SeLockSubjectContext uses) to see
// several privileges in one consistent state, the writer exclusive; a single
// query needs no lock. The reference count is atomic and needs no lock.

// The token's primary group (owned by the token): the group a new object gets
// when nothing else names one.
PSID TokenPrimaryGroupSid(Token* token);

// Group Index of the token (0-based) with its SE_GROUP_* attributes, or NULL
// past the last group.
PSID TokenGroupSid(Token* token, ULONG Index, PULONG Attributes);

// True when Sid is the token's user or one of its enabled groups.
bool TokenIsMember(Token* token, PSID Sid);

// True when Sid may be made the owner of an object: the user, or a group with
// SE_GROUP_OWNER (Administrators).
bool TokenMayOwn(Token* token, PSID Sid);

// Privileges, by their value (SE_*_PRIVILEGE). A token holds a set of
// privileges, some of them enabled; only enabled ones take effect.
bool TokenHoldsPrivilege(Token* token, ULONG Privilege);
bool TokenPrivilegeEnabled(Token* token, ULONG Privilege);
// Enables or disables a privilege the token holds (as a program adjusting its
// token does); STATUS_PRIVILEGE_NOT_HELD when it holds no such privilege.
NTSTATUS TokenEnablePrivilege(Token* token, ULONG Privilege, bool Enable);

void TokenLockShared(Token* token);
void TokenUnlockShared(Token* token);

}  // namespace plat
