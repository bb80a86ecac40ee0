// Port search, configuration and closing of the serial transport.
#include "transport/ntddmser.h"

#include <ntddser.h>

static const WCHAR wSerialName[] = DD_WTEXT("Serial");
static const WCHAR szMultiChain[] = DD_WTEXT("MultiChain");
static const WCHAR szPreviousPort[] = DD_WTEXT("PreviousPort");
static const WCHAR szOpenError[] = DD_WTEXT("OpenError");

#define SM_CONFIG_TIMEOUT_MS 1000
#define SM_ACTIVATE_WAIT_MS 500

// Writes "OpenError<n>" = Status. PASSIVE_LEVEL, OpenMutex held by the caller.
static void SmNoteOpenError(DdExtension* Extension, LONG Number, NTSTATUS Status) {
    WCHAR name[32];
    WCHAR digits[12];
    UNICODE_STRING nameString;
    UNICODE_STRING digitString;
    RtlZeroMemory(name, sizeof(name));
    RtlZeroMemory(digits, sizeof(digits));
    nameString.Buffer = name;
    nameString.Length = 0;
    nameString.MaximumLength = sizeof(name) - sizeof(WCHAR);
    digitString.Buffer = digits;
    digitString.Length = 0;
    digitString.MaximumLength = sizeof(digits) - sizeof(WCHAR);
    RtlAppendUnicodeToString(&nameString, szOpenError);
    RtlIntegerToUnicodeString((ULONG)Number, 10, &digitString);
    RtlAppendUnicodeStringToString(&nameString, &digitString);
    DdSetDeviceValue(Extension, name, (ULONG)Status);
}

// Clears the port's blocks of the input cable table and of the output table.
static void SmClearCableTables(DdExtension* Extension, ULONG PortIndex) {
    const DdDriverInfo* info = &Extension->Info;
    ULONG inBlock = (info->Flags & DD_FLAG_IN_CABLES) ? info->InCables : 1;
    ULONG outBlock = (info->Flags & DD_FLAG_OUT_CABLES) ? info->OutCables : 1;
    RtlZeroMemory(&Extension->InCableTable[PortIndex * inBlock], inBlock * sizeof(DdInCableState));
    RtlZeroMemory(&Extension->OutTable[PortIndex * outBlock], outBlock * sizeof(DdOutCableState));
}

// Reads the port's handshake settings and sets them with the given control handshake and RTS
// flow. PASSIVE_LEVEL.
static void SmSetHandFlow(SmPort* Port, ULONG ControlHandShake) {
    SERIAL_HANDFLOW flow;
    RtlZeroMemory(&flow, sizeof(flow));
    CallIoctlDriver(IOCTL_SERIAL_GET_HANDFLOW, Port->SerialDevice, NULL, 0, &flow, sizeof(flow),
                    FALSE, SM_CONFIG_TIMEOUT_MS);
    flow.ControlHandShake = ControlHandShake;
    flow.FlowReplace = SERIAL_RTS_HANDSHAKE;
    CallIoctlDriver(IOCTL_SERIAL_SET_HANDFLOW, Port->SerialDevice, &flow, sizeof(flow), NULL, 0,
                    FALSE, SM_CONFIG_TIMEOUT_MS);
}

// 115200 baud, 8N1, RTS flow, reads that return what is buffered or wait for the first byte.
// Failures are ignored: a port that does not take a setting is still probed. PASSIVE_LEVEL.
static void SmConfigurePort(SmPort* Port) {
    SERIAL_BAUD_RATE baud;
    SERIAL_QUEUE_SIZE queue;
    SERIAL_LINE_CONTROL line;
    SERIAL_TIMEOUTS timeouts;
    UCHAR insert = 0;
    baud.BaudRate = 115200;
    CallIoctlDriver(IOCTL_SERIAL_SET_BAUD_RATE, Port->SerialDevice, &baud, sizeof(baud), NULL, 0,
                    FALSE, SM_CONFIG_TIMEOUT_MS);
    queue.InSize = 2048;
    queue.OutSize = 2048;
    CallIoctlDriver(IOCTL_SERIAL_SET_QUEUE_SIZE, Port->SerialDevice, &queue, sizeof(queue), NULL, 0,
                    FALSE, SM_CONFIG_TIMEOUT_MS);
    SmSetHandFlow(Port, 0);
    line.StopBits = STOP_BIT_1;
    line.Parity = NO_PARITY;
    line.WordLength = 8;
    CallIoctlDriver(IOCTL_SERIAL_SET_LINE_CONTROL, Port->SerialDevice, &line, sizeof(line), NULL, 0,
                    FALSE, SM_CONFIG_TIMEOUT_MS);
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutMultiplier = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutConstant = 0xFFFFFFFE;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    CallIoctlDriver(IOCTL_SERIAL_SET_TIMEOUTS, Port->SerialDevice, &timeouts, sizeof(timeouts),
                    NULL, 0, FALSE, SM_CONFIG_TIMEOUT_MS);
    CallIoctlDriver(IOCTL_SERIAL_LSRMST_INSERT, Port->SerialDevice, &insert, sizeof(insert), NULL,
                    0, FALSE, SM_CONFIG_TIMEOUT_MS);
}

