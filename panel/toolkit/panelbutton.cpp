// AppBtnClass: a raised key with a coloured face. Push types press with the mouse (capture, and
// cancel by moving off) or for 50 ms from the keyboard; check, three-state and auto radio types
// toggle on every click. User-interface thread.
#include <cstring>
#include <vector>

#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

void PostClicked(HWND window) {
    PostMessageA(GetParent(window), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), BN_CLICKED),
                 reinterpret_cast<LPARAM>(window));
}

bool IsRadioSibling(HWND sibling, const char* className) {
    char name[64];
    if (!GetClassNameA(sibling, name, sizeof name) || std::strcmp(name, className) != 0)
        return false;
    return (GetWindowLongA(sibling, GWL_STYLE) & kButtonTypeMask) == kButtonAutoRadio;
}

// Every other key of this auto radio key's run goes up.
void ClearRadioRun(HWND window) {
    char className[64];
    GetClassNameA(window, className, sizeof className);
    std::vector<HWND> windows;
    std::vector<RadioSibling> siblings;
    int self = -1;
    for (HWND s = GetWindow(window, GW_HWNDFIRST); s; s = GetWindow(s, GW_HWNDNEXT)) {
        if (s == window)
            self = static_cast<int>(windows.size());
        windows.push_back(s);
        siblings.push_back({s == window || IsRadioSibling(s, className),
                            (GetWindowLongA(s, GWL_STYLE) & WS_GROUP) != 0});
    }
    if (self < 0)
        return;
    int begin, end;
    FindRadioRun(siblings.data(), static_cast<int>(siblings.size()), self, &begin, &end);
    for (int i = begin; i < end; ++i) {
        if (i == self)
            continue;
        if (ControlData* other = GetControlData(windows[i])) {
            other->state = 0;
            InvalidateRect(windows[i], nullptr, TRUE);
        }
    }
}

void Click(HWND window, ControlData* data) {
    const ClickResult r = ClickButton(data->style, data->state);
    const bool changed = r.state != data->state;
    data->state = r.state;
    if (r.startTimer)
        SetTimer(window, kKeyPressTimer, kKeyPressMillis, nullptr);
    if (r.clearOthers)
        ClearRadioRun(window);
    if (changed)
        InvalidateRect(window, nullptr, FALSE);
    if (r.postCommand)
        PostClicked(window);
}

void OnTimer(HWND window, ControlData* data) {
    KillTimer(window, kKeyPressTimer);
    data->state = 0;
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
    PostClicked(window);
}

void OnLeftDown(HWND window, ControlData* data) {
    if (!IsPushButtonType(data->style)) {
        Click(window, data);
        return;
    }
    SetFocus(window);
    SetCapture(window);
    if (data->state != 1) {
        data->state = 1;
        InvalidateRect(window, nullptr, FALSE);
    }
}

void OnLeftUp(HWND window, ControlData* data) {
    if (!IsPushButtonType(data->style))
        return;
    const bool pressed = data->state == 1;
    if (pressed) {
        // A keyboard press still timing ends here too, with this one command.
        KillTimer(window, kKeyPressTimer);
        ReleaseCapture();
        PostClicked(window);
    }
    data->state = 0;
    if (pressed)
        InvalidateRect(window, nullptr, FALSE);
}

void OnMouseMove(HWND window, ControlData* data, LPARAM lParam) {
    RECT bounds;
    GetWindowRect(window, &bounds);
    const POINT pt = {bounds.left + LOWORD(lParam), bounds.top + HIWORD(lParam)};
    if (!PtInRect(&bounds, pt) && (data->state & 1)) {
        data->state = 0;
        ReleaseCapture();
        InvalidateRect(window, nullptr, TRUE);
    }
}

