// Plug and Play, power and system control requests as the managers send them.
#include "core/testing/device_rig.h"

namespace {

using varlo_test::DeviceRig;

NTSTATUS SystemPower(DeviceRig& rig, UCHAR minor, SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return ks::SendPower(rig.device, minor, SystemPowerState, state).status;
}

TEST(PnpTest, MinorFunctionsAnswerPerTableSystemPowerSwitchesActivationWhileClientsExist) {
    DeviceRig rig;
    // Without clients a system power change sends nothing.
    EXPECT_EQ(SystemPower(rig, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(rig.lower.ModesSet().empty());
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
    for (NTSTATUS sent : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS})
        EXPECT_EQ(ks::SendPnp(rig.device, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, sent).status,
                  sent);

    // A query for sleep already deactivates; the set back to working reactivates.
    EXPECT_EQ(SystemPower(rig, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet(), (std::vector<LONG>{DD_ACTIVATE_OFF}));
    EXPECT_EQ(SystemPower(rig, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(rig, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet(), (std::vector<LONG>{DD_ACTIVATE_OFF, DD_ACTIVATE_ON}));

    // Device power states change nothing.
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(ks::SendPower(rig.device, IRP_MN_SET_POWER, DevicePowerState, d3).status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.ModesSet().size(), 2u);

    EXPECT_EQ(SystemPower(rig, IRP_MN_WAIT_WAKE, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(rig, IRP_MN_POWER_SEQUENCE, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(rig, 4, PowerSystemWorking), STATUS_NOT_IMPLEMENTED);
    ks::ClientClose(h);
}

NTSTATUS KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Capabilities, system control, then removal on one device.
TEST(PnpTest, CapabilitiesFilledSystemControlSucceedsRemovalDeletesDeviceAndLink) {
    DeviceRig rig;
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0xFF, sizeof(caps));
    caps.Address = 0x1234;
    caps.SystemWake = PowerSystemSleeping3;
    EXPECT_EQ(ks::QueryCapabilities(rig.device, &caps).status, STATUS_SUCCESS);
    // Removable, silently installed and safe to pull; no locks, ejection, dock, unique id, wake
    // or latencies; the address kept.
    EXPECT_EQ((std::vector<ULONG>{caps.Size, caps.Version, caps.Removable, caps.SilentInstall,
                                  caps.SurpriseRemovalOK, caps.LockSupported, caps.EjectSupported,
                                  caps.DockDevice, caps.UniqueID, ULONG(caps.SystemWake),
                                  ULONG(caps.DeviceWake), caps.D1Latency, caps.D2Latency,
                                  caps.D3Latency, caps.Address}),
              (std::vector<ULONG>{64, 1, 1, 1, 1, 0, 0, 0, 0, PowerSystemUnspecified,
                                  PowerDeviceUnspecified, 0, 0, 0, 0x1234}));

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

    EXPECT_EQ(rig.Remove().status, STATUS_SUCCESS);
    EXPECT_EQ(rig.lower.frees, 1);
    EXPECT_EQ(ks::FindDevice(u"\\Device\\KorvaneMidiVr0"), nullptr);
    EXPECT_FALSE(ks::SymbolicLinkTarget(varlo_test::kLinkName).has_value());
    EXPECT_EQ(rig.pdo->AttachedDevice, nullptr);
    ks::ClientHandle* h = nullptr;
    EXPECT_NE(ks::ClientOpen(varlo_test::kLinkName, &h), STATUS_SUCCESS);
}

} // namespace
