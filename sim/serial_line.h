// What sits behind a simulated serial port: a byte line the serial port device (sim/serial_port)
// writes to and reads from. Providers: the interface model, a silent line (a port with nothing
// attached) and a real serial device through termios. "Absent" and "in use" are properties of the
// port device itself, not of a line.
//
// Threads: Write, Configure and Inject from any thread; one reader at a time in Read; Interrupt
// from any thread wakes that reader. Every provider locks internally.
#pragma once

#include "sim/interface_model.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

// Line settings the serial requests set (what a real port honours).
struct LineSettings {
    uint32_t BaudRate = 9600;
    uint8_t WordLength = 8;
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    bool RtsCtsFlow = false;
};

class SerialLine {
public:
    virtual ~SerialLine() = default;
    virtual void Configure(const LineSettings& settings) = 0;
    virtual void Write(const uint8_t* data, size_t length) = 0;
    // Bytes ready now (0 when none), without waiting.
    virtual size_t ReadAvailable(uint8_t* buffer, size_t capacity) = 0;
    // Waits up to timeoutMs (negative: without limit) until a byte is ready or Interrupt is
    // called; true when bytes are ready.
    virtual bool WaitReadable(int timeoutMs) = 0;
    virtual void Interrupt() = 0;
    // The model behind the line, or none (test and device host access; lock with ModelLock).
    virtual InterfaceModel* Model() { return nullptr; }
    virtual std::unique_lock<std::mutex> ModelLock() { return {}; }
};

// The interface model behind a line. The clock is the steady clock; quarter frames fall due while
// a reader waits.
class ModelLine : public SerialLine {
public:
    explicit ModelLine(const ModelOptions& options = {});
    void Configure(const LineSettings& settings) override;
    void Write(const uint8_t* data, size_t length) override;
    size_t ReadAvailable(uint8_t* buffer, size_t capacity) override;
    bool WaitReadable(int timeoutMs) override;
    void Interrupt() override;
    InterfaceModel* Model() override { return &model_; }
    std::unique_lock<std::mutex> ModelLock() override { return std::unique_lock(mutex_); }
    // Wakes a waiting reader after the model was changed under ModelLock.
    void Notify() { ready_.notify_all(); }
    LineSettings Settings();

private:
    static uint64_t NowUs();
    std::mutex mutex_;
    std::condition_variable ready_;
    InterfaceModel model_;
    LineSettings settings_;
    uint64_t interrupts_ = 0;
};

// A port with nothing attached: writes vanish, nothing ever arrives.
class SilentLine : public SerialLine {
public:
    void Configure(const LineSettings&) override {}
    void Write(const uint8_t*, size_t) override {}
    size_t ReadAvailable(uint8_t*, size_t) override { return 0; }
    bool WaitReadable(int timeoutMs) override;
    void Interrupt() override;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    uint64_t interrupts_ = 0;
};

// A real serial device (a tty) through termios: raw mode, the baud rate, word length, parity,
// stop bits and RTS/CTS flow control the port was given.
class TtyLine : public SerialLine {
public:
    // Opens path; null with a reason when it cannot.
    static std::unique_ptr<TtyLine> Open(const std::string& path, std::string& error);
    ~TtyLine() override;
    void Configure(const LineSettings& settings) override;
    void Write(const uint8_t* data, size_t length) override;
    size_t ReadAvailable(uint8_t* buffer, size_t capacity) override;
    bool WaitReadable(int timeoutMs) override;
    void Interrupt() override;

private:
    TtyLine(int fd, int wakeRead, int wakeWrite)
        : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite) {}
    int fd_, wakeRead_, wakeWrite_;
    std::mutex writeMutex_;
};

} // namespace sim
