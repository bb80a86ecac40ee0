// Resource strings, version text and window class registration of VARLOCTL (Win32 side).
// Every function here runs on the user-interface thread; none takes a lock. Strings are loaded
// from the program's module instance (AppInstance) with the language offset of markers.h.
#pragma once

#include <windows.h>

#include <cstdarg>

#include "base/colortriple.h"
#include "base/markers.h"

// The module instance every resource is loaded from. The program entry sets it first thing;
// until then it is the executable's own module.
HINSTANCE AppInstance();
void SetAppInstance(HINSTANCE instance);

// Registers a window class: CS_OWNDC is always added to the low 16 bits of style; the icon is
// resource iconId of the module (none for 0); the cursor is the module's cursor `cursorName`,
// else the system cursor of that name, none for null. Returns the atom, 0 on failure.
ATOM RegisterAppClass(const char* className, UINT style, WNDPROC proc, int windowExtra, UINT iconId,
                      const char* cursorName, HBRUSH background);

// Loads string id (language offset below 10000), formats it with wvsprintfA into out (cap bytes,
// the text cut to fit) and expands its markers with capacity 0. A missing string becomes
// "[Err %d]" with the offset id. Returns 1.
int LoadFormattedString(char* out, int cap, UINT id, va_list args);

// Sets a window's text (buffer of 252 characters) or a dialog item's text (1024 characters)
// from a formatted string.
void SetWindowTextFromString(HWND window, UINT id, ...);
void SetDlgItemTextFromString(HWND dialog, int item, UINT id, ...);

// Loads a string (offset applied) into buf; false when it does not exist (buf is then empty).
bool LoadAppString(UINT id, char* buf, int cap);

// Expands markers against the program's string table and version text (see markers.h).
int ExpandMarkers(char* text, int capacity);

// The "FileVersion" string of the program, or of any file. On a file without version
// information the output becomes "{ERR %d}" with the system error code, and without a
// translation or "FileVersion" entry "?.??"; the result is true only when the entry was found.
// GetProgramVersionText leaves the output unchanged and returns false when the program's own
// path cannot be had. `out` holds `cap` bytes and is always terminated.
bool GetProgramVersionText(char* out, int cap);
bool GetFileVersionText(const char* path, char* out, int cap);

// The index-th item of the list after `letter`{ in string id of `module` (see stringitems.h).
// The id is used as given (no language offset). Valid until a lookup with other parameters.
const char* GetStringItem(HINSTANCE module, UINT id, char letter, int index, const char* fallback);
