// Bridge server: listener, per-connection frame loop, dispatch to the backend.
#include "devhost/bridge_server.h"

#include "bridge/bridge_frames.h"
#include "bridge/bridge_token.h"
#include "bridge/socket_io.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devhost {

struct BridgeServer::Connection {
    int Fd = -1;
    unsigned Number = 0;
    std::mutex SendMutex;
    bridge::Role Role{};
    // Until its Hello is taken, a connection may be dropped by the accept thread (too slow, or
    // making room for a newer one); exactly one of the two sides moves it out of Waiting.
    enum : int { Waiting, Greeted, Dropped };
    std::atomic<int> Admission{Waiting};
    std::chrono::steady_clock::time_point Accepted = std::chrono::steady_clock::now();
    bool Opened = false;
    uint64_t Handle = 0;
    std::thread Thread;
    std::atomic<bool> Done{false};

    // Sends one frame whole; false once the peer is gone.
    bool Send(bridge::FrameType type, uint32_t tag, const uint8_t* body, uint32_t length) {
        uint8_t header[bridge::kHeaderSize];
        bridge::EncodeHeader({length, type, 0, tag}, header);
        std::lock_guard lock(SendMutex);
        return bridge::SendAll(Fd, header, sizeof header) && bridge::SendAll(Fd, body, length);
    }
    bool SendComplete(uint32_t tag, const Result& r) {
        std::vector<uint8_t> body(8 + r.Data.size());
        bridge::PutU32(body.data(), r.Status);
        bridge::PutU32(body.data() + 4, r.Information);
        if (!r.Data.empty())
            std::memcpy(body.data() + 8, r.Data.data(), r.Data.size());
        return Send(bridge::FrameType::Complete, tag, body.data(), uint32_t(body.size()));
    }
};

namespace {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kMaxReadLength = 4096;

} // namespace

BridgeServer::BridgeServer(Backend backend, std::function<void(const std::string&)> log,
                           std::string token)
    : backend_(std::move(backend)), log_(std::move(log)), token_(std::move(token)) {}

BridgeServer::~BridgeServer() {
    Stop();
}

