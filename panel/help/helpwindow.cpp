// AppToolTipClass: the help window's procedure and its handlers.
#include "help/helpwindow.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "help/helpgdi.h"
#include "help/helprender.h"
#include "help/helptrack.h"

namespace {

const char kClassName[] = "AppToolTipClass";
const char kTitleFontSpec[] = "MS Sans Serif,14,B";

const HelpServices* g_services; // set by CreateHelpWindow before the window exists

struct HelpWindowState {
    HWND self;
    HWND owner;
    const HelpServices* services;
    HelpTracker tracker;
    HelpHistory history;
    HelpRect targetRect;
    HWND target;
    uint32_t targetContext;
    HWND under;
    HFONT titleFont;
    HBRUSH background;
    HCURSOR arrow, helpCursor;
    int32_t homeTopic, currentTopic;
    int32_t titleBarHeight, buttonWidth;
    POINT dragOrigin;
    HDC screenDc;
    RECT dragRect;
    const HelpBlock* block;
    GdiCanvas gdi;
    HelpRenderContext render;
};

HelpWindowState* State(HWND window) {
    return reinterpret_cast<HelpWindowState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

uint32_t Handle32(HWND window) {
    return uint32_t(reinterpret_cast<uintptr_t>(window));
}
// Window handles keep 32 significant bits and are sign-extended on 64-bit Windows.
HWND HandleOf(uint32_t value) {
    return reinterpret_cast<HWND>(intptr_t(int32_t(value)));
}

HelpRect ToHelpRect(const RECT& r) {
    return HelpRect{r.left, r.top, r.right, r.bottom};
}

// Runs a measuring or hit-testing pass on the screen's drawing context.
struct ScreenPass {
    HelpWindowState* s;
    explicit ScreenPass(HelpWindowState* state) : s(state) {
        s->gdi.dc = GetDC(nullptr);
        s->gdi.colorWindow = s->owner;
    }
    ~ScreenPass() {
        ReleaseDC(nullptr, s->gdi.dc);
        s->gdi.dc = nullptr;
    }
};

const HelpBlock* LoadBlock(HelpWindowState* s) {
    s->block = LoadServicesHelpBlock(s->services);
    return s->block;
}

// ---- Showing and placing ----

bool TitleBarOn(const HelpWindowState* s) {
    return s->render.flags & HELP_RENDER_TITLE_BAR;
}

int32_t UpTopic(const HelpWindowState* s) {
    return (s->render.flags & HELP_RENDER_UP) ? s->render.upTopic : 0;
}

void PlaceAndShow(HelpWindowState* s) {
    RECT desktop, owner, target;
    GetWindowRect(GetDesktopWindow(), &desktop);
    HWND parent = GetParent(s->self);
    if (!parent || !GetWindowRect(parent, &owner))
        owner = desktop;
    POINT pointer{0, 0};
    s->services->cursorPos(&pointer);

    HelpPlaceInput in{};
    in.screen = ToHelpRect(desktop);
    in.owner = ToHelpRect(owner);
    if (s->targetRect.right > s->targetRect.left) {
        in.target = s->targetRect;
    } else {
        target = RECT{0, 0, 0, 0};
        GetWindowRect(s->target, &target);
        in.target = ToHelpRect(target);
    }
    in.width = HelpContentWidth(&s->render);
    in.height = HelpContentHeight(&s->render);
    in.titleBar = TitleBarOn(s);
    in.links = s->render.flags & HELP_RENDER_LINKS;
    in.titleWidth = s->render.titleWidth;
    in.titleHeight = s->render.titleHeight;
    in.buttonWidth = s->buttonWidth;
    in.drag = HelpRect{s->dragRect.left, s->dragRect.top, s->dragRect.right, s->dragRect.bottom};
    in.pointerY = pointer.y;
    HelpRect r = PlaceHelpWindow(in, &s->titleBarHeight);
    SetWindowPos(s->self, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    InvalidateRect(s->self, nullptr, TRUE);
}

void OnHide(HelpWindowState* s, WPARAM remember) {
    if (remember && s->target)
        s->tracker.dismissed = Handle32(s->target);
    s->target = nullptr;
    ShowWindow(s->self, SW_HIDE);
}

void OnShowAtPointer(HelpWindowState* s, int32_t fallback) {
    if (!LoadBlock(s)) {
        PostMessageA(s->self, HM_HIDE, 0, 0);
        return;
    }
    HWND window = s->under ? s->under : s->owner;
    if (GetDlgCtrlID(window) == 1001) // a combo box's edit field
        window = GetParent(window);
    POINT pointer{0, 0};
    s->services->cursorPos(&pointer);
    POINT client = pointer;
    ScreenToClient(window, &client);
    RECT rect{0, 0, 0, 0};
    GetWindowRect(window, &rect);
    HelpQuery query{};
    query.helpWindow = Handle32(s->self);
    query.window = Handle32(window);
    query.x = client.x;
    query.y = client.y;
    query.topic = GetDlgCtrlID(window);
    query.context = window == s->target ? s->targetContext : Handle32(window);
    query.left = rect.left;
    query.top = rect.top;
    query.right = rect.right;
    query.bottom = rect.bottom;
    SendMessageA(window, HM_QUERYHELP, 0, reinterpret_cast<LPARAM>(&query));

    HWND asked = HandleOf(query.window);
    if (!(asked == s->target && query.context == s->targetContext)) {
        s->target = asked;
        s->targetContext = query.context;
        s->tracker.dismissed = 0;
        s->targetRect = HelpRect{query.left, query.top, query.right, query.bottom};
        s->tracker.threshold = HELP_DWELL_THRESHOLD;
        s->history.count = s->history.index = 0;
        ShowWindow(s->self, SW_HIDE);

        ScreenPass pass(s);
        int32_t topic = query.topic;
        bool ok =
            PrepareTopic(&s->render, s->owner != nullptr, s->block, topic, PREPARE_FIRST_SHOW);
        if (!ok && fallback) {
            topic = fallback;
            ok = PrepareTopic(&s->render, s->owner != nullptr, s->block, topic, PREPARE_FIRST_SHOW);
        }
        if (ok) {
            s->dragRect = RECT{0, 0, 0, 0};
            s->currentTopic = topic;
            PlaceAndShow(s);
            s->tracker.threshold = 1;
        }
    }
    s->tracker.flags &= ~HELP_STATE_LEAVING;
}

// A topic chosen inside the window (link, back, home, up).
void ShowFromClick(HelpWindowState* s, int32_t topic) {
    if (!s->block)
        return;
    uint32_t flags = s->history.count ? PREPARE_TITLE_BAR : 0;
    {
        ScreenPass pass(s);
        if (!PrepareTopic(&s->render, s->owner != nullptr, s->block, topic, flags))
            return;
    }
    if (s->currentTopic && s->currentTopic != topic)
        PushHelpHistory(&s->history, s->currentTopic);
    s->tracker.flags = (s->tracker.flags | HELP_STATE_PINNED) & ~HELP_STATE_LEAVING;
    s->currentTopic = topic;
    PlaceAndShow(s);
    s->target = s->self;
    RedrawWindow(s->self, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
}

// ---- Timer ----

// The window under the pointer: children and grandchildren of the owner and top-level windows
// of this process. Another program's window is never asked: it could not read the query, and
// one that hangs would stop this thread.
HWND WindowUnderPointer(const HelpWindowState* s, POINT p) {
    HWND window = WindowFromPoint(p);
    DWORD process = 0;
    if (!window || !GetWindowThreadProcessId(window, &process) || process != GetCurrentProcessId())
        return nullptr;
    HWND parent = GetParent(window);
    if (parent && parent != s->owner && GetParent(parent) != s->owner)
        return nullptr;
    return window;
}

void OnTick(HelpWindowState* s) {
    if (s->tracker.flags & HELP_STATE_DRAGGING)
        return;
    POINT p{0, 0};
    s->services->cursorPos(&p);
    s->under = WindowUnderPointer(s, p);
    RECT rect;
    GetWindowRect(s->self, &rect);
    HelpTickInput in{{p.x, p.y},
                     Handle32(s->under),
                     IsWindowVisible(s->self) != FALSE,
                     TitleBarOn(s),
                     ToHelpRect(rect)};
    switch (HelpTick(&s->tracker, in)) {
        case HELP_TICK_HIDE:
            PostMessageA(s->self, HM_HIDE, 0, 0);
            break;
        case HELP_TICK_SHOW:
            SendMessageA(s->self, HM_SHOWATPOINTER, 0, 0);
            break;
        case HELP_TICK_NONE:
            break;
    }
}

// ---- Mouse ----

uint32_t HitTest(HelpWindowState* s, int32_t x, int32_t y) {
    RECT client;
    GetClientRect(s->self, &client);
    int64_t title = HelpTitleHit(TitleBarOn(s), s->titleBarHeight, s->buttonWidth, client.right,
                                 s->history.count, UpTopic(s), x, y);
    if (title >= 0)
        return uint32_t(title);
    ScreenPass pass(s);
    return HitTestTopic(&s->render, x, TitleBarOn(s) ? y - s->titleBarHeight : y);
}

void DragFrame(HelpWindowState* s) {
    Rectangle(s->screenDc, s->dragRect.left, s->dragRect.top, s->dragRect.right,
              s->dragRect.bottom);
}

void OnMouseMove(HelpWindowState* s, int32_t x, int32_t y) {
    uint32_t& flags = s->tracker.flags;
    if (!(flags & (HELP_STATE_BUTTON_DOWN | HELP_STATE_DRAGGING))) {
        bool link = false;
        if (!(TitleBarOn(s) && y <= s->titleBarHeight)) {
            uint32_t hit = HitTest(s, x, y);
            link = hit != 0 && hit < 0x80000000u;
        }
        SetCursor(link ? s->helpCursor : s->arrow);
        return;
    }
    int32_t dx = x - s->dragOrigin.x, dy = y - s->dragOrigin.y;
    if (flags & HELP_STATE_BUTTON_DOWN) {
        if (dx * dx + dy * dy < HELP_DRAG_DISTANCE2)
            return;
        GetWindowRect(s->self, &s->dragRect);
        flags &= ~HELP_STATE_BUTTON_DOWN;
        s->screenDc = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
        if (!s->screenDc) {
            ReleaseCapture();
            return;
        }
        SetROP2(s->screenDc, R2_NOTXORPEN);
        flags |= HELP_STATE_DRAGGING;
    } else {
        DragFrame(s); // erase at the old place
    }
    s->dragOrigin.x += dx;
    s->dragOrigin.y += dy;
    OffsetRect(&s->dragRect, dx, dy);
    DragFrame(s);
}

// Ends a drag without moving the window: the frame is erased and the screen context released.
void CancelDrag(HelpWindowState* s) {
    uint32_t& flags = s->tracker.flags;
    if (flags & HELP_STATE_DRAGGING) {
        DragFrame(s);
        DeleteDC(s->screenDc);
        s->screenDc = nullptr;
    }
    flags &= ~(HELP_STATE_DRAGGING | HELP_STATE_BUTTON_DOWN);
}

void OnLButtonDown(HelpWindowState* s, int32_t x, int32_t y) {
    if (y < s->titleBarHeight && HitTest(s, x, y) == 0) {
        SetCapture(s->self);
        s->tracker.flags |= HELP_STATE_BUTTON_DOWN;
        s->dragOrigin = POINT{x, y};
    }
}

void Back(HelpWindowState* s) {
    if (s->history.count == 0)
        return; // nothing to go back to (only a command link can ask)
    int32_t topic = PopHelpHistory(&s->history);
    s->currentTopic = 0;
    ShowFromClick(s, topic);
}

void OnLButtonUp(HelpWindowState* s, int32_t x, int32_t y) {
    uint32_t& flags = s->tracker.flags;
    if (flags & HELP_STATE_BUTTON_DOWN) {
        flags &= ~HELP_STATE_BUTTON_DOWN;
        ReleaseCapture();
        return;
    }
    if (flags & HELP_STATE_DRAGGING) {
        DragFrame(s);
        flags &= ~(HELP_STATE_DRAGGING | HELP_STATE_BUTTON_DOWN);
        ReleaseCapture();
        DeleteDC(s->screenDc);
        s->screenDc = nullptr;
        SetWindowPos(s->self, nullptr, s->dragRect.left, s->dragRect.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    uint32_t hit = HitTest(s, x, y);
    if (hit == 0)
        return;
    s->tracker.lastSeen = Handle32(s->self);
    POINT pointer{0, 0};
    s->services->cursorPos(&pointer);
    s->tracker.rest = HelpPoint{pointer.x, pointer.y};
    s->tracker.threshold = HELP_DWELL_THRESHOLD;
    uint32_t code = hit;
    if (hit & 0xF0000000u) {
        switch (hit & 0xFFFF) { // command links 1, 2 and 3 act as the buttons
            case 1:
                code = HELP_HIT_CLOSE;
                break;
            case 2:
                code = HELP_HIT_BACK;
                break;
            case 3:
                code = HELP_HIT_HOME;
                break;
            default:
                PostMessageA(s->owner, WM_COMMAND, hit & 0xFFFF, 0);
                return;
        }
    }
    switch (code) {
        case HELP_HIT_CLOSE:
            PostMessageA(s->self, HM_HIDE, 0, 0);
            break;
        case HELP_HIT_BACK:
            Back(s);
            break;
        case HELP_HIT_HOME:
            if (s->homeTopic != s->currentTopic)
                ShowFromClick(s, s->homeTopic);
            break;
        default:
            ShowFromClick(s, int32_t(code));
            break;
    }
}

// ---- Painting ----

void OnEraseBackground(HelpWindowState* s, HDC dc) {
    HPALETTE palette = s->services->selectPalette(dc);
    RECT client;
    GetClientRect(s->self, &client);
    RECT content = client;
    if (TitleBarOn(s)) {
        RECT strip{0, 0, client.right, s->titleBarHeight - 1};
        FillRect(dc, &strip, s->services->brush(s->render.title.background));
        RECT line{0, s->titleBarHeight - 1, client.right, s->titleBarHeight};
        FillRect(dc, &line, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        content.top = s->titleBarHeight;
    }
    s->services->frameRings(dc, &content, HELP_FRAME_PATTERN);
    InflateRect(&content, -3, -3);
    FillRect(dc, &content, s->background);
    s->services->restorePalette(dc, palette);
}

void DrawButton(HelpWindowState* s, HDC dc, int32_t x, const char* glyph) {
    int32_t w = s->buttonWidth;
    int32_t top = (s->titleBarHeight - w) / 2;
    RECT square{x, top, x + w, top + w};
    FillRect(dc, &square, static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
    s->services->frameRings(dc, &square, HELP_BUTTON_PATTERN);
    HGDIOBJ old = SelectObject(dc, s->titleFont);
    SIZE size{0, 0};
    GetTextExtentPoint32A(dc, glyph, int(std::strlen(glyph)), &size);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, x + (w - size.cx) / 2, (s->titleBarHeight - size.cy) / 2, glyph,
             int(std::strlen(glyph)));
    SelectObject(dc, old);
}

void OnPaint(HelpWindowState* s) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(s->self, &ps);
    HPALETTE palette = s->services->selectPalette(dc);
    HGDIOBJ pen = SelectObject(dc, GetStockObject(NULL_PEN));
    SetBkMode(dc, TRANSPARENT);
    RECT client;
    GetClientRect(s->self, &client);
    s->gdi.dc = dc;
    s->gdi.colorWindow = s->owner;
    PaintTopic(&s->render, client.right, s->titleBarHeight);
    s->gdi.dc = nullptr;
    if (TitleBarOn(s)) {
        int32_t w = s->buttonWidth;
        if (s->history.count)
            DrawButton(s, dc, 3, "<<");
        if (UpTopic(s))
            DrawButton(s, dc, w + 3, "*");
        DrawButton(s, dc, client.right - w - 3, "X");
        if (s->currentTopic != s->homeTopic)
            DrawButton(s, dc, client.right - 2 * w - 3, "?");
    }
    SelectObject(dc, pen);
    s->services->restorePalette(dc, palette);
    EndPaint(s->self, &ps);
}

// ---- Life cycle ----

LRESULT OnCreate(HWND window, const CREATESTRUCTA* create) {
    auto* s = new (std::nothrow) HelpWindowState{};
    if (!s)
        return -1;
    s->self = window;
    s->services = g_services;
    s->owner = GetWindow(window, GW_OWNER);
    if (!s->owner)
        s->owner = GetParent(window);
    s->tracker.threshold = HELP_DWELL_THRESHOLD;
    s->background = s->services->brush(HELP_BACKGROUND);
    s->arrow = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    s->helpCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HELP));
    s->homeTopic = int32_t(reinterpret_cast<intptr_t>(create->lpCreateParams));
    s->gdi = GdiCanvas{s->services, nullptr, s->owner};
    InitHelpRenderContext(&s->render, MakeGdiCanvas(&s->gdi));
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
    SetTimer(window, HELP_TIMER_ID, HELP_TIMER_PERIOD, nullptr);

    s->titleFont = s->services->font(kTitleFontSpec);
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, s->titleFont);
    SIZE size{0, 0};
    GetTextExtentPoint32A(dc, "X", 1, &size);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    s->buttonWidth = size.cy + 2;
    s->titleBarHeight = s->buttonWidth + 2;
    return 0;
}

void OnDestroy(HelpWindowState* s) {
    KillTimer(s->self, HELP_TIMER_ID);
    CancelDrag(s);
    SetWindowLongPtrA(s->self, GWLP_USERDATA, 0);
    delete s;
}

LRESULT CALLBACK HelpWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE)
        return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lParam));
    HelpWindowState* s = State(window);
    if (!s)
        return DefWindowProcA(window, message, wParam, lParam);
    int32_t x = int16_t(LOWORD(lParam)), y = int16_t(HIWORD(lParam));
    switch (message) {
        case WM_TIMER:
            if (wParam == HELP_TIMER_ID)
                OnTick(s);
            return 0;
        case HM_SHOWATPOINTER:
            OnShowAtPointer(s, int32_t(wParam));
            return 0;
        case HM_HIDE:
            OnHide(s, wParam);
            return 0;
        case HM_SETHELPMODE:
            if (wParam) {
                s->tracker.flags |= HELP_STATE_HELP_MODE;
            } else {
                s->tracker.flags &= ~HELP_STATE_HELP_MODE;
                PostMessageA(window, HM_HIDE, 0, 0);
            }
            return 0;
        case HM_SETPARAM:
            SetHelpParam(&s->render, int(wParam), reinterpret_cast<const char*>(lParam));
            return 0;
        case WM_MOUSEMOVE:
            OnMouseMove(s, x, y);
            return 0;
        case WM_LBUTTONDOWN:
            OnLButtonDown(s, x, y);
            return 0;
        case WM_LBUTTONUP:
            OnLButtonUp(s, x, y);
            return 0;
        case WM_CAPTURECHANGED: // another window took the mouse: the drag is over
            CancelDrag(s);
            return 0;
        case WM_SETCURSOR:
            return TRUE; // the mouse handlers choose the cursor
        case WM_ERASEBKGND:
            OnEraseBackground(s, reinterpret_cast<HDC>(wParam));
            return 1;
        case WM_PAINT:
            OnPaint(s);
            return 0;
        case WM_DESTROY:
            OnDestroy(s);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

HWND CreateHelpWindow(HWND owner, int32_t homeTopic, const HelpServices* services) {
    static bool registered;
    g_services = services;
    if (!registered) {
        registered = services->registerClass(kClassName, HelpWindowProc,
                                             reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1)) != 0;
        if (!registered)
            return nullptr;
    }
    return CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP | WS_BORDER, 100, 100, 100,
                           15, owner, nullptr, GetModuleHandleA(nullptr),
                           reinterpret_cast<LPVOID>(intptr_t(homeTopic)));
}

bool ToggleHelpMode(HWND helpWindow) {
    char name[32] = {};
    if (!helpWindow || !GetClassNameA(helpWindow, name, sizeof(name)) ||
        std::strcmp(name, kClassName) != 0)
        return false;
    HelpWindowState* s = State(helpWindow);
    if (!s)
        return false;
    bool on = !(s->tracker.flags & HELP_STATE_HELP_MODE);
    SendMessageA(helpWindow, HM_SETHELPMODE, on, 0);
    return on;
}
