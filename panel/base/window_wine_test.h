// Scaffolding shared by the panel's Wine tests: window classes of the test, the message pump,
// texts and places of windows, pixels read back from windows and memory targets, and the count
// of the process's GDI objects. The test's user-interface thread only.
//
// Top-level windows that were shown are best kept for the whole run: hiding or destroying one
// costs Wine about two seconds on a display without a window manager.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Registers a class of the test's module; registering a name twice fails harmlessly.
inline ATOM RegisterTestClass(const char* name, WNDPROC proc = DefWindowProcA,
                              HBRUSH background = nullptr, UINT style = 0) {
    WNDCLASSA wc{};
    wc.style = style;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    return RegisterClassA(&wc);
}

// Dispatches every waiting message, then flushes GDI's batch so that pixels can be read.
inline void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    GdiFlush();
}

inline std::string WindowText(HWND w) {
    char text[1100] = "";
    GetWindowTextA(w, text, sizeof text);
    return text;
}

inline std::string WindowClass(HWND w) {
    char name[100] = "";
    GetClassNameA(w, name, sizeof name);
    return name;
}

// The window's rectangle in its parent's client coordinates.
inline RECT PlaceInParent(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

inline COLORREF WindowPixel(HWND w, int x, int y) {
    HDC dc = GetDC(w);
    const COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(w, dc);
    return c;
}

// The pixels of r in w within `tolerance` of a colour in every channel (text is drawn smoothed).
inline int CountPixels(HWND w, const RECT& r, COLORREF color, int tolerance = 0) {
    auto close = [tolerance](int a, int b) { return a - b <= tolerance && b - a <= tolerance; };
    HDC dc = GetDC(w);
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) {
            const COLORREF c = GetPixel(dc, x, y);
            n += close(GetRValue(c), GetRValue(color)) && close(GetGValue(c), GetGValue(color)) &&
                 close(GetBValue(c), GetBValue(color));
        }
    ReleaseDC(w, dc);
    return n;
}

inline SIZE ClientSize(HWND w) {
    RECT r;
    GetClientRect(w, &r);
    return {r.right, r.bottom};
}

// A 32-bit memory target to paint into and read back: of a given size or of a window's client.
struct MemoryCanvas {
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    explicit MemoryCanvas(HWND w) : MemoryCanvas(ClientSize(w).cx, ClientSize(w).cy) {}
    MemoryCanvas(int width, int height) {
        BITMAPINFO bi{};
        bi.bmiHeader = {sizeof bi.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        dc = CreateCompatibleDC(nullptr);
        old = SelectObject(dc, bitmap);
    }
    MemoryCanvas(const MemoryCanvas&) = delete;
    MemoryCanvas& operator=(const MemoryCanvas&) = delete;
    ~MemoryCanvas() {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
    void Fill(COLORREF color, const RECT& r) {
        HBRUSH brush = CreateSolidBrush(color);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
    }
};

inline bool PaletteDisplay() {
    HDC screen = GetDC(nullptr);
    const bool palette = (GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE) != 0;
    ReleaseDC(nullptr, screen);
    return palette;
}

// The GDI objects of the process, for checks that drawing leaks nothing. Wine 8's
// GetGuiResources answers 0, so the count is read from the process's GDI handle table (PEB
// offset 0xF8 on x64): 65536 entries of 24 bytes, in use while the byte at offset 14 (the object
// type) is not 0. Stock objects are counted too.
inline int ProcessGdiObjects() {
    using PebFn = const uint8_t*(WINAPI*)();
    static auto currentPeb = reinterpret_cast<PebFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetCurrentPeb")));
    const uint8_t* table = *reinterpret_cast<const uint8_t* const*>(currentPeb() + 0xF8);
    int count = 0;
    for (int i = 0; i < 0x10000; ++i)
        count += table[24 * i + 14] != 0;
    return count;
}
