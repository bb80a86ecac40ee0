// varlosetup: installs and removes the Varlo driver package through SetupAPI, as the system's own
// driver tools do, and registers the user-mode MIDI driver with the multimedia system. Run by the
// installer and the uninstaller (elevated); usable by hand as well.
//   varlosetup install DIR   DIR holds VARLO2K.inf and the files it names
//   varlosetup remove
// Exit status 0 on success; otherwise a line on standard error says what failed.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kHardwareId[] = L"ROOT\\VARLO2K";
const wchar_t kInfName[] = L"VARLO2K.inf";
const wchar_t kModelsSection[] = L"Korvane.NTamd64";
const wchar_t kServiceName[] = L"VARLO2K";
const wchar_t kMidiDriver[] = L"varlomid.drv";
const wchar_t kMidiDescription[] = L"Korvane Varlo MIDI interface";
const wchar_t kDrivers32[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const wchar_t kClassKeys[] = L"System\\CurrentControlSet\\Control\\Class\\";
const wchar_t kDriversDesc[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
// The system's MEDIA device class.
const wchar_t kMediaClassText[] = L"{4d36e96c-e325-11ce-bfc1-08002be10318}";
const GUID kMediaClass = {
    0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int Fail(const wchar_t* what, DWORD error = GetLastError()) {
    wchar_t text[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, 512, nullptr);
    fwprintf(stderr, L"varlosetup: %ls: error 0x%08lx %ls\n", what, error, text);
    return 1;
}

struct Inf {
    HINF handle = INVALID_HANDLE_VALUE;
    explicit Inf(const std::wstring& path, UINT* errorLine = nullptr)
        : handle(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, errorLine)) {}
    ~Inf() {
        if (handle != INVALID_HANDLE_VALUE)
            SetupCloseInfFile(handle);
    }
    Inf(const Inf&) = delete;
    Inf& operator=(const Inf&) = delete;
};

struct DeviceSet {
    HDEVINFO handle;
    explicit DeviceSet(HDEVINFO h) : handle(h) {}
    ~DeviceSet() {
        if (handle != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(handle);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
};

struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle)
            RegCloseKey(handle);
    }
};

std::wstring WindowsDir(const wchar_t* tail) {
    wchar_t dir[MAX_PATH] = L"";
    GetWindowsDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + tail;
}

// True when the device's hardware ids (a multi-string) include ours.
bool IsOurDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    wchar_t ids[1024] = L"";
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof ids - 4, nullptr))
        return false;
    for (const wchar_t* id = ids; *id; id += wcslen(id) + 1)
        if (_wcsicmp(id, kHardwareId) == 0)
            return true;
    return false;
}

// Calls fn(set, device) for every device node, present or not, that carries our hardware id.
template <typename Fn>
int ForEachOurDevice(Fn fn) {
    DeviceSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (set.handle == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.handle, i, &device); ++i)
        if (IsOurDevice(set.handle, device)) {
            fn(set.handle, device);
            ++count;
        }
    return count;
}

// The device node: root-enumerated, since the interface on its serial port has no Plug and Play
// identity of its own. Made once; a later install updates its driver.
int CreateRootDevice() {
    if (ForEachOurDevice([](HDEVINFO, SP_DEVINFO_DATA&) {}) > 0)
        return 0;
    DeviceSet set(SetupDiCreateDeviceInfoList(&kMediaClass, nullptr));
    if (set.handle == INVALID_HANDLE_VALUE)
        return Fail(L"device list");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set.handle, L"MEDIA", &kMediaClass, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device))
        return Fail(L"device node");
    wchar_t ids[32] = L"";
    wcscpy(ids, kHardwareId); // a multi-string: the array's zeros end it twice
    if (!SetupDiSetDeviceRegistryPropertyW(set.handle, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<BYTE*>(ids),
                                           DWORD((wcslen(ids) + 2) * sizeof(wchar_t))))
        return Fail(L"hardware id");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.handle, &device))
        return Fail(L"registering the device node");
    return 0;
}