// Prepares an opened port record: tables, parse record, events, lock, the two requests.
// FALSE when the requests cannot be allocated. PASSIVE_LEVEL, OpenMutex held.
static BOOLEAN SmPreparePort(SmDevice* Context, SmPort* Port) {
    DdExtension* extension = Context->Extension;
    Port->CurrentCable = -1;
    Port->Index = Context->NumPorts;
    DdPrepareTb(extension, &Port->Tb, Context->NumPorts);
    SmClearCableTables(extension, Context->NumPorts);
    KeInitializeEvent(&Port->WriteDone, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->ReadDone, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Port->Activated, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&Port->SendLock);
    Port->ReadRequest = IoAllocateIrp(Port->SerialDevice->StackSize, FALSE);
    Port->WriteRequest = IoAllocateIrp(Port->SerialDevice->StackSize, FALSE);
    MsOpenPort(Port);
    return Port->ReadRequest != NULL && Port->WriteRequest != NULL;
}

// Starts the reader thread; without one the port stays open but receives nothing.
static void SmStartReader(SmDevice* Context, SmPort* Port) {
    HANDLE handle;
    RtlZeroMemory(&Port->Tb, sizeof(Port->Tb));
    DdPrepareTb(Context->Extension, &Port->Tb, Context->NumPorts);
    SmWriteShared(&Port->Stop, 0);
    SmWriteShared(&Port->State, SM_STATE_IDLE);
    Port->Thread = NULL;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                        SmReaderThread, Port))) {
        if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                                  &Port->Thread, NULL)))
            Port->Thread = NULL;
        ZwClose(handle);
    }
}

ULONG SmOpenPort(SmDevice* Context) {
    // Caller: device layer, first open, PASSIVE_LEVEL, OpenMutex held.
    DdExtension* extension = Context->Extension;
    ULONG multiChain = DdQueryDeviceValue(extension, szMultiChain, 0);
    SmPort* port = &Context->Ports[0];
    Context->NumPorts = 0;
    for (LONG i = -1; Context->NumPorts < SM_MAX_PORTS; i++) {
        LONG number = i;
        if (i == -1) {
            number = (LONG)DdQueryDeviceValue(extension, szPreviousPort, (ULONG)-1);
            if (number < 0)
                continue;
        }
        WCHAR nameBuffer[DD_NAME_BUFFER_BYTES / sizeof(WCHAR)];
        UNICODE_STRING name;
        name.Buffer = nameBuffer;
        name.Length = 0;
        name.MaximumLength = sizeof(nameBuffer);
        BuildDeviceName(wSerialName, number, &name);

        RtlZeroMemory(port, sizeof(*port));
        port->Device = Context;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &port->SerialFile,
                                                   &port->SerialDevice);
        if (!NT_SUCCESS(status)) {
            port->SerialFile = NULL;
            port->SerialDevice = NULL;
            if (status == STATUS_ACCESS_DENIED || i < 0)
                continue; // in use (perhaps by us under its earlier number), or the remembered one
            SmNoteOpenError(extension, i, status);
            if (i >= SM_SEARCH_LAST_PORT)
                break;
            continue;
        }
        SmSetOpeningPort(Context, port);
        port->SerialNumber = (ULONG)number;
        if (!SmPreparePort(Context, port)) {
            SmSetOpeningPort(Context, NULL);
            SmCloseSinglePort(port);
            continue;
        }
        SmConfigurePort(port);
        SmStartReader(Context, port);

        SmSingleDeviceActivate(port, DD_ACTIVATE_PROBE);
        LARGE_INTEGER wait;
        wait.QuadPart = -10000LL * SM_ACTIVATE_WAIT_MS;
        status = KeWaitForSingleObject(&port->Activated, Executive, KernelMode, FALSE, &wait);
        if (status != STATUS_SUCCESS || SmReadShared(&port->State) != SM_STATE_ACTIVE) {
            SmSetOpeningPort(Context, NULL);
            SmWriteShared(&port->State, SM_STATE_IDLE);
            SmCloseSinglePort(port);
            continue;
        }

        SmSetHandFlow(port, SERIAL_CTS_HANDSHAKE);
        if (Context->NumPorts == 0)
            DdSetDeviceValue(extension, szPreviousPort, (ULONG)number);
        SmSetOpeningPort(Context, NULL);
        port->Index = Context->NumPorts;
        Context->NumPorts++;
        if (!multiChain)
            break;
        // Only two port records exist: a third interface is left alone.
        if (Context->NumPorts < SM_MAX_PORTS)
            port = &Context->Ports[Context->NumPorts];
    }
    SmSetOpeningPort(Context, NULL);
    return Context->NumPorts > 0;
}

