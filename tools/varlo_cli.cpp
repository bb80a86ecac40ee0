// varlo: command-line client of the device host. Uses the driver's device as the user-mode MIDI
// driver does (one bridge connection = one open handle) and talks to the interface model.
#include "tools/cli_commands.h"
#include "tools/cli_session.h"
#include "tools/device_records.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: varlo [--host-port N] COMMAND [ARGS]\n"
    "Client of the Varlo device host (127.0.0.1, port from --host-port or VARLO_HOST_PORT,\n"
    "default 5741).\n"
    "\n"
    "Device commands (each opens the device as one client and closes it at the end):\n"
    "  caps                      capabilities: cables and interfaces found\n"
    "  state                     'state active' or 'state inactive'\n"
    "  clients                   'clients N': number of open handles\n"
    "  activate | deactivate     switch the interface to computer or patch mode\n"
    "  play [--port P] [--hold MS] CABLE HEX...\n"
    "                            send MIDI messages (status bytes included; System Exclusive\n"
    "                            F0 ... F7 as a stream) on output cable CABLE; with --hold the\n"
    "                            device stays open MS milliseconds more, printing input\n"
    "  monitor [--count N] [--seconds S]\n"
    "                            print every buffer read, one line per event or System\n"
    "                            Exclusive piece: 'port P cable C event 90 3C 40',\n"
    "                            'port P cable C sysex-end F0 ... F7' (sysex-part, sysex-broken)\n"
    "  session                   keep the device open and take the commands above one a line\n"
    "                            from standard input, plus 'wait MS' and 'quit', printing input\n"
    "                            as monitor does; ends at the end of input or Ctrl-C, e.g.\n"
    "                            printf 'play 1 90 3C 40\\nwait 500\\nplay 1 90 3C 00\\n' |\n"
    "                              varlo session\n"
    "Interface model commands (serial port N, default 1):\n"
    "  model [--serial N] send HEX...     the model sends these bytes on its serial line\n"
    "  model [--serial N] query           the model's report\n"
    "  model [--serial N] command TEXT... a model command (see sim/README.md)\n"
    "\n"
    "Exit status: 0 success, 1 failure (message on standard error), 2 usage error; a session\n"
    "answers the worst of its lines.\n";

int Usage(const std::string& problem) {
    tools::Report(tools::kExitUsage, problem);
    std::fputs(kUsage, stderr);
    return tools::kExitUsage;
}

int Monitor(tools::Device& d, unsigned count, unsigned seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned buffers = 0;
    while (count == 0 || buffers < count) {
        uint32_t tag = d.Client.Send(bridge::FrameType::Read, tools::U32Payload({256}));
        int wait = -1;
        if (seconds) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            wait = left < 0 ? 0 : int(left);
        }
        tools::Completion c;
        if (!d.Client.Wait(tag, c, wait, d.Error)) {
            if (!seconds || d.Error != "no answer from the device host")
                return tools::Report(tools::kExitFailure, d.Error);
            d.Client.Send(bridge::FrameType::ReadCancel, tools::U32Payload({tag}));
            d.Client.Wait(tag, c, 10000, d.Error);
            return 0; // time is up
        }
        if (c.Status != 0) {
            char text[48];
            std::snprintf(text, sizeof text, "read failed: status 0x%08X", c.Status);
            return tools::Report(tools::kExitFailure, text);
        }
        for (const std::string& line : tools::DescribeBuffer(c.Data.data(), c.Data.size()))
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++buffers;
    }
    return 0;
}

// A descriptor 0-2 that the caller left closed would be taken by the bridge's socket, and the
// tool's output would then go into the connection: each is opened on /dev/null instead.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            std::_Exit(tools::kExitFailure);
}

} // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    std::vector<std::string> args(argv + 1, argv + argc);
    unsigned hostPort = 5741;
    if (const char* env = std::getenv("VARLO_HOST_PORT");
        env && *env && !tools::ParseUnsigned(env, 65535, hostPort))
        return Usage(std::string("bad VARLO_HOST_PORT: ") + env);
    if (args.size() >= 2 && args[0] == "--host-port") {
        if (!tools::ParseUnsigned(args[1], 65535, hostPort) || hostPort == 0)
            return Usage("bad port: " + args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage("no command");
    const std::string command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    tools::Device device;
    device.HostPort = uint16_t(hostPort);
    if (command == "model") {
        int r = tools::RunModelCommand(device.HostPort, {args.begin() + 1, args.end()});
        if (r == tools::kExitUsage)
            std::fputs(kUsage, stderr);
        return r;
    }
    if (command == "session" && args.size() == 1) {
        if (int r = tools::OpenDevice(device))
            return r;
        return tools::RunSession(device);
    }
    if (command == "monitor") {
        unsigned count = 0, seconds = 0;
        for (size_t i = 1; i < args.size(); i += 2) {
            bool ok = i + 1 < args.size();
            if (ok && args[i] == "--count")
                ok = tools::ParseUnsigned(args[i + 1], 1u << 30, count);
            else if (ok && args[i] == "--seconds")
                ok = tools::ParseUnsigned(args[i + 1], 1u << 20, seconds);
            else
                ok = false;
            if (!ok)
                return Usage("monitor takes --count N and --seconds S");
        }
        if (int r = tools::OpenDevice(device))
            return r;
        return Monitor(device, count, seconds);
    }
    tools::DeviceCommand checked;
    std::string usage;
    if (!tools::ParseDeviceCommand(args, checked, usage))
        return Usage(usage.empty() ? "unknown command or arguments: " + command : usage);
    if (int r = tools::OpenDevice(device))
        return r;
    if (checked.HoldMs == 0)
        return tools::RunDeviceCommand(device, checked);
    // Play and stay open: the read waits before the play, so that an answer is not missed.
    tools::CatchStopSignals();
    tools::InputPrinter input(device);
    int r = tools::RunDeviceCommand(device, checked);
    if (r == 0 && input.Run(int(checked.HoldMs)) == tools::InputPrinter::Wake::Failed)
        r = tools::kExitFailure;
    input.Finish();
    return r;
}
