// Host tests of key and label arithmetic: caption markup, mnemonics, clicks, radio runs,
// caption placement, word wrapping, bevels and frame rings.
#include "toolkit/controllogic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr CaptionColors kDefaults = {0x81C0C0C0, 0x81C0C0C0, 0x8E00FFFF};

struct Parsed {
    CaptionColors colors;
    std::string caption;
};
Parsed Parse(const char* text) {
    Parsed p = {kDefaults, ""};
    p.caption = ParseCaptionColors(&p.colors, text);
    return p;
}

} // namespace

TEST(CaptionMarkup, ColoursAndCaption) {
    Parsed p = Parse("{B0,0,255}24");
    EXPECT_EQ(p.caption, "24");
    EXPECT_EQ(p.colors.background, 0xFF0000u);
    EXPECT_EQ(p.colors.text, kDefaults.text);

    p = Parse("Set");
    EXPECT_EQ(p.caption, "Set");
    EXPECT_EQ(p.colors.background, kDefaults.background);

    p = Parse("{B192,128,128;T255,0,0}Write it");
    EXPECT_EQ(p.caption, "Write it");
    EXPECT_EQ(p.colors.background, 0x8080C0u);
    EXPECT_EQ(p.colors.text, 0x0000FFu);

    p = Parse("{O1,2,3}x");
    EXPECT_EQ(p.colors.other, 0x030201u);
    EXPECT_EQ(p.colors.background, kDefaults.background);
}

TEST(CaptionMarkup, InvalidItemsAreSkipped) {
    Parsed p = Parse("{X1,2,3}Go");
    EXPECT_EQ(p.caption, "Go");
    EXPECT_EQ(p.colors.background, kDefaults.background);
    EXPECT_EQ(p.colors.other, kDefaults.other);
    EXPECT_EQ(p.colors.text, kDefaults.text);
    p = Parse("{B0,255}a,b");
    EXPECT_EQ(p.caption, "a,b");
    EXPECT_EQ(p.colors.background, kDefaults.background);
    // A short triple does not borrow the next item's commas.
    p = Parse("{T255,0;B0,0,255}z");
    EXPECT_EQ(p.colors.text, kDefaults.text);
    EXPECT_EQ(p.colors.background, 0xFF0000u);
    p = Parse("{b1,1,1;;B300,0,0}z");
    EXPECT_EQ(p.colors.background, 0x00002Cu);
    p = Parse("{}z");
    EXPECT_EQ(p.caption, "z");
}

TEST(CaptionMarkup, BracePlacement) {
    EXPECT_EQ(Parse("ab{B1,1,1}cd").caption, "cd");
    EXPECT_EQ(Parse("ab{B1,1,1}cd").colors.background, 0x010101u);
    Parsed p = Parse("B1,1,1}cd");
    EXPECT_EQ(p.caption, "cd");
    EXPECT_EQ(p.colors.background, kDefaults.background);
    p = Parse("{B1,1,1 no end");
    EXPECT_EQ(p.caption, "{B1,1,1 no end");
    EXPECT_EQ(p.colors.background, kDefaults.background);
    // An opening brace after the closing one reads no items.
    p = Parse("x}{B1,1,1}y");
    EXPECT_EQ(p.caption, "{B1,1,1}y");
    EXPECT_EQ(p.colors.background, kDefaults.background);
}

