// Windows C run-time formatting for narrow and wide output: the engine and the
// exported _vsnprintf family. The rules are listed in nt/rtl.h.
#include "rtl/format.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "rtl/codepage.h"

namespace plat {
namespace {

// Widths and precisions beyond this are clamped; padding is only counted
// beyond the buffer, so a large width costs no time.
constexpr size_t kMaxFieldSize = size_t(1) << 28;
// Floating-point fields are built by the host library in memory: keep them small.
constexpr size_t kMaxFloatWidth = 4096;

size_t Clamp(size_t value, size_t limit) {
    return value < limit ? value : limit;
}

// Where the output goes: the first Capacity units are stored, the rest counted.
template <typename CharT>
class Output {
public:
    Output(CharT* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Put(CharT c) {
        if (length_ < capacity_) buffer_[length_] = c;
        ++length_;
    }

    void Repeat(CharT c, size_t count) {
        size_t room = length_ < capacity_ ? capacity_ - length_ : 0;
        size_t stored = count < room ? count : room;
        for (size_t i = 0; i < stored; ++i) buffer_[length_ + i] = c;
        length_ += count;
    }

    size_t Length() const { return length_; }

private:
    CharT* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

// A character of either width converted to the output's width (code page 1252).
template <typename CharT>
struct Units;

template <>
struct Units<char> {
    static char From(char c) { return c; }
    static char From(WCHAR c) { return static_cast<char>(WideToNarrowOrDefault(c)); }
};

template <>
struct Units<WCHAR> {
    static WCHAR From(char c) { return NarrowToWide(static_cast<UCHAR>(c)); }
    static WCHAR From(WCHAR c) { return c; }
};

enum class ArgSize { Default, Char, Short, Long, LongLong, Int32, Int64, Pointer, Wide, LongDouble };

struct Spec {
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alt = false;
    bool Zero = false;
    size_t Width = 0;
    bool HasPrecision = false;
    size_t Precision = 0;
    ArgSize Size = ArgSize::Default;
    unsigned Type = 0;  // the conversion character; 0 when the format ended early
};

template <typename CharT>
class Formatter {
public:
    Formatter(CharT* buffer, size_t capacity, va_list args) : out_(buffer, capacity) {
        va_copy(args_, args);
    }
    ~Formatter() { va_end(args_); }
    Formatter(const Formatter&) = delete;
    Formatter& operator=(const Formatter&) = delete;

    size_t Run(const CharT* format) {
        const CharT* p = format;
        while (*p != 0) {
            if (*p != '%') {
                out_.Put(*p++);
                continue;
            }
            Spec spec;
            p = ParseSpec(p + 1, &spec);
            if (spec.Type == 0) break;  // the format ends inside a conversion
            Convert(spec);
        }
        return out_.Length();
    }

private:
    static bool IsDigit(CharT c) { return c >= '0' && c <= '9'; }

    static const CharT* ParseNumber(const CharT* p, size_t* value) {
        size_t v = 0;
        for (; IsDigit(*p); ++p) {
            if (v < kMaxFieldSize) v = v * 10 + static_cast<size_t>(*p - '0');
        }
        *value = Clamp(v, kMaxFieldSize);
        return p;
    }

    const CharT* ParseFlags(const CharT* p, Spec* spec) {
        for (;; ++p) {
            switch (*p) {
            case '-': spec->Left = true; break;
            case '+': spec->Plus = true; break;
            case ' ': spec->Space = true; break;
            case '#': spec->Alt = true; break;
            case '0': spec->Zero = true; break;
            default: return p;
            }
        }
    }

    const CharT* ParseWidth(const CharT* p, Spec* spec) {
        if (*p != '*') return ParseNumber(p, &spec->Width);
        long long width = va_arg(args_, int);
        if (width < 0) {
            spec->Left = true;
            width = -width;
        }
        spec->Width = Clamp(static_cast<size_t>(width), kMaxFieldSize);
        return p + 1;
    }

    const CharT* ParsePrecision(const CharT* p, Spec* spec) {
        if (*p != '.') return p;
        ++p;
        if (*p != '*') {
            spec->HasPrecision = true;
            return ParseNumber(p, &spec->Precision);
        }
        int precision = va_arg(args_, int);
        if (precision >= 0) {  // a negative precision counts as none
            spec->HasPrecision = true;
            spec->Precision = Clamp(static_cast<size_t>(precision), kMaxFieldSize);
        }
        return p + 1;
    }

    static const CharT* ParseSize(const CharT* p, Spec* spec) {
        switch (*p) {
        case 'h':
            if (p[1] == 'h') {
                spec->Size = ArgSize::Char;
                return p + 2;
            }
            spec->Size = ArgSize::Short;
            return p + 1;
        case 'l':
            if (p[1] == 'l') {
                spec->Size = ArgSize::LongLong;
                return p + 2;
            }
            spec->Size = ArgSize::Long;
            return p + 1;
        case 'w': spec->Size = ArgSize::Wide; return p + 1;
        case 'L': spec->Size = ArgSize::LongDouble; return p + 1;
        case 'j': spec->Size = ArgSize::LongLong; return p + 1;
        case 'z':
        case 't': spec->Size = ArgSize::Pointer; return p + 1;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                spec->Size = ArgSize::Int64;
                return p + 3;
            }
            if (p[1] == '3' && p[2] == '2') {
                spec->Size = ArgSize::Int32;
                return p + 3;
            }
            spec->Size = ArgSize::Pointer;
            return p + 1;
        default: return p;
        }
    }

    const CharT* ParseSpec(const CharT* p, Spec* spec) {
        p = ParseFlags(p, spec);
        p = ParseWidth(p, spec);
        p = ParsePrecision(p, spec);
        p = ParseSize(p, spec);
        if (*p == 0) return p;
        spec->Type = static_cast<unsigned>(*p);
        return p + 1;
    }

    void Convert(const Spec& spec) {
        switch (spec.Type) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': Integer(spec); break;
        case 'p': Pointer(spec); break;
        case 'c': case 'C': Character(spec); break;
        case 's': case 'S': String(spec); break;
        case 'Z': CountedString(spec); break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': Float(spec); break;
        case 'n': (void)va_arg(args_, void*); break;  // never written to
        default: out_.Put(static_cast<CharT>(spec.Type)); break;  // "%%" and unknown types
        }
    }

