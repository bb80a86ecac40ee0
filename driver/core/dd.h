// The device layer's shared declarations: the contract with the layers below (DdDriverInfo),
// the device extension (DdExtension), the records exchanged with user mode, and the routines the
// driver registers with the system. Every part of the driver includes this header.
#pragma once

#include <ntddk.h>

// The kernel exports _snprintf; the DDK headers do not declare it (the host layer does).
#if defined(VARLO_KERNEL_WINDOWS)
extern "C" int __cdecl _snprintf(char* Buffer, size_t Count, const char* Format, ...);
#endif

// The current thread. The kernel build asks the kernel's exported routine instead of the DDK's
// inline read of the processor block: the same thread object on Windows, and it also holds on a
// kernel whose processor block is laid out differently. Any thread, any IRQL <= DISPATCH_LEVEL.
#if defined(VARLO_KERNEL_WINDOWS)
// The import table slot of the export (the DDK's inline definition takes the routine's own name).
extern "C" PETHREAD(NTAPI* const DdCurrentThreadImport)(void) __asm__("__imp_PsGetCurrentThread");
#define DdCurrentThread() DdCurrentThreadImport()
#else
#define DdCurrentThread PsGetCurrentThread
#endif

// Wide string literals: WCHAR is wchar_t in the kernel build and char16_t on the host.
#if defined(VARLO_KERNEL_WINDOWS)
#define DD_WTEXT(s) L##s
#else
#define DD_WTEXT(s) u##s
#endif

// Every allocation of the driver: non-paged pool, tag "Ddk " (bytes 44 64 6B 20). The driver
// never executes from pool: NonPagedPool names the pool type DriverEntry chose, no-execute
// non-paged pool where the system has it (the opt-in is made at run time, so systems without it
// still load the driver).
#define DD_POOL_TAG ((ULONG)0x206B6444)
extern POOL_TYPE DdDefaultNonPagedPool;
#define NonPagedPool DdDefaultNonPagedPool

// Identifies the driver object extension that holds the registry path copy.
#define DD_DRIVER_EXTENSION_ID ((PVOID)1)

// Size of the buffers the device and link names are built in.
#define DD_NAME_BUFFER_BYTES 200

// DdDriverInfo.Flags.
#define DD_FLAG_IN_CABLES 0x10           // InCables input table entries per interface
#define DD_FLAG_OUT_CABLES 0x20          // OutCables output table entries per interface
#define DD_FLAG_CABLE_RESETS_STATUS 0x40 // an output cable change clears running status

// DeviceActivate modes and answers.
#define DD_ACTIVATE_QUERY (-1)
#define DD_ACTIVATE_OFF 0
#define DD_ACTIVATE_PROBE 1
#define DD_ACTIVATE_ON 2

// DdMidiBuffer.Type.
#define DD_BUF_SYSEX_PART 1
#define DD_BUF_SYSEX_END 2
#define DD_BUF_SYSEX_BROKEN 3
#define DD_BUF_EVENTS 4

// Device control codes (device type FILE_DEVICE_SOUND).
#define IOCTL_DD_GET_CAPS 0x001D4208
#define IOCTL_DD_GET_STATE 0x001D4210
#define IOCTL_DD_NUM_CLIENTS 0x001D4214
#define IOCTL_DD_MIDI_PLAY 0x001D8207
#define IOCTL_DD_ACTIVATE 0x001D820C

#define DD_MIDI_BUFFER_BYTES 256
#define DD_MIDI_HEADER_BYTES 16
#define DD_MIDI_DATA_BYTES 240
#define DD_MAX_SUB_DEVICES 32

struct DdExtension;
struct DdClient; // one open of the device
struct DdTb;     // the input parse record of one serial port
struct SmDevice; // the transport context, stored inside the device extension

// The unit of exchange with user mode, 256 bytes, little-endian. A read returns Length + 16
// bytes. Next is a 32-bit field of the user-visible layout; it cannot hold a pointer.
#pragma pack(push, 1)
struct DdMidiBuffer {
    ULONG Next;
    USHORT Type;
    USHORT Port;
    ULONG Reserved;
    USHORT Cable;
    USHORT Length;
    UCHAR Data[DD_MIDI_DATA_BYTES];
};

// One sub-device (an activated interface), 40 bytes.
struct DdHardwareInfo {
    USHORT Id;
    UCHAR Reserved[6];
    CHAR Name[32];
};

// The answer of IOCTL_DD_GET_CAPS, 1296 bytes.
struct DdCaps {
    ULONG Reserved;
    ULONG InCables;
    ULONG OutCables;
    ULONG Count;
    DdHardwareInfo Entries[DD_MAX_SUB_DEVICES];
};
#pragma pack(pop)

static_assert(sizeof(DdMidiBuffer) == DD_MIDI_BUFFER_BYTES, "DdMidiBuffer layout");
static_assert(sizeof(DdHardwareInfo) == 40, "DdHardwareInfo layout");
static_assert(sizeof(DdCaps) == 1296, "DdCaps layout");

// Input parse state of one input cable; saved and restored as the three consecutive words
// RunningStatus, InSysEx, SysExBuffer of DdTb.
struct DdInCableState {
    ULONG RunningStatus;
    ULONG InSysEx;
    DdMidiBuffer* SysExBuffer;
};

// Output running status of one output table entry.
struct DdOutCableState {
    UCHAR RunningStatus;
    UCHAR Spare;
    USHORT Reserved;
};

