// In-process loopback device (see loopdevice.h).
#include "loopdevice.h"

#include "ddbuffer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace umdrv {

namespace {

struct Client {
    std::deque<std::vector<uint8_t>> Ready;
    bool Receiving = false;
    bool Cancelled = false;
};

// Raw System Exclusive framing of one (port, cable), as the driver's parser does it.
struct Collector {
    bool InSysEx = false;
    std::vector<uint8_t> Data;
};

struct Loop {
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<LoopHandle, Client> Clients;
    std::map<uint32_t, Collector> Collectors; // key: port << 8 | cable
    LoopHandle NextHandle = 1;
};

Loop& State() {
    static Loop loop;
    return loop;
}

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Caller holds the lock.
void Distribute(Loop& loop, uint16_t type, uint16_t port, uint16_t cable, const uint8_t* data,
                uint32_t length) {
    std::vector<uint8_t> b(kHeaderSize + length, 0);
    PutU16(&b[4], type);
    PutU16(&b[6], port);
    PutU16(&b[12], cable);
    PutU16(&b[14], uint16_t(length));
    std::copy(data, data + length, b.begin() + kHeaderSize);
    for (auto& [handle, client] : loop.Clients)
        if (client.Receiving)
            client.Ready.push_back(b);
}

// Caller holds the lock.
void Stream(Loop& loop, uint16_t port, uint16_t cable, const uint8_t* bytes, uint32_t n) {
    Collector& c = loop.Collectors[uint32_t(port) << 8 | cable];
    auto emit = [&](uint16_t type) {
        Distribute(loop, type, port, cable, c.Data.data(), uint32_t(c.Data.size()));
        c.Data.clear();
    };
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (b >= 0xF8)
            continue;
        if (b >= 0x80) {
            if (c.InSysEx) {
                if (b == 0xF7) {
                    c.Data.push_back(b);
                    emit(kSysExEnd);
                } else {
                    emit(kSysExBroken);
                }
                c.InSysEx = false;
                if (b == 0xF7)
                    continue;
            }
            if (b == 0xF0) {
                c.InSysEx = true;
                c.Data.assign(1, 0xF0);
            }
            continue;
        }
        if (!c.InSysEx)
            continue;
        c.Data.push_back(b);
        if (c.Data.size() == kMaxData || (c.Data[0] == 0xF0 && c.Data.size() == 16))
            emit(kSysExPart);
    }
}

} // namespace

LoopHandle LoopOpen() {
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    LoopHandle h = loop.NextHandle++;
    loop.Clients[h];
    return h;
}

bool LoopRead(LoopHandle h, uint8_t* buffer, uint32_t size, uint32_t* got) {
    Loop& loop = State();
    std::unique_lock<std::mutex> hold(loop.Lock);
    auto it = loop.Clients.find(h);
    if (it == loop.Clients.end())
        return false;
    Client& client = it->second;
    while (client.Ready.empty() && !client.Cancelled) {
        if (!client.Receiving) {
            client.Receiving = true;
            loop.Changed.notify_all();
        }
        loop.Changed.wait(hold);
    }
    if (client.Cancelled)
        return false;
    std::vector<uint8_t> b = std::move(client.Ready.front());
    client.Ready.pop_front();
    uint32_t n = std::min(uint32_t(b.size()), size);
    std::copy(b.begin(), b.begin() + n, buffer);
    *got = n;
    return true;
}

void LoopCancel(LoopHandle h) {
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    auto it = loop.Clients.find(h);
    if (it != loop.Clients.end())
        it->second.Cancelled = true;
    loop.Changed.notify_all();
}

void LoopClose(LoopHandle h) {
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    loop.Clients.erase(h);
    if (loop.Clients.empty())
        loop.Collectors.clear(); // the last close closes the port
    loop.Changed.notify_all();
}

uint32_t LoopPlay(const uint8_t* in, uint32_t length) {
    BufferView v;
    if (length <= kHeaderSize || !ParseBuffer(in, length, v))
        return 0;
    // The driver takes up to the header's Length of what was passed, without the 240 clip.
    uint32_t n = std::min(uint32_t(in[14] | in[15] << 8), length - kHeaderSize);
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    uint32_t taken = 0;
    if (v.Type >= kSysExPart && v.Type <= kSysExBroken) {
        Stream(loop, v.Port, v.Cable, v.Data, n);
        taken = n;
    } else if (v.Type == kEvents) {
        taken = n / 4 * 4;
        if (taken)
            Distribute(loop, kEvents, v.Port, 0, v.Data, std::min(taken, kMaxData));
    }
    loop.Changed.notify_all();
    return taken;
}

int LoopClientCount() {
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    return int(loop.Clients.size());
}

bool LoopWaitReceiving(LoopHandle h, uint32_t ms) {
    Loop& loop = State();
    std::unique_lock<std::mutex> hold(loop.Lock);
    return loop.Changed.wait_for(hold, std::chrono::milliseconds(ms), [&] {
        auto it = loop.Clients.find(h);
        return it == loop.Clients.end() || it->second.Receiving;
    }) && loop.Clients.count(h);
}

int LoopReceivingClients() {
    Loop& loop = State();
    std::lock_guard<std::mutex> hold(loop.Lock);
    int n = 0;
    for (auto& [handle, client] : loop.Clients)
        n += client.Receiving ? 1 : 0;
    return n;
}

} // namespace umdrv
