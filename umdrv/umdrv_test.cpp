// Host tests of the user-mode MIDI driver's pure parts: exchange buffers both ways, System
// Exclusive joining of the driver's pieces, the port layouts and the in-process loopback device.
#include "ddbuffer.h"
#include "loopdevice.h"
#include "portmap.h"

#include <gtest/gtest.h>

#include <thread>
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

TEST(ExchangeBuffer, HeaderFieldsAndLengthClipping) {
    Bytes b = Piece(kEvents, 1, 2, {0x90, 0x3C, 0x40, 0x01});
    BufferView v;
    ASSERT_TRUE(ParseBuffer(b.data(), uint32_t(b.size()), v));
    EXPECT_EQ(kEvents, v.Type);
    EXPECT_EQ(1, v.Port);
    EXPECT_EQ(2, v.Cable);
    EXPECT_EQ(4u, v.Length);
    EXPECT_EQ(0x90, v.Data[0]);

    // A Length beyond what the read returned, or beyond 240, is clipped.
    b[14] = 200;
    ASSERT_TRUE(ParseBuffer(b.data(), uint32_t(b.size()), v));
    EXPECT_EQ(4u, v.Length);
    Bytes big = Piece(kSysExPart, 0, 1, Bytes(240, 0x01));
    big[14] = 0xFF;
    big[15] = 0xFF;
    big.resize(kBufferSize + 100, 0);
    ASSERT_TRUE(ParseBuffer(big.data(), uint32_t(big.size()), v));
    EXPECT_EQ(240u, v.Length);
    EXPECT_FALSE(ParseBuffer(b.data(), 15, v));
    EXPECT_FALSE(ParseBuffer(nullptr, 256, v));
}

TEST(ExchangeBuffer, PlayBuffersCarryEventsAndStreamPieces) {
    uint32_t events[2] = {0x01403C90, 0x02403C91};
    Bytes p = BuildEventPlay(0, events, 2);
    ASSERT_EQ(24u, p.size());
    EXPECT_EQ(kEvents, p[4]);
    EXPECT_EQ(8, p[14]);
    EXPECT_EQ(Bytes({0x90, 0x3C, 0x40, 0x01, 0x91, 0x3C, 0x40, 0x02}),
              Bytes(p.begin() + 16, p.end()));
    EXPECT_EQ(0x05003C90u, MakeEvent(0xAB003C90, 5));

    // A usual message goes out in one request (no other client's output can split it on the
    // line); only one longer than a request holds is cut.
    EXPECT_EQ(1u, BuildStreamPlays(0, 1, Message(500).data(), 502).size());
    Bytes m = Message(kMaxStreamPlay + 100);
    auto plays = BuildStreamPlays(1, 3, m.data(), uint32_t(m.size()));
    ASSERT_EQ(2u, plays.size());
    Bytes joined;
    for (size_t i = 0; i < plays.size(); ++i) {
        BufferView v;
        ASSERT_TRUE(ParseBuffer(plays[i].data(), uint32_t(plays[i].size()), v));
        EXPECT_EQ(i + 1 < plays.size() ? kSysExPart : kSysExEnd, v.Type);
        EXPECT_EQ(1, v.Port);
        EXPECT_EQ(3, v.Cable);
        EXPECT_EQ(plays[i].size() - kHeaderSize, size_t(plays[i][14] | plays[i][15] << 8));
        joined.insert(joined.end(), plays[i].begin() + kHeaderSize, plays[i].end());
    }
    EXPECT_TRUE(BuildStreamPlays(0, 1, m.data(), 0).empty());
}

struct Joined {
    std::vector<SysExJoiner::Message> Out;
    SysExJoiner J;
    void Feed(uint16_t type, const Bytes& d) { J.Feed(type, d.data(), uint32_t(d.size()), Out); }
};

