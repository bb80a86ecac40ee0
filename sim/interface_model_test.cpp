#include "sim/interface_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>

using sim::InterfaceModel;
using Bytes = std::vector<uint8_t>;

namespace {

void Feed(InterfaceModel& m, std::initializer_list<uint8_t> bytes) {
    m.Receive(bytes.begin(), bytes.size());
}

Bytes Take(InterfaceModel& m) {
    Bytes out(m.Pending());
    out.resize(m.TakeOutput(out.data(), out.size()));
    return out;
}

// The clock and the settings: "HH:MM:SS:FF rate R mode M level L".
std::string State(const InterfaceModel& m) {
    char text[48];
    sim::ModelTime t = m.Time();
    snprintf(text, sizeof text, "%02d:%02d:%02d:%02d rate %d mode %d level %d", t.Hours, t.Minutes,
             t.Seconds, t.Frames, m.Rate(), m.LtcMode(), m.Level());
    return text;
}

InterfaceModel ComputerModeModel() {
    InterfaceModel m;
    Feed(m, {0xF0, 0x63, 0x60, 0x0F, 0x7F, 0xF7});
    return m;
}

} // namespace

TEST(InterfaceModel, HandshakeAndModes) {
    InterfaceModel m({.FirmwareVersion = 456});
    // A request of the wrong length is none.
    Feed(m, {0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7, 0xF0, 0x63, 0x60, 0x0B, 0xF7});
    EXPECT_EQ(Take(m),
              (Bytes{0xF5, 0x00, 0xF0, 0x63, 0x60, 0x7B, 0x00, 1, 2, 0x00, '4', '5', '6', 0xF7}));
    EXPECT_EQ(m.ConfigRequests(), 1u);

    // Patch mode at power-up: MIDI from the computer does not reach the outs.
    Feed(m, {0x90, 0x3C, 0x40});
    EXPECT_EQ(m.Cable(0).Dropped, 1u);
    EXPECT_TRUE(m.Cable(0).Messages.empty());

    Feed(m, {0xF0, 0x63, 0x60, 0x0F, 0x7F, 0xF7});
    EXPECT_TRUE(m.ComputerMode());
    Feed(m, {0x90, 0x3C, 0x40});
    ASSERT_EQ(m.Cable(0).Messages.size(), 1u);
    Feed(m, {0xF0, 0x63, 0x60, 0x10, 0x7F, 0xF7});
    EXPECT_FALSE(m.ComputerMode());

    // After computer mode the next reply selects its cable again, the driver having reset its own.
    Feed(m, {0xF0, 0x63, 0x60, 0x0F, 0x7F, 0xF7, 0xF0, 0x63, 0x60, 0x0C, 0x01, 0xF7});
    // The state at power-up: 00:00:00:00 at 25 frames, mode off, level 2.
    EXPECT_EQ(Take(m),
              (Bytes{0xF5, 0x00, 0xF0, 0x63, 0x60, 0x7C, 0x01, 0x20, 0, 0, 0, 0, 2, 0xF7}));
}

TEST(InterfaceModel, ReceiverFramesCablesAndRunningStatus) {
    InterfaceModel m = ComputerModeModel();
    // Running status on channel messages; cable selection; real-time in the middle of a message.
    Feed(m, {0xF5, 0x02, 0x90, 0x3C, 0x40, 0x3E, 0xF8, 0x41, 0xC0, 0x05, 0x06});
    EXPECT_EQ(m.Cable(2).Messages,
              (std::vector<Bytes>{
                  {0x90, 0x3C, 0x40}, {0xF8}, {0x90, 0x3E, 0x41}, {0xC0, 0x05}, {0xC0, 0x06}}));

    // A receiver clears running status after system common: a second F2 without its status is
    // two stray bytes, and so are data bytes after a cable change.
    Feed(m, {0xF5, 0x01, 0xF2, 0x10, 0x20, 0x11, 0x21});
    EXPECT_EQ(m.Cable(1).Messages.size(), 1u);
    EXPECT_EQ(m.Cable(1).StrayBytes, 2u);
    Feed(m, {0x90, 0x3C, 0x40, 0xF5, 0x03, 0x3C, 0x00});
    EXPECT_EQ(m.Cable(3).StrayBytes, 2u);

    // System Exclusive of others passes whole; broken off by a status byte it is kept as far as
    // it came; the interface's own messages never reach an out. Cables above 4 go nowhere.
    Feed(m, {0xF5, 0x04, 0xF0, 0x41, 0x10, 0xF7, 0xF0, 0x41, 0x11, 0x80, 0x3C, 0x00});
    EXPECT_EQ(
        m.Cable(4).Messages,
        (std::vector<Bytes>{{0xF0, 0x41, 0x10, 0xF7}, {0xF0, 0x41, 0x11}, {0x80, 0x3C, 0x00}}));
    Feed(m, {0xF0, 0x63, 0x60, 0x0C, 0x01, 0xF7, 0xF5, 0x09, 0x90, 0x3C, 0x40});
    EXPECT_EQ(m.Cable(4).Messages.size(), 3u);
    EXPECT_EQ(m.Line().size() > 20, true);
}

