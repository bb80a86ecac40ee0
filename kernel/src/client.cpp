// File objects: opening a device by name (for kernel callers and for user-mode clients),
// cleanup when the last handle goes and close when the last reference goes; the client calls of
// the system side.
#include "ks_io.h"

#include <atomic>
#include <new>
#include <thread>

namespace ks {

namespace {

struct FileRecord {
    FILE_OBJECT object;              // first
    PDEVICE_OBJECT device = nullptr; // the named device (referenced)
    KPROCESSOR_MODE mode = KernelMode;
    bool opened = false; // the create succeeded: cleanup and close are due
};

FileRecord* FileOf(PFILE_OBJECT file) {
    if (KindOf(file) != ObjectKind::File)
        Fail("%p is no file object", (void*)file);
    return (FileRecord*)file;
}

// Sends a cleanup or close request for the file in the calling thread and waits.
void SendFileRequest(FileRecord* record, UCHAR major) {
    PDEVICE_OBJECT top = TopOfStackOf(record->device);
    PIRP irp = AllocateThreadedIrp(top->StackSize, true);
    irp->RequestorMode = record->mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &record->object;
    KPROCESSOR_MODE saved = CurrentPreviousMode();
    CurrentPreviousMode() = record->mode;
    CallAndWait(top, irp);
    CurrentPreviousMode() = saved;
}

void CloseAndRelease(FileRecord* record) {
    SendFileRequest(record, IRP_MJ_CLOSE);
    __atomic_sub_fetch(&RecordOf(record->device)->openFiles, 1, __ATOMIC_SEQ_CST);
    DereferenceObject(record->device);
    record->~FileRecord();
}

// The last reference is gone: IRP_MJ_CLOSE, at PASSIVE_LEVEL (in a fresh thread when the
// reference went away at raised IRQL or inside a completion).
bool DeleteFileBody(void* body) {
    FileRecord* record = (FileRecord*)body;
    if (!record->opened) {
        if (record->device)
            DereferenceObject(record->device);
        record->~FileRecord();
        return false;
    }
    if (CurrentIrql() == PASSIVE_LEVEL && CurrentThread()->MutexesHeld == 0) {
        CloseAndRelease(record);
        return false;
    }
    RunDeferred([record] {
        CloseAndRelease(record);
        FreeObjectMemory(record);
    });
    return true;
}

struct Deferred {
    std::mutex lock;
    std::condition_variable idle;
    int running = 0;
};
Deferred& TheDeferred() {
    static Deferred* deferred = new Deferred;
    return *deferred;
}

} // namespace

void RunDeferred(std::function<void()> work) {
    Deferred& d = TheDeferred();
    {
        std::lock_guard guard(d.lock);
        d.running++;
    }
    std::thread([work = std::move(work)] {
        work();
        Deferred& d = TheDeferred();
        std::lock_guard guard(d.lock);
        if (--d.running == 0)
            d.idle.notify_all();
    }).detach();
}

void DrainDeferred() {
    Deferred& d = TheDeferred();
    std::unique_lock guard(d.lock);
    d.idle.wait(guard, [&] { return d.running == 0; });
}

NTSTATUS OpenDeviceFile(std::u16string_view name, KPROCESSOR_MODE mode, PFILE_OBJECT* file) {
    *file = nullptr;
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("opening %s at IRQL %d", Narrow(name).c_str(), CurrentIrql());
    PDEVICE_OBJECT device = ResolveDeviceName(name);
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    DeviceRecord* deviceRecord = RecordOf(device);
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) &&
        __atomic_load_n(&deviceRecord->openFiles, __ATOMIC_SEQ_CST) > 0)
        return STATUS_ACCESS_DENIED;
    ReferenceObject(device);

    void* body = CreateObject(ObjectKind::File, sizeof(FileRecord), DeleteFileBody);
    FileRecord* record = new (body) FileRecord{};
    record->device = device;
    record->mode = mode;
    PFILE_OBJECT object = &record->object;
    object->Type = 5;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = device;
    object->Flags = FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);

    PDEVICE_OBJECT top = TopOfStackOf(device);
    PIRP irp = AllocateThreadedIrp(top->StackSize, true);
    irp->RequestorMode = mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->FileObject = object;
    KPROCESSOR_MODE saved = CurrentPreviousMode();
    CurrentPreviousMode() = mode;
    IoResult result = CallAndWait(top, irp);
    CurrentPreviousMode() = saved;
    if (!NT_SUCCESS(result.status)) {
        DereferenceObject(object); // no cleanup or close for a failed create
        return result.status;
    }
    record->opened = true;
    __atomic_add_fetch(&deviceRecord->openFiles, 1, __ATOMIC_SEQ_CST);
    *file = object;
    return STATUS_SUCCESS;
}

