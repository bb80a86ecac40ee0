// Byte streams in, client buffers out: the input parser and its distribution.
#include "core/testing/parser_rig.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using varlo_test::Piece;

std::vector<std::vector<UCHAR>> g_private;
ULONG ConsumeIdentityReply(SmDevice*, const UCHAR* Data, ULONG Length) {
    g_private.emplace_back(Data, Data + Length);
    return Length == 6 && Data[1] == 0x7E;
}

// Every case starts with one receiving client.
class ParserTest : public ::testing::Test, protected varlo_test::ParserRig {
protected:
    void SetUp() override { g_private.clear(); }

    std::vector<ULONG> DrainEvents(DdClient* client) {
        std::vector<ULONG> events;
        for (const Piece& p : Drain(client)) {
            EXPECT_EQ(p.type, DD_BUF_EVENTS);
            for (ULONG e : p.Events())
                events.push_back(e);
        }
        return events;
    }

    DdClient* c = AddClient();
};

std::vector<UCHAR> SysEx(size_t dataBytes, bool end = true) {
    std::vector<UCHAR> bytes{0xF0};
    for (size_t i = 0; i < dataBytes; i++)
        bytes.push_back((UCHAR)(i & 0x7F));
    if (end)
        bytes.push_back(0xF7);
    return bytes;
}

TEST_F(ParserTest, ShortMessagesWithRunningStatus) {
    // Running status (notes under it: the clients' tests); one data byte for program change,
    // quarter frame and song select; two for song position; a note split over two reads completes.
    Feed({0xC3, 0x05, 0x06, 0xF1, 0x21, 0xF3, 0x02, 0xF2, 0x10, 0x20, 0x91, 0x3C});
    Feed({0x7F});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x010005C3, 0x010006C3, 0x010021F1, 0x010002F3,
                                                  0x012010F2, 0x017F3C91}));

    // A tune request (and the undefined F4) is a message by itself and ends running status: a
    // lone one arrives at once, a stray byte after it is dropped, the next note needs its status.
    Feed({0xF6});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x010000F6}));
    Feed({0x90, 0x3C, 0x40, 0xF6, 0x3C, 0x00, 0xF4, 0x3C, 0x90, 0x3C, 0x00});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x01403C90, 0x010000F6, 0x010000F4, 0x01003C90}));
}

TEST_F(ParserTest, RealTimeBytesInterleaveWithoutDisturbing) {
    Feed({0x90, 0x3C, 0xF8, 0x40, 0xFE, 0x3E, 0xFE, 0xFA, 0x41});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x010000F8, 0x01403C90, 0x010000FA, 0x01413E90}));

    // Inside System Exclusive: the clock goes out first, the message carries on.
    Feed({0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7});
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_EVENTS, 0, 0, {0xF8, 0, 0, 1}},
                                            {DD_BUF_SYSEX_END, 0, 1, {0xF0, 0x01, 0x02, 0xF7}}}));
}

TEST_F(ParserTest, CableSelectionKeepsRunningStatusPerCable) {
    Feed({0xF5, 0x02, 0x90, 0x3C, 0x40});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x02403C90}));

    Feed({0xF5, 0x01, 0x90, 0x3C, 0x40, 0xF5, 0x02, 0x80, 0x3C, 0x00, 0xF5, 0x01, 0x3C, 0x00});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x01403C90, 0x02003C80, 0x01003C90}));

    // Cable 0 never had a status: its bare data is dropped; back on cable 2 running status holds,
    // and a System Exclusive message leaves it standing too.
    Feed({0xF5, 0x00, 0x3C, 0x40, 0xF5, 0x02, 0x3D, 0x00, 0xF0, 0x01, 0xF7, 0x3E, 0x00});
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_EVENTS, 0, 0, {0x80, 0x3D, 0x00, 2}},
                                            {DD_BUF_SYSEX_END, 0, 2, {0xF0, 0x01, 0xF7}},
                                            {DD_BUF_EVENTS, 0, 0, {0x80, 0x3E, 0x00, 2}}}));
}

// A long message comes in pieces of 16, then 240 bytes, whatever the reads' sizes; short messages
// arrive whole; 15 data bytes just fill the first piece.
TEST_F(ParserTest, SysExIsSplitIntoPiecesWhateverTheReads) {
    std::vector<UCHAR> message = SysEx(300);
    auto bytes = [&](size_t from, size_t to) {
        return std::vector<UCHAR>(message.begin() + from,
                                  message.begin() + std::min(to, message.size()));
    };
    const std::vector<Piece> pieces = {{DD_BUF_SYSEX_PART, 0, 1, bytes(0, 16)},
                                       {DD_BUF_SYSEX_PART, 0, 1, bytes(16, 256)},
                                       {DD_BUF_SYSEX_END, 0, 1, bytes(256, 302)}};
    for (size_t readSize : {1u, 7u, 15u, 16u, 17u, 239u, 300u}) {
        for (size_t at = 0; at < message.size(); at += readSize)
            Feed(bytes(at, at + readSize));
        EXPECT_EQ(Drain(c), pieces) << readSize;
    }

    Feed(SysEx(14));
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_END, 0, 1, SysEx(14)}}));
    Feed(SysEx(15));
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_PART, 0, 1, SysEx(15, false)},
                                            {DD_BUF_SYSEX_END, 0, 1, {0xF7}}}));
}

