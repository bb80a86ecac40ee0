// Internal to the help renderer: the help markup's commands (helpmarkup.cpp) and the rows and
// runs they add to (helprender.cpp). User-interface thread only; no locks.
#pragma once

#include "help/helprender.h"

#include <cstddef>
#include <cstdint>

// An argument or text: a piece of a line, not NUL-terminated.
struct Span {
    const char* p;
    size_t n;
    bool Empty() const { return n == 0; }
    char At(size_t i) const { return i < n ? p[i] : 0; }
    Span From(size_t i) const { return i < n ? Span{p + i, n - i} : Span{p + n, 0}; }
};

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Adds a text run (after parameter substitution, cut at HELP_RUN_TEXT_MAX) or a bitmap run to
// the current row; a run that does not fit the row budget is dropped.
void AddTextRun(HelpRenderContext* c, const HelpStyle& style, Span text, uint32_t link);
void AddBitmapRun(HelpRenderContext* c, const HelpStyle& style, uint32_t id, int32_t width,
                  int32_t height);
// Places (and in the drawing pass draws) the row's runs; the row's heights and totals stay.
void PlaceRuns(HelpRenderContext* c);

// Runs a command block ("B255,0,0;@text") on style *st; nesting counts parenthesised groups.
void RunBlock(HelpRenderContext* c, Span block, HelpStyle* st, int nesting);
