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
                            ULONG Length) {
    // Caller: the reader thread (read) or a writer holding SendLock (write), PASSIVE_LEVEL.
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
    if (IoCallDriver(Port->SerialDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(Event, WaitReason, KernelMode, FALSE, NULL);
    return NT_SUCCESS(sync.Status);
}

BOOLEAN SmSendSerialData(SmPort* Port, const UCHAR* Data, ULONG Length, KWAIT_REASON WaitReason) {
    // Caller: holds Port->SendLock, PASSIVE_LEVEL.
    IO_STATUS_BLOCK status;
    return SynchronousTransfer(Port, IRP_MJ_WRITE, &Port->WriteDone, Port->WriteRequest, &status,
                               WaitReason, (PVOID)Data, Length);
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
                                         &status, Executive, port->Tb.Buffer, SM_READ_SIZE);
        if (ok && status.Information > 0) {
            port->Tb.EndIndex = (ULONG)status.Information;
            if (extension->OpenCount != 0) {
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
    SmSendSerialData(Port, select, sizeof(select), UserRequest);
    Port->CurrentCable = (LONG)Cable;
    if (info->Flags & DD_FLAG_CABLE_RESETS_STATUS)
        SmOutEntry(Port, index)->RunningStatus = 0;
    return index;
}

// The port a request names: Ports[0] for 0, Ports[1] otherwise; NULL when not open.
static SmPort* SmSelectPort(SmDevice* Context, ULONG Port) {
    ULONG index = Port ? 1 : 0;
    return index < Context->NumPorts ? &Context->Ports[index] : NULL;
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
    if (status < 0xF0 && DataCount > 1 && entry->RunningStatus == status) {
        SmSendSerialData(port, bytes + 1, DataCount, UserRequest);
    } else {
        // Receivers keep running status for channel messages only: system common clears it,
        // real-time leaves it alone.
        if (status < 0xF0)
            entry->RunningStatus = status;
        else if (status < 0xF8)
            entry->RunningStatus = 0;
        SmSendSerialData(port, bytes, DataCount + 1, UserRequest);
    }
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
        SmSendSerialData(port, port->SendBuffer, chunk, UserRequest);
        Data += chunk;
        Length -= chunk;
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