void CloseFileHandle(PFILE_OBJECT file) {
    FileRecord* record = FileOf(file);
    if (record->opened)
        SendFileRequest(record, IRP_MJ_CLEANUP);
}

// ---- The client calls ----------------------------------------------------------------------

struct ClientHandle {
    PFILE_OBJECT file;
};

namespace {

class ScopedUserMode {
public:
    ScopedUserMode() : saved_(CurrentPreviousMode()) { CurrentPreviousMode() = UserMode; }
    ~ScopedUserMode() { CurrentPreviousMode() = saved_; }

private:
    KPROCESSOR_MODE saved_;
};

class Request final : public PendingRequest {
public:
    Request() { KeInitializeEvent(&done_, NotificationEvent, FALSE); }
    ~Request() override {
        if (irp_ != nullptr) {
            if (!Completed())
                Fail("client request %p released while the driver still holds it", (void*)irp_);
            IoFreeIrp(irp_);
        }
    }
    bool Wait(int timeoutMs) override {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)timeoutMs * 10000;
        return KeWaitForSingleObject(&done_, Executive, UserMode, FALSE,
                                     timeoutMs < 0 ? nullptr : &timeout) == STATUS_SUCCESS;
    }
    bool Completed() override { return KeReadStateEvent(&done_) != 0; }
    NTSTATUS Status() override { return Completed() ? iosb_.Status : STATUS_PENDING; }
    ULONG_PTR Information() override { return Completed() ? iosb_.Information : 0; }
    bool Cancel() override { return !Completed() && IoCancelIrp(irp_); }

    // Builds a packet for the file's device stack; the packet stays with this request.
    PIRP Build(PFILE_OBJECT file, UCHAR major) {
        PDEVICE_OBJECT top = TopOfStackOf(FileOf(file)->device);
        irp_ = AllocateThreadedIrp(top->StackSize, true);
        irp_->RequestorMode = UserMode;
        irp_->UserEvent = &done_;
        irp_->UserIosb = &iosb_;
        irp_->Tail.Overlay.OriginalFileObject = file;
        ReferenceObject(file); // released when the packet finishes
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = major;
        next->FileObject = file;
        top_ = top;
        return irp_;
    }
    void Send() {
        ScopedUserMode mode;
        IoCallDriver(top_, irp_);
    }

private:
    KEVENT done_;
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;
};

void SetUpTransfer(PIRP irp, PDEVICE_OBJECT top, void* buffer, ULONG length, bool input) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Read.Length = length;
    if (top->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(length);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (input ? IRP_INPUT_OPERATION : 0);
        RecordOf(irp)->userLength = length;
        if (!input && length != 0)
            memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    } else if (top->Flags & DO_DIRECT_IO) {
        Fail("direct I/O is not modelled");
    }
    irp->UserBuffer = buffer;
}

} // namespace

NTSTATUS ClientOpen(std::u16string_view name, ClientHandle** handle) {
    *handle = nullptr;
    PFILE_OBJECT file;
    NTSTATUS status = OpenDeviceFile(name, UserMode, &file);
    if (NT_SUCCESS(status))
        *handle = new ClientHandle{file};
    return status;
}

void ClientClose(ClientHandle* handle) {
    CloseFileHandle(handle->file);
    DereferenceObject(handle->file);
    delete handle;
}

