// End to end: the driver in the device host with the interface model, served over the bridge,
// used by the varlo command-line client as a separate process and by bridge clients frame by
// frame (waiting reads, malformed frames, silent connections, shutdown).
#include "devhost/bridge_server.h"
#include "devhost/driver_host.h"
#include "bridge/socket_io.h"
#include "bridge/bridge_token.h"
#include "tools/bridge_client.h"

#include <ks/system.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using bridge::FrameType;
using tools::BridgeClient;
using tools::Completion;
using tools::U32Payload;

namespace {

constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kGetState = 0x001D4210, kNumClients = 0x001D4214;
const std::string kToken = "0123456789abcdef0123456789abcdef";

// A temporary folder of its own, and a device host process in it, that go away with the test
// however it ends: the destructor on failure; when the test process is killed, the host's
// parent-death signal and a watchdog shell that removes the folder once the test has gone (a
// host still stopping cannot make it again).
struct Scratch {
    std::string Dir;
    pid_t Host = -1, Watchdog = -1;

    Scratch() {
        char pattern[] = "/tmp/varlo-devhost-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        Dir = pattern;
        std::string watch = "while kill -0 " + std::to_string(getpid()) +
                            " 2>/dev/null; do sleep 0.2; done; while [ -e '" + Dir +
                            "' ]; do rm -rf '" + Dir + "'; sleep 0.2; done";
        Watchdog = fork();
        if (Watchdog == 0) {
            setsid(); // outlives a kill of the test's process group
            execl("/bin/sh", "sh", "-c", watch.c_str(), nullptr);
            _exit(127);
        }
    }
    ~Scratch() {
        StopHost(SIGKILL);
        if (Watchdog > 0) {
            kill(Watchdog, SIGKILL);
            waitpid(Watchdog, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(Dir, ignored);
    }
    std::string Path(const char* name) const { return Dir + "/" + name; }
    // Writes the token file of the test's hosts and points its clients at it.
    bool ShareToken() const {
        FILE* token = std::fopen(Path("token").c_str(), "w");
        if (!token)
            return false;
        std::fputs(kToken.c_str(), token);
        std::fclose(token);
        return setenv("VARLO_BRIDGE_TOKEN_FILE", Path("token").c_str(), 1) == 0;
    }

    // Starts the device host with these arguments (the program's name first).
    void StartHost(std::vector<const char*> argv) {
        pid_t parent = getpid();
        argv.push_back(nullptr);
        Host = fork();
        if (Host == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent || !std::freopen("/dev/null", "w", stdout))
                _exit(126);
            execv(argv[0], const_cast<char* const*>(argv.data()));
            _exit(127);
        }
    }
    // Stops the host; answers its wait status.
    int StopHost(int signal) {
        int status = -1;
        if (Host > 0) {
            kill(Host, signal);
            waitpid(Host, &status, 0);
            Host = -1;
        }
        return status;
    }
};

struct CliRun {
    int Exit = -1;
    std::string Out;
};

// Runs a shell command: its exit status and standard output.
CliRun Shell(const std::string& command) {
    CliRun run;
    FILE* p = popen(command.c_str(), "r");
    for (int c; (c = std::fgetc(p)) != EOF;)
        run.Out += char(c);
    int status = pclose(p);
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct DeviceHostTest : ::testing::Test {
    Scratch scratch; // the token file; its clients find it as they find the port
    devhost::DriverHost host;
    std::unique_ptr<devhost::BridgeServer> server;
    std::mutex logMutex;
    std::condition_variable logged;
    std::vector<std::string> log; // the server's

    void SetUp() override {
        ks::RegistryClear();
        ASSERT_TRUE(scratch.ShareToken());
        std::string error;
        ASSERT_TRUE(host.Start({.Ports = {{1, std::make_shared<sim::ModelLine>(), false}}}, error))
            << error;
        server = std::make_unique<devhost::BridgeServer>(
            host.MakeBackend(),
            [this](const std::string& line) {
                std::lock_guard lock(logMutex);
                log.push_back(line);
                logged.notify_all();
            },
            kToken);
        server->LimitHelloWait(3, std::chrono::seconds(1)); // the silent connections' test
        ASSERT_TRUE(server->Start(0, error)) << error;
    }
    void TearDown() override {
        server->Stop();
        EXPECT_EQ(host.Stop(), ""); // every handle closed, no pool left
    }
    // Runs the client with arguments; standard error goes to the test's log.
    CliRun Cli(const std::string& args, uint16_t port = 0) {
        return Shell(std::string(VARLO_CLI) + " --host-port " +
                     std::to_string(port ? port : server->Port()) + " " + args + " 2>&1");
    }
    void Open(BridgeClient& c, bridge::Role role = bridge::Role::Device) {
        uint32_t status = 1;
        std::string error;
        ASSERT_TRUE(c.Connect(server->Port(), role, status, error)) << error;
        ASSERT_EQ(status, 0u);
    }
    // A device request answered with one word (NUM_CLIENTS' low half: the open handles).
    uint32_t Word(BridgeClient& c, uint32_t code) {
        Completion done;
        std::string error;
        EXPECT_TRUE(c.Call(FrameType::Ioctl, U32Payload({code, 4}), done, 5000, error)) << error;
        EXPECT_EQ(done.Information, 4u);
        uint32_t word = done.Data.size() == 4 ? bridge::GetU32(done.Data.data()) : ~0u;
        return code == kNumClients ? word & 0xFFFF : word;
    }
    bool Logged(const std::string& piece) {
        std::unique_lock lock(logMutex);
        return logged.wait_for(lock, std::chrono::seconds(5), [&] {
            return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
                return line.find(piece) != std::string::npos;
            });
        });
    }
};

} // namespace

