// Request packets: allocation, sending down a stack, completion with completion routines,
// cancellation with the cancel spin lock, and the requests built for a caller.
#include "ks_io.h"

#include <cstdlib>
#include <deque>
#include <new>

namespace ks {

namespace {

constexpr uint64_t kIrpMagic = 0x4B53495250524543ull;
constexpr size_t kRecordSize = (sizeof(IrpRecord) + 15) & ~(size_t)15;

KSPIN_LOCK gCancelSpinLock = 0;

// Freed packets stay readable for a while, so that a second completion or free is reported
// rather than read from freed memory.
struct Quarantine {
    std::mutex lock;
    std::deque<void*> blocks;
};
Quarantine& TheQuarantine() {
    static Quarantine* quarantine = new Quarantine;
    return *quarantine;
}

void Retire(void* block) {
    Quarantine& q = TheQuarantine();
    std::lock_guard guard(q.lock);
    q.blocks.push_back(block);
    if (q.blocks.size() > 256) {
        IrpRecord* oldest = (IrpRecord*)q.blocks.front();
        oldest->~IrpRecord();
        free(q.blocks.front());
        q.blocks.pop_front();
    }
}

const char* MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE:
            return "IRP_MJ_CLOSE";
        case IRP_MJ_READ:
            return "IRP_MJ_READ";
        case IRP_MJ_WRITE:
            return "IRP_MJ_WRITE";
        case IRP_MJ_DEVICE_CONTROL:
            return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
        case IRP_MJ_CLEANUP:
            return "IRP_MJ_CLEANUP";
        case IRP_MJ_POWER:
            return "IRP_MJ_POWER";
        case IRP_MJ_SYSTEM_CONTROL:
            return "IRP_MJ_SYSTEM_CONTROL";
        case IRP_MJ_PNP:
            return "IRP_MJ_PNP";
        default:
            return "IRP_MJ_?";
    }
}

[[noreturn]] void FailUnmarkedPending(UCHAR major, PDEVICE_OBJECT device) {
    Fail("%s dispatch routine of %p returned STATUS_PENDING without marking the IRP pending "
         "(IoMarkIrpPending)",
         MajorName(major), (void*)device);
}

// The caller's side of a packet built for it: copy back buffered input, report the status,
// signal, release.
void FinishThreaded(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) &&
        !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr &&
        irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (irp->IoStatus.Information > record->userLength)
            Fail("IRP %p completed with %lu bytes for a buffer of %zu", (void*)irp,
                 (unsigned long)irp->IoStatus.Information, record->userLength);
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    auto finish = std::move(record->finish);
    PKTHREAD issuer = record->apcCompletion ? irp->Tail.Overlay.Thread : nullptr;
    PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
    PKEVENT event = irp->UserEvent;
    bool keep = record->keepAfterFinish;
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    if (finish)
        finish(irp);
    record->state = IrpState::Finished;
    if (!keep)
        IoFreeIrp(irp);
    // From here on a kept packet may be released by its owner.
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (file != nullptr)
        DereferenceObject(file);
    if (issuer != nullptr)
        DereferenceObject(issuer);
}

// A thread-queued request completed to the top: its issuing thread finishes it in a kernel APC.
// Run now when that is this thread and it takes APCs (the APC would interrupt it at once), or
// when the issuer has ended; otherwise queue it and wake the issuer if it waits.
void FinishOrQueue(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    PKTHREAD issuer = irp->Tail.Overlay.Thread;
    PKTHREAD self = CurrentThread();
    if (!record->apcCompletion || (issuer == self && TakesApcsNow())) {
        FinishThreaded(irp);
        return;
    }
    std::unique_lock guard(DispatcherLock());
    if (issuer->Ended) {
        guard.unlock();
        FinishThreaded(irp);
        return;
    }
    record->nextApc = nullptr;
    if (issuer->ApcLast != nullptr)
        RecordOf(issuer->ApcLast)->nextApc = irp;
    else
        __atomic_store_n(&issuer->ApcFirst, irp, __ATOMIC_RELEASE);
    issuer->ApcLast = irp;
    if (issuer->WaitObject != nullptr && !issuer->WaitTakesApcs && issuer->WaitInfinite)
        CheckApcDeadlock(issuer, issuer->WaitObject);
    WakeThread(issuer);
}

} // namespace

