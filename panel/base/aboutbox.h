// The about box, dialog template 2001: title from string 22001, text from string 22010 with its
// version marker replaced. Opened with DialogBoxParamA(instance, MAKEINTRESOURCE(IDD_ABOUT),
// owner, AboutBoxProc, 0) on the user-interface thread.
#pragma once

#include <windows.h>

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
