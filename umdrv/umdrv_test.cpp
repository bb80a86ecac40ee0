// Host tests of the user-mode MIDI driver's pure parts: exchange buffers both ways, System
// Exclusive joining of the driver's pieces, the port layouts and the in-process loopback device.
#include "ddbuffer.h"
#include "loopdevice.h"
#include "portmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

namespace umdrv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Piece(uint16_t type, uint16_t port, uint16_t cable, const Bytes& data) {
    Bytes b(kHeaderSize, 0);
    b[4] = uint8_t(type);
    b[6] = uint8_t(port);
    b[12] = uint8_t(cable);
    b[14] = uint8_t(data.size());
    b[15] = uint8_t(data.size() >> 8);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes Message(size_t dataBytes, uint8_t fill = 0x11) {
    Bytes m(1, 0xF0);
    m.insert(m.end(), dataBytes, fill);
    m.push_back(0xF7);
    return m;
}

Bytes Cut(const Bytes& b, size_t from, size_t to = SIZE_MAX) {
    return Bytes(b.begin() + from, b.begin() + std::min(to, b.size()));
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A read buffer of `size` bytes as the parser sees it, or "refused".
std::string Parsed(const Bytes& b, size_t size = SIZE_MAX) {
    BufferView v;
    if (!ParseBuffer(b.data(), uint32_t(std::min(size, b.size())), v))
        return "refused";
    return "type " + std::to_string(v.Type) + " port " + std::to_string(v.Port) + " cable " +
           std::to_string(v.Cable) + " length " + std::to_string(v.Length);
}

TEST(ExchangeBuffer, HeaderFieldsAndLengthClipping) {
    Bytes b = Piece(kEvents, 1, 2, {0x90, 0x3C, 0x40, 0x01});
    EXPECT_EQ("type 4 port 1 cable 2 length 4", Parsed(b));
    BufferView v;
    ASSERT_TRUE(ParseBuffer(b.data(), uint32_t(b.size()), v));
    EXPECT_EQ(b.data() + kHeaderSize, v.Data);
    // A Length beyond what the read returned, or beyond 240, is clipped.
    b[14] = 200;
    EXPECT_EQ("type 4 port 1 cable 2 length 4", Parsed(b));
    Bytes big = Piece(kSysExPart, 0, 1, Bytes(240, 0x01));
    big[14] = big[15] = 0xFF;
    big.resize(kBufferSize + 100, 0);
    EXPECT_EQ("type 1 port 0 cable 1 length 240", Parsed(big));
    EXPECT_EQ("refused", Parsed(b, 15));
    EXPECT_FALSE(ParseBuffer(nullptr, 256, v));
}

TEST(ExchangeBuffer, PlayBuffersCarryEventsAndStreamPieces) {
    uint32_t events[2] = {0x01403C90, 0x02403C91};
    Bytes p = BuildEventPlay(0, events, 2);
    EXPECT_EQ(Piece(kEvents, 0, 0, {0x90, 0x3C, 0x40, 0x01, 0x91, 0x3C, 0x40, 0x02}), p);
    EXPECT_EQ(0x05003C90u, MakeEvent(0xAB003C90, 5));

    // A usual message goes out in one request (no other client's output can split it on the
    // line); only one longer than a request holds is cut.
    EXPECT_EQ(1u, BuildStreamPlays(0, 1, Message(500).data(), 502).size());
    Bytes m = Message(kMaxStreamPlay + 100);
    auto plays = BuildStreamPlays(1, 3, m.data(), uint32_t(m.size()));
    ASSERT_EQ(2u, plays.size());
    EXPECT_EQ(Piece(kSysExPart, 1, 3, Cut(m, 0, kMaxStreamPlay)), plays[0]);
    EXPECT_EQ(Piece(kSysExEnd, 1, 3, Cut(m, kMaxStreamPlay)), plays[1]);
    EXPECT_TRUE(BuildStreamPlays(0, 1, m.data(), 0).empty());
}

// Pieces as the driver's reads bring them, and the messages the joiner hands on.
struct JoinCase {
    const char* what;
    std::vector<std::pair<uint16_t, Bytes>> pieces;
    std::vector<SysExJoiner::Message> out;
    size_t limit = 1u << 20;
};

TEST(SysExJoin, PiecesBecomeWholeMessagesAndBrokenOnesNeverWhole) {
    Bytes m300 = Message(300), m15 = Message(15), m40 = Message(40), m20 = Message(20);
    Bytes big = Message(100);
    const JoinCase cases[] = {
        {"F0 + 300 data bytes + F7 as 16, 240, 46",
         {{kSysExPart, Cut(m300, 0, 16)},
          {kSysExPart, Cut(m300, 16, 256)},
          {kSysExEnd, Cut(m300, 256, 302)}},
         {{true, m300}}},
        {"F0 + 15 data bytes as 16 and a lone F7",
         {{kSysExPart, Cut(m15, 0, 16)}, {kSysExEnd, {0xF7}}},
         {{true, m15}}},
        {"broken off later",
         {{kSysExPart, Cut(m40, 0, 16)}, {kSysExBroken, {0x22, 0x22}}},
         {{false, Join(Cut(m40, 0, 16), {0x22, 0x22})}}},
        {"broken right at a piece boundary",
         {{kSysExPart, Cut(m40, 0, 16)}, {kSysExBroken, {}}},
         {{false, Cut(m40, 0, 16)}}},
        {"an end piece without F7",
         {{kSysExPart, Cut(m40, 0, 16)}, {kSysExEnd, {0x01, 0x02}}},
         {{false, Join(Cut(m40, 0, 16), {0x01, 0x02})}}},
        {"continuations whose start was never seen",
         {{kSysExPart, Bytes(240, 0x05)}, {kSysExEnd, {0x05, 0xF7}}, {kSysExBroken, {0x05}}},
         {}},
        {"a new start while collecting: the old one broken, the new one whole",
         {{kSysExPart, Cut(m20, 0, 16)}, {kSysExEnd, Message(3)}},
         {{false, Cut(m20, 0, 16)}, {true, Message(3)}}},
        {"events and unknown types are not pieces",
         {{kEvents, {0xF0, 0xF7}}, {9, {0xF0, 0xF7}}},
         {}},
        {"over the joiner's limit: broken, what fitted",
         {{kSysExPart, Cut(big, 0, 16)}, {kSysExEnd, Cut(big, 16, 102)}},
         {{false, Cut(big, 0, 16)}},
         64},
    };
    for (const JoinCase& c : cases) {
        SysExJoiner joiner(c.limit);
        std::vector<SysExJoiner::Message> out;
        for (const auto& [type, data] : c.pieces)
            joiner.Feed(type, data.data(), uint32_t(data.size()), out);
        ASSERT_EQ(c.out.size(), out.size()) << c.what;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(c.out[i].Whole, out[i].Whole) << c.what;
            EXPECT_EQ(c.out[i].Bytes, out[i].Bytes) << c.what;
        }
        EXPECT_FALSE(joiner.Collecting()) << c.what;
    }
}

// One line per port: name, interface/cable, and "other" for another maker's.
std::string Picture(const std::vector<PortEntry>& ports) {
    std::string out;
    for (const PortEntry& p : ports)
        out += p.Varlo
                   ? p.Name + " " + std::to_string(p.Port) + "/" + std::to_string(p.Cable) + "\n"
                   : p.Name + " other\n";
    return out;
}

TEST(PortLayout, DefaultAndTestLayouts) {
    const std::string inputs = "Varlo In 1 0/0\nVarlo In 2 0/1\nVarlo In 3 0/2\n";
    const std::string outputs =
        "Varlo Out 1 0/0\nVarlo Out 2 0/1\nVarlo Out 3 0/2\nVarlo Out 4 0/3\nVarlo Out 5 0/4\n";
    PortMap d = DefaultPortMap();
    EXPECT_EQ(inputs, Picture(d.Inputs));
    EXPECT_EQ(outputs, Picture(d.Outputs));
    EXPECT_EQ((std::vector{2, -1, -1}),
              (std::vector{d.InputFor(0, 2), d.InputFor(0, 3), d.InputFor(1, 0)}));
    // A second interface: its ports follow the first's, named apart.
    PortMap two = DefaultPortMap(2);
    EXPECT_EQ(inputs + "Varlo 2 In 1 1/0\nVarlo 2 In 2 1/1\nVarlo 2 In 3 1/2\n",
              Picture(two.Inputs));
    EXPECT_EQ(outputs + "Varlo 2 Out 1 1/0\nVarlo 2 Out 2 1/1\nVarlo 2 Out 3 1/2\n"
                        "Varlo 2 Out 4 1/3\nVarlo 2 Out 5 1/4\n",
              Picture(two.Outputs));
    EXPECT_EQ(kInCables + 2, two.InputFor(1, 2));
    EXPECT_EQ(Picture(two.Outputs), Picture(DefaultPortMap(3).Outputs)); // two at most
    // The Count of a capabilities record (of that size), and the interfaces taken from it.
    for (auto [count, size, interfaces] :
         {std::tuple{2u, 16u, 2}, {2u, 15u, 1}, {0u, 16u, 1}, {1u << 24, 16u, 2}}) {
        uint8_t caps[16] = {};
        memcpy(caps + 12, &count, 4);
        EXPECT_EQ(interfaces, InterfacesFromCaps(caps, size)) << count << " " << size;
    }

    PortMap t = PortMapFromLayout("xVxVVVV", "x");
    // The last two V are beyond the interface's cables.
    EXPECT_EQ(
        "Other In 1 other\nVarlo In 1 0/0\nOther In 2 other\nVarlo In 2 0/1\nVarlo In 3 0/2\n",
        Picture(t.Inputs));
    EXPECT_EQ("Other Out 1 other\n", Picture(t.Outputs));
    EXPECT_EQ(3, t.InputFor(0, 1));
}

uint32_t PlayStream(uint8_t cable, const Bytes& bytes) {
    Bytes p = Piece(kSysExEnd, 0, cable, bytes);
    return LoopPlay(p.data(), uint32_t(p.size()));
}

TEST(LoopDevice, FramesLikeTheDriverAndOnlyForReadingClients) {
    LoopHandle reader = LoopOpen();
    LoopHandle idle = LoopOpen(); // never reads: receives nothing
    Bytes early = Piece(kEvents, 0, 0, {0xF8, 0, 0, 1});
    LoopPlay(early.data(), uint32_t(early.size())); // before any read waited: lost
    std::vector<Bytes> got;
    uint8_t b[kBufferSize];
    uint32_t n = 0;
    std::thread t([&] {
        while (got.size() < 5 && LoopRead(reader, b, sizeof b, &n))
            got.emplace_back(b, b + n);
    });
    while (LoopReceivingClients() < 1)
        std::this_thread::yield();
    EXPECT_EQ(uint32_t(302), PlayStream(2, Message(300)));
    Bytes broken = {0xF0, 0x41, 0x10, 0x90};
    EXPECT_EQ(4u, PlayStream(1, broken));
    Bytes ev = Piece(kEvents, 0, 0, {0x90, 0x3C, 0x40, 0x02, 0x80, 0x3C});
    EXPECT_EQ(4u, LoopPlay(ev.data(), uint32_t(ev.size()))); // the partial event is not taken
    t.join();
    std::string shape;
    for (const Bytes& b : got)
        shape += Parsed(b) + "\n";
    EXPECT_EQ("type 1 port 0 cable 2 length 16\ntype 1 port 0 cable 2 length 240\n"
              "type 2 port 0 cable 2 length 46\ntype 3 port 0 cable 1 length 3\n"
              "type 4 port 0 cable 0 length 4\n",
              shape);
    LoopCancel(reader);
    EXPECT_FALSE(LoopRead(reader, b, sizeof b, &n));
    EXPECT_EQ(2, LoopClientCount());
    LoopClose(reader);
    LoopClose(idle);
    EXPECT_EQ(0, LoopClientCount());
    EXPECT_FALSE(LoopRead(reader, b, sizeof b, &n)); // a closed handle
    Bytes shortPlay(16, 0);
    EXPECT_EQ(0u, LoopPlay(shortPlay.data(), 16));
}

} // namespace
} // namespace umdrv
