// Host tests of the glass display's model: layout, partial redraw, glyphs and cracks.
#include "display/glassmodel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Shape {
    bool filled; // polygon (true) or line (false)
    uint32_t color;
    std::vector<GlassPoint> points;
};

// A display on a recording canvas and host.
struct Display {
    GlassDisplayData* data = GlassCreate();
    std::vector<Shape> shapes;
    std::string invals; // W (whole window) or r (a rectangle), + when erasing
    std::vector<GlassRect> rects;
    int sounds = 0;
    uint32_t tick = 12345;
    static Display* Of(void* c) { return static_cast<Display*>(c); }
    GlassHost host = {this,
                      [](void* c, const GlassRect* r, bool erase) {
                          Of(c)->invals += std::string(r ? "r" : "W") + (erase ? "+" : "");
                          Of(c)->rects.push_back(r ? *r : GlassRect{});
                      },
                      [](void* c) { ++Of(c)->sounds; }, [](void* c) { return Of(c)->tick++; }};
    GlassCanvas canvas = {this,
                          [](void* c, const GlassPoint* p, int n, uint32_t color) {
                              Of(c)->shapes.push_back({true, color, {p, p + n}});
                          },
                          [](void* c, const GlassPoint* p, int n, uint32_t color) {
                              Of(c)->shapes.push_back({false, color, {p, p + n}});
                          }};

    Display(int w, int h) {
        GlassResize(data, w, h, &host);
        clear();
    }
    ~Display() { GlassDestroy(data); }
    int count(bool filled, uint32_t color) const {
        int n = 0;
        for (const Shape& s : shapes)
            n += s.filled == filled && s.color == color;
        return n;
    }
    void clear() {
        shapes.clear();
        invals.clear();
        rects.clear();
    }
    void field(uint32_t id, uint32_t type, const char* text, uint32_t cells = 0, uint32_t l = 0,
               uint32_t t = 0, uint32_t r = 0, uint32_t b = 0) {
        DisplayFieldSpec request = {l, t, r, b, type, cells, text, 0, 0};
        GlassSetField(data, id, &request, &host);
    }
    void paint() { GlassPaint(data, &canvas); }
    // What a real erase does before the paint.
    void erasePaint() {
        GlassForgetDrawn(data);
        paint();
    }
};

} // namespace

TEST(GlassLayout, PositionCodes) {
    EXPECT_EQ(ResolvePositionCode(37, 500), 37);
    EXPECT_EQ(ResolvePositionCode(DISPLAY_POS_PERCENT | 33, 500), 165);
    EXPECT_EQ(ResolvePositionCode(DISPLAY_POS_PERCENT | 33, 101), 33); // truncated
    EXPECT_EQ(ResolvePositionCode(DISPLAY_POS_FROM_END | 10, 500), 490);
    EXPECT_EQ(ResolvePositionCode(DISPLAY_POS_FROM_END, 500), 500);
    EXPECT_EQ(ResolvePositionCode(0x00018005, 500), 5); // bits above the value are ignored
}

