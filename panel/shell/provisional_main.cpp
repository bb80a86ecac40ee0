// Stand-in program entry until the real main window exists: registers the main window class and
// shows the about box, so the executable carries and shows its resources.
#include <windows.h>

#include "res/resource.h"
#include "shell/aboutbox.h"
#include "shell/resstr.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    SetAppInstance(instance);
    RegisterAppClass("VarloCtlClass", CS_VREDRAW | CS_HREDRAW, DefWindowProcA, 8, IDI_PROGRAM,
                     nullptr, nullptr);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutBoxProc, 0);
    return 1;
}
