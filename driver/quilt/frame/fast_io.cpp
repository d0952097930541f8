// The driver's fast-I/O table. Fast I/O is always the business of the file
// system below: every data entry hands the call to the same entry of the
// lower device's driver, with the lower device in place of ours. The four
// information queries are refused, so that they come again as IRPs and are
// answered from the change store. The detach entry removes our device when
// the device below it goes away. The acquire and release callbacks are not
// provided: the I/O manager then uses the file system's own locking.
#include <ntifs.h>

#include "frame/device_context.h"
#include "frame/dispatch.h"

// The table is 0x70 bytes on 32-bit Windows.
static_assert(sizeof(void*) != 4 || sizeof(FAST_IO_DISPATCH) == 0x70, "FAST_IO_DISPATCH size");

// The entry at Offset of the fast-I/O table of the driver below Device, and
// that lower device. NULL when Device has no lower device, the lower driver
// has no table, its table is too short to hold the entry, or the entry is
// empty.
template <typename Entry>
static Entry LowerFastIoEntry(PDEVICE_OBJECT Device, ULONG Offset, PDEVICE_OBJECT* Lower) {
    DeviceContext* context = DeviceContextOf(Device);
    if (context == NULL || context->LowerDevice == NULL) {
        return NULL;
    }
    PFAST_IO_DISPATCH table = context->LowerDevice->DriverObject->FastIoDispatch;
    if (table == NULL || table->SizeOfFastIoDispatch < Offset + sizeof(Entry)) {
        return NULL;
    }
    *Lower = context->LowerDevice;
    return *reinterpret_cast<Entry*>(reinterpret_cast<PUCHAR>(table) + Offset);
}

// Every pass-through entry takes the device last. The single-argument form
// accepts nothing but a device, so an entry of another shape does not compile.
static inline PDEVICE_OBJECT LastArgument(PDEVICE_OBJECT Device) {
    return Device;
}

template <typename First, typename... Rest>
static inline PDEVICE_OBJECT LastArgument(First, Rest... Arguments) {
    return LastArgument(Arguments...);
}

// The argument as the lower driver gets it: the device is replaced, nothing
// else (no entry has another device argument).
template <typename Argument>
static inline Argument ForLowerDevice(Argument Value, PDEVICE_OBJECT) {
    return Value;
}

static inline PDEVICE_OBJECT ForLowerDevice(PDEVICE_OBJECT, PDEVICE_OBJECT Lower) {
    return Lower;
}

// Call is an entry of type Entry (found at Offset in FAST_IO_DISPATCH) that
// calls the lower driver's entry of the same place, or answers FALSE.
template <ULONG Offset, typename Entry>
struct FastIoPassThrough;

template <ULONG Offset, typename... Arguments>
struct FastIoPassThrough<Offset, BOOLEAN(NTAPI*)(Arguments...)> {
    typedef BOOLEAN(NTAPI* Entry)(Arguments...);

    static BOOLEAN NTAPI Call(Arguments... Values) {
        PDEVICE_OBJECT lower = NULL;
        Entry entry = LowerFastIoEntry<Entry>(LastArgument(Values...), Offset, &lower);
        if (entry == NULL) {
            return FALSE;
        }
        return entry(ForLowerDevice(Values, lower)...);
    }
};

// Call is an entry of type Entry that always answers FALSE.
template <typename Entry>
struct FastIoRefusal;

template <typename... Arguments>
struct FastIoRefusal<BOOLEAN(NTAPI*)(Arguments...)> {
    static BOOLEAN NTAPI Call(Arguments...) { return FALSE; }
};

#define FAST_IO_PASS_THROUGH(Field) \
    FastIoPassThrough<FIELD_OFFSET(FAST_IO_DISPATCH, Field), decltype(FAST_IO_DISPATCH::Field)>::Call
#define FAST_IO_REFUSAL(Field) FastIoRefusal<decltype(FAST_IO_DISPATCH::Field)>::Call

static FAST_IO_DISPATCH g_FastIoTable = {
    .SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH),
    .FastIoCheckIfPossible = FAST_IO_PASS_THROUGH(FastIoCheckIfPossible),
    .FastIoRead = FAST_IO_PASS_THROUGH(FastIoRead),
    .FastIoWrite = FAST_IO_PASS_THROUGH(FastIoWrite),
    .FastIoQueryBasicInfo = FAST_IO_REFUSAL(FastIoQueryBasicInfo),
    .FastIoQueryStandardInfo = FAST_IO_REFUSAL(FastIoQueryStandardInfo),
    .FastIoLock = FAST_IO_PASS_THROUGH(FastIoLock),
    .FastIoUnlockSingle = FAST_IO_PASS_THROUGH(FastIoUnlockSingle),
    .FastIoUnlockAll = FAST_IO_PASS_THROUGH(FastIoUnlockAll),
    .FastIoUnlockAllByKey = FAST_IO_PASS_THROUGH(FastIoUnlockAllByKey),
    .FastIoDeviceControl = FAST_IO_PASS_THROUGH(FastIoDeviceControl),
    .AcquireFileForNtCreateSection = NULL,
    .ReleaseFileForNtCreateSection = NULL,
    .FastIoDetachDevice = QLTFastIoDetachDevice,
    .FastIoQueryNetworkOpenInfo = FAST_IO_REFUSAL(FastIoQueryNetworkOpenInfo),
    .AcquireForModWrite = NULL,
    .MdlRead = FAST_IO_PASS_THROUGH(MdlRead),
    .MdlReadComplete = FAST_IO_PASS_THROUGH(MdlReadComplete),
    .PrepareMdlWrite = FAST_IO_PASS_THROUGH(PrepareMdlWrite),
    .MdlWriteComplete = FAST_IO_PASS_THROUGH(MdlWriteComplete),
    .FastIoReadCompressed = FAST_IO_PASS_THROUGH(FastIoReadCompressed),
    .FastIoWriteCompressed = FAST_IO_PASS_THROUGH(FastIoWriteCompressed),
    .MdlReadCompleteCompressed = FAST_IO_PASS_THROUGH(MdlReadCompleteCompressed),
    .MdlWriteCompleteCompressed = FAST_IO_PASS_THROUGH(MdlWriteCompleteCompressed),
    .FastIoQueryOpen = FAST_IO_REFUSAL(FastIoQueryOpen),
    .ReleaseForModWrite = NULL,
    .AcquireForCcFlush = NULL,
    .ReleaseForCcFlush = NULL,
};

PFAST_IO_DISPATCH QuiltFastIoTable() {
    return &g_FastIoTable;
}
