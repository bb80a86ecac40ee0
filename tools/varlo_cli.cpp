// varlo: command-line client of the device host. Uses the driver's device as the user-mode MIDI
// driver does (one bridge connection = one open handle) and talks to the interface model.
#include "sim/interface_model.h"
#include "tools/bridge_client.h"
#include "tools/device_records.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: varlo [--host-port N] COMMAND [ARGS]\n"
    "Client of the Varlo device host (127.0.0.1, port from --host-port or VARLO_HOST_PORT,\n"
    "default 5741).\n"
    "\n"
    "Device commands (each opens the device as one client):\n"
    "  caps                      capabilities: cables and interfaces found\n"
    "  state                     'state active' or 'state inactive'\n"
    "  clients                   'clients N': number of open handles\n"
    "  activate | deactivate     switch the interface to computer or patch mode\n"
    "  play [--port P] CABLE HEX...\n"
    "                            send MIDI messages (status bytes included; System Exclusive\n"
    "                            F0 ... F7 as a stream) on output cable CABLE\n"
    "  monitor [--count N] [--seconds S]\n"
    "                            print every buffer read, one line per event or System\n"
    "                            Exclusive piece: 'port P cable C event 90 3C 40',\n"
    "                            'port P cable C sysex-end F0 ... F7' (sysex-part, sysex-broken)\n"
    "Interface model commands (serial port N, default 1):\n"
    "  model [--serial N] send HEX...     the model sends these bytes on its serial line\n"
    "  model [--serial N] query           the model's report\n"
    "  model [--serial N] command TEXT... a model command (see sim/README.md)\n"
    "\n"
    "Exit status: 0 success, 1 failure (message on standard error), 2 usage error.\n";

constexpr int kTimeoutMs = 10000;

int Usage(const std::string& problem) {
    std::fprintf(stderr, "varlo: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

int Fail(const std::string& problem) {
    std::fprintf(stderr, "varlo: %s\n", problem.c_str());
    return 1;
}

std::string Status(uint32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08X", status);
    return text;
}

bool ParseUnsigned(const char* text, unsigned max, unsigned& value) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max)
        return false;
    value = unsigned(v);
    return true;
}

struct Session {
    tools::BridgeClient client;
    std::string error;
};

int OpenDevice(uint16_t port, Session& s) {
    uint32_t status = 0;
    if (!s.client.Connect(port, bridge::Role::Device, status, s.error))
        return Fail(s.error);
    if (status == 0xC0000225)
        return Fail("cannot open the device: no interface answers (" + Status(status) + ")");
    if (status != 0)
        return Fail("cannot open the device: " + Status(status));
    return 0;
}

int Ioctl(Session& s, uint32_t code, const std::vector<uint8_t>& input, uint32_t outLength,
          tools::Completion& c, const char* what) {
    if (!s.client.Call(bridge::FrameType::Ioctl, tools::U32Payload({code, outLength}, input), c,
                       kTimeoutMs, s.error))
        return Fail(s.error);
    if (c.Status != 0)
        return Fail(std::string(what) + " failed: " + Status(c.Status));
    return 0;
}

int Monitor(Session& s, unsigned count, unsigned seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned buffers = 0;
    while (count == 0 || buffers < count) {
        uint32_t tag = s.client.Send(bridge::FrameType::Read, tools::U32Payload({256}));
        int wait = -1;
        if (seconds) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            wait = left < 0 ? 0 : int(left);
        }
        tools::Completion c;
        if (!s.client.Wait(tag, c, wait, s.error)) {
            if (!seconds || s.error != "no answer from the device host")
                return Fail(s.error);
            s.client.Send(bridge::FrameType::ReadCancel, tools::U32Payload({tag}));
            s.client.Wait(tag, c, kTimeoutMs, s.error);
            return 0; // time is up
        }
        if (c.Status != 0)
            return Fail("read failed: " + Status(c.Status));
        for (const std::string& line : tools::DescribeBuffer(c.Data.data(), c.Data.size()))
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++buffers;
    }
    return 0;
}

