#include "tools/bridge_client.h"

#include "bridge/bridge_token.h"
#include "bridge/socket_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tools {
namespace {

// True when fd is readable within timeoutMs; false on time-out or when `interrupt` is readable.
bool WaitReadable(int fd, int timeoutMs, int interrupt = -1) {
    pollfd p[2] = {{fd, POLLIN, 0}, {interrupt, POLLIN, 0}};
    int r;
    do {
        r = ::poll(p, 2, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && !p[1].revents;
}

} // namespace

std::vector<uint8_t> U32Payload(std::initializer_list<uint32_t> words,
                                const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> out(words.size() * 4);
    size_t at = 0;
    for (uint32_t w : words) {
        bridge::PutU32(out.data() + at, w);
        at += 4;
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

BridgeClient::~BridgeClient() {
    Close();
}

void BridgeClient::Close() {
    if (fd_ >= 0 && role_ == bridge::Role::Device) {
        Completion done;
        std::string error;
        Wait(Send(bridge::FrameType::Close, {}), done, 10000, error);
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool BridgeClient::Connect(uint16_t port, bridge::Role role, uint32_t& createStatus,
                           std::string& error) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot connect to the device host at 127.0.0.1:" + std::to_string(port) + ": " +
                std::strerror(errno);
        Close();
        return false;
    }
    std::string token = token_;
    if (token.empty() && !bridge::ReadTokenFile(bridge::ClientTokenFile(port), token, error)) {
        Close();
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    role_ = role;
    uint32_t tag = Send(bridge::FrameType::Hello,
                        U32Payload({bridge::kMagic, uint32_t(role)},
                                   std::vector<uint8_t>(token.begin(), token.end())));
    Completion reply;
    if (!Wait(tag, reply, 10000, error)) {
        error += " (a host that ends the connection at once refused the access token)";
        return false;
    }
    createStatus = reply.Status;
    return true;
}

void BridgeClient::Abandon() {
    role_ = bridge::Role::Model;
    Close();
}

uint32_t BridgeClient::Send(bridge::FrameType type, const std::vector<uint8_t>& payload) {
    uint32_t tag = nextTag_++;
    std::vector<uint8_t> frame(bridge::kHeaderSize);
    bridge::EncodeHeader({uint32_t(payload.size()), type, 0, tag}, frame.data());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return SendRaw(frame) ? tag : 0;
}

bool BridgeClient::SendRaw(const std::vector<uint8_t>& bytes) {
    return fd_ >= 0 && bridge::SendAll(fd_, bytes.data(), bytes.size());
}

bool BridgeClient::ReceiveFrame(int timeoutMs, std::string& error) {
    if (fd_ < 0) {
        error = "not connected";
        return false;
    }
    if (!WaitReadable(fd_, timeoutMs, interrupt_)) {
        error = interrupt_ >= 0 && WaitReadable(interrupt_, 0) ? "interrupted"
                                                               : "no answer from the device host";
        return false;
    }
    uint8_t raw[bridge::kHeaderSize];
    bridge::FrameHeader h;
    if (!bridge::ReceiveAll(fd_, raw, sizeof raw)) {
        error = "the device host closed the connection";
        return false;
    }
    if (!bridge::DecodeHeader(raw, h)) {
        error = "malformed frame from the device host";
        return false;
    }
    std::vector<uint8_t> body(h.PayloadLength);
    if (!bridge::ReceiveAll(fd_, body.data(), body.size())) {
        error = "the device host closed the connection";
        return false;
    }
    Completion c;
    if (h.Type == bridge::FrameType::HelloReply && body.size() >= 4) {
        c.Status = bridge::GetU32(body.data());
    } else if (h.Type == bridge::FrameType::Complete && body.size() >= 8) {
        c.Status = bridge::GetU32(body.data());
        c.Information = bridge::GetU32(body.data() + 4);
        c.Data.assign(body.begin() + 8, body.end());
    } else {
        error = "unexpected frame from the device host";
        return false;
    }
    done_[h.Tag] = std::move(c);
    return true;
}

bool BridgeClient::Wait(uint32_t tag, Completion& out, int timeoutMs, std::string& error) {
    if (tag == 0) {
        error = "the device host closed the connection";
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto it = done_.find(tag);
        if (it != done_.end()) {
            out = std::move(it->second);
            done_.erase(it);
            return true;
        }
        int left = -1;
        if (timeoutMs >= 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
            left = ms < 0 ? 0 : int(ms);
        }
        if (!ReceiveFrame(left, error))
            return false;
    }
}

bool BridgeClient::Call(bridge::FrameType type, const std::vector<uint8_t>& payload,
                        Completion& out, int timeoutMs, std::string& error) {
    return Wait(Send(type, payload), out, timeoutMs, error);
}

bool BridgeClient::PeerClosed(int timeoutMs) {
    if (fd_ < 0 || !WaitReadable(fd_, timeoutMs))
        return fd_ < 0;
    uint8_t byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
}

} // namespace tools