bool BridgeServer::Start(uint16_t port, std::string& error) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void BridgeServer::AcceptLoop() {
    unsigned number = 0;
    for (;;) {
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            DropUnansweredHellos(false);
            // Reap connections that have ended.
            for (auto it = connections_.begin(); it != connections_.end();) {
                if ((*it)->Done) {
                    (*it)->Thread.join();
                    ::close((*it)->Fd);
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (r <= 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_shared<Connection>();
        c->Fd = fd;
        c->Number = ++number;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        DropUnansweredHellos(true);
        connections_.push_back(c);
        c->Thread = std::thread([this, c] { Serve(c); });
    }
}

void BridgeServer::DropUnansweredHellos(bool makeRoom) {
    // mutex_ held; the accept thread. Connections are in the order they came.
    auto now = std::chrono::steady_clock::now();
    size_t waiting = 0;
    for (auto& c : connections_)
        waiting += !c->Done && c->Admission == Connection::Waiting;
    for (auto& c : connections_) {
        if (c->Done || c->Admission != Connection::Waiting)
            continue;
        bool late = now - c->Accepted >= helloDeadline_;
        bool crowded = makeRoom && waiting >= maxWaiting_;
        int expected = Connection::Waiting;
        if ((late || crowded) &&
            c->Admission.compare_exchange_strong(expected, Connection::Dropped)) {
            ::shutdown(c->Fd, SHUT_RDWR); // its thread ends it
            waiting--;
        }
    }
}

void BridgeServer::Serve(std::shared_ptr<Connection> c) {
    std::string who = "connection " + std::to_string(c->Number);
    std::string reason;
    for (;;) {
        uint8_t raw[bridge::kHeaderSize];
        if (!bridge::ReceiveAll(c->Fd, raw, sizeof raw)) {
            reason = "closed by the client";
            break;
        }
        bridge::FrameHeader h;
        if (!bridge::DecodeHeader(raw, h)) {
            reason = "malformed frame header (type " + std::to_string(raw[4] | raw[5] << 8) +
                     ", length " + std::to_string(bridge::GetU32(raw)) + ")";
            break;
        }
        std::vector<uint8_t> body(h.PayloadLength);
        if (!bridge::ReceiveAll(c->Fd, body.data(), body.size())) {
            reason = "connection lost in a frame";
            break;
        }
        if (!HandleFrame(*c, uint16_t(h.Type), h.Tag, body, reason))
            break;
    }
    if (c->Admission == Connection::Dropped)
        reason = "no Hello in time";
    if (c->Opened && backend_.Close)
        backend_.Close(c->Handle);
    {
        std::lock_guard lock(c->SendMutex);
        ::shutdown(c->Fd, SHUT_RDWR);
    }
    log_(who + " ended: " + reason);
    c->Done = true;
}

bool BridgeServer::HandleFrame(Connection& c, uint16_t type, uint32_t tag,
                               const std::vector<uint8_t>& body, std::string& reason) {
    using bridge::FrameType;
    auto u32 = [&](size_t at) { return bridge::GetU32(body.data() + at); };
    auto need = [&](size_t n, const char* what) {
        if (body.size() >= n)
            return true;
        reason = std::string("malformed frame: ") + what + " too short";
        return false;
    };
    auto reply = [&](const Result& r) {
        if (c.SendComplete(tag, r))
            return true;
        reason = "connection lost while answering";
        return false;
    };
    if (c.Admission != Connection::Greeted) {
        if (FrameType(type) != FrameType::Hello || body.size() < bridge::kHelloHeadSize ||
            u32(0) != bridge::kMagic ||
            (u32(4) != uint32_t(bridge::Role::Device) && u32(4) != uint32_t(bridge::Role::Model))) {
            reason = "malformed frame: a connection must begin with Hello";
            return false;
        }
        if (body.size() == bridge::kHelloHeadSize) {
            reason = "refused: Hello without the access token";
            return false;
        }
        if (!bridge::TokenMatches(token_, body.data() + bridge::kHelloHeadSize,
                                  body.size() - bridge::kHelloHeadSize)) {
            reason = "refused: wrong access token in Hello";
            return false;
        }
        int expected = Connection::Waiting;
        if (!c.Admission.compare_exchange_strong(expected, Connection::Greeted))
            return false; // dropped meanwhile
        c.Role = bridge::Role(u32(4));
        uint32_t status = kStatusSuccess;
        if (c.Role == bridge::Role::Device) {
            status = backend_.Open ? backend_.Open(c.Handle) : kStatusInvalidParameter;
            c.Opened = status == kStatusSuccess;
        }
        uint8_t out[4];
        bridge::PutU32(out, status);
        log_("connection " + std::to_string(c.Number) +
             (c.Role == bridge::Role::Device ? " device" : " model") + ", create status " +
             std::to_string(status));
        return c.Send(FrameType::HelloReply, tag, out, 4);
    }
    bool device = c.Role == bridge::Role::Device;
    switch (FrameType(type)) {
        case FrameType::Read:
            if (!device || !c.Opened || !need(4, "Read"))
                break;
            if (u32(0) > kMaxReadLength) {
                reason = "malformed frame: Read longer than " + std::to_string(kMaxReadLength);
                return false;
            }
            backend_.Read(c.Handle, tag, u32(0),
                          [conn = &c, tag](const Result& r) { conn->SendComplete(tag, r); });
            return true;
        case FrameType::ReadCancel:
            if (!device || !c.Opened || !need(4, "ReadCancel"))
                break;
            backend_.CancelRead(c.Handle, u32(0));
            return true;
        case FrameType::Ioctl:
            if (!device || !c.Opened || !need(8, "Ioctl"))
                break;
            if (u32(4) > bridge::kMaxPayload - 8) {
                reason = "malformed frame: Ioctl output too long";
                return false;
            }
            return reply(backend_.Ioctl(
                c.Handle, u32(0), std::vector<uint8_t>(body.begin() + 8, body.end()), u32(4)));
        case FrameType::Write:
            if (!device || !c.Opened)
                break;
            return reply(backend_.Write(c.Handle, body));
        case FrameType::Close:
            if (!device)
                break;
            if (c.Opened && backend_.Close)
                backend_.Close(c.Handle);
            c.Opened = false;
            reply(Result{});
            reason = "closed by the client";
            return false;
        case FrameType::ModelSend:
            if (device || !need(4, "ModelSend"))
                break;
            return reply(
                backend_.ModelSend(u32(0), std::vector<uint8_t>(body.begin() + 4, body.end())));
        case FrameType::ModelQuery:
            if (device || !need(4, "ModelQuery"))
                break;
            return reply(backend_.ModelQuery(u32(0)));
        case FrameType::ModelCommand:
            if (device || !need(4, "ModelCommand"))
                break;
            return reply(backend_.ModelCommand(u32(0), std::string(body.begin() + 4, body.end())));
        default:
            break;
    }
    if (reason.empty())
        reason = "malformed frame: type " + std::to_string(type) + " not allowed here";
    return false;
}

size_t BridgeServer::Connections() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& c : connections_)
        n += !c->Done;
    return n;
}

void BridgeServer::Stop() {
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        if (listenFd_ < 0)
            return;
        stopping_ = true;
        connections.swap(connections_);
    }
    if (acceptThread_.joinable())
        acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    for (auto& c : connections)
        ::shutdown(c->Fd, SHUT_RDWR); // the connection's thread closes its handle and ends
    for (auto& c : connections) {
        c->Thread.join();
        ::close(c->Fd);
    }
}

} // namespace devhost
