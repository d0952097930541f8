// Everything a file has besides names and data: attributes and times, delete
// disposition, extended attributes, security, object IDs, reparse points,
// compression; and the change events they produce.
#include "fs/engine/volume_impl.h"

#include <string.h>

namespace plat::fs {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr uint32_t kMaxEaListSize = 64 * 1024;
constexpr uint16_t kCompressionNone = 0;
constexpr uint16_t kCompressionDefault = 1;
constexpr uint16_t kCompressionLznt1 = 2;

// Offsets in a REPARSE_DATA_BUFFER.
constexpr size_t kReparseHeaderSize = 8;      // tag, data length, reserved
constexpr size_t kReparseGuidHeaderSize = 24; // third-party tags carry a GUID
constexpr size_t kMountPointFixedSize = 8;    // four USHORT name offsets and lengths

uint16_t ReadU16(const std::vector<uint8_t>& b, size_t at) {
    uint16_t v;
    memcpy(&v, b.data() + at, 2);
    return v;
}

uint32_t ReadU32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

bool IsLegalEaName(const std::string& name) {
    if (name.empty() || name.size() > 254) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || strchr("\"*+,/:;<=>?[\\]|", c) != nullptr) return false;
    }
    return true;
}

// The mount-point layout: substitute and print names inside the path buffer,
// even lengths, a substitute name that is not empty.
NTSTATUS CheckMountPointData(const std::vector<uint8_t>& data) {
    uint16_t dataLength = ReadU16(data, 4);
    if (dataLength < kMountPointFixedSize) return STATUS_IO_REPARSE_DATA_INVALID;
    size_t pathBytes = dataLength - kMountPointFixedSize;
    uint16_t subOffset = ReadU16(data, 8);
    uint16_t subLength = ReadU16(data, 10);
    uint16_t printOffset = ReadU16(data, 12);
    uint16_t printLength = ReadU16(data, 14);
    bool odd = (subOffset | subLength | printOffset | printLength) & 1;
    if (odd || subLength == 0) return STATUS_IO_REPARSE_DATA_INVALID;
    if (size_t(subOffset) + subLength > pathBytes || size_t(printOffset) + printLength > pathBytes) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckReparseBuffer(const std::vector<uint8_t>& data) {
    if (data.size() < kReparseHeaderSize || data.size() > kMaximumReparseDataSize) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    uint32_t tag = ReadU32(data, 0);
    if (tag == 0 || tag == 1) return STATUS_IO_REPARSE_TAG_INVALID;
    size_t header = (tag & kReparseTagMicrosoftBit) ? kReparseHeaderSize : kReparseGuidHeaderSize;
    if (data.size() < header || ReadU16(data, 4) + header != data.size()) return STATUS_IO_REPARSE_DATA_INVALID;
    if (tag == kReparseTagMountPoint) return CheckMountPointData(data);
    return STATUS_SUCCESS;
}

}  // namespace

// --- Times, attributes, events --------------------------------------------------

uint32_t Volume::Impl::ReportedAttributes(const Node* node) const {
    uint32_t attributes = node->Attributes & ~(kAttrDirectory | kAttrReparsePoint | kAttrNormal);
    if (node->IsDirectory) attributes |= kAttrDirectory;
    if (node->ReparseTag != 0) attributes |= kAttrReparsePoint;
    return attributes != 0 ? attributes : kAttrNormal;
}

// FAT keeps write times to 2 seconds, creation times to 10 ms and access
// times to the day; NTFS keeps them as given.
int64_t Volume::Impl::StoredTime(int64_t time, int kind) const {
    if (IsNtfs() || time <= 0) return time;
    switch (kind) {
        case kTimeCreation: return time - time % (kTicksPerSecond / 100);
        case kTimeLastAccess: return time - time % kTicksPerDay;
        default: return time - time % (2 * kTicksPerSecond);
    }
}

void Volume::Impl::TouchChange(Node* node) {
    node->Times.Change = StoredTime(Now(), kTimeChange);
    MarkDirty(node);
}

void Volume::Impl::TouchWrite(Node* node, const OpenFile* open) {
    uint32_t fixed = open ? open->TimesSetByCaller : 0;
    int64_t now = Now();
    if (!(fixed & kTimeLastWrite)) node->Times.LastWrite = StoredTime(now, kTimeLastWrite);
    if (!(fixed & kTimeChange)) node->Times.Change = StoredTime(now, kTimeChange);
    if (!node->IsDirectory) node->Attributes |= kAttrArchive;
    MarkDirty(node);
}

void Volume::Impl::TouchDirectory(Node* dir) {
    if (!dir) return;
    int64_t now = Now();
    dir->Times.LastWrite = StoredTime(now, kTimeLastWrite);
    dir->Times.Change = StoredTime(now, kTimeChange);
    MarkDirty(dir);
}