PFILE_OBJECT ClientFileObject(ClientHandle* handle) {
    return handle->file;
}

std::unique_ptr<PendingRequest> ClientReadAsync(ClientHandle* handle, void* buffer, ULONG length) {
    auto request = std::make_unique<Request>();
    PIRP irp = request->Build(handle->file, IRP_MJ_READ);
    SetUpTransfer(irp, TopOfStackOf(FileOf(handle->file)->device), buffer, length, true);
    request->Send();
    return request;
}

NTSTATUS ClientRead(ClientHandle* handle, void* buffer, ULONG length, ULONG* transferred) {
    auto request = ClientReadAsync(handle, buffer, length);
    request->Wait(-1);
    if (transferred)
        *transferred = (ULONG)request->Information();
    return request->Status();
}

NTSTATUS ClientWrite(ClientHandle* handle, const void* buffer, ULONG length, ULONG* transferred) {
    auto request = std::make_unique<Request>();
    PIRP irp = request->Build(handle->file, IRP_MJ_WRITE);
    SetUpTransfer(irp, TopOfStackOf(FileOf(handle->file)->device), (void*)buffer, length, false);
    request->Send();
    request->Wait(-1);
    if (transferred)
        *transferred = (ULONG)request->Information();
    return request->Status();
}

NTSTATUS ClientDeviceIoControl(ClientHandle* handle, ULONG code, const void* input,
                               ULONG inputLength, void* output, ULONG outputLength, ULONG* returned,
                               bool* usedFastIo) {
    PDEVICE_OBJECT top = TopOfStackOf(FileOf(handle->file)->device);
    if (returned)
        *returned = 0;
    if (usedFastIo)
        *usedFastIo = false;
    PFAST_IO_DISPATCH fast = top->DriverObject->FastIoDispatch;
    if (fast != nullptr &&
        fast->SizeOfFastIoDispatch > offsetof(FAST_IO_DISPATCH, FastIoDeviceControl) &&
        fast->FastIoDeviceControl != nullptr) {
        IO_STATUS_BLOCK iosb{};
        BOOLEAN served;
        {
            ScopedUserMode mode;
            void* previousDriver = CurrentDriverContext();
            SetCurrentDriverContext(top->DriverObject);
            KIRQL irql = CurrentIrql();
            served = fast->FastIoDeviceControl(handle->file, TRUE, (PVOID)input, inputLength,
                                               output, outputLength, code, &iosb, top);
            SetCurrentDriverContext(previousDriver);
            if (CurrentIrql() != irql)
                Fail("fast I/O device control returned at IRQL %d, entered at %d", CurrentIrql(),
                     irql);
        }
        if (served) {
            if (usedFastIo)
                *usedFastIo = true;
            if (returned)
                *returned = (ULONG)iosb.Information;
            return iosb.Status;
        }
    }

    // The I/O manager copies buffered input itself: a faulting input fails here.
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && inputLength != 0 &&
        AddressFaults(input, inputLength))
        return STATUS_ACCESS_VIOLATION;
    auto request = std::make_unique<Request>();
    PIRP irp = request->Build(handle->file, IRP_MJ_DEVICE_CONTROL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG size = inputLength > outputLength ? inputLength : outputLength;
            irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(size);
            if (inputLength != 0)
                memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = output;
                RecordOf(irp)->userLength = outputLength;
            }
            break;
        }
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)input;
            irp->UserBuffer = output;
            break;
        default:
            Fail("device control 0x%X: direct I/O is not modelled", code);
    }
    request->Send();
    request->Wait(-1);
    if (returned)
        *returned = (ULONG)request->Information();
    return request->Status();
}

} // namespace ks

extern "C" {

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    PFILE_OBJECT file;
    NTSTATUS status = ks::OpenDeviceFile(ks::ToU16(ObjectName), KernelMode, &file);
    if (!NT_SUCCESS(status))
        return status;
    // The handle of the open is closed at once; the reference stays with the caller.
    ks::CloseFileHandle(file);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    return ks::TopOfStackOf(ks::FileOf(FileObject)->device);
}

} // extern "C"
