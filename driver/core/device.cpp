// Device addition and removal: the info table, the device object with its extension, names and
// link.
#include "core/clients.h"

#define DD_EXTENSION_ALIGN 16

static ULONG DdAlignUp(ULONG Value) {
    return (Value + DD_EXTENSION_ALIGN - 1) & ~(ULONG)(DD_EXTENSION_ALIGN - 1);
}

static ULONG DdWideBytes(PCWSTR Text) {
    UNICODE_STRING String;
    RtlInitUnicodeString(&String, Text);
    return String.Length + sizeof(WCHAR);
}

ULONG DdInCableEntries(const DdDriverInfo* Info) {
    ULONG PerPort = (Info->Flags & DD_FLAG_IN_CABLES) ? Info->InCables : 1;
    return PerPort * Info->MaxPorts;
}

ULONG DdOutCableEntries(const DdDriverInfo* Info) {
    ULONG PerPort = (Info->Flags & DD_FLAG_OUT_CABLES) ? Info->OutCables : 1;
    return PerPort * Info->MaxPorts;
}

// The preset sub-device query: this layer knows of no sub-device. Any IRQL; no locks.
LONG DdGetHardwareInfo(SmDevice* Context, LONG Index, DdHardwareInfo* Info) {
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Index);
    UNREFERENCED_PARAMETER(Info);
    return -1;
}

// Called by the system for the device node, PASSIVE_LEVEL, one at a time; no locks.
NTSTATUS DdAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PUNICODE_STRING Path =
        (PUNICODE_STRING)IoGetDriverObjectExtension(DriverObject, DD_DRIVER_EXTENSION_ID);
    // Without the service key path there is no configuration and no default name.
    if (Path == NULL || Path->Buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Path->Length == 0)
        return STATUS_OBJECT_NAME_INVALID;

    DdDriverInfo Info;
    RtlZeroMemory(&Info, sizeof(Info));
    Info.GetHardwareInfo = DdGetHardwareInfo;
    Info.RegistryPath = Path->Buffer;
    Info.DeviceName = Path->Buffer;
    for (ULONG i = 0; i < Path->Length / sizeof(WCHAR); i++) {
        if (Path->Buffer[i] == '\\')
            Info.DeviceName = Path->Buffer + i + 1;
    }
    Info.MaxPorts = 1;

    if (!DdDriverGetInfo(&Info))
        return STATUS_NO_SUCH_DEVICE;
    return DdCreateDeviceObject(DriverObject, &Info, PhysicalDeviceObject);
}

// Extension layout behind the fixed fields, each part aligned: path, name, input cable table,
// output table, transport context.
struct DdExtensionLayout {
    ULONG PathOffset, NameOffset, InOffset, OutOffset, ContextOffset, Size;
};

static BOOLEAN DdComputeLayout(const DdDriverInfo* Info, DdExtensionLayout* Layout) {
    ULONGLONG Offset = DdAlignUp(sizeof(DdExtension));
    Layout->PathOffset = (ULONG)Offset;
    Offset = DdAlignUp((ULONG)(Offset + DdWideBytes(Info->RegistryPath)));
    Layout->NameOffset = (ULONG)Offset;
    Offset = DdAlignUp((ULONG)(Offset + DdWideBytes(Info->DeviceName)));
    Layout->InOffset = (ULONG)Offset;
    Offset += (ULONGLONG)DdInCableEntries(Info) * sizeof(DdInCableState);
    Offset = DdAlignUp((ULONG)Offset);
    Layout->OutOffset = (ULONG)Offset;
    Offset += (ULONGLONG)DdOutCableEntries(Info) * sizeof(DdOutCableState);
    Offset = DdAlignUp((ULONG)Offset);
    Layout->ContextOffset = (ULONG)Offset;
    Offset += Info->ContextSize;
    // Tables and context beyond a megabyte mean a broken info table.
    if (Offset > 0x100000 || Info->MaxPorts > 64 || Info->InCables > 256 || Info->OutCables > 256)
        return FALSE;
    Layout->Size = (ULONG)Offset;
    return TRUE;
}

