// Subject contexts and access states: who is asking, captured at the moment
// of the request.
//
// The stand-in has no impersonation: a captured context holds the calling
// process's token as PrimaryToken (referenced until SeReleaseSubjectContext)
// and no ClientToken.
#include "core/kernel.h"
#include "ps/process.h"
#include "se/security.h"
#include "se/token.h"

#include <string.h>

#include <atomic>

namespace {

plat::Token* TokenOf(PACCESS_TOKEN Token) {
    return static_cast<plat::Token*>(Token);
}

// Operation IDs of access states: unique within the process.
LUID NextOperationId() {
    static std::atomic<ULONGLONG> next{1};
    ULONGLONG id = next.fetch_add(1, std::memory_order_relaxed);
    LUID luid = {static_cast<ULONG>(id), static_cast<LONG>(id >> 32)};
    return luid;
}

ULONG AccessStateFlags(plat::Token* Token) {
    if (Token == NULL) return 0;
    ULONG flags = 0;
    if (plat::TokenPrivilegeEnabled(Token, SE_CHANGE_NOTIFY_PRIVILEGE)) flags |= TOKEN_HAS_TRAVERSE_PRIVILEGE;
    if (plat::TokenPrivilegeEnabled(Token, SE_BACKUP_PRIVILEGE)) flags |= TOKEN_HAS_BACKUP_PRIVILEGE;
    if (plat::TokenPrivilegeEnabled(Token, SE_RESTORE_PRIVILEGE)) flags |= TOKEN_HAS_RESTORE_PRIVILEGE;
    if (plat::TokenIsMember(Token, plat::SidAdministrators())) flags |= TOKEN_HAS_ADMIN_GROUP;
    return flags;
}

}  // namespace

// Without a kernel (tests of the security routines alone) there is no
// calling process, and the context holds no token.
extern "C" VOID NTAPI SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    PEPROCESS process = plat::KernelExists() ? PsGetCurrentProcess() : NULL;
    plat::Token* token = process != NULL ? plat::ProcessToken(process) : NULL;
    if (token != NULL) plat::TokenReference(token);
    SubjectContext->ClientToken = NULL;
    SubjectContext->ImpersonationLevel = SecurityAnonymous;
    SubjectContext->PrimaryToken = token;
    SubjectContext->ProcessAuditId = process != NULL ? PsGetCurrentProcessId() : NULL;
}

extern "C" VOID NTAPI SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (SubjectContext->ClientToken != NULL) plat::TokenRelease(TokenOf(SubjectContext->ClientToken));
    if (SubjectContext->PrimaryToken != NULL) plat::TokenRelease(TokenOf(SubjectContext->PrimaryToken));
    SubjectContext->ClientToken = NULL;
    SubjectContext->PrimaryToken = NULL;
}

extern "C" VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (SubjectContext->PrimaryToken != NULL) plat::TokenLockShared(TokenOf(SubjectContext->PrimaryToken));
    if (SubjectContext->ClientToken != NULL) plat::TokenLockShared(TokenOf(SubjectContext->ClientToken));
}

extern "C" VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (SubjectContext->ClientToken != NULL) plat::TokenUnlockShared(TokenOf(SubjectContext->ClientToken));
    if (SubjectContext->PrimaryToken != NULL) plat::TokenUnlockShared(TokenOf(SubjectContext->PrimaryToken));
}

// AuxData may be NULL: the stand-in keeps nothing there.
extern "C" NTSTATUS NTAPI SeCreateAccessState(PACCESS_STATE AccessState, PVOID AuxData, ACCESS_MASK DesiredAccess,
                                              PGENERIC_MAPPING GenericMapping) {
    memset(AccessState, 0, sizeof(*AccessState));
    ACCESS_MASK desired = GenericMapping != NULL ? plat::MapGenericBits(DesiredAccess, GenericMapping)
                                                 : DesiredAccess;
    AccessState->OperationID = NextOperationId();
    AccessState->RemainingDesiredAccess = desired;
    AccessState->OriginalDesiredAccess = desired;
    AccessState->AuxData = AuxData;
    AccessState->Privileges.InitialPrivilegeSet.Control = PRIVILEGE_SET_ALL_NECESSARY;
    SeCaptureSubjectContext(&AccessState->SubjectSecurityContext);
    AccessState->Flags = AccessStateFlags(TokenOf(AccessState->SubjectSecurityContext.PrimaryToken));
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI SeDeleteAccessState(PACCESS_STATE AccessState) {
    SeReleaseSubjectContext(&AccessState->SubjectSecurityContext);
}
