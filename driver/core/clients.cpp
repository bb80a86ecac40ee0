// Clients and the create, close, cleanup, read and write dispatch routines (locking: clients.h).
#include "core/clients.h"

//
// Clients
//

DdClient* AllocateClient(DdExtension* Extension) {
    // Caller: DdCreate, PASSIVE_LEVEL, ClientLock held.
    DdClient* client =
        (DdClient*)ExAllocatePoolWithTag(NonPagedPool, DD_CLIENT_BLOCK_SIZE, DD_POOL_TAG);
    if (!client)
        return NULL;
    RtlZeroMemory(client, DD_CLIENT_BLOCK_SIZE);
    client->Extension = Extension;
    DdMidiBuffer* buffers = (DdMidiBuffer*)((PUCHAR)client + DD_CLIENT_FIRST_BUFFER);
    for (ULONG i = 0; i < DD_CLIENT_BUFFERS; i++)
        DdClientPutFree(client, &buffers[i]); // the last carved ends up first
    client->Next = Extension->Clients;
    Extension->Clients = client;
    return client;
}

void ReleaseClient(DdClient* Client) {
    // Caller: DdCreate or DdClose, PASSIVE_LEVEL, ClientLock held.
    DdClient** link = &Client->Extension->Clients;
    while (*link && *link != Client)
        link = &(*link)->Next;
    if (*link)
        *link = Client->Next;
    ExFreePoolWithTag(Client, DD_POOL_TAG);
}

// Detaches the client's waiting read so that its caller can complete it. ClientLock and the
// cancel spin lock held. None when no read waits or the system is cancelling it already (the
// cancel routine then completes it).
static PIRP TakePendingRead(DdClient* Client) {
    PIRP irp = Client->PendingRead;
    if (!irp)
        return NULL;
    Client->PendingRead = NULL;
    return IoSetCancelRoutine(irp, NULL) ? irp : NULL;
}

static void CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static ULONG AppendDecimal(char* Text, ULONG At, ULONG Size, ULONG Value) {
    char digits[12];
    ULONG n = 0;
    do {
        digits[n++] = (char)('0' + Value % 10);
        Value /= 10;
    } while (Value);
    while (n && At + 1 < Size)
        Text[At++] = digits[--n];
    Text[At] = 0;
    return At;
}

static ULONG AppendText(char* Text, ULONG At, ULONG Size, const char* Source, ULONG Max) {
    for (ULONG i = 0; i < Max && Source[i] && At + 1 < Size; i++)
        Text[At++] = Source[i];
    Text[At] = 0;
    return At;
}

// ANSI to a zero-terminated wide string of at most 200 bytes.
#define DD_WIDE_VALUE_CHARS 100
static void Widen(WCHAR* Wide, const char* Text) {
    ULONG i = 0;
    for (; Text[i] && i + 1 < DD_WIDE_VALUE_CHARS; i++)
        Wide[i] = (WCHAR)(UCHAR)Text[i];
    Wide[i] = 0;
}

// Writes the value "SubDevice<i>" = "<id>;<name>" for every sub-device the lower layer reports
// and "NumSubDevices". OpenMutex held.
static void PublishSubDevices(DdExtension* Extension) {
    // At most as many as the capabilities can report, whatever the lower layer answers.
    LONG (*query)(SmDevice*, LONG, DdHardwareInfo*) = Extension->Info.GetHardwareInfo;
    LONG count = 0;
    while (query && count < DD_MAX_SUB_DEVICES) {
        DdHardwareInfo info;
        RtlZeroMemory(&info, sizeof(info));
        if (query(Extension->Context, count, &info) < 0)
            break;
        char name[32], text[DD_WIDE_VALUE_CHARS];
        AppendDecimal(name, AppendText(name, 0, sizeof(name), "SubDevice", 9), sizeof(name),
                      (ULONG)count);
        ULONG at = AppendDecimal(text, 0, sizeof(text), (USHORT)info.Id);
        at = AppendText(text, at, sizeof(text), ";", 1);
        AppendText(text, at, sizeof(text), info.Name, sizeof(info.Name));
        WCHAR wideName[DD_WIDE_VALUE_CHARS], wideText[DD_WIDE_VALUE_CHARS];
        Widen(wideName, name);
        Widen(wideText, text);
        DdSetDeviceString(Extension, wideName, wideText);
        count++;
    }
    WCHAR wideCount[DD_WIDE_VALUE_CHARS];
    Widen(wideCount, "NumSubDevices");
    DdSetDeviceValue(Extension, wideCount, (ULONG)count);
}

