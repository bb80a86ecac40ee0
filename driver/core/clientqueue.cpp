// The client record's buffer queues (clientqueue.h). ClientLock held throughout.
#include "core/clientqueue.h"

static inline DdMidiBuffer* BufferAt(DdClient* Client, ULONG Offset) {
    return Offset ? (DdMidiBuffer*)((PUCHAR)Client + Offset) : NULL;
}

static inline ULONG OffsetOf(DdClient* Client, DdMidiBuffer* Buffer) {
    return Buffer ? (ULONG)((PUCHAR)Buffer - (PUCHAR)Client) : 0;
}

BOOLEAN IsClientBuffer(DdClient* Client, DdMidiBuffer* Buffer) {
    ULONG_PTR offset = (ULONG_PTR)((PUCHAR)Buffer - (PUCHAR)Client);
    return (PUCHAR)Buffer > (PUCHAR)Client && offset >= DD_CLIENT_FIRST_BUFFER &&
           offset <= DD_CLIENT_BLOCK_SIZE - sizeof(DdMidiBuffer) &&
           (offset - DD_CLIENT_FIRST_BUFFER) % sizeof(DdMidiBuffer) == 0;
}

DdMidiBuffer* DdClientTakeFree(DdClient* Client) {
    DdMidiBuffer* buffer = Client->FreeList;
    if (buffer) {
        Client->FreeList = BufferAt(Client, buffer->Next);
        buffer->Next = 0;
    }
    return buffer;
}

void DdClientPutFree(DdClient* Client, DdMidiBuffer* Buffer) {
    Buffer->Next = OffsetOf(Client, Client->FreeList);
    Client->FreeList = Buffer;
}

void DdClientAppendReady(DdClient* Client, DdMidiBuffer* Buffer) {
    Buffer->Next = 0;
    if (Client->ReadyTail)
        Client->ReadyTail->Next = OffsetOf(Client, Buffer);
    else
        Client->ReadyHead = Buffer;
    Client->ReadyTail = Buffer;
}

DdMidiBuffer* DdClientTakeReady(DdClient* Client) {
    DdMidiBuffer* buffer = Client->ReadyHead;
    if (buffer) {
        Client->ReadyHead = BufferAt(Client, buffer->Next);
        if (!Client->ReadyHead)
            Client->ReadyTail = NULL;
        buffer->Next = 0;
    }
    return buffer;
}

ULONG DdClientCopyReadyToIrp(DdClient* Client, PIRP Irp) {
    DdMidiBuffer* buffer = DdClientTakeReady(Client);
    ULONG bytes = DD_MIDI_HEADER_BYTES + buffer->Length;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, buffer, bytes);
    DdClientPutFree(Client, buffer);
    return bytes;
}

void FreeCurrentMidiBuffer(DdClient* Client) {
    if (Client->Current) {
        DdClientAppendReady(Client, Client->Current);
        Client->Current = NULL;
    }
}
