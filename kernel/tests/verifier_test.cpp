// Each misuse a driver verifier catches ends the process with a message naming it.
#include "test_driver.h"

#include <ks/hooks.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

// What a misuse is called, the code that commits it and what the verifier's message says.
template <typename Code>
struct Misuse {
    const char* name;
    Code run;
    const char* message;
};

KMUTEX gMutex;
FAST_MUTEX gFastMutex;
KSPIN_LOCK gLock;
KEVENT gEvent;

void RaiseToDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

// Dispatch routines that misbehave on the request sent to them.
const Misuse<NTSTATUS (*)(PDEVICE_OBJECT, PIRP)> kDispatchMisuses[] = {
    {"completing twice",
     [](PDEVICE_OBJECT, PIRP irp) {
         kstest::Complete(irp, STATUS_SUCCESS);
         return kstest::Complete(irp, STATUS_SUCCESS);
     },
     "completed twice"},
    {"completing with a cancel routine set",
     [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
         return kstest::Complete(irp, STATUS_SUCCESS);
     },
     "cancel routine still set"},
    {"completing with STATUS_PENDING",
     [](PDEVICE_OBJECT, PIRP irp) { return kstest::Complete(irp, STATUS_PENDING); },
     "STATUS_PENDING"},
    {"returning from dispatch at raised IRQL",
     [](PDEVICE_OBJECT, PIRP irp) {
         RaiseToDispatch();
         return kstest::Complete(irp, STATUS_SUCCESS);
     },
     "returned at IRQL 2"},
    {"pending returned, not marked",
     [](PDEVICE_OBJECT, PIRP irp) {
         kstest::Complete(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
     },
     "STATUS_PENDING without marking the IRP pending"},
    {"marked pending, not returned",
     [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return kstest::Complete(irp, STATUS_SUCCESS);
     },
     "marked the IRP pending but returned 0x00000000"},
};

const Misuse<void (*)()> kMisuses[] = {
    // Completed later by another thread: caught when the completion passes the location.
    {"pending returned, not marked, completed later",
     [] {
         static PIRP held;
         kstest::Handler handler = [](PDEVICE_OBJECT, PIRP irp) {
             __atomic_store_n(&held, irp, __ATOMIC_SEQ_CST);
             return STATUS_PENDING;
         };
         auto test = kstest::LoadTestDriver(u"Late", u"\\Device\\Late", &handler);
         std::thread sender([&] { ks::SendPnp(test.device, IRP_MN_START_DEVICE); });
         while (__atomic_load_n(&held, __ATOMIC_SEQ_CST) == nullptr)
             std::this_thread::yield();
         LARGE_INTEGER wait{.QuadPart = -20 * 10000};
         KeDelayExecutionThread(KernelMode, FALSE, &wait);
         kstest::Complete(held, STATUS_SUCCESS);
         sender.join();
     },
     "STATUS_PENDING without marking the IRP pending"},
    {"releasing a mutex not held", [] { KeReleaseMutex(&gMutex, FALSE); }, "does not own it"},
    {"releasing a mutex another thread holds",
     [] {
         std::thread([] {
             KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
         }).join();
         KeReleaseMutex(&gMutex, FALSE);
     },
     "does not own it"},
    {"releasing a fast mutex not held", [] { ExReleaseFastMutex(&gFastMutex); }, "does not own it"},
    {"acquiring a fast mutex twice",
     [] {
         ExAcquireFastMutex(&gFastMutex);
         ExAcquireFastMutex(&gFastMutex);
     },
     "deadlock"},
    {"waiting holding a spin lock",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&gLock, &old);
         KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, nullptr);
     },
     "waits need IRQL <= APC_LEVEL"},
    {"delaying at raised IRQL",
     [] {
         RaiseToDispatch();
         LARGE_INTEGER delay{.QuadPart = -10000};
         KeDelayExecutionThread(KernelMode, FALSE, &delay);
     },
     "KeDelayExecutionThread at IRQL 2"},
    {"acquiring a spin lock twice",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&gLock, &old);
         KeAcquireSpinLock(&gLock, &old);
     },
     "deadlock"},
    {"releasing a spin lock not held",
     [] {
         RaiseToDispatch();
         KeReleaseSpinLock(&gLock, PASSIVE_LEVEL);
     },
     "does not hold it"},
    {"lowering IRQL upwards", [] { KeLowerIrql(DISPATCH_LEVEL); }, "above the current IRQL"},
    {"pool freed with another tag",
     [] {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 16, ks::Tag("Ddk "));
         ExFreePoolWithTag(block, ks::Tag("Othr"));
     },
     "of tag 'Ddk ' freed with tag 'Othr'"},
    {"pool freed twice",
     [] {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 16, ks::Tag("Ddk "));
         ExFreePoolWithTag(block, ks::Tag("Ddk "));
         ExFreePoolWithTag(block, ks::Tag("Ddk "));
     },
     "no allocated pool block"},
    {"paged pool at raised IRQL",
     [] {
         RaiseToDispatch();
         ExAllocatePoolWithTag(PagedPool, 16, ks::Tag("Ddk "));
     },
     "paged pool allocated at IRQL 2"},
    {"pool written past its end",
     [] {
         char* block = (char*)ExAllocatePoolWithTag(NonPagedPool, 5, ks::Tag("Ddk "));
         block[5] = 0;
         ExFreePoolWithTag(block, ks::Tag("Ddk "));
     },
     "tag 'Ddk ' \\(5 bytes\\) was written past its end \\(at offset 5\\), found at free"},
    {"pool written before its start",
     [] {
         kstest::Handler none;
         auto test = kstest::LoadTestDriver(u"Underrun", u"\\Device\\Underrun", &none);
         char* block = (char*)ExAllocatePoolWithTag(NonPagedPool, 32, ks::Tag("Ddk "));
         block[-1] = 0;
         kstest::UnloadTestDriver(test);
     },
     "written before its start \\(1 bytes before\\), found at unload"},
    {"deleting a device still attached",
     [] {
         kstest::Handler none;
         auto test = kstest::LoadTestDriver(u"Attached", u"\\Device\\Attached", &none);
         IoAttachDeviceToDeviceStack(test.device, ks::CreatePhysicalDevice());
         IoDeleteDevice(test.device);
     },
     "still attached to a lower device"},
    {"power request not released for the next",
     [] {
         kstest::Handler handler = [](PDEVICE_OBJECT, PIRP irp) {
             return kstest::Complete(irp, STATUS_SUCCESS);
         };
         auto test = kstest::LoadTestDriver(u"Power", u"\\Device\\Power", &handler);
         POWER_STATE state{.SystemState = PowerSystemWorking};
         ks::SendPower(test.device, IRP_MN_SET_POWER, SystemPowerState, state);
     },
     "without PoStartNextPowerIrp"},
    {"own request completed to the top",
     [] {
         kstest::Handler none; // completes every request
         auto test = kstest::LoadTestDriver(u"Own", u"\\Device\\Own", &none);
         PIRP irp = IoAllocateIrp(test.device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(test.device, irp);
     },
     "must answer STATUS_MORE_PROCESSING_REQUIRED"},
    {"system thread ending with a mutex held",
     [] {
         HANDLE handle;
         PsCreateSystemThread(
             &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
             [](PVOID) {
                 KeWaitForSingleObject(&gMutex, Executive, KernelMode, FALSE, nullptr);
                 PsTerminateSystemThread(STATUS_SUCCESS);
             },
             nullptr);
         PVOID thread;
         ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                   nullptr);
         KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
     },
     "ends holding 1 mutex"},
    // A request built for a thread completes in that thread by a kernel APC: a thread that waits
    // for it holding a fast mutex never gets it.
    {"waiting for a thread's request where no APC can run",
     [] {
         static PIRP held;
         kstest::Handler handler = [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             __atomic_store_n(&held, irp, __ATOMIC_SEQ_CST);
             return STATUS_PENDING;
         };
         auto test = kstest::LoadTestDriver(u"Apc", u"\\Device\\Apc", &handler);
         std::thread completer([] {
             ks::SetThreadName("completer");
             while (__atomic_load_n(&held, __ATOMIC_SEQ_CST) == nullptr)
                 std::this_thread::yield();
             kstest::Complete(held, STATUS_SUCCESS);
         });
         ks::SetThreadName("issuer");
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         PIRP irp = IoBuildDeviceIoControlRequest(
             CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0), test.device, nullptr, 0, nullptr,
             0, FALSE, &event, &iosb);
         ExAcquireFastMutex(&gFastMutex);
         IoCallDriver(test.device, irp);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     },
     "deadlock: issuer waits without limit at IRQL 1 .* completed by completer"},
    {"request carrying a released file object",
     [] {
         kstest::Handler none;
         kstest::LoadTestDriver(u"Stale", u"\\Device\\Stale", &none);
         UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Stale");
         PFILE_OBJECT file;
         PDEVICE_OBJECT device;
         IoGetDeviceObjectPointer(&name, 0, &file, &device);
         ObDereferenceObject(file);
         PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
         IoGetNextIrpStackLocation(irp)->FileObject = file;
         IoCallDriver(device, irp);
     },
     "IRP_MJ_WRITE to .* carries file object .* whose last reference is gone"},
};

