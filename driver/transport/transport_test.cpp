// The serial transport, the interface functions and the device control interface, run as the
// device host runs them: the driver on the kernel-services layer with simulated serial ports.
#include "devhost/driver_host.h"

#include "core/dd.h"
#include "transport/ntddmser.h"

#include <ks/hooks.h>
#include <ks/system.h>
#include <ntddser.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <future>
#include <optional>
#include <random>
#include <cstring>
#include <thread>

using Bytes = std::vector<uint8_t>;

namespace {

const std::u16string kKey = ks::ServiceKeyPath(u"VARLO2K");
const Bytes kRequestConfig = {0xF0, 0x63, 0x60, 0x0B, 0x00, 0xF7};
const Bytes kComputerMode = {0xF0, 0x63, 0x60, 0x0F, 0x7F, 0xF7};
const Bytes kPatchMode = {0xF0, 0x63, 0x60, 0x10, 0x7F, 0xF7};

sim::PortSetup ModelPort(uint32_t n, int version = 123) {
    return {n, std::make_shared<sim::ModelLine>(sim::ModelOptions{.FirmwareVersion = version}),
            false};
}
sim::PortSetup SilentPort(uint32_t n) {
    return {n, std::make_shared<sim::SilentLine>(), false};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes PlayBuffer(uint16_t type, uint16_t port, uint16_t cable, const Bytes& data, int length = -1) {
    Bytes b(16, 0);
    b[4] = uint8_t(type);
    b[6] = uint8_t(port);
    b[12] = uint8_t(cable);
    uint16_t n = uint16_t(length < 0 ? data.size() : size_t(length));
    b[14] = uint8_t(n);
    b[15] = uint8_t(n >> 8);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes Events(std::initializer_list<uint32_t> events) {
    Bytes b;
    for (uint32_t e : events)
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(e >> (8 * i)));
    return b;
}

// Repeats step with a generator of its own until stop.
template <class F>
std::thread Loop(unsigned start, const std::atomic<bool>& stop, F step) {
    return std::thread([start, &stop, step]() mutable {
        std::mt19937 rng(start);
        while (!stop)
            step(rng);
    });
}

struct TransportTest : ::testing::Test {
    devhost::DriverHost host;
    std::vector<ks::ClientHandle*> handles;

    void Start(std::vector<sim::PortSetup> ports, bool multiChain = false,
               std::optional<uint32_t> previousPort = {}) {
        ks::RegistryClear();
        if (previousPort) {
            ks::RegistryCreateKey(kKey);
            ks::RegistrySetDword(kKey, u"PreviousPort", *previousPort);
        }
        std::string error;
        ASSERT_TRUE(host.Start({.Ports = std::move(ports), .MultiChain = multiChain}, error))
            << error;
    }
    void TearDown() override {
        for (ks::ClientHandle* h : handles)
            ks::ClientClose(h);
        EXPECT_EQ(host.Stop(), "");
    }
    NTSTATUS Open(ks::ClientHandle** h = nullptr) {
        ks::ClientHandle* handle = nullptr;
        NTSTATUS status = ks::ClientOpen(u"\\??\\KorvaneMidiVr1", &handle);
        if (NT_SUCCESS(status)) {
            if (h)
                *h = handle;
            else
                handles.push_back(handle);
        }
        return status;
    }
    void Close(ks::ClientHandle* h) { ks::ClientClose(h); }
    ks::ClientHandle* First() { return handles.at(0); }

    template <class F>
    auto WithModel(uint32_t n, F f) {
        auto line = host.Ports().Line(n);
        auto lock = line->ModelLock();
        return f(*line->Model());
    }
    // What the computer has written to the model on serial port n.
    Bytes Line(uint32_t n) {
        return WithModel(n, [](sim::InterfaceModel& m) { return m.Line(); });
    }
    // The line since the last look, cleared for the next check.
    Bytes TakeLine(uint32_t n) {
        return WithModel(n, [](sim::InterfaceModel& m) {
            Bytes bytes = m.Line();
            m.ClearRecords();
            return bytes;
        });
    }
    bool ComputerMode() {
        return WithModel(0, [](sim::InterfaceModel& m) { return m.ComputerMode(); });
    }
    void Inject(uint32_t n, const Bytes& bytes) {
        auto line = std::static_pointer_cast<sim::ModelLine>(host.Ports().Line(n));
        {
            auto lock = line->ModelLock();
            line->Model()->Inject(bytes.data(), bytes.size());
        }
        line->Notify();
    }
    NTSTATUS Ioctl(ks::ClientHandle* h, uint32_t code, const Bytes& in, Bytes* out,
                   ULONG* returned = nullptr, bool* fast = nullptr) {
        ULONG n = 0;
        NTSTATUS status = ks::ClientDeviceIoControl(h, code, in.empty() ? nullptr : in.data(),
                                                    ULONG(in.size()), out ? out->data() : nullptr,
                                                    out ? ULONG(out->size()) : 0, &n, fast);
        if (returned)
            *returned = n;
        return status;
    }
    // A request with the caller's buffers as they are (a faulting one, say).
    NTSTATUS Raw(uint32_t code, void* in, ULONG inLength, void* out = nullptr,
                 ULONG outLength = 0) {
        ULONG n = 0;
        return ks::ClientDeviceIoControl(First(), code, in, inLength, out, outLength, &n);
    }
    NTSTATUS Play(const Bytes& buffer, ULONG* taken = nullptr) {
        return Ioctl(First(), IOCTL_DD_MIDI_PLAY, buffer, nullptr, taken);
    }
    // The capabilities: a fast request that fills the whole record.
    DdCaps Caps() {
        Bytes caps(sizeof(DdCaps));
        ULONG returned = 0;
        bool fast = false;
        EXPECT_EQ(Ioctl(First(), IOCTL_DD_GET_CAPS, {}, &caps, &returned, &fast), STATUS_SUCCESS);
        EXPECT_TRUE(fast);
        EXPECT_EQ(returned, sizeof(DdCaps));
        DdCaps record;
        std::memcpy(&record, caps.data(), sizeof record);
        return record;
    }
    ks::IoResult Power(UCHAR minor, SYSTEM_POWER_STATE state) {
        return ks::SendPower(Device(), minor, SystemPowerState, {.SystemState = state});
    }
    // The serial file is closed once its last reference is gone (perhaps in a moment).
    bool PortClosed(uint32_t n) {
        for (int i = 0; i < 100 && host.Ports().Settings(n).Open; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !host.Ports().Settings(n).Open;
    }
    PDEVICE_OBJECT Device() { return ks::FindDevice(u"\\Device\\KorvaneMidiVr0"); }
    LONG Dropped() { return ((DdExtension*)Device()->DeviceExtension)->Context->DroppedBytes; }
    void SetCts(bool on) { host.Ports().SetFaults(0, {.CtsOff = !on}); }
    // Runs f in a thread and ends the test program when it has not finished within a generous
    // bound: the driver hangs.
    template <class F>
    void MustFinish(F f) {
        auto done = std::async(std::launch::async, f);
        if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            std::fprintf(stderr, "a request did not finish: the driver hangs\n");
            std::_Exit(1);
        }
    }
    std::optional<uint32_t> Value(const std::u16string& name) {
        return ks::RegistryGetDword(kKey, name);
    }
};

// What a last close sends on the cable selected last: all notes off on every channel, then
// patch mode.
Bytes NotesOffThenPatchMode(uint8_t cable) {
    Bytes bytes = {0xF5, cable};
    for (uint8_t ch = 0; ch < 16; ++ch)
        bytes.insert(bytes.end(), {uint8_t(0xB0 | ch), 0x7B, 0x00});
    return Concat({bytes, kPatchMode});
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

} // namespace

TEST_F(TransportTest, RememberedPortFirstConfiguredProbedAndActivated) {
    Start({SilentPort(0), ModelPort(3)}, false, 3);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(host.Ports().Settings(0).Opens, 0u); // the search did not look further
    sim::PortSettings s = host.Ports().Settings(3);
    EXPECT_EQ(s.Requests,
              (std::vector<uint32_t>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_QUEUE_SIZE,
                                     IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW,
                                     IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS,
                                     IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_GET_HANDFLOW,
                                     IOCTL_SERIAL_SET_HANDFLOW}));
    // 115200 baud 8N1, a 2048-byte input queue, reads that return what is there, CTS output
    // flow control with RTS on, the XON limit as read back; writes get about a second per chunk.
    EXPECT_EQ((std::vector<uint32_t>{s.BaudRate, s.InQueue, s.WordLength, s.Parity, s.StopBits,
                                     s.ReadInterval, s.ReadMultiplier, s.ReadConstant,
                                     s.ControlHandShake, s.FlowReplace, uint32_t(s.XonLimit),
                                     s.WriteConstant + 256 * s.WriteMultiplier}),
              (std::vector<uint32_t>{115200, 2048, 8, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE,
                                     SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 256, 1012}));
    EXPECT_EQ(Line(3), Concat({kRequestConfig, kComputerMode}));
    EXPECT_EQ(Value(u"PreviousPort"), 3u);

    // Capabilities, clients.
    DdCaps record = Caps();
    EXPECT_EQ((std::vector<ULONG>{record.InCables, record.OutCables, record.Count,
                                  ULONG(record.Entries[0].Id), ULONG(record.Entries[1].Id)}),
              (std::vector<ULONG>{3, 5, 1, 123, 0}));
    EXPECT_STREQ(record.Entries[0].Name, "Korvane Varlo");
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Bytes four(4);
    ASSERT_EQ(Ioctl(First(), IOCTL_DD_NUM_CLIENTS, {}, &four), STATUS_SUCCESS);
    EXPECT_EQ(four, (Bytes{2, 0, 0, 0}));
}

TEST_F(TransportTest, NoInterfaceNotesTheFailedPortsAndFails) {
    Start({SilentPort(0), {1, nullptr, true}, SilentPort(2)}); // port 1 in use
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Open(), STATUS_NOT_FOUND);
    EXPECT_GE(MillisecondsSince(start), 2 * 700); // two silent ports probed and given up
    // Ports 3 to 8 could not be opened; 0 to 2 are there (1 in use: no note either).
    for (char16_t n = u'0'; n <= u'9'; ++n)
        EXPECT_EQ(Value(std::u16string(u"OpenError") + n).has_value(), n >= u'3' && n <= u'8')
            << char(n);
    EXPECT_FALSE(Value(u"PreviousPort"));
    EXPECT_TRUE(PortClosed(0)); // closed again
}

