// Help window logic: dwell and rest, pinned panels, placement, title bar hits and history.
#include "help/helptrack.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

constexpr uint32_t kKey = 0x1234, kOther = 0x5678;

struct Tracking {
    HelpTracker tracker{HELP_STATE_HELP_MODE, 0, 0, 0, HELP_DWELL_THRESHOLD, {0, 0}};
    HelpTickInput input{{100, 100}, kKey, false, false, {0, 0, 0, 0}};

    HelpTickAction At(int32_t x, int32_t y, uint32_t under = kKey) {
        input.pointer = {x, y};
        input.under = under;
        return HelpTick(&tracker, input);
    }
    // Ticks at one point until the help shows; the number of ticks, or -1 after 50.
    int TicksUntilShown(int32_t x, int32_t y, uint32_t under = kKey) {
        for (int i = 1; i <= 50; ++i)
            if (At(x, y, under) == HELP_TICK_SHOW)
                return i;
        return -1;
    }
};

TEST(HelpTick, RestAndDwellTooltipsPanelsAndPinnedPanels) {
    Tracking t;
    EXPECT_EQ(t.At(100, 100), HELP_TICK_HIDE); // a new window: hide and start over
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(t.At(100 + (i % 2) * 4, 100 + (i % 2) * 2), HELP_TICK_NONE);
    // 4 right and 2 down of the rest point (16 + 4 = 20) still rests.
    EXPECT_EQ(t.At(104, 102), HELP_TICK_NONE);
    EXPECT_EQ(t.At(104, 102), HELP_TICK_SHOW);

    // 5 right (25) restarts the count from a new rest point.
    Tracking u;
    for (int i = 0; i < 6; ++i)
        u.At(100, 100);
    u.At(105, 100);
    EXPECT_EQ(u.TicksUntilShown(105, 100), 9);

    // The dismissed window gets no help until another target comes; none with help mode off.
    Tracking d;
    d.tracker.dismissed = kKey;
    d.At(100, 100);
    EXPECT_EQ(d.TicksUntilShown(100, 100), -1);
    Tracking off;
    off.tracker.flags = 0;
    EXPECT_EQ(off.At(100, 100), HELP_TICK_HIDE);
    EXPECT_EQ(off.TicksUntilShown(100, 100), -1);

    // A plain tooltip hides at once, a titled panel keeps near the pointer.
    t.tracker = {HELP_STATE_HELP_MODE, kKey, 0, 0, 1, {0, 0}};
    t.input = {{0, 0}, 0, true, false, {50, 20, 250, 80}};
    EXPECT_EQ(t.At(300, 300, kOther), HELP_TICK_HIDE);

    t.input.titleBar = true;
    EXPECT_EQ(t.At(240, 90, kKey), HELP_TICK_NONE); // within 15 pixels of the window
    EXPECT_EQ(t.tracker.lastSeen, kOther);
    EXPECT_EQ(t.At(240, 120, kKey), HELP_TICK_HIDE);
    EXPECT_EQ(t.At(0, 0, 0), HELP_TICK_HIDE);
    EXPECT_EQ(t.tracker.threshold, HELP_DWELL_THRESHOLD); // no window: back to 8

    // A pinned panel switches after the threshold on the new window.
    // Last seen: the help window itself.
    t.tracker = {HELP_STATE_HELP_MODE | HELP_STATE_PINNED, 0xAAAA, 0, 0, HELP_DWELL_THRESHOLD, {}};
    t.input = {{0, 0}, 0, true, true, {50, 20, 250, 80}};
    EXPECT_EQ(t.At(400, 400, kOther), HELP_TICK_NONE);
    EXPECT_TRUE(t.tracker.flags & HELP_STATE_LEAVING);
    for (int i = 0; i < 8; ++i) // every tick counts, no rest needed
        EXPECT_EQ(t.At(400 + i * 10, 400, kOther), HELP_TICK_NONE);
    EXPECT_EQ(t.At(480, 400, kOther), HELP_TICK_NONE);
    EXPECT_EQ(t.tracker.lastSeen, kOther);
    EXPECT_EQ(t.At(480, 400, kOther), HELP_TICK_SHOW);

    // Entering the help window clears pinned.
    t.tracker.lastSeen = kOther;
    EXPECT_EQ(t.At(100, 50, 0xAAAA), HELP_TICK_NONE);
    EXPECT_FALSE(t.tracker.flags & HELP_STATE_PINNED);

    // Dragging stops the tick.
    t.tracker.flags |= HELP_STATE_DRAGGING;
    EXPECT_EQ(t.At(0, 0, 0), HELP_TICK_NONE);
}

