// The system side: loading and unloading drivers with the verifier's unload checks, the bus
// driver that owns physical device objects, AddDevice, Plug and Play and power requests.
#include "ks_io.h"

#include <algorithm>
#include <cstdio>

namespace ks {

namespace {

class DriverContext {
public:
    explicit DriverContext(PDRIVER_OBJECT driver) : saved_(CurrentDriverContext()) {
        SetCurrentDriverContext(driver);
    }
    ~DriverContext() { SetCurrentDriverContext(saved_); }

private:
    void* saved_;
};

void CheckPassive(const char* what) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("%s from IRQL %d", what, CurrentIrql());
}

// The bus driver completes what reaches it with the status the request carries.
NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    NTSTATUS status = irp->IoStatus.Status;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT Bus() {
    static PDRIVER_OBJECT bus = [] {
        PDRIVER_OBJECT driver = CreateDriverObject(u"ksbus");
        for (auto& entry : driver->MajorFunction)
            entry = BusDispatch;
        return driver;
    }();
    return bus;
}

const std::vector<ULONG> kSystemTags = {Tag("IoDE"), Tag("IoSB")};

PIRP BuildRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus) {
    PIRP irp = AllocateThreadedIrp(device->StackSize, true);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = initialStatus;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    return irp;
}

} // namespace

PDRIVER_OBJECT LoadDriver(std::u16string_view service, PDRIVER_INITIALIZE entry, NTSTATUS* status,
                          DriverOptions options) {
    CheckPassive("LoadDriver");
    RegistryCreateKey(ServiceKeyPath(service));
    PDRIVER_OBJECT driver = CreateDriverObject(service);
    DriverRecord* record = RecordOf(driver);
    record->options = std::move(options);
    driver->DriverInit = entry;
    NTSTATUS result;
    {
        DriverContext context(driver);
        result = entry(driver, &record->registryPathString);
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("DriverEntry returned at IRQL %d", CurrentIrql());
    if (status)
        *status = result;
    if (!NT_SUCCESS(result)) {
        if (driver->DeviceObject != nullptr)
            Fail("DriverEntry failed (0x%08X) but left device objects", (unsigned)result);
        DeleteDriverObject(driver);
        return nullptr;
    }
    return driver;
}

std::string UnloadDriver(PDRIVER_OBJECT driver) {
    CheckPassive("UnloadDriver");
    DriverRecord* record = RecordOf(driver);
    std::string report;
    auto note = [&](const std::string& line) { report += line + "\n"; };
    for (auto& name : DeviceNamesOf(driver))
        note("device object left: " + Narrow(name));
    if (driver->DriverUnload == nullptr) {
        note("driver has no unload routine");
    } else {
        DriverContext context(driver);
        driver->DriverUnload(driver);
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("DriverUnload returned at IRQL %d", CurrentIrql());
    DrainDeferred();
    CheckPoolGuards();
    auto tags = record->options.poolTags;
    for (auto& usage : PoolUsage()) {
        bool system =
            std::find(kSystemTags.begin(), kSystemTags.end(), usage.tag) != kSystemTags.end();
        bool mine =
            tags.empty() ? !system : std::find(tags.begin(), tags.end(), usage.tag) != tags.end();
        if (mine)
            note("pool left: tag '" + TagText(usage.tag) + "' " + std::to_string(usage.blocks) +
                 " block(s), " + std::to_string(usage.bytes) + " bytes");
    }
    if (size_t handles = HandlesOwnedBy(DriverOwnerKey(driver)))
        note("handles left open: " + std::to_string(handles));
    if (!report.empty())
        fprintf(stderr, "KERNEL VERIFIER: unload of %s:\n%s", Narrow(record->name).c_str(),
                report.c_str());
    // Device objects left behind keep the driver object until they are deleted.
    DeleteDriverObject(driver);
    return report;
}

PDEVICE_OBJECT CreatePhysicalDevice(std::u16string_view name) {
    CheckPassive("CreatePhysicalDevice");
    static std::atomic<int> counter{0};
    std::u16string text(name);
    if (text.empty()) {
        std::string generated = "\\Device\\KsPdo" + std::to_string(counter++);
        text.assign(generated.begin(), generated.end());
    }
    UNICODE_STRING unicode{(USHORT)(text.size() * 2), (USHORT)(text.size() * 2),
                           (PWSTR)text.data()};
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(Bus(), 0, &unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        Fail("CreatePhysicalDevice %s: 0x%08X", Narrow(text).c_str(), (unsigned)status);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo) {
    if (pdo->AttachedDevice != nullptr)
        Fail("physical device %p deleted while a device is still attached to it", (void*)pdo);
    IoDeleteDevice(pdo);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    CheckPassive("AddDevice");
    if (driver->DriverExtension->AddDevice == nullptr)
        Fail("driver %s has no AddDevice routine", Narrow(RecordOf(driver)->name).c_str());
    NTSTATUS status;
    {
        DriverContext context(driver);
        status = driver->DriverExtension->AddDevice(driver, pdo);
    }
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("AddDevice returned at IRQL %d", CurrentIrql());
    return status;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo) {
    return TopOfStackOf(pdo);
}

IoResult SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus) {
    CheckPassive("SendPnp");
    PIRP irp = BuildRequest(device, IRP_MJ_PNP, minor, initialStatus);
    if (setup)
        setup(IoGetNextIrpStackLocation(irp));
    return CallAndWait(device, irp);
}

IoResult QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities) {
    return SendPnp(device, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
}

IoResult SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    CheckPassive("SendPower");
    PIRP irp = BuildRequest(device, IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionNone;
    // The power manager calls a device that has not declared itself pageable at DISPATCH_LEVEL.
    return CallAndWait(device, irp,
                       (device->Flags & DO_POWER_PAGABLE) ? PASSIVE_LEVEL : DISPATCH_LEVEL);
}

} // namespace ks