int Model(uint16_t port, std::vector<std::string> args) {
    unsigned serial = 1;
    if (args.size() >= 2 && args[0] == "--serial") {
        if (!ParseUnsigned(args[1].c_str(), 255, serial))
            return Usage("bad serial port number: " + args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage("model needs send, query or command");
    std::string rest;
    for (size_t i = 1; i < args.size(); ++i)
        rest += (i > 1 ? " " : "") + args[i];
    tools::Completion c;
    Session s;
    uint32_t status;
    if (args[0] == "send") {
        std::vector<uint8_t> bytes;
        if (!sim::ParseHexBytes(rest, bytes) || bytes.empty())
            return Usage("send needs hex bytes such as: F8 or 90 3C 40");
        if (!s.client.Connect(port, bridge::Role::Model, status, s.error) ||
            !s.client.Call(bridge::FrameType::ModelSend, tools::U32Payload({serial}, bytes), c,
                           kTimeoutMs, s.error))
            return Fail(s.error);
    } else if (args[0] == "query" && args.size() == 1) {
        if (!s.client.Connect(port, bridge::Role::Model, status, s.error) ||
            !s.client.Call(bridge::FrameType::ModelQuery, tools::U32Payload({serial}), c,
                           kTimeoutMs, s.error))
            return Fail(s.error);
    } else if (args[0] == "command" && !rest.empty()) {
        if (!s.client.Connect(port, bridge::Role::Model, status, s.error) ||
            !s.client.Call(
                bridge::FrameType::ModelCommand,
                tools::U32Payload({serial}, std::vector<uint8_t>(rest.begin(), rest.end())), c,
                kTimeoutMs, s.error))
            return Fail(s.error);
    } else {
        return Usage("model needs send HEX..., query or command TEXT...");
    }
    std::string text(c.Data.begin(), c.Data.end());
    if (c.Status != 0)
        return Fail("model on serial port " + std::to_string(serial) + ": " +
                    (text.empty() ? Status(c.Status) : text));
    if (!text.empty())
        std::printf("%s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    return text.rfind("error:", 0) == 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    unsigned hostPort = 5741;
    if (const char* env = std::getenv("VARLO_HOST_PORT");
        env && *env && !ParseUnsigned(env, 65535, hostPort))
        return Usage(std::string("bad VARLO_HOST_PORT: ") + env);
    if (args.size() >= 2 && args[0] == "--host-port") {
        if (!ParseUnsigned(args[1].c_str(), 65535, hostPort) || hostPort == 0)
            return Usage("bad port: " + args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage("no command");
    std::string command = args[0];
    args.erase(args.begin());
    uint16_t port = uint16_t(hostPort);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "model")
        return Model(port, args);

    tools::Completion c;
    Session s;
    if (command == "caps" && args.empty()) {
        if (int r = OpenDevice(port, s);
            r || (r = Ioctl(s, tools::kIoctlGetCaps, {}, tools::kCapsSize, c, "caps")))
            return r;
        for (const std::string& line : tools::DescribeCaps(c.Data))
            std::printf("%s\n", line.c_str());
        return 0;
    }
    if ((command == "state" || command == "clients") && args.empty()) {
        uint32_t code = command == "state" ? tools::kIoctlGetState : tools::kIoctlNumClients;
        if (int r = OpenDevice(port, s); r || (r = Ioctl(s, code, {}, 4, c, command.c_str())))
            return r;
        if (c.Data.size() != 4)
            return Fail(command + ": answer of " + std::to_string(c.Data.size()) + " bytes");
        uint32_t v = bridge::GetU32(c.Data.data());
        if (command == "state")
            std::printf("state %s\n", v ? "active" : "inactive");
        else
            std::printf("clients %u\n", v & 0xFFFF);
        return 0;
    }
    if ((command == "activate" || command == "deactivate") && args.empty()) {
        std::vector<uint8_t> value = tools::U32Payload({command == "activate" ? 1u : 0u});
        if (int r = OpenDevice(port, s);
            r || (r = Ioctl(s, tools::kIoctlActivate, value, 0, c, command.c_str())))
            return r;
        return 0;
    }
    if (command == "play") {
        unsigned devicePort = 0, cable = 0;
        if (args.size() >= 2 && args[0] == "--port") {
            if (!ParseUnsigned(args[1].c_str(), 1, devicePort))
                return Usage("bad interface port (0 or 1): " + args[1]);
            args.erase(args.begin(), args.begin() + 2);
        }
        if (args.size() < 2 || !ParseUnsigned(args[0].c_str(), 127, cable))
            return Usage("play needs a cable (0-127) and hex bytes");
        std::string hex;
        for (size_t i = 1; i < args.size(); ++i)
            hex += args[i] + " ";
        std::vector<uint8_t> midi;
        std::vector<std::vector<uint8_t>> buffers;
        if (!sim::ParseHexBytes(hex, midi))
            return Usage("play needs hex bytes such as: 90 3C 40");
        if (!tools::BuildPlayBuffers(uint16_t(devicePort), uint8_t(cable), midi, buffers, s.error))
            return Usage(s.error);
        if (int r = OpenDevice(port, s))
            return r;
        for (const auto& b : buffers)
            if (int r = Ioctl(s, tools::kIoctlMidiPlay, b, 0, c, "play"))
                return r;
        return 0;
    }
    if (command == "monitor") {
        unsigned count = 0, seconds = 0;
        for (size_t i = 0; i < args.size(); i += 2) {
            bool ok = i + 1 < args.size();
            if (ok && args[i] == "--count")
                ok = ParseUnsigned(args[i + 1].c_str(), 1u << 30, count);
            else if (ok && args[i] == "--seconds")
                ok = ParseUnsigned(args[i + 1].c_str(), 1u << 20, seconds);
            else
                ok = false;
            if (!ok)
                return Usage("monitor takes --count N and --seconds S");
        }
        if (int r = OpenDevice(port, s))
            return r;
        return Monitor(s, count, seconds);
    }
    return Usage("unknown command or arguments: " + command);
}
