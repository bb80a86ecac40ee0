// Help markup renderer on a fixed-width fake canvas: every character is half the font size plus
// one pixel wide (8 at the usual 14) and as high as the font size; drawing calls are recorded.
// Last, the program's own help texts.
#include "help/helprender.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Drawn {
    std::string kind; // "text", "frame", "fill", "bitmap"
    std::string text;
    HelpFont font;
    uint32_t color;
    HelpRect rect;
    int32_t x, y;
};

struct FakeCanvas {
    std::vector<Drawn> drawn;
    bool color = true;
    uint32_t queried = 0;

    static FakeCanvas* Self(void* c) { return static_cast<FakeCanvas*>(c); }
    static void Measure(void*, const HelpFont& font, const char*, size_t length, int32_t* w,
                        int32_t* h) {
        *w = int32_t(length) * (font.size / 2 + 1);
        *h = font.size;
    }
    static bool Bitmap(void*, uint32_t id, int32_t* w, int32_t* h) {
        if (id != 20108 && id != 12345)
            return false;
        *w = 40;
        *h = 30;
        return true;
    }
    static uint32_t Query(void* c, uint32_t number) {
        Self(c)->queried = number;
        return 0x00ABCDEF;
    }
    static bool ColorDisplay(void* c) { return Self(c)->color; }
    static int32_t Frame(void* c, const HelpRect& r, uint32_t pattern) {
        Self(c)->drawn.push_back({"frame", "", {}, pattern, r, 0, 0});
        return HelpFrameRings(pattern);
    }
    static void Fill(void* c, const HelpRect& r, uint32_t color) {
        Self(c)->drawn.push_back({"fill", "", {}, color, r, 0, 0});
    }
    static void Text(void* c, const HelpFont& font, bool setColor, uint32_t color, int32_t x,
                     int32_t y, const char* text, size_t length) {
        Self(c)->drawn.push_back(
            {"text", std::string(text, length), font, setColor ? color : 0xFFFFFFFF, {}, x, y});
    }
    static void DrawBitmap(void* c, uint32_t id, int32_t x, int32_t y) {
        Self(c)->drawn.push_back({"bitmap", std::to_string(id), {}, 0, {}, x, y});
    }
    HelpCanvas Canvas() {
        return HelpCanvas{this,  Measure, Bitmap, Query,     ColorDisplay,
                          Frame, Fill,    Text,   DrawBitmap};
    }
};

// A topic 1000 of the given lines, an optional Default topic, laid out and drawn 400 wide.
struct Rendered {
    FakeCanvas fake;
    HelpBlockCache cache{nullptr};
    HelpRenderContext* context = new HelpRenderContext;

    Rendered() { InitHelpRenderContext(context, fake.Canvas()); }
    ~Rendered() {
        FreeHelpBlockCache(&cache);
        delete context;
    }
    HelpBlock* Load(const std::string& source) {
        HelpBlock* block =
            CompileHelpBlock(reinterpret_cast<const uint8_t*>(source.data()), source.size(), 29001);
        block->next = cache.head;
        cache.head = block;
        return block;
    }
    bool Prepare(const std::string& source, int32_t topic = 1000,
                 uint32_t flags = PREPARE_FIRST_SHOW) {
        return PrepareTopic(context, true, Load(source), topic, flags);
    }
    void Paint(int32_t width = 412) {
        fake.drawn.clear();
        PaintTopic(context, width, 20);
    }
    std::vector<Drawn> Texts() const {
        std::vector<Drawn> texts;
        for (const Drawn& d : fake.drawn)
            if (d.kind == "text")
                texts.push_back(d);
        return texts;
    }
    // The text runs as "text@x,y" separated by spaces.
    std::string Picture() const {
        std::string out;
        for (const Drawn& d : Texts())
            out += (out.empty() ? "" : " ") + d.text + "@" + std::to_string(d.x) + "," +
                   std::to_string(d.y);
        return out;
    }
    int Count(const std::string& kind) const {
        int n = 0;
        for (const Drawn& d : fake.drawn)
            n += d.kind == kind;
        return n;
    }
};

