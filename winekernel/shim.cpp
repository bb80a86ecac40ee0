// Wine kernel host (never shipped): wkshim64.dll, the kernel-routine shim between the driver and
// Wine 8's ntoskrnl.exe. The driver's image imports "wkshim64.dll" instead of "ntoskrnl.exe" (a
// copy of the image with only that name changed); every routine is forwarded to ntoskrnl.exe (the
// export table is generated from the driver's imports, peimage.py shimdef) except these, which Wine
// 8 lacks or only pretends to provide:
//   IoAllocateDriverObjectExtension, IoGetDriverObjectExtension  stubs in Wine 8: a table here
//   ExGetPreviousMode        an unimplemented stub that aborts winedevice: answers UserMode, as
//                            for the user-mode requests every caller of it serves
//   IoGetDeviceObjectPointer Wine 8 returns a device object with an empty dispatch table: the
//                            device is looked up among those created through this shim, opened
//                            with IRP_MJ_CREATE on a file object of the shim's own
//   ObfDereferenceObject     dereferencing such a file object (its one reference is the opener's)
//                            sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and frees it; other objects
//                            go to the kernel
//   IoCreateDevice, IoDeleteDevice  record named devices; IRP_MJ_DEVICE_CONTROL of the creating
//                            driver is wrapped: Wine never calls FastIoDeviceControl, so each
//                            request is offered to it first, and only a request it does not take
//                            goes to the driver's dispatch routine; the unload routine is wrapped
//                            to free the extensions and write the state left behind to
//                            C:\windows\temp\wkshim-unload.txt
//   ExAllocatePoolWithTag, ExFreePoolWithTag  forwarded, counting blocks by tag (Wine keeps no
//                            account of pool): a driver's leaks show in the state
// Code WKSHIM_IOCTL_REPORT on any device created here answers the shim's state as text.
// Runs in winedevice.exe; calls come from any of its threads; one spin lock guards the tables.
#include <ntddk.h>

#include "wkshim.h"

