// End to end under Wine: the link and the protocol, Wine's winmm, the user-mode MIDI driver on its
// bridge channel, the device host with the driver on the kernel-services layer, and the interface
// model behind the simulated serial port. The model is driven and read back over a second bridge
// connection in the model role.
#include <winsock2.h>

#include "link/midilink.h"
#include "link/linktarget_wine.h"
#include "link/protocol.h"

#include "../bridge/bridge_frames.h"
#include "../bridge/bridge_token.h"

#include <gtest/gtest.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t g_port;
std::string g_token;

// Reads the device host's port and points the driver at it before winmm loads the driver.
class DeviceHost : public ::testing::Environment {
public:
    void SetUp() override {
        const char* file = std::getenv("VARLO_BRIDGE_PORT_FILE");
        ASSERT_NE(nullptr, file);
        FILE* f = std::fopen(("Z:" + std::string(file)).c_str(), "r");
        ASSERT_NE(nullptr, f) << "no device host: " << file;
        unsigned port = 0;
        ASSERT_EQ(1, std::fscanf(f, "%u", &port));
        std::fclose(f);
        g_port = uint16_t(port);
        SetEnvironmentVariableA("VARLO_BRIDGE_PORT", std::to_string(port).c_str());
        // The host's access token lies beside the port file.
        std::string tokenFile = bridge::TokenFileBeside(file), error;
        ASSERT_TRUE(bridge::ReadTokenFile("Z:" + tokenFile, g_token, error)) << error;
        SetEnvironmentVariableA("VARLO_BRIDGE_TOKEN_FILE", tokenFile.c_str());
        SetEnvironmentVariableA("VARLO_UMDRV_CHANNEL", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_INPUTS", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_OUTPUTS", nullptr);
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DeviceHost);

// A bridge connection in the model role, to the model on one serial port of the device host (two
// interfaces with MultiChain: serial ports 1 and 2).
class Model {
public:
    explicit Model(uint32_t serialPort = 1) : serialPort_(serialPort) {
        if (!g_port)
            return;
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(g_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        Bytes hello(bridge::kHelloHeadSize), reply;
        bridge::PutU32(hello.data(), bridge::kMagic);
        bridge::PutU32(hello.data() + 4, uint32_t(bridge::Role::Model));
        hello.insert(hello.end(), g_token.begin(), g_token.end());
        ok_ = ok_ && Exchange(bridge::FrameType::Hello, hello, reply);
    }
    ~Model() { closesocket(s_); }
    bool ok() const { return ok_; }

    std::string Command(const std::string& text) {
        return Text(bridge::FrameType::ModelCommand, text);
    }

    // The rest of the report's line that starts with `key` ("level", "cable 3"), or "".
    std::string Value(const std::string& key) {
        std::istringstream lines(Text(bridge::FrameType::ModelQuery, ""));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(key + " ", 0) == 0)
                return line.substr(key.size() + 1);
        return "";
    }

    // Polls the report until `key`'s value satisfies `pred` (three seconds at most); the last
    // value read.
    template <typename Pred>
    std::string WaitFor(const std::string& key, Pred pred) {
        std::string value;
        for (DWORD until = GetTickCount() + 3000; int(until - GetTickCount()) > 0; Sleep(20))
            if (pred(value = Value(key)))
                break;
        return value;
    }

private:
    bool Exchange(bridge::FrameType type, const Bytes& payload, Bytes& reply) {
        uint8_t header[bridge::kHeaderSize];
        bridge::EncodeHeader({uint32_t(payload.size()), type, 0, ++tag_}, header);
        if (send(s_, reinterpret_cast<const char*>(header), sizeof header, 0) != sizeof header ||
            send(s_, reinterpret_cast<const char*>(payload.data()), int(payload.size()), 0) !=
                int(payload.size()))
            return false;
        bridge::FrameHeader h;
        if (!Recv(header, sizeof header) || !bridge::DecodeHeader(header, h))
            return false;
        reply.resize(h.PayloadLength);
        return Recv(reply.data(), reply.size());
    }
    bool Recv(uint8_t* p, size_t n) {
        while (n > 0) {
            int k = recv(s_, reinterpret_cast<char*>(p), int(n), 0);
            if (k <= 0)
                return false;
            p += k;
            n -= size_t(k);
        }
        return true;
    }
    // A request to the model on this serial port with a text argument; the reply's text.
    std::string Text(bridge::FrameType type, const std::string& text) {
        Bytes payload(4), reply;
        bridge::PutU32(payload.data(), serialPort_);
        payload.insert(payload.end(), text.begin(), text.end());
        if (!Exchange(type, payload, reply) || reply.size() < 8)
            return "error: no answer";
        return std::string(reply.begin() + 8, reply.end());
    }

