// Byte streams in, client buffers out: the input parser and its distribution.
#include "core/testing/parser_rig.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using varlo_test::Piece;

std::vector<std::vector<UCHAR>> g_private;
ULONG ConsumeIdentityReply(SmDevice*, const UCHAR* Data, ULONG Length) {
    g_private.emplace_back(Data, Data + Length);
    return Length == 6 && Data[1] == 0x7E;
}

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override { g_private.clear(); }

    DdClient* AddClient(bool receiving = true) { return rig_.AddClient(receiving); }
    void Feed(const std::vector<UCHAR>& bytes, ULONG port = 0) { rig_.Feed(bytes, port); }
    std::vector<Piece> Drain(DdClient* client) { return rig_.Drain(client); }

    std::vector<ULONG> DrainEvents(DdClient* client) {
        std::vector<ULONG> events;
        for (const Piece& p : Drain(client)) {
            EXPECT_EQ(p.type, DD_BUF_EVENTS);
            for (ULONG e : p.Events())
                events.push_back(e);
        }
        return events;
    }

    varlo_test::ParserRig rig_;
    DdExtension& ext_ = rig_.ext;
    DdTb* tb_ = rig_.tb;
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
    DdClient* c = AddClient();
    Feed({0x90, 0x3C, 0x40, 0x3C, 0x00});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x01403C90, 0x01003C90}));

    // One data byte for program change, quarter frame and song select; two for song position;
    // a note split over two reads still completes.
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
    DdClient* c = AddClient();
    Feed({0x90, 0x3C, 0xF8, 0x40, 0xFE, 0x3E, 0xFE, 0xFA, 0x41});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x010000F8, 0x01403C90, 0x010000FA, 0x01413E90}));
    // Active sensing alone produces nothing at all.
    Feed({0xFE, 0xFE, 0xFE});
    EXPECT_TRUE(Drain(c).empty());

    // Inside System Exclusive: the clock goes out first, the message carries on.
    Feed({0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7});
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].Events(), (std::vector<ULONG>{0x010000F8}));
    EXPECT_EQ(pieces[1].type, DD_BUF_SYSEX_END);
    EXPECT_EQ(pieces[1].data, (std::vector<UCHAR>{0xF0, 0x01, 0x02, 0xF7}));
}

TEST_F(ParserTest, CableSelectionKeepsRunningStatusPerCable) {
    DdClient* c = AddClient();
    Feed({0xF5, 0x02, 0x90, 0x3C, 0x40});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x02403C90}));

    Feed({0xF5, 0x01, 0x90, 0x3C, 0x40, 0xF5, 0x02, 0x80, 0x3C, 0x00, 0xF5, 0x01, 0x3C, 0x00});
    EXPECT_EQ(DrainEvents(c), (std::vector<ULONG>{0x01403C90, 0x02003C80, 0x01003C90}));

    // Cable 0 never had a status: its bare data is dropped; back on cable 2 running status holds,
    // and a System Exclusive message leaves it standing too.
    Feed({0xF5, 0x00, 0x3C, 0x40, 0xF5, 0x02, 0x3D, 0x00, 0xF0, 0x01, 0xF7, 0x3E, 0x00});
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].Events(), (std::vector<ULONG>{0x02003D80}));
    EXPECT_EQ(pieces[1].type, DD_BUF_SYSEX_END);
    EXPECT_EQ(pieces[2].Events(), (std::vector<ULONG>{0x02003E80}));
}

// A long message comes in pieces of 16, then 240 bytes, whatever the reads' sizes; short messages
// arrive whole; 15 data bytes just fill the first piece.
TEST_F(ParserTest, SysExIsSplitIntoPiecesWhateverTheReads) {
    DdClient* c = AddClient();
    std::vector<UCHAR> message = SysEx(300);
    for (size_t readSize : {1u, 7u, 15u, 16u, 17u, 239u, 300u}) {
        for (size_t at = 0; at < message.size(); at += readSize)
            Feed({message.begin() + at, message.begin() + std::min(message.size(), at + readSize)});
        std::vector<Piece> pieces = Drain(c);
        ASSERT_EQ(pieces.size(), 3u) << readSize;
        std::vector<std::array<size_t, 3>> shape; // each piece's type, cable and length
        std::vector<UCHAR> joined;
        for (const Piece& p : pieces) {
            shape.push_back({p.type, p.cable, p.data.size()});
            joined.insert(joined.end(), p.data.begin(), p.data.end());
        }
        EXPECT_EQ(shape, (std::vector<std::array<size_t, 3>>{{DD_BUF_SYSEX_PART, 1, 16},
                                                             {DD_BUF_SYSEX_PART, 1, 240},
                                                             {DD_BUF_SYSEX_END, 1, 46}}));
        EXPECT_EQ(joined, message);
    }

    Feed(SysEx(14));
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].type, DD_BUF_SYSEX_END);
    EXPECT_EQ(pieces[0].data, SysEx(14));

    Feed(SysEx(15));
    pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].type, DD_BUF_SYSEX_PART);
    EXPECT_EQ(pieces[0].data, SysEx(15, false));
    EXPECT_EQ(pieces[1].type, DD_BUF_SYSEX_END);
    EXPECT_EQ(pieces[1].data, (std::vector<UCHAR>{0xF7}));
}

