// The settings store on the registry. User-interface thread only; the key is opened and closed
// around every single read or write.
#include "base/settings.h"

#include <cstring>

namespace {

void CopyTruncated(char* to, const char* from, int cap) {
    int n = 0;
    while (n + 1 < cap && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    to[n] = '\0';
}

// True when the query left a string that is terminated inside the buffer; terminates a string
// stored without its zero when there is room for one.
bool TerminatedInBuffer(char* buf, int size, DWORD bytes) {
    if (bytes < DWORD(size)) {
        buf[bytes] = '\0';
        return true;
    }
    return std::memchr(buf, '\0', size_t(size)) != nullptr;
}

} // namespace

HKEY OpenSettingsKey() {
    HKEY key = nullptr;
    char noClass[] = "";
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, VARLO_SETTINGS_KEY, 0, noClass,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

int ReadSettingString(const char* name, char* buf, int size, const char* fallback) {
    HKEY key = OpenSettingsKey();
    if (!key)
        return 0;
    if (size <= 0) {
        RegCloseKey(key);
        return 0;
    }
    buf[0] = '\0';
    DWORD type = 0;
    DWORD bytes = DWORD(size);
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &bytes);
    RegCloseKey(key);
    bool ok = rc == ERROR_SUCCESS && type == REG_SZ && TerminatedInBuffer(buf, size, bytes);
    if (!ok) {
        // Whatever the failed query left (raw bytes of another type) is not a string.
        buf[0] = '\0';
        if (fallback)
            CopyTruncated(buf, fallback, size);
    }
    return int(std::strlen(buf));
}

int WriteSettingString(const char* name, const char* text) {
    HKEY key = OpenSettingsKey();
    if (!key)
        return 0;
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             DWORD(std::strlen(text) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 1 : 0;
}

int StoreWindowPlacement(const char* name, HWND window) {
    WINDOWPLACEMENT wp = {};
    wp.length = sizeof wp;
    GetWindowPlacement(window, &wp);
    // Minimised from maximised: the window comes back maximised.
    if (wp.showCmd == SW_SHOWMINIMIZED && (wp.flags & WPF_RESTORETOMAXIMIZED))
        wp.showCmd = SW_SHOWMAXIMIZED;
    PlacementNumbers p = {int(wp.showCmd),
                          int(wp.rcNormalPosition.left),
                          int(wp.rcNormalPosition.top),
                          int(wp.rcNormalPosition.right),
                          int(wp.rcNormalPosition.bottom),
                          int(wp.ptMinPosition.x),
                          int(wp.ptMinPosition.y),
                          int(wp.ptMaxPosition.x),
                          int(wp.ptMaxPosition.y)};
    char text[kPlacementTextMax];
    FormatPlacement(p, text, sizeof text);
    WriteSettingString(name, text);
    return 1;
}

int RestoreWindowPlacement(const char* name, HWND window, int showCmd) {
    char text[kPlacementTextMax];
    PlacementNumbers p = {};
    if (ReadSettingString(name, text, sizeof text, nullptr) == 0 || !ParsePlacement(text, p)) {
        ShowWindow(window, showCmd);
        return 0;
    }
    WINDOWPLACEMENT wp = {};
    wp.length = sizeof wp;
    wp.flags = 0;
    wp.showCmd = UINT(RestoredShowCommand(p.showCmd, showCmd));
    wp.ptMinPosition = {p.minX, p.minY};
    wp.ptMaxPosition = {p.maxX, p.maxY};
    wp.rcNormalPosition = {p.normalLeft, p.normalTop, p.normalRight, p.normalBottom};
    SetWindowPlacement(window, &wp);
    return 1;
}
