// MIDI input parser and distribution to the clients (see parser.h for the locking).
#include "core/parser.h"

#include "core/clientqueue.h"

const UCHAR ChanType[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};
const ULONG RtMsgToCable1 = 0;

// Low nibbles of the system messages that RtMsgToCable1 moves to cable 1: F1 F2 F8 FA FB FC.
#define DD_RT_CABLE1_MASK 0x1D06u

#define DD_SYSEX_FIRST_PIECE 16 // the first piece of a message is F0 and 15 data bytes

static inline ULONG CableWordOf(const DdTb* Tb, ULONG Status) {
    if (RtMsgToCable1 && Status >= 0xF0 && ((DD_RT_CABLE1_MASK >> (Status & 0xF)) & 1))
        return DD_CABLE_1;
    return Tb->Cable;
}

static inline ULONG OpenCountOf(DdExtension* Extension) {
    return (ULONG)InterlockedCompareExchange(&Extension->OpenCount, 0, 0);
}

// Events of one run not yet appended to the clients' buffers wait in a batch, in arrival order.
// The per-byte loop only adds to it; the client list is walked once per batch, and every System
// Exclusive piece and the end of the run hands the batch on first, so the clients see everything
// in arrival order. The count stays a local of the run (in a register).
#define DD_EVENT_BATCH 64

// Event words are little-endian whatever the processor: stored as they are.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "event words are stored little-endian"
#endif

// Appends Count events to every receiving client; a client that runs out of free buffers loses
// the rest of them, the others still get them.
static void AppendEvents(DdExtension* Extension, ULONG Port, const ULONG* Events, ULONG Count) {
    for (DdClient* client = Extension->Clients; client; client = client->Next) {
        if (!(client->Flags & DD_CLIENT_RECEIVING))
            continue;
        const UCHAR* from = (const UCHAR*)Events;
        ULONG left = Count * 4;
        while (left) {
            DdMidiBuffer* buffer = client->Current;
            if (buffer && buffer->Port != Port) {
                FreeCurrentMidiBuffer(client); // one buffer never mixes ports
                buffer = NULL;
            }
            if (!buffer) {
                buffer = DdClientTakeFree(client);
                if (!buffer)
                    break; // this client is not keeping up: it alone loses these events
                buffer->Type = DD_BUF_EVENTS;
                buffer->Port = (USHORT)Port;
                buffer->Reserved = 0;
                buffer->Cable = 0;
                buffer->Length = 0;
                client->Current = buffer;
            }
            ULONG room = DD_MIDI_DATA_BYTES - buffer->Length; // whole events: 240 is 60 of them
            ULONG n = left < room ? left : room;
            RtlCopyMemory(buffer->Data + buffer->Length, from, n);
            buffer->Length = (USHORT)(buffer->Length + n);
            from += n;
            left -= n;
            if (buffer->Length + 4 > DD_MIDI_DATA_BYTES)
                FreeCurrentMidiBuffer(client);
        }
    }
}

static inline void FlushEvents(DdExtension* Extension, ULONG Port, const ULONG* Batch,
                               ULONG* Batched) {
    if (*Batched) {
        AppendEvents(Extension, Port, Batch, *Batched);
        *Batched = 0;
    }
}

static inline void PushEvent(DdExtension* Extension, ULONG Port, ULONG* Batch, ULONG* Batched,
                             ULONG Event) {
    Batch[(*Batched)++] = Event;
    if (*Batched == DD_EVENT_BATCH) {
        AppendEvents(Extension, Port, Batch, DD_EVENT_BATCH);
        *Batched = 0;
    }
}

void DistributeMidi(DdExtension* Extension, ULONG Port, ULONG Event) {
    // Caller: reader thread, ClientLock held.
    AppendEvents(Extension, Port, &Event, 1);
}

void DistributeSysex(DdExtension* Extension, DdTb* Tb, ULONG Type) {
    // Caller: reader thread, ClientLock held.
    DdMidiBuffer* piece = Tb->SysExBuffer;
    if (!piece)
        return;
    for (DdClient* client = Extension->Clients; client; client = client->Next) {
        if (!(client->Flags & DD_CLIENT_RECEIVING))
            continue;
        // Events collected so far go first, keeping the arrival order.
        FreeCurrentMidiBuffer(client);
        DdMidiBuffer* buffer = DdClientTakeFree(client);
        if (!buffer)
            continue; // dropped for this client only
        RtlCopyMemory(buffer->Data, piece->Data, piece->Length);
        buffer->Type = (USHORT)Type;
        buffer->Port = Tb->Port;
        buffer->Reserved = 0;
        buffer->Cable = (USHORT)(Tb->Cable >> 24);
        buffer->Length = piece->Length;
        DdClientAppendReady(client, buffer);
    }
}

