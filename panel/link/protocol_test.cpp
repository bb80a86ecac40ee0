// Host tests of the interface protocol: messages byte for byte, replies good and bad, quarter
// frames in every direction.
#include "link/protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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

// A copy of `b` with byte `i` set to `v`.
Bytes With(Bytes b, size_t i, uint8_t v) {
    b[i] = v;
    return b;
}

// The posts so far as "message:wParam:lParam" in hexadecimal, one per post.
std::string Posts() {
    std::string out;
    char text[64];
    for (const Posted& p : g_posted) {
        std::snprintf(text, sizeof text, "%s%x:%x:%llx", out.empty() ? "" : " ", p.message,
                      unsigned(p.wParam), static_cast<unsigned long long>(p.lParam));
        out += text;
    }
    return out;
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

TEST_F(Protocol, RequestsSetStateAndLocateFormsAreExact) {
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7}), Of(BuildIdentityRequest()));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x0C, 0x01, 0xF7}), Of(BuildStateRequest()));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x04, 0x7F, 0xF7}),
              Of(BuildSetMode(MODE_MTC)));
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0xF7}),
              Of(BuildSetLevel(LEVEL_MINUS_9)));
    // Rate 30 non-drop with 23 hours: T0 = 3 << 5 | 23 = 0x77.
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x77, 59, 58, 29, 0x7F, 0x7F, 0xF7}),
              Of(BuildSetFrameRate(RATE_30, 23, 59, 58, 29)));

    // The locate form follows the firmware version.
    TimecodeTime t{RATE_25, 1, 0, 0, 0};
    Bytes setState{0xF0, 0x63, 0x60, 0x1C, 0x01, 0x21, 0x00, 0x00, 0x00, 0x03, 0x02, 0xF7};
    Bytes mmc{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    for (int32_t version : {150, 102, 101, 0, -5})
        EXPECT_EQ(version >= 102 ? setState : mmc, Of(BuildLocate(version, t, MODE_WRITE, LEVEL_0)))
            << version;

    // Out-of-range arguments never put a status byte inside a message.
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

// Messages: 464h time, 465h version, 466h state.
TEST_F(Protocol, RepliesAndStateReportsAreStoredAndPostedBadOnesChangeNothing) {
    const Bytes good{0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x31, 0x30, 0x32, 0xF7};
    Long(good);
    EXPECT_EQ(102, ProtocolFirmwareVersion());
    EXPECT_EQ(0x1234u, g_posted.at(0).window);
    // Byte 4 may be 1; bytes 7 and 11 are not examined.
    Long({0xF0, 0x63, 0x60, 0x7B, 0x01, 0x05, 0x06, 0x55, 0x39, 0x39, 0x39, 0x00});
    EXPECT_EQ(Posts(), "465:201:66 465:605:3e7");
    EXPECT_EQ(999, ProtocolFirmwareVersion());

    Bytes longer = good;
    longer.insert(longer.end() - 1, 0x00);
    for (const Bytes& b :
         {With(good, 4, 0x02), With(good, 8, 0x2F), With(good, 9, 0x3A), With(good, 10, 'A'),
          With(good, 1, 0x41), With(good, 2, 0x10), With(good, 3, 0x7C), With(good, 0, 0xF7),
          longer, Bytes(good.begin(), good.end() - 1)})
        Long(b);
    DecodeLongMessage(nullptr, 12);
    DecodeLongMessage(good.data(), 0);
    EXPECT_EQ(999, ProtocolFirmwareVersion());
    EXPECT_EQ(g_posted.size(), 2u);

    // A state report stores the mode at once and posts time and level.
    g_posted.clear();
    ProtocolSetTargetWindow(0);
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x02, 0x01, 0xF7});
    EXPECT_EQ(MODE_REFRESH, ProtocolCurrentMode());
    EXPECT_TRUE(g_posted.empty()); // no target window: decoded, not posted

    ProtocolSetTargetWindow(0x1234);
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x04, 0x01, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    // The set-state command form decodes alike; 7Fh leaves the mode alone, the rest is posted.
    Long({0xF0, 0x63, 0x60, 0x1C, 0x01, 0x77, 0x3B, 0x3B, 0x7F, 0x7F, 0x0F, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    EXPECT_EQ(Posts(), "466:101:1020304 466:30f:173b3b7f");

    // A mode byte outside the modes is not stored; bad reports are dropped.
    Long({0xF0, 0x63, 0x60, 0x7C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0xF7});
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    g_posted.clear();
    const Bytes report{0xF0, 0x63, 0x60, 0x7C, 0x01, 0x21, 0x02, 0x03, 0x04, 0x00, 0x01, 0xF7};
    Bytes thirteen = report;
    thirteen.push_back(0xF7);
    for (const Bytes& b :
         {With(report, 4, 0x00), With(report, 4, 0x02), With(report, 11, 0x00),
          With(report, 3, 0x1B), Bytes(report.begin(), report.end() - 1), thirteen})
        Long(b);
    EXPECT_EQ(MODE_MTC, ProtocolCurrentMode());
    EXPECT_TRUE(g_posted.empty());
}

TEST_F(Protocol, QuarterFramesPostOnlyAtPieceZeroAfterPieceSeven) {
    const uint32_t t1 = 1u << 29 | 1u << 24 | 2u << 16 | 3u << 8 | 4u; // 25 fps 01:02:03:04
    SendTime(t1);
    EXPECT_TRUE(g_posted.empty());
    Quarter(0, 6);
    EXPECT_EQ(1, MtcRate(t1));
    EXPECT_EQ(1, MtcHours(t1));
    // The run goes on: the next full run is posted with its own time.
    for (int p = 1; p < 8; ++p)
        Quarter(p, int(t1 >> (4 * p)) & 0xF);
    Quarter(0, 8);
    // Status bytes other than F1 are ignored.
    DecodeShortMessage(0x00403C90);
    DecodeShortMessage(0x000000F8);
    EXPECT_EQ(Posts(), "464:0:21020304 464:0:21020306");

    // The assembled value keeps bit 31 clear.
    g_posted.clear();
    ProtocolResetQuarterFrames();
    SendTime(0xFFFFFFFF);
    Quarter(0, 0);
    EXPECT_EQ(Posts(), "464:0:7fffffff");
    EXPECT_EQ(3, MtcRate(0x7FFFFFFF));
    EXPECT_EQ(31, MtcHours(0x7FFFFFFF));
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

} // namespace
