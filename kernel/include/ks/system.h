// The system side of the host kernel-services layer, for tests, tools and the device host: what
// the I/O manager, the Plug and Play manager, the configuration manager and a user-mode program
// do around a driver. Every call may be made from any ordinary (PASSIVE_LEVEL) host thread; the
// calls that run driver code run it in the calling thread.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks {

// A pool tag from its four characters as written: Tag("Ddk ") has the bytes 44 64 6B 20.
constexpr ULONG Tag(const char (&text)[5]) {
    return (ULONG)(uint8_t)text[0] | (ULONG)(uint8_t)text[1] << 8 | (ULONG)(uint8_t)text[2] << 16 |
           (ULONG)(uint8_t)text[3] << 24;
}
std::string TagText(ULONG tag);

// ---- Pool ----------------------------------------------------------------------------------
struct PoolTagUsage {
    ULONG tag;
    size_t blocks;
    size_t bytes;
};
size_t PoolBlocks(ULONG tag);
size_t PoolBytes(ULONG tag);
std::vector<PoolTagUsage> PoolUsage(); // every tag with blocks outstanding
// Fault injection: after `skip` further successful allocations with `tag` (0: any tag), the
// next `count` allocations fail. FailPoolAllocations(0, 0, 0) turns it off.
void FailPoolAllocations(ULONG tag, int skip, int count);

// ---- Registry ------------------------------------------------------------------------------
// Paths are absolute kernel paths ("\Registry\Machine\System\..."), compared case-insensitively.
struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data;
};
std::u16string ServiceKeyPath(std::u16string_view service);
void RegistryCreateKey(std::u16string_view path);
bool RegistryDeleteKey(std::u16string_view path); // with its subkeys
void RegistrySetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                      const void* data, size_t size);
void RegistrySetDword(std::u16string_view path, std::u16string_view name, uint32_t value);
void RegistrySetString(std::u16string_view path, std::u16string_view name,
                       std::u16string_view text); // REG_SZ with its terminating zero
std::optional<RegistryValue> RegistryGetValue(std::u16string_view path, std::u16string_view name);
std::optional<uint32_t> RegistryGetDword(std::u16string_view path, std::u16string_view name);
std::optional<std::u16string> RegistryGetString(std::u16string_view path, std::u16string_view name);
std::vector<std::u16string> RegistryValueNames(std::u16string_view path);
void RegistryClear();
// A text file of the whole tree (one line per key and per value). Load replaces the tree; it
// answers false and leaves the tree as it was when the file is missing or malformed.
bool RegistrySave(const std::string& file);
bool RegistryLoad(const std::string& file);
bool RegistryLoadText(const std::string& text); // the same from the file's text
std::string RegistrySaveText();                 // the file's text

// ---- Drivers and devices -------------------------------------------------------------------
struct DriverOptions {
    // Pool tags the driver allocates with; blocks of these tags left at unload are reported.
    // Empty: every tag.
    std::vector<ULONG> poolTags;
};
// Installs the service key (if missing), creates the driver object \Driver\<service> and runs
// DriverEntry with the service key path. nullptr when DriverEntry fails (status in *status).
PDRIVER_OBJECT LoadDriver(std::u16string_view service, PDRIVER_INITIALIZE entry,
                          NTSTATUS* status = nullptr, DriverOptions options = {});
// Runs DriverUnload, then checks what a verifier checks at unload: device objects left, pool
// of the driver's tags left (per tag), handles left open by it. Answers "" when clean, else a
// report (also printed); the driver object is gone either way.
std::string UnloadDriver(PDRIVER_OBJECT driver);

// A physical device object of the layer's own bus driver, as the Plug and Play manager finds
// one for a device node. It completes every request sent to it with the request's status.
PDEVICE_OBJECT CreatePhysicalDevice(std::u16string_view name = u"");
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);
// Calls the driver's AddDevice for the node.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// The top of the device stack of pdo (the device a request for the node goes to).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo);