void DispatchBuffersToClients(DdExtension* Extension) {
    // Caller: reader thread, ClientLock held. Takes the cancel spin lock per client; completes
    // each read after releasing it.
    for (DdClient* client = Extension->Clients; client; client = client->Next) {
        KIRQL irql;
        PIRP done = NULL;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = client->PendingRead;
        if (irp) {
            FreeCurrentMidiBuffer(client);
            if (client->ReadyHead) {
                // Under the cancel spin lock the cancel routine has not run for a read that is
                // still pending, so the routine is ours to clear.
                IoSetCancelRoutine(irp, NULL);
                client->PendingRead = NULL;
                irp->IoStatus.Information = DdClientCopyReadyToIrp(client, irp);
                irp->IoStatus.Status = STATUS_SUCCESS;
                done = irp;
            }
        }
        IoReleaseCancelSpinLock(irql);
        if (done)
            IoCompleteRequest(done, IO_SOUND_INCREMENT);
    }
}

DdMidiBuffer* DdGetSysExBuffer(DdExtension* Extension) {
    // Caller: reader thread, ClientLock held.
    UNREFERENCED_PARAMETER(Extension);
    DdMidiBuffer* buffer =
        (DdMidiBuffer*)ExAllocatePoolWithTag(NonPagedPool, sizeof(DdMidiBuffer), DD_POOL_TAG);
    if (buffer)
        RtlZeroMemory(buffer, DD_MIDI_HEADER_BYTES);
    return buffer;
}

void DdReleaseSysExBuffer(DdExtension* Extension, DdMidiBuffer** Buffer) {
    // Caller: reader thread or port close, PASSIVE_LEVEL.
    UNREFERENCED_PARAMETER(Extension);
    if (*Buffer) {
        ExFreePoolWithTag(*Buffer, DD_POOL_TAG);
        *Buffer = NULL;
    }
}

void DdPrepareTb(DdExtension* Extension, DdTb* Tb, ULONG Port) {
    // Caller: transport, port open, PASSIVE_LEVEL; the port's reader thread is not running.
    UNREFERENCED_PARAMETER(Extension);
    Tb->RunningStatus = 0;
    Tb->InSysEx = 0;
    Tb->SysExBuffer = NULL;
    Tb->SpareSysExBuffer = NULL;
    Tb->PendingData = 0xFF;
    Tb->CableSelect = 0;
    Tb->Cable = DD_CABLE_1;
    Tb->Port = (UCHAR)Port;
}

void DdReleaseTb(DdExtension* Extension, DdTb* Tb) {
    // Caller: transport, port close, PASSIVE_LEVEL; the port's reader thread has ended.
    DdReleaseSysExBuffer(Extension, &Tb->SysExBuffer);
    DdReleaseSysExBuffer(Extension, &Tb->SpareSysExBuffer);
    Tb->InSysEx = 0;
}

// A status byte (80..F7) ends an open System Exclusive message: F7 completes it (unless the
// interface layer consumes it), anything else breaks it off.
static void EndSysEx(DdExtension* Extension, DdTb* Tb, UCHAR Status) {
    DdMidiBuffer* buffer = Tb->SysExBuffer;
    if (buffer) {
        if (Status == 0xF7) {
            // A full piece was handed on at once, so there is always room for F7.
            buffer->Data[buffer->Length] = 0xF7;
            buffer->Length = (USHORT)(buffer->Length + 1);
            DdDriverInfo* info = &Extension->Info;
            if (!info->PrivateSysEx ||
                !info->PrivateSysEx(Extension->Context, buffer->Data, buffer->Length))
                DistributeSysex(Extension, Tb, DD_BUF_SYSEX_END);
        } else {
            DistributeSysex(Extension, Tb, DD_BUF_SYSEX_BROKEN);
        }
        // The next message takes it rather than a round trip to pool.
        if (!Tb->SpareSysExBuffer) {
            Tb->SpareSysExBuffer = buffer;
            Tb->SysExBuffer = NULL;
        }
        DdReleaseSysExBuffer(Extension, &Tb->SysExBuffer);
    }
    Tb->InSysEx = 0;
}

