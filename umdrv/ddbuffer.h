// The driver's 256-byte exchange buffer as the user-mode MIDI driver reads and writes it, and the
// joining of System Exclusive pieces into whole messages. Pure code: no <windows.h>.
//
// Layout (little-endian): u32 Next, u16 Type, u16 Port, u32 Reserved, u16 Cable, u16 Length, then
// up to 240 data bytes. A read returns Length + 16 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace umdrv {

inline constexpr uint32_t kBufferSize = 256;
inline constexpr uint32_t kHeaderSize = 16;
inline constexpr uint32_t kMaxData = 240;
// A play request's stream data: the header's Length is 16 bits, and the bridge carries a request
// of up to 64 KiB. The driver writes one request's stream whole, under the port's send lock.
inline constexpr uint32_t kMaxStreamPlay = 0xFF00;

enum BufferType : uint16_t {
    kSysExPart = 1,   // a piece that continues in a later buffer; the first begins with F0
    kSysExEnd = 2,    // the last piece, ending with F7
    kSysExBroken = 3, // the last piece of a message another status byte broke off
    kEvents = 4,      // packed short events, 4 bytes each
};

// Device control codes of the driver.
inline constexpr uint32_t IOCTL_DD_GET_CAPS = 0x001D4208;
inline constexpr uint32_t IOCTL_DD_GET_STATE = 0x001D4210;
inline constexpr uint32_t IOCTL_DD_NUM_CLIENTS = 0x001D4214;
inline constexpr uint32_t IOCTL_DD_MIDI_PLAY = 0x001D8207;
inline constexpr uint32_t IOCTL_DD_ACTIVATE = 0x001D820C;
inline constexpr uint32_t kCapsSize = 1296;

struct BufferView {
    uint16_t Type;
    uint16_t Port;
    uint16_t Cable;
    const uint8_t* Data;
    uint32_t Length; // bytes of Data actually present (clipped to what was read and to 240)
};

// Reads the header of a completed read of `size` bytes; false when it is too short to hold one.
bool ParseBuffer(const uint8_t* bytes, uint32_t size, BufferView& out);

// The event word: status | data1 << 8 | data2 << 16 | cable << 24.
inline uint8_t EventCable(uint32_t event) {
    return uint8_t(event >> 24);
}
inline uint32_t EventMessage(uint32_t event) {
    return event & 0x00FFFFFF;
}
inline uint32_t MakeEvent(uint32_t message, uint8_t cable) {
    return (message & 0x00FFFFFF) | uint32_t(cable) << 24;
}

// Number of data bytes that follow a status byte, as the driver counts them.
int DataBytesOf(uint8_t status);

// Play buffers (the input of IOCTL_DD_MIDI_PLAY), each header plus data.
std::vector<uint8_t> BuildEventPlay(uint16_t port, const uint32_t* events, uint32_t count);
// A long message as play requests of at most kMaxStreamPlay bytes (one for any usual message, so
// that another client's output cannot break it on the line): type 1 for all but the last, 2 last.
std::vector<std::vector<uint8_t>> BuildStreamPlays(uint16_t port, uint8_t cable,
                                                   const uint8_t* bytes, uint32_t count);

// Joins the pieces of one (port, cable) into whole messages. A message is handed on as whole only
// when it began with F0 and its last piece (type 2) ended with F7; a message broken off (type 3),
// cut short by the start of another, or longer than the limit is handed on as broken, never as
// whole. Continuations whose start was never seen are dropped.
class SysExJoiner {
public:
    struct Message {
        bool Whole;
        std::vector<uint8_t> Bytes;
    };

    explicit SysExJoiner(size_t limit = 1u << 20) : limit_(limit) {}

    // Feeds one piece; appends every message it ends to `out` (at most two).
    void Feed(uint16_t type, const uint8_t* data, uint32_t length, std::vector<Message>& out);
    bool Collecting() const { return collecting_; }

private:
    void Finish(bool whole, std::vector<Message>& out);

    std::vector<uint8_t> bytes_;
    size_t limit_;
    bool collecting_ = false;
    bool overflow_ = false;
};

} // namespace umdrv
