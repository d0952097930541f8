// The work folder of a protected volume, as volume start-up prepares it:
//   \$~@&%.~~~            the work folder, hidden and system
//   \$~@&%.~~~\<n>        one generation sub-folder per boot, n in lower-case
//                         hexadecimal from 1
//   \$~@&%.~~~\current    8 bytes: generation number, backup number (both
//                         32-bit little-endian)
//   \$~@&%.~~~\Backup\<n> the backup area (only with PrecreateEnable)
// and the store entries that start-up makes for it (the work folder hidden,
// the volume's junctions marked).
#pragma once

#include <ntifs.h>

#include "frame/device_context.h"

#define WORK_FOLDER_NAME        L"$~@&%.~~~"
#define WORK_FOLDER_CURRENT     L"\\$~@&%.~~~\\current"
#define WORK_FOLDER_BACKUP      L"\\$~@&%.~~~\\Backup"
#define SCRAP_FOLDER_PATH       L"\\$scrap$~@&%"
#define REPARSE_INDEX_PATH      L"\\$Extend\\$Reparse:$R:$INDEX_ALLOCATION"

// Attempts of the work-folder open before it gives up on a failure that may
// pass, one millisecond apart.
#define WORK_FOLDER_OPEN_ATTEMPTS 1000

// Opens or creates the work folder (hidden and system) and keeps its file
// object and handle in the volume context. *Created tells whether it was
// created now. Retries failures that may pass; returns the last failure when
// it gives up (see work_folder.cpp for which failures end it at once).
NTSTATUS OpenWorkFolder(VolumeContext* Volume, PBOOLEAN Created);

// Gives the opened work folder a DACL granting Everyone full access,
// inherited by files and folders (NTFS only). The result is not needed.
VOID SetWorkFolderSecurity(VolumeContext* Volume);

// Creates the first free generation sub-folder, numbering from 1, and makes
// its number the volume's generation. Path is a path buffer to work in.
// FALSE (logged) when no folder can be created.
BOOLEAN CreateGenerationFolder(VolumeContext* Volume, PWSTR Path);

// Opens or creates the current file. With PrecreateEnable, takes the backup
// number from it (or begins the numbering anew when the marker was found)
// and creates the Backup folder. At a fresh start writes the generation and
// backup numbers into it; otherwise reads the generation number from it.
// Path is a path buffer to work in. Returns the status of the open or of the
// transfer (failures are logged).
NTSTATUS PrepareCurrentFile(VolumeContext* Volume, BOOLEAN MarkerFound, PWSTR Path, BOOLEAN FreshStart);

// Enters the work folder into the store's name table 1, hidden, so that it
// never shows in listings of the volume root. FALSE when the store has no
// room.
BOOLEAN HideWorkFolderInStore(VolumeContext* Volume);

// Marks every reparse point of the NTFS volume's reparse-point index as a
// junction in the store (name table 1). Entries that cannot be opened are
// skipped; without the index nothing is marked.
VOID MarkReparsePoints(VolumeContext* Volume);
