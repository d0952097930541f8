// Builds a NUL-terminated UTF-16 name in a caller's buffer of fixed capacity.
// Anything that does not fit is refused, never cut: once an append fails the
// builder reports Overflowed() and keeps what it had.
#pragma once

#include <ntifs.h>

class NameBuilder {
public:
    // Capacity counts characters including the terminating NUL.
    NameBuilder(PWSTR Buffer, ULONG Capacity) : m_Buffer(Buffer), m_Capacity(Capacity), m_Length(0), m_Overflow(FALSE) {
        if (m_Capacity != 0) {
            m_Buffer[0] = L'\0';
        } else {
            m_Overflow = TRUE;
        }
    }

    VOID Append(PCWSTR Text) { AppendCount(Text, Text != NULL ? (ULONG)wcslen(Text) : 0); }

    VOID AppendCount(PCWSTR Text, ULONG Characters) {
        if (Characters == 0) {
            return;
        }
        if (!Reserve(Characters)) {
            return;
        }
        RtlCopyMemory(m_Buffer + m_Length, Text, Characters * sizeof(WCHAR));
        Advance(Characters);
    }

    VOID AppendChar(WCHAR Character) { AppendCount(&Character, 1); }

    // Raw bytes in whole characters (an even count).
    VOID AppendBytes(const VOID* Bytes, ULONG ByteCount) {
        AppendCount(static_cast<PCWSTR>(Bytes), ByteCount / sizeof(WCHAR));
    }

    PWSTR Text() const { return m_Buffer; }
    ULONG Length() const { return m_Length; }  // characters, without the NUL
    BOOLEAN Overflowed() const { return m_Overflow; }

private:
    BOOLEAN Reserve(ULONG Characters) {
        if (m_Overflow || Characters >= m_Capacity - m_Length) {
            m_Overflow = TRUE;
            return FALSE;
        }
        return TRUE;
    }

    VOID Advance(ULONG Characters) {
        m_Length += Characters;
        m_Buffer[m_Length] = L'\0';
    }

    PWSTR m_Buffer;
    ULONG m_Capacity;
    ULONG m_Length;
    BOOLEAN m_Overflow;
};