TEST(SysExJoin, DriverPiecesBecomeOneWholeMessage) {
    // F0 + 300 data bytes + F7 arrives as 16 (type 1), 240 (type 1), 46 (type 2).
    Bytes m = Message(300);
    Joined j;
    j.Feed(kSysExPart, Bytes(m.begin(), m.begin() + 16));
    j.Feed(kSysExPart, Bytes(m.begin() + 16, m.begin() + 256));
    EXPECT_TRUE(j.Out.empty());
    j.Feed(kSysExEnd, Bytes(m.begin() + 256, m.end()));
    ASSERT_EQ(1u, j.Out.size());
    EXPECT_TRUE(j.Out[0].Whole);
    EXPECT_EQ(m, j.Out[0].Bytes);

    // A short message in one buffer; then F0 + 15 data bytes as 16 (type 1) and a lone F7.
    j.Feed(kSysExEnd, Message(10));
    Bytes m15 = Message(15);
    j.Feed(kSysExPart, Bytes(m15.begin(), m15.begin() + 16));
    j.Feed(kSysExEnd, {0xF7});
    ASSERT_EQ(3u, j.Out.size());
    EXPECT_EQ(Message(10), j.Out[1].Bytes);
    EXPECT_TRUE(j.Out[2].Whole);
    EXPECT_EQ(m15, j.Out[2].Bytes);
}

TEST(SysExJoin, BrokenMessagesAreNeverWhole) {
    Joined j;
    j.Feed(kSysExBroken, {0xF0, 0x41, 0x10}); // broken off within its first piece
    Bytes m = Message(40);
    j.Feed(kSysExPart, Bytes(m.begin(), m.begin() + 16));
    j.Feed(kSysExBroken, {0x22, 0x22}); // broken off later
    j.Feed(kSysExPart, Bytes(m.begin(), m.begin() + 16));
    j.Feed(kSysExBroken, {}); // broken right at a piece boundary
    j.Feed(kSysExPart, Bytes(m.begin(), m.begin() + 16));
    j.Feed(kSysExEnd, {0x01, 0x02}); // the end piece lacks F7
    ASSERT_EQ(4u, j.Out.size());
    for (const auto& msg : j.Out)
        EXPECT_FALSE(msg.Whole);
    EXPECT_EQ(Bytes({0xF0, 0x41, 0x10}), j.Out[0].Bytes);
    EXPECT_EQ(18u, j.Out[1].Bytes.size());
}

TEST(SysExJoin, LostEndsAndOrphanPiecesAreHandled) {
    Joined j;
    // Continuations whose start was never seen are dropped.
    j.Feed(kSysExPart, Bytes(240, 0x05));
    j.Feed(kSysExEnd, {0x05, 0xF7});
    j.Feed(kSysExBroken, {0x05});
    EXPECT_TRUE(j.Out.empty());
    EXPECT_FALSE(j.J.Collecting());

    // A new start while collecting: the old message comes out broken, the new one whole.
    Bytes m = Message(20);
    j.Feed(kSysExPart, Bytes(m.begin(), m.begin() + 16));
    j.Feed(kSysExEnd, Message(3));
    ASSERT_EQ(2u, j.Out.size());
    EXPECT_FALSE(j.Out[0].Whole);
    EXPECT_TRUE(j.Out[1].Whole);
    EXPECT_EQ(Message(3), j.Out[1].Bytes);

    // Events and unknown types are not pieces.
    j.Feed(kEvents, {0xF0, 0xF7});
    j.Feed(9, {0xF0, 0xF7});
    EXPECT_EQ(2u, j.Out.size());

    // A message over the joiner's limit comes out broken, no longer than the limit.
    Joined small{{}, SysExJoiner(64)};
    Bytes big = Message(100);
    small.Feed(kSysExPart, Bytes(big.begin(), big.begin() + 16));
    small.Feed(kSysExEnd, Bytes(big.begin() + 16, big.end()));
    ASSERT_EQ(1u, small.Out.size());
    EXPECT_FALSE(small.Out[0].Whole);
    EXPECT_LE(small.Out[0].Bytes.size(), 64u);
}

