// Test equipment: wkclient.exe, the Win32 side of the Wine kernel run (tests/winekernel/run.sh).
//   wkclient install [DIR]   services WkSerial and VARLO2K in one load group, the test serial
//                            port started, then the device ROOT\VARLO2K from DIR\VARLO2K.inf as
//                            a root-enumerated node (as devcon install does); without DIR, the
//                            node and the service an installer made (its group set beforehand),
//                            VARLO2K started; waits for the device
//   wkclient model TEXT...   a command to the interface model (its answer on standard output)
//   wkclient device          the device through CreateFile, DeviceIoControl and ReadFile
//   wkclient unload          removes the device node and stops VARLO2K; checks what is left
//   wkclient hold            opens the device, leaves a read waiting and sleeps (to be killed)
// Each failure is one line naming the request, its status and the bytes; exit 1 after any.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "umdrv/ddbuffer.h"
#include "winekernel/wkshim.h"

namespace {

int g_failures = 0;

// Unless ok, one failure line (printf format); answers ok.
bool Check(bool ok, const char* format, ...) {
    if (ok)
        return true;
    va_list args;
    va_start(args, format);
    printf("FAIL: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    g_failures++;
    return false;
}
#define Fail(...) Check(false, __VA_ARGS__)

std::string Hex(const void* data, size_t length, size_t limit = 48) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < length && i < limit; i++) {
        snprintf(pair, sizeof pair, i ? " %02X" : "%02X", static_cast<const uint8_t*>(data)[i]);
        out += pair;
    }
    if (length > limit)
        out += " ... (" + std::to_string(length) + " bytes)";
    return out;
}