ULONG DdAllocatePort(DdExtension* Extension) {
    // Caller: DdCreate, PASSIVE_LEVEL, ClientLock not held. Takes OpenMutex; the first open holds
    // it for the whole port search.
    DdDriverInfo* info = &Extension->Info;
    if (!info->OpenPort || !info->ClosePort || !info->DeviceActivate)
        return 0;
    if (info->OpenCheck && !info->OpenCheck(Extension->Context, 1))
        return 0;
    KeWaitForSingleObject(&Extension->OpenMutex, Executive, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&Extension->Removed, 0, 0)) {
        KeReleaseMutex(&Extension->OpenMutex, FALSE);
        return 0; // the ports are gone for good
    }
    // OpenCount changes only under OpenMutex, always interlocked: reader threads look at it
    // without the mutex.
    LONG count = InterlockedIncrement(&Extension->OpenCount);
    if (count == 1) {
        RtlZeroMemory(Extension->InCableTable, DdInCableEntries(info) * sizeof(DdInCableState));
        RtlZeroMemory(Extension->OutTable, DdOutCableEntries(info) * sizeof(DdOutCableState));
        if (info->OpenPort(Extension->Context)) {
            PublishSubDevices(Extension);
        } else {
            InterlockedExchange(&Extension->OpenCount, 0);
            count = 0;
        }
    }
    KeReleaseMutex(&Extension->OpenMutex, FALSE);
    return (ULONG)count;
}

BOOLEAN DdFreePort(DdExtension* Extension) {
    // Caller: DdClose, PASSIVE_LEVEL, ClientLock not held. Takes OpenMutex.
    KeWaitForSingleObject(&Extension->OpenMutex, Executive, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&Extension->OpenCount, 0, 0) > 0 &&
        InterlockedDecrement(&Extension->OpenCount) == 0)
        Extension->Info.ClosePort(Extension->Context);
    KeReleaseMutex(&Extension->OpenMutex, FALSE);
    return TRUE;
}

BOOLEAN DdActivatePort(DdExtension* Extension, BOOLEAN On) {
    // Caller: control request or power request, PASSIVE_LEVEL, no lock of ours held. Takes
    // OpenMutex: a port being opened or closed is never switched halfway.
    DdDriverInfo* info = &Extension->Info;
    if (!info->DeviceActivate)
        return FALSE;
    KeWaitForSingleObject(&Extension->OpenMutex, Executive, KernelMode, FALSE, NULL);
    BOOLEAN active = info->DeviceActivate(Extension->Context, DD_ACTIVATE_QUERY) == DD_ACTIVATE_ON;
    if (InterlockedCompareExchange(&Extension->OpenCount, 0, 0) > 0 &&
        !InterlockedCompareExchange(&Extension->Removed, 0, 0) && (On != FALSE) != active)
        info->DeviceActivate(Extension->Context, On ? DD_ACTIVATE_ON : DD_ACTIVATE_OFF);
    KeReleaseMutex(&Extension->OpenMutex, FALSE);
    return active;
}

// Takes one waiting read of any client, or none. ClientLock held.
static PIRP TakeAnyPendingRead(DdExtension* Extension) {
    PIRP irp = NULL;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (DdClient* client = Extension->Clients; client && !irp; client = client->Next)
        irp = TakePendingRead(client);
    IoReleaseCancelSpinLock(irql);
    return irp;
}

void DdRemoveClients(DdExtension* Extension) {
    // Caller: device removal, PASSIVE_LEVEL, no lock of ours held.
    InterlockedExchange(&Extension->Removed, 1);
    KeWaitForSingleObject(&Extension->OpenMutex, Executive, KernelMode, FALSE, NULL);
    InterlockedExchange(&Extension->OpenCount, 0); // later closes have nothing to count
    if (Extension->Info.FreeDevice)
        Extension->Info.FreeDevice(Extension->Context);
    KeReleaseMutex(&Extension->OpenMutex, FALSE);
    // Reads that start from now on see Removed under ClientLock and complete at once.
    for (;;) {
        ExAcquireFastMutex(&Extension->ClientLock);
        PIRP irp = TakeAnyPendingRead(Extension);
        ExReleaseFastMutex(&Extension->ClientLock);
        if (!irp)
            break;
        CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
}

//
// IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP
//

// Ends the waiting read of the file object's client as cancelled; with Detach the client is also
// unhooked from the file object and freed (close). TRUE when the file object had a client.
// Caller: close and cleanup, PASSIVE_LEVEL; takes ClientLock, then the cancel spin lock.
static BOOLEAN EndClientRead(DdExtension* Extension, PFILE_OBJECT File, BOOLEAN Detach) {
    PIRP orphan = NULL;
    ExAcquireFastMutex(&Extension->ClientLock);
    DdClient* client = File ? (DdClient*)File->FsContext : NULL;
    if (client) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        orphan = TakePendingRead(client); // a read outliving cleanup must not outlive the block
        if (Detach)
            File->FsContext = NULL; // the cancel routine looks the client up here
        IoReleaseCancelSpinLock(irql);
        if (Detach)
            ReleaseClient(client);
    }
    ExReleaseFastMutex(&Extension->ClientLock);

    if (orphan)
        CompleteRequest(orphan, STATUS_CANCELLED, 0);
    return client != NULL;
}