TEST_F(DeviceHostTest, PlayCapsStateModelAndErrorsThroughTheClient) {
    CliRun caps = Cli("caps");
    EXPECT_EQ(caps.Exit, 0) << caps.Out;
    EXPECT_EQ(caps.Out, "in-cables 3\nout-cables 5\ninterfaces 1\n"
                        "interface 0 id 123 name Korvane Varlo\n");
    EXPECT_EQ(Cli("state").Out, "state active\n");

    CliRun play = Cli("play 2 90 3C 40 F0 43 10 F7");
    EXPECT_EQ(play.Exit, 0) << play.Out;
    CliRun query = Cli("model query");
    EXPECT_EQ(query.Exit, 0);
    EXPECT_NE(query.Out.find("cable 2 messages 2 stray 0 dropped 0 last F0 43 10 F7\n"),
              std::string::npos);
    EXPECT_EQ(Cli("model command version 150").Out, "ok\n");
    EXPECT_EQ(Cli("model command frobnicate").Exit, 1);
    EXPECT_EQ(Cli("model --serial 4 query").Exit, 1); // no model there
    EXPECT_NE(Cli("caps").Out.find("id 150"), std::string::npos);

    CliRun usage = Cli("play 1 3C");
    EXPECT_EQ(usage.Exit, 2);
    EXPECT_NE(usage.Out.find("data byte without a status"), std::string::npos);
    EXPECT_EQ(Cli("frobnicate").Exit, 2);
    EXPECT_EQ(Cli("--help").Exit, 0);
    CliRun refused = Cli("state", 1); // nothing listens on port 1
    EXPECT_EQ(refused.Exit, 1);
    EXPECT_NE(refused.Out.find("cannot connect"), std::string::npos);
}

