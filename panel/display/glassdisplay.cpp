// AppDisplayClass: the glass display's window procedure, painting with the shared palette and
// the cached brushes and pens. The model (glassmodel.cpp) does the arithmetic.
#include "display/glassdisplay.h"

#include <mmsystem.h>
#include <windowsx.h>

#include "base/resstr.h"
#include "toolkit/gdicache.h"

namespace {

UINT g_soundId = 0;
const char* g_sound = nullptr; // the locked "WAVE" image, shared by every display
GlassSoundPlayer g_player = sndPlaySoundA;

// --- host callbacks ---------------------------------------------------------------------------

void HostInvalidate(void* ctx, const GlassRect* rect, bool erase) {
    HWND window = static_cast<HWND>(ctx);
    if (!rect) {
        InvalidateRect(window, nullptr, erase);
        return;
    }
    const RECT r = {rect->left, rect->top, rect->right, rect->bottom};
    InvalidateRect(window, &r, erase);
}

void HostPlaySound(void*) {
    g_player(nullptr, SND_ASYNC | SND_MEMORY);
    g_player(g_sound, SND_ASYNC | SND_MEMORY | SND_NOSTOP);
}

uint32_t HostTickCount(void*) {
    return GetTickCount();
}

GlassHost HostOf(HWND window) {
    return {window, HostInvalidate, HostPlaySound, HostTickCount};
}

// --- canvas
// ---------------------------------------------------------------------------------------

// The device context being painted and what was selected into it before.
struct PaintTarget {
    HDC dc;
    HGDIOBJ oldBrush;
    HGDIOBJ oldPen;
};

void Remember(PaintTarget* t, HGDIOBJ brush, HGDIOBJ pen) {
    if (brush) {
        HGDIOBJ old = SelectObject(t->dc, brush);
        if (!t->oldBrush)
            t->oldBrush = old;
    }
    if (pen) {
        HGDIOBJ old = SelectObject(t->dc, pen);
        if (!t->oldPen)
            t->oldPen = old;
    }
}

void CanvasPolygon(void* ctx, const GlassPoint* points, int count, uint32_t fill) {
    PaintTarget* t = static_cast<PaintTarget*>(ctx);
    Remember(t, CachedBrush(GetCachedBrush(fill)), GetStockObject(BLACK_PEN));
    POINT pts[8];
    for (int i = 0; i < count && i < 8; ++i)
        pts[i] = {points[i].x, points[i].y};
    Polygon(t->dc, pts, count < 8 ? count : 8);
}

void CanvasPolyline(void* ctx, const GlassPoint* points, int count, uint32_t color) {
    PaintTarget* t = static_cast<PaintTarget*>(ctx);
    Remember(t, nullptr, CachedPen(GetCachedPen(color, PS_SOLID, 1)));
    POINT pts[GLASS_MAX_RAYS + GLASS_MAX_STEPS + 2];
    const int n = count < static_cast<int>(sizeof pts / sizeof pts[0])
                      ? count
                      : static_cast<int>(sizeof pts / sizeof pts[0]);
    for (int i = 0; i < n; ++i)
        pts[i] = {points[i].x, points[i].y};
    Polyline(t->dc, pts, n);
}

void Restore(PaintTarget* t) {
    if (t->oldBrush)
        SelectObject(t->dc, t->oldBrush);
    if (t->oldPen)
        SelectObject(t->dc, t->oldPen);
}

// --- handlers ---------------------------------------------------------------------------------

void SyncClientSize(HWND window, GlassDisplayData* data) {
    RECT rc;
    GetClientRect(window, &rc);
    data->clientWidth = rc.right;
    data->clientHeight = rc.bottom;
}

void LoadGlassSound() {
    if (g_sound || !g_soundId)
        return;
    HRSRC info = FindResourceA(AppInstance(), MAKEINTRESOURCEA(g_soundId), "WAVE");
    HGLOBAL handle = info ? LoadResource(AppInstance(), info) : nullptr;
    g_sound = handle ? static_cast<const char*>(LockResource(handle)) : nullptr;
}

LRESULT OnCreate(HWND window) {
    GlassDisplayData* data = GlassCreate();
    if (!data)
        return -1;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
    PaletteAddColor(0);
    PaletteAddColor(GLASS_COLOR_LIT);
    PaletteAddColor(GLASS_COLOR_UNLIT);
    data->backgroundColor = 0;
    LoadGlassSound();
    PaletteAddColor(GLASS_COLOR_CRACK);
    PaletteAddColor(GLASS_COLOR_CRACK_HOVER);
    PaletteAddColor(GLASS_COLOR_DEAD);
    SyncClientSize(window, data);
    return 0;
}

void OnDestroy(HWND window, GlassDisplayData* data) {
    GlassDestroy(data);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (g_sound)
        g_player(nullptr, SND_ASYNC | SND_MEMORY);
}

LRESULT OnEraseBackground(HWND window, GlassDisplayData* data, HDC dc) {
    HPALETTE oldPalette = SelectSharedPalette(dc);
    RECT rc;
    GetClientRect(window, &rc);
    if (HBRUSH brush = CachedBrush(GetCachedBrush(data->backgroundColor)))
        FillRect(dc, &rc, brush);
    RestorePalette(dc, oldPalette);
    GlassForgetDrawn(data);
    return 1;
}

void OnPaint(HWND window, GlassDisplayData* data) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    HPALETTE oldPalette = SelectSharedPalette(dc);
    PaintTarget target = {dc, nullptr, nullptr};
    const GlassCanvas canvas = {&target, CanvasPolygon, CanvasPolyline};
    GlassPaint(data, &canvas);
    Restore(&target);
    RestorePalette(dc, oldPalette);
    EndPaint(window, &ps);
}

