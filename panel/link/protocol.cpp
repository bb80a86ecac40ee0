// The interface's System Exclusive messages and MIDI timecode quarter frames.
#include "link/protocol.h"

ProtocolState g_Protocol;

namespace {

// Both written once by MidiLink's open on the user-interface thread before any input can arrive.
std::atomic<ProtocolSendFn> s_send{nullptr};
std::atomic<ProtocolPostFn> s_post{nullptr};

constexpr uint8_t Data7(int v) {
    return uint8_t(v & 0x7F);
}

constexpr uint8_t TimeByte0(int rate, int hours) {
    return uint8_t(((rate & 0x03) << 5) | (hours & 0x1F));
}

SysExMessage SetState(uint8_t t0, uint8_t t1, uint8_t t2, uint8_t t3, uint8_t mode, uint8_t level) {
    return SysExMessage{
        {0xF0, SX_MANUFACTURER, SX_DEVICE, SX_SET_STATE, 0x01, t0, t1, t2, t3, mode, level, 0xF7},
        12};
}

void Send(const SysExMessage& m) {
    if (ProtocolSendFn send = s_send.load(std::memory_order_acquire))
        send(m.bytes, m.count);
}

void Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    uintptr_t window = g_Protocol.targetWindow.load(std::memory_order_relaxed);
    ProtocolPostFn post = s_post.load(std::memory_order_acquire);
    if (window && post)
        post(window, message, wParam, lParam);
}

bool HasHeader(const uint8_t* b, uint8_t command) {
    return b[0] == 0xF0 && b[1] == SX_MANUFACTURER && b[2] == SX_DEVICE && b[3] == command;
}

void DecodeIdentityReply(const uint8_t* b) {
    if (!HasHeader(b, SX_IDENTITY_REPLY) || b[4] > 0x01)
        return;
    int digits[3];
    for (int i = 0; i < 3; ++i) {
        digits[i] = int(b[8 + i]) - '0';
        if (digits[i] < 0 || digits[i] > 9)
            return;
    }
    int32_t version = 100 * digits[0] + 10 * digits[1] + digits[2];
    g_Protocol.firmwareVersion.store(version, std::memory_order_relaxed);
    Post(PM_IF_VERSION, uintptr_t(b[6]) << 8 | b[5], intptr_t(version));
}

void DecodeStateReport(const uint8_t* b) {
    if (!(HasHeader(b, SX_STATE_REPLY) || HasHeader(b, SX_SET_STATE)) || b[4] != 0x01 ||
        b[11] != 0xF7)
        return;
    // Only a real mode is stored: the panel indexes its mode buttons with it.
    if (b[9] <= MODE_MTC)
        g_Protocol.currentMode.store(b[9], std::memory_order_relaxed);
    uintptr_t wParam = uintptr_t(b[5] & 0xE0) << 3 | b[10];
    uint32_t lParam =
        uint32_t(b[5] & 0x1F) << 24 | uint32_t(b[6]) << 16 | uint32_t(b[7]) << 8 | b[8];
    Post(PM_IF_STATE, wParam, intptr_t(lParam));
}

} // namespace

void ProtocolSetTransport(ProtocolSendFn send, ProtocolPostFn post) {
    s_send.store(send, std::memory_order_release);
    s_post.store(post, std::memory_order_release);
}

SysExMessage BuildIdentityRequest() {
    return SysExMessage{{0xF0, SX_MANUFACTURER, SX_DEVICE, SX_IDENTITY_REQUEST, 0x00, 0xF7}, 6};
}

SysExMessage BuildStateRequest() {
    return SysExMessage{{0xF0, SX_MANUFACTURER, SX_DEVICE, SX_STATE_REQUEST, 0x01, 0xF7}, 6};
}

SysExMessage BuildSetMode(int mode) {
    return SetState(SX_NO_CHANGE, SX_NO_CHANGE, SX_NO_CHANGE, SX_NO_CHANGE, Data7(mode),
                    SX_NO_CHANGE);
}

SysExMessage BuildSetLevel(int level) {
    return SetState(SX_NO_CHANGE, SX_NO_CHANGE, SX_NO_CHANGE, SX_NO_CHANGE, SX_NO_CHANGE,
                    Data7(level));
}

SysExMessage BuildSetFrameRate(int rate, int hours, int minutes, int seconds, int frames) {
    return SetState(TimeByte0(rate, hours), Data7(minutes), Data7(seconds), Data7(frames),
                    SX_NO_CHANGE, SX_NO_CHANGE);
}

SysExMessage BuildLocate(int firmwareVersion, const TimecodeTime& t, int mode, int level) {
    uint8_t t0 = TimeByte0(t.rate, t.hours);
    if (firmwareVersion > LOCATE_FIRMWARE_LIMIT)
        return SetState(t0, Data7(t.minutes), Data7(t.seconds), Data7(t.frames), Data7(mode),
                        Data7(level));
    // MMC LOCATE TARGET to all devices; it carries the time only.
    return SysExMessage{{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, t0, Data7(t.minutes),
                         Data7(t.seconds), Data7(t.frames), 0x00, 0xF7},
                        13};
}

void SendIdentityRequest() {
    Send(BuildIdentityRequest());
}
void SendStateRequest() {
    Send(BuildStateRequest());
}
void SendSetMode(int mode) {
    Send(BuildSetMode(mode));
}
void SendSetLevel(int level) {
    Send(BuildSetLevel(level));
}

void SendSetFrameRate(int rate, int hours, int minutes, int seconds, int frames) {
    Send(BuildSetFrameRate(rate, hours, minutes, seconds, frames));
}

void SendLocate(const TimecodeTime& target, int mode, int level) {
    Send(BuildLocate(ProtocolFirmwareVersion(), target, mode, level));
}

void DecodeLongMessage(const uint8_t* buffer, uint32_t count) {
    if (!buffer || count != 12 || buffer[0] != 0xF0)
        return;
    DecodeIdentityReply(buffer);
    DecodeStateReport(buffer);
}

void DecodeShortMessage(uint32_t message) {
    if ((message & 0xFF) != 0xF1)
        return;
    uint32_t d = (message >> 8) & 0xFF;
    int piece = int((d >> 4) & 7);
    uint32_t nibble = d & 0x0F;
    if (piece == 7)
        nibble &= 0x07; // bit 31 of the assembly value stays clear
    uint32_t value = g_Protocol.mtcAssembly.load(std::memory_order_relaxed);
    if (piece == 0 && g_Protocol.nextPiece.load(std::memory_order_relaxed) == 0)
        Post(PM_MTC_TIME, 0, intptr_t(value));
    value = (value & ~(0x0Fu << (4 * piece))) | nibble << (4 * piece);
    g_Protocol.mtcAssembly.store(value, std::memory_order_relaxed);
    g_Protocol.nextPiece.store(int32_t(((d >> 4) + 1) & 7), std::memory_order_relaxed);
}

int32_t ProtocolFirmwareVersion() {
    return g_Protocol.firmwareVersion.load(std::memory_order_relaxed);
}

int32_t ProtocolCurrentMode() {
    return g_Protocol.currentMode.load(std::memory_order_relaxed);
}

void ProtocolSetCurrentMode(int32_t mode) {
    g_Protocol.currentMode.store(mode, std::memory_order_relaxed);
}

void ProtocolResetQuarterFrames() {
    g_Protocol.nextPiece.store(-1, std::memory_order_relaxed);
}

void ProtocolSetTargetWindow(uintptr_t window) {
    g_Protocol.targetWindow.store(window, std::memory_order_relaxed);
}
