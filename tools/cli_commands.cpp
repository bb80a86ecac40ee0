#include "tools/cli_commands.h"

#include "sim/interface_model.h"
#include "tools/device_records.h"

#include <cstdio>
#include <cstdlib>

namespace tools {

namespace {

constexpr int kTimeoutMs = 10000;

std::string Status(uint32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08X", status);
    return text;
}

int Ioctl(Device& d, uint32_t code, const std::vector<uint8_t>& input, uint32_t outLength,
          Completion& c, const char* what) {
    if (!d.Client.Call(bridge::FrameType::Ioctl, U32Payload({code, outLength}, input), c,
                       kTimeoutMs, d.Error))
        return Report(kExitFailure, d.Error);
    if (c.Status != 0)
        return Report(kExitFailure, std::string(what) + " failed: " + Status(c.Status));
    return kExitOk;
}

bool ParsePlay(std::vector<std::string> args, DeviceCommand& command, std::string& usage) {
    unsigned devicePort = 0, cable = 0;
    while (args.size() >= 2 && (args[0] == "--port" || args[0] == "--hold")) {
        bool port = args[0] == "--port";
        if (!ParseUnsigned(args[1], port ? 1 : 3600000, port ? devicePort : command.HoldMs)) {
            usage = port ? "bad interface port (0 or 1): " + args[1]
                         : "bad hold time (milliseconds): " + args[1];
            return false;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() < 2 || !ParseUnsigned(args[0], 127, cable)) {
        usage = "play needs a cable (0-127) and hex bytes";
        return false;
    }
    std::string hex;
    for (size_t i = 1; i < args.size(); ++i)
        hex += args[i] + " ";
    std::vector<uint8_t> midi;
    if (!sim::ParseHexBytes(hex, midi)) {
        usage = "play needs hex bytes such as: 90 3C 40";
        return false;
    }
    return BuildPlayBuffers(uint16_t(devicePort), uint8_t(cable), midi, command.PlayBuffers, usage);
}

} // namespace

int Report(int code, const std::string& problem) {
    std::fflush(stdout);
    std::fprintf(stderr, "varlo: %s\n", problem.c_str());
    return code;
}

bool ParseUnsigned(const std::string& text, unsigned max, unsigned& value) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-' || v > max)
        return false;
    value = unsigned(v);
    return true;
}

int OpenDevice(Device& d) {
    uint32_t status = 0;
    if (!d.Client.Connect(d.HostPort, bridge::Role::Device, status, d.Error))
        return Report(kExitFailure, d.Error);
    if (status == 0xC0000225)
        return Report(kExitFailure,
                      "cannot open the device: no interface answers (" + Status(status) + ")");
    if (status != 0)
        return Report(kExitFailure, "cannot open the device: " + Status(status));
    return kExitOk;
}

bool ParseDeviceCommand(const std::vector<std::string>& words, DeviceCommand& command,
                        std::string& usage) {
    usage.clear();
    command = DeviceCommand{};
    if (words.empty())
        return false;
    const std::string& w = words[0];
    std::vector<std::string> args(words.begin() + 1, words.end());
    if (w == "play") {
        command.What = DeviceCommand::Play;
        return ParsePlay(args, command, usage);
    }
    static const struct {
        const char* Word;
        DeviceCommand::Kind What;
    } kPlain[] = {{"caps", DeviceCommand::Caps},
                  {"state", DeviceCommand::State},
                  {"clients", DeviceCommand::Clients},
                  {"activate", DeviceCommand::Activate},
                  {"deactivate", DeviceCommand::Deactivate}};
    for (const auto& p : kPlain) {
        if (w != p.Word)
            continue;
        command.What = p.What;
        if (args.empty())
            return true;
        usage = w + " takes no arguments";
        return false;
    }
    return false;
}

int RunDeviceCommand(Device& d, const DeviceCommand& command) {
    Completion c;
    switch (command.What) {
        case DeviceCommand::Caps:
            if (int r = Ioctl(d, kIoctlGetCaps, {}, kCapsSize, c, "caps"))
                return r;
            for (const std::string& line : DescribeCaps(c.Data))
                std::printf("%s\n", line.c_str());
            break;
        case DeviceCommand::State:
        case DeviceCommand::Clients: {
            bool state = command.What == DeviceCommand::State;
            const char* name = state ? "state" : "clients";
            if (int r = Ioctl(d, state ? kIoctlGetState : kIoctlNumClients, {}, 4, c, name))
                return r;
            if (c.Data.size() != 4)
                return Report(kExitFailure, std::string(name) + ": answer of " +
                                                std::to_string(c.Data.size()) + " bytes");
            uint32_t v = bridge::GetU32(c.Data.data());
            if (state)
                std::printf("state %s\n", v ? "active" : "inactive");
            else
                std::printf("clients %u\n", v & 0xFFFF);
            break;
        }
        case DeviceCommand::Activate:
        case DeviceCommand::Deactivate: {
            bool on = command.What == DeviceCommand::Activate;
            if (int r = Ioctl(d, kIoctlActivate, U32Payload({on ? 1u : 0u}), 0, c,
                              on ? "activate" : "deactivate"))
                return r;
            break;
        }
        case DeviceCommand::Play:
            for (const auto& b : command.PlayBuffers)
                if (int r = Ioctl(d, kIoctlMidiPlay, b, 0, c, "play"))
                    return r;
            break;
    }
    std::fflush(stdout);
    return kExitOk;
}

int RunModelCommand(uint16_t hostPort, std::vector<std::string> args) {
    unsigned serial = 1;
    if (args.size() >= 2 && args[0] == "--serial") {
        if (!ParseUnsigned(args[1], 255, serial))
            return Report(kExitUsage, "bad serial port number: " + args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Report(kExitUsage, "model needs send, query or command");
    std::string rest;
    for (size_t i = 1; i < args.size(); ++i)
        rest += (i > 1 ? " " : "") + args[i];
    bridge::FrameType type;
    std::vector<uint8_t> tail;
    if (args[0] == "send") {
        type = bridge::FrameType::ModelSend;
        if (!sim::ParseHexBytes(rest, tail) || tail.empty())
            return Report(kExitUsage, "send needs hex bytes such as: F8 or 90 3C 40");
    } else if (args[0] == "query" && args.size() == 1) {
        type = bridge::FrameType::ModelQuery;
    } else if (args[0] == "command" && !rest.empty()) {
        type = bridge::FrameType::ModelCommand;
        tail.assign(rest.begin(), rest.end());
    } else {
        return Report(kExitUsage, "model needs send HEX..., query or command TEXT...");
    }
    BridgeClient client;
    Completion c;
    uint32_t status;
    std::string error;
    if (!client.Connect(hostPort, bridge::Role::Model, status, error) ||
        !client.Call(type, U32Payload({serial}, tail), c, kTimeoutMs, error))
        return Report(kExitFailure, error);
    std::string text(c.Data.begin(), c.Data.end());
    if (c.Status != 0)
        return Report(kExitFailure, "model on serial port " + std::to_string(serial) + ": " +
                                        (text.empty() ? Status(c.Status) : text));
    if (!text.empty())
        std::printf("%s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    std::fflush(stdout);
    return text.rfind("error:", 0) == 0 ? kExitFailure : kExitOk;
}

} // namespace tools