TEST(CaptionMarkup, Mnemonics) {
    char out[32];
    EXPECT_EQ(StripMnemonic("&Set", out, sizeof out), 0);
    EXPECT_STREQ(out, "Set");
    EXPECT_EQ(StripMnemonic("Re&fr.", out, sizeof out), 2);
    EXPECT_STREQ(out, "Refr.");
    EXPECT_EQ(StripMnemonic("A&&B", out, sizeof out), 1);
    EXPECT_STREQ(out, "A&B");
    EXPECT_EQ(StripMnemonic("Fish&", out, sizeof out), -1);
    EXPECT_STREQ(out, "Fish&");
    EXPECT_EQ(StripMnemonic("a&b&c", out, sizeof out), 1);
    EXPECT_STREQ(out, "ab&c");
    EXPECT_EQ(StripMnemonic("", out, sizeof out), -1);
    char tiny[3];
    EXPECT_EQ(StripMnemonic("abc&d", tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "ab");
}

TEST(KeyClicks, StatesByType) {
    ClickResult r = ClickButton(0, 0);
    EXPECT_TRUE(r.startTimer);
    EXPECT_EQ(r.state, 1u);
    EXPECT_FALSE(r.postCommand);
    r = ClickButton(1, 1); // already pressed: ignored
    EXPECT_FALSE(r.startTimer);
    EXPECT_EQ(r.state, 1u);
    EXPECT_TRUE(ClickButton(kButtonOwnerDraw, 0).startTimer);

    EXPECT_EQ(ClickButton(kButtonAutoCheck, 0).state, 1u);
    EXPECT_EQ(ClickButton(kButtonAutoCheck, 1).state, 0u);
    uint32_t s = 0;
    const uint32_t seq[] = {1, 2, 0, 1};
    for (uint32_t want : seq) {
        s = ClickButton(kButtonAuto3State, s).state;
        EXPECT_EQ(s, want);
    }
    r = ClickButton(kButtonAutoRadio | 0x10000, 0);
    EXPECT_EQ(r.state, 1u);
    EXPECT_TRUE(r.clearOthers);
    EXPECT_TRUE(r.postCommand);
    for (uint32_t type : {2u, 4u, 5u, 7u, 8u, 10u, 12u, 15u}) {
        r = ClickButton(type, 1);
        EXPECT_EQ(r.state, 1u) << type;
        EXPECT_TRUE(r.postCommand) << type;
        EXPECT_FALSE(r.startTimer) << type;
    }
    EXPECT_EQ(ButtonLookOf(0), BUTTON_LOOK_KEY);
    EXPECT_EQ(ButtonLookOf(3), BUTTON_LOOK_PLAIN_CAPTION);
    EXPECT_EQ(ButtonLookOf(9 | kButtonPushLike), BUTTON_LOOK_KEY);
    EXPECT_EQ(ButtonLookOf(8 | kButtonPushLike), BUTTON_LOOK_NOTHING);
    EXPECT_EQ(ButtonLookOf(kButtonOwnerDraw), BUTTON_LOOK_NOTHING);
}

TEST(KeyClicks, RadioRuns) {
    // other, radio(G), radio, radio, radio(G), radio, other, radio
    const RadioSibling s[] = {{false, false}, {true, true},  {true, false},  {true, false},
                              {true, true},   {true, false}, {false, false}, {true, false}};
    int b, e;
    FindRadioRun(s, 8, 2, &b, &e);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(e, 4);
    FindRadioRun(s, 8, 1, &b, &e);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(e, 4);
    FindRadioRun(s, 8, 5, &b, &e);
    EXPECT_EQ(b, 4);
    EXPECT_EQ(e, 6);
    FindRadioRun(s, 8, 7, &b, &e);
    EXPECT_EQ(b, 7);
    EXPECT_EQ(e, 8);
    // No WS_GROUP: from the earliest of the unbroken run.
    const RadioSibling t[] = {{true, false}, {true, false}, {true, false}};
    FindRadioRun(t, 3, 2, &b, &e);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(e, 3);
}

TEST(KeyClicks, CaptionPlacement) {
    int x, y;
    PlaceKeyCaption({2, 2, 58, 22}, 20, 13, &x, &y);
    EXPECT_EQ(x, 2 + (58 - 20) / 2);
    EXPECT_EQ(y, 2 + 3);
    PlaceKeyCaption({2, 2, 10, 22}, 40, 30, &x, &y);
    EXPECT_EQ(x, 0);                        // negative becomes 0
    EXPECT_EQ(y, 2 + ((22 - 30 - 2) >> 1)); // arithmetic shift: -5
}

namespace {

// Every character is 6 pixels wide.
int Fixed6(void*, const char*, int length) {
    return 6 * length;
}

std::vector<std::string> Wrap(const char* text, int width) {
    std::vector<std::string> lines;
    const int length = static_cast<int>(std::strlen(text));
    int pos = 0;
    for (int guard = 0; pos < length && guard < 1000; ++guard) {
        const WrapLine line = WrapNextLine(text, length, pos, width, Fixed6, nullptr);
        EXPECT_GT(line.next, pos);
        EXPECT_EQ(line.width, 6 * line.length);
        lines.emplace_back(text + line.start, line.length);
        pos = line.next;
    }
    return lines;
}

} // namespace

TEST(LabelWrap, LinesBreakAtSpaces) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Wrap("Frames per Second", 59), (V{"Frames ", "per ", "Second"}));
    // An exact fit keeps the word; the space after it is skipped.
    EXPECT_EQ(Wrap("Frames per Second", 60), (V{"Frames per", "Second"}));
    // Too wide: back to the last break, whose spaces belong to the line.
    EXPECT_EQ(Wrap("Frames per Second", 66), (V{"Frames per ", "Second"}));
    EXPECT_EQ(Wrap("Frames per Second", 600), (V{"Frames per Second"}));
    // A word wider than the label stands alone on its line.
    EXPECT_EQ(Wrap("a Output b", 18), (V{"a ", "Output", "b"}));
    EXPECT_EQ(Wrap("Output", 6), (V{"Output"}));
    // Several spaces: the line keeps them; exactly one is skipped after a line that ends in a word.
    EXPECT_EQ(Wrap("ab   cd", 24), (V{"ab   ", "cd"}));
    EXPECT_EQ(Wrap("abcd  ef", 24), (V{"abcd", " ef"}));
    EXPECT_EQ(Wrap("   ", 24), (V{"   "}));
    EXPECT_EQ(Wrap("x y", 0), (V{"x", "y"}));
}

