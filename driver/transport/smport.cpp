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

// 115200 baud, 8N1, RTS flow, reads that return what is buffered or wait for the first byte,
// writes with a time-out.
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
    // A write the interface does not take (CTS held off) ends after its time-out.
    timeouts.WriteTotalTimeoutMultiplier = SM_WRITE_PER_BYTE_MS;
    timeouts.WriteTotalTimeoutConstant = SM_WRITE_CONSTANT_MS;
    CallIoctlDriver(IOCTL_SERIAL_SET_TIMEOUTS, Port->SerialDevice, &timeouts, sizeof(timeouts),
                    NULL, 0, FALSE, SM_CONFIG_TIMEOUT_MS);
    CallIoctlDriver(IOCTL_SERIAL_LSRMST_INSERT, Port->SerialDevice, &insert, sizeof(insert), NULL,
                    0, FALSE, SM_CONFIG_TIMEOUT_MS);
}

// Makes a port record ready for the serial port just opened: tables, parse record, the two
// requests, and the serial device and file published under SendLock (a client thread of an
// earlier open may still hold the lock). FALSE when the requests cannot be allocated; the record
// then holds whatever it got, for SmCloseSinglePort. PASSIVE_LEVEL, OpenMutex held.
static BOOLEAN SmPreparePort(SmDevice* Context, SmPort* Port, ULONG Number, PDEVICE_OBJECT Device,
                             PFILE_OBJECT File) {
    DdExtension* extension = Context->Extension;
    LONG index = SmReadShared(&Context->NumPorts);
    PIRP readRequest = IoAllocateIrp(Device->StackSize, FALSE);
    PIRP writeRequest = IoAllocateIrp(Device->StackSize, FALSE);
    ExAcquireFastMutex(&Port->SendLock);
    Port->SerialNumber = Number;
    Port->Index = (ULONG)index;
    Port->CurrentCable = -1;
    Port->StallUntil = 0;
    Port->SerialDevice = Device;
    Port->SerialFile = File;
    Port->ReadRequest = readRequest;
    Port->WriteRequest = writeRequest;
    SmClearCableTables(extension, (ULONG)index);
    ExReleaseFastMutex(&Port->SendLock);
    for (ULONG i = 0; i < SM_VERSION_AREA_WORDS; i++)
        SmWriteShared(&Port->Version[i], 0);
    SmWriteShared(&Port->State, SM_STATE_IDLE);
    KeClearEvent(&Port->Activated);
    MsOpenPort(Port);
    return readRequest != NULL && writeRequest != NULL;
}

// The thread object type, for taking a reference to the reader thread. The kernel exports the
// variable that holds it; the toolchain's headers declare that variable dllimport and one pointer
// level deeper than it is, so there the name itself already reads the type.
static POBJECT_TYPE SmThreadType() {
#if defined(VARLO_KERNEL_WINDOWS)
    return (POBJECT_TYPE)PsThreadType;
#else
    return *PsThreadType;
#endif
}

// Starts the reader thread; without one the port stays open but receives nothing. The handle is
// a kernel handle: the open runs in the client's process, whose handle table is no place for it.
static void SmStartReader(SmDevice* Context, SmPort* Port) {
    HANDLE handle;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    RtlZeroMemory(&Port->Tb, sizeof(Port->Tb));
    DdPrepareTb(Context->Extension, &Port->Tb, (ULONG)SmReadShared(&Context->NumPorts));
    SmWriteShared(&Port->Stop, 0);
    SmWriteShared(&Port->State, SM_STATE_IDLE);
    Port->Thread = NULL;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                        SmReaderThread, Port))) {
        if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, SmThreadType(),
                                                  KernelMode, &Port->Thread, NULL)))
            Port->Thread = NULL;
        ZwClose(handle);
    }
}

ULONG SmOpenPort(SmDevice* Context) {
    // Caller: device layer, first open, PASSIVE_LEVEL, OpenMutex held.
    DdExtension* extension = Context->Extension;
    ULONG multiChain = DdQueryDeviceValue(extension, szMultiChain, 0);
    SmPort* port = &Context->Ports[0];
    SmWriteShared(&Context->NumPorts, 0);
    for (LONG i = -1; SmReadShared(&Context->NumPorts) < SM_MAX_PORTS; i++) {
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

        PFILE_OBJECT file = NULL;
        PDEVICE_OBJECT device = NULL;
        NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
        if (!NT_SUCCESS(status)) {
            if (status == STATUS_ACCESS_DENIED || i < 0)
                continue; // in use (perhaps by us under its earlier number), or the remembered one
            SmNoteOpenError(extension, i, status);
            if (i >= SM_SEARCH_LAST_PORT)
                break;
            continue;
        }
        SmSetOpeningPort(Context, port);
        if (!SmPreparePort(Context, port, (ULONG)number, device, file)) {
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
        LONG count = SmReadShared(&Context->NumPorts);
        if (count == 0)
            DdSetDeviceValue(extension, szPreviousPort, (ULONG)number);
        SmSetOpeningPort(Context, NULL);
        SmWriteShared(&Context->NumPorts, ++count);
        if (!multiChain)
            break;
        // Only two port records exist: a third interface is left alone.
        if (count < SM_MAX_PORTS)
            port = &Context->Ports[count];
    }
    SmSetOpeningPort(Context, NULL);
    return SmReadShared(&Context->NumPorts) > 0;
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
        SmWriteShared(&Port->State, SM_STATE_IDLE); // also when the interface did not take it
    }
    SmStopSingleThread(Port);
    // Cleared under SendLock before they are released: a client thread still sending finds no
    // request and writes nothing.
    ExAcquireFastMutex(&Port->SendLock);
    PFILE_OBJECT file = Port->SerialFile;
    PIRP readRequest = Port->ReadRequest;
    PIRP writeRequest = Port->WriteRequest;
    Port->SerialFile = NULL;
    Port->SerialDevice = NULL;
    Port->ReadRequest = NULL;
    Port->WriteRequest = NULL;
    ExReleaseFastMutex(&Port->SendLock);
    if (file)
        ObDereferenceObject(file);
    if (readRequest)
        IoFreeIrp(readRequest);
    if (writeRequest)
        IoFreeIrp(writeRequest);
    DdReleaseTb(Port->Device->Extension, &Port->Tb);
    return 1;
}

ULONG SmClosePort(SmDevice* Context) {
    // Caller: device layer, last close, PASSIVE_LEVEL, OpenMutex held.
    // Plays stop selecting the ports first; each port then clears, under its SendLock, what a
    // play already under way would use.
    LONG count = SmReadShared(&Context->NumPorts);
    SmWriteShared(&Context->NumPorts, 0);
    for (LONG i = 0; i < count; i++)
        SmCloseSinglePort(&Context->Ports[i]);
    return 1;
}

ULONG SmCreateDevice(SmDevice* Context, DdExtension* Extension) {
    // Caller: device creation, PASSIVE_LEVEL; the context is zeroed. The port records' locks and
    // events live as long as the device.
    Context->Extension = Extension;
    for (ULONG i = 0; i < SM_MAX_PORTS; i++) {
        SmPort* port = &Context->Ports[i];
        port->Device = Context;
        ExInitializeFastMutex(&port->SendLock);
        KeInitializeEvent(&port->WriteDone, SynchronizationEvent, FALSE);
        KeInitializeEvent(&port->ReadDone, SynchronizationEvent, FALSE);
        KeInitializeEvent(&port->Activated, SynchronizationEvent, FALSE);
    }
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
