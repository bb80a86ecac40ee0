// The about box: title and text from the string table, the version marker replaced.
#include "base/aboutbox.h"

#include "res/resource.h"
#include "base/resstr.h"

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowTextFromString(dialog, IDS_ABOUT_TITLE);
            SetDlgItemTextFromString(dialog, IDC_ABOUT_TEXT, IDS_ABOUT_TEXT);
            return 0; // no initial focus from the dialog manager
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, 1);
                return 1;
            }
            return 0;
        default:
            return 0;
    }
}
