// The panel's own controls: AppBtnClass (a bevelled key with a coloured face) and AppStatClass
// (a label with word-wrapped text, or a frame), both taking their colours from caption markup such
// as "{B192,128,128}Write", and the drawing routines that give the panel its look. Everything runs
// on the user-interface thread; the process-wide values below need no locks.
#pragma once

#include <windows.h>

#include "toolkit/controllogic.h"

// Sent by a label to its parent instead of erasing its own background: wParam = device context,
// lParam = the label. A parent that does not answer leaves the background as it painted it.
#define PCM_ERASEBKGND (WM_USER + 320)
// lParam = the new PanelColor; wParam != 0 repaints (without erasing). Both return 0.
#define PCM_SETBKCOLOR (WM_USER + 321)
#define PCM_SETTEXTCOLOR (WM_USER + 322)

#define APP_BUTTON_CLASS "AppBtnClass"
#define APP_STATIC_CLASS "AppStatClass"

// The timer of a keyboard press and its length.
constexpr UINT_PTR kKeyPressTimer = 1234;
constexpr UINT kKeyPressMillis = 50;

// One per AppBtnClass or AppStatClass window, in its user-data slot, from WM_CREATE to
// WM_DESTROY.
struct ControlData {
    DWORD style;          // as at creation
    CaptionColors colors; // background (B), other (O), text (T)
    HFONT font;           // not owned
    // keys
    DWORD check; // BM_SETCHECK / BM_GETCHECK, never drawn
    DWORD state; // 0 up; 1 pressed or checked; 2 indeterminate
    WPARAM imageType;
    HANDLE image;
    // labels
    char* text; // the caption as last set; null: empty
    size_t capacity;
};

constexpr PanelColor kControlFaceDefault = 0x81C0C0C0;
constexpr PanelColor kControlTextDefault = 0x8E00FFFF;
constexpr PanelColor kDisabledFace = 0x82808080;
constexpr PanelColor kDisabledText = 0x84000000;

// The panel's background brush, published by the main window each time it erases; DrawBevel
// paints the key's top and bottom rows with it. The toolkit never creates or deletes it.
extern HBRUSH PanelBackgroundBrush;
// Set once RegisterPanelControls has run; read by the panel builder.
extern bool PanelControlsRegistered;

// Registers AppBtnClass and AppStatClass. True when both exist.
bool RegisterPanelControls();

inline ControlData* GetControlData(HWND window) {
    return reinterpret_cast<ControlData*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// Stores the block's B, O and T colours into data; returns where the caption begins.
const char* ParseCaptionMarkup(ControlData* data, const char* text);

// A key's bevel on rect: flags kBevelPressed, kBevelFramed, kBevelThick.
void DrawBevel(HDC dc, const RECT& rect, unsigned flags, HBRUSH faceBrush);
// One-pixel rings, one pattern byte each, lowest byte outermost (low nibble: fixed colour + 1 of
// top and left, high nibble: of right and bottom). Returns the number of rings.
int DrawFrameRings(HDC dc, const RECT& rect, DWORD pattern);
// Paints a standard owner-drawn button from its caption markup. Returns TRUE.
BOOL DrawMarkupButtonItem(HWND window, const DRAWITEMSTRUCT* item);

// Creation and destruction shared by both classes (paneldraw.cpp).
LRESULT CreateControlData(HWND window);
void DestroyControlData(HWND window);
// PCM_SETBKCOLOR and PCM_SETTEXTCOLOR for both classes.
LRESULT SetControlColor(HWND window, ControlData* data, UINT message, WPARAM wParam, LPARAM lParam);

// A class's own messages: called with the window's record; returns the message's result (calling
// DefWindowProcA for what it does not handle).
using ControlMessageHandler = LRESULT (*)(HWND window, ControlData* data, UINT message,
                                          WPARAM wParam, LPARAM lParam);
// The window procedure body both classes share: creates the record on WM_CREATE (failing the
// creation without it), frees it on WM_DESTROY, answers PCM_SETBKCOLOR and PCM_SETTEXTCOLOR, and
// hands every other message of a window with a record to handler.
LRESULT DispatchControlMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                               ControlMessageHandler handler);

LRESULT CALLBACK PanelButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PanelLabelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