    long long FetchSigned(ArgSize size) {
        switch (size) {
        case ArgSize::Char: return static_cast<signed char>(va_arg(args_, int));
        case ArgSize::Short: return static_cast<short>(va_arg(args_, int));
        case ArgSize::LongLong:
        case ArgSize::Int64: return va_arg(args_, long long);
        case ArgSize::Pointer: return static_cast<long long>(va_arg(args_, intptr_t));
        default: return va_arg(args_, int);  // %d and %ld are 32-bit, as on Windows
        }
    }

    unsigned long long FetchUnsigned(ArgSize size) {
        switch (size) {
        case ArgSize::Char: return static_cast<unsigned char>(va_arg(args_, unsigned int));
        case ArgSize::Short: return static_cast<unsigned short>(va_arg(args_, unsigned int));
        case ArgSize::LongLong:
        case ArgSize::Int64: return va_arg(args_, unsigned long long);
        case ArgSize::Pointer: return static_cast<unsigned long long>(va_arg(args_, uintptr_t));
        default: return va_arg(args_, unsigned int);
        }
    }

    void Integer(const Spec& spec) {
        bool isSigned = spec.Type == 'd' || spec.Type == 'i';
        unsigned long long magnitude;
        bool negative = false;
        if (isSigned) {
            long long value = FetchSigned(spec.Size);
            negative = value < 0;
            magnitude = static_cast<unsigned long long>(value);
            if (negative) magnitude = 0ULL - magnitude;
        } else {
            magnitude = FetchUnsigned(spec.Size);
        }
        unsigned base = spec.Type == 'o' ? 8 : (spec.Type == 'x' || spec.Type == 'X') ? 16 : 10;
        EmitNumber(spec, magnitude, negative, base, spec.Type == 'X', isSigned);
    }

    void Pointer(const Spec& spec) {
        Spec pointer = spec;
        pointer.Alt = false;
        pointer.HasPrecision = true;
        pointer.Precision = 2 * sizeof(void*);
        EmitNumber(pointer, reinterpret_cast<uintptr_t>(va_arg(args_, void*)), false, 16, true, false);
    }

