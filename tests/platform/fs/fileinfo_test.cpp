// Query and set information classes, target-directory opens, renames
// relative to a root directory, listings resumed at an index.
#include "support/volume_fixture.h"

#include "mm/user_memory.h"

#include <string.h>

#include <functional>

namespace quilt_test {
namespace {

using plat::native::File;

class FileInfoTest : public VolumeTest {
protected:
    // Sends a request the way a driver does: an IRP of its own to the file's
    // device, waited for.
    static IO_STATUS_BLOCK SendIrp(PFILE_OBJECT file, UCHAR major, UCHAR minor,
                                   const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill) {
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->UserEvent = &event;
        irp->UserIosb = &iosb;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        irp->Tail.Overlay.OriginalFileObject = file;
        irp->RequestorMode = KernelMode;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->MinorFunction = minor;
        sp->FileObject = file;
        fill(irp, sp);
        if (IoCallDriver(device, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        return iosb;
    }

    static PFILE_OBJECT FileObjectOf(const File& f) {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(f.Handle(), 0, *IoFileObjectType, KernelMode,
                                            reinterpret_cast<PVOID*>(&file), nullptr), STATUS_SUCCESS);
        return file;
    }
};

TEST_F(FileInfoTest, QueriesDescribeTheFile) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\dir"), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\dir\\info.txt", &f, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE),
              STATUS_SUCCESS);
    ASSERT_EQ(f.Write(0, std::string(5000, 'i')), STATUS_SUCCESS);

    std::vector<uint8_t> bytes;
    ASSERT_EQ(f.Query(FileAllInformation, 512, &bytes), STATUS_SUCCESS);
    auto* all = reinterpret_cast<const FILE_ALL_INFORMATION*>(bytes.data());
    EXPECT_EQ(all->StandardInformation.EndOfFile.QuadPart, 5000);
    EXPECT_EQ(all->StandardInformation.AllocationSize.QuadPart, 8192);
    EXPECT_EQ(all->StandardInformation.NumberOfLinks, 1u);
    EXPECT_FALSE(all->StandardInformation.Directory);
    EXPECT_EQ(all->BasicInformation.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(all->PositionInformation.CurrentByteOffset.QuadPart, 5000) << "a synchronous handle moved on";
    EXPECT_EQ(all->ModeInformation.Mode, ULONG(FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(all->NameInformation.FileName),
                             all->NameInformation.FileNameLength / 2),
              u"\\dir\\info.txt");
    // A buffer that holds only part of the name.
    const ULONG nameAt = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName);
    EXPECT_EQ(f.Query(FileAllInformation, nameAt + 4, &bytes), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<const FILE_ALL_INFORMATION*>(bytes.data())->NameInformation.FileNameLength, 26u);

    FILE_NETWORK_OPEN_INFORMATION open;
    ASSERT_EQ(f.Query(FileNetworkOpenInformation, &open), STATUS_SUCCESS);
    EXPECT_EQ(open.EndOfFile.QuadPart, 5000);
    EXPECT_EQ(open.LastWriteTime.QuadPart, all->BasicInformation.LastWriteTime.QuadPart);
    FILE_ATTRIBUTE_TAG_INFORMATION tag;
    ASSERT_EQ(f.Query(FileAttributeTagInformation, &tag), STATUS_SUCCESS);
    EXPECT_EQ(tag.ReparseTag, 0u);
}

