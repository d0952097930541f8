// Path buffers: every path the driver builds lives in one. A buffer holds
// 32,768 UTF-16 characters and a terminating NUL (0x10002 bytes) and comes from a
// non-paged lookaside list, so the limit of all path operations is 32,768
// characters.
#pragma once

#include <ntifs.h>

#define PATH_BUFFER_CHARS 32768
#define PATH_BUFFER_BYTES ((PATH_BUFFER_CHARS + 1) * sizeof(WCHAR))

// The lookaside list behind every path buffer; driver entry initialises it
// before any path buffer is allocated and deletes it when it undoes its work.
VOID PathBufferListInitialize();
VOID PathBufferListDelete();

// A handle holding at most one path buffer, released when the handle goes out of
// scope.
class PathBuffer {
public:
    PathBuffer() : m_Buffer(NULL) {}
    ~PathBuffer() { Free(); }

    PathBuffer(const PathBuffer&) = delete;
    PathBuffer& operator=(const PathBuffer&) = delete;

    // Forgets the buffer without releasing it (the handle no longer owns it).
    VOID Clear() { m_Buffer = NULL; }

    // Takes ownership of a buffer that came from Allocate and was handed away
    // with Clear (releasing one already held), so that Free returns it.
    VOID Attach(PWSTR Buffer) {
        Free();
        m_Buffer = Buffer;
    }

    // Allocates a buffer (releasing one already held) with an empty string in
    // it; NULL when the lookaside list cannot supply one.
    PWSTR Allocate();

    PWSTR Get() const { return m_Buffer; }

    VOID Free();

private:
    PWSTR m_Buffer;
};
