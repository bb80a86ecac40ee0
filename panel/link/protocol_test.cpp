// Host tests of the interface protocol: messages byte for byte, replies good and bad, quarter
// frames in every direction.
#include "link/protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Posted {
    uintptr_t window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

std::vector<Bytes> g_sent;
std::vector<Posted> g_posted;

void FakeSend(const uint8_t* bytes, uint32_t count) {
    g_sent.emplace_back(bytes, bytes + count);
}

void FakePost(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    g_posted.push_back({window, message, wParam, lParam});
}

Bytes Of(const SysExMessage& m) {
    return Bytes(m.bytes, m.bytes + m.count);
}

class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        g_sent.clear();
        g_posted.clear();
        g_Protocol.firmwareVersion = 0;
        g_Protocol.currentMode = MODE_REFRESH;
        g_Protocol.mtcAssembly = 0;
        g_Protocol.nextPiece = -1;
        ProtocolSetTargetWindow(0x1234);
        ProtocolSetTransport(FakeSend, FakePost);
    }
    void TearDown() override {
        ProtocolSetTransport(nullptr, nullptr);
        ProtocolSetTargetWindow(0);
    }
    static void Long(const Bytes& b) { DecodeLongMessage(b.data(), uint32_t(b.size())); }
    static void Quarter(int piece, int nibble) {
        DecodeShortMessage(0xF1u | uint32_t(piece << 4 | nibble) << 8);
    }
    // Eight pieces of a time, in forward order.
    static void SendTime(uint32_t value) {
        for (int p = 0; p < 8; ++p)
            Quarter(p, int(value >> (4 * p)) & 0xF);
    }
};

TEST_F(Protocol, RequestsAndSetStateFormsAreExact) {
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7}), Of(BuildIdentityRequest()));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x0C, 0x01, 0xF7}), Of(BuildStateRequest()));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x04, 0x7F, 0xF7}),
              Of(BuildSetMode(MODE_MTC)));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0xF7}),
              Of(BuildSetLevel(LEVEL_MINUS_9)));
    // Rate 30 non-drop with 23 hours: T0 = 3 << 5 | 23 = 0x77.
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x77, 59, 58, 29, 0x7F, 0x7F, 0xF7}),
              Of(BuildSetFrameRate(RATE_30, 23, 59, 58, 29)));
}