    void EmitNumber(const Spec& spec, unsigned long long magnitude, bool negative, unsigned base, bool upper,
                    bool isSigned) {
        const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char digits[72];  // reversed
        size_t count = 0;
        for (unsigned long long v = magnitude; v != 0; v /= base) digits[count++] = digitSet[v % base];

        size_t precision = spec.HasPrecision ? spec.Precision : 1;
        size_t zeros = precision > count ? precision - count : 0;
        if (base == 8 && spec.Alt && zeros == 0 && (count == 0 || digits[count - 1] != '0')) zeros = 1;

        char prefix[2];
        size_t prefixLength = 0;
        if (isSigned && negative) prefix[prefixLength++] = '-';
        else if (isSigned && spec.Plus) prefix[prefixLength++] = '+';
        else if (isSigned && spec.Space) prefix[prefixLength++] = ' ';
        if (base == 16 && spec.Alt && magnitude != 0) {
            prefix[prefixLength++] = '0';
            prefix[prefixLength++] = upper ? 'X' : 'x';
        }

        size_t body = prefixLength + zeros + count;
        size_t pad = spec.Width > body ? spec.Width - body : 0;
        if (!spec.Left && spec.Zero && !spec.HasPrecision) {
            zeros += pad;
            pad = 0;
        }
        if (!spec.Left) out_.Repeat(' ', pad);
        for (size_t i = 0; i < prefixLength; ++i) out_.Put(prefix[i]);
        out_.Repeat('0', zeros);
        while (count != 0) out_.Put(digits[--count]);
        if (spec.Left) out_.Repeat(' ', pad);
    }

    // Whether a %c/%C/%s/%S argument is wide: the size prefix decides, else the
    // lower-case type takes the output's width and the upper-case one the other.
    static bool ArgumentIsWide(const Spec& spec) {
        if (spec.Size == ArgSize::Short || spec.Size == ArgSize::Char) return false;
        if (spec.Size == ArgSize::Long || spec.Size == ArgSize::Wide) return true;
        bool upperType = spec.Type == 'C' || spec.Type == 'S';
        bool wideOutput = sizeof(CharT) == sizeof(WCHAR);
        return upperType ? !wideOutput : wideOutput;
    }

    template <typename SrcT>
    void EmitText(const Spec& spec, const SrcT* text, size_t length) {
        size_t pad = spec.Width > length ? spec.Width - length : 0;
        if (!spec.Left) out_.Repeat(spec.Zero ? '0' : ' ', pad);  // the CRT pads text with zeros too
        for (size_t i = 0; i < length; ++i) out_.Put(Units<CharT>::From(text[i]));
        if (spec.Left) out_.Repeat(' ', pad);
    }

    void EmitNull(const Spec& spec) {
        static const char kNull[] = "(null)";
        size_t length = sizeof(kNull) - 1;
        if (spec.HasPrecision && spec.Precision < length) length = spec.Precision;
        EmitText(spec, kNull, length);
    }

    void Character(const Spec& spec) {
        int value = va_arg(args_, int);
        if (ArgumentIsWide(spec)) {
            WCHAR c = static_cast<WCHAR>(value);
            EmitText(spec, &c, 1);
        } else {
            char c = static_cast<char>(value);
            EmitText(spec, &c, 1);
        }
    }

    template <typename SrcT>
    static size_t BoundedLength(const SrcT* text, const Spec& spec) {
        size_t limit = spec.HasPrecision ? spec.Precision : SIZE_MAX;
        size_t n = 0;
        while (n < limit && text[n] != 0) ++n;
        return n;
    }

    void String(const Spec& spec) {
        const void* argument = va_arg(args_, const void*);
        if (argument == NULL) return EmitNull(spec);
        if (ArgumentIsWide(spec)) {
            const WCHAR* text = static_cast<const WCHAR*>(argument);
            return EmitText(spec, text, BoundedLength(text, spec));
        }
        const char* text = static_cast<const char*>(argument);
        EmitText(spec, text, BoundedLength(text, spec));
    }

