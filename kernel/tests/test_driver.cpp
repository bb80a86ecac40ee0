#include "test_driver.h"

#include <map>

namespace kstest {

namespace {

std::map<PDRIVER_OBJECT, Handler*>& Handlers() {
    static std::map<PDRIVER_OBJECT, Handler*> handlers;
    return handlers;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Handler* handler = Handlers()[device->DriverObject];
    if (handler != nullptr && *handler)
        return (*handler)(device, irp);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction)
        entry = Dispatch;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TestDriver LoadTestDriver(std::u16string_view service, std::u16string_view deviceName,
                          Handler* handler, ULONG deviceFlags, BOOLEAN exclusive) {
    TestDriver test;
    test.driver = ks::LoadDriver(service, Entry);
    Handlers()[test.driver] = handler;
    std::u16string name(deviceName);
    UNICODE_STRING unicode{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2),
                           (PWSTR)name.data()};
    IoCreateDevice(test.driver, 64, &unicode, FILE_DEVICE_UNKNOWN, 0, exclusive, &test.device);
    test.device->Flags |= deviceFlags;
    test.device->Flags &= ~DO_DEVICE_INITIALIZING;
    return test;
}

std::string UnloadTestDriver(TestDriver& test) {
    if (test.device != nullptr)
        IoDeleteDevice(test.device);
    Handlers().erase(test.driver);
    return ks::UnloadDriver(test.driver);
}

} // namespace kstest
