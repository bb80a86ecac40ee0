// Wine kernel host (never shipped): wkserial.sys, a serial port driver for Wine's kernel with the
// interface model behind \Device\Serial1 (wkmodel.dll). It answers what the driver under test asks
// of a serial port: IRP_MJ_CREATE (one open at a time), IRP_MJ_READ (what the model has sent; a
// read finding nothing waits, cancellable, until the model sends), IRP_MJ_WRITE (to the model),
// IRP_MJ_CLEANUP (ends the waiting read) and the IOCTL_SERIAL_* settings requests, which are
// kept and listed in the order they came. A pump thread moves the model's clock every 5 ms and
// completes the waiting read. The control device \\.\WkModel takes WKSERIAL_IOCTL_MODEL.
//
// Not a serial port: no line, no baud rate timing, no read time-outs (the driver under test asks
// for reads that wait for the first byte, the only kind served here).
// Its devices are created through the shim (linked against wkshim64.dll) so that the shim's
// IoGetDeviceObjectPointer finds \Device\Serial1.
#include <ntddk.h>
#include <ntddser.h>

#include "wkshim.h"

namespace {

constexpr ULONG kPumpMs = 5;
constexpr ULONG kTraceBytes = 512;
constexpr ULONG kPoolTag = 0x6C726553; // "Serl"

struct Port {
    PDEVICE_OBJECT Serial, Control;
    KSPIN_LOCK Lock;
    PIRP WaitingRead; // under Lock
    LONG Opens;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_LINE_CONTROL Line;
    ULONG Baud;
    char Trace[kTraceBytes]; // names of the settings requests in order; under Lock
    KEVENT Stop;
    PVOID Pump;
};

Port g_port;

// The settings requests served, by the names the port's state lists them with.
const struct {
    ULONG Code;
    const char* Name;
} kRequests[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "baud"},        {IOCTL_SERIAL_SET_QUEUE_SIZE, "queue"},
    {IOCTL_SERIAL_GET_HANDFLOW, "get-handflow"}, {IOCTL_SERIAL_SET_HANDFLOW, "set-handflow"},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "line"},     {IOCTL_SERIAL_SET_TIMEOUTS, "timeouts"},
    {IOCTL_SERIAL_LSRMST_INSERT, "lsrmst"}};

const char* RequestName(ULONG code) {
    for (const auto& r : kRequests)
        if (r.Code == code)
            return r.Name;
    return nullptr;
}

void AddTrace(const char* name) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    size_t used = strlen(g_port.Trace);
    if (used + strlen(name) + 2 < kTraceBytes) {
        if (used)
            g_port.Trace[used++] = ' ';
        strcpy(g_port.Trace + used, name);
    }
    KeReleaseSpinLock(&g_port.Lock, irql);
}

void ClearTrace() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    g_port.Trace[0] = 0;
    KeReleaseSpinLock(&g_port.Lock, irql);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Takes the waiting read out of the port when the cancel routine has not claimed it.
PIRP ClaimWaitingRead() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    PIRP irp = g_port.WaitingRead;
    if (irp && IoSetCancelRoutine(irp, nullptr))
        g_port.WaitingRead = nullptr;
    else
        irp = nullptr;
    KeReleaseSpinLock(&g_port.Lock, irql);
    return irp;
}

void CancelRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    if (g_port.WaitingRead == irp)
        g_port.WaitingRead = nullptr;
    KeReleaseSpinLock(&g_port.Lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Leaves a read waiting, cancellable; completes it at once when it was cancelled meanwhile.
void Wait(PIRP irp) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    IoSetCancelRoutine(irp, CancelRead);
    bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr);
    if (!cancelled)
        g_port.WaitingRead = irp;
    KeReleaseSpinLock(&g_port.Lock, irql);
    if (cancelled)
        Complete(irp, STATUS_CANCELLED, 0);
}

// Completes a read with what the model has sent; false when it has sent nothing.
bool TrySatisfy(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG got =
        WkModelTake((unsigned char*)irp->AssociatedIrp.SystemBuffer, stack->Parameters.Read.Length);
    if (!got)
        return false;
    Complete(irp, STATUS_SUCCESS, got);
    return true;
}

