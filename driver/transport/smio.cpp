// Transfers of the serial transport: the synchronous read and write through the port's reused
// requests, the reader thread, events and streams with cable selection and running status,
// capabilities, and the device-control and delay helpers.
#include "transport/ntddmser.h"

#include "core/caller_buffer.h"

#define SM_READER_PRIORITY 31
#define SM_FAILED_READ_PAUSE_MS 10

struct SmSyncContext {
    PKEVENT Event;
    PIO_STATUS_BLOCK StatusBlock; // the caller's, or NULL
    NTSTATUS Status;
    PIRP Irp;
};

NTSTATUS SmSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    // Caller: the serial driver completing our request, IRQL <= DISPATCH_LEVEL, no locks.
    UNREFERENCED_PARAMETER(DeviceObject);
    SmSyncContext* sync = (SmSyncContext*)Context;
    if (sync->StatusBlock)
        *sync->StatusBlock = Irp->IoStatus;
    sync->Status = Irp->IoStatus.Status;
    KeSetEvent(sync->Event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED; // the request stays ours and is reused
}

BOOLEAN SynchronousTransfer(SmPort* Port, UCHAR MajorFunction, PKEVENT Event, PIRP Irp,
                            PIO_STATUS_BLOCK StatusBlock, KWAIT_REASON WaitReason, PVOID Buffer,
                            ULONG Length, ULONG TimeoutMs) {
    // Caller: the reader thread (read) or a writer holding SendLock (write).
    if (!Irp || !Port->SerialDevice)
        return FALSE;
    IoReuseIrp(Irp, STATUS_SUCCESS);
    Irp->AssociatedIrp.SystemBuffer = Buffer;
    Irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = MajorFunction;
    next->FileObject = Port->SerialFile;
    if (MajorFunction == IRP_MJ_READ)
        next->Parameters.Read.Length = Length;
    else
        next->Parameters.Write.Length = Length;

    SmSyncContext sync;
    sync.Event = Event;
    sync.StatusBlock = StatusBlock;
    sync.Status = STATUS_SUCCESS;
    sync.Irp = Irp;
    KeClearEvent(Event);
    IoSetCompletionRoutine(Irp, SmSyncCompletion, &sync, TRUE, TRUE, TRUE);
    if (IoCallDriver(Port->SerialDevice, Irp) == STATUS_PENDING) {
        LARGE_INTEGER limit;
        limit.QuadPart = -10000LL * TimeoutMs;
        if (KeWaitForSingleObject(Event, WaitReason, KernelMode, FALSE,
                                  TimeoutMs ? &limit : NULL) == STATUS_TIMEOUT) {
            // The serial driver keeps the request beyond its own time-out: take it back. It
            // stays ours (the completion routine keeps it), so cancelling a request that has
            // just completed is harmless.
            IoCancelIrp(Irp);
            KeWaitForSingleObject(Event, WaitReason, KernelMode, FALSE, NULL);
        }
    }
    return NT_SUCCESS(sync.Status);
}

static LONGLONG SmNow() {
    return (LONGLONG)KeQueryInterruptTime();
}

static void SmCountDropped(SmPort* Port, ULONG Bytes) {
    if (Bytes)
        InterlockedExchangeAdd(&Port->Device->DroppedBytes, (LONG)Bytes);
}

