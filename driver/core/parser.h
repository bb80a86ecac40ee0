// MIDI input parser and its distribution to the clients' buffers.
//
// The reader thread of each opened serial port hands every completed read to ParseInputBuffer,
// which frames the byte stream (running status per cable, real-time bytes anywhere, System
// Exclusive, the interface's F5 n cable selection) into 4-byte events and System Exclusive pieces
// and appends them to every receiving client's DdMidiBuffer queue (clientqueue.h). At the end of a
// run the waiting reads are completed with the oldest filled buffer.
//
// Locking (see also clients.h):
//   - ParseInputBuffer takes the device's ClientLock (fast mutex) for the whole run, dispatch step
//     included. DistributeMidi, DistributeSysex, DispatchBuffersToClients and
//     FreeCurrentMidiBuffer are called with ClientLock held: it guards the client list and every
//     client's FreeList, Current and Ready queue.
//   - DispatchBuffersToClients also takes the system cancel spin lock per client for PendingRead.
//   - A DdTb belongs to one reader thread; the interface layer's ChangeCable and PrivateSysEx hooks
//     are called from that thread with ClientLock held.
#pragma once

#include "core/dd.h"

// Size of the serial read area in a DdTb.
#define DD_TB_BUFFER_SIZE 512

// Input parse record, one per serial port (lives in the transport's port record).
struct DdTb {
    UCHAR Buffer[DD_TB_BUFFER_SIZE]; // bytes of the last serial read
    ULONG ReadIndex;                 // next byte to parse, modulo DD_TB_BUFFER_SIZE
    ULONG EndIndex;                  // number of bytes in Buffer
    UCHAR PendingData;               // first data byte of a two-byte message, 0xFF = none
    UCHAR CableSelect;               // non-zero after F5 until the next data byte
    UCHAR Port;                      // serial port index, copied into every buffer
    ULONG Cable;                     // current input cable in the top byte (cable << 24)
    DdMidiBuffer* SpareSysExBuffer;  // an ended message's buffer, kept for the next one
    // The next three are saved and restored per input cable by the interface layer.
    ULONG RunningStatus;       // last status below F8 other than F0, F4, F5, F6; 0 = none
    ULONG InSysEx;             // non-zero inside a System Exclusive message
    DdMidiBuffer* SysExBuffer; // collection buffer of that message, or none
};

// Cable word of cable 1, the input cable after a port opens.
#define DD_CABLE_1 0x01000000u

// Number of data bytes of a status byte, by its high nibble (system messages special-cased by
// DdStatusDataCount).
extern const UCHAR ChanType[16];

// Non-zero: F1, F2, F8, FA, FB and FC are tagged with cable 1 whatever the current cable.
extern const ULONG RtMsgToCable1;

// Data-byte count of a status byte: F1 and F3 take 1, F2 takes 2, other Fx none, channel
// messages as ChanType. Used for input and for the play request's events.
inline ULONG DdStatusDataCount(ULONG Status) {
    Status &= 0xFF;
    if (Status == 0xF1 || Status == 0xF3)
        return 1;
    if (Status == 0xF2)
        return 2;
    return ChanType[Status >> 4];
}

// Reader thread, PASSIVE_LEVEL; takes ClientLock for the run. Parses Tb->Buffer from ReadIndex to
// EndIndex (at most DD_TB_BUFFER_SIZE bytes) unless no client has the port open.
void ParseInputBuffer(DdExtension* Extension, DdTb* Tb);

// ClientLock held. Appends one event to every receiving client; a client without a free buffer
// loses this event, the others still get it.
void DistributeMidi(DdExtension* Extension, ULONG Port, ULONG Event);

// ClientLock held. Copies Tb's collected System Exclusive piece to every receiving client as a
// buffer of the given type (DD_BUF_SYSEX_PART, _END or _BROKEN).
void DistributeSysex(DdExtension* Extension, DdTb* Tb, ULONG Type);

// ClientLock held; takes the cancel spin lock per client. Completes each waiting read with the
// head of its client's Ready queue.
void DispatchBuffersToClients(DdExtension* Extension);

// Reader thread (ClientLock held) or port close. A System Exclusive collection buffer from pool
// (header zeroed), or none; released with DdReleaseSysExBuffer, which clears the holding pointer.
DdMidiBuffer* DdGetSysExBuffer(DdExtension* Extension);
void DdReleaseSysExBuffer(DdExtension* Extension, DdMidiBuffer** Buffer);

// Transport, PASSIVE_LEVEL, when a port opens / closes (its reader thread not running).
void DdPrepareTb(DdExtension* Extension, DdTb* Tb, ULONG Port);
void DdReleaseTb(DdExtension* Extension, DdTb* Tb);
