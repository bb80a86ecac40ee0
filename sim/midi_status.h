// MIDI status bytes: how long a short message is. Pure C++, shared by the interface model and
// the device tools (tools/device_records.h).
#pragma once

#include <cstdint>

namespace sim {

// Data bytes that follow a status byte in a short message (0 for System Exclusive, whose data run
// to F7, and for the one-byte system messages).
inline constexpr unsigned DataBytesOf(uint8_t status) {
    switch (status & 0xF0) {
        case 0xC0:
        case 0xD0:
            return 1;
        case 0xF0:
            return status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0;
        default:
            return 2;
    }
}

} // namespace sim