static void ParseStatus(DdExtension* Extension, DdTb* Tb, UCHAR Status) {
    Tb->PendingData = 0xFF;
    Tb->CableSelect = 0;
    if (Tb->InSysEx) {
        EndSysEx(Extension, Tb, Status);
        if (Status == 0xF7)
            return;
    }
    if (Status == 0xF0) {
        Tb->InSysEx = 1;
        DdMidiBuffer* buffer = Tb->SpareSysExBuffer;
        Tb->SpareSysExBuffer = NULL;
        if (buffer)
            RtlZeroMemory(buffer, DD_MIDI_HEADER_BYTES); // as a fresh one starts
        else
            buffer = DdGetSysExBuffer(Extension);
        if (buffer) {
            buffer->Data[0] = 0xF0;
            buffer->Length = 1;
        }
        Tb->SysExBuffer = buffer; // none: the message is tracked and dropped
    } else if (Status == 0xF5) {
        Tb->CableSelect = 1;
    } else if (Status == 0xF4 || Status == 0xF6) {
        // A whole message by itself (tune request, undefined F4): delivered at once. It ends
        // running status, so a stray data byte after it is dropped rather than glued to it.
        Tb->RunningStatus = 0;
        DistributeMidi(Extension, Tb->Port, Status | CableWordOf(Tb, Status));
    } else {
        Tb->RunningStatus = Status;
    }
}

// Length of the run of data bytes (below 80) at Bytes, at most Count: eight bytes at a time while
// none of them has its top bit set, then byte by byte.
static inline ULONG DataRun(const UCHAR* Bytes, ULONG Count) {
    ULONG n = 0;
    for (; n + 8 <= Count; n += 8) {
        ULONG64 eight;
        __builtin_memcpy(&eight, Bytes + n, 8);
        if (eight & 0x8080808080808080ull)
            break;
    }
    while (n < Count && Bytes[n] < 0x80)
        n++;
    return n;
}

// Data bytes inside System Exclusive: takes the run of data bytes at Index (at most Count, at
// least one) into the collection buffer, handing on each full piece. Answers the bytes taken.
static ULONG CollectSysEx(DdExtension* Extension, DdTb* Tb, ULONG Index, ULONG Count) {
    const UCHAR* bytes = Tb->Buffer + Index; // a run never wraps: Index + Count <= the end
    DdMidiBuffer* buffer = Tb->SysExBuffer;
    ULONG room = Count;
    if (buffer) {
        // The first piece is F0 and 15 data bytes, later ones fill the buffer. After a piece was
        // handed on, Data[0] still holds its first byte until overwritten.
        ULONG limit =
            buffer->Length && buffer->Data[0] == 0xF0 ? DD_SYSEX_FIRST_PIECE : DD_MIDI_DATA_BYTES;
        if (limit - buffer->Length < room)
            room = limit - buffer->Length;
    }
    ULONG taken = 1 + DataRun(bytes + 1, room - 1);
    if (!buffer)
        return taken; // no collection buffer: the message is dropped
    RtlCopyMemory(buffer->Data + buffer->Length, bytes, taken);
    buffer->Length = (USHORT)(buffer->Length + taken);
    if (buffer->Length == DD_MIDI_DATA_BYTES ||
        (buffer->Length == DD_SYSEX_FIRST_PIECE && buffer->Data[0] == 0xF0)) {
        DistributeSysex(Extension, Tb, DD_BUF_SYSEX_PART);
        buffer->Length = 0;
    }
    return taken;
}

// The data byte after F5: the new input cable.
static void SelectCable(DdExtension* Extension, DdTb* Tb, UCHAR Byte) {
    Tb->CableSelect = 0;
    if (Extension->Info.ChangeCable)
        Extension->Info.ChangeCable(Extension->Context, Tb, Byte, Tb->Cable >> 24);
    Tb->Cable = (ULONG)Byte << 24;
}

