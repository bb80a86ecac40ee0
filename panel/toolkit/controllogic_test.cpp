// Host tests of key and label arithmetic: caption markup, mnemonics, clicks, radio runs,
// caption placement, word wrapping, bevels and frame rings.
#include "toolkit/controllogic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t kB = 0x81C0C0C0, kT = 0x8E00FFFF, kO = 0x81C0C0C0; // the defaults

} // namespace

TEST(CaptionMarkup, ColoursCaptionsAndBadItems) {
    const struct {
        const char *text, *caption;
        uint32_t background, textColour, other;
    } cases[] = {
        {"{B0,0,255}24", "24", 0xFF0000, kT, kO},
        {"Set", "Set", kB, kT, kO},
        {"{B192,128,128;T255,0,0}Write it", "Write it", 0x8080C0, 0x0000FF, kO},
        {"{O1,2,3}x", "x", kB, kT, 0x030201},
        // Bad items are skipped; a short triple does not borrow the next item's commas.
        {"{X1,2,3}Go", "Go", kB, kT, kO},
        {"{B0,255}a,b", "a,b", kB, kT, kO},
        {"{T255,0;B0,0,255}z", "z", 0xFF0000, kT, kO},
        {"{b1,1,1;;B300,0,0}z", "z", 0x00002C, kT, kO},
        {"{}z", "z", kB, kT, kO},
        // Braces: text before the items is dropped; no opening or no closing brace reads none;
        // an opening brace after the closing one reads no items.
        {"ab{B1,1,1}cd", "cd", 0x010101, kT, kO},
        {"B1,1,1}cd", "cd", kB, kT, kO},
        {"{B1,1,1 no end", "{B1,1,1 no end", kB, kT, kO},
        {"x}{B1,1,1}y", "{B1,1,1}y", kB, kT, kO},
    };
    for (const auto& c : cases) {
        CaptionColors colors = {kB, kO, kT};
        EXPECT_EQ(ParseCaptionColors(&colors, c.text), std::string(c.caption)) << c.text;
        EXPECT_EQ(std::tie(colors.background, colors.text, colors.other),
                  std::tie(c.background, c.textColour, c.other))
            << c.text;
    }
}

