// The Varlo interface: probe and activation, configuration reply, cable switching of the input
// parser, hardware information.
#include "interface/varlo.h"

const UCHAR RequestConfig[6] = {0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7};
const UCHAR ComputerMode[6] = {0xF0, 0x63, 0x60, 0x0F, 0x7F, 0xF7};
const UCHAR PatchMode[6] = {0xF0, 0x63, 0x60, 0x10, 0x7F, 0xF7};
const CHAR szUserDeviceName[] = "Korvane Varlo";
static WCHAR szVrDeviceName[] = DD_WTEXT("KorvaneMidiVr");

ULONG MsDriverGetInfo(DdDriverInfo* Info) {
    // Caller: DdDriverGetInfo at device addition, PASSIVE_LEVEL.
    Info->PrivateSysEx = VrPrivateSysEx;
    Info->ChangeCable = VrChangeCable;
    Info->DeviceActivate = VrDeviceActivate;
    Info->GetHardwareInfo = VrGetHardwareInfo;
    Info->Flags = DD_FLAG_IN_CABLES | DD_FLAG_CABLE_RESETS_STATUS;
    Info->InCables = VR_IN_CABLES;
    Info->OutCables = VR_OUT_CABLES;
    Info->DeviceName = szVrDeviceName;
    Info->ContextSize = sizeof(SmDevice);
    return 1;
}

ULONG MsOpenPort(SmPort* Port) {
    // Caller: the port search, after the port's requests are allocated; nothing to do here.
    UNREFERENCED_PARAMETER(Port);
    return 0;
}

// Sends one interface message under the port's SendLock; the state follows only when the
// interface took the message, so that a message dropped at a stalled port is sent again by the
// next switch to that state.
static void VrSendUnderLock(SmPort* Port, const UCHAR* Message, LONG State) {
    ExAcquireFastMutex(&Port->SendLock);
    if (SmSendSerialData(Port, Message, 6, UserRequest))
        SmWriteShared(&Port->State, State);
    ExReleaseFastMutex(&Port->SendLock);
}

LONG SmSingleDeviceActivate(SmPort* Port, LONG Mode) {
    // Caller: port search (probe), closing, activation requests; PASSIVE_LEVEL, SendLock not held.
    switch (Mode) {
        case DD_ACTIVATE_PROBE:
            ExAcquireFastMutex(&Port->SendLock);
            for (ULONG i = 0; i < SM_VERSION_AREA_WORDS; i++)
                SmWriteShared(&Port->Version[i], 0);
            SmWriteShared(&Port->State, SM_STATE_PROBING);
            SmSendSerialData(Port, RequestConfig, sizeof(RequestConfig), UserRequest);
            ExReleaseFastMutex(&Port->SendLock);
            DelayThread(VR_PROBE_WAIT_MS);
            if (SmReadShared(&Port->Version[0]) != 0) {
                SmSingleDeviceActivate(Port, DD_ACTIVATE_ON);
                KeSetEvent(&Port->Activated, IO_NO_INCREMENT, FALSE);
            }
            break;
        case DD_ACTIVATE_ON:
            VrSendUnderLock(Port, ComputerMode, SM_STATE_ACTIVE);
            break;
        case DD_ACTIVATE_OFF:
            VrSendUnderLock(Port, PatchMode, SM_STATE_IDLE);
            break;
        default:
            break;
    }
    return SmReadShared(&Port->State);
}

LONG VrDeviceActivate(SmDevice* Context, LONG Mode) {
    // Caller: device layer (activation requests, power changes) with OpenMutex held, or the
    // closing of a port; PASSIVE_LEVEL. Queries need no lock.
    if (Mode == DD_ACTIVATE_OFF || Mode == DD_ACTIVATE_ON) {
        for (LONG i = 0; i < SmReadShared(&Context->NumPorts); i++)
            SmSingleDeviceActivate(&Context->Ports[i], Mode);
        return Mode;
    }
    if (Mode == DD_ACTIVATE_QUERY || Mode == DD_ACTIVATE_PROBE)
        return SmReadShared(&Context->Ports[0].State);
    return Mode;
}

ULONG VrParseConfigReply(const UCHAR* Data, ULONG Length) {
    if (Length != 12 || Data[0] != 0xF0 || Data[1] != 0x63 || Data[2] != 0x60 || Data[3] != 0x7B ||
        Data[4] > 1)
        return 0;
    ULONG version = 0;
    for (ULONG i = 8; i <= 10; i++) {
        if (Data[i] < '0' || Data[i] > '9')
            return 0;
        version = version * 10 + (Data[i] - '0');
    }
    return version;
}

ULONG VrPrivateSysEx(SmDevice* Context, const UCHAR* Data, ULONG Length) {
    // Caller: the parser in a reader thread, ClientLock held.
    SmPort* port = SmOpeningPort(Context);
    if (!port || SmReadShared(&port->State) != SM_STATE_PROBING)
        return 0;
    // Only the probed port's own reader counts: with a chain, an interface already open may send
    // System Exclusive (a reply to the panel) while the next port is probed.
    if (port->Thread != (PVOID)DdCurrentThread())
        return 0;
    ULONG version = VrParseConfigReply(Data, Length);
    if (version != 0)
        SmWriteShared(&port->Version[0], (LONG)version);
    return 1; // while a port is probed every System Exclusive message is swallowed
}

ULONG VrChangeCable(SmDevice* Context, DdTb* Tb, ULONG NewCable, ULONG OldCable) {
    // Caller: the parser in a reader thread after F5 n, ClientLock held.
    DdExtension* extension = Context->Extension;
    ULONG inCables = extension->Info.InCables;
    ULONG block = (extension->Info.Flags & DD_FLAG_IN_CABLES) ? inCables : 1;
    DdInCableState* table = &extension->InCableTable[Tb->Port * block];
    if (OldCable < inCables) {
        DdInCableState* entry = &table[(extension->Info.Flags & DD_FLAG_IN_CABLES) ? OldCable : 0];
        entry->RunningStatus = Tb->RunningStatus;
        entry->InSysEx = Tb->InSysEx;
        entry->SysExBuffer = Tb->SysExBuffer;
    }
    if (NewCable < inCables) {
        DdInCableState* entry = &table[(extension->Info.Flags & DD_FLAG_IN_CABLES) ? NewCable : 0];
        Tb->RunningStatus = entry->RunningStatus;
        Tb->InSysEx = entry->InSysEx;
        Tb->SysExBuffer = entry->SysExBuffer;
    }
    return 0;
}

LONG VrGetHardwareInfo(SmDevice* Context, LONG Index, DdHardwareInfo* Info) {
    // Caller: capabilities and the device layer's sub-device list, PASSIVE_LEVEL.
    if (Index < 0)
        return -1;
    LONG found = 0;
    // Only ports of the current open count: a record left from an earlier open may still hold
    // the version of an interface that is gone.
    LONG ports = SmReadShared(&Context->NumPorts);
    for (LONG i = 0; i < ports && i < SM_MAX_PORTS; i++) {
        ULONG version = (ULONG)SmReadShared(&Context->Ports[i].Version[0]);
        if (version == 0)
            continue;
        if (found++ != Index)
            continue;
        if (Info) {
            Info->Id = (USHORT)version;
            RtlCopyMemory(Info->Name, szUserDeviceName, sizeof(szUserDeviceName));
        }
        return (LONG)version;
    }
    return -1;
}
