// Plug and Play, power and system control requests. The device answers each of them itself and
// never passes one down; removal deletes it, system power changes switch the interfaces between
// active and inactive while clients have it open.
#include "core/clients.h"

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static void FillCapabilities(PDEVICE_CAPABILITIES Capabilities) {
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->LockSupported = 0;
    Capabilities->EjectSupported = 0;
    Capabilities->DockDevice = 0;
    Capabilities->UniqueID = 0;
    Capabilities->Removable = 1;
    Capabilities->SystemWake = PowerSystemUnspecified;
    Capabilities->DeviceWake = PowerDeviceUnspecified;
    Capabilities->D1Latency = 0;
    Capabilities->D2Latency = 0;
    Capabilities->D3Latency = 0;
}

NTSTATUS DdProcessPnPIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: PnP manager, PASSIVE_LEVEL, one request at a time. No lock of ours.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            // The device is not stopped or restarted: clients and open ports carry on.
            return CompleteWith(Irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            // The device object is gone afterwards; only the request is touched.
            DdRemoveDevice((DdExtension*)DeviceObject->DeviceExtension, Irp);
            return CompleteWith(Irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_CAPABILITIES:
            FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
            return CompleteWith(Irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
            return CompleteWith(Irp, Irp->IoStatus.Status); // no resources: as it came
        default:
            return CompleteWith(Irp, STATUS_NOT_IMPLEMENTED);
    }
}

NTSTATUS DdProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: power manager, PASSIVE_LEVEL (DO_POWER_PAGABLE), one request at a time per device
    // until PoStartNextPowerIrp. The activation switch takes OpenMutex; its writes are bounded
    // by the transport's write time-outs, so the request finishes even with CTS held off.
    DdExtension* extension = (DdExtension*)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
        case IRP_MN_POWER_SEQUENCE:
            break;
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER:
            // A query for a sleeping state already deactivates: the interface must not be left
            // in computer mode by a sleep that follows. Only with the port(s) open: a client
            // whose open still waits has nothing to switch yet.
            if (stack->Parameters.Power.Type == SystemPowerState)
                DdActivatePort(extension,
                               stack->Parameters.Power.State.SystemState == PowerSystemWorking);
            break;
        default:
            status = STATUS_NOT_IMPLEMENTED;
            break;
    }
    PoStartNextPowerIrp(Irp);
    return CompleteWith(Irp, status);
}

NTSTATUS DdProcessSysControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Caller: WMI, PASSIVE_LEVEL. Nothing to report.
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    return CompleteWith(Irp, STATUS_SUCCESS);
}
