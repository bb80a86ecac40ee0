// The timecode record: rates, text form, start-time parsing, decoder time words.
#include "timecode/timecode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const Timecode& tc) {
    char buf[kTimecodeTextSize];
    FormatTimecode(tc, buf);
    return buf;
}

// The whole record: "rate code/frames per second/level code time".
std::string Record(const Timecode& tc) {
    return std::to_string(tc.rateCode) + "/" + std::to_string(tc.framesPerSecond) + "/" +
           std::to_string(tc.levelCode) + " " + Text(tc);
}

std::string Parsed(const char* text, int32_t rate = 1) {
    Timecode tc;
    InitTimecode(&tc, rate, 1);
    ParseTime(text, &tc);
    return Text(tc);
}

TEST(Timecode, TextParsingAndTheRecordFromRatesAndDecoderTimeWords) {
    EXPECT_EQ(Parsed("1:2:3:40"), "01:02:03:00"); // 40 frames at 25
    EXPECT_EQ(Parsed("1 2 3 4"), "01:02:03:04");
    EXPECT_EQ(Parsed("01:02:03:04"), "01:02:03:04");
    EXPECT_EQ(Parsed("25:00:00:00"), "00:00:00:00");
    EXPECT_EQ(Parsed("23:60:59:24"), "23:00:59:24");
    EXPECT_EQ(Parsed("0:0:60:0"), "00:00:00:00");
    EXPECT_EQ(Parsed("0:0:0:24", 0), "00:00:00:00"); // 24 frames at 24
    EXPECT_EQ(Parsed("0:0:0:29", 3), "00:00:00:29");
    EXPECT_EQ(Parsed(""), "00:00:00:00");
    EXPECT_EQ(Parsed("12"), "12:00:00:00");
    EXPECT_EQ(Parsed("abc 7 - 8"), "07:08:00:00");
    EXPECT_EQ(Parsed("4294967297:1"), "00:01:00:00"); // beyond 32 bits is out of range
    EXPECT_EQ(Parsed("99999999999999999999:5"), "00:05:00:00");

    // The text is always eleven characters.
    Timecode tc{1, 25, 1, 64 + 23, 59, -1, 100};
    EXPECT_EQ(Text(tc), "23:59:63:36");

    // An unset rate counts 25 frames. The frames of the current time are limited when the rate
    // falls below them, so a time sent with the new rate is always a valid one.
    EXPECT_EQ(FramesPerSecondOfRate(TIMECODE_UNSET), 25);
    EXPECT_EQ(FramesPerSecondOfRate(-1), 25);
    tc = {7, 7, 7, 7, 7, 7, 7};
    InitTimecode(&tc, 0, 3);
    EXPECT_EQ(Record(tc), "0/24/3 00:00:00:00");
    InitTimecode(&tc, 3, 1);
    tc.frames = 29;
    ChangeTimecodeRate(&tc, 0);
    EXPECT_EQ(Record(tc), "0/24/1 00:00:00:23");
    tc.frames = 10;
    ChangeTimecodeRate(&tc, 1);
    EXPECT_EQ(Record(tc), "1/25/1 00:00:00:10");

    // From decoder time words.
    TimecodeFromMtc(3u << 29 | 0x17u << 24 | 59u << 16 | 58u << 8 | 29u, 2, &tc);
    EXPECT_EQ(Record(tc), "3/30/2 23:59:58:29");

    Timecode before;
    InitTimecode(&before, 2, 3);
    before.frames = 9; // a report without a time clears the one shown
    TimecodeFromStateReport(0x0102, 0x01020304, before, &tc);
    EXPECT_EQ(Record(tc), "1/25/2 01:02:03:04");
    TimecodeFromStateReport(0x030F, 0x0102037F, before, &tc); // no level, no time
    EXPECT_EQ(Record(tc), "3/30/3 00:00:00:00");
    TimecodeFromStateReport(0x0709, 0, before, &tc); // undefined rate and level: kept
    EXPECT_EQ(Record(tc), "2/30/3 00:00:00:00");
}

} // namespace
