// Serial MIDI transport (module ntddmser): finds the serial port(s) the interface answers on,
// configures them, runs one reader thread per port feeding the input parser, and writes MIDI to
// the interface with in-band cable selection and output running status.
//
// Locking:
//   - SmOpenPort, SmClosePort, SmFreeDevice: PASSIVE_LEVEL, called by the device layer with the
//     device's OpenMutex held (never concurrently with each other).
//   - SmSendEvent, SmSendStream: PASSIVE_LEVEL, any client thread; take the port's SendLock.
//     Everything written to a port (events, streams, cable selection, interface messages, the
//     closing sequence) goes out under its SendLock; CurrentCable and the port's output running
//     status are read and changed only under it.
//   - SmReaderThread: the port's own system thread; runs the parser (which takes ClientLock).
#pragma once

#include "core/dd.h"
#include "core/parser.h"

#define SM_MAX_PORTS 2
#define SM_READ_SIZE 512
#define SM_SEND_CHUNK 256
#define SM_VERSION_AREA_WORDS 8 // 32 bytes cleared at each probe; word 0 is the version
#define SM_SEARCH_LAST_PORT 8   // a failed open from this number on ends the search

// SmPort.State
#define SM_STATE_IDLE 0
#define SM_STATE_PROBING 1
#define SM_STATE_ACTIVE 2

struct SmDevice;

struct SmPort {
    SmDevice* Device;
    ULONG SerialNumber; // n of \Device\Serial<n>
    ULONG Index;        // position among the opened ports, copied into the parser's Port
    PVOID Thread;       // referenced thread object of the reader, or NULL
    LONG volatile Stop; // non-zero: the reader ends after its current read
    LONG volatile State;
    PDEVICE_OBJECT SerialDevice;
    PFILE_OBJECT SerialFile;
    PIRP ReadRequest; // reused for every transfer; NULL when the port is closed
    PIRP WriteRequest;
    FAST_MUTEX SendLock;
    KEVENT WriteDone;
    KEVENT ReadDone;
    KEVENT Activated;
    LONG CurrentCable; // last output cable selected; -1 forces a selection
    UCHAR SendBuffer[SM_SEND_CHUNK];
    LONG volatile Version[SM_VERSION_AREA_WORDS]; // Version[0]: firmware version, 0 = none
    DdTb Tb;
};

// The transport context inside the device extension (DdDriverInfo.ContextSize bytes, zeroed).
struct SmDevice {
    DdExtension* Extension;
    ULONG NumPorts;             // ports opened and activated, 0 to SM_MAX_PORTS
    PVOID volatile OpeningPort; // the SmPort being opened and probed, or NULL
    SmPort Ports[SM_MAX_PORTS];
};

// State, Stop, Version and OpeningPort are shared between the reader threads and the threads that
// open, close and activate: they are read and written whole, with interlocked operations.
inline LONG SmReadShared(LONG volatile* Value) {
    return InterlockedCompareExchange(Value, 0, 0);
}
inline void SmWriteShared(LONG volatile* Value, LONG NewValue) {
    InterlockedExchange(Value, NewValue);
}
inline SmPort* SmOpeningPort(SmDevice* Context) {
    return (SmPort*)InterlockedCompareExchangePointer(&Context->OpeningPort, NULL, NULL);
}
inline void SmSetOpeningPort(SmDevice* Context, SmPort* Port) {
    InterlockedExchangePointer(&Context->OpeningPort, Port);
}

// DdDriverInfo entries (see dd.h for the contract).
ULONG SmOpenPort(SmDevice* Context);
ULONG SmClosePort(SmDevice* Context);
ULONG SmCreateDevice(SmDevice* Context, DdExtension* Extension);
ULONG SmFreeDevice(SmDevice* Context);
ULONG SmSendEvent(SmDevice* Context, ULONG Port, ULONG Event, ULONG DataCount);
ULONG SmSendStream(SmDevice* Context, ULONG Port, ULONG Cable, const UCHAR* Data, ULONG Length);
ULONG SmGetCaps(SmDevice* Context, DdCaps* Caps);

// Internal operations shared with the interface layer.
// PASSIVE_LEVEL; the caller holds Port->SendLock. FALSE when the port has no requests or the
// serial driver fails the write.
BOOLEAN SmSendSerialData(SmPort* Port, const UCHAR* Data, ULONG Length, KWAIT_REASON WaitReason);
// PASSIVE_LEVEL, SendLock held. Selects the output cable (F5 n) when it changed; answers the
// cable's index in the port's block of the output table.
ULONG SmSyncCable(SmPort* Port, ULONG Cable);
ULONG SmCloseSinglePort(SmPort* Port);
void SmStopSingleThread(SmPort* Port);
KSTART_ROUTINE SmReaderThread;
BOOLEAN SynchronousTransfer(SmPort* Port, UCHAR MajorFunction, PKEVENT Event, PIRP Irp,
                            PIO_STATUS_BLOCK StatusBlock, KWAIT_REASON WaitReason, PVOID Buffer,
                            ULONG Length);
IO_COMPLETION_ROUTINE SmSyncCompletion;

// PASSIVE_LEVEL, no locks. A device control to Device, waited for; TimeoutMs 0 waits without limit.
NTSTATUS CallIoctlDriver(ULONG IoControlCode, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength, BOOLEAN Internal, ULONG TimeoutMs);
// PASSIVE_LEVEL. Sleeps Milliseconds.
void DelayThread(ULONG Milliseconds);

// Interface layer (driver/interface): probe and activation of one port; the opening hook.
// PASSIVE_LEVEL; takes the port's SendLock, never held on entry.
LONG SmSingleDeviceActivate(SmPort* Port, LONG Mode);
ULONG MsOpenPort(SmPort* Port);
