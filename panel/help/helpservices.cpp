// The program's services for the help window: the GDI cache, the shared palette, the class
// registration and the module's help text resource.
#include "help/helpwindow.h"

#include "shell/resstr.h"
#include "toolkit/gdicache.h"

namespace {

HFONT Font(const char* spec) {
    return CachedFont(GetCachedFont(spec));
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

// One-pixel rings, lowest pattern byte outermost: the low nibble colours the top and left
// edges, the high nibble the right and bottom edges, each with fixed colour nibble - 1.
int FrameRings(HDC dc, const RECT* rect, DWORD pattern) {
    RECT r = *rect;
    int rings = 0;
    for (; pattern; pattern >>= 8, ++rings) {
        unsigned low = pattern & 0x0F, high = pattern >> 4 & 0x0F;
        if (low) {
            HBRUSH brush = CachedBrush(GetCachedBrush(StdColorTable[low - 1].word));
            RECT top{r.left, r.top, r.right, r.top + 1}, left{r.left, r.top, r.left + 1, r.bottom};
            FillRect(dc, &top, brush);
            FillRect(dc, &left, brush);
        }
        if (high) {
            HBRUSH brush = CachedBrush(GetCachedBrush(StdColorTable[high - 1].word));
            RECT right{r.right - 1, r.top + 1, r.right, r.bottom};
            RECT bottom{r.left + 1, r.bottom - 1, r.right, r.bottom};
            FillRect(dc, &right, brush);
            FillRect(dc, &bottom, brush);
        }
        InflateRect(&r, -1, -1);
    }
    return rings;
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

} // namespace

const HelpServices AppHelpServices = {
    Font,           Brush,    Bitmap,       FrameRings, SelectSharedPalette,
    RestorePalette, Register, GetCursorPos, HelpText,   ReportMismatch,
    &g_blocks};