void ServeWaitingRead() {
    if (PIRP irp = ClaimWaitingRead())
        if (!TrySatisfy(irp))
            Wait(irp);
}

void PumpThread(PVOID) {
    LARGE_INTEGER period;
    period.QuadPart = -10000LL * kPumpMs;
    while (KeWaitForSingleObject(&g_port.Stop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT)
        ServeWaitingRead();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// One read at a time (the driver under test keeps one): a second one is refused.
NTSTATUS Read(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!irp->AssociatedIrp.SystemBuffer || stack->Parameters.Read.Length == 0)
        return Complete(irp, STATUS_SUCCESS, 0);
    if (g_port.WaitingRead)
        return Complete(irp, STATUS_DEVICE_BUSY, 0);
    IoMarkIrpPending(irp);
    if (!TrySatisfy(irp))
        Wait(irp);
    return STATUS_PENDING;
}

NTSTATUS Write(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Write.Length;
    if (length && irp->AssociatedIrp.SystemBuffer)
        WkModelReceive((const unsigned char*)irp->AssociatedIrp.SystemBuffer, length);
    Complete(irp, STATUS_SUCCESS, length);
    ServeWaitingRead(); // a reply may be due at once
    return STATUS_SUCCESS;
}

// Settings requests. Wine builds a driver's own buffered request with the input in the system
// buffer and the output in the caller's buffer (no copy back): the answer goes to both.
NTSTATUS SerialControl(PIRP irp, ULONG code, ULONG inLength, ULONG outLength) {
    const char* name = RequestName(code);
    if (!name)
        return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    AddTrace(name);
    PVOID in = irp->AssociatedIrp.SystemBuffer;
    auto take = [&](PVOID into, ULONG size) {
        if (inLength < size || !in)
            return false;
        RtlCopyMemory(into, in, size);
        return true;
    };
    bool ok = true;
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            ok = take(&g_port.Baud, sizeof(ULONG));
            break;
        case IOCTL_SERIAL_SET_HANDFLOW:
            ok = take(&g_port.HandFlow, sizeof(SERIAL_HANDFLOW));
            break;
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            ok = take(&g_port.Line, sizeof(SERIAL_LINE_CONTROL));
            break;
        case IOCTL_SERIAL_SET_TIMEOUTS:
            ok = take(&g_port.Timeouts, sizeof(SERIAL_TIMEOUTS));
            break;
        case IOCTL_SERIAL_GET_HANDFLOW:
            if (outLength < sizeof(SERIAL_HANDFLOW))
                return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            if (irp->AssociatedIrp.SystemBuffer)
                RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &g_port.HandFlow,
                              sizeof(SERIAL_HANDFLOW));
            if (irp->UserBuffer && irp->UserBuffer != irp->AssociatedIrp.SystemBuffer)
                RtlCopyMemory(irp->UserBuffer, &g_port.HandFlow, sizeof(SERIAL_HANDFLOW));
            return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_HANDFLOW));
        default:
            break;
    }
    return Complete(irp, ok ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, 0);
}

