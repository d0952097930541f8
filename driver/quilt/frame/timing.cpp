// Boot timing marks and the report quilt-timeinfo.txt: how long after the
// driver's load the system drive came up and the boot files were first
// opened. Each mark has one writer (named where it is taken) and is taken at
// most once; the marks live for the driver's lifetime.
#include "frame/log.h"

#include <ntstrsafe.h>

#include "common/path_buffer.h"
#include "frame/driver_globals.h"
#include "lowerio/file_open.h"
#include "lowerio/name_builder.h"

#define TIMING_REPORT_TRIGGERS 7
#define TICKS_PER_SECOND      10000000LL
#define TICKS_PER_MILLISECOND 10000LL

static LONGLONG g_TimingMarks[TimingMarkCount];
static volatile LONG g_ReportCalls;

// Thirty characters and a tab each, in report order.
static const char* const g_TimingLabels[TimingMarkCount] = {
    "System drive found time       \t",
    "System drive initialized time \t",
    "System registry access time   \t",
    "Software registry access time \t",
    "Sam registry access time      \t",
    "Security registry access time \t",
    "Default registry access time  \t",
    "System registry access time2  \t",
    "Software registry access time2\t",
    "Sam registry access time2     \t",
    "Security registry access time2\t",
    "Default registry access time2 \t",
    "ntdll.dll access time         \t",
    "cdrom.sys access time         \t",
    "fs_rec.sys access time        \t",
    "smss.exe access time          \t",
    "gdi32.dll access time         \t",
    "kernel32.dll access time      \t",
    "user32.dll access time        \t",
    "csrss.exe access time         \t",
    "winlogon.exe access time      \t",
    "services.exe access time      \t",
    "explorer.exe access time      \t",
    "qsvagent.exe access time      \t",
    "qstarter.exe access time      \t",
};

VOID TimingReset() {
    RtlZeroMemory(g_TimingMarks, sizeof(g_TimingMarks));
    g_ReportCalls = 0;
}

VOID TimingMark(TimingMarkId Mark) {
    if ((ULONG)Mark >= (ULONG)TimingMarkCount || g_TimingMarks[Mark] != 0) {
        return;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    g_TimingMarks[Mark] = now.QuadPart;
}

BOOLEAN TimingMarkTaken(TimingMarkId Mark) {
    return (BOOLEAN)((ULONG)Mark < (ULONG)TimingMarkCount && g_TimingMarks[Mark] != 0);
}

BOOLEAN TimingReportPath(PWSTR Path, ULONG Capacity) {
    ULONG length = (ULONG)wcslen(g_Quilt.InstallFolder);
    if (length < 4) {
        return FALSE;
    }
    NameBuilder path(Path, Capacity);
    path.AppendCount(g_Quilt.InstallFolder, length - 4);
    path.Append(L"ini\\quilt-timeinfo.txt");
    return (BOOLEAN)!path.Overflowed();
}

ULONG FormatTimingValue(LONGLONG Elapsed, PCHAR Text, ULONG Capacity) {
    LONGLONG seconds = Elapsed / TICKS_PER_SECOND;
    LONGLONG milliseconds = (Elapsed % TICKS_PER_SECOND) / TICKS_PER_MILLISECOND;
    if (!NT_SUCCESS(RtlStringCbPrintfA(Text, Capacity, "%04I64d.%03I64d\r\n", seconds, milliseconds))) {
        return 0;
    }
    return (ULONG)strlen(Text);
}

// The 25 lines of the report into Report; returns their length in bytes.
static ULONG FormatTimingReport(PCHAR Report, ULONG Capacity) {
    ULONG used = 0;
    for (ULONG i = 0; i < (ULONG)TimingMarkCount; ++i) {
        if (!NT_SUCCESS(RtlStringCbCopyA(Report + used, Capacity - used, g_TimingLabels[i]))) {
            return used;
        }
        used += (ULONG)strlen(g_TimingLabels[i]);
        LONGLONG elapsed = g_TimingMarks[i] != 0 ? g_TimingMarks[i] - g_Quilt.LoadTime.QuadPart : 0;
        used += FormatTimingValue(elapsed, Report + used, Capacity - used);
    }
    return used;
}

static VOID WriteReportFile(PCWSTR Path, PCHAR Report, ULONG Bytes) {
    HANDLE handle = NULL;
    IO_STATUS_BLOCK ioStatus = {};
    PFILE_OBJECT file = OpenLowerFileResolved(&handle, FILE_GENERIC_WRITE, g_Quilt.InstallDrive, Path + 2,
                                              &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                                              FILE_SUPERSEDE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                              NULL, 0, NULL, 0, NULL);
    if (file == NULL) {
        return;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, Report, Bytes, &offset, NULL);
    CloseLowerFile(file, handle);
}

VOID WriteTimingReport() {
    if (InterlockedIncrement(&g_ReportCalls) < TIMING_REPORT_TRIGGERS) {
        return;
    }
    PathBuffer path;
    PathBuffer report;
    if (!g_Quilt.PathBuffersReady || path.Allocate() == NULL || report.Allocate() == NULL) {
        return;
    }
    if (!TimingReportPath(path.Get(), PATH_BUFFER_CHARS + 1)) {
        return;
    }
    PCHAR text = reinterpret_cast<PCHAR>(report.Get());
    ULONG bytes = FormatTimingReport(text, PATH_BUFFER_BYTES);
    WriteReportFile(path.Get(), text, bytes);
}
