// The test drivers of io_world.h.
#include "io_world.h"

#include "io/io.h"

#include <string.h>

#include <thread>

namespace iotest {
namespace {

constexpr ULONG kDiskMagic = 0x6B736944;     // "Disk"
constexpr ULONG kControlMagic = 0x6C727443;  // "Ctrl"
constexpr ULONG kVolumeMagic = 0x6C6F5621;   // "!Vol"
constexpr ULONG kFilterMagic = 0x746C6946;   // "Filt"

struct World {
    std::mutex Lock;
    std::vector<std::string> Journal;
    FsBehaviour Behaviour;
    CreateSeen LastCreate = {};
    PDRIVER_OBJECT DiskDriver = nullptr;
    PDRIVER_OBJECT FilterDriver = nullptr;
    std::vector<VolumeExtension*> Volumes;
    std::vector<std::thread> Completers;
};

World& TheWorld() {
    static auto* world = new World;
    return *world;
}

std::string MajorName(UCHAR Major) {
    switch (Major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_WRITE: return "write";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_DEVICE_CONTROL: return "ioctl";
    case IRP_MJ_FILE_SYSTEM_CONTROL: return "fsctl";
    case IRP_MJ_SHUTDOWN: return "shutdown";
    case IRP_MJ_LOCK_CONTROL: return "lock";
    default: return "major" + std::to_string(Major);
    }
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

std::u16string NameOf(PCUNICODE_STRING Name) {
    if (Name->Buffer == nullptr) return u"";
    return std::u16string(reinterpret_cast<const char16_t*>(Name->Buffer), Name->Length / sizeof(WCHAR));
}

std::u16string Upper(std::u16string Text) {
    for (char16_t& c : Text) c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
    return Text;
}

std::string NarrowText(const std::u16string& Text) {
    std::string narrow;
    for (char16_t c : Text) narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return narrow;
}

// ---- Disk driver -----------------------------------------------------------------------

NTSTATUS NTAPI DiskDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    JournalAdd("disk:" + MajorName(location->MajorFunction));
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(Irp, STATUS_SUCCESS);
    if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_STORAGE_QUERY_PROPERTY ||
        location->Parameters.DeviceIoControl.OutputBufferLength < sizeof(STORAGE_ADAPTER_DESCRIPTOR)) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    auto* disk = static_cast<DiskExtension*>(DeviceObject->DeviceExtension);
    auto* descriptor = static_cast<PSTORAGE_ADAPTER_DESCRIPTOR>(Irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(descriptor, sizeof(*descriptor));
    descriptor->Version = descriptor->Size = sizeof(*descriptor);
    descriptor->BusType = disk->BusType;
    return Complete(Irp, STATUS_SUCCESS, sizeof(*descriptor));
}

NTSTATUS NTAPI DiskEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) dispatch = DiskDispatch;
    return STATUS_SUCCESS;
}

// ---- File system -----------------------------------------------------------------------

PDEVICE_OBJECT LoadRealFileSystemOnce();

