// The help window's canvas on GDI and its help text source.
#include "help/helpgdi.h"

#include <vector>

namespace {

GdiCanvas* Gdi(void* context) {
    return static_cast<GdiCanvas*>(context);
}

HFONT FontOf(const GdiCanvas* gdi, const HelpFont& font) {
    char fontText[64];
    FormatHelpFontSpec(font, fontText, sizeof(fontText));
    return gdi->services->font(fontText);
}

void MeasureText(void* context, const HelpFont& font, const char* text, size_t length,
                 int32_t* width, int32_t* height) {
    GdiCanvas* gdi = Gdi(context);
    HGDIOBJ old = SelectObject(gdi->dc, FontOf(gdi, font));
    SIZE size{0, 0};
    GetTextExtentPoint32A(gdi->dc, text, int(length), &size);
    if (length == 0) { // an empty text is as high as the font
        TEXTMETRICA metrics;
        if (GetTextMetricsA(gdi->dc, &metrics))
            size.cy = metrics.tmHeight;
    }
    SelectObject(gdi->dc, old);
    *width = size.cx;
    *height = size.cy;
}

bool BitmapSize(void* context, uint32_t id, int32_t* width, int32_t* height) {
    int w = 0, h = 0;
    if (!Gdi(context)->services->bitmap(id, &w, &h))
        return false;
    *width = w;
    *height = h;
    return true;
}

uint32_t QueryColor(void* context, uint32_t number) {
    return uint32_t(SendMessageA(Gdi(context)->colorWindow, HM_GETCOLOR, number, 0));
}

bool ColorDisplay(void* context) {
    HDC dc = Gdi(context)->dc;
    return GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES) > 1;
}

int32_t DrawFrame(void* context, const HelpRect& r, uint32_t pattern) {
    RECT rect{r.left, r.top, r.right, r.bottom};
    return Gdi(context)->services->frameRings(Gdi(context)->dc, &rect, pattern);
}

void FillArea(void* context, const HelpRect& r, uint32_t color) {
    RECT rect{r.left, r.top, r.right, r.bottom};
    FillRect(Gdi(context)->dc, &rect, Gdi(context)->services->brush(color));
}

void DrawText(void* context, const HelpFont& font, bool setColor, uint32_t color, int32_t x,
              int32_t y, const char* text, size_t length) {
    GdiCanvas* gdi = Gdi(context);
    HGDIOBJ old = SelectObject(gdi->dc, FontOf(gdi, font));
    if (setColor)
        SetTextColor(gdi->dc, color);
    SetBkMode(gdi->dc, TRANSPARENT);
    TextOutA(gdi->dc, x, y, text, int(length));
    SelectObject(gdi->dc, old);
}

void DrawBitmap(void* context, uint32_t id, int32_t x, int32_t y) {
    GdiCanvas* gdi = Gdi(context);
    int w = 0, h = 0;
    HBITMAP bitmap = gdi->services->bitmap(id, &w, &h);
    HDC memory = CreateCompatibleDC(gdi->dc);
    if (!bitmap || !memory) {
        if (memory)
            DeleteDC(memory);
        return;
    }
    HPALETTE palette = gdi->services->selectPalette(memory);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(gdi->dc, x, y, w, h, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    gdi->services->restorePalette(memory, palette);
    DeleteDC(memory);
}

const HelpCanvas kGdiCanvas = {nullptr,   MeasureText, BitmapSize, QueryColor, ColorDisplay,
                               DrawFrame, FillArea,    DrawText,   DrawBitmap};

bool FindHelpResource(void* context, uint16_t id, const uint8_t** data, size_t* size) {
    return static_cast<const HelpServices*>(context)->helpText(id, data, size);
}

// An external help file larger than this is no help text: it is not read, and the built-in
// texts are used.
constexpr LONGLONG kMaxHelpFile = 1 << 20;

bool ReadWholeFile(void*, const char* path, std::vector<uint8_t>* contents) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxHelpFile;
    if (ok)
        contents->assign(size_t(size.QuadPart), 0);
    DWORD read = 0;
    if (ok && size.QuadPart > 0)
        ok = ReadFile(file, contents->data(), DWORD(size.QuadPart), &read, nullptr) &&
             read == DWORD(size.QuadPart);
    CloseHandle(file);
    return ok;
}

void ReportMismatch(void* context) {
    static_cast<const HelpServices*>(context)->reportMismatch();
}

} // namespace

const HelpBlock* LoadServicesHelpBlock(const HelpServices* services) {
    HelpSource source{const_cast<HelpServices*>(services), FindHelpResource, ReadWholeFile,
                      ReportMismatch};
    return LoadHelpBlock(services->blocks, HELP_TEXT_BLOCK_ID, &source);
}

HelpCanvas MakeGdiCanvas(GdiCanvas* gdi) {
    HelpCanvas canvas = kGdiCanvas;
    canvas.context = gdi;
    return canvas;
}
