// Marker expansion: one pass over the text, replacing markers in place within the free room.
#include "base/markers.h"

#include <cstdio>
#include <cstring>

namespace {

// Replaces text[pos, pos + removed) by `insert` when it fits the room that is left once the
// marker is gone; returns whether it was inserted. `room` tracks the free room.
bool ReplaceAt(char* text, std::size_t pos, std::size_t removed, const char* insert,
               std::size_t& room) {
    std::size_t length = std::strlen(text);
    std::memmove(text + pos, text + pos + removed, length - pos - removed + 1);
    room += removed;
    std::size_t add = std::strlen(insert);
    if (add >= room)
        return false;
    std::memmove(text + pos + add, text + pos, length - removed - pos + 1);
    std::memcpy(text + pos, insert, add);
    room -= add;
    return true;
}

// Ends of the inserted texts the scan is inside, innermost last.
struct Nesting {
    long ends[kMarkerMaxNesting];
    int depth = 0;

    void LeaveBefore(std::size_t pos) {
        while (depth > 0 && ends[depth - 1] <= long(pos))
            --depth;
    }
    void Shift(long delta) {
        for (int i = 0; i < depth; ++i)
            ends[i] += delta;
    }
};

} // namespace

int ExpandMarkersWith(char* text, std::size_t capacity, const MarkerSource& source) {
    std::size_t length = std::strlen(text);
    std::size_t room = capacity > length + 1 ? capacity - length - 1 : 0;
    int result = 1;
    Nesting nesting;
    std::size_t pos = 0;
    while (text[pos] != '\0') {
        nesting.LeaveBefore(pos);
        char c = text[pos];
        char next = text[pos + 1];
        if ((c == '@' || c == '$') && next == c) {
            std::memmove(text + pos + 1, text + pos + 2, std::strlen(text + pos + 2) + 1);
            ++room;
            nesting.Shift(-1);
            ++pos;
            continue;
        }
        if (c == '\\' && next == 'n') {
            text[pos] = '\r';
            text[pos + 1] = '\n';
            pos += 2;
            continue;
        }
        bool reference = c == '@' && next >= '0' && next <= '9';
        if (!reference && c != '$') {
            ++pos;
            continue;
        }

        char replacement[kMarkerStringMax + 16];
        replacement[0] = '\0';
        std::size_t removed = 1;
        if (reference) {
            unsigned id = 0;
            while (text[pos + removed] >= '0' && text[pos + removed] <= '9') {
                id = id * 10 + unsigned(text[pos + removed] - '0');
                ++removed;
            }
            id = LanguageStringId(id);
            if (!source.loadString ||
                !source.loadString(source.context, id, replacement, kMarkerStringMax)) {
                std::snprintf(replacement, sizeof replacement, "<Err %u>", id);
                result = 0;
            }
        } else {
            while (text[pos + removed] == '#')
                ++removed;
            if (source.versionText)
                source.versionText(source.context, replacement, kMarkerStringMax);
        }

        if (nesting.depth == kMarkerMaxNesting) {
            // Nested too deep: most likely a text that refers to itself. Drop the marker.
            replacement[0] = '\0';
            result = 0;
        }
        std::size_t add = std::strlen(replacement);
        if (ReplaceAt(text, pos, removed, replacement, room)) {
            nesting.Shift(long(add) - long(removed));
            if (add > 0)
                nesting.ends[nesting.depth++] = long(pos + add);
        } else {
            nesting.Shift(-long(removed));
            result = 0;
        }
    }
    return result;
}
