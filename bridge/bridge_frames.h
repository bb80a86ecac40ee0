// Frames of the device bridge: the loopback TCP link between a client of the driver's device (the
// user-mode MIDI driver under Wine, the command-line tool, tests) and the device host, which serves
// the driver running on the kernel-services layer. Pure C++, no operating-system headers: built
// into the device host (Linux) and into the user-mode MIDI driver (Windows).
//
// Every frame is a 12-byte header followed by PayloadLength bytes, all numbers little-endian:
//   u32 PayloadLength   at most kMaxPayload
//   u16 Type            one of FrameType
//   u16 Flags           0
//   u32 Tag             chosen by the client per request; a Complete frame carries the request's
//   tag
//
// A connection starts with Hello from the client and HelloReply from the host; Hello carries the
// host's access token (bridge_token.h), and one without the right token ends the connection. With
// the role Device the connection is one open handle of the device (create on Hello, cleanup and
// close when the connection ends); with the role Model it talks to the interface model behind the
// serial port.
// Requests of one connection are served in order, except that a Read may wait while later requests
// complete; a Read waits until data arrive or ReadCancel names its tag.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bridge {

inline constexpr uint32_t kMagic = 0x31424c56; // "VLB1"
inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kMaxPayload = 65536;
inline constexpr uint32_t kHelloHeadSize = 8; // magic and role; the token follows

enum class FrameType : uint16_t {
    Hello = 1,      // c->h  u32 magic, u32 role (Role), the token's kTokenLength hex digits
    HelloReply = 2, // h->c  u32 status (NTSTATUS of the create for Device; 0 for Model)
    Read = 3,       // c->h  u32 length                      -> Complete(data read)
    ReadCancel = 4, // c->h  u32 tag of the waiting Read     -> the Read completes (cancelled)
    Ioctl = 5,      // c->h  u32 code, u32 output length, input bytes -> Complete(output bytes)
    Write = 6,      // c->h  bytes                           -> Complete(no data)
    Complete = 7,   // h->c  u32 status, u32 information, data bytes (information of them)
    ModelSend = 8,  // c->h  u32 serial port number, bytes the model sends on that line -> Complete
    ModelQuery = 9, // c->h  u32 serial port number          -> Complete(text report of the model)
    ModelCommand = 10, // c->h u32 serial port number, text command for the model -> Complete(text)
    Close = 11,        // c->h  (Device) cleanup and close the handle now -> Complete; the host
                       //       then ends the connection (a synchronous CloseHandle)
};

enum class Role : uint32_t { Device = 1, Model = 2 };

struct FrameHeader {
    uint32_t PayloadLength;
    FrameType Type;
    uint16_t Flags;
    uint32_t Tag;
};

inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void EncodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize]) {
    PutU32(out, h.PayloadLength);
    out[4] = uint8_t(uint16_t(h.Type));
    out[5] = uint8_t(uint16_t(h.Type) >> 8);
    out[6] = uint8_t(h.Flags);
    out[7] = uint8_t(h.Flags >> 8);
    PutU32(out + 8, h.Tag);
}

// Decodes a header; false when it is malformed (unknown type, flags set, payload too long). The
// receiver then closes the connection.
inline bool DecodeHeader(const uint8_t in[kHeaderSize], FrameHeader& h) {
    h.PayloadLength = GetU32(in);
    uint16_t type = uint16_t(in[4] | in[5] << 8);
    h.Flags = uint16_t(in[6] | in[7] << 8);
    h.Tag = GetU32(in + 8);
    h.Type = FrameType(type);
    return type >= uint16_t(FrameType::Hello) && type <= uint16_t(FrameType::Close) &&
           h.Flags == 0 && h.PayloadLength <= kMaxPayload;
}

} // namespace bridge
