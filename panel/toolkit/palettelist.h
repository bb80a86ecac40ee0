// Panel colours and the shared palette's colour list, free of Win32 so host tests run them.
// UI thread only; nothing is locked.
#pragma once

#include <cstdint>

struct GdiCacheEntry;

// A colour word: RGB in COLORREF layout in bits 0-23. With bit 31 set, bits 24-30 name one of
// the 24 fixed colours of StdColorTable (fixed colour 1 is 0x81C0C0C0).
using PanelColor = std::uint32_t;

constexpr PanelColor kPanelColorFixedBit = 0x80000000u;
constexpr int kStdColorCount = 24;
constexpr PanelColor kStdColorEnd = 0xFFFFFFFFu; // ends StdColorTable
constexpr int kPaletteMaxColors = 256;

constexpr std::uint32_t PanelColorRgb(PanelColor c) {
    return c & 0x00FFFFFFu;
}
constexpr bool PanelColorIsFixed(PanelColor c) {
    return (c & kPanelColorFixedBit) != 0;
}
constexpr unsigned PanelColorFixedNumber(PanelColor c) {
    return (c >> 24) & 0x7Fu;
}
constexpr PanelColor FixedPanelColor(unsigned number, std::uint32_t rgb) {
    return kPanelColorFixedBit | (number << 24) | (rgb & 0x00FFFFFFu);
}

// One fixed colour and the slot of its brush entry (empty until first use).
struct StdColor {
    PanelColor word;
    GdiCacheEntry* brush;
};

// The 24 fixed colours in order, then {kStdColorEnd, null}. Process-wide.
extern StdColor StdColorTable[kStdColorCount + 1];

// Same layout as PALETTEENTRY and LOGPALETTE with room for 256 entries.
struct PaletteColor {
    std::uint8_t red, green, blue, flags;
};
struct PaletteColorList {
    std::uint16_t version; // 0x300
    std::uint16_t count;
    PaletteColor entries[kPaletteMaxColors];
};

// Adds a colour (bits 0-23 count) to the list; returns its index, or -1 when the list is full.
// The first use enters the fixed colours of `table` (ended by kStdColorEnd) in table order, calling
// onMismatch (may be null) for every entry whose number differs from its position.
int PaletteListAdd(PaletteColorList& list, const StdColor* table, PanelColor color,
                   void (*onMismatch)());