TEST(HelpRender, BackgroundAndTextColours) {
    Rendered r;
    ASSERT_TRUE(r.Prepare("1000:\n{B255,0,0}red{B*}plain\n"));
    r.Paint();
    ASSERT_EQ(r.Count("fill"), 1); // only the red run differs from the base background
    EXPECT_EQ(r.fake.drawn[0].color, 0x0000FFu);
    EXPECT_EQ(r.fake.drawn[0].rect.left, 6);
    EXPECT_EQ(r.Picture(), "red@6,4 plain@30,4");

    // Monochrome displays get neither fills nor text colours.
    r.fake.color = false;
    r.Paint();
    EXPECT_EQ(r.Count("fill"), 0);
    EXPECT_EQ(r.Texts()[0].color, 0xFFFFFFFFu);

    // Colour arguments.
    r.fake.color = true;
    ASSERT_TRUE(r.Prepare("1000:\n{B9}a{B,,255}b{B300,1}c{B@3}d{T,7}e\n"));
    r.Paint();
    std::vector<uint32_t> fills;
    for (const Drawn& d : r.fake.drawn)
        if (d.kind == "fill")
            fills.push_back(d.color);
    // Red only, blue only, modulo 256, queried; the background stays for later runs.
    EXPECT_EQ(fills, (std::vector<uint32_t>{0xC0C009, 0xFFC0C0, 0xC0012C, 0xABCDEF, 0xABCDEF}));
    EXPECT_EQ(r.fake.queried, 3u);
    EXPECT_EQ(r.Texts()[4].color, 0x000700u);

    // A group's style applies to its inline element only.
    ASSERT_TRUE(r.Prepare("1000:\n{T0,128;C(T0,0,255)1013:Write}after\n"));
    r.Paint();
    EXPECT_EQ(r.Texts().at(0).color, 0xFF0000u);
    EXPECT_EQ(r.Texts().at(1).color, 0x008000u);
}

TEST(HelpRender, IndentsAlignmentsFramedCellsLinksAndHitTesting) {
    Rendered r;
    ASSERT_TRUE(r.Prepare("1000:\nab{L6}cd\n{R1;J1}rt\n{J2}mid\n"));
    // The left indent stays for the later rows: the widest is 6 line heights + "mid".
    EXPECT_EQ(HelpContentWidth(r.context), 6 * 14 + 24 + 12);
    r.Paint(412); // area width 400
    // cd six line heights in on the same row; rt flush right less the right indent; mid centred.
    EXPECT_EQ(r.Picture(), "ab@6,4 cd@90,4 rt@376,18 mid@194,32");
    // A centred run wider than the area starts left of it.
    ASSERT_TRUE(r.Prepare("1000:\n{J2}" + std::string(20, 'w') + "\n"));
    r.Paint(112); // area 100, run 160
    EXPECT_EQ(r.Texts()[0].x, 6 - 30);

    // A framed cell of a minimum width.
    ASSERT_TRUE(r.Prepare("1000:\n{X4;M41}ab{M0;X0}c\n"));
    r.Paint();
    ASSERT_EQ(r.Count("frame"), 1);
    const Drawn& frame = r.fake.drawn[0];
    EXPECT_EQ(frame.color, 0x41u);
    // The text is 16 wide; one ring adds 2 + 6, so the run is 24 wide and 15 high, in a cell of
    // four line heights.
    EXPECT_EQ(std::tie(frame.rect.left, frame.rect.right, frame.rect.bottom),
              std::make_tuple(7, 6 + 56 - 1, 4 + 15));
    // Centred in the cell; the next run starts after the run's own width.
    EXPECT_EQ(r.Picture(), "ab@26,4 c@30,4");

    // Links and hit testing.
    ASSERT_TRUE(r.Prepare("1000:\n{N1011:Read} {C1013:Write}{N0:zero}\n{C12,5:saved}\n"));
    EXPECT_TRUE(r.context->flags & HELP_RENDER_LINKS);
    EXPECT_TRUE(r.context->flags & HELP_RENDER_TITLE_BAR);
    r.Paint();
    EXPECT_EQ(r.Texts().size(), 4u); // id 0 shows nothing
    EXPECT_EQ(HitTestTopic(r.context, 6, 4), 1011u);
    EXPECT_EQ(HitTestTopic(r.context, 6 + 32 + 8, 4 + 13), 1013u | HELP_LINK_COMMAND);
    EXPECT_EQ(HitTestTopic(r.context, 6 + 32, 4), 0u); // the space between
    EXPECT_EQ(HitTestTopic(r.context, 5, 4), 0u);
    EXPECT_EQ(HitTestTopic(r.context, 6, 4 + 14), 5u | HELP_LINK_COMMAND);
    EXPECT_EQ(HitTestTopic(r.context, 6, 4 + 28), 0u);
}

