// AppStatClass: a label drawing word-wrapped text, one line, a filled rectangle or bevelled
// frame rings on the panel's background, which its parent paints. User-interface thread.
#include <cstdlib>
#include <cstring>

#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

constexpr DWORD kLabelTypeMask = 0x1F;
constexpr DWORD kRingsGray = 0x21333312;
constexpr DWORD kRingsBlack = 0x24;
constexpr DWORD kRingsWhite = 0x11;

// Copies the caption (after any markup) into the label's own buffer.
LRESULT OnSetText(HWND window, ControlData* data, const char* text) {
    const char* caption = ParseCaptionMarkup(data, text);
    const size_t length = std::strlen(caption);
    if (length >= data->capacity) {
        char* buffer = static_cast<char*>(std::malloc(length + 1));
        std::free(data->text);
        data->text = buffer;
        data->capacity = buffer ? length + 1 : 0;
        if (!buffer) {
            InvalidateRect(window, nullptr, TRUE);
            return FALSE;
        }
    }
    std::memcpy(data->text, caption, length + 1);
    InvalidateRect(window, nullptr, TRUE);
    return TRUE;
}

int MeasureText(void* ctx, const char* text, int length) {
    SIZE size = {};
    GetTextExtentPoint32A(static_cast<HDC>(ctx), text, length, &size);
    return size.cx;
}

void DrawWrapped(HDC dc, const RECT& client, DWORD type, const char* text) {
    SIZE x = {};
    GetTextExtentPoint32A(dc, "X", 1, &x);
    const int width = client.right;
    const int length = static_cast<int>(std::strlen(text));
    int y = 0;
    for (int pos = 0; pos < length; y += x.cy) {
        const WrapLine line = WrapNextLine(text, length, pos, width, MeasureText, dc);
        int left = 0;
        if (type == SS_RIGHT)
            left = width - line.width;
        else if (type == SS_CENTER)
            left = (width - line.width) / 2;
        TextOutA(dc, left, y, text + line.start, line.length);
        pos = line.next;
    }
}

void OnPaint(HWND window, ControlData* data) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    HPALETTE oldPalette = SelectSharedPalette(dc);
    RECT client;
    GetClientRect(window, &client);
    const DWORD type = data->style & kLabelTypeMask;
    const char* text = data->text ? data->text : "";
    HBRUSH lightGray = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    switch (type) {
        case SS_LEFT:
        case SS_CENTER:
        case SS_RIGHT:
        case SS_SIMPLE:
        case SS_LEFTNOWORDWRAP: {
            HGDIOBJ oldFont = SelectObject(dc, data->font);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, PaletteColorRef(data->colors.text));
            if (type <= SS_RIGHT)
                DrawWrapped(dc, client, type, text);
            else
                TextOutA(dc, 0, 0, text, static_cast<int>(std::strlen(text)));
            SelectObject(dc, oldFont);
            break;
        }
        case SS_BLACKRECT:
        case SS_WHITERECT:
            FillRect(dc, &client, lightGray);
            break;
        case SS_GRAYRECT: {
            FillRect(dc, &client, lightGray);
            RECT inner = client;
            InflateRect(&inner, -1, -1);
            DrawFrameRings(dc, inner, kRingsGray);
            break;
        }
        case SS_BLACKFRAME:
            DrawFrameRings(dc, client, kRingsBlack);
            break;
        case SS_GRAYFRAME:
        case SS_ETCHEDFRAME:
            DrawFrameRings(dc, client, kRingsGray);
            break;
        case SS_WHITEFRAME:
            DrawFrameRings(dc, client, kRingsWhite);
            break;
        default:
            break;
    }
    RestorePalette(dc, oldPalette);
    EndPaint(window, &ps);
}

LRESULT OnMessage(HWND window, ControlData* data, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETTEXT:
            return OnSetText(window, data, reinterpret_cast<const char*>(lParam));
        case WM_PAINT:
            OnPaint(window, data);
            return 0;
        case WM_ERASEBKGND:
        case PCM_ERASEBKGND:
            return SendMessageA(GetParent(window), PCM_ERASEBKGND, wParam,
                                reinterpret_cast<LPARAM>(window));
        case WM_SETFONT:
            if (wParam)
                data->font = reinterpret_cast<HFONT>(wParam);
            return TRUE;
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_HSCROLL:
        case WM_VSCROLL:
            return SendMessageA(GetParent(window), message, wParam, lParam);
        case WM_LBUTTONUP:
            SendMessageA(GetParent(window), WM_COMMAND, LOWORD(GetDlgCtrlID(window)), 0);
            return 0;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

LRESULT CALLBACK PanelLabelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DispatchControlMessage(window, message, wParam, lParam, OnMessage);
}