TEST_F(FileInfoTest, SetsChangeTimesSizesAndPosition) {
    File f;
    ASSERT_EQ(OpenPath(u"C:\\set.txt", &f, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION before;
    ASSERT_EQ(f.Query(FileBasicInformation, &before), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION set{};
    set.CreationTime.QuadPart = 125911584000000000ll;  // 2000-01-01
    set.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(f.Set(FileBasicInformation, &set, sizeof(set)), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION after;
    ASSERT_EQ(f.Query(FileBasicInformation, &after), STATUS_SUCCESS);
    EXPECT_EQ(after.CreationTime.QuadPart, 125911584000000000ll);
    EXPECT_EQ(after.LastWriteTime.QuadPart, before.LastWriteTime.QuadPart) << "a time of 0 leaves it";
    EXPECT_EQ(after.FileAttributes, ULONG(FILE_ATTRIBUTE_HIDDEN));

    FILE_END_OF_FILE_INFORMATION eof;
    eof.EndOfFile.QuadPart = 10000;
    ASSERT_EQ(f.Set(FileEndOfFileInformation, &eof, sizeof(eof)), STATUS_SUCCESS);
    FILE_ALLOCATION_INFORMATION allocation;
    allocation.AllocationSize.QuadPart = 100;
    ASSERT_EQ(f.Set(FileAllocationInformation, &allocation, sizeof(allocation)), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard;
    ASSERT_EQ(f.Query(FileStandardInformation, &standard), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 100) << "less allocation cuts the file";
    EXPECT_EQ(standard.AllocationSize.QuadPart, 4096);

    FILE_POSITION_INFORMATION position;
    position.CurrentByteOffset.QuadPart = 50;
    ASSERT_EQ(f.Set(FilePositionInformation, &position, sizeof(position)), STATUS_SUCCESS);
    FILE_POSITION_INFORMATION now;
    ASSERT_EQ(f.Query(FilePositionInformation, &now), STATUS_SUCCESS);
    EXPECT_EQ(now.CurrentByteOffset.QuadPart, 50);
}

TEST_F(FileInfoTest, OpensOfTheTargetDirectoryKeepTheFinalName) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\parent"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\parent\\there.txt", "t"), STATUS_SUCCESS);
    for (auto [name, expected] : {std::pair{u"\\??\\C:\\parent\\there.txt", ULONG_PTR(FILE_EXISTS)},
                                  std::pair{u"\\??\\C:\\parent\\absent.txt", ULONG_PTR(FILE_DOES_NOT_EXIST)}}) {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(name));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        HANDLE handle = nullptr;
        ASSERT_EQ(IoCreateFile(&handle, SYNCHRONIZE | FILE_ADD_FILE, &attributes, &iosb, nullptr, 0, 7, FILE_OPEN, 0,
                               nullptr, 0, CreateFileTypeNone, nullptr,
                               IO_FORCE_ACCESS_CHECK | IO_OPEN_TARGET_DIRECTORY), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, expected);
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                            reinterpret_cast<PVOID*>(&file), nullptr), STATUS_SUCCESS);
        std::u16string kept(reinterpret_cast<const char16_t*>(file->FileName.Buffer), file->FileName.Length / 2);
        EXPECT_EQ(kept, std::u16string(name).substr(std::u16string(name).rfind(u'\\') + 1));
        FILE_STANDARD_INFORMATION standard;
        IO_STATUS_BLOCK q;
        ASSERT_EQ(ZwQueryInformationFile(handle, &q, &standard, sizeof(standard), FileStandardInformation),
                  STATUS_SUCCESS);
        EXPECT_TRUE(standard.Directory) << "the parent is what is open";
        ObDereferenceObject(file);
        ZwClose(handle);
    }
}

