// The client record and its buffer queues: a free list, the Current buffer being filled and the
// Ready queue of filled buffers. The parser (parser.h) fills buffers; read requests (clients.h)
// hand them out one at a time. Both work on them with the device's ClientLock held (clients.h
// states which lock guards what).
#pragma once

#include "core/dd.h"

#define DD_CLIENT_BLOCK_SIZE 2048
#define DD_CLIENT_BUFFERS 7
#define DD_CLIENT_RECEIVING 0x1 // set by the first read that had to wait

// The client record; its buffers follow it inside the same block. A buffer's Next field holds the
// byte offset of the next buffer in its list from the start of the block (0 = end of list).
struct DdClient {
    DdClient* Next;          // next client of the device (newest first)
    DdExtension* Extension;  // owning device
    ULONG Flags;             // DD_CLIENT_RECEIVING
    DdMidiBuffer* FreeList;  // free buffers (LIFO)
    DdMidiBuffer* Current;   // buffer being filled with events, or none
    DdMidiBuffer* ReadyHead; // filled buffers, oldest first
    DdMidiBuffer* ReadyTail;
    PIRP PendingRead; // the one waiting read, or none
};

// The record takes the first 256 bytes of the block, the buffers the rest.
#define DD_CLIENT_FIRST_BUFFER 256
static_assert(sizeof(DdClient) <= DD_CLIENT_FIRST_BUFFER, "client record overlaps its buffers");
static_assert(DD_CLIENT_FIRST_BUFFER + DD_CLIENT_BUFFERS * sizeof(DdMidiBuffer) ==
                  DD_CLIENT_BLOCK_SIZE,
              "client block layout");

// ClientLock held: the buffer lists.
DdMidiBuffer* DdClientTakeFree(DdClient* Client);
void DdClientPutFree(DdClient* Client, DdMidiBuffer* Buffer);
void DdClientAppendReady(DdClient* Client, DdMidiBuffer* Buffer);
DdMidiBuffer* DdClientTakeReady(DdClient* Client);

// A buffer that really is one of the client's own (a damaged list is caught before it is used).
BOOLEAN IsClientBuffer(DdClient* Client, DdMidiBuffer* Buffer);

// ClientLock and the cancel spin lock held. Copies the head of the Ready queue into the read's
// system buffer (header and used data), returns the buffer to the free list and answers the
// number of bytes copied.
ULONG DdClientCopyReadyToIrp(DdClient* Client, PIRP Irp);

// ClientLock held. Moves the client's Current buffer, if any, to the tail of its Ready queue.
void FreeCurrentMidiBuffer(DdClient* Client);
