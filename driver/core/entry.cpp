// Driver entry and unload: the registry path copy in the driver object extension, the dispatch
// table and the fast I/O table.
#include "core/dd.h"

// The single fast I/O table of the driver; constant-initialised (no global constructor).
static FAST_IO_DISPATCH DdFastIoDispatch = {
    .SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH),
    .FastIoDeviceControl = FastDeviceIoCtl,
};

POOL_TYPE DdDefaultNonPagedPool = NonPagedPoolExecute;

// Opts in to no-execute non-paged pool where the system has it (version 6.2 and later).
static void DdInitializeDriverRuntime() {
#if defined(VARLO_KERNEL_WINDOWS)
    RTL_OSVERSIONINFOW Version;
    RtlZeroMemory(&Version, sizeof(Version));
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (!NT_SUCCESS(RtlGetVersion(&Version)) || Version.dwMajorVersion < 6 ||
        (Version.dwMajorVersion == 6 && Version.dwMinorVersion < 2))
        return;
#endif
    DdDefaultNonPagedPool = NonPagedPoolNx;
}

// Copies Path into Copy's fresh buffer, two bytes longer and zeroed, so it is zero-terminated.
// Leaves Copy empty when the buffer cannot be allocated.
static void DdCopyRegistryPath(PUNICODE_STRING Copy, PCUNICODE_STRING Path) {
    Copy->Length = 0;
    Copy->MaximumLength = 0;
    Copy->Buffer = NULL;
    if (Path == NULL || Path->Length > 0xFFFF - sizeof(WCHAR))
        return;
    USHORT Size = (USHORT)(Path->Length + sizeof(WCHAR));
    PWSTR Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, Size, DD_POOL_TAG);
    if (Buffer == NULL)
        return;
    RtlZeroMemory(Buffer, Size);
    RtlCopyMemory(Buffer, Path->Buffer, Path->Length);
    Copy->Buffer = Buffer;
    Copy->Length = Path->Length;
    Copy->MaximumLength = Size;
}

// Called by the system once, at PASSIVE_LEVEL, before anything else of the driver; no locks.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DdInitializeDriverRuntime();
    PUNICODE_STRING Copy = NULL;
    NTSTATUS Status = IoAllocateDriverObjectExtension(DriverObject, DD_DRIVER_EXTENSION_ID,
                                                      sizeof(UNICODE_STRING), (PVOID*)&Copy);
    if (!NT_SUCCESS(Status))
        return Status;
    DdCopyRegistryPath(Copy, RegistryPath);

    DriverObject->DriverUnload = DdUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DdCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DdClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DdCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = DdRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DdWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DdIoctl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DdProcessPowerIrp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DdProcessSysControlIrp;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DdProcessPnPIrp;
    DriverObject->DriverExtension->AddDevice = DdAddDevice;
    DriverObject->FastIoDispatch = &DdFastIoDispatch;
    return STATUS_SUCCESS;
}

// Called by the system at PASSIVE_LEVEL after every device is removed; no locks.
void DdUnload(PDRIVER_OBJECT DriverObject) {
    PUNICODE_STRING Copy =
        (PUNICODE_STRING)IoGetDriverObjectExtension(DriverObject, DD_DRIVER_EXTENSION_ID);
    if (Copy != NULL && Copy->Buffer != NULL) {
        ExFreePoolWithTag(Copy->Buffer, DD_POOL_TAG);
        Copy->Buffer = NULL;
        Copy->Length = 0;
        Copy->MaximumLength = 0;
    }
}
