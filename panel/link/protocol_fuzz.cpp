// Feeds arbitrary bytes to both decoders: long messages of any length and content, then the same
// bytes as a stream of short messages.
#include "link/protocol.h"

#include <cstring>

namespace {
void Post(uintptr_t, uint32_t message, uintptr_t, intptr_t lParam) {
    if (message == PM_MTC_TIME && (uint64_t(lParam) >> 31) != 0)
        __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ProtocolSetTransport(nullptr, Post);
    ProtocolSetTargetWindow(1);
    DecodeLongMessage(data, uint32_t(size));
    if (size >= 12) {
        uint8_t msg[12];
        std::memcpy(msg, data, 12);
        msg[0] = 0xF0;
        DecodeLongMessage(msg, 12);
        int32_t v = ProtocolFirmwareVersion();
        int32_t mode = ProtocolCurrentMode();
        if (v < 0 || v > 999 || mode < 0 || mode > MODE_MTC)
            __builtin_trap();
    }
    for (size_t i = 0; i + 1 < size; i += 2)
        DecodeShortMessage(uint32_t(data[i]) | uint32_t(data[i + 1]) << 8);
    return 0;
}