namespace {

constexpr ULONG kMaxDevices = 16, kMaxFiles = 8, kMaxExtensions = 8, kMaxDrivers = 4;
constexpr ULONG kPoolTag = 0x6D69684B; // "Khim"

struct NamedDevice {
    PDEVICE_OBJECT Device;
    WCHAR Name[64];
    USHORT Length; // bytes
};
struct ExtensionBlock {
    PDRIVER_OBJECT Driver;
    PVOID Id;
    PVOID Block;
};
struct HookedDriver {
    PDRIVER_OBJECT Driver;
    PDRIVER_DISPATCH DeviceControl;
    PDRIVER_UNLOAD Unload;
};

KSPIN_LOCK g_lock;
NamedDevice g_devices[kMaxDevices];
PFILE_OBJECT g_files[kMaxFiles];
struct PoolCount {
    ULONG Tag;
    LONG Blocks; // allocated and not yet freed
};
PoolCount g_pool[8];
ExtensionBlock g_extensions[kMaxExtensions];
HookedDriver g_drivers[kMaxDrivers];
LONG g_unloads;

struct Guard {
    KIRQL Irql;
    Guard() { Irql = KeAcquireSpinLockRaiseToDpc(&g_lock); }
    ~Guard() { KeReleaseSpinLock(&g_lock, Irql); }
};

HookedDriver* FindDriver(PDRIVER_OBJECT driver) {
    for (HookedDriver& d : g_drivers)
        if (d.Driver == driver)
            return &d;
    return nullptr;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one file request (create, cleanup, close) to the device and waits for it.
NTSTATUS SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = major;
    next->FileObject = file;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Appends text to the report buffer; returns the new length.
ULONG Append(char* out, ULONG capacity, ULONG used, const char* text) {
    while (*text && used + 1 < capacity)
        out[used++] = *text++;
    out[used] = 0;
    return used;
}

ULONG Report(char* out, ULONG capacity) {
    char line[160];
    ULONG used = 0, devices = 0, files = 0, extensions = 0;
    Guard hold;
    for (const NamedDevice& d : g_devices) {
        if (!d.Device)
            continue;
        devices++;
        char name[64];
        ULONG n = 0;
        for (; n < d.Length / sizeof(WCHAR) && n + 1 < sizeof(name); n++)
            name[n] = (char)d.Name[n];
        name[n] = 0;
        _snprintf(line, sizeof(line), "device %s\n", name);
        used = Append(out, capacity, used, line);
    }
    for (PFILE_OBJECT f : g_files)
        files += f != nullptr;
    for (const ExtensionBlock& e : g_extensions)
        extensions += e.Block != nullptr;
    _snprintf(line, sizeof(line), "devices %lu\nfiles %lu\nextensions %lu\nunloads %ld\n", devices,
              files, extensions, g_unloads);
    used = Append(out, capacity, used, line);
    for (const PoolCount& p : g_pool) {
        if (p.Blocks) {
            _snprintf(line, sizeof(line), "pool %.4s %ld\n", (const char*)&p.Tag, p.Blocks);
            used = Append(out, capacity, used, line);
        }
    }
    return used;
}

// The wrapped IRP_MJ_DEVICE_CONTROL: the shim's report, then the driver's fast path, then the
// driver's dispatch routine.
NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID system = irp->AssociatedIrp.SystemBuffer;
    if (code == WKSHIM_IOCTL_REPORT) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = outLength && system ? Report((char*)system, outLength) : 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    PDRIVER_DISPATCH dispatch;
    {
        Guard hold;
        HookedDriver* d = FindDriver(device->DriverObject);
        dispatch = d ? d->DeviceControl : nullptr;
    }
    PFAST_IO_DISPATCH fast = device->DriverObject->FastIoDispatch;
    ULONG method = code & 3;
    if (fast && fast->SizeOfFastIoDispatch > FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl) &&
        fast->FastIoDeviceControl && (method == METHOD_BUFFERED || method == METHOD_NEITHER)) {
        // Buffered: Wine hands one system buffer holding the input and taking the output; the fast
        // path gets them apart, as a caller's two buffers.
        PVOID in =
            method == METHOD_BUFFERED ? system : stack->Parameters.DeviceIoControl.Type3InputBuffer;
        PVOID out = method == METHOD_BUFFERED ? nullptr : irp->UserBuffer;
        if (method == METHOD_BUFFERED && outLength) {
            out = ExAllocatePoolWithTag(NonPagedPool, outLength, kPoolTag);
            if (!out)
                goto slow;
            RtlZeroMemory(out, outLength);
        }
        IO_STATUS_BLOCK status = {};
        BOOLEAN taken = fast->FastIoDeviceControl(stack->FileObject, TRUE, in, inLength, out,
                                                  outLength, code, &status, device);
        if (method == METHOD_BUFFERED && out) {
            if (taken && system && status.Information <= outLength)
                RtlCopyMemory(system, out, status.Information);
            ExFreePoolWithTag(out, kPoolTag);
        }
        if (taken) {
            irp->IoStatus = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status.Status;
        }
    }
slow:
    if (dispatch)
        return dispatch(device, irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Appends "unload <driver>" and the report to C:\windows\temp\wkshim-unload.txt: the state left
// behind by the driver, readable after winedevice.exe has ended.
void WriteUnloadReport(PDRIVER_OBJECT driver) {
    static char text[2048];
    ULONG used = Append(text, sizeof(text), 0, "unload ");
    for (USHORT i = 0; i < driver->DriverName.Length / sizeof(WCHAR) && used + 2 < sizeof(text);
         i++)
        text[used++] = (char)driver->DriverName.Buffer[i];
    used = Append(text, sizeof(text), used, "\n");
    used += Report(text + used, sizeof(text) - used);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\??\\C:\\windows\\temp\\wkshim-unload.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK io;
    if (NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, nullptr,
                                FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                                FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0))) {
        ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, used, nullptr, nullptr);
        ZwClose(file);
    }
}

// The wrapped unload: the driver's own, then the extensions Windows frees with the driver object.
void Unload(PDRIVER_OBJECT driver) {
    PDRIVER_UNLOAD unload;
    {
        Guard hold;
        HookedDriver* d = FindDriver(driver);
        unload = d ? d->Unload : nullptr;
    }
    if (unload)
        unload(driver);
    {
        Guard hold;
        for (ExtensionBlock& e : g_extensions) {
            if (e.Driver == driver && e.Block) {
                ExFreePoolWithTag(e.Block, kPoolTag);
                e = ExtensionBlock{};
            }
        }
        if (HookedDriver* d = FindDriver(driver))
            *d = HookedDriver{};
        g_unloads++;
    }
    WriteUnloadReport(driver);
}

} // namespace

extern "C" {

BOOL WINAPI ShimEntry(PVOID, ULONG, PVOID) {
    return TRUE;
}

KPROCESSOR_MODE NTAPI ShimExGetPreviousMode(void) {
    return UserMode;
}

// Pool blocks are counted by tag: what a driver has not freed shows in the report.
PVOID NTAPI ShimExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(type, size, tag);
    if (!block)
        return nullptr;
    Guard hold;
    PoolCount* slot = nullptr;
    for (PoolCount& p : g_pool) {
        if (p.Tag == tag)
            slot = &p;
        else if (!slot && !p.Tag)
            slot = &p;
    }
    if (slot) {
        slot->Tag = tag;
        slot->Blocks++;
    }
    return block;
}

