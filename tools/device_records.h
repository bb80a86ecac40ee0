// The driver's device records as a client sees them (little-endian byte layouts): control codes,
// the capabilities record, the 256-byte MIDI buffer of reads and of the play request. Building
// play buffers from MIDI bytes and describing read buffers as text lines. Pure C++.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

inline constexpr uint32_t kIoctlGetCaps = 0x001D4208;
inline constexpr uint32_t kIoctlGetState = 0x001D4210;
inline constexpr uint32_t kIoctlNumClients = 0x001D4214;
inline constexpr uint32_t kIoctlMidiPlay = 0x001D8207;
inline constexpr uint32_t kIoctlActivate = 0x001D820C;
inline constexpr uint32_t kCapsSize = 1296;
inline constexpr uint32_t kBufferHeader = 16;
inline constexpr uint32_t kBufferData = 240;

enum BufferType : uint16_t { kSysExPart = 1, kSysExEnd = 2, kSysExBroken = 3, kEvents = 4 };

// Data bytes that follow a status byte in a short message.
unsigned DataBytesOf(uint8_t status);

// Splits MIDI bytes (each message with its status byte) into play buffers for (port, cable):
// System Exclusive messages as stream buffers (240 bytes at most each), the rest as events with
// the cable in the top byte. False with a reason for bytes that are not whole messages.
bool BuildPlayBuffers(uint16_t port, uint8_t cable, const std::vector<uint8_t>& midi,
                      std::vector<std::vector<uint8_t>>& buffers, std::string& error);

// One text line per event or System Exclusive piece of a read buffer:
//   "port P cable C event 90 3C 40"   "port P cable C sysex-end F0 ... F7"
// (sysex-part, sysex-end, sysex-broken); "malformed buffer: ..." for a buffer that is not one.
std::vector<std::string> DescribeBuffer(const uint8_t* data, size_t length);

// Lines of a capabilities record: "in-cables N", "out-cables N", "interfaces N", then
// "interface I id V name NAME" for each.
std::vector<std::string> DescribeCaps(const std::vector<uint8_t>& caps);

} // namespace tools