// A session is one open handle (one probe); a bad line is reported and the rest still runs; input
// is printed while it waits.
TEST_F(DeviceHostTest, SessionKeepsOneHandleAcrossItsLines) {
    char script[] = "/tmp/varlo-session-XXXXXX";
    int fd = mkstemp(script);
    ASSERT_GE(fd, 0);
    std::string lines = "play 1 90 3C 40\nwait 100\nplay 1 90 3C 00\nclients\nfrob\x1B[2J\n" +
                        std::string(3 << 20, '7') +
                        "\n# comment\nmodel send F5 02 90 3E 40\nwait 300\n";
    ASSERT_EQ(write(fd, lines.data(), lines.size()), ssize_t(lines.size()));
    close(fd);
    CliRun run = Cli(std::string("session < ") + script);
    EXPECT_EQ(run.Exit, 2) << run.Out; // the unknown word, the overlong line
    EXPECT_NE(run.Out.find("clients 1\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("unknown command: frob\\x1B[2J ("), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("line over 1 MiB skipped"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("port 0 cable 2 event 90 3E 40\n"), std::string::npos) << run.Out;

    auto line = host.Ports().Line(1);
    auto lock = line->ModelLock();
    std::vector<uint8_t> wire = line->Model()->Line(), probe = {0xF0, 0x63, 0x60, 0x0B};
    lock.unlock();
    auto first = std::search(wire.begin(), wire.end(), probe.begin(), probe.end());
    ASSERT_NE(first, wire.end());
    EXPECT_EQ(std::search(first + 1, wire.end(), probe.begin(), probe.end()), wire.end());

    // Output goes to its reader, never into the device connection, when standard output is closed.
    EXPECT_EQ(Cli(std::string("session < ") + script + " 2>/dev/null >&-; echo exit $?").Out,
              "exit 2\n");
    unlink(script);
}

TEST_F(DeviceHostTest, MonitorSeesWhatTheModelSendsWhileAnotherClientCounts) {
    std::atomic<bool> done{false};
    CliRun monitor;
    std::thread t([&] {
        monitor = Cli("monitor --count 1 --seconds 20");
        done = true;
    });
    // Counted first: once the monitor has its event it may end before another client looks.
    // It receives only once its first read has waited: then send until it has something.
    bool counted = false;
    for (int i = 0; i < 200 && !done; ++i) {
        if (counted || (counted = Cli("clients").Out == "clients 2\n"))
            Cli("model send F5 02 90 3C 40");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    t.join();
    EXPECT_TRUE(counted);
    EXPECT_EQ(monitor.Exit, 0) << monitor.Out;
    EXPECT_EQ(monitor.Out.substr(0, monitor.Out.find('\n') + 1), "port 0 cable 2 event 90 3C 40\n");

    CliRun quiet = Cli("monitor --seconds 1"); // nothing arrives: ends after its time
    EXPECT_EQ(quiet.Exit, 0) << quiet.Out;
    EXPECT_EQ(quiet.Out, "");
}

// Frame by frame: requests are answered while a read waits; input completes the read, a cancel
// ends the next; each client has its own handle.
TEST_F(DeviceHostTest, BridgeRequestsAreAnsweredWhileAReadWaits) {
    BridgeClient a, b, m;
    Open(a);
    Open(m, bridge::Role::Model);
    std::string error;
    Completion c;
    uint32_t readTag = a.Send(FrameType::Read, U32Payload({256}));
    EXPECT_EQ(Word(a, kGetState), 1u); // active
    ASSERT_TRUE(a.Call(FrameType::Write, {1, 2, 3}, c, 5000, error)) << error;
    EXPECT_EQ(c.Status, 0u); // accepted and ignored: the device plays by ioctl
    ASSERT_TRUE(m.Call(FrameType::ModelSend, U32Payload({1}, {0xF5, 0x01, 0x90, 0x3C, 0x40}), c,
                       5000, error));
    EXPECT_EQ(c.Status, 0u);
    ASSERT_TRUE(a.Wait(readTag, c, 5000, error)) << error;
    EXPECT_EQ(c.Data, (std::vector<uint8_t>{0, 0, 0, 0, 4, 0, 0,    0,    0,    0,
                                            0, 0, 0, 0, 4, 0, 0x90, 0x3C, 0x40, 1}));
    readTag = a.Send(FrameType::Read, U32Payload({256}));
    a.Send(FrameType::ReadCancel, U32Payload({readTag}));
    ASSERT_TRUE(a.Wait(readTag, c, 5000, error)) << error;
    EXPECT_EQ(c.Status, kCancelled);

    Open(b);
    EXPECT_EQ(Word(b, kNumClients), 2u);
}

// Every way a connection ends closes its handle: abandoned with a read waiting, closed (done
// when Close returns), or by the server's stop.
TEST_F(DeviceHostTest, ConnectionsEndWithTheirHandles) {
    BridgeClient a, b, c, d;
    Open(a);
    std::string error;
    uint32_t tag = a.Send(FrameType::Read, U32Payload({256}));
    // A second read under the tag of the waiting one is refused at once.
    std::vector<uint8_t> again(bridge::kHeaderSize);
    bridge::EncodeHeader({4, FrameType::Read, 0, tag}, again.data());
    Completion twice;
    ASSERT_TRUE(a.SendRaw(again) && a.SendRaw(U32Payload({256})) &&
                a.Wait(tag, twice, 5000, error));
    EXPECT_EQ(twice.Status, 0xC000000Du);
    a.Abandon(); // gone with its read waiting
    EXPECT_TRUE(Logged("connection 1 ended: closed by the client"));
    Open(b);
    EXPECT_EQ(Word(b, kNumClients), 1u);
    Open(c);
    c.Close();
    EXPECT_EQ(Word(b, kNumClients), 1u);

    b.Send(FrameType::Read, U32Payload({256}));
    EXPECT_EQ(Word(b, kGetState), 1u); // the read waits in the driver
    Open(d);
    for (int i = 0; i < 250 && server->Connections() != 2; ++i) // a and c end in their threads
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server->Connections(), 2u);
    server->Stop(); // the handles' close is checked by the host's stop
    EXPECT_TRUE(b.PeerClosed(5000));
    uint32_t status;
    EXPECT_FALSE(BridgeClient().Connect(server->Port(), bridge::Role::Device, status, error));
}

TEST_F(DeviceHostTest, MalformedFramesCloseOnlyTheirConnection) {
    BridgeClient good;
    Open(good);
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
    std::string error;
    uint32_t status;
    for (const char* token : {"0123456789abcdef0123456789abcdee", "0123"}) {
        BridgeClient stranger;
        stranger.UseToken(token);
        EXPECT_FALSE(stranger.Connect(server->Port(), bridge::Role::Device, status, error));
    }
    EXPECT_TRUE(Logged("refused: wrong access token"));
    ASSERT_FALSE(BridgeClient().Connect(0, bridge::Role::Device, status, error));
    BridgeClient model;
    Open(model, bridge::Role::Model);
    EXPECT_EQ(Word(good, kNumClients), 1u);
}

// Any local program can connect and say nothing, or begin a Hello and stall: the oldest of them
// gives way to newer ones, and each is dropped at its deadline.
TEST_F(DeviceHostTest, SilentConnectionsCannotCrowdOutTheOwner) {
    std::vector<int> silent;
    for (int i = 0; i < 40; i++) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{.sin_family = AF_INET,
                         .sin_port = htons(server->Port()),
                         .sin_addr = {htonl(INADDR_LOOPBACK)}};
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
    EXPECT_EQ(Word(owner, kNumClients), 1u);
    for (int fd : silent) {
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0); // the host has closed it, not waited for ever
        ::close(fd);
    }
}

// A host that answers the hello and then nothing more: a stop gives up the command's wait at once,
// a second one ends the tool without waiting for the close.
TEST(VarloTool, StopsEndASessionWhoseHostStoppedAnswering) {
    Scratch scratch;
    ASSERT_TRUE(scratch.ShareToken());
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    std::thread host([listener] {
        int c = accept(listener, nullptr, nullptr);
        uint8_t hello[bridge::kHeaderSize + bridge::kHelloHeadSize + bridge::kTokenLength],
            reply[bridge::kHeaderSize + 4] = {};
        bridge::ReceiveAll(c, hello, sizeof hello);
        bridge::EncodeHeader({4, bridge::FrameType::HelloReply, 0, bridge::GetU32(hello + 8)},
                             reply);
        bridge::SendAll(c, reply, sizeof reply);
        while (recv(c, hello, sizeof hello, 0) > 0) {
        }
        close(c);
    });
    CliRun run =
        Shell("echo clients | " VARLO_CLI " --host-port " + std::to_string(ntohs(addr.sin_port)) +
              " session 2>&1 & sleep 0.5; kill -TERM $!; sleep 0.5; kill -TERM $!; "
              "wait $!; echo exit $?");
    host.join();
    close(listener);
    EXPECT_EQ(run.Out, "varlo: interrupted\nexit 143\n");
}

// The program itself: starts, serves, keeps the service key in a file, stops cleanly on SIGTERM
// with a client still connected and a read waiting.
TEST(DeviceHostProgram, ServesAndStopsCleanlyOnSigterm) {
    Scratch scratch;
    ASSERT_FALSE(scratch.Dir.empty());
    std::string portFile = scratch.Path("port"), registry = scratch.Path("registry");
    scratch.StartHost({VARLO_DEVHOST, "--port", "0", "--port-file", portFile.c_str(), "--registry",
                       registry.c_str(), "--serial", "2=model:150", "--quiet"});
    unsigned port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
        if (FILE* f = std::fopen(portFile.c_str(), "r")) {
            if (std::fscanf(f, "%u", &port) != 1)
                port = 0;
            std::fclose(f);
        }
        if (port == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_NE(port, 0u);
    // The token beside the port file, for this user only.
    std::string tokenFile = portFile + ".token";
    struct stat info {};
    ASSERT_EQ(stat(tokenFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    setenv("VARLO_BRIDGE_TOKEN_FILE", tokenFile.c_str(), 1);
    tools::BridgeClient client;
    uint32_t status = 1;
    std::string error;
    ASSERT_TRUE(client.Connect(uint16_t(port), bridge::Role::Device, status, error)) << error;
    EXPECT_EQ(status, 0u);
    tools::Completion caps;
    ASSERT_TRUE(client.Call(bridge::FrameType::Ioctl, tools::U32Payload({0x001D4208, 1296}), caps,
                            5000, error))
        << error;
    EXPECT_EQ(caps.Data.at(16), 150);
    client.Send(bridge::FrameType::Read, tools::U32Payload({256}));

    int wstatus = scratch.StopHost(SIGTERM);
    EXPECT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0); // non-zero when the driver left pool or devices
    EXPECT_TRUE(client.PeerClosed(1000));
    EXPECT_NE(access(tokenFile.c_str(), F_OK), 0); // the token ends with the host

    // The service key was kept: the port found is remembered.
    ks::RegistryClear();
    ASSERT_TRUE(ks::RegistryLoad(registry));
    EXPECT_EQ(ks::RegistryGetDword(ks::ServiceKeyPath(u"VARLO2K"), u"PreviousPort"), 2u);
    ks::RegistryClear();
}