TEST_F(Protocol, LocateFormFollowsFirmwareVersion) {
    TimecodeTime t{RATE_25, 1, 0, 0, 0};
    Bytes setState{0xF0, 0x63, 0x60, 0x1C, 0x01, 0x21, 0x00, 0x00, 0x00, 0x03, 0x02, 0xF7};
    Bytes mmc{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    EXPECT_EQ(setState, Of(BuildLocate(150, t, MODE_WRITE, LEVEL_0)));
    EXPECT_EQ(setState, Of(BuildLocate(102, t, MODE_WRITE, LEVEL_0)));
    EXPECT_EQ(mmc, Of(BuildLocate(101, t, MODE_WRITE, LEVEL_0)));
    EXPECT_EQ(mmc, Of(BuildLocate(0, t, MODE_WRITE, LEVEL_0)));
    EXPECT_EQ(mmc, Of(BuildLocate(-5, t, MODE_WRITE, LEVEL_0)));
}

TEST_F(Protocol, OutOfRangeArgumentsNeverPutAStatusByteInsideAMessage) {
    TimecodeTime wild{7, 200, 300, -1, 0x80};
    for (const SysExMessage& m :
         {BuildSetMode(0x80), BuildSetLevel(-1), BuildSetFrameRate(9, 99, 255, 128, 1000),
          BuildLocate(0, wild, 0xFF, 0xFF), BuildLocate(500, wild, 0xFF, 0xFF)}) {
        ASSERT_EQ(0xF0, m.bytes[0]);
        ASSERT_EQ(0xF7, m.bytes[m.count - 1]);
        for (uint32_t i = 1; i + 1 < m.count; ++i)
            EXPECT_LT(m.bytes[i], 0x80) << "byte " << i;
    }
}

TEST_F(Protocol, EncodersSendThroughTheTransportAndLocateUsesTheStoredVersion) {
    SendIdentityRequest();
    SendLocate({RATE_24, 0, 0, 0, 0}, MODE_READ, LEVEL_0);
    Long({0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x31, 0x30, 0x32, 0xF7});
    SendLocate({RATE_24, 0, 0, 0, 0}, MODE_READ, LEVEL_0);
    ASSERT_EQ(3u, g_sent.size());
    EXPECT_EQ(Of(BuildIdentityRequest()), g_sent[0]);
    EXPECT_EQ(13u, g_sent[1].size());
    EXPECT_EQ(12u, g_sent[2].size());

    ProtocolSetTransport(nullptr, FakePost);
    SendStateRequest(); // no link: dropped
    EXPECT_EQ(3u, g_sent.size());
}

TEST_F(Protocol, IdentityReplyStoresVersionAndPosts) {
    Long({0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x31, 0x30, 0x32, 0xF7});
    EXPECT_EQ(102, ProtocolFirmwareVersion());
    ASSERT_EQ(1u, g_posted.size());
    EXPECT_EQ(0x1234u, g_posted[0].window);
    EXPECT_EQ(PM_IF_VERSION, g_posted[0].message);
    EXPECT_EQ(0x0201u, g_posted[0].wParam);
    EXPECT_EQ(102, g_posted[0].lParam);

    // Byte 4 may be 1; bytes 7 and 11 are not examined.
    Long({0xF0, 0x63, 0x60, 0x7B, 0x01, 0x05, 0x06, 0x55, 0x39, 0x39, 0x39, 0x00});
    EXPECT_EQ(999, ProtocolFirmwareVersion());
    EXPECT_EQ(2u, g_posted.size());
}

TEST_F(Protocol, BadIdentityRepliesChangeNothing) {
    Long({0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x31, 0x30, 0x31, 0xF7});
    ASSERT_EQ(101, ProtocolFirmwareVersion());
    g_posted.clear();
    const Bytes good{0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x32, 0x30, 0x32, 0xF7};
    auto with = [&](size_t i, uint8_t v) {
        Bytes b = good;
        b[i] = v;
        return b;
    };
    Bytes longer = good;
    longer.insert(longer.end() - 1, 0x00);
    Bytes shorter(good.begin(), good.end() - 1);
    for (const Bytes& b :
         {with(4, 0x02), with(8, 0x2F), with(9, 0x3A), with(10, 'A'), with(1, 0x41), with(2, 0x10),
          with(3, 0x7C), with(0, 0xF7), longer, shorter}) {
        Long(b);
    }
    EXPECT_EQ(101, ProtocolFirmwareVersion());
    EXPECT_TRUE(g_posted.empty());
    DecodeLongMessage(nullptr, 12);
    DecodeLongMessage(good.data(), 0);
    EXPECT_TRUE(g_posted.empty());
}

TEST_F(Protocol, StateReportStoresModeAtOnceAndPostsTimeAndLevel) {
    ProtocolSetTargetWindow(0);
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x02, 0x01, 0xF7});
    EXPECT_EQ(MODE_REFRESH, ProtocolCurrentMode());
    EXPECT_TRUE(g_posted.empty()); // no target window: decoded, not posted

    ProtocolSetTargetWindow(0x1234);
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x04, 0x01, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    ASSERT_EQ(1u, g_posted.size());
    EXPECT_EQ(PM_IF_STATE, g_posted[0].message);
    EXPECT_EQ(0x0101u, g_posted[0].wParam);
    EXPECT_EQ(0x01020304, g_posted[0].lParam);

    // The set-state command form decodes alike; 7Fh leaves the mode alone, the rest is posted.
    Long({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x77, 0x3B, 0x3B, 0x7F, 0x7F, 0x0F, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    ASSERT_EQ(2u, g_posted.size());
    EXPECT_EQ(0x030Fu, g_posted[1].wParam);
    EXPECT_EQ(0x173B3B7F, g_posted[1].lParam);

    // A mode byte outside the modes is not stored.
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
}

TEST_F(Protocol, BadStateReportsAreDropped) {
    const Bytes good{0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x00, 0x01, 0xF7};
    auto with = [&](size_t i, uint8_t v) {
        Bytes b = good;
        b[i] = v;
        return b;
    };
    Bytes thirteen = good;
    thirteen.push_back(0xF7);
    for (const Bytes& b : {with(4, 0x00), with(4, 0x02), with(11, 0x00), with(3, 0x1B),
                           Bytes(good.begin(), good.end() - 1), thirteen}) {
        Long(b);
    }
    EXPECT_EQ(MODE_REFRESH, ProtocolCurrentMode());
    EXPECT_TRUE(g_posted.empty());
}

TEST_F(Protocol, QuarterFramesPostOnlyAtPieceZeroAfterPieceSeven) {
    const uint32_t t1 = 1u << 29 | 1u << 24 | 2u << 16 | 3u << 8 | 4u; // 25 fps 01:02:03:04
    SendTime(t1);
    EXPECT_TRUE(g_posted.empty());
    Quarter(0, 6);
    ASSERT_EQ(1u, g_posted.size());
    EXPECT_EQ(PM_MTC_TIME, g_posted[0].message);
    EXPECT_EQ(0u, g_posted[0].wParam);
    EXPECT_EQ(intptr_t(t1), g_posted[0].lParam);
    EXPECT_EQ(1, MtcRate(uint32_t(g_posted[0].lParam)));
    EXPECT_EQ(1, MtcHours(uint32_t(g_posted[0].lParam)));

    // The run goes on: the next full run is posted with its own time.
    for (int p = 1; p < 8; ++p)
        Quarter(p, int(t1 >> (4 * p)) & 0xF);
    Quarter(0, 8);
    ASSERT_EQ(2u, g_posted.size());
    EXPECT_EQ(intptr_t(t1 & ~0xFu) | 6, g_posted[1].lParam);

    // Status bytes other than F1 are ignored.
    DecodeShortMessage(0x00403C90);
    DecodeShortMessage(0x000000F8);
    EXPECT_EQ(2u, g_posted.size());
}

TEST_F(Protocol, QuarterFramesBackwardOrAfterResetPostNothing) {
    for (int round = 0; round < 3; ++round)
        for (int p = 7; p >= 0; --p)
            Quarter(p, p);
    EXPECT_TRUE(g_posted.empty());

    SendTime(0x01020304);
    ProtocolResetQuarterFrames();
    Quarter(0, 0);
    EXPECT_TRUE(g_posted.empty());
    for (int p = 1; p < 8; ++p)
        Quarter(p, 0);
    Quarter(0, 0);
    EXPECT_EQ(1u, g_posted.size());

    // A jump (piece 3 then 0) does not post either.
    Quarter(1, 0);
    Quarter(2, 0);
    Quarter(0, 0);
    EXPECT_EQ(1u, g_posted.size());
}

TEST_F(Protocol, AssemblyValueKeepsBit31Clear) {
    SendTime(0xFFFFFFFF);
    Quarter(0, 0);
    ASSERT_EQ(1u, g_posted.size());
    EXPECT_EQ(intptr_t(0x7FFFFFFF), g_posted[0].lParam);
    EXPECT_EQ(3, MtcRate(0x7FFFFFFF));
    EXPECT_EQ(31, MtcHours(0x7FFFFFFF));
}

} // namespace