void RunQueuedApcs() {
    PKTHREAD self = CurrentThread();
    while (__atomic_load_n(&self->ApcFirst, __ATOMIC_ACQUIRE) != nullptr) {
        PIRP irp;
        {
            std::lock_guard guard(DispatcherLock());
            irp = self->ApcFirst;
            __atomic_store_n(&self->ApcFirst, RecordOf(irp)->nextApc, __ATOMIC_RELAXED);
            if (self->ApcFirst == nullptr)
                self->ApcLast = nullptr;
        }
        // Kernel APCs run at APC_LEVEL.
        CurrentIrql() = APC_LEVEL;
        FinishThreaded(irp);
        CurrentIrql() = PASSIVE_LEVEL;
    }
}

void CheckApcDeadlock(PKTHREAD waiter, const void* object) {
    for (PIRP irp = waiter->ApcFirst; irp != nullptr; irp = RecordOf(irp)->nextApc)
        if ((const void*)irp->UserEvent == object)
            Fail("deadlock: %s waits without limit at IRQL %d for the event of request %p, "
                 "completed by %s; its completion runs as a kernel APC in the waiting thread, "
                 "which takes none at APC_LEVEL or above or holding a fast mutex",
                 waiter->Name, waiter->WaitIrql, (void*)irp, CurrentThread()->Name);
}

void EndThreadApcs(PKTHREAD thread) {
    // The thread is ending: it takes what is queued, and later completions run where they
    // happen.
    for (;;) {
        DeliverApcs();
        std::lock_guard guard(DispatcherLock());
        if (thread->ApcFirst == nullptr || !TakesApcsNow()) {
            thread->Ended = true;
            return;
        }
    }
}

IrpRecord* RecordOf(PIRP irp) {
    if (irp == nullptr)
        Fail("request operation on a NULL IRP");
    IrpRecord* record = (IrpRecord*)((PUCHAR)irp - kRecordSize);
    if (record->magic != kIrpMagic)
        Fail("%p is no IRP allocated by the I/O manager", (void*)irp);
    return record;
}

// System buffers come from the pool: they are kernel addresses that no user-mode caller may
// name.
void* AllocateSystemBuffer(size_t size) {
    void* buffer = ExAllocatePoolWithTag(NonPagedPool, size ? size : 1, Tag("IoSB"));
    if (buffer == nullptr)
        Fail("out of memory for a system buffer");
    memset(buffer, 0, size ? size : 1);
    return buffer;
}

void FreeSystemBuffer(void* buffer) {
    ExFreePoolWithTag(buffer, Tag("IoSB"));
}

PIRP AllocateThreadedIrp(CCHAR stackSize, bool keepAfterFinish) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == nullptr)
        Fail("out of memory for an IRP");
    IrpRecord* record = RecordOf(irp);
    record->threaded = true;
    record->keepAfterFinish = keepAfterFinish;
    irp->Tail.Overlay.Thread = CurrentThread();
    return irp;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IoResult CallAndWait(PDEVICE_OBJECT device, PIRP irp, KIRQL irql) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    KIRQL old;
    KeRaiseIrql(irql, &old);
    IoCallDriver(device, irp);
    KeLowerIrql(old);
    // The finish step signals the event whether or not the driver answered STATUS_PENDING.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (!RecordOf(irp)->keepAfterFinish)
        Fail("CallAndWait needs a packet that stays until it is waited for");
    IoFreeIrp(irp);
    return {iosb.Status, iosb.Information};
}

} // namespace ks

extern "C" {

USHORT IoSizeOfIrp(CCHAR StackSize) {
    return (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (StackSize < 1)
        ks::Fail("IoAllocateIrp with stack size %d", StackSize);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("IoAllocateIrp at IRQL %d", ks::CurrentIrql());
    void* block = calloc(1, ks::kRecordSize + IoSizeOfIrp(StackSize));
    if (block == nullptr)
        return nullptr;
    ks::IrpRecord* record = new (block) ks::IrpRecord{};
    record->magic = ks::kIrpMagic;
    record->state = ks::IrpState::Owned;
    PIRP irp = (PIRP)((PUCHAR)block + ks::kRecordSize);
    IoInitializeIrp(irp, IoSizeOfIrp(StackSize), StackSize);
    return irp;
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    // Cleared as IoCancelIrp sets it: a cancel may meet a packet being reused.
    size_t cancel = offsetof(IRP, Cancel);
    memset(Irp, 0, cancel);
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)FALSE, __ATOMIC_SEQ_CST);
    memset((PUCHAR)Irp + cancel + sizeof(Irp->Cancel), 0,
           PacketSize - cancel - sizeof(Irp->Cancel));
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    ks::IrpRecord* record = ks::RecordOf(Irp);
    // Owned: back with its driver (a completion routine runs with the packet already the
    // driver's, so a woken owner may reuse it at once). Completing: between two routines.
    ks::IrpState state = record->state.load();
    if (state != ks::IrpState::Owned && state != ks::IrpState::Completing)
        ks::Fail("IoReuseIrp of IRP %p while a driver still owns it", (void*)Irp);
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    record->pendingMarks = record->walkedLevels = record->returnedPending = 0;
    Irp->IoStatus.Status = Iostatus;
}

