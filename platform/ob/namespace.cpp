// The object namespace: directories, symbolic links, name insertion and the
// lookup that walks the tree, follows links and hands the rest of a name to
// parse procedures.
//
// A named object holds a reference on the directory that contains it; a
// permanent named object is held by the namespace itself (one reference) until
// ObMakeTemporaryObject. The kernel holds the root directory.
#include <string.h>

#include <vector>

#include "core/verifier.h"
#include "ob/object_internal.h"

namespace plat {

namespace {

VOID DeleteSymbolicLink(PVOID Body) {
    auto* link = static_cast<ObSymbolicLink*>(Body);
    if (link->Target.Buffer != nullptr) ExFreePool(link->Target.Buffer);
}

}  // namespace

ObjectType ObDirectoryType = {
    L"Directory", nullptr, nullptr, nullptr,
    {STANDARD_RIGHTS_READ | DIRECTORY_QUERY | DIRECTORY_TRAVERSE,
     STANDARD_RIGHTS_WRITE | DIRECTORY_CREATE_OBJECT | DIRECTORY_CREATE_SUBDIRECTORY,
     STANDARD_RIGHTS_EXECUTE | DIRECTORY_QUERY | DIRECTORY_TRAVERSE, DIRECTORY_ALL_ACCESS},
    FALSE};

ObjectType ObSymbolicLinkType = {
    L"SymbolicLink", nullptr, nullptr, DeleteSymbolicLink,
    {STANDARD_RIGHTS_READ | SYMBOLIC_LINK_QUERY, STANDARD_RIGHTS_WRITE,
     STANDARD_RIGHTS_EXECUTE | SYMBOLIC_LINK_QUERY, SYMBOLIC_LINK_ALL_ACCESS},
    FALSE};

namespace {

constexpr ULONG kMaximumReparses = 32;
constexpr WCHAR kSeparator = L'\\';

struct NamespaceState {
    std::mutex Lock;
    PVOID Root = nullptr;
};

NamespaceState& Namespace() {
    static NamespaceState* state = new NamespaceState;  // reset per kernel
    return *state;
}

// A view of part of a counted string, in characters.
struct NameView {
    PCWCH Buffer = nullptr;
    USHORT Length = 0;

