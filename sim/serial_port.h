// Simulated serial ports on the kernel-services layer: a host-side driver ("Serial") whose
// devices \Device\Serial<n> honour the requests a serial port driver documents (baud rate, queue
// size, handshake, line control, time-outs with their read semantics, line-status insertion,
// read, write, cancel). Behind each device is a line provider (sim/serial_line.h); a port marked
// in use refuses every open with STATUS_ACCESS_DENIED; a number without a port does not exist.
// A port is exclusive: a second open is refused with STATUS_ACCESS_DENIED as well.
//
// A port can misbehave as hardware does (PortFaults, switched at run time): writes that pend and
// complete later from another thread, CTS held off (with CTS handshake on, writes wait until it
// returns or their write time-out passes, then complete with STATUS_TIMEOUT and the bytes written
// so far), reads that fail, an interface that is switched off, a port that disappears.
//
// Threads: Create/Destroy from the owner's thread; requests come from driver threads; each port
// has one worker thread serving its reads in order and one serving pending writes in order.
// SetFaults and FaultCommand from any thread. Port state is read under its own mutex.
#pragma once

#include "sim/serial_line.h"

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct PortSetup {
    uint32_t Number = 0;
    std::shared_ptr<SerialLine> Line; // none for a port in use
    bool InUse = false;
};

// What the port was told, for tests and the device host's log.
struct PortSettings {
    uint32_t BaudRate = 9600;
    uint32_t InQueue = 0, OutQueue = 0;
    uint32_t ControlHandShake = 0x01; // DTR control, as a freshly opened port
    uint32_t FlowReplace = 0x40;      // RTS control
    int32_t XonLimit = 256, XoffLimit = 256;
    uint8_t StopBits = 0, Parity = 0, WordLength = 8;
    uint32_t ReadInterval = 0, ReadMultiplier = 0, ReadConstant = 0;
    uint32_t WriteMultiplier = 0, WriteConstant = 0;
    uint8_t LsrMstEscape = 0;
    std::vector<uint32_t> Requests; // every device-control code in order
    uint32_t Opens = 0;             // successful opens so far
    bool Open = false;
    uint64_t BytesWritten = 0;
    std::vector<uint32_t> WriteSizes; // length of each write, the first 4096
};

// What goes wrong at a port (all off: a port that works).
struct PortFaults {
    bool PendWrites = false;      // every write pends and completes WriteDelayMs later
    uint32_t WriteDelayMs = 1;    //   from the port's writer thread
    bool CtsOff = false;          // CTS held off by the far end
    bool NoWriteTimeouts = false; // the port ignores its write time-outs: a write CTS holds up
                                  //   waits until CTS returns or the write is cancelled
    NTSTATUS ReadError = 0;       // reads complete at once with this status (0: none)
    bool Silent = false;          // the interface is switched off: it hears and says nothing
    bool Gone = false;            // the port has disappeared (surprise removal): new requests fail
                                  //   with STATUS_NO_SUCH_DEVICE, waiting ones are cancelled;
                                  //   cleanup and close still succeed
};

class SerialPorts {
public:
    SerialPorts() = default;
    ~SerialPorts();
    SerialPorts(const SerialPorts&) = delete;
    SerialPorts& operator=(const SerialPorts&) = delete;

    // Loads the serial driver and creates a device per setup. One set at a time per process.
    bool Create(std::vector<PortSetup> setups, std::string& error);
    // Deletes the devices (they must be closed) and unloads the driver.
    void Destroy();

    PortSettings Settings(uint32_t number);
    // Switches the port's faults; false for a number without a port.
    bool SetFaults(uint32_t number, const PortFaults& faults);
    PortFaults Faults(uint32_t number);
    // The same as text, for the device host: "faults" answers the current set; otherwise words
    // among pend-writes|direct-writes, cts-off|cts-on, no-write-timeouts|write-timeouts, read-error
    // HEX|reads-ok, off|on (the interface switched off: silent with CTS off), gone|back. Answers
    // "ok" or "error: ...".
    std::string FaultCommand(uint32_t number, const std::string& text);
    std::shared_ptr<SerialLine> Line(uint32_t number);

    struct Port; // per-device state (serial_port.cpp)

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::map<uint32_t, Port*> ports_;
};

} // namespace sim
