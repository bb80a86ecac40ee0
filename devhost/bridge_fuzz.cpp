// Frames from anybody on the machine: the device host's bridge with the driver on the
// kernel-services layer behind it, kept running across inputs. Each input is a few connections'
// worth of frames in any order and size, from either role, welcome or not. The host must not
// crash, must end only the connection that misbehaved (a well-behaved client's requests keep being
// answered), and once every connection has gone no handle may be left. That client's connection
// lives across inputs and keeps the serial port open (the first open's probe of the interface
// takes long); every so often it is closed too, and then no pool block may be left either.
#include "devhost/bridge_server.h"
#include "devhost/driver_host.h"

#include "bridge/bridge_frames.h"
#include "tools/bridge_client.h"

#include <ks/system.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kToken = "fedcba9876543210fedcba9876543210";
constexpr uint32_t kIoctlNumClients = 0x001D4214;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

struct Host {
    devhost::DriverHost Driver;
    devhost::Backend Direct; // the device and the model, not through the bridge
    std::unique_ptr<devhost::BridgeServer> Server;
    size_t PoolAtRest = 0;
    tools::BridgeClient Good; // a client that behaves
    unsigned Inputs = 0;

    Host() {
        devhost::HostOptions options{.Ports = {{1, std::make_shared<sim::ModelLine>(), false}}};
        std::string error;
        Check(Driver.Start(options, error));
        Direct = Driver.MakeBackend();
        Server = std::make_unique<devhost::BridgeServer>(
            Driver.MakeBackend(), [](const std::string&) {}, kToken);
        Check(Server->Start(0, error));
        PoolAtRest = ks::PoolBlocks(ks::Tag("Ddk "));
        Good.UseToken(kToken);
        Connect();
    }
    void Connect() {
        uint32_t status = 1;
        std::string error;
        Check(Good.Connect(Server->Port(), bridge::Role::Device, status, error) && status == 0);
    }
    void WaitConnections(size_t n) {
        for (int i = 0; i < 100000 && Server->Connections() > n; i++)
            std::this_thread::yield();
        Check(Server->Connections() == n);
    }
};

Host& TheHost() {
    static Host* host = new Host; // lives as long as the fuzzing process
    return *host;
}

// Reads the input front to back; zeros once it is used up.
struct Input {
    const uint8_t* Data;
    size_t Size, At = 0;
    uint8_t Byte() { return At < Size ? Data[At++] : 0; }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, Size - At);
        std::vector<uint8_t> out(Data + At, Data + At + n);
        At += n;
        return out;
    }
    bool Done() const { return At >= Size; }
};

// One connection's bytes: a Hello (with the token, a wrong one, none, or left out), then frames
// built from the input: any type, tag and payload, now and then a header with bad flags or a raw
// stretch that splits frames anywhere.
std::vector<uint8_t> Stream(Input& in) {
    std::vector<uint8_t> out;
    auto frame = [&](uint16_t type, uint16_t flags, uint32_t tag, const std::vector<uint8_t>& p) {
        uint8_t header[bridge::kHeaderSize];
        bridge::EncodeHeader({uint32_t(p.size()), bridge::FrameType(type), flags, tag}, header);
        out.insert(out.end(), header, header + sizeof header);
        out.insert(out.end(), p.begin(), p.end());
    };
    uint8_t opening = in.Byte();
    if (opening % 5 != 4) {
        std::vector<uint8_t> hello(bridge::kHelloHeadSize);
        bridge::PutU32(hello.data(), bridge::kMagic);
        bridge::PutU32(hello.data() + 4, 1 + (opening >> 3) % 2);
        std::string token = opening % 5 == 0 ? "" : opening % 5 == 1 ? kToken.substr(1) : kToken;
        hello.insert(hello.end(), token.begin(), token.end());
        frame(uint16_t(bridge::FrameType::Hello), 0, 0, hello);
    }
    for (int frames = 0; frames < 16 && !in.Done(); frames++) {
        uint8_t kind = in.Byte();
        if (kind == 0xFF) {
            auto raw = in.Bytes(in.Byte());
            out.insert(out.end(), raw.begin(), raw.end());
            continue;
        }
        if (kind == 0xFE)
            break; // this connection is done; the rest is for the next one
        std::vector<uint8_t> payload;
        uint8_t shape = in.Byte();
        if (shape & 0x80) { // the usual leading words: a length, a code or a port, small
            uint8_t word[4] = {uint8_t(in.Byte() & 0x1F), uint8_t(in.Byte() & 0x0F), 0, 0};
            payload.insert(payload.end(), word, word + 4);
        }
        auto rest = in.Bytes(shape & 0x3F);
        payload.insert(payload.end(), rest.begin(), rest.end());
        frame(kind % 13, (kind & 0x40) && (shape & 0x40) ? 1 : 0, in.Byte() % 4, payload);
    }
    return out;
}

// Sends everything, half-closes and reads until the host ends the connection (answers are read
// meanwhile, so a host blocked on a full socket shows up as a time-out, not a hang).
void Play(uint16_t port, const std::vector<uint8_t>& bytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    Check(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    size_t sent = 0;
    bool shut = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        Check(std::chrono::steady_clock::now() < deadline);
        pollfd p{fd, short(POLLIN | (shut ? 0 : POLLOUT)), 0};
        ::poll(&p, 1, 100);
        if (!shut && (p.revents & POLLOUT)) {
            ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
            if (n < 0 && errno != EAGAIN)
                shut = true; // the host has ended it already
            if (sent == bytes.size()) {
                ::shutdown(fd, SHUT_WR);
                shut = true;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t sink[4096];
            ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
        }
    }
    ::close(fd);
}

} // namespace

// The threads of ended connections finish after the input that ended them, which the leak
// check between inputs would take for leaks; handles and pool are checked above instead.
extern "C" const char* __lsan_default_options() {
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host& host = TheHost();
    // The model as it starts (an earlier input may have silenced it), its records cleared.
    for (const char* command : {"answers on", "mode 0", "clear"})
        host.Direct.ModelCommand(1, command);
    Input in{data, size};
    std::vector<std::thread> players;
    for (int n = 0; n < 3 && !in.Done(); n++)
        players.emplace_back(Play, host.Server->Port(), Stream(in));
    for (auto& t : players)
        t.join();
    // The client that behaves is answered whatever the others did, and every other connection
    // has ended with its handle.
    tools::Completion c;
    std::string error;
    Check(host.Good.Call(bridge::FrameType::Ioctl, tools::U32Payload({kIoctlNumClients, 4}), c,
                         10000, error));
    Check(c.Status == 0 && c.Data.size() == 4 && (bridge::GetU32(c.Data.data()) & 0xFFFF) == 1);
    host.WaitConnections(1);

    if (++host.Inputs % 1024 == 0) {
        // At rest: the ports closed and their pool returned.
        host.Good.Close();
        host.WaitConnections(0);
        Check(ks::PoolBlocks(ks::Tag("Ddk ")) == host.PoolAtRest);
        host.Connect();
    }
    return 0;
}
