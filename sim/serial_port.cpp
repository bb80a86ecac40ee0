// The host-side serial port driver: dispatch routines for create, close, cleanup, read, write and
// device control, and a worker thread per port that serves reads with the time-out semantics of
// a serial port.
#include "sim/serial_port.h"

#include <ks/system.h>
#include <ntddser.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace sim {

struct SerialPorts::Port {
    PortSetup Setup;
    PDEVICE_OBJECT Device = nullptr;
    std::mutex Mutex;
    std::condition_variable Changed;
    PortSettings Settings;
    std::deque<PIRP> Reads; // waiting reads, oldest first
    bool Quit = false;
    std::thread Worker;
};

namespace {

using Port = SerialPorts::Port;
constexpr ULONG kMaxUlong = 0xFFFFFFFF;

// Port setups handed from Create to the driver entry (one set of ports per process at a time).
std::vector<PortSetup>* gPendingSetups = nullptr;
std::map<uint32_t, Port*>* gPendingPorts = nullptr;

Port* PortOf(PDEVICE_OBJECT device) {
    return *static_cast<Port**>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void ConfigureLine(Port& port) {
    if (!port.Setup.Line)
        return;
    const PortSettings& s = port.Settings;
    port.Setup.Line->Configure({s.BaudRate, s.WordLength, s.Parity, s.StopBits,
                                (s.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0});
}

NTSTATUS SerialCreate(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    std::lock_guard lock(port.Mutex);
    if (port.Setup.InUse || port.Settings.Open)
        return Complete(irp, STATUS_ACCESS_DENIED, 0);
    port.Settings.Open = true;
    port.Settings.Opens++;
    return Complete(irp, STATUS_SUCCESS, 0);
}

// Completes every waiting read as cancelled (cleanup of the handle).
void FlushReads(Port& port) {
    std::deque<PIRP> reads;
    {
        std::lock_guard lock(port.Mutex);
        reads.swap(port.Reads);
    }
    for (PIRP irp : reads) {
        IoSetCancelRoutine(irp, nullptr);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql); // a cancel routine under way has finished with the IRP
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED, 0);
    }
}

NTSTATUS SerialCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    if (port.Setup.Line)
        port.Setup.Line->Interrupt();
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialClose(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    {
        std::lock_guard lock(port.Mutex);
        port.Settings.Open = false;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

void SerialCancelRead(PDEVICE_OBJECT device, PIRP irp) {
    // Called with the cancel spin lock held; the worker completes the read.
    Port& port = *PortOf(device);
    KIRQL irql = irp->CancelIrql;
    if (port.Setup.Line)
        port.Setup.Line->Interrupt();
    port.Changed.notify_all();
    IoReleaseCancelSpinLock(irql);
}

NTSTATUS SerialRead(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    if (!port.Setup.Line)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, SerialCancelRead);
    {
        std::lock_guard lock(port.Mutex);
        port.Reads.push_back(irp);
    }
    port.Changed.notify_all();
    return STATUS_PENDING;
}

NTSTATUS SerialWrite(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Write.Length;
    if (!port.Setup.Line)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (length && !irp->AssociatedIrp.SystemBuffer)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    port.Setup.Line->Write(static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer), length);
    {
        std::lock_guard lock(port.Mutex);
        port.Settings.BytesWritten += length;
        if (port.Settings.WriteSizes.size() < 4096)
            port.Settings.WriteSizes.push_back(length);
    }
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS SerialDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    std::unique_lock lock(port.Mutex);
    PortSettings& s = port.Settings;
    s.Requests.push_back(code);
    auto in = [&](ULONG size) { return inLength >= size && buffer; };
    auto out = [&](ULONG size) { return outLength >= size && buffer; };
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            if (!in(sizeof(SERIAL_BAUD_RATE))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            ULONG baud = static_cast<SERIAL_BAUD_RATE*>(buffer)->BaudRate;
            if (baud == 0 || baud > 921600) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            s.BaudRate = baud;
            ConfigureLine(port);
            break;
        }
        case IOCTL_SERIAL_GET_BAUD_RATE:
            if (!out(sizeof(SERIAL_BAUD_RATE))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            static_cast<SERIAL_BAUD_RATE*>(buffer)->BaudRate = s.BaudRate;
            information = sizeof(SERIAL_BAUD_RATE);
            break;
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            if (!in(sizeof(SERIAL_QUEUE_SIZE))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            s.InQueue = static_cast<SERIAL_QUEUE_SIZE*>(buffer)->InSize;
            s.OutQueue = static_cast<SERIAL_QUEUE_SIZE*>(buffer)->OutSize;
            break;
        case IOCTL_SERIAL_GET_HANDFLOW: {
            if (!out(sizeof(SERIAL_HANDFLOW))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            auto* flow = static_cast<SERIAL_HANDFLOW*>(buffer);
            flow->ControlHandShake = s.ControlHandShake;
            flow->FlowReplace = s.FlowReplace;
            flow->XonLimit = s.XonLimit;
            flow->XoffLimit = s.XoffLimit;
            information = sizeof(SERIAL_HANDFLOW);
            break;
        }
        case IOCTL_SERIAL_SET_HANDFLOW: {
            if (!in(sizeof(SERIAL_HANDFLOW))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            auto* flow = static_cast<SERIAL_HANDFLOW*>(buffer);
            if (flow->XonLimit < 0 || flow->XoffLimit < 0) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            s.ControlHandShake = flow->ControlHandShake;
            s.FlowReplace = flow->FlowReplace;
            s.XonLimit = flow->XonLimit;
            s.XoffLimit = flow->XoffLimit;
            ConfigureLine(port);
            break;
        }
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            if (!in(sizeof(SERIAL_LINE_CONTROL))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            auto* line = static_cast<SERIAL_LINE_CONTROL*>(buffer);
            if (line->WordLength < 5 || line->WordLength > 8 || line->Parity > 4 ||
                line->StopBits > STOP_BITS_2) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            s.StopBits = line->StopBits;
            s.Parity = line->Parity;
            s.WordLength = line->WordLength;
            ConfigureLine(port);
            break;
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            if (!out(sizeof(SERIAL_LINE_CONTROL))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            *static_cast<SERIAL_LINE_CONTROL*>(buffer) = {s.StopBits, s.Parity, s.WordLength};
            information = sizeof(SERIAL_LINE_CONTROL);
            break;
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            if (!in(sizeof(SERIAL_TIMEOUTS))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            auto* t = static_cast<SERIAL_TIMEOUTS*>(buffer);
            if (t->ReadIntervalTimeout == kMaxUlong && t->ReadTotalTimeoutMultiplier == kMaxUlong &&
                t->ReadTotalTimeoutConstant == kMaxUlong) {
                status = STATUS_INVALID_PARAMETER; // as documented for serial ports
                break;
            }
            s.ReadInterval = t->ReadIntervalTimeout;
            s.ReadMultiplier = t->ReadTotalTimeoutMultiplier;
            s.ReadConstant = t->ReadTotalTimeoutConstant;
            s.WriteMultiplier = t->WriteTotalTimeoutMultiplier;
            s.WriteConstant = t->WriteTotalTimeoutConstant;
            break;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS:
            if (!out(sizeof(SERIAL_TIMEOUTS))) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            *static_cast<SERIAL_TIMEOUTS*>(buffer) = {s.ReadInterval, s.ReadMultiplier,
                                                      s.ReadConstant, s.WriteMultiplier,
                                                      s.WriteConstant};
            information = sizeof(SERIAL_TIMEOUTS);
            break;
        case IOCTL_SERIAL_LSRMST_INSERT:
            if (!in(1)) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            // No line or modem status events occur on these lines, so there is never anything
            // to insert; the escape character is kept.
            s.LsrMstEscape = *static_cast<UCHAR*>(buffer);
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
    }
    lock.unlock();
    return Complete(irp, status, information);
}

// Irp->Cancel is set under the cancel spin lock; read it there too.
bool Cancelled(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool cancelled = irp->Cancel;
    IoReleaseCancelSpinLock(irql);
    return cancelled;
}

// The read semantics of the port's time-outs for one read of `length` bytes:
//   interval MAXULONG, multiplier and constant 0: return at once with what is there;
//   interval and multiplier MAXULONG, constant c: what is there at once, else the first byte
//     within c ms;
//   otherwise: until `length` bytes, or the total time-out (multiplier × length + constant,
//     none when both are 0), or the interval time-out between two bytes (none when 0).
void ServeRead(Port& port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    PortSettings s;
    {
        std::lock_guard lock(port.Mutex);
        s = port.Settings;
    }
    SerialLine& line = *port.Setup.Line;
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    bool immediate = s.ReadInterval == kMaxUlong && s.ReadMultiplier == 0 && s.ReadConstant == 0;
    bool firstByte = s.ReadInterval == kMaxUlong && s.ReadMultiplier == kMaxUlong;
    uint64_t totalMs =
        firstByte ? s.ReadConstant : uint64_t(s.ReadMultiplier) * length + s.ReadConstant;
    bool hasTotal = firstByte || s.ReadMultiplier != 0 || s.ReadConstant != 0;
    ULONG got = 0;
    NTSTATUS status = STATUS_SUCCESS;
    auto lastByte = start;
    while (got < length) {
        if (buffer) {
            ULONG n = ULONG(line.ReadAvailable(buffer + got, length - got));
            if (n > 0)
                lastByte = Clock::now();
            got += n;
        }
        if (got == length || immediate || (firstByte && got > 0))
            break;
        if (Cancelled(irp)) {
            status = STATUS_CANCELLED;
            break;
        }
        auto now = Clock::now();
        int64_t waitMs = 100; // slices: a cancel is seen even if its wake-up came early
        if (hasTotal) {
            int64_t left =
                int64_t(totalMs) -
                std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
            if (left <= 0) {
                status = firstByte || got < length ? STATUS_TIMEOUT : STATUS_SUCCESS;
                break;
            }
            waitMs = std::min(waitMs, left);
        }
        if (!firstByte && s.ReadInterval != 0 && s.ReadInterval != kMaxUlong && got > 0) {
            int64_t left =
                int64_t(s.ReadInterval) -
                std::chrono::duration_cast<std::chrono::milliseconds>(now - lastByte).count();
            if (left <= 0)
                break; // the interval time-out ends the read successfully
            waitMs = std::min(waitMs, left);
        }
        line.WaitReadable(int(waitMs));
    }
    if (status == STATUS_TIMEOUT && got > 0 && firstByte)
        status = STATUS_SUCCESS;
    IoSetCancelRoutine(irp, nullptr);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql); // a cancel routine under way has finished with the IRP
    IoReleaseCancelSpinLock(irql);
    Complete(irp, status, got);
}

void Worker(Port* port) {
    for (;;) {
        PIRP irp;
        {
            std::unique_lock lock(port->Mutex);
            port->Changed.wait(lock, [&] { return port->Quit || !port->Reads.empty(); });
            if (port->Reads.empty())
                return;
            irp = port->Reads.front();
            port->Reads.pop_front();
        }
        ServeRead(*port, irp);
    }
}

NTSTATUS SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    driver->MajorFunction[IRP_MJ_READ] = SerialRead;
    driver->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDeviceControl;
    for (PortSetup& setup : *gPendingSetups) {
        std::u16string text = u"\\Device\\Serial" + [&] {
            std::string digits = std::to_string(setup.Number);
            return std::u16string(digits.begin(), digits.end());
        }();
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(text.data());
        name.Length = USHORT(text.size() * sizeof(char16_t));
        name.MaximumLength = name.Length;
        PDEVICE_OBJECT device;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(Port*), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
        if (!NT_SUCCESS(status))
            return status;
        auto* port = new Port;
        port->Setup = setup;
        port->Device = device;
        *static_cast<Port**>(device->DeviceExtension) = port;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        (*gPendingPorts)[setup.Number] = port;
        if (setup.Line)
            port->Worker = std::thread(Worker, port);
    }
    return STATUS_SUCCESS;
}

void SerialUnload(PDRIVER_OBJECT) {}

} // namespace

bool SerialPorts::Create(std::vector<PortSetup> setups, std::string& error) {
    Destroy();
    gPendingSetups = &setups;
    gPendingPorts = &ports_;
    NTSTATUS status = 0;
    driver_ = ks::LoadDriver(u"Serial", SerialDriverEntry, &status);
    gPendingSetups = nullptr;
    gPendingPorts = nullptr;
    if (!driver_) {
        char text[64];
        std::snprintf(text, sizeof text, "serial ports: driver entry failed, status 0x%08X",
                      unsigned(status));
        error = text;
        Destroy();
        return false;
    }
    driver_->DriverUnload = SerialUnload;
    return true;
}

void SerialPorts::Destroy() {
    for (auto& [number, port] : ports_) {
        // A driver's last reference may close the port a moment later, from another thread.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(port->Mutex);
                if (!port->Settings.Open)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        {
            std::lock_guard lock(port->Mutex);
            port->Quit = true;
        }
        if (port->Setup.Line)
            port->Setup.Line->Interrupt();
        port->Changed.notify_all();
        if (port->Worker.joinable())
            port->Worker.join();
        FlushReads(*port);
        IoDeleteDevice(port->Device);
        delete port;
    }
    ports_.clear();
    if (driver_)
        ks::UnloadDriver(driver_);
    driver_ = nullptr;
}

SerialPorts::~SerialPorts() {
    Destroy();
}

PortSettings SerialPorts::Settings(uint32_t number) {
    auto it = ports_.find(number);
    if (it == ports_.end())
        return {};
    std::lock_guard lock(it->second->Mutex);
    return it->second->Settings;
}

std::shared_ptr<SerialLine> SerialPorts::Line(uint32_t number) {
    auto it = ports_.find(number);
    return it == ports_.end() ? nullptr : it->second->Setup.Line;
}

} // namespace sim
