// Stand-ins for the dispatch routines and lower-layer entries that are not written yet. Each is
// removed from here when its real version lands.
#include "core/dd.h"

static NTSTATUS DdRejectRequest(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS DdCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    return DdRejectRequest(Irp);
}

NTSTATUS DdProcessSysControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

NTSTATUS DdProcessPnPIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return DdRejectRequest(Irp);
}

BOOLEAN FastDeviceIoCtl(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                        ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject) {
    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(InputBuffer);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(OutputBuffer);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    UNREFERENCED_PARAMETER(IoStatus);
    UNREFERENCED_PARAMETER(DeviceObject);
    return FALSE;
}

// The transport's and the interface's values, without their operations.
#define DD_PROVISIONAL_CONTEXT_SIZE 1024
static WCHAR szVrDeviceName[] = DD_WTEXT("KorvaneMidiVr");

ULONG MsDriverGetInfo(DdDriverInfo* Info) {
    Info->Flags = DD_FLAG_IN_CABLES | DD_FLAG_CABLE_RESETS_STATUS;
    Info->InCables = 3;
    Info->OutCables = 5;
    Info->DeviceName = szVrDeviceName;
    Info->ContextSize = DD_PROVISIONAL_CONTEXT_SIZE;
    return 1;
}

ULONG DdDriverGetInfo(DdDriverInfo* Info) {
    Info->MaxPorts = 2;
    Info->ContextSize = DD_PROVISIONAL_CONTEXT_SIZE;
    return MsDriverGetInfo(Info);
}
