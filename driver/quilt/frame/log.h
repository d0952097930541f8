// The diagnostic log quilt.log (UTF-16LE, one time-stamped record per line)
// and the boot timing report quilt-timeinfo.txt. Every failure of the log
// writer is silent: the record is dropped.
#pragma once

#include <ntifs.h>

// One open log file. Records are gathered in WideBuffer and written when a
// record ends (or the buffer is full), so that a record normally reaches the
// file in one write and records of concurrent writers do not interleave.
struct LogWriter {
    PFILE_OBJECT FileObject;
    HANDLE Handle;
    PWSTR WideBuffer;    // path buffers (65,538 bytes each)
    PCHAR NarrowBuffer;
    ULONG PendingChars;  // characters in WideBuffer not yet written
};

// Opens (or creates, or with Supersede replaces) the log file: Path names it
// with its drive letter first; NULL means quilt.log in the INI folder beside the
// install folder. A new file starts with the byte-order mark. FALSE, with
// nothing held, while no install drive is known or when the file or the
// buffers cannot be had.
BOOLEAN LogOpen(LogWriter* Writer, PCWSTR Path, BOOLEAN Supersede);
VOID LogClose(LogWriter* Writer);
VOID LogWriteTimeStamp(LogWriter* Writer);
VOID LogWriteFormat(LogWriter* Writer, PCSTR Format, va_list Arguments);
VOID LogWriteWide(LogWriter* Writer, PCWSTR Text, ULONG Characters);
VOID LogWriteLineEnd(LogWriter* Writer);

// One record in quilt.log: time stamp, message, CR LF.
VOID LogPrint(PCSTR Format, ...);
// One record on an opened writer (backup.log).
VOID LogPrintLine(LogWriter* Writer, PCSTR Format, ...);
// "<caption> <drive>:<path> (len=<chars + 2>) status=<status>"
VOID LogPrintPath(PCSTR Caption, ULONG DriveIndex, PCWSTR Path, NTSTATUS Status);

// Boot timing marks, in report order.
enum TimingMarkId {
    TimingSystemDriveFound, TimingSystemDriveInitialized,
    TimingSystemRegistry, TimingSoftwareRegistry, TimingSamRegistry, TimingSecurityRegistry,
    TimingDefaultRegistry,
    TimingSystemRegistry2, TimingSoftwareRegistry2, TimingSamRegistry2, TimingSecurityRegistry2,
    TimingDefaultRegistry2,
    TimingNtdll, TimingCdrom, TimingFsRec, TimingSmss, TimingGdi32, TimingKernel32, TimingUser32,
    TimingCsrss, TimingWinlogon, TimingServices, TimingExplorer, TimingQsvAgent, TimingQStarter,
    TimingMarkCount
};

// Takes the mark (the current system time) unless it was taken already.
VOID TimingMark(TimingMarkId Mark);
BOOLEAN TimingMarkTaken(TimingMarkId Mark);
// Called after each of the seven report triggers; from the seventh call on it
// writes quilt-timeinfo.txt beside the INI folder.
VOID WriteTimingReport();
// Clears the marks and the report counter (driver entry).
VOID TimingReset();

// The volume path (without drive letter) of quilt.log: the install folder's
// parent folder followed by "INI\quilt.log". FALSE when it does not fit.
BOOLEAN LogDefaultPath(PWSTR Path, ULONG Capacity);
// The full path of the timing report: the install folder with its last four
// characters replaced by "ini\quilt-timeinfo.txt". FALSE when it does not fit.
BOOLEAN TimingReportPath(PWSTR Path, ULONG Capacity);
// One value line of the report for Elapsed (100-ns units):
// "%04I64d.%03I64d\r\n". Returns its length in bytes, 0 when it does not fit.
ULONG FormatTimingValue(LONGLONG Elapsed, PCHAR Text, ULONG Capacity);