TEST_F(TransportTest, PlaysGoOutWithCableSelectionFaultsAreReportedInputIsRead) {
    Start({ModelPort(0)});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    TakeLine(0);
    ULONG taken = 0;
    ASSERT_EQ(Play(PlayBuffer(4, 0, 0, Events({0x01403C90, 0x01403C91})), &taken), STATUS_SUCCESS);
    EXPECT_EQ(taken, 8u);
    EXPECT_EQ(TakeLine(0), (Bytes{0xF5, 0x01, 0x90, 0x3C, 0x40, 0x91, 0x3C, 0x40}));

    // Same status twice: running status; a program change between forces the status again.
    Play(PlayBuffer(4, 0, 0, Events({0x01403C91, 0x01004091, 0x010005C1, 0x01403C91})));
    EXPECT_EQ(TakeLine(0), (Bytes{0x3C, 0x40, 0x40, 0x00, 0xC1, 0x05, 0x91, 0x3C, 0x40}));

    // Another cable: F5 02 and the status byte again.
    Play(PlayBuffer(4, 0, 0, Events({0x02403C91})));
    EXPECT_EQ(TakeLine(0), (Bytes{0xF5, 0x02, 0x91, 0x3C, 0x40}));

    // System common never uses running status (a receiver clears it after F2); real-time
    // leaves the channel's running status in place; a status below 80, or the cable selection
    // byte F5, is not sent.
    Play(PlayBuffer(4, 0, 0,
                    Events({0x02000AF2, 0x02000BF2, 0x020000F8, 0x02403C91, 0x02403C12, 0x020004F5,
                            0x02403C91})));
    EXPECT_EQ(TakeLine(0),
              (Bytes{0xF2, 0x0A, 0x00, 0xF2, 0x0B, 0x00, 0xF8, 0x91, 0x3C, 0x40, 0x3C, 0x40}));

    // Ten bytes of events: two are sent, two bytes ignored; a buffer of exactly 16 bytes is a
    // length mismatch; 17 bytes with Length 0 sends nothing; type 0 and 5 send nothing.
    ASSERT_EQ(Play(PlayBuffer(4, 0, 0, Concat({Events({0x02003C81, 0x02003C81}), {1, 2}})), &taken),
              STATUS_SUCCESS);
    EXPECT_EQ(taken, 8u);
    EXPECT_EQ(Play(PlayBuffer(4, 0, 0, {})), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Play(PlayBuffer(4, 0, 0, {0}, 0), &taken), STATUS_SUCCESS);
    EXPECT_EQ(taken, 0u);
    Play(PlayBuffer(0, 0, 0, Events({0x02403C90})));
    Play(PlayBuffer(5, 0, 0, Events({0x02403C90})));
    // A request for a second interface that is not there writes nothing and succeeds.
    EXPECT_EQ(Play(PlayBuffer(4, 1, 0, Events({0x02403C90}))), STATUS_SUCCESS);
    EXPECT_EQ(TakeLine(0), (Bytes{0x81, 0x3C, 0x00, 0x3C, 0x00}));

    // Deactivated: patch mode, plays dropped; activated again without a new probe.
    Bytes state(4);
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(First(), IOCTL_DD_ACTIVATE, {0, 0, 0, 0}, nullptr, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    ASSERT_EQ(Ioctl(First(), IOCTL_DD_GET_STATE, {}, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, (Bytes{0, 0, 0, 0}));
    taken = 1;
    EXPECT_EQ(Play(PlayBuffer(4, 0, 0, Events({0x00403C90})), &taken), STATUS_SUCCESS);
    EXPECT_EQ(taken, 0u);
    Ioctl(First(), IOCTL_DD_ACTIVATE, {1, 0, 0, 0}, nullptr);
    ASSERT_EQ(Ioctl(First(), IOCTL_DD_GET_STATE, {}, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(TakeLine(0), Concat({kPatchMode, kComputerMode})); // no new probe

    // Streams are written in chunks of 256 bytes.
    Bytes sysex = {0xF0, 0x41};
    sysex.insert(sysex.end(), 597, 0x11);
    sysex.push_back(0xF7);
    size_t writesBefore = host.Ports().Settings(0).WriteSizes.size();
    ASSERT_EQ(Play(PlayBuffer(2, 0, 3, sysex), &taken), STATUS_SUCCESS);
    EXPECT_EQ(taken, 600u);
    std::vector<uint32_t> sizes = host.Ports().Settings(0).WriteSizes;
    EXPECT_EQ(std::vector<uint32_t>(sizes.begin() + long(writesBefore), sizes.end()),
              (std::vector<uint32_t>{2, 256, 256, 88}));
    EXPECT_EQ(TakeLine(0), Concat({{0xF5, 0x03}, sysex}));

    // A stream clears running status: the next note goes out with its status.
    Play(PlayBuffer(4, 0, 0, Events({0x03403C90, 0x03403C90})));
    Play(PlayBuffer(1, 0, 3, {0xF0, 0x01}));
    Play(PlayBuffer(4, 0, 0, Events({0x03403C90})));
    EXPECT_EQ(TakeLine(0), (Bytes{0x90, 0x3C, 0x40, 0x3C, 0x40, 0xF0, 0x01, 0x90, 0x3C, 0x40}));

    // A caller's buffer that faults after `readable` bytes: in the header, part-way through
    // events, in the stream data.
    ASSERT_EQ(Ioctl(First(), IOCTL_DD_MIDI_PLAY, {}, nullptr), STATUS_INFO_LENGTH_MISMATCH);
    for (const auto& [buffer, readable] :
         {std::pair{Bytes(64), 8},
          {PlayBuffer(4, 0, 0, Events({0x03403C90, 0x03403C91})), 20},
          {PlayBuffer(2, 0, 3, Bytes(300, 0x22)), 200}}) {
        ks::FaultingBuffer faulting(buffer.size(), size_t(readable));
        std::memcpy(faulting.data(), buffer.data(), size_t(readable));
        EXPECT_EQ(Raw(IOCTL_DD_MIDI_PLAY, faulting.data(), ULONG(buffer.size())),
                  STATUS_ACCESS_VIOLATION)
            << readable;
    }
    EXPECT_EQ(TakeLine(0), Bytes{}); // nothing of the faulting stream went out

    // The read codes and ACTIVATE fault the same way; wrong lengths are mismatches.
    for (uint32_t code : {IOCTL_DD_GET_CAPS, IOCTL_DD_GET_STATE, IOCTL_DD_NUM_CLIENTS}) {
        ULONG size = code == IOCTL_DD_GET_CAPS ? sizeof(DdCaps) : 4;
        ks::FaultingBuffer none(size, 0);
        EXPECT_EQ(Raw(code, nullptr, 0, none.data(), size), STATUS_ACCESS_VIOLATION) << code;
        Bytes wrong(size + 1);
        EXPECT_EQ(Ioctl(First(), code, {}, &wrong), STATUS_INFO_LENGTH_MISMATCH);
    }
    ks::FaultingBuffer out(sizeof(DdCaps), 100), activate(4, 0);
    EXPECT_EQ(Raw(IOCTL_DD_GET_CAPS, nullptr, 0, out.data(), sizeof(DdCaps)),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Raw(IOCTL_DD_ACTIVATE, activate.data(), 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Ioctl(First(), IOCTL_DD_ACTIVATE, {0, 0}, nullptr), STATUS_INFO_LENGTH_MISMATCH);

    // Other codes are refused as requests.
    bool fast = true;
    EXPECT_EQ(Ioctl(First(), 0x001D4000, {}, nullptr, nullptr, &fast),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(fast);

    // Input reaches a waiting read; the reply to a state request is an ordinary System
    // Exclusive message for the clients. (Cables and running status per cable, probe replies
    // swallowed, reads left waiting at the last close: the parser's, the interface functions'
    // and the clients' tests.)
    uint8_t buffer[256];
    auto read = ks::ClientReadAsync(First(), buffer, sizeof buffer);
    EXPECT_FALSE(read->Wait(50));
    Inject(0, {0xF5, 0x02, 0x90, 0x3C, 0x40});
    ASSERT_TRUE(read->Wait(5000));
    ASSERT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buffer + 16, buffer + read->Information()), Events({0x02403C90}));
    read = ks::ClientReadAsync(First(), buffer, sizeof buffer);
    Inject(0, {0xF0, 0x63, 0x60, 0x7B, 0x00, 1, 2, 0, '1', '2', '3', 0xF7});
    ASSERT_TRUE(read->Wait(5000));
    EXPECT_EQ(buffer[4], 2);
    EXPECT_EQ(buffer[14], 12);
}

TEST_F(TransportTest, ClosingSendsNotesOffThenPatchModeToThatPortOnly) {
    // Two interfaces and a port between them that answers version 0, which is no answer: that
    // port is told nothing more, and its failed probe must not deactivate port 0.
    Start({ModelPort(0), ModelPort(1, 0), ModelPort(2, 222)}, true);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Line(0), Concat({kRequestConfig, kComputerMode}));
    EXPECT_EQ(Line(1), kRequestConfig);
    DdCaps caps = Caps();
    EXPECT_EQ(
        (std::vector<ULONG>{caps.Count, ULONG(caps.Entries[0].Id), ULONG(caps.Entries[1].Id)}),
        (std::vector<ULONG>{2, 123, 222}));
    TakeLine(0);
    TakeLine(2);
    Play(PlayBuffer(4, 0, 0, Events({0x00403C90})));
    Play(PlayBuffer(4, 1, 0, Events({0x01403C90})));
    EXPECT_EQ(TakeLine(0), (Bytes{0xF5, 0x00, 0x90, 0x3C, 0x40}));
    EXPECT_EQ(TakeLine(2), (Bytes{0xF5, 0x01, 0x90, 0x3C, 0x40}));

    auto start = std::chrono::steady_clock::now();
    ks::ClientClose(First());
    handles.clear();
    EXPECT_GE(MillisecondsSince(start), 2 * 200);
    EXPECT_EQ(TakeLine(0), NotesOffThenPatchMode(0));
    EXPECT_EQ(TakeLine(2), NotesOffThenPatchMode(0));
    EXPECT_TRUE(PortClosed(0));
    EXPECT_TRUE(PortClosed(2));
}

TEST_F(TransportTest, PowerChangesWaitWhileTheLastCloseAndTheNextOpenRun) {
    // The last close is held in its notes-off pause while the next client's open waits and
    // power requests keep switching: none of them may touch the half-closed port.
    Start({ModelPort(0)});
    ks::ClientHandle* first = nullptr;
    ASSERT_EQ(Open(&first), STATUS_SUCCESS);
    TakeLine(0);
    ks::Hold pause({.point = ks::HookPoint::Delay});
    std::thread closer([&] { Close(first); });
    ASSERT_TRUE(pause.WaitHeld());
    std::atomic<bool> stop{false};
    std::thread power([&] {
        for (bool sleep = true; !stop; sleep = !sleep) {
            Power(IRP_MN_SET_POWER, sleep ? PowerSystemSleeping1 : PowerSystemWorking);
            // (Paced: the layer keeps only the last 256 freed packets for a completion still
            // unwinding on another thread.)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // (The serial port's own close may still be under way when the next open searches: then
    // that open fails and the port stays closed.)
    std::thread second([&] { Open(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pause.Release();
    closer.join();
    second.join();
    stop = true;
    power.join();
    Bytes expected = NotesOffThenPatchMode(0);
    if (!handles.empty())
        expected = Concat({expected, kRequestConfig});
    Bytes line = TakeLine(0);
    ASSERT_GE(line.size(), expected.size());
    EXPECT_EQ(Bytes(line.begin(), line.begin() + long(expected.size())), expected);
}

TEST_F(TransportTest, CtsHeldOffBoundsPowerPlayAndClose) {
    Start({ModelPort(0)});
    ks::ClientHandle* h = nullptr;
    ASSERT_EQ(Open(&h), STATUS_SUCCESS);
    TakeLine(0);
    auto power = [&](UCHAR minor, SYSTEM_POWER_STATE s) {
        return [=, this] { EXPECT_EQ(Power(minor, s).status, STATUS_SUCCESS); };
    };
    const SYSTEM_POWER_STATE sleeping = PowerSystemSleeping3, working = PowerSystemWorking;

    // CTS stays off: the query for sleep finishes, its patch-mode message counted as dropped (the
    // interface stays in computer mode, and the driver knows it); a long stream stops at its
    // first chunk and drops the rest.
    SetCts(false);
    MustFinish(power(IRP_MN_QUERY_POWER, sleeping));
    EXPECT_EQ(Dropped(), 6);
    EXPECT_TRUE(ComputerMode());
    SetCts(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(SM_STALL_HOLD_MS + 100));
    MustFinish(power(IRP_MN_SET_POWER, working));
    SetCts(false);
    ULONG taken = 0;
    MustFinish([&] {
        Ioctl(h, IOCTL_DD_MIDI_PLAY, PlayBuffer(2, 0, 1, Bytes(2000, 0x22)), nullptr, &taken);
    });
    EXPECT_EQ(taken, 2000u);
    EXPECT_EQ(Dropped(), 6 + 2 + 2000); // the cable selection went first
    EXPECT_EQ(TakeLine(0), Bytes{});

    // CTS back: output works again (the cable selected anew); a patch-mode message that waits
    // for CTS goes out when it returns.
    SetCts(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(SM_STALL_HOLD_MS + 100));
    Ioctl(h, IOCTL_DD_MIDI_PLAY, PlayBuffer(4, 0, 0, Events({0x01403C90})), nullptr);
    EXPECT_EQ(TakeLine(0), (Bytes{0xF5, 0x01, 0x90, 0x3C, 0x40}));
    SetCts(false);
    auto query = std::async(std::launch::async, power(IRP_MN_QUERY_POWER, sleeping));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetCts(true);
    query.wait();
    EXPECT_FALSE(ComputerMode());
    MustFinish(power(IRP_MN_SET_POWER, working));

    // A port that ignores its write time-outs: the driver cancels the write itself.
    ASSERT_EQ(host.Ports().FaultCommand(0, "cts-off no-write-timeouts"), "ok");
    LONG before = Dropped();
    MustFinish(
        [&] { Ioctl(h, IOCTL_DD_MIDI_PLAY, PlayBuffer(2, 0, 1, Bytes(600, 0x22)), nullptr); });
    EXPECT_EQ(Dropped() - before, 600); // cable 1 is selected already
    ASSERT_EQ(host.Ports().FaultCommand(0, "write-timeouts"), "ok");

    // The last close with CTS off.
    SetCts(false);
    MustFinish([&] { Close(h); });
    EXPECT_TRUE(PortClosed(0));
    SetCts(true);
}

// Everything at once on the real transport: clients opening and closing, reads and cancels,
// plays, activation and power requests, CTS stalls; then a removal with handles open while
// plays stream, each write held up on its way to the port. Every numbered note reaches the
// client that keeps reading, in order. Also run under ThreadSanitizer (tsan tree).
TEST_F(TransportTest, StressThenRemovalWithHandlesOpen) {
    constexpr ULONG kMessages = 6000; // numbered notes, 14-bit sequence in the two data bytes
    constexpr ULONG kWindow = 20;     // notes in flight: within one client's buffers
    Start({ModelPort(0)});
    ks::ClientHandle *steady = nullptr, *player = nullptr;
    ASSERT_EQ(Open(&steady), STATUS_SUCCESS);
    ASSERT_EQ(Open(&player), STATUS_SUCCESS);
    // Both keep reading (receivers from their first read on) and must see every note in order.
    struct Reader {
        ks::ClientHandle* handle;
        DdMidiBuffer buffer;
        std::unique_ptr<ks::PendingRequest> read;
        ULONG received = 0;
        void Start() { read = ks::ClientReadAsync(handle, &buffer, sizeof buffer); }
        // Takes the notes of a completed read and reads again; false when none completed.
        bool Take(int waitMs) {
            if (!read->Wait(waitMs))
                return false;
            EXPECT_EQ(read->Status(), STATUS_SUCCESS);
            for (ULONG i = 0; buffer.Type == DD_BUF_EVENTS && i + 4 <= buffer.Length; i += 4) {
                ULONG e;
                std::memcpy(&e, buffer.Data + i, 4);
                if ((e & 0xF0) != 0x90)
                    continue;
                ULONG seq = (e >> 8 & 0x7F) | (e >> 16 & 0x7F) << 7;
                EXPECT_EQ(seq, received) << "lost or reordered";
                received = seq + 1;
            }
            Start();
            return true;
        }
    } readers[2] = {{steady, {}, {}}, {player, {}, {}}};
    for (Reader& r : readers)
        r.Start();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.push_back(Loop(1, stop, [&](std::mt19937& rng) { // clients come and go
        ks::ClientHandle* h = nullptr;
        EXPECT_EQ(Open(&h), STATUS_SUCCESS);
        DdMidiBuffer b;
        auto r = ks::ClientReadAsync(h, &b, sizeof b);
        if (rng() % 2)
            r->Cancel();
        ks::ClientClose(h);
        EXPECT_TRUE(r->Wait(5000));
    }));
    threads.push_back(Loop(2, stop, [&](std::mt19937& rng) { // plays: events and streams
        Bytes stream = {0xF0, 0x7D};
        stream.resize(2 + rng() % 600, 0x11);
        stream.push_back(0xF7);
        EXPECT_EQ(Ioctl(player, IOCTL_DD_MIDI_PLAY, PlayBuffer(2, 0, 1, stream), nullptr),
                  STATUS_SUCCESS);
        Bytes events = Events({0x01403C90u, 0x01003C80u, 0x020005C1u});
        EXPECT_EQ(Ioctl(player, IOCTL_DD_MIDI_PLAY, PlayBuffer(4, 0, 0, events), nullptr),
                  STATUS_SUCCESS);
    }));
    threads.push_back(Loop(3, stop, [&](std::mt19937& rng) { // activation requests
        EXPECT_EQ(Ioctl(player, IOCTL_DD_ACTIVATE, {uint8_t(rng() % 2), 0, 0, 0}, nullptr),
                  STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
    }));
    threads.push_back(Loop(5, stop, [&, cycle = 0](std::mt19937& rng) mutable {
        // CTS stalls, every other one longer than a write's time-out
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetCts(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(cycle++ % 2 ? rng() % 100 : 1200));
        SetCts(true);
    }));
    threads.push_back(Loop(4, stop, [&](std::mt19937& rng) { // power: query and set
        static const SYSTEM_POWER_STATE states[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                    PowerSystemSleeping3};
        UCHAR minor = rng() % 2 ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER;
        EXPECT_EQ(Power(minor, states[rng() % 3]).status, STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // paced, as above
    }));

    // The producer feeds numbered notes, no more than a window ahead of the slower reader.
    ULONG sent = 0;
    auto slower = [&]() -> Reader& {
        return readers[0].received <= readers[1].received ? readers[0] : readers[1];
    };
    while (slower().received < kMessages) {
        if (sent < kMessages && sent - slower().received < kWindow) {
            Bytes run{0x90};
            for (int i = 0; i < 10 && sent < kMessages; i++, sent++)
                run.insert(run.end(), {uint8_t(sent & 0x7F), uint8_t(sent >> 7 & 0x7F), 0xF8});
            Inject(0, run);
        }
        bool took = readers[0].Take(0);
        took = readers[1].Take(0) || took;
        if (!took && sent - slower().received >= kWindow && !slower().Take(10000)) {
            ADD_FAILURE() << "a reader starved at " << slower().received;
            break;
        }
    }
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(slower().received, kMessages);
    EXPECT_GT(Dropped(), 0); // a stall outlasted a write's time-out

    // Removal with both handles open, a read waiting and 2000-byte plays streaming, each write
    // held up on its way to the serial port: the read ends, the plays stop reaching the port,
    // later requests touch nothing, the interface is left in patch mode.
    std::this_thread::sleep_for(std::chrono::milliseconds(SM_STALL_HOLD_MS)); // past any stall
    ASSERT_EQ(Ioctl(player, IOCTL_DD_ACTIVATE, {1, 0, 0, 0}, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(ComputerMode());
    stop = false;
    std::thread plays([&] {
        Bytes sysex(2000, 0x22);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        while (!stop)
            EXPECT_EQ(Ioctl(player, IOCTL_DD_MIDI_PLAY, PlayBuffer(2, 0, 1, sysex), nullptr),
                      STATUS_SUCCESS);
    });
    {
        ks::HookMatch toPort{.point = ks::HookPoint::CallDriver,
                             .object = ks::FindDevice(u"\\Device\\Serial0")};
        ks::Delay slow(toPort, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(ks::SendPnp(Device(), IRP_MN_REMOVE_DEVICE, {}, STATUS_SUCCESS).status,
                  STATUS_SUCCESS);
    }
    uint64_t written = host.Ports().Settings(0).BytesWritten;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    plays.join();
    for (Reader& r : readers) {
        EXPECT_TRUE(r.read->Wait(5000));
        EXPECT_EQ(r.read->Status(), STATUS_DELETE_PENDING);
    }
    EXPECT_FALSE(ComputerMode());
    EXPECT_EQ(Ioctl(player, IOCTL_DD_MIDI_PLAY, PlayBuffer(4, 0, 0, Events({0x01403C90})), nullptr),
              STATUS_SUCCESS);
    ULONG n = 0;
    EXPECT_EQ(ks::ClientRead(steady, &readers[0].buffer, sizeof(DdMidiBuffer), &n),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(host.Ports().Settings(0).BytesWritten, written);
    EXPECT_TRUE(PortClosed(0));
    Close(steady);
    Close(player); // the unload (TearDown) finds no pool and no handle left
}
