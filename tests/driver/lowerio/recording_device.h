// A device below the driver's own requests in the lower-request tests: a small
// driver of its own whose device records every request it receives and answers
// it as the test says, at once or after pending it to a worker thread.
#pragma once

#include <ntifs.h>

#include <functional>

namespace quilt_test {

// What the device saw of the last request other than create, cleanup and close.
struct SeenRequest {
    ULONG Count = 0;  // requests seen so far
    IO_STACK_LOCATION Stack = {};
    ULONG IrpFlags = 0;
    PVOID SystemBuffer = nullptr;
    PVOID UserBuffer = nullptr;
    PMDL Mdl = nullptr;
    PIO_STATUS_BLOCK UserIosb = nullptr;
    KPROCESSOR_MODE RequestorMode = UserMode;
    PETHREAD Thread = nullptr;
    PFILE_OBJECT OriginalFileObject = nullptr;
    CCHAR StackCount = 0;
    PDEVICE_OBJECT Device = nullptr;
    NTSTATUS DispatchReturned = 0;
};

// How the device answers.
struct Answer {
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    bool Pend = false;  // return STATUS_PENDING and complete from a worker thread
    // Runs before completion, for example to fill the buffers.
    std::function<void(PIRP, PIO_STACK_LOCATION)> Fill;
};

class RecordingDevice {
public:
    // Loads the driver \Driver\QuiltRecorder with the device \Device\QuiltRecorder.
    RecordingDevice();
    ~RecordingDevice();

    PDEVICE_OBJECT Device() const { return m_Device; }
    PDRIVER_OBJECT Driver() const { return m_Driver; }

    // A synchronous file object on the device (with its kernel handle).
    PFILE_OBJECT Open(PHANDLE Handle);

    Answer& Next() { return m_Answer; }
    const SeenRequest& Seen() const { return m_Seen; }

    // Waits until a pended request has been completed by the worker.
    void WaitForWorker();

private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp);
    static VOID NTAPI CompleteLater(PDEVICE_OBJECT Device, PVOID Context);

    PDRIVER_OBJECT m_Driver = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
    Answer m_Answer;
    SeenRequest m_Seen;
    KEVENT m_WorkerDone;
};

}  // namespace quilt_test
