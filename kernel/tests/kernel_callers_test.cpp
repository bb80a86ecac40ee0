// Requests that drivers build for other devices: opening by name, a synchronous read, Plug and
// Play to a bare physical device. (A request given up after a time-out and cancelled is what the
// driver's transport does with a write into a stalled port: its tests cover that end to end.)
#include "test_driver.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kstest::Complete;
using kstest::Handler;

struct Seen {
    UCHAR major;
    KPROCESSOR_MODE requestor;
    KPROCESSOR_MODE previous;
};

TEST(KernelCallers, OpenByNameCleansUpAtOnceAndClosesOnTheLastReference) {
    std::vector<Seen> seen;
    Handler handler = [&](PDEVICE_OBJECT, PIRP irp) {
        seen.push_back({IoGetCurrentIrpStackLocation(irp)->MajorFunction, irp->RequestorMode,
                        ExGetPreviousMode()});
        return Complete(irp, STATUS_SUCCESS);
    };
    auto test = kstest::LoadTestDriver(u"Named", u"\\Device\\Serial3", &handler);
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Serial3");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(seen[0].requestor, KernelMode);
    EXPECT_EQ(seen[0].previous, KernelMode);
    EXPECT_EQ(seen[1].major, IRP_MJ_CLEANUP);
    ObReferenceObject(file);
    ObDereferenceObject(file);
    EXPECT_EQ(seen.size(), 2u); // still referenced once
    ObDereferenceObject(file);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);

    // A user-mode client's requests carry user mode.
    ks::ClientHandle* handle;
    ASSERT_EQ(ks::ClientOpen(u"\\Device\\Serial3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(seen.back().requestor, UserMode);
    EXPECT_EQ(seen.back().previous, UserMode);
    EXPECT_EQ(ExGetPreviousMode(), KernelMode); // restored after the call
    ks::ClientClose(handle);
    EXPECT_EQ(seen.back().major, IRP_MJ_CLOSE);
    EXPECT_EQ(kstest::UnloadTestDriver(test), "");
}

// A synchronous read through the system buffer copies back only what was transferred. (Writes
// the same way are what the simulated serial port's tests send.)
TEST(KernelCallers, SynchronousReadCopiesBackOnlyWhatWasTransferred) {
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
    EXPECT_EQ(in[0], 0xF0);
    EXPECT_EQ(in[2], 0xF2);
    EXPECT_EQ(in[3], 0);
    EXPECT_EQ(kstest::UnloadTestDriver(test), "");
}

TEST(KernelCallers, BarePhysicalDeviceAnswersWithTheRequestsOwnStatus) {
    PDEVICE_OBJECT pdo = ks::CreatePhysicalDevice();
    EXPECT_EQ(ks::SendPnp(pdo, IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ks::SendPnp(pdo, IRP_MN_START_DEVICE, {}, STATUS_SUCCESS).status, STATUS_SUCCESS);
    POWER_STATE state{.SystemState = PowerSystemWorking};
    EXPECT_EQ(ks::SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, state).status,
              STATUS_NOT_SUPPORTED);
    DEVICE_CAPABILITIES caps = {};
    caps.Size = sizeof(caps);
    EXPECT_EQ(ks::QueryCapabilities(pdo, &caps).status, STATUS_NOT_SUPPORTED);
    ks::DeletePhysicalDevice(pdo);
}

} // namespace
