// The shared palette's colour list and font description texts.
#include "toolkit/fontdesc.h"
#include "toolkit/palettelist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

namespace {

int g_mismatches;
void CountMismatch() {
    ++g_mismatches;
}

TEST(StdColors, NumbersMatchPositionsAndComeFirstInTheList) {
    int n = 0;
    for (const StdColor* c = StdColorTable; c->word != kStdColorEnd; ++c, ++n) {
        EXPECT_EQ(unsigned(n), PanelColorFixedNumber(c->word));
        EXPECT_TRUE(PanelColorIsFixed(c->word));
    }
    EXPECT_EQ(kStdColorCount, n);
    EXPECT_EQ(0x81C0C0C0u, FixedPanelColor(1, 0xC0C0C0));

    // In the palette list the fixed colours come first.
    PaletteColorList list = {};
    g_mismatches = 0;
    EXPECT_EQ(24, PaletteListAdd(list, StdColorTable, 0x8080C4, CountMismatch));
    EXPECT_EQ(std::make_tuple(0x300, 25), std::tie(list.version, list.count));
    EXPECT_EQ(1, PaletteListAdd(list, StdColorTable, 0xC0C0C0, CountMismatch));
    EXPECT_EQ(1, PaletteListAdd(list, StdColorTable, 0x81C0C0C0, CountMismatch));
    EXPECT_EQ(7, PaletteListAdd(list, StdColorTable, 0x400080, CountMismatch));
    EXPECT_EQ(15, PaletteListAdd(list, StdColorTable, 0x80C4FF, CountMismatch)); // a light blue
    EXPECT_EQ(24,
              PaletteListAdd(list, StdColorTable, 0xFF8080C4, CountMismatch)); // bits 24+ ignored
    EXPECT_EQ(0, g_mismatches);
    const PaletteColor& e = list.entries[5]; // 0x856060C4: red C4, green 60, blue 60
    EXPECT_EQ(std::make_tuple(0xC4, 0x60, 0x60, 0), std::tie(e.red, e.green, e.blue, e.flags));
}

TEST(PaletteList, FullListReturnsMinusOne) {
    PaletteColorList list = {};
    int last = 0;
    for (std::uint32_t i = 0; i < 256 - 24; ++i)
        last = PaletteListAdd(list, StdColorTable, 0x010203 + i * 0x010101, nullptr);
    EXPECT_EQ(255, last);
    EXPECT_EQ(-1, PaletteListAdd(list, StdColorTable, 0x123456, nullptr));
    EXPECT_EQ(255, PaletteListAdd(list, StdColorTable, 0x010203 + 231 * 0x010101, nullptr));
    EXPECT_EQ(4, PaletteListAdd(list, StdColorTable, 0, nullptr));
}

TEST(PaletteList, MismatchingTableIsReportedPerEntryAndStillAppended) {
    StdColor table[] = {{0x80FFFFFF, nullptr},
                        {0x85000001, nullptr},
                        {0x82000002, nullptr},
                        {0x86000003, nullptr},
                        {kStdColorEnd, nullptr}};
    PaletteColorList list = {};
    g_mismatches = 0;
    EXPECT_EQ(4, PaletteListAdd(list, table, 0x777777, CountMismatch));
    EXPECT_EQ(2, g_mismatches);
    EXPECT_EQ(3, PaletteListAdd(list, table, 0x000003, CountMismatch));
    PaletteColorList empty = {};
    EXPECT_EQ(0, PaletteListAdd(empty, table + 4, 0x8080C4, nullptr));
}

// A description as "face/height/weight/italic+underline/pitch and family/charset".
std::string Describe(const char* fontText) {
    FontSpecParts p;
    ParseFontSpec(fontText, p);
    char out[1100];
    std::snprintf(out, sizeof out, "%s/%d/%d/%u/%#x/%u", p.face, p.height, p.weight,
                  p.italicUnderline, p.pitchAndFamily, p.charset);
    return out;
}

TEST(FontSpec, FaceSizeFlagsAndDefaults) {
    const struct {
        const char *text, *want;
    } cases[] = {
        {"MS Sans Serif,14,B", "MS Sans Serif/14/700/0/0x22/0"},
        {"Arial,14", "Arial/14/400/0/0x22/0"},
        // Flags are case-sensitive; the last pitch letter wins.
        {"Courier New,-11,FIb", "Courier New/-11/400/1/0x31/0"},
        {"Arial,8,FX", "Arial/8/400/0/0x20/0"},
        // Symbol faces replace any face.
        {"12,W", "Wingdings/12/400/0/0x22/2"},
        {"Arial,10,S", "Symbol/10/400/0/0x22/2"},
        // Missing parts take defaults; without a comma the whole text is read as a size.
        {"Arial", "MS Sans Serif/0/400/0/0x22/0"},
        {",14", "MS Sans Serif/14/400/0/0x22/0"},
        {"14", "MS Sans Serif/14/400/0/0x22/0"},
        {"", "MS Sans Serif/0/400/0/0x22/0"},
        {nullptr, "MS Sans Serif/0/400/0/0x22/0"},
        {"System,10", "System/10/400/0/0x22/0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Describe(c.text), c.want) << (c.text ? c.text : "null");
}

TEST(FontSpec, LongSpecsAreCut) {
    const std::string face(1000, 'f');
    EXPECT_EQ(Describe((face + ",9,B").c_str()), face + "/9/700/0/0x22/0");
    // Only 1023 characters are read: the flag is cut off, the size survives.
    EXPECT_EQ(Describe((std::string(1020, 'f') + ",9,B").c_str()).substr(1020), "/9/400/0/0x22/0");
    // Without a comma in the part read there is no face at all, and no size.
    EXPECT_EQ(Describe((std::string(3000, 'f') + ",9").c_str()), "MS Sans Serif/0/400/0/0x22/0");
}

} // namespace