TEST_F(ParserTest, SysExBrokenOffByAStatusByte) {
    Feed({0xF0, 0x41, 0x10, 0x90, 0x3C, 0x40});
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_BROKEN, 0, 1, {0xF0, 0x41, 0x10}},
                                            {DD_BUF_EVENTS, 0, 0, {0x90, 0x3C, 0x40, 1}}}));

    // A cable selection breaks it off too; the piece carries the cable it came on.
    Feed({0xF5, 0x02, 0xF0, 0x01, 0x02, 0xF5, 0x01, 0x03});
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_BROKEN, 0, 2, {0xF0, 0x01, 0x02}}}));

    // Broken right after a full piece: an empty closing piece still marks the end.
    std::vector<UCHAR> bytes = SysEx(15, false);
    bytes.push_back(0x80);
    Feed(bytes);
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_PART, 0, 1, SysEx(15, false)},
                                            {DD_BUF_SYSEX_BROKEN, 0, 1, {}}}));
    // A stray F7 afterwards is a status of its own and yields nothing.
    Feed({0xF7});
    EXPECT_TRUE(Drain(c).empty());
    // A tune request breaks a message off like any status, then arrives itself.
    Feed({0xF0, 0x01, 0xF6, 0x02});
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_SYSEX_BROKEN, 0, 1, {0xF0, 0x01}},
                                            {DD_BUF_EVENTS, 0, 0, {0xF6, 0, 0, 1}}}));
}

TEST_F(ParserTest, PrivateSysExHookConsumesMessages) {
    ext.Info.PrivateSysEx = ConsumeIdentityReply;
    Feed({0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7, 0xF0, 0x43, 0x00, 0x00, 0x00, 0xF7});
    ASSERT_EQ(g_private.size(), 2u);
    EXPECT_EQ(g_private[0], (std::vector<UCHAR>{0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7}));
    EXPECT_EQ(Drain(c),
              (std::vector<Piece>{{DD_BUF_SYSEX_END, 0, 1, {0xF0, 0x43, 0x00, 0x00, 0x00, 0xF7}}}));
    // A broken-off message is never offered.
    Feed({0xF0, 0x7E, 0x00, 0x90});
    EXPECT_EQ(g_private.size(), 2u);
}

TEST_F(ParserTest, BuffersHoldOnePortAndSixtyEvents) {
    Feed({0x90, 0x3C, 0x40});
    Feed({0x90, 0x3D, 0x40}, 1);
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_EVENTS, 0, 0, {0x90, 0x3C, 0x40, 1}},
                                            {DD_BUF_EVENTS, 1, 0, {0x90, 0x3D, 0x40, 1}}}));

    Feed(std::vector<UCHAR>(61, 0xF8));
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].data.size(), 240u);
    EXPECT_EQ(pieces[1].data.size(), 4u);
}

TEST_F(ParserTest, StalledClientLosesOnlyItsOwnEvents) {
    DdClient* stalled = AddClient(); // newest: first in the list
    std::vector<UCHAR> clocks(DD_CLIENT_BUFFERS * 60, 0xF8);
    Feed(clocks);
    EXPECT_EQ(DrainEvents(c).size(), clocks.size());
    // Every buffer of the stalled client is full now; the other one still gets everything.
    Feed({0x90, 0x3C, 0x40});
    Feed(SysEx(20));
    EXPECT_EQ(Drain(c), (std::vector<Piece>{{DD_BUF_EVENTS, 0, 0, {0x90, 0x3C, 0x40, 1}},
                                            {DD_BUF_SYSEX_PART, 0, 1, SysEx(15, false)},
                                            {DD_BUF_SYSEX_END, 0, 1, {15, 16, 17, 18, 19, 0xF7}}}));
    EXPECT_EQ(DrainEvents(stalled).size(), clocks.size());
}

TEST_F(ParserTest, NothingIsParsedWhilePortIsClosed) {
    ext.OpenCount = 0;
    Feed({0x90, 0x3C, 0x40, 0xF0});
    EXPECT_EQ(tb[0].InSysEx, 0u);
    ext.OpenCount = 1;
    Feed({0x3C, 0x40});
    EXPECT_TRUE(Drain(c).empty());
}

TEST_F(ParserTest, FullReadIsConsumedExactlyOnce) {
    std::vector<UCHAR> bytes;
    for (int i = 0; i < 256; i++)
        bytes.insert(bytes.end(), {0xF8, 0xFE});
    ASSERT_EQ(bytes.size(), (size_t)DD_TB_BUFFER_SIZE);
    Feed(bytes);
    EXPECT_EQ(tb[0].ReadIndex, 0u);
    EXPECT_EQ(DrainEvents(c).size(), 256u);
}

} // namespace