    SOCKET s_ = INVALID_SOCKET;
    uint32_t serialPort_;
    uint32_t tag_ = 0;
    bool ok_ = false;
};

// A condition for Model::WaitFor: the value contains `part`.
auto Has(const char* part) {
    return [part](const std::string& v) { return v.find(part) != v.npos; };
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(model_.ok());
        ASSERT_EQ("ok", model_.Command("answers on"));
        ASSERT_EQ("ok", model_.Command("mode 0"));
        ASSERT_EQ(0, MidiLinkOpen());
    }
    void TearDown() override { MidiLinkClose(); }

    Model model_;
    LinkTarget target_;
};

// The encoders and decoders' bytes are the protocol's host tests; here one round trip through
// the driver and the model: the identity reply, then a locate in the form it selects.
TEST_F(EndToEnd, LocateTakesTheFormTheFirmwareSelects) {
    ASSERT_EQ("ok", model_.Command("version 150"));
    target_.Drain();
    SendIdentityRequest();
    PostedMessage p;
    ASSERT_TRUE(target_.Next(PM_IF_VERSION, p));
    EXPECT_EQ(0x0201u, p.wParam); // the model's identity numbers 1 and 2
    EXPECT_EQ(150, p.lParam);
    SendLocate({RATE_25, 2, 3, 4, 5}, MODE_OFF, LEVEL_PLUS_4);
    EXPECT_EQ("3", model_.WaitFor("level", Has("3")));
    EXPECT_EQ(0u, model_.Value("timecode").find("02:03:04:05"));
}

// The user-mode MIDI driver with two interfaces: the second's ports follow the first's (the link
// still takes the first's), reach the second model, and a reset silences its port's cable.
TEST_F(EndToEnd, SecondInterfacesPortsAndResetThroughTheDriver) {
    ASSERT_EQ(6u, midiInGetNumDevs());
    ASSERT_EQ(10u, midiOutGetNumDevs());
    MIDIOUTCAPSA caps = {};
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(7, &caps, sizeof caps));
    EXPECT_STREQ("Varlo 2 Out 3", caps.szPname);
    EXPECT_EQ(219, caps.wMid);
    Model second(2);
    ASSERT_EQ("ok", second.Command("clear"));
    ASSERT_EQ("ok", model_.Command("clear"));
    HMIDIOUT out = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 7, 0, 0, CALLBACK_NULL));
    midiOutShortMsg(out, 0x403C90);
    EXPECT_EQ(
        "messages 1 stray 0 dropped 0 last 90 3C 40",
        second.WaitFor("cable 2", [](const std::string& v) { return v.find("-") == v.npos; }));
    midiOutClose(out);

    ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 3, 0, 0, CALLBACK_NULL));
    midiOutShortMsg(out, 0x403C93);
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutReset(out));
    midiOutShortMsg(out, 0x00003D); // running status was forgotten: nothing goes out
    midiOutShortMsg(out, 0x00F8);
    // The note, then sustain off and All Notes Off on each of the 16 channels, then the clock.
    EXPECT_EQ("messages 34 stray 0 dropped 0 last F8", model_.WaitFor("cable 3", Has("F8")));
    EXPECT_NE(std::string::npos, second.Value("cable 3").find("last -"));

    // While another thread sends a long message: a note waits for its end (its status byte would
    // break the message off, the rest then read as notes); a reset ends it (the rest would follow
    // the reset's controllers and read as more controllers).
    std::vector<char> big(1 << 18, 0x11);
    big.front() = char(0xF0);
    big.back() = char(0xF7);
    MIDIHDR h = {};
    h.lpData = big.data();
    h.dwBufferLength = DWORD(big.size());
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(out, &h, sizeof h));
    const struct {
        DWORD Message; // 0: reset
        const char* Cable;
    } kOvertakers[] = {{0x403C90, "messages 3 stray 0 dropped 0 last F8"},
                       {0, "messages 34 stray 0 dropped 0 last F8"}};
    for (const auto& o : kOvertakers) {
        ASSERT_EQ("ok", model_.Command("clear"));
        std::thread sender([&] { midiOutLongMsg(out, &h, sizeof h); });
        Sleep(20);
        EXPECT_EQ(MMSYSERR_NOERROR,
                  o.Message ? midiOutShortMsg(out, o.Message) : midiOutReset(out));
        sender.join();
        EXPECT_TRUE(h.dwFlags & MHDR_DONE);
        midiOutShortMsg(out, 0x00F8);
        std::string cable = model_.WaitFor("cable 3", Has("F8"));
        EXPECT_EQ(o.Cable, cable);
    }
    midiOutClose(out);

    // The second interface gone by the next open of the device: its ports' open fails.
    MidiLinkClose();
    ASSERT_EQ("ok", second.Command("answers off"));
    EXPECT_EQ(MMSYSERR_ERROR, midiOutOpen(&out, 7, 0, 0, CALLBACK_NULL));
    ASSERT_EQ("ok", second.Command("answers on"));
}

} // namespace