// The Drivers32 value for our MIDI driver: the one already naming it, else the first free of
// "midi", "midi1" ... "midi9" (the names the multimedia system reads). Empty when all are taken.
std::wstring MidiSlot(HKEY drivers32) {
    std::wstring freeSlot;
    for (int n = 0; n <= 9; ++n) {
        std::wstring slot = n ? L"midi" + std::to_wstring(n) : L"midi";
        wchar_t data[MAX_PATH] = L"";
        DWORD size = sizeof data - sizeof(wchar_t), type = 0;
        LONG r = drivers32 ? RegQueryValueExW(drivers32, slot.c_str(), nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size)
                           : ERROR_FILE_NOT_FOUND;
        if (r == ERROR_SUCCESS && _wcsicmp(data, kMidiDriver) == 0)
            return slot;
        if (r == ERROR_FILE_NOT_FOUND && freeSlot.empty())
            freeSlot = slot;
    }
    return freeSlot;
}

int FailNoMidiSlot() {
    return Fail(L"Drivers32: every MIDI driver slot (midi, midi1 ... midi9) is taken by another "
                L"driver; remove one first",
                ERROR_NO_MORE_ITEMS);
}

// Checked before anything is installed, so that a full table leaves the system untouched.
bool HasMidiSlot() {
    Key drivers32;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ, &drivers32.handle);
    return !MidiSlot(drivers32.handle).empty();
}

int RegisterMidiDriver() {
    Key drivers32, desc;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &drivers32.handle, nullptr) != ERROR_SUCCESS)
        return Fail(L"Drivers32 key");
    std::wstring freeSlot = MidiSlot(drivers32.handle);
    if (freeSlot.empty())
        return FailNoMidiSlot();
    if (RegSetValueExW(drivers32.handle, freeSlot.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(kMidiDriver), sizeof kMidiDriver) != 0)
        return Fail(L"Drivers32 value");
    // The description list, where the system keeps one.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, KEY_WRITE, &desc.handle) ==
        ERROR_SUCCESS)
        RegSetValueExW(desc.handle, kMidiDriver, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(kMidiDescription), sizeof kMidiDescription);
    return 0;
}

void UnregisterMidiDriver() {
    Key drivers32, desc;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_READ | KEY_WRITE, &drivers32.handle) ==
        ERROR_SUCCESS) {
        std::vector<std::wstring> ours;
        wchar_t name[256], data[MAX_PATH];
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = 256, size = sizeof data - sizeof(wchar_t), type = 0;
            data[0] = 0;
            if (RegEnumValueW(drivers32.handle, i, name, &nameLength, nullptr, &type,
                              reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
                break;
            data[size / sizeof(wchar_t)] = 0;
            if (type == REG_SZ && _wcsicmp(data, kMidiDriver) == 0)
                ours.push_back(name);
        }
        for (const std::wstring& value : ours)
            RegDeleteValueW(drivers32.handle, value.c_str());
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriversDesc, 0, KEY_WRITE, &desc.handle) ==
        ERROR_SUCCESS)
        RegDeleteValueW(desc.handle, kMidiDriver);
}

int Install(const std::wstring& dir) {
    std::wstring inf = dir + L"\\" + kInfName;
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(inf.c_str(), MAX_PATH, full, nullptr))
        return Fail(inf.c_str());
    UINT errorLine = 0;
    {
        Inf check(full, &errorLine);
        if (check.handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            fwprintf(stderr, L"varlosetup: %ls, line %u:\n", full, errorLine);
            return Fail(L"the driver's INF cannot be read", error);
        }
        // Every file the INF installs must be there: nothing is installed otherwise.
        INFCONTEXT line;
        for (BOOL more = SetupFindFirstLineW(check.handle, L"SourceDisksFiles", nullptr, &line);
             more; more = SetupFindNextLine(&line, &line)) {
            wchar_t name[MAX_PATH] = L"";
            SetupGetStringFieldW(&line, 0, name, MAX_PATH, nullptr);
            std::wstring file = dir + L"\\" + name;
            if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
                return Fail((L"the driver package lacks " + file).c_str());
        }
    }
    if (!HasMidiSlot())
        return FailNoMidiSlot();
    // Into the system's INF folder (oemN.inf), where the uninstall finds it again.
    wchar_t copied[MAX_PATH] = L"";
    if (!SetupCopyOEMInfW(full, nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr, nullptr))
        return Fail(L"adding the driver package");
    if (int r = CreateRootDevice())
        return r;
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, full, INSTALLFLAG_FORCE, &reboot))
        return Fail(L"installing the driver on the device");
    if (int r = RegisterMidiDriver())
        return r;
    wprintf(L"varlosetup: installed %ls as %ls%ls\n", kInfName, copied,
            reboot ? L" (restart Windows to finish)" : L"");
    return 0;
}

