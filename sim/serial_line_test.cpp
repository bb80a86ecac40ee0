// The line providers: the model's answers and clock through a line, waking a waiting reader, and a
// real terminal device over a pseudo-terminal pair.
#include "sim/serial_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

// What arrives until `quietMs` pass without anything (the first wait `timeoutMs`), or until
// `enough` bytes are there.
Bytes ReadAll(sim::SerialLine& line, int timeoutMs, int quietMs = 20, size_t enough = SIZE_MAX) {
    Bytes out;
    while (out.size() < enough && line.WaitReadable(timeoutMs)) {
        uint8_t buffer[512];
        size_t n = line.ReadAvailable(buffer, sizeof buffer);
        out.insert(out.end(), buffer, buffer + n);
        timeoutMs = quietMs;
    }
    return out;
}

// A reader waiting without limit returns once the line is interrupted.
void ExpectInterruptWakesTheReader(sim::SerialLine& line) {
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        line.Interrupt();
    });
    EXPECT_FALSE(line.WaitReadable(-1));
    t.join();
}

} // namespace

TEST(ModelLine, AnswersAndRunsItsClockWhileAReaderWaits) {
    sim::ModelLine line;
    Bytes request = {0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7};
    line.Write(request.data(), request.size());
    Bytes reply = ReadAll(line, 1000);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(reply[5], 0x7B);

    {
        auto lock = line.ModelLock();
        line.Model()->Locate(1, {0, 0, 0, 0});
        line.Model()->SetLtcMode(1);
    }
    line.Notify();
    // Two frames at 25 frames a second: eight quarter frames within about 80 ms.
    Bytes mtc = ReadAll(line, 2000, 2000, 16);
    ASSERT_GE(mtc.size(), 16u); // cable 0 is still selected from the reply
    EXPECT_EQ(mtc[0], 0xF1);
    EXPECT_EQ(mtc[1], 0x00);
    EXPECT_EQ(mtc[15], 0x72); // piece 7: rate 1
}

TEST(SilentLine, NothingArrivesAndInterruptWakesTheReader) {
    sim::SilentLine line;
    EXPECT_FALSE(line.WaitReadable(10));
    ExpectInterruptWakesTheReader(line);
    sim::ModelLine quiet;
    ExpectInterruptWakesTheReader(quiet);
}

TEST(TtyLine, PseudoTerminalPair) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);

    std::string error;
    EXPECT_EQ(sim::TtyLine::Open("/nonexistent/tty", error), nullptr);
    EXPECT_NE(error.find("/nonexistent/tty"), std::string::npos);
    EXPECT_EQ(sim::TtyLine::Open("/dev/null", error), nullptr);
    EXPECT_NE(error.find("not a terminal"), std::string::npos);

    auto line = sim::TtyLine::Open(slave, error);
    ASSERT_NE(line, nullptr) << error;
    line->Configure({115200, 8, 0, 0, true});
    int probe = open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8)); // 8 bits, no parity, 1 stop
    EXPECT_EQ(t.c_lflag & ICANON, 0u);                               // raw: bytes pass unchanged
    close(probe);

    // Line to the far end, every byte value unchanged.
    Bytes out(256);
    std::iota(out.begin(), out.end(), 0);
    line->Write(out.data(), out.size());
    Bytes got;
    while (got.size() < out.size()) {
        pollfd p{master, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 2000), 0);
        uint8_t buffer[512];
        ssize_t n = read(master, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, out);

    // Far end to the line.
    Bytes in = {0xF5, 0x00, 0xF1, 0x17, 0x0A, 0x0D};
    ASSERT_EQ(write(master, in.data(), in.size()), ssize_t(in.size()));
    EXPECT_EQ(ReadAll(*line, 2000), in);

    ExpectInterruptWakesTheReader(*line);
    close(master);
    EXPECT_FALSE(line->WaitReadable(50)); // the far end gone: a silent line, not a busy one
}
