#include "tools/device_records.h"

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;
using tools::BuildPlayBuffers;
using tools::DescribeBuffer;

namespace {

// A device buffer: the 16-byte header (type, port, cable, length) and its data.
Bytes Record(uint8_t type, uint8_t port, uint8_t cable, const Bytes& data) {
    Bytes b(16, 0);
    b[4] = type;
    b[6] = port;
    b[12] = cable;
    b[14] = uint8_t(data.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

} // namespace

TEST(PlayBuffers, EventsAndStreamsByCable) {
    std::vector<Bytes> out;
    std::string error;
    ASSERT_TRUE(
        BuildPlayBuffers(1, 2, {0x90, 0x3C, 0x40, 0xC5, 0x07, 0xF8, 0xF2, 1, 2}, out, error));
    EXPECT_EQ(out,
              std::vector<Bytes>{Record(
                  4, 1, 0, {0x90, 0x3C, 0x40, 2, 0xC5, 0x07, 0, 2, 0xF8, 0, 0, 2, 0xF2, 1, 2, 2})});

    // A long System Exclusive message between events: events, three stream pieces, events.
    Bytes sysex(600, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    Bytes midi = {0x80, 0x3C, 0x00};
    midi.insert(midi.end(), sysex.begin(), sysex.end());
    midi.push_back(0xFA);
    ASSERT_TRUE(BuildPlayBuffers(0, 4, midi, out, error)) << error;
    EXPECT_EQ(out,
              (std::vector<Bytes>{Record(4, 0, 0, {0x80, 0x3C, 0x00, 4}),
                                  Record(1, 0, 4, Bytes(sysex.begin(), sysex.begin() + 240)),
                                  Record(1, 0, 4, Bytes(sysex.begin() + 240, sysex.begin() + 480)),
                                  Record(2, 0, 4, Bytes(sysex.begin() + 480, sysex.end())),
                                  Record(4, 0, 0, {0xFA, 0, 0, 4})}));

    for (const Bytes& bad :
         {Bytes{0x3C}, Bytes{0x90, 0x3C}, Bytes{0x90, 0x3C, 0x80}, Bytes{0xF0, 1, 2},
          Bytes{0xF0, 1, 0x90, 0xF7}, Bytes{0xF7}, Bytes{0xF5, 1}}) {
        EXPECT_FALSE(BuildPlayBuffers(0, 0, bad, out, error)) << bad.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST(ReadBuffers, DescribedLineByLine) {
    // Two whole events, two stray bytes.
    Bytes events = Record(4, 1, 0, {0xF1, 0x17, 0, 1, 0x90, 0x3C, 0x40, 2, 0xAA, 0xBB});
    EXPECT_EQ(
        DescribeBuffer(events.data(), events.size()),
        (std::vector<std::string>{"port 1 cable 1 event F1 17", "port 1 cable 2 event 90 3C 40"}));

    Bytes sysex = Record(3, 0, 2, {0xF0, 0x43});
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