TEST(HelpRender, SymbolsBitmapsEmptyItemsFontsAndTextParameters) {
    Rendered r;
    ASSERT_TRUE(r.Prepare("1000:\n{S97}{W252}{S0xy}{I108}{I|9}{I12345;@tail;;@ignored}\n"));
    r.Paint();
    auto t = r.Texts();
    std::string symbols;
    for (const Drawn& d : t)
        symbols += d.text + ":" + char(d.font.symbol ? d.font.symbol : '-') + " ";
    EXPECT_EQ(symbols, "a:S \xFC:W xy:S tail:- "); // {I..;@tail}: the style's font is kept
    ASSERT_EQ(r.Count("bitmap"), 2);
    EXPECT_EQ(r.fake.drawn[3].text, "20108"); // the language offset first
    EXPECT_EQ(HelpContentHeight(r.context), 30 + 12);

    // Line heights and fonts.
    ASSERT_TRUE(r.Prepare("1000:\nx\n\n{F,20}big\n\n{F,B}bold{F,N;F*}{F,S}norm\n{FCourier,I}c\n"));
    EXPECT_EQ(HelpContentHeight(r.context), 14 + 14 + 20 + 20 + 20 + 14 + 12);
    r.Paint();
    auto fonts = [&r] {
        std::string out;
        for (const Drawn& d : r.Texts()) {
            char text[64];
            FormatHelpFontSpec(d.font, text, sizeof text);
            out += std::string(text) + " ";
        }
        return out;
    };
    // F* is the base font.
    EXPECT_EQ(fonts(), "Arial,14, Arial,20, Arial,20,B Arial,14, Courier,14,I ");
    // A size alone keeps face, italic flag and boldness.
    ASSERT_TRUE(r.Prepare("1000:\n{FTimes,I;F,B;F,30}x\n"));
    r.Paint();
    EXPECT_EQ(fonts(), "Times,30,IB ");

    // Text parameters.
    EXPECT_FALSE(SetHelpParam(r.context, 10, "x"));
    EXPECT_TRUE(SetHelpParam(r.context, 2, "two"));
    ASSERT_TRUE(r.Prepare("1000:\n[%1][%2][%%][%x][%"));
    r.Paint();
    EXPECT_EQ(r.Texts()[0].text, "[][two][%][%x][%");

    // The pool holds 500 bytes with NULs; replacing a text frees its old room.
    std::string big(300, 'b');
    EXPECT_TRUE(SetHelpParam(r.context, 1, big.c_str()));
    EXPECT_FALSE(SetHelpParam(r.context, 3, big.c_str()));
    EXPECT_TRUE(SetHelpParam(r.context, 1, "one"));
    EXPECT_TRUE(SetHelpParam(r.context, 3, std::string(490, 'c').c_str()));
    EXPECT_FALSE(SetHelpParam(r.context, 4, "dd"));
    EXPECT_TRUE(SetHelpParam(r.context, 2, ""));
    r.Paint();
    EXPECT_EQ(r.Texts()[0].text, "[one][][%][%x][%");
}

