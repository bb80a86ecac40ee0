// Help markup: command blocks, their arguments and the runs they make.
#include "help/helpmarkup.h"

#include <cstring>

namespace {

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

} // namespace

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
