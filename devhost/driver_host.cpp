#include "devhost/driver_host.h"

#include "core/dd.h"

#include <ks/system.h>

#include <cstdio>
#include <thread>

namespace devhost {

constexpr char16_t kService[] = u"VARLO2K";
constexpr char16_t kDeviceLink[] = u"\\??\\KorvaneMidiVr1";
constexpr uint32_t kStatusNotFound = 0xC0000034; // STATUS_OBJECT_NAME_NOT_FOUND

struct DriverHost::Handle {
    ks::ClientHandle* Client = nullptr;
    std::mutex Mutex;
    struct Read {
        uint32_t Tag;
        std::unique_ptr<ks::PendingRequest> Request;
        std::vector<uint8_t> Buffer;
        std::thread Waiter;
    };
    std::map<uint32_t, std::shared_ptr<Read>> Reads; // by tag, until completed and reaped
};

DriverHost::~DriverHost() {
    Stop();
}

bool DriverHost::Start(const HostOptions& options, std::string& error) {
    options_ = options;
    if (!options.RegistryFile.empty()) {
        if (FILE* f = std::fopen(options.RegistryFile.c_str(), "r")) {
            std::fclose(f);
            if (!ks::RegistryLoad(options.RegistryFile)) {
                error = "cannot read the registry file " + options.RegistryFile;
                return false;
            }
        }
    }
    std::u16string key = ks::ServiceKeyPath(kService);
    ks::RegistryCreateKey(key);
    if (options.MultiChain)
        ks::RegistrySetDword(key, u"MultiChain", 1);
    if (!ports_.Create(options.Ports, error))
        return false;
    NTSTATUS status = 0;
    driver_ = ks::LoadDriver(kService, DriverEntry, &status);
    if (!driver_) {
        char text[80];
        std::snprintf(text, sizeof text, "the driver entry failed: status 0x%08X",
                      unsigned(status));
        error = text;
        ports_.Destroy();
        return false;
    }
    pdo_ = ks::CreatePhysicalDevice();
    status = ks::AddDevice(driver_, pdo_);
    if (NT_SUCCESS(status))
        status = ks::SendPnp(ks::TopOfStack(pdo_), IRP_MN_START_DEVICE, {}, STATUS_SUCCESS).status;
    if (!NT_SUCCESS(status)) {
        char text[80];
        std::snprintf(text, sizeof text, "the device did not start: status 0x%08X",
                      unsigned(status));
        error = text;
        Stop();
        return false;
    }
    started_ = true;
    return true;
}

std::string DriverHost::Stop() {
    std::vector<uint64_t> open;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, handle] : handles_)
            open.push_back(id);
    }
    Backend backend = MakeBackend();
    for (uint64_t id : open)
        backend.Close(id);
    std::string report;
    if (pdo_) {
        if (started_)
            ks::SendPnp(ks::TopOfStack(pdo_), IRP_MN_REMOVE_DEVICE, {}, STATUS_SUCCESS);
        started_ = false;
    }
    if (driver_)
        report = ks::UnloadDriver(driver_);
    driver_ = nullptr;
    if (pdo_)
        ks::DeletePhysicalDevice(pdo_);
    pdo_ = nullptr;
    ports_.Destroy();
    if (!options_.RegistryFile.empty())
        ks::RegistrySave(options_.RegistryFile);
    options_ = {};
    return report;
}

DriverHost::Handle* DriverHost::Find(uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(id);
    return it == handles_.end() ? nullptr : it->second.get();
}