NTSTATUS CreateVolume(PDEVICE_OBJECT Control, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PVPB vpb = location->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT real = vpb->RealDevice;
    PDEVICE_OBJECT volume = nullptr;
    NTSTATUS status = IoCreateDevice(Control->DriverObject, sizeof(VolumeExtension), nullptr,
                                     FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &volume);
    if (!NT_SUCCESS(status)) return Complete(Irp, status);
    auto* extension = static_cast<VolumeExtension*>(volume->DeviceExtension);
    extension->Magic = kVolumeMagic;
    extension->RealDevice = real;
    extension->FileSystem = static_cast<FsControlExtension*>(Control->DeviceExtension);
    InitializeListHead(&extension->NotifyList);
    FsRtlNotifyInitializeSync(&extension->NotifySync);
    extension->Files = new std::map<std::u16string, TestFcb*>;
    volume->StackSize = static_cast<CCHAR>(real->StackSize + 1);
    volume->Flags &= ~DO_DEVICE_INITIALIZING;
    vpb->DeviceObject = volume;
    {
        std::lock_guard<std::mutex> guard(TheWorld().Lock);
        TheWorld().Volumes.push_back(extension);
    }
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* control = static_cast<FsControlExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) {
        JournalAdd(std::string(control->Name) + ":" + MajorName(location->MajorFunction));
        return Complete(Irp, STATUS_SUCCESS);
    }
    if (location->MinorFunction == IRP_MN_LOAD_FILE_SYSTEM) {
        JournalAdd(std::string(control->Name) + ":load");
        LoadRealFileSystemOnce();
        IoUnregisterFileSystem(DeviceObject);
        return Complete(Irp, STATUS_SUCCESS);
    }
    JournalAdd(std::string(control->Name) + ":mount");
    auto* disk = static_cast<DiskExtension*>(location->Parameters.MountVolume.Vpb->RealDevice->DeviceExtension);
    switch (control->Answer) {
    case MountAnswer::Unrecognised:
        return Complete(Irp, STATUS_UNRECOGNIZED_VOLUME);
    case MountAnswer::Fail:
        return Complete(Irp, STATUS_DISK_CORRUPT_ERROR);
    case MountAnswer::NeedsDriver:
        return Complete(Irp, STATUS_FS_DRIVER_REQUIRED);
    case MountAnswer::Mount:
        break;
    }
    if (!disk->Recognisable) return Complete(Irp, STATUS_UNRECOGNIZED_VOLUME);
    return CreateVolume(DeviceObject, Irp);
}

const ReparseRule* FindReparse(const std::u16string& Name) {
    for (const ReparseRule& rule : Behaviour().Reparse) {
        if (Upper(Name).rfind(Upper(rule.Prefix), 0) == 0) return &rule;
    }
    return nullptr;
}

NTSTATUS AnswerReparse(PFILE_OBJECT File, PIRP Irp, const ReparseRule& Rule, const std::u16string& Name) {
    if (Rule.Substitute.empty()) {
        ULONG bytes = static_cast<ULONG>(Rule.NewName.size() * sizeof(WCHAR));
        auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes, 'tseT'));
        memcpy(buffer, Rule.NewName.data(), bytes);
        ExFreePool(File->FileName.Buffer);
        File->FileName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), buffer};
        return Complete(Irp, STATUS_REPARSE, IO_REPARSE);
    }
    USHORT substitute = static_cast<USHORT>(Rule.Substitute.size() * sizeof(WCHAR));
    ULONG size = REPARSE_DATA_BUFFER_HEADER_SIZE + 8 + substitute + sizeof(WCHAR);
    auto* data = static_cast<PREPARSE_DATA_BUFFER>(ExAllocatePoolWithTag(NonPagedPool, size, 'tseT'));
    RtlZeroMemory(data, size);
    data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    data->ReparseDataLength = static_cast<USHORT>(size - REPARSE_DATA_BUFFER_HEADER_SIZE);
    data->Reserved = static_cast<USHORT>((Name.size() - Rule.Prefix.size()) * sizeof(WCHAR));
    data->MountPointReparseBuffer.SubstituteNameOffset = 0;
    data->MountPointReparseBuffer.SubstituteNameLength = substitute;
    data->MountPointReparseBuffer.PrintNameOffset = substitute;
    memcpy(data->MountPointReparseBuffer.PathBuffer, Rule.Substitute.data(), substitute);
    Irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(data);
    return Complete(Irp, STATUS_REPARSE, IO_REPARSE_TAG_MOUNT_POINT);
}

