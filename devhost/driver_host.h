// The driver on the kernel-services layer as the device host runs it: the service key (optionally
// kept in a file), the simulated serial ports, the driver loaded and its device started under
// Plug and Play, and a bridge backend that turns each connection into one open handle.
//
// Threads: Start and Stop from the owner's thread; the backend's calls come from the bridge
// server's connection threads, each waiting read has a thread of its own until it completes.
#pragma once

#include "devhost/bridge_server.h"
#include "sim/serial_port.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace devhost {

struct HostOptions {
    std::vector<sim::PortSetup> Ports;
    std::string RegistryFile; // empty: the service key lives in memory only
    bool MultiChain = false;
};

class DriverHost {
public:
    DriverHost() = default;
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    bool Start(const HostOptions& options, std::string& error);
    // Closes every handle left, removes the device, unloads the driver (its pool report goes to
    // the log), deletes the ports and writes the registry file. Answers the unload report ("" when
    // clean).
    std::string Stop();

    Backend MakeBackend();
    sim::SerialPorts& Ports() { return ports_; }

    struct Handle; // one open of the device (driver_host.cpp)

private:
    Handle* Find(uint64_t id);

    HostOptions options_;
    sim::SerialPorts ports_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool started_ = false;
    std::mutex mutex_;
    uint64_t nextHandle_ = 1;
    std::map<uint64_t, std::shared_ptr<Handle>> handles_;
};

} // namespace devhost