    bool Empty() const { return Length == 0; }
    bool StartsWithSeparator() const { return Length > 0 && Buffer[0] == kSeparator; }
    NameView Tail(USHORT from) const { return NameView{Buffer + from, static_cast<USHORT>(Length - from)}; }
};

NameView ViewOf(PCUNICODE_STRING s) {
    return NameView{s->Buffer, static_cast<USHORT>(s->Length / sizeof(WCHAR))};
}

USHORT FindSeparator(NameView name) {
    for (USHORT i = 0; i < name.Length; ++i) {
        if (name.Buffer[i] == kSeparator) return i;
    }
    return name.Length;
}

bool NamesEqual(const UNICODE_STRING& stored, NameView name, bool caseInsensitive) {
    if (stored.Length / sizeof(WCHAR) != name.Length) return false;
    for (USHORT i = 0; i < name.Length; ++i) {
        WCHAR a = stored.Buffer[i];
        WCHAR b = name.Buffer[i];
        if (a == b) continue;
        if (!caseInsensitive || RtlUpcaseUnicodeChar(a) != RtlUpcaseUnicodeChar(b)) return false;
    }
    return true;
}

bool IsDirectory(PVOID body) {
    return HeaderOfBody(body)->Type == &ObDirectoryType;
}

ObDirectory* DirectoryOf(PVOID body) {
    return static_cast<ObDirectory*>(body);
}

// Namespace lock held.
PVOID FindInDirectoryLocked(PVOID directory, NameView name, bool caseInsensitive) {
    PLIST_ENTRY head = &DirectoryOf(directory)->Entries;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
        ObjectHeader* header = CONTAINING_RECORD(entry, ObjectHeader, DirectoryLink);
        if (NamesEqual(header->Name, name, caseInsensitive)) return BodyOfHeader(header);
    }
    return nullptr;
}

// A referenced child, or NULL when absent (or being deleted).
PVOID ReferenceChild(PVOID directory, NameView name, bool caseInsensitive) {
    std::lock_guard<std::mutex> guard(Namespace().Lock);
    PVOID child = FindInDirectoryLocked(directory, name, caseInsensitive);
    if (child != nullptr && !ObReferenceIfAlive(child)) child = nullptr;
    return child;
}

NTSTATUS AllocateName(const WCHAR* first, USHORT firstChars, const WCHAR* second, USHORT secondChars,
                      PUNICODE_STRING result) {
    ULONG bytes = (static_cast<ULONG>(firstChars) + secondChars) * sizeof(WCHAR);
    if (bytes > MAXUSHORT - sizeof(WCHAR)) return STATUS_OBJECT_NAME_INVALID;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kNamePoolTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (firstChars != 0) memcpy(buffer, first, firstChars * sizeof(WCHAR));
    if (secondChars != 0) memcpy(buffer + firstChars, second, secondChars * sizeof(WCHAR));
    buffer[firstChars + secondChars] = 0;
    result->Buffer = buffer;
    result->Length = static_cast<USHORT>(bytes);
    result->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void FreeName(PUNICODE_STRING name) {
    if (name->Buffer != nullptr) ExFreePool(name->Buffer);
    name->Buffer = nullptr;
    name->Length = name->MaximumLength = 0;
}

// One walk of the lookup; STATUS_REPARSE when the complete name was replaced
// (a symbolic link or a parse procedure) and the walk must start over.
class NameLookup {
public:
    NameLookup(ULONG attributes, ObjectType* type, KPROCESSOR_MODE mode, ACCESS_MASK desiredAccess,
               PVOID parseContext, PUNICODE_STRING completeName)
        : m_Attributes(attributes), m_Type(type), m_Mode(mode), m_DesiredAccess(desiredAccess),
          m_ParseContext(parseContext), m_CompleteName(completeName) {}

    NTSTATUS WalkFrom(PVOID start, PVOID* object);

private:
    bool CaseInsensitive() const { return (m_Attributes & OBJ_CASE_INSENSITIVE) != 0; }
    NTSTATUS WalkDirectories(PVOID directory, NameView rest, PVOID* object);
    NTSTATUS CallParse(PVOID parseObject, NameView remaining, PVOID* object);
    NTSTATUS FollowLink(PVOID link, NameView remaining);
    bool OpensLinkItself(NameView remaining) const {
        return remaining.Empty() && (m_Attributes & OBJ_OPENLINK) && m_Type == &ObSymbolicLinkType;
    }

    ULONG m_Attributes;
    ObjectType* m_Type;
    KPROCESSOR_MODE m_Mode;
    ACCESS_MASK m_DesiredAccess;
    PVOID m_ParseContext;
    PUNICODE_STRING m_CompleteName;
};

// start: a referenced root object (a directory or an object with a parse
// procedure) for a relative name, or NULL for an absolute one. Consumes none
// of the caller's references.
NTSTATUS NameLookup::WalkFrom(PVOID start, PVOID* object) {
    NameView name = ViewOf(m_CompleteName);
    if (start == nullptr) {
        if (!name.StartsWithSeparator()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
        PVOID root = Namespace().Root;
        ObReferenceBody(root);
        return WalkDirectories(root, name.Tail(1), object);
    }
    if (name.StartsWithSeparator()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (IsDirectory(start)) {
        ObReferenceBody(start);
        return WalkDirectories(start, name, object);
    }
    if (HeaderOfBody(start)->Type->Parse != nullptr) return CallParse(start, name, object);
    return STATUS_OBJECT_TYPE_MISMATCH;
}

// directory: referenced; the reference is consumed.
NTSTATUS NameLookup::WalkDirectories(PVOID directory, NameView rest, PVOID* object) {
    PVOID current = directory;
    if (rest.Empty()) {
        *object = current;
        return STATUS_SUCCESS;
    }
    for (;;) {
        USHORT end = FindSeparator(rest);
        NameView component{rest.Buffer, end};
        NameView after = rest.Tail(end);
        if (component.Empty()) {
            ObDereferenceBody(current);
            return STATUS_OBJECT_NAME_INVALID;
        }
        PVOID child = ReferenceChild(current, component, CaseInsensitive());
        ObDereferenceBody(current);
        if (child == nullptr) return after.Empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;

        ObjectType* type = HeaderOfBody(child)->Type;
        NTSTATUS status;
        if (type == &ObSymbolicLinkType && !OpensLinkItself(after)) {
            status = FollowLink(child, after);
        } else if (type->Parse != nullptr) {
            status = CallParse(child, after, object);
        } else if (after.Empty()) {
            *object = child;
            return STATUS_SUCCESS;
        } else if (type == &ObDirectoryType) {
            current = child;
            rest = after.Tail(1);
            if (rest.Empty()) {  // a trailing separator names nothing
                ObDereferenceBody(current);
                return STATUS_OBJECT_NAME_INVALID;
            }
            continue;
        } else {
            status = STATUS_OBJECT_TYPE_MISMATCH;
        }
        ObDereferenceBody(child);
        return status;
    }
}

NTSTATUS NameLookup::CallParse(PVOID parseObject, NameView remaining, PVOID* object) {
    ObjectParseRequest request;
    request.RequestedType = m_Type;
    request.AccessMode = m_Mode;
    request.DesiredAccess = m_DesiredAccess;
    request.Attributes = m_Attributes;
    request.CompleteName = m_CompleteName;
    request.RemainingName.Buffer = const_cast<PWCH>(remaining.Buffer);
    request.RemainingName.Length = static_cast<USHORT>(remaining.Length * sizeof(WCHAR));
    request.RemainingName.MaximumLength = request.RemainingName.Length;
    request.ParseContext = m_ParseContext;
    PVOID result = nullptr;
    NTSTATUS status = HeaderOfBody(parseObject)->Type->Parse(parseObject, &request, &result);
    if (status == STATUS_REPARSE || !NT_SUCCESS(status)) {
        if (result != nullptr && status != STATUS_REPARSE) ObDereferenceBody(result);
        return status;
    }
    if (result == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    *object = result;
    return status;
}

NTSTATUS NameLookup::FollowLink(PVOID link, NameView remaining) {
    const UNICODE_STRING& target = static_cast<ObSymbolicLink*>(link)->Target;
    UNICODE_STRING substituted;
    NTSTATUS status = AllocateName(target.Buffer, static_cast<USHORT>(target.Length / sizeof(WCHAR)),
                                   remaining.Buffer, remaining.Length, &substituted);
    if (!NT_SUCCESS(status)) return status;
    FreeName(m_CompleteName);
    *m_CompleteName = substituted;
    return STATUS_REPARSE;
}

NTSTATUS CheckType(PVOID object, ObjectType* type) {
    if (type != nullptr && HeaderOfBody(object)->Type != type) {
        ObDereferenceBody(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return STATUS_SUCCESS;
}

VOID InitializeDirectory(PVOID Body, PVOID) {
    InitializeListHead(&DirectoryOf(Body)->Entries);
}

VOID InitializeSymbolicLink(PVOID Body, PVOID Context) {
    static_cast<ObSymbolicLink*>(Body)->Target = *static_cast<PUNICODE_STRING>(Context);
}

// Resolves the directory that will hold a new name and the last component.
NTSTATUS ResolveParent(PCUNICODE_STRING name, HANDLE rootDirectory, ULONG attributes, PVOID* parent,
                       NameView* leaf) {
    NameView full = ViewOf(name);
    USHORT last = full.Length;
    while (last > 0 && full.Buffer[last - 1] != kSeparator) --last;
    *leaf = full.Tail(last);
    if (leaf->Empty()) return STATUS_OBJECT_NAME_INVALID;
    if ((rootDirectory == nullptr) != full.StartsWithSeparator()) return STATUS_OBJECT_PATH_SYNTAX_BAD;

    UNICODE_STRING parentName;
    static WCHAR rootName[] = L"\\";
    if (last <= 1 && rootDirectory == nullptr) {
        parentName.Buffer = rootName;
        parentName.Length = sizeof(WCHAR);
    } else {
        parentName.Buffer = const_cast<PWCH>(full.Buffer);
        parentName.Length = static_cast<USHORT>((last == 0 ? 0 : last - 1) * sizeof(WCHAR));
    }
    parentName.MaximumLength = parentName.Length;
    NTSTATUS status = ObReferenceObjectByNameEx(&parentName, rootDirectory, attributes & OBJ_CASE_INSENSITIVE,
                                                &ObDirectoryType, KernelMode, 0, nullptr, parent);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_OBJECT_PATH_NOT_FOUND;
    return status;
}

// Namespace lock held. The name takes over the parent reference.
NTSTATUS LinkNameLocked(PVOID body, PVOID parent, const UNICODE_STRING& name, ULONG attributes,
                        PVOID* existing) {
    NameView leaf = ViewOf(&name);
    PVOID found = FindInDirectoryLocked(parent, leaf, true);
    if (found != nullptr) {
        if (!(attributes & OBJ_OPENIF)) return STATUS_OBJECT_NAME_COLLISION;
        if (HeaderOfBody(found)->Type != HeaderOfBody(body)->Type) return STATUS_OBJECT_TYPE_MISMATCH;
        if (!ObReferenceIfAlive(found)) return STATUS_OBJECT_NAME_COLLISION;
        *existing = found;
        return STATUS_SUCCESS;
    }
    ObjectHeader* header = HeaderOfBody(body);
    header->Name = name;
    header->Directory = parent;
    header->Flags |= kObjectNamed;
    if (attributes & OBJ_PERMANENT) {
        header->Flags |= kObjectPermanent;
        header->PointerCount.fetch_add(1);
    }
    InsertTailList(&DirectoryOf(parent)->Entries, &header->DirectoryLink);
    return STATUS_SUCCESS;
}

void CollectRemovalsLocked(PVOID directory, std::vector<std::pair<PVOID, NameRemoval>>* removals) {
    PLIST_ENTRY head = &DirectoryOf(directory)->Entries;
    while (!IsListEmpty(head)) {
        ObjectHeader* header = CONTAINING_RECORD(head->Flink, ObjectHeader, DirectoryLink);
        PVOID child = BodyOfHeader(header);
        if (header->Type == &ObDirectoryType) CollectRemovalsLocked(child, removals);
        removals->emplace_back(child, ObUnlinkNameLocked(header));
    }
}

}  // namespace

std::mutex& ObNamespaceLock() {
    return Namespace().Lock;
}

PVOID ObRootDirectory() {
    return Namespace().Root;
}

NameRemoval ObUnlinkNameLocked(ObjectHeader* Header) {
    NameRemoval removal;
    removal.Directory = Header->Directory;
    removal.NameBuffer = Header->Name.Buffer;
    removal.Permanent = (Header->Flags & kObjectPermanent) != 0;
    RemoveEntryList(&Header->DirectoryLink);
    InitializeListHead(&Header->DirectoryLink);
    Header->Flags &= ~(kObjectNamed | kObjectPermanent);
    Header->Directory = nullptr;
    Header->Name = UNICODE_STRING{0, 0, nullptr};
    return removal;
}

void ObFinishNameRemoval(PVOID Body, const NameRemoval& Removal) {
    if (Removal.NameBuffer != nullptr) ExFreePool(Removal.NameBuffer);
    if (Removal.Directory != nullptr) ObDereferenceBody(Removal.Directory);
    if (Removal.Permanent) ObDereferenceBody(Body);
}

NTSTATUS ObInsertName(PVOID Body, PCUNICODE_STRING Name, HANDLE RootDirectory, ULONG Attributes,
                      PVOID* Existing) {
    *Existing = nullptr;
    PVOID parent = nullptr;
    NameView leaf;
    NTSTATUS status = ResolveParent(Name, RootDirectory, Attributes, &parent, &leaf);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING stored;
    status = AllocateName(leaf.Buffer, leaf.Length, nullptr, 0, &stored);
    if (!NT_SUCCESS(status)) {
        ObDereferenceBody(parent);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(Namespace().Lock);
        status = LinkNameLocked(Body, parent, stored, Attributes, Existing);
    }
    bool linked = NT_SUCCESS(status) && *Existing == nullptr;
    if (!linked) {
        FreeName(&stored);
        ObDereferenceBody(parent);
    }
    return status;
}

NTSTATUS ObReferenceObjectByNameEx(PCUNICODE_STRING Name, HANDLE RootDirectory, ULONG Attributes,
                                   ObjectType* Type, KPROCESSOR_MODE AccessMode, ACCESS_MASK DesiredAccess,
                                   PVOID ParseContext, PVOID* Object) {
    *Object = nullptr;
    if (Name == nullptr || Name->Buffer == nullptr) {
        if (RootDirectory == nullptr) return STATUS_OBJECT_NAME_INVALID;
    }
    PVOID start = nullptr;
    if (RootDirectory != nullptr) {
        NTSTATUS status = ObReferenceObjectByHandle(RootDirectory, 0, nullptr, AccessMode, &start, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    UNICODE_STRING complete{0, 0, nullptr};
    NTSTATUS status = AllocateName(Name != nullptr ? Name->Buffer : nullptr,
                                   Name != nullptr ? static_cast<USHORT>(Name->Length / sizeof(WCHAR)) : 0,
                                   nullptr, 0, &complete);
    NameLookup lookup(Attributes, Type, AccessMode, DesiredAccess, ParseContext, &complete);
    for (ULONG reparses = 0; NT_SUCCESS(status); ++reparses) {
        status = lookup.WalkFrom(start, Object);
        if (status != STATUS_REPARSE) break;
        if (reparses + 1 > kMaximumReparses) {
            status = STATUS_REPARSE_POINT_NOT_RESOLVED;
            break;
        }
        // A substituted name is complete: the walk restarts at the root.
        if (start != nullptr) ObDereferenceBody(start);
        start = nullptr;
    }
    FreeName(&complete);
    if (start != nullptr) ObDereferenceBody(start);
    if (!NT_SUCCESS(status)) {
        *Object = nullptr;
        return status;
    }
    status = CheckType(*Object, Type);
    if (!NT_SUCCESS(status)) *Object = nullptr;
    return status;
}

NTSTATUS ObOpenObjectByNameEx(POBJECT_ATTRIBUTES ObjectAttributes, ObjectType* Type,
                              KPROCESSOR_MODE AccessMode, ACCESS_MASK DesiredAccess, PVOID ParseContext,
                              PHANDLE Handle) {
    *Handle = nullptr;
    if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByNameEx(ObjectAttributes->ObjectName, ObjectAttributes->RootDirectory,
                                                ObjectAttributes->Attributes, Type, AccessMode, DesiredAccess,
                                                ParseContext, &object);
    if (!NT_SUCCESS(status)) return status;
    ObjectType* type = HeaderOfBody(object)->Type;
    status = ObInsertHandle(object, ObMapDesiredAccess(type, DesiredAccess), ObjectAttributes->Attributes,
                            AccessMode, Handle);
    ObDereferenceBody(object);
    return status;
}

NTSTATUS ObCreateSymbolicLink(PCUNICODE_STRING LinkName, PCUNICODE_STRING Target) {
    UNICODE_STRING target;
    NTSTATUS status = AllocateName(Target->Buffer, static_cast<USHORT>(Target->Length / sizeof(WCHAR)), nullptr,
                                   0, &target);
    if (!NT_SUCCESS(status)) return status;
    PVOID link = nullptr;
    status = ObCreateObjectEx(&ObSymbolicLinkType, sizeof(ObSymbolicLink), LinkName, nullptr,
                              OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, nullptr, &link, InitializeSymbolicLink,
                              &target);
    if (!NT_SUCCESS(status)) {
        FreeName(&target);
        return status;
    }
    ObDereferenceBody(link);  // the namespace keeps it
    return STATUS_SUCCESS;
}

NTSTATUS ObDeleteSymbolicLink(PCUNICODE_STRING LinkName) {
    PVOID link = nullptr;
    NTSTATUS status = ObReferenceObjectByNameEx(LinkName, nullptr, OBJ_CASE_INSENSITIVE | OBJ_OPENLINK,
                                                &ObSymbolicLinkType, KernelMode, 0, nullptr, &link);
    if (!NT_SUCCESS(status)) return status;
    ObMakeTemporaryObject(link);
    ObDereferenceBody(link);
    return STATUS_SUCCESS;
}

NTSTATUS ObCreateDirectory(PCUNICODE_STRING Name) {
    NameView full = ViewOf(Name);
    if (!full.StartsWithSeparator()) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    for (USHORT end = 1; end <= full.Length; ++end) {
        if (end < full.Length && full.Buffer[end] != kSeparator) continue;
        UNICODE_STRING prefix{static_cast<USHORT>(end * sizeof(WCHAR)), static_cast<USHORT>(end * sizeof(WCHAR)),
                              const_cast<PWCH>(full.Buffer)};
        PVOID directory = nullptr;
        NTSTATUS status = ObCreateObjectEx(&ObDirectoryType, sizeof(ObDirectory), &prefix, nullptr,
                                           OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_OPENIF, nullptr,
                                           &directory, InitializeDirectory);
        if (!NT_SUCCESS(status)) return status;
        ObDereferenceBody(directory);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryFullName(PVOID Body, PUNICODE_STRING FullName) {
    FullName->Buffer = nullptr;
    FullName->Length = FullName->MaximumLength = 0;
    std::vector<UNICODE_STRING> components;
    {
        std::lock_guard<std::mutex> guard(Namespace().Lock);
        for (ObjectHeader* header = HeaderOfBody(Body); header->Flags & kObjectNamed;
             header = HeaderOfBody(header->Directory)) {
            components.push_back(header->Name);
        }
        if (components.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        ULONG bytes = 0;
        for (const UNICODE_STRING& component : components) bytes += sizeof(WCHAR) + component.Length;
        if (bytes > MAXUSHORT - sizeof(WCHAR)) return STATUS_NAME_TOO_LONG;
        auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kNamePoolTag));
        if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        PWCH out = buffer;
        for (auto it = components.rbegin(); it != components.rend(); ++it) {
            *out++ = kSeparator;
            memcpy(out, it->Buffer, it->Length);
            out += it->Length / sizeof(WCHAR);
        }
        *out = 0;
        FullName->Buffer = buffer;
        FullName->Length = static_cast<USHORT>(bytes);
        FullName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    }
    return STATUS_SUCCESS;
}

void ObInitialize() {
    PVOID root = nullptr;
    NTSTATUS status = ObCreateObjectEx(&ObDirectoryType, sizeof(ObDirectory), nullptr, nullptr, 0, nullptr, &root,
                                       InitializeDirectory);
    if (!NT_SUCCESS(status)) KeBugCheckEx(0x6B /* PROCESS1_INITIALIZATION_FAILED */, status, 0, 0, 0);
    Namespace().Root = root;

    static const PCWSTR kDirectories[] = {L"\\Device", L"\\??", L"\\BaseNamedObjects", L"\\KernelObjects",
                                          L"\\Driver", L"\\FileSystem", L"\\ObjectTypes"};
    for (PCWSTR path : kDirectories) {
        UNICODE_STRING name{static_cast<USHORT>(wcslen(path) * sizeof(WCHAR)),
                            static_cast<USHORT>(wcslen(path) * sizeof(WCHAR)), const_cast<PWSTR>(path)};
        status = ObCreateDirectory(&name);
        if (!NT_SUCCESS(status)) KeBugCheckEx(0x6B, status, 1, 0, 0);
    }
    UNICODE_STRING dosDevices{sizeof(L"\\DosDevices") - sizeof(WCHAR), sizeof(L"\\DosDevices"),
                              const_cast<PWSTR>(L"\\DosDevices")};
    UNICODE_STRING globalRoot{sizeof(L"\\??") - sizeof(WCHAR), sizeof(L"\\??"), const_cast<PWSTR>(L"\\??")};
    status = ObCreateSymbolicLink(&dosDevices, &globalRoot);
    if (!NT_SUCCESS(status)) KeBugCheckEx(0x6B, status, 2, 0, 0);
}

void ObTeardownNamespace() {
    NamespaceState& ns = Namespace();
    std::vector<std::pair<PVOID, NameRemoval>> removals;
    {
        std::lock_guard<std::mutex> guard(ns.Lock);
        if (ns.Root != nullptr) CollectRemovalsLocked(ns.Root, &removals);
    }
    for (const auto& [body, removal] : removals) ObFinishNameRemoval(body, removal);
    if (ns.Root != nullptr) ObDereferenceBody(ns.Root);
    ns.Root = nullptr;
}

void ObForgetNamespace() {
    Namespace().Root = nullptr;
}

}  // namespace plat