NTSTATUS OpenFcb(VolumeExtension* Volume, PFILE_OBJECT File, const std::u16string& Name, PIRP Irp) {
    ULONG disposition = IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.Options >> 24;
    std::u16string key = Upper(Name);
    auto it = Volume->Files->find(key);
    ULONG_PTR information = FILE_OPENED;
    if (it == Volume->Files->end()) {
        bool volumeOpen = Name.empty();
        if (!volumeOpen && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)) {
            return Complete(Irp, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        auto* fcb = new TestFcb();
        ExInitializeResourceLite(&fcb->Resource);
        fcb->Header.Resource = &fcb->Resource;
        fcb->Name = Name.empty() ? u"\\" : Name;
        it = Volume->Files->emplace(key, fcb).first;
        information = FILE_CREATED;
    } else if (disposition == FILE_CREATE) {
        return Complete(Irp, STATUS_OBJECT_NAME_COLLISION);
    }
    TestFcb* fcb = it->second;
    fcb->OpenCount++;
    auto* ccb = new TestCcb();
    ccb->DirectoryName.Buffer = reinterpret_cast<PWCH>(fcb->Name.data());
    ccb->DirectoryName.Length = ccb->DirectoryName.MaximumLength =
        static_cast<USHORT>(fcb->Name.size() * sizeof(WCHAR));
    File->FsContext = fcb;
    File->FsContext2 = ccb;
    return Complete(Irp, STATUS_SUCCESS, information);
}

void RecordCreate(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PIO_SECURITY_CONTEXT security = location->Parameters.Create.SecurityContext;
    CreateSeen seen = {Irp->RequestorMode, location->Flags, location->Parameters.Create.Options,
                       security->DesiredAccess, location->Parameters.Create.ShareAccess,
                       location->Parameters.Create.EaLength, security->AccessState->SecurityDescriptor,
                       location->FileObject->RelatedFileObject, location->DeviceObject};
    std::lock_guard<std::mutex> guard(TheWorld().Lock);
    TheWorld().LastCreate = seen;
}

// SL_OPEN_TARGET_DIRECTORY: the parent of the name is opened, and the answer
// tells whether the name exists in it.
NTSTATUS OpenTarget(VolumeExtension* Volume, PFILE_OBJECT File, const std::u16string& Name, PIRP Irp) {
    size_t slash = Name.rfind(u'\\');
    std::u16string parent = slash == 0 || slash == std::u16string::npos ? u"\\" : Name.substr(0, slash);
    auto it = Volume->Files->find(Upper(parent));
    if (it == Volume->Files->end()) return Complete(Irp, STATUS_OBJECT_PATH_NOT_FOUND);
    bool exists = Volume->Files->count(Upper(Name)) != 0;
    TestFcb* fcb = it->second;
    fcb->OpenCount++;
    auto* ccb = new TestCcb();
    File->FsContext = fcb;
    File->FsContext2 = ccb;
    return Complete(Irp, STATUS_SUCCESS, exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST);
}

NTSTATUS VolumeCreate(VolumeExtension* Volume, PIRP Irp) {
    RecordCreate(Irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    std::u16string name = NameOf(&file->FileName);
    if (file->RelatedFileObject != nullptr) {
        auto* related = static_cast<TestFcb*>(file->RelatedFileObject->FsContext);
        name = related->Name + (related->Name == u"\\" ? u"" : u"\\") + name;
    }
    JournalAdd(std::string(Volume->FileSystem->Name) + ":create:" + NarrowText(name));
    if (!NT_SUCCESS(Behaviour().CreateStatus)) return Complete(Irp, Behaviour().CreateStatus);
    if (const ReparseRule* rule = FindReparse(name)) return AnswerReparse(file, Irp, *rule, name);
    if (IoGetCurrentIrpStackLocation(Irp)->Flags & SL_OPEN_TARGET_DIRECTORY) return OpenTarget(Volume, file, name, Irp);
    if (!Behaviour().PendCreates) return OpenFcb(Volume, file, name, Irp);
    IoMarkIrpPending(Irp);
    std::lock_guard<std::mutex> guard(TheWorld().Lock);
    TheWorld().Completers.emplace_back([Volume, file, name, Irp]() { OpenFcb(Volume, file, name, Irp); });
    return STATUS_PENDING;
}

NTSTATUS VolumeCleanup(VolumeExtension* Volume, PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* fcb = static_cast<TestFcb*>(file->FsContext);
    JournalAdd(std::string(Volume->FileSystem->Name) + ":cleanup:" + (fcb != nullptr ? NarrowText(fcb->Name) : ""));
    FsRtlNotifyCleanup(Volume->NotifySync, &Volume->NotifyList, file->FsContext2);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS VolumeClose(VolumeExtension* Volume, PIRP Irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* fcb = static_cast<TestFcb*>(file->FsContext);
    JournalAdd(std::string(Volume->FileSystem->Name) + ":close:" + (fcb != nullptr ? NarrowText(fcb->Name) : ""));
    delete static_cast<TestCcb*>(file->FsContext2);
    if (fcb != nullptr) fcb->OpenCount--;
    return Complete(Irp, STATUS_SUCCESS);
}

PUCHAR TransferBuffer(PIRP Irp) {
    if (Irp->MdlAddress != nullptr) {
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    }
    if (Irp->Flags & IRP_BUFFERED_IO) return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    return static_cast<PUCHAR>(Irp->UserBuffer);
}

NTSTATUS VolumeReadWrite(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    auto* fcb = static_cast<TestFcb*>(location->FileObject->FsContext);
    ULONG length = location->Parameters.Read.Length;
    LONGLONG offset = location->Parameters.Read.ByteOffset.QuadPart;
    PUCHAR buffer = TransferBuffer(Irp);
    if (location->MajorFunction == IRP_MJ_WRITE) {
        if (offset == -1) offset = static_cast<LONGLONG>(fcb->Data.size());
        if (fcb->Data.size() < static_cast<size_t>(offset) + length) fcb->Data.resize(offset + length);
        memcpy(fcb->Data.data() + offset, buffer, length);
        return Complete(Irp, STATUS_SUCCESS, length);
    }
    if (static_cast<size_t>(offset) >= fcb->Data.size()) return Complete(Irp, STATUS_END_OF_FILE);
    ULONG available = static_cast<ULONG>(fcb->Data.size() - offset);
    ULONG count = length < available ? length : available;
    memcpy(buffer, fcb->Data.data() + offset, count);
    return Complete(Irp, STATUS_SUCCESS, count);
}

NTSTATUS VolumeQueryInformation(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    auto* fcb = static_cast<TestFcb*>(location->FileObject->FsContext);
    if (location->Parameters.QueryFile.FileInformationClass != FileStandardInformation) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    auto* standard = static_cast<PFILE_STANDARD_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    standard->EndOfFile.QuadPart = static_cast<LONGLONG>(fcb->Data.size());
    standard->AllocationSize = standard->EndOfFile;
    standard->NumberOfLinks = 1;
    return Complete(Irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
}

// One FILE_NAMES_INFORMATION entry "x"; journals the pattern and flags.
NTSTATUS VolumeQueryDirectory(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PUNICODE_STRING pattern = location->Parameters.QueryDirectory.FileName;
    JournalAdd("query:" + (pattern != nullptr ? Narrow(pattern) : std::string("(none)")) + ":" +
               std::to_string(location->Flags));
    auto* entry = reinterpret_cast<PFILE_NAMES_INFORMATION>(TransferBuffer(Irp));
    entry->NextEntryOffset = 0;
    entry->FileIndex = 0;
    entry->FileNameLength = sizeof(WCHAR);
    entry->FileName[0] = L'x';
    return Complete(Irp, STATUS_SUCCESS, FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + sizeof(WCHAR));
}

NTSTATUS VolumeNotify(VolumeExtension* Volume, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MinorFunction == IRP_MN_QUERY_DIRECTORY) return VolumeQueryDirectory(Irp);
    if (location->MinorFunction != IRP_MN_NOTIFY_CHANGE_DIRECTORY) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    auto* ccb = static_cast<TestCcb*>(location->FileObject->FsContext2);
    FsRtlNotifyFullChangeDirectory(Volume->NotifySync, &Volume->NotifyList, ccb,
                                   reinterpret_cast<PSTRING>(&ccb->DirectoryName),
                                   (location->Flags & SL_WATCH_TREE) != 0, FALSE,
                                   location->Parameters.NotifyDirectory.CompletionFilter, Irp, nullptr, nullptr);
    return STATUS_PENDING;
}

// FSCTL 0x90FFC (buffered) echoes its input to its output.
NTSTATUS VolumeFsControl(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    ULONG input = location->Parameters.FileSystemControl.InputBufferLength;
    ULONG output = location->Parameters.FileSystemControl.OutputBufferLength;
    ULONG count = input < output ? input : output;
    return Complete(Irp, STATUS_SUCCESS, count);
}

// A descriptor of the bare header: revision 1, self-relative, nothing else.
NTSTATUS VolumeQuerySecurity(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    constexpr ULONG kLength = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (location->Parameters.QuerySecurity.Length < kLength) return Complete(Irp, STATUS_BUFFER_OVERFLOW, kLength);
    auto* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(TransferBuffer(Irp));
    RtlZeroMemory(descriptor, kLength);
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor->Control = SE_SELF_RELATIVE;
    return Complete(Irp, STATUS_SUCCESS, kLength);
}

NTSTATUS VolumeSetInformation(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT target = location->Parameters.SetFile.FileObject;
    std::string targetName = "none";
    if (target != nullptr) targetName = NarrowText(static_cast<TestFcb*>(target->FsContext)->Name);
    JournalAdd("set:" + std::to_string(location->Parameters.SetFile.FileInformationClass) + ":" + targetName + ":" +
               std::to_string(location->Parameters.SetFile.ReplaceIfExists));
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS VolumeLockControl(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    std::string text = "lock:" + std::to_string(location->MinorFunction);
    if (location->MinorFunction == IRP_MN_LOCK || location->MinorFunction == IRP_MN_UNLOCK_SINGLE) {
        text += ":" + std::to_string(location->Parameters.LockControl.ByteOffset.QuadPart) + ":" +
                std::to_string(location->Parameters.LockControl.Length->QuadPart) + ":" +
                std::to_string(location->Flags);
    }
    JournalAdd(text);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS VolumeQueryVolume(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->Parameters.QueryVolume.FsInformationClass != FileFsSizeInformation) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    auto* size = static_cast<PFILE_FS_SIZE_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
    size->TotalAllocationUnits.QuadPart = 1000;
    size->AvailableAllocationUnits.QuadPart = 400;
    size->SectorsPerAllocationUnit = 8;
    size->BytesPerSector = 512;
    return Complete(Irp, STATUS_SUCCESS, sizeof(FILE_FS_SIZE_INFORMATION));
}

NTSTATUS VolumeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* volume = static_cast<VolumeExtension*>(DeviceObject->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE: return VolumeCreate(volume, Irp);
    case IRP_MJ_CLEANUP: return VolumeCleanup(volume, Irp);
    case IRP_MJ_CLOSE: return VolumeClose(volume, Irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: return VolumeReadWrite(Irp);
    case IRP_MJ_QUERY_INFORMATION: return VolumeQueryInformation(Irp);
    case IRP_MJ_DIRECTORY_CONTROL: return VolumeNotify(volume, Irp);
    case IRP_MJ_QUERY_SECURITY: return VolumeQuerySecurity(Irp);
    case IRP_MJ_SET_INFORMATION: return VolumeSetInformation(Irp);
    case IRP_MJ_LOCK_CONTROL: return VolumeLockControl(Irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION: return VolumeQueryVolume(Irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL: return VolumeFsControl(Irp);
    case IRP_MJ_DEVICE_CONTROL:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(volume->RealDevice, Irp);
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI FileSystemDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (*static_cast<ULONG*>(DeviceObject->DeviceExtension) == kControlMagic) return ControlDispatch(DeviceObject, Irp);
    return VolumeDispatch(DeviceObject, Irp);
}

struct FileSystemLoad {
    DEVICE_TYPE Type;
    MountAnswer Answer;
    std::string Name;
    PDEVICE_OBJECT Control;
};
FileSystemLoad* g_Loading = nullptr;  // the load in progress (DriverEntry has no context)

NTSTATUS NTAPI FileSystemEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) dispatch = FileSystemDispatch;
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(FsControlExtension), nullptr, g_Loading->Type, 0, FALSE, &control);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<FsControlExtension*>(control->DeviceExtension);
    extension->Magic = kControlMagic;
    extension->Answer = g_Loading->Answer;
    strncpy(extension->Name, g_Loading->Name.c_str(), sizeof(extension->Name) - 1);
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    IoRegisterFileSystem(control);
    g_Loading->Control = control;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT LoadRealFileSystemOnce() {
    return LoadFileSystem(L"RealFs", MountAnswer::Mount);
}

// ---- Filter ----------------------------------------------------------------------------

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* filter = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
    JournalAdd(std::string(filter->Name) + ":" + MajorName(IoGetCurrentIrpStackLocation(Irp)->MajorFunction));
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(filter->Lower, Irp);
}

VOID NTAPI FilterDetach(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    auto* filter = static_cast<FilterExtension*>(SourceDevice->DeviceExtension);
    JournalAdd(std::string(filter->Name) + ":detach");
    IoDetachDevice(TargetDevice);
    IoDeleteDevice(SourceDevice);
}

FAST_IO_DISPATCH g_FilterFastIo = [] {
    FAST_IO_DISPATCH table = {};
    table.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    table.FastIoDetachDevice = FilterDetach;
    return table;
}();

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) dispatch = FilterDispatch;
    Driver->FastIoDispatch = &g_FilterFastIo;
    return STATUS_SUCCESS;
}

}  // namespace

void JournalAdd(const std::string& Event) {
    std::lock_guard<std::mutex> guard(TheWorld().Lock);
    TheWorld().Journal.push_back(Event);
}

std::vector<std::string> JournalTake() {
    std::lock_guard<std::mutex> guard(TheWorld().Lock);
    std::vector<std::string> events;
    events.swap(TheWorld().Journal);
    return events;
}

void JournalClear() {
    JournalTake();
}

std::string Narrow(PCUNICODE_STRING Text) {
    return NarrowText(NameOf(Text));
}

CreateSeen LastCreate() {
    std::lock_guard<std::mutex> guard(TheWorld().Lock);
    return TheWorld().LastCreate;
}

FsBehaviour& Behaviour() {
    return TheWorld().Behaviour;
}

void ResetWorld() {
    World& world = TheWorld();
    std::lock_guard<std::mutex> guard(world.Lock);
    world.Journal.clear();
    world.Behaviour = FsBehaviour();
    world.LastCreate = {};
    world.DiskDriver = nullptr;
    world.FilterDriver = nullptr;
    world.Volumes.clear();
}

PDEVICE_OBJECT CreateDisk(PCWSTR Name, PCWSTR DosName, bool Recognisable, UCHAR BusType) {
    World& world = TheWorld();
    if (world.DiskDriver == nullptr) {
        EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\TestDisk", DiskEntry, nullptr, &world.DiskDriver), STATUS_SUCCESS);
    }
    std::u16string deviceName = u"\\Device\\" + std::u16string(reinterpret_cast<const char16_t*>(Name));
    UNICODE_STRING device = {static_cast<USHORT>(deviceName.size() * 2), static_cast<USHORT>(deviceName.size() * 2),
                             reinterpret_cast<PWCH>(deviceName.data())};
    PDEVICE_OBJECT disk = nullptr;
    EXPECT_EQ(IoCreateDevice(world.DiskDriver, sizeof(DiskExtension), &device, FILE_DEVICE_DISK, 0, FALSE, &disk),
              STATUS_SUCCESS);
    auto* extension = static_cast<DiskExtension*>(disk->DeviceExtension);
    extension->Magic = kDiskMagic;
    extension->Recognisable = Recognisable;
    extension->BusType = BusType;
    disk->Flags |= DO_DIRECT_IO;
    disk->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, DosName);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
    return disk;
}