TEST(HelpRender, DefaultTopicTitlesSavedStylesAndLimits) {
    Rendered r;
    std::string source = "Default:\n{B255,255,192;*;F,B;PT*;F,N;T0,0,255;P1*;T*}\n"
                         "@1000:\"Title\"\n{C1,1:link}\n"
                         "@1001:\"*Tip\"\n{N1000:x}\n";
    ASSERT_TRUE(r.Prepare(source));
    EXPECT_EQ(std::tie(r.context->baseBackground, r.context->titleWidth, r.context->titleHeight),
              std::make_tuple(0xC0FFFFu, 40, 14));
    r.Paint();
    auto t = r.Texts();
    // The title in its style from y origin 0; the text in saved style 1 below the title bar.
    EXPECT_EQ(r.Picture(), "Title@6,0 link@6,24");
    EXPECT_TRUE(t[0].font.bold);
    EXPECT_EQ(t[1].color, 0xFF0000u);
    EXPECT_EQ(r.Count("fill"), 0);

    // A starred topic on first show is a plain tooltip despite its link.
    HelpBlock* block = r.cache.head;
    ASSERT_TRUE(PrepareTopic(r.context, true, block, 1001, PREPARE_FIRST_SHOW));
    EXPECT_FALSE(r.context->flags & (HELP_RENDER_TITLE_BAR | HELP_RENDER_LINKS));
    ASSERT_TRUE(PrepareTopic(r.context, true, block, 1001, 0));
    EXPECT_TRUE(r.context->flags & HELP_RENDER_TITLE_BAR);
    // Only a first show lays out the Default topic.
    Rendered later;
    ASSERT_TRUE(later.Prepare(source, 1000, 0));
    EXPECT_NE(later.context->baseBackground, 0xC0FFFFu);
    EXPECT_FALSE(PrepareTopic(r.context, true, block, 4242, 0));
    EXPECT_EQ(r.context->topicIndex, FindHelpTopic(block, 1001));

    // Limits cut long runs and drop runs beyond the budget.
    std::string many = "1000:\n";
    for (int i = 0; i < 100; ++i)
        many += "{@ab}";
    many += "\n" + std::string(3000, 'z') + "\n";
    ASSERT_TRUE(r.Prepare(many));
    r.Paint();
    t = r.Texts();
    size_t runs = t.size() - 1;
    EXPECT_LT(runs, 100u);
    EXPECT_EQ(runs * (sizeof(HelpRun) + 3) <= HELP_ROW_BUDGET, true);
    EXPECT_EQ(t.back().text.size(), HELP_RUN_TEXT_MAX);
    // Huge numbers are kept in range instead of overflowing the arithmetic.
    ASSERT_TRUE(r.Prepare("1000:\n{L4000000000;X-2000000000;F,3000000000}x{R99999999999;J1}y\n"));
    r.Paint();
    EXPECT_EQ(r.Texts()[0].font.size, 10000);
    // A text run over the budget by its own length is dropped, not overrun.
    std::string nested = "1000:\n{T" + std::string(5000, '(') + "}x\n";
    ASSERT_TRUE(r.Prepare(nested));
    r.Paint();
}

// The program's help texts: every control of the panel has a topic, every link leads somewhere,
// every command is one the main window knows, and every topic lays out within a sane size.
TEST(HelpTexts, EveryControlHasATopicAndEveryLinkLeadsSomewhere) {
    const std::set<int32_t> controls = {1003, 1006, 1010, 1011, 1012, 1013, 1014, 1020, 1021,
                                        1022, 1023, 1040, 1041, 1042, 1043, 1094, 1095};
    const std::set<int32_t> others = {1005, 1301, 1302, 1303, 1304, 1305, HELP_DEFAULT_TOPIC};
    std::ifstream in(VARLO_HELPTEXT_PATH, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(text.empty());
    ASSERT_LE(text.size(), HELP_MAX_RESOURCE);
    Rendered r;
    const HelpBlock* block = r.Load(text);
    ASSERT_NE(block, nullptr);

    std::set<int32_t> topics;
    for (int32_t i = 0; i < block->topicCount; ++i) {
        int32_t id = block->topics[i].identifier;
        EXPECT_TRUE(topics.insert(id).second) << "topic " << id << " twice";
        EXPECT_TRUE(controls.count(id) || others.count(id)) << "stray topic " << id;
        int32_t up = block->topics[i].upTopic;
        EXPECT_TRUE(up == 0 || FindHelpTopic(block, up) >= 0) << "up topic of " << id;
    }
    for (int32_t id : controls)
        EXPECT_TRUE(topics.count(id)) << "no topic for control " << id;

    const std::regex link(R"(\{([NC])(?:\d,)?(\d+):)");
    for (int32_t i = 0; i < block->topicCount; ++i) {
        for (int32_t line = 0; const char* body = GetTopicLine(block, i, line); ++line) {
            std::string s = body;
            for (std::sregex_iterator m(s.begin(), s.end(), link), end; m != end; ++m) {
                int32_t id = std::stoi((*m)[2]);
                if ((*m)[1] == "N")
                    EXPECT_TRUE(topics.count(id)) << "link to " << id;
                else
                    EXPECT_TRUE(controls.count(id)) << "command " << id;
            }
        }
    }

    // Each topic lays out, fits a screen and has the title bar of a panel with links.
    for (int32_t id : topics) {
        if (id == HELP_DEFAULT_TOPIC)
            continue;
        ASSERT_TRUE(PrepareTopic(r.context, false, block, id, PREPARE_FIRST_SHOW)) << id;
        EXPECT_LT(HelpContentWidth(r.context), 640) << id;
        EXPECT_LT(HelpContentHeight(r.context), 300) << id;
        EXPECT_TRUE(r.context->flags & HELP_RENDER_TITLE_BAR) << id;
        EXPECT_EQ(r.context->baseBackground, 0xC0FFFFu);
    }
}

} // namespace
