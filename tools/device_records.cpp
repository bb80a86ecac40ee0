#include "tools/device_records.h"

#include "bridge/bridge_frames.h"
#include "sim/midi_status.h"

#include <cstring>

namespace tools {
namespace {

const char* const kHex = "0123456789ABCDEF";

void AppendHex(std::string& s, uint8_t b) {
    s += ' ';
    s += kHex[b >> 4];
    s += kHex[b & 15];
}

std::vector<uint8_t> Header(uint16_t type, uint16_t port, uint16_t cable, uint16_t length) {
    std::vector<uint8_t> h(kBufferHeader, 0);
    h[4] = uint8_t(type);
    h[6] = uint8_t(port);
    h[7] = uint8_t(port >> 8);
    h[12] = uint8_t(cable);
    h[14] = uint8_t(length);
    h[15] = uint8_t(length >> 8);
    return h;
}

uint16_t U16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

} // namespace

unsigned DataBytesOf(uint8_t status) {
    return sim::DataBytesOf(status);
}

bool BuildPlayBuffers(uint16_t port, uint8_t cable, const std::vector<uint8_t>& midi,
                      std::vector<std::vector<uint8_t>>& buffers, std::string& error) {
    buffers.clear();
    std::vector<uint8_t> events;
    auto flushEvents = [&] {
        if (events.empty())
            return;
        std::vector<uint8_t> b = Header(kEvents, port, 0, uint16_t(events.size()));
        b.insert(b.end(), events.begin(), events.end());
        buffers.push_back(std::move(b));
        events.clear();
    };
    size_t i = 0;
    while (i < midi.size()) {
        uint8_t status = midi[i];
        if (!(status & 0x80)) {
            error = "byte " + std::to_string(i) + " is a data byte without a status byte";
            return false;
        }
        if (status == 0xF0) {
            size_t end = i + 1;
            while (end < midi.size() && midi[end] != 0xF7) {
                if (midi[end] & 0x80) {
                    error = "System Exclusive message at byte " + std::to_string(i) +
                            " holds a status byte";
                    return false;
                }
                ++end;
            }
            if (end == midi.size()) {
                error = "System Exclusive message at byte " + std::to_string(i) + " has no F7";
                return false;
            }
            flushEvents();
            for (size_t at = i; at <= end; at += kBufferData) {
                size_t n = end + 1 - at < kBufferData ? end + 1 - at : kBufferData;
                std::vector<uint8_t> b =
                    Header(at + n > end ? kSysExEnd : kSysExPart, port, cable, uint16_t(n));
                b.insert(b.end(), midi.begin() + long(at), midi.begin() + long(at + n));
                buffers.push_back(std::move(b));
            }
            i = end + 1;
            continue;
        }
        if (status == 0xF7) {
            error = "F7 at byte " + std::to_string(i) + " ends no System Exclusive message";
            return false;
        }
        unsigned n = DataBytesOf(status);
        if (status == 0xF5) {
            error = "F5 at byte " + std::to_string(i) + ": give the cable as an argument";
            return false;
        }
        if (i + n >= midi.size()) {
            error = "message at byte " + std::to_string(i) + " lacks data bytes";
            return false;
        }
        uint8_t word[4] = {status, 0, 0, cable};
        for (unsigned k = 1; k <= n; ++k) {
            if (midi[i + k] & 0x80) {
                error = "message at byte " + std::to_string(i) + " lacks data bytes";
                return false;
            }
            word[k] = midi[i + k];
        }
        events.insert(events.end(), word, word + 4);
        if (events.size() == kBufferData)
            flushEvents();
        i += 1 + n;
    }
    flushEvents();
    return true;
}

std::vector<std::string> DescribeBuffer(const uint8_t* data, size_t length) {
    if (length < kBufferHeader)
        return {"malformed buffer: " + std::to_string(length) + " bytes"};
    uint16_t type = U16(data + 4), port = U16(data + 6), cable = U16(data + 12);
    uint16_t used = U16(data + 14);
    if (used > kBufferData || used + kBufferHeader > length || type < 1 || type > 4)
        return {"malformed buffer: type " + std::to_string(type) + " length " +
                std::to_string(used)};
    const uint8_t* d = data + kBufferHeader;
    std::vector<std::string> lines;
    if (type == kEvents) {
        for (unsigned at = 0; at + 4 <= used; at += 4) {
            std::string line =
                "port " + std::to_string(port) + " cable " + std::to_string(d[at + 3]) + " event";
            unsigned n = DataBytesOf(d[at]);
            for (unsigned k = 0; k <= n; ++k)
                AppendHex(line, d[at + k]);
            lines.push_back(line);
        }
        return lines;
    }
    static const char* const kNames[] = {"", "sysex-part", "sysex-end", "sysex-broken"};
    std::string line =
        "port " + std::to_string(port) + " cable " + std::to_string(cable) + " " + kNames[type];
    for (unsigned k = 0; k < used; ++k)
        AppendHex(line, d[k]);
    lines.push_back(line);
    return lines;
}

std::vector<std::string> DescribeCaps(const std::vector<uint8_t>& caps) {
    if (caps.size() != kCapsSize)
        return {"malformed capabilities: " + std::to_string(caps.size()) + " bytes"};
    uint32_t count = bridge::GetU32(caps.data() + 12);
    std::vector<std::string> lines = {
        "in-cables " + std::to_string(bridge::GetU32(caps.data() + 4)),
        "out-cables " + std::to_string(bridge::GetU32(caps.data() + 8)),
        "interfaces " + std::to_string(count)};
    for (uint32_t i = 0; i < count && i < 32; ++i) {
        const uint8_t* e = caps.data() + 16 + i * 40;
        char name[33] = {};
        std::memcpy(name, e + 8, 32);
        lines.push_back("interface " + std::to_string(i) + " id " + std::to_string(U16(e)) +
                        " name " + name);
    }
    return lines;
}

} // namespace tools