PDEVICE_OBJECT LoadFileSystem(PCWSTR Name, MountAnswer Answer, DEVICE_TYPE Type) {
    std::u16string driverName = u"\\FileSystem\\" + std::u16string(reinterpret_cast<const char16_t*>(Name));
    FileSystemLoad load{Type, Answer, NarrowText(reinterpret_cast<const char16_t*>(Name)), nullptr};
    FileSystemLoad* saved = g_Loading;
    g_Loading = &load;
    NTSTATUS status = plat::IoLoadDriver(reinterpret_cast<PCWSTR>(driverName.c_str()), FileSystemEntry, nullptr,
                                         nullptr);
    g_Loading = saved;
    EXPECT_EQ(status, STATUS_SUCCESS);
    return load.Control;
}

PDEVICE_OBJECT MountedVolume(PDEVICE_OBJECT Disk) {
    return (Disk->Vpb->Flags & VPB_MOUNTED) ? Disk->Vpb->DeviceObject : nullptr;
}

PDEVICE_OBJECT AttachFilter(PDEVICE_OBJECT Target, const char* Name) {
    World& world = TheWorld();
    if (world.FilterDriver == nullptr) {
        EXPECT_EQ(plat::IoLoadDriver(L"\\Driver\\TestFilter", FilterEntry, nullptr, &world.FilterDriver),
                  STATUS_SUCCESS);
    }
    PDEVICE_OBJECT filter = nullptr;
    EXPECT_EQ(IoCreateDevice(world.FilterDriver, sizeof(FilterExtension), nullptr, Target->DeviceType, 0, FALSE,
                             &filter),
              STATUS_SUCCESS);
    auto* extension = static_cast<FilterExtension*>(filter->DeviceExtension);
    extension->Magic = kFilterMagic;
    strncpy(extension->Name, Name, sizeof(extension->Name) - 1);
    extension->Lower = IoAttachDeviceToDeviceStack(filter, Target);
    filter->Flags |= extension->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    return filter;
}

