// Costs of the layer's paths the driver uses per MIDI message: a fast I/O device control, the
// same as a request packet, a reused packet through a completion routine, an event hand-over
// between threads, and pool.
#include <ks/system.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

constexpr ULONG kFastCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIrpCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

BOOLEAN FastControl(PFILE_OBJECT, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG code,
                    PIO_STATUS_BLOCK status, PDEVICE_OBJECT) {
    if (code != kFastCode)
        return FALSE;
    status->Status = STATUS_SUCCESS;
    status->Information = 4;
    return TRUE;
}

FAST_IO_DISPATCH gFast = {.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH),
                          .FastIoDeviceControl = FastControl};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction)
        entry = CompleteAtOnce;
    driver->FastIoDispatch = &gFast;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Bench");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    device->Flags = (device->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

struct Fixture {
    PDRIVER_OBJECT driver;
    ks::ClientHandle* handle;
    Fixture() {
        driver = ks::LoadDriver(u"Bench", Entry);
        ks::ClientOpen(u"\\Device\\Bench", &handle);
    }
    ~Fixture() {
        ks::ClientClose(handle);
        IoDeleteDevice(driver->DeviceObject);
        ks::UnloadDriver(driver);
    }
};

void FastIoDeviceControl(benchmark::State& state) {
    Fixture f;
    ULONG out, returned;
    for (auto _ : state)
        ks::ClientDeviceIoControl(f.handle, kFastCode, &out, 4, &out, 4, &returned);
}
BENCHMARK(FastIoDeviceControl);

void IrpDeviceControl(benchmark::State& state) {
    Fixture f;
    ULONG out, returned;
    for (auto _ : state)
        ks::ClientDeviceIoControl(f.handle, kIrpCode, &out, 4, &out, 4, &returned);
}
BENCHMARK(IrpDeviceControl);

NTSTATUS KeepIt(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReusedIrpThroughCompletionRoutine(benchmark::State& state) {
    Fixture f;
    PDEVICE_OBJECT device = f.driver->DeviceObject;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    for (auto _ : state) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
    }
    IoFreeIrp(irp);
}
BENCHMARK(ReusedIrpThroughCompletionRoutine);

void EventPingPong(benchmark::State& state) {
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop)
                break;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (auto _ : state) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, 0, FALSE);
    partner.join();
}
BENCHMARK(EventPingPong);

void PoolAllocateFree(benchmark::State& state) {
    for (auto _ : state) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 256, ks::Tag("Bnch"));
        benchmark::DoNotOptimize(block);
        ExFreePoolWithTag(block, ks::Tag("Bnch"));
    }
}
BENCHMARK(PoolAllocateFree);

} // namespace

BENCHMARK_MAIN();
