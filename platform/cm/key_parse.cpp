// Resolving key paths: the Key type's Parse procedure (reached through
// "\REGISTRY" in the object namespace) and the lookup and creation of keys
// below a given key, which handle-relative opens and the host API use
// directly.
#include "cm/cm_internal.h"

namespace plat {
namespace {

constexpr ULONG kCmParseSignature = CmTagFromText("CmPs");
constexpr int kCreateAttempts = 8;

// What ZwOpenKey/ZwCreateKey hand to the object manager as ParseContext; the
// signature tells it apart from another component's context.
struct CmParseContext {
    ULONG Signature;
    CmOpenRequest* Request;
};

ACCESS_MASK MapDesiredAccess(ACCESS_MASK desired) {
    RtlMapGenericMask(&desired, &CmKeyGenericMapping);
    if ((desired & MAXIMUM_ALLOWED) != 0) desired = (desired & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    return desired;
}

// Walks Parts below Start under the lock. Answers the key, or, for a create
// whose last component is missing, the parent that will hold it.
NTSTATUS Walk(CmKey* start, const std::vector<CmNameRef>& parts, bool create, CmKey** found, CmKey** parent) {
    *found = nullptr;
    *parent = nullptr;
    if (start->IsDeleted()) return STATUS_KEY_DELETED;
    CmKey* current = start;
    for (size_t i = 0; i < parts.size(); ++i) {
        CmKey* child = CmFindSubKey(current, parts[i]);
        if (child == nullptr) {
            if (!create || i + 1 != parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
            *parent = current;
            return STATUS_SUCCESS;
        }
        current = child;
    }
    *found = current;
    return STATUS_SUCCESS;
}

// Takes over the caller's reference of Key.
NTSTATUS OpenExisting(CmKey* key, CmOpenRequest& request, CmKey** result) {
    CmKeySecurity security;
    NTSTATUS status = security.Capture(key);
    if (NT_SUCCESS(status)) {
        status = CmCheckAccess(security.Get(), request.DesiredAccess, request.AccessMode, &request.GrantedAccess);
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(key);
        return status;
    }
    request.Disposition = REG_OPENED_EXISTING_KEY;
    *result = key;
    return STATUS_SUCCESS;
}

// Links a new key under Parent unless Parent went away or the name appeared
// in the meantime; takes the caller's reference on success.
NTSTATUS LinkNewKey(CmKey* parent, CmKey* key) {
    CmExclusiveGuard guard;
    if (parent->IsDeleted()) return STATUS_KEY_DELETED;
    if (CmFindSubKey(parent, CmRef(key->Name)) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
    try {
        CmLinkSubKey(parent, key);
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    parent->LastWriteTime = key->LastWriteTime;
    ObReferenceObject(key);
    return STATUS_SUCCESS;
}

NTSTATUS CreateBelow(CmKey* parent, bool parentVolatile, CmNameRef name, CmOpenRequest& request,
                     CmKey** result) {
    CmKeySecurity parentSecurity;
    NTSTATUS status = parentSecurity.Capture(parent);
    if (!NT_SUCCESS(status)) return status;
    ACCESS_MASK granted;
    status = CmCheckAccess(parentSecurity.Get(), KEY_CREATE_SUB_KEY, request.AccessMode, &granted);
    if (!NT_SUCCESS(status)) return status;
    bool isVolatile = (request.Options & REG_OPTION_VOLATILE) != 0;
    if (parentVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;

    CmBytes security;
    status = CmAssignSecurity(parentSecurity.Get(), request.ExplicitSecurity, security);
    if (!NT_SUCCESS(status)) return status;
    CmKey* key = nullptr;
    status = CmCreateKeyObject(name, request.Class, request.TitleIndex, isVolatile ? ULONG{CmKeyVolatile} : 0u,
                               security.data(), &key);
    if (!NT_SUCCESS(status)) return status;
    status = LinkNewKey(parent, key);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(key);
        return status;
    }
    // The creator gets what it asked for: the access check was the right to
    // create a subkey.
    request.GrantedAccess = MapDesiredAccess(request.DesiredAccess);
    request.Disposition = REG_CREATED_NEW_KEY;
    *result = key;
    return STATUS_SUCCESS;
}

NTSTATUS CheckCreateOptions(const CmOpenRequest& request) {
    if (!request.Create) return STATUS_SUCCESS;
    if ((request.Options & ~REG_LEGAL_OPTION) != 0) return STATUS_INVALID_PARAMETER;
    // Symbolic-link keys are not part of this registry.
    if ((request.Options & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) != 0) return STATUS_NOT_SUPPORTED;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CmSplitPath(CmNameRef path, std::vector<CmNameRef>& components) {
    components.clear();
    ULONG begin = 0;
    ULONG end = path.Chars;
    if (end > 0 && path.Buffer[0] == L'\\') begin = 1;
    if (end > begin && path.Buffer[end - 1] == L'\\') --end;
    if (begin >= end) return STATUS_SUCCESS;
    ULONG start = begin;
    for (ULONG i = begin; i <= end; ++i) {
        if (i != end && path.Buffer[i] != L'\\') continue;
        ULONG chars = i - start;
        if (chars == 0 || chars > kCmMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
        components.push_back({path.Buffer + start, chars});
        start = i + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmLookupKey(CmKey* start, CmNameRef path, CmOpenRequest& request, CmKey** result) {
    *result = nullptr;
    NTSTATUS status = CheckCreateOptions(request);
    if (!NT_SUCCESS(status)) return status;
    std::vector<CmNameRef> parts;
    try {
        status = CmSplitPath(path, parts);
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) return status;

    // A create races with other creates and deletes: when the name appears
    // between the lookup and the link, the lookup runs again and opens it.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        CmKey* found = nullptr;
        CmKey* parent = nullptr;
        bool parentVolatile = false;
        {
            CmSharedGuard guard;
            status = Walk(start, parts, request.Create, &found, &parent);
            CmKey* referenced = found != nullptr ? found : parent;
            if (NT_SUCCESS(status)) {
                parentVolatile = referenced->IsVolatile();
                ObReferenceObject(referenced);
            }
        }
        if (!NT_SUCCESS(status)) return status;
        if (found != nullptr) return OpenExisting(found, request, result);

        status = CreateBelow(parent, parentVolatile, parts.back(), request, result);
        ObDereferenceObject(parent);
        if (status != STATUS_OBJECT_NAME_COLLISION) return status;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS CmParseKeyProcedure(PVOID ParseObject, ObjectParseRequest* Request, PVOID* Object) {
    *Object = nullptr;
    if (Request->RequestedType != nullptr && Request->RequestedType != &CmKeyType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    CmOpenRequest local;
    CmOpenRequest* request = &local;
    if (Request->ParseContext != nullptr) {
        auto* context = static_cast<CmParseContext*>(Request->ParseContext);
        if (context->Signature != kCmParseSignature) return STATUS_OBJECT_TYPE_MISMATCH;
        request = context->Request;
    } else {
        local.AccessMode = (Request->Attributes & OBJ_FORCE_ACCESS_CHECK) ? KPROCESSOR_MODE{UserMode} : Request->AccessMode;
        local.DesiredAccess = Request->DesiredAccess;
    }
    CmKey* key = nullptr;
    NTSTATUS status = CmLookupKey(static_cast<CmKey*>(ParseObject), CmRef(Request->RemainingName), *request, &key);
    *Object = key;
    return status;
}

// ---- Opening keys by name for the Zw/Nt routines -----------------------------------

NTSTATUS CmOpenKeyByAttributes(POBJECT_ATTRIBUTES attributes, CmOpenRequest& request, KPROCESSOR_MODE mode,
                               CmKey** key) {
    *key = nullptr;
    UNICODE_STRING empty = {0, 0, nullptr};
    PUNICODE_STRING name = attributes->ObjectName != nullptr ? attributes->ObjectName : &empty;
    NTSTATUS status = CmCheckUnicodeString(name);
    if (!NT_SUCCESS(status)) return status;
    bool leadingBackslash = name->Length != 0 && name->Buffer[0] == L'\\';

    if (attributes->RootDirectory == nullptr) {
        if (!leadingBackslash) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        PVOID root = nullptr;
        status = ObReferenceObjectByHandle(attributes->RootDirectory, 0, nullptr, mode, &root, nullptr);
        if (!NT_SUCCESS(status)) return status;
        if (ObGetObjectType(root) == &CmKeyType) {
            status = leadingBackslash ? STATUS_OBJECT_PATH_SYNTAX_BAD
                                      : CmLookupKey(static_cast<CmKey*>(root), CmRef(*name), request, key);
            ObDereferenceObject(root);
            return status;
        }
        ObDereferenceObject(root);
    }
    // An absolute name, or a name below a directory object: the object
    // manager finds "\REGISTRY" and hands the rest to the Parse procedure.
    // Registry names never depend on case.
    CmParseContext context = {kCmParseSignature, &request};
    PVOID object = nullptr;
    status = ObReferenceObjectByNameEx(name, attributes->RootDirectory,
                                       attributes->Attributes | OBJ_CASE_INSENSITIVE, &CmKeyType,
                                       request.AccessMode, request.DesiredAccess, &context, &object);
    if (!NT_SUCCESS(status)) return status;
    if (ObGetObjectType(object) != &CmKeyType) {
        ObDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // "\REGISTRY" itself may come back without a parse: grant as an open would.
    if (request.Disposition == 0) return OpenExisting(static_cast<CmKey*>(object), request, key);
    *key = static_cast<CmKey*>(object);
    return STATUS_SUCCESS;
}

}  // namespace plat
