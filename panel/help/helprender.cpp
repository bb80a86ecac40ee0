// Help markup: commands, runs, rows and the three passes over a topic.
#include "help/helprender.h"

#include <cstdio>
#include <cstring>

namespace {

// An argument or text: a piece of a line, not NUL-terminated.
struct Span {
    const char* p;
    size_t n;
    bool Empty() const { return n == 0; }
    char At(size_t i) const { return i < n ? p[i] : 0; }
    Span From(size_t i) const { return i < n ? Span{p + i, n - i} : Span{p + n, 0}; }
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal digits at the start (no sign); sets *digits to how many were read.
uint32_t ReadNumber(Span s, size_t* digits = nullptr) {
    uint32_t value = 0;
    size_t i = 0;
    for (; i < s.n && IsDigit(s.p[i]); ++i)
        value = value * 10u + uint32_t(s.p[i] - '0');
    if (digits)
        *digits = i;
    return value;
}

uint32_t ReadHex(Span s) {
    uint32_t value = 0;
    for (size_t i = 0; i < s.n; ++i) {
        char c = s.p[i];
        uint32_t d;
        if (IsDigit(c))
            d = uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = uint32_t(c - 'A' + 10);
        else
            break;
        value = value << 4 | d;
    }
    return value;
}

int32_t ReadAtoi(Span s) {
    size_t i = 0;
    while (i < s.n && (s.p[i] == ' ' || (s.p[i] >= '\t' && s.p[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.n && (s.p[i] == '+' || s.p[i] == '-'))
        negative = s.p[i++] == '-';
    uint32_t value = ReadNumber(s.From(i));
    return int32_t(negative ? 0u - value : value);
}

// Indents, widths and font sizes are kept to a range whose products cannot overflow.
constexpr int32_t kMaxMeasure = 10000;

int32_t ReadMeasure(Span s) {
    uint32_t value = 0;
    for (size_t i = 0; i < s.n && IsDigit(s.p[i]); ++i)
        if (value <= uint32_t(kMaxMeasure))
            value = value * 10u + uint32_t(s.p[i] - '0');
    return value > uint32_t(kMaxMeasure) ? kMaxMeasure : int32_t(value);
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

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

uint32_t ReadColor(HelpRenderContext* c, Span arg, uint32_t baseColor) {
    if (arg.At(0) == '*')
        return baseColor;
    if (arg.At(0) == '@') {
        uint32_t number = ReadNumber(arg.From(1));
        if (!c->colorWindow)
            return baseColor;
        return c->canvas.queryColor(c->canvas.context, number);
    }
    uint32_t part[3] = {baseColor & 0xFF, baseColor >> 8 & 0xFF, baseColor >> 16 & 0xFF};
    size_t i = 0;
    for (int k = 0; k < 3; ++k) {
        size_t digits = 0;
        Span rest = arg.From(i);
        uint32_t value = 0;
        for (; digits < rest.n && IsDigit(rest.p[digits]); ++digits)
            value = (value * 10u + uint32_t(rest.p[digits] - '0')) % 256u;
        if (digits)
            part[k] = value;
        i += digits;
        if (i >= arg.n)
            break;
        ++i; // any single separator
    }
    return part[0] | part[1] << 8 | part[2] << 16;
}

void SetFont(HelpStyle* st, Span arg, const HelpStyle& base) {
    if (arg.At(0) == '*') {
        st->font = base.font;
        return;
    }
    HelpFont font = st->font;
    size_t comma = 0;
    while (comma < arg.n && arg.p[comma] != ',')
        ++comma;
    if (comma > 0) {
        size_t length = comma < sizeof(font.face) - 1 ? comma : sizeof(font.face) - 1;
        std::memcpy(font.face, arg.p, length);
        font.face[length] = 0;
        font.symbol = 0;
    }
    size_t i = comma;
    while (i < arg.n) {
        size_t stop = i + 1;
        while (stop < arg.n && arg.p[stop] != ',')
            ++stop;
        Span item{arg.p + i + 1, stop - i - 1};
        switch (Upper(item.At(0))) {
            case 'N':
                font.bold = false;
                font.italic = false;
                break;
            case 'B':
                font.bold = true;
                break;
            case 'I':
                font.italic = true;
                break;
            case 'S':
                break;
            default: {
                int32_t size = item.At(0) == '*' ? 0 : ReadMeasure(item);
                if (size)
                    font.size = size;
            }
        }
        i = stop;
    }
    st->font = font;
}

void SymbolRun(HelpRenderContext* c, const HelpStyle& st, char face, Span arg, uint32_t link) {
    HelpStyle symbol = st;
    symbol.font = HelpFont{"", st.font.size, false, false, face};
    size_t digits = 0;
    uint32_t code = ReadNumber(arg, &digits) % 256u;
    if (digits && code) {
        char ch = char(code);
        AddTextRun(c, symbol, Span{&ch, 1}, link);
        return;
    }
    Span text = arg.From(digits);
    if (!text.Empty())
        AddTextRun(c, symbol, text, link);
}

void BitmapCommand(HelpRenderContext* c, const HelpStyle& st, Span arg) {
    HelpStyle style = st;
    char prefix = arg.At(0);
    if (prefix == '<' || prefix == '>' || prefix == '|') {
        style.align = prefix == '<' ? 0 : prefix == '>' ? 1 : 2;
        arg = arg.From(1);
    }
    uint32_t id = ReadNumber(arg);
    int32_t width = 0, height = 0;
    if (id < 10000 && c->canvas.bitmapSize(c->canvas.context, id + 20000, &width, &height))
        id += 20000;
    else if (!c->canvas.bitmapSize(c->canvas.context, id, &width, &height))
        return;
    AddBitmapRun(c, style, id, width, height);
}

void LinkCommand(HelpRenderContext* c, const HelpStyle& st, Span arg, bool command) {
    size_t colon = 0;
    while (colon < arg.n && arg.p[colon] != ':')
        ++colon;
    if (colon == arg.n)
        return;
    Span head{arg.p, colon};
    const HelpStyle* style = &st;
    size_t digits = 0;
    uint32_t s = ReadNumber(head, &digits);
    if (digits && head.At(digits) == ',') {
        if (s < 10)
            style = &c->saved[s];
        head = head.From(digits + 1);
    }
    uint32_t id = ReadNumber(head);
    if (id == 0)
        return;
    c->flags |= HELP_RENDER_LINKS;
    Span text = arg.From(colon + 1);
    if (!text.Empty())
        AddTextRun(c, *style, text, command ? (id | HELP_LINK_COMMAND) : id);
}

void RunBlock(HelpRenderContext* c, Span block, HelpStyle* st, int nesting);

// One command with its argument on style *st.
void RunCommand(HelpRenderContext* c, char command, Span arg, HelpStyle* st) {
    HelpRow* row = &c->row;
    switch (command) {
        case '*':
            c->base = *st;
            break;
        case 'B':
            st->background = ReadColor(c, arg, c->base.background);
            break;
        case 'T':
            st->text = ReadColor(c, arg, c->base.text);
            break;
        case 'M':
            st->frame = arg.At(0) == '*' ? c->base.frame : ReadHex(arg);
            break;
        case 'L':
            if (row->runCount) {
                PlaceRuns(c);
                row->rowWidth = 0;
            }
            st->leftIndent = arg.At(0) == '*' ? c->base.leftIndent : ReadMeasure(arg);
            break;
        case 'R':
            if (row->runCount)
                PlaceRuns(c);
            st->rightIndent = arg.At(0) == '*' ? c->base.rightIndent : ReadMeasure(arg);
            break;
        case 'J':
            if (row->runCount)
                PlaceRuns(c);
            st->align = arg.At(0) == '*' ? c->base.align : ReadMeasure(arg);
            break;
        case 'X':
            if (arg.At(0) == '*') {
                st->minWidth = c->base.minWidth;
            } else {
                int32_t width = ReadAtoi(arg);
                st->minWidth = width > kMaxMeasure    ? kMaxMeasure
                               : width < -kMaxMeasure ? -kMaxMeasure
                                                      : width;
            }
            break;
        case 'F':
            SetFont(st, arg, c->base);
            break;
        case 'S':
        case 'W':
            SymbolRun(c, *st, command, arg, 0);
            break;
        case 'I':
            BitmapCommand(c, *st, arg);
            break;
        case 'C':
        case 'N':
            LinkCommand(c, *st, arg, command == 'C');
            break;
        case 'P': {
            HelpStyle* named = nullptr;
            if (IsDigit(arg.At(0)))
                named = &c->saved[arg.At(0) - '0'];
            else if (Upper(arg.At(0)) == 'T')
                named = &c->title;
            if (!named)
                break;
            if (arg.At(1) == '*')
                *named = *st;
            else
                *st = *named;
            break;
        }
        case '@':
            if (!arg.Empty())
                AddTextRun(c, *st, arg, 0);
            break;
        default: // H, V and unknown commands
            break;
    }
}

// Groups nested deeper than this are not run.
constexpr int kMaxGroupDepth = 16;

// The end of the group that opens at s.p[open], or s.n when it is not closed.
size_t GroupEnd(Span s, size_t open) {
    int depth = 0;
    for (size_t i = open; i < s.n; ++i) {
        if (s.p[i] == '(')
            ++depth;
        else if (s.p[i] == ')' && --depth == 0)
            return i;
    }
    return s.n;
}

// A list of commands separated by ";" (groups in parentheses may hold ";").
void RunBlock(HelpRenderContext* c, Span block, HelpStyle* st, int nesting) {
    HelpStyle copy = *st; // the private style of this block's groups
    HelpStyle* target = st;
    size_t i = 0;
    while (i <= block.n) {
        size_t stop = i;
        int depth = 0;
        while (stop < block.n && (block.p[stop] != ';' || depth > 0)) {
            if (block.p[stop] == '(')
                ++depth;
            else if (block.p[stop] == ')' && depth > 0)
                --depth;
            ++stop;
        }
        Span item{block.p + i, stop - i};
        if (item.Empty())
            return; // an empty item ends the block
        char command = Upper(item.p[0]);
        size_t at = 1;
        while (item.At(at) == '(') {
            size_t end = GroupEnd(item, at);
            target = &copy;
            if (nesting < kMaxGroupDepth)
                RunBlock(c, Span{item.p + at + 1, (end < item.n ? end : item.n) - at - 1}, target,
                         nesting + 1);
            at = end + 1;
        }
        RunCommand(c, command, item.From(at), target);
        i = stop + 1;
    }
}

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
