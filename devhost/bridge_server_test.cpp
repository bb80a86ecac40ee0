// The bridge server against a test backend: frames, waiting reads, malformed input, shutdown.
#include "devhost/bridge_server.h"
#include "tools/bridge_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using bridge::FrameType;
using tools::BridgeClient;
using tools::Completion;
using tools::U32Payload;

namespace {

constexpr uint32_t kCancelled = 0xC0000120;
const std::string kToken = "00112233445566778899aabbccddeeff";

// A device whose reads wait until the test feeds data or the read is cancelled.
struct FakeDevice {
    std::mutex Mutex;
    uint64_t NextHandle = 1;
    std::map<uint64_t, std::pair<uint32_t, devhost::ReadDone>> Waiting; // handle -> tag, done
    std::vector<uint64_t> Closed;
    std::vector<std::string> Log; // the server's log lines
    std::condition_variable Changed;

    devhost::Backend Make() {
        devhost::Backend b;
        b.Open = [this](uint64_t& h) {
            std::lock_guard l(Mutex);
            h = NextHandle++;
            return 0u;
        };
        b.Read = [this](uint64_t h, uint32_t tag, uint32_t, devhost::ReadDone done) {
            std::lock_guard l(Mutex);
            Waiting[h] = {tag, std::move(done)};
            Changed.notify_all();
        };
        b.CancelRead = [this](uint64_t h, uint32_t tag) { Complete(h, tag, {kCancelled, 0, {}}); };
        b.Ioctl = [](uint64_t h, uint32_t code, const std::vector<uint8_t>& in, uint32_t outLen) {
            devhost::Result r{0, outLen, std::vector<uint8_t>(outLen, uint8_t(code))};
            if (!in.empty())
                r.Data.push_back(uint8_t(h));
            return r;
        };
        b.Write = [](uint64_t, const std::vector<uint8_t>& d) {
            return devhost::Result{0, uint32_t(d.size()), {}};
        };
        b.Close = [this](uint64_t h) {
            Complete(h, 0, {kCancelled, 0, {}}, true);
            std::lock_guard l(Mutex);
            Closed.push_back(h);
            Changed.notify_all();
        };
        b.ModelSend = [](uint32_t port, const std::vector<uint8_t>& d) {
            return devhost::Result{port, uint32_t(d.size()), {}};
        };
        b.ModelQuery = [](uint32_t) { return devhost::Result{0, 2, {'o', 'k'}}; };
        b.ModelCommand = [](uint32_t, const std::string& t) {
            return devhost::Result{0, uint32_t(t.size()), std::vector<uint8_t>(t.begin(), t.end())};
        };
        return b;
    }
    // Completes the waiting read of h (any tag when anyTag).
    void Complete(uint64_t h, uint32_t tag, const devhost::Result& r, bool anyTag = false) {
        devhost::ReadDone done;
        {
            std::lock_guard l(Mutex);
            auto it = Waiting.find(h);
            if (it == Waiting.end() || (!anyTag && it->second.first != tag))
                return;
            done = std::move(it->second.second);
            Waiting.erase(it);
        }
        done(r);
    }
    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock l(Mutex);
        return Changed.wait_for(l, std::chrono::seconds(5), pred);
    }
};

struct Fixture : ::testing::Test {
    FakeDevice device;
    devhost::BridgeServer server{device.Make(),
                                 [this](const std::string& line) {
                                     std::lock_guard l(device.Mutex);
                                     device.Log.push_back(line);
                                     device.Changed.notify_all();
                                 },
                                 kToken};
    void SetUp() override {
        std::string error;
        server.LimitHelloWait(3, std::chrono::milliseconds(400));
        ASSERT_TRUE(server.Start(0, error)) << error;
        ASSERT_NE(server.Port(), 0);
    }
    void Open(BridgeClient& c, bridge::Role role = bridge::Role::Device) {
        uint32_t status = 1;
        std::string error;
        c.UseToken(kToken);
        ASSERT_TRUE(c.Connect(server.Port(), role, status, error)) << error;
        ASSERT_EQ(status, 0u);
    }
    bool Logged(const std::string& piece) {
        return device.WaitFor([&] {
            return std::any_of(device.Log.begin(), device.Log.end(), [&](const std::string& line) {
                return line.find(piece) != std::string::npos;
            });
        });
    }
};

} // namespace