    // %Z: ANSI_STRING; %wZ (or %lZ): UNICODE_STRING.
    void CountedString(const Spec& spec) {
        const void* argument = va_arg(args_, const void*);
        bool wide = spec.Size == ArgSize::Wide || spec.Size == ArgSize::Long;
        size_t limit = spec.HasPrecision ? spec.Precision : SIZE_MAX;
        if (wide) {
            const UNICODE_STRING* text = static_cast<const UNICODE_STRING*>(argument);
            if (text == NULL || text->Buffer == NULL) return EmitNull(spec);
            size_t length = text->Length / sizeof(WCHAR);
            return EmitText(spec, text->Buffer, length < limit ? length : limit);
        }
        const STRING* text = static_cast<const STRING*>(argument);
        if (text == NULL || text->Buffer == NULL) return EmitNull(spec);
        size_t length = text->Length;
        EmitText(spec, text->Buffer, length < limit ? length : limit);
    }

    // Floating point is rare in kernel code; the host C library formats it.
    void Float(const Spec& spec) {
        std::string format = "%";
        if (spec.Left) format += '-';
        if (spec.Plus) format += '+';
        if (spec.Space) format += ' ';
        if (spec.Alt) format += '#';
        if (spec.Zero) format += '0';
        format += "*.*";
        if (spec.Size == ArgSize::LongDouble) format += 'L';
        format += static_cast<char>(spec.Type);
        int width = static_cast<int>(Clamp(spec.Width, kMaxFloatWidth));
        int precision = spec.HasPrecision ? static_cast<int>(Clamp(spec.Precision, kMaxFloatWidth)) : -1;

        std::string text;
        if (spec.Size == ArgSize::LongDouble) {
            long double value = va_arg(args_, long double);
            text = HostFormat(format.c_str(), width, precision, value);
        } else {
            double value = va_arg(args_, double);
            text = HostFormat(format.c_str(), width, precision, value);
        }
        for (char c : text) out_.Put(Units<CharT>::From(c));
    }

    template <typename T>
    static std::string HostFormat(const char* format, int width, int precision, T value) {
        int length = snprintf(NULL, 0, format, width, precision, value);
        if (length <= 0) return std::string();
        std::string text(static_cast<size_t>(length) + 1, '\0');
        snprintf(&text[0], text.size(), format, width, precision, value);
        text.resize(static_cast<size_t>(length));
        return text;
    }

    Output<CharT> out_;
    va_list args_;
};

// The CRT's result rules for a bounded call (see nt/rtl.h).
template <typename CharT>
int BoundedResult(CharT* buffer, size_t count, size_t length) {
    if (buffer == NULL) return length <= INT_MAX ? static_cast<int>(length) : -1;
    if (length > count || length > INT_MAX) return -1;
    if (length < count) buffer[length] = 0;
    return static_cast<int>(length);
}

}  // namespace

size_t FormatNarrowV(char* Buffer, size_t Capacity, const char* Format, va_list Args) {
    Formatter<char> formatter(Buffer, Capacity, Args);
    return formatter.Run(Format);
}

size_t FormatWideV(WCHAR* Buffer, size_t Capacity, const WCHAR* Format, va_list Args) {
    Formatter<WCHAR> formatter(Buffer, Capacity, Args);
    return formatter.Run(Format);
}

}  // namespace plat

extern "C" int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args) {
    if (Format == NULL || (Buffer == NULL && Count != 0)) return -1;
    size_t length = plat::FormatNarrowV(Buffer, Count, Format, Args);
    return plat::BoundedResult(Buffer, Count, length);
}

extern "C" int _snprintf(char* Buffer, size_t Count, const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    int result = _vsnprintf(Buffer, Count, Format, args);
    va_end(args);
    return result;
}

extern "C" int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list Args) {
    if (Format == NULL || (Buffer == NULL && Count != 0)) return -1;
    size_t length = plat::FormatWideV(Buffer, Count, Format, Args);
    return plat::BoundedResult(Buffer, Count, length);
}

extern "C" int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
    va_list args;
    va_start(args, Format);
    int result = _vsnwprintf(Buffer, Count, Format, args);
    va_end(args);
    return result;
}

// Unbounded, like the kernel's swprintf: the caller guarantees the room.
extern "C" int QntSwprintf(WCHAR* Buffer, const WCHAR* Format, ...) {
    if (Buffer == NULL || Format == NULL) return -1;
    va_list args;
    va_start(args, Format);
    size_t length = plat::FormatWideV(Buffer, SIZE_MAX / sizeof(WCHAR), Format, args);
    va_end(args);
    Buffer[length] = 0;
    return length <= INT_MAX ? static_cast<int>(length) : -1;
}