// The key: face, caption or icon, focus, mnemonic bar and bevel.
void PaintKey(HWND window, ControlData* data, HDC dc, const RECT& client, const char* text) {
    const bool enabled = IsWindowEnabled(window);
    RECT face = client;
    InflateRect(&face, enabled ? -2 : -1, enabled ? -2 : -1);
    unsigned flags = enabled ? kBevelFramed : 0;
    GdiCacheEntry* faceEntry = GetCachedBrush(enabled ? data->colors.background : kDisabledFace);
    GdiCacheEntry* textEntry = GetCachedBrush(enabled ? data->colors.text : kDisabledText);
    HBRUSH faceBrush = CachedBrush(faceEntry);
    if (faceEntry)
        SetBkColor(dc, PaletteColorRef(faceEntry->brush.color));
    if (textEntry)
        SetTextColor(dc, PaletteColorRef(textEntry->brush.color));
    if (faceBrush)
        FillRect(dc, &face, faceBrush);
    if (data->state != 0) {
        ++face.left;
        ++face.top;
        flags |= kBevelPressed;
    }
    int mnemonic = -1;
    char caption[100];
    int x = 0, y = 0, height = 0;
    if (data->imageType && data->image) {
        if (data->imageType == IMAGE_ICON)
            DrawIcon(dc, face.left + 4, face.top + 4, static_cast<HICON>(data->image));
    } else {
        mnemonic = StripMnemonic(text, caption, sizeof caption);
        const int length = static_cast<int>(std::strlen(caption));
        SIZE size = {};
        GetTextExtentPoint32A(dc, caption, length, &size);
        PlaceKeyCaption({face.left, face.top, face.right, face.bottom}, size.cx, size.cy, &x, &y);
        height = size.cy;
        SetBkMode(dc, OPAQUE);
        TextOutA(dc, x, y, caption, length);
    }
    if (GetFocus() == window) {
        RECT focus = client;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
    if (mnemonic >= 0) {
        SIZE before = {}, letter = {};
        GetTextExtentPoint32A(dc, caption, mnemonic, &before);
        GetTextExtentPoint32A(dc, caption + mnemonic, 1, &letter);
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
        HGDIOBJ oldBrush = SelectObject(dc, CachedBrush(textEntry));
        const int bottom = y + height;
        Rectangle(dc, x + before.cx + 1, bottom - 2, x + before.cx + letter.cx, bottom);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
    }
    DrawBevel(dc, client, flags, faceBrush);
}

// Check, three-state and radio types without BS_PUSHLIKE: the caption alone.
void PaintPlainCaption(HWND window, HDC dc, const char* text) {
    const int length = static_cast<int>(std::strlen(text));
    TextOutA(dc, 0, 0, text, length);
    if (GetFocus() == window) {
        SIZE size = {};
        GetTextExtentPoint32A(dc, text, length, &size);
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Rectangle(dc, 0, 0, size.cx + 1, size.cy + 1);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
    }
}

void OnPaint(HWND window, ControlData* data) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    char text[100];
    GetWindowTextA(window, text, sizeof text);
    HGDIOBJ oldFont = SelectObject(dc, data->font);
    HPALETTE oldPalette = SelectSharedPalette(dc);
    switch (ButtonLookOf(data->style)) {
        case BUTTON_LOOK_KEY:
            PaintKey(window, data, dc, client, text);
            break;
        case BUTTON_LOOK_PLAIN_CAPTION:
            PaintPlainCaption(window, dc, text);
            break;
        case BUTTON_LOOK_NOTHING:
            break;
    }
    SelectObject(dc, oldFont);
    RestorePalette(dc, oldPalette);
    EndPaint(window, &ps);
}

LRESULT OnMessage(HWND window, ControlData* data, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
        case WM_ENABLE:
            InvalidateRect(window, nullptr, TRUE);
            break;
        case WM_PAINT:
            OnPaint(window, data);
            return 0;
        case WM_ERASEBKGND:
            return 0;
        case WM_SETFONT:
            if (wParam)
                data->font = reinterpret_cast<HFONT>(wParam);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_BUTTON | DLGC_DEFPUSHBUTTON | DLGC_WANTCHARS;
        case BM_GETCHECK:
            return data->check;
        case BM_SETCHECK:
            data->check = static_cast<DWORD>(wParam);
            InvalidateRect(window, nullptr, FALSE);
            break;
        case BM_SETIMAGE: {
            HANDLE previous = data->image;
            data->imageType = wParam;
            data->image = reinterpret_cast<HANDLE>(lParam);
            return reinterpret_cast<LRESULT>(previous);
        }
        case WM_KEYDOWN:
            if (wParam == VK_RETURN)
                Click(window, data);
            break;
        case WM_CHAR:
            if (wParam == ' ')
                Click(window, data);
            break;
        case WM_TIMER:
            OnTimer(window, data);
            break;
        case WM_LBUTTONDOWN:
            OnLeftDown(window, data);
            return 0;
        case WM_LBUTTONUP:
            OnLeftUp(window, data);
            return 0;
        case WM_MOUSEMOVE:
        case WM_NCMOUSEMOVE:
            OnMouseMove(window, data, lParam);
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

LRESULT CALLBACK PanelButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DispatchControlMessage(window, message, wParam, lParam, OnMessage);
}
