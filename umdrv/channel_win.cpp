// The three device channels (see channel.h).
#include "channel.h"

#include "../bridge/bridge_frames.h"
#include "../bridge/bridge_token.h"
#include "loopdevice.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace umdrv {

namespace {

// ---- The Windows device -------------------------------------------------------------------------

struct DeviceHandle {
    HANDLE File;
    HANDLE ReadIssued; // manual reset: a read has been handed to the driver
    std::mutex Lock;   // issuing a read against cancelling reads for good
    bool Cancelled = false;
};

bool Overlapped(HANDLE file, BOOL started, OVERLAPPED& ov, uint32_t* transferred) {
    DWORD n = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (!GetOverlappedResult(file, &ov, &n, TRUE))
        return false;
    *transferred = n;
    return true;
}

void* DeviceOpen(const ChannelConfig&, uint32_t* status) {
    HANDLE file = CreateFileA("\\\\.\\KorvaneMidiVr1", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *status = GetLastError();
        return nullptr;
    }
    *status = 0;
    auto* d = new DeviceHandle;
    d->File = file;
    d->ReadIssued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return d;
}

bool DeviceRead(void* h, uint8_t* buffer, uint32_t size, uint32_t* got) {
    auto* d = static_cast<DeviceHandle*>(h);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL started;
    {
        std::lock_guard<std::mutex> hold(d->Lock);
        if (d->Cancelled) {
            CloseHandle(ov.hEvent);
            return false;
        }
        started = ReadFile(d->File, buffer, size, nullptr, &ov);
        DWORD error = started ? ERROR_SUCCESS : GetLastError();
        SetEvent(d->ReadIssued);
        SetLastError(error);
    }
    bool ok = Overlapped(d->File, started, ov, got);
    CloseHandle(ov.hEvent);
    return ok;
}

// A read the driver has taken waits there (or has completed): input reaches the handle from then.
bool DeviceWaitReading(void* h, uint32_t ms) {
    return WaitForSingleObject(static_cast<DeviceHandle*>(h)->ReadIssued, ms) == WAIT_OBJECT_0;
}

void DeviceCancel(void* h) {
    auto* d = static_cast<DeviceHandle*>(h);
    std::lock_guard<std::mutex> hold(d->Lock);
    d->Cancelled = true;
    CancelIoEx(d->File, nullptr);
}

void DeviceClose(void* h) {
    auto* d = static_cast<DeviceHandle*>(h);
    CloseHandle(d->File);
    CloseHandle(d->ReadIssued);
    delete d;
}

bool DeviceIoctl(void* h, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned, uint32_t* status) {
    auto* d = static_cast<DeviceHandle*>(h);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL started = DeviceIoControl(d->File, code, const_cast<void*>(in), inLength, out, outLength,
                                   nullptr, &ov);
    bool ok = Overlapped(d->File, started, ov, returned);
    *status = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    return true;
}

// ---- The device host's loopback bridge ----------------------------------------------------------

struct BridgeHandle {
    SOCKET Socket;
    std::atomic<uint32_t> NextTag{1};
    std::mutex Lock;     // one request and its reply at a time
    std::mutex SendLock; // whole frames on the socket
    // The barrier of WaitReading: a request sent behind the waiting read, answered in order.
    std::mutex BarrierLock;
    std::condition_variable BarrierChanged;
    bool ReadSent = false;
    uint32_t BarrierTag = 0;
    bool BarrierDone = false;
    // The waiting read (0: none) and whether reads are cancelled for good; under BarrierLock.
    uint32_t ReadTag = 0;
    bool Cancelled = false;
};

bool SendAll(SOCKET s, const uint8_t* p, size_t n) {
    while (n > 0) {
        int k = send(s, reinterpret_cast<const char*>(p), int(n), 0);
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

bool RecvAll(SOCKET s, uint8_t* p, size_t n) {
    while (n > 0) {
        int k = recv(s, reinterpret_cast<char*>(p), int(n), 0);
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

bool SendFrame(BridgeHandle& b, bridge::FrameType type, uint32_t tag,
               const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> hold(b.SendLock);
    uint8_t header[bridge::kHeaderSize];
    bridge::EncodeHeader({uint32_t(payload.size()), type, 0, tag}, header);
    return SendAll(b.Socket, header, sizeof header) &&
           SendAll(b.Socket, payload.data(), payload.size());
}

// Receives frames until the reply of `tag` of the wanted type arrives.
bool ReceiveReply(BridgeHandle& b, bridge::FrameType wanted, uint32_t tag,
                  std::vector<uint8_t>& payload) {
    for (;;) {
        uint8_t raw[bridge::kHeaderSize];
        bridge::FrameHeader h;
        if (!RecvAll(b.Socket, raw, sizeof raw) || !bridge::DecodeHeader(raw, h))
            return false;
        payload.resize(h.PayloadLength);
        if (!RecvAll(b.Socket, payload.data(), payload.size()))
            return false;
        if (h.Type == wanted && (wanted == bridge::FrameType::HelloReply || h.Tag == tag))
            return true;
        std::lock_guard<std::mutex> hold(b.BarrierLock);
        if (h.Type == bridge::FrameType::Complete && h.Tag == b.BarrierTag) {
            b.BarrierDone = true;
            b.BarrierChanged.notify_all();
        }
    }
}

// A request and its Complete frame: status, information, data.
bool Request(BridgeHandle& b, bridge::FrameType type, const std::vector<uint8_t>& payload,
             uint32_t* status, std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> hold(b.Lock);
    uint32_t tag = b.NextTag++;
    std::vector<uint8_t> reply;
    bool read = type == bridge::FrameType::Read;
    if (read) {
        std::lock_guard<std::mutex> barrier(b.BarrierLock);
        if (b.Cancelled || !SendFrame(b, type, tag, payload))
            return false;
        b.ReadTag = tag;
        b.ReadSent = true;
        b.BarrierChanged.notify_all();
    } else if (!SendFrame(b, type, tag, payload)) {
        return false;
    }
    bool answered = ReceiveReply(b, bridge::FrameType::Complete, tag, reply);
    if (read) {
        std::lock_guard<std::mutex> barrier(b.BarrierLock);
        b.ReadTag = 0;
    }
    if (!answered || reply.size() < 8)
        return false;
    *status = bridge::GetU32(reply.data());
    uint32_t info = bridge::GetU32(reply.data() + 4);
    data.assign(reply.begin() + 8, reply.end());
    if (data.size() > info)
        data.resize(info);
    return true;
}

// The device host's token file: VARLO_BRIDGE_TOKEN_FILE, else the registry value BridgeTokenFile;
// a Unix path is reached through drive Z:.
std::string BridgeTokenFile() {
    char value[1024];
    DWORD n = GetEnvironmentVariableA("VARLO_BRIDGE_TOKEN_FILE", value, sizeof value);
    std::string file = n > 0 && n < sizeof value ? std::string(value, n) : std::string();
    DWORD size = sizeof value;
    if (file.empty() &&
        RegGetValueA(HKEY_CURRENT_USER, "Software\\Korvane\\VarloMidi", "BridgeTokenFile",
                     RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS)
        file = value;
    return !file.empty() && file[0] == '/' ? "Z:" + file : file;
}

// Longer than any open of the device takes (the probe of two interfaces included).
constexpr DWORD kHelloTimeoutMs = 10000;

void* BridgeOpen(const ChannelConfig& config, uint32_t* status) {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    });
    *status = 0xC0000034; // STATUS_OBJECT_NAME_NOT_FOUND: no host answers
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return nullptr;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(config.BridgePort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return nullptr;
    }
    auto* b = new BridgeHandle;
    b->Socket = s;
    // A listener that never answers (a stalled host, another program on the port) must not hang
    // every program that asks for the ports: the hello has kHelloTimeoutMs, later reads no limit.
    DWORD timeout = kHelloTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::vector<uint8_t> hello(bridge::kHelloHeadSize), reply;
    bridge::PutU32(hello.data(), bridge::kMagic);
    bridge::PutU32(hello.data() + 4, uint32_t(bridge::Role::Device));
    // Without a token the host refuses the connection and logs why.
    std::string token, error;
    if (bridge::ReadTokenFile(BridgeTokenFile(), token, error))
        hello.insert(hello.end(), token.begin(), token.end());
    if (!SendFrame(*b, bridge::FrameType::Hello, 0, hello) ||
        !ReceiveReply(*b, bridge::FrameType::HelloReply, 0, reply) || reply.size() < 4 ||
        (*status = bridge::GetU32(reply.data())) != 0) {
        closesocket(s);
        delete b;
        return nullptr;
    }
    timeout = 0;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return b;
}

bool BridgeRead(void* h, uint8_t* buffer, uint32_t size, uint32_t* got) {
    auto* b = static_cast<BridgeHandle*>(h);
    std::vector<uint8_t> payload(4), data;
    bridge::PutU32(payload.data(), size);
    uint32_t status = 0;
    if (!Request(*b, bridge::FrameType::Read, payload, &status, data) || status != 0 ||
        data.size() > size)
        return false;
    std::copy(data.begin(), data.end(), buffer);
    *got = uint32_t(data.size());
    return true;
}

// The host serves a connection's requests in order: once a request sent after the read has been
// answered, the read waits in the driver. The reader thread receives that answer.
bool BridgeWaitReading(void* h, uint32_t ms) {
    auto* b = static_cast<BridgeHandle*>(h);
    std::unique_lock<std::mutex> hold(b->BarrierLock);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (!b->BarrierChanged.wait_until(hold, until, [&] { return b->ReadSent; }))
        return false;
    uint32_t tag = b->NextTag++;
    b->BarrierTag = tag;
    b->BarrierDone = false;
    hold.unlock();
    std::vector<uint8_t> payload(8);
    bridge::PutU32(payload.data(), 0x001D4210); // IOCTL_DD_GET_STATE
    bridge::PutU32(payload.data() + 4, 4);
    if (!SendFrame(*b, bridge::FrameType::Ioctl, tag, payload))
        return false;
    hold.lock();
    return b->BarrierChanged.wait_until(hold, until, [&] { return b->BarrierDone; });
}

// Cancels the waiting read, and every later one.
void BridgeCancel(void* h) {
    auto* b = static_cast<BridgeHandle*>(h);
    std::lock_guard<std::mutex> hold(b->BarrierLock);
    b->Cancelled = true;
    if (b->ReadTag) {
        std::vector<uint8_t> payload(4);
        bridge::PutU32(payload.data(), b->ReadTag);
        if (!SendFrame(*b, bridge::FrameType::ReadCancel, b->NextTag++, payload))
            shutdown(b->Socket, SD_BOTH); // the connection's end cancels it as well
    }
}

// Closes the handle as CloseHandle does: the host has cleaned up when the Close is answered, so
// the next open finds the serial ports free. Called with no request outstanding.
void BridgeClose(void* h) {
    auto* b = static_cast<BridgeHandle*>(h);
    DWORD timeout = 5000;
    setsockopt(b->Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    uint32_t tag = b->NextTag++;
    std::vector<uint8_t> reply;
    if (SendFrame(*b, bridge::FrameType::Close, tag, {}))
        ReceiveReply(*b, bridge::FrameType::Complete, tag, reply);
    closesocket(b->Socket);
    delete b;
}

bool BridgeIoctl(void* h, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned, uint32_t* status) {
    auto* b = static_cast<BridgeHandle*>(h);
    std::vector<uint8_t> payload(8 + inLength), data;
    bridge::PutU32(payload.data(), code);
    bridge::PutU32(payload.data() + 4, outLength);
    if (inLength)
        std::copy_n(static_cast<const uint8_t*>(in), inLength, payload.begin() + 8);
    if (!Request(*b, bridge::FrameType::Ioctl, payload, status, data))
        return false;
    uint32_t n = uint32_t(std::min<size_t>(data.size(), outLength));
    if (n)
        std::copy_n(data.begin(), n, static_cast<uint8_t*>(out));
    *returned = n;
    return true;
}

// ---- The in-process loopback --------------------------------------------------------------------

void* LoopChannelOpen(const ChannelConfig&, uint32_t* status) {
    *status = 0;
    return reinterpret_cast<void*>(intptr_t(LoopOpen()));
}

bool LoopChannelRead(void* h, uint8_t* buffer, uint32_t size, uint32_t* got) {
    return LoopRead(LoopHandle(intptr_t(h)), buffer, size, got);
}

void LoopChannelCancel(void* h) {
    LoopCancel(LoopHandle(intptr_t(h)));
}
void LoopChannelClose(void* h) {
    LoopClose(LoopHandle(intptr_t(h)));
}

bool LoopChannelIoctl(void*, uint32_t code, const void* in, uint32_t inLength, void*, uint32_t,
                      uint32_t* returned, uint32_t* status) {
    *status = 0;
    *returned = 0;
    if (code == 0x001D8207)
        *returned = LoopPlay(static_cast<const uint8_t*>(in), inLength);
    return true;
}

bool LoopChannelWaitReading(void* h, uint32_t ms) {
    return LoopWaitReceiving(LoopHandle(intptr_t(h)), ms);
}

const DeviceChannel kDevice = {DeviceOpen,  DeviceRead,  DeviceCancel,
                               DeviceClose, DeviceIoctl, DeviceWaitReading};
const DeviceChannel kBridge = {BridgeOpen,  BridgeRead,  BridgeCancel,
                               BridgeClose, BridgeIoctl, BridgeWaitReading};
const DeviceChannel kLoop = {LoopChannelOpen,  LoopChannelRead,  LoopChannelCancel,
                             LoopChannelClose, LoopChannelIoctl, LoopChannelWaitReading};

} // namespace

const DeviceChannel* ChannelFor(ChannelKind kind) {
    switch (kind) {
        case ChannelKind::Bridge:
            return &kBridge;
        case ChannelKind::Loop:
            return &kLoop;
        default:
            return &kDevice;
    }
}

} // namespace umdrv
