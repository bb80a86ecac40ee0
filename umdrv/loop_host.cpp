// A stand-in device host for tests of the driver's bridge channel: serves the bridge protocol
// (bridge/README.md, Device role only) on 127.0.0.1 with the in-process loopback device behind
// every connection. Requests of a connection are served in order, except that a read waits on a
// thread of its own while later requests complete, as in the device host.
//   umdrv_loop_host PORT_FILE   (listens on a free port, writes its number to PORT_FILE, runs
//                                until killed)
#include "../bridge/bridge_frames.h"
#include "ddbuffer.h"
#include "loopdevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

bool RecvAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

std::mutex g_sendLock; // whole frames on any socket

bool Reply(int fd, bridge::FrameType type, uint32_t tag, const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> hold(g_sendLock);
    std::vector<uint8_t> frame(bridge::kHeaderSize);
    bridge::EncodeHeader({uint32_t(payload.size()), type, 0, tag}, frame.data());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
}

bool Complete(int fd, uint32_t tag, uint32_t status, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> payload(8);
    bridge::PutU32(payload.data(), status);
    bridge::PutU32(payload.data() + 4, uint32_t(data.size()));
    payload.insert(payload.end(), data.begin(), data.end());
    return Reply(fd, bridge::FrameType::Complete, tag, payload);
}

// The end of the connection cancels a waiting read, as the device host does.
void Watch(int fd, umdrv::LoopHandle handle) {
    pollfd p = {fd, POLLRDHUP, 0};
    while (poll(&p, 1, -1) < 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)))
        p.revents = 0;
    umdrv::LoopCancel(handle);
}

void Serve(int fd) {
    umdrv::LoopHandle handle = 0;
    std::thread watcher;
    std::vector<std::thread> reads;
    for (;;) {
        uint8_t raw[bridge::kHeaderSize];
        bridge::FrameHeader h;
        if (!RecvAll(fd, raw, sizeof raw) || !bridge::DecodeHeader(raw, h))
            break;
        std::vector<uint8_t> body(h.PayloadLength);
        if (!RecvAll(fd, body.data(), body.size()))
            break;
        bool ok = true;
        if (h.Type == bridge::FrameType::Hello && body.size() >= 8 && !handle) {
            handle = umdrv::LoopOpen();
            watcher = std::thread(Watch, fd, handle);
            ok = Reply(fd, bridge::FrameType::HelloReply, h.Tag, std::vector<uint8_t>(4, 0));
        } else if (h.Type == bridge::FrameType::Read && handle && body.size() >= 4) {
            umdrv::LoopArm(handle); // pending from here on, as the driver's read is
            reads.emplace_back([fd, handle, tag = h.Tag, size = bridge::GetU32(body.data())] {
                std::vector<uint8_t> data(size);
                uint32_t got = 0;
                if (umdrv::LoopRead(handle, data.data(), size, &got)) {
                    data.resize(got);
                    Complete(fd, tag, 0, data);
                } else {
                    Complete(fd, tag, 0xC0000120, {});
                }
            });
        } else if (h.Type == bridge::FrameType::Ioctl && handle && body.size() >= 8) {
            uint32_t taken = 0;
            if (bridge::GetU32(body.data()) == umdrv::IOCTL_DD_MIDI_PLAY)
                taken = umdrv::LoopPlay(body.data() + 8, uint32_t(body.size() - 8));
            std::vector<uint8_t> payload(8);
            bridge::PutU32(payload.data() + 4, taken); // information: bytes taken
            ok = Reply(fd, bridge::FrameType::Complete, h.Tag, payload);
        } else {
            break; // anything else ends the connection
        }
        if (!ok)
            break;
    }
    shutdown(fd, SHUT_RDWR);
    if (watcher.joinable())
        watcher.join();
    for (std::thread& t : reads)
        t.join();
    if (handle)
        umdrv::LoopClose(handle);
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: umdrv_loop_host PORT_FILE\n");
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("umdrv_loop_host");
        return 1;
    }
    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return 1;
    std::fprintf(f, "%u\n", unsigned(ntohs(addr.sin_port)));
    std::fclose(f);
    std::rename(tmp.c_str(), argv[1]);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(Serve, fd).detach();
    }
}
