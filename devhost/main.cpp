// varlo-devhost: runs the driver on the kernel-services layer with simulated serial ports and
// serves its device over the loopback bridge until SIGINT or SIGTERM.
#include "devhost/bridge_server.h"
#include "devhost/driver_host.h"

#include "bridge/bridge_token.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: varlo-devhost [--port N] [--port-file FILE] [--token-file FILE] [--serial N=KIND]...\n"
    "                     [--registry FILE] [--multichain] [--quiet]\n"
    "Loads the Varlo driver on the kernel-services layer and serves its device on 127.0.0.1.\n"
    "  --port N          listen on port N (default 5741; 0: any free port)\n"
    "  --port-file FILE  write the port listened on to FILE\n"
    "  --token-file FILE write the access token clients must show to FILE (mode 0600; default\n"
    "                    FILE.token beside the port file, else ~/.varlo-bridge-PORT.token or the\n"
    "                    same in $XDG_RUNTIME_DIR); removed at the stop\n"
    "  --serial N=KIND   serial port N (0-255) with KIND behind it:\n"
    "                      model[:VERSION]  the interface model (firmware VERSION, default 123)\n"
    "                      silent           a port with nothing attached\n"
    "                      busy             a port in use by another program\n"
    "                      tty:PATH         a real serial device (termios)\n"
    "                    numbers not given do not exist; default: --serial 1=model\n"
    "  --serial-faults N=WORDS  start serial port N misbehaving (see sim/README.md), e.g.\n"
    "                    'pend-writes cts-off'; switch at run time with the model command\n"
    "                    'port WORDS'\n"
    "  --registry FILE   keep the service key's values in FILE (read at start, written at stop)\n"
    "  --multichain      set MultiChain: look for a second interface\n"
    "  --exit-with PID   stop as on SIGTERM once process PID has ended (test harnesses)\n"
    "  --quiet           log only problems\n"
    "Prints 'listening on 127.0.0.1:PORT' when ready. Stops on SIGINT or SIGTERM.\n";

bool ParseNumber(const std::string& text, unsigned max, unsigned& value) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || v > max)
        return false;
    value = unsigned(v);
    return true;
}

bool ParseSerial(const std::string& setup, sim::PortSetup& port, std::string& error) {
    size_t eq = setup.find('=');
    unsigned number = 0;
    if (eq == std::string::npos || !ParseNumber(setup.substr(0, eq), 255, number)) {
        error = "bad --serial " + setup + " (expected N=KIND)";
        return false;
    }
    std::string kind = setup.substr(eq + 1);
    port.Number = number;
    if (kind == "model" || kind.rfind("model:", 0) == 0) {
        sim::ModelOptions o;
        unsigned version = 123;
        if (kind.size() > 6 && !ParseNumber(kind.substr(6), 999, version)) {
            error = "bad model version in --serial " + setup;
            return false;
        }
        o.FirmwareVersion = int(version);
        port.Line = std::make_shared<sim::ModelLine>(o);
    } else if (kind == "silent") {
        port.Line = std::make_shared<sim::SilentLine>();
    } else if (kind == "busy") {
        port.InUse = true;
    } else if (kind.rfind("tty:", 0) == 0) {
        std::unique_ptr<sim::TtyLine> line = sim::TtyLine::Open(kind.substr(4), error);
        if (!line)
            return false;
        port.Line = std::move(line);
    } else {
        error = "unknown kind in --serial " + setup;
        return false;
    }
    return true;
}