LRESULT CALLBACK GlassDisplayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    GlassDisplayData* data = GetGlassDisplayData(window);
    if (message == WM_CREATE)
        return OnCreate(window);
    if (!data)
        return DefWindowProcA(window, message, wParam, lParam);
    const GlassHost host = HostOf(window);
    switch (message) {
        case WM_DESTROY:
            OnDestroy(window, data);
            return 0;
        case DM_SETFIELD:
            SyncClientSize(window, data);
            GlassSetField(data, static_cast<uint32_t>(wParam),
                          reinterpret_cast<const DisplayFieldSpec*>(lParam), &host);
            return 0;
        case WM_SETTEXT:
            GlassSetText(data, static_cast<uint32_t>(wParam), reinterpret_cast<const char*>(lParam),
                         &host);
            return 1;
        case WM_SIZE:
            GlassResize(data, LOWORD(lParam), HIWORD(lParam), &host);
            return 0;
        case WM_LBUTTONDOWN:
            GlassMakeCrack(data, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), g_sound != nullptr,
                           &host);
            return 0;
        case WM_RBUTTONDOWN:
            GlassRemoveCrack(data, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), &host);
            return 0;
        case WM_MOUSEMOVE:
            GlassHover(data, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), &host);
            return 0;
        case WM_KILLFOCUS:
            GlassHover(data, -1000, -1000, &host);
            return 0;
        case WM_ERASEBKGND:
            return OnEraseBackground(window, data, reinterpret_cast<HDC>(wParam));
        case WM_PAINT:
            OnPaint(window, data);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

void SetGlassSoundPlayer(GlassSoundPlayer player) {
    g_player = player ? player : sndPlaySoundA;
}

ATOM RegisterDisplayClass(UINT soundId, UINT cursorId) {
    g_soundId = soundId;
    return RegisterAppClass(APP_DISPLAY_CLASS, 0, GlassDisplayProc, 0, 0,
                            cursorId ? MAKEINTRESOURCEA(cursorId) : nullptr, nullptr);
}
