// Driver objects and their extensions, device objects with names and stacks, symbolic links.
#include "ks_io.h"

#include <map>
#include <new>

namespace ks {

namespace {

struct NameEntry {
    PDEVICE_OBJECT device = nullptr; // a device, or
    std::u16string target;           // a symbolic link
};

struct Namespace {
    std::mutex lock;
    std::map<std::u16string, NameEntry> names; // by upcased name
};

Namespace& TheNamespace() {
    static Namespace* names = new Namespace;
    return *names;
}

// "\DosDevices\X" and "\\.\X" are "\??\X".
std::u16string Canonical(std::u16string_view name) {
    std::u16string text(name);
    std::u16string upper = Upcase(text);
    if (upper.rfind(u"\\DOSDEVICES\\", 0) == 0)
        return u"\\??\\" + text.substr(12);
    if (text.rfind(u"\\\\.\\", 0) == 0)
        return u"\\??\\" + text.substr(4);
    return text;
}

void CheckPassive(const char* what) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        Fail("%s at IRQL %d: needs PASSIVE_LEVEL", what, CurrentIrql());
}

bool DeleteDriverBody(void* body) {
    ((DriverRecord*)body)->~DriverRecord();
    return false;
}

bool DeleteDeviceBody(void* body) {
    PDRIVER_OBJECT driver = ((DeviceRecord*)body)->object.DriverObject;
    ((DeviceRecord*)body)->~DeviceRecord();
    if (driver != nullptr)
        DereferenceObject(driver); // each device holds its driver
    return false;
}

constexpr size_t kDeviceRecordSize = (sizeof(DeviceRecord) + 15) & ~(size_t)15;

} // namespace

std::u16string ToU16(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    if (s->Length % 2 != 0 || s->Length > s->MaximumLength)
        Fail("malformed UNICODE_STRING (Length %u, MaximumLength %u)", s->Length, s->MaximumLength);
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Upcase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = (char16_t)(c - u'a' + u'A');
    return out;
}

std::string Narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s)
        out += (c < 0x80) ? (char)c : '?';
    return out;
}

DriverRecord* RecordOf(PDRIVER_OBJECT driver) {
    if (KindOf(driver) != ObjectKind::Driver)
        Fail("%p is no driver object", (void*)driver);
    return (DriverRecord*)driver;
}

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
    if (KindOf(device) != ObjectKind::Device)
        Fail("%p is no device object", (void*)device);
    return (DeviceRecord*)device;
}

void* DriverOwnerKey(PDRIVER_OBJECT driver) {
    return driver;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view service) {
    void* body = CreateObject(ObjectKind::Driver, sizeof(DriverRecord), DeleteDriverBody);
    DriverRecord* record = new (body) DriverRecord{};
    record->name = u"\\Driver\\" + std::u16string(service);
    record->registryPath = ServiceKeyPath(service);
    record->registryPathString.Buffer = (PWSTR)record->registryPath.data();
    record->registryPathString.Length = (USHORT)(record->registryPath.size() * sizeof(WCHAR));
    record->registryPathString.MaximumLength =
        (USHORT)(record->registryPathString.Length + sizeof(WCHAR));
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    record->extension.ServiceKeyName.Buffer = (PWSTR)record->name.data() + 8;
    record->extension.ServiceKeyName.Length = (USHORT)(service.size() * sizeof(WCHAR));
    record->extension.ServiceKeyName.MaximumLength = record->extension.ServiceKeyName.Length;
    driver->DriverName.Buffer = (PWSTR)record->name.data();
    driver->DriverName.Length = (USHORT)(record->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& entry : driver->MajorFunction)
        entry = InvalidDeviceRequest;
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    DriverRecord* record = RecordOf(driver);
    for (auto& [id, block] : record->objectExtensions)
        ExFreePoolWithTag(block, Tag("IoDE"));
    record->objectExtensions.clear();
    DereferenceObject(driver);
}

PDEVICE_OBJECT TopOfStackOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(TheNamespace().lock);
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

std::vector<std::u16string> DeviceNamesOf(PDRIVER_OBJECT driver) {
    std::vector<std::u16string> names;
    std::lock_guard guard(TheNamespace().lock);
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
        auto& name = RecordOf(device)->name;
        names.push_back(name.empty() ? u"(unnamed device)" : name);
    }
    return names;
}

PDEVICE_OBJECT ResolveDeviceName(std::u16string_view name) {
    std::u16string current = Canonical(name);
    std::lock_guard guard(TheNamespace().lock);
    for (int hops = 0; hops < 8; hops++) {
        auto it = TheNamespace().names.find(Upcase(current));
        if (it == TheNamespace().names.end())
            return nullptr;
        if (it->second.device != nullptr)
            return it->second.device;
        current = Canonical(it->second.target);
    }
    return nullptr;
}

PDEVICE_OBJECT FindDevice(std::u16string_view name) {
    return ResolveDeviceName(name);
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link) {
    std::lock_guard guard(TheNamespace().lock);
    auto it = TheNamespace().names.find(Upcase(Canonical(link)));
    if (it == TheNamespace().names.end() || it->second.device != nullptr)
        return std::nullopt;
    return it->second.target;
}

} // namespace ks