void Volume::Impl::Notify(ChangeEvents* events, Node* dir, NameView name, uint32_t filter, uint32_t action) {
    if (!events || !dir) return;
    ChangeEvent e;
    e.FullPath = dir->Id == kRootId ? Name() : PathOf(dir, 0);
    e.FullPath.push_back(u'\\');
    e.NameOffset = e.FullPath.size();
    e.FullPath += name;
    e.Filter = filter;
    e.Action = action;
    events->push_back(std::move(e));
}

void Volume::Impl::NotifyNode(ChangeEvents* events, Node* node, uint64_t linkId, uint32_t filter, uint32_t action) {
    if (!events || node->Id == kRootId) return;
    const Link* link = linkId != 0 ? node->FindLink(linkId) : nullptr;
    if (!link) link = PrimaryLink(node);
    if (!link) return;
    Notify(events, Find(link->Parent), link->LongName, filter, action);
}

NTSTATUS Volume::SetBasic(OpenFile* open, const FileTimes& times, uint32_t attributes, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (open->Kind == OpenKind::Volume) return STATUS_INVALID_PARAMETER;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    if (node->IsMetadata) return STATUS_ACCESS_DENIED;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    if ((attributes & kAttrDirectory) && !node->IsDirectory) return STATUS_INVALID_PARAMETER;

    struct TimeField { int64_t given; int64_t* stored; uint32_t bit; uint32_t filter; };
    TimeField fields[] = {
        {times.Creation, &node->Times.Creation, kTimeCreation, kNotifyCreation},
        {times.LastAccess, &node->Times.LastAccess, kTimeLastAccess, kNotifyLastAccess},
        {times.LastWrite, &node->Times.LastWrite, kTimeLastWrite, kNotifyLastWrite},
        {times.Change, &node->Times.Change, kTimeChange, 0},
    };
    uint32_t filter = 0;
    for (TimeField& f : fields) {
        if (f.given == 0) continue;
        open->TimesSetByCaller |= f.bit;
        if (f.given == -1) continue;  // only stops this open's automatic updates
        if (f.bit == kTimeChange && !v.IsNtfs()) continue;
        *f.stored = v.StoredTime(f.given, static_cast<int>(f.bit));
        filter |= f.filter;
    }
    if (attributes != 0) {
        uint32_t settable = v.IsNtfs() ? kAttrSettableNtfs : kAttrSettableFat;
        node->Attributes = (node->Attributes & ~settable) | (attributes & settable);
        filter |= kNotifyAttributes;
    }
    v.MarkDirty(node);
    if (!(open->TimesSetByCaller & kTimeChange)) node->Times.Change = v.StoredTime(v.Now(), kTimeChange);
    if (filter != 0) v.NotifyNode(events, node, open->LinkId, filter, kActionModified);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::SetDisposition(OpenFile* open, bool deleteFile) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (open->Kind == OpenKind::Volume || open->Kind == OpenKind::ReparseIndex) return STATUS_INVALID_PARAMETER;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    NodeRuntime& rt = *node->Runtime;
    StreamRuntime* srt = rt.FindStream(open->StreamKey);
    if (!deleteFile) {
        // Cancels a pending deletion, including one asked for at create.
        if (open->Kind == OpenKind::Stream) {
            srt->DeletePending = false;
        } else {
            rt.DeletePending = false;
            rt.DeleteLinkId = 0;
        }
        for (auto& [key, other] : v.Opens) {
            if (other->Target == node && other->StreamKey == open->StreamKey) other->DeleteOnClose = false;
        }
        return STATUS_SUCCESS;
    }
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    if (node->Id == kRootId || node->IsMetadata) return STATUS_CANNOT_DELETE;
    if (node->Attributes & kAttrReadOnly) return STATUS_CANNOT_DELETE;
    for (auto& s : rt.Streams) {
        if (s->ImageSections != 0 && (open->Kind != OpenKind::Stream || s.get() == srt)) return STATUS_CANNOT_DELETE;
    }
    if (node->IsDirectory && !node->Children->Empty()) return STATUS_DIRECTORY_NOT_EMPTY;
    if (open->Kind == OpenKind::Stream) {
        srt->DeletePending = true;
    } else {
        rt.DeletePending = true;
        rt.DeleteLinkId = open->LinkId;
    }
    return STATUS_SUCCESS;
}

// --- Extended attributes ----------------------------------------------------------