// True when the INF's models section names our hardware id.
bool IsOurInf(const std::wstring& path) {
    Inf inf(path);
    INFCONTEXT line;
    if (inf.handle == INVALID_HANDLE_VALUE ||
        !SetupFindFirstLineW(inf.handle, kModelsSection, nullptr, &line))
        return false;
    wchar_t id[64] = L"";
    return SetupGetStringFieldW(&line, 2, id, 64, nullptr) && _wcsicmp(id, kHardwareId) == 0;
}

// The INF a device was installed from, as its driver key records it (a name in the INF folder).
void AddDeviceInf(HDEVINFO set, SP_DEVINFO_DATA& device, std::vector<std::wstring>& names) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return;
    wchar_t name[MAX_PATH] = L"";
    DWORD size = sizeof name - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, L"InfPath", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        names.push_back(name);
    RegCloseKey(key);
}

// Driver packages of ours that no device uses any more: oem*.inf in the INF folder.
void AddUnusedInfs(std::vector<std::wstring>& names) {
    WIN32_FIND_DATAW data;
    std::wstring folder = WindowsDir(L"\\inf\\");
    HANDLE find = FindFirstFileW((folder + L"oem*.inf").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsOurInf(folder + data.cFileName))
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// The MEDIA class key, when installing this device made it and nothing else is in it.
void DeleteEmptyClassKey() {
    std::wstring path = std::wstring(kClassKeys) + kMediaClassText;
    Key key;
    DWORD subkeys = 1, values = 1;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key.handle) != 0 ||
        RegQueryInfoKeyW(key.handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != 0)
        return;
    if (subkeys == 0 && values == 0)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

int Remove() {
    int failed = 0;
    std::vector<std::wstring> infs;
    ForEachOurDevice([&](HDEVINFO set, SP_DEVINFO_DATA& device) {
        AddDeviceInf(set, device, infs);
        wchar_t driverKey[MAX_PATH] = L"";
        SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr,
                                          reinterpret_cast<BYTE*>(driverKey),
                                          sizeof driverKey - sizeof(wchar_t), nullptr);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            failed = Fail(L"removing the device node");
        // The device's driver key under its class key, when the removal left it behind.
        else if (driverKey[0])
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kClassKeys) + driverKey).c_str());
    });
    DeleteEmptyClassKey();
    AddUnusedInfs(infs);
    std::sort(infs.begin(), infs.end());
    infs.erase(std::unique(infs.begin(), infs.end()), infs.end());
    for (const std::wstring& name : infs) {
        std::wstring path = WindowsDir(L"\\inf\\") + name;
        if (!IsOurInf(path))
            continue;
        if (!SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr))
            failed = Fail((L"removing the driver package " + name).c_str());
        // Its precompiled form, when the removal left it.
        else if (path.size() > 4 && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            DeleteFileW((path.substr(0, path.size() - 4) + L".pnf").c_str());
    }
    // The device's removal leaves the service behind; it goes with the package.
    if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP | DELETE)) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
                failed = Fail(L"deleting the service");
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    UnregisterMidiDriver();
    // The files the package put into the system folder; a file in use goes at the next restart.
    for (const wchar_t* file : {L"\\drivers\\VARLO2K.sys", L"\\varlomid.drv"}) {
        wchar_t system[MAX_PATH] = L"";
        GetSystemDirectoryW(system, MAX_PATH);
        std::wstring path = std::wstring(system) + file;
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    if (!failed)
        wprintf(L"varlosetup: removed\n");
    return failed;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"install") == 0)
        return Install(argv[2]);
    if (argc == 2 && wcscmp(argv[1], L"remove") == 0)
        return Remove();
    fwprintf(stderr, L"usage: varlosetup install DIR | varlosetup remove\n");
    return 2;
}
