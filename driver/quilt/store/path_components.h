// Reading a path component by component, the way every walk of the store
// reads it: runs of backslashes separate components, and a trailing backslash
// ends the path.
#pragma once

#include <ntifs.h>

class PathComponents {
public:
    PathComponents(PCWSTR Path, ULONG Length) : m_Path(Path), m_Length(Length), m_Position(0) {}

    // The next component: TRUE with its start (index into the path) and length;
    // FALSE when no component follows.
    BOOLEAN Next(ULONG* Start, ULONG* Length) {
        SkipSeparators();
        if (m_Position >= m_Length) {
            return FALSE;
        }
        *Start = m_Position;
        while (m_Position < m_Length && m_Path[m_Position] != L'\\') {
            m_Position++;
        }
        *Length = m_Position - *Start;
        return TRUE;
    }

    // TRUE when Next would find another component.
    BOOLEAN HasMore() const {
        for (ULONG position = m_Position; position < m_Length; position++) {
            if (m_Path[position] != L'\\') {
                return TRUE;
            }
        }
        return FALSE;
    }

private:
    VOID SkipSeparators() {
        while (m_Position < m_Length && m_Path[m_Position] == L'\\') {
            m_Position++;
        }
    }

    PCWSTR m_Path;
    ULONG m_Length;
    ULONG m_Position;
};

// A component with a tilde at any position but the first may be a generated
// short name.
inline BOOLEAN ComponentHasTilde(PCWSTR Component, ULONG Length) {
    for (ULONG position = 1; position < Length; position++) {
        if (Component[position] == L'~') {
            return TRUE;
        }
    }
    return FALSE;
}
