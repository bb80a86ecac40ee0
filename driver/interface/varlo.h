// Functions of the Varlo interface itself: its three System Exclusive messages, the
// configuration reply that proves an interface answers, cable-state switching of the input
// parser, hardware information and the names of its device and sub-devices.
//
// Locking:
//   - VrDeviceActivate, SmSingleDeviceActivate: PASSIVE_LEVEL; take each port's SendLock to send;
//     the 200 ms probe wait is spent outside it.
//   - VrPrivateSysEx, VrChangeCable: the port's reader thread with the device's ClientLock held.
//   - VrGetHardwareInfo: PASSIVE_LEVEL, after the ports were opened (OpenMutex held by the
//     device layer) or from a client's request.
#pragma once

#include "transport/ntddmser.h"

#define VR_IN_CABLES 3
#define VR_OUT_CABLES 5
#define VR_PROBE_WAIT_MS 200

extern const UCHAR RequestConfig[6];
extern const UCHAR ComputerMode[6];
extern const UCHAR PatchMode[6];
extern const CHAR szUserDeviceName[];

LONG VrDeviceActivate(SmDevice* Context, LONG Mode);
ULONG VrPrivateSysEx(SmDevice* Context, const UCHAR* Data, ULONG Length);
ULONG VrChangeCable(SmDevice* Context, DdTb* Tb, ULONG NewCable, ULONG OldCable);
LONG VrGetHardwareInfo(SmDevice* Context, LONG Index, DdHardwareInfo* Info);
// The firmware version a configuration reply carries, or 0 when Data is not one.
ULONG VrParseConfigReply(const UCHAR* Data, ULONG Length);
