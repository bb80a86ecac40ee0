// The interface's System Exclusive protocol and MIDI timecode decoding. Pure code: no <windows.h>.
//
// Encoders run on the user-interface thread: they build a complete F0..F7 message and hand it to
// the link's send operation (ProtocolSetTransport). Decoders run on the multimedia callback thread
// (MidiLink's input callback) and reach the panel only by posting PM_* messages to the target
// window. The state shared between the two threads is a handful of single aligned 32-bit values
// (std::atomic, relaxed): no locks anywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Private messages to the main window (WM_USER + 100..102).
inline constexpr uint32_t PM_MTC_TIME = 0x400 + 100;
inline constexpr uint32_t PM_IF_VERSION = 0x400 + 101;
inline constexpr uint32_t PM_IF_STATE = 0x400 + 102;

enum TimecodeRate : int { RATE_24 = 0, RATE_25 = 1, RATE_30_DROP = 2, RATE_30 = 3 };
enum LtcMode : int { MODE_OFF = 0, MODE_READ = 1, MODE_REFRESH = 2, MODE_WRITE = 3, MODE_MTC = 4 };
enum OutputLevel : int { LEVEL_MINUS_9 = 0, LEVEL_MINUS_4 = 1, LEVEL_0 = 2, LEVEL_PLUS_4 = 3 };

inline constexpr uint8_t SX_MANUFACTURER = 0x63;
inline constexpr uint8_t SX_DEVICE = 0x60;
inline constexpr uint8_t SX_IDENTITY_REQUEST = 0x0B;
inline constexpr uint8_t SX_STATE_REQUEST = 0x0C;
inline constexpr uint8_t SX_SET_STATE = 0x1C;
inline constexpr uint8_t SX_IDENTITY_REPLY = 0x7B;
inline constexpr uint8_t SX_STATE_REPLY = 0x7C;
inline constexpr uint8_t SX_NO_CHANGE = 0x7F;
inline constexpr int LOCATE_FIRMWARE_LIMIT = 101;

// The longest message the panel sends (the MMC locate).
inline constexpr uint32_t SX_MAX_MESSAGE = 13;

struct SysExMessage {
    uint8_t bytes[SX_MAX_MESSAGE];
    uint32_t count;
};

// A time as the messages carry it.
struct TimecodeTime {
    int rate; // TimecodeRate
    int hours;
    int minutes;
    int seconds;
    int frames;
};

// Cross-thread protocol state, one process-wide record.
struct ProtocolState {
    std::atomic<int32_t> firmwareVersion{0};        // last valid identity reply; 0 = old or unknown
    std::atomic<int32_t> currentMode{MODE_REFRESH}; // the panel's LtcMode; reports store it too
    std::atomic<uint32_t> mtcAssembly{0};           // quarter-frame piece p in bits 4p..4p+3
    std::atomic<int32_t> nextPiece{-1};             // next expected quarter-frame piece, -1 none
    std::atomic<uintptr_t> targetWindow{0};         // main window handle, 0 = do not post
};
extern ProtocolState g_Protocol;

// Where encoded messages go and how decoded results are posted. MidiLink installs the Win32
// versions when it opens; until then (and in host tests unless set) messages go nowhere.
using ProtocolSendFn = void (*)(const uint8_t* bytes, uint32_t count);
using ProtocolPostFn = void (*)(uintptr_t window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam);
void ProtocolSetTransport(ProtocolSendFn send, ProtocolPostFn post);

// Message builders. Every field is reduced to seven bits so that no argument can put a status
// byte inside a message: rate to 2 bits, hours to 5, the others to 7.
SysExMessage BuildIdentityRequest();
SysExMessage BuildStateRequest();
SysExMessage BuildSetMode(int mode);
SysExMessage BuildSetLevel(int level);
SysExMessage BuildSetFrameRate(int rate, int hours, int minutes, int seconds, int frames);
// The 12-byte set-state form above LOCATE_FIRMWARE_LIMIT, else the 13-byte MMC locate.
SysExMessage BuildLocate(int firmwareVersion, const TimecodeTime& target, int mode, int level);

// Encoders: build and send (user-interface thread).
void SendIdentityRequest();
void SendStateRequest();
void SendSetMode(int mode);
void SendSetLevel(int level);
void SendSetFrameRate(int rate, int hours, int minutes, int seconds, int frames);
void SendLocate(const TimecodeTime& target, int mode, int level);

// Decoders (multimedia callback thread). A long message is examined only when it starts with F0
// and is exactly 12 bytes long; anything malformed is dropped without trace.
void DecodeLongMessage(const uint8_t* buffer, uint32_t count);
// The packed short message: status in bits 0-7, first data byte in bits 8-15.
void DecodeShortMessage(uint32_t message);

// Queries and resets for the panel state (user-interface thread).
int32_t ProtocolFirmwareVersion();
int32_t ProtocolCurrentMode();
void ProtocolSetCurrentMode(int32_t mode);
void ProtocolResetQuarterFrames();              // next expected piece := -1
void ProtocolSetTargetWindow(uintptr_t window); // 0 clears

// Field extraction from the posted messages' parameters.
inline int MtcFrames(uint32_t v) {
    return int(v & 0xFF);
}
inline int MtcSeconds(uint32_t v) {
    return int((v >> 8) & 0xFF);
}
inline int MtcMinutes(uint32_t v) {
    return int((v >> 16) & 0xFF);
}
inline int MtcHours(uint32_t v) {
    return int((v >> 24) & 0x1F);
}
inline int MtcRate(uint32_t v) {
    return int((v >> 29) & 0x03);
}