TEST(InterfaceModel, TimecodeStateAndLocate) {
    InterfaceModel m = ComputerModeModel();
    // Set state: 01:02:03:04 at 25 frames, mode write, level +4 dB.
    Feed(m, {0xF0, 0x63, 0x60, 0x1C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x03, 0x03, 0xF7});
    EXPECT_EQ(State(m), "01:02:03:04 rate 1 mode 3 level 3");
    Feed(m, {0xF0, 0x63, 0x60, 0x0C, 0x01, 0xF7});
    EXPECT_EQ(Take(m), (Bytes{0xF5, 0x00, 0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04,
                              0x03, 0x03, 0xF7}));

    // 7F leaves items unchanged; out-of-range values are ignored.
    Feed(m, {0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0xF7});
    Feed(m, {0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x09, 0x7F, 0xF7});
    Feed(m, {0xF0, 0x63, 0x60, 0x1C, 0x01, 0x21, 0x3C, 0x00, 0x00, 0x7F, 0x7F, 0xF7});
    EXPECT_EQ(State(m), "01:02:03:04 rate 1 mode 3 level 0"); // minute 60 refused

    // MMC locate: 10:00:00:00 at 30 frames; mode untouched.
    Feed(m, {0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x6A, 0x00, 0x00, 0x00, 0x00, 0xF7});
    EXPECT_EQ(State(m), "10:00:00:00 rate 3 mode 3 level 0");
}

TEST(InterfaceModel, QuarterFramesRunForwardAtTheFrameRate) {
    InterfaceModel m = ComputerModeModel();
    m.Advance(1000);
    Take(m);
    m.Locate(1, {1, 2, 3, 24});           // 25 frames: a quarter frame every 10 ms
    EXPECT_EQ(m.NextDueUs(), UINT64_MAX); // mode off: no clock
    m.SetLtcMode(1);
    EXPECT_EQ(m.NextDueUs(), 1000u);
    m.Advance(1000 + 7 * 10000); // pieces 0..7 due
    Bytes qf = Take(m);
    ASSERT_EQ(qf.size(), 2u + 16u);
    Bytes expect = {0xF5, 0x00};
    uint8_t nibbles[8] = {24 & 15, 24 >> 4, 3, 0, 2, 0, 1, 1 << 1};
    for (uint8_t p = 0; p < 8; ++p) {
        expect.push_back(0xF1);
        expect.push_back(uint8_t(p << 4 | nibbles[p]));
    }
    EXPECT_EQ(qf, expect);
    EXPECT_EQ(State(m), "01:02:04:01 rate 1 mode 1 level 2"); // two frames on
    EXPECT_EQ(m.NextDueUs(), 1000u + 80000u);

    // A stalled owner gets no burst: at most one second's worth is caught up.
    m.Advance(1000 + 80000 + 60'000'000);
    EXPECT_LE(Take(m).size(), 2u * 101u);

    // Drop-frame counting skips frames 0 and 1 at the start of minute 1, not of minute 10.
    m.Locate(2, {0, 0, 59, 29});
    m.Advance(2'000'000'000);
    Take(m);
    m.Locate(2, {0, 0, 59, 28});
    uint64_t t = m.NextDueUs();
    m.Advance(t + 3 * 1000000 / 120); // four pieces: one frame on
    EXPECT_EQ(State(m), "00:00:59:29 rate 2 mode 1 level 2");
    m.Advance(t + 7 * 1000000 / 120 + 1);
    EXPECT_EQ(State(m), "00:01:00:02 rate 2 mode 1 level 2");
    m.Locate(2, {0, 9, 59, 29});
    t = m.NextDueUs();
    m.Advance(t + 3 * 1000000 / 120);
    EXPECT_EQ(State(m), "00:10:00:00 rate 2 mode 1 level 2");
}

TEST(InterfaceModel, TextCommandsAndReport) {
    InterfaceModel m;
    for (const char* good : {"version 101", "locate 1 01:00:00:00", "mode 2", "send 1 90 3c 40"})
        EXPECT_EQ(m.Command(good), "ok") << good;
    EXPECT_EQ(Take(m), (Bytes{0xF5, 0x01, 0x90, 0x3C, 0x40}));
    for (const char* bad : {"version 1000", "mode", "locate 1 01:00:00", "locate 0 00:00:00:24",
                            "send 1 zz", "send 1", "frobnicate", "mode 2 3"})
        EXPECT_EQ(m.Command(bad).rfind("error:", 0), 0u) << bad;
    EXPECT_EQ(m.Command("send 1 9"), "ok"); // a single digit is one byte
    EXPECT_EQ(m.Report(),
              "computer-mode 0\nanswers 1\nfirmware 101\nidentity 1 2\nconfig-requests 0\n"
              "timecode 01:00:00:00\nrate 1\nltc-mode 2\nlevel 2\nrunning 1\nreceived 0\n"
              "cable 0 messages 0 stray 0 dropped 0 last -\n"
              "cable 1 messages 0 stray 0 dropped 0 last -\n"
              "cable 2 messages 0 stray 0 dropped 0 last -\n"
              "cable 3 messages 0 stray 0 dropped 0 last -\n"
              "cable 4 messages 0 stray 0 dropped 0 last -\n");

    std::vector<uint8_t> bytes;
    EXPECT_TRUE(sim::ParseHexBytes(" F0 7 f7 ", bytes));
    EXPECT_EQ(sim::HexBytes(bytes.data(), bytes.size()), "F0 07 F7");
    EXPECT_FALSE(sim::ParseHexBytes("F0 100", bytes));
}