TEST(Bevel, RaisedFramedKey) {
    BevelFill f[14];
    const int n = PlanBevel({0, 0, 40, 20}, kBevelFramed, true, f);
    ASSERT_EQ(n, 14);
    EXPECT_EQ(f[0].brush, BEVEL_BACKGROUND);
    EXPECT_EQ(f[1].rect.top, 19);
    // The frame leaves the corners alone.
    EXPECT_EQ(f[2].brush, BEVEL_DKGRAY);
    EXPECT_EQ(f[2].rect.left, 1);
    EXPECT_EQ(f[2].rect.right, 39);
    EXPECT_EQ(f[4].rect.top, 1);
    EXPECT_EQ(f[4].rect.bottom, 19);
    // Then white outer light, grey outer dark, face inner light, grey shadow, inside the frame.
    EXPECT_EQ(f[6].brush, BEVEL_WHITE);
    EXPECT_EQ(f[6].rect.left, 1);
    EXPECT_EQ(f[6].rect.top, 1);
    EXPECT_EQ(f[8].brush, BEVEL_GRAY);
    EXPECT_EQ(f[8].rect.left, 38);
    EXPECT_EQ(f[10].brush, BEVEL_FACE);
    EXPECT_EQ(f[12].brush, BEVEL_GRAY);
}

TEST(Bevel, PressedThickAndUnframed) {
    BevelFill f[14];
    int n = PlanBevel({0, 0, 40, 20}, kBevelFramed | kBevelThick | kBevelPressed, false, f);
    ASSERT_EQ(n, 12);
    EXPECT_EQ(f[0].brush, BEVEL_BLACK);
    EXPECT_EQ(f[0].rect.bottom, 2);
    EXPECT_EQ(f[4].brush, BEVEL_GRAY); // pressed outer light
    EXPECT_EQ(f[4].rect.left, 2);
    EXPECT_EQ(f[8].brush, BEVEL_GRAY); // inner light: the shadow, grey inside a frame
    EXPECT_EQ(f[10].brush, BEVEL_FACE);
    n = PlanBevel({0, 0, 40, 20}, 0, false, f);
    ASSERT_EQ(n, 8);
    EXPECT_EQ(f[0].rect.left, 0);
    EXPECT_EQ(f[6].brush, BEVEL_BLACK); // inner dark without a frame
}

TEST(FrameRings, PatternsByteByByte) {
    RingFill f[16];
    int fills;
    EXPECT_EQ(PlanFrameRings({0, 0, 10, 10}, 0x24, f, &fills), 1);
    ASSERT_EQ(fills, 4);
    EXPECT_EQ(f[0].fixedColor, 3u); // dark grey top and left
    EXPECT_EQ(f[2].fixedColor, 1u); // light grey right and bottom
    EXPECT_EQ(f[2].rect.left, 9);
    EXPECT_EQ(f[2].rect.top, 1);
    EXPECT_EQ(PlanFrameRings({0, 0, 10, 10}, 0x21333312, f, &fills), 4);
    EXPECT_EQ(fills, 16);
    EXPECT_EQ(f[12].rect.left, 3);
    EXPECT_EQ(f[12].fixedColor, 0u);
    // A zero byte still takes a ring; a zero nibble draws nothing.
    EXPECT_EQ(PlanFrameRings({0, 0, 10, 10}, 0x1000, f, &fills), 2);
    ASSERT_EQ(fills, 2);
    EXPECT_EQ(f[0].rect.left, 8); // the second ring's right edge
    EXPECT_EQ(f[0].rect.top, 2);
    EXPECT_EQ(f[1].rect.left, 2); // and its bottom edge
    EXPECT_EQ(f[1].rect.top, 8);
    EXPECT_EQ(PlanFrameRings({0, 0, 10, 10}, 0, f, &fills), 0);
}