namespace {

// The checks a request for an NTFS-only attribute begins with: a live open on
// an NTFS volume that names a file; NotSupported is what another file system
// answers.
NTSTATUS CheckNtfsAttributeOpen(Volume::Impl& v, const OpenFile* open, NTSTATUS NotSupported) {
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!v.IsNtfs()) return NotSupported;
    if (!open->Target) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Volume::GetEas(const OpenFile* open, std::vector<ExtendedAttribute>* eas) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = CheckNtfsAttributeOpen(*m_Impl, open, STATUS_EAS_NOT_SUPPORTED);
    if (!NT_SUCCESS(status)) return status;
    *eas = open->Target->Eas;
    return STATUS_SUCCESS;
}

// Each entry replaces the EA of its name; an entry with an empty value
// removes it. Names are kept in upper case, as NTFS keeps them.
NTSTATUS Volume::SetEas(OpenFile* open, const std::vector<ExtendedAttribute>& eas, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckNtfsAttributeOpen(v, open, STATUS_EAS_NOT_SUPPORTED);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    std::vector<ExtendedAttribute> result = node->Eas;
    for (const ExtendedAttribute& ea : eas) {
        if (!IsLegalEaName(ea.Name)) return STATUS_INVALID_EA_NAME;
        std::string upper = ea.Name;
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        std::erase_if(result, [&](const ExtendedAttribute& e) { return e.Name == upper; });
        if (!ea.Value.empty()) result.push_back(ExtendedAttribute{upper, ea.Flags, ea.Value});
    }
    Node probe;
    probe.Eas = result;
    if (v.EaSize(&probe) > kMaxEaListSize) return STATUS_EA_TOO_LARGE;
    node->Eas = std::move(result);
    v.TouchChange(node);
    v.NotifyNode(events, node, open->LinkId, kNotifyEa, kActionModified);
    return STATUS_SUCCESS;
}

// --- Security -------------------------------------------------------------------

NTSTATUS Volume::GetSecurity(const OpenFile* open, std::vector<uint8_t>* descriptor) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = CheckNtfsAttributeOpen(*m_Impl, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    *descriptor = open->Target->Security;
    return STATUS_SUCCESS;
}

NTSTATUS Volume::SetSecurity(OpenFile* open, const std::vector<uint8_t>& descriptor, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckNtfsAttributeOpen(v, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    node->Security = descriptor;
    v.TouchChange(node);
    v.NotifyNode(events, node, open->LinkId, kNotifySecurity, kActionModified);
    return STATUS_SUCCESS;
}

// --- Object IDs -------------------------------------------------------------------

namespace {

NTSTATUS CheckObjectIdOpen(Volume::Impl& v, const OpenFile* open) {
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!v.IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
    if (open->Kind != OpenKind::File && open->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    if (open->Target->Deleted) return STATUS_FILE_DELETED;
    return STATUS_SUCCESS;
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

NTSTATUS Volume::SetObjectId(OpenFile* open, const ObjectIdRecord& record) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckObjectIdOpen(v, open);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->HasObjectId) return STATUS_OBJECT_NAME_COLLISION;
    if (v.ObjectIds.count(record.Id) != 0) return STATUS_DUPLICATE_NAME;
    node->HasObjectId = true;
    node->ObjectId = record;
    v.ObjectIds.emplace(record.Id, node->Id);
    v.MarkDirty(node);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::SetObjectIdExtended(OpenFile* open, const std::array<uint8_t, 48>& extended) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckObjectIdOpen(v, open);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (!node->HasObjectId) return STATUS_OBJECTID_NOT_FOUND;
    node->ObjectId.Extended = extended;
    v.MarkDirty(node);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::GetObjectId(const OpenFile* open, ObjectIdRecord* record) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckObjectIdOpen(v, open);
    if (!NT_SUCCESS(status)) return status;
    if (!open->Target->HasObjectId) return STATUS_OBJECTID_NOT_FOUND;
    *record = open->Target->ObjectId;
    return STATUS_SUCCESS;
}

// A new object ID is unique on the volume; its extended part names this
// volume as the birth volume and the ID itself as the birth object ID.
NTSTATUS Volume::CreateOrGetObjectId(OpenFile* open, ObjectIdRecord* record) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckObjectIdOpen(v, open);
    if (!NT_SUCCESS(status)) return status;
    Node* node = open->Target;
    if (node->HasObjectId) {
        *record = node->ObjectId;
        return STATUS_SUCCESS;
    }
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    ObjectIdRecord fresh;
    do {
        uint64_t seq = v.NextObjectIdSequence++;
        uint64_t a = Mix(seq ^ (uint64_t(v.SerialNumber) << 32));
        uint64_t b = Mix(a ^ seq);
        memcpy(fresh.Id.data(), &a, 8);
        memcpy(fresh.Id.data() + 8, &b, 8);
    } while (v.ObjectIds.count(fresh.Id) != 0);
    v.HeaderDirty = true;
    uint64_t volumeId[2] = {Mix(v.SerialNumber), Mix(uint64_t(v.CreationTime))};
    memcpy(fresh.Extended.data(), volumeId, 16);
    memcpy(fresh.Extended.data() + 16, fresh.Id.data(), 16);
    node->HasObjectId = true;
    node->ObjectId = fresh;
    v.ObjectIds.emplace(fresh.Id, node->Id);
    v.MarkDirty(node);
    *record = fresh;
    return STATUS_SUCCESS;
}

NTSTATUS Volume::DeleteObjectId(OpenFile* open) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckObjectIdOpen(v, open);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (!node->HasObjectId) return STATUS_SUCCESS;
    v.ObjectIds.erase(node->ObjectId.Id);
    node->HasObjectId = false;
    node->ObjectId = ObjectIdRecord();
    v.MarkDirty(node);
    return STATUS_SUCCESS;
}

