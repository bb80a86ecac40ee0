// The varlo tool's commands, shared by the one-shot command line (varlo_cli.cpp) and the session
// that holds the device open (cli_session.h). A command is checked first (ParseDeviceCommand),
// so that bad input opens nothing and sends nothing, then run on the open device.
// Caller: the tool's main thread only. Problems go to standard error as "varlo: reason".
#pragma once

#include "tools/bridge_client.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// One open handle of the driver's device: a bridge connection with the Device role.
struct Device {
    uint16_t HostPort = 0;
    BridgeClient Client;
    std::string Error;
};

// Prints "varlo: problem" on standard error and answers code.
int Report(int code, const std::string& problem);

// A decimal number of at most max; false for anything else.
bool ParseUnsigned(const std::string& text, unsigned max, unsigned& value);

// Connects and opens the device; kExitFailure (reported) when no interface answers.
int OpenDevice(Device& device);

struct DeviceCommand {
    enum Kind { Caps, State, Clients, Activate, Deactivate, Play } What = Caps;
    std::vector<std::vector<uint8_t>> PlayBuffers;
    unsigned HoldMs = 0; // play --hold: how long the device stays open afterwards
};

// Checks words[0] (caps, state, clients, activate, deactivate, play) and its arguments. False
// when words is not a device command; then `usage` says why (empty: not a device command word).
bool ParseDeviceCommand(const std::vector<std::string>& words, DeviceCommand& command,
                        std::string& usage);

// Runs a checked command on the open device and prints its answer lines.
int RunDeviceCommand(Device& device, const DeviceCommand& command);

// model [--serial N] send|query|command ...: on a connection of its own.
int RunModelCommand(uint16_t hostPort, std::vector<std::string> args);

} // namespace tools
