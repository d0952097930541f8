// Constants of the volume engine. The engine is independent of the I/O
// manager's headers, so it keeps its own copies of the few NT values it needs;
// every value is the NT one (the IRP front end checks that with static_asserts
// against the WDK names).
#pragma once

#include <stdint.h>

namespace plat::fs {

// File attributes.
constexpr uint32_t kAttrReadOnly = 0x00000001;
constexpr uint32_t kAttrHidden = 0x00000002;
constexpr uint32_t kAttrSystem = 0x00000004;
constexpr uint32_t kAttrDirectory = 0x00000010;
constexpr uint32_t kAttrArchive = 0x00000020;
constexpr uint32_t kAttrNormal = 0x00000080;
constexpr uint32_t kAttrTemporary = 0x00000100;
constexpr uint32_t kAttrSparse = 0x00000200;
constexpr uint32_t kAttrReparsePoint = 0x00000400;
constexpr uint32_t kAttrCompressed = 0x00000800;
constexpr uint32_t kAttrOffline = 0x00001000;
constexpr uint32_t kAttrNotContentIndexed = 0x00002000;
constexpr uint32_t kAttrEncrypted = 0x00004000;

// Attributes a caller may set (create or FileBasicInformation); the others
// are kept by the file system itself.
constexpr uint32_t kAttrSettableNtfs = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive |
                                       kAttrTemporary | kAttrOffline | kAttrNotContentIndexed;
constexpr uint32_t kAttrSettableFat = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// Access rights.
constexpr uint32_t kFileReadData = 0x0001;       // FILE_LIST_DIRECTORY
constexpr uint32_t kFileWriteData = 0x0002;      // FILE_ADD_FILE
constexpr uint32_t kFileAppendData = 0x0004;     // FILE_ADD_SUBDIRECTORY
constexpr uint32_t kFileReadEa = 0x0008;
constexpr uint32_t kFileWriteEa = 0x0010;
constexpr uint32_t kFileExecute = 0x0020;        // FILE_TRAVERSE
constexpr uint32_t kFileDeleteChild = 0x0040;
constexpr uint32_t kFileReadAttributes = 0x0080;
constexpr uint32_t kFileWriteAttributes = 0x0100;
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kReadControl = 0x00020000;
constexpr uint32_t kWriteDac = 0x00040000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kAccessSystemSecurity = 0x01000000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kFileAllAccess = 0x001F01FF;
constexpr uint32_t kFileGenericRead = 0x00120089;
constexpr uint32_t kFileGenericWrite = 0x00120116;
constexpr uint32_t kFileGenericExecute = 0x001200A0;

// Share access.
constexpr uint32_t kShareRead = 0x1;
constexpr uint32_t kShareWrite = 0x2;
constexpr uint32_t kShareDelete = 0x4;

// Create dispositions.
constexpr uint32_t kSupersede = 0;
constexpr uint32_t kOpen = 1;
constexpr uint32_t kCreate = 2;
constexpr uint32_t kOpenIf = 3;
constexpr uint32_t kOverwrite = 4;
constexpr uint32_t kOverwriteIf = 5;

// Create options.
constexpr uint32_t kOptDirectoryFile = 0x00000001;
constexpr uint32_t kOptWriteThrough = 0x00000002;
constexpr uint32_t kOptSequentialOnly = 0x00000004;
constexpr uint32_t kOptNoIntermediateBuffering = 0x00000008;
constexpr uint32_t kOptSynchronousIoAlert = 0x00000010;
constexpr uint32_t kOptSynchronousIoNonAlert = 0x00000020;
constexpr uint32_t kOptNonDirectoryFile = 0x00000040;
constexpr uint32_t kOptDeleteOnClose = 0x00001000;
constexpr uint32_t kOptOpenByFileId = 0x00002000;
constexpr uint32_t kOptOpenForBackupIntent = 0x00004000;
constexpr uint32_t kOptOpenReparsePoint = 0x00200000;

// Create results (IoStatus.Information).
constexpr uint32_t kResultSuperseded = 0;
constexpr uint32_t kResultOpened = 1;
constexpr uint32_t kResultCreated = 2;
constexpr uint32_t kResultOverwritten = 3;
constexpr uint32_t kResultExists = 4;
constexpr uint32_t kResultDoesNotExist = 5;

// Reparse tags.
constexpr uint32_t kReparseTagMountPoint = 0xA0000003;
constexpr uint32_t kReparseTagSymlink = 0xA000000C;
// Bit 31 of a tag: Microsoft tag (no GUID in the buffer).
constexpr uint32_t kReparseTagMicrosoftBit = 0x80000000;
constexpr uint32_t kMaximumReparseDataSize = 16 * 1024;

// Change notification filters and actions.
constexpr uint32_t kNotifyFileName = 0x001;
constexpr uint32_t kNotifyDirName = 0x002;
constexpr uint32_t kNotifyAttributes = 0x004;
constexpr uint32_t kNotifySize = 0x008;
constexpr uint32_t kNotifyLastWrite = 0x010;
constexpr uint32_t kNotifyLastAccess = 0x020;
constexpr uint32_t kNotifyCreation = 0x040;
constexpr uint32_t kNotifyEa = 0x080;
constexpr uint32_t kNotifySecurity = 0x100;
constexpr uint32_t kNotifyStreamName = 0x200;
constexpr uint32_t kNotifyStreamSize = 0x400;
constexpr uint32_t kNotifyStreamWrite = 0x800;
constexpr uint32_t kActionAdded = 1;
constexpr uint32_t kActionRemoved = 2;
constexpr uint32_t kActionModified = 3;
constexpr uint32_t kActionRenamedOldName = 4;
constexpr uint32_t kActionRenamedNewName = 5;
constexpr uint32_t kActionAddedStream = 6;
constexpr uint32_t kActionRemovedStream = 7;
constexpr uint32_t kActionModifiedStream = 8;

constexpr uint32_t kSectorSize = 512;

}  // namespace plat::fs
