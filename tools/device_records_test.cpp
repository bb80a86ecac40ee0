#include "tools/device_records.h"

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;
using tools::BuildPlayBuffers;
using tools::DescribeBuffer;

TEST(PlayBuffers, EventsAndStreamsByCable) {
    std::vector<Bytes> out;
    std::string error;
    ASSERT_TRUE(
        BuildPlayBuffers(1, 2, {0x90, 0x3C, 0x40, 0xC5, 0x07, 0xF8, 0xF2, 1, 2}, out, error));
    ASSERT_EQ(out.size(), 1u);
    Bytes expect(16, 0);
    expect[4] = 4;
    expect[6] = 1;
    expect[14] = 16;
    Bytes events = {0x90, 0x3C, 0x40, 2, 0xC5, 0x07, 0, 2, 0xF8, 0, 0, 2, 0xF2, 1, 2, 2};
    expect.insert(expect.end(), events.begin(), events.end());
    EXPECT_EQ(out[0], expect);

    // A long System Exclusive message between events: events, three stream pieces, events.
    Bytes midi = {0x80, 0x3C, 0x00, 0xF0};
    midi.insert(midi.end(), 598, 0x11);
    midi.push_back(0xF7);
    midi.insert(midi.end(), {0xFA});
    ASSERT_TRUE(BuildPlayBuffers(0, 4, midi, out, error)) << error;
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[1][4], 1);
    EXPECT_EQ(out[1][12], 4);
    EXPECT_EQ(out[1].size(), 16u + 240u);
    EXPECT_EQ(out[1][16], 0xF0);
    EXPECT_EQ(out[3][4], 2);
    EXPECT_EQ(out[3][14], 120);
    EXPECT_EQ(out[3].back(), 0xF7);
    EXPECT_EQ(out[4][16], 0xFA);

    for (const Bytes& bad :
         {Bytes{0x3C}, Bytes{0x90, 0x3C}, Bytes{0x90, 0x3C, 0x80}, Bytes{0xF0, 1, 2},
          Bytes{0xF0, 1, 0x90, 0xF7}, Bytes{0xF7}, Bytes{0xF5, 1}}) {
        EXPECT_FALSE(BuildPlayBuffers(0, 0, bad, out, error)) << bad.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(ReadBuffers, DescribedLineByLine) {
    Bytes events(16, 0);
    events[4] = 4;
    events[6] = 1;
    events[14] = 10; // two whole events, two stray bytes
    Bytes data = {0xF1, 0x17, 0, 1, 0x90, 0x3C, 0x40, 2, 0xAA, 0xBB};
    events.insert(events.end(), data.begin(), data.end());
    auto lines = DescribeBuffer(events.data(), events.size());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "port 1 cable 1 event F1 17");
    EXPECT_EQ(lines[1], "port 1 cable 2 event 90 3C 40");

    Bytes sysex(16, 0);
    sysex[4] = 3;
    sysex[12] = 2;
    sysex[14] = 2;
    sysex.insert(sysex.end(), {0xF0, 0x43});
    EXPECT_EQ(DescribeBuffer(sysex.data(), sysex.size()),
              std::vector<std::string>{"port 0 cable 2 sysex-broken F0 43"});

    sysex[14] = 3; // claims more than was read
    EXPECT_EQ(DescribeBuffer(sysex.data(), sysex.size())[0].rfind("malformed", 0), 0u);
    sysex[14] = 2;
    sysex[4] = 9;
    EXPECT_EQ(DescribeBuffer(sysex.data(), sysex.size())[0].rfind("malformed", 0), 0u);
    EXPECT_EQ(DescribeBuffer(sysex.data(), 15)[0].rfind("malformed", 0), 0u);

    // The whole answer is printed end to end by the device host's tests; a short one is refused.
    Bytes caps(tools::kCapsSize - 1, 0);
    EXPECT_EQ(tools::DescribeCaps(caps)[0].rfind("malformed", 0), 0u);
}
