// Driver entry and the undoing of its work.
#pragma once

#include <ntifs.h>

// How far driver entry has come, in creation order.
enum EntryStage {
    EntryStageNone,
    EntryStageControlDevice,  // control device, dispatch table, static initialisers
    EntryStageLocks,          // the four locks and the 16 table locks, events
    EntryStageTables,         // string table and open-file table
    EntryStageRecordLists,    // path-buffer and FileObjectStatus lookaside lists
    EntryStageCopyBuffers,    // copy-buffer lookaside list
    EntryStageRegistered,     // file-system registration callback
    EntryStageComplete,       // shutdown notification, system threads started
};

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Releases, in reverse order, everything driver entry created up to the stage
// it reached, and runs the static destructors. Driver entry uses it on its
// failure paths and when the configuration leaves the driver inert. After a
// successful entry nothing is ever released on Windows; a host that unloads
// the driver calls it once the driver's system threads have ended.
VOID UndoDriverEntry();