// Called from DdAddDevice, PASSIVE_LEVEL; no locks.
NTSTATUS DdCreateDeviceObject(PDRIVER_OBJECT DriverObject, DdDriverInfo* Info,
                              PDEVICE_OBJECT PhysicalDeviceObject) {
    WCHAR DeviceNameBuffer[DD_NAME_BUFFER_BYTES / sizeof(WCHAR)];
    WCHAR LinkNameBuffer[DD_NAME_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING DeviceName = {0, sizeof(DeviceNameBuffer), DeviceNameBuffer};
    UNICODE_STRING LinkName = {0, sizeof(LinkNameBuffer), LinkNameBuffer};
    const ULONG Instance = 0;

    if (Info->RegistryPath == NULL || Info->DeviceName == NULL)
        return STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(BuildDeviceName(Info->DeviceName, Instance, &DeviceName)) ||
        !NT_SUCCESS(BuildWin32Name(Info->DeviceName, Instance, &LinkName)))
        return STATUS_NO_SUCH_DEVICE;

    DdExtensionLayout Layout;
    if (!DdComputeLayout(Info, &Layout))
        return STATUS_NO_SUCH_DEVICE;

    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, Layout.Size, &DeviceName, FILE_DEVICE_MIDI_IN, 0,
                                     FALSE, &Device);
    if (!NT_SUCCESS(Status))
        return STATUS_NO_SUCH_DEVICE;

    DdExtension* Extension = (DdExtension*)Device->DeviceExtension;
    PUCHAR Base = (PUCHAR)Extension;
    RtlZeroMemory(Extension, Layout.Size);
    Device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    Extension->Info = *Info;
    Extension->Instance = Instance;
    Extension->DeviceObject = Device;
    if (PhysicalDeviceObject != NULL)
        Extension->LowerDevice = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);

    Extension->Info.RegistryPath = (PWSTR)(Base + Layout.PathOffset);
    Extension->Info.DeviceName = (PWSTR)(Base + Layout.NameOffset);
    Extension->InCableTable = (DdInCableState*)(Base + Layout.InOffset);
    Extension->OutTable = (DdOutCableState*)(Base + Layout.OutOffset);
    Extension->Context = (SmDevice*)(Base + Layout.ContextOffset);
    RtlCopyMemory(Extension->Info.RegistryPath, Info->RegistryPath,
                  DdWideBytes(Info->RegistryPath));
    RtlCopyMemory(Extension->Info.DeviceName, Info->DeviceName, DdWideBytes(Info->DeviceName));

    KeInitializeMutex(&Extension->OpenMutex, 1);
    ExInitializeFastMutex(&Extension->ClientLock);

    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        // Leave the stack before the device goes away.
        if (Extension->LowerDevice != NULL)
            IoDetachDevice(Extension->LowerDevice);
        IoDeleteDevice(Device);
        return STATUS_NO_SUCH_DEVICE;
    }

    if (Extension->Info.CreateDevice != NULL)
        Extension->Info.CreateDevice(Extension->Context, Extension);

    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Called for the Plug and Play removal, PASSIVE_LEVEL, no locks held. The ports are closed under
// the open mutex; handles still open keep the device object (and this extension) until their
// last reference goes, and their requests find the device removed.
NTSTATUS DdRemoveDevice(DdExtension* Extension, PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    WCHAR LinkNameBuffer[DD_NAME_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING LinkName = {0, sizeof(LinkNameBuffer), LinkNameBuffer};
    NTSTATUS NameStatus =
        BuildWin32Name(Extension->Info.DeviceName, Extension->Instance, &LinkName);

    DdRemoveClients(Extension);
    if (NT_SUCCESS(NameStatus))
        IoDeleteSymbolicLink(&LinkName);
    if (Extension->LowerDevice != NULL) {
        IoDetachDevice(Extension->LowerDevice);
        Extension->LowerDevice = NULL;
    }
    IoDeleteDevice(Extension->DeviceObject);
    return STATUS_SUCCESS;
}
