// The information classes of keys and values, written into callers' buffers
// with the rules of the NT registry routines:
// - *ResultLength is always the full length the answer needs;
// - a buffer shorter than the fixed part answers STATUS_BUFFER_TOO_SMALL and
//   receives nothing;
// - a buffer that holds the fixed part but not the whole answers
//   STATUS_BUFFER_OVERFLOW with the fixed part filled and the variable parts
//   (names, class, data) copied as far as they fit;
// - otherwise STATUS_SUCCESS.
// Variable parts follow the fixed part: a key's class after its name at the
// next ULONG boundary, a value's data after its name at the next ULONG
// boundary (8 bytes for the Align64 classes).
#include "cm/cm_internal.h"

#include <algorithm>

namespace plat {
namespace {

struct Part {
    uint64_t Offset;
    const void* Data;
    uint64_t Bytes;
};

ULONG Clamp(uint64_t length) { return length > MAXULONG ? MAXULONG : static_cast<ULONG>(length); }

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

NTSTATUS Emit(PVOID buffer, ULONG length, const void* fixed, ULONG fixedBytes, std::initializer_list<Part> parts,
              uint64_t required, PULONG resultLength) {
    *resultLength = Clamp(required);
    if (length < fixedBytes) return STATUS_BUFFER_TOO_SMALL;
    UCHAR* out = static_cast<UCHAR*>(buffer);
    memcpy(out, fixed, fixedBytes);
    for (const Part& part : parts) {
        if (part.Bytes == 0 || part.Offset >= length) continue;
        memcpy(out + part.Offset, part.Data, static_cast<size_t>(std::min<uint64_t>(part.Bytes, length - part.Offset)));
    }
    return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

ULONG Bytes(const CmName& name) { return static_cast<ULONG>(name.size() * sizeof(WCHAR)); }

NTSTATUS BasicInformation(const CmKey* key, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_BASIC_INFORMATION info = {};
    info.LastWriteTime.QuadPart = key->LastWriteTime;
    info.TitleIndex = key->TitleIndex;
    info.NameLength = Bytes(key->Name);
    const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    return Emit(buffer, length, &info, fixed, {{fixed, key->Name.data(), info.NameLength}},
                fixed + info.NameLength, resultLength);
}

NTSTATUS NodeInformation(const CmKey* key, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_NODE_INFORMATION info = {};
    info.LastWriteTime.QuadPart = key->LastWriteTime;
    info.TitleIndex = key->TitleIndex;
    info.NameLength = Bytes(key->Name);
    info.ClassLength = Bytes(key->Class);
    const ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
    uint64_t required = fixed + info.NameLength;
    if (info.ClassLength != 0) {
        info.ClassOffset = static_cast<ULONG>(AlignUp(required, sizeof(ULONG)));
        required = info.ClassOffset + info.ClassLength;
    } else {
        info.ClassOffset = MAXULONG;
    }
    return Emit(buffer, length, &info, fixed,
                {{fixed, key->Name.data(), info.NameLength}, {info.ClassOffset, key->Class.data(), info.ClassLength}},
                required, resultLength);
}

NTSTATUS FullInformation(const CmKey* key, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_FULL_INFORMATION info = {};
    info.LastWriteTime.QuadPart = key->LastWriteTime;
    info.TitleIndex = key->TitleIndex;
    info.ClassLength = Bytes(key->Class);
    const ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
    info.ClassOffset = info.ClassLength != 0 ? fixed : MAXULONG;
    info.SubKeys = static_cast<ULONG>(key->SubKeys.size());
    for (const CmKey* child : key->SubKeys) {
        info.MaxNameLen = std::max(info.MaxNameLen, Bytes(child->Name));
        info.MaxClassLen = std::max(info.MaxClassLen, Bytes(child->Class));
    }
    info.Values = static_cast<ULONG>(key->Values.size());
    for (const CmValue& value : key->Values) {
        info.MaxValueNameLen = std::max(info.MaxValueNameLen, Bytes(value.Name));
        info.MaxValueDataLen = std::max(info.MaxValueDataLen, static_cast<ULONG>(value.Data.size()));
    }
    return Emit(buffer, length, &info, fixed, {{fixed, key->Class.data(), info.ClassLength}},
                fixed + info.ClassLength, resultLength);
}

NTSTATUS NameInformation(const CmKey* key, PVOID buffer, ULONG length, PULONG resultLength) {
    CmName path;
    try {
        path = CmKeyPath(key);
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEY_NAME_INFORMATION info = {};
    info.NameLength = Bytes(path);
    const ULONG fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
    return Emit(buffer, length, &info, fixed, {{fixed, path.data(), info.NameLength}}, fixed + info.NameLength,
                resultLength);
}

NTSTATUS ValueBasic(const CmValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_VALUE_BASIC_INFORMATION info = {};
    info.TitleIndex = value.TitleIndex;
    info.Type = value.Type;
    info.NameLength = Bytes(value.Name);
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
    return Emit(buffer, length, &info, fixed, {{fixed, value.Name.data(), info.NameLength}},
                fixed + info.NameLength, resultLength);
}

NTSTATUS ValueFull(const CmValue& value, ULONG alignment, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_VALUE_FULL_INFORMATION info = {};
    info.TitleIndex = value.TitleIndex;
    info.Type = value.Type;
    info.NameLength = Bytes(value.Name);
    info.DataLength = static_cast<ULONG>(value.Data.size());
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    info.DataOffset = static_cast<ULONG>(AlignUp(fixed + info.NameLength, alignment));
    return Emit(buffer, length, &info, fixed,
                {{fixed, value.Name.data(), info.NameLength}, {info.DataOffset, value.Data.data(), info.DataLength}},
                static_cast<uint64_t>(info.DataOffset) + info.DataLength, resultLength);
}

NTSTATUS ValuePartial(const CmValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_VALUE_PARTIAL_INFORMATION info = {};
    info.TitleIndex = value.TitleIndex;
    info.Type = value.Type;
    info.DataLength = static_cast<ULONG>(value.Data.size());
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    return Emit(buffer, length, &info, fixed, {{fixed, value.Data.data(), info.DataLength}},
                static_cast<uint64_t>(fixed) + info.DataLength, resultLength);
}

NTSTATUS ValuePartialAlign64(const CmValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
    KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 info = {};
    info.Type = value.Type;
    info.DataLength = static_cast<ULONG>(value.Data.size());
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
    return Emit(buffer, length, &info, fixed, {{fixed, value.Data.data(), info.DataLength}},
                static_cast<uint64_t>(fixed) + info.DataLength, resultLength);
}

bool Aligned8(PVOID buffer) { return (reinterpret_cast<ULONG_PTR>(buffer) & 7) == 0; }

}  // namespace

NTSTATUS CmQueryKeyInformation(const CmKey* key, KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                               PULONG resultLength) {
    switch (infoClass) {
        case KeyBasicInformation:
            return BasicInformation(key, buffer, length, resultLength);
        case KeyNodeInformation:
            return NodeInformation(key, buffer, length, resultLength);
        case KeyFullInformation:
            return FullInformation(key, buffer, length, resultLength);
        case KeyNameInformation:
            return NameInformation(key, buffer, length, resultLength);
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS CmQueryValueInformation(const CmValue& value, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                                 ULONG length, PULONG resultLength) {
    switch (infoClass) {
        case KeyValueBasicInformation:
            return ValueBasic(value, buffer, length, resultLength);
        case KeyValueFullInformation:
            return ValueFull(value, sizeof(ULONG), buffer, length, resultLength);
        case KeyValuePartialInformation:
            return ValuePartial(value, buffer, length, resultLength);
        case KeyValueFullInformationAlign64:
            if (!Aligned8(buffer)) return STATUS_DATATYPE_MISALIGNMENT;
            return ValueFull(value, sizeof(ULONGLONG), buffer, length, resultLength);
        case KeyValuePartialInformationAlign64:
            if (!Aligned8(buffer)) return STATUS_DATATYPE_MISALIGNMENT;
            return ValuePartialAlign64(value, buffer, length, resultLength);
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace plat