TEST(GlassSevenSegment, TimecodeLayoutAndPartialRedraw) {
    Display d(900, 120);
    d.field(1, DISPLAY_FIELD_SEVEN_SEGMENT, "00:00:00:00");
    DisplayField* f = GlassFindField(d.data, 1);
    ASSERT_NE(f, nullptr);
    // (114 - 6) / 220 is below the x scale: kept, no offset.
    EXPECT_EQ(
        std::tie(f->rect.right, f->cellWidth, f->cellHeight, f->xScale, f->yScale, f->yOffset),
        std::make_tuple(900, 100, 114, 100 / 130.0, 108 / 220.0, 0));

    // Digits after digits and colons move by a cell and a third of a cell.
    d.paint();
    ASSERT_EQ(d.count(true, GLASS_COLOR_LIT) + d.count(true, GLASS_COLOR_UNLIT), 62);
    const int t = static_cast<int>(10 * f->yScale);
    // First colon diamond: cell left 3 + 100 + 100/6.
    const Shape& colon = d.shapes[14];
    EXPECT_EQ(colon.points.size(), 4u);
    EXPECT_EQ(colon.points[1].x, 3 + 200 + 16);
    EXPECT_EQ(colon.points[0].x, 3 + 200 + 16 - t);

    // Only changed digits are redrawn.
    d.clear();
    GlassSetText(d.data, 1, "00:00:00:01", &d.host);
    EXPECT_EQ(d.invals, "r");
    d.paint();
    ASSERT_EQ(d.shapes.size(), 7u);
    // '1' lights segments 1 and 2 only.
    EXPECT_EQ(std::pair(d.count(true, GLASS_COLOR_LIT), d.count(true, GLASS_COLOR_UNLIT)),
              std::pair(2, 5));
    // It is the eighth digit: its middle segment (drawn last) is centred in the last cell and
    // point-symmetric about its centre.
    const int centre = 3 + 7 * 100 + 3 * 33 + static_cast<int>(60 * 100 / 130.0);
    const std::vector<GlassPoint>& middle = d.shapes[6].points;
    ASSERT_EQ(middle.size(), 6u);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(std::pair(middle[k].x + middle[k + 3].x, middle[k].y + middle[k + 3].y),
                  std::pair(2 * centre, 2 * middle[0].y))
            << k;

    // The same text again draws nothing.
    d.clear();
    GlassSetText(d.data, 1, "00:00:00:01", &d.host);
    d.paint();
    EXPECT_TRUE(d.shapes.empty());

    // Another length: new layout, erased, everything drawn again.
    d.clear();
    GlassSetText(d.data, 1, "00:00:01", &d.host);
    EXPECT_EQ(d.invals, "r+");
    d.erasePaint();
    EXPECT_EQ(d.shapes.size(), 6u * 7 + 2 * 2);
}

TEST(GlassSevenSegment, TallFieldADigitTurnedIntoSpaceAndColours) {
    Display d(130, 400);
    d.field(1, DISPLAY_FIELD_SEVEN_SEGMENT, "8", 1);
    DisplayField* f = GlassFindField(d.data, 1);
    EXPECT_EQ(std::tie(f->cellWidth, f->xScale, f->yScale, f->yOffset),
              std::make_tuple(130, 1.0, 1.0, (394 - 6 - 220) / 2));
    d.paint();
    EXPECT_EQ(d.count(true, GLASS_COLOR_LIT), 7);

    // A digit turned into a space stays as drawn.
    d.clear();
    GlassSetText(d.data, 1, " ", &d.host);
    EXPECT_EQ(d.invals, "r");
    d.paint();
    EXPECT_TRUE(d.shapes.empty());
    EXPECT_EQ(f->drawn[0], '8');

    // Equal colours keep the field's; different ones are taken.
    d.clear();
    DisplayFieldSpec same = {0, 0, 0, 0, 0, 0, "7", 0x123456, 0x123456};
    GlassSetField(d.data, 1, &same, &d.host);
    d.erasePaint();
    EXPECT_EQ(d.count(true, GLASS_COLOR_LIT), 3);
    d.clear();
    DisplayFieldSpec recolour = {0, 0, 0, 0, 0, 0, nullptr, 0x0000FF, 0x000040};
    GlassSetField(d.data, 1, &recolour, &d.host);
    d.erasePaint();
    EXPECT_EQ(std::pair(d.count(true, 0x0000FF), d.count(true, 0x000040)), std::pair(3, 4));
}