// The contract between the device layer and the layers below. Filled at device creation by
// DdAddDevice, then DdDriverGetInfo (transport), then MsDriverGetInfo (interface). Every entry
// may be absent (NULL); the device layer checks before calling.
struct DdDriverInfo {
    ULONG ContextSize; // bytes of the transport context (SmDevice)
    PWSTR RegistryPath;
    PWSTR DeviceName;
    ULONG Flags; // DD_FLAG_*
    ULONG InCables;
    ULONG OutCables;
    ULONG MaxPorts;
    ULONG (*OpenCheck)(SmDevice* Context, ULONG Mode);
    ULONG (*OpenPort)(SmDevice* Context);
    ULONG (*ClosePort)(SmDevice* Context);
    ULONG (*CreateDevice)(SmDevice* Context, DdExtension* Extension);
    ULONG (*FreeDevice)(SmDevice* Context);
    LONG (*DeviceActivate)(SmDevice* Context, LONG Mode);
    USHORT (*ClientCount)(SmDevice* Context);
    LONG (*GetHardwareInfo)(SmDevice* Context, LONG Index, DdHardwareInfo* Info);
    ULONG (*SendEvent)(SmDevice* Context, ULONG Port, ULONG Event, ULONG DataCount);
    // Data is the caller's buffer: read it only through the guarded copies (caller_buffer.h).
    ULONG(*SendStream)
    (SmDevice* Context, ULONG Port, ULONG Cable, const UCHAR* Data, ULONG Length);
    ULONG (*GetCaps)(SmDevice* Context, DdCaps* Caps);
    ULONG (*PrivateSysEx)(SmDevice* Context, const UCHAR* Data, ULONG Length);
    ULONG (*ChangeCable)(SmDevice* Context, DdTb* Tb, ULONG NewCable, ULONG OldCable);
};

// The device extension, zeroed at creation. Behind the fixed fields, in the same allocation:
// the registry path and the device name (wide, zero-terminated), the input cable table, the
// output table and Info.ContextSize bytes for the transport context.
struct DdExtension {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDevice; // the device attached to, or NULL
    SmDevice* Context;          // points behind the fixed fields
    DdDriverInfo Info;          // RegistryPath and DeviceName point to the copies behind
    DdClient* Clients;          // newest first
    ULONG Instance;             // number used in the names; always 0
    KMUTEX OpenMutex;           // level 1: OpenCount, opening and closing the ports
    FAST_MUTEX ClientLock;      // the client list, FsContext links, a whole parser run
    LONG OpenCount;
    LONG volatile Removed; // set once by the removal; requests on handles left then do nothing
    DdInCableState* InCableTable;
    DdOutCableState* OutTable;
};

// Entries of the input cable table and of the output table, from Info.Flags, InCables,
// OutCables and MaxPorts.
ULONG DdInCableEntries(const DdDriverInfo* Info);
ULONG DdOutCableEntries(const DdDriverInfo* Info);

// Entry, device objects and configuration (entry.cpp, device.cpp, config.cpp). Entry, add
// device, removal and unload run in the system thread at PASSIVE_LEVEL, one at a time.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE DdAddDevice;
DRIVER_UNLOAD DdUnload;
NTSTATUS DdCreateDeviceObject(PDRIVER_OBJECT DriverObject, DdDriverInfo* Info,
                              PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS DdRemoveDevice(DdExtension* Extension, PIRP Irp);
LONG DdGetHardwareInfo(SmDevice* Context, LONG Index, DdHardwareInfo* Info);

// Names: out = "\Device\" + base (+ decimal number when number >= 0) and
// out = "\??\" + base (+ decimal number + 1 when number >= 0). Out's buffer is the caller's.
NTSTATUS BuildDeviceName(PCWSTR BaseName, LONG Number, PUNICODE_STRING Out);
NTSTATUS BuildWin32Name(PCWSTR BaseName, LONG Number, PUNICODE_STRING Out);

// Registry values of the service key. Any passive-level thread; each call opens and closes the
// key. Access: KEY_QUERY_VALUE to read, KEY_SET_VALUE to write.
HANDLE DdOpenDeviceKey(DdExtension* Extension, ACCESS_MASK Access);
ULONG DdQueryDeviceValue(DdExtension* Extension, PCWSTR ValueName, ULONG Default);
BOOLEAN DdSetDeviceValue(DdExtension* Extension, PCWSTR ValueName, ULONG Value);
BOOLEAN DdSetDeviceString(DdExtension* Extension, PCWSTR ValueName, PCWSTR Value);

// Dispatch routines registered by DriverEntry.
DRIVER_DISPATCH DdCreate;
DRIVER_DISPATCH DdClose;
DRIVER_DISPATCH DdCleanup;
DRIVER_DISPATCH DdRead;
DRIVER_DISPATCH DdWrite;
DRIVER_DISPATCH DdIoctl;
DRIVER_DISPATCH DdProcessPowerIrp;
DRIVER_DISPATCH DdProcessSysControlIrp;
DRIVER_DISPATCH DdProcessPnPIrp;
FAST_IO_DEVICE_CONTROL FastDeviceIoCtl;

// The layers below fill their entries of the info table; 0 refuses the device.
ULONG DdDriverGetInfo(DdDriverInfo* Info); // transport; calls MsDriverGetInfo
ULONG MsDriverGetInfo(DdDriverInfo* Info); // interface