using ks::TheNamespace;

extern "C" {

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                         PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize,
                                         PVOID* DriverObjectExtension) {
    ks::DriverRecord* record = ks::RecordOf(DriverObject);
    *DriverObjectExtension = nullptr;
    for (auto& [id, block] : record->objectExtensions)
        if (id == ClientIdentificationAddress)
            return STATUS_OBJECT_NAME_COLLISION;
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, DriverObjectExtensionSize, ks::Tag("IoDE"));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(block, 0, DriverObjectExtensionSize);
    record->objectExtensions.emplace_back(ClientIdentificationAddress, block);
    *DriverObjectExtension = block;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    for (auto& [id, block] : ks::RecordOf(DriverObject)->objectExtensions)
        if (id == ClientIdentificationAddress)
            return block;
    return nullptr;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    ks::CheckPassive("IoCreateDevice");
    ks::RecordOf(DriverObject);
    *DeviceObject = nullptr;
    std::u16string name = ks::Canonical(ks::ToU16(DeviceName));
    if (!name.empty() && name[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    void* body = ks::CreateObject(
        ks::ObjectKind::Device, ks::kDeviceRecordSize + DeviceExtensionSize, ks::DeleteDeviceBody);
    if (body == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    ks::DeviceRecord* record = new (body) ks::DeviceRecord{};
    record->name = name;
    PDEVICE_OBJECT device = &record->object;
    {
        std::lock_guard guard(TheNamespace().lock);
        if (!name.empty()) {
            auto [it, fresh] = TheNamespace().names.emplace(ks::Upcase(name), ks::NameEntry{});
            if (!fresh) {
                ks::DereferenceObject(body);
                return STATUS_OBJECT_NAME_COLLISION;
            }
            it->second.device = device;
        }
        device->Type = 3;
        device->Size = (USHORT)sizeof(DEVICE_OBJECT);
        device->ReferenceCount = 0;
        device->DriverObject = DriverObject;
        ks::ReferenceObject(DriverObject);
        device->DeviceExtension =
            DeviceExtensionSize ? (PUCHAR)body + ks::kDeviceRecordSize : nullptr;
        device->DeviceType = DeviceType;
        device->Characteristics = DeviceCharacteristics;
        device->StackSize = 1;
        device->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) |
                        (Exclusive ? DO_EXCLUSIVE : 0);
        KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
        record->objectExtension.Type = 13;
        record->objectExtension.Size = sizeof(DEVOBJ_EXTENSION);
        record->objectExtension.DeviceObject = device;
        device->DeviceObjectExtension = &record->objectExtension;
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    ks::CheckPassive("IoDeleteDevice");
    ks::DeviceRecord* record = ks::RecordOf(DeviceObject);
    {
        std::lock_guard guard(TheNamespace().lock);
        if (record->deleted)
            ks::Fail("device object %p deleted twice", (void*)DeviceObject);
        if (record->objectExtension.AttachedTo != nullptr)
            ks::Fail("device object %s deleted while still attached to a lower device (%p): "
                     "IoDetachDevice first",
                     ks::Narrow(record->name).c_str(), (void*)record->objectExtension.AttachedTo);
        record->deleted = true;
        if (!record->name.empty())
            TheNamespace().names.erase(ks::Upcase(record->name));
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject)
            link = &(*link)->NextDevice;
        if (*link == DeviceObject)
            *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
    }
    ks::DereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    std::lock_guard guard(TheNamespace().lock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    if (ks::RecordOf(top)->deleted)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    ks::RecordOf(SourceDevice)->objectExtension.AttachedTo = top;
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard guard(TheNamespace().lock);
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr)
        ks::Fail("IoDetachDevice of %p, which has no device attached", (void*)TargetDevice);
    ks::RecordOf(attached)->objectExtension.AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = ks::TopOfStackOf(DeviceObject);
    ks::ReferenceObject(top);
    return top;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    ks::CheckPassive("IoCreateSymbolicLink");
    std::u16string link = ks::Canonical(ks::ToU16(SymbolicLinkName));
    std::u16string target = ks::ToU16(DeviceName);
    if (link.empty() || link[0] != u'\\' || target.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard guard(TheNamespace().lock);
    auto [it, fresh] = TheNamespace().names.emplace(ks::Upcase(link), ks::NameEntry{});
    if (!fresh)
        return STATUS_OBJECT_NAME_COLLISION;
    it->second.target = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    ks::CheckPassive("IoDeleteSymbolicLink");
    std::u16string link = ks::Upcase(ks::Canonical(ks::ToU16(SymbolicLinkName)));
    std::lock_guard guard(TheNamespace().lock);
    auto it = TheNamespace().names.find(link);
    if (it == TheNamespace().names.end() || it->second.device != nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    TheNamespace().names.erase(it);
    return STATUS_SUCCESS;
}

} // extern "C"