BOOLEAN SmSendSerialData(SmPort* Port, const UCHAR* Data, ULONG Length, KWAIT_REASON WaitReason) {
    // Caller: holds Port->SendLock.
    if (!Port->WriteRequest)
        return FALSE;
    if (Length == 0)
        return TRUE;
    if (Port->StallUntil && SmNow() < Port->StallUntil) {
        SmCountDropped(Port, Length); // still stalled: not worth another time-out
        return FALSE;
    }
    IO_STATUS_BLOCK io;
    io.Status = STATUS_UNSUCCESSFUL;
    io.Information = 0;
    ULONG limitMs = SM_WRITE_CONSTANT_MS + SM_WRITE_PER_BYTE_MS * Length + SM_WRITE_GRACE_MS;
    SynchronousTransfer(Port, IRP_MJ_WRITE, &Port->WriteDone, Port->WriteRequest, &io, WaitReason,
                        (PVOID)Data, Length, limitMs);
    ULONG written = io.Information < Length ? (ULONG)io.Information : Length;
    if (io.Status == STATUS_SUCCESS && written == Length) {
        Port->StallUntil = 0;
        return TRUE;
    }
    SmCountDropped(Port, Length - written);
    if (io.Status == STATUS_TIMEOUT || io.Status == STATUS_CANCELLED) {
        if (!Port->StallUntil)
            DbgPrint("VARLO2K: Serial%lu does not take output; dropping it\n",
                     (unsigned long)Port->SerialNumber);
        Port->StallUntil = SmNow() + 10000LL * SM_STALL_HOLD_MS;
    }
    return FALSE;
}