// A fresh token of random hex digits.
bool MakeToken(std::string& token, std::string& error) {
    uint8_t random[bridge::kTokenLength / 2];
    if (getrandom(random, sizeof random, 0) != ssize_t(sizeof random)) {
        error = std::string("getrandom: ") + std::strerror(errno);
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    token.clear();
    for (uint8_t b : random) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return true;
}

// Writes the token to a file only this user can read, replacing any earlier one.
bool WriteTokenFile(const std::string& file, const std::string& token, std::string& error) {
    if (file.empty()) {
        error = "no place for the token file: give --token-file";
        return false;
    }
    ::unlink(file.c_str()); // a file of another mode or owner is not reused
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string text = token + "\n";
    bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 &&
              ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (!ok)
        error = "cannot write the token file " + file + ": " + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    devhost::HostOptions options;
    unsigned port = 5741;
    std::string portFile, tokenFile;
    std::vector<std::pair<unsigned, std::string>> faults; // --serial-faults
    bool quiet = false;
    unsigned watched = 0;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], 65535, port)) {
                std::fprintf(stderr, "varlo-devhost: bad port %s\n%s", argv[i], kUsage);
                return 2;
            }
        } else if (arg == "--port-file" && hasValue) {
            portFile = argv[++i];
        } else if (arg == "--token-file" && hasValue) {
            tokenFile = argv[++i];
        } else if (arg == "--serial" && hasValue) {
            sim::PortSetup setup;
            if (!ParseSerial(argv[++i], setup, error)) {
                std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
                return 2;
            }
            options.Ports.push_back(setup);
        } else if (arg == "--serial-faults" && hasValue) {
            std::string text = argv[++i];
            size_t eq = text.find('=');
            unsigned number = 0;
            if (eq == std::string::npos || !ParseNumber(text.substr(0, eq), 255, number)) {
                std::fprintf(stderr, "varlo-devhost: bad --serial-faults %s\n", text.c_str());
                return 2;
            }
            faults.emplace_back(number, text.substr(eq + 1));
        } else if (arg == "--registry" && hasValue) {
            options.RegistryFile = argv[++i];
        } else if (arg == "--multichain") {
            options.MultiChain = true;
        } else if (arg == "--exit-with" && hasValue) {
            if (!ParseNumber(argv[++i], 1u << 30, watched) || watched == 0) {
                std::fprintf(stderr, "varlo-devhost: bad process id %s\n%s", argv[i], kUsage);
                return 2;
            }
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "varlo-devhost: unknown argument %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (options.Ports.empty()) {
        sim::PortSetup setup;
        setup.Number = 1;
        setup.Line = std::make_shared<sim::ModelLine>();
        options.Ports.push_back(setup);
    }

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    devhost::DriverHost host;
    if (!host.Start(options, error)) {
        std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
        return 1;
    }
    for (auto& [number, words] : faults) {
        std::string answer = host.Ports().FaultCommand(number, words);
        if (answer != "ok") {
            std::fprintf(stderr, "varlo-devhost: --serial-faults %u=%s: %s\n", number,
                         words.c_str(), answer.c_str());
            host.Stop();
            return 2;
        }
    }
    std::string token;
    if (!MakeToken(token, error)) {
        std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
        host.Stop();
        return 1;
    }
    devhost::BridgeServer server(
        host.MakeBackend(),
        [quiet](const std::string& line) {
            if (!quiet || line.find("malformed") != std::string::npos ||
                line.find("refused") != std::string::npos)
                std::fprintf(stderr, "varlo-devhost: %s\n", line.c_str());
        },
        token);
    if (!server.Start(uint16_t(port), error)) {
        std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
        host.Stop();
        return 1;
    }
    // The token first: whoever sees the port can then find the token too.
    if (tokenFile.empty())
        tokenFile = portFile.empty() ? bridge::DefaultTokenFile(server.Port())
                                     : bridge::TokenFileBeside(portFile);
    if (!WriteTokenFile(tokenFile, token, error)) {
        std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
        server.Stop();
        host.Stop();
        return 1;
    }
    if (!portFile.empty()) {
        if (FILE* f = std::fopen(portFile.c_str(), "w")) {
            std::fprintf(f, "%u\n", server.Port());
            std::fclose(f);
        }
    }
    std::printf("listening on 127.0.0.1:%u\n", server.Port());
    std::fflush(stdout);

    // A harness that dies without stopping the host (killed, timed out) takes it along.
    int signal = 0;
    const timespec tick{0, 200 * 1000 * 1000};
    while ((signal = watched ? sigtimedwait(&signals, nullptr, &tick)
                             : sigwaitinfo(&signals, nullptr)) < 0) {
        if (watched && ::kill(pid_t(watched), 0) != 0 && errno == ESRCH)
            break;
    }
    if (!quiet)
        std::fprintf(stderr, "varlo-devhost: %s: stopping\n",
                     signal > 0 ? strsignal(signal) : "watched process ended");
    server.Stop();
    ::unlink(tokenFile.c_str());
    std::string report = host.Stop();
    if (!report.empty()) {
        std::fprintf(stderr, "varlo-devhost: driver unload: %s\n", report.c_str());
        return 1;
    }
    if (!quiet)
        std::fprintf(stderr, "varlo-devhost: stopped cleanly\n");
    return 0;
}
