#include "frame/configuration.h"

#include <ntstrsafe.h>

#include "frame/device_context.h"

// Storage of the watched boot file names: the system root (up to 257
// characters without its drive letter) plus the longest suffix, or the install
// folder (up to 258) with its last four characters replaced by a program path.
#define WATCHED_NAME_CHARS 300
static WCHAR g_WatchedNameText[QUILT_WATCHED_BOOT_FILES][WATCHED_NAME_CHARS];

static const PCWSTR g_SystemRootSuffixes[] = {
    L"\\system32\\config\\software",   // WatchedSoftware
    L"\\system32\\config\\sam",        // WatchedSam
    L"\\system32\\config\\security",   // WatchedSecurity
    L"\\system32\\config\\system",     // WatchedSystem
    L"\\system32\\config\\default",    // WatchedDefault
    L"\\system32\\services.exe",       // WatchedServices
    L"\\system32\\smss.exe",           // WatchedSmss
    L"\\system32\\csrss.exe",          // WatchedCsrss
    L"\\system32\\winlogon.exe",       // WatchedWinlogon
    L"\\explorer.exe",                 // WatchedExplorer
    L"\\system32\\ntdll.dll",          // WatchedNtdll
    L"\\system32\\drivers\\cdrom.sys", // WatchedCdrom
    L"\\system32\\drivers\\fs_rec.sys",// WatchedFsRec
    L"\\system32\\gdi32.dll",          // WatchedGdi32
    L"\\system32\\kernel32.dll",       // WatchedKernel32
    L"\\system32\\user32.dll",         // WatchedUser32
};
static_assert(ARRAYSIZE(g_SystemRootSuffixes) == WatchedQsvAgent, "one suffix per system-root name");

#define WATCHED_ALWAYS 6  // the five hives and services.exe

ULONG DriveIndexOfLetter(WCHAR Letter) {
    WCHAR upper = RtlUpcaseUnicodeChar(Letter);
    if (upper < L'A' || upper > L'Z') {
        return QUILT_DRIVE_COUNT;
    }
    return (ULONG)(upper - L'A');
}

ULONG BoundFileCopyBufferSize(ULONG Requested) {
    ULONG size = Requested;
    if (size < QUILT_MIN_COPY_BUFFER) {
        size = QUILT_MIN_COPY_BUFFER;
    }
    if (size > QUILT_MAX_COPY_BUFFER) {
        size = QUILT_MAX_COPY_BUFFER;
    }
    return (size + QUILT_MIN_COPY_BUFFER - 1) & ~(ULONG)(QUILT_MIN_COPY_BUFFER - 1);
}

ULONG BoundPrecreateWatchTime(ULONG WatchTime, ULONG StartTime) {
    return WatchTime > StartTime ? StartTime : WatchTime;
}

// Index of the last backslash, or -1.
static LONG LastBackslash(PCWSTR Text) {
    LONG last = -1;
    for (LONG i = 0; Text[i] != L'\0'; ++i) {
        if (Text[i] == L'\\') {
            last = i;
        }
    }
    return last;
}

BOOLEAN IsUsableCheckFilePath(PCWSTR CheckFilePath) {
    if (CheckFilePath == NULL || CheckFilePath[0] == L'\0') {
        return FALSE;
    }
    if (DriveIndexOfLetter(CheckFilePath[0]) >= QUILT_DRIVE_COUNT) {
        return FALSE;
    }
    return (BOOLEAN)(LastBackslash(CheckFilePath) >= 6);
}

VOID ReadStartupConfiguration(PCUNICODE_STRING RegistryPath) {
    QuiltConfiguration& config = g_Quilt.Config;
    config.DeleteStartDelay = ReadDword(RegistryPath, L"DeleteStartDelay", 600);
    config.USBDiskSupport = ReadDword(RegistryPath, L"USBDiskSupport", 0);
    config.SubFolderLimit = ReadDword(RegistryPath, L"SubFolderLimit", 0);
    config.EnableScmWait = ReadDword(RegistryPath, L"EnableScmWait", 1);
    config.PrecreateEnable = ReadDword(RegistryPath, L"PrecreateEnable", 0);
    config.PrecreateSizeLimit = ReadDword(RegistryPath, L"PrecreateSizeLimit", 0);
    config.PrecreateWatchTime = ReadDword(RegistryPath, L"PrecreateWatchTime", 300);
    config.PrecreateStartTime = ReadDword(RegistryPath, L"PrecreateStartTime", 480);
    config.PrecreateWatchTime = BoundPrecreateWatchTime(config.PrecreateWatchTime, config.PrecreateStartTime);
}

