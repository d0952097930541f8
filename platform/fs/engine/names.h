// File names as the volume engine handles them: UTF-16 strings compared
// case-insensitively (through the kernel's upcase table) and stored with the
// caller's spelling; the legality rules of each personality; 8.3 short names;
// the "name:stream:type" syntax of a final path component.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <string_view>

namespace plat::fs {

enum class FsKind : uint8_t { Ntfs = 1, Fat = 2 };

// Names are kept as char16_t strings: WCHAR is 16-bit on the host, but the C++
// library's wide strings assume the C library's 32-bit wchar_t.
using Name = std::u16string;
using NameView = std::u16string_view;

constexpr size_t kMaxComponentLength = 255;  // characters
constexpr size_t kMaxShortNameLength = 12;   // "XXXXXXXX.YYY"

Name NameFromWide(const WCHAR* text, size_t count);
Name NameFromWide(const WCHAR* text);             // NUL-terminated
inline const WCHAR* NameWide(const Name& name) { return reinterpret_cast<const WCHAR*>(name.c_str()); }
Name NameFromUtf8(std::string_view text);
std::string NameToUtf8(NameView name);

// The upcased form: the key of every case-insensitive comparison.
Name Upcase(NameView name);
bool EqualNoCase(NameView a, NameView b);

// STATUS_SUCCESS, or STATUS_OBJECT_NAME_INVALID when `name` cannot be a file or
// directory name on this personality (empty, "." or "..", too long, a
// character the file system refuses).
NTSTATUS CheckComponent(FsKind kind, NameView name);

// A stream name (the part between the colons): not empty, at most 255
// characters, none of NUL, '\', '/', ':'.
NTSTATUS CheckStreamName(NameView name);

// True when `name` is a legal 8.3 name as it stands (no short name needed):
// a base of 1-8 and an extension of 0-3 legal characters, no spaces, at most
// one dot, not starting with a dot.
bool IsLegalShortName(NameView name);

// Produces the short name for `longName`: the first candidate for which
// `taken` answers false. Returns an empty name when no candidate is free
// within a bounded number of tries (the file then has no short name).
Name GenerateShortName(NameView longName, const std::function<bool(NameView candidate)>& taken);

// The last component of a path split into its parts:
//   "file"                -> file, no stream
//   "file::$DATA"         -> file, unnamed data stream named explicitly
//   "file:s" "file:s:$DATA" -> stream "s"
//   "dir:$I30:$INDEX_ALLOCATION" -> index "$I30"
struct ComponentParts {
    Name FileName;
    Name StreamName;     // empty for the unnamed data stream
    bool HasStreamSyntax = false;
    bool IsIndex = false;  // type $INDEX_ALLOCATION
};
NTSTATUS SplitStreamSyntax(FsKind kind, NameView component, ComponentParts* parts);

}  // namespace plat::fs
