#include "sim/serial_line.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

// --- ModelLine ---

ModelLine::ModelLine(const ModelOptions& options) : model_(options) {}

uint64_t ModelLine::NowUs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

void ModelLine::Configure(const LineSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

LineSettings ModelLine::Settings() {
    std::lock_guard lock(mutex_);
    return settings_;
}

void ModelLine::Write(const uint8_t* data, size_t length) {
    {
        std::lock_guard lock(mutex_);
        model_.Advance(NowUs());
        model_.Receive(data, length);
    }
    ready_.notify_all();
}

size_t ModelLine::ReadAvailable(uint8_t* buffer, size_t capacity) {
    std::lock_guard lock(mutex_);
    model_.Advance(NowUs());
    return model_.TakeOutput(buffer, capacity);
}

bool ModelLine::WaitReadable(int timeoutMs) {
    std::unique_lock lock(mutex_);
    uint64_t start = NowUs();
    uint64_t deadline = timeoutMs < 0 ? UINT64_MAX : start + uint64_t(timeoutMs) * 1000;
    uint64_t interrupts = interrupts_;
    for (;;) {
        uint64_t now = NowUs();
        model_.Advance(now);
        if (model_.Pending() > 0)
            return true;
        if (interrupts != interrupts_ || now >= deadline)
            return false;
        uint64_t until = std::min(deadline, model_.NextDueUs());
        if (until == UINT64_MAX)
            ready_.wait(lock);
        else
            ready_.wait_for(lock, std::chrono::microseconds(until - now));
    }
}

void ModelLine::Interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupts_++;
    }
    ready_.notify_all();
}

// --- SilentLine ---

bool SilentLine::WaitReadable(int timeoutMs) {
    std::unique_lock lock(mutex_);
    uint64_t interrupts = interrupts_;
    auto woken = [&] { return interrupts != interrupts_; };
    if (timeoutMs < 0)
        wake_.wait(lock, woken);
    else
        wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    return false;
}

void SilentLine::Interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupts_++;
    }
    wake_.notify_all();
}

// --- TtyLine ---

std::unique_ptr<TtyLine> TtyLine::Open(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!::isatty(fd)) {
        error = path + ": not a terminal device";
        ::close(fd);
        return nullptr;
    }
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto line = std::unique_ptr<TtyLine>(new TtyLine(fd, wake[0], wake[1]));
    line->Configure(LineSettings{});
    return line;
}

TtyLine::~TtyLine() {
    ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void TtyLine::Configure(const LineSettings& s) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        return;
    ::cfmakeraw(&t);
    speed_t speed = s.BaudRate >= 115200  ? B115200
                    : s.BaudRate >= 57600 ? B57600
                    : s.BaudRate >= 38400 ? B38400
                    : s.BaudRate >= 19200 ? B19200
                                          : B9600;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= s.WordLength == 5 ? CS5 : s.WordLength == 6 ? CS6 : s.WordLength == 7 ? CS7 : CS8;
    if (s.Parity == 1)
        t.c_cflag |= PARENB | PARODD;
    else if (s.Parity == 2)
        t.c_cflag |= PARENB;
    if (s.StopBits != 0)
        t.c_cflag |= CSTOPB;
    if (s.RtsCtsFlow)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd_, TCSANOW, &t);
}

void TtyLine::Write(const uint8_t* data, size_t length) {
    std::lock_guard lock(writeMutex_);
    while (length > 0) {
        ssize_t n = ::write(fd_, data, length);
        if (n > 0) {
            data += n;
            length -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return; // the device does not take more: the rest is lost, as on a dead line
        } else {
            return;
        }
    }
}

size_t TtyLine::ReadAvailable(uint8_t* buffer, size_t capacity) {
    ssize_t n = ::read(fd_, buffer, capacity);
    return n > 0 ? size_t(n) : 0;
}

bool TtyLine::WaitReadable(int timeoutMs) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int r;
    do {
        r = ::poll(p, 2, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p[1].revents & POLLIN)) {
        uint8_t drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
        return false;
    }
    int pending = 0;
    if (r > 0 && (p[0].revents & (POLLHUP | POLLERR)) &&
        (::ioctl(fd_, FIONREAD, &pending) != 0 || pending == 0)) {
        // Nothing attached on the other side any more (a hung-up pseudo-terminal, an unplugged
        // adapter; poll then also reports POLLIN): wait like a silent line instead of spinning.
        pollfd w{wakeRead_, POLLIN, 0};
        ::poll(&w, 1, timeoutMs < 0 || timeoutMs > 100 ? 100 : timeoutMs);
        return false;
    }
    return r > 0 && (p[0].revents & POLLIN);
}

void TtyLine::Interrupt() {
    uint8_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &one, 1);
}

} // namespace sim
