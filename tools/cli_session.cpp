#include "tools/cli_session.h"

#include "tools/device_records.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace tools {

namespace {

constexpr int kCloseTimeoutMs = 10000;
const char kNoAnswerYet[] = "no answer from the device host"; // BridgeClient::Wait timed out
const char kHostGone[] = "the device host closed the connection";

volatile sig_atomic_t g_stop = 0;
int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
    if (g_stop) {
        // A second stop while the close waits for a host that does not answer: end now (the host
        // closes the handle when the connection drops).
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    g_stop = 1;
    if (g_stopPipe[1] >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(g_stopPipe[1], &byte, 1);
    }
}

// Far beyond any command, a System Exclusive dump in hex included.
constexpr size_t kMaxLineBytes = 1 << 20;
const char kLineTooLong[] = "line over 1 MiB skipped";

// A word of the input as it can be shown on a terminal: at most 40 characters, bytes that are not
// printable as \xNN.
std::string Printable(const std::string& word) {
    std::string out;
    for (unsigned char c : word.substr(0, 40)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x20 && c < 0x7F ? std::string(1, char(c)) : hex;
    }
    return word.size() > 40 ? out + "..." : out;
}

const char kSessionHelp[] =
    "Session commands, one a line:\n"
    "  caps | state | clients | activate | deactivate\n"
    "  play [--port P] CABLE HEX...   (as on the command line)\n"
    "  model [--serial N] send HEX... | query | command TEXT...\n"
    "  wait MS                        keep going for MS milliseconds, printing input\n"
    "  help | quit                    (end of input and Ctrl-C also end the session)\n";

} // namespace

void CatchStopSignals() {
    if (g_stopPipe[0] < 0 && pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_stopPipe[0] = g_stopPipe[1] = -1;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return g_stop != 0;
}

InputPrinter::InputPrinter(Device& device) : device_(device) {
    device_.Client.SetInterrupt(g_stopPipe[0]); // a stop ends a command's wait at once
    readTag_ = device_.Client.Send(bridge::FrameType::Read, U32Payload({kBufferHeader + 240}));
}

bool InputPrinter::Print(const Completion& c) {
    if (c.Status != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "read failed: status 0x%08X", c.Status);
        device_.Error = text;
        return false;
    }
    for (const std::string& line : DescribeBuffer(c.Data.data(), c.Data.size()))
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return true;
}

InputPrinter::Wake InputPrinter::Run(int ms, int watch) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        if (g_stop)
            return Wake::Stopped;
        if (readTag_ == 0) {
            Report(kExitFailure, kHostGone);
            return Wake::Failed;
        }
        // A read that completed, here or while a command waited for its own answer.
        Completion c;
        if (device_.Client.Wait(readTag_, c, 0, device_.Error)) {
            readTag_ = 0;
            if (!Print(c)) {
                Report(kExitFailure, device_.Error);
                return Wake::Failed;
            }
            readTag_ =
                device_.Client.Send(bridge::FrameType::Read, U32Payload({kBufferHeader + 240}));
            continue;
        }
        if (device_.Error != kNoAnswerYet) {
            readTag_ = 0;
            Report(kExitFailure, device_.Error);
            return Wake::Failed;
        }
        int timeout = -1;
        if (ms >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0)
                return Wake::Time;
            timeout = int(left);
        }
        pollfd fds[3] = {{device_.Client.Descriptor(), POLLIN, 0},
                         {g_stopPipe[0], POLLIN, 0},
                         {watch, POLLIN, 0}};
        int r = poll(fds, 3, timeout);
        if (r < 0 && errno != EINTR) {
            Report(kExitFailure, "poll failed");
            return Wake::Failed;
        }
        if (r > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            return Wake::Watched;
    }
}

void InputPrinter::Finish() {
    device_.Client.SetInterrupt(-1); // the close still waits for the host (a second stop ends it)
    if (readTag_ != 0) {
        device_.Client.Send(bridge::FrameType::ReadCancel, U32Payload({readTag_}));
        Completion c;
        if (device_.Client.Wait(readTag_, c, kCloseTimeoutMs, device_.Error) && c.Status == 0)
            Print(c); // input that arrived just before the cancel
        readTag_ = 0;
    }
    device_.Client.Close();
}

int RunSession(Device& device) {
    CatchStopSignals();
    InputPrinter input(device);
    if (isatty(STDIN_FILENO))
        std::fputs("Device open: commands one a line ('help' lists them); Ctrl-D or Ctrl-C ends.\n",
                   stderr);
    std::string pending;
    size_t scanned = 0;    // bytes of `pending` known to hold no newline
    bool overlong = false; // the line being read is over kMaxLineBytes: it is skipped
    bool endOfInput = false, quit = false;
    int worst = kExitOk;
    while (!quit && !g_stop) {
        size_t newline = pending.find('\n', scanned);
        if (newline == std::string::npos && !endOfInput) {
            scanned = pending.size();
            if (pending.size() > kMaxLineBytes) {
                if (!overlong)
                    worst = std::max(worst, Report(kExitUsage, kLineTooLong));
                overlong = true;
                pending.clear();
                scanned = 0;
            }
            InputPrinter::Wake wake = input.Run(-1, STDIN_FILENO);
            if (wake == InputPrinter::Wake::Failed)
                return kExitFailure;
            if (wake != InputPrinter::Wake::Watched)
                break;
            char chunk[4096];
            ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n > 0)
                pending.append(chunk, size_t(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                endOfInput = true; // EAGAIN: a descriptor shared with another reader
            continue;
        }
        if (pending.empty() && !overlong)
            break; // end of input, every line done
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline == std::string::npos ? std::string::npos : newline + 1);
        scanned = 0;
        if (overlong || line.size() > kMaxLineBytes) {
            if (!overlong)
                worst = std::max(worst, Report(kExitUsage, kLineTooLong));
            overlong = false;
            continue;
        }
        std::istringstream split(line);
        std::vector<std::string> words;
        for (std::string w; split >> w;)
            words.push_back(w);
        if (words.empty() || words[0][0] == '#')
            continue;
        int r = kExitOk;
        DeviceCommand command;
        std::string usage;
        unsigned ms = 0;
        if (words[0] == "quit" || words[0] == "exit") {
            quit = true;
        } else if (words[0] == "help" || words[0] == "--help") {
            std::fputs(kSessionHelp, stdout);
        } else if (words[0] == "wait") {
            if (words.size() != 2 || !ParseUnsigned(words[1], 86400000, ms))
                r = Report(kExitUsage, "wait needs milliseconds, such as: wait 500");
            else if (input.Run(int(ms)) == InputPrinter::Wake::Failed)
                return kExitFailure;
        } else if (words[0] == "monitor") {
            r = Report(kExitUsage, "a session prints input all the time: use wait");
        } else if (words[0] == "model") {
            r = RunModelCommand(device.HostPort, {words.begin() + 1, words.end()});
        } else if (ParseDeviceCommand(words, command, usage) && command.HoldMs == 0) {
            r = RunDeviceCommand(device, command);
            if (r != kExitOk && device.Error == kHostGone)
                return r; // the lines left would each fail the same way
        } else {
            r = Report(kExitUsage, !usage.empty() ? usage
                                   : command.HoldMs != 0
                                       ? "play --hold: use wait in a session"
                                       : "unknown command: " + Printable(words[0]) +
                                             " (help lists the commands)");
        }
        worst = std::max(worst, r);
    }
    input.Finish();
    return worst;
}

} // namespace tools