void IoFreeIrp(PIRP Irp) {
    ks::HookReached(ks::HookPoint::FreeIrp, Irp);
    ks::IrpRecord* record = ks::RecordOf(Irp);
    if (record->state == ks::IrpState::Freed)
        ks::Fail("IRP %p freed twice", (void*)Irp);
    if (record->state.load() == ks::IrpState::Dispatched)
        ks::Fail("IRP %p freed while a driver still owns it", (void*)Irp);
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        ks::Fail("IRP %p freed with a cancel routine set", (void*)Irp);
    record->state = ks::IrpState::Freed;
    ks::Retire(record);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ks::HookReached(ks::HookPoint::CallDriver, DeviceObject);
    ks::IrpRecord* record = ks::RecordOf(Irp);
    if (record->state == ks::IrpState::Freed || record->state == ks::IrpState::Finished)
        ks::Fail("IRP %p sent after it was completed or freed", (void*)Irp);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("IoCallDriver at IRQL %d", ks::CurrentIrql());
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        ks::Fail("IRP %p sent to %p with no stack location left", (void*)Irp, (void*)DeviceObject);
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    uint64_t level = 1ull << (stack - (PIO_STACK_LOCATION)(Irp + 1));
    __atomic_and_fetch(&record->pendingMarks, ~level, __ATOMIC_SEQ_CST);
    __atomic_and_fetch(&record->walkedLevels, ~level, __ATOMIC_SEQ_CST);
    __atomic_and_fetch(&record->returnedPending, ~level, __ATOMIC_SEQ_CST);
    record->state = ks::IrpState::Dispatched;
    // A packet freed by its completion may be gone when the dispatch routine returns.
    bool checkPending = !(record->threaded && !record->keepAfterFinish);
    UCHAR major = stack->MajorFunction;
    // The close request is the only one that may carry a file object with no reference left.
    if (stack->FileObject != nullptr && major != IRP_MJ_CLOSE)
        ks::CheckObjectAlive(stack->FileObject, ks::MajorName(major), DeviceObject);
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    KIRQL irql = ks::CurrentIrql();
    void* previousDriver = ks::CurrentDriverContext();
    ks::SetCurrentDriverContext(DeviceObject->DriverObject);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    ks::SetCurrentDriverContext(previousDriver);
    if (ks::CurrentIrql() != irql)
        ks::Fail("%s dispatch routine of %p returned at IRQL %d, entered at %d",
                 ks::MajorName(major), (void*)DeviceObject, ks::CurrentIrql(), irql);
    // STATUS_PENDING needs the location marked pending by the time the completion walk passes
    // it (by the routine itself, or by its completion routine propagating PendingReturned);
    // whichever of this return and the walk comes second checks.
    if (checkPending) {
        if (status == STATUS_PENDING) {
            __atomic_or_fetch(&record->returnedPending, level, __ATOMIC_SEQ_CST);
            if ((__atomic_load_n(&record->walkedLevels, __ATOMIC_SEQ_CST) & level) &&
                !(__atomic_load_n(&record->pendingMarks, __ATOMIC_SEQ_CST) & level))
                ks::FailUnmarkedPending(major, DeviceObject);
        } else if ((__atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) ||
                   (__atomic_load_n(&record->pendingMarks, __ATOMIC_SEQ_CST) & level)) {
            ks::Fail("%s dispatch routine of %p marked the IRP pending but returned 0x%08X",
                     ks::MajorName(major), (void*)DeviceObject, (unsigned)status);
        }
    }
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    ks::HookReached(ks::HookPoint::CompleteRequest, Irp);
    ks::IrpRecord* record = ks::RecordOf(Irp);
    if (record->state != ks::IrpState::Dispatched)
        ks::Fail("IRP %p completed twice (or completed while no driver had it)", (void*)Irp);
    // IoCancelIrp may be swapping the routine on another processor: read it as the swap writes it.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        ks::Fail("IRP %p completed with its cancel routine still set", (void*)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        ks::Fail("IRP %p completed with status STATUS_PENDING", (void*)Irp);
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("IoCompleteRequest at IRQL %d", ks::CurrentIrql());
    if (Irp->CurrentLocation > Irp->StackCount)
        ks::Fail("IRP %p completed with no stack location in use", (void*)Irp);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER && !record->powerReleased)
        ks::Fail("power IRP %p completed without PoStartNextPowerIrp", (void*)Irp);
    record->state = ks::IrpState::Completing;

    // Walk up the stack: each location's completion routine belongs to the driver above it.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) &&
                       (stack->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        uint64_t level = 1ull << (stack - (PIO_STACK_LOCATION)(Irp + 1));
        bool flagged = (stack->Control & SL_PENDING_RETURNED) != 0;
        if (flagged)
            __atomic_or_fetch(&record->pendingMarks, level, __ATOMIC_SEQ_CST);
        __atomic_or_fetch(&record->walkedLevels, level, __ATOMIC_SEQ_CST);
        if (!flagged && (__atomic_load_n(&record->returnedPending, __ATOMIC_SEQ_CST) & level))
            ks::FailUnmarkedPending(stack->MajorFunction, stack->DeviceObject);
        __atomic_store_n(&stack->Control, (UCHAR)0, __ATOMIC_SEQ_CST);
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        if (invoke && routine != nullptr) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The routine may hand the packet back to its driver (STATUS_MORE_PROCESSING_REQUIRED)
            // and wake a thread that frees or reuses it at once: the packet is the driver's
            // before the call, and nothing of it is touched after that answer.
            record->state = ks::IrpState::Owned;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            record->state = ks::IrpState::Completing;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    if (!record->threaded)
        ks::Fail("IRP %p from IoAllocateIrp completed to the top: its completion routine must "
                 "answer STATUS_MORE_PROCESSING_REQUIRED",
                 (void*)Irp);
    ks::FinishOrQueue(Irp);
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&ks::gCancelSpinLock, Irql);
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&ks::gCancelSpinLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    ks::HookReached(ks::HookPoint::CancelIrp, Irp);
    ks::IrpRecord* record = ks::RecordOf(Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (record->state == ks::IrpState::Freed)
        ks::Fail("IoCancelIrp of IRP %p after it was freed", (void*)Irp);
    // Every request is marked, with or without a cancel routine, whoever holds it: a driver
    // that sets its cancel routine later must see the mark.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    if (record->state != ks::IrpState::Dispatched) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PKTHREAD self = ks::CurrentThread();
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (__atomic_load_n(&ks::gCancelSpinLock, __ATOMIC_ACQUIRE) == (ULONG_PTR)self)
        ks::Fail("cancel routine of IRP %p returned holding the cancel spin lock", (void*)Irp);
    return TRUE;
}

