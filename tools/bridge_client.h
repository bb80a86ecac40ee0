// Client side of the loopback bridge (bridge/README.md) for the command-line tool and the tests:
// one connection, requests with tags, completions matched by tag (a waiting Read may complete after
// later requests). One thread uses a client at a time.
#pragma once

#include "bridge/bridge_frames.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tools {

struct Completion {
    uint32_t Status = 0;
    uint32_t Information = 0;
    std::vector<uint8_t> Data;
};

class BridgeClient {
public:
    BridgeClient() = default;
    ~BridgeClient();
    BridgeClient(const BridgeClient&) = delete;
    BridgeClient& operator=(const BridgeClient&) = delete;

    // Connects to 127.0.0.1:port and says Hello with the host's access token; createStatus is the
    // HelloReply's status. The token is the one given to UseToken, else the one in the client's
    // token file (bridge/bridge_token.h).
    bool Connect(uint16_t port, bridge::Role role, uint32_t& createStatus, std::string& error);
    void UseToken(std::string token) { token_ = std::move(token); }
    // Ends the connection; for a device connection the handle is closed first and the host has
    // finished closing it when this returns (as CloseHandle).
    void Close();
    // Drops the connection without the Close frame (a client that dies).
    void Abandon();

    // Sends a request frame; returns its tag (0 when the connection failed).
    uint32_t Send(bridge::FrameType type, const std::vector<uint8_t>& payload);
    // Waits up to timeoutMs (negative: without limit) for the completion of tag.
    bool Wait(uint32_t tag, Completion& out, int timeoutMs, std::string& error);
    // Send and Wait.
    bool Call(bridge::FrameType type, const std::vector<uint8_t>& payload, Completion& out,
              int timeoutMs, std::string& error);
    // Bytes as they are, for tests of malformed frames.
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // True when the host has closed the connection (waits up to timeoutMs for it).
    bool PeerClosed(int timeoutMs);
    // The connection's socket, for poll() beside other descriptors (-1 when not connected).
    int Descriptor() const { return fd_; }
    // A descriptor that, once readable, ends every wait at once with the error "interrupted"
    // (-1: none). Waits with it are bounded by the caller's stop, not by a stalled host.
    void SetInterrupt(int fd) { interrupt_ = fd; }

private:
    bool ReceiveFrame(int timeoutMs, std::string& error);

    int fd_ = -1;
    int interrupt_ = -1;
    bridge::Role role_ = bridge::Role::Model;
    uint32_t nextTag_ = 1;
    std::string token_;
    std::map<uint32_t, Completion> done_;
};

// Request payload helpers.
std::vector<uint8_t> U32Payload(std::initializer_list<uint32_t> words,
                                const std::vector<uint8_t>& tail = {});

} // namespace tools