VOID NTAPI ShimExFreePoolWithTag(PVOID block, ULONG tag) {
    {
        Guard hold;
        for (PoolCount& p : g_pool) {
            if (p.Tag == tag) {
                p.Blocks--;
                break;
            }
        }
    }
    ExFreePoolWithTag(block, tag);
}

NTSTATUS NTAPI ShimIoAllocateDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id, ULONG size,
                                                   PVOID* extension) {
    *extension = nullptr;
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, size ? size : 1, kPoolTag);
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, size);
    Guard hold;
    ExtensionBlock* free = nullptr;
    for (ExtensionBlock& e : g_extensions) {
        if (e.Block && e.Driver == driver && e.Id == id) {
            ExFreePoolWithTag(block, kPoolTag);
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (!e.Block && !free)
            free = &e;
    }
    if (!free) {
        ExFreePoolWithTag(block, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *free = ExtensionBlock{driver, id, block};
    *extension = block;
    return STATUS_SUCCESS;
}

PVOID NTAPI ShimIoGetDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id) {
    Guard hold;
    for (const ExtensionBlock& e : g_extensions)
        if (e.Block && e.Driver == driver && e.Id == id)
            return e.Block;
    return nullptr;
}

NTSTATUS NTAPI ShimIoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                  DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                  PDEVICE_OBJECT* device) {
    NTSTATUS status =
        IoCreateDevice(driver, extensionSize, name, type, characteristics, exclusive, device);
    if (!NT_SUCCESS(status))
        return status;
    Guard hold;
    if (!FindDriver(driver)) {
        for (HookedDriver& d : g_drivers) {
            if (d.Driver)
                continue;
            d = HookedDriver{driver, driver->MajorFunction[IRP_MJ_DEVICE_CONTROL],
                             driver->DriverUnload};
            driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
            if (driver->DriverUnload)
                driver->DriverUnload = Unload;
            break;
        }
    }
    for (NamedDevice& d : g_devices) {
        if (d.Device)
            continue;
        d.Device = *device;
        d.Length = 0;
        if (name && name->Length <= sizeof(d.Name)) {
            RtlCopyMemory(d.Name, name->Buffer, name->Length);
            d.Length = name->Length;
        }
        break;
    }
    return status;
}

VOID NTAPI ShimIoDeleteDevice(PDEVICE_OBJECT device) {
    {
        Guard hold;
        for (NamedDevice& d : g_devices)
            if (d.Device == device)
                d = NamedDevice{};
    }
    IoDeleteDevice(device);
}

NTSTATUS NTAPI ShimIoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK, PFILE_OBJECT* file,
                                            PDEVICE_OBJECT* device) {
    PDEVICE_OBJECT target = nullptr;
    {
        Guard hold;
        for (NamedDevice& d : g_devices) {
            UNICODE_STRING known = {d.Length, sizeof(d.Name), d.Name};
            if (d.Device && d.Length && RtlEqualUnicodeString(&known, name, TRUE))
                target = d.Device;
        }
    }
    if (!target)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* object = (PFILE_OBJECT)ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kPoolTag);
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(object, sizeof(*object));
    object->Type = 5; // IO_TYPE_FILE
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = target;
    NTSTATUS status = SendFileRequest(target, object, IRP_MJ_CREATE);
    if (NT_SUCCESS(status)) {
        Guard hold;
        status = STATUS_INSUFFICIENT_RESOURCES;
        for (PFILE_OBJECT& f : g_files) {
            if (!f) {
                f = object;
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(object, kPoolTag);
        return status;
    }
    *file = object;
    *device = target;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ShimObfDereferenceObject(PVOID object) {
    bool ours = false;
    {
        Guard hold;
        for (PFILE_OBJECT& f : g_files) {
            if (f && f == object) {
                f = nullptr;
                ours = true;
            }
        }
    }
    if (!ours)
        return ObfDereferenceObject(object);
    auto* file = (PFILE_OBJECT)object;
    SendFileRequest(file->DeviceObject, file, IRP_MJ_CLEANUP);
    SendFileRequest(file->DeviceObject, file, IRP_MJ_CLOSE);
    ExFreePoolWithTag(file, kPoolTag);
    return 0;
}

} // extern "C"
