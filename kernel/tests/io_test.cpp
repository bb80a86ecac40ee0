// Requests through device stacks: completion routines, pending and cancel, kernel addresses
// from user mode, a synchronous read. (Fast I/O first, buffered requests built for another
// device, opening a device by name, a request of the driver's own reused with a completion
// routine that keeps it, and callers' buffers that fault are what the driver's transport does
// and meets on every open, read, write and play: its tests cover them end to end.)
#include "test_driver.h"

#include <ks/hooks.h>
#include <ks/system.h>

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using kstest::Complete;
using kstest::Handler;

// The lower driver pends and completes from another thread: the upper driver's completion
// routine sees its own device and the pending mark, and the result reaches the sender.
TEST(Requests, CompletionRoutineOfTheUpperDriverSeesItsOwnDeviceAndPending) {
    PIRP lowerHeld = nullptr;
    Handler lowerHandler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        __atomic_store_n(&lowerHeld, irp, __ATOMIC_SEQ_CST); // handed to the completing thread
        return STATUS_PENDING;
    };
    auto lower = kstest::LoadTestDriver(u"Bottom", u"\\Device\\Bottom", &lowerHandler);
    std::pair<PDEVICE_OBJECT, bool> seen{}; // by the completion routine: device, pending
    PDEVICE_OBJECT upperDevice = nullptr;
    Handler upperHandler = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT device, PIRP irp, PVOID seen) -> NTSTATUS {
                *(std::pair<PDEVICE_OBJECT, bool>*)seen = {device, irp->PendingReturned};
                if (irp->PendingReturned)
                    IoMarkIrpPending(irp);
                return STATUS_SUCCESS; // let it go on to the top
            },
            &seen, TRUE, TRUE, TRUE);
        upperDevice = device;
        return IoCallDriver(lower.device, irp);
    };
    auto upper = kstest::LoadTestDriver(u"Top", u"\\Device\\Top", &upperHandler);
    IoAttachDeviceToDeviceStack(upper.device, lower.device);

    ks::IoResult result{};
    std::thread sender([&] { result = ks::SendPnp(upper.device, IRP_MN_QUERY_STOP_DEVICE); });
    while (__atomic_load_n(&lowerHeld, __ATOMIC_SEQ_CST) == nullptr)
        std::this_thread::yield();
    Complete(lowerHeld, STATUS_SUCCESS, 3);
    sender.join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 3u);
    EXPECT_EQ(seen, std::make_pair(upperDevice, true));

    IoDetachDevice(lower.device);
    EXPECT_EQ(kstest::UnloadTestDriver(upper), "");
    EXPECT_EQ(kstest::UnloadTestDriver(lower), "");
}

// A device that keeps one read waiting, under the cancel spin lock, until completed or cancelled.
PIRP gWaitingRead = nullptr;

void CancelRead(PDEVICE_OBJECT, PIRP irp) {
    gWaitingRead = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS ReaderDispatch(PDEVICE_OBJECT, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_READ: {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            gWaitingRead = irp;
            IoSetCancelRoutine(irp, CancelRead);
            IoMarkIrpPending(irp);
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            // METHOD_NEITHER: the caller's ranges as a driver's guarded copies see them.
            auto& control = stack->Parameters.DeviceIoControl;
            if (METHOD_FROM_CTL_CODE(control.IoControlCode) == METHOD_NEITHER &&
                !(ks::CallerRangeAccessible(control.Type3InputBuffer, control.InputBufferLength) &&
                  ks::CallerRangeAccessible(irp->UserBuffer, control.OutputBufferLength)))
                return Complete(irp, STATUS_ACCESS_VIOLATION);
            return Complete(irp, STATUS_SUCCESS);
        }
        default:
            return Complete(irp, STATUS_SUCCESS);
    }
}

