// The GDI object cache and shared palette under Wine. The cache is process-wide, so the cases run
// in the order written and build on each other; the palette is filled up last.
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>

#include "base/window_wine_test.h"
#include "res/resource.h"
#include "toolkit/gdicache.h"

namespace {

// The colour a brush paints on a memory bitmap.
COLORREF Painted(HBRUSH brush) {
    MemoryCanvas canvas(4, 4);
    RECT r = {0, 0, 4, 4};
    FillRect(canvas.dc, &r, brush);
    return canvas.At(1, 1);
}

TEST(GdiCache, DisplayIsOfTheKindAskedFor) {
    // The run on an 8-bit screen sets this, so that the palette paths cannot pass unexercised.
    char expect[8] = "";
    GetEnvironmentVariableA("VARLO_EXPECT_PALETTE", expect, sizeof expect);
    EXPECT_TRUE(expect[0] != '1' || PaletteDisplay());
}

TEST(GdiCache, BrushesAreSharedBetweenFixedAndPlainWords) {
    GdiCacheEntry* fixed = GetCachedBrush(0x81C0C0C0);
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(fixed, GetCachedBrush(0xC0C0C0));
    EXPECT_EQ(fixed, StdColorTable[1].brush);
    EXPECT_EQ(GDI_CACHE_BRUSH, fixed->kind);
    EXPECT_EQ(COLORREF(0xC0C0C0), fixed->brush.color);
    EXPECT_EQ(COLORREF(0xC0C0C0), Painted(CachedBrush(fixed)));

    // A plain word first: the fixed word finds that entry but does not take it into its slot.
    GdiCacheEntry* plain = GetCachedBrush(0x808080);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(plain, GetCachedBrush(0x82808080));
    EXPECT_EQ(nullptr, StdColorTable[2].brush);

    GdiCacheEntry* other = GetCachedBrush(0x123456);
    EXPECT_EQ(other, GetCachedBrush(0xFF123456 & 0x00FFFFFF));
    EXPECT_NE(other, plain);
}

TEST(GdiCache, RebuildPaletteGivesFixedColoursNewBrushes) {
    EXPECT_EQ(24, PaletteAddColor(0x8080C4)); // the first after the fixed colours
    EXPECT_EQ(nullptr, SharedPalette.handle); // no palette before RebuildPalette
    GdiCacheEntry* fixed = GetCachedBrush(0x81C0C0C0);
    GdiCacheEntry* plain = GetCachedBrush(0x808080);
    HGDIOBJ before = fixed->handle;
    HDC screen = GetDC(nullptr);
    RebuildPalette(screen);
    ReleaseDC(nullptr, screen);

    // The entry keeps its address (callers hold it) and has a new brush.
    EXPECT_EQ(fixed, GetCachedBrush(0x81C0C0C0));
    EXPECT_EQ(fixed, StdColorTable[1].brush);
    EXPECT_NE(before, fixed->handle);
    EXPECT_EQ(0u, GetObjectType(before));
    EXPECT_EQ(DWORD(OBJ_BRUSH), GetObjectType(fixed->handle));
    // An empty slot takes a brush entry of its colour that is still in the cache.
    EXPECT_EQ(plain, StdColorTable[2].brush);
    for (int i = 0; i < kStdColorCount; ++i)
        EXPECT_NE(nullptr, StdColorTable[i].brush) << i;

    if (PaletteDisplay()) {
        ASSERT_NE(nullptr, SharedPalette.handle);
        EXPECT_EQ(UINT(SharedPalette.colors.count),
                  GetPaletteEntries(SharedPalette.handle, 0, 0, nullptr));
        EXPECT_EQ(PALETTEINDEX(24), PaletteColorRef(0x8080C4));
        EXPECT_EQ(PALETTEINDEX(1), PaletteColorRef(0x81C0C0C0));
        // A colour registered after the rebuild maps to the nearest entry.
        PaletteAddColor(0xC1C1C1);
        EXPECT_EQ(PALETTEINDEX(1), PaletteColorRef(0xC1C1C1));
    } else {
        EXPECT_EQ(nullptr, SharedPalette.handle);
        EXPECT_EQ(COLORREF(0x8080C4), PaletteColorRef(0x8080C4));
        EXPECT_EQ(COLORREF(0xC0C0C0), Painted(CachedBrush(fixed)));
    }

    // Selecting the shared palette and back.
    HDC dc = GetDC(nullptr);
    HPALETTE previous = SelectSharedPalette(dc);
    EXPECT_EQ(SharedPalette.handle != nullptr, previous != nullptr);
    RestorePalette(dc, previous);
    ReleaseDC(nullptr, dc);

    // A second rebuild deletes the first palette even while a device context holds it.
    HDC own = GetDC(nullptr);
    SelectSharedPalette(own);
    HPALETTE first = SharedPalette.handle;
    RebuildPalette(own);
    if (first) {
        EXPECT_EQ(0u, GetObjectType(first));
        EXPECT_NE(nullptr, SharedPalette.handle);
    }
    ReleaseDC(nullptr, own);
}

TEST(GdiCache, PensTheStockNullPenAndFreeing) {
    GdiCacheEntry* none = GetCachedPen(0x84000000, PS_SOLID, 0);
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(GetStockObject(NULL_PEN), none->handle);
    EXPECT_EQ(1, none->stock);
    EXPECT_EQ(none, GetCachedPen(0x84000000, PS_SOLID, 0));
    EXPECT_NE(none, GetCachedPen(0x84000000, PS_DOT, 0)); // the style is a key even so

    GdiCacheEntry* solid = GetCachedPen(0x84000000, PS_SOLID, 2);
    ASSERT_NE(nullptr, solid);
    EXPECT_EQ(0, solid->stock);
    EXPECT_EQ(solid, GetCachedPen(0x84000000, PS_SOLID, 2));
    EXPECT_NE(solid, GetCachedPen(0x000000, PS_SOLID, 2)); // the whole word is the key
    LOGPEN info = {};
    GetObjectA(solid->handle, sizeof info, &info);
    EXPECT_EQ(2, info.lopnWidth.x);

    EXPECT_TRUE(FreeCachedObject(none));
    EXPECT_EQ(DWORD(OBJ_PEN), GetObjectType(GetStockObject(NULL_PEN)));
    EXPECT_FALSE(FreeCachedObject(none));
    HGDIOBJ pen = solid->handle;
    EXPECT_TRUE(FreeCachedObject(solid));
    EXPECT_EQ(0u, GetObjectType(pen));
    GdiCacheEntry stranger = {};
    EXPECT_FALSE(FreeCachedObject(&stranger));

    // Freeing a fixed colour's brush empties its slot; the next request fills it again.
    GdiCacheEntry* white = GetCachedBrush(0x80FFFFFF);
    ASSERT_EQ(white, StdColorTable[0].brush);
    EXPECT_TRUE(FreeCachedObject(white));
    EXPECT_EQ(nullptr, StdColorTable[0].brush);
    GdiCacheEntry* again = GetCachedBrush(0x80FFFFFF);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(again, StdColorTable[0].brush);
}

LOGFONTA FontOf(const GdiCacheEntry* entry) {
    LOGFONTA font = {};
    GetObjectA(entry->handle, sizeof font, &font);
    return font;
}

TEST(GdiCache, FontsBySpecification) {
    GdiCacheEntry* arial = GetCachedFont("Arial,14");
    ASSERT_NE(nullptr, arial);
    EXPECT_EQ(arial, GetCachedFont("Arial,14,V")); // by what the text means, not its spelling
    GdiCacheEntry* bold = GetCachedFont("Arial,14,B");
    ASSERT_NE(nullptr, bold);
    EXPECT_NE(arial, bold);
    // What the description texts mean is the host tests' business; here it reaches the font.
    LOGFONTA f = FontOf(bold);
    EXPECT_EQ(std::tie(f.lfHeight, f.lfWeight, f.lfQuality, f.lfPitchAndFamily, f.lfUnderline),
              std::make_tuple(14, 700, PROOF_QUALITY, 0x22, 0));
    EXPECT_STREQ("Arial", f.lfFaceName);
    LOGFONTA symbols = FontOf(GetCachedFont("12,W"));
    EXPECT_EQ(std::tie(symbols.lfCharSet, symbols.lfHeight), std::make_tuple(SYMBOL_CHARSET, 12));

    LOGFONTA italic = FontOf(GetCachedFont("Courier New,10,FI"));
    EXPECT_EQ(std::tie(italic.lfItalic, italic.lfPitchAndFamily), std::make_tuple(1, 0x31));
}

TEST(GdiCache, BitmapsFromTheProgramResources) {
    GdiCacheEntry* tile = GetCachedBitmap(IDB_BACKGROUND);
    ASSERT_NE(nullptr, tile);
    EXPECT_EQ(std::tie(tile->bitmap.width, tile->bitmap.height), std::make_tuple(160, 100));
    EXPECT_EQ(tile, GetCachedBitmap(IDB_BACKGROUND));
    GdiCacheEntry* logo = GetCachedBitmap(IDB_LOGO);
    ASSERT_NE(nullptr, logo);
    EXPECT_EQ(32, logo->bitmap.width);
    EXPECT_EQ(nullptr, GetCachedBitmap(4242));
}

// What a full list answers is the host tests' part (PaletteList.FullListReturnsMinusOne): here,
// drawing with a colour that found no room still works (the nearest entry, or RGB displays).
TEST(GdiCache, FullPaletteStillDraws) {
    for (COLORREF c = 0x010101; SharedPalette.colors.count < kPaletteMaxColors; c += 0x000103)
        PaletteAddColor(c);
    EXPECT_NE(nullptr, GetCachedBrush(0x7F7F01));
}

} // namespace
