// VARLOCTL's entry point: the link to the interface is opened before any window exists, then the
// main window is created and the message loop runs until the window is closed.
#include <windows.h>

#include <commctrl.h>

#include "timecode/timecodepanel.h"
#include "res/resource.h"
#include "shell/mainwindow.h"
#include "base/resstr.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    SetAppInstance(instance);
    SetProgramIcon(LoadIconA(instance, MAKEINTRESOURCEA(IDI_PROGRAM)));
    if (!PanelLink().openLink())
        MessageBoxA(nullptr, "Varlo not found!", "Varlo Control", MB_OK);
    InitCommonControls();
    HWND window = CreateMainWindow();
    if (window != nullptr) {
        RunMessageLoop(window);
    } else {
        // Without its window nothing could ever end the loop: say so and stop.
        MessageBoxA(nullptr, "The control panel window cannot be created.", "Varlo Control",
                    MB_OK | MB_ICONSTOP);
    }
    DestroyIcon(ProgramIcon());
    PanelLink().closeLink();
    return 1;
}