void SmStopSingleThread(SmPort* Port) {
    // Caller: closing, PASSIVE_LEVEL, OpenMutex held; SendLock not held.
    if (!Port->Thread)
        return;
    SmWriteShared(&Port->Stop, 1);
    // The reader may be between two reads when the first cancel comes: cancel until it ends.
    LARGE_INTEGER poll;
    poll.QuadPart = -10000LL * 20;
    do {
        IoCancelIrp(Port->ReadRequest);
    } while (KeWaitForSingleObject(Port->Thread, UserRequest, KernelMode, FALSE, &poll) ==
             STATUS_TIMEOUT);
    ObDereferenceObject(Port->Thread);
    Port->Thread = NULL;
}

ULONG SmCloseSinglePort(SmPort* Port) {
    // Caller: the port search and SmClosePort, PASSIVE_LEVEL, OpenMutex held.
    static const UCHAR cable0[2] = {0xF5, 0x00};
    if (SmReadShared(&Port->State) == SM_STATE_ACTIVE) {
        ExAcquireFastMutex(&Port->SendLock);
        SmSendSerialData(Port, cable0, sizeof(cable0), UserRequest);
        for (UCHAR channel = 0; channel < 16; channel++) {
            UCHAR allNotesOff[3] = {(UCHAR)(0xB0 | channel), 0x7B, 0x00};
            SmSendSerialData(Port, allNotesOff, sizeof(allNotesOff), UserRequest);
        }
        Port->CurrentCable = 0;
        ExReleaseFastMutex(&Port->SendLock);
        DelayThread(100);
        DelayThread(100);
        // This port only: the other interface of a chain stays in computer mode and still gets
        // its own closing sequence.
        SmSingleDeviceActivate(Port, DD_ACTIVATE_OFF);
    }
    SmStopSingleThread(Port);
    if (Port->SerialFile)
        ObDereferenceObject(Port->SerialFile);
    Port->SerialFile = NULL;
    Port->SerialDevice = NULL;
    // A client thread still sending finds no write request and writes nothing.
    PIRP readRequest = Port->ReadRequest;
    ExAcquireFastMutex(&Port->SendLock);
    PIRP writeRequest = Port->WriteRequest;
    Port->WriteRequest = NULL;
    Port->ReadRequest = NULL;
    ExReleaseFastMutex(&Port->SendLock);
    if (readRequest)
        IoFreeIrp(readRequest);
    if (writeRequest)
        IoFreeIrp(writeRequest);
    DdReleaseTb(Port->Device->Extension, &Port->Tb);
    return 1;
}

ULONG SmClosePort(SmDevice* Context) {
    // Caller: device layer, last close, PASSIVE_LEVEL, OpenMutex held.
    for (ULONG i = 0; i < Context->NumPorts; i++)
        SmCloseSinglePort(&Context->Ports[i]);
    Context->NumPorts = 0;
    return 1;
}

ULONG SmCreateDevice(SmDevice* Context, DdExtension* Extension) {
    // Caller: device creation, PASSIVE_LEVEL; the context is zeroed.
    Context->Extension = Extension;
    return 1;
}

ULONG SmFreeDevice(SmDevice* Context) {
    // Caller: device removal, PASSIVE_LEVEL.
    return SmClosePort(Context);
}

ULONG DdDriverGetInfo(DdDriverInfo* Info) {
    // Caller: device addition, PASSIVE_LEVEL.
    Info->OpenPort = SmOpenPort;
    Info->ClosePort = SmClosePort;
    Info->CreateDevice = SmCreateDevice;
    Info->FreeDevice = SmFreeDevice;
    Info->SendEvent = SmSendEvent;
    Info->SendStream = SmSendStream;
    Info->GetCaps = SmGetCaps;
    Info->MaxPorts = SM_MAX_PORTS;
    Info->ContextSize = sizeof(SmDevice);
    return MsDriverGetInfo(Info);
}
