// Shared parts of the panel's keys and labels: registration, control data, DrawBevel,
// DrawFrameRings and DrawMarkupButtonItem. User-interface thread.
#include <cstdlib>

#include "base/resstr.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

HBRUSH PanelBackgroundBrush = nullptr;
bool PanelControlsRegistered = false;

namespace {

RECT ToRect(const PanelRect& r) {
    return {r.left, r.top, r.right, r.bottom};
}

HBRUSH BevelBrushHandle(BevelBrush brush, HBRUSH face) {
    switch (brush) {
        case BEVEL_BACKGROUND:
            return PanelBackgroundBrush;
        case BEVEL_WHITE:
            return static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        case BEVEL_GRAY:
            return static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        case BEVEL_DKGRAY:
            return static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH));
        case BEVEL_BLACK:
            return static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        case BEVEL_FACE:
            return face;
    }
    return nullptr;
}

} // namespace

bool RegisterPanelControls() {
    const char* arrow = MAKEINTRESOURCEA(32512);
    const HBRUSH window = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    const bool buttons =
        RegisterAppClass(APP_BUTTON_CLASS, 0, PanelButtonProc, 0, 0, arrow, window);
    const bool labels = RegisterAppClass(APP_STATIC_CLASS, 0, PanelLabelProc, 0, 0, arrow, window);
    PanelControlsRegistered = true;
    return buttons && labels;
}

const char* ParseCaptionMarkup(ControlData* data, const char* text) {
    return ParseCaptionColors(&data->colors, text ? text : "");
}

LRESULT CreateControlData(HWND window) {
    // Without its data a control could not paint or keep state: its creation fails.
    ControlData* data = static_cast<ControlData*>(std::calloc(1, sizeof(ControlData)));
    if (!data)
        return -1;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
    data->style = static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE));
    data->colors = {kControlFaceDefault, kControlFaceDefault, kControlTextDefault};
    data->font = static_cast<HFONT>(GetStockObject(ANSI_VAR_FONT));
    char text[128];
    GetWindowTextA(window, text, sizeof text);
    SetWindowTextA(window, ParseCaptionMarkup(data, text));
    PaletteAddColor(data->colors.background);
    PaletteAddColor(data->colors.other);
    PaletteAddColor(data->colors.text);
    return 0;
}

void DestroyControlData(HWND window) {
    ControlData* data = GetControlData(window);
    if (!data)
        return;
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    std::free(data->text);
    std::free(data);
}

LRESULT SetControlColor(HWND window, ControlData* data, UINT message, WPARAM wParam,
                        LPARAM lParam) {
    const PanelColor color = static_cast<PanelColor>(lParam);
    if (message == PCM_SETBKCOLOR)
        data->colors.background = color;
    else
        data->colors.text = color;
    if (wParam)
        InvalidateRect(window, nullptr, FALSE);
    return 0;
}

LRESULT DispatchControlMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                               ControlMessageHandler handler) {
    if (message == WM_CREATE) {
        if (CreateControlData(window) != 0)
            return -1;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    ControlData* data = GetControlData(window);
    if (!data)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
        case WM_DESTROY:
            DestroyControlData(window);
            return DefWindowProcA(window, message, wParam, lParam);
        case PCM_SETBKCOLOR:
        case PCM_SETTEXTCOLOR:
            return SetControlColor(window, data, message, wParam, lParam);
        default:
            return handler(window, data, message, wParam, lParam);
    }
}

void DrawBevel(HDC dc, const RECT& rect, unsigned flags, HBRUSH faceBrush) {
    BevelFill fills[14];
    const int n = PlanBevel({rect.left, rect.top, rect.right, rect.bottom}, flags,
                            PanelBackgroundBrush != nullptr, fills);
    for (int i = 0; i < n; ++i) {
        const RECT r = ToRect(fills[i].rect);
        if (HBRUSH brush = BevelBrushHandle(fills[i].brush, faceBrush))
            FillRect(dc, &r, brush);
    }
}

int DrawFrameRings(HDC dc, const RECT& rect, DWORD pattern) {
    RingFill fills[16];
    int count = 0;
    const int rings =
        PlanFrameRings({rect.left, rect.top, rect.right, rect.bottom}, pattern, fills, &count);
    for (int i = 0; i < count; ++i) {
        const RECT r = ToRect(fills[i].rect);
        if (HBRUSH brush = CachedBrush(GetCachedBrush(StdColorTable[fills[i].fixedColor].word)))
            FillRect(dc, &r, brush);
    }
    return rings;
}

BOOL DrawMarkupButtonItem(HWND, const DRAWITEMSTRUCT* item) {
    char text[80];
    GetWindowTextA(item->hwndItem, text, sizeof text);
    CaptionColors colors = {kNoColor, kNoColor, kNoColor};
    const char* caption = ParseCaptionColors(&colors, text);
    const bool haveFace = colors.background != kNoColor;
    const bool haveText = colors.text != kNoColor;
    HDC dc = item->hDC;
    RECT face = item->rcItem;
    InflateRect(&face, -2, -2);
    HBRUSH faceBrush = haveFace ? CachedBrush(GetCachedBrush(colors.background))
                                : static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    SetBkColor(dc, PaletteColorRef(haveFace ? colors.background : kControlFaceDefault));
    SetTextColor(dc, PaletteColorRef(haveText ? colors.text : kControlTextDefault));
    if (faceBrush)
        FillRect(dc, &face, faceBrush);
    const int length = static_cast<int>(strlen(caption));
    SIZE size = {};
    GetTextExtentPoint32A(dc, caption, length, &size);
    int x = face.left + (face.right - size.cx - face.left) / 2;
    int y = face.top + (face.bottom - size.cy - face.top) / 2;
    unsigned flags = kBevelFramed;
    if (item->itemState & ODS_SELECTED) {
        ++x;
        ++y;
        flags |= kBevelPressed;
    }
    if (item->itemState & ODS_FOCUS)
        flags |= kBevelThick;
    TextOutA(dc, x, y, caption, length);
    DrawBevel(dc, item->rcItem, flags, faceBrush);
    return TRUE;
}
