// MIDI input parser and distribution to the clients (see parser.h for the locking).
#include "core/parser.h"

#include "core/clients.h"

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

static inline void StoreEvent(DdMidiBuffer* Buffer, ULONG Event) {
    // Events are little-endian words whatever the processor.
    UCHAR* slot = Buffer->Data + Buffer->Length;
    slot[0] = (UCHAR)Event;
    slot[1] = (UCHAR)(Event >> 8);
    slot[2] = (UCHAR)(Event >> 16);
    slot[3] = (UCHAR)(Event >> 24);
    Buffer->Length = (USHORT)(Buffer->Length + 4);
}

void FreeCurrentMidiBuffer(DdClient* Client) {
    // Caller: ClientLock held.
    if (Client->Current) {
        DdClientAppendReady(Client, Client->Current);
        Client->Current = NULL;
    }
}

// Appends one event to every receiving client. Inlined into the parser's loop: this is the
// path every short message takes.
static inline void AppendEvent(DdExtension* Extension, ULONG Port, ULONG Event) {
    for (DdClient* client = Extension->Clients; client; client = client->Next) {
        if (!(client->Flags & DD_CLIENT_RECEIVING))
            continue;
        DdMidiBuffer* buffer = client->Current;
        if (buffer && buffer->Port != Port) {
            // One buffer never mixes ports.
            FreeCurrentMidiBuffer(client);
            buffer = NULL;
        }
        if (!buffer) {
            buffer = DdClientTakeFree(client);
            if (!buffer)
                continue; // this client is not keeping up: it alone loses the event
            buffer->Type = DD_BUF_EVENTS;
            buffer->Port = (USHORT)Port;
            buffer->Reserved = 0;
            buffer->Cable = 0;
            buffer->Length = 0;
            client->Current = buffer;
        }
        StoreEvent(buffer, Event);
        if (buffer->Length + 4 > DD_MIDI_DATA_BYTES)
            FreeCurrentMidiBuffer(client);
    }
}

void DistributeMidi(DdExtension* Extension, ULONG Port, ULONG Event) {
    // Caller: reader thread, ClientLock held.
    AppendEvent(Extension, Port, Event);
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
    Tb->PendingData = 0xFF;
    Tb->CableSelect = 0;
    Tb->Cable = DD_CABLE_1;
    Tb->Port = (UCHAR)Port;
}

void DdReleaseTb(DdExtension* Extension, DdTb* Tb) {
    // Caller: transport, port close, PASSIVE_LEVEL; the port's reader thread has ended.
    DdReleaseSysExBuffer(Extension, &Tb->SysExBuffer);
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
        DdMidiBuffer* buffer = DdGetSysExBuffer(Extension);
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
        AppendEvent(Extension, Tb->Port, Status | CableWordOf(Tb, Status));
    } else {
        Tb->RunningStatus = Status;
    }
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
    ULONG taken = 1;
    while (taken < room && bytes[taken] < 0x80)
        taken++;
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
    ULONG end = Tb->EndIndex < DD_TB_BUFFER_SIZE ? Tb->EndIndex : DD_TB_BUFFER_SIZE;
    ULONG index = Tb->ReadIndex % DD_TB_BUFFER_SIZE;
    // Exactly the bytes received, a full buffer included; the index wraps to 0 after it.
    ULONG count = end > index ? end - index : 0;
    ULONG port = Tb->Port;
    UCHAR pending = Tb->PendingData;
    DdFastState fast;
    LoadFastState(Tb, &fast);
    while (count) {
        UCHAR byte = Tb->Buffer[index];
        ULONG taken = 1;
        if (byte < 0x80 && fast.Plain) {
            // Data under running status: the path of nearly every byte.
            if (fast.Status && fast.DataCount == 2 && pending == 0xFF) {
                pending = byte;
            } else if (fast.Status && fast.DataCount == 2) {
                AppendEvent(Extension, port,
                            fast.Status | (ULONG)pending << 8 | (ULONG)byte << 16 | fast.Cable);
                pending = 0xFF;
            } else if (fast.Status) {
                AppendEvent(Extension, port, fast.Status | (ULONG)byte << 8 | fast.Cable);
            }
            // else no running status yet: nothing to attach the byte to
        } else if (byte < 0x80 && Tb->InSysEx) {
            taken = CollectSysEx(Extension, Tb, index, count);
        } else if (byte >= 0xF8) {
            // Real-time: touches no other state; active sensing stays here.
            if (byte != 0xFE)
                AppendEvent(Extension, port, byte | CableWordOf(Tb, byte));
        } else {
            // A status byte, or the cable number after F5.
            Tb->PendingData = pending;
            if (byte & 0x80)
                ParseStatus(Extension, Tb, byte);
            else
                SelectCable(Extension, Tb, byte);
            pending = Tb->PendingData;
            LoadFastState(Tb, &fast);
        }
        index = (index + taken) % DD_TB_BUFFER_SIZE;
        count -= taken;
    }
    Tb->PendingData = pending;
    Tb->ReadIndex = index;
    DispatchBuffersToClients(Extension);
    ExReleaseFastMutex(&Extension->ClientLock);
}