// "port": the serial port's state; anything else goes to the model.
NTSTATUS ModelControl(PIRP irp, ULONG inLength, ULONG outLength) {
    char* buffer = (char*)irp->AssociatedIrp.SystemBuffer;
    if (!buffer || inLength == 0 || outLength == 0)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (inLength != 4 || memcmp(buffer, "port", 4) != 0) {
        char* command = (char*)ExAllocatePoolWithTag(NonPagedPool, inLength + 1, kPoolTag);
        if (!command)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlCopyMemory(command, buffer, inLength);
        command[inLength] = 0;
        ULONG answered = WkModelText(command, buffer, outLength);
        ExFreePoolWithTag(command, kPoolTag);
        return Complete(irp, STATUS_SUCCESS, answered);
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&g_port.Lock);
    int written =
        _snprintf(buffer, outLength,
                  "opens %ld\nwaiting-read %d\nbaud %lu\nline %u %u "
                  "%u\ncontrol-handshake %lu\n"
                  "flow-replace %lu\nread-timeouts %lu %lu %lu\nrequests %s\n",
                  g_port.Opens, g_port.WaitingRead != nullptr, g_port.Baud, g_port.Line.WordLength,
                  g_port.Line.Parity, g_port.Line.StopBits, g_port.HandFlow.ControlHandShake,
                  g_port.HandFlow.FlowReplace, g_port.Timeouts.ReadIntervalTimeout,
                  g_port.Timeouts.ReadTotalTimeoutMultiplier,
                  g_port.Timeouts.ReadTotalTimeoutConstant, g_port.Trace);
    KeReleaseSpinLock(&g_port.Lock, irql);
    ULONG length = written < 0                  ? outLength
                   : (ULONG)written < outLength ? (ULONG)written
                                                : outLength;
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (device == g_port.Control) {
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == WKSERIAL_IOCTL_MODEL)
            return ModelControl(irp, stack->Parameters.DeviceIoControl.InputBufferLength,
                                stack->Parameters.DeviceIoControl.OutputBufferLength);
        bool file = stack->MajorFunction == IRP_MJ_CREATE ||
                    stack->MajorFunction == IRP_MJ_CLEANUP || stack->MajorFunction == IRP_MJ_CLOSE;
        return Complete(irp, file ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            if (InterlockedCompareExchange(&g_port.Opens, 1, 0) != 0)
                return Complete(irp, STATUS_ACCESS_DENIED, 0);
            ClearTrace();
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP:
            if (PIRP read = ClaimWaitingRead())
                Complete(read, STATUS_CANCELLED, 0);
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE:
            InterlockedExchange(&g_port.Opens, 0);
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_READ:
            return Read(irp);
        case IRP_MJ_WRITE:
            return Write(irp);
        case IRP_MJ_DEVICE_CONTROL:
            return SerialControl(irp, stack->Parameters.DeviceIoControl.IoControlCode,
                                 stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

UNICODE_STRING Name(const wchar_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

void Unload(PDRIVER_OBJECT) {
    KeSetEvent(&g_port.Stop, IO_NO_INCREMENT, FALSE);
    if (g_port.Pump) {
        KeWaitForSingleObject(g_port.Pump, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(g_port.Pump);
    }
    UNICODE_STRING link = Name(L"\\DosDevices\\WkModel");
    IoDeleteSymbolicLink(&link);
    if (g_port.Control)
        IoDeleteDevice(g_port.Control);
    if (g_port.Serial)
        IoDeleteDevice(g_port.Serial);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    KeInitializeSpinLock(&g_port.Lock);
    KeInitializeEvent(&g_port.Stop, NotificationEvent, FALSE);
    static const UCHAR served[] = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE,
                                   IRP_MJ_READ,   IRP_MJ_WRITE,   IRP_MJ_DEVICE_CONTROL};
    for (UCHAR major : served)
        driver->MajorFunction[major] = Dispatch;
    driver->DriverUnload = Unload;
    UNICODE_STRING serial = Name(L"\\Device\\Serial1");
    UNICODE_STRING control = Name(L"\\Device\\WkModel");
    UNICODE_STRING link = Name(L"\\DosDevices\\WkModel");
    NTSTATUS status =
        IoCreateDevice(driver, 0, &serial, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &g_port.Serial);
    if (NT_SUCCESS(status))
        status =
            IoCreateDevice(driver, 0, &control, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_port.Control);
    if (NT_SUCCESS(status)) {
        g_port.Serial->Flags |= DO_BUFFERED_IO;
        g_port.Control->Flags |= DO_BUFFERED_IO;
        status = IoCreateSymbolicLink(&link, &control);
    }
    HANDLE thread;
    if (NT_SUCCESS(status))
        status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                      PumpThread, nullptr);
    if (NT_SUCCESS(status)) {
        ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &g_port.Pump,
                                  nullptr);
        ZwClose(thread);
        return STATUS_SUCCESS;
    }
    Unload(driver);
    return status;
}
