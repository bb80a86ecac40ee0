// The whole input road on the kernel-services layer, as the device host runs it: the interface
// model on serial port 1, the simulated port, the transport's reader thread, the parser and its
// distribution, clients' reads.
//
//   stack_bench [EVENTS] [LATENCY-SAMPLES]
//
// Latency: one byte (a clock tick) put on the line by the model, until a client's waiting read
// has completed with it; median and 99th percentile.
// No loss under load: EVENTS numbered note messages (default one million) to four clients that
// keep reading and must each receive every one, in order; a fifth client reads once and then
// stops, so only it loses. The model keeps at most a few buffers' worth of events ahead of the
// slowest reader. Prints events per second and the longest a read waited; exits 1 on any loss,
// reordering or stall.
#include "devhost/driver_host.h"

#include <ks/system.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t kDeviceLink[] = u"\\??\\KorvaneMidiVr1";
constexpr int kReaders = 4;
// Events the model may be ahead of the slowest reader: well inside a client's seven buffers of
// sixty, however the serial reads cut the stream.
constexpr uint32_t kWindow = 200;

[[noreturn]] void Fail(const char* what, unsigned long long a = 0, unsigned long long b = 0) {
    std::fprintf(stderr, "stack_bench: ");
    std::fprintf(stderr, what, a, b);
    std::fprintf(stderr, "\n");
    std::exit(1);
}

// Note messages numbered modulo 2^18: channel, key and velocity carry the number.
void PutNumbered(std::vector<uint8_t>& out, uint32_t n) {
    out.push_back(uint8_t(0x90 | ((n >> 14) & 0x0F)));
    out.push_back(uint8_t((n >> 7) & 0x7F));
    out.push_back(uint8_t(n & 0x7F));
}
uint32_t NumberOf(uint32_t event) {
    return ((event & 0x0F) << 14) | ((event >> 8) & 0x7F) << 7 | ((event >> 16) & 0x7F);
}

struct Stack {
    devhost::DriverHost Host;
    std::shared_ptr<sim::SerialLine> Line;

    Stack() {
        devhost::HostOptions options;
        options.Ports.push_back({1, std::make_shared<sim::ModelLine>(), false});
        std::string error;
        if (!Host.Start(options, error))
            Fail("the device host did not start");
        Line = Host.Ports().Line(1);
    }
    ks::ClientHandle* Open() {
        ks::ClientHandle* handle = nullptr;
        if (!NT_SUCCESS(ks::ClientOpen(kDeviceLink, &handle)))
            Fail("the device did not open");
        return handle;
    }
    // The model sends these bytes on the line as they are.
    void Send(const uint8_t* bytes, size_t n) {
        auto* line = static_cast<sim::ModelLine*>(Line.get());
        {
            auto lock = line->ModelLock();
            line->Model()->Inject(bytes, n);
        }
        line->Notify();
    }
};

// Events of one completed read (none for System Exclusive pieces).
std::vector<uint32_t> EventsOf(const uint8_t* buffer, ULONG got) {
    std::vector<uint32_t> events;
    uint16_t type = uint16_t(buffer[4] | buffer[5] << 8);
    if (got < 16 || type != 4)
        return events;
    for (ULONG at = 16; at + 4 <= got; at += 4)
        events.push_back(buffer[at] | buffer[at + 1] << 8 | buffer[at + 2] << 16 |
                         uint32_t(buffer[at + 3]) << 24);
    return events;
}

void Latency(Stack& stack, int samples) {
    ks::ClientHandle* client = stack.Open();
    std::vector<double> waits(size_t(samples) + 1);
    std::atomic<int> count{0};
    std::atomic<bool> reading{false};
    std::atomic<long long> sentNs{0};
    std::thread reader([&] {
        uint8_t buffer[256];
        while (count <= samples) {
            ULONG got = 0;
            reading = true;
            if (!NT_SUCCESS(ks::ClientRead(client, buffer, sizeof buffer, &got)))
                Fail("a read failed");
            long long done = Clock::now().time_since_epoch().count();
            reading = false;
            if (!EventsOf(buffer, got).empty()) {
                waits[size_t(count.load())] = double(done - sentNs) / 1000.0;
                count++;
            }
        }
    });
    const uint8_t tick = 0xF8;
    // The first read has to wait before the client receives anything: tick until it has one.
    // That first sample is not counted.
    while (count == 0) {
        sentNs = Clock::now().time_since_epoch().count();
        stack.Send(&tick, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int i = 1; i <= samples; i++) {
        while (!reading)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(500)); // the read is waiting
        sentNs = Clock::now().time_since_epoch().count();
        stack.Send(&tick, 1);
        while (count <= i)
            std::this_thread::yield();
    }
    reader.join();
    ks::ClientClose(client);
    ks::DrainDeferred(); // the port's close finishes, so that the next open finds it free
    waits.erase(waits.begin());
    std::sort(waits.begin(), waits.end());
    std::printf("latency  model byte -> completed read (kernel layer): median %.1f us, p99 %.1f us"
                " (%d samples)\n",
                waits[waits.size() / 2], waits[waits.size() * 99 / 100], samples);
}

