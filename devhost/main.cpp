// varlo-devhost: runs the driver on the kernel-services layer with simulated serial ports and
// serves its device over the loopback bridge until SIGINT or SIGTERM.
#include "devhost/bridge_server.h"
#include "devhost/driver_host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: varlo-devhost [--port N] [--port-file FILE] [--serial N=KIND]... [--registry FILE]\n"
    "                     [--multichain] [--quiet]\n"
    "Loads the Varlo driver on the kernel-services layer and serves its device on 127.0.0.1.\n"
    "  --port N          listen on port N (default 5741; 0: any free port)\n"
    "  --port-file FILE  write the port listened on to FILE\n"
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

} // namespace

int main(int argc, char** argv) {
    devhost::HostOptions options;
    unsigned port = 5741;
    std::string portFile;
    std::vector<std::pair<unsigned, std::string>> faults; // --serial-faults
    bool quiet = false;
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
    devhost::BridgeServer server(host.MakeBackend(), [quiet](const std::string& line) {
        if (!quiet || line.find("malformed") != std::string::npos)
            std::fprintf(stderr, "varlo-devhost: %s\n", line.c_str());
    });
    if (!server.Start(uint16_t(port), error)) {
        std::fprintf(stderr, "varlo-devhost: %s\n", error.c_str());
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

    int signal = 0;
    sigwait(&signals, &signal);
    if (!quiet)
        std::fprintf(stderr, "varlo-devhost: %s: stopping\n", strsignal(signal));
    server.Stop();
    std::string report = host.Stop();
    if (!report.empty()) {
        std::fprintf(stderr, "varlo-devhost: driver unload: %s\n", report.c_str());
        return 1;
    }
    if (!quiet)
        std::fprintf(stderr, "varlo-devhost: stopped cleanly\n");
    return 0;
}
