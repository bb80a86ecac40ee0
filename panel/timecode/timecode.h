// The panel's timecode record and its arithmetic: frames per second by rate code, the text form,
// parsing a typed start time, and unpacking the time words posted by the interface decoders.
// Pure code. Callers: the panel message handler (user-interface thread) and host tests.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t TIMECODE_UNSET = 99;   // rate code of a record not yet initialised
constexpr size_t kTimecodeTextSize = 12; // "hh:mm:ss:ff" and its terminator

struct Timecode {
    int32_t rateCode;
    int32_t framesPerSecond;
    int32_t levelCode;
    int32_t hours;
    int32_t minutes;
    int32_t seconds;
    int32_t frames;
};

// 0 → 24, 1 → 25, 2 and 3 → 30, anything else → 25.
int32_t FramesPerSecondOfRate(int32_t rateCode);

// Zeroes the record and stores the rate code, its frames per second and the level code.
void InitTimecode(Timecode* tc, int32_t rateCode, int32_t levelCode);

// "%02d:%02d:%02d:%02d" of the time fields, each masked to six bits: always eleven characters.
void FormatTimecode(const Timecode& tc, char out[kTimecodeTextSize]);

// Reads hours, minutes, seconds and frames from text into a record whose rate is set. Any
// non-digit separates fields; missing fields are 0; a field out of range becomes 0.
void ParseTime(const char* text, Timecode* tc);

// Changes the rate of a record; frames beyond the new rate are limited to its last frame.
void ChangeTimecodeRate(Timecode* tc, int32_t rateCode);

// PM_MTC_TIME's assembly value: rate in bits 29-30, hours 24-28, minutes 16-23, seconds 8-15,
// frames 0-7. The level travels with the record.
void TimecodeFromMtc(uint32_t value, int32_t levelCode, Timecode* tc);

// PM_IF_STATE: wParam carries the level (low four bits, all set when the report has none) and the
// rate (bits 8-11); lParam the time (hours in bits 24-31 ... frames in bits 0-7; frames 7Fh: no
// time). A missing or undefined level or rate keeps that of previous.
void TimecodeFromStateReport(uint32_t wParam, uint32_t lParam, const Timecode& previous,
                             Timecode* tc);