// Plug and Play and power requests, sent to `device` as the managers send them (status starts
// as STATUS_NOT_SUPPORTED for Plug and Play). `setup` may fill the parameters.
struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};
IoResult SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                 NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);
IoResult QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities);
// Fails loudly when the driver completes the request without releasing it for the next one
// (PoStartNextPowerIrp).
IoResult SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// Object namespace lookups.
PDEVICE_OBJECT FindDevice(std::u16string_view name); // not referenced
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);

// ---- A user-mode client of a device --------------------------------------------------------
// Requests from these calls carry RequestorMode UserMode and run the driver with the previous
// mode UserMode, in the calling thread. A handle is a file object opened on the device.
struct ClientHandle;
// name: a kernel name ("\Device\X", "\??\X") or a Win32 device path ("\\.\X").
NTSTATUS ClientOpen(std::u16string_view name, ClientHandle** handle);
// Sends IRP_MJ_CLEANUP now, and IRP_MJ_CLOSE once no request of the handle is left.
void ClientClose(ClientHandle* handle);
PFILE_OBJECT ClientFileObject(ClientHandle* handle);

// A request that may wait in the driver (read or write).
class PendingRequest {
public:
    virtual ~PendingRequest() = default;
    // Waits up to timeoutMs (negative: for ever); true once completed.
    virtual bool Wait(int timeoutMs) = 0;
    virtual bool Completed() = 0;
    virtual NTSTATUS Status() = 0; // STATUS_PENDING until completed
    virtual ULONG_PTR Information() = 0;
    // IoCancelIrp on the request; false when it was not cancelable (or already done).
    virtual bool Cancel() = 0;
};
std::unique_ptr<PendingRequest> ClientReadAsync(ClientHandle* handle, void* buffer, ULONG length);
NTSTATUS ClientRead(ClientHandle* handle, void* buffer, ULONG length, ULONG* transferred);
NTSTATUS ClientWrite(ClientHandle* handle, const void* buffer, ULONG length, ULONG* transferred);
// Tries the driver's fast I/O device-control entry first, as the I/O manager does for a
// synchronous handle; when it declines, sends an IRP_MJ_DEVICE_CONTROL request built for the
// code's transfer method. *usedFastIo tells which path answered.
NTSTATUS ClientDeviceIoControl(ClientHandle* handle, ULONG code, const void* input,
                               ULONG inputLength, void* output, ULONG outputLength, ULONG* returned,
                               bool* usedFastIo = nullptr);

// A user-mode buffer whose bytes from `readable` on fault (a guard area follows): the
// METHOD_NEITHER and fast I/O paths see a caller buffer that faults part-way or at once.
class FaultingBuffer {
public:
    FaultingBuffer(size_t size, size_t readable);
    ~FaultingBuffer();
    FaultingBuffer(const FaultingBuffer&) = delete;
    FaultingBuffer& operator=(const FaultingBuffer&) = delete;
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void* mapping_;
    size_t mappingSize_;
    uint8_t* data_;
    size_t size_;
};
// True when [address, address + length) touches a faulting area (used by the guarded copies).
bool AddressFaults(const void* address, size_t length);
// User space as probing sees it: below kUserProbeAddress and outside every pool block (system
// buffers included). The guarded copies probe a user-mode caller's range with it.
constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000;
bool ProbeUserRange(const void* address, size_t length);
// What a guarded copy from or to a caller's buffer may do, as the kernel would decide it: false
// when a user-mode caller's range is not user space (probing would raise) or when any byte of it
// faults. Any thread; the previous mode is the calling thread's.
bool CallerRangeAccessible(const void* address, size_t length);

// Closes that had to wait for the last reference of a file object run in a worker thread;
// this waits until they are done.
void DrainDeferred();

// ---- Threads -------------------------------------------------------------------------------
size_t LiveSystemThreads();
// The previous mode of the calling thread (KernelMode unless a client call is running).
KPROCESSOR_MODE PreviousMode();

} // namespace ks