HANDLE OpenDevice(const char* path, DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

// One device-control request, waited for. Returns the bytes returned; *error is 0 or the failure.
DWORD Ioctl(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
            DWORD* error) {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok =
        DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, nullptr, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(h, &ov, &got, TRUE);
    else if (ok)
        GetOverlappedResult(h, &ov, &got, TRUE);
    *error = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    return got;
}

// A text request to the model's control device (or the shim's report with WKSHIM_IOCTL_REPORT).
std::string Text(const std::string& command, DWORD code = WKSERIAL_IOCTL_MODEL) {
    HANDLE h = OpenDevice("\\\\.\\WkModel", 0);
    if (!Check(h != INVALID_HANDLE_VALUE, "open \\\\.\\WkModel: error %lu", GetLastError()))
        return "";
    std::vector<char> answer(65536);
    DWORD error;
    DWORD got = Ioctl(h, code, command.data(), DWORD(command.size()), answer.data(),
                      DWORD(answer.size()), &error);
    CloseHandle(h);
    Check(!error, "text request '%s' (code %08lX): error %lu", command.c_str(), code, error);
    return std::string(answer.data(), got);
}

// Polls every 50 ms until done() or `ms` have passed; answers done().
template <class Done>
bool WaitUntil(DWORD ms, Done done) {
    for (DWORD waited = 0; !done(); waited += 50) {
        if (waited >= ms)
            return false;
        Sleep(50);
    }
    return true;
}

bool Has(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

void Expect(const std::string& report, const std::string& line, const char* what) {
    Check(Has(report, line), "%s: expected line '%s' in:\n%s", what, line.c_str(), report.c_str());
}

// A fixed-size answer of the driver: status and exact length checked.
void ExpectAnswer(HANDLE h, const char* name, DWORD code, void* out, DWORD length) {
    DWORD error;
    DWORD got = Ioctl(h, code, nullptr, 0, out, length, &error);
    Check(!error && got == length, "%s (%08lX): error %lu, %lu bytes returned of %lu: %s", name,
          code, error, got, length, Hex(out, got).c_str());
}

DWORD AnswerWord(HANDLE h, const char* name, DWORD code) {
    DWORD value = 0xFFFFFFFF;
    ExpectAnswer(h, name, code, &value, sizeof value);
    return value;
}

void Play(HANDLE h, const std::vector<uint8_t>& buffer, const char* what) {
    DWORD error;
    DWORD got = Ioctl(h, umdrv::IOCTL_DD_MIDI_PLAY, buffer.data(), DWORD(buffer.size()), nullptr, 0,
                      &error);
    Check(!error && got == buffer.size() - umdrv::kHeaderSize,
          "MIDI_PLAY %s: error %lu, %lu bytes taken of %zu: %s", what, error, got,
          buffer.size() - umdrv::kHeaderSize, Hex(buffer.data(), buffer.size()).c_str());
}

int Device() {
    for (const char* command : {"clear", "mode 0"})
        Text(command);

    HANDLE first = OpenDevice("\\\\.\\KorvaneMidiVr1");
    if (!Check(first != INVALID_HANDLE_VALUE, "CreateFile \\\\.\\KorvaneMidiVr1: error %lu",
               GetLastError()))
        return 1;
    // The first open found the interface on serial port 1 and switched it to computer mode.
    std::string port = Text("port");
    for (const char* line : {"requests baud queue get-handflow set-handflow line timeouts lsrmst "
                             "get-handflow set-handflow",
                             "baud 115200", "line 8 0 0",
                             "control-handshake 8", // CTS handshake once active
                             "flow-replace 128",    // RTS flow
                             "read-timeouts 4294967295 4294967295 4294967294"})
        Expect(port, line, "serial requests in order and their settings");
    std::string line = Text("line");
    Check(line.rfind("F0 63 60 0B 00 F7", 0) == 0 && line.find("F0 63 60 0F 7F F7") != line.npos,
          "serial line after open: expected the probe, then computer mode: %s", line.c_str());

    uint8_t caps[umdrv::kCapsSize];
    ExpectAnswer(first, "GET_CAPS", umdrv::IOCTL_DD_GET_CAPS, caps, sizeof caps);
    // Count 1, then the first entry's id 123 (little-endian words) and its name.
    Check(!memcmp(caps + 12, "\x01\0\0\0\x7B\0", 6) &&
              !strcmp(reinterpret_cast<const char*>(&caps[24]), "Korvane Varlo"),
          "GET_CAPS: expected one interface 123 \"Korvane Varlo\": %s", Hex(caps, 64).c_str());
    HANDLE second = OpenDevice("\\\\.\\KorvaneMidiVr1");
    Check(second != INVALID_HANDLE_VALUE, "CreateFile, second handle: error %lu", GetLastError());
    Check((AnswerWord(first, "NUM_CLIENTS", umdrv::IOCTL_DD_NUM_CLIENTS) & 0xFFFF) == 2,
          "NUM_CLIENTS with two handles: not 2");
    for (DWORD on : {0, 1}) {
        DWORD error;
        Ioctl(second, umdrv::IOCTL_DD_ACTIVATE, &on, sizeof on, nullptr, 0, &error);
        Check(!error, "ACTIVATE %lu: error %lu", on, error);
        Expect(Text("query"), "computer-mode " + std::to_string(on), "model after ACTIVATE");
        Check(AnswerWord(second, "GET_STATE", umdrv::IOCTL_DD_GET_STATE) == on,
              "GET_STATE after ACTIVATE %lu: not %lu", on, on);
    }

    // Output: events on cables 1 and 3, a 600-byte System Exclusive stream on cable 2.
    Text("clear");
    uint32_t events[] = {umdrv::MakeEvent(0x403C90, 1), umdrv::MakeEvent(0x6407B2, 3),
                         umdrv::MakeEvent(0x003C80, 1)};
    Play(second, umdrv::BuildEventPlay(0, events, 3), "events");
    std::vector<uint8_t> sysex(600, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    for (const auto& piece : umdrv::BuildStreamPlays(0, 2, sysex.data(), uint32_t(sysex.size())))
        Play(second, piece, "System Exclusive piece");
    std::string expected[] = {"", "90 3C 40\n80 3C 00\n",
                              Hex(sysex.data(), sysex.size(), sysex.size()) + "\n", "B2 07 64\n",
                              ""};
    for (int cable = 0; cable < 5; cable++) {
        std::string got = Text("cable " + std::to_string(cable));
        Check(got == expected[cable], "model cable %d after MIDI_PLAY: expected %s got %s", cable,
              expected[cable].c_str(), got.c_str());
    }

    // Input: a note on input cable 1 comes back to a waiting read (System Exclusive pieces and
    // their sizes are the parser's, checked on the kernel layer). Input reaches a client once one
    // of its reads has waited in the driver: the note is sent again until the read completes.
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t buffer[umdrv::kBufferSize];
    if (!ReadFile(first, buffer, sizeof buffer, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        Fail("ReadFile 256: error %lu", GetLastError());
    for (int i = 0; i < 25 && WaitForSingleObject(ov.hEvent, 200) != WAIT_OBJECT_0; i++)
        Check(Text("send 1 91 40 7F") == "ok", "model send 1 91 40 7F: refused");
    DWORD got = 0;
    umdrv::BufferView view;
    bool done = GetOverlappedResult(first, &ov, &got, FALSE); // before the message's arguments
    Check(done && umdrv::ParseBuffer(buffer, got, view) &&
              got == view.Length + umdrv::kHeaderSize && view.Type == umdrv::kEvents &&
              view.Length >= 4 && !memcmp(view.Data, "\x91\x40\x7F\x01", 4),
          "ReadFile 256: expected event 91 40 7F on cable 1 within 5 s: error %lu, %s",
          GetLastError(), Hex(buffer, got).c_str());

    // The last close sends the closing sequence and closes the serial port.
    Text("clear");
    CloseHandle(second);
    CloseHandle(first);
    CloseHandle(ov.hEvent);
    // The close reaches the driver after CloseHandle has returned.
    Check(WaitUntil(5000, [] { return Has(Text("port"), "opens 0"); }),
          "serial port after the last close: still open");
    std::string closing = "F5 00";
    for (int channel = 0; channel < 16; channel++)
        closing += " B" + std::string(1, "0123456789ABCDEF"[channel]) + " 7B 00";
    closing += " F0 63 60 10 7F F7";
    line = Text("line");
    Check(line == closing, "serial line after the last close: expected %s got %s", closing.c_str(),
          line.c_str());
    return g_failures ? 1 : 0;
}

SC_HANDLE Service(SC_HANDLE manager, const char* name, const char* path) {
    SC_HANDLE s = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, "VarloTest",
                                 nullptr, nullptr, nullptr, nullptr);
    if (!s && GetLastError() == ERROR_SERVICE_EXISTS)
        s = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (!s)
        Fail("CreateService %s: error %lu", name, GetLastError());
    return s;
}

void Start(SC_HANDLE service, const char* what) {
    if (service && !StartServiceA(service, 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        Fail("StartService %s: error %lu", what, GetLastError());
}

const char* const kDeviceLine = "device \\Device\\KorvaneMidiVr0";

int WaitForDevice() {
    // Plug and Play calls AddDevice, which names the device through the shim.
    std::string report;
    if (WaitUntil(20000, [&] { return Has(report = Text("", WKSHIM_IOCTL_REPORT), kDeviceLine); }))
        return 0;
    Fail("no \\Device\\KorvaneMidiVr0 20 s after the installation: %s", report.c_str());
    return 1;
}

// With DIR, the device node is made from DIR's INF; without, the node an installer made is used.
int Install(const char* dir) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    // One load group: both drivers in one winedevice process, where the shim finds Serial1.
    SC_HANDLE serial = Service(manager, "WkSerial", "C:\\windows\\system32\\drivers\\wkserial.sys");
    SC_HANDLE varlo = Service(manager, "VARLO2K", "C:\\windows\\system32\\drivers\\VARLO2K.sys");
    Start(serial, "WkSerial");
    // Started, a driver enumerates its root-enumerated nodes (AddDevice).
    if (!dir)
        Start(varlo, "VARLO2K");
    CloseServiceHandle(serial);
    CloseServiceHandle(varlo);
    CloseServiceHandle(manager);
    if (g_failures || !dir)
        return g_failures ? 1 : WaitForDevice();

    std::string inf = std::string(dir) + "\\VARLO2K.inf";
    GUID guid;
    char className[64];
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    const char ids[] = "ROOT\\VARLO2K\0";
    BOOL reboot = FALSE;
    if (!SetupDiGetINFClassA(inf.c_str(), &guid, className, sizeof className, nullptr))
        Fail("SetupDiGetINFClass %s: error %lu", inf.c_str(), GetLastError());
    else if ((set = SetupDiCreateDeviceInfoList(&guid, nullptr)) == INVALID_HANDLE_VALUE)
        Fail("SetupDiCreateDeviceInfoList: error %lu", GetLastError());
    else if (!SetupDiCreateDeviceInfoA(set, className, &guid, nullptr, nullptr, DICD_GENERATE_ID,
                                       &data))
        Fail("SetupDiCreateDeviceInfo: error %lu", GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, (const BYTE*)ids,
                                                sizeof ids))
        Fail("SetupDiSetDeviceRegistryProperty: error %lu", GetLastError());
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data))
        Fail("SetupDiCallClassInstaller DIF_REGISTERDEVICE: error %lu", GetLastError());
    else if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, "ROOT\\VARLO2K", inf.c_str(),
                                                 INSTALLFLAG_FORCE, &reboot))
        Fail("UpdateDriverForPlugAndPlayDevices: error %lu", GetLastError());
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    return g_failures ? 1 : WaitForDevice();
}

