// A two-device stack for the request-object tests: a filter device of a test
// driver, carrying a DeviceContext like the driver's volume filters and
// handing every IRP to the test's handler, attached above a lower device that
// records what reaches it and answers as the test says. The lower device is
// also reachable as \??\Q: (through the filter, the top of the stack).
#pragma once

#include <ntifs.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "frame/device_context.h"

namespace quilt_test {

inline constexpr ULONG kRigDrive = 16;  // Q:

struct LowerSeen {
    ULONG Count = 0;                 // requests other than create, cleanup and close
    UCHAR MajorFunction = 0;
    UCHAR MinorFunction = 0;
    UCHAR Control = 0;
    PFILE_OBJECT FileObject = nullptr;
    PIO_COMPLETION_ROUTINE CompletionRoutine = nullptr;
    ULONG ParameterWord = 0;         // Parameters.Others.Argument1 as a 32-bit value
    std::vector<std::string> Creates;  // names of the creates, UTF-8
    std::vector<PETHREAD> CreateThreads;
};

struct LowerAnswer {
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    bool Pend = false;                 // complete from a worker thread
    std::u16string FileName;           // answers FileNameInformation queries
};

class RequestRig {
public:
    RequestRig();
    ~RequestRig();

    PDEVICE_OBJECT Filter() const { return m_Filter; }
    PDEVICE_OBJECT Lower() const { return m_Lower; }
    DeviceContext* Context() const { return static_cast<DeviceContext*>(m_Filter->DeviceExtension); }

    // The filter's dispatch routine hands every IRP here (the default passes
    // it down as it stands).
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> Handler;

    LowerAnswer& Answer() { return m_Answer; }
    const LowerSeen& Seen() const { return m_Seen; }

    // Builds an IRP of MajorFunction for the filter (FileObject and the
    // parameter word in its stack location, Information preset), sends it and
    // waits. Returns the final IoStatus.
    IO_STATUS_BLOCK Send(UCHAR MajorFunction, PFILE_OBJECT FileObject, ULONG ParameterWord = 0,
                         ULONG_PTR PresetInformation = 0);

private:
    static NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT Device, PIRP Irp);
    static NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT Device, PIRP Irp);
    static VOID NTAPI CompleteLater(PDEVICE_OBJECT Device, PVOID Context);
    NTSTATUS Answer(PIRP Irp, PIO_STACK_LOCATION Stack);

    PDEVICE_OBJECT m_Filter = nullptr;
    PDEVICE_OBJECT m_Lower = nullptr;
    LowerAnswer m_Answer;
    LowerSeen m_Seen;
};

}  // namespace quilt_test