void PoStartNextPowerIrp(PIRP Irp) {
    ks::IrpRecord* record = ks::RecordOf(Irp);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        ks::Fail("PoStartNextPowerIrp on IRP %p, which is no power request", (void*)Irp);
    record->powerReleased = true;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if (ks::CurrentIrql() != PASSIVE_LEVEL)
        ks::Fail("IoBuildDeviceIoControlRequest at IRQL %d", ks::CurrentIrql());
    PIRP irp = ks::AllocateThreadedIrp(DeviceObject->StackSize, false);
    ks::RecordOf(irp)->apcCompletion = true; // the issuer stays until the packet finishes
    ks::ReferenceObject(irp->Tail.Overlay.Thread);
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size =
                InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (size != 0) {
                irp->AssociatedIrp.SystemBuffer = ks::AllocateSystemBuffer(size);
                if (InputBuffer != nullptr && InputBufferLength != 0)
                    memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                irp->UserBuffer = OutputBuffer;
                ks::RecordOf(irp)->userLength = OutputBufferLength;
                if (OutputBuffer != nullptr)
                    irp->Flags |= IRP_INPUT_OPERATION;
            }
            break;
        }
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            ks::Fail("IoBuildDeviceIoControlRequest: direct I/O (code 0x%X) is not modelled",
                     IoControlCode);
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
    if (ks::CurrentIrql() != PASSIVE_LEVEL)
        ks::Fail("IoBuildSynchronousFsdRequest at IRQL %d", ks::CurrentIrql());
    PIRP irp = ks::AllocateThreadedIrp(DeviceObject->StackSize, false);
    ks::RecordOf(irp)->apcCompletion = true; // the issuer stays until the packet finishes
    ks::ReferenceObject(irp->Tail.Overlay.Thread);
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)MajorFunction;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset)
            next->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = ks::AllocateSystemBuffer(Length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            ks::RecordOf(irp)->userLength = Length;
            if (MajorFunction == IRP_MJ_WRITE)
                memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
            else
                irp->Flags |= IRP_INPUT_OPERATION;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            ks::Fail("IoBuildSynchronousFsdRequest: direct I/O is not modelled");
        }
        irp->UserBuffer = Buffer;
    }
    return irp;
}

} // extern "C"
