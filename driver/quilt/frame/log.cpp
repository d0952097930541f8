// The log writer: quilt.log (and backup.log) as UTF-16LE text, one
// time-stamped record per line. Every failure is silent.
#include "frame/log.h"

#include <ntstrsafe.h>

#include "common/path_buffer.h"
#include "frame/configuration.h"
#include "frame/device_context.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/name_builder.h"

// Characters gathered before a write; one path buffer holds them.
#define LOG_WIDE_CAPACITY PATH_BUFFER_CHARS
// Narrow characters a message is formatted into (a path buffer holds them and
// the NUL).
#define LOG_NARROW_CHARS 65536

static const WCHAR g_ByteOrderMark = 0xFEFF;

// ---- Paths ----------------------------------------------------------------------

BOOLEAN LogDefaultPath(PWSTR Path, ULONG Capacity) {
    // "C:\Program Files\Quilt\INI\" -> "\Program Files\Quilt\" + "INI\quilt.log"
    PCWSTR folder = g_Quilt.InstallFolder;
    ULONG length = (ULONG)wcslen(folder);
    if (length < 3) {
        return FALSE;
    }
    ULONG end = length - 1;  // drop the trailing backslash, then the last component
    if (folder[end] == L'\\') {
        --end;
    }
    while (end > 2 && folder[end] != L'\\') {
        --end;
    }
    NameBuilder path(Path, Capacity);
    path.AppendCount(folder + 2, end - 2 + 1);
    path.Append(L"INI\\quilt.log");
    return (BOOLEAN)!path.Overflowed();
}

// ---- Writing ------------------------------------------------------------------

static VOID LogFlush(LogWriter* Writer) {
    if (Writer->PendingChars == 0) {
        return;
    }
    IO_STATUS_BLOCK ioStatus = {};
    LARGE_INTEGER endOfFile;
    endOfFile.HighPart = -1;
    endOfFile.LowPart = FILE_WRITE_TO_END_OF_FILE;
    ZwWriteFile(Writer->Handle, NULL, NULL, NULL, &ioStatus, Writer->WideBuffer,
                Writer->PendingChars * sizeof(WCHAR), &endOfFile, NULL);
    Writer->PendingChars = 0;
}

static VOID LogAppend(LogWriter* Writer, PCWSTR Text, ULONG Characters) {
    while (Characters != 0) {
        if (Writer->PendingChars == LOG_WIDE_CAPACITY) {
            LogFlush(Writer);
        }
        ULONG room = LOG_WIDE_CAPACITY - Writer->PendingChars;
        ULONG count = Characters < room ? Characters : room;
        RtlCopyMemory(Writer->WideBuffer + Writer->PendingChars, Text, count * sizeof(WCHAR));
        Writer->PendingChars += count;
        Text += count;
        Characters -= count;
    }
}

// Narrow (ANSI) text converted to UTF-16 into the gathering buffer; a narrow
// character never becomes more than one UTF-16 unit.
static VOID LogAppendNarrow(LogWriter* Writer, PCSTR Text, ULONG Bytes) {
    while (Bytes != 0) {
        if (Writer->PendingChars == LOG_WIDE_CAPACITY) {
            LogFlush(Writer);
        }
        ULONG room = LOG_WIDE_CAPACITY - Writer->PendingChars;
        ULONG count = Bytes < room ? Bytes : room;
        ULONG converted = 0;
        NTSTATUS status = RtlMultiByteToUnicodeN(Writer->WideBuffer + Writer->PendingChars, room * sizeof(WCHAR),
                                                 &converted, const_cast<PCHAR>(Text), count);
        if (!NT_SUCCESS(status)) {
            return;
        }
        Writer->PendingChars += converted / sizeof(WCHAR);
        Text += count;
        Bytes -= count;
    }
}

VOID LogWriteWide(LogWriter* Writer, PCWSTR Text, ULONG Characters) {
    if (Writer == NULL || Writer->FileObject == NULL || Text == NULL) {
        return;
    }
    LogAppend(Writer, Text, Characters);
}

VOID LogWriteTimeStamp(LogWriter* Writer) {
    if (Writer == NULL || Writer->FileObject == NULL) {
        return;
    }
    LARGE_INTEGER now;
    LARGE_INTEGER local;
    TIME_FIELDS fields;
    KeQuerySystemTime(&now);
    ExSystemTimeToLocalTime(&now, &local);
    RtlTimeToTimeFields(&local, &fields);
    CHAR stamp[32];
    if (!NT_SUCCESS(RtlStringCbPrintfA(stamp, sizeof(stamp), "%04d/%02d/%02d %02d:%02d:%02d|", fields.Year,
                                       fields.Month, fields.Day, fields.Hour, fields.Minute, fields.Second))) {
        return;
    }
    LogAppendNarrow(Writer, stamp, (ULONG)strlen(stamp));
}

VOID LogWriteFormat(LogWriter* Writer, PCSTR Format, va_list Arguments) {
    if (Writer == NULL || Writer->FileObject == NULL || Format == NULL) {
        return;
    }
    // A longer message is cut to LOG_NARROW_CHARS characters.
    NTSTATUS status = RtlStringCbVPrintfA(Writer->NarrowBuffer, LOG_NARROW_CHARS + 1, Format, Arguments);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
        return;
    }
    LogAppendNarrow(Writer, Writer->NarrowBuffer, (ULONG)strlen(Writer->NarrowBuffer));
}