TEST(GlassLayout, SixteenSegmentCellsEmptyFieldsAndZeroSizeClient) {
    Display d(640, 106);
    d.field(2, DISPLAY_FIELD_SIXTEEN_SEGMENT, "READ");
    DisplayField* f = GlassFindField(d.data, 2);
    EXPECT_EQ(std::tie(f->cellWidth, f->xScale, f->yScale), std::make_tuple(160, 1.0, 0.5));
    // No characters: unit scales, nothing divided by zero, nothing drawn.
    d.field(3, DISPLAY_FIELD_SIXTEEN_SEGMENT, "");
    d.field(4, DISPLAY_FIELD_SEVEN_SEGMENT, "--");
    EXPECT_DOUBLE_EQ(GlassFindField(d.data, 3)->xScale, 1.0);
    EXPECT_DOUBLE_EQ(GlassFindField(d.data, 4)->yScale, 1.0);
    d.clear();
    GlassSetText(d.data, 2, "", &d.host);
    d.erasePaint();
    EXPECT_TRUE(d.shapes.empty());

    // A zero-size client: no division by zero, no cracks.
    GlassSetText(d.data, 2, "AB", &d.host);
    GlassSetText(d.data, 4, "12:34", &d.host);
    GlassResize(d.data, 0, 0, &d.host);
    d.erasePaint();
    EXPECT_FALSE(GlassMakeCrack(d.data, 0, 0, true, &d.host));
    EXPECT_EQ(d.sounds, 0);
    EXPECT_EQ(GlassCrackAt(d.data, 0, 0), nullptr);
    EXPECT_FALSE(GlassRemoveCrack(d.data, 0, 0, &d.host));
    GlassHover(d.data, 5, 5, &d.host);
    EXPECT_EQ(d.data->hovered, nullptr);
}

TEST(GlassSixteenSegment, LettersFromMasks) {
    // The three tables' edges; everything else lights nothing.
    std::vector<int> masks;
    for (char c : {'z', '9', '(', '@', '\x80'})
        masks.push_back(SixteenSegmentMask(c));
    EXPECT_EQ(masks, (std::vector<int>{0x1109, 0x222F, 0, 0, 0}));

    Display d(320, 206);
    d.field(2, DISPLAY_FIELD_SIXTEEN_SEGMENT, "A ", 0, 10, 0, 330, 206);
    d.paint();
    // 'A' lights 7 of 16 segments, the space none; every cell is drawn in full.
    EXPECT_EQ(d.count(false, GLASS_COLOR_LIT), 7);
    EXPECT_EQ(d.count(false, GLASS_COLOR_UNLIT), 9 + 16);
    // Segment 13 of the first cell: (4,100)-(46,100) at scale 1, y from the top + 3.
    const Shape& top = d.shapes[15]; // the last lit segment of 'A' is 13
    EXPECT_EQ(std::pair(top.points[0].x, top.points[0].y), std::pair(10 + 4, 3 + 100));
    // Repainting draws every cell again.
    d.clear();
    GlassFindField(d.data, 2)->dirty = true;
    d.paint();
    EXPECT_EQ(d.shapes.size(), 32u);
}

TEST(GlassFields, SetFieldEdgeCases) {
    Display d(400, 100);
    GlassSetField(d.data, 0, nullptr, &d.host);
    GlassSetField(d.data, 9, nullptr, &d.host);
    DisplayFieldSpec request = {0, 0, 0, 0, 1, 0, "12", 0, 0};
    GlassSetField(d.data, 0, &request, &d.host);
    EXPECT_EQ(d.data->fields, nullptr);
    EXPECT_EQ(d.invals, "");

    // New field: whole client, moved, whole window erased.
    GlassSetField(d.data, 5, &request, &d.host);
    EXPECT_EQ(d.invals, "W+");
    DisplayField* f = GlassFindField(d.data, 5);
    EXPECT_EQ(std::pair(f->rect.right, f->rect.bottom), std::pair(400, 100));

    // A text change only: the field's rectangle, erased.
    d.clear();
    DisplayFieldSpec text = {7, 7, 7, 7, 0, 0, "34", 0, 0};
    GlassSetField(d.data, 5, &text, &d.host);
    EXPECT_EQ(d.invals, "r+");
    EXPECT_EQ(d.rects[0].right, 400);
    EXPECT_EQ(f->type, 1u);
    EXPECT_STREQ(f->text, "34");

    // Fields keep their order; deleting one erases the whole window.
    d.field(6, 2, "X");
    d.field(7, 2, "Y");
    EXPECT_EQ(d.data->fields->id, 5u);
    d.clear();
    GlassSetField(d.data, 6, nullptr, &d.host);
    EXPECT_EQ(d.data->fields->next->id, 7u);
    EXPECT_EQ(d.invals, "W+");
}

