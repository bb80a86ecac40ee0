// The simulated serial port devices as a serial driver's user sees them: names, exclusive opens,
// the settings requests, and the faults a test can switch. (Reads in the one mode the driver sets
// are what its transport tests read through; other time-out modes have no caller.)
#include "sim/serial_port.h"

#include <ks/system.h>
#include <ntddser.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct SerialPortTest : ::testing::Test {
    sim::SerialPorts ports;
    std::shared_ptr<sim::ModelLine> model = std::make_shared<sim::ModelLine>();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(ports.Create({{0, model, false}, {1, nullptr, true}}, error)) << error;
    }
    void TearDown() override {
        if (file)
            ObDereferenceObject(file);
        ks::DrainDeferred();
        ports.Destroy();
    }
    NTSTATUS OpenPort(const char16_t* text, PFILE_OBJECT* f, PDEVICE_OBJECT* d) {
        std::u16string name(text);
        UNICODE_STRING u{USHORT(name.size() * 2), USHORT(name.size() * 2), (PWSTR)name.data()};
        return IoGetDeviceObjectPointer(&u, FILE_ALL_ACCESS, f, d);
    }
    NTSTATUS Control(ULONG code, void* in, ULONG inLength, void* out = nullptr,
                     ULONG outLength = 0) {
        KEVENT done;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, FALSE,
                                                 &done, &status);
        if (IoCallDriver(device, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status.Status;
    }
    NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant,
                         ULONG writeMultiplier = 0, ULONG writeConstant = 0) {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        return Control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
    }
    // A read or write: status, the bytes read or written, whether it pended, milliseconds taken.
    // *sent names the request while it is under way.
    struct Transfer {
        NTSTATUS status;
        Bytes data;
        bool pended;
        long ms;
    };
    Transfer Io(UCHAR major, Bytes buffer, std::atomic<PIRP>* sent = nullptr) {
        KEVENT done;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        auto start = Clock::now();
        PIRP irp = IoBuildSynchronousFsdRequest(major, device, buffer.data(), ULONG(buffer.size()),
                                                nullptr, &done, &status);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        if (sent)
            *sent = irp;
        bool pended = IoCallDriver(device, irp) == STATUS_PENDING;
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        buffer.resize(status.Information);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return {status.Status, buffer, pended, long(ms.count())};
    }
    size_t ModelReceived() {
        auto lock = model->ModelLock();
        std::string report = model->Model()->Report();
        return std::stoul(report.substr(report.find("received ") + 9));
    }
};

} // namespace

// Missing and busy ports, the open count and the close are seen by the driver's port search
// (TransportTest); a second open of a port the driver holds is not.
TEST_F(SerialPortTest, OpensAreExclusiveAndSettingsAreCheckedKeptAndFollowed) {
    PFILE_OBJECT f;
    PDEVICE_OBJECT d;
    ASSERT_EQ(OpenPort(u"\\Device\\Serial0", &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(OpenPort(u"\\Device\\Serial0", &f, &d), STATUS_ACCESS_DENIED);
    SERIAL_LINE_CONTROL bad{0, 0, 9};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &bad, sizeof bad), STATUS_INVALID_PARAMETER);
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line), STATUS_SUCCESS);
    EXPECT_EQ(model->Settings().WordLength, 7); // the line behind it was told
    EXPECT_EQ(model->Settings().Parity, EVEN_PARITY);
    EXPECT_EQ(SetTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    // The driver's read mode with nothing there: the first byte is waited for up to the constant.
    ASSERT_EQ(SetTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 100), STATUS_SUCCESS);
    Transfer r = Io(IRP_MJ_READ, Bytes(16));
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_GE(r.ms, 90);
    ULONG word = 0;
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &word, sizeof word), STATUS_BUFFER_TOO_SMALL);
    SERIAL_HANDFLOW flow{SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 10, 20};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow), STATUS_SUCCESS);
    EXPECT_TRUE(model->Settings().RtsCtsFlow);
    EXPECT_EQ(Control(0x001B0FFC, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ports.Settings(0).Requests.size(), 7u); // refused ones included
}

TEST_F(SerialPortTest, MisbehavesLikeHardwareWhenToldTo) {
    ASSERT_EQ(OpenPort(u"\\Device\\Serial0", &file, &device), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 0, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow), STATUS_SUCCESS);

    // Switched off (CTS held off): a write ends at its time-out with nothing sent.
    EXPECT_EQ(ports.FaultCommand(0, "off"), "ok");
    ASSERT_EQ(SetTimeouts(0, 0, 0, 5, 40), STATUS_SUCCESS); // writes: 5 ms a byte + 40 ms
    Transfer w = Io(IRP_MJ_WRITE, {0xF0, 0x7E, 0x7F, 0xF7});
    EXPECT_EQ(w.status, STATUS_TIMEOUT);
    EXPECT_EQ(w.data.size(), 0u);
    EXPECT_GE(w.ms, 55);
    // Without a write time-out it waits until cancelled, or until CTS returns.
    ASSERT_EQ(SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    std::atomic<PIRP> sent{nullptr};
    std::thread writer([&] { w = Io(IRP_MJ_WRITE, {0xF8}, &sent); });
    while (!sent)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(IoCancelIrp(sent));
    writer.join();
    EXPECT_EQ(w.status, STATUS_CANCELLED);
    writer = std::thread([&] { w = Io(IRP_MJ_WRITE, {0xFE}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ports.FaultCommand(0, "on"), "ok");
    writer.join();
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.data.size(), 1u);
    EXPECT_EQ(ModelReceived(), 1u); // nothing of the writes before reached the interface

    // Writes that pend complete from the port's own thread.
    EXPECT_EQ(ports.FaultCommand(0, "pend-writes"), "ok");
    w = Io(IRP_MJ_WRITE, {0xFE});
    EXPECT_TRUE(w.pended);
    EXPECT_EQ(w.data.size(), 1u);

    // Failing reads, a port that disappears and comes back, bad commands.
    EXPECT_EQ(ports.FaultCommand(0, "direct-writes read-error C0000185"), "ok");
    EXPECT_EQ(Io(IRP_MJ_READ, Bytes(1)).status, NTSTATUS(0xC0000185));
    EXPECT_EQ(ports.FaultCommand(0, "reads-ok gone"), "ok");
    EXPECT_EQ(Io(IRP_MJ_WRITE, {0xFE}).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(SetTimeouts(0, 0, 0), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ports.FaultCommand(0, "faults"), "direct-writes cts-on reads-ok gone");
    EXPECT_EQ(ports.FaultCommand(0, "back"), "ok");
    EXPECT_EQ(Io(IRP_MJ_WRITE, {0xFE}).status, STATUS_SUCCESS);
    EXPECT_EQ(ports.FaultCommand(0, "read-error 0"),
              "error: read-error needs a failure status in hex");
    EXPECT_EQ(ports.FaultCommand(0, "sideways"), "error: unknown port fault sideways");
    EXPECT_EQ(ports.FaultCommand(7, "gone"), "error: no serial port 7");
}
