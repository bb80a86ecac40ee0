// Driver entry, device creation with its names and extension, removal and unload, and the
// service key's values, on the host kernel-services layer.
#include "core/dd.h"

#include <ks/system.h>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

const std::u16string kService = u"VARLO2K";
const std::u16string kKey = ks::ServiceKeyPath(kService);

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        ks::RegistryDeleteKey(kKey);
        NTSTATUS status;
        driver_ = ks::LoadDriver(kService, DriverEntry, &status, {{DD_POOL_TAG}});
        ASSERT_EQ(status, STATUS_SUCCESS);
        pdo_ = ks::CreatePhysicalDevice();
    }
    void TearDown() override {
        if (device_ != nullptr) // removal deletes device and link (Plug and Play tests look)
            EXPECT_EQ(DdRemoveDevice(Extension(), nullptr), STATUS_SUCCESS);
        if (pdo_ != nullptr)
            ks::DeletePhysicalDevice(pdo_);
        if (driver_ != nullptr)
            EXPECT_EQ(ks::UnloadDriver(driver_), "");
        EXPECT_EQ(ks::PoolBlocks(DD_POOL_TAG), 0u);
        EXPECT_EQ(ks::PoolBlocks(ks::Tag("IoDE")), 0u); // the driver object's extension
    }
    // Loads the driver again with the first allocation of `tag` failing.
    NTSTATUS ReloadFailing(ULONG tag) {
        EXPECT_EQ(ks::UnloadDriver(driver_), "");
        ks::FailPoolAllocations(tag, 0, 1);
        NTSTATUS status;
        driver_ = ks::LoadDriver(kService, DriverEntry, &status, {{DD_POOL_TAG}});
        ks::FailPoolAllocations(0, 0, 0);
        return status;
    }
    void Add() {
        ASSERT_EQ(ks::AddDevice(driver_, pdo_), STATUS_SUCCESS);
        device_ = ks::FindDevice(u"\\Device\\KorvaneMidiVr0");
        ASSERT_NE(device_, nullptr);
    }
    DdExtension* Extension() { return (DdExtension*)device_->DeviceExtension; }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(Driver, AddDeviceCreatesTheDeviceAndItsExtension) {
    // (The link and the flags: the device tests open, read and power it through them.)
    Add();
    EXPECT_EQ(device_->DeviceType, (DEVICE_TYPE)FILE_DEVICE_MIDI_IN);
    EXPECT_EQ(ks::TopOfStack(pdo_), device_);

    DdExtension* ext = Extension();
    EXPECT_EQ(ext->DeviceObject, device_);
    EXPECT_EQ(ext->LowerDevice, pdo_);
    EXPECT_EQ(std::u16string(ext->Info.RegistryPath), kKey); // the entry's copy of the service key
    EXPECT_EQ(std::u16string(ext->Info.DeviceName), u"KorvaneMidiVr");

    // Behind the fixed fields, in order, inside the one allocation and suitably aligned.
    auto* base = (PUCHAR)ext;
    auto* path = (PUCHAR)ext->Info.RegistryPath;
    auto* name = (PUCHAR)ext->Info.DeviceName;
    auto* in = (PUCHAR)ext->InCableTable;
    auto* out = (PUCHAR)ext->OutTable;
    auto* context = (PUCHAR)ext->Context;
    EXPECT_GE(path, base + sizeof(DdExtension));
    EXPECT_GE(name, path + (kKey.size() + 1) * 2);
    EXPECT_GE(in, name + sizeof(u"KorvaneMidiVr"));
    EXPECT_GE(out, in + 6 * sizeof(DdInCableState));       // 3 input cables x 2 ports
    EXPECT_GE(context, out + 2 * sizeof(DdOutCableState)); // one entry per port
    EXPECT_LT(context, out + 2 * sizeof(DdOutCableState) + 16);
    EXPECT_EQ((uintptr_t)in % alignof(DdInCableState), 0u);
    EXPECT_EQ((uintptr_t)context % 16, 0u);
}

