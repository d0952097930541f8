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

}  // namespace plat
