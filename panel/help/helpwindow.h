// The help window (class AppToolTipClass): follows the pointer on a 100 ms timer, asks the
// control under it for a topic (HM_QUERYHELP), lays the topic out from help text block 9001 and
// shows itself above the control without taking the focus; topics with links become a small
// movable panel with a title bar, back / up / home / close buttons and a history.
//
// Everything runs on the panel's user-interface thread (window procedure, timer, posted
// messages); nothing is locked.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "help/helpstore.h"

// Private messages of the help window.
constexpr UINT HM_QUERYHELP = WM_USER + 340; // to the window under the pointer, lParam HelpQuery*
constexpr UINT HM_SETPARAM = WM_USER + 341;  // wParam 0..9, lParam text or null
constexpr UINT HM_HIDE = WM_USER + 343;      // wParam nonzero: remember the target as dismissed
constexpr UINT HM_SHOWATPOINTER = WM_USER + 344; // wParam fallback topic
constexpr UINT HM_SETHELPMODE = WM_USER + 345;   // wParam nonzero on, 0 off
constexpr UINT HM_GETCOLOR = WM_USER + 346;      // to the owner: wParam colour number -> COLORREF

constexpr UINT HELP_TIMER_ID = 1234;
constexpr UINT HELP_TIMER_PERIOD = 100;
constexpr COLORREF HELP_BACKGROUND = 0xC0FFFF;
constexpr DWORD HELP_FRAME_PATTERN = 0x551452;
constexpr DWORD HELP_BUTTON_PATTERN = 0x41;

// The record sent with HM_QUERYHELP: eleven 32-bit fields, zero-filled before use. Window
// handles are carried in their 32 significant bits.
struct HelpQuery {
    uint32_t helpWindow;
    uint32_t window; // may be changed: another window whose help applies
    int32_t x, y;    // the pointer in the window's client coordinates
    uint32_t reserved;
    int32_t topic;    // may be changed: the topic to show (default: the control identifier)
    uint32_t context; // may be changed: tells help regions of one window apart
    int32_t left, top, right, bottom; // may be changed: the screen area the help is about
};
static_assert(sizeof(HelpQuery) == 44);

// What the help window uses of the rest of the program. The program's own table (AppHelpServices)
// uses the GDI cache, the shared palette, DrawFrameRings and the module's resources; tests supply
// their own.
struct HelpServices {
    HFONT (*font)(const char* fontText);
    HBRUSH (*brush)(COLORREF color);
    HBITMAP (*bitmap)(UINT id, int* width, int* height); // null when there is none
    int (*frameRings)(HDC dc, const RECT* rect, DWORD pattern);
    HPALETTE (*selectPalette)(HDC dc); // the previous palette, null when there is no palette
    void (*restorePalette)(HDC dc, HPALETTE previous);
    ATOM (*registerClass)(const char* name, WNDPROC proc, HBRUSH background);
    BOOL (*cursorPos)(POINT* point);
    // The raw help text resource `id`, or false.
    bool (*helpText)(uint16_t id, const uint8_t** data, size_t* size);
    void (*reportMismatch)(); // "External file mismatch !!!"
    HelpBlockCache* blocks;   // compiled blocks, kept until the program ends
};

extern const HelpServices AppHelpServices;

// The program's help window: created hidden by the panel link initialisation, owned by the main
// window, with the panel overview (1005) as its home topic. AppHelpWindow is null before that or
// when creation failed (the panel then has no help).
constexpr int32_t HELP_HOME_TOPIC = 1005;
HWND CreateAppHelpWindow(HWND mainWindow);
HWND AppHelpWindow();

// Registers AppToolTipClass (once) and creates the hidden help window owned by `owner`, with
// `homeTopic` for its "?" button. Null on failure, which leaves the panel without help.
HWND CreateHelpWindow(HWND owner, int32_t homeTopic, const HelpServices* services);

// Switches help mode of the help window on when it is off and off when it is on (through
// HM_SETHELPMODE). Returns the new state; false for a window that is not a help window. The
// message loop calls it once for each press of F1.
bool ToggleHelpMode(HWND helpWindow);
