// The interface functions on their own: configuration replies, activation queries, hardware
// information and the input cable table, on a device context without serial ports.
#include "interface/varlo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

struct Rig {
    DdExtension ext{};
    DdInCableState inCables[6]{};
    DdOutCableState out[2]{};
    SmDevice device{};

    Rig() {
        MsDriverGetInfo(&ext.Info);
        ext.InCableTable = inCables;
        ext.OutTable = out;
        ext.Context = &device;
        device.Extension = &ext;
        for (SmPort& p : device.Ports)
            p.Device = &device;
    }
};

using Bytes = std::vector<UCHAR>;
const Bytes kReply = {0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, '1', '2', '3', 0xF7};

} // namespace

TEST(InterfaceFunctions, ConfigurationReplies) {
    EXPECT_EQ(VrParseConfigReply(kReply.data(), 12), 123u);
    EXPECT_EQ(VrParseConfigReply(kReply.data(), 11), 0u);
    // One byte changed: a 1 there is accepted too; a non-digit version (31 41 33) is not.
    using Change = std::tuple<size_t, UCHAR, unsigned>;
    for (auto [at, value, version] :
         {Change{4, 1, 123}, Change{4, 2, 0}, Change{9, 'A', 0}, Change{3, 0x7C, 0}}) {
        Bytes reply = kReply;
        reply[at] = value;
        EXPECT_EQ(VrParseConfigReply(reply.data(), 12), version) << at;
    }
    Bytes zero = kReply;
    zero[8] = zero[9] = zero[10] = '0';
    EXPECT_EQ(VrParseConfigReply(zero.data(), 12), 0u); // version 0 is no answer

    // Swallowed only while a port is probed, and only from that port's own input.
    Rig rig;
    DdMidiBuffer collected{};
    std::memcpy(collected.Data, kReply.data(), kReply.size());
    SmPort& port = rig.device.Ports[0];
    EXPECT_EQ(VrPrivateSysEx(&rig.device, collected.Data, 12), 0u);
    rig.device.OpeningPort = &port;
    port.State = SM_STATE_PROBING;
    EXPECT_EQ(VrPrivateSysEx(&rig.device, collected.Data, 12), 0u); // another port's reader
    port.Thread = KeGetCurrentThread();
    EXPECT_EQ(VrPrivateSysEx(&rig.device, collected.Data, 12), 1u);
    EXPECT_EQ(port.Version[0], 123u);
    collected.Data[3] = 0x7C;
    port.Version[0] = 0;
    EXPECT_EQ(VrPrivateSysEx(&rig.device, collected.Data, 12), 1u); // swallowed, no effect
    EXPECT_EQ(port.Version[0], 0u);
    port.State = SM_STATE_ACTIVE;
    EXPECT_EQ(VrPrivateSysEx(&rig.device, collected.Data, 12), 0u);
}

TEST(InterfaceFunctions, ActivationQueriesAndHardwareInfo) {
    Rig rig;
    rig.device.NumPorts = 1;
    rig.device.Ports[0].State = SM_STATE_ACTIVE;
    rig.device.Ports[0].Version[0] = 123;
    EXPECT_EQ(VrDeviceActivate(&rig.device, DD_ACTIVATE_QUERY), 2);
    EXPECT_EQ(VrDeviceActivate(&rig.device, DD_ACTIVATE_PROBE), 2);
    EXPECT_EQ(VrDeviceActivate(&rig.device, 7), 7);
    EXPECT_EQ(rig.device.Ports[0].State, SM_STATE_ACTIVE);

    DdHardwareInfo info;
    std::memset(&info, 0xAA, sizeof info);
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, 0, &info), 123);
    EXPECT_EQ(info.Id, 123);
    EXPECT_STREQ(info.Name, "Korvane Varlo");
    DdHardwareInfo untouched;
    std::memset(&untouched, 0x55, sizeof untouched);
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, 1, &untouched), -1);
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, -1, &untouched), -1);
    EXPECT_EQ(untouched.Id, 0x5555);
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, 0, nullptr), 123);
    // A record left from an earlier, wider open does not count.
    rig.device.Ports[1].Version[0] = 200;
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, 1, nullptr), -1);
    rig.device.NumPorts = 2;
    EXPECT_EQ(VrGetHardwareInfo(&rig.device, 1, nullptr), 200);
}

TEST(InterfaceFunctions, CableSwitchKeepsRunningStatusPerInputCable) {
    Rig rig;
    DdTb tb{};
    tb.Port = 1;
    tb.RunningStatus = 0x90;
    VrChangeCable(&rig.device, &tb, 2, 1); // leave cable 1 of port 1, enter cable 2
    EXPECT_EQ(rig.inCables[3 + 1].RunningStatus, 0x90u);
    EXPECT_EQ(tb.RunningStatus, 0u);
    tb.RunningStatus = 0xB0;
    VrChangeCable(&rig.device, &tb, 7, 2); // above the input cables: nothing loaded
    EXPECT_EQ(tb.RunningStatus, 0xB0u);
    EXPECT_EQ(rig.inCables[3 + 2].RunningStatus, 0xB0u);
    VrChangeCable(&rig.device, &tb, 1, 7); // nothing saved for cable 7
    EXPECT_EQ(tb.RunningStatus, 0x90u);
    EXPECT_EQ(rig.inCables[0].RunningStatus, 0u); // port 0's block untouched
}
