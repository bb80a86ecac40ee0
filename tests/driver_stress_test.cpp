// The driver on the real transport with the interface model behind a simulated serial port, with
// everything at once: clients opening and closing, reads and cancels, plays, activation requests,
// power requests, and at the end a removal with handles still open. Built for ThreadSanitizer
// in the tsan tree (label tsan); the kernel-services layer's verifier checks every request, lock
// and wait, and the unload reports pool and handles left behind.
#include "core/dd.h"
#include "sim/serial_port.h"
#include "transport/ntddmser.h"

#include <ks/hooks.h>
#include <ks/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr ULONG kMessages = 6000; // numbered notes, 14-bit sequence in the two data bytes
constexpr ULONG kWindow = 20;     // notes in flight: within one client's buffers
constexpr char16_t kLink[] = u"\\??\\KorvaneMidiVr1";

struct Device {
    sim::SerialPorts ports;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr, device = nullptr;

    Device() {
        ks::RegistryClear();
        std::string error;
        EXPECT_TRUE(ports.Create({{0, std::make_shared<sim::ModelLine>(), false}}, error)) << error;
        driver = ks::LoadDriver(u"VARLO2K", DriverEntry, nullptr, {{ks::Tag("Ddk ")}});
        pdo = ks::CreatePhysicalDevice();
        EXPECT_EQ(ks::AddDevice(driver, pdo), STATUS_SUCCESS);
        device = ks::TopOfStack(pdo);
        ks::SendPnp(device, IRP_MN_START_DEVICE, {}, STATUS_SUCCESS);
    }
    SmDevice* Transport() { return ((DdExtension*)device->DeviceExtension)->Context; }
    template <class F>
    auto WithModel(F f) {
        auto line = ports.Line(0);
        auto lock = line->ModelLock();
        return f(*line->Model());
    }
    void Inject(const Bytes& bytes) {
        auto line = std::static_pointer_cast<sim::ModelLine>(ports.Line(0));
        {
            auto lock = line->ModelLock();
            line->Model()->Inject(bytes.data(), bytes.size());
        }
        line->Notify();
    }
};

ks::ClientHandle* Open() {
    ks::ClientHandle* h = nullptr;
    EXPECT_EQ(ks::ClientOpen(kLink, &h), STATUS_SUCCESS);
    return h;
}

NTSTATUS Control(ks::ClientHandle* h, ULONG code, Bytes in, ULONG* returned = nullptr) {
    ULONG n = 0;
    NTSTATUS status =
        ks::ClientDeviceIoControl(h, code, in.data(), ULONG(in.size()), nullptr, 0, &n);
    if (returned)
        *returned = n;
    return status;
}

