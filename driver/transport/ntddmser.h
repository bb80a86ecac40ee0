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
//   - A port record's SendLock and events are initialised once, with the device (SmCreateDevice),
//     because a client thread may still hold the lock of a port that has been closed. The
//     serial device, file object and requests are set and cleared under SendLock; a writer that
//     finds them cleared writes nothing.
//
// Writes are bounded: the port's write time-out (SM_WRITE_CONSTANT_MS plus SM_WRITE_PER_BYTE_MS a
// byte) ends a write the interface does not take (CTS held off), and a write the serial driver
// keeps beyond that by SM_WRITE_GRACE_MS more is cancelled. Bytes that did not go out are dropped
// and counted in SmDevice.DroppedBytes; for SM_STALL_HOLD_MS after a timed-out write the port's
// writes are dropped at once, so a stalled interface costs a play, a close or a power request
// about one write time-out, not one per message. The next write after that tries again.
#pragma once

#include "core/dd.h"
#include "core/parser.h"

#define SM_MAX_PORTS 2
#define SM_READ_SIZE 512
#define SM_SEND_CHUNK 256
#define SM_VERSION_AREA_WORDS 8 // 32 bytes cleared at each probe; word 0 is the version
#define SM_SEARCH_LAST_PORT 8   // a failed open from this number on ends the search
#define SM_WRITE_CONSTANT_MS 500
#define SM_WRITE_PER_BYTE_MS 2 // a 256-byte chunk: about a second
#define SM_WRITE_GRACE_MS 500
#define SM_STALL_HOLD_MS 500

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
    LONG CurrentCable;   // last output cable selected; -1 forces a selection
    LONGLONG StallUntil; // interrupt time (100 ns) until which writes are dropped; SendLock
    UCHAR SendBuffer[SM_SEND_CHUNK];
    LONG volatile Version[SM_VERSION_AREA_WORDS]; // Version[0]: firmware version, 0 = none
    DdTb Tb;
};

// The transport context inside the device extension (DdDriverInfo.ContextSize bytes, zeroed).
struct SmDevice {
    DdExtension* Extension;
    LONG volatile NumPorts;     // ports opened and activated, 0 to SM_MAX_PORTS
    PVOID volatile OpeningPort; // the SmPort being opened and probed, or NULL
    LONG volatile DroppedBytes; // output the interface did not take (debug counter)
    SmPort Ports[SM_MAX_PORTS];
};

// State, Stop, Version, NumPorts and OpeningPort are shared between the reader threads and the
// threads that open, close and activate: they are read and written whole, with interlocked
// operations.
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
// PASSIVE_LEVEL; the caller holds Port->SendLock. TRUE when every byte went out; FALSE when the
// port is closed, stalled, or the write failed or timed out (what did not go out is counted).
BOOLEAN SmSendSerialData(SmPort* Port, const UCHAR* Data, ULONG Length, KWAIT_REASON WaitReason);
// PASSIVE_LEVEL, SendLock held. Selects the output cable (F5 n) when it changed; answers the
// cable's index in the port's block of the output table.
ULONG SmSyncCable(SmPort* Port, ULONG Cable);
ULONG SmCloseSinglePort(SmPort* Port);
void SmStopSingleThread(SmPort* Port);
KSTART_ROUTINE SmReaderThread;
// PASSIVE_LEVEL (APC_LEVEL under SendLock). Sends Irp, which the caller owns, to the serial
// driver and waits for it; with TimeoutMs non-zero a request still running after that long is
// cancelled (and then waited for). The completion routine hands the request back, so no
// thread-queued completion is involved. TRUE when the final status is a success code.
BOOLEAN SynchronousTransfer(SmPort* Port, UCHAR MajorFunction, PKEVENT Event, PIRP Irp,
                            PIO_STATUS_BLOCK StatusBlock, KWAIT_REASON WaitReason, PVOID Buffer,
                            ULONG Length, ULONG TimeoutMs);
IO_COMPLETION_ROUTINE SmSyncCompletion;

// PASSIVE_LEVEL; no fast mutex held (the request completes in this thread by a kernel APC). A
// device control to Device, waited for; TimeoutMs 0 waits without limit.
NTSTATUS CallIoctlDriver(ULONG IoControlCode, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength, BOOLEAN Internal, ULONG TimeoutMs);
// PASSIVE_LEVEL. Sleeps Milliseconds.
void DelayThread(ULONG Milliseconds);

// Interface layer (driver/interface): probe and activation of one port; the opening hook.
// PASSIVE_LEVEL; takes the port's SendLock, never held on entry.
LONG SmSingleDeviceActivate(SmPort* Port, LONG Mode);
ULONG MsOpenPort(SmPort* Port);
