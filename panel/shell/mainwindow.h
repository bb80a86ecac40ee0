// The program's one top-level window, "VarloCtlClass", which carries the panel built from
// template 1005, and the message loop that drives the panel from the keyboard like a dialog.
// Everything runs on the user-interface thread; the MIDI callback thread reaches the window only
// by posted messages. Nothing is locked.
#pragma once

#include <windows.h>

#define VARLO_MAIN_CLASS "VarloCtlClass"

constexpr int kMainWindowWidth = 510;
constexpr int kMainWindowHeight = 210;

// The program icon (resource 9001), loaded by the entry point and given to the window.
HICON ProgramIcon();
void SetProgramIcon(HICON icon);

// Registers the window classes (main window, panel controls, glass display) and creates and
// shows the main window at its stored placement. Null when the window cannot be created.
HWND CreateMainWindow();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// One message of the loop: F1 key-up dropped, F1 key-down turned into WM_COMMAND 112 for the
// window it is addressed to (the focused one) and, unless it is an auto-repeat, help mode of the
// program's help window switched; everything else offered to the dialog-message handling of
// mainWindow first, then translated and dispatched.
void ProcessLoopMessage(HWND mainWindow, MSG* msg);

// Runs the loop (PeekMessageA, WaitMessage when empty) until WM_QUIT.
void RunMessageLoop(HWND mainWindow);

// The smallest size the window may be given (template plus frame; 0 x 0 without a panel).
SIZE MainWindowMinimumSize();
