// The host-side serial port driver: dispatch routines for create, close, cleanup, read, write and
// device control, a worker thread per port that serves reads with the time-out semantics of a
// serial port, and one that serves writes which cannot complete at once (the port's faults).
#include "sim/serial_port.h"

#include <ks/system.h>
#include <ntddser.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <sstream>
#include <thread>

namespace sim {

struct SerialPorts::Port {
    PortSetup Setup;
    PDEVICE_OBJECT Device = nullptr;
    std::mutex Mutex;
    std::condition_variable Changed;
    PortSettings Settings;
    std::deque<PIRP> Reads;  // waiting reads, oldest first
    std::deque<PIRP> Writes; // pending writes, oldest first (the one being served is not here)
    PIRP Serving = nullptr;  // the write the writer thread serves
    PortFaults Faults;
    bool Quit = false;
    std::thread Worker;
    std::thread Writer;
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

// With CTS handshake on and CTS held off, nothing can be sent. Port mutex held.
bool CtsBlocks(const Port& port) {
    return port.Faults.CtsOff && (port.Settings.ControlHandShake & SERIAL_CTS_HANDSHAKE);
}

// Hands a write's bytes to the line (a switched-off interface hears nothing) and counts them.
void SendBytes(Port& port, PIRP irp, ULONG length) {
    bool silent;
    {
        std::lock_guard lock(port.Mutex);
        silent = port.Faults.Silent;
        port.Settings.BytesWritten += length;
        if (port.Settings.WriteSizes.size() < 4096)
            port.Settings.WriteSizes.push_back(length);
    }
    if (!silent)
        port.Setup.Line->Write(static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                               length);
}

// Takes a waiting request back from its cancel routine and completes it.
void FinishWaiting(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    IoSetCancelRoutine(irp, nullptr);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql); // a cancel routine under way has finished with the IRP
    IoReleaseCancelSpinLock(irql);
    Complete(irp, status, information);
}

NTSTATUS SerialCreate(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    std::lock_guard lock(port.Mutex);
    if (port.Faults.Gone)
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
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
    for (PIRP irp : reads)
        FinishWaiting(irp, STATUS_CANCELLED, 0);
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

// A pending write cancelled (cancel spin lock held): one still queued completes here; the one
// being served is completed by the writer, which sees the mark.
void SerialCancelWrite(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    KIRQL irql = irp->CancelIrql;
    bool queued;
    {
        std::lock_guard lock(port.Mutex);
        queued = std::erase(port.Writes, irp) != 0;
    }
    port.Changed.notify_all();
    IoReleaseCancelSpinLock(irql);
    if (queued)
        Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS SerialRead(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    if (!port.Setup.Line)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    {
        std::lock_guard lock(port.Mutex);
        if (port.Faults.Gone)
            return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        if (port.Faults.ReadError != 0)
            return Complete(irp, port.Faults.ReadError, 0);
    }
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
    bool direct;
    {
        std::lock_guard lock(port.Mutex);
        if (port.Faults.Gone)
            return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        direct = !port.Faults.PendWrites && !CtsBlocks(port) && port.Writes.empty() &&
                 port.Serving == nullptr; // bytes keep their order
    }
    if (direct) {
        SendBytes(port, irp, length);
        return Complete(irp, STATUS_SUCCESS, length);
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, SerialCancelWrite);
    {
        std::lock_guard lock(port.Mutex);
        port.Writes.push_back(irp);
    }
    IoReleaseCancelSpinLock(irql);
    port.Changed.notify_all();
    return STATUS_PENDING;
}

NTSTATUS SerialDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = *PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    std::unique_lock lock(port.Mutex);
    if (port.Faults.Gone) {
        lock.unlock();
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
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
        bool silent;
        {
            std::lock_guard lock(port.Mutex);
            silent = port.Faults.Silent;
            if (port.Faults.Gone) {
                status = STATUS_CANCELLED;
                break;
            }
        }
        if (silent) {
            uint8_t discard[256]; // what a switched-off interface would have said never arrives
            while (line.ReadAvailable(discard, sizeof discard) > 0) {
            }
        } else if (buffer) {
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
    FinishWaiting(irp, status, got);
}

// One pending write, as a serial port sends it: after the pend delay, once CTS allows; with a
// write time-out (multiplier × length + constant, none when both are 0) counted from its start,
// it ends with STATUS_TIMEOUT and the bytes sent so far (none: bytes go out whole).
void ServeWrite(Port& port, PIRP irp) {
    using Clock = std::chrono::steady_clock;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    auto start = Clock::now();
    std::unique_lock lock(port.Mutex);
    uint64_t totalMs =
        uint64_t(port.Settings.WriteMultiplier) * length + port.Settings.WriteConstant;
    bool hasTotal = totalMs != 0 && !port.Faults.NoWriteTimeouts;
    auto pendUntil =
        start + std::chrono::milliseconds(port.Faults.PendWrites ? port.Faults.WriteDelayMs : 0);
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        lock.unlock();
        bool cancelled = Cancelled(irp);
        lock.lock();
        if (port.Faults.Gone || port.Quit || cancelled) {
            status = STATUS_CANCELLED;
            break;
        }
        auto now = Clock::now();
        if (now >= pendUntil && !CtsBlocks(port))
            break;
        auto until = now + std::chrono::milliseconds(100);
        if (now < pendUntil)
            until = std::min(until, pendUntil);
        if (hasTotal) {
            auto deadline = start + std::chrono::milliseconds(totalMs);
            if (now >= deadline) {
                status = STATUS_TIMEOUT;
                break;
            }
            until = std::min(until, deadline);
        }
        port.Changed.wait_until(lock, until);
    }
    lock.unlock();
    ULONG sent = 0;
    if (status == STATUS_SUCCESS) {
        SendBytes(port, irp, length);
        sent = length;
    }
    FinishWaiting(irp, status, sent);
}

void Writer(Port* port) {
    for (;;) {
        PIRP irp;
        {
            std::unique_lock lock(port->Mutex);
            port->Changed.wait(lock, [&] { return port->Quit || !port->Writes.empty(); });
            if (port->Writes.empty())
                return;
            irp = port->Serving = port->Writes.front();
            port->Writes.pop_front();
        }
        ServeWrite(*port, irp);
        std::lock_guard lock(port->Mutex);
        port->Serving = nullptr;
    }
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
        if (setup.Line) {
            port->Worker = std::thread(Worker, port);
            port->Writer = std::thread(Writer, port);
        }
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
        if (port->Writer.joinable())
            port->Writer.join();
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

bool SerialPorts::SetFaults(uint32_t number, const PortFaults& faults) {
    auto it = ports_.find(number);
    if (it == ports_.end())
        return false;
    Port& port = *it->second;
    {
        std::lock_guard lock(port.Mutex);
        port.Faults = faults;
    }
    port.Changed.notify_all();
    if (port.Setup.Line)
        port.Setup.Line->Interrupt(); // a waiting read looks again
    return true;
}

PortFaults SerialPorts::Faults(uint32_t number) {
    auto it = ports_.find(number);
    if (it == ports_.end())
        return {};
    std::lock_guard lock(it->second->Mutex);
    return it->second->Faults;
}

std::string SerialPorts::FaultCommand(uint32_t number, const std::string& text) {
    if (ports_.find(number) == ports_.end())
        return "error: no serial port " + std::to_string(number);
    PortFaults f = Faults(number);
    std::istringstream words(text);
    std::string word;
    bool any = false;
    while (words >> word) {
        any = true;
        if (word == "faults") {
            char status[16];
            std::snprintf(status, sizeof status, "%08X", unsigned(f.ReadError));
            return std::string(f.PendWrites ? "pend-writes" : "direct-writes") +
                   (f.CtsOff ? " cts-off" : " cts-on") +
                   (f.NoWriteTimeouts ? " no-write-timeouts" : "") +
                   (f.ReadError ? std::string(" read-error ") + status : " reads-ok") +
                   (f.Silent ? " silent" : "") + (f.Gone ? " gone" : "");
        } else if (word == "pend-writes" || word == "direct-writes") {
            f.PendWrites = word == "pend-writes";
        } else if (word == "cts-off" || word == "cts-on") {
            f.CtsOff = word == "cts-off";
        } else if (word == "no-write-timeouts" || word == "write-timeouts") {
            f.NoWriteTimeouts = word == "no-write-timeouts";
        } else if (word == "reads-ok") {
            f.ReadError = 0;
        } else if (word == "read-error") {
            std::string hex;
            char* end = nullptr;
            unsigned long value = (words >> hex) ? std::strtoul(hex.c_str(), &end, 16) : 0;
            if (hex.empty() || *end != 0 || value == 0 || value > 0xFFFFFFFFul)
                return "error: read-error needs a failure status in hex";
            f.ReadError = NTSTATUS(uint32_t(value));
        } else if (word == "off" || word == "on") {
            f.Silent = f.CtsOff = word == "off";
        } else if (word == "gone" || word == "back") {
            f.Gone = word == "gone";
        } else {
            return "error: unknown port fault " + word;
        }
    }
    if (!any)
        return "error: no port fault given";
    SetFaults(number, f);
    return "ok";
}

std::shared_ptr<SerialLine> SerialPorts::Line(uint32_t number) {
    auto it = ports_.find(number);
    return it == ports_.end() ? nullptr : it->second->Setup.Line;
}

} // namespace sim
