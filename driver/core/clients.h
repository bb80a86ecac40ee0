// Clients of the device and the create, close, cleanup, read and write dispatch routines.
//
// Every open of the device makes a client: one 2048-byte pool block holding this record and
// DD_CLIENT_BUFFERS DdMidiBuffers, recycled between the parser (parser.h), which fills them, and
// read requests, which hand them out one at a time. The first successful open opens the serial
// port(s) through the lower layers; the last close closes them.
//
// Which lock guards what:
//   OpenMutex (kernel mutex)   OpenCount, opening/closing the ports, the sub-device values,
//                              activation changes and the removal's teardown. Taken by
//                              DdAllocatePort, DdFreePort, DdActivatePort and DdRemoveClients,
//                              never with ClientLock held. OpenCount and Removed are changed with
//                              interlocked operations so that reader threads and plays may read
//                              them without the mutex. While OpenMutex is held no other thread
//                              opens, closes or switches a port: activation never meets a
//                              half-opened or half-closed one.
//   ClientLock (fast mutex)    the client list, each file object's FsContext link, and every
//                              client's Flags, FreeList, Current and Ready queue. Held by a whole
//                              parser run and by DdRead, so a read and a run never work on one
//                              client's buffers at the same time.
//   cancel spin lock           each client's PendingRead (set by DdRead, cleared by the parser's
//                              dispatch step, the cancel routine, cleanup and close). Always taken
//                              inside ClientLock when both are held.
// Requests are completed after every lock is released.
#pragma once

#include "core/clientqueue.h"

// ClientLock held. Allocates a zeroed client with its buffers on the free list and pushes it on
// the device's list; none when pool is short.
DdClient* AllocateClient(DdExtension* Extension);

// ClientLock held. Unlinks the client from its device and frees its block. The client must have
// no pending read.
void ReleaseClient(DdClient* Client);

// PASSIVE_LEVEL, ClientLock not held; takes OpenMutex. Counts an open; the first opens the
// port(s) and publishes the sub-devices. Answers OpenCount afterwards, 0 on failure.
ULONG DdAllocatePort(DdExtension* Extension);

// PASSIVE_LEVEL, ClientLock not held; takes OpenMutex. Counts a close; the last closes the
// port(s). Answers TRUE.
BOOLEAN DdFreePort(DdExtension* Extension);

// PASSIVE_LEVEL, no lock of ours held; takes OpenMutex. While the port(s) are open (OpenCount
// above 0, device not removed) switches the interfaces to active (On) or inactive when they are
// not already so; answers whether they were active before.
BOOLEAN DdActivatePort(DdExtension* Extension, BOOLEAN On);

// Device removal, PASSIVE_LEVEL, no lock of ours held; takes OpenMutex, then ClientLock and the
// cancel spin lock. Marks the device removed, closes the port(s) for good and ends every waiting
// read. Clients stay until their handles close; their reads then complete at once and their
// plays send nothing.
void DdRemoveClients(DdExtension* Extension);

// The cancel routine of a waiting read: the system calls it at DISPATCH_LEVEL with the cancel
// spin lock held; it releases the lock and completes the read with STATUS_CANCELLED.
DRIVER_CANCEL DdCancelIrp;