HelpPlaceInput Place() {
    return {{0, 0, 1024, 768},
            {100, 100, 600, 400},
            {200, 300, 260, 320},
            112,
            40,
            false,
            false,
            0,
            0,
            14,
            {},
            0};
}

TEST(HelpPlacement, AboveTheTargetCentredKeptInTheOwnerOrAtTheScreenEdge) {
    int32_t bar = 16;
    HelpPlaceInput in = Place();
    HelpRect r = PlaceHelpWindow(in, &bar);
    EXPECT_EQ(std::tie(r.top, r.left, r.right),
              std::make_tuple(300 - 40 - 1, 200 - 26, 200 - 26 + 112));

    in.target = {560, 300, 600, 320}; // near the owner's right edge
    EXPECT_EQ(PlaceHelpWindow(in, &bar).left, 600 - 112 - 4);

    // Wider than the owner: centred on it, never at a negative x.
    in.width = 601;
    in.target = {110, 300, 130, 320};
    EXPECT_EQ(PlaceHelpWindow(in, &bar).left, 100 - 50); // 101 / 2 rounded down
    in.owner = {-50, 100, 450, 400};
    EXPECT_EQ(PlaceHelpWindow(in, &bar).left, 0);

    // Title bar: at least the title and four buttons wide, higher by the bar, which grows.
    in = Place();
    std::tie(in.titleBar, in.titleWidth, in.titleHeight) = std::make_tuple(true, 100, 20);
    r = PlaceHelpWindow(in, &bar);
    EXPECT_EQ(std::make_tuple(bar, r.right - r.left, r.bottom - r.top),
              std::make_tuple(22, 100 + 56 + 14, 40 + 22));

    // A dragged position is kept.
    in.drag = {7, 9, 70, 90};
    r = PlaceHelpWindow(in, &bar);
    EXPECT_EQ(std::pair(r.left, r.top), std::pair(7, 9));

    // No room above: to the screen edge by the pointer.
    bar = 16;
    in = Place();
    in.owner = {0, 0, 600, 400};
    in.target = {200, 10, 260, 30};
    in.pointerY = 500; // lower half
    EXPECT_EQ(PlaceHelpWindow(in, &bar).top, 768 - 40);
    in.pointerY = 383; // upper half
    EXPECT_EQ(PlaceHelpWindow(in, &bar).top, 0);
    in.links = true;
    in.pointerY = 600;
    EXPECT_EQ(PlaceHelpWindow(in, &bar).top, 768 - 40 - 16);
    // Above the owner's top but still on the screen: kept there.
    in.owner = {0, 50, 600, 400};
    in.target = {200, 60, 260, 80};
    EXPECT_EQ(PlaceHelpWindow(in, &bar).top, 60 - 56 - 1);
}

TEST(HelpTitleBar, HitCodesAndTheHistoryBehindBack) {
    // Client 200 wide, button 14, bar 16.
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 1, 0, 5, 5), int64_t(HELP_HIT_BACK));
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 0, 5, 5), 0);
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 1, 1010, 20, 5), 1010);
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 1010, 5, 16), 1010);
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 0, 190, 5), int64_t(HELP_HIT_CLOSE));
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 0, 175, 5), int64_t(HELP_HIT_HOME));
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 0, 100, 5), 0);
    EXPECT_EQ(HelpTitleHit(true, 16, 14, 200, 0, 0, 100, 17), -1);
    EXPECT_EQ(HelpTitleHit(false, 16, 14, 200, 0, 0, 190, 5), -1);

    // The history ring: back in reverse order, twenty kept.
    HelpHistory ring{};
    for (int32_t topic = 1; topic <= 21; ++topic)
        PushHelpHistory(&ring, topic);
    EXPECT_EQ(ring.count, 20);
    for (int32_t topic = 21; topic >= 2; --topic)
        EXPECT_EQ(PopHelpHistory(&ring), topic);
    EXPECT_EQ(ring.count, 0);
}

} // namespace
