// Resource strings, marker expansion against the program's resources, version text and window
// class registration. User-interface thread only.
#include "base/resstr.h"

#include <cstdio>
#include <cstring>

#include "base/stringitems.h"

namespace {

HINSTANCE g_instance;
StringItemCache g_itemCache;

constexpr int kFormatMax = 1024; // wvsprintfA never writes more

void CopyTruncated(char* to, const char* from, int cap) {
    if (cap <= 0)
        return;
    int n = 0;
    while (n + 1 < cap && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    to[n] = '\0';
}

// LoadStringA with the 16-bit id range checked; false for a missing (or empty) string.
bool LoadModuleString(HINSTANCE module, unsigned id, char* buf, int cap) {
    buf[0] = '\0';
    if (id > 0xFFFF || cap <= 1)
        return false;
    return LoadStringA(module, id, buf, cap) > 0;
}

bool MarkerString(void*, unsigned id, char* buf, std::size_t cap) {
    return LoadModuleString(AppInstance(), id, buf, int(cap));
}

// The version marker's replacement; "?.??" when the program's path cannot be had.
bool MarkerVersion(void*, char* buf, std::size_t cap) {
    CopyTruncated(buf, "?.??", int(cap));
    return GetProgramVersionText(buf, int(cap));
}

bool ItemString(const void* module, unsigned id, char* buf, std::size_t cap) {
    return LoadModuleString(static_cast<HINSTANCE>(const_cast<void*>(module)), id, buf, int(cap));
}

} // namespace

HINSTANCE AppInstance() {
    return g_instance ? g_instance : GetModuleHandleA(nullptr);
}

void SetAppInstance(HINSTANCE instance) {
    g_instance = instance;
}

ATOM RegisterAppClass(const char* className, UINT style, WNDPROC proc, int windowExtra, UINT iconId,
                      const char* cursorName, HBRUSH background) {
    HINSTANCE instance = AppInstance();
    WNDCLASSA wc = {};
    wc.style = (style & 0xFFFF) | CS_OWNDC;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = windowExtra;
    wc.hInstance = instance;
    if (iconId != 0)
        wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(iconId & 0xFFFF));
    if (cursorName) {
        wc.hCursor = LoadCursorA(instance, cursorName);
        if (!wc.hCursor)
            wc.hCursor = LoadCursorA(nullptr, cursorName);
    }
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    return RegisterClassA(&wc);
}

bool LoadAppString(UINT id, char* buf, int cap) {
    if (cap <= 0)
        return false;
    return LoadModuleString(AppInstance(), LanguageStringId(id), buf, cap);
}

int LoadFormattedString(char* out, int cap, UINT id, va_list args) {
    if (cap <= 0)
        return 1;
    id = LanguageStringId(id);
    char format[256];
    if (!LoadModuleString(AppInstance(), id, format, sizeof format))
        wsprintfA(format, "[Err %d]", int(id));
    char text[kFormatMax + 1];
    wvsprintfA(text, format, args);
    CopyTruncated(out, text, cap);
    ExpandMarkers(out, 0);
    return 1;
}

void SetWindowTextFromString(HWND window, UINT id, ...) {
    char text[252];
    va_list args;
    va_start(args, id);
    LoadFormattedString(text, sizeof text, id, args);
    va_end(args);
    SetWindowTextA(window, text);
}

void SetDlgItemTextFromString(HWND dialog, int item, UINT id, ...) {
    char text[1024];
    va_list args;
    va_start(args, id);
    LoadFormattedString(text, sizeof text, id, args);
    va_end(args);
    SetDlgItemTextA(dialog, item, text);
}

int ExpandMarkers(char* text, int capacity) {
    MarkerSource source = {MarkerString, MarkerVersion, nullptr};
    return ExpandMarkersWith(text, capacity > 0 ? std::size_t(capacity) : 0, source);
}

bool GetProgramVersionText(char* out, int cap) {
    char path[300];
    DWORD length = GetModuleFileNameA(AppInstance(), path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return false;
    return GetFileVersionText(path, out, cap);
}

bool GetFileVersionText(const char* path, char* out, int cap) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    void* block = size ? HeapAlloc(GetProcessHeap(), 0, size) : nullptr;
    if (!block) {
        char text[32];
        wsprintfA(text, "{ERR %d}", int(GetLastError()));
        CopyTruncated(out, text, cap);
        return false;
    }
    const char* text = "?.??";
    bool found = false;
    void* value = nullptr;
    UINT valueLength = 0;
    if (GetFileVersionInfoA(path, 0, size, block) &&
        VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &valueLength) &&
        valueLength >= 4) {
        const WORD* pair = static_cast<const WORD*>(value);
        char name[64];
        wsprintfA(name, "\\StringFileInfo\\%04X%04X\\FileVersion", pair[0], pair[1]);
        if (VerQueryValueA(block, name, &value, &valueLength) && valueLength > 0) {
            text = static_cast<const char*>(value);
            found = true;
        }
    }
    CopyTruncated(out, text, cap);
    HeapFree(GetProcessHeap(), 0, block);
    return found;
}

const char* GetStringItem(HINSTANCE module, UINT id, char letter, int index, const char* fallback) {
    return LookupStringItem(g_itemCache, ItemString, module, id, letter, index, fallback);
}
