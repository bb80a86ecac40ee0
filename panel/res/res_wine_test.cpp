// The resources of the built VARLOCTL.exe, read back from the file: the dialog templates field by
// field, the pictures, the cursor, the icon and the glass sound.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "res/resource.h"

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

// Reads a DLGTEMPLATE and its items as the panel builder will.
struct TemplateReader {
    const BYTE* p;
    template <typename T>
    T Read() {
        T value;
        std::memcpy(&value, p, sizeof value);
        p += sizeof value;
        return value;
    }
    WORD Word() { return Read<WORD>(); }
    DWORD Dword() { return Read<DWORD>(); }
    // An ordinal as "#n", a string as its ASCII text.
    std::string NameOrOrdinal() {
        char text[256];
        WORD first = Word();
        if (first == 0xFFFF) {
            std::snprintf(text, sizeof text, "#%u", unsigned(Word()));
            return text;
        }
        std::size_t n = 0;
        for (WORD c = first; c != 0; c = Word()) {
            if (n + 1 < sizeof text)
                text[n++] = char(c);
        }
        text[n] = '\0';
        return text;
    }
    void Align4(const BYTE* base) {
        while ((p - base) % 4)
            ++p;
    }
};

struct Item {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::string cls, text;
};

struct Template {
    DWORD style;
    short cx, cy;
    std::string title, face;
    WORD points;
    std::vector<Item> items;
};

Template ReadTemplate(const BYTE* base) {
    TemplateReader r{base};
    Template t;
    t.style = r.Dword();
    r.Dword(); // extended style
    WORD count = r.Word();
    r.Dword(); // x, y
    t.cx = short(r.Word());
    t.cy = short(r.Word());
    EXPECT_EQ("", r.NameOrOrdinal()); // menu
    EXPECT_EQ("", r.NameOrOrdinal()); // class
    t.title = r.NameOrOrdinal();
    t.points = r.Word();
    t.face = r.NameOrOrdinal();
    for (WORD i = 0; i < count; ++i) {
        r.Align4(base);
        Item item;
        item.style = r.Dword();
        r.Dword(); // extended style
        item.x = short(r.Word());
        item.y = short(r.Word());
        item.cx = short(r.Word());
        item.cy = short(r.Word());
        item.id = r.Word();
        item.cls = r.NameOrOrdinal();
        item.text = r.NameOrOrdinal();
        r.p += r.Word(); // creation data
        t.items.push_back(item);
    }
    return t;
}

struct ExpectedItem {
    WORD id;
    const char* cls;
    const char* text;
    DWORD style;
    short x, y, cx, cy;
};

void ExpectTemplate(UINT id, DWORD style, short cx, short cy, WORD points, const char* face,
                    std::initializer_list<ExpectedItem> expected) {
    SCOPED_TRACE(id);
    DWORD size = 0;
    const BYTE* data = Resource(MAKEINTRESOURCEA(5), id, &size);
    ASSERT_NE(nullptr, data);
    Template t = ReadTemplate(data);
    EXPECT_EQ(std::tie(style, cx, cy, points), std::tie(t.style, t.cx, t.cy, t.points));
    EXPECT_EQ("Korvane Varlo Control", t.title);
    EXPECT_EQ(face, t.face);
    ASSERT_EQ(expected.size(), t.items.size());
    const Item* item = t.items.data();
    for (const ExpectedItem& e : expected) {
        SCOPED_TRACE(e.id);
        EXPECT_EQ(std::tie(e.id, e.style, e.x, e.y, e.cx, e.cy),
                  std::tie(item->id, item->style, item->x, item->y, item->cx, item->cy));
        EXPECT_EQ(std::string(e.cls) + " " + e.text, item->cls + " " + item->text);
        ++item;
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

TEST(ProgramResources, PicturesCursorIconAndSound) {
    DWORD size = 0;
    ASSERT_NE(nullptr, Resource(MAKEINTRESOURCEA(2), IDB_BACKGROUND, &size)); // RT_BITMAP
    EXPECT_EQ(17064u, size);
    HBITMAP tile = LoadBitmapA(Program(), MAKEINTRESOURCEA(IDB_BACKGROUND));
    ASSERT_NE(nullptr, tile);
    BITMAP info = {};
    GetObjectA(tile, sizeof info, &info);
    EXPECT_EQ(160, info.bmWidth);
    EXPECT_EQ(100, info.bmHeight);
    DeleteObject(tile);

    HBITMAP logo = LoadBitmapA(Program(), MAKEINTRESOURCEA(IDB_LOGO));
    ASSERT_NE(nullptr, logo);
    DeleteObject(logo);
    EXPECT_NE(nullptr, LoadCursorA(Program(), MAKEINTRESOURCEA(IDCUR_GLASS)));
    EXPECT_NE(nullptr, LoadIconA(Program(), MAKEINTRESOURCEA(IDI_PROGRAM)));

    const BYTE* wave = Resource("WAVE", IDR_GLASS_SOUND, &size);
    ASSERT_NE(nullptr, wave);
    ASSERT_GT(size, 44u);
    EXPECT_EQ(0, std::memcmp(wave, "RIFF", 4));
    EXPECT_EQ(0, std::memcmp(wave + 8, "WAVEfmt ", 8));
}

TEST(ProgramResources, VersionBlock) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(VARLOCTL_EXE, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(VARLOCTL_EXE, 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(0x0409, static_cast<WORD*>(value)[0]);
    EXPECT_EQ(0x04B0, static_cast<WORD*>(value)[1]);
    ASSERT_TRUE(
        VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\FileVersion", &value, &length));
    EXPECT_STREQ("2.22", static_cast<char*>(value));
}

} // namespace
