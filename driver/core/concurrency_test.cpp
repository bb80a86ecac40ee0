// The parser running in its reader thread while clients read, cancel, open and close, and power
// requests switch activation. Built for ThreadSanitizer in the tsan tree (label tsan); the
// kernel-services layer's verifier catches a request completed twice, pool left behind at unload
// is reported by the rig.
#include "core/testing/device_rig.h"

#include <chrono>
#include <memory>
#include <random>
#include <thread>

namespace {

using varlo_test::DeviceRig;
using varlo_test::ReadBuffer;

constexpr ULONG kMessages = 16000; // numbered notes, 14-bit sequence in the two data bytes
// Notes in flight: at most two runs outstanding, each cut into at most three buffers (a full
// one, a rest, and a System Exclusive piece): within one client's seven.
constexpr ULONG kWindow = 20;
constexpr ULONG kReadSize = sizeof(DdMidiBuffer);

// A client that opens, maybe reads, then cancels, closes with the read waiting, or waits for it.
void Churn(unsigned start, const std::atomic<bool>& stop, std::atomic<int>& cycles) {
    std::mt19937 rng(start);
    while (!stop) {
        ks::ClientHandle* h = nullptr;
        if (ks::ClientOpen(varlo_test::kLinkName, &h) != STATUS_SUCCESS) {
            ADD_FAILURE() << "open failed";
            return;
        }
        ReadBuffer r;
        auto read = ks::ClientReadAsync(h, &r.buffer, kReadSize);
        switch (rng() % 3) {
            case 0:
                read->Cancel();
                break;
            case 1:
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
                break;
            default:
                read->Wait(5);
                break;
        }
        ks::ClientClose(h); // ends a read still waiting
        EXPECT_TRUE(read->Wait(5000));
        NTSTATUS s = read->Status();
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
        cycles++;
    }
}

TEST(ConcurrencyTest, ParserRunsWhileClientsComeAndGo) {
    DeviceRig rig;
    ks::ClientHandle* steady = rig.Open();
    // The first read makes the steady client a receiver before any input arrives.
    auto first = std::make_unique<ReadBuffer>();
    auto pending = ks::ClientReadAsync(steady, &first->buffer, kReadSize);

    std::atomic<bool> stop{false};
    std::atomic<ULONG> received{0};
    std::atomic<int> cycles{0};
    std::atomic<bool> readerDone{false}; // also when the reader gives up on a failure

    std::thread reader([&] {
        // The steady client: every numbered note arrives, in order.
        struct Done {
            std::atomic<bool>& flag;
            ~Done() { flag = true; }
        } done{readerDone};
        auto buffer = std::move(first);
        auto read = std::move(pending);
        while (received < kMessages) {
            if (!read->Wait(10000)) {
                ADD_FAILURE() << "steady read starved at " << received;
                read->Cancel();
                read->Wait(-1);
                return;
            }
            ASSERT_EQ(read->Status(), STATUS_SUCCESS);
            if (buffer->buffer.Type == DD_BUF_EVENTS) {
                for (ULONG e : buffer->Events()) {
                    if ((e & 0xF0) != 0x90)
                        continue;
                    ULONG seq = (e >> 8 & 0x7F) | (e >> 16 & 0x7F) << 7;
                    ASSERT_EQ(seq, received.load()) << "lost or reordered";
                    received++;
                }
            }
            if (received < kMessages)
                read = ks::ClientReadAsync(steady, &buffer->buffer, kReadSize);
        }
    });

    std::thread producer([&] {
        // The port's reader thread: short runs of notes under running status, clocks, active
        // sensing, now and then a short System Exclusive message.
        ULONG sent = 0;
        while (sent < kMessages && !readerDone) {
            if (sent - received.load() > kWindow) {
                std::this_thread::yield();
                continue;
            }
            std::vector<UCHAR> run{0x90};
            for (int i = 0; i < 20 && sent < kMessages; i++, sent++) {
                run.insert(run.end(), {(UCHAR)(sent & 0x7F), (UCHAR)(sent >> 7 & 0x7F)});
                if (i % 7 == 3)
                    run.insert(run.end(), {0xF8, 0xFE});
            }
            if (sent % 100 < 20)
                run.insert(run.end(), {0xF0, 0x7D, 0x01, 0x02, 0xF7});
            rig.Feed(run);
        }
    });

    std::thread churnA(Churn, 1u, std::cref(stop), std::ref(cycles));
    std::thread churnB(Churn, 2u, std::cref(stop), std::ref(cycles));
    std::thread power([&] {
        POWER_STATE s;
        while (!stop) {
            s.SystemState = PowerSystemSleeping1;
            ks::SendPower(rig.device, IRP_MN_QUERY_POWER, SystemPowerState, s);
            s.SystemState = PowerSystemWorking;
            ks::SendPower(rig.device, IRP_MN_SET_POWER, SystemPowerState, s);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    producer.join();
    reader.join();
    stop = true;
    churnA.join();
    churnB.join();
    power.join();

    EXPECT_EQ(received, kMessages);
    EXPECT_GT(cycles, 0);
    ks::ClientClose(steady);
    EXPECT_EQ(rig.ext->OpenCount, 0);
    EXPECT_EQ(rig.ext->Clients, nullptr);
    EXPECT_EQ(rig.lower.opens, rig.lower.closes);
}

} // namespace