TEST_F(Fixture, RequestsCompleteInOrderWhileAReadWaits) {
    BridgeClient a;
    Open(a);
    std::string error;
    uint32_t readTag = a.Send(FrameType::Read, U32Payload({256}));
    ASSERT_TRUE(device.WaitFor([&] { return device.Waiting.count(1) == 1; }));

    Completion c;
    ASSERT_TRUE(a.Call(FrameType::Ioctl, U32Payload({0x001D4210, 4}, {7}), c, 5000, error))
        << error;
    EXPECT_EQ(c.Information, 4u);
    EXPECT_EQ(c.Data, (std::vector<uint8_t>{0x10, 0x10, 0x10, 0x10, 1}));
    ASSERT_TRUE(a.Call(FrameType::Write, {1, 2, 3}, c, 5000, error));
    EXPECT_EQ(c.Information, 3u);

    device.Complete(1, readTag, {0, 3, {9, 8, 7}});
    ASSERT_TRUE(a.Wait(readTag, c, 5000, error)) << error;
    EXPECT_EQ(c.Data, (std::vector<uint8_t>{9, 8, 7}));

    // A cancelled read completes with its status; a second client has its own handle.
    readTag = a.Send(FrameType::Read, U32Payload({256}));
    ASSERT_TRUE(device.WaitFor([&] { return device.Waiting.count(1) == 1; }));
    a.Send(FrameType::ReadCancel, U32Payload({readTag}));
    ASSERT_TRUE(a.Wait(readTag, c, 5000, error)) << error;
    EXPECT_EQ(c.Status, kCancelled);

    BridgeClient b;
    Open(b);
    ASSERT_TRUE(b.Call(FrameType::Ioctl, U32Payload({1, 0}, {1}), c, 5000, error));
    EXPECT_EQ(c.Data, (std::vector<uint8_t>{2}));

    // Model role.
    BridgeClient m;
    Open(m, bridge::Role::Model);
    ASSERT_TRUE(m.Call(FrameType::ModelCommand, U32Payload({0}, {'m', 'o'}), c, 5000, error));
    EXPECT_EQ(std::string(c.Data.begin(), c.Data.end()), "mo");
    ASSERT_TRUE(m.Call(FrameType::ModelSend, U32Payload({3}, {0xF8}), c, 5000, error));
    EXPECT_EQ(c.Status, 3u);
}

TEST_F(Fixture, DisconnectWithAWaitingReadClosesTheHandle) {
    {
        BridgeClient a;
        Open(a);
        a.Send(FrameType::Read, U32Payload({256}));
        ASSERT_TRUE(device.WaitFor([&] { return device.Waiting.count(1) == 1; }));
        a.Abandon();
    }
    ASSERT_TRUE(device.WaitFor([&] { return device.Closed.size() == 1; }));
    // Closing properly: the handle is closed when Close returns.
    {
        BridgeClient b;
        Open(b);
        b.Close();
        std::lock_guard l(device.Mutex);
        EXPECT_EQ(device.Closed.size(), 2u);
    }
    EXPECT_TRUE(device.Waiting.empty());
    EXPECT_TRUE(Logged("connection 1 ended: closed by the client"));
}

