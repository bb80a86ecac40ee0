// Help layout: rows of runs, their placement and the three passes over a topic.
#include "help/helprender.h"

#include "help/helpmarkup.h"

#include <cstdio>
#include <cstring>

namespace {

int32_t Max(int32_t a, int32_t b) {
    return a > b ? a : b;
}

const HelpStyle kResetStyle = {0xC0C0C0, 0x000000, 0, 0, 0, 0, 0, {"Arial", 14, false, false, 0}};

// ---- Rows and runs ----

void EmptyRow(HelpRow* row) {
    row->runCount = 0;
    row->textUsed = 0;
    row->budgetUsed = 0;
    row->lineHeight = row->rowHeight = row->rowWidth = row->centredTotal = row->rightTotal = 0;
}

// Grows the row's measures by a run of the given size and alignment.
void CountRun(HelpRow* row, const HelpRun& run, bool bitmap) {
    if (bitmap)
        row->lineHeight = Max(row->lineHeight, run.height);
    row->rowHeight = Max(row->rowHeight, run.height);
    row->rowWidth += run.width;
    if (run.style.align == 2)
        row->centredTotal += run.width;
    else if (run.style.align == 1)
        row->rightTotal += run.width;
}

// Replaces %d by parameter d and %% by %, cutting the result at HELP_RUN_TEXT_MAX characters.
size_t Substitute(const HelpRenderContext* c, Span text, char* out) {
    size_t n = 0;
    auto put = [&](char ch) {
        if (n < HELP_RUN_TEXT_MAX)
            out[n++] = ch;
    };
    for (size_t i = 0; i < text.n; ++i) {
        char ch = text.p[i];
        char next = text.At(i + 1);
        if (ch == '%' && i + 1 < text.n && IsDigit(next)) {
            int16_t offset = c->paramOffset[next - '0'];
            if (offset >= 0)
                for (const char* s = c->paramPool + offset; *s; ++s)
                    put(*s);
            ++i;
        } else if (ch == '%' && next == '%' && i + 1 < text.n) {
            put('%');
            ++i;
        } else {
            put(ch);
        }
    }
    out[n] = 0;
    return n;
}

} // namespace

void AddTextRun(HelpRenderContext* c, const HelpStyle& style, Span text, uint32_t link) {
    char buffer[HELP_RUN_TEXT_MAX + 1];
    size_t length = Substitute(c, text, buffer);
    HelpRow* row = &c->row;
    size_t cost = sizeof(HelpRun) + length + 1;
    if (row->budgetUsed + cost > HELP_ROW_BUDGET)
        return; // dropped: the row is full
    HelpRun& run = row->runs[row->runCount++];
    row->budgetUsed += cost;
    run = HelpRun{};
    run.style = style;
    run.link = link;
    run.textOffset = uint16_t(row->textUsed);
    run.length = uint16_t(length);
    std::memcpy(row->text + row->textUsed, buffer, length + 1);
    row->textUsed += length + 1;
    c->canvas.measureText(c->canvas.context, style.font, buffer, length, &run.width, &run.height);
    row->lineHeight = Max(row->lineHeight, run.height);
    if (style.frame) {
        int32_t rings = HelpFrameRings(style.frame);
        run.width += 2 * rings + 6;
        run.height += 2 * rings - 1;
    }
    CountRun(row, run, false);
}

void AddBitmapRun(HelpRenderContext* c, const HelpStyle& style, uint32_t id, int32_t width,
                  int32_t height) {
    HelpRow* row = &c->row;
    if (row->budgetUsed + sizeof(HelpRun) > HELP_ROW_BUDGET)
        return;
    HelpRun& run = row->runs[row->runCount++];
    row->budgetUsed += sizeof(HelpRun);
    run = HelpRun{};
    run.bitmap = true;
    run.style = style;
    run.bitmapId = id;
    run.width = width;
    run.height = height;
    CountRun(row, run, true);
}

namespace {

void DrawRun(HelpRenderContext* c, const HelpRun& run, const char* text, int32_t left, int32_t top,
             int32_t right, int32_t bottom, int32_t cell) {
    const HelpCanvas& k = c->canvas;
    if (run.bitmap) {
        k.drawBitmap(k.context, run.bitmapId, left, top);
        return;
    }
    HelpRect rect{left, top, right, bottom};
    int32_t inset = 0;
    int32_t rise = 0;
    if (run.style.frame) {
        rect = HelpRect{left + 1, top, right - 1, bottom};
        int32_t rings = k.drawFrame(k.context, rect, run.style.frame);
        rect =
            HelpRect{rect.left + rings, rect.top + rings, rect.right - rings, rect.bottom - rings};
        inset = rings + 1;
        rise = 1;
    }
    bool color = k.colorDisplay(k.context);
    if (color && run.style.background != c->baseBackground)
        k.fillRect(k.context, rect, run.style.background);
    k.drawText(k.context, run.style.font, color, run.style.text,
               rect.left + inset + (cell - run.width) / 2, rect.top - rise, text, run.length);
}

} // namespace

