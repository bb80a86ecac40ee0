// The program's services for the help window: the GDI cache, the shared palette, the class
// registration and the module's help text resource.
#include "help/helpwindow.h"

#include "base/resstr.h"
#include "toolkit/gdicache.h"
#include "toolkit/panelbutton.h"

namespace {

HFONT Font(const char* fontText) {
    return CachedFont(GetCachedFont(fontText));
}

HBRUSH Brush(COLORREF color) {
    return CachedBrush(GetCachedBrush(color));
}

HBITMAP Bitmap(UINT id, int* width, int* height) {
    GdiCacheEntry* entry = GetCachedBitmap(id);
    if (!entry || !entry->handle)
        return nullptr;
    *width = entry->bitmap.width;
    *height = entry->bitmap.height;
    return CachedBitmap(entry);
}

int FrameRings(HDC dc, const RECT* rect, DWORD pattern) {
    return DrawFrameRings(dc, *rect, pattern);
}

ATOM Register(const char* name, WNDPROC proc, HBRUSH background) {
    return RegisterAppClass(name, 0, proc, 0, 0, nullptr, background);
}

bool HelpText(uint16_t id, const uint8_t** data, size_t* size) {
    HINSTANCE module = AppInstance();
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10)); // RCDATA
    if (!resource)
        return false;
    DWORD bytes = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    const void* locked = loaded ? LockResource(loaded) : nullptr;
    if (!locked)
        return false;
    *data = static_cast<const uint8_t*>(locked);
    *size = bytes;
    return true;
}

void ReportMismatch() {
    MessageBoxA(nullptr, "External file mismatch !!!", "!", MB_OK);
}

HelpBlockCache g_blocks{nullptr}; // kept until the program ends
HWND g_helpWindow;

} // namespace

const HelpServices AppHelpServices = {
    Font,           Brush,    Bitmap,       FrameRings, SelectSharedPalette,
    RestorePalette, Register, GetCursorPos, HelpText,   ReportMismatch,
    &g_blocks};

HWND CreateAppHelpWindow(HWND mainWindow) {
    g_helpWindow = CreateHelpWindow(mainWindow, HELP_HOME_TOPIC, &AppHelpServices);
    return g_helpWindow;
}

HWND AppHelpWindow() {
    return IsWindow(g_helpWindow) ? g_helpWindow : nullptr;
}
