// The tiled background painted into a memory target and read back pixel by pixel.
#include "display/background.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "base/resstr.h"
#include "base/window_wine_test.h"
#include "res/resource.h"
#include "toolkit/panelbuilder.h"

namespace {

constexpr COLORREF kSentinel = RGB(1, 2, 3);
constexpr int kTarget = 400;

class Background : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterTestClass("BackgroundTestHost");
        host = CreateWindowExA(0, "BackgroundTestHost", "", WS_POPUP, 0, 0, 300, 200, nullptr,
                               nullptr, AppInstance(), nullptr);
        ASSERT_NE(host, nullptr);
        panel = static_cast<PanelRecord*>(calloc(1, sizeof(PanelRecord)));
        panel->parent = host;
        panel->backgroundColor = RGB(0x99, 0x66, 0x33);
        Clear();
        tile = LoadBitmapA(AppInstance(), MAKEINTRESOURCEA(IDB_BACKGROUND));
        ASSERT_NE(tile, nullptr);
        GetObjectA(tile, sizeof tileInfo, &tileInfo);
        tileDc = CreateCompatibleDC(nullptr);
        oldTile = SelectObject(tileDc, tile);
    }

    void TearDown() override {
        LoadBackground(0);
        if (panel->backgroundBrush)
            DeleteObject(panel->backgroundBrush);
        free(panel);
        SelectObject(tileDc, oldTile);
        DeleteDC(tileDc);
        DeleteObject(tile);
        DestroyWindow(host);
    }

    void Clear() { target.Fill(kSentinel, {0, 0, kTarget, kTarget}); }
    void Client(int w, int h) { SetWindowPos(host, nullptr, 0, 0, w, h, SWP_NOZORDER); }

    COLORREF At(int x, int y) { return target.At(x, y); }
    COLORREF TileAt(int x, int y) {
        return GetPixel(tileDc, x % tileInfo.bmWidth, y % tileInfo.bmHeight);
    }

    HWND host = nullptr;
    PanelRecord* panel = nullptr;
    MemoryCanvas target{kTarget, kTarget};
    HDC tileDc = nullptr;
    HBITMAP tile = nullptr;
    HGDIOBJ oldTile = nullptr;
    BITMAP tileInfo{};
};

// Whole tiles are copied; a window's device context clips those at the edges.
TEST_F(Background, TilesTheBitmapAcrossLargeSmallAndEmptyClientAreas) {
    LoadBackground(IDB_BACKGROUND);
    ASSERT_LT(tileInfo.bmWidth, 300);
    ASSERT_LT(tileInfo.bmHeight, 200);
    PaintBackground(panel, target.dc);
    for (int y = 0; y < 200; y += 7)
        for (int x = 0; x < 300; x += 11)
            ASSERT_EQ(At(x, y), TileAt(x, y)) << x << "," << y;
    EXPECT_EQ(At(299, 199), TileAt(299, 199));
    EXPECT_NE(panel->backgroundBrush, nullptr); // made on first use, kept
    HBRUSH brush = panel->backgroundBrush;
    PaintBackground(panel, target.dc);
    EXPECT_EQ(panel->backgroundBrush, brush);

    Clear();
    Client(5, 4); // smaller than one tile: its top-left part
    PaintBackground(panel, target.dc);
    EXPECT_EQ(std::make_tuple(At(0, 0), At(4, 3), At(tileInfo.bmWidth, 0)), // one tile only
              std::make_tuple(TileAt(0, 0), TileAt(4, 3), kSentinel));

    Clear();
    Client(0, 0);
    PaintBackground(panel, target.dc);
    EXPECT_EQ(At(0, 0), kSentinel);
}

TEST_F(Background, WithoutABitmapTheColourFillsTheArea) {
    LoadBackground(0);
    PaintBackground(panel, target.dc);
    EXPECT_EQ(std::make_tuple(At(0, 0), At(299, 199), At(300, 0)),
              std::make_tuple(RGB(0x99, 0x66, 0x33), RGB(0x99, 0x66, 0x33), kSentinel));

    LoadBackground(4321);                      // no such bitmap
    panel->backgroundColor = RGB(10, 200, 30); // the brush made before stays
    PaintBackground(panel, target.dc);
    EXPECT_EQ(At(150, 100), RGB(0x99, 0x66, 0x33));

    // Reloading after a release tiles again.
    LoadBackground(IDB_BACKGROUND);
    PaintBackground(panel, target.dc);
    EXPECT_EQ(At(tileInfo.bmWidth + 1, 1), TileAt(1, 1));
}

} // namespace