TEST(PortLayout, DefaultAndTestLayouts) {
    PortMap d = DefaultPortMap();
    ASSERT_EQ(size_t(kInCables), d.Inputs.size());
    ASSERT_EQ(size_t(kOutCables), d.Outputs.size());
    for (int k = 0; k < kInCables; ++k) {
        EXPECT_TRUE(d.Inputs[k].Varlo);
        EXPECT_EQ(k, d.Inputs[k].Cable);
        EXPECT_EQ(k, d.InputFor(0, uint8_t(k)));
    }
    EXPECT_EQ(-1, d.InputFor(0, 3));
    EXPECT_EQ(-1, d.InputFor(1, 0));
    EXPECT_EQ(4, d.Outputs[4].Cable);
    EXPECT_EQ("Varlo In 1", d.Inputs[0].Name);
    // A second interface: its ports follow the first's, named apart.
    PortMap two = DefaultPortMap(2);
    ASSERT_EQ(size_t(2 * kOutCables), two.Outputs.size());
    EXPECT_EQ(kInCables + 2, two.InputFor(1, 2));
    EXPECT_EQ(1, two.Outputs[kOutCables + 4].Port);
    EXPECT_EQ("Varlo 2 Out 5", two.Outputs[kOutCables + 4].Name);
    uint8_t caps[16] = {};
    caps[12] = 2;
    EXPECT_EQ(2, InterfacesFromCaps(caps, 16));
    caps[12] = 0;
    EXPECT_EQ(1, InterfacesFromCaps(caps, 16));
    EXPECT_EQ(1, InterfacesFromCaps(caps, 8));

    PortMap t = PortMapFromLayout("xVxVVVV", "x");
    ASSERT_EQ(5u, t.Inputs.size()); // the last two V are beyond the interface's cables
    EXPECT_FALSE(t.Inputs[0].Varlo);
    EXPECT_EQ(1, t.InputFor(0, 0));
    EXPECT_EQ(3, t.InputFor(0, 1));
    EXPECT_EQ(4, t.InputFor(0, 2));
    EXPECT_EQ("Other In 2", t.Inputs[2].Name);
    ASSERT_EQ(1u, t.Outputs.size());
    EXPECT_FALSE(t.Outputs[0].Varlo);
    for (const auto& p : t.Inputs)
        EXPECT_LT(p.Name.size(), 32u);
}

uint32_t PlayStream(uint8_t cable, const Bytes& bytes) {
    Bytes p = Piece(kSysExEnd, 0, cable, bytes);
    return LoopPlay(p.data(), uint32_t(p.size()));
}

// Reads from `h` on another thread until `count` buffers arrived.
std::vector<Bytes> ReadBuffers(LoopHandle h, size_t count) {
    std::vector<Bytes> got;
    while (got.size() < count) {
        uint8_t b[kBufferSize];
        uint32_t n = 0;
        if (!LoopRead(h, b, sizeof b, &n))
            break;
        got.emplace_back(b, b + n);
    }
    return got;
}

TEST(LoopDevice, FramesLikeTheDriverAndOnlyForReadingClients) {
    LoopHandle reader = LoopOpen();
    LoopHandle idle = LoopOpen(); // never reads: receives nothing
    Bytes early = Piece(kEvents, 0, 0, {0xF8, 0, 0, 1});
    LoopPlay(early.data(), uint32_t(early.size())); // before any read waited: lost
    std::vector<Bytes> got;
    std::thread t([&] { got = ReadBuffers(reader, 5); });
    while (LoopReceivingClients() < 1)
        std::this_thread::yield();
    EXPECT_EQ(uint32_t(302), PlayStream(2, Message(300)));
    Bytes broken = {0xF0, 0x41, 0x10, 0x90};
    EXPECT_EQ(4u, PlayStream(1, broken));
    Bytes ev = Piece(kEvents, 0, 0, {0x90, 0x3C, 0x40, 0x02, 0x80, 0x3C});
    EXPECT_EQ(4u, LoopPlay(ev.data(), uint32_t(ev.size()))); // the partial event is not taken
    t.join();
    ASSERT_EQ(5u, got.size());
    std::vector<std::pair<uint16_t, size_t>> shape;
    for (const Bytes& b : got) {
        BufferView v;
        ASSERT_TRUE(ParseBuffer(b.data(), uint32_t(b.size()), v));
        shape.emplace_back(v.Type, v.Length);
    }
    EXPECT_EQ(
        (std::vector<std::pair<uint16_t, size_t>>{
            {kSysExPart, 16}, {kSysExPart, 240}, {kSysExEnd, 46}, {kSysExBroken, 3}, {kEvents, 4}}),
        shape);
    LoopCancel(reader);
    uint8_t b[kBufferSize];
    uint32_t n;
    EXPECT_FALSE(LoopRead(reader, b, sizeof b, &n));
    EXPECT_EQ(2, LoopClientCount());
    LoopClose(reader);
    LoopClose(idle);
    EXPECT_EQ(0, LoopClientCount());
    Bytes shortPlay(16, 0);
    EXPECT_EQ(0u, LoopPlay(shortPlay.data(), 16));
}

} // namespace
} // namespace umdrv