NTSTATUS OpenKernel(PCWSTR Name, ACCESS_MASK Access, ULONG Options, HANDLE* Handle, PIO_STATUS_BLOCK Iosb,
                    ULONG Disposition) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK local;
    return ZwCreateFile(Handle, Access, &attributes, Iosb != nullptr ? Iosb : &local, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, Disposition, Options, nullptr, 0);
}

PFILE_OBJECT FileOf(HANDLE Handle) {
    PVOID file = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, &file, nullptr), STATUS_SUCCESS);
    return static_cast<PFILE_OBJECT>(file);
}

void IoWorldTest::SetUp() {
    quilt_test::KernelTest::SetUp();
    ResetWorld();
}

void IoWorldTest::TearDown() {
    ReleaseWorld();
    quilt_test::KernelTest::TearDown();
}

// Joins the helper threads and releases what the test file system keeps
// outside its device objects, before the kernel checks for leaks.
void ReleaseWorld() {
    World& world = TheWorld();
    std::vector<std::thread> completers;
    std::vector<VolumeExtension*> volumes;
    {
        std::lock_guard<std::mutex> guard(world.Lock);
        completers.swap(world.Completers);
        volumes.swap(world.Volumes);
    }
    for (std::thread& completer : completers) completer.join();
    for (VolumeExtension* volume : volumes) {
        FsRtlNotifyUninitializeSync(&volume->NotifySync);
        for (auto& [name, fcb] : *volume->Files) {
            ExDeleteResourceLite(&fcb->Resource);
            delete fcb;
        }
        delete volume->Files;
    }
}

}  // namespace iotest