TEST(GlassFields, LongTextsAndCellCountsStayInTheirRecords) {
    Display d(2000, 100);
    const std::string longText(300, '8');
    d.field(1, DISPLAY_FIELD_SEVEN_SEGMENT, longText.c_str(), 0);
    DisplayField* f = GlassFindField(d.data, 1);
    EXPECT_EQ(std::strlen(f->text), 79u);
    d.paint();
    EXPECT_EQ(d.shapes.size(), 79u * 7);
    d.field(2, DISPLAY_FIELD_SEVEN_SEGMENT, "12", 5000);
    EXPECT_EQ(GlassFindField(d.data, 2)->cellCount, 79u);
    d.field(3, DISPLAY_FIELD_SIXTEEN_SEGMENT, "AB", 0xFFFFFFFF);
    d.erasePaint();
    GlassSetText(d.data, 1, std::string(500, ':').c_str(), &d.host);
    d.erasePaint();
    GlassSetText(d.data, 2, nullptr, &d.host);
    d.erasePaint();
}

TEST(GlassCracks, ShapesStayInRangeBoundsFromLastPoints) {
    GlassRandom rng;
    for (uint32_t start = 0; start < 2000; ++start) {
        GlassRandomStart(&rng, start * 7919);
        GlassCrack c = {};
        GlassShapeCrack(&c, 500, 500, &rng);
        ASSERT_TRUE(c.rays >= 6 && c.rays <= 12 && c.steps >= 4 && c.steps <= 7) << start;
        // Every ray moves away from the centre within its own sector.
        ASSERT_GT(c.points[c.steps - 1][1], 0); // ray 0 heads down (cosine of a small angle)
    }
    GlassRandomStart(&rng, 1);
    for (int i = 0; i < 10000; ++i) {
        const int r = GlassRandomNext(&rng);
        ASSERT_TRUE(r >= 0 && r <= 32767) << r;
    }

    // Bounds come from the last points, scaled by the height.
    // Two rays of two points: ray 0 ends at (100, -40), ray 1 at (-20, 60); the first point of
    // ray 0 is not a last point and does not bound the crack.
    const GlassCrack c = {nullptr, {}, 500, 250, 2, 2, {{900, 0}, {100, -40}, {0, 0}, {-20, 60}}};
    GlassRect r;
    GlassComputeCrackBounds(&c, 800, 200, &r);
    EXPECT_EQ((std::vector<int>{r.left, r.top, r.right, r.bottom}),
              (std::vector<int>{400 - 4, 50 - 8, 400 + 20, 50 + 12}));
    GlassRect e;
    GlassCrackExtent(&c, 800, 200, &e);
    EXPECT_EQ(e.right, 400 + 180 + 1);
}

