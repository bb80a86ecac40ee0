// The resources of the built VARLOCTL.exe, read back from the file: the dialog templates field by
// field, the background tile and the glass sound. (Its version block: base_wine_test.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>

#include "res/resource.h"
#include "toolkit/panelbuilder_template.h"

namespace {

HMODULE Program() {
    static HMODULE module = LoadLibraryExA(VARLOCTL_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

const BYTE* Resource(const char* type, UINT id, DWORD* size) {
    HRSRC found = FindResourceA(Program(), MAKEINTRESOURCEA(id), type);
    if (!found)
        return nullptr;
    *size = SizeofResource(Program(), found);
    return static_cast<const BYTE*>(LockResource(LoadResource(Program(), found)));
}

// A template text as "#n" for an ordinal, else its text.
std::string Text(const TemplateText& text) {
    char out[256];
    if (text.isOrdinal)
        std::snprintf(out, sizeof out, "#%u", unsigned(text.ordinal));
    else
        TemplateTextToLatin1(text, out, sizeof out);
    return out;
}

struct ExpectedItem {
    WORD id;
    const char* cls;
    const char* text;
    DWORD style;
    short x, y, cx, cy;
};

// Reads the template with the panel builder's own reader.
void ExpectTemplate(UINT id, DWORD style, short cx, short cy, WORD points, const char* face,
                    std::initializer_list<ExpectedItem> expected) {
    SCOPED_TRACE(id);
    DWORD size = 0;
    const BYTE* data = Resource(MAKEINTRESOURCEA(5), id, &size);
    ASSERT_NE(nullptr, data);
    TemplateHeader t;
    ASSERT_TRUE(ReadTemplateHeader(data, size, &t));
    EXPECT_EQ(std::tie(style, cx, cy, points), std::tie(t.style, t.cx, t.cy, t.pointSize));
    EXPECT_EQ("Korvane Varlo Control", Text(t.title));
    EXPECT_EQ(face, Text(t.face));
    ASSERT_EQ(expected.size(), t.itemCount);
    TemplateItem item{};
    item.next = t.firstItem;
    for (const ExpectedItem& e : expected) {
        SCOPED_TRACE(e.id);
        ASSERT_TRUE(ReadTemplateItem(data, size, item.next, &item));
        EXPECT_EQ(std::tie(e.id, e.style, e.x, e.y, e.cx, e.cy),
                  std::tie(item.id, item.style, item.x, item.y, item.cx, item.cy));
        EXPECT_EQ(std::string(e.cls) + " " + e.text,
                  Text(item.windowClass) + " " + Text(item.text));
    }
}

TEST(ProgramResources, DialogTemplatesAsTabulated) {
    ExpectTemplate(IDD_PANEL, 0x10CA00C0u, 250, 89, 10, "System",
                   {
                       {65534, "#130", "", 0x50000006, 240, 18, 1, 30},
                       {1003, "AppDisplayClass", "Na, sowas", 0x50010000, 6, 6, 240, 48},
                       {1013, "AppBtnClass", "{B192,128,128}Write", 0x50010000, 12, 60, 30, 24},
                       {1010, "AppBtnClass", "{B0,128,128}Off", 0x50010000, 42, 60, 24, 12},
                       {1011, "AppBtnClass", "{B0,128,128}Read", 0x50010000, 42, 72, 24, 12},
                       {1012, "AppBtnClass", "{B0,255,0}Refr.", 0x50010000, 66, 60, 24, 12},
                       {1014, "AppBtnClass", "{B128,192,128}MTC", 0x50010000, 66, 72, 24, 12},
                       {1094, "#129", "", 0x50811080, 96, 60, 48, 12},
                       {1095, "AppBtnClass", "Set", 0x50010000, 96, 72, 18, 12},
                       {1006, "#130", "#108", 0x5000090E, 128, 72, 16, 12},
                       {9999, "#130", "FPS:", 0x40020202, 149, 60, 18, 12},
                       {9998, "#130", "VU:", 0x40020202, 149, 72, 18, 12},
                       {1020, "AppBtnClass", "{B0,0,255}24", 0x50010000, 168, 60, 18, 12},
                       {1021, "AppBtnClass", "{B0,255,255}25", 0x50010000, 186, 60, 18, 12},
                       {1022, "AppBtnClass", "{B0,0,128}30d", 0x50010000, 204, 60, 18, 12},
                       {1023, "AppBtnClass", "{B0,0,128}30", 0x50010000, 222, 60, 18, 12},
                       {1040, "AppBtnClass", "-9", 0x50010000, 168, 72, 18, 12},
                       {1041, "AppBtnClass", "-4", 0x50010000, 186, 72, 18, 12},
                       {1042, "AppBtnClass", "0", 0x50010000, 204, 72, 18, 12},
                       {1043, "AppBtnClass", "+4", 0x50010000, 222, 72, 18, 12},
                   });
    ExpectTemplate(IDD_ABOUT, 0x80C800C0u, 148, 95, 8, "MS Sans Serif",
                   {{1, "#128", "OK", 0x50030000, 60, 72, 32, 14},
                    {1000, "#129", "", 0x50010885, 6, 24, 132, 42}});
}

// Loading the pictures, cursor and icon is the GDI cache's and class registration's tests' part.
TEST(ProgramResources, PaletteTileAndSound) {
    DWORD size = 0;
    ASSERT_NE(nullptr, Resource(MAKEINTRESOURCEA(2), IDB_BACKGROUND, &size)); // RT_BITMAP
    EXPECT_EQ(17064u, size); // 160 x 100 with a 256-colour palette
    const BYTE* wave = Resource("WAVE", IDR_GLASS_SOUND, &size);
    ASSERT_NE(nullptr, wave);
    ASSERT_GT(size, 44u);
    EXPECT_EQ(0, std::memcmp(wave, "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(wave + 8, "WAVEfmt ", 8));
}

} // namespace