void NoLoss(Stack& stack, uint32_t total) {
    ks::ClientHandle* clients[kReaders + 1];
    for (auto& c : clients)
        c = stack.Open();
    std::atomic<uint32_t> progress[kReaders];
    std::atomic<int> warm{0};
    std::atomic<long long> longestWaitNs{0};
    std::mutex mutex;
    std::condition_variable moved;
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++) {
        progress[r] = 0;
        readers.emplace_back([&, r] {
            uint8_t buffer[256];
            bool warmed = false;
            uint32_t next = 0;
            while (next < total) {
                ULONG got = 0;
                Clock::time_point start = Clock::now();
                if (!NT_SUCCESS(ks::ClientRead(clients[r], buffer, sizeof buffer, &got)))
                    Fail("a read of reader %llu failed", r);
                long long waited = (Clock::now() - start).count();
                if (warmed && waited > longestWaitNs)
                    longestWaitNs = waited;
                for (uint32_t e : EventsOf(buffer, got)) {
                    if ((e & 0xFF) == 0xF8) { // the warm-up's clock ticks
                        warmed = warmed || (warm++, true);
                        continue;
                    }
                    if (NumberOf(e) != (next & 0x3FFFF))
                        Fail("reader got event %llx where number %llu was due", e, next);
                    next++;
                }
                progress[r].store(next);
                moved.notify_one();
            }
        });
    }
    // The fifth client: one read that waits (so it receives from then on), then no more.
    uint8_t idleBuffer[256];
    auto idleRead = ks::ClientReadAsync(clients[kReaders], idleBuffer, sizeof idleBuffer);

    // Clock ticks until every client receives; then the numbered events.
    const uint8_t tick = 0xF8;
    while (warm < kReaders || !idleRead->Completed()) {
        stack.Send(&tick, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Clock::time_point start = Clock::now();
    std::vector<uint8_t> bytes;
    uint32_t sent = 0;
    while (sent < total) {
        uint32_t slowest = total;
        for (auto& p : progress)
            slowest = std::min(slowest, p.load());
        if (sent - slowest >= kWindow) {
            std::unique_lock lock(mutex);
            if (!moved.wait_for(lock, std::chrono::seconds(5), [&] {
                    uint32_t s = total;
                    for (auto& p : progress)
                        s = std::min(s, p.load());
                    return sent - s < kWindow;
                }))
                Fail("stalled: %llu events sent, the slowest reader has %llu", sent, slowest);
            continue;
        }
        bytes.clear();
        uint32_t batch = std::min(kWindow - (sent - slowest), total - sent);
        for (uint32_t i = 0; i < batch; i++)
            PutNumbered(bytes, sent + i);
        stack.Send(bytes.data(), bytes.size());
        sent += batch;
    }
    for (auto& t : readers)
        t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // What the idle client kept: its first read's tick, then at most its seven buffers, in order.
    uint32_t kept = 0, next = 0;
    for (;;) {
        auto read = ks::ClientReadAsync(clients[kReaders], idleBuffer, sizeof idleBuffer);
        if (!read->Wait(50)) {
            read->Cancel();
            read->Wait(-1);
            break;
        }
        for (uint32_t e : EventsOf(idleBuffer, ULONG(read->Information()))) {
            if ((e & 0xFF) == 0xF8)
                continue;
            if (NumberOf(e) != (next & 0x3FFFF))
                Fail("the idle client's events are out of order at %llu", next);
            next++;
            kept++;
        }
    }
    for (auto& c : clients)
        ks::ClientClose(c);
    std::printf("no loss  %u events to %d reading clients, every one in order: %.0f events/s, "
                "longest read wait %.2f ms; the idle client kept %u\n",
                total, kReaders, total / seconds, longestWaitNs.load() / 1e6, kept);
}

} // namespace

int main(int argc, char** argv) {
    uint32_t events = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    int samples = argc > 2 ? std::atoi(argv[2]) : 2000;
    Stack stack;
    Latency(stack, samples);
    NoLoss(stack, events);
    std::string report = stack.Host.Stop();
    if (!report.empty())
        Fail("the driver left something at unload");
    return 0;
}