TEST_F(Driver, SecondDeviceNodeFindsTheNameTaken) {
    Add();
    PDEVICE_OBJECT second = ks::CreatePhysicalDevice();
    EXPECT_EQ(ks::AddDevice(driver_, second), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(second->AttachedDevice, nullptr);
    ks::DeletePhysicalDevice(second);
}

TEST_F(Driver, LinkThatCannotBeMadeLeavesTheStackBeforeTheDeviceGoes) {
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\KorvaneMidiVr1");
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    // The layer aborts if the device were deleted while still attached to the node.
    EXPECT_EQ(ks::AddDevice(driver_, pdo_), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(ks::SymbolicLinkTarget(u"\\??\\KorvaneMidiVr1"), u"\\Device\\Elsewhere");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// A registry path that could not be copied loads the driver but refuses its device; an
// extension that could not be allocated fails the load.
TEST_F(Driver, EntryWithoutPool) {
    ASSERT_EQ(ReloadFailing(DD_POOL_TAG), STATUS_SUCCESS);
    auto* copy = (PUNICODE_STRING)IoGetDriverObjectExtension(driver_, DD_DRIVER_EXTENSION_ID);
    EXPECT_EQ(copy->Length + copy->MaximumLength, 0);
    EXPECT_EQ(ks::AddDevice(driver_, pdo_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);

    EXPECT_EQ(ReloadFailing(ks::Tag("IoDE")), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver_, nullptr);
}

// The transport's create hook seen through a device created directly from an info table.
// (The free hook and what removal deletes: the Plug and Play tests.)
int gCreated;

ULONG CreateHook(SmDevice* context, DdExtension* extension) {
    EXPECT_EQ(context, extension->Context);
    gCreated++;
    return 1;
}

TEST_F(Driver, CreateHookGetsTheContextInsideTheExtension) {
    gCreated = 0;
    WCHAR path[] = DD_WTEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VARLO2K");
    WCHAR base[] = DD_WTEXT("Probe");
    DdDriverInfo info = {};
    info.RegistryPath = path;
    info.DeviceName = base;
    info.MaxPorts = 3;
    info.InCables = 4;
    info.OutCables = 5;
    info.Flags = DD_FLAG_OUT_CABLES;
    info.ContextSize = 40;
    info.CreateDevice = CreateHook;
    ASSERT_EQ(DdCreateDeviceObject(driver_, &info, nullptr), STATUS_SUCCESS);
    PDEVICE_OBJECT device = ks::FindDevice(u"\\Device\\Probe0");
    ASSERT_NE(device, nullptr);
    auto* ext = (DdExtension*)device->DeviceExtension;
    EXPECT_EQ(gCreated, 1);
    EXPECT_EQ(ext->LowerDevice, nullptr);
    EXPECT_EQ(DdInCableEntries(&ext->Info), 3u); // one per port without DD_FLAG_IN_CABLES
    EXPECT_EQ(DdOutCableEntries(&ext->Info), 15u);
    EXPECT_GE((PUCHAR)ext->Context, (PUCHAR)ext->OutTable + 15 * sizeof(DdOutCableState));
    // The caller's strings were copied, not referenced.
    path[0] = 'X';
    EXPECT_EQ(std::u16string(ext->Info.RegistryPath), kKey);
    memset(ext->Context, 0xEE, 40); // the context is the transport's to use
    EXPECT_EQ(DdRemoveDevice(ext, nullptr), STATUS_SUCCESS);
}

TEST_F(Driver, ValuesOfTheWrongTypeOrSizeReadAsTheDefaultWritesSayIfTheyHappened) {
    Add();
    DdExtension* ext = Extension();
    const ULONG none = 0xFFFFFFFF;
    EXPECT_EQ(DdQueryDeviceValue(ext, DD_WTEXT("PreviousPort"), none), none);
    ks::RegistrySetDword(kKey, u"PreviousPort", 3);
    EXPECT_EQ(DdQueryDeviceValue(ext, DD_WTEXT("previousport"), none), 3u);
    // A string, a wide or an oversized DWORD, binary data: each reads as the default.
    uint64_t wide = 3;
    std::vector<uint8_t> big(400, 1);
    using Value = std::tuple<ULONG, const void*, size_t>;
    for (auto [type, data, size] :
         {Value{REG_SZ, u"3", 4}, Value{REG_DWORD, &wide, 8}, Value{REG_BINARY, &wide, 4},
          Value{REG_DWORD, big.data(), 400}}) {
        ks::RegistrySetValue(kKey, u"PreviousPort", type, data, size);
        EXPECT_EQ(DdQueryDeviceValue(ext, DD_WTEXT("PreviousPort"), none), none) << type << size;
    }
    ks::RegistryDeleteKey(kKey);
    EXPECT_EQ(DdQueryDeviceValue(ext, DD_WTEXT("PreviousPort"), 7), 7u);

    // Writes report whether they happened.
    ks::RegistryCreateKey(kKey);
    EXPECT_TRUE(DdSetDeviceValue(ext, DD_WTEXT("OpenError3"), (ULONG)STATUS_ACCESS_DENIED));
    EXPECT_TRUE(DdSetDeviceString(ext, DD_WTEXT("SubDevice0"), DD_WTEXT("123;Korvane Varlo")));
    auto value = ks::RegistryGetValue(kKey, u"SubDevice0");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_EQ(value->data.size(), sizeof(u"123;Korvane Varlo")); // with the terminating zero

    // Without the key nothing can be written, and the callers are told so.
    ks::RegistryDeleteKey(kKey);
    EXPECT_FALSE(DdSetDeviceValue(ext, DD_WTEXT("NumSubDevices"), 1));
    EXPECT_FALSE(DdSetDeviceString(ext, DD_WTEXT("SubDevice0"), DD_WTEXT("1;x")));
    EXPECT_FALSE(ks::RegistryGetDword(kKey, u"NumSubDevices"));
    EXPECT_EQ(DdOpenDeviceKey(ext, KEY_QUERY_VALUE), nullptr);
}

// (Device 0's own names: the AddDevice case.)
TEST(Names, DeviceAndLinkNamesWithTheirNumbers) {
    WCHAR buffer[DD_NAME_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING out = {0, sizeof(buffer), buffer};
    auto text = [&] { return std::u16string(out.Buffer, out.Length / 2); };
    EXPECT_EQ(BuildDeviceName(DD_WTEXT("Serial"), 12, &out), STATUS_SUCCESS);
    EXPECT_EQ(text(), u"\\Device\\Serial12");
    EXPECT_EQ(BuildWin32Name(DD_WTEXT("X"), 9, &out), STATUS_SUCCESS);
    EXPECT_EQ(text(), u"\\??\\X10");
    EXPECT_EQ(BuildDeviceName(DD_WTEXT("Serial"), -1, &out), STATUS_SUCCESS);
    EXPECT_EQ(text(), u"\\Device\\Serial");

    WCHAR small[12];
    UNICODE_STRING tight = {0, sizeof(small), small};
    EXPECT_FALSE(NT_SUCCESS(BuildDeviceName(DD_WTEXT("KorvaneMidiVr"), 0, &tight)));
    EXPECT_LE(tight.Length, tight.MaximumLength);
}

TEST(HardwareInfo, PresetQueryKnowsNoSubDevice) {
    DdHardwareInfo info;
    memset(&info, 0x5A, sizeof(info));
    EXPECT_EQ(DdGetHardwareInfo(nullptr, 0, &info), -1);
    EXPECT_EQ(DdGetHardwareInfo(nullptr, -1, nullptr), -1);
    EXPECT_EQ(info.Id, 0x5A5A); // untouched
}

} // namespace
