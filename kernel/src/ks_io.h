// Internals of the I/O manager part of the layer: the host records behind driver objects,
// device objects and request packets.
#pragma once

#include "ks_internal.h"
#include "ks/system.h"

#include <atomic>
#include <functional>
#include <utility>
#include <vector>

namespace ks {

struct DriverRecord {
    DRIVER_OBJECT object; // first: the record's address is the object's
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::u16string registryPath;
    UNICODE_STRING registryPathString;
    std::vector<std::pair<PVOID, PVOID>> objectExtensions; // identifier, pool block
    DriverOptions options;
};

DriverRecord* RecordOf(PDRIVER_OBJECT driver);
PDRIVER_OBJECT CreateDriverObject(std::u16string_view service);
// Frees the object extensions and drops the object (device objects must be gone).
void DeleteDriverObject(PDRIVER_OBJECT driver);
void* DriverOwnerKey(PDRIVER_OBJECT driver); // owner of the driver's handles and threads

struct DeviceRecord {
    DEVICE_OBJECT object; // first
    DEVOBJ_EXTENSION objectExtension;
    std::u16string name;
    bool deleted = false;
    LONG openFiles = 0;
};
DeviceRecord* RecordOf(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStackOf(PDEVICE_OBJECT device);
// Names of the driver's devices still present.
std::vector<std::u16string> DeviceNamesOf(PDRIVER_OBJECT driver);

// Request packets. Every IRP of the layer has this record in front of it.
enum class IrpState { Owned, Dispatched, Completing, Finished, Freed };
struct IrpRecord {
    uint64_t magic;
    std::atomic<IrpState> state; // read by the cancel path and by owners in other threads
    // Built by the layer for a caller: at completion the finish step runs and the packet is
    // freed (unless keepAfterFinish).
    bool threaded;
    bool keepAfterFinish;
    bool powerReleased;
    // Thread-queued (IoBuild... requests): finished by a kernel APC in the issuing thread.
    bool apcCompletion;
    PIRP nextApc;
    size_t userLength; // bytes the caller's buffer holds (buffered input operations)
    // Per stack location (bit = index from the bottom), for the pending check: marked pending
    // when the completion walk passed it, walked, and its dispatch routine returned
    // STATUS_PENDING.
    uint64_t pendingMarks;
    uint64_t walkedLevels;
    uint64_t returnedPending;
    std::function<void(PIRP)> finish; // runs once the packet is completed to the top
};
IrpRecord* RecordOf(PIRP irp);
// A packet for stackSize locations, built for a caller: UserIosb and UserEvent are filled at
// completion; system buffers flagged IRP_DEALLOCATE_BUFFER are copied back and freed.
PIRP AllocateThreadedIrp(CCHAR stackSize, bool keepAfterFinish);
void* AllocateSystemBuffer(size_t size);
void FreeSystemBuffer(void* buffer);

// Sends a request in the calling thread (at `irql`) and waits for it; the packet (built with
// keepAfterFinish) is freed.
IoResult CallAndWait(PDEVICE_OBJECT device, PIRP irp, KIRQL irql = PASSIVE_LEVEL);

// A default dispatch entry: completes with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Deferred work that must run at PASSIVE_LEVEL in a fresh thread (closing a file whose last
// reference went away at raised IRQL).
void RunDeferred(std::function<void()> work);

} // namespace ks
