// The device host's side of the loopback bridge (bridge/bridge_frames.h, bridge/README.md): a TCP
// listener on 127.0.0.1 and one thread per connection that decodes frames and hands them to a
// backend (the driver on the kernel-services layer, or a test double).
//
// Threads: Start and Stop from the owner's thread; the accept thread and one thread per connection
// call the backend. A Read's completion may come from any thread (the backend's), at most once per
// Read, also after CancelRead and before Close returns. Close is called once per connection that
// Open succeeded on, after its last request, and must complete every waiting Read first.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devhost {

struct Result {
    uint32_t Status = 0;      // NTSTATUS
    uint32_t Information = 0; // bytes transferred
    std::vector<uint8_t> Data;
};

using ReadDone = std::function<void(const Result&)>;

struct Backend {
    // Device role: one open handle per connection, named by the number Open gives.
    std::function<uint32_t(uint64_t& handle)> Open; // NTSTATUS of the create
    std::function<void(uint64_t handle, uint32_t tag, uint32_t length, ReadDone done)> Read;
    std::function<void(uint64_t handle, uint32_t tag)> CancelRead;
    std::function<Result(uint64_t handle, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t outputLength)>
        Ioctl;
    std::function<Result(uint64_t handle, const std::vector<uint8_t>& data)> Write;
    std::function<void(uint64_t handle)> Close; // cleanup and close
    // Model role.
    std::function<Result(uint32_t port, const std::vector<uint8_t>& bytes)> ModelSend;
    std::function<Result(uint32_t port)> ModelQuery;
    std::function<Result(uint32_t port, const std::string& command)> ModelCommand;
};

class BridgeServer {
public:
    // log receives one line per event worth telling (connections, malformed frames, refused
    // Hellos). token: what every Hello must carry (bridge_token.h).
    BridgeServer(Backend backend, std::function<void(const std::string&)> log, std::string token);
    ~BridgeServer();
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    // Connections that have not yet shown the token are capped, so that other users cannot tie
    // up threads and descriptors: each gets `deadline` to send its Hello, and at most `count` wait
    // at once (a newer one drops the oldest). Before Start.
    void LimitHelloWait(size_t count, std::chrono::milliseconds deadline) {
        maxWaiting_ = count;
        helloDeadline_ = deadline;
    }

    // Listens on 127.0.0.1:port (0: any free port); false with a reason on failure.
    bool Start(uint16_t port, std::string& error);
    uint16_t Port() const { return port_; }
    // Ends the listener and every connection (each backend handle closed) and joins the threads.
    void Stop();
    size_t Connections();

private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> connection);
    void DropUnansweredHellos(bool makeRoom);
    bool HandleFrame(Connection& c, uint16_t type, uint32_t tag, const std::vector<uint8_t>& body,
                     std::string& reason);

    Backend backend_;
    std::function<void(const std::string&)> log_;
    std::string token_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Connection>> connections_;
    bool stopping_ = false;
    size_t maxWaiting_ = 16;
    std::chrono::milliseconds helloDeadline_{5000};
};

} // namespace devhost