VOID LogWriteLineEnd(LogWriter* Writer) {
    if (Writer == NULL || Writer->FileObject == NULL) {
        return;
    }
    LogAppend(Writer, L"\r\n", 2);
    LogFlush(Writer);
}

// ---- Open and close -------------------------------------------------------------

static VOID LogReleaseBuffers(LogWriter* Writer) {
    PathBuffer release;
    release.Attach(Writer->WideBuffer);
    release.Attach(reinterpret_cast<PWSTR>(Writer->NarrowBuffer));
    Writer->WideBuffer = NULL;
    Writer->NarrowBuffer = NULL;
}

static BOOLEAN LogTakeBuffers(LogWriter* Writer) {
    PathBuffer wide;
    PathBuffer narrow;
    if (wide.Allocate() == NULL || narrow.Allocate() == NULL) {
        return FALSE;
    }
    Writer->WideBuffer = wide.Get();
    Writer->NarrowBuffer = reinterpret_cast<PCHAR>(narrow.Get());
    wide.Clear();
    narrow.Clear();
    return TRUE;
}

// The drive and volume path of the file to open into Path.
static BOOLEAN LogTarget(PCWSTR Requested, PWSTR Path, ULONG Capacity, PULONG Drive) {
    if (Requested == NULL) {
        *Drive = g_Quilt.InstallDrive;
        return LogDefaultPath(Path, Capacity);
    }
    if (wcslen(Requested) < 2) {
        return FALSE;
    }
    *Drive = DriveIndexOfLetter(Requested[0]);
    NameBuilder path(Path, Capacity);
    path.Append(Requested + 2);
    return (BOOLEAN)!path.Overflowed();
}

static BOOLEAN LogOpenFile(LogWriter* Writer, PCWSTR Requested, BOOLEAN Supersede) {
    ULONG drive = QUILT_DRIVE_COUNT;
    // The wide buffer holds the path until the file is open.
    if (!LogTarget(Requested, Writer->WideBuffer, PATH_BUFFER_CHARS + 1, &drive)) {
        return FALSE;
    }
    IO_STATUS_BLOCK ioStatus = {};
    Writer->FileObject = OpenLowerFileResolved(
        &Writer->Handle, FILE_APPEND_DATA | SYNCHRONIZE, drive, Writer->WideBuffer, &ioStatus, NULL,
        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, Supersede ? FILE_SUPERSEDE : FILE_OPEN_IF,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0, NULL, 0, NULL);
    if (Writer->FileObject == NULL) {
        return FALSE;
    }
    if (ioStatus.Information == FILE_CREATED || ioStatus.Information == FILE_SUPERSEDED) {
        LogAppend(Writer, &g_ByteOrderMark, 1);
        LogFlush(Writer);
    }
    return TRUE;
}

BOOLEAN LogOpen(LogWriter* Writer, PCWSTR Path, BOOLEAN Supersede) {
    if (Writer == NULL) {
        return FALSE;
    }
    RtlZeroMemory(Writer, sizeof(*Writer));
    if (g_Quilt.InstallDrive == 0 || !g_Quilt.PathBuffersReady) {
        return FALSE;
    }
    if (!LogTakeBuffers(Writer)) {
        return FALSE;
    }
    if (!LogOpenFile(Writer, Path, Supersede)) {
        LogReleaseBuffers(Writer);
        Writer->Handle = NULL;
        return FALSE;
    }
    return TRUE;
}

VOID LogClose(LogWriter* Writer) {
    if (Writer == NULL || Writer->FileObject == NULL) {
        return;
    }
    LogFlush(Writer);
    CloseLowerFile(Writer->FileObject, Writer->Handle);
    Writer->FileObject = NULL;
    Writer->Handle = NULL;
    LogReleaseBuffers(Writer);
}

// ---- Records --------------------------------------------------------------------

VOID LogPrint(PCSTR Format, ...) {
    if (Format == NULL) {
        return;
    }
    LogWriter writer;
    if (!LogOpen(&writer, NULL, FALSE)) {
        return;
    }
    LogWriteTimeStamp(&writer);
    va_list arguments;
    va_start(arguments, Format);
    LogWriteFormat(&writer, Format, arguments);
    va_end(arguments);
    LogWriteLineEnd(&writer);
    LogClose(&writer);
}

VOID LogPrintLine(LogWriter* Writer, PCSTR Format, ...) {
    if (Writer == NULL || Writer->FileObject == NULL || Format == NULL) {
        return;
    }
    LogWriteTimeStamp(Writer);
    va_list arguments;
    va_start(arguments, Format);
    LogWriteFormat(Writer, Format, arguments);
    va_end(arguments);
    LogWriteLineEnd(Writer);
}

// Formats into the writer's record without a va_list of the caller.
static VOID LogWriteFormatted(LogWriter* Writer, PCSTR Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    LogWriteFormat(Writer, Format, arguments);
    va_end(arguments);
}

VOID LogPrintPath(PCSTR Caption, ULONG DriveIndex, PCWSTR Path, NTSTATUS Status) {
    LogWriter writer;
    if (!LogOpen(&writer, NULL, FALSE)) {
        return;
    }
    PCWSTR path = Path != NULL ? Path : L"";
    ULONG characters = (ULONG)wcslen(path);
    LogWriteTimeStamp(&writer);
    LogWriteFormatted(&writer, "%s %c:", Caption != NULL ? Caption : "", (int)('A' + DriveIndex));
    LogWriteWide(&writer, path, characters);
    LogWriteFormatted(&writer, " (len=%d) status=%x", (int)(characters + 2), Status);
    LogWriteLineEnd(&writer);
    LogClose(&writer);
}