TEST_F(Fixture, MalformedFramesCloseOnlyTheirConnection) {
    BridgeClient good;
    Open(good);
    std::string error;
    Completion c;

    // A header that claims `length` bytes, followed by four payload bytes (none for `length` 0).
    struct Case {
        uint32_t length;
        FrameType type;
        std::vector<uint8_t> payload;
        const char* logged;
    };
    for (const Case& k : {Case{bridge::kMaxPayload + 1, FrameType::Write, {}, "length 65537"},
                          Case{0, FrameType(77), {}, "type 77"},
                          Case{4, FrameType::Ioctl, {1, 2, 3, 4}, "Ioctl too short"},
                          Case{4, FrameType::ModelQuery, {0, 0, 0, 0}, "not allowed"},
                          Case{4, FrameType::Read, {0, 0, 1, 0}, "Read longer"}}) {
        std::vector<uint8_t> bytes(bridge::kHeaderSize);
        bridge::EncodeHeader({k.length, k.type, 0, 5}, bytes.data());
        bytes.insert(bytes.end(), k.payload.begin(), k.payload.end());
        BridgeClient bad;
        Open(bad);
        ASSERT_TRUE(bad.SendRaw(bytes));
        EXPECT_TRUE(bad.PeerClosed(5000)) << k.logged;
        EXPECT_TRUE(Logged(k.logged)) << k.logged;
    }
    // A wrong or cut token is refused before any handle opens; nothing listens on port 0; a model
    // connection opens no device handle.
    uint32_t status;
    for (const char* token : {"00112233445566778899aabbccddeefe", "0011"}) {
        BridgeClient stranger;
        stranger.UseToken(token);
        EXPECT_FALSE(stranger.Connect(server.Port(), bridge::Role::Device, status, error));
    }
    EXPECT_TRUE(Logged("refused: wrong access token"));
    BridgeClient rude;
    rude.UseToken(kToken);
    ASSERT_FALSE(rude.Connect(0, bridge::Role::Device, status, error)); // port 0: refused
    {
        BridgeClient raw;
        Open(raw, bridge::Role::Model);
        raw.Close();
    }
    EXPECT_TRUE(device.WaitFor([&] { return device.Closed.size() == 5; }));
    ASSERT_TRUE(good.Call(FrameType::Write, {1}, c, 5000, error)) << error;
    EXPECT_EQ(c.Information, 1u);
}

TEST_F(Fixture, SilentConnectionsCannotCrowdOutTheOwner) {
    // Any local program can connect and say nothing, or begin a Hello and stall: the oldest of
    // them gives way to newer ones, and each is dropped at its deadline.
    std::vector<int> silent;
    for (int i = 0; i < 40; i++) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(server.Port());
        timeval wait{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        uint8_t half[bridge::kHeaderSize];
        bridge::EncodeHeader({40, FrameType::Hello, 0, 1}, half);
        ::send(fd, half, i % 2 ? 8 : 0, MSG_NOSIGNAL); // nothing, or a header cut short
        silent.push_back(fd);
    }
    BridgeClient owner;
    Open(owner);
    EXPECT_TRUE(Logged("no Hello in time"));
    std::string error;
    Completion c;
    ASSERT_TRUE(owner.Call(FrameType::Write, {1}, c, 5000, error)) << error;
    for (int fd : silent) {
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0); // the host has closed it, not waited for ever
        ::close(fd);
    }
}

TEST_F(Fixture, StopClosesEveryHandleAndCompletesWaitingReads) {
    BridgeClient a, b;
    Open(a);
    Open(b);
    a.Send(FrameType::Read, U32Payload({256}));
    ASSERT_TRUE(device.WaitFor([&] { return device.Waiting.size() == 1; }));
    EXPECT_EQ(server.Connections(), 2u);
    server.Stop();
    EXPECT_EQ(device.Closed.size(), 2u);
    EXPECT_TRUE(device.Waiting.empty());
    EXPECT_TRUE(a.PeerClosed(5000));
    std::string error;
    uint32_t status;
    BridgeClient late;
    late.UseToken(kToken);
    EXPECT_FALSE(late.Connect(server.Port(), bridge::Role::Device, status, error));
}