NTSTATUS DdCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager, PASSIVE_LEVEL. Takes ClientLock, then (released) OpenMutex.
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    ExAcquireFastMutex(&extension->ClientLock);
    DdClient* client = AllocateClient(extension);
    ExReleaseFastMutex(&extension->ClientLock);

    NTSTATUS status = STATUS_NOT_FOUND;
    if (client && DdAllocatePort(extension)) {
        ExAcquireFastMutex(&extension->ClientLock);
        file->FsContext = client;
        ExReleaseFastMutex(&extension->ClientLock);
        status = STATUS_SUCCESS;
    } else if (client) {
        ExAcquireFastMutex(&extension->ClientLock);
        ReleaseClient(client);
        ExReleaseFastMutex(&extension->ClientLock);
    }
    CompleteRequest(Irp, status, 0);
    return status;
}

NTSTATUS DdClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager, PASSIVE_LEVEL. Takes ClientLock and the cancel spin lock, then
    // (released) OpenMutex.
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (EndClientRead(extension, file, TRUE))
        DdFreePort(extension); // one close per successful open
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

NTSTATUS DdCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager when the last handle of a file object closes, PASSIVE_LEVEL. Takes
    // ClientLock and the cancel spin lock. A waiting read ends here: otherwise it would hold the
    // file object, and with it the ports, open until input happened to arrive.
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    EndClientRead(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject, FALSE);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

//
// IRP_MJ_READ, IRP_MJ_WRITE
//

VOID DdCancelIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager, DISPATCH_LEVEL, cancel spin lock held (released here).
    UNREFERENCED_PARAMETER(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    DdClient* client = file ? (DdClient*)file->FsContext : NULL;
    if (client && client->PendingRead == Irp)
        client->PendingRead = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS DdRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager, PASSIVE_LEVEL. Takes ClientLock, then the cancel spin lock.
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    if (stack->Parameters.Read.Length != sizeof(DdMidiBuffer)) {
        CompleteRequest(Irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        return STATUS_INFO_LENGTH_MISMATCH;
    }

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR bytes = 0;
    BOOLEAN completeHere = TRUE;
    KIRQL irql;
    ExAcquireFastMutex(&extension->ClientLock);
    DdClient* client = stack->FileObject ? (DdClient*)stack->FileObject->FsContext : NULL;
    IoAcquireCancelSpinLock(&irql);
    if (client && InterlockedCompareExchange(&extension->Removed, 0, 0)) {
        status = STATUS_DELETE_PENDING; // no input will ever come
    } else if (client && !client->PendingRead) {
        // A read takes whatever has been collected so far.
        FreeCurrentMidiBuffer(client);
        if (client->ReadyHead && !IsClientBuffer(client, client->ReadyHead)) {
            client->ReadyHead = client->ReadyTail = NULL; // damaged queue: drop it
        } else if (client->ReadyHead) {
            bytes = DdClientCopyReadyToIrp(client, Irp);
            status = STATUS_SUCCESS;
        } else {
            client->Flags |= DD_CLIENT_RECEIVING;
            client->PendingRead = Irp;
            IoMarkIrpPending(Irp);
            IoSetCancelRoutine(Irp, DdCancelIrp);
            status = STATUS_PENDING;
            completeHere = FALSE;
            if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL)) {
                // Cancelled before the routine was in place: nobody else will complete it.
                client->PendingRead = NULL;
                completeHere = TRUE;
            }
        }
    }
    IoReleaseCancelSpinLock(irql);
    ExReleaseFastMutex(&extension->ClientLock);

    if (status == STATUS_PENDING) {
        if (completeHere)
            CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    CompleteRequest(Irp, status, bytes);
    return status;
}

NTSTATUS DdWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: I/O manager, PASSIVE_LEVEL. Output goes through IOCTL_DD_MIDI_PLAY; writes are
    // accepted and ignored.
    UNREFERENCED_PARAMETER(DeviceObject);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}