TEST(GlassCracks, MakeNearRemoveHoverAndResize) {
    Display d(1000, 100);
    EXPECT_TRUE(GlassMakeCrack(d.data, 300, 50, true, &d.host));
    EXPECT_EQ(d.sounds, 1);
    GlassCrack* first = d.data->cracks;
    EXPECT_EQ(std::pair(first->x, first->y), std::pair(300, 500));
    EXPECT_EQ(d.data->hovered, first);
    EXPECT_EQ(d.invals.back(), 'W'); // drawn over, not erased

    // 19 thousandths away in both: no second crack, no sound.
    EXPECT_FALSE(GlassMakeCrack(d.data, 319, 51, true, &d.host));
    EXPECT_EQ(d.sounds, 1);
    // 20 away in one coordinate is far enough; without a loaded sound nothing plays.
    d.clear();
    EXPECT_TRUE(GlassMakeCrack(d.data, 320, 50, false, &d.host));
    EXPECT_EQ(d.sounds, 1);
    EXPECT_EQ(d.data->cracks->next, first);
    // The previously hovered crack is repainted with erasing.
    EXPECT_EQ(d.invals, "r+W");

    // A right click away from any crack does nothing.
    d.clear();
    EXPECT_FALSE(GlassRemoveCrack(d.data, 900, 10, &d.host));
    EXPECT_EQ(d.invals, "");
    // On the hovered crack: removed, nothing hovered, its area erased.
    EXPECT_TRUE(GlassRemoveCrack(d.data, 321, 50, &d.host));
    EXPECT_EQ(d.data->hovered, nullptr);
    EXPECT_EQ(d.data->cracks, first);
    EXPECT_EQ(d.invals, "r+");

    // Hovering the crack that is left, leaving it and coming back.
    GlassCrack* c = first;
    const GlassRect before = c->bounds;
    GlassHover(d.data, 300, 50, &d.host);
    d.clear();
    GlassHover(d.data, 305, 50, &d.host); // already hovered
    EXPECT_EQ(d.invals, "");
    GlassHover(d.data, -1000, -1000, &d.host);
    EXPECT_EQ(d.data->hovered, nullptr);
    EXPECT_EQ(d.invals, "r");
    GlassHover(d.data, 300, 50, &d.host);
    EXPECT_EQ(d.data->hovered, c);
    d.clear();
    d.paint();
    EXPECT_EQ(d.count(false, GLASS_COLOR_CRACK_HOVER), c->rays + c->steps / 2);
    EXPECT_EQ(d.count(false, GLASS_COLOR_CRACK), 0);

    // A resize recomputes the bounds; the click point keeps its place in thousandths.
    GlassResize(d.data, 2000, 200, &d.host);
    GlassRect expect;
    GlassComputeCrackBounds(c, 2000, 200, &expect);
    EXPECT_EQ(std::pair(c->bounds.left, c->bounds.bottom), std::pair(expect.left, expect.bottom));
    EXPECT_NEAR(c->bounds.right - 600, 2 * (before.right - 300), 2);
    EXPECT_EQ(GlassCrackAt(d.data, 600, 100), c);
}

TEST(GlassCracks, CrackOverLitSegmentShowsItDead) {
    Display d(130, 240);
    d.field(1, DISPLAY_FIELD_SEVEN_SEGMENT, "1", 1);
    // Put a crack with a known shape right on the middle of segment 1 (upper right).
    d.erasePaint();
    const GlassPoint mid = {d.shapes[1].points[0].x,
                            (d.shapes[1].points[0].y + d.shapes[1].points[3].y) / 2};
    GlassCrack* c = static_cast<GlassCrack*>(calloc(1, sizeof(GlassCrack)));
    *c = {d.data->cracks, {}, mid.x * 1000 / 130, mid.y * 1000 / 240, 2, 1, {{10, 0}, {-10, 0}}};
    GlassComputeCrackBounds(c, 130, 240, &c->bounds);
    d.data->cracks = c;
    d.clear();
    d.erasePaint();
    EXPECT_EQ(std::pair(d.count(true, GLASS_COLOR_DEAD), d.count(true, GLASS_COLOR_LIT)),
              std::pair(1, 1));
    EXPECT_EQ(d.shapes[1].color, GLASS_COLOR_DEAD);
    // The crack grew over the segment it killed.
    EXPECT_LE(c->bounds.top, d.shapes[1].points[0].y);

    EXPECT_TRUE(GlassRemoveCrack(d.data, mid.x, mid.y, &d.host));
    d.clear();
    d.erasePaint();
    EXPECT_EQ(std::pair(d.count(true, GLASS_COLOR_DEAD), d.count(true, GLASS_COLOR_LIT)),
              std::pair(0, 2));
}