Backend DriverHost::MakeBackend() {
    Backend b;
    b.Open = [this](uint64_t& id) {
        ks::ClientHandle* client = nullptr;
        NTSTATUS status = ks::ClientOpen(kDeviceLink, &client);
        if (!NT_SUCCESS(status))
            return uint32_t(status);
        auto handle = std::make_shared<Handle>();
        handle->Client = client;
        std::lock_guard lock(mutex_);
        id = nextHandle_++;
        handles_[id] = handle;
        return uint32_t(STATUS_SUCCESS);
    };
    b.Read = [this](uint64_t id, uint32_t tag, uint32_t length, ReadDone done) {
        Handle* h = Find(id);
        if (!h) {
            done({uint32_t(STATUS_INVALID_HANDLE), 0, {}});
            return;
        }
        auto read = std::make_shared<Handle::Read>();
        read->Tag = tag;
        read->Buffer.resize(length);
        std::unique_lock lock(h->Mutex);
        // Reap reads that have completed.
        for (auto it = h->Reads.begin(); it != h->Reads.end();) {
            if (it->second->Request->Completed() && it->second->Waiter.joinable()) {
                it->second->Waiter.join();
                it = h->Reads.erase(it);
            } else {
                ++it;
            }
        }
        if (h->Reads.count(tag)) {
            // A tag names one waiting read: a second one with it is refused, not lost track of.
            lock.unlock();
            done({uint32_t(STATUS_INVALID_PARAMETER), 0, {}});
            return;
        }
        read->Request = ks::ClientReadAsync(h->Client, read->Buffer.data(), length);
        h->Reads[tag] = read;
        read->Waiter = std::thread([read, done = std::move(done)] {
            read->Request->Wait(-1);
            Result r;
            r.Status = uint32_t(read->Request->Status());
            r.Information = uint32_t(read->Request->Information());
            r.Data.assign(read->Buffer.begin(),
                          read->Buffer.begin() +
                              std::min<size_t>(r.Information, read->Buffer.size()));
            done(r);
        });
    };
    b.CancelRead = [this](uint64_t id, uint32_t tag) {
        Handle* h = Find(id);
        if (!h)
            return;
        std::lock_guard lock(h->Mutex);
        auto it = h->Reads.find(tag);
        if (it != h->Reads.end() && !it->second->Request->Completed())
            it->second->Request->Cancel();
    };
    b.Ioctl = [this](uint64_t id, uint32_t code, const std::vector<uint8_t>& input,
                     uint32_t outputLength) {
        Handle* h = Find(id);
        if (!h)
            return Result{uint32_t(STATUS_INVALID_HANDLE), 0, {}};
        // The kernel-services layer has no direct I/O (memory descriptor lists) and the driver
        // serves no such code: what Windows' driver would answer, without asking the layer.
        if ((code & 3) == METHOD_IN_DIRECT || (code & 3) == METHOD_OUT_DIRECT)
            return Result{uint32_t(STATUS_INVALID_DEVICE_REQUEST), 0, {}};
        std::vector<uint8_t> output(outputLength);
        ULONG returned = 0;
        NTSTATUS status = ks::ClientDeviceIoControl(
            h->Client, code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
            output.empty() ? nullptr : output.data(), outputLength, &returned);
        output.resize(std::min<size_t>(returned, output.size()));
        return Result{uint32_t(status), uint32_t(returned), output};
    };
    b.Write = [this](uint64_t id, const std::vector<uint8_t>& data) {
        Handle* h = Find(id);
        if (!h)
            return Result{uint32_t(STATUS_INVALID_HANDLE), 0, {}};
        ULONG written = 0;
        NTSTATUS status = ks::ClientWrite(h->Client, data.data(), ULONG(data.size()), &written);
        return Result{uint32_t(status), uint32_t(written), {}};
    };
    b.Close = [this](uint64_t id) {
        std::shared_ptr<Handle> h;
        {
            std::lock_guard lock(mutex_);
            auto it = handles_.find(id);
            if (it == handles_.end())
                return;
            h = it->second;
            handles_.erase(it);
        }
        // Cleanup first (it completes a waiting read), then the waiters end.
        std::map<uint32_t, std::shared_ptr<Handle::Read>> reads;
        {
            std::lock_guard lock(h->Mutex);
            reads.swap(h->Reads);
        }
        for (auto& [tag, read] : reads)
            if (!read->Request->Completed())
                read->Request->Cancel();
        ks::ClientClose(h->Client);
        // The driver closes the serial ports holding its open mutex; the layer then defers the
        // ports' close requests. Finish them now, so that the next open finds the ports free.
        ks::DrainDeferred();
        for (auto& [tag, read] : reads)
            if (read->Waiter.joinable())
                read->Waiter.join();
    };
    auto withModel = [this](uint32_t port, auto action) {
        std::shared_ptr<sim::SerialLine> line = ports_.Line(port);
        auto* modelLine = dynamic_cast<sim::ModelLine*>(line.get());
        if (!modelLine)
            return Result{kStatusNotFound, 0, {}};
        Result r;
        {
            auto lock = modelLine->ModelLock();
            std::string text = action(*modelLine->Model());
            r.Data.assign(text.begin(), text.end());
        }
        modelLine->Notify();
        r.Information = uint32_t(r.Data.size());
        return r;
    };
    b.ModelSend = [withModel](uint32_t port, const std::vector<uint8_t>& bytes) {
        return withModel(port, [&](sim::InterfaceModel& m) {
            m.Inject(bytes.data(), bytes.size());
            return std::string();
        });
    };
    b.ModelQuery = [withModel](uint32_t port) {
        return withModel(port, [](sim::InterfaceModel& m) { return m.Report(); });
    };
    b.ModelCommand = [this, withModel](uint32_t port, const std::string& command) {
        if (command.rfind("port ", 0) == 0) { // the port's faults, not the model
            std::string answer = ports_.FaultCommand(port, command.substr(5));
            return Result{0, uint32_t(answer.size()),
                          std::vector<uint8_t>(answer.begin(), answer.end())};
        }
        return withModel(port, [&](sim::InterfaceModel& m) { return m.Command(command); });
    };
    return b;
}

} // namespace devhost