void SmReaderThread(PVOID StartContext) {
    // The port's reader: system thread at priority 31; runs the parser (takes ClientLock).
    SmPort* port = (SmPort*)StartContext;
    DdExtension* extension = port->Device->Extension;
    KeSetPriorityThread((PKTHREAD)DdCurrentThread(), SM_READER_PRIORITY);
    while (!SmReadShared(&port->Stop)) {
        IO_STATUS_BLOCK status;
        status.Information = 0;
        BOOLEAN ok = SynchronousTransfer(port, IRP_MJ_READ, &port->ReadDone, port->ReadRequest,
                                         &status, Executive, port->Tb.Buffer, SM_READ_SIZE, 0);
        if (ok && status.Information > 0) {
            port->Tb.EndIndex = (ULONG)status.Information;
            if (InterlockedCompareExchange(&extension->OpenCount, 0, 0) != 0) {
                port->Tb.ReadIndex = 0;
                port->Tb.Port = (UCHAR)port->Index;
                ParseInputBuffer(extension, &port->Tb);
            }
        } else if (!ok && !SmReadShared(&port->Stop)) {
            DelayThread(SM_FAILED_READ_PAUSE_MS); // a failing port is retried, not spun on
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The output table entry of (port, cable index).
static DdOutCableState* SmOutEntry(SmPort* Port, ULONG CableIndex) {
    const DdDriverInfo* info = &Port->Device->Extension->Info;
    ULONG block = (info->Flags & DD_FLAG_OUT_CABLES) ? info->OutCables : 1;
    return &Port->Device->Extension->OutTable[Port->Index * block + CableIndex];
}

ULONG SmSyncCable(SmPort* Port, ULONG Cable) {
    // Caller: holds Port->SendLock, PASSIVE_LEVEL.
    const DdDriverInfo* info = &Port->Device->Extension->Info;
    ULONG index = ((info->Flags & DD_FLAG_OUT_CABLES) && Cable < info->OutCables) ? Cable : 0;
    if ((LONG)Cable == Port->CurrentCable)
        return index;
    UCHAR select[2] = {0xF5, (UCHAR)(Cable & 0x7F)};
    // A selection that did not go out is made again before the next message.
    Port->CurrentCable =
        SmSendSerialData(Port, select, sizeof(select), UserRequest) ? (LONG)Cable : -1;
    if (info->Flags & DD_FLAG_CABLE_RESETS_STATUS)
        SmOutEntry(Port, index)->RunningStatus = 0;
    return index;
}

// The port a request names: Ports[0] for 0, Ports[1] otherwise; NULL when not open.
static SmPort* SmSelectPort(SmDevice* Context, ULONG Port) {
    ULONG index = Port ? 1 : 0;
    return index < (ULONG)SmReadShared(&Context->NumPorts) ? &Context->Ports[index] : NULL;
}

ULONG SmSendEvent(SmDevice* Context, ULONG Port, ULONG Event, ULONG DataCount) {
    // Caller: play request, client thread, PASSIVE_LEVEL; takes SendLock.
    SmPort* port = SmSelectPort(Context, Port);
    UCHAR bytes[3] = {(UCHAR)Event, (UCHAR)(Event >> 8), (UCHAR)(Event >> 16)};
    UCHAR status = bytes[0];
    // A data byte as status would corrupt the receiver's next message; F5 would select a cable
    // behind the transport's back.
    if (!port || status < 0x80 || status == 0xF5)
        return 1;
    if (DataCount > 2)
        DataCount = 2;
    ExAcquireFastMutex(&port->SendLock);
    DdOutCableState* entry = SmOutEntry(port, SmSyncCable(port, Event >> 24));
    BOOLEAN sent;
    if (status < 0xF0 && DataCount > 1 && entry->RunningStatus == status) {
        sent = SmSendSerialData(port, bytes + 1, DataCount, UserRequest);
    } else {
        // Receivers keep running status for channel messages only: system common clears it,
        // real-time leaves it alone.
        if (status < 0xF0)
            entry->RunningStatus = status;
        else if (status < 0xF8)
            entry->RunningStatus = 0;
        sent = SmSendSerialData(port, bytes, DataCount + 1, UserRequest);
    }
    // After a message the interface may have received in part, the next one carries its status.
    if (!sent)
        entry->RunningStatus = 0;
    ExReleaseFastMutex(&port->SendLock);
    return 1;
}

ULONG SmSendStream(SmDevice* Context, ULONG Port, ULONG Cable, const UCHAR* Data, ULONG Length) {
    // Caller: play request, client thread, PASSIVE_LEVEL; Data is the caller's buffer. Takes
    // SendLock.
    SmPort* port = SmSelectPort(Context, Port);
    if (!port)
        return 1;
    ExAcquireFastMutex(&port->SendLock);
    SmOutEntry(port, SmSyncCable(port, Cable))->RunningStatus = 0;
    while (Length > 0) {
        ULONG chunk = Length < SM_SEND_CHUNK ? Length : SM_SEND_CHUNK;
        if (!NT_SUCCESS(DdCopyFromCaller(port->SendBuffer, Data, chunk)))
            break; // a fault in the caller's data ends the stream quietly
        Length -= chunk;
        if (!SmSendSerialData(port, port->SendBuffer, chunk, UserRequest)) {
            // A chunk the interface did not take ends the stream: the rest is dropped too.
            if (port->WriteRequest)
                InterlockedExchangeAdd(&Context->DroppedBytes, (LONG)Length);
            break;
        }
        Data += chunk;
    }
    ExReleaseFastMutex(&port->SendLock);
    return 1;
}

ULONG SmGetCaps(SmDevice* Context, DdCaps* Caps) {
    // Caller: capabilities request, PASSIVE_LEVEL; Caps is a driver buffer.
    LONG (*getInfo)(SmDevice*, LONG, DdHardwareInfo*) = Context->Extension->Info.GetHardwareInfo;
    Caps->Count = 0;
    while (getInfo && Caps->Count < DD_MAX_SUB_DEVICES &&
           getInfo(Context, (LONG)Caps->Count, &Caps->Entries[Caps->Count]) >= 0)
        Caps->Count++;
    return 0;
}

NTSTATUS CallIoctlDriver(ULONG IoControlCode, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength, BOOLEAN Internal, ULONG TimeoutMs) {
    // Caller: any PASSIVE_LEVEL thread, no locks.
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Device, Input, InputLength, Output,
                                             OutputLength, Internal, &event, &status);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS result = IoCallDriver(Device, irp);
    if (result != STATUS_PENDING)
        return result;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * TimeoutMs;
    result =
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, TimeoutMs ? &timeout : NULL);
    if (result == STATUS_TIMEOUT) {
        KIRQL irql;
        KeRaiseIrql(APC_LEVEL, &irql);
        if (!KeReadStateEvent(&event))
            IoCancelIrp(irp);
        KeLowerIrql(irql);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        return STATUS_TIMEOUT;
    }
    return status.Status;
}

void DelayThread(ULONG Milliseconds) {
    // Caller: any PASSIVE_LEVEL thread. A relative interval (negative, in 100 ns units): the same
    // wait as an absolute end, without reading the system time.
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