TEST(CaptionMarkup, Mnemonics) {
    const struct {
        const char *text, *shown;
        int index;
    } cases[] = {{"&Set", "Set", 0},     {"Re&fr.", "Refr.", 2}, {"A&&B", "A&B", 1},
                 {"Fish&", "Fish&", -1}, {"a&b&c", "ab&c", 1},   {"", "", -1}};
    for (const auto& c : cases) {
        char out[32];
        EXPECT_EQ(StripMnemonic(c.text, out, sizeof out), c.index) << c.text;
        EXPECT_STREQ(out, c.shown);
    }
    char tiny[3] = "x";
    EXPECT_EQ(StripMnemonic("&a", tiny, 0), -1); // no room at all: nothing written
    EXPECT_STREQ(tiny, "x");
    EXPECT_EQ(StripMnemonic("abc&d", tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "ab");
}

// A click's result as "state", then "timer", "post" and "clear" when set.
std::string Click(uint32_t style, uint32_t state) {
    const ClickResult r = ClickButton(style, state);
    return std::to_string(r.state) + (r.startTimer ? " timer" : "") +
           (r.postCommand ? " post" : "") + (r.clearOthers ? " clear" : "");
}

// Push types start the press unless already pressed; the others post at once.
TEST(KeyClicks, StatesByType) {
    const struct {
        uint32_t style, state;
        const char* want;
    } cases[] = {{0, 0, "1 timer"},
                 {1, 0, "1 timer"},
                 {1, 1, "1"}, // already pressed
                 {kButtonOwnerDraw, 0, "1 timer"},
                 {kButtonAutoCheck, 0, "1 post"},
                 {kButtonAutoCheck, 1, "0 post"},
                 {kButtonAuto3State, 0, "1 post"},
                 {kButtonAuto3State, 1, "2 post"},
                 {kButtonAuto3State, 2, "0 post"},
                 {kButtonAutoRadio | 0x10000, 0, "1 post clear"}};
    for (const auto& c : cases)
        EXPECT_EQ(Click(c.style, c.state), c.want) << c.style << "/" << c.state;
    for (uint32_t type : {2u, 4u, 5u, 7u, 8u, 10u, 12u, 15u})
        EXPECT_EQ(Click(type, 1), "1 post") << type;
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
    const int runs[][3] = {{2, 1, 4}, {1, 1, 4}, {5, 4, 6}, {7, 7, 8}}; // self, begin, end
    for (const auto& run : runs) {
        FindRadioRun(s, 8, run[0], &b, &e);
        EXPECT_EQ(std::pair(b, e), std::pair(run[1], run[2])) << run[0];
    }
    // No WS_GROUP: from the earliest of the unbroken run.
    const RadioSibling t[] = {{true, false}, {true, false}, {true, false}};
    FindRadioRun(t, 3, 2, &b, &e);
    EXPECT_EQ(std::pair(b, e), std::pair(0, 3));
}

TEST(KeyClicks, CaptionPlacement) {
    int x, y;
    PlaceKeyCaption({2, 2, 58, 22}, 20, 13, &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(2 + (58 - 20) / 2, 2 + 3));
    // A negative x becomes 0; y is shifted arithmetically (-5).
    PlaceKeyCaption({2, 2, 10, 22}, 40, 30, &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(0, 2 + ((22 - 30 - 2) >> 1)));
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

namespace {

// The fills painted in order on a small grid: one letter per brush or colour index.
template <typename Fill, typename Colour>
std::string Picture(const Fill* fills, int n, int width, int height, Colour colourOf) {
    std::string grid(static_cast<std::size_t>(width * height), '.');
    for (int i = 0; i < n; ++i)
        for (int y = fills[i].rect.top; y < fills[i].rect.bottom; ++y)
            for (int x = fills[i].rect.left; x < fills[i].rect.right; ++x)
                grid[static_cast<std::size_t>(y * width + x)] = colourOf(fills[i]);
    for (int y = height - 1; y > 0; --y)
        grid.insert(static_cast<std::size_t>(y * width), "/");
    return grid;
}

std::string Bevel(unsigned flags, bool background) {
    BevelFill f[14];
    const int n = PlanBevel({0, 0, 7, 6}, flags, background, f);
    return Picture(f, n, 7, 6, [](const BevelFill& b) { return "bwgdkf"[b.brush]; });
}

std::string Rings(uint32_t pattern, int* rings) {
    RingFill f[16];
    int n;
    *rings = PlanFrameRings({0, 0, 6, 6}, pattern, f, &n);
    return Picture(f, n, 6, 6, [](const RingFill& r) { return char('0' + r.fixedColor); });
}

} // namespace

// b background, w white, g grey, d dark grey, k black, f face.
TEST(Bevel, KeysAndFrameRingsPaintedFromTheirFills) {
    EXPECT_EQ(Bevel(kBevelFramed, true), "bdddddb/dwwwwgd/dwffggd/dwfgggd/dwggggd/bdddddb");
    EXPECT_EQ(Bevel(kBevelFramed | kBevelThick | kBevelPressed, false),
              ".kkkkk./kkkkkkk/kkgggkk/kkgggkk/kkkkkkk/.kkkkk.");
    EXPECT_EQ(Bevel(0, false), "wwwwwwg/wffffkg/wf...kg/wf...kg/wfkkkkg/wgggggg");
    EXPECT_EQ(Bevel(kBevelPressed, false), "ggggggg/gkkkkfg/gk...fg/gk...fg/gkffffg/ggggggg");

    // Frames take one ring per pattern byte.
    int rings;
    EXPECT_EQ(Rings(0x24, &rings), "333333/3....1/3....1/3....1/3....1/311111");
    EXPECT_EQ(rings, 1);
    // A zero byte still takes a ring; a zero nibble draws nothing.
    EXPECT_EQ(Rings(0x1000, &rings), "....../....../....0./....0./..000./......");
    EXPECT_EQ(rings, 2);
    EXPECT_EQ(Rings(0, &rings), "....../....../....../....../....../......");
    EXPECT_EQ(rings, 0);
}
