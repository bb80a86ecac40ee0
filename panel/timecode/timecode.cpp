// Timecode record arithmetic (see timecode.h).
#include "timecode/timecode.h"

#include <cstdio>

namespace {

// Skips to the next digit and reads the run of digits there (0 when the text has none).
uint32_t ReadNumber(const char** text) {
    const char* p = *text;
    while (*p != '\0' && (*p < '0' || *p > '9'))
        ++p;
    uint32_t v = 0;
    while (*p >= '0' && *p <= '9') {
        uint32_t digit = static_cast<uint32_t>(*p - '0');
        v = v > (UINT32_MAX - digit) / 10u ? UINT32_MAX : v * 10u + digit;
        ++p;
    }
    *text = p;
    return v;
}

int32_t Limit(uint32_t v, uint32_t bound) {
    return v >= bound ? 0 : static_cast<int32_t>(v);
}

} // namespace

int32_t FramesPerSecondOfRate(int32_t rateCode) {
    switch (rateCode) {
        case 0:
            return 24;
        case 2:
        case 3:
            return 30;
        default:
            return 25;
    }
}

void InitTimecode(Timecode* tc, int32_t rateCode, int32_t levelCode) {
    *tc = Timecode{};
    tc->rateCode = rateCode;
    tc->framesPerSecond = FramesPerSecondOfRate(rateCode);
    tc->levelCode = levelCode;
}

void FormatTimecode(const Timecode& tc, char out[kTimecodeTextSize]) {
    snprintf(out, kTimecodeTextSize, "%02d:%02d:%02d:%02d", tc.hours & 63, tc.minutes & 63,
             tc.seconds & 63, tc.frames & 63);
}

void ParseTime(const char* text, Timecode* tc) {
    // Numbers too large for 32 bits saturate, so they are out of range like any large value.
    uint32_t h = ReadNumber(&text);
    uint32_t m = ReadNumber(&text);
    uint32_t s = ReadNumber(&text);
    uint32_t f = ReadNumber(&text);
    tc->hours = Limit(h, 24);
    tc->minutes = Limit(m, 60);
    tc->seconds = Limit(s, 60);
    tc->frames = Limit(f, static_cast<uint32_t>(tc->framesPerSecond));
}

void ChangeTimecodeRate(Timecode* tc, int32_t rateCode) {
    tc->rateCode = rateCode;
    tc->framesPerSecond = FramesPerSecondOfRate(rateCode);
    if (tc->frames >= tc->framesPerSecond)
        tc->frames = tc->framesPerSecond - 1;
}

void TimecodeFromMtc(uint32_t value, int32_t levelCode, Timecode* tc) {
    InitTimecode(tc, static_cast<int32_t>(value >> 29 & 3), levelCode);
    tc->hours = static_cast<int32_t>(value >> 24 & 0x1F);
    tc->minutes = static_cast<int32_t>(value >> 16 & 0xFF);
    tc->seconds = static_cast<int32_t>(value >> 8 & 0xFF);
    tc->frames = static_cast<int32_t>(value & 0xFF);
}

void TimecodeFromStateReport(uint32_t wParam, uint32_t lParam, const Timecode& previous,
                             Timecode* tc) {
    // A level or rate outside the defined codes (a damaged report) keeps the one in force.
    uint32_t level = wParam & 0x0F;
    uint32_t rate = wParam >> 8 & 0x0F;
    InitTimecode(tc, rate <= 3 ? static_cast<int32_t>(rate) : previous.rateCode,
                 level <= 3 ? static_cast<int32_t>(level) : previous.levelCode);
    if ((lParam & 0xFF) != 0x7F) {
        tc->hours = static_cast<int32_t>(lParam >> 24 & 0xFF);
        tc->minutes = static_cast<int32_t>(lParam >> 16 & 0xFF);
        tc->seconds = static_cast<int32_t>(lParam >> 8 & 0xFF);
        tc->frames = static_cast<int32_t>(lParam & 0xFF);
    }
}