// Folder + Name into Destination; the lengths are bounded by the callers'
// buffer sizes, so a failure only truncates.
static VOID JoinPath(PWSTR Destination, size_t DestinationChars, PCWSTR Folder, PCWSTR Name) {
    RtlStringCchCopyW(Destination, DestinationChars, Folder);
    RtlStringCchCatW(Destination, DestinationChars, Name);
}

VOID DeriveInstallPaths() {
    PWSTR folder = g_Quilt.InstallFolder;
    RtlStringCchCopyW(folder, QUILT_PATH_CHARS, g_Quilt.Config.CheckFilePath);
    folder[0] = RtlUpcaseUnicodeChar(folder[0]);
    LONG last = LastBackslash(folder);
    folder[last + 1] = L'\0';
    g_Quilt.InstallDrive = DriveIndexOfLetter(folder[0]);
    JoinPath(g_Quilt.MarkerFilePath, ARRAYSIZE(g_Quilt.MarkerFilePath), folder, L"$-MkFile.flg");
    JoinPath(g_Quilt.RegistrySnapshotPath, ARRAYSIZE(g_Quilt.RegistrySnapshotPath), folder, L"registry.dat");
}

// The Windows directory as the system reports it to drivers.
static PCWSTR SystemReportedRoot() {
    // The WDK's SharedUserData casts to a const-qualified pointer type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    return SharedUserData->NtSystemRoot;
#pragma GCC diagnostic pop
}

VOID DeriveSystemRoot() {
    RtlStringCchCopyNW(g_Quilt.SystemRoot, QUILT_SYSTEM_ROOT_CHARS, SystemReportedRoot(),
                       QUILT_SYSTEM_ROOT_CHARS - 1);
    g_Quilt.SystemRoot[0] = RtlUpcaseUnicodeChar(g_Quilt.SystemRoot[0]);
    g_Quilt.SystemDrive = DriveIndexOfLetter(g_Quilt.SystemRoot[0]);
}

static VOID SetWatchedName(ULONG Index, PCWSTR Prefix, PCWSTR Suffix) {
    PWSTR text = g_WatchedNameText[Index];
    JoinPath(text, WATCHED_NAME_CHARS, Prefix, Suffix);
    RtlInitUnicodeString(&g_Quilt.WatchedBootFiles[Index], text);
}

// The install folder without its drive letter and its last four characters
// (normally "INI\"), followed by Program.
static VOID SetProgramName(ULONG Index, PCWSTR Program) {
    WCHAR base[QUILT_PATH_CHARS];
    RtlStringCchCopyW(base, ARRAYSIZE(base), g_Quilt.InstallFolder + 2);
    size_t length = wcslen(base);
    base[length >= 4 ? length - 4 : 0] = L'\0';
    SetWatchedName(Index, base, Program);
}

VOID BuildWatchedBootFiles(BOOLEAN WithTimingNames) {
    // "C:\WINDOWS" without "C:"; an empty root for a root shorter than that.
    PCWSTR root = wcslen(g_Quilt.SystemRoot) >= 2 ? g_Quilt.SystemRoot + 2 : L"";
    ULONG count = WithTimingNames ? (ULONG)QUILT_WATCHED_BOOT_FILES : (ULONG)WATCHED_ALWAYS;
    for (ULONG i = 0; i < count && i < (ULONG)WatchedQsvAgent; ++i) {
        SetWatchedName(i, root, g_SystemRootSuffixes[i]);
    }
    if (WithTimingNames) {
        SetProgramName(WatchedQsvAgent, L"PRG\\QSVAGENT.EXE");
        SetProgramName(WatchedQStarter, L"PRG\\QSTARTER.EXE");
    }
    g_Quilt.WatchedBootFileCount = count;
}

ULONG FindProcessNameOffset() {
    static const char name[] = "System";
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    for (ULONG offset = 0; offset < 0x3000; ++offset) {
        if (RtlCompareMemory(process + offset, name, sizeof(name) - 1) == sizeof(name) - 1) {
            return offset;
        }
    }
    return 0;
}