TEST(VerifierDeath, EachMisuseEndsTheProcessNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KeInitializeMutex(&gMutex, 1);
    ExInitializeFastMutex(&gFastMutex);
    KeInitializeSpinLock(&gLock);
    KeInitializeEvent(&gEvent, NotificationEvent, TRUE);
    for (const auto& misuse : kDispatchMisuses) {
        kstest::Handler handler = misuse.run;
        auto test = kstest::LoadTestDriver(u"Verifier", u"\\Device\\Verifier", &handler);
        EXPECT_DEATH(ks::SendPnp(test.device, IRP_MN_START_DEVICE), misuse.message) << misuse.name;
        kstest::UnloadTestDriver(test);
    }
    for (const auto& misuse : kMisuses)
        EXPECT_DEATH(misuse.run(), misuse.message) << misuse.name;

    // A zero time-out at DISPATCH_LEVEL only polls, which is allowed.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{.QuadPart = 0};
    EXPECT_EQ(KeWaitForSingleObject(&gEvent, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeLowerIrql(old);
}

// A client's handle made without OBJ_KERNEL_HANDLE belongs to the client: a system thread cannot
// use it, and taking it as KernelMode is reported.
TEST(VerifierDeath, ClientHandleUsedAsAKernelHandle) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static HANDLE clientHandle;
    static NTSTATUS inSystemThread;
    static KEVENT done;
    static KPROCESSOR_MODE createMode;
    kstest::Handler handler = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            PsCreateSystemThread(
                &clientHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) {
                    PVOID object;
                    inSystemThread = ObReferenceObjectByHandle(clientHandle, 0, *PsThreadType,
                                                               UserMode, &object, nullptr);
                    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
                },
                nullptr);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            PVOID thread;
            if (ObReferenceObjectByHandle(clientHandle, 0, *PsThreadType, createMode, &thread,
                                          nullptr) == STATUS_SUCCESS)
                ObDereferenceObject(thread);
            ZwClose(clientHandle);
        }
        return kstest::Complete(irp, STATUS_SUCCESS);
    };
    auto test = kstest::LoadTestDriver(u"Handles", u"\\Device\\Handles", &handler);
    ks::ClientHandle* client;
    createMode = UserMode;
    ASSERT_EQ(ks::ClientOpen(u"\\Device\\Handles", &client), STATUS_SUCCESS);
    EXPECT_EQ(inSystemThread, STATUS_INVALID_HANDLE);
    ks::ClientClose(client);
    createMode = KernelMode;
    EXPECT_DEATH(ks::ClientOpen(u"\\Device\\Handles", &client), "belongs to the client process");
    kstest::UnloadTestDriver(test);
}