// --- Reparse points ---------------------------------------------------------------

NTSTATUS Volume::SetReparsePoint(OpenFile* open, const std::vector<uint8_t>& data, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = v.CheckOpen(open);
    if (!NT_SUCCESS(status)) return status;
    if (!v.IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
    if (open->Kind != OpenKind::File && open->Kind != OpenKind::Directory) return STATUS_INVALID_PARAMETER;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    if (node->Id == kRootId || node->IsMetadata) return STATUS_ACCESS_DENIED;
    status = CheckReparseBuffer(data);
    if (!NT_SUCCESS(status)) return status;
    uint32_t tag = ReadU32(data, 0);
    if (node->ReparseTag != 0 && node->ReparseTag != tag) return STATUS_IO_REPARSE_TAG_MISMATCH;
    if (tag == kReparseTagMountPoint) {
        if (!node->IsDirectory) return STATUS_NOT_A_DIRECTORY;
        if (!node->Children->Empty()) return STATUS_DIRECTORY_NOT_EMPTY;
    }
    if (node->ReparseTag != 0) v.ReparsePoints.erase({node->ReparseTag, node->Id});
    node->ReparseTag = tag;
    node->ReparseData = data;
    v.ReparsePoints.insert({tag, node->Id});
    v.TouchChange(node);
    v.NotifyNode(events, node, open->LinkId, kNotifyAttributes, kActionModified);
    return STATUS_SUCCESS;
}

NTSTATUS Volume::GetReparsePoint(const OpenFile* open, std::vector<uint8_t>* data) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckNtfsAttributeOpen(v, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    if (open->Target->ReparseTag == 0) return STATUS_NOT_A_REPARSE_POINT;
    *data = open->Target->ReparseData;
    return STATUS_SUCCESS;
}

NTSTATUS Volume::DeleteReparsePoint(OpenFile* open, uint32_t tag, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckNtfsAttributeOpen(v, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->ReparseTag == 0) return STATUS_NOT_A_REPARSE_POINT;
    if (node->ReparseTag != tag) return STATUS_IO_REPARSE_TAG_MISMATCH;
    v.ReparsePoints.erase({node->ReparseTag, node->Id});
    node->ReparseTag = 0;
    node->ReparseData.clear();
    v.TouchChange(node);
    v.NotifyNode(events, node, open->LinkId, kNotifyAttributes, kActionModified);
    return STATUS_SUCCESS;
}

// --- Compression ------------------------------------------------------------------

NTSTATUS Volume::SetCompression(OpenFile* open, uint16_t format, ChangeEvents* events) {
    Guard g(m_Impl->Mutex);
    Impl& v = *m_Impl;
    NTSTATUS status = CheckNtfsAttributeOpen(v, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    if (format != kCompressionNone && format != kCompressionDefault && format != kCompressionLznt1) {
        return STATUS_INVALID_PARAMETER;
    }
    if (v.ReadOnly) return STATUS_MEDIA_WRITE_PROTECTED;
    Node* node = open->Target;
    if (node->Deleted) return STATUS_FILE_DELETED;
    uint32_t before = node->Attributes;
    if (format == kCompressionNone) node->Attributes &= ~kAttrCompressed;
    else node->Attributes |= kAttrCompressed;
    if (node->Attributes != before) {
        v.TouchChange(node);
        v.NotifyNode(events, node, open->LinkId, kNotifyAttributes, kActionModified);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Volume::GetCompression(const OpenFile* open, uint16_t* format) {
    Guard g(m_Impl->Mutex);
    NTSTATUS status = CheckNtfsAttributeOpen(*m_Impl, open, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(status)) return status;
    *format = (open->Target->Attributes & kAttrCompressed) ? kCompressionLznt1 : kCompressionNone;
    return STATUS_SUCCESS;
}

}  // namespace plat::fs