TEST_F(ParserTest, SysExBrokenOffByAStatusByte) {
    DdClient* c = AddClient();
    Feed({0xF0, 0x41, 0x10, 0x90, 0x3C, 0x40});
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].type, DD_BUF_SYSEX_BROKEN);
    EXPECT_EQ(pieces[0].data, (std::vector<UCHAR>{0xF0, 0x41, 0x10}));
    EXPECT_EQ(pieces[1].Events(), (std::vector<ULONG>{0x01403C90}));

    // A cable selection breaks it off too; the piece carries the cable it came on.
    Feed({0xF5, 0x02, 0xF0, 0x01, 0x02, 0xF5, 0x01, 0x03});
    pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].type, DD_BUF_SYSEX_BROKEN);
    EXPECT_EQ(pieces[0].cable, 2);
    EXPECT_EQ(pieces[0].data, (std::vector<UCHAR>{0xF0, 0x01, 0x02}));

    // Broken right after a full piece: an empty closing piece still marks the end.
    std::vector<UCHAR> bytes = SysEx(15, false);
    bytes.push_back(0x80);
    Feed(bytes);
    pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1].type, DD_BUF_SYSEX_BROKEN);
    EXPECT_TRUE(pieces[1].data.empty());
    // A stray F7 afterwards is a status of its own and yields nothing.
    Feed({0xF7});
    EXPECT_TRUE(Drain(c).empty());
    // A tune request breaks a message off like any status, then arrives itself.
    Feed({0xF0, 0x01, 0xF6, 0x02});
    pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].data, (std::vector<UCHAR>{0xF0, 0x01}));
    EXPECT_EQ(pieces[1].Events(), (std::vector<ULONG>{0x010000F6}));
}

TEST_F(ParserTest, PrivateSysExHookConsumesMessages) {
    ext_.Info.PrivateSysEx = ConsumeIdentityReply;
    DdClient* c = AddClient();
    Feed({0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7, 0xF0, 0x43, 0x00, 0x00, 0x00, 0xF7});
    ASSERT_EQ(g_private.size(), 2u);
    EXPECT_EQ(g_private[0], (std::vector<UCHAR>{0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7}));
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].data[1], 0x43);
    // A broken-off message is never offered.
    Feed({0xF0, 0x7E, 0x00, 0x90});
    EXPECT_EQ(g_private.size(), 2u);
}

TEST_F(ParserTest, BuffersHoldOnePortAndSixtyEvents) {
    DdClient* c = AddClient();
    Feed({0x90, 0x3C, 0x40});
    Feed({0x90, 0x3D, 0x40}, 1);
    std::vector<Piece> pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].port, 0);
    EXPECT_EQ(pieces[1].port, 1);
    EXPECT_EQ(pieces[1].Events(), (std::vector<ULONG>{0x01403D90}));

    std::vector<UCHAR> bytes(61, 0xF8);
    Feed(bytes);
    pieces = Drain(c);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].data.size(), 240u);
    EXPECT_EQ(pieces[1].data.size(), 4u);
}

TEST_F(ParserTest, StalledClientLosesOnlyItsOwnEvents) {
    DdClient* keepsUp = AddClient();
    DdClient* stalled = AddClient(); // newest: first in the list
    std::vector<UCHAR> clocks(DD_CLIENT_BUFFERS * 60, 0xF8);
    Feed(clocks);
    EXPECT_EQ(DrainEvents(keepsUp).size(), clocks.size());
    // The stalled client's buffers are all full now; the other one still gets everything.
    Feed({0x90, 0x3C, 0x40});
    Feed(SysEx(20));
    std::vector<Piece> pieces = Drain(keepsUp);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].Events(), (std::vector<ULONG>{0x01403C90}));
    EXPECT_EQ(pieces[2].type, DD_BUF_SYSEX_END);
    EXPECT_EQ(DrainEvents(stalled).size(), clocks.size());
}

TEST_F(ParserTest, NothingIsParsedWhilePortIsClosed) {
    DdClient* c = AddClient();
    ext_.OpenCount = 0;
    Feed({0x90, 0x3C, 0x40, 0xF0});
    EXPECT_EQ(tb_[0].RunningStatus, 0u);
    EXPECT_EQ(tb_[0].InSysEx, 0u);
    ext_.OpenCount = 1;
    Feed({0x3C, 0x40});
    EXPECT_TRUE(Drain(c).empty());
}

TEST_F(ParserTest, FullReadIsConsumedExactlyOnce) {
    DdClient* c = AddClient();
    std::vector<UCHAR> bytes;
    for (int i = 0; i < 256; i++)
        bytes.insert(bytes.end(), {0xF8, 0xFE});
    ASSERT_EQ(bytes.size(), (size_t)DD_TB_BUFFER_SIZE);
    Feed(bytes);
    EXPECT_EQ(tb_[0].ReadIndex, 0u);
    EXPECT_EQ(DrainEvents(c).size(), 256u);
}

} // namespace
