// The panel's settings store: string values under HKEY_CURRENT_USER "Software\Korvane\VARLOCTL",
// opened (and created) for every single read or write. User-interface thread only; no caching.
#pragma once

#include <windows.h>

#include "base/placement.h"

#define VARLO_SETTINGS_KEY "Software\\Korvane\\VARLOCTL"
#define VARLO_VALUE_TIMECODE "Timecode"
#define VARLO_VALUE_WINDOWPOS "WindowPos"
#define VARLO_DEFAULT_TIMECODE "00:59:50:00"

// Opens (creating when missing) the settings key; null on any error. The caller closes it.
HKEY OpenSettingsKey();

// Reads a string value into buf (size bytes). Returns the length of the string left in buf.
// No key: returns 0 and leaves buf untouched. A missing value, one that is not REG_SZ or one that
// does not fit with its terminator gives the default (truncated, terminated) or, without a
// default, an empty buffer. buf always ends up terminated once the key opened.
int ReadSettingString(const char* name, char* buf, int size, const char* fallback);

// Writes a REG_SZ value (text and terminator). 1 on success, 0 on failure.
int WriteSettingString(const char* name, const char* text);

// Stores the window's placement as the nine-number text. Always returns 1.
int StoreWindowPlacement(const char* name, HWND window);

// Applies a stored placement with the show command rule of placement.h; returns 1. Without a
// usable stored placement shows the window with showCmd and returns 0.
int RestoreWindowPlacement(const char* name, HWND window, int showCmd);
