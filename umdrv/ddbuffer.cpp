// Exchange buffers of the driver and System Exclusive joining.
#include "ddbuffer.h"

#include <algorithm>

namespace umdrv {

namespace {

uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

std::vector<uint8_t> Header(uint16_t type, uint16_t port, uint16_t cable, uint32_t length) {
    std::vector<uint8_t> b(kHeaderSize + length, 0);
    PutU16(&b[4], type);
    PutU16(&b[6], port);
    PutU16(&b[12], cable);
    PutU16(&b[14], uint16_t(length));
    return b;
}

} // namespace

bool ParseBuffer(const uint8_t* bytes, uint32_t size, BufferView& out) {
    if (!bytes || size < kHeaderSize)
        return false;
    out.Type = GetU16(bytes + 4);
    out.Port = GetU16(bytes + 6);
    out.Cable = GetU16(bytes + 12);
    out.Data = bytes + kHeaderSize;
    out.Length = std::min({uint32_t(GetU16(bytes + 14)), size - kHeaderSize, kMaxData});
    return true;
}

int DataBytesOf(uint8_t status) {
    static const int8_t kChanType[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};
    if (status == 0xF1 || status == 0xF3)
        return 1;
    if (status == 0xF2)
        return 2;
    return kChanType[status >> 4];
}

std::vector<uint8_t> BuildEventPlay(uint16_t port, const uint32_t* events, uint32_t count) {
    count = std::min(count, kMaxData / 4);
    std::vector<uint8_t> b = Header(kEvents, port, 0, count * 4);
    for (uint32_t i = 0; i < count; ++i)
        for (int k = 0; k < 4; ++k)
            b[kHeaderSize + 4 * i + k] = uint8_t(events[i] >> (8 * k));
    return b;
}

std::vector<std::vector<uint8_t>> BuildStreamPlays(uint16_t port, uint8_t cable,
                                                   const uint8_t* bytes, uint32_t count) {
    std::vector<std::vector<uint8_t>> plays;
    for (uint32_t at = 0; at < count;) {
        uint32_t n = std::min(count - at, kMaxStreamPlay);
        uint16_t type = at + n < count ? kSysExPart : kSysExEnd;
        std::vector<uint8_t> b = Header(type, port, cable, n);
        std::copy(bytes + at, bytes + at + n, b.begin() + kHeaderSize);
        plays.push_back(std::move(b));
        at += n;
    }
    return plays;
}

void SysExJoiner::Finish(bool whole, std::vector<Message>& out) {
    collecting_ = false;
    out.push_back(Message{whole && !overflow_, std::move(bytes_)});
    bytes_.clear();
}

void SysExJoiner::Feed(uint16_t type, const uint8_t* data, uint32_t length,
                       std::vector<Message>& out) {
    if (type < kSysExPart || type > kSysExBroken)
        return;
    bool starts = length > 0 && data[0] == 0xF0;
    if (starts && collecting_)
        Finish(false, out); // its end was lost: a new message began
    if (!collecting_) {
        if (!starts)
            return;
        collecting_ = true;
        overflow_ = false;
        bytes_.clear();
    }
    if (bytes_.size() + length > limit_)
        overflow_ = true;
    else
        bytes_.insert(bytes_.end(), data, data + length);
    if (type == kSysExPart)
        return;
    Finish(type == kSysExEnd && bytes_.size() >= 2 && bytes_.back() == 0xF7, out);
}

} // namespace umdrv