Bytes Play(uint16_t type, const Bytes& data) {
    Bytes b(16, 0);
    b[4] = uint8_t(type);
    b[14] = uint8_t(data.size());
    b[15] = uint8_t(data.size() >> 8);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Repeats `step` with a generator of its own until stop.
template <class F>
std::thread Loop(unsigned start, const std::atomic<bool>& stop, F step) {
    return std::thread([start, &stop, step]() mutable {
        std::mt19937 rng(start);
        while (!stop)
            step(rng);
    });
}

TEST(DriverStressTest, EverythingAtOnceThenRemovalWithHandlesOpen) {
    auto began = std::chrono::steady_clock::now();
    Device dev;
    ks::ClientHandle* steady = Open();
    ks::ClientHandle* player = Open();
    DdMidiBuffer buffer;
    auto read = ks::ClientReadAsync(steady, &buffer, sizeof buffer); // a receiver from now on

    std::atomic<bool> stop{false};
    std::atomic<ULONG> received{0};
    std::vector<std::thread> threads;
    threads.push_back(Loop(1, stop, [&](std::mt19937& rng) { // clients come and go
        ks::ClientHandle* h = Open();
        DdMidiBuffer b;
        auto r = ks::ClientReadAsync(h, &b, sizeof b);
        if (rng() % 2)
            r->Cancel();
        ks::ClientClose(h);
        EXPECT_TRUE(r->Wait(5000));
    }));
    threads.push_back(Loop(2, stop, [&](std::mt19937& rng) { // plays: events and streams
        ULONG n = 0;
        Bytes stream = {0xF0, 0x7D};
        stream.resize(2 + rng() % 600, 0x11);
        stream.push_back(0xF7);
        EXPECT_EQ(Control(player, IOCTL_DD_MIDI_PLAY, Play(2, stream), &n), STATUS_SUCCESS);
        Bytes events;
        for (uint32_t e : {0x01403C90u, 0x01003C80u, 0x020005C1u})
            events.insert(events.end(),
                          {uint8_t(e), uint8_t(e >> 8), uint8_t(e >> 16), uint8_t(e >> 24)});
        EXPECT_EQ(Control(player, IOCTL_DD_MIDI_PLAY, Play(4, events)), STATUS_SUCCESS);
    }));
    threads.push_back(Loop(3, stop, [&](std::mt19937& rng) { // activation requests
        EXPECT_EQ(Control(player, IOCTL_DD_ACTIVATE, {uint8_t(rng() % 2), 0, 0, 0}),
                  STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
    }));
    threads.push_back(Loop(5, stop, [&, cycle = 0](std::mt19937& rng) mutable {
        // CTS stalls, every other one longer than a write's time-out
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sim::PortFaults faults;
        faults.CtsOff = true;
        dev.ports.SetFaults(0, faults);
        std::this_thread::sleep_for(std::chrono::milliseconds(cycle++ % 2 ? rng() % 100 : 1200));
        dev.ports.SetFaults(0, {});
    }));
    threads.push_back(Loop(4, stop, [&](std::mt19937& rng) { // power: query and set
        POWER_STATE s;
        static const SYSTEM_POWER_STATE states[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                    PowerSystemSleeping3};
        s.SystemState = states[rng() % 3];
        UCHAR minor = rng() % 2 ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER;
        EXPECT_EQ(ks::SendPower(dev.device, minor, SystemPowerState, s).status, STATUS_SUCCESS);
    }));

    // The producer feeds numbered notes while the steady client reads them all, in order.
    ULONG sent = 0;
    while (received < kMessages) {
        if (sent < kMessages && sent - received < kWindow) {
            Bytes run{0x90};
            for (int i = 0; i < 10 && sent < kMessages; i++, sent++)
                run.insert(run.end(), {uint8_t(sent & 0x7F), uint8_t(sent >> 7 & 0x7F), 0xF8});
            dev.Inject(run);
        }
        if (!read->Wait(sent - received < kWindow ? 0 : 10000)) {
            if (sent - received >= kWindow) {
                ADD_FAILURE() << "steady read starved at " << received;
                break;
            }
            continue;
        }
        ASSERT_EQ(read->Status(), STATUS_SUCCESS);
        if (buffer.Type == DD_BUF_EVENTS) {
            for (ULONG i = 0; i + 4 <= buffer.Length; i += 4) {
                ULONG e;
                std::memcpy(&e, buffer.Data + i, 4);
                if ((e & 0xF0) != 0x90)
                    continue;
                ASSERT_EQ((e >> 8 & 0x7F) | (e >> 16 & 0x7F) << 7, received.load()) << "lost";
                received++;
            }
        }
        read = ks::ClientReadAsync(steady, &buffer, sizeof buffer);
    }
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(received, kMessages);
    EXPECT_GT(dev.Transport()->DroppedBytes, 0); // a stall outlasted a write's time-out

    // Removal with both handles open, a read waiting and 2000-byte plays streaming, each write
    // held up on its way to the serial port: the read ends, the plays stop reaching the port,
    // later requests touch nothing, the interface is left in patch mode.
    std::this_thread::sleep_for(std::chrono::milliseconds(SM_STALL_HOLD_MS)); // past any stall
    ASSERT_EQ(Control(player, IOCTL_DD_ACTIVATE, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_TRUE(dev.WithModel([](sim::InterfaceModel& m) { return m.ComputerMode(); }));
    LONG dropped = dev.Transport()->DroppedBytes;
    stop = false;
    std::thread plays([&] {
        Bytes sysex(2000, 0x22);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        while (!stop)
            EXPECT_EQ(Control(player, IOCTL_DD_MIDI_PLAY, Play(2, sysex)), STATUS_SUCCESS);
    });
    {
        ks::HookMatch toPort{.point = ks::HookPoint::CallDriver,
                             .object = ks::FindDevice(u"\\Device\\Serial0")};
        ks::Delay slow(toPort, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(ks::SendPnp(dev.device, IRP_MN_REMOVE_DEVICE, {}, STATUS_SUCCESS).status,
                  STATUS_SUCCESS);
    }
    uint64_t written = dev.ports.Settings(0).BytesWritten;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    plays.join();
    EXPECT_TRUE(read->Wait(5000));
    EXPECT_EQ(read->Status(), STATUS_DELETE_PENDING);
    EXPECT_FALSE(dev.WithModel([](sim::InterfaceModel& m) { return m.ComputerMode(); }));
    EXPECT_EQ(Control(player, IOCTL_DD_MIDI_PLAY, Play(4, {0x90, 0x3C, 0x40, 0x01})),
              STATUS_SUCCESS);
    ULONG n = 0;
    EXPECT_EQ(ks::ClientRead(steady, &buffer, sizeof buffer, &n), STATUS_DELETE_PENDING);
    EXPECT_EQ(dev.ports.Settings(0).BytesWritten, written);
    ks::DrainDeferred(); // the serial port's close was deferred past the open mutex
    EXPECT_FALSE(dev.ports.Settings(0).Open);
    ks::ClientClose(steady);
    ks::ClientClose(player);
    ks::DrainDeferred();
    EXPECT_EQ(ks::UnloadDriver(dev.driver), "");
    ks::DeletePhysicalDevice(dev.pdo);
    dev.ports.Destroy();
    std::printf("%u events to the steady client, %u bytes dropped, %lld ms\n", received.load(),
                unsigned(dropped),
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - began)
                    .count());
}

} // namespace
