// Device control: the fast device-control entry and its five handlers; DdIoctl refuses requests.
#include "core/ioctl.h"

#include "core/caller_buffer.h"
#include "core/clients.h"
#include "core/parser.h"

#define DD_PLAY_EVENT_BATCH 60

static NTSTATUS DdFinish(PIO_STATUS_BLOCK IoStatus, NTSTATUS Status, ULONG_PTR Information) {
    IoStatus->Status = Status;
    IoStatus->Information = Information;
    return Status;
}

// Writes a 32-bit answer to the caller's 4-byte output.
static NTSTATUS DdAnswerUlong(PIO_STATUS_BLOCK IoStatus, PVOID Output, ULONG Value) {
    NTSTATUS status = DdCopyToCaller(Output, &Value, sizeof(Value));
    return DdFinish(IoStatus, status, NT_SUCCESS(status) ? sizeof(Value) : 0);
}

// TRUE when the interface layer reports the interface active (or has no activation at all).
static BOOLEAN DdInterfaceActive(DdExtension* Extension) {
    return !Extension->Info.DeviceActivate ||
           Extension->Info.DeviceActivate(Extension->Context, DD_ACTIVATE_QUERY) == DD_ACTIVATE_ON;
}

NTSTATUS DdIoctlGetCaps(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                        ULONG OutputLength) {
    // Caller: FastDeviceIoCtl, PASSIVE_LEVEL, no locks.
    if (OutputLength != sizeof(DdCaps))
        return DdFinish(IoStatus, STATUS_INFO_LENGTH_MISMATCH, 0);
    DdCaps* caps = (DdCaps*)ExAllocatePoolWithTag(NonPagedPool, sizeof(DdCaps), DD_POOL_TAG);
    if (!caps)
        return DdFinish(IoStatus, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(caps, sizeof(*caps));
    caps->InCables = Extension->Info.InCables;
    caps->OutCables = Extension->Info.OutCables;
    if (Extension->Info.GetCaps)
        Extension->Info.GetCaps(Extension->Context, caps);
    NTSTATUS status = DdCopyToCaller(Output, caps, sizeof(*caps));
    ExFreePoolWithTag(caps, DD_POOL_TAG);
    return DdFinish(IoStatus, status, NT_SUCCESS(status) ? sizeof(DdCaps) : 0);
}

NTSTATUS DdIoctlGetState(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                         ULONG OutputLength) {
    // Caller: FastDeviceIoCtl, PASSIVE_LEVEL, no locks.
    if (OutputLength != sizeof(ULONG))
        return DdFinish(IoStatus, STATUS_INFO_LENGTH_MISMATCH, 0);
    return DdAnswerUlong(IoStatus, Output, DdInterfaceActive(Extension) ? 1 : 0);
}

NTSTATUS DdIoctlNumClients(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                           ULONG OutputLength) {
    // Caller: FastDeviceIoCtl, PASSIVE_LEVEL; takes ClientLock.
    if (OutputLength != sizeof(ULONG))
        return DdFinish(IoStatus, STATUS_INFO_LENGTH_MISMATCH, 0);
    ULONG count = 0;
    ExAcquireFastMutex(&Extension->ClientLock);
    for (DdClient* client = Extension->Clients; client; client = client->Next)
        count++;
    ExReleaseFastMutex(&Extension->ClientLock);
    ULONG value = count & 0xFFFF;
    if (Extension->Info.ClientCount)
        value |= (ULONG)Extension->Info.ClientCount(Extension->Context) << 16;
    return DdAnswerUlong(IoStatus, Output, value);
}

NTSTATUS DdIoctlActivate(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Input,
                         ULONG InputLength) {
    // Caller: FastDeviceIoCtl, PASSIVE_LEVEL, no locks (DdActivatePort takes what it needs).
    ULONG on;
    if (InputLength != sizeof(ULONG))
        return DdFinish(IoStatus, STATUS_INFO_LENGTH_MISMATCH, 0);
    NTSTATUS status = DdCopyFromCaller(&on, Input, sizeof(on));
    if (!NT_SUCCESS(status))
        return DdFinish(IoStatus, status, 0);
    DdActivatePort(Extension, on != 0);
    return DdFinish(IoStatus, STATUS_SUCCESS, sizeof(ULONG));
}

// Reads every byte of the caller's stream data once, so that a fault is reported before
// anything is sent.
static NTSTATUS DdProbeCallerData(const UCHAR* Data, ULONG Length) {
    UCHAR scratch[64];
    for (ULONG at = 0; at < Length; at += sizeof(scratch)) {
        ULONG chunk = Length - at < sizeof(scratch) ? Length - at : sizeof(scratch);
        NTSTATUS status = DdCopyFromCaller(scratch, Data + at, chunk);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DdIoctlMidiPlay(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Input,
                         ULONG InputLength) {
    // Caller: FastDeviceIoCtl, PASSIVE_LEVEL; the sends take the ports' SendLocks.
    DdMidiBuffer header;
    if (InputLength <= DD_MIDI_HEADER_BYTES)
        return DdFinish(IoStatus, STATUS_INFO_LENGTH_MISMATCH, 0);
    IoStatus->Information = 0;
    if (InterlockedCompareExchange(&Extension->OpenCount, 0, 0) == 0 ||
        !DdInterfaceActive(Extension))
        return DdFinish(IoStatus, STATUS_SUCCESS, 0); // dropped: the caller cannot tell
    NTSTATUS status = DdCopyFromCaller(&header, Input, DD_MIDI_HEADER_BYTES);
    if (!NT_SUCCESS(status))
        return DdFinish(IoStatus, status, 0);
    const UCHAR* data = (const UCHAR*)Input + DD_MIDI_HEADER_BYTES;
    ULONG length = header.Length;
    if (length > InputLength - DD_MIDI_HEADER_BYTES)
        length = InputLength - DD_MIDI_HEADER_BYTES;
    ULONG_PTR taken = 0;

    if (header.Type >= DD_BUF_SYSEX_PART && header.Type <= DD_BUF_SYSEX_BROKEN) {
        status = DdProbeCallerData(data, length);
        if (!NT_SUCCESS(status))
            return DdFinish(IoStatus, status, 0);
        if (Extension->Info.SendStream)
            Extension->Info.SendStream(Extension->Context, header.Port, header.Cable, data, length);
        taken = length;
    } else if (header.Type == DD_BUF_EVENTS) {
        ULONG events[DD_PLAY_EVENT_BATCH];
        ULONG count = length / sizeof(ULONG);
        for (ULONG done = 0; done < count;) {
            ULONG batch = count - done < DD_PLAY_EVENT_BATCH ? count - done : DD_PLAY_EVENT_BATCH;
            status = DdCopyFromCaller(events, data + done * sizeof(ULONG), batch * sizeof(ULONG));
            if (!NT_SUCCESS(status))
                return DdFinish(IoStatus, status, taken); // what went out stays sent
            for (ULONG i = 0; i < batch; i++) {
                taken += sizeof(ULONG);
                if (Extension->Info.SendEvent)
                    Extension->Info.SendEvent(Extension->Context, header.Port, events[i],
                                              DdStatusDataCount(events[i]));
            }
            done += batch;
        }
    }
    return DdFinish(IoStatus, STATUS_SUCCESS, taken);
}

// The codes served by the fast entry: each handler gets the caller's input or its output buffer.
typedef NTSTATUS (*DD_FAST_IOCTL_HANDLER)(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus,
                                          PVOID Buffer, ULONG Length);
typedef struct _DD_FAST_IOCTL {
    ULONG Code;
    DD_FAST_IOCTL_HANDLER Handler;
    BOOLEAN TakesInput;
} DD_FAST_IOCTL;

static const DD_FAST_IOCTL DdFastIoctls[] = {
    {IOCTL_DD_GET_CAPS, DdIoctlGetCaps, FALSE},       {IOCTL_DD_GET_STATE, DdIoctlGetState, FALSE},
    {IOCTL_DD_NUM_CLIENTS, DdIoctlNumClients, FALSE}, {IOCTL_DD_MIDI_PLAY, DdIoctlMidiPlay, TRUE},
    {IOCTL_DD_ACTIVATE, DdIoctlActivate, TRUE},
};

BOOLEAN FastDeviceIoCtl(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                        ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject) {
    // Caller: the I/O manager in the requesting thread, PASSIVE_LEVEL, no locks.
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Wait);
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    for (ULONG i = 0; i < sizeof(DdFastIoctls) / sizeof(DdFastIoctls[0]); i++) {
        const DD_FAST_IOCTL* entry = &DdFastIoctls[i];
        if (entry->Code != IoControlCode)
            continue;
        if (entry->TakesInput)
            entry->Handler(extension, IoStatus, InputBuffer, InputBufferLength);
        else
            entry->Handler(extension, IoStatus, OutputBuffer, OutputBufferLength);
        return TRUE;
    }
    return FALSE;
}

NTSTATUS DdIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: the I/O manager for codes the fast entry did not take, PASSIVE_LEVEL. The five
    // codes are served only by the fast entry; nothing is served as a request.
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