// The parse state the common case needs, held in registers for the length of a run: a data
// byte under running status outside System Exclusive and cable selection. Reloaded from the
// DdTb after every byte that changes it.
struct DdFastState {
    ULONG Status;    // running status, 0 = none
    ULONG DataCount; // its data bytes
    ULONG Cable;     // cable word for its events
    BOOLEAN Plain;   // neither inside System Exclusive nor after F5
};

static inline void LoadFastState(const DdTb* Tb, DdFastState* State) {
    State->Status = Tb->RunningStatus & 0xFF;
    State->DataCount = DdStatusDataCount(State->Status);
    State->Cable = CableWordOf(Tb, State->Status);
    State->Plain = !Tb->InSysEx && !Tb->CableSelect;
}

void ParseInputBuffer(DdExtension* Extension, DdTb* Tb) {
    // Caller: the port's reader thread, PASSIVE_LEVEL. Takes ClientLock for the whole run.
    if (OpenCountOf(Extension) == 0)
        return;
    ExAcquireFastMutex(&Extension->ClientLock);
    ULONG last = Tb->EndIndex < DD_TB_BUFFER_SIZE ? Tb->EndIndex : DD_TB_BUFFER_SIZE;
    ULONG first = Tb->ReadIndex % DD_TB_BUFFER_SIZE;
    // Exactly the bytes received, a full buffer included; the index wraps to 0 after it.
    const UCHAR* next = Tb->Buffer + first;
    const UCHAR* end = Tb->Buffer + (last > first ? last : first);
    ULONG port = Tb->Port;
    UCHAR pending = Tb->PendingData;
    DdFastState fast;
    LoadFastState(Tb, &fast);
    ULONG batch[DD_EVENT_BATCH], batched = 0;
    while (next < end) {
        UCHAR byte = *next;
        if (byte < 0x80 && fast.Plain) {
            // A run of data bytes under running status: the path of nearly every byte.
            if (fast.DataCount == 2) {
                // The second byte of a pair begun in an earlier read or before a real-time byte,
                // then whole pairs, then perhaps a first byte whose second is still to come.
                if (pending != 0xFF) {
                    PushEvent(Extension, port, batch, &batched,
                              fast.Status | (ULONG)pending << 8 | (ULONG)*next++ << 16 |
                                  fast.Cable);
                    pending = 0xFF;
                }
                for (; end - next >= 2 && next[0] < 0x80 && next[1] < 0x80; next += 2)
                    PushEvent(Extension, port, batch, &batched,
                              fast.Status | (ULONG)next[0] << 8 | (ULONG)next[1] << 16 |
                                  fast.Cable);
                if (next < end && *next < 0x80)
                    pending = *next++;
            } else if (fast.Status) {
                for (; next < end && *next < 0x80; next++)
                    PushEvent(Extension, port, batch, &batched,
                              fast.Status | (ULONG)*next << 8 | fast.Cable);
            } else {
                // No running status yet: nothing to attach them to.
                while (next < end && *next < 0x80)
                    next++;
            }
        } else if (byte >= 0xF8) {
            // Real-time: touches no other state; active sensing stays here.
            if (byte != 0xFE)
                PushEvent(Extension, port, batch, &batched, byte | CableWordOf(Tb, byte));
            next++;
        } else if (byte < 0x80 && Tb->InSysEx) {
            FlushEvents(Extension, port, batch, &batched);
            next += CollectSysEx(Extension, Tb, (ULONG)(next - Tb->Buffer), (ULONG)(end - next));
        } else {
            // A status byte, or the cable number after F5. The events before it go first: a
            // status may deliver at once (F4, F6) or hand on the last piece of System Exclusive.
            FlushEvents(Extension, port, batch, &batched);
            Tb->PendingData = pending;
            if (byte & 0x80)
                ParseStatus(Extension, Tb, byte);
            else
                SelectCable(Extension, Tb, byte);
            pending = Tb->PendingData;
            LoadFastState(Tb, &fast);
            next++;
        }
    }
    FlushEvents(Extension, port, batch, &batched);
    ULONG index = (ULONG)(next - Tb->Buffer) % DD_TB_BUFFER_SIZE;
    Tb->PendingData = pending;
    Tb->ReadIndex = index;
    DispatchBuffersToClients(Extension);
    ExReleaseFastMutex(&Extension->ClientLock);
}