class ReaderDevice : public ::testing::Test {
protected:
    void SetUp() override {
        handler_ = ReaderDispatch;
        test_ = kstest::LoadTestDriver(u"Reader", u"\\Device\\Reader0", &handler_, DO_BUFFERED_IO);
        UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Reader1");
        UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Reader0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    void TearDown() override {
        UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Reader1");
        EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
        EXPECT_EQ(kstest::UnloadTestDriver(test_), "");
    }
    Handler handler_;
    kstest::TestDriver test_;
};

TEST_F(ReaderDevice, CloseWaitsForTheRequestsOfTheHandle) {
    std::vector<UCHAR> order;
    handler_ = [&](PDEVICE_OBJECT device, PIRP irp) {
        order.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return ReaderDispatch(device, irp);
    };
    ks::ClientHandle* handle;
    ASSERT_EQ(ks::ClientOpen(u"\\\\.\\Reader1", &handle), STATUS_SUCCESS); // as user mode names it
    char buffer[8];
    auto read = ks::ClientReadAsync(handle, buffer, sizeof(buffer));
    ks::ClientClose(handle);
    // Cleanup came; close waits for the read that still holds the file.
    EXPECT_EQ(order, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP waiting = std::exchange(gWaitingRead, nullptr);
    ASSERT_NE(waiting, nullptr);
    IoSetCancelRoutine(waiting, nullptr);
    IoReleaseCancelSpinLock(irql);
    Complete(waiting, STATUS_SUCCESS);
    read->Wait(-1);
    read.reset();
    ks::DrainDeferred();
    EXPECT_EQ(order.back(), IRP_MJ_CLOSE);
}

// A kernel address from a user-mode caller fails the probe, as ProbeForRead/Write would.
TEST_F(ReaderDevice, NeitherMethodKernelAddressesFromUserModeGiveAccessViolation) {
    ks::ClientHandle* handle;
    ASSERT_EQ(ks::ClientOpen(u"\\??\\Reader1", &handle), STATUS_SUCCESS);
    const ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, 0);
    ks::FaultingBuffer input(8, 8);
    void* kernel = ExAllocatePoolWithTag(NonPagedPool, 8, ks::Tag("Kadr"));
    void* good = input.data();
    ULONG returned;
    using Case = std::tuple<void*, void*, NTSTATUS>;
    for (auto [in, out, status] :
         {Case{good, good, STATUS_SUCCESS}, Case{kernel, good, STATUS_ACCESS_VIOLATION},
          Case{good, kernel, STATUS_ACCESS_VIOLATION}})
        EXPECT_EQ(ks::ClientDeviceIoControl(handle, neither, in, 8, out, 8, &returned), status);
    ExFreePoolWithTag(kernel, ks::Tag("Kadr"));
    ks::ClientClose(handle);
}

// IoCancelIrp marks a request that has no cancel routine; power reaches a device that is not
// pageable at DISPATCH_LEVEL. (A pageable one gets it at PASSIVE_LEVEL, where the driver's
// power handler waits: the transport's power tests would end in the verifier otherwise.)
TEST(Requests, CancelMarksAndPowerLevels) {
    static PIRP held;
    static KIRQL powerIrql;
    held = nullptr;
    Handler handler = [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
            powerIrql = KeGetCurrentIrql();
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        }
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        __atomic_store_n(&held, irp, __ATOMIC_SEQ_CST);
        return STATUS_PENDING;
    };
    auto test = kstest::LoadTestDriver(u"Marks", u"\\Device\\Marks", &handler);
    ks::ClientHandle* handle;
    ASSERT_EQ(ks::ClientOpen(u"\\Device\\Marks", &handle), STATUS_SUCCESS);
    char buffer[4];
    auto read = ks::ClientReadAsync(handle, buffer, 4);
    EXPECT_FALSE(read->Cancel()); // no cancel routine: not cancelable, but marked
    EXPECT_TRUE(__atomic_load_n(&held->Cancel, __ATOMIC_SEQ_CST));
    Complete(held, STATUS_CANCELLED);
    EXPECT_TRUE(read->Wait(-1));
    read.reset();
    ks::ClientClose(handle);

    POWER_STATE state{.SystemState = PowerSystemWorking};
    ks::SendPower(test.device, IRP_MN_SET_POWER, SystemPowerState, state);
    EXPECT_EQ(powerIrql, DISPATCH_LEVEL);
    handler = nullptr;
    kstest::UnloadTestDriver(test);
}

// A synchronous read through the system buffer copies back only what was transferred. (Writes
// the same way are what the simulated serial port's tests send.)
TEST(Requests, SynchronousReadCopiesBackOnlyWhatWasTransferred) {
    Handler handler = [&](PDEVICE_OBJECT, PIRP irp) {
        auto* data = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
        for (ULONG i = 0; i < 8; i++)
            data[i] = (UCHAR)(0xF0 + i);
        return Complete(irp, STATUS_SUCCESS, 3);
    };
    auto test =
        kstest::LoadTestDriver(u"Transfer", u"\\Device\\Transfer", &handler, DO_BUFFERED_IO);
    UCHAR in[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, test.device, in, 8, nullptr, &event, &iosb);
    IoCallDriver(test.device, irp);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::vector<UCHAR>(in, in + 4), (std::vector<UCHAR>{0xF0, 0xF1, 0xF2, 0}));
    EXPECT_EQ(kstest::UnloadTestDriver(test), "");
}

// (Exclusive devices open once: the simulated serial port's tests look.)
TEST(Devices, NamesCollideAndDevicesStillInitializingDoNotOpen) {
    Handler none;
    auto test = kstest::LoadTestDriver(u"Excl", u"\\Device\\Serial7", &none, 0, TRUE);
    PDEVICE_OBJECT other;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\DEVICE\\serial7");
    EXPECT_EQ(IoCreateDevice(test.driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &other),
              STATUS_OBJECT_NAME_COLLISION);
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    test.device->Flags |= DO_DEVICE_INITIALIZING; // not ready: not openable
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(kstest::UnloadTestDriver(test), "");
    EXPECT_EQ(ks::FindDevice(u"\\Device\\Serial7"), nullptr);
}

} // namespace