// Places (and in the drawing pass draws) the row's runs; the row's heights and totals stay.
void PlaceRuns(HelpRenderContext* c) {
    HelpRow* row = &c->row;
    int32_t h = row->lineHeight;
    int32_t start[3] = {c->current.leftIndent * h,
                        c->areaWidth - c->current.rightIndent * h - row->rightTotal,
                        (c->areaWidth - row->centredTotal) / 2};
    for (int32_t i = 0; i < row->runCount; ++i) {
        const HelpRun& run = row->runs[i];
        int32_t which = run.style.align == 1 ? 1 : run.style.align == 2 ? 2 : 0;
        int32_t left = c->xOrigin + start[which];
        int32_t top = c->yOrigin + c->y;
        int32_t cell = Max(run.width, run.style.minWidth * h);
        int32_t right = left + cell;
        int32_t bottom = top + run.height;
        start[which] += run.width;
        if (c->pass == HELP_PASS_DRAW) {
            DrawRun(c, run, row->text + run.textOffset, left, top, right, bottom, cell);
        } else if (c->pass == HELP_PASS_HIT && c->hitResult == 0 && run.link && left <= c->hitX &&
                   c->hitX < right && top <= c->hitY && c->hitY < bottom) {
            c->hitResult = run.link;
        }
    }
    row->runCount = 0;
    row->textUsed = 0;
    row->budgetUsed = 0;
}

// ---- Commands ----

namespace {

void LayoutLine(HelpRenderContext* c, const char* line) {
    HelpRow* row = &c->row;
    EmptyRow(row);
    size_t n = std::strlen(line);
    if (n == 0) {
        int32_t width = 0, height = 0;
        c->canvas.measureText(c->canvas.context, c->current.font, "W", 1, &width, &height);
        row->lineHeight = row->rowHeight = height;
    }
    size_t i = 0;
    while (i < n) {
        const char* open = static_cast<const char*>(std::memchr(line + i, '{', n - i));
        const char* close =
            open ? static_cast<const char*>(std::memchr(open + 1, '}', size_t(line + n - open - 1)))
                 : nullptr;
        if (!open || !close) {
            // No block left: the rest is text (a "{" without its "}" is dropped).
            char text[HELP_RUN_TEXT_MAX];
            size_t length = 0;
            for (size_t k = i; k < n && length < sizeof(text); ++k)
                if (line + k != open)
                    text[length++] = line[k];
            if (length)
                AddTextRun(c, c->current, Span{text, length}, 0);
            break;
        }
        if (open > line + i)
            AddTextRun(c, c->current, Span{line + i, size_t(open - line - i)}, 0);
        RunBlock(c, Span{open + 1, size_t(close - open - 1)}, &c->current, 0);
        i = size_t(close - line) + 1;
    }
    PlaceRuns(c);
    row->rowWidth += c->current.leftIndent * row->lineHeight;
    c->areaWidth = Max(c->areaWidth, row->rowWidth);
    c->totalHeight = Max(c->totalHeight, c->y + row->rowHeight);
    c->y += row->rowHeight;
}

void LayoutTopicLines(HelpRenderContext* c, int32_t topicIndex) {
    for (int32_t line = 0;; ++line) {
        const char* text = GetTopicLine(c->block, topicIndex, line);
        if (!text)
            break;
        LayoutLine(c, text);
    }
}

void BeginPass(HelpRenderContext* c, HelpPass pass, bool colorWindow) {
    c->pass = pass;
    c->colorWindow = colorWindow;
    c->y = 0;
    if (c->flags & HELP_RENDER_RESET) {
        c->current = kResetStyle;
        c->base = kResetStyle;
        c->title = kResetStyle;
        c->flags &= ~HELP_RENDER_RESET;
    }
}

} // namespace

void FormatHelpFontSpec(const HelpFont& font, char* out, size_t capacity) {
    if (font.symbol) {
        std::snprintf(out, capacity, "%d,%c", int(font.size), font.symbol);
        return;
    }
    std::snprintf(out, capacity, "%s,%d,%s%s", font.face, int(font.size), font.italic ? "I" : "",
                  font.bold ? "B" : "");
}

