// Plug and Play, power and system control requests as the managers send them.
#include "core/testing/device_rig.h"

namespace {

using varlo_test::DeviceRig;

POWER_STATE SystemState(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}

TEST(PnpTest, MinorFunctionsAnswerPerTable) {
    DeviceRig rig;
    ks::ClientHandle* h = rig.Open();
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                        IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        EXPECT_EQ(ks::SendPnp(rig.device, minor).status, STATUS_SUCCESS) << (int)minor;
    // State changes leave the open port and its client alone.
    EXPECT_EQ(rig.lower.closes, 0);
    EXPECT_EQ(rig.ext->OpenCount, 1);

    for (UCHAR minor : {0x07, 0x08, 0x0A, 0x0C, 0x13, 0x16, 0x18, 0xFF})
        EXPECT_EQ(ks::SendPnp(rig.device, minor).status, STATUS_NOT_IMPLEMENTED) << (int)minor;
    // No resources: the request's status comes back as it was sent.
    EXPECT_EQ(ks::SendPnp(rig.device, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, STATUS_NOT_SUPPORTED)
                  .status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(
        ks::SendPnp(rig.device, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, STATUS_SUCCESS).status,
        STATUS_SUCCESS);
    ks::ClientClose(h);
}

TEST(PnpTest, CapabilitiesFilledOthersKept) {
    DeviceRig rig;
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0xFF, sizeof(caps));
    caps.Address = 0x1234;
    caps.SystemWake = PowerSystemSleeping3;
    EXPECT_EQ(ks::QueryCapabilities(rig.device, &caps).status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, 64);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.D1Latency, 0u);
    EXPECT_EQ(caps.D2Latency, 0u);
    EXPECT_EQ(caps.D3Latency, 0u);
    EXPECT_EQ(caps.Address, 0x1234u);
    EXPECT_EQ(caps.SilentInstall, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST(PnpTest, RemovalDeletesDeviceAndLink) {
    DeviceRig rig;
    EXPECT_EQ(rig.Remove().status, STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.frees, 1);
    EXPECT_EQ(ks::FindDevice(u"\\Device\\KorvaneMidiVr0"), nullptr);
    EXPECT_FALSE(ks::SymbolicLinkTarget(varlo_test::kLinkName).has_value());
    ks::ClientHandle* h = nullptr;
    EXPECT_NE(ks::ClientOpen(varlo_test::kLinkName, &h), STATUS_SUCCESS);
}

TEST(PnpTest, SystemPowerSwitchesActivationWhileClientsExist) {
    DeviceRig rig;
    // Without clients nothing is sent.
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_SET_POWER, SystemPowerState,
                            SystemState(PowerSystemSleeping3))
                  .status,
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.lower.ModesSet().empty());

    ks::ClientHandle* h = rig.Open();
    // A query for sleep already deactivates; the set back to working reactivates.
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_QUERY_POWER, SystemPowerState,
                            SystemState(PowerSystemSleeping3))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet(), (std::vector<LONG>{DD_ACTIVATE_OFF}));
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_SET_POWER, SystemPowerState,
                            SystemState(PowerSystemSleeping3))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_SET_POWER, SystemPowerState,
                            SystemState(PowerSystemWorking))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet(), (std::vector<LONG>{DD_ACTIVATE_OFF, DD_ACTIVATE_ON}));

    // Device power states change nothing.
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_SET_POWER, DevicePowerState, d3).status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet().size(), 2u);

    POWER_STATE any = SystemState(PowerSystemWorking);
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_WAIT_WAKE, SystemPowerState, any).status,
              STATUS_SUCCESS);
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_POWER_SEQUENCE, SystemPowerState, any).status,
              STATUS_SUCCESS);
    EXPECT_EQ(ks::SendPower(rig.device, 4, SystemPowerState, any).status, STATUS_NOT_IMPLEMENTED);
    ks::ClientClose(h);
}

} // namespace

namespace {

NTSTATUS KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(PnpTest, SystemControlSucceedsWithNothing) {
    DeviceRig rig;
    PIRP irp = IoAllocateIrp(rig.device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 77;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(rig.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
}

} // namespace
