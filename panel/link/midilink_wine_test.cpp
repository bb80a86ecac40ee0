// The MIDI port link under Wine: winmm with the user-mode MIDI driver in its loopback
// configuration, whose port layout (environment) puts ports of other makers among the
// interface's. Each suite runs in the process whose layout it needs and skips itself elsewhere.
// What the link sends and the replies on the first input: link_e2e_wine_test, through the driver.
#include "link/midilink.h"
#include "link/linktarget_wine.h"
#include "link/protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

bool LayoutIs(const char* inputs, const char* outputs) {
    const char* in = std::getenv("VARLO_UMDRV_INPUTS");
    const char* out = std::getenv("VARLO_UMDRV_OUTPUTS");
    return in && out && std::string(in) == inputs && std::string(out) == outputs;
}

// Input arriving from the interface on `cable`, through the driver's loopback.
void Arrive(uint8_t cable, uint16_t type, const Bytes& data) {
    using PlayFn = uint32_t(WINAPI*)(const uint8_t*, uint32_t);
    static auto play = reinterpret_cast<PlayFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("winevarlo.drv"), "VarloLoopPlay")));
    ASSERT_NE(nullptr, play);
    Bytes b(16, 0);
    b[4] = uint8_t(type);
    b[12] = cable;
    b[14] = uint8_t(data.size());
    b[15] = uint8_t(data.size() >> 8);
    b.insert(b.end(), data.begin(), data.end());
    ASSERT_EQ(data.size(), play(b.data(), uint32_t(b.size())));
}

void ArriveShort(uint8_t cable, uint32_t message) {
    Arrive(0, 4, {uint8_t(message), uint8_t(message >> 8), uint8_t(message >> 16), cable});
}

void ArriveTime(uint8_t cable, uint32_t value) {
    for (int p = 0; p < 8; ++p)
        ArriveShort(cable, 0xF1 | uint32_t(p << 4 | ((value >> (4 * p)) & 0xF)) << 8);
    ArriveShort(cable, 0xF1);
}

UINT IdOf(HMIDIIN h) {
    UINT id = 999;
    midiInGetID(h, &id);
    return id;
}

UINT IdOf(HMIDIOUT h) {
    UINT id = 999;
    midiOutGetID(h, &id);
    return id;
}

// Which of the link's ports are open: first and second input, first and second output.
using Ports = std::vector<bool>;
Ports OpenPorts() {
    return {g_MidiLink.firstInput != nullptr, g_MidiLink.secondInput != nullptr,
            g_MidiLink.firstOutput != nullptr, g_MidiLink.secondOutput != nullptr};
}

// Inputs: other, Varlo cable 0, other, Varlo cable 1, Varlo cable 2, other.
// Outputs: other, Varlo cable 0, other, Varlo cable 1.
class Link : public ::testing::Test {
protected:
    void SetUp() override {
        if (!LayoutIs("xVxVVx", "xVxV"))
            GTEST_SKIP() << "runs with its own port layout";
        ASSERT_EQ(0, MidiLinkOpen());
    }
    void TearDown() override { MidiLinkClose(); }
};