HANDLE gLeakedKey;

NTSTATUS LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwOpenKey(&gLeakedKey, KEY_QUERY_VALUE, &attributes);
}

TEST(Unload, ReportsPoolLeftPerTagDevicesAndHandlesLeft) {
    kstest::Handler none;
    auto test = kstest::LoadTestDriver(u"Leaky", u"\\Device\\Leaky", &none);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, ks::Tag("Lk1 "));
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, ks::Tag("Lk1 "));
    void* c = ExAllocatePoolWithTag(NonPagedPool, 5, ks::Tag("Lk2 "));
    std::string report = kstest::UnloadTestDriver(test);
    EXPECT_NE(report.find("tag 'Lk1 ' 2 block(s), 128 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("tag 'Lk2 ' 1 block(s), 5 bytes"), std::string::npos) << report;
    ExFreePoolWithTag(a, ks::Tag("Lk1 "));
    ExFreePoolWithTag(b, ks::Tag("Lk1 "));
    ExFreePoolWithTag(c, ks::Tag("Lk2 "));

    auto again = kstest::LoadTestDriver(u"Leaky2", u"\\Device\\Leaky2", &none);
    PDEVICE_OBJECT device = again.device;
    again.device = nullptr; // left behind
    report = kstest::UnloadTestDriver(again);
    EXPECT_NE(report.find("device object left: \\Device\\Leaky2"), std::string::npos) << report;
    IoDeleteDevice(device);

    NTSTATUS status;
    PDRIVER_OBJECT driver = ks::LoadDriver(u"HandleLeak", LeakingEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    report = ks::UnloadDriver(driver);
    EXPECT_NE(report.find("handles left open: 1"), std::string::npos) << report;
    ZwClose(gLeakedKey);
}

} // namespace