TEST_F(FileInfoTest, RenameRelativeToARootDirectory) {
    ASSERT_EQ(plat::native::CreateDirectory(u"C:\\into"), STATUS_SUCCESS);
    ASSERT_EQ(plat::native::WriteFile(u"C:\\loose.txt", "l"), STATUS_SUCCESS);
    File dir, f;
    ASSERT_EQ(OpenPath(u"C:\\into", &dir, FILE_ADD_FILE | SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    ASSERT_EQ(OpenPath(u"C:\\loose.txt", &f, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
    std::u16string name = u"placed.txt";
    ULONG length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + ULONG(name.size() * 2);
    plat::UserBuffer buffer(length);
    auto* info = buffer.As<FILE_RENAME_INFORMATION>();
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = dir.Handle();
    info->FileNameLength = ULONG(name.size() * 2);
    memcpy(info->FileName, name.data(), info->FileNameLength);
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtSetInformationFile(f.Handle(), &iosb, info, length, FileRenameInformation), STATUS_SUCCESS);
    f.Close();
    EXPECT_EQ(ReadText(u"C:\\into\\placed.txt"), "l");
}

TEST_F(FileInfoTest, ListingsResumeAtAnIndex) {
    for (const char16_t* dir : {u"C:\\resume", u"D:\\resume"}) {
        ASSERT_EQ(plat::native::CreateDirectory(dir), STATUS_SUCCESS);
        for (const char16_t* name : {u"one", u"two", u"three", u"four"}) {
            ASSERT_EQ(plat::native::WriteFile(std::u16string(dir) + u"\\" + name, ""), STATUS_SUCCESS);
        }
    }
    auto resume = [&](const char16_t* dirPath, const char16_t* afterName, ULONG fileIndex) {
        File dir;
        EXPECT_EQ(OpenPath(dirPath, &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
        std::vector<plat::native::DirectoryEntry> first;
        EXPECT_EQ(dir.QueryDirectory(&first, nullptr, true, true), STATUS_SUCCESS);
        PFILE_OBJECT file = FileObjectOf(dir);
        std::vector<uint8_t> buffer(1024);
        std::u16string after = afterName ? afterName : u"";
        UNICODE_STRING name{USHORT(after.size() * 2), USHORT(after.size() * 2),
                            reinterpret_cast<PWSTR>(after.data())};
        IO_STATUS_BLOCK iosb = SendIrp(file, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY,
                                       [&](PIRP irp, PIO_STACK_LOCATION sp) {
            irp->UserBuffer = buffer.data();
            sp->Flags = SL_INDEX_SPECIFIED | SL_RETURN_SINGLE_ENTRY;
            sp->Parameters.QueryDirectory.Length = ULONG(buffer.size());
            sp->Parameters.QueryDirectory.FileInformationClass = FileNamesInformation;
            sp->Parameters.QueryDirectory.FileName = afterName ? &name : nullptr;
            sp->Parameters.QueryDirectory.FileIndex = fileIndex;
        });
        ObDereferenceObject(file);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        auto* entry = reinterpret_cast<const FILE_NAMES_INFORMATION*>(buffer.data());
        return std::u16string(reinterpret_cast<const char16_t*>(entry->FileName), entry->FileNameLength / 2);
    };
    EXPECT_EQ(resume(u"C:\\resume", u"three", 0), u"two") << "NTFS: after the named entry";
    EXPECT_EQ(resume(u"D:\\resume", nullptr, 2), u"three") << "FAT: after the entry at the index";
}

TEST_F(FileInfoTest, VolumeControlsAnswer) {
    ASSERT_EQ(plat::native::WriteFile(u"C:\\mapped.bin", std::string(9000, 'm')), STATUS_SUCCESS);
    File f;
    ASSERT_EQ(OpenPath(u"C:\\mapped.bin", &f), STATUS_SUCCESS);
    LONGLONG startingVcn = 0;
    std::vector<uint8_t> out;
    ASSERT_EQ(f.FsControl(FSCTL_QUERY_RETRIEVAL_POINTERS, &startingVcn, sizeof(startingVcn), &out, 16),
              STATUS_SUCCESS);
    LONGLONG clusters;
    memcpy(&clusters, out.data(), sizeof(clusters));
    EXPECT_EQ(clusters, 3);
    File volume;
    ASSERT_EQ(OpenPath(u"C:", &volume, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE), STATUS_SUCCESS);
    LONGLONG sectors = (1ll << 40) / 512;
    EXPECT_EQ(volume.FsControl(FSCTL_EXTEND_VOLUME, &sectors, sizeof(sectors), nullptr, 0), STATUS_INVALID_PARAMETER)
        << "beyond the disk";
    EXPECT_EQ(volume.FsControl(FSCTL_IS_VOLUME_MOUNTED, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
}

}  // namespace
}  // namespace quilt_test
