// Test rig for the device layer on the kernel-services layer: the driver loaded, one device
// created with a stand-in for the layers below (FakeLower), clients opened by the link name as
// user mode opens them, and the parser fed directly as a port's reader thread would.
#pragma once

#include "core/clients.h"
#include "core/parser.h"

#include <ks/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace varlo_test {

// The layers below the device layer: port open and close, activation, sub-devices. One at a
// time (FakeLower::current); callable from any thread.
struct FakeLower {
    std::atomic<int> opens{0}, closes{0}, frees{0}, openChecks{0};
    std::atomic<bool> openSucceeds{true}, openCheckAllows{true};
    std::atomic<LONG> mode{DD_ACTIVATE_OFF};
    std::atomic<bool> endlessSubDevices{false};
    std::mutex lock;
    std::vector<LONG> modesSet; // every DeviceActivate other than a query
    std::vector<std::pair<USHORT, std::string>> subDevices{{123, "Korvane Varlo"}};

    static inline FakeLower* current = nullptr;

    std::vector<LONG> ModesSet() {
        std::lock_guard<std::mutex> hold(lock);
        return modesSet;
    }

    static ULONG OpenCheck(SmDevice*, ULONG) {
        current->openChecks++;
        return current->openCheckAllows;
    }
    static ULONG OpenPort(SmDevice*) {
        current->opens++;
        if (!current->openSucceeds)
            return 0;
        current->mode = DD_ACTIVATE_ON; // probed and activated
        return 1;
    }
    static ULONG ClosePort(SmDevice*) {
        current->closes++;
        current->mode = DD_ACTIVATE_OFF;
        return 1;
    }
    static ULONG FreeDevice(SmDevice*) {
        current->frees++;
        return 1;
    }
    static LONG DeviceActivate(SmDevice*, LONG Mode) {
        if (Mode == DD_ACTIVATE_QUERY)
            return current->mode;
        std::lock_guard<std::mutex> hold(current->lock);
        current->modesSet.push_back(Mode);
        current->mode = Mode;
        return Mode;
    }
    static LONG GetHardwareInfo(SmDevice*, LONG Index, DdHardwareInfo* Info) {
        std::lock_guard<std::mutex> hold(current->lock);
        if (Index < 0 ||
            (!current->endlessSubDevices && (size_t)Index >= current->subDevices.size()))
            return -1;
        const auto& [id, name] = current->subDevices[(size_t)Index % current->subDevices.size()];
        if (Info) {
            Info->Id = id;
            std::strncpy(Info->Name, name.c_str(), sizeof(Info->Name) - 1);
        }
        return id;
    }

    DdDriverInfo Info() {
        DdDriverInfo info{};
        info.ContextSize = 16;
        info.Flags = DD_FLAG_IN_CABLES | DD_FLAG_CABLE_RESETS_STATUS;
        info.InCables = 3;
        info.OutCables = 5;
        info.MaxPorts = 2;
        info.OpenPort = OpenPort;
        info.ClosePort = ClosePort;
        info.FreeDevice = FreeDevice;
        info.DeviceActivate = DeviceActivate;
        info.GetHardwareInfo = GetHardwareInfo;
        return info;
    }
};

inline const std::u16string kService = u"VARLO2K";
inline const std::u16string kLinkName = u"\\??\\KorvaneMidiVr1";

class DeviceRig {
public:
    FakeLower lower;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    DdExtension* ext = nullptr;
    DdTb tb{};

    // `adjust` may change the lower layer's table before the device is made.
    template <typename Adjust>
    explicit DeviceRig(Adjust adjust) {
        FakeLower::current = &lower;
        ks::RegistryClear();
        NTSTATUS status = STATUS_SUCCESS;
        driver = ks::LoadDriver(kService, DriverEntry, &status, {{DD_POOL_TAG}});
        EXPECT_NE(driver, nullptr) << std::hex << status;
        pdo = ks::CreatePhysicalDevice();
        registryPath_ = ks::ServiceKeyPath(kService);
        DdDriverInfo info = lower.Info();
        info.RegistryPath = registryPath_.data();
        info.DeviceName = deviceName_;
        adjust(info);
        EXPECT_EQ(DdCreateDeviceObject(driver, &info, pdo), STATUS_SUCCESS);
        device = ks::FindDevice(u"\\Device\\KorvaneMidiVr0");
        ext = device ? (DdExtension*)device->DeviceExtension : nullptr;
        if (ext)
            DdPrepareTb(ext, &tb, 0);
    }
    DeviceRig() : DeviceRig([](DdDriverInfo&) {}) {}

    ~DeviceRig() {
        if (ext)
            DdReleaseTb(ext, &tb);
        if (device)
            ks::SendPnp(device, IRP_MN_REMOVE_DEVICE);
        ks::DeletePhysicalDevice(pdo);
        EXPECT_EQ(ks::UnloadDriver(driver), "");
        FakeLower::current = nullptr;
    }
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // Deletes the device now (Plug and Play removal); the rig then only unloads.
    ks::IoResult Remove() {
        ks::IoResult result = ks::SendPnp(device, IRP_MN_REMOVE_DEVICE);
        device = nullptr;
        ext = nullptr;
        return result;
    }

    ks::ClientHandle* Open(NTSTATUS expected = STATUS_SUCCESS) {
        ks::ClientHandle* handle = nullptr;
        EXPECT_EQ(ks::ClientOpen(kLinkName, &handle), expected);
        return handle;
    }

    // One serial read of `bytes` handed to the parser by port 0's reader thread.
    void Feed(const std::vector<UCHAR>& bytes) {
        std::memcpy(tb.Buffer, bytes.data(), bytes.size());
        tb.ReadIndex = 0;
        tb.EndIndex = (ULONG)bytes.size();
        ParseInputBuffer(ext, &tb);
    }

    std::u16string RegistryPath() const { return registryPath_; }

private:
    std::u16string registryPath_;
    WCHAR deviceName_[16] = u"KorvaneMidiVr";
};

// A read buffer as user mode sees it.
struct ReadBuffer {
    DdMidiBuffer buffer{};
    std::vector<ULONG> Events() const {
        std::vector<ULONG> events;
        for (ULONG i = 0; i + 4 <= buffer.Length; i += 4) {
            ULONG e;
            std::memcpy(&e, buffer.Data + i, 4);
            events.push_back(e);
        }
        return events;
    }
};

} // namespace varlo_test