// Removes the device node (as devcon remove does).
void RemoveDevice() {
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    int removed = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++) {
        char ids[256] = "";
        if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, (BYTE*)ids,
                                               sizeof ids - 1, nullptr) ||
            _stricmp(ids, "ROOT\\VARLO2K") != 0)
            continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &data))
            removed++;
        else
            Fail("SetupDiCallClassInstaller DIF_REMOVE: error %lu", GetLastError());
    }
    SetupDiDestroyDeviceInfoList(set);
    Check(removed == 1, "device nodes ROOT\\VARLO2K removed: %d, not 1", removed);
}

// Removal, then unload. Wine 8 sends IRP_MN_REMOVE_DEVICE when a start request makes it enumerate
// the driver's root devices again and finds the node gone; it then still refuses to stop the
// driver alone ("still has running PnP devices").
int Unload() {
    RemoveDevice();
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE varlo = OpenServiceA(manager, "VARLO2K", SERVICE_ALL_ACCESS);
    Start(varlo, "VARLO2K (enumeration)");
    std::string report;
    WaitUntil(10000, [&] { return !Has(report = Text("", WKSHIM_IOCTL_REPORT), kDeviceLine); });
    // Left: the test serial port's two devices. Gone: the driver's device and its link, the serial
    // port's file object.
    Expect(report, "devices 2", "shim after removal");
    Expect(report, "files 0", "shim after removal");
    Expect(Text("port"), "opens 0", "serial port after removal");
    HANDLE h = OpenDevice("\\\\.\\KorvaneMidiVr1");
    if (!Check(h == INVALID_HANDLE_VALUE, "CreateFile \\\\.\\KorvaneMidiVr1 after removal: opened"))
        CloseHandle(h);
    // The driver alone cannot be stopped; its winedevice.exe service (WinedeviceN, the one of the
    // load group) can: Wine removes every device and runs every unload routine, where
    // the shim appends its state to C:\windows\temp\wkshim-unload.txt.
    SC_HANDLE host = nullptr;
    for (int n = 1; n < 32 && !host; n++) {
        host =
            OpenServiceA(manager, ("Winedevice" + std::to_string(n)).c_str(), SERVICE_ALL_ACCESS);
        static char config[4096];
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config);
        DWORD size;
        if (host && (!QueryServiceConfigA(host, c, sizeof config, &size) || !c->lpLoadOrderGroup ||
                     strcmp(c->lpLoadOrderGroup, "VarloTest") != 0)) {
            CloseServiceHandle(host);
            host = nullptr;
        }
    }
    SERVICE_STATUS status = {};
    DeleteFileA("C:\\windows\\temp\\wkshim-unload.txt");
    if (!host || !ControlService(host, SERVICE_CONTROL_STOP, &status))
        Fail("stop of VARLO2K's winedevice.exe service: error %lu", GetLastError());
    if (host) {
        WaitUntil(10000, [&] {
            return !QueryServiceStatus(host, &status) || status.dwCurrentState == SERVICE_STOPPED;
        });
        CloseServiceHandle(host);
    }
    std::ifstream file("C:\\windows\\temp\\wkshim-unload.txt");
    std::string unloads{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    size_t at = unloads.find("unload \\Driver\\VARLO2K\n");
    std::string mine = unloads.substr(at == std::string::npos ? unloads.size() : at);
    mine = mine.substr(0, mine.find("unload ", 1));
    if (mine.empty())
        Fail("VARLO2K's unload routine did not run");
    else if (Has(mine, kDeviceLine) || !Has(mine, "files 0") || !Has(mine, "extensions 0") ||
             mine.find("pool Ddk ") != std::string::npos)
        Fail("VARLO2K left behind at its unload (devices, serial files, extensions, pool): %s",
             mine.c_str());
    CloseServiceHandle(varlo);
    CloseServiceHandle(manager);
    return g_failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "install" && argc <= 3)
        return Install(argc == 3 ? argv[2] : nullptr);
    if (command == "device" && argc == 2)
        return Device();
    if (command == "unload" && argc == 2)
        return Unload();
    if (command == "hold" && argc == 2) {
        // A client that vanishes (the caller kills it) with its device open and a read waiting.
        HANDLE h = OpenDevice("\\\\.\\KorvaneMidiVr1");
        static uint8_t buffer[umdrv::kBufferSize];
        static OVERLAPPED ov = {};
        if (h == INVALID_HANDLE_VALUE || (!ReadFile(h, buffer, sizeof buffer, nullptr, &ov) &&
                                          GetLastError() != ERROR_IO_PENDING))
            return 1;
        printf("holding\n");
        Sleep(INFINITE);
    }
    if (command == "model" && argc > 2) {
        std::string text = argv[2];
        for (int i = 3; i < argc; i++)
            text += std::string(" ") + argv[i];
        printf("%s\n", Text(text).c_str());
        return g_failures ? 1 : 0;
    }
    fprintf(stderr, "usage: wkclient install [DIR] | device | unload | model TEXT...\n");
    return 2;
}