TEST_F(Link, OpensTheMatchingPortsDecodesWholeMessagesOnlyAndClosesTwice) {
    LinkTarget target;
    g_Protocol.firmwareVersion = 0;
    // 1500 bytes: the first 1024 fill the buffer and are ignored, the rest too; the buffer is
    // queued again for the reply after them.
    Bytes big(1500, 0x01);
    big[0] = 0xF0;
    big.back() = 0xF7;
    for (size_t at = 0; at < big.size(); at += 240)
        Arrive(0, at + 240 < big.size() ? 1 : 2,
               Bytes(big.begin() + at, big.begin() + std::min(at + 240, big.size())));
    // Twelve bytes broken off by a status byte would read as version 999 if taken as whole.
    Arrive(0, 3, {0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x39, 0x39, 0x39, 0x00});
    Arrive(0, 2, {0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x31, 0x30, 0x32, 0xF7});
    PostedMessage r;
    ASSERT_TRUE(target.Next(r));
    EXPECT_EQ(PM_IF_VERSION, r.message);
    EXPECT_EQ(102, r.lParam);
    EXPECT_FALSE(target.Next(r, 200));

    // The first and second matching ports only are open.
    EXPECT_EQ(6u, midiInGetNumDevs());
    const std::vector<UINT> ids = {IdOf(g_MidiLink.firstInput), IdOf(g_MidiLink.secondInput),
                                   IdOf(g_MidiLink.firstOutput), IdOf(g_MidiLink.secondOutput)};
    EXPECT_EQ(ids, (std::vector<UINT>{1, 3, 1, 3}));
    EXPECT_EQ(0, g_MidiLink.closing.load());
    // Index 4 was never looked at: it is still free to open.
    HMIDIIN third = nullptr;
    EXPECT_EQ(MMSYSERR_NOERROR, midiInOpen(&third, 4, 0, 0, CALLBACK_NULL));
    midiInClose(third);

    // Closed twice, then a send after the close.
    MidiLinkClose();
    EXPECT_EQ(1, g_MidiLink.closing.load());
    EXPECT_EQ(OpenPorts(), (Ports{false, false, false, false}));
    EXPECT_EQ(0, MidiLinkSendsInFlight());
    MidiLinkClose();
    EXPECT_EQ(1, g_MidiLink.closing.load());
    SendIdentityRequest(); // dropped
    // Every port is free again.
    HMIDIIN in = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, 1, 0, 0, CALLBACK_NULL));
    midiInClose(in);
}

// Inputs: Varlo cables 0 and 1; the only output is another maker's.
TEST(LinkNoOutput, OpenFailsAfterBothInputsAndInputStillArrives) {
    if (!LayoutIs("VV", "x"))
        GTEST_SKIP() << "runs with its own port layout";
    LinkTarget target;
    EXPECT_EQ(1, MidiLinkOpen());
    EXPECT_EQ(OpenPorts(), (Ports{true, true, false, false}));
    ProtocolResetQuarterFrames();
    ArriveTime(1, 0x01020304);
    PostedMessage r;
    ASSERT_TRUE(target.Next(r));
    EXPECT_EQ(PM_MTC_TIME, r.message);
    EXPECT_EQ(0x01020304, r.lParam);
    SendIdentityRequest(); // nowhere to go
    EXPECT_EQ(0, MidiLinkSendsInFlight());
    MidiLinkClose();
    EXPECT_EQ(OpenPorts(), (Ports{false, false, false, false}));
}

TEST(LinkNoPorts, OpenFailsBeforeOpeningAnything) {
    if (!LayoutIs("xx", "x"))
        GTEST_SKIP() << "runs with its own port layout";
    EXPECT_EQ(1, MidiLinkOpen());
    EXPECT_EQ(OpenPorts(), (Ports{false, false, false, false}));
    // Nothing is held: every port opens.
    for (UINT i = 0; i < midiInGetNumDevs(); ++i) {
        HMIDIIN in = nullptr;
        EXPECT_EQ(MMSYSERR_NOERROR, midiInOpen(&in, i, 0, 0, CALLBACK_NULL));
        midiInClose(in);
    }
    MidiLinkClose();
}

// The standard layout on a bridge where no device host listens: the interface's ports are
// there, but none opens.
TEST(LinkNoDevice, OpenFailsCleanlyWhenTheDeviceCannotBeOpened) {
    const char* port = std::getenv("VARLO_BRIDGE_PORT");
    if (!port || std::string(port) != "1" || std::getenv("VARLO_UMDRV_CHANNEL"))
        GTEST_SKIP() << "runs with its own configuration";
    ASSERT_EQ(3u, midiInGetNumDevs());
    EXPECT_EQ(1, MidiLinkOpen());
    EXPECT_EQ(OpenPorts(), (Ports{false, false, false, false}));
    SendIdentityRequest(); // dropped
    MidiLinkClose();
    HMIDIOUT out = nullptr;
    EXPECT_NE(MMSYSERR_NOERROR, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
}

} // namespace
