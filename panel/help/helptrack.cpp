// Pointer tracking, placement, title bar hit test and history of the help window.
#include "help/helptrack.h"

namespace {

bool Inside(const HelpRect& r, HelpPoint p) {
    return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}

int32_t HalfDown(int32_t v) {
    return v >= 0 ? v / 2 : -((1 - v) / 2);
}

} // namespace

HelpTickAction HelpTick(HelpTracker* t, const HelpTickInput& in) {
    if (t->flags & HELP_STATE_DRAGGING)
        return HELP_TICK_NONE;
    HelpPoint p = in.pointer;
    if (in.under != t->lastSeen) {
        t->rest = p;
        bool dwellStep = false;
        if (in.visible && in.titleBar) {
            if (Inside(in.helpRect, p)) {
                t->flags &= ~HELP_STATE_PINNED;
                return HELP_TICK_NONE;
            }
            if (t->flags & HELP_STATE_PINNED) {
                if (!in.under)
                    return HELP_TICK_NONE;
                if (!(t->flags & HELP_STATE_LEAVING)) {
                    t->flags |= HELP_STATE_LEAVING;
                    t->dwell = 0;
                    return HELP_TICK_NONE;
                }
                if (t->dwell >= t->threshold) {
                    t->lastSeen = in.under;
                    return HELP_TICK_NONE;
                }
                dwellStep = true;
            } else {
                HelpRect near{
                    in.helpRect.left - HELP_NEAR_MARGIN, in.helpRect.top - HELP_NEAR_MARGIN,
                    in.helpRect.right + HELP_NEAR_MARGIN, in.helpRect.bottom + HELP_NEAR_MARGIN};
                if (Inside(near, p))
                    return HELP_TICK_NONE;
            }
        }
        if (!dwellStep) {
            t->lastSeen = in.under;
            if (!in.under)
                t->threshold = HELP_DWELL_THRESHOLD;
            t->dwell = 0;
            return HELP_TICK_HIDE;
        }
    } else {
        if (!in.under)
            return HELP_TICK_NONE;
        if (t->dwell >= t->threshold) {
            if ((in.visible || (t->flags & HELP_STATE_HELP_MODE)) && in.under != t->dismissed)
                return HELP_TICK_SHOW;
            return HELP_TICK_NONE;
        }
    }
    int64_t dx = int64_t(p.x) - t->rest.x, dy = int64_t(p.y) - t->rest.y;
    if (dx * dx + dy * dy > HELP_REST_DISTANCE2) {
        t->rest = p;
        t->dwell = 0;
    } else {
        ++t->dwell;
    }
    return HELP_TICK_NONE;
}

HelpRect PlaceHelpWindow(const HelpPlaceInput& in, int32_t* titleBarHeight) {
    int32_t w = in.width, h = in.height;
    if (in.titleBar) {
        int32_t titled = in.titleWidth + 4 * in.buttonWidth + 14;
        if (titled > w)
            w = titled;
        if (in.titleHeight + 2 > *titleBarHeight)
            *titleBarHeight = in.titleHeight + 2;
    }
    if (in.titleBar || in.links)
        h += *titleBarHeight;
    int32_t x, y;
    if (in.drag.left < in.drag.right) {
        x = in.drag.left;
        y = in.drag.top;
    } else {
        const HelpRect& d = in.screen;
        const HelpRect& r = in.owner;
        const HelpRect& t = in.target;
        y = t.top - h - 1;
        if (y < r.top && y < 0)
            y = in.pointerY < d.bottom / 2 ? 0 : d.bottom - h;
        x = t.left - HalfDown(w - (t.right - t.left));
        if (x + w > r.right)
            x = r.right - w - 4;
        if (x < r.left) {
            if (r.right - r.left < w)
                x = r.left - HalfDown(w - (r.right - r.left));
            else
                x = r.left + 4;
        }
        if (x < 0)
            x = 0;
    }
    return HelpRect{x, y, x + w, y + h};
}

int64_t HelpTitleHit(bool titleBar, int32_t titleBarHeight, int32_t buttonWidth,
                     int32_t clientWidth, int32_t historyCount, int32_t upTopic, int32_t x,
                     int32_t y) {
    if (!titleBar || y > titleBarHeight)
        return -1;
    if (x < buttonWidth + 3 && historyCount > 0)
        return HELP_HIT_BACK;
    if (upTopic && x < 2 * buttonWidth + 3)
        return uint32_t(upTopic);
    if (x > clientWidth - buttonWidth - 4)
        return HELP_HIT_CLOSE;
    if (x > clientWidth - 2 * buttonWidth - 4)
        return HELP_HIT_HOME;
    return 0;
}

void PushHelpHistory(HelpHistory* history, int32_t topic) {
    history->entries[history->index] = topic;
    history->index = (history->index + 1) % HELP_HISTORY_SIZE;
    if (history->count < HELP_HISTORY_SIZE)
        ++history->count;
}

int32_t PopHelpHistory(HelpHistory* history) {
    history->index = history->index == 0 ? HELP_HISTORY_SIZE - 1 : history->index - 1;
    if (history->count > 0)
        --history->count;
    return history->entries[history->index];
}