int32_t HelpFrameRings(uint32_t pattern) {
    int32_t rings = 0;
    for (; pattern; pattern >>= 8)
        ++rings;
    return rings;
}

void InitHelpRenderContext(HelpRenderContext* context, const HelpCanvas& canvas) {
    std::memset(static_cast<void*>(context), 0, sizeof(*context));
    context->canvas = canvas;
    for (int16_t& offset : context->paramOffset)
        offset = -1;
    context->flags = HELP_RENDER_RESET;
    context->current = context->base = context->title = kResetStyle;
}

bool PrepareTopic(HelpRenderContext* c, bool owner, const HelpBlock* block, int32_t topic,
                  uint32_t flags) {
    int32_t index = FindHelpTopic(block, topic);
    if (index < 0)
        return false;
    int32_t defaults = FindHelpTopic(block, HELP_DEFAULT_TOPIC);
    const HelpTopic& entry = block->topics[index];
    c->block = block;
    c->topicIndex = index;
    c->upTopic = entry.upTopic;
    c->flags =
        flags | (entry.upTopic ? HELP_RENDER_UP : 0) | (entry.starred ? HELP_RENDER_STARRED : 0);
    BeginPass(c, HELP_PASS_MEASURE, owner);
    if ((flags & PREPARE_FIRST_SHOW) && defaults >= 0)
        LayoutTopicLines(c, defaults);
    c->baseBackground = c->base.background;
    c->areaWidth = c->totalHeight = c->y = 0;
    c->xOrigin = c->yOrigin = 0;
    c->titleWidth = c->titleHeight = 0;
    if (entry.title) {
        c->flags |= HELP_RENDER_TITLE_BAR;
        c->current = c->title;
        LayoutLine(c, entry.title);
        c->titleWidth = c->areaWidth;
        c->titleHeight = c->totalHeight;
        c->areaWidth = c->totalHeight = c->y = 0;
    }
    c->current = c->base;
    LayoutTopicLines(c, index);
    c->contentWidth = c->areaWidth;
    c->contentHeight = c->totalHeight;
    c->xOrigin = 6;
    c->yOrigin = 4;
    if ((flags & PREPARE_FIRST_SHOW) && entry.starred)
        c->flags &= ~(HELP_RENDER_TITLE_BAR | HELP_RENDER_LINKS | HELP_RENDER_UP);
    else if (c->flags & (HELP_RENDER_LINKS | HELP_RENDER_UP))
        c->flags |= HELP_RENDER_TITLE_BAR;
    return true;
}

void PaintTopic(HelpRenderContext* c, int32_t clientWidth, int32_t titleBarHeight) {
    if (!c->block)
        return;
    BeginPass(c, HELP_PASS_DRAW, true);
    c->areaWidth = clientWidth - 12;
    if (c->flags & HELP_RENDER_TITLE_BAR) {
        c->current = c->title;
        c->yOrigin = 0;
        c->y = 0;
        if (const char* title = GetTopicLine(c->block, c->topicIndex, -1))
            LayoutLine(c, title);
        c->yOrigin = 4;
        c->y = titleBarHeight;
    }
    c->current = c->base;
    LayoutTopicLines(c, c->topicIndex);
}

uint32_t HitTestTopic(HelpRenderContext* c, int32_t x, int32_t y) {
    if (!c->block)
        return 0;
    BeginPass(c, HELP_PASS_HIT, false);
    c->hitX = x;
    c->hitY = y;
    c->hitResult = 0;
    c->current = c->base;
    c->y = 0;
    LayoutTopicLines(c, c->topicIndex);
    return c->hitResult;
}

bool SetHelpParam(HelpRenderContext* c, int number, const char* text) {
    if (number < 0 || number >= HELP_PARAM_COUNT)
        return false;
    int16_t old = c->paramOffset[number];
    if (old >= 0) {
        size_t length = std::strlen(c->paramPool + old) + 1;
        std::memmove(c->paramPool + old, c->paramPool + old + length,
                     c->paramUsed - size_t(old) - length);
        c->paramUsed -= length;
        c->paramOffset[number] = -1;
        for (int16_t& offset : c->paramOffset)
            if (offset > old)
                offset = int16_t(offset - length);
    }
    if (!text || !*text)
        return true;
    size_t length = std::strlen(text) + 1;
    if (length > HELP_PARAM_POOL - c->paramUsed)
        return false;
    std::memcpy(c->paramPool + c->paramUsed, text, length);
    c->paramOffset[number] = int16_t(c->paramUsed);
    c->paramUsed += length;
    return true;
}
