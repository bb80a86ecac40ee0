// End to end under Wine: the link and the protocol, Wine's winmm, the user-mode MIDI driver on its
// bridge channel, the device host with the driver on the kernel-services layer, and the interface
// model behind the simulated serial port. The model is driven and read back over a second bridge
// connection in the model role.
#include <winsock2.h>

#include "link/midilink.h"
#include "link/linktarget_wine.h"
#include "link/protocol.h"

#include "../bridge/bridge_frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerialPort = 1; // the model's serial port number in the device host

uint16_t g_port;

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
        SetEnvironmentVariableA("VARLO_UMDRV_CHANNEL", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_INPUTS", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_OUTPUTS", nullptr);
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DeviceHost);

// A bridge connection in the model role.
class Model {
public:
    Model() {
        if (!g_port)
            return;
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(g_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        Bytes hello(8), reply;
        bridge::PutU32(hello.data(), bridge::kMagic);
        bridge::PutU32(hello.data() + 4, uint32_t(bridge::Role::Model));
        ok_ = ok_ && Exchange(bridge::FrameType::Hello, hello, reply);
    }
    ~Model() { closesocket(s_); }
    bool ok() const { return ok_; }

    std::string Command(const std::string& text) {
        Bytes payload(4);
        bridge::PutU32(payload.data(), kSerialPort);
        payload.insert(payload.end(), text.begin(), text.end());
        return Text(bridge::FrameType::ModelCommand, payload);
    }

    // The model's report as key -> rest of the line.
    std::map<std::string, std::string> Query() {
        Bytes payload(4);
        bridge::PutU32(payload.data(), kSerialPort);
        std::istringstream lines(Text(bridge::FrameType::ModelQuery, payload));
        std::map<std::string, std::string> report;
        for (std::string line; std::getline(lines, line);) {
            size_t space = line.find(' ');
            std::string key = line.substr(0, space);
            if (key == "cable") { // "cable N messages ...": keyed "cable N"
                size_t next = line.find(' ', space + 1);
                key = line.substr(0, next);
                space = next;
            }
            report[key] = space == std::string::npos ? "" : line.substr(space + 1);
        }
        return report;
    }

    // Polls the report until `key` satisfies `pred` (three seconds at most).
    template <typename Pred>
    std::string WaitFor(const std::string& key, Pred pred) {
        std::string value;
        for (DWORD until = GetTickCount() + 3000; int(until - GetTickCount()) > 0; Sleep(20)) {
            value = Query()[key];
            if (pred(value))
                break;
        }
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
    std::string Text(bridge::FrameType type, const Bytes& payload) {
        Bytes reply;
        if (!Exchange(type, payload, reply) || reply.size() < 8)
            return "error: no answer";
        return std::string(reply.begin() + 8, reply.end());
    }

    SOCKET s_ = INVALID_SOCKET;
    uint32_t tag_ = 0;
    bool ok_ = false;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(model_.ok());
        ASSERT_EQ("ok", model_.Command("answers on"));
        ASSERT_EQ("ok", model_.Command("mode 0"));
        ASSERT_EQ(0, MidiLinkOpen());
    }
    void TearDown() override { MidiLinkClose(); }

    // Sends the identity request and waits for the version it brings back.
    void Identify(int expected) {
        target_.Drain();
        SendIdentityRequest();
        PostedMessage p;
        ASSERT_TRUE(target_.Next(PM_IF_VERSION, p));
        EXPECT_EQ(expected, p.lParam);
        EXPECT_EQ(expected, ProtocolFirmwareVersion());
    }

    Model model_;
    LinkTarget target_;
};

TEST_F(EndToEnd, IdentityRequestBringsTheModelsNumbers) {
    ASSERT_EQ("ok", model_.Command("version 150"));
    target_.Drain();
    SendIdentityRequest();
    PostedMessage p;
    ASSERT_TRUE(target_.Next(PM_IF_VERSION, p));
    EXPECT_EQ(0x0201u, p.wParam); // the model's identity numbers 1 and 2
    EXPECT_EQ(150, p.lParam);
}

TEST_F(EndToEnd, RunningTimecodeArrivesWithTheModelsTime) {
    ASSERT_EQ("ok", model_.Command("locate 1 01:02:03:00"));
    ASSERT_EQ("ok", model_.Command("mode 1"));
    ProtocolResetQuarterFrames();
    target_.Drain();
    PostedMessage p;
    ASSERT_TRUE(target_.Next(PM_MTC_TIME, p));
    uint32_t v = uint32_t(p.lParam);
    EXPECT_EQ(1, MtcRate(v));
    EXPECT_EQ(1, MtcHours(v));
    EXPECT_EQ(2, MtcMinutes(v));
    EXPECT_LE(3, MtcSeconds(v));
    EXPECT_GE(6, MtcSeconds(v));
    EXPECT_GT(25, MtcFrames(v));
    ASSERT_EQ("ok", model_.Command("mode 0"));
}

TEST_F(EndToEnd, LocateTakesTheFormTheFirmwareSelects) {
    // New firmware: the set-state form, which also sets mode and level.
    ASSERT_EQ("ok", model_.Command("version 150"));
    Identify(150);
    SendLocate({RATE_25, 2, 3, 4, 5}, MODE_OFF, LEVEL_PLUS_4);
    EXPECT_EQ("3", model_.WaitFor("level", [](const std::string& v) { return v == "3"; }));
    EXPECT_EQ(0u, model_.Query()["timecode"].find("02:03:04:05"));

    // Old firmware: the MMC locate, which passes on to the out of cable 0 as it was sent.
    ASSERT_EQ("ok", model_.Command("version 101"));
    Identify(101);
    ASSERT_EQ("ok", model_.Command("clear"));
    SendLocate({RATE_25, 4, 5, 6, 7}, MODE_READ, LEVEL_MINUS_9);
    std::string cable0 = model_.WaitFor(
        "cable 0", [](const std::string& v) { return v.find("F0 7F 7F 06 44") != v.npos; });
    EXPECT_NE(std::string::npos, cable0.find("last F0 7F 7F 06 44 06 01 24 05 06 07 00 F7"))
        << cable0;
    EXPECT_EQ(0u, model_.Query()["timecode"].find("04:05:06:07"));
    EXPECT_EQ("3", model_.Query()["level"]); // the MMC form carries no level
}

TEST_F(EndToEnd, ModeLevelAndFrameRateChangeTheModel) {
    SendSetMode(MODE_REFRESH);
    EXPECT_EQ("2", model_.WaitFor("ltc-mode", [](const std::string& v) { return v == "2"; }));
    SendSetLevel(LEVEL_MINUS_4);
    EXPECT_EQ("1", model_.WaitFor("level", [](const std::string& v) { return v == "1"; }));
    SendSetFrameRate(RATE_30, 5, 6, 7, 8);
    EXPECT_EQ("3", model_.WaitFor("rate", [](const std::string& v) { return v == "3"; }));
    SendSetMode(MODE_OFF);
    EXPECT_EQ("0", model_.WaitFor("ltc-mode", [](const std::string& v) { return v == "0"; }));
}

} // namespace
