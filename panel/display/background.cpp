// The tiled panel background (see background.h).
#include "display/background.h"

#include "base/resstr.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbuilder.h"

namespace {

struct BackgroundState {
    HBITMAP bitmap;
    HDC memoryDc;     // created on first paint with the bitmap selected
    HGDIOBJ previous; // what memoryDc held before
};
BackgroundState g_background;

void ReleaseBackground() {
    if (g_background.memoryDc != nullptr) {
        SelectObject(g_background.memoryDc, g_background.previous);
        DeleteDC(g_background.memoryDc);
        g_background.memoryDc = nullptr;
        g_background.previous = nullptr;
    }
    if (g_background.bitmap != nullptr) {
        DeleteObject(g_background.bitmap);
        g_background.bitmap = nullptr;
    }
}

// The memory device context holding the bitmap; null (and no bitmap) when it cannot be made.
HDC BackgroundDc(HDC target) {
    if (g_background.bitmap == nullptr)
        return nullptr;
    if (g_background.memoryDc == nullptr) {
        HDC dc = CreateCompatibleDC(target);
        if (dc == nullptr) {
            DeleteObject(g_background.bitmap);
            g_background.bitmap = nullptr;
            return nullptr;
        }
        g_background.previous = SelectObject(dc, g_background.bitmap);
        g_background.memoryDc = dc;
    }
    return g_background.memoryDc;
}

} // namespace

void LoadBackground(UINT bitmapId) {
    ReleaseBackground();
    if (bitmapId != 0)
        g_background.bitmap = LoadBitmapA(AppInstance(), MAKEINTRESOURCEA(bitmapId));
}

void PaintBackground(PanelRecord* panel, HDC target) {
    if (panel == nullptr || target == nullptr)
        return;
    SelectSharedPalette(target);
    RECT client;
    GetClientRect(panel->parent, &client);
    if (panel->backgroundBrush == nullptr)
        panel->backgroundBrush = CreateSolidBrush(PaletteColorRef(panel->backgroundColor));
    HDC source = BackgroundDc(target);
    BITMAP info{};
    if (source == nullptr || !GetObjectA(g_background.bitmap, sizeof info, &info) ||
        info.bmWidth <= 0 || info.bmHeight <= 0) {
        FillRect(target, &client, panel->backgroundBrush);
        return;
    }
    for (LONG y = client.top; y < client.bottom; y += info.bmHeight) {
        for (LONG x = client.left; x < client.right; x += info.bmWidth)
            BitBlt(target, x, y, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
    }
}
